// The JDBC connector against real databases: SQLite (the embedded default, no host stored), a
// private PostgreSQL cluster and a private MariaDB server this program starts itself. The same
// record-action cases run on each; scripts run as a user's would, and what a database keeps is
// read back through it.
#include <gtest/gtest.h>
#include <jni.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bridge/jni_guards.h"
#include "datasource/JavaDataSource.h"
#include "datasource/column_cache.h"
#include "datasource/connector_natives.h"
#include "service/core/internal_db.h"
#include "service/core/log.h"
#include "service/core/users.h"
#include "service/datasource/host_store.h"
#include "service/script/script.h"
#include "tests/core/test_support.h"
#include "tests/jdbc/mariadb_server.h"
#include "tests/datasource/scripts.h"
#include "tests/jdbc/pg_cluster.h"
#include "tests/sql_builder/sql_test_support.h"

namespace {


qjapi_test::PgCluster* gPg = nullptr;
std::string gPgMissing;  // why the PostgreSQL cases are skipped
qjapi_test::MariaDbServer* gMaria = nullptr;
std::string gMariaMissing;  // why the MariaDB cases are skipped
const std::string kNothingMissing;
const std::string kPgItems = "-source='PostgreSQL', -database='shop', -table='items'";
JNIEnv* gEnv = nullptr;
std::filesystem::path gRoot;

struct Database {
  const char* source;
  const char* table;   // the CREATE TABLE of the cases' table "items"
  const char* blob;    // the SQL of the bytes 00 FF 41
  const char* items;   // how the server writes the table "items" of the database "shop"
  const char* quote;   // the identifier quote
  const std::string* missing;  // why its cases are skipped (empty: they run)
  const char* serial;  // the definition of a generated integer key
};
const Database kSqlite{"SQLite",
                       "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE, price REAL, "
                       "stock INTEGER, data BLOB)",
                       "X'00FF41'", "\"items\"", "\"", &kNothingMissing, "INTEGER PRIMARY KEY"};
const Database kPostgres{"PostgreSQL",
                         "CREATE TABLE items (id SERIAL PRIMARY KEY, name TEXT NOT NULL UNIQUE, price DOUBLE "
                         "PRECISION, stock INTEGER, data BYTEA)",
                         "decode('00ff41', 'hex')", "quill.\"items\"", "\"", &gPgMissing, "SERIAL PRIMARY KEY"};
const Database kMariaDb{"MariaDB",
                        "CREATE TABLE items (id INTEGER AUTO_INCREMENT PRIMARY KEY, name VARCHAR(200) NOT NULL "
                        "UNIQUE, price DOUBLE, stock INTEGER, data BLOB)",
                        "X'00FF41'", "`shop`.`items`", "`", &gMariaMissing, "INTEGER AUTO_INCREMENT PRIMARY KEY"};

using qjapi_test::Logged;
using qjapi_test::Output;

// A script and what it prints, run on the databases whose initials only names (every one when
// empty). Both may name {on} (the source and database), {items} (those and the table items),
// {q} (the identifier quote), {from} (the table items as the server writes it), {table} (its
// CREATE TABLE) and {blob} (the bytes 00 FF 41 in SQL). "..." in what it prints stands for any
// text. The script "FILL" makes the table items afresh with five rows; "OTHER: sql" runs sql on
// the SQLite database as another client would.
struct Step {
  std::string script, expected;
  const char* only = "";
};

// The search of a step, printing "found:name,name,".
std::string Search(const std::string& criteria) {
  return "db_search({items}, " + criteria + ") => { found_count() ':' rows => { field('name') ',' } }";
}

// Whether text is pattern, where "..." stands for any text.
bool Matches(std::string_view text, std::string_view pattern) {
  const size_t gap = pattern.find("...");
  if (gap == std::string_view::npos) return text == pattern;
  if (!text.starts_with(pattern.substr(0, gap))) return false;
  for (size_t from = gap; from <= text.size(); ++from) {
    if (Matches(text.substr(from), pattern.substr(gap + 3))) return true;
  }
  return false;
}

class OnEach : public ::testing::TestWithParam<const Database*> {
 protected:
  void SetUp() override {
    if (!GetParam()->missing->empty()) GTEST_SKIP() << *GetParam()->missing;
    on = std::string("-source='") + GetParam()->source + "', -database='shop'";
    items = on + ", -table='items'";
  }

  std::string Fill(std::string text) const {
    const Database& db = *GetParam();
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"{on}", on}, {"{items}", items},
                                      {"{q}", db.quote}, {"{from}", db.items}, {"{table}", db.table},
                                      {"{blob}", db.blob}}) {
      for (size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
    }
    return text;
  }

  void RunSteps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      if (*step.only != '\0' && std::strchr(step.only, GetParam()->source[0]) == nullptr) continue;
      if (step.script.starts_with("OTHER: ")) {
        sqlite3* other = nullptr;
        EXPECT_EQ(sqlite3_open((gRoot / "jdbc-data" / "shop.db").c_str(), &other), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(other, step.script.c_str() + 7, nullptr, nullptr, nullptr), SQLITE_OK) << step.script;
        sqlite3_close(other);
        continue;
      }
      if (step.script != "FILL") {
        const std::string got = Output(Fill(step.script));
        EXPECT_TRUE(Matches(got, Fill(step.expected))) << step.script << "\ngave " << got;
        continue;
      }
      ASSERT_EQ(Output(Fill("db_statement({on}, -sql='DROP TABLE IF EXISTS items') "
                            "db_statement({on}, -sql='{table}')")),
                "");
      for (const char* row : {"['name', 'Apple'], ['price', 1.5], ['stock', 10]",
                              "['name', 'Banana'], ['price', 0.25], ['stock', 0]",
                              "['name', 'Cherry'], ['price', 4.75], ['stock', 3]",
                              "['name', 'Damson'], ['price', 3.5], ['stock', 0]",
                              "['name', 'Elderberry'], ['price', 6.25], ['stock', 8]"}) {
        ASSERT_EQ(Output("db_add(" + items + ", " + row + ") => { action_code() }"), "0") << row;
      }
    }
  }

  std::string Names(const std::string& criteria) const { return Output(Fill(Search(criteria))); }

  std::string on, items;
};

TEST_P(OnEach, RecordActionsAnswerWithWhatTheDatabaseKeeps) {
  const std::string names = "db_search({items}, ['name', 'Apple']) => { column_names()->join(',') }";
  std::vector<Step> steps = {
      {"FILL", ""},
      // (Operators, groups, patterns and the logic are checked on the builder's own statements and
      // the connector example.)
      {Search("-sort='name', -skip=1, -max=2"), "5:Banana,Cherry,"},
      {Search("-sort='name', -skip=4, -max=10"), "5:Elderberry,"},
      {Search("['stock', '<', 5], -select='name', -sort='name', -max=1"), "3:Banana,"},
      // Counted past the limit however the statement reads; a select list the database will not
      // wrap (a column twice) is counted by reading.
      {Search("-select='name', -select='name', -sort_desc='name', -max=1"), "5:Elderberry,"},
      // Numbers compare as their literals do, past the widths of integer and bigint too.
      {Search("['price', 0.25], ['stock', '<', '99999999999999999999'], ['stock', '>', '-2147483649']"), "1:Banana,"},
      {Search("['price', '<', '+3'], ['stock', '>', '-000000000000000001'], -sort='name'"), "2:Apple,Banana,"},
      {Search("['stock', '<', '9999999999999999999'], ['stock', 3]"), "1:Cherry,"},
      // A limit belongs to its own search: the next statement on the same connection reads every row.
      {"db_search({items}, -max=1) => { found_count() row_count() } db_search({items}) => { ':' found_count() "
       "row_count() }",
       "51:55"},
      {"db_search({items}, ['stock', 3], -select='name', -select='price') => { column_names()->join(',') '|' "
       "field(1) '|' action_statement() }",
       "name,price|4.75|SELECT {q}name{q},{q}price{q} FROM {from} WHERE (stock = 3)"},
      // A real NUL is refused before anything is sent (in every place: the builder's tables).
      {"db_add({items}, ['name', \"x\\0y\"]) => { action_code() }", "-9960"},

      {"db_add({items}, ['name', 'Fig'], ['price', 1.25]) => { action_row_id() '|' found_count() }", "6|1"},
      // Empty and null cells stay apart.
      {"db_statement({on}, -sql=\"SELECT '' AS e, NULL AS n, 'x' AS x\") => { (field(0) == null) (field(1) == null) "
       "field(2) }", "falsetruex"},
      {"db_delete({items}, -key='id', -key_value=4) => { found_count() }", "1"},
      {"db_delete({items}, -key='id', -key_value=99) => { found_count() }", "0"},
      // Asked only for the statement, the connector runs nothing.
      {"db_delete({items}, -key='id', -key_value=1, -statement_only) => { action_statement() }", "DELETE FROM ..."},
      {"db_search({items}, -key='id', -key_value=2, -statement_only) => { row_count() '|' action_statement() }",
       "0|SELECT ..."},
      {Search("-key='id', -key_value=1"), "1:Apple,"},
      {"db_show({items}) => { column_names()->join(',') '|' row_count() }", "id,name,price,stock,data|0"},
      {"db_show({items}) => { var c = column_info() $c->get(0)->get('type') $c->get(1)->get('type') "
       "$c->get(2)->get('type') $c->get(4)->get('type') }",
       "longTEXTdoubbyte"},
      {"db_tables({on}) => { rows => { field('name') ',' } }", "...items,..."},

      // Text and bytes come back as they went in (in a script string \\ is one backslash).
      {R"(db_add({items}, ['name', "Grüße, 日本 \\ O'Brien 😀"]) => { action_code() })", "0"},
      {R"(db_search({items}, ['name', "Grüße, 日本 \\ O'Brien 😀"]) => { found_count() '|' field('name') })",
       R"(1|Grüße, 日本 \ O'Brien 😀)"},
      {"db_search({items}, ['name', 'begins', 'Grüße, 日']) => { found_count() }", "1"},
      {"db_statement({on}, -sql=\"INSERT INTO items (name, data) VALUES ('blob', {blob})\") => { action_code() }",
       "0"},
      // Bytes are written one character each.
      {"db_search({items}, ['name', 'blob'], -select='data', -select='name') => { field('data') field('name') }",
       std::string("\0\xc3\xbf" "Ablob", 8)},
      // A search is kept on its connection with its columns: a loosely typed column is typed by
      // each result's first value, and a table changed by another client (a column added, one
      // renamed) or by a script (a name's case, which only its statement tells) is described again.
      {"db_statement({on}, -sql=\"UPDATE items SET data = 'text' WHERE name = 'Apple'\") "
       "db_search({items}, ['name', 'blob']) => { column_info()->get(4)->get('type') } "
       "db_search({items}, ['name', 'Apple']) => { column_info()->get(4)->get('type') field('data') }",
       "byteTEXTtext", "S"},
      {"OTHER: ALTER TABLE items ADD COLUMN extra", "", "S"},
      {names, "id,name,price,stock,data,extra", "S"},
      {"OTHER: ALTER TABLE items RENAME COLUMN extra TO more", "", "S"},
      {names, "id,name,price,stock,data,more", "S"},
      {"db_statement({on}, -sql='ALTER TABLE items RENAME COLUMN more TO MORE') " + names,
       "id,name,price,stock,data,MORE", "S"},
      // The kept description is reused: a case-only rename by another client goes unseen.
      {"OTHER: ALTER TABLE items RENAME COLUMN MORE TO More", "", "S"},
      {names, "id,name,price,stock,data,MORE", "S"},
      // A duplicate key refused leaves it kept; a failed search drops it.
      {"db_add({items}, ['name', 'Apple']) => { action_code() } " + names + " db_search({on}, -table='nowhere') => { action_code() } " +
           names,
       "-9102id,name,price,stock,data,MORE-9101id,name,price,stock,data,More", "S"},
      // A database file made to keep its text as UTF-16.
      {"db_statement(-source='SQLite', -database='wide', -sql=\"PRAGMA encoding = 'UTF-16le'\") "
       "db_statement(-source='SQLite', -database='wide', -sql='CREATE TABLE IF NOT EXISTS w (t TEXT)') "
       "db_statement(-source='SQLite', -database='wide', -sql=\"INSERT INTO w VALUES ('Grüße 😀')\") "
       "db_search(-source='SQLite', -database='wide', -table='w') => { field('t') }",
       "Grüße 😀", "S"},

      // The same search many times on one connection (prepared on the server by then) reads
      // numbers as text still, and survives its table's change.
      {"db_update({items}, -key='name', -key_value='Banana', ['price', 0.00001]) var i = 0 while ($i < 6) { "
       "db_search({items}, -key='name', -key_value='Banana') => { field('price') ' ' } $i = $i + 1 } "
       "db_statement({on}, -sql='ALTER TABLE items ADD COLUMN extra INTEGER') "
       "db_search({items}, -key='name', -key_value='Banana') => { action_code() column_names()->size() }",
       "1e-05 1e-05 1e-05 1e-05 1e-05 1e-05 06", "P"},
      // A backslash stays a backslash in a quoted literal, whatever a script set the session to.
      {R"(db_statement({on}, -sql='SET standard_conforming_strings = off') )"
       R"(db_statement({on}, -sql="SELECT 'a\\zb' AS v") => { field('v') })", R"(a\zb)", "P"},
      // SQL errors reach the script as codes and messages, each its own, the same one twice too.
      {"FILL", ""},
      {"db_search({on}, -table='nowhere') => { action_code() '|' action_message() } "
       "db_search({on}, -table='nowhere') => { '|' action_message() }",
       "-9101|...nowhere...|...nowhere..."},
      {"db_add({items}, ['name', 'Apple']) => { action_code() '|' action_message() }", "-9102|..."},
      // A NOT NULL column left out. (MariaDB refuses it only in a strict sql_mode, which is its
      // session's: a script may change it, as the value case does on a pooled connection.)
      {"db_add({items}, ['price', 1]) => { action_code() '|' action_message() }", "-9102|...", "SP"},
      {"db_statement({on}, -sql='SELEKT 1') => { action_code() '|' action_message() }", "-..."},
      {"db_statement({on}, -sql='{table}') => { action_code() '|' action_message() }", "-9106|..."},
      // A statement opens no other file, the server's internal database least of all.
      {"db_statement({on}, -sql=\"ATTACH DATABASE '" + quill_service::InternalDatabaseFile() +
           "' AS inner\") => { action_message() }",
       "...too many attached databases...", "S"},
      {Search("-key='name', -key_value='Apple'"), "1:Apple,"},
  };
  // A result longer than the driver's fetch batch is read whole, each row once, however it is read
  // (again too, once it is known to be long); its first rows stay as they were when the host's
  // buffers for it grow.
  std::string rows;
  for (int i = 0; i < 1200; ++i) rows += (i == 0 ? "" : ",") + ("('z" + std::to_string(i) + "', 1)");
  steps.push_back({"db_statement({on}, -sql=\"INSERT INTO items (name, stock) VALUES " + rows + "\")", ""});
  steps.push_back({"db_search({items}, ['stock', 1], -sort='id') => { found_count() ':' row_count() ':' field('name') "
                   "field('name', -row=1199) }",
                   "1200:1200:z0z1199"});
  steps.push_back({"var i = 0 while ($i < 2) { db_search({items}, ['stock', 1], -skip=1190) => { row_count() } "
                   "$i = $i + 1 }", "1010"});
  // A read over several cursor fetches (a limit above a batch keeps a read on the cursor) gives
  // its rows whole and in order in any window, and a driver error in a later fetch reaches the
  // script, its transaction closed and the connection serving on.
  std::string late, middle;
  for (int i = 15001; i <= 20000; ++i) late += std::to_string(i) + ",";
  for (int i = 2501; i <= 5500; ++i) middle += std::to_string(i) + ",";
  const std::string ids = " => { found_count() ':' rows => { field('id') ',' } }";
  steps.push_back({"db_statement({on}, -sql='CREATE OR REPLACE VIEW ints AS SELECT g AS id FROM generate_series(1, 20000) g') "
                   "db_statement({on}, -sql='CREATE OR REPLACE VIEW boom AS SELECT id, 1 / (12000 - id) AS v FROM ints') "
                   "db_search({on}, -table='ints', -skip=15000, -max=5000)" + ids +
                   " db_search({on}, -table='boom', -max=20000) => { action_code() '|' action_message() }"
                   " db_search({on}, -table='ints', -skip=2500, -max=3000)" + ids,
                   "20000:" + late + "-9103|...division by zero...20000:" + middle, "P"});
  RunSteps(steps);
}

// A URL no driver of the source takes, a server that is not there, a wrong password; and far
// more requests than the pool has connections: one kept open by any request would drain it.
TEST_P(OnEach, HostsThatCannotServeAnswerWithCodesAndConnectionsGoBackToThePool) {
  RunSteps({{"FILL", ""}});
  const auto answer = [&](int32_t host) {
    return Output("db_search(" + items + ", -host=" + std::to_string(host) + ") => { action_code() '|' "
                  "action_message() }");
  };
  const int32_t foreign = quill_service::AddDataSourceHost(GetParam()->source, "jdbc:nothing:here", "u", "p");
  EXPECT_TRUE(Matches(answer(foreign), "-9105|...")) << answer(foreign);
  quill_service::RemoveDataSourceHost(foreign);  // the first host stored is every action's default
  if (GetParam() != &kSqlite) {
    const std::string url = GetParam() == &kPostgres ? gPg->url() : gMaria->url();
    const std::string nowhere = url.substr(0, url.find("127.0.0.1:")) + "127.0.0.1:1/";
    const std::string closed = answer(quill_service::AddDataSourceHost(GetParam()->source, nowhere, "quill", "x"));
    EXPECT_TRUE(Matches(closed, "-9100|...")) << closed;
    // A host stored again under the id another had is read afresh: its own password is sent.
    const int32_t right =
        quill_service::AddDataSourceHost(GetParam()->source, url, "quill", qjapi_test::MariaDbServer::kPassword);
    EXPECT_TRUE(Matches(answer(right), "0|...")) << answer(right);
    quill_service::RemoveDataSourceHost(right);
    ASSERT_EQ(quill_service::AddDataSourceHost(GetParam()->source, url, "quill", "wrong"), right);
    const std::string refused = answer(right);
    EXPECT_TRUE(Matches(refused, "-9100|...password...")) << refused;
    const std::string unknown = Output("db_search(-source='" + std::string(GetParam()->source) +
                                       "', -database='nosuch', -table='items') => { action_code() }");
    EXPECT_EQ(unknown, "-9100");
  }
  // With its columns kept, as under `quill serve`, a request of one search borrows a connection
  // for that search alone.
  auto* source = dynamic_cast<JavaDataSource*>(DataSourceRegistry::Global().Find(GetParam()->source));
  ASSERT_NE(source, nullptr);
  for (const bool kept : {false, true}) {
    source->keepDiscoveredColumns = kept;
    for (int i = 0; i < 40; ++i) {
      ASSERT_EQ(Names("-key='name', -key_value='Apple'") + Names("['stock', 3]"), "1:Apple,1:Cherry,") << i;
    }
  }
  source->keepDiscoveredColumns = false;
  RunSteps({{"db_statement(-source='PostgreSQL', -database='postgres', -sql=\"SELECT CASE WHEN count(*) "
        "BETWEEN 1 AND 8 THEN 'few' ELSE count(*)::text END FROM pg_stat_activity WHERE datname = 'shop' AND "
        "backend_type = 'client backend'\") => { field(0) }",
        "few", "P"},
       // A connection that broke leaves the request, which goes on with a fresh one; its others stay.
       {"var p = 'SELECT pg_backend_pid()' var o = '' db_statement(-source='PostgreSQL', -database='postgres', "
        "-sql=$p) => { $o = field(0) } db_statement({on}, -sql='SELECT pg_terminate_backend(pg_backend_pid())') "
        "=> { action_code() } " + Search("['name', 'Apple']") + " db_statement(-source='PostgreSQL', "
        "-database='postgres', -sql=$p) => { field(0) == $o }",
        "-91001:Apple,true", "P"}});
}

// A transaction a script began and left open ends with its request, rolled back: the pool never
// hands it to a later request. One it committed stays.
TEST_P(OnEach, ATransactionLeftOpenEndsWithItsRequest) {
  const std::string fig = Search("['name', 'Fig']");
  RunSteps({{"FILL", ""},
            {"db_statement({on}, -sql='BEGIN') db_add({items}, ['name', 'Fig']) => { action_code() } " + fig,
             "01:Fig,"},
            {fig, "0:"},
            {"db_statement({on}, -sql='BEGIN') db_add({items}, ['name', 'Fig']) db_statement({on}, -sql='COMMIT')", ""},
            {fig, "1:Fig,"}});
}

// A value that would end a literal early where backslashes are escapes (MariaDB's default mode):
// it is found, stored, updated by and deleted by as exactly itself, and touches no other row.
TEST_P(OnEach, HostileValuesStayInsideTheirLiterals) {
  // The value as a script string, and what the database must keep: a backslash before a quote
  // (how every quote is doubled is checked on the builder's own statements).
  const std::string value = R"("nomatch\\' OR 1=1 #")", stored = R"(nomatch\' OR 1=1 #)";
  RunSteps({
      {"FILL", ""},
      // Before it is stored nothing matches it, by key, by equality or by pattern, and no search fails.
      {"db_search({items}, -key='name', -key_value=" + value + ") => { action_code() ':' found_count() }", "0:0"},
      {"db_search({items}, ['name', " + value + "]) => { action_code() ':' found_count() }", "0:0"},
      {"db_search({items}, ['name', 'contains', " + value + "]) => { action_code() ':' found_count() }", "0:0"},
      {"db_add({items}, ['name', " + value + "], ['stock', 5]) => { action_code() }", "0"},
      {"db_search({items}, -key='name', -key_value=" + value + ") => { found_count() '|' field('name') }",
       "1|" + stored},
      {"db_update({items}, -key='name', -key_value=" + value + ", ['stock', 77]) => { found_count() }", "1"},
      {Search("['stock', 77]"), "1:" + stored + ","},
      {"db_delete({items}, -key='name', -key_value=" + value + ") => { found_count() }", "1"},
      {Search("['stock', '>', 0], -sort='name'"), "3:Apple,Cherry,Elderberry,"},
      // A script that resets its session's mode does not open the literals of its later actions.
      {R"(db_statement({on}, -sql="SET SESSION sql_mode = ''") db_search({items}, -key='name', -key_value=)" + value +
           ") => { action_code() ':' found_count() }",
       "0:0", "M"},
      {Search("-sort='id'"), "5:Apple,Banana,Cherry,Damson,Elderberry,"},
      // A database name of the embedded default becomes a file name: only plain names get that far.
      {"var n = ['../shop', '.shop', '-shop', 'a/b', 'x.y-z_1'] var i = 0 while ($i < $n->size()) { db_search("
       "-source='SQLite', -database=$n->get($i), -table='items') => { action_code() ' ' } $i = $i + 1 }",
       "-9100 -9100 -9100 -9100 -9101 ", "S"},
  });
}

TEST_P(OnEach, ConcurrentRequestsKeepTheirRowsApart) {
  RunSteps({{"FILL", ""}});
  EXPECT_EQ(qjapi_test::WrongOfConcurrentRuns(4, 15, [&](int t, int i) {
              const std::string name = "'t" + std::to_string(t) + "-" + std::to_string(i) + "'";
              return std::pair{"db_add(" + items + ", ['name', " + name + "], ['stock', " + std::to_string(i) +
                                   "]) db_search(" + items + ", -key='name', -key_value=" + name +
                                   ") => { found_count() field('stock') }",
                               "1" + std::to_string(i)};
            }),
            0);
  EXPECT_EQ(Names("['name', 'begins', 't'], -max=0"), "60:");
}

// A script string holding text exactly.
std::string ScriptText(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// Names taken from a page's visitor, as attacks: each action is refused (-9961: the builder
// found no single identifier) or sent with the name as one identifier, which names nothing that
// exists or only what the action names; nothing of the other table comes back, and both tables
// stay as they were. Families may differ in how a sent statement ends (SQLite reads a
// double-quoted name it does not know as text), never in what it touches.
TEST_P(OnEach, HostileNamesNeverWriteSql) {
  RunSteps({{"FILL", ""}});
  ASSERT_EQ(Output(Fill("db_statement({on}, -sql='DROP TABLE IF EXISTS victim') db_statement({on}, -sql='CREATE "
                        "TABLE victim (k INTEGER, v TEXT)') db_statement({on}, -sql=\"INSERT INTO victim VALUES (1, "
                        "'secret'), (2, 'hidden')\") => { action_code() }")),
            "0");
  const auto contents = [&] {
    return Names("-sort='id'") + "|" +
           Output(Fill("db_statement({on}, -sql='SELECT k, v FROM victim ORDER BY k') => { rows => { field('k') "
                       "field('v') ',' } }"));
  };
  const std::string before = contents();
  ASSERT_EQ(before, "5:Apple,Banana,Cherry,Damson,Elderberry,|1secret,2hidden,");
  // How each place quotes a name, and which bare names the builder refuses, is checked on the
  // builder's own statements (sql_builder_test.cpp); these run one of each kind on each family:
  // the name, the action (%: the name) and whether the builder refuses it.
  const std::tuple<const char*, const char*, bool> attacks[] = {
      {"id\"; DELETE FROM victim; SELECT 1 --", "db_search({items}, -sort=%)", false},
      {"items\" WHERE 1=1 UNION SELECT k, v, 3, 4, NULL FROM victim --", "db_search({on}, -table=%)", false},
      {"name\" FROM victim --", "db_search({items}, -select=%)", false},
      {"1=1 OR name", "db_search({items}, [%, 'x'])", true},
  };
  for (const auto& [name, pattern, refuse] : attacks) {
    std::string action = Fill(pattern);
    action.replace(action.find('%'), 1, ScriptText(name));
    // Every cell of every row that came back.
    const std::string answer = Output(action + " => { action_code() '|' action_message() '|' rows => { var i = 0 "
                                      "while ($i < column_names()->size()) { field($i) ' ' $i = $i + 1 } ',' } }");
    const std::string code = answer.substr(0, answer.find('|'));
    if (refuse) {
      EXPECT_EQ(code, "-9961") << action << "\n" << answer;
      EXPECT_NE(answer.find(std::string("\"") + name + "\""), std::string::npos) << answer;
    } else {
      // Run, or failed on a name that names nothing; SQLite, reading an unknown double-quoted
      // name as text, may also make the builder refuse a value for it as not a number.
      EXPECT_TRUE(code == "0" || code == "-9101" || code == "-9959") << action << "\n" << answer;
    }
    EXPECT_EQ(answer.find("secret"), std::string::npos) << action << "\n" << answer;
    EXPECT_EQ(answer.find("hidden"), std::string::npos) << action << "\n" << answer;
    ASSERT_EQ(contents(), before) << action;
  }
  const auto lines = quill_service::LogSnapshot();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
    return line.level == 1 && line.text.find("condition column \"1=1 OR name\"") != std::string::npos;
  }));
}

// Names with blanks, quotes and letters of any script work in every quoted place.
TEST_P(OnEach, OrdinaryNamesWithQuotesBlanksAndLettersWork) {
  const Database& db = *GetParam();
  // A name as the family's CREATE TABLE writes it.
  const auto id = [&](std::string_view name) { return sql_test::Quoted(name, db.quote[0]); };
  const std::string table = "Prix \"été\" d'or `x`", column = "nom \"du\" fruit", price = "größe à l'unité";
  ASSERT_EQ(Output("db_statement(" + on + ", -sql=" + ScriptText("DROP TABLE IF EXISTS " + id(table)) +
                   ") db_statement(" + on + ", -sql=" +
                   ScriptText("CREATE TABLE " + id(table) + " (id " + db.serial + ", " +
                              id(column) + " TEXT, " + id(price) + " INTEGER)") +
                   ") => { action_code() '|' action_message() }"),
            "0|");
  const std::string at = on + ", -table=" + ScriptText(table);
  const std::string n = ScriptText(column), p = ScriptText(price);
  for (const auto& [fruit, size] : {std::pair{"Apple", 3}, std::pair{"Fig", 1}, std::pair{"Kiwi", 2}}) {
    ASSERT_EQ(Output("db_add(" + at + ", [" + n + ", '" + fruit + "'], [" + p + ", " + std::to_string(size) +
                     "]) => { action_code() '|' action_message() }"),
              "0|");
  }
  EXPECT_EQ(Output("db_update(" + at + ", -key=" + n + ", -key_value='Fig', [" + p + ", 7]) => { found_count() }"), "1");
  EXPECT_EQ(Output("db_delete(" + at + ", -key=" + n + ", -key_value='Kiwi') => { found_count() }"), "1");
  EXPECT_EQ(Output("db_search(" + at + ", -select=" + n + ", -select=" + p + ", -sort_desc=" + p +
                   ") => { column_names()->join('|') ':' rows => { field(0) field(1) ',' } }"),
            column + "|" + price + ":Fig7,Apple3,");
}

INSTANTIATE_TEST_SUITE_P(Databases, OnEach, ::testing::Values(&kSqlite, &kPostgres, &kMariaDb),
                         [](const auto& info) { return std::string(info.param->source); });

TEST(DriverTable, DriversAreRecordedOnceWithTheSettingsTheSourcesUse) {
  const std::string settings = "driver_name, rdbms, quote_identifier, catalog_separator, schemas_supported, "
                               "typeconvert_supported, file_name FROM jdbc_drivers ORDER BY driver_name";
  EXPECT_EQ(Table("SELECT " + settings), "org.mariadb.jdbc.Driver,MariaDB,`,.,N,N,mariadb-java-client.jar;"
                                         "org.postgresql.Driver,PostgreSQL,\",.,Y,N,postgresql.jar;"
                                         "org.sqlite.JDBC,SQLite,\",.,N,N,sqlite-jdbc.jar");
  const std::string before = Table("SELECT id, " + settings);

  // A second start of the connector finds the rows and adds none. (Its sources are refused as
  // duplicates: the fixture connector's second registration shows the line.)
  qjapi_test::LocalFrame frame(gEnv);
  jclass loader = gEnv->FindClass("com/marrowbay/jdbc/JDBCLoader");
  ASSERT_NE(loader, nullptr);
  jobject second = gEnv->NewObject(loader, gEnv->GetMethodID(loader, "<init>", "()V"));
  gEnv->CallVoidMethod(second, gEnv->GetMethodID(loader, "registerQuillModule", "()V"));
  ASSERT_FALSE(gEnv->ExceptionCheck());
  EXPECT_EQ(Table("SELECT id, " + settings), before);
}

// What kept descriptions may outlive, told alike by the server (its discovered columns) and the
// connector (its kept searches): only a plain SELECT, INSERT, UPDATE or DELETE leaves every
// table's columns as they were.
TEST(ColumnChanges, TheServerAndTheConnectorTellThemAlike) {
  const struct {
    const char* sql;
    bool changes;
  } cases[] = {
      {"SELECT 1", false},          {" \n\tselect * from t", false}, {"Insert into t values (1)", false},
      {"UPDATE t SET a = 1", false}, {"delete from t", false},         {"ALTER TABLE t ADD b", true},
      {"DROP TABLE t", true},       {"CREATE TABLE t (a)", true},     {"SELECTED", true},
      {"-- note\nSELECT 1", true},  {"WITH x AS (SELECT 1) SELECT 1", true}, {"", true},
      {"select\xc3\xa9", false},
  };
  qjapi_test::LocalFrame frame(gEnv);
  jclass connector = gEnv->FindClass("com/marrowbay/jdbc/JDBCConnector");
  ASSERT_NE(connector, nullptr);
  const jmethodID rule = gEnv->GetStaticMethodID(connector, "mayChangeColumns", "(Ljava/lang/String;)Z");
  ASSERT_NE(rule, nullptr);
  for (const auto& c : cases) {
    EXPECT_EQ(datasource::MayChangeColumns(c.sql), c.changes) << c.sql;
    const jboolean changes = gEnv->CallStaticBooleanMethod(connector, rule, gEnv->NewStringUTF(c.sql));
    ASSERT_FALSE(gEnv->ExceptionCheck());
    EXPECT_EQ(changes == JNI_TRUE, c.changes) << c.sql;
  }
}

TEST(AdminTags, EachTagAnswersForItsSourceAndNothingForOthers) {
  const std::pair<std::string, std::string> cases[] = {
      {"_jdbc_acceptsurl('SQLite', 'jdbc:sqlite::memory:')", "true"},
      {"_jdbc_acceptsurl('SQLite', 'jdbc:postgresql://127.0.0.1/x')", "false"},
      {"_jdbc_acceptsurl('csv', 'jdbc:sqlite::memory:')", "false"},  // not a connector: no Java call
      {"_jdbc_driverinfo('SQLite')->get('driver_name') _jdbc_driverinfo('SQLite')->get('version')",
       "org.sqlite.JDBC3..."},
      {"_jdbc_setdriver('SQLite', 'org.sqlite.JDBC') result_code()", "true0"},
      {"_jdbc_setdriver('SQLite', 'org.example.Nothing') result_code()", "-9105"},
      // Too few parameters: nothing is asked, and the code of the tag before stays.
      {"_jdbc_setdriver('SQLite', 'org.example.Nothing') _jdbc_setdriver('SQLite') _jdbc_debug('SQLite') result_code()",
       "-9105"},
      {"_jdbc_driverinfo('nosuch') _jdbc_driverclasses('nosuch') _jdbc_setdriver('nosuch', 'x')", ""},
      // Only inside an action on a connector source does the metadata tag know its connection.
      {"_jdbc_metainfo('getDatabaseProductName')", ""},
      {"db_search(-source='SQLite', -database='shop', -table='items', -max=0) => { "
       "_jdbc_metainfo('getDatabaseProductName') '|' _jdbc_metainfo('getTables', -params=array(null, null, 'items', "
       "null))->get(0)->get('TABLE_NAME') '|' _jdbc_metainfo(-methods)->contains('getTables/4') }",
       "SQLite|items|true"},
  };
  for (const auto& [script, answer] : cases) EXPECT_TRUE(Matches(Output(script), answer)) << script;

  EXPECT_EQ(Output("_jdbc_debug('SQLite', true) result_code()"), "-1");
  Output("db_statement(-source='SQLite', -database='shop', -sql='SELECT 2')");
  EXPECT_TRUE(Logged(2, "JDBC datasource \"SQLite\" SQL: SELECT 2"));
  // The flag is read as a boolean whatever the script passes; each call flips the switch. (Each
  // switch's line is looked for in a log emptied before it: the pool's own threads may log after it.)
  for (const auto& [flag, state] : std::vector<std::pair<std::string, std::string>>{
           {"0", "OFF"}, {"2", "ON"}, {"'off'", "OFF"}, {"'Yes'", "ON"}, {"''", "OFF"}, {"1.5", "ON"}, {"false", "OFF"}}) {
    quill_service::ClearLog();
    Output("_jdbc_debug('SQLite', " + flag + ")");
    EXPECT_TRUE(Logged(2, "JDBC Connector debugging is " + state + " for datasource \"SQLite\"")) << flag;
  }

  if (!gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
  const std::string url = gPg->url() + "shop";
  const std::pair<std::string, std::string> onPostgres[] = {
      {"_jdbc_acceptsurl('PostgreSQL', '" + url + "', -username='quill', -password='secret')", "true"},
      {"_jdbc_acceptsurl('PostgreSQL', '" + url + "', -username='quill', -password='no')", "false"},
      // Secrets never come back, however the driver came to know them; the other values do.
      {"var p = _jdbc_propertyinfo('PostgreSQL', pair('" + url + "?sslpassword=s2', 'user=quill;password=secret')) "
       "var i = 0 while ($i < $p->size()) { var m = $p->get($i) if ($m->get('name') == 'user' || "
       "$m->get('name')->lower()->contains('pass')) { $m->get('name') '=' $m->get('value') ';' } $i = $i + 1 }",
       "password=;sslpassword=;sslpasswordcallback=;user=quill;"},
  };
  for (const auto& [script, answer] : onPostgres) EXPECT_EQ(Output(script), answer) << script;
  // A search run as a prepared statement is logged with its values in place.
  Output("_jdbc_debug('PostgreSQL', true) db_search(" + kPgItems + ", ['id', 1]) _jdbc_debug('PostgreSQL', false)");
  EXPECT_TRUE(Logged(2, "JDBC datasource \"PostgreSQL\" SQL: SELECT * FROM quill.\"items\" WHERE (id = 1)"));
  EXPECT_GT(std::stoi(Output("_jdbc_propertyinfo('PostgreSQL', '" + url + "')->size()")), 3);
  // Deleting the host closes its pools; the next request opens a new one.
  Output("db_search(" + kPgItems + ", -max=0)");
  const auto hosts = quill_service::ListDataSourceHosts("PostgreSQL");
  ASSERT_FALSE(hosts.empty());
  EXPECT_GE(std::stoi(Output("_jdbc_deletehost('PostgreSQL', " + std::to_string(hosts.front().host.id) + ")")), 1);
  EXPECT_EQ(Output("db_search(" + kPgItems + ", -max=0) => { action_code() }"), "0");
}

// A search longer than a batch is copied from PostgreSQL (the view's column "how" tells which
// statement read it): every cell as the cursor gave it, the escapes of the copy's format undone,
// in any window; an error part way reaches the script and the connection serves on.
TEST(LongReads, ACopiedSearchGivesWhatTheCursorGave) {
  if (!gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
  const std::string on = "-source='PostgreSQL', -database='shop'";
  const auto sql = [&](const std::string& statement) {
    return Output("db_statement(" + on + ", -sql=\"" + statement + "\") => { action_code() action_message() }");
  };
  ASSERT_EQ(sql("DROP TABLE IF EXISTS odd CASCADE"), "0");
  ASSERT_EQ(sql("CREATE TABLE odd (id INTEGER PRIMARY KEY, t TEXT, b BYTEA, n NUMERIC, f DOUBLE PRECISION, "
                "d TIMESTAMPTZ, j JSONB, a TEXT[], c CHAR(4), flag BOOLEAN)"), "0");
  ASSERT_EQ(sql("INSERT INTO odd SELECT g, 'row' || g, decode(lpad(to_hex(g), 8, '0'), 'hex'), g / 7.0, g / 3.0, "
                "timestamptz '2026-01-01 00:00+00' + g * interval '1 minute', jsonb_build_object('k', g), "
                "ARRAY['x' || g, NULL], 'c', g % 2 = 0 FROM generate_series(1, 1500) g"), "0");
  // Every byte the format escapes, a text that reads as its null, empty cells and wide letters.
  ASSERT_EQ(sql("UPDATE odd SET t = 'a' || chr(9) || 'b' || chr(10) || 'c' || chr(92) || 'd' || chr(13) || chr(8) || "
                "chr(11) || chr(12) || 'e', b = decode('00095c0a0d4e', 'hex'), n = NULL, "
                "j = jsonb_build_object('s', 'x' || chr(9) || chr(92)), a = ARRAY['q' || chr(34) || chr(92), NULL, ''] "
                "WHERE id = 700"), "0");
  ASSERT_EQ(sql("UPDATE odd SET t = chr(92) || 'N', b = '', a = '{}' WHERE id = 701"), "0");
  ASSERT_EQ(sql("UPDATE odd SET t = 'Grüße 😀', c = NULL, flag = NULL WHERE id = 702"), "0");
  ASSERT_EQ(sql("CREATE VIEW odd_v AS SELECT *, left(current_query(), 4) AS how, 1 / (1600 - id) AS v FROM odd"), "0");
  const std::string search = "db_search(" + on + ", -table='odd_v', -sort='id'";
  const std::string cells =
      ") => { action_code() action_message() found_count() ':' column_info() ':' rows => { var k = 0 while ($k < 12) { "
      "field($k)->type() '=' field($k) '|' $k = $k + 1 } ';' } }";
  const std::string read = search + cells;
  // A limit above a batch keeps the read on the cursor.
  const std::string cursor = Output(search + ", -max=100000" + cells);
  std::string copied = Output(read);
  ASSERT_TRUE(cursor.find("string=SELE|") != std::string::npos) << cursor.substr(0, 300);
  ASSERT_TRUE(copied.find("string=COPY|") != std::string::npos) << copied.substr(0, 300);
  for (size_t at; (at = copied.find("string=COPY|")) != std::string::npos;) copied.replace(at, 12, "string=SELE|");
  EXPECT_EQ(copied, cursor);
  EXPECT_TRUE(Matches(cursor, "01500:[{...}]:...;string=700|string=a\tb\nc\\d\r\b\v\fe|bytes=" +
                                  std::string("\0\t\\\n\rN", 6) +
                                  "|null=|...|string={\"s\": \"x\\t\\\\\"}|string={\"q\\\"\\\\\",NULL,\"\"}|...;"
                                  "string=701|string=\\N|bytes=|...|string={}|...;"
                                  "string=702|string=Grüße 😀|...|null=|null=|...;..."))
      << cursor.substr(0, 600);
  EXPECT_EQ(Output(search + ", -skip=1498) => { found_count() ':' rows => { field('id') field('how') ',' } }"),
            "1500:1499COPY,1500COPY,");
  // Rows past the first batches, then a division by zero: the error is the search's.
  ASSERT_EQ(sql("INSERT INTO odd (id) SELECT generate_series(1501, 1700)"), "0");
  EXPECT_TRUE(Matches(Output(search + ") => { action_code() '|' action_message() }"), "-9103|...division by zero..."));
  ASSERT_EQ(sql("DELETE FROM odd WHERE id > 1500"), "0");
  EXPECT_EQ(Output(search + ", -skip=1499) => { found_count() ':' rows => { field('id') field('how') } }"),
            "1500:1500COPY");
}

// A driver whose SQL settings nobody knows yet (a driver class the connector does not know, which
// connects through PostgreSQL's): its source is registered not inited with no quote. The first
// action learns the settings from a connection to its own database before its statement is
// written, so a table named by a reserved word works at once, quoted and in the login's schema.
TEST(FreshDriver, TheFirstStatementIsWrittenWithTheSettingsItsConnectionTells) {
  if (!gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
  auto* known = dynamic_cast<JavaDataSource*>(DataSourceRegistry::Global().Find("PostgreSQL"));
  ASSERT_NE(known, nullptr);
  {
    qjapi_test::LocalFrame frame(gEnv);
    jclass lost = gEnv->FindClass("fixtures/connector/LostDriver");
    ASSERT_NE(lost, nullptr);
    const jmethodID like =
        gEnv->GetStaticMethodID(lost, "registerLike", "(Lcom/marrowbay/jdbc/JDBCDataSource;Ljava/lang/String;)V");
    ASSERT_NE(like, nullptr);
    gEnv->CallStaticVoidMethod(lost, like, known->javaInstance, gEnv->NewStringUTF("PgFresh"));
    ASSERT_FALSE(gEnv->ExceptionCheck());
  }
  auto* registered = dynamic_cast<JavaDataSource*>(DataSourceRegistry::Global().Find("PgFresh"));
  ASSERT_NE(registered, nullptr);
  EXPECT_FALSE(registered->Properties()->inited);
  EXPECT_EQ(registered->Properties()->quoteCharacter, "");

  quill_service::AddDataSourceHost("PgFresh", gPg->url(), qjapi_test::PgCluster::kUser, qjapi_test::PgCluster::kPassword);
  ASSERT_EQ(Output("db_statement(-source='PostgreSQL', -database='shop', -sql='CREATE TABLE \"order\" (\"select\" TEXT)') "
                   "db_statement(-source='PostgreSQL', -database='shop', -sql=\"INSERT INTO \\\"order\\\" VALUES ('x')\") "
                   "=> { action_code() }"),
            "0");
  EXPECT_EQ(Output("db_search(-source='PgFresh', -database='shop', -table='order', -sort='select') => "
                   "{ action_code() '|' action_statement() '|' rows => { field(0) } }"),
            "0|SELECT * FROM quill.\"order\" ORDER BY \"select\"|x");
  EXPECT_TRUE(registered->Properties()->inited);  // the quote and schema show in the statement above
  // A property list failing as a broken connection does, inside an action, took none of the
  // request's connections: the action's own stays in the request.
  EXPECT_EQ(Output("var p = 'SELECT pg_backend_pid()' var o = '' db_statement(-source='PgFresh', -database='shop', "
                   "-sql=$p) => { $o = field(0) _jdbc_propertyinfo('PgFresh', 'x') result_code() } "
                   "db_statement(-source='PgFresh', -database='shop', -sql=$p) => { field(0) == $o }"),
            "-9100true");
}

TEST(AdminTags, RightsDecideWhoAdministersASource) {
  const qjapi_test::CaseUsers users({{"ann", false}, {"carl", false}, {"boss", true}});
  ASSERT_EQ(quill_service::GrantRight("ann", QUILL_OP_READ, "db:sqlite/shop/*"), 0);
  ASSERT_EQ(quill_service::GrantRight("ann", QUILL_OP_EXECUTE, "db:sqlite/"), 0);
  ASSERT_EQ(quill_service::GrantRight("carl", QUILL_OP_ADMIN, "db:SQLite/*"), 0);
  const std::string no = std::to_string(QUILL_ERR_NOT_ALLOWED);
  const std::string search = "db_search(-source='SQLite', -database='shop', -table='items', -max=0)";
  // The user, the script, and what it prints.
  const std::tuple<const char*, std::string, std::string> cases[] = {
      // Refused before Java: a class the source lacks would answer -9105 there.
      {"ann", "_jdbc_setdriver('SQLite', 'org.example.Nothing') result_code() ' ' result_message()",
       no + " ann may not admin db:sqlite/"},
      {"ann", "_jdbc_acceptsurl('SQLite', 'jdbc:sqlite::memory:') result_code()", "false" + no},
      {"ann", "_jdbc_driverinfo('SQLite') _jdbc_driverclasses('SQLite') _jdbc_deletehost('SQLite', 1) result_code()",
       no},
      {"", "_jdbc_debug('SQLite', true) result_code() ' ' result_message()",
       no + " the anonymous user may not admin db:sqlite/"},
      // Executing on the source does not reach its administration by the action code.
      {"ann", "db_send(-source='SQLite', -code=130) => { action_code() ' ' action_message() }",
       no + " ann may not admin db:sqlite/"},
      // A database's reader does not get the metadata of the whole source.
      {"ann", search + " => { _jdbc_metainfo('getDatabaseProductName') result_code() }", no},
      {"carl", "_jdbc_driverclasses('SQLite')->join(',') _jdbc_setdriver('SQLite', 'org.sqlite.JDBC')", "org.sqlite.JDBCtrue"},
      {"carl", search + " => { action_code() }", no},  // administering is not reading
      {"boss", search + " => { _jdbc_metainfo('getDatabaseProductName') }", "SQLite"},
      // The refused switch above changed nothing.
      {"boss", "_jdbc_driverinfo('SQLite')->get('debugging')", "false"},
  };
  for (const auto& [user, script, answer] : cases) EXPECT_EQ(qjapi_test::OutputAs(user, script), answer) << script;
}

// A connector whose own natives the module did not bind (a module older than its jar) reads its
// route, its search's facts and its columns through the public natives, and holds every
// connection: more requests than its pool has connections still find their row, with the
// statement told.
TEST(OwnNatives, WithoutThemTheConnectorAnswersThroughThePublicNatives) {
  auto* source = dynamic_cast<JavaDataSource*>(DataSourceRegistry::Global().Find("SQLite"));
  ASSERT_NE(source, nullptr);
  const bridge::LocalRef<jclass> connector(gEnv, gEnv->GetObjectClass(source->javaInstance));
  ASSERT_EQ(gEnv->UnregisterNatives(connector.get()), 0);
  source->keepDiscoveredColumns = true;
  const std::string on = "-source='SQLite', -database='shop'";
  EXPECT_EQ(Output("db_statement(" + on + ", -sql='CREATE TABLE unbound (id INTEGER PRIMARY KEY, name TEXT)') "
                   "db_add(" + on + ", -table='unbound', ['name', 'x']) => { action_code() }"),
            "0");
  const std::string search = "db_search(" + on + ", -table='unbound', ['name', 'x']) => { found_count() '|' "
                             "action_statement() '|' rows => { field('name') } }";
  for (int i = 0; i < 12; ++i) {
    const std::string got = Output(search);
    EXPECT_TRUE(Matches(got, "1|SELECT ...unbound...|x")) << got;
  }
  source->keepDiscoveredColumns = false;
  BindConnectorNatives(gEnv, connector.get());
  gEnv->SetStaticBooleanField(connector.get(), gEnv->GetStaticFieldID(connector.get(), "ownNatives", "Z"), JNI_TRUE);
  EXPECT_TRUE(Matches(Output(search), "1|SELECT ...unbound...|x"));
}

// Last: the PostgreSQL server goes away under pooled connections, and comes back.
TEST(ZServerStopped, ActionsFailWithACodeUntilTheServerIsBack) {
  if (!gPgMissing.empty()) GTEST_SKIP() << gPgMissing;
  const std::string search = "db_search(" + kPgItems + ", -max=0) => { action_code() }";
  ASSERT_EQ(Output(search), "0");
  // Mid-request: the server stops while the request's second statement runs (seen from another
  // request); that statement, and the next action on the same (dead) connection, answer with
  // codes, and the request ends.
  std::thread stopper([] {
    for (int i = 0; i < 300 && Output("db_statement(-source='PostgreSQL', -database='shop', -sql=\"SELECT count(*) "
                                      "FROM pg_stat_activity WHERE query LIKE 'SELECT pg_sleep(5)%'\") => { field(0) }") != "1";
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    gPg->Stop();
  });
  const std::string midway = Output(
      search + " db_statement(-source='PostgreSQL', -database='shop', -sql='SELECT pg_sleep(5)') => "
      "{ '|' action_code() } " + search);
  stopper.join();
  EXPECT_EQ(midway, "0|-9100-9100");
  // The host just failed to give a connection: the next requests are answered from the back-off,
  // without a connection attempt (which would fail anew: the failure's age only grows), and say
  // so; other sources are served meanwhile.
  int lastAgo = 0;
  for (int i = 0; i < 2; ++i) {
    const std::string again = Output("db_search(" + kPgItems + ") => { action_code() '|' action_message() }");
    EXPECT_EQ(again.substr(0, 6), "-9100|") << again;
    // The back-off is the preference's 6 s (the default is 2 s), counted from the failure.
    const size_t ago = again.find("it failed "), left = again.find("not tried again for ");
    ASSERT_TRUE(ago != std::string::npos && left != std::string::npos) << again;
    const int agoMs = std::atoi(again.c_str() + ago + 10);
    EXPECT_EQ(agoMs + std::atoi(again.c_str() + left + 20), 6000) << again;
    EXPECT_GE(agoMs, lastAgo) << again;
    lastAgo = agoMs;
  }
  EXPECT_EQ(Output("db_search(-source='SQLite', -database='shop', -table='items', -max=0) => { action_code() }"), "0");
  ASSERT_TRUE(gPg->Restart());
  // Once the back-off is over, the next request tries again and finds the server back.
  std::string after;
  for (int i = 0; i < 60 && after != "0"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    after = Output(search);
  }
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
  qjapi_test::MariaDbServer maria;
  gMariaMissing = maria.Start();
  if (!gMariaMissing.empty()) std::fprintf(stderr, "MariaDB cases skipped: %s\n", gMariaMissing.c_str());
  gMaria = &maria;
  const auto server = qjapi_test::StartServerInTempRoot(
      "qjapi-jdbc-", QJAPI_MODULE, {QJAPI_JAR, JDBC_CONNECTOR_JAR, CSV_EXAMPLE_JAR, FIXTURE_CONNECTOR_JAR}, nullptr,
      {{"JavaLibraries", HIKARI_JAR}, {"JavaLibraries", SLF4J_API_JAR}, {"JavaLibraries", SLF4J_BINDING_JAR},
       {"JavaLibraries", COMMONS_CSV_JAR}, {"JDBCDrivers", SQLITE_JDBC_JAR}, {"JDBCDrivers", SQLITE_JDBC_NATIVE},
       {"JDBCDrivers", POSTGRESQL_JDBC_JAR}, {"JDBCDrivers", MARIADB_JDBC_JAR}},
      nullptr, {{"jdbc_retry_after", "6000"}});
  gEnv = qjapi_test::StartedEnv(server);
  gRoot = server->root;
  if (gEnv == nullptr) return 1;
  if (gPgMissing.empty()) {
    quill_service::AddDataSourceHost("PostgreSQL", cluster.url(), qjapi_test::PgCluster::kUser,
                                     qjapi_test::PgCluster::kPassword);
    const std::string made = Output(
        "db_statement(-source='PostgreSQL', -database='postgres', -sql='CREATE DATABASE shop') => { action_message() }"
        "db_statement(-source='PostgreSQL', -database='shop', -sql='CREATE SCHEMA quill') => { action_message() }");
    if (!made.empty()) gPgMissing = "the test database could not be made: " + made;
  }
  if (gMariaMissing.empty()) {
    quill_service::AddDataSourceHost("MariaDB", maria.url(), qjapi_test::MariaDbServer::kUser,
                                     qjapi_test::MariaDbServer::kPassword);
    if (!maria.Sql("CREATE DATABASE shop")) gMariaMissing = "the test database could not be made";
  }
  // The table the cases that do not fill their own read.
  for (const Database* database : {&kSqlite, &kPostgres, &kMariaDb}) {
    if (!database->missing->empty()) continue;
    Output(std::string("db_statement(-source='") + database->source + "', -database='shop', -sql='" + database->table +
           "')");
  }
  const int result = RUN_ALL_TESTS();
  cluster.Shutdown();
  maria.Shutdown();
  qjapi_test::EndTests(result, server->root);
}
