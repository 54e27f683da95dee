#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/request.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/core/log.h"
#include "test_support.h"
#include "tests/process/quill_child.h"

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

// (Entering the root, opening its database there and refusing a root that is no folder are
// checked by every start of the quill command.)
TEST_F(HostTest, LoadModuleCallsTheEntryOnThisThreadInsideARequest) {
  auto& host = quill_service::Host::Start({root.path(), 1, {}});
  int result = -1;
  ASSERT_TRUE(host.LoadModule(FAKE_MODULE_PATH, &result));  // (its result and log line: see the quill command)
  EXPECT_EQ(Request::GetCurrent(), nullptr);  // the start-up request has ended

  ASSERT_EQ(quill_service::SetPreference("fake_throw", std::string("y")), 0);
  EXPECT_FALSE(host.LoadModule(FAKE_MODULE_PATH, &result));
  EXPECT_EQ(result, 1);  // as the first entry left it
  EXPECT_TRUE(Logged("fake module refused to start"));

  EXPECT_FALSE(host.LoadModule(root / "absent.so", &result));
  EXPECT_FALSE(host.LoadModule(QUILL_BINARY, &result));  // not a library
}

TEST(QuillCommandTest, ExitCodeFollowsTheModuleEntry) {
  quill_child::Root root("qjapi-core", "fake", {});
  const auto run = [&](const std::vector<std::string>& args) { return root.Run(args, std::chrono::seconds(60)); };
  const quill_child::Outcome missing = run({});
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(quill_child::Has(missing.err, "module not found")) << missing.err;

  std::filesystem::copy_file(FAKE_MODULE_PATH, root.root() / "QuillModules/libQJAPI.so");
  const quill_child::Outcome loaded = run({});
  EXPECT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_TRUE(quill_child::Has(loaded.err, "[2] fake module: registry given, request current")) << loaded.err;

  EXPECT_EQ(run({"--pref", "fake_result=0"}).status, 1);
  EXPECT_EQ(run({}).status, 1);  // preferences persist in the root
  EXPECT_EQ(run({"--unset-pref", "fake_result"}).status, 0);  // else the stored 0 stays

  const quill_child::Outcome thrown = run({"--pref", "fake_throw", "--quiet"});
  EXPECT_EQ(thrown.status, 1) << thrown.err;
  EXPECT_FALSE(quill_child::Has(thrown.out + thrown.err, "fake module")) << thrown.err;
  EXPECT_EQ(run({"--threads", "1", "--unset-pref", "fake_throw", "--module", FAKE_MODULE_PATH}).status, 0);
}

}  // namespace
