// Connector data sources end to end: scripts run database actions on the fixture connector
// (tests/fixtures/java/connector), which runs each statement the module wrote on a SQLite
// database through the SQLite JDBC driver and also reports it as the action's statement. Each case
// checks the statement and what SQLite made of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "datasource/JavaDataSource.h"
#include "service/core/log.h"
#include "tests/datasource/scripts.h"

namespace {

using qjapi_test::Logged;
using qjapi_test::Output;

const std::string kShop = "-database='shop', -table='items'";
const std::string kTyped = "-source='fx_sql_typed', " + kShop;

// "code|statement|rows" of one action; each row's id ended by ";".
std::string Action(const std::string& action) {
  return Output(action + " => { action_code() '|' action_statement() '|' rows => { field('id') ';' } }");
}

// Runs sql (passed as a request parameter, so that any quote in it stays as written) on shop.db.
void Statement(const std::string& sql) {
  quill_service::RunInputs inputs;
  inputs.params.emplace_back("v", sql);
  EXPECT_EQ(Output("db_statement(-source='fx_sql', -database='shop', -sql=request_param('v')) => "
                   "{ action_code() ' ' action_message() }",
                   inputs),
            "0 ")
      << sql;
}

// A fresh items table in shop.db.
void FreshItems() {
  Statement("DROP TABLE IF EXISTS items");
  Statement("CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price REAL, day DATE, ok BOOLEAN, "
            "note TEXT, a TEXT, b TEXT, c TEXT)");
  Statement("INSERT INTO items (id, name, price, ok, a, b, c) VALUES (1, 'Oat', 1.5, 1, 'x', NULL, '1'), "
            "(2, 'O''Brien', 2.75, 0, 'y', 'b', '2'), (3, 'Milk', 0.99, 1, 'x', 'b', '3')");
}

// A source whose driver converts text: no discovery, every value quoted, a name given twice joins
// its values, a null stays NULL and distinct rows are asked for. (The statements of every action
// are checked on the builder's own; connector_example runs them through a source that discovers
// its columns.)
TEST(Connector, RecordActionsOfAConvertingSourceRunOnSqliteAsTheStatementsTheModuleWrote) {
  FreshItems();
  const std::string shop = "-source='fx_sql', " + kShop;
  EXPECT_EQ(Action("db_add(" + shop + ", ['id', 7], ['name', \"it's\"], ['name', 'x'], ['note', null])"),
            "0|INSERT INTO \"items\" (\"id\",\"name\",\"note\") VALUES ('7','it''s,x',NULL);|");
  EXPECT_EQ(Action("db_search(" + shop + ", ['a', 'x'], -select='id', -distinct, -uselimit)"),
            "0|SELECT DISTINCT \"id\" FROM \"items\" WHERE (a = 'x');|1;3;");
  // A connector that is not inited gets action 0 once, at registration, not again before each
  // action: its properties are never read, and statements are written without quote or terminator.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Action("db_search(-source='fx_sql_unsettled', " + kShop + ", ['a', 'x'], -select='id')"),
              "0|SELECT id FROM items WHERE (a = 'x')|1;3;");
  }
  // A null catalog separator is ".".
  EXPECT_EQ(Output("db_search(-source='fx_sql_catalog', " + kShop + ") => { action_statement() }"),
            "SELECT * FROM \"shop\".\"items\";");
}

// Without conversion the server asks for the columns first (connector_example shows the bare
// values, and that the discovery's columns do not stay in the action's result); a column the
// table does not have is logged (its name as text, never as a format) and its value quoted.
TEST(Connector, AColumnTheDiscoveryDoesNotFindIsLoggedAndItsValueQuoted) {
  FreshItems();
  // (SQLite reads a double-quoted name it does not know as text.)
  EXPECT_EQ(Action("db_search(" + kTyped + ", -key='nope %s', -key_value=5)"),
            "0|SELECT * FROM \"items\" WHERE \"nope %s\" = '5';|");
  EXPECT_TRUE(Logged(0, "Column \"nope %s\" not found"));
  // An update without a key asks for no columns, and so reports none missing.
  EXPECT_EQ(Action("db_update(" + kTyped + ", ['note', 'x'])"), "-9958||");
  EXPECT_FALSE(Logged(0, "Column \"note\" not found"));
  // A key named in non-ASCII text is found in the default code page: its number goes bare.
  Statement("CREATE TABLE IF NOT EXISTS prices (id INTEGER PRIMARY KEY, \"pr\xC3\xAEx\" REAL)");
  EXPECT_EQ(Action("db_search(-source='fx_sql_typed', -database='shop', -table='prices', -key='pr\xC3\xAEx', "
                   "-key_value=5)"),
            "0|SELECT * FROM \"prices\" WHERE \"pr\xC3\xAEx\" = 5;|");
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
  const std::string own = "db_statement(-source='fx_sql_typed', -database='shop', -sql=";
  const struct {
    std::string action;
    bool asks;            // the discovery reaches the database
    std::string result;   // "code|statement|rows" (or its beginning for failures)
  } steps[] = {
      {"db_search(" + kTyped + ", ['id', 3])", true, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
      {"db_search(" + kTyped + ", ['id', 3])", false, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
      {"db_search(" + kTyped + ", ['id', 2])", false, "0|SELECT * FROM \"items\" WHERE (id = 2);|2;"},
      {"db_search(" + kTyped + ", ['price', 0.99])", true, "0|SELECT * FROM \"items\" WHERE (price = 0.99);|3;"},
      {own + "'UPDATE items SET note = 1')", false, "0||"},
      {"db_search(" + kTyped + ", ['id', 3])", false, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
      // Renamed by another source: the kept columns mislead the statement, which fails...
      {"db_statement(-source='fx_sql', -database='shop', -sql='ALTER TABLE items RENAME COLUMN id TO k')", false,
       "0||"},
      {"db_search(" + kTyped + ", ['id', 3])", false, "-1|"},
      // ... and the next action asks again.
      {"db_search(" + kTyped + ", ['id', 3])", true, "-1|"},
      {own + "'ALTER TABLE items RENAME COLUMN k TO id')", false, "0||"},
      {"db_search(" + kTyped + ", ['price', 0.99])", true, "0|SELECT * FROM \"items\" WHERE (price = 0.99);|3;"},
      {"db_search(" + kTyped + ", ['id', 3])", true, "0|SELECT * FROM \"items\" WHERE (id = 3);|3;"},
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
  EXPECT_EQ(Action("db_search(" + kTyped + ", ['id', 3])"), "0|SELECT * FROM \"items\" WHERE (id = 3);|3;");
  EXPECT_EQ(discoveries(), before);
}

}  // namespace
