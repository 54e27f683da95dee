#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/os.h"
#include "test_support.h"

namespace {

struct Entry {
  std::string fullPath, name, extension;
  bool directory;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> Walk(const std::string& folder, bool recursive, bool files, bool folders) {
  osDirectoryIterator it(folder.c_str(), recursive, files, folders);
  std::vector<Entry> entries;
  osFile file;
  while (it.GetNextFile(file)) {
    entries.push_back({file.GetFullPath(), file.GetFilename(), file.GetExtension(), file.IsDirectory()});
  }
  return entries;
}

// Each case runs in its own folder.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(dir.path()); }
  TempDir dir;
  std::string root = std::filesystem::canonical(dir.path()).string() + "/";
  CwdGuard cwd;
};

TEST_F(FilesTest, AttachToGivesTheFullFolderPathOrRefusesWithoutChangingTheObject) {
  std::filesystem::create_directory(dir / "QuillModules");
  osFile folder;
  ASSERT_EQ(folder.AttachTo("QuillModules/", 5, 3, true), 0);
  EXPECT_STREQ(folder.GetFullPath(), (root + "QuillModules/").c_str());
  EXPECT_TRUE(folder.IsDirectory());
  // ("../../" forms resolve to the real folder: the server's module folders are found so.)
  // A missing folder or a file taken as a folder is refused and the object keeps its folder.
  dir.Write("plain.txt", "x");
  EXPECT_NE(folder.AttachTo((dir / "missing").c_str(), 5, 3, true), 0);
  EXPECT_NE(folder.AttachTo((dir / "plain.txt").c_str(), 5, 3, true), 0);
  EXPECT_NE(folder.AttachTo(nullptr, 5, 3, true), 0);
  EXPECT_NE(folder.AttachTo("", 5, 3, true), 0);
  EXPECT_STREQ(folder.GetFullPath(), (root + "QuillModules/").c_str());
}

TEST_F(FilesTest, IteratorReturnsEntriesSortedWithNameAndExtensionSplitAndFlagsSelectThem) {
  for (const char* name : {"x.JAR", "b.jar", "x.tar.gz", "README", ".jar", "a.zip", "trail."}) dir.Write(name, "");
  std::filesystem::create_directory(dir / "lib.jar");
  dir.Write("lib.jar/inner.jar", "");

  const std::vector<Entry> expected = {
      {root + ".jar", ".jar", "", false},
      {root + "README", "README", "", false},
      {root + "a.zip", "a", ".zip", false},
      {root + "b.jar", "b", ".jar", false},
      {root + "lib.jar/", "lib.jar", "", true},
      {root + "trail.", "trail", ".", false},
      {root + "x.JAR", "x", ".JAR", false},
      {root + "x.tar.gz", "x.tar", ".gz", false},
  };
  EXPECT_EQ(Walk(dir.path(), false, true, true), expected);
  // Files only, folders only, everything below: the paths under the folder.
  const auto paths = [&](bool recursive, bool files, bool folders) {
    std::string text;
    for (const Entry& e : Walk(dir.path(), recursive, files, folders)) text += e.fullPath.substr(root.size()) + " ";
    return text;
  };
  EXPECT_EQ(paths(false, true, false), ".jar README a.zip b.jar trail. x.JAR x.tar.gz ");
  EXPECT_EQ(paths(false, false, true), "lib.jar/ ");
  EXPECT_EQ(paths(true, true, true), ".jar README a.zip b.jar lib.jar/ lib.jar/inner.jar trail. x.JAR x.tar.gz ");
  EXPECT_TRUE(Walk(dir / "missing", false, true, true).empty());
  osDirectoryIterator nothing(nullptr, false, true, true);
  osFile file;
  EXPECT_FALSE(nothing.GetNextFile(file));
}

TEST_F(FilesTest, CurrentDirectoryEndsWithSeparatorAndRefusesSmallBuffers) {
  char buffer[2048];
  ASSERT_EQ(osGetCurrentDirectory(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), root);
  char small[4] = "abc";
  EXPECT_NE(osGetCurrentDirectory(small, sizeof small), 0);
  EXPECT_STREQ(small, "abc");
  // Host text is ISO-8859-1: a name it can hold comes in it, one it cannot is refused.
  std::filesystem::create_directories(root + "caf\u00e9/\u65e5");
  std::filesystem::current_path(root + "caf\u00e9");
  ASSERT_EQ(osGetCurrentDirectory(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), root + "caf\xE9/");
  std::filesystem::current_path("\u65e5");
  EXPECT_NE(osGetCurrentDirectory(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), root + "caf\xE9/");
  std::filesystem::current_path("/");
  ASSERT_EQ(osGetCurrentDirectory(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "/");
}

TEST(PlatformPathTest, CopiesWhenItFitsAndRefusesOtherwise) {
  char out[8] = "unset";
  EXPECT_EQ(quill_getPlatformSpecificPath("/a/b/", out, 6), 0);
  EXPECT_STREQ(out, "/a/b/");
  EXPECT_NE(quill_getPlatformSpecificPath("/a/b/c/", out, 7), 0);  // no room for the terminator
  EXPECT_STREQ(out, "/a/b/");
  EXPECT_EQ(quill_getPlatformSpecificPath("\xC3\xA7", out, 8), 0);  // ISO-8859-1, even where it reads as UTF-8
  EXPECT_STREQ(out, "\xC3\x83\xC2\xA7");
  EXPECT_NE(quill_getPlatformSpecificPath(nullptr, out, 8), 0);
  EXPECT_NE(quill_getPlatformSpecificPath("/", nullptr, 8), 0);
  EXPECT_NE(quill_getPlatformSpecificPath("/", out, 0), 0);
}

TEST(CriticalSectionTest, RecursiveTimedAndOwnerChecked) {
  osCriticalSection section;
  ASSERT_EQ(section.Init(), 0);
  ASSERT_EQ(section.Enter(), 0);
  ASSERT_EQ(section.Enter(10), 0);  // recursive

  std::thread([&] {
    EXPECT_NE(section.Enter(20), 0);
    EXPECT_NE(section.Enter(-1, true), 0);
    EXPECT_NE(section.Leave(), 0);  // not the owner
  }).join();

  EXPECT_EQ(section.Leave(), 0);
  EXPECT_EQ(section.Leave(), 0);
  EXPECT_NE(section.Leave(), 0);  // no longer held

  std::thread([&] {
    ASSERT_EQ(section.Enter(1000), 0);
    EXPECT_EQ(section.Leave(), 0);
  }).join();
}

}  // namespace
