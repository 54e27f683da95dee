#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/request.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/core/log.h"
#include "test_support.h"

namespace {

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quill_service::ClearLog();
    quill_service::SetLogSink({});
  }
  void TearDown() override {
    quill_service::CloseInternalDatabase();
    quill_service::ResetLogSink();
  }
  CwdGuard cwd;
  TempDir root;
};

TEST_F(HostTest, StartEntersTheRootAndCreatesTheInternalDatabase) {
  auto& host = quill_service::Host::Start({root.path(), 2});
  const std::string real = std::filesystem::canonical(root.path()).string() + "/";
  EXPECT_EQ(host.Root(), real);
  EXPECT_EQ(std::filesystem::current_path().string() + "/", real);
  EXPECT_TRUE(std::filesystem::exists(root / "quill_internal.db"));
  EXPECT_EQ(quill_service::Host::Instance(), &host);
  CharBuffer out("x");
  EXPECT_EQ(StorageManager::Execute("quill_internal", "SELECT count(*) FROM global_prefs", nullptr, &out), 0);
  EXPECT_EQ(out.str(), "0");

  EXPECT_THROW(quill_service::Host::Start({root / "missing", 2}), osException);
}

TEST_F(HostTest, StartSurvivesADamagedDatabase) {
  root.Write("quill_internal.db", "this is not a database, not at all, not even close........");
  quill_service::Host::Start({root.path(), 1});
  EXPECT_TRUE(Logged("quill_internal.db cannot be used"));
  EXPECT_LT(StorageManager::Execute("quill_internal", "SELECT data FROM global_prefs", nullptr, nullptr), 0);
}

TEST_F(HostTest, LoadModuleCallsTheEntryOnThisThreadInsideARequest) {
  auto& host = quill_service::Host::Start({root.path(), 1});
  int result = -1;
  ASSERT_TRUE(host.LoadModule(FAKE_MODULE_PATH, &result));
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(Logged("fake module: registry given, request current"));
  EXPECT_EQ(Request::GetCurrent(), nullptr);  // the start-up request has ended

  ASSERT_EQ(quill_service::SetPreference("fake_result", std::string("0")), 0);
  ASSERT_TRUE(host.LoadModule(FAKE_MODULE_PATH, &result));
  EXPECT_EQ(result, 0);

  ASSERT_EQ(quill_service::SetPreference("fake_throw", std::string("y")), 0);
  result = -1;
  EXPECT_FALSE(host.LoadModule(FAKE_MODULE_PATH, &result));
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(Logged("fake module refused to start"));

  EXPECT_FALSE(host.LoadModule(root / "absent.so", &result));
  EXPECT_FALSE(host.LoadModule(QUILL_BINARY, &result));  // not a library
}

// Runs the quill command; returns its exit code and fills output with stdout and stderr.
int RunQuill(const std::string& arguments, std::string& output) {
  const std::string command = std::string(QUILL_BINARY) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  output.clear();
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class QuillCommandTest : public ::testing::Test {
 protected:
  void InstallModule() {
    std::filesystem::create_directories(root / "QuillModules");
    std::filesystem::copy_file(FAKE_MODULE_PATH, root / "QuillModules/libQJAPI.so");
  }
  std::string Root() const { return "--root " + root.path(); }
  TempDir root;
  std::string out;
};

TEST_F(QuillCommandTest, ExitCodeFollowsTheModuleEntry) {
  EXPECT_EQ(RunQuill(Root(), out), 2) << out;
  EXPECT_NE(out.find("module not found"), std::string::npos);

  InstallModule();
  EXPECT_EQ(RunQuill(Root(), out), 0) << out;
  EXPECT_NE(out.find("[2] fake module: registry given, request current"), std::string::npos) << out;

  EXPECT_EQ(RunQuill(Root() + " --pref fake_result=0", out), 1) << out;
  EXPECT_EQ(RunQuill(Root(), out), 1) << out;  // preferences persist in the root
  EXPECT_EQ(RunQuill(Root() + " --unset-pref fake_result", out), 0) << out;

  EXPECT_EQ(RunQuill(Root() + " --pref fake_throw --quiet", out), 1) << out;
  EXPECT_EQ(out.find("fake module"), std::string::npos) << out;
  EXPECT_EQ(RunQuill(Root() + " --unset-pref fake_throw --suppress-modules", out), 1) << out;
  EXPECT_EQ(out.find("fake module"), std::string::npos) << out;
  EXPECT_EQ(RunQuill(Root() + " --threads 1 --module " + FAKE_MODULE_PATH, out), 0) << out;
}

TEST_F(QuillCommandTest, UsageErrors) {
  EXPECT_EQ(RunQuill("--help", out), 0);
  for (const char* option : {"--root", "--threads", "--pref KEY=VALUE", "--quiet", "run SCRIPT"}) {
    EXPECT_NE(out.find(option), std::string::npos) << option;
  }
  using namespace std::string_literals;
  for (const std::string& arguments : {"--bogus"s, "--threads 0"s, "--threads x"s, "--pref =x"s, "--root"s,
                                       Root() + " frobnicate", "--root " + (root / "missing")}) {
    EXPECT_EQ(RunQuill(arguments, out), 2) << arguments;
  }
}

}  // namespace
