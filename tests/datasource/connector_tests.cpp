// Connector data sources end to end: scripts run database actions on the fixture connector
// (tests/fixtures/java/connector), which runs each statement the module wrote on a SQLite
// database through the SQLite JDBC driver and also reports it as the action's statement. Each case
// checks the statement, what SQLite made of it, and (through SQLite's C library, past the module
// and the driver) the bytes it stored.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "datasource/JavaDataSource.h"
#include "service/core/log.h"
#include "tests/datasource/scripts.h"

namespace {

using quill_service::ScriptRun;

const std::string kShop = "-database='shop', -table='items'";

ScriptRun RunText(const std::string& source, const std::string& value = "") {
  quill_service::RunInputs inputs;
  inputs.params.emplace_back("v", value);
  return quill_service::RunScriptText(source, "connector.q", inputs);
}

// "code|statement|rows" of one action; rows as the named fields joined by ",", each row ended
// by ";". The request parameter v holds value.
std::string Action(const std::string& action, const std::string& fields = "id",
                   const std::string& value = "") {
  std::string row;
  for (size_t start = 0, end; start <= fields.size(); start = end + 1) {
    end = std::min(fields.find(',', start), fields.size());
    row += (row.empty() ? "" : " ',' ") + std::string("field('") + fields.substr(start, end - start) + "')";
  }
  const ScriptRun run = RunText(action + " => { action_code() '|' action_statement() '|' rows => { " + row +
                                " ';' } }",
                            value);
  EXPECT_TRUE(run.ok) << action << "\n" << run.error;
  return run.output;
}

void Statement(const std::string& sql) {
  const ScriptRun run = RunText(
      "db_statement(-source='fx_sql', -database='shop', -sql=request_param('v')) => { action_code() ' ' "
      "action_message() }",
      sql);
  ASSERT_EQ(run.output, "0 ") << sql << "\n" << run.error;
}

// A fresh items table in shop.db.
void FreshItems() {
  Statement("DROP TABLE IF EXISTS items");
  Statement("CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price REAL, day DATE, ok BOOLEAN, "
            "note TEXT, a TEXT, b TEXT, c TEXT)");
  Statement("INSERT INTO items (id, name, price, ok, a, b, c) VALUES (1, 'Oat', 1.5, 1, 'x', NULL, '1'), "
            "(2, 'O''Brien', 2.75, 0, 'y', 'b', '2'), (3, 'Milk', 0.99, 1, 'x', 'b', '3')");
}

// The note of row id as SQLite's C library reads it from the file; nullopt when there is no row.
std::optional<std::string> StoredNote(int id) {
  const char* dir = std::getenv("QJAPI_SQLITE_DIR");
  sqlite3* db = nullptr;
  std::optional<std::string> note;
  if (dir != nullptr && sqlite3_open_v2((std::string(dir) + "/shop.db").c_str(), &db, SQLITE_OPEN_READONLY,
                                        nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT note FROM items WHERE id = ?", -1, &stmt, nullptr);
    sqlite3_bind_int(stmt, 1, id);
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* text = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
      note = std::string(text != nullptr ? text : "", static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return note;
}

using qjapi_test::Logged;
using qjapi_test::Output;

TEST(Connector, EveryRecordActionRunsOnSqliteAsTheStatementTheModuleWrote) {
  FreshItems();
  const std::string shop = "-source='fx_sql', " + kShop;
  struct Case {
    std::string action, fields, expected;
  };
  const Case cases[] = {
      {"db_search(" + shop + ", ['name', 'begins', \"O'Br\"], -group='or', ['a', 'x'], ['b', '!=', null], "
       "-group_end, -sort_desc='price', -sort='id', -select='id', -select='name', -distinct)",
       "id,name",
       "0|SELECT DISTINCT \"id\",\"name\" FROM \"items\" WHERE (name LIKE 'O''Br%' AND (a = 'x' OR b IS NOT NULL)) "
       "ORDER BY \"price\" DESC ,\"id\";|2,O'Brien;"},
      {"db_search(" + shop + ", -group='not', ['a', 'x'], -group_end, -logic='or', ['c', 'in', '3'], -sort='id')",
       "id", "0|SELECT * FROM \"items\" WHERE (NOT (a = 'x') OR c IN ('3')) ORDER BY \"id\";|2;3;"},
      {"db_search(" + shop + ", -key='name', -key_value=\"O'Brien\", ['a', 'x'])", "id,price",
       "0|SELECT * FROM \"items\" WHERE \"name\" = 'O''Brien';|2,2.75;"},
      {"db_search(" + shop + ", ['b', null], -sort_desc='id')", "id", "0|SELECT * FROM \"items\" WHERE (b IS NULL) ORDER BY \"id\" DESC ;|1;"},
      {"db_add(" + shop + ", ['id', 7], ['name', \"it's\"], ['name', 'x'], ['note', null])", "id",
       "0|INSERT INTO \"items\" (\"id\",\"name\",\"note\") VALUES ('7','it''s,x',NULL);|"},
      {"db_update(" + shop + ", -key='name', -key_value=\"it's,x\", ['price', '2.5'], ['note', '\\\\'])", "id",
       "0|UPDATE \"items\" SET \"price\" = '2.5',\"note\" = '\\' WHERE \"name\" = 'it''s,x';|"},
      {"db_search(" + shop + ", ['price', '>=', '2.5'], ['note', 'ends', '\\\\'])", "id,name,price,note",
       "0|SELECT * FROM \"items\" WHERE (price >= '2.5' AND note LIKE '%\\');|7,it's,x,2.5,\\;"},
      {"db_delete(" + shop + ", -key='id', -key_value=7)", "id", "0|DELETE FROM \"items\" WHERE \"id\" = '7';|"},
      {"db_search(" + shop + ", ['id', '>', 2])", "id", "0|SELECT * FROM \"items\" WHERE (id > '2');|3;"},
      {"db_search(" + shop + ", ['nope', 1])", "id", "-1|SELECT * FROM \"items\" WHERE (nope = '1');|"},
      // Refused without a key: no statement reaches Java.
      {"db_update(-source='fx_sql', -table='items', ['price', 1])", "id", "-9958||"},
  };
  for (const Case& c : cases) EXPECT_EQ(Action(c.action, c.fields), c.expected) << c.action;

  const ScriptRun show = RunText("db_show(-source='fx_sql', " + kShop +
                             ") => { action_statement() '|' column_names()->join(',') '|' found_count() }");
  EXPECT_EQ(show.output, "SELECT * FROM \"items\" WHERE 0=1;|id,name,price,day,ok,note,a,b,c|0") << show.error;
  const ScriptRun failing = RunText("db_search(-source='fx_sql', " + kShop +
                                ", ['nope', 1]) => { action_message() }");
  EXPECT_NE(failing.output.find("no such column: nope"), std::string::npos) << failing.output;
}

// Each value goes in as an inserted value, is found by = and by a LIKE pattern, serves as a key
// value and an assignment, and is deleted by key; SQLite must hold exactly its bytes throughout.
TEST(Connector, ValuesAreStoredAndFoundBackByteForByte) {
  FreshItems();
  const char* const values[] = {
      "it's",        "''",      "a\\b\\'",          "100% _x_",     "line\nbreak\r\n",  "'; DROP TABLE items; --",
      "SELECT * FROM items WHERE 1=1 OR ''='", "NULL", "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC",
      " \t", "\"quoted\" /* c */"};
  for (const char* source : {"fx_sql", "fx_sql_typed"}) {
    const std::string where = std::string("-source='") + source + "', " + kShop;
    int id = 100;
    for (const std::string value : values) {
      SCOPED_TRACE(std::string(source) + " [" + value + "]");
      ++id;
      const std::string n = std::to_string(id);
      EXPECT_EQ(Action("db_add(" + where + ", ['id', " + n + "], ['note', request_param('v')])", "id", value).substr(0, 2),
                "0|");
      EXPECT_EQ(StoredNote(id), value);
      const std::string equal = Action("db_search(" + where + ", ['note', request_param('v')])", "id", value);
      EXPECT_EQ(equal.substr(equal.rfind('|')), "|" + n + ";");
      const std::string contains = Action("db_search(" + where + ", ['note', 'contains', request_param('v')])", "id", value);
      EXPECT_NE(contains.find("|" + n + ";"), std::string::npos) << contains;
      EXPECT_EQ(Action("db_update(" + where + ", -key='note', -key_value=request_param('v'), "
                       "['note', request_param('v') + '|' + request_param('v')])", "id", value).substr(0, 2),
                "0|");
      EXPECT_EQ(StoredNote(id), value + "|" + value);
      EXPECT_EQ(Action("db_delete(" + where + ", -key='note', -key_value=request_param('v') + '|' + request_param('v'))",
                       "id", value).substr(0, 2),
                "0|");
      EXPECT_EQ(StoredNote(id), std::nullopt);
    }
    // NUL: refused before anything is sent, naming the column; nothing is stored.
    const ScriptRun nul = RunText("db_add(" + where + ", ['id', 99], ['note', \"a\\0b\"]) => { action_code() '|' "
                              "action_message() '|' action_statement() }");
    EXPECT_EQ(nul.output.substr(0, 6), "-9960|") << nul.output << nul.error;
    EXPECT_NE(nul.output.find("column \"note\""), std::string::npos) << nul.output;
    EXPECT_EQ(nul.output.back(), '|') << "a statement reached the connector: " << nul.output;
    EXPECT_EQ(StoredNote(99), std::nullopt);
  }
}

// Without conversion the server asks for the columns first (connector_example shows the bare
// values); the discovery's columns do not stay in the action's result, and a column the table
// does not have is logged (its name as text, never as a format) and its value quoted.
TEST(Connector, TheDiscoveryStaysOutOfTheResultAndAMissingColumnIsLogged) {
  FreshItems();
  const std::string typed = "-source='fx_sql_typed', " + kShop;
  const ScriptRun columns = RunText("db_search(" + typed + ", ['id', 1]) => { column_names()->join(',') '|' found_count() }");
  EXPECT_EQ(columns.output, "id,name,price,day,ok,note,a,b,c|1") << columns.error;
  // (SQLite reads a double-quoted name it does not know as text.)
  EXPECT_EQ(Action("db_search(" + typed + ", -key='nope %s', -key_value=5)"),
            "0|SELECT * FROM \"items\" WHERE \"nope %s\" = '5';|");
  EXPECT_TRUE(Logged(0, "Column \"nope %s\" not found"));
}

// With java_column_cache on, an action asks for its columns once (with the connector's debugging
// on each statement written is logged at level 2, the discovery's too); a failed action, or a
// statement of the source's own that may change a table, makes the next one ask again.
TEST(Connector, KeptColumnsAreAskedForAgainAfterAFailureOrATableChange) {
  auto* source = dynamic_cast<JavaDataSource*>(DataSourceRegistry::Global().Find("fx_sql_typed"));
  ASSERT_NE(source, nullptr);
  const auto discoveries = [] {
    const auto lines = quill_service::LogSnapshot();
    return std::count_if(lines.begin(), lines.end(), [](const auto& line) {
      return line.text.starts_with("JDBC datasource \"fx_sql_typed\" SQL: ") && line.text.ends_with(" WHERE 0=1");
    });
  };

  FreshItems();
  const std::string typed = "-source='fx_sql_typed', " + kShop;
  const std::string own = "db_statement(-source='fx_sql_typed', -database='shop', -sql=";
  const struct {
    std::string action;
    bool asks;            // the discovery reaches the database
    std::string result;   // "code|statement|rows" (or its beginning for failures)
  } steps[] = {
      {"db_search(" + typed + ", ['id', 3])", true, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
      {"db_search(" + typed + ", ['id', 3])", false, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
      {"db_search(" + typed + ", ['id', 2])", false, "0|SELECT * FROM \"items\" WHERE (id = 2);|2;"},
      {"db_search(" + typed + ", ['price', 0.99])", true, "0|SELECT * FROM \"items\" WHERE (price = 0.99);|3;"},
      {own + "'UPDATE items SET note = 1')", false, "0||"},
      {"db_search(" + typed + ", ['id', 3])", false, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
      // Renamed by another source: the kept columns mislead the statement, which fails...
      {"db_statement(-source='fx_sql', -database='shop', -sql='ALTER TABLE items RENAME COLUMN id TO k')", false,
       "0||"},
      {"db_search(" + typed + ", ['id', 3])", false, "-1|"},
      // ... and the next action asks again.
      {"db_search(" + typed + ", ['id', 3])", true, "-1|"},
      {own + "'ALTER TABLE items RENAME COLUMN k TO id')", false, "0||"},
      {"db_search(" + typed + ", ['price', 0.99])", true, "0|SELECT * FROM \"items\" WHERE (price = 0.99);|3;"},
      {"db_search(" + typed + ", ['id', 3])", true, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
  };
  source->keepDiscoveredColumns = true;
  Output("_jdbc_debug('fx_sql_typed', true)");
  for (const auto& step : steps) {
    const auto before = discoveries();
    const std::string got = Action(step.action);
    EXPECT_EQ(got.substr(0, step.result.size()), step.result) << step.action;
    EXPECT_EQ(discoveries() - before, step.asks ? 1 : 0) << step.action << " gave " << got;
  }
  Output("_jdbc_debug('fx_sql_typed', false)");
  source->keepDiscoveredColumns = false;
  // With the connector's debugging off the statements are not logged.
  const auto before = discoveries();
  EXPECT_EQ(Action("db_search(" + typed + ", ['id', 3])"), "0|SELECT * FROM \"items\" WHERE (id = 3);|3;");
  EXPECT_EQ(discoveries(), before);
}

TEST(Connector, RegistrationRefusalsLeaveNothingAndLogOnlyTheRegistrysRefusal) {
  EXPECT_TRUE(Logged(0, "    Failed to register JDBC datasource fx_sql"));
  const auto lines = quill_service::LogSnapshot();
  for (const char* refused : {"fx_sql_ferngate", "fx_sql_nomethod"}) {
    EXPECT_FALSE(RunText(std::string("db_search(-source='") + refused + "')").ok) << refused;
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [&](const auto& line) {
      return line.text.find(refused) != std::string::npos;
    })) << refused;
  }
}

}  // namespace
