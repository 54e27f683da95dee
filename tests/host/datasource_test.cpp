// The host's database actions without a VM: a data source written in C++ against the same
// interfaces, the inline parameters and their swap, the connection slot, the
// hosts kept in the internal database and the `quill host` commands.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "host/datasource.h"
#include "service/core/current_request.h"
#include "service/core/host.h"
#include "service/datasource/engine.h"
#include "service/datasource/host_store.h"
#include "service/script/script.h"
#include "service/values/request_data.h"
#include "tests/core/test_support.h"
#include "tests/process/quill_child.h"

namespace {

// Answers each action with a code of its own; a statement "go" succeeds. (Criteria, lists and the
// callback are checked on Java sources.)
class FakeSource : public CAPIDataSourceProxy {
 public:
  explicit FakeSource(const char* name = "fake_ds") : name_(name) {}
  const char* GetModuleName() override { return name_; }
  void ListDatabaseNames(const DataSourceRec&, const HostRec&, std::vector<CharBuffer>*, int*) override {}
  void ListTableNames(const DataSourceRec&, const HostRec&, const DatabaseRec&, std::vector<CharBuffer>*, int*) override {}
  void ListSchemaNames(const DataSourceRec&, const HostRec&, const DatabaseRec&, std::vector<CharBuffer>*, int*) override {}
  // One row of cells 1, 2, 3é, 4 and U+1F600 (as modified UTF-8 writes it) in columns ab, b, é, b, m.
  osError Search(Request* request) override {
    WebOutputParams& results = *request->GetOutputParams(nullptr)->GetDBOutput();
    for (const char* name : {"ab", "b", "\xC3\xA9", "b", "m"}) results.columns.push_back(DBColumnInfo{name, 0, 0, 0, {}});
    results.rows.Add({"1", "2", "3\xC3\xA9", "4", "\xED\xA0\xBD\xED\xB8\x80"});
    return 5;
  }
  osError Add(Request*) override { return 6; }
  osError Update(Request*) override { return 7; }
  osError Delete(Request* request) override {
    request->GetResultMessage()->SetString(u"kept the rows");
    return 8;
  }
  osError DescribeTable(Request*) override { return 9; }
  osError ExecuteStatement(Request* request) override {
    return request->GetInputParams(nullptr)->GetDBInput()->statement == "go" ? 0 : -10;
  }

 private:
  const char* name_;
};

class DatabaseActions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    quill_service::Host::Start({root_.path(), 4, {}});
    ASSERT_TRUE(DataSourceRegistry::Global().AddDataSource(3, new FakeSource));
  }
  static inline TempDir root_;
};

std::string RunDs(const std::string& source, bool expectOk = true) {
  const auto run = quill_service::RunScriptText(source, "ds.q", {});
  EXPECT_EQ(run.ok, expectOk) << source << "\n" << run.error;
  return run.ok ? run.output : run.error;
}

}  // namespace

TEST_F(DatabaseActions, TheRegistryRefusesDuplicatesAndNamelessSources) {
  FakeSource duplicate;
  EXPECT_FALSE(DataSourceRegistry::Global().AddDataSource(4, &duplicate));  // "FAKE_DS" folds to the same
  EXPECT_FALSE(DataSourceRegistry::Global().AddDataSource(4, nullptr));
  EXPECT_EQ(DataSourceRegistry::Global().IdOf(DataSourceRegistry::Global().Find("FAKE_DS")), 3);
  EXPECT_EQ(DataSourceRegistry::Global().IdOf(&duplicate), -1);
  // Each change answers the next question, asked before it on the same thread, anew.
  DataSourceRegistry& registry = DataSourceRegistry::Global();
  auto* later = new FakeSource("fake_later");
  auto* newer = new FakeSource("FAKE_LATER");
  EXPECT_EQ(registry.Find("fake_later"), nullptr);
  EXPECT_EQ(registry.IdOf(later), -1);
  ASSERT_TRUE(registry.AddDataSource(7, later));
  EXPECT_EQ(registry.Find("fake_later"), later);
  EXPECT_EQ(registry.IdOf(later), 7);
  ASSERT_TRUE(registry.Replace(newer));
  EXPECT_EQ(registry.Find("fake_later"), newer);
  EXPECT_EQ(registry.IdOf(newer), 7);
  EXPECT_TRUE(registry.Remove("Fake_Later"));
  EXPECT_EQ(registry.Find("fake_later"), nullptr);
  EXPECT_EQ(registry.IdOf(newer), -1);
}

TEST_F(DatabaseActions, BadParametersFailWithClearErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"db_search(['a', 1])", "missing parameter -source"},
      {"db_search(-source='fake_ds', ['a', 'like', 1])", "error -9006: unknown search operator"},
      {"db_search(-source='fake_ds', 'a')", "a criterion is"},
      {"db_search(-source='fake_ds', -colour='red')", "unknown parameter -colour"},
      {"db_search(-source='fake_ds', -max='many')", "-max must be"},
      {"db_search(-source='nope')", "no data source named nope"},
      {"db_search(-source='fake_ds', -host=999999)", "has no host 999999"},
      {"found_count()", "no database action runs"},
  };
  for (const auto& [script, error] : cases) EXPECT_NE(RunDs(script, false).find(error), std::string::npos) << script;
  EXPECT_EQ(RunDs("db_statement(-source='fake_ds', -sql='go') => { action_code() }"), "0");
  // A failure's message is the source's when it set one; the request's message before the action
  // comes back when it set none.
  EXPECT_EQ(RunDs("result_message('before') db_add(-source='fake_ds') => { action_message() } '|' result_message() "
                  "db_delete(-source='fake_ds') => { '|' action_message() } '|' result_message() "
                  "db_add(-source='fake_ds') => { '|' action_message() } '|' result_message()"),
            "data source fake_ds answered 6|before|kept the rows|kept the rows|data source fake_ds answered 6|kept the rows");
  // Columns by name: the first named exactly so, not by a part of the name or in another case.
  // Cells reach the output as UTF-8, written out directly or through a value.
  EXPECT_EQ(RunDs("db_search(-source='fake_ds') => { field('b') field('ab') field('\xC3\xA9') field('m') "
                  "field('m')->size() var s = field('ab') $s "
                  "try => { field('a') } catch => { error_message() } try => { field('B') } catch => { ' ' error_code() } }"),
            "213\xC3\xA9\xF0\x9F\x98\x80" "21no column named a -9003");
}

TEST_F(DatabaseActions, SwappedParametersComeBackAndStaleTokensAndBadCellsAreRefused) {
  Request request;
  quill_service::CurrentRequestScope scope(&request);
  request.GetDataSourceRec().name = "outer";
  request.GetHostRec().id = 5;
  request.SwapParams("swap");
  EXPECT_TRUE(request.GetDataSourceRec().name.IsEmpty());
  EXPECT_EQ(request.GetHostRec().id, 0);
  ASSERT_NE(request.GetInline("swap"), nullptr);
  request.UnSwapParams("swap");
  EXPECT_STREQ(request.GetDataSourceRec().name.c_str(), "outer");
  EXPECT_EQ(request.GetHostRec().id, 5);
  // Every swap starts from nothing, whatever the actions before it left; a handle given to the
  // parameters dies with their action.
  quill_type handle = 0;
  for (int round = 0; round < 4; ++round) {
    request.SwapParams(round == 1 ? "named" : "");
    InlineAction& a = *request.GetInline(nullptr);
    const WebInputParams& in = a.params.input;
    const WebOutputParams& out = a.params.output;
    EXPECT_TRUE(a.name == (round == 1 ? "named" : "") && a.source.id == 0 && a.source.name.IsEmpty() &&
                a.host.id == 0 && a.host.name.IsEmpty() && a.host.user.IsEmpty() && a.host.password.IsEmpty() &&
                a.database.name.IsEmpty() && !a.database.named && in.table.empty() && in.schema.empty() &&
                in.inputColumns.empty() && in.logicalOp == QUILL_LOGICAL_AND && in.sortColumns.empty() &&
                in.returnColumns.empty() && in.keyColumn.empty() && !in.keyValue && in.skipRows == 0 &&
                in.maxRows == -1 && in.rowId == 0 && in.statement.empty() && !in.statementOnly &&
                out.columns.empty() && out.rows.empty() && !out.rowsFound && out.rowId == 0 &&
                out.actionStatement.empty() && a.code == 0 && a.message.empty() && a.currentRow == -1 &&
                a.params.GetType() == QUILL_TYPE_NULL)
        << round;
    if (handle != 0) { EXPECT_EQ(Variant::FromHandle(handle), nullptr); }
    a.source = {2, "s"};
    a.host = {3, "h", "u", "p"};
    a.database = {"d", true};
    a.params.input = {"t", "s", {{"c", "v"}}, QUILL_LOGICAL_OR, {{"c"}}, {"c"}, "k", "v", 1, 2, 3, "q", true};
    a.params.output.columns.push_back({"c", 0, 0, 0, {}});
    a.params.output.rows.Add({"x"});
    a.params.output.rowsFound = 1;
    a.params.output.rowId = 1;
    a.params.output.actionStatement.push_back(u'q');
    a.code = 1;
    a.message = "m";
    a.currentRow = 0;
    if (round == 1) handle = a.params.Handle();
    if (round == 2) a.params.SetInteger(1);
    request.UnSwapParams(round == 1 ? "named" : "");
  }

  quill_value_t record{"kept", 4, "kept", 4, 1};
  quill_token stale = 0;
  {
    TExecState state(nullptr);
    int32_t n = 77;
    EXPECT_EQ(quill_getMaxRows(state.Token(), &n), QUILL_ERR_NOT_FOUND);  // no action runs
    EXPECT_EQ(n, 77);
    request.SwapParams("action");
    stale = state.Token();
    EXPECT_EQ(quill_getMaxRows(state.Token(), &n), 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(quill_getInputColumn(state.Token(), 0, &record), QUILL_ERR_OUT_OF_RANGE);
    // Packed cells a module may not hand over: a length below -1, more bytes than it gives.
    for (const int32_t length : {-2, 2}) EXPECT_EQ(quill_addResultRows(state.Token(), 1, 1, "z", 1, &length), QUILL_ERR_INVALID);
    void* connection = &n;
    EXPECT_EQ(quill_getDSConnection(state.Token(), &connection), QUILL_ERR_NOT_FOUND);  // no data source
    EXPECT_EQ(connection, &n);
    request.UnSwapParams("action");
  }
  EXPECT_EQ(quill_getTableName(stale, &record), QUILL_ERR_BAD_TOKEN);
  EXPECT_STREQ(record.data, "kept");
}

// At its end a request closes its connections that hold an object, in order, each on its own
// host and alone; a connection stored during a close is dropped with the rest.
TEST_F(DatabaseActions, ConnectionsCloseInOrderEachOnItsHostAndAlone) {
  static std::string seen;
  auto* source = new FakeSource("fake_close");
  source->SetCAPIFunc([](void* token, datasource_action_t action, const quill_value_t*) -> osError {
    const auto t = static_cast<quill_token>(reinterpret_cast<intptr_t>(token));
    void* slot = nullptr;
    quill_getDSConnection(t, &slot);
    HostRec& host = TExecState::FromToken(t)->request->GetHostRec();
    seen += std::to_string(action) + ":" + std::to_string(host.id) + (slot != nullptr ? static_cast<const char*>(slot) : "?") + " ";
    for (int32_t id = 90; id < 99; ++id) {  // enough new connections to move the request's list
      host.id = id;
      quill_setDSConnection(t, token);
    }
    return QUILL_OK;
  });
  ASSERT_TRUE(DataSourceRegistry::Global().AddDataSource(8, source));
  char a[] = "a", c[] = "c";
  {
    Request request;
    quill_service::CurrentRequestScope scope(&request);
    auto& connections = request.Contents().database.connections;
    connections = {{source, {1, "h1", "", ""}, a}, {source, {2, "h2", "", ""}, nullptr}, {source, {3, "h3", "", ""}, c}};
    request.Finish();
    EXPECT_TRUE(connections.empty());
  }
  EXPECT_EQ(seen, "13:1a 13:3c ");
  EXPECT_TRUE(DataSourceRegistry::Global().Remove("fake_close"));
}

TEST_F(DatabaseActions, HostCommandsNeverShowPasswords) {
  const std::string out = root_ / "host.out";
  const auto quill = [&](const std::string& args, const std::string& input = "") {
    const std::string command = (input.empty() ? "" : "printf '" + input + "\\n' | ") + std::string(QUILL_BINARY) +
                                " --no-module --quiet --root " + root_.path() + " host " + args + " >" + out +
                                " 2>&1";
    const int status = std::system(command.c_str());
    return std::make_pair(WEXITSTATUS(status), quill_child::ReadFile(out));
  };
  const auto added = quill("add csv_src https://db.example/x ann", "s3cret");  // password from standard input
  ASSERT_EQ(added.first, 0) << added.second;
  const auto second = quill("add csv_src other bob 'pa ss'");
  ASSERT_EQ(second.first, 0) << second.second;
  const auto listed = quill("list csv_src");
  EXPECT_EQ(listed.first, 0);
  EXPECT_NE(listed.second.find("csv_src\thttps://db.example/x\tann"), std::string::npos) << listed.second;
  for (const char* pw : {"pa ss", "s3cret"}) EXPECT_EQ(listed.second.find(pw), std::string::npos) << listed.second;
  EXPECT_EQ(quill("remove " + second.second.substr(0, second.second.find('\n'))).first, 0);
  EXPECT_EQ(quill("remove 999999").first, 1);
  EXPECT_EQ(quill("frobnicate").first, 2);
  const auto stored = quill_service::FindDataSourceHost("CSV_SRC", 0);
  ASSERT_TRUE(stored.has_value());
  EXPECT_STREQ(stored->user.c_str(), "ann");
  EXPECT_EQ(stored->password.str(), "s3cret");
  // By source (any case) and id; 0 takes the source's first host.
  const int32_t annId = std::atoi(added.second.c_str());
  const struct {
    const char* source;
    int32_t id;
    const char* user;  // null: no host
  } lookups[] = {{"csv_src", annId, "ann"}, {"csv_src", annId + 1, nullptr}, {"csv_src", 999999, nullptr},
                 {"other_src", 0, nullptr}, {"other_src", annId, nullptr}};
  for (const auto& lookup : lookups) {
    const auto found = quill_service::FindDataSourceHost(lookup.source, lookup.id);
    EXPECT_EQ(found.has_value(), lookup.user != nullptr) << lookup.source << " " << lookup.id;
    if (found && lookup.user != nullptr) { EXPECT_STREQ(found->user.c_str(), lookup.user) << lookup.id; }
  }
}
