// Connector data sources end to end: scripts run database actions on the fixture connector
// (tests/fixtures/java/connector), which reports the statement the module wrote as the action's
// statement, so each case reads exactly what a real connector would have executed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "service/core/log.h"
#include "service/script/script.h"

namespace {

using quill_service::ScriptRun;

// The action's code and statement, as "code|statement".
std::string Statement(const std::string& action) {
  const ScriptRun run = quill_service::RunScriptText(
      action + " => { action_code() '|' action_statement() }", "connector.q", {});
  EXPECT_TRUE(run.ok) << action << "\n" << run.error;
  return run.output;
}

bool LoggedAtZero(const std::string& text) {
  const auto lines = quill_service::LogSnapshot();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.level == 0 && line.text == text; });
}

TEST(Connector, EveryRecordActionReachesJavaAsOneStatement) {
  const std::string shop = "-source='fx_sql', -database='shop', -table='items'";
  EXPECT_EQ(Statement("db_search(" + shop + ", ['name', 'begins', \"O'Br\"], -group='or', ['a', 1], "
                      "['b', '!=', null], -group_end, -sort_desc='price', -sort='id', -select='id', "
                      "-select='name', -distinct)"),
            "0|SELECT DISTINCT \"id\",\"name\" FROM \"items\" WHERE (name LIKE 'O''Br%' AND (a = '1' OR "
            "b IS NOT NULL)) ORDER BY \"price\" DESC ,\"id\";");
  EXPECT_EQ(Statement("db_search(" + shop + ", -group='not', ['a', 'x'], -group_end, -logic='or', ['c', 'in', '1,2'])"),
            "0|SELECT * FROM \"items\" WHERE (NOT (a = 'x') OR c IN ('1,2'));");
  EXPECT_EQ(Statement("db_search(" + shop + ", -key='id', -key_value=\"7'\", ['a', 'x'])"),
            "0|SELECT * FROM \"items\" WHERE \"id\" = '7''';");
  EXPECT_EQ(Statement("db_add(" + shop + ", ['id', 7], ['name', \"it's\"], ['name', 'x'], ['note', null])"),
            "0|INSERT INTO \"items\" (\"id\",\"name\",\"note\") VALUES ('7','it''s,x',NULL);");
  EXPECT_EQ(Statement("db_update(" + shop + ", -key='id', -key_value=7, ['price', '2.75'], ['name', '\\\\'])"),
            "0|UPDATE \"items\" SET \"price\" = '2.75',\"name\" = '\\' WHERE \"id\" = '7';");
  EXPECT_EQ(Statement("db_delete(" + shop + ", -key='id', -key_value=\"it's\")"),
            "0|DELETE FROM \"items\" WHERE \"id\" = 'it''s';");
  EXPECT_EQ(Statement("db_show(" + shop + ")"), "0|SELECT * FROM \"items\" WHERE 0=1;");
}

TEST(Connector, ActionsWithoutAStatementNeverReachJava) {
  EXPECT_EQ(Statement("db_update(-source='fx_sql', -table='items', ['price', 1])"), "-9958|");
  EXPECT_EQ(Statement("db_delete(-source='fx_sql', -table='items', -key='id')"), "-9957|");
  EXPECT_EQ(Statement("db_show(-source='fx_sql')"), "0|");
  const ScriptRun nul = quill_service::RunScriptText(
      "db_add(-source='fx_sql', -table='items', ['name', \"a\\0b\"]) => { action_code() '|' action_message() }",
      "connector.q", {});
  EXPECT_EQ(nul.output.substr(0, 6), "-9960|") << nul.output << nul.error;
  EXPECT_NE(nul.output.find("column \"name\""), std::string::npos) << nul.output;
}

TEST(Connector, WithoutConversionTheDiscoveredTypesDecideWhatGoesBare) {
  const std::string typed = "-source='fx_sql_typed', -table='items'";
  EXPECT_EQ(Statement("db_search(" + typed + ", ['id', 'begins', '5'], ['price', '>', '2.5'], "
                      "['name', 'contains', \"%'\"], ['ok', 'TRUE'])"),
            "0|SELECT * FROM \"items\" WHERE (id = 5 AND price > 2.5 AND name LIKE '%%''%' AND ok = TRUE);");
  EXPECT_EQ(Statement("db_add(" + typed + ", ['id', '8'], ['name', 'n'], ['day', ''])"),
            "0|INSERT INTO \"items\" (\"id\",\"name\",\"day\") VALUES (8,'n',0);");
  EXPECT_EQ(Statement("db_update(" + typed + ", -key='id', -key_value=3, ['price', '-1e3'])"),
            "0|UPDATE \"items\" SET \"price\" = -1e3 WHERE \"id\" = 3;");
  // The discovery's columns do not stay in the action's result.
  const ScriptRun columns = quill_service::RunScriptText(
      "db_search(" + typed + ", ['id', 1]) => { column_names()->join(',') '|' action_code() }", "connector.q", {});
  EXPECT_EQ(columns.output, "|0") << columns.error;

  // A column the table does not have: the discovery fails, the value is quoted, the line logged.
  EXPECT_EQ(Statement("db_search(" + typed + ", ['nope', 5])"), "0|SELECT * FROM \"items\" WHERE (nope = '5');");
  EXPECT_TRUE(LoggedAtZero("Column \"nope\" not found"));

  const ScriptRun refused = quill_service::RunScriptText(
      "db_search(" + typed + ", ['id', '5 OR 1=1']) => { action_code() '|' action_message() }", "connector.q", {});
  EXPECT_EQ(refused.output.substr(0, 6), "-9959|") << refused.output << refused.error;
  EXPECT_NE(refused.output.find("column \"id\""), std::string::npos) << refused.output;
}

TEST(Connector, RegistrationRefusalsLeaveNothingAndLogOnlyTheRegistrysRefusal) {
  EXPECT_TRUE(LoggedAtZero("    Failed to register JDBC datasource fx_sql"));
  const auto lines = quill_service::LogSnapshot();
  for (const char* refused : {"fx_sql_ferngate", "fx_sql_nomethod"}) {
    EXPECT_FALSE(quill_service::RunScriptText(std::string("db_search(-source='") + refused + "')", "c.q", {}).ok)
        << refused;
    EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [&](const auto& line) {
      return line.text.find(refused) != std::string::npos;
    })) << refused;
  }
}

}  // namespace
