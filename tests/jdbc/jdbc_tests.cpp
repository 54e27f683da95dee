// The JDBC connector against real databases: SQLite (the embedded default, no host stored) and a
// private PostgreSQL cluster this program starts itself. The same record-action cases run on
// both; scripts run as a user's would, and what a database keeps is read back through it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <jni.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "datasource/JavaDataSource.h"
#include "host/storage.h"
#include "service/core/log.h"
#include "service/datasource/host_store.h"
#include "service/script/script.h"
#include "tests/jdbc/pg_cluster.h"
#include "tests/vm_server.h"

namespace {

using quill_service::ScriptRun;

qjapi_test::PgCluster* gPg = nullptr;
std::string gPgMissing;  // why the PostgreSQL cases are skipped
JNIEnv* gEnv = nullptr;

struct Database {
  const char* source;
  const char* table;  // the CREATE TABLE of the cases' table "items"
  const char* blob;   // the SQL of the bytes 00 FF 41
};
const Database kSqlite{"SQLite",
                       "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, price REAL, "
                       "stock INTEGER, data BLOB)",
                       "X'00FF41'"};
const Database kPostgres{"PostgreSQL",
                         "CREATE TABLE items (id SERIAL PRIMARY KEY, name TEXT NOT NULL UNIQUE, price DOUBLE "
                         "PRECISION, stock INTEGER, data BYTEA)",
                         "decode('00ff41', 'hex')"};

ScriptRun RunScript(const std::string& source) { return quill_service::RunScriptText(source, "jdbc.q", {}); }

// The output of a script that must run; its error otherwise.
std::string Output(const std::string& source) {
  const ScriptRun run = RunScript(source);
  return run.ok ? run.output : "FAILED: " + run.error;
}

bool Logged(int level, const std::string& text) {
  const auto lines = quill_service::LogSnapshot();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.level == level && line.text == text; });
}

class OnBoth : public ::testing::TestWithParam<const Database*> {
 protected:
  void SetUp() override {
    if (GetParam() == &kPostgres && !gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
    on = std::string("-source='") + GetParam()->source + "', -database='shop'";
    items = on + ", -table='items'";
  }

  // A fresh table of five rows.
  void Fill() {
    ASSERT_EQ(Output("db_statement(" + on + ", -sql='DROP TABLE IF EXISTS items')"), "");
    ASSERT_EQ(Output("db_statement(" + on + ", -sql='" + GetParam()->table + "')"), "");
    for (const char* row : {"['name', 'Apple'], ['price', 1.5], ['stock', 10]",
                            "['name', 'Banana'], ['price', 0.25], ['stock', 0]",
                            "['name', 'Cherry'], ['price', 4.75], ['stock', 3]",
                            "['name', 'Damson'], ['price', 3.5], ['stock', 0]",
                            "['name', 'Elderberry'], ['price', 6.25], ['stock', 8]"}) {
      ASSERT_EQ(Output("db_add(" + items + ", " + row + ") => { action_code() }"), "0") << row;
    }
  }

  // "found:name,name," of a search.
  std::string Names(const std::string& criteria) {
    return Output("db_search(" + items + ", " + criteria + ") => { found_count() ':' rows => { field('name') ',' } }");
  }

  std::string on, items;
};

TEST_P(OnBoth, SearchesApplyEveryOperatorGroupsSortingAndPaging) {
  Fill();
  const struct {
    const char* criteria;
    const char* expected;
  } cases[] = {
      {"['price', '<', 5], -group='or', ['name', 'begins', 'A'], ['name', 'ends', 'y'], -group_end, -sort_desc='price'",
       "2:Cherry,Apple,"},
      {"['name', 'contains', 'err'], -sort='name'", "2:Cherry,Elderberry,"},
      {"['stock', '>=', 8], ['name', '!contains', 'x'], -sort='name'", "2:Apple,Elderberry,"},
      {"['name', '!=', 'Apple'], ['stock', '<=', 0], -sort='name'", "2:Banana,Damson,"},
      {"-group='not', ['stock', 0], -group_end, -sort='name'", "3:Apple,Cherry,Elderberry,"},
      {"['price', '>', 3], ['stock', '<', 5], -logic='or', -sort='name'", "4:Banana,Cherry,Damson,Elderberry,"},
      {"-sort='name', -skip=1, -max=2", "5:Banana,Cherry,"},
      {"-sort='name', -skip=4, -max=10", "5:Elderberry,"},
      {"-sort='name', -max=0", "5:"},
      {"-key='name', -key_value='Damson'", "1:Damson,"},
  };
  for (const auto& c : cases) EXPECT_EQ(Names(c.criteria), c.expected) << c.criteria;
  EXPECT_EQ(Output("db_search(" + items + ", ['stock', 3], -select='name', -select='price') => { "
                   "column_names()->join(',') '|' field(1) '|' action_statement() }"),
            "name,price|4.75|SELECT \"name\",\"price\" FROM " +
                std::string(GetParam() == &kPostgres ? "quill." : "") + "\"items\" WHERE (stock = 3)");
}

TEST_P(OnBoth, AddUpdateDeleteAndDescribeChangeAndReportTheRows) {
  Fill();
  EXPECT_EQ(Output("db_add(" + items + ", ['name', 'Fig'], ['price', 1.25]) => { action_row_id() '|' found_count() }"),
            "6|1");
  EXPECT_EQ(Output("db_update(" + items + ", -key='name', -key_value='Cherry', ['price', 4.5], ['stock', 12]) => "
                   "{ found_count() }"),
            "1");
  EXPECT_EQ(Output("db_search(" + items + ", -key='name', -key_value='Cherry') => { field('price') ' ' field('stock') }"),
            "4.5 12");
  EXPECT_EQ(Output("db_delete(" + items + ", -key='id', -key_value=4) => { found_count() }"), "1");
  EXPECT_EQ(Output("db_delete(" + items + ", -key='id', -key_value=99) => { found_count() }"), "0");
  EXPECT_EQ(Names("-sort='id'"), "5:Apple,Banana,Cherry,Elderberry,Fig,");
  // Asked only for the statement, the connector runs nothing.
  EXPECT_EQ(Output("db_delete(" + items + ", -key='id', -key_value=1, -statement_only) => { action_statement() }")
                .substr(0, 12),
            "DELETE FROM ");
  EXPECT_EQ(Names("-key='id', -key_value=1"), "1:Apple,");
  EXPECT_EQ(Output("db_show(" + items + ") => { column_names()->join(',') '|' row_count() }"),
            "id,name,price,stock,data|0");
  EXPECT_EQ(Output("db_show(" + items + ") => { var c = column_info() $c->get(0)->get('type') $c->get(1)->get('type') "
                   "$c->get(2)->get('type') $c->get(4)->get('type') }"),
            "longTEXTdoubbyte");
  EXPECT_NE(Output("db_tables(" + on + ") => { rows => { field('name') ',' } }").find("items,"), std::string::npos);
}

TEST_P(OnBoth, TextAndBytesComeBackAsTheyWentIn) {
  Fill();
  const std::string odd = "\"Grüße, 日本 \\\\ O'Brien 😀\"";  // a script string: \\ is one backslash
  const std::string kept = "Grüße, 日本 \\ O'Brien 😀";
  EXPECT_EQ(Output("db_add(" + items + ", ['name', " + odd + "]) => { action_code() }"), "0");
  EXPECT_EQ(Output("db_search(" + items + ", ['name', " + odd + "]) => { found_count() '|' field('name') }"),
            "1|" + kept);
  EXPECT_EQ(Output("db_search(" + items + ", ['name', 'begins', 'Grüße, 日']) => { found_count() }"), "1");
  EXPECT_EQ(Output("db_statement(" + on + ", -sql=\"INSERT INTO items (name, data) VALUES ('blob', " +
                   GetParam()->blob + ")\") => { action_code() }"),
            "0");
  EXPECT_EQ(Output("db_search(" + items + ", ['name', 'blob'], -select='data') => { field('data') }"),
            std::string("\0\xc3\xbf" "A", 4));  // bytes are written one character each
  EXPECT_EQ(Output("db_search(" + items + ", ['name', 'blob'], -select='data', -select='name') => "
                   "{ field('data')->size() field('name') }"),
            "3blob");
}

TEST_P(OnBoth, SqlErrorsReachTheScriptAsCodesAndMessagesAndTheServerGoesOn) {
  Fill();
  const auto answer = [&](const std::string& action) {
    return Output(action + " => { action_code() '|' action_message() }");
  };
  const std::string missing = answer("db_search(" + on + ", -table='nowhere')");
  EXPECT_EQ(missing.substr(0, 6), "-9101|") << missing;
  EXPECT_NE(missing.find("nowhere"), std::string::npos) << missing;
  const std::string twice = answer("db_add(" + items + ", ['name', 'Apple'])");
  EXPECT_EQ(twice.substr(0, 6), "-9102|") << twice;
  EXPECT_NE(answer("db_statement(" + on + ", -sql='SELEKT 1')").substr(0, 6), "0|");
  // A URL no driver of the source takes, and a server that is not there.
  const int32_t foreign = quill_service::AddDataSourceHost(GetParam()->source, "jdbc:nothing:here", "u", "p");
  EXPECT_EQ(answer("db_search(" + items + ", -host=" + std::to_string(foreign) + ")").substr(0, 6), "-9105|");
  quill_service::RemoveDataSourceHost(foreign);  // the first host stored is every action's default
  if (GetParam() == &kPostgres) {
    const int32_t closed = quill_service::AddDataSourceHost("PostgreSQL", "jdbc:postgresql://127.0.0.1:1/", "quill", "x");
    EXPECT_EQ(answer("db_search(" + items + ", -host=" + std::to_string(closed) + ")").substr(0, 6), "-9100|");
    const int32_t wrong = quill_service::AddDataSourceHost("PostgreSQL", gPg->url(), "quill", "wrong");
    const std::string refused = answer("db_search(" + items + ", -host=" + std::to_string(wrong) + ")");
    EXPECT_EQ(refused.substr(0, 6), "-9100|") << refused;
    EXPECT_NE(refused.find("password"), std::string::npos) << refused;
  }
  EXPECT_EQ(Names("-key='name', -key_value='Apple'"), "1:Apple,");
}

TEST_P(OnBoth, EachRequestsConnectionGoesBackToThePoolAtItsEnd) {
  Fill();
  // Far more requests than the pool has connections: one kept open by any request would drain it.
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(Names("-key='name', -key_value='Apple'") + Names("['stock', 3]"), "1:Apple,1:Cherry,") << i;
  }
  if (GetParam() == &kPostgres) {
    const std::string sessions = Output(
        "db_statement(-source='PostgreSQL', -database='postgres', -sql=\"SELECT count(*) FROM pg_stat_activity "
        "WHERE datname = 'shop' AND backend_type = 'client backend'\") => { field(0) }");
    EXPECT_LE(std::stoi(sessions), 8) << sessions;
    EXPECT_GE(std::stoi(sessions), 1) << sessions;
  }
}

TEST_P(OnBoth, ConcurrentRequestsKeepTheirRowsApart) {
  Fill();
  constexpr int kThreads = 4, kRuns = 15;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRuns; ++i) {
        const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
        const std::string out = Output("db_add(" + items + ", ['name', '" + name + "'], ['stock', " +
                                       std::to_string(i) + "]) db_search(" + items + ", -key='name', -key_value='" +
                                       name + "') => { found_count() field('stock') }");
        if (out != "1" + std::to_string(i)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Names("['name', 'begins', 't'], -max=0"), std::to_string(kThreads * kRuns) + ":");
}

INSTANTIATE_TEST_SUITE_P(Databases, OnBoth, ::testing::Values(&kSqlite, &kPostgres),
                         [](const auto& info) { return std::string(info.param->source); });

TEST(DriverTable, DriversAreRecordedOnceWithTheSettingsTheSourcesUse) {
  StorageManager::Rows rows;
  ASSERT_EQ(StorageManager::Execute("quill_internal",
                                    "SELECT id, driver_name, rdbms, quote_identifier, catalog_separator, "
                                    "schemas_supported, typeconvert_supported, file_name FROM jdbc_drivers "
                                    "ORDER BY driver_name",
                                    &rows, nullptr),
            0);
  std::vector<std::string> seen;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 1; i < row.size(); ++i) line += std::string(row[i] ? row[i]->c_str() : "NULL") + "|";
    seen.push_back(line);
  }
  const std::vector<std::string> expected = {"org.postgresql.Driver|PostgreSQL|\"|.|Y|N|postgresql.jar|",
                                             "org.sqlite.JDBC|SQLite|\"|.|N|N|sqlite-jdbc.jar|"};
  EXPECT_EQ(seen, expected);
  const std::string ids = rows.size() == 2 ? std::string(rows[0][0]->c_str()) + rows[1][0]->c_str() : "";
  StorageManager::KillRows(&rows);

  for (const auto& [name, schemas] : {std::pair{"SQLite", false}, std::pair{"PostgreSQL", true}}) {
    auto* source = dynamic_cast<JavaDataSource*>(DataSourceRegistry::Global().Find(name));
    ASSERT_NE(source, nullptr) << name;
    EXPECT_TRUE(source->isConnector && source->inited) << name;
    EXPECT_EQ(source->quoteCharacter, "\"");
    EXPECT_EQ(source->catalogSeparator, ".");
    EXPECT_EQ(source->supportsSchemas, schemas) << name;
    EXPECT_FALSE(source->supportsCatalogs || source->supportsConvert) << name;
  }

  // A second start of the connector finds the rows and adds none; its sources are refused.
  jclass loader = gEnv->FindClass("com/marrowbay/jdbc/JDBCLoader");
  ASSERT_NE(loader, nullptr);
  jobject second = gEnv->NewObject(loader, gEnv->GetMethodID(loader, "<init>", "()V"));
  gEnv->CallVoidMethod(second, gEnv->GetMethodID(loader, "registerQuillModule", "()V"));
  ASSERT_FALSE(gEnv->ExceptionCheck());
  gEnv->DeleteLocalRef(second);
  gEnv->DeleteLocalRef(loader);
  EXPECT_TRUE(Logged(0, "    Failed to register JDBC datasource SQLite"));
  ASSERT_EQ(StorageManager::Execute("quill_internal", "SELECT id FROM jdbc_drivers ORDER BY driver_name", &rows,
                                    nullptr),
            0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(std::string(rows[0][0]->c_str()) + rows[1][0]->c_str(), ids);
  StorageManager::KillRows(&rows);
}

TEST(AdminTags, EachTagAnswersForItsSourceAndNothingForOthers) {
  EXPECT_EQ(Output("_jdbc_acceptsurl('SQLite', 'jdbc:sqlite::memory:')"), "true");
  EXPECT_EQ(Output("_jdbc_acceptsurl('SQLite', 'jdbc:postgresql://127.0.0.1/x')"), "false");
  EXPECT_EQ(Output("_jdbc_acceptsurl('csv', 'jdbc:sqlite::memory:')"), "false");  // not a connector: no Java call
  EXPECT_EQ(Output("_jdbc_driverinfo('SQLite')->get('driver_name') _jdbc_driverinfo('SQLite')->get('version')")
                .substr(0, 17),
            "org.sqlite.JDBC3.");
  EXPECT_EQ(Output("_jdbc_driverclasses('SQLite')->join(',')"), "org.sqlite.JDBC");
  EXPECT_EQ(Output("_jdbc_setdriver('SQLite', 'org.sqlite.JDBC') result_code()"), "true0");
  const ScriptRun refused = RunScript("_jdbc_setdriver('SQLite', 'org.example.Nothing') result_code()");
  EXPECT_EQ(refused.output, "-9105") << refused.error;
  EXPECT_EQ(Output("_jdbc_driverinfo('nosuch') _jdbc_driverclasses('nosuch') _jdbc_setdriver('nosuch', 'x')"), "");
  // Only inside an action on a connector source does the metadata tag know its connection.
  EXPECT_EQ(Output("_jdbc_metainfo('getDatabaseProductName')"), "");
  EXPECT_EQ(Output("db_search(-source='SQLite', -database='shop', -table='items', -max=0) => { "
                   "_jdbc_metainfo('getDatabaseProductName') '|' "
                   "_jdbc_metainfo('getTables', -params=array(null, null, 'items', null))->get(0)->get('TABLE_NAME') "
                   "'|' _jdbc_metainfo(-methods)->contains('getTables/4') }"),
            "SQLite|items|true");

  quill_service::LogSnapshot();
  EXPECT_EQ(Output("_jdbc_debug('SQLite', true) result_code()"), "-1");
  EXPECT_TRUE(Logged(2, "JDBC Connector debugging is ON for datasource \"SQLite\""));
  Output("db_search(-source='SQLite', -database='shop', -table='items', ['id', 1])");
  EXPECT_TRUE(Logged(2, "JDBC datasource \"SQLite\" SQL: SELECT * FROM \"items\" WHERE (id = 1)"));
  Output("db_statement(-source='SQLite', -database='shop', -sql='SELECT 2')");
  EXPECT_TRUE(Logged(2, "JDBC datasource \"SQLite\" SQL: SELECT 2"));
  // The flag is read as a boolean whatever the script passes; each call flips the switch.
  const auto lastSwitch = [] {
    const auto lines = quill_service::LogSnapshot();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
      if (line->text.rfind("JDBC Connector debugging is ", 0) == 0) return line->text;
    return std::string();
  };
  for (const auto& [flag, state] : std::vector<std::pair<std::string, std::string>>{
           {"0", "OFF"}, {"2", "ON"}, {"'off'", "OFF"}, {"'Yes'", "ON"}, {"''", "OFF"}, {"1.5", "ON"}, {"false", "OFF"}}) {
    Output("_jdbc_debug('SQLite', " + flag + ")");
    EXPECT_EQ(lastSwitch(), "JDBC Connector debugging is " + state + " for datasource \"SQLite\"") << flag;
  }

  if (!gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
  const std::string url = gPg->url() + "shop";
  EXPECT_EQ(Output("_jdbc_acceptsurl('PostgreSQL', '" + url + "', -username='quill', -password='secret')"), "true");
  EXPECT_EQ(Output("_jdbc_acceptsurl('PostgreSQL', '" + url + "', -username='quill', -password='no')"), "false");
  EXPECT_EQ(Output("var p = _jdbc_propertyinfo('PostgreSQL', pair('" + url + "', 'user=quill;ssl=false')) var i = 0 "
                   "while ($i < $p->size()) { if ($p->get($i)->get('name') == 'user') { $p->get($i)->get('value') } "
                   "$i = $i + 1 }"),
            "quill");
  EXPECT_GT(std::stoi(Output("_jdbc_propertyinfo('PostgreSQL', '" + url + "')->size()")), 3);
  // Deleting the host closes its pools; the next request opens a new one.
  Output("db_search(-source='PostgreSQL', -database='shop', -table='items', -max=0)");
  const auto hosts = quill_service::ListDataSourceHosts("PostgreSQL");
  ASSERT_FALSE(hosts.empty());
  EXPECT_GE(std::stoi(Output("_jdbc_deletehost('PostgreSQL', " + std::to_string(hosts.front().host.id) + ")")), 1);
  EXPECT_EQ(Output("db_search(-source='PostgreSQL', -database='shop', -table='items', -max=0) => { action_code() }"),
            "0");
}

// Last: the PostgreSQL server goes away under pooled connections, and comes back.
TEST(ZServerStopped, ActionsFailWithACodeUntilTheServerIsBack) {
  if (!gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
  const std::string search = "db_search(-source='PostgreSQL', -database='shop', -table='items', -max=0) => "
                             "{ action_code() }";
  ASSERT_EQ(Output(search), "0");
  // Mid-request: the server stops while the request's second statement runs; that statement, and
  // the next action on the same (dead) connection, answer with codes, and the request ends.
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    gPg->Stop();
  });
  const std::string midway = Output(
      search + " db_statement(-source='PostgreSQL', -database='shop', -sql='SELECT pg_sleep(5)') => "
      "{ '|' action_code() } " + search);
  stopper.join();
  EXPECT_EQ(midway, "0|-9100-9100");
  EXPECT_EQ(Output(search), "-9100");
  ASSERT_TRUE(gPg->Restart());
  std::string after;
  for (int i = 0; i < 3 && after != "0"; ++i) after = Output(search);  // a stale pooled connection may fail once
  EXPECT_EQ(after, "0");
  // Pools made before the restart are dropped, so later cases start from fresh connections.
  const auto hosts = quill_service::ListDataSourceHosts("PostgreSQL");
  ASSERT_FALSE(hosts.empty());
  Output("_jdbc_deletehost('PostgreSQL', " + std::to_string(hosts.front().host.id) + ")");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  qjapi_test::PgCluster cluster;
  gPgMissing = cluster.Start();
  if (!gPgMissing.empty()) std::fprintf(stderr, "PostgreSQL cases skipped: %s\n", gPgMissing.c_str());
  gPg = &cluster;
  const auto server = qjapi_test::StartServerInTempRoot(
      "qjapi-jdbc-", QJAPI_MODULE, {QJAPI_JAR, JDBC_CONNECTOR_JAR, CSV_EXAMPLE_JAR}, nullptr,
      {{"JavaLibraries", HIKARI_JAR}, {"JavaLibraries", SLF4J_API_JAR}, {"JavaLibraries", SLF4J_NOP_JAR},
       {"JavaLibraries", COMMONS_CSV_JAR}, {"JDBCDrivers", SQLITE_JDBC_JAR}, {"JDBCDrivers", SQLITE_JDBC_NATIVE},
       {"JDBCDrivers", POSTGRESQL_JDBC_JAR}});
  using GetCreatedVMs = jint (*)(JavaVM**, jsize, jsize*);
  auto getCreatedVMs = reinterpret_cast<GetCreatedVMs>(dlsym(RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  JavaVM* vm = nullptr;
  jsize count = 0;
  void* env = nullptr;
  if (!server || !server->loaded || server->entryResult != 1 || getCreatedVMs == nullptr ||
      getCreatedVMs(&vm, 1, &count) != JNI_OK || count != 1 || vm->GetEnv(&env, JNI_VERSION_1_2) != JNI_OK) {
    std::fprintf(stderr, "The module did not start; nothing can be tested.\n");
    return 1;
  }
  gEnv = static_cast<JNIEnv*>(env);
  if (gPgMissing.empty()) {
    quill_service::AddDataSourceHost("PostgreSQL", cluster.url(), qjapi_test::PgCluster::kUser,
                                     qjapi_test::PgCluster::kPassword);
    const std::string made = Output(
        "db_statement(-source='PostgreSQL', -database='postgres', -sql='CREATE DATABASE shop') => { action_message() }"
        "db_statement(-source='PostgreSQL', -database='shop', -sql='CREATE SCHEMA quill') => { action_message() }");
    if (!made.empty()) gPgMissing = "the test database could not be made: " + made;
  }
  // The table the cases that do not fill their own read.
  for (const Database* database : {&kSqlite, &kPostgres}) {
    if (database == &kPostgres && !gPgMissing.empty()) continue;
    Output(std::string("db_statement(-source='") + database->source + "', -database='shop', -sql='" + database->table +
           "')");
  }
  const int result = RUN_ALL_TESTS();
  cluster.Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(server->root, ignored);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(result);  // the VM's threads are not joined
}
