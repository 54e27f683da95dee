#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/win32.h"
#include "test_support.h"

namespace {

constexpr const char* kJreKey = "SOFTWARE\\JavaSoft\\Java Runtime Environment\\";

std::optional<std::string> ReadString(HKEY key, const char* name) {
  char data[2000];
  DWORD size = sizeof data;
  DWORD type = REG_NONE;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, std::char_traits<char>::length(data) + 1);
  return std::string(data);
}

// A value of a key under HKEY_LOCAL_MACHINE, or nothing when the key or the value is missing.
std::optional<std::string> ReadValue(const std::string& path, const char* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  auto value = ReadString(key, name);
  RegCloseKey(key);
  return value;
}

// The launcher's lookup: the base key with its trailing backslash, then base + version.
std::optional<std::string> RuntimeLib() {
  const auto version = ReadValue(kJreKey, "CurrentVersion");
  return version ? ReadValue(kJreKey + *version, "RuntimeLib") : std::nullopt;
}

class RegistryTest : public ::testing::Test {
 protected:
  void UseFile(const std::string& content) {
    dir.Write("test.reg", content);
    env.emplace("QUILL_REGISTRY", (dir / "test.reg").c_str());
  }
  TempDir dir;
  std::optional<EnvGuard> env;
};

TEST_F(RegistryTest, ReadsTheJreKeysWithEscapesAndAnyCase) {
  UseFile(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment]\r\n"
      "\"CurrentVersion\"=\"1.8\"\r\n"
      "\r\n"
      "[hkey_local_machine\\software\\javasoft\\JAVA RUNTIME ENVIRONMENT\\1.8]\r\n"
      "\"RuntimeLib\"=\"C:\\\\Program Files\\\\Java\\\\\\\"q\\\"\\\\jvm.dll\"\r\n"
      "\"Flags\" = dword:0000002a\r\n");
  EXPECT_EQ(RuntimeLib(), "C:\\Program Files\\Java\\\"q\"\\jvm.dll");

  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\software\\JAVASOFT\\java runtime environment\\1.8\\\\", 0,
                          KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(ReadString(key, "runtimelib"), "C:\\Program Files\\Java\\\"q\"\\jvm.dll");
  DWORD flags = 0, size = sizeof flags, type = REG_NONE;
  EXPECT_EQ(RegQueryValueExA(key, "flags", nullptr, &type, reinterpret_cast<LPBYTE>(&flags), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(flags, 42u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<LPBYTE>(&flags), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, BufferSizesFollowWin32AndStaleHandlesAreRefused) {
  UseFile("[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"12345\"\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  char data[6] = "-----";
  DWORD size = 5;  // one short: the terminator counts
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(data, "-----");
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);  // size query
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size), ERROR_SUCCESS);
  EXPECT_STREQ(data, "12345");
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), nullptr),
            ERROR_INVALID_PARAMETER);
  // Closed and invented handles are refused.
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "K", 0, KEY_QUERY_VALUE, &key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_QUERY_VALUE, nullptr), ERROR_INVALID_PARAMETER);
}

// (Empty files and missing keys or values, as the launcher logs them, are checked by starting
// the server.)
TEST_F(RegistryTest, AnAbsentFileAndMissingKeysFailTheLookup) {
  env.emplace("QUILL_REGISTRY", (dir / "absent.reg").c_str());
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kJreKey, 0, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);

  // A parent of a declared key exists, a sibling with a common prefix does not.
  UseFile("[HKEY_LOCAL_MACHINE\\A\\B C]\n[HKEY_LOCAL_MACHINE\\A\\B\\D]\n");
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  HKEY child = nullptr;
  EXPECT_EQ(RegOpenKeyExA(key, "D", 0, KEY_QUERY_VALUE, &child), ERROR_SUCCESS);  // relative to an open key
  RegCloseKey(child);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "A\\B\\C", 0, KEY_QUERY_VALUE, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, WithoutTheVariableARegistryFileHereOrElseTheInstalledJdkIsUsed) {
  EnvGuard noVariable("QUILL_REGISTRY", nullptr);
  CwdGuard cwd;
  std::filesystem::current_path(dir.path());  // no registry.reg here yet
  // JAVA_HOME names the JDK (without it the machine's own JDK is used, as in every bridge start-up).
  dir.Write("jdk17/release", "IMPLEMENTOR=\"X\"\nJAVA_VERSION=\"17.0.15\"\n");
  dir.Write("jdk8/release", "JAVA_VERSION=\"1.8.0_392\"\n");
  {
    EnvGuard home("JAVA_HOME", (dir / "jdk8").c_str());
    EXPECT_EQ(ReadValue(kJreKey, "CurrentVersion"), "1.8");
  }
  EnvGuard home("JAVA_HOME", (dir / "jdk17").c_str());
  EXPECT_EQ(RuntimeLib(), std::filesystem::canonical(dir.path()).string() + "/jdk17/lib/server/libjvm.so");
  // A registry.reg in the current folder goes before the JDK.
  dir.Write("registry.reg",
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment]\n\"CurrentVersion\"=\"9\"\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\JavaSoft\\Java Runtime Environment\\9]\n\"RuntimeLib\"=\"/x/libjvm.so\"\n");
  EXPECT_EQ(RuntimeLib(), "/x/libjvm.so");
}

// (Loading a library and finding its functions, or not, is checked by starting the server.)
TEST(LibraryTest, NullArgumentsAreRefused) {
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
}

}  // namespace
