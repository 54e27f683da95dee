// The statements of every record action against hand-written text.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "datasource/column_cache.h"
#include "datasource/sql_builder.h"
#include "tests/sql_builder/sql_test_support.h"

namespace {

using namespace datasource;
using sql_test::MissedColumns;
using sql_test::TableTypes;

constexpr std::nullopt_t kNull = std::nullopt;

ConnectorSettings Quoted() {
  ConnectorSettings s;
  s.quote = "\"";
  s.terminator = ";";
  return s;
}

ActionInput On(std::string_view table) {
  ActionInput in;
  in.database = {0, "db"};
  in.table = {0, table};
  in.schema = {0, ""};
  in.hostLogin = {0, ""};
  return in;
}

InputColumn Col(std::string_view name, Text value, int32_t op = code::kEquals) {
  return {name, value, op};
}

struct Case {
  const char* what;
  std::function<void(ConnectorSettings&, ActionInput&, TableTypes&)> setup;
  std::string expected;
  std::vector<std::string> missed = {};
};

void RunSelects(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectorSettings settings = Quoted();
    ActionInput input = On("t");
    TableTypes types;
    c.setup(settings, input, types);
    MissedColumns missed;
    SqlBuilder builder(settings, &types, &missed);
    const Statement s = builder.Select(input);
    EXPECT_EQ(s.code, 0) << s.message;
    EXPECT_TRUE(s.send);
    EXPECT_EQ(s.text, c.expected);
    EXPECT_EQ(missed.names, c.missed);
  }
}

TEST(SqlSelect, ListsDistinctKeyAndOrder) {
  RunSelects({
      {"no input at all", [](auto&, auto&, auto&) {}, "SELECT * FROM \"t\";"},
      {"return columns joined without blanks",
       [](auto&, ActionInput& in, auto&) { in.returnColumns = {"a", "b c"}; },
       "SELECT \"a\",\"b c\" FROM \"t\";"},
      {"only command parameters: no WHERE",
       [](auto&, ActionInput& in, auto&) {
         in.distinct = true;
         in.inputColumns = {Col("-distinct", ""), Col("-uselimit", "5"), Col("-skip", "2")};
       },
       "SELECT DISTINCT * FROM \"t\";"},
      {"a key value makes the condition alone",
       [](auto&, ActionInput& in, auto&) {
         in.key = KeyColumn{"id", "7"};
         in.inputColumns = {Col("a", "x")};
       },
       "SELECT * FROM \"t\" WHERE \"id\" = '7';"},
      {"a key without value leaves the inputs",
       [](auto&, ActionInput& in, auto&) {
         in.key = KeyColumn{"id", ""};
         in.inputColumns = {Col("a", "x")};
       },
       "SELECT * FROM \"t\" WHERE (a = 'x');"},
      {"sort columns: empty names skipped, DESC with its blanks",
       [](auto&, ActionInput& in, auto&) {
         in.sortColumns = {{"a", 0}, {kNull, 1}, {"", 1}, {"b", 1}, {"c", 2}};
       },
       "SELECT * FROM \"t\" ORDER BY \"a\",\"b\" DESC ,\"c\";"},
      {"sort columns that are all empty give no clause",
       [](auto&, ActionInput& in, auto&) { in.sortColumns = {{"", 0}}; },
       "SELECT * FROM \"t\";"},
  });
}

// A SELECT whose input columns, joined by op, give the WHERE clause where.
Case Where(const char* what, std::vector<InputColumn> columns, const std::string& where, int32_t op = code::kAnd) {
  return {what,
          [=](auto&, ActionInput& in, auto&) {
            in.logicalOp = op;
            in.inputColumns = columns;
          },
          "SELECT * FROM \"t\" WHERE (" + where + ");"};
}

TEST(SqlSelect, ConditionsAndGroups) {
  RunSelects({
      Where("two conditions under AND", {Col("a", "x"), Col("b", "y", code::kBeginsWith)}, "a = 'x' AND b LIKE 'y%'"),
      Where("NOT group inside OR", {Col("a", "x"), Col("opbegin", "not"), Col("b", "y"), Col("opend", kNull)},
            "a = 'x' OR NOT (b = 'y')", code::kOr),
      Where("null values: IS NULL and IS NOT NULL", {Col("a", kNull), Col("b", kNull, code::kNotEquals)},
            "a IS NULL AND b IS NOT NULL"),
      Where("empty values kept for equals and not-equals only",
            {Col("a", ""), Col("b", "", code::kLess), Col("c", kNull, code::kContains), Col("d", "", code::kNotEquals)},
            "a = '' AND d <> ''"),
      Where("an empty group leaves no trace", {Col("a", "x"), Col("opbegin", "or"), Col("opend", ""), Col("b", "y")},
            "a = 'x' AND b = 'y'"),
      Where("a group that ends up empty after skipped items",
            {Col("OPBEGIN", "and"), Col("-x", "1"), Col("b", "", code::kGreater), Col("OperatorEnd", kNull),
             Col("c", "3")},
            "c = '3'"),
      Where("OR group inside AND, markers in any case",
            {Col("a", "1"), Col("OpBegin", "OR"), Col("b", "2"), Col("c", "3"), Col("operatorend", kNull),
             Col("d", "4")},
            "a = '1' AND (b = '2' OR c = '3') AND d = '4'"),
      Where("inside NOT the enclosing joiner is used",
            {Col("operatorbegin", "NOT"), Col("a", "1"), Col("b", "2"), Col("opend", kNull), Col("c", "3")},
            "NOT (a = '1' OR b = '2') OR c = '3'", code::kOr),
      Where("a group of another value takes the action's operator",
            {Col("opbegin", "either"), Col("a", "1"), Col("b", "2"), Col("opend", kNull)}, "(a = '1' OR b = '2')",
            code::kOr),
      Where("groups left open are closed at the end",
            {Col("a", "1"), Col("opbegin", "or"), Col("b", "2"), Col("c", "3")}, "a = '1' AND (b = '2' OR c = '3')"),
      Where("null names skipped", {{kNull, "1", code::kEquals}, Col("a", "1")}, "a = '1'"),
      {"an input column the host cannot deliver drops the whole clause",
       [](auto&, ActionInput& in, auto&) {
         in.inputColumns = {Col("a", "1")};
         in.inputColumnsComplete = false;
         in.sortColumns = {{"a", 0}};
       },
       "SELECT * FROM \"t\" ORDER BY \"a\";"},
  });
}

TEST(SqlSelect, OperatorsAndValueForms) {
  struct Op {
    int32_t code;
    const char* condition;
  };
  const std::vector<Op> ops = {
      {code::kEquals, "a = 'v'"},           {code::kNotEquals, "a <> 'v'"},
      {code::kLess, "a < 'v'"},             {code::kLessEqual, "a <= 'v'"},
      {code::kGreater, "a > 'v'"},          {code::kGreaterEqual, "a >= 'v'"},
      {code::kBeginsWith, "a LIKE 'v%'"},   {code::kEndsWith, "a LIKE '%v'"},
      {code::kContains, "a LIKE '%v%'"},    {code::kNotBeginsWith, "a NOT LIKE 'v%'"},
      {code::kNotEndsWith, "a NOT LIKE '%v'"}, {code::kNotContains, "a NOT LIKE '%v%'"},
      {code::kInList, "a IN ('v')"},        {code::kNotInList, "a NOT IN ('v')"},
      {code::kFullText, "a = ('v')"},       {QUILL_FOURCC('?', '?', '?', '?'), "a = 'v'"},
  };
  for (const Op& op : ops) {
    SCOPED_TRACE(op.condition);
    ConnectorSettings settings = Quoted();
    ActionInput in = On("t");
    in.inputColumns = {Col("a", "v", op.code)};
    EXPECT_EQ(SqlBuilder(settings).Select(in).text,
              std::string("SELECT * FROM \"t\" WHERE (") + op.condition + ");");
  }
}

TEST(SqlSelect, UnquotedTypesWhenTheDriverDoesNotConvert) {
  auto discovered = [](ConnectorSettings& s, TableTypes& types) {
    s.supportsConvert = false;
    types.columns() = {{"n", code::kLong}, {"d", code::kDouble}, {"s", QUILL_TYPE_TEXT},
                       {"f", code::kBoolean}, {"day", code::kDate}, {"id", code::kLong}};
  };
  // A SELECT on the discovered columns, with the input columns and the key given.
  auto typed = [&](const char* what, std::vector<InputColumn> columns, std::optional<KeyColumn> key,
                   const std::string& where, std::vector<std::string> missed = {}) -> Case {
    return {what,
            [=](ConnectorSettings& s, ActionInput& in, TableTypes& types) {
              discovered(s, types);
              in.inputColumns = columns;
              in.key = key;
            },
            "SELECT * FROM \"t\" WHERE " + where + ";", missed};
  };
  RunSelects({
      typed("numbers bare, text quoted, begins-with on a number is equals",
            {Col("n", "5", code::kBeginsWith), Col("d", "-2.5e3", code::kGreater), Col("s", "5"), Col("f", "TRUE"),
             Col("day", "2460000.5")},
            std::nullopt, "(n = 5 AND d > -2.5e3 AND s = '5' AND f = TRUE AND day = 2460000.5)"),
      typed("empty values: 0 for a number, '' for text", {Col("n", ""), Col("s", "")}, std::nullopt,
            "(n = 0 AND s = '')"),
      typed("patterns and lists of numbers",
            {Col("n", "5", code::kContains), Col("n", "1, 2 ,3", code::kInList), Col("d", "1.5", code::kNotEndsWith)},
            std::nullopt, "(n LIKE '%5%' AND n IN (1, 2 ,3) AND d NOT LIKE '%1.5')"),
      typed("a column not discovered is logged and quoted", {Col("gone", "5"), Col("n", "5")}, std::nullopt,
            "(gone = '5' AND n = 5)", {"gone"}),
      typed("the key by name, logged when missing", {}, KeyColumn{"key", "9"}, "\"key\" = '9'", {"key"}),
      typed("a numeric key bare", {}, KeyColumn{"id", "9"}, "\"id\" = 9"),
      {"types are not consulted while the driver converts",
       [&](ConnectorSettings& s, ActionInput& in, TableTypes& types) {
         discovered(s, types);
         s.supportsConvert = true;
         in.inputColumns = {Col("n", "5"), Col("gone", "5")};
       },
       "SELECT * FROM \"t\" WHERE (n = '5' AND gone = '5');"},
  });
}

TEST(SqlTableName, CatalogsSchemasQuoteSeparatorTerminator) {
  // With schemas supported the schema is the action's, else the host login's, else the default;
  // it is never quoted.
  using Read = HostRead<std::string_view>;
  auto schema = [](const char* what, Read fromAction, Read login, const char* expected) -> Case {
    return {what,
            [=](ConnectorSettings& s, ActionInput& in, auto&) {
              s.supportsSchemas = true;
              s.schemaName = "dflt";
              in.schema = fromAction;
              in.hostLogin = login;
            },
            expected};
  };
  RunSelects({
      {"catalog quoted, then separator",
       [](ConnectorSettings& s, auto&, auto&) { s.supportsCatalogs = true; },
       "SELECT * FROM \"db\".\"t\";"},
      schema("schema from the action", {0, "act"}, {0, "login"}, "SELECT * FROM act.\"t\";"),
      schema("schema from the host login", {QUILL_ERR_NOT_FOUND, ""}, {0, "login"}, "SELECT * FROM login.\"t\";"),
      schema("schema from the default", {0, ""}, {QUILL_ERR_NOT_FOUND, "ignored"}, "SELECT * FROM dflt.\"t\";"),
      {"no schema support: the action's schema is left out",
       [](ConnectorSettings& s, ActionInput& in, auto&) {
         s.schemaName = "dflt";
         in.schema = {0, "act"};
       },
       "SELECT * FROM \"t\";"},
      {"catalog and schema with a long separator",
       [](ConnectorSettings& s, ActionInput& in, auto&) {
         s.supportsCatalogs = s.supportsSchemas = true;
         s.separator = "::";
         in.schema = {0, "sch"};
       },
       "SELECT * FROM \"db\"::sch::\"t\";"},
      {"empty quote: bare identifiers; long terminator verbatim",
       [](ConnectorSettings& s, ActionInput& in, auto&) {
         s.quote = "";
         s.terminator = "\nGO\n";
         in.returnColumns = {"a"};
         in.sortColumns = {{"a", 1}};
       },
       "SELECT a FROM t ORDER BY a DESC \nGO\n"},
      {"a table name that cannot be read is empty",
       [](auto&, ActionInput& in, auto&) { in.table = {QUILL_ERR_NOT_FOUND, "x"}; },
       "SELECT * FROM \"\";"},
  });
}

struct Built {
  Statement statement;
  std::vector<std::string> missed;
};

template <class Build>
Built BuildWith(const ConnectorSettings& settings, const TableTypes& types, Build&& build) {
  MissedColumns missed;
  SqlBuilder builder(settings, &types, &missed);
  Built built{build(builder), {}};
  built.missed = missed.names;
  return built;
}

TEST(SqlChanges, InsertUpdateDelete) {
  const ConnectorSettings settings = Quoted();
  const TableTypes none;
  ActionInput in = On("t");
  in.inputColumns = {Col("a", "1"), Col("b", kNull), Col("a", "2"), Col("-skip", "x")};
  in.key = KeyColumn{"id", "7"};
  const ColumnList list = GatherInputColumns(in);

  auto insert = BuildWith(settings, none, [&](SqlBuilder& b) { return b.Insert(in, list); });
  EXPECT_EQ(insert.statement.text,
            "INSERT INTO \"t\" (\"a\",\"b\",\"-skip\") VALUES ('1,2',NULL,'x');");
  auto update = BuildWith(settings, none, [&](SqlBuilder& b) { return b.Update(in, list); });
  EXPECT_EQ(update.statement.text,
            "UPDATE \"t\" SET \"a\" = '1,2',\"b\" = NULL,\"-skip\" = 'x' WHERE \"id\" = '7';");
  auto remove = BuildWith(settings, none, [&](SqlBuilder& b) { return b.Delete(in); });
  EXPECT_EQ(remove.statement.text, "DELETE FROM \"t\" WHERE \"id\" = '7';");

  ActionInput bare = On("t");
  bare.key = KeyColumn{"id", "it's"};
  const ColumnList empty;
  EXPECT_EQ(SqlBuilder(settings).Insert(bare, empty).text, "INSERT INTO \"t\";");
  EXPECT_EQ(SqlBuilder(settings).Update(bare, empty).text, "UPDATE \"t\" WHERE \"id\" = 'it''s';");
}

TEST(SqlChanges, DuplicateNamesAndNullsMerge) {
  ActionInput in = On("t");
  in.inputColumns = {Col("a", kNull), Col("b", "x"), Col("a", "1"), Col("b", kNull),
                     Col("c", kNull), Col("c", kNull), Col("A", "3")};
  const ColumnList list = GatherInputColumns(in);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].value, std::optional<std::string>(",1"));
  EXPECT_EQ(list[1].value, std::optional<std::string>("x,"));
  EXPECT_EQ(list[2].value, std::nullopt);
  EXPECT_EQ(list[3].name, "A");
}

TEST(SqlChanges, NoKeyConditionStopsUpdateAndDelete) {
  const ConnectorSettings settings = Quoted();
  const std::vector<std::pair<const char*, std::optional<KeyColumn>>> keys = {
      {"key not delivered", std::nullopt},
      {"empty key name", KeyColumn{"", "1"}},
      {"null key name", KeyColumn{kNull, "1"}},
      {"empty key value", KeyColumn{"id", ""}},
      {"null key value", KeyColumn{"id", kNull}},
  };
  for (const auto& [what, key] : keys) {
    SCOPED_TRACE(what);
    ActionInput in = On("t");
    in.inputColumns = {Col("a", "1")};
    in.key = key;
    const Statement update = SqlBuilder(settings).Update(in, GatherInputColumns(in));
    EXPECT_EQ(update.code, kUpdateWithoutKey);
    EXPECT_FALSE(update.send);
    const Statement remove = SqlBuilder(settings).Delete(in);
    EXPECT_EQ(remove.code, kDeleteWithoutKey);
    EXPECT_FALSE(remove.send);
  }
}

TEST(SqlChanges, PositionsGiveTheTypesOfInsertedValues) {
  ConnectorSettings settings = Quoted();
  settings.supportsConvert = false;
  // The discovery lists the merged input columns in order, then the key.
  const TableTypes types({{"n", code::kLong}, {"s", QUILL_TYPE_TEXT}, {"id", code::kLong}});
  ActionInput in = On("t");
  in.inputColumns = {Col("n", "4"), Col("s", "4"), Col("extra", "5")};
  in.key = KeyColumn{"id", "8"};
  const ColumnList list = GatherInputColumns(in);

  auto insert = BuildWith(settings, types, [&](SqlBuilder& b) { return b.Insert(in, list); });
  // "extra" is third: the discovery's third column is the key's, of type long.
  EXPECT_EQ(insert.statement.text, "INSERT INTO \"t\" (\"n\",\"s\",\"extra\") VALUES (4,'4',5);");
  auto update = BuildWith(settings, types, [&](SqlBuilder& b) { return b.Update(in, list); });
  EXPECT_EQ(update.statement.text,
            "UPDATE \"t\" SET \"n\" = 4,\"s\" = '4',\"extra\" = 5 WHERE \"id\" = 8;");
  EXPECT_TRUE(update.missed.empty());

  in.inputColumns.push_back(Col("more", "6"));
  const ColumnList longer = GatherInputColumns(in);
  auto missing = BuildWith(settings, types, [&](SqlBuilder& b) { return b.Insert(in, longer); });
  EXPECT_EQ(missing.statement.text,
            "INSERT INTO \"t\" (\"n\",\"s\",\"extra\",\"more\") VALUES (4,'4',5,'6');");
  EXPECT_EQ(missing.missed, std::vector<std::string>{"more"});
}

TEST(SqlDescribe, StatementEmptyTableAndReadFailures) {
  ConnectorSettings settings = Quoted();
  ActionInput in = On("t");
  Statement s = SqlBuilder(settings).Describe(in);
  EXPECT_TRUE(s.send);
  EXPECT_EQ(s.text, "SELECT * FROM \"t\" WHERE 0=1;");

  in.table = {0, ""};
  s = SqlBuilder(settings).Describe(in);
  EXPECT_EQ(s.code, 0);
  EXPECT_FALSE(s.send);

  in.table = {-77, "t"};
  EXPECT_EQ(SqlBuilder(settings).Describe(in).code, -77);
  in = On("t");
  in.database = {-78, ""};
  EXPECT_EQ(SqlBuilder(settings).Describe(in).code, -78);

  settings.supportsSchemas = true;
  in = On("t");
  in.schema = {-79, ""};
  EXPECT_EQ(SqlBuilder(settings).Describe(in).code, -79);
  in.schema = {0, ""};
  in.hostLogin = {-80, ""};
  EXPECT_EQ(SqlBuilder(settings).Describe(in).code, -80);
  in.schema = {0, "s"};
  s = SqlBuilder(settings).Describe(in);
  EXPECT_EQ(s.text, "SELECT * FROM s.\"t\" WHERE 0=1;");
}

TEST(SqlDiscovery, ListsInputColumnsThenTheKey) {
  const ConnectorSettings settings = Quoted();
  ActionInput in = On("t");
  in.inputColumns = {Col("a", "1"), Col("opbegin", "or"), Col("a", "2"), Col("-distinct", "")};
  in.key = KeyColumn{"id", kNull};
  SqlBuilder builder(settings);
  EXPECT_EQ(builder.DiscoveryQuery(in, GatherInputColumns(in)),
            "SELECT \"a\",\"opbegin\",\"-distinct\",\"id\" FROM \"t\" WHERE 0=1");

  ActionInput bare = On("t");
  bare.key = KeyColumn{"-uselimit", "1"};
  EXPECT_EQ(builder.DiscoveryQuery(bare, {}), "SELECT * FROM \"t\" WHERE 0=1");
  bare.key = KeyColumn{"k", "1"};
  EXPECT_EQ(builder.DiscoveryQuery(bare, {}), "SELECT \"k\" FROM \"t\" WHERE 0=1");
}

// What a kept discovery may outlive: only a plain SELECT, INSERT, UPDATE or DELETE leaves every
// table's columns as they were.
TEST(SqlDiscovery, KeptColumnsGoWhenAStatementMayChangeATable) {
  const struct {
    const char* sql;
    bool changes;
  } cases[] = {
      {"SELECT 1", false},          {" \n\tselect * from t", false}, {"Insert into t values (1)", false},
      {"UPDATE t SET a = 1", false}, {"delete from t", false},         {"ALTER TABLE t ADD b", true},
      {"DROP TABLE t", true},       {"CREATE TABLE t (a)", true},     {"SELECTED", true},
      {"-- note\nSELECT 1", true},  {"WITH x AS (SELECT 1) SELECT 1", true}, {"", true},
  };
  for (const auto& c : cases) EXPECT_EQ(datasource::MayChangeColumns(c.sql), c.changes) << c.sql;

  datasource::ColumnCache cache;
  const std::string key = datasource::ColumnCache::Key(1, "h", "db", "SELECT \"a\" FROM \"t\" WHERE 0=1");
  EXPECT_NE(key, datasource::ColumnCache::Key(2, "h", "db", "SELECT \"a\" FROM \"t\" WHERE 0=1"));
  EXPECT_NE(key, datasource::ColumnCache::Key(1, "h", "db2", "SELECT \"a\" FROM \"t\" WHERE 0=1"));
  std::vector<DBColumnInfo> columns{{"before", 1, 0, 0, {}}};
  EXPECT_FALSE(cache.Find(key, &columns));
  cache.Keep(key, {{"a", 0x6C6F6E67, 8, 1, {}}});
  ASSERT_TRUE(cache.Find(key, &columns));  // appended, as the discovery would have added them
  ASSERT_EQ(columns.size(), 2u);
  EXPECT_EQ(columns[1].name, "a");
  EXPECT_EQ(columns[1].type, 0x6C6F6E67);
  cache.Drop(key);
  EXPECT_FALSE(cache.Find(key, &columns));
  for (size_t i = 0; i <= datasource::ColumnCache::kMaxEntries; ++i) cache.Keep(std::to_string(i), {});
  EXPECT_EQ(cache.Size(), 1u);  // full: started again
  cache.Clear();
  EXPECT_EQ(cache.Size(), 0u);
}

TEST(SqlRefusals, UnquotedValuesMustBePlainLiterals) {
  ConnectorSettings settings = Quoted();
  settings.supportsConvert = false;
  const TableTypes types({{"n", code::kLong}, {"f", code::kBoolean}, {"day", code::kDate}});
  struct Refusal {
    const char* column;
    const char* value;
    int32_t op;
  };
  const std::vector<Refusal> refused = {
      {"n", "1; DROP TABLE t", code::kEquals}, {"n", "1 OR 1=1", code::kEquals},
      {"n", "--1", code::kEquals},             {"n", "1e", code::kGreater},
      {"n", "0x10", code::kEquals},            {"n", " 1", code::kEquals},
      {"n", "1,2", code::kEquals},             {"n", "1,,2", code::kInList},
      {"n", "1)", code::kNotInList},           {"f", "yes", code::kEquals},
      {"day", "2024-01-05", code::kEquals},    {"n", ".", code::kEquals},
  };
  for (const Refusal& r : refused) {
    SCOPED_TRACE(r.value);
    ActionInput in = On("t");
    in.inputColumns = {Col(r.column, r.value, r.op)};
    const Statement s = SqlBuilder(settings, &types).Select(in);
    EXPECT_EQ(s.code, kValueNotLiteral);
    EXPECT_FALSE(s.send);
    EXPECT_TRUE(s.text.empty());
    EXPECT_NE(s.message.find(std::string("column \"") + r.column + "\""), std::string::npos)
        << s.message;
  }
}

// Names the random-action check cannot reach (other quotes, NUL, schemas, catalogs, SQL words
// and the refusal messages): the statement each gives, or its refusal (kNameRefused, with a
// message naming the place and the name).
TEST(SqlNames, QuotedNamesStayOneIdentifierAndBareNamesArePlain) {
  using namespace std::string_view_literals;
  enum Action { kSelect, kDelete };
  struct Row {
    const char* what;
    Action action;
    std::function<void(ConnectorSettings&, ActionInput&)> setup;
    std::string expected;  // the statement, or the refusal message's "<place> \"<name>\""
  };
  const std::string refused = "refused: ";
  const std::vector<Row> rows = {
      {"database of a catalog", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.supportsCatalogs = true;
         in.database = {0, "db\".\"x"};
       },
       "SELECT * FROM \"db\"\".\"\"x\".\"t\";"},
      {"a backtick quote is doubled the same way", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.quote = "`";
         in.table = {0, "t` WHERE 1 #"};
         in.returnColumns = {"a\"b"};
       },
       "SELECT `a\"b` FROM `t`` WHERE 1 #`;"},
      {"a quote of two characters: names without them", kSelect,
       [](ConnectorSettings& s, auto&) { s.quote = "[]"; }, "SELECT * FROM []t[];"},
      {"a quote of two characters: a name holding one", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.quote = "[]";
         in.table = {0, "t] x"};
       },
       refused + "table \"t] x\""},
      {"NUL in a quoted name", kSelect, [](auto&, ActionInput& in) { in.returnColumns = {"a\0b"sv}; },
       refused + "return column \"a\\x00b\""},
      {"NUL in its two-byte spelling", kDelete, [](auto&, ActionInput& in) { in.key = KeyColumn{"a\xC0\x80", "1"}; },
       refused + "key column \"a\xC0\x80\""},
      {"condition: plain names of every kind", kSelect,
       [](auto&, ActionInput& in) {
         in.inputColumns = {Col("_a1", "1"), Col("a$b", "2"), Col("größe", "3"), Col("Key", "4")};
       },
       "SELECT * FROM \"t\" WHERE (_a1 = '1' AND a$b = '2' AND größe = '3' AND Key = '4');"},
      {"condition: an expression", kSelect, [](auto&, ActionInput& in) { in.inputColumns = {Col("1=1 OR name", "x")}; },
       refused + "condition column \"1=1 OR name\""},
      {"condition: empty", kSelect, [](auto&, ActionInput& in) { in.inputColumns = {Col("", "x")}; },
       refused + "condition column \"\""},
      {"condition: a literal word", kSelect, [](auto&, ActionInput& in) { in.inputColumns = {Col("TRUE", "t")}; },
       refused + "condition column \"TRUE\""},
      {"condition: a function without parentheses", kSelect,
       [](auto&, ActionInput& in) { in.inputColumns = {Col("Current_User", "x", code::kBeginsWith)}; },
       refused + "condition column \"Current_User\""},
      {"condition: an operator word", kSelect,
       [](auto&, ActionInput& in) { in.inputColumns = {Col("a", "1"), Col("or", "x")}; },
       refused + "condition column \"or\""},
      {"condition: a control character", kSelect, [](auto&, ActionInput& in) { in.inputColumns = {Col("a\tb", "x")}; },
       refused + "condition column \"a\\x09b\""},
      {"schema: plain", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.supportsSchemas = true;
         in.schema = {0, "Sch_1"};
       },
       "SELECT * FROM Sch_1.\"t\";"},
      {"schema: a statement after it", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.supportsSchemas = true;
         in.schema = {0, "x; DROP TABLE y"};
       },
       refused + "schema \"x; DROP TABLE y\""},
      {"schema: the host login's name is checked too", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.supportsSchemas = true;
         in.hostLogin = {0, "ann.x"};
       },
       refused + "schema \"ann.x\""},
      {"empty quote: quoted places are bare", kSelect,
       [](ConnectorSettings& s, ActionInput& in) {
         s.quote = "";
         in.table = {0, "my table"};
       },
       refused + "table \"my table\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ConnectorSettings settings = Quoted();
    ActionInput in = On("t");
    row.setup(settings, in);
    const ColumnList list = GatherInputColumns(in);
    SqlBuilder builder(settings);
    const Statement s = row.action == kSelect ? builder.Select(in) : builder.Delete(in);
    const std::string discovery = SqlBuilder(settings).DiscoveryQuery(in, list);
    if (row.expected.rfind(refused, 0) != 0) {
      EXPECT_EQ(s.code, 0) << s.message;
      EXPECT_EQ(s.text, row.expected);
      continue;
    }
    EXPECT_EQ(s.code, kNameRefused);
    EXPECT_FALSE(s.send);
    EXPECT_TRUE(s.text.empty());
    const std::string named = "The " + row.expected.substr(refused.size()) + " ";
    EXPECT_EQ(s.message.rfind(named, 0), 0u) << s.message;
    EXPECT_NE(s.message.find("; the statement was not sent"), std::string::npos) << s.message;
    // The names the column discovery lists too are not sent there either.
    const std::string place = row.expected.substr(refused.size(), row.expected.find(' ', refused.size()) - refused.size());
    if (place != "condition" && place != "return" && place != "sort") {
      EXPECT_EQ(discovery, "") << discovery;
    }
  }
}

}  // namespace
