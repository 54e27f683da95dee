// The server's general services through the QCAPI, the way a module reaches them: semaphores,
// the stored data, users and rights, paths and the log's destinations; and loading a module.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "service/core/current_request.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/core/log.h"
#include "service/core/paths.h"
#include "service/core/users.h"
#include "service/values/request_data.h"
#include "test_support.h"
#include "tests/process/quill_child.h"

using namespace quill_service;

namespace {

// A request current on this thread with a state whose token the QCAPI accepts.
struct Call {
  explicit Call(const std::string& user = "") { request.Contents().user = user; }
  Request request;
  CurrentRequestScope current{&request};
  TExecState state{nullptr};
  quill_token t() const { return state.Token(); }
};

class Services : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogSink({});
    Host::Start({root.path(), 1, {}});
  }
  void TearDown() override {
    quill_logSetDestination(QUILL_LOG_TO_STDERR, -1);
    CloseInternalDatabase();
    ResetLogSink();
  }
  std::string Root() const { return Host::Instance()->Root(); }

  CwdGuard cwd;
  TempDir root;
};

std::string Text(const quill_value_t& record) { return std::string(record.data, record.dataSize); }

// ---- semaphores ----

// (Mutual exclusion across worker threads is checked from Java, through these functions.)
TEST_F(Services, SemaphoreMisuseIsRefusedAndDestroyingWakesWaiters) {
  Call call;
  EXPECT_EQ(quill_acquireSem(call.t(), "fx_unknown"), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(quill_releaseSem(call.t(), "fx_unknown"), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(quill_createSem(call.t(), nullptr), QUILL_ERR_INVALID);
  ASSERT_EQ(quill_createSem(call.t(), "fx_gate"), 0);
  ASSERT_EQ(quill_acquireSem(call.t(), "fx_gate"), 0);
  EXPECT_EQ(quill_createSem(call.t(), "fx_gate"), 0);  // kept as it is: still taken
  ASSERT_EQ(quill_releaseSem(call.t(), "fx_gate"), 0);
  EXPECT_EQ(quill_releaseSem(call.t(), "fx_gate"), QUILL_ERR_INVALID);  // nothing taken
  ASSERT_EQ(quill_acquireSem(call.t(), "fx_gate"), 0);
  std::atomic<osError> waiterResult{1};
  std::thread waiter([&] { waiterResult = quill_acquireSem(Call().t(), "fx_gate"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(waiterResult.load(), 1);  // still waiting for the slot
  EXPECT_EQ(quill_destroySem(call.t(), "fx_gate"), 0);
  waiter.join();
  EXPECT_EQ(waiterResult.load(), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(quill_destroySem(call.t(), "fx_gate"), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(quill_acquireSem(0, "fx_gate"), QUILL_ERR_BAD_TOKEN);
}

// ---- stored data ----

TEST_F(Services, StoredDataSurvivesARestartAndMissingKeysLeaveTheRecord) {
  {
    Call call;
    ASSERT_EQ(quill_storePutData(call.t(), "fx_key", "v\0\xE9", 3), 0);
    EXPECT_EQ(quill_storePutData(call.t(), "fx_key2", nullptr, 1), QUILL_ERR_INVALID);
    EXPECT_EQ(quill_storePutData(call.t(), "fx_key2", "x", -1), QUILL_ERR_INVALID);
  }
  CloseInternalDatabase();
  Host::Start({root.path(), 1, {}});  // a restart in the same root
  Call call;
  quill_value_t record{"n", 1, "kept", 4, 5};
  int32_t extra = 9;
  ASSERT_EQ(quill_storeGetData(call.t(), "fx_key", &record, &extra), 0);
  EXPECT_EQ(Text(record), std::string("v\0\xE9", 3));
  EXPECT_EQ(extra, 0);
  EXPECT_STREQ(record.name, "n");

  const quill_value_t before{"n", 1, "kept", 4, 5};
  record = before;
  EXPECT_EQ(quill_storeGetData(call.t(), "fx_key2", &record, &extra), QUILL_ERR_NOT_FOUND);
  EXPECT_EQ(record.data, before.data);
  EXPECT_EQ(record.type, before.type);
}

// ---- users and rights ----

// A grant covers a target only in their normal forms: no spelling of a path reaches past it.
TEST_F(Services, GrantsCoverTargetsOnlyOnceBothAreNormalisedAndGoWithTheUser) {
  ASSERT_EQ(SetUser("gina", "pw", false), 0);
  const struct {
    const char* grant;
    const char* target;
    bool covered;
  } cases[] = {
      {"/docs/*", "/docs//./a.txt", true},
      {"/docs/*", "/docs", true},  // the folder itself
      {"/docs/*", "/docs/../secret.txt", false},
      {"/docs/*", "/docsx/a.txt", false},
      {"/docs/*", "/docs/a\nb", false},
      {"/docs/a/../../pub/*", "/pub/x", true},
      {"page:/shop/*", "page://shop/cart.qs", true},
      {"db:CSV/shop/*", "db:csv/shop/items", true},
      {"db:csv/shop/*", "db:Csv/shop%2F..%2Fother/t", false},
      {"*", "db:anything/at/all", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.grant) + " / " + c.target);
    ASSERT_EQ(GrantRight("gina", QUILL_OP_READ, c.grant), 0);
    EXPECT_EQ(OperationAllowed("gina", QUILL_OP_READ, c.target), c.covered);
    EXPECT_FALSE(OperationAllowed("gina", QUILL_OP_WRITE, c.target));
    ASSERT_EQ(RevokeRight("gina", QUILL_OP_READ, c.grant), 0);
  }
  EXPECT_EQ(GrantRight("gina", QUILL_OP_READ, "/../x"), QUILL_ERR_INVALID);
  // A module's target arrives in ISO-8859-1.
  ASSERT_EQ(GrantRight("gina", QUILL_OP_READ, "/caf\u00e9/*"), 0);
  Call call("gina");
  EXPECT_EQ(quill_operationAllowed(call.t(), QUILL_OP_READ, "/caf\xE9/menu.txt"), 0);
  // The anonymous user's rights are every user's; only users that exist are given rights.
  ASSERT_EQ(GrantRight("", QUILL_OP_READ, "/public.txt"), 0);
  EXPECT_EQ(quill_operationAllowed(call.t(), QUILL_OP_READ, "/public.txt"), 0);
  EXPECT_EQ(GrantRight("nobody", QUILL_OP_READ, "/x"), QUILL_ERR_NOT_FOUND);
  // Anyone may drop to anonymous (switching with a password is checked from Java); a removed
  // user's password and rights go with it.
  ASSERT_EQ(quill_switchToUser(call.t(), "", nullptr), 0);
  EXPECT_EQ(quill_isAnonymous(call.t()), 1);
  ASSERT_EQ(RemoveUser("gina"), 0);
  EXPECT_EQ(CheckPassword("gina", "pw"), QUILL_ERR_NOT_ALLOWED);
  EXPECT_FALSE(OperationAllowed("gina", QUILL_OP_READ, "/caf\u00e9/menu.txt"));
}

// The path services answer for the paths the request's user may read, as written and where their
// links lead; a root without rights answers for every path under it.
TEST_F(Services, PathServicesAnswerOnlyForPathsTheUserMayRead) {
  root.Write("docs/a.txt", "a");
  root.Write("docs/caf\u00e9.txt", "menu");
  root.Write("secret.txt", "secret");
  std::filesystem::create_symlink(Root() + "secret.txt", Root() + "docs/link");
  quill_value_t record{};
  EXPECT_EQ(quill_includeRaw(Call().t(), "/secret.txt", &record), 0);
  ASSERT_EQ(SetUser("ann", "pw", false), 0);
  ASSERT_EQ(SetUser("boss", "pw", true), 0);
  EXPECT_EQ(quill_includeRaw(Call().t(), "/secret.txt", &record), 0);  // users alone change nothing
  ASSERT_EQ(GrantRight("ann", QUILL_OP_READ, "/docs/*"), 0);
  const osError no = QUILL_ERR_NOT_ALLOWED;
  const struct {
    const char* user;
    const char* path;  // ISO-8859-1, as the module sends it
    osError qualify, include;
  } cases[] = {
      {"ann", "/docs/a.txt", 0, 0},          {"ann", "/docs/../secret.txt", no, no},
      {"ann", "/docs/link", 0, no},          {"ann", "/docs/caf\xE9.txt", 0, 0},
      {"", "/docs/a.txt", no, no},           {"boss", "/secret.txt", 0, 0},
  };
  char out[1024] = "";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " " + c.path);
    Call call(c.user);
    EXPECT_EQ(quill_fullyQualifyPath(call.t(), c.path, out, sizeof out), c.qualify);
    EXPECT_EQ(quill_resolvePath(call.t(), c.path, out, sizeof out), c.include);
    EXPECT_EQ(quill_includeRaw(call.t(), c.path, &record), c.include);
  }
  Call ann("ann");
  ASSERT_EQ(quill_resolveIncludePath(ann.t(), "/docs/caf\xE9.txt", out, sizeof out), 0);
  EXPECT_STREQ(out, "/docs/caf\xC3\xA9.txt");  // written back as UTF-8
  ASSERT_EQ(quill_includeRaw(ann.t(), "/docs/caf\xE9.txt", &record), 0);
  EXPECT_EQ(Text(record), "menu");
}

// ---- paths ----

TEST(InternalPaths, QualifyingNormalisesAndNeverClimbsAboveTheRoot) {
  // Each path, the folder it is relative to, and what it qualifies to ("-": refused).
  const char* const cases[][3] = {
      {"a/b", "/web/", "/web/a/b"},     {"../x", "/web/", "/x"},          {"/a/./b/../c/", "/web/", "/a/c/"},
      {"a//b/.", "/", "/a/b/"},         {"..", "/web/", "/"},             {"../..", "/web/", "-"},
      {"/../etc/passwd", "/", "-"},     {"", "/", "-"},                   {"/", "/web/", "/"},
  };
  for (const auto& [path, folder, expected] : cases) {
    EXPECT_EQ(QualifyInternalPath(path, folder).value_or("-"), expected) << path;
  }
  EXPECT_EQ(PlatformToInternalPath("/srv/root/", "/srv/root").value_or("<refused>"), "/");
  EXPECT_FALSE(PlatformToInternalPath("/srv/root/", "/srv/rootless/a").has_value());
  EXPECT_FALSE(PlatformToInternalPath("/srv/root/", "/srv/root/../other").has_value());
  EXPECT_FALSE(quill_isFullInternalPath(nullptr));
}

// ---- modules ----

// (Entering the root, opening its database there and refusing a root that is no folder are
// checked by every start of the quill command.)
TEST_F(Services, LoadModuleCallsTheEntryOnThisThreadInsideARequest) {
  Host& host = *Host::Instance();
  int result = -1;
  ASSERT_TRUE(host.LoadModule(FAKE_MODULE_PATH, &result));  // (its result and log line: see the quill command)
  EXPECT_EQ(Request::GetCurrent(), nullptr);  // the start-up request has ended

  ASSERT_EQ(SetPreference("fake_throw", std::string("y")), 0);
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

// ---- the log ----

TEST_F(Services, TheLogFileUnderTheRootTakesLinesUpToTheChosenLevel) {
  EXPECT_EQ(quill_logSetDestination(QUILL_LOG_TO_FILE, -2), QUILL_ERR_INVALID);
  ASSERT_EQ(quill_logSetDestination(QUILL_LOG_TO_FILE, 2), 0);
  quill_log(2, "%s", "to the file 100% %s");
  quill_log(3, "%s", "too detailed for the file");
  ASSERT_EQ(quill_logSetDestination(QUILL_LOG_TO_STDERR, -1), 0);
  quill_log(1, "%s", "after the file was closed");
  const std::string text = quill_child::ReadFile(Root() + kLogFile);
  // The one line the file took, after its UTC time stamp.
  const std::regex onlyLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[2\] to the file 100% %s\n)");
  EXPECT_TRUE(std::regex_match(text, onlyLine)) << text;
  EXPECT_EQ(LogSnapshot().back().text, "after the file was closed");  // memory keeps everything
}

}  // namespace
