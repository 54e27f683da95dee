// The statements of every record action against hand-written text: what each action writes, and
// what it refuses to send; and random actions checked by SQLite itself (sql_fuzz.h).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "datasource/column_cache.h"
#include "datasource/sql_builder.h"
#include "tests/sql_builder/sql_fuzz.h"
#include "tests/sql_builder/sql_test_support.h"

namespace {

using namespace datasource;
using namespace std::string_view_literals;
using sql_test::MissedColumns;
using sql_test::TableTypes;

constexpr std::nullopt_t kNull = std::nullopt;

InputColumn Col(std::string_view name, Text value, int32_t op = code::kEquals) { return {name, value, op}; }

enum Action { kSelect, kInsert, kUpdate, kDelete, kDescribe, kDiscover };

// What a case expects: the statement sent, or "not sent: <code> <part of its message>".
const std::string kNotSent = "not sent: ";
const std::string kRefused = kNotSent + std::to_string(kNameRefused) + " ";

// The columns of the table t as the discovery reports them.
using Columns = std::vector<std::pair<std::string, int32_t>>;
const Columns kDiscovered = {{"n", code::kLong},    {"d", code::kDouble}, {"s", QUILL_TYPE_TEXT},
                             {"f", code::kBoolean}, {"day", code::kDate}, {"id", code::kLong}};

// One action: the settings and input that differ from the defaults (quote ", terminator ;, the
// table t of the database db), and what the builder makes of it.
struct Case {
  const char* what;
  Action action = kSelect;
  std::string_view quote = "\"", separator = ".", terminator = ";", schemaName = "";
  bool catalogs = false, schemas = false, convert = true;
  HostRead<std::string_view> database{0, "db"}, table{0, "t"}, schema{0, ""}, login{0, ""};
  std::vector<std::string_view> returns = {};
  std::vector<InputColumn> inputs = {};
  bool complete = true;  // false: the host failed to deliver the next input column
  int32_t logic = code::kAnd;
  std::vector<SortColumn> sorts = {};
  std::optional<KeyColumn> key = std::nullopt;
  bool distinct = false;
  Columns types = {};  // discovered
  std::string expected = "";
  std::vector<std::string> missed = {};  // columns the builder reports as not discovered
  // Set: written with values bound too, giving the statement with placeholders, then "|" and
  // each value ("#" before a bare one); "-": no such form.
  const char* bound = nullptr;
};

ActionInput Input(const Case& c) {
  return {.database = c.database, .table = c.table, .schema = c.schema, .hostLogin = c.login,
          .returnColumns = c.returns, .inputColumns = c.inputs, .inputColumnsComplete = c.complete,
          .logicalOp = c.logic, .sortColumns = c.sorts, .key = c.key, .distinct = c.distinct};
}

// The SELECT of the table t with the condition where.
std::string Where(const std::string& where) { return "SELECT * FROM \"t\" WHERE (" + where + ");"; }

void Expect(const std::vector<Case>& cases) {
  // Kept columns are found by the discovery's names: on one connector (one quote and separator),
  // two actions' names are equal exactly when their discovery queries are.
  struct Discovery {
    std::string what, quoting, query, names;
  };
  std::vector<Discovery> discoveries;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ConnectorSettings settings{.supportsCatalogs = c.catalogs, .supportsSchemas = c.schemas,
                                     .supportsConvert = c.convert, .quote = c.quote, .separator = c.separator,
                                     .terminator = c.terminator, .schemaName = c.schemaName,
                                     .bindsValues = c.bound != nullptr};
    const ActionInput in = Input(c);
    const ColumnList list = GatherInputColumns(in);
    const std::string query = SqlBuilder(settings).DiscoveryQuery(in, list);
    if (!query.empty()) {
      discoveries.push_back({c.what, std::string(c.quote) + '\n' + std::string(c.separator), query,
                             SqlBuilder(settings).DiscoveryNames(in, list)});
    }
    if (c.action == kDiscover) {
      EXPECT_EQ(query, c.expected);
      continue;
    }
    const TableTypes types(c.types);
    MissedColumns missed;
    SqlBuilder builder(settings, &types, &missed);
    const Statement s = c.action == kSelect   ? builder.Select(in)
                        : c.action == kInsert ? builder.Insert(in, list)
                        : c.action == kUpdate ? builder.Update(in, list)
                        : c.action == kDelete ? builder.Delete(in)
                                              : builder.Describe(in);
    EXPECT_EQ(missed.names, c.missed);
    if (!c.expected.starts_with(kNotSent)) {
      EXPECT_EQ(s.code, 0) << s.message;
      EXPECT_TRUE(s.send);
      EXPECT_EQ(s.text, c.expected);
      std::string bound = s.bound ? s.boundText : "-";
      for (const BoundValue& v : s.values) bound += (v.bare ? "|#" : "|") + v.value;
      EXPECT_EQ(bound, c.bound ? c.bound : "-");
      continue;
    }
    const size_t blank = c.expected.find(' ', kNotSent.size());
    const std::string part = blank == std::string::npos ? "" : c.expected.substr(blank + 1);
    EXPECT_EQ(s.code, std::stoi(c.expected.substr(kNotSent.size())));
    EXPECT_FALSE(s.send);
    EXPECT_TRUE(s.text.empty());
    EXPECT_NE(s.message.find(part), std::string::npos) << s.message;
    if (s.code != kNameRefused) continue;
    // A refused name: the message names the place and the name first; the names the column
    // discovery lists too are not sent there either.
    EXPECT_EQ(s.message.rfind("The " + part + " ", 0), 0u) << s.message;
    EXPECT_NE(s.message.find("; the statement was not sent"), std::string::npos) << s.message;
    const std::string place = part.substr(0, part.find(' '));
    if (place != "condition" && place != "return" && place != "sort") {
      EXPECT_EQ(query, "");
    }
  }
  for (const Discovery& a : discoveries) {
    for (const Discovery& b : discoveries) {
      if (a.quoting != b.quoting) continue;
      EXPECT_EQ(a.names == b.names, a.query == b.query) << a.what << " / " << b.what;
    }
  }
}

TEST(SqlSelect, ListsConditionsOperatorsGroupsKeyAndOrder) {
  std::vector<Case> cases = {
      {.what = "no input at all", .expected = "SELECT * FROM \"t\";"},
      {.what = "return columns joined without blanks", .returns = {"a", "b c"},
       .expected = "SELECT \"a\",\"b c\" FROM \"t\";"},
      {.what = "only command parameters: no WHERE",
       .inputs = {Col("-distinct", ""), Col("-uselimit", "5"), Col("-skip", "2")}, .distinct = true,
       .expected = "SELECT DISTINCT * FROM \"t\";"},
      {.what = "a key value makes the condition alone", .inputs = {Col("a", "x")}, .key = KeyColumn{"id", "7"},
       .expected = "SELECT * FROM \"t\" WHERE \"id\" = '7';"},
      {.what = "bound: the raw value; a ? of a name is no placeholder", .key = KeyColumn{"id", "it's?"},
       .expected = "SELECT * FROM \"t\" WHERE \"id\" = 'it''s?';", .bound = "SELECT * FROM \"t\" WHERE \"id\" = ?;|it's?"},
      {.what = "bound: none with a ? in the table's name", .table = {0, "t?"}, .key = KeyColumn{"id", "7"},
       .expected = "SELECT * FROM \"t?\" WHERE \"id\" = '7';", .bound = "-"},
      {.what = "a key without value leaves the inputs", .inputs = {Col("a", "x")}, .key = KeyColumn{"id", ""},
       .expected = Where("a = 'x'")},
      {.what = "sort columns: empty names skipped, DESC with its blanks",
       .sorts = {{"a", 0}, {kNull, 1}, {"", 1}, {"b\"", 1}, {"c", 2}},
       .expected = "SELECT * FROM \"t\" ORDER BY \"a\",\"b\"\"\" DESC ,\"c\";"},
      {.what = "sort columns that are all empty give no clause", .sorts = {{"", 0}},
       .expected = "SELECT * FROM \"t\";"},
      {.what = "NOT group inside OR",
       .inputs = {Col("a", "x"), Col("opbegin", "not"), Col("b", "y"), Col("opend", kNull)}, .logic = code::kOr,
       .expected = Where("a = 'x' OR NOT (b = 'y')")},
      {.what = "null values: IS NULL and IS NOT NULL", .inputs = {Col("a", kNull), Col("b", kNull, code::kNotEquals)},
       .expected = Where("a IS NULL AND b IS NOT NULL")},
      {.what = "empty values kept for equals and not-equals only",
       .inputs = {Col("a", ""), Col("b", "", code::kLess), Col("c", kNull, code::kContains),
                  Col("d", "", code::kNotEquals)},
       .expected = Where("a = '' AND d <> ''")},
      {.what = "an empty group leaves no trace",
       .inputs = {Col("a", "x"), Col("opbegin", "or"), Col("opend", ""), Col("b", "y")},
       .expected = Where("a = 'x' AND b = 'y'")},
      {.what = "a group that ends up empty after skipped items",
       .inputs = {Col("OPBEGIN", "and"), Col("-x", "1"), Col("b", "", code::kGreater), Col("OperatorEnd", kNull),
                  Col("c", "3")},
       .expected = Where("c = '3'")},
      {.what = "OR group inside AND, markers in any case",
       .inputs = {Col("a", "1"), Col("OpBegin", "OR"), Col("b", "2"), Col("c", "3"), Col("operatorend", kNull),
                  Col("d", "4")},
       .expected = Where("a = '1' AND (b = '2' OR c = '3') AND d = '4'")},
      {.what = "inside NOT the enclosing joiner is used",
       .inputs = {Col("operatorbegin", "NOT"), Col("a", "1"), Col("b", "2"), Col("opend", kNull), Col("c", "3")},
       .logic = code::kOr, .expected = Where("NOT (a = '1' OR b = '2') OR c = '3'")},
      {.what = "a group of another value takes the action's operator",
       .inputs = {Col("opbegin", "either"), Col("a", "1"), Col("b", "2"), Col("opend", kNull)}, .logic = code::kOr,
       .expected = Where("(a = '1' OR b = '2')")},
      {.what = "...which joins with OR unless it is AND; the outer group, AND unless OR",
       .inputs = {Col("a", "1"), Col("opbegin", ""), Col("b", "2"), Col("c", "3"), Col("opend", kNull), Col("d", "4")},
       .logic = 0, .expected = Where("a = '1' AND (b = '2' OR c = '3') AND d = '4'")},
      {.what = "groups left open are closed at the end",
       .inputs = {Col("a", "1"), Col("opbegin", "or"), Col("b", "2"), Col("c", "3")},
       .expected = Where("a = '1' AND (b = '2' OR c = '3')")},
      {.what = "null names skipped", .inputs = {{kNull, "1", code::kEquals}, Col("a", "1")},
       .expected = Where("a = '1'")},
      {.what = "an input column the host cannot deliver drops the whole clause", .inputs = {Col("a", "1")},
       .complete = false, .sorts = {{"a", 0}}, .expected = "SELECT * FROM \"t\" ORDER BY \"a\";"},
  };
  // Each operator on a quoted value.
  const std::pair<int32_t, const char*> ops[] = {
      {code::kEquals, "a = 'v'"},           {code::kNotEquals, "a <> 'v'"},
      {code::kLess, "a < 'v'"},             {code::kLessEqual, "a <= 'v'"},
      {code::kGreater, "a > 'v'"},          {code::kGreaterEqual, "a >= 'v'"},
      {code::kBeginsWith, "a LIKE 'v%'"},   {code::kEndsWith, "a LIKE '%v'"},
      {code::kContains, "a LIKE '%v%'"},    {code::kNotBeginsWith, "a NOT LIKE 'v%'"},
      {code::kNotEndsWith, "a NOT LIKE '%v'"}, {code::kNotContains, "a NOT LIKE '%v%'"},
      {code::kInList, "a IN ('v')"},        {code::kNotInList, "a NOT IN ('v')"},
      {code::kFullText, "a = ('v')"},       {QUILL_FOURCC('?', '?', '?', '?'), "a = 'v'"},
  };
  for (const auto& [op, condition] : ops) {
    cases.push_back({.what = condition, .inputs = {Col("a", "v", op)}, .expected = Where(condition)});
  }
  Expect(cases);
}

TEST(SqlSelect, UnquotedTypesWhenTheDriverDoesNotConvertAndTheirRefusals) {
  std::vector<Case> cases = {
      {.what = "numbers bare, text quoted, begins-with on a number is equals", .convert = false,
       .inputs = {Col("n", "5", code::kBeginsWith), Col("d", "-2.5e3", code::kGreater), Col("s", "5"), Col("f", "TRUE"),
                  Col("day", "2460000.5")},
       .types = kDiscovered, .expected = Where("n = 5 AND d > -2.5e3 AND s = '5' AND f = TRUE AND day = 2460000.5"),
       .bound = "SELECT * FROM \"t\" WHERE (n = ? AND d > ? AND s = ? AND f = ? AND day = ?);|#5|#-2.5e3|5|#TRUE|#2460000.5"},
      {.what = "empty values: 0 for a number, '' for text", .convert = false, .inputs = {Col("n", ""), Col("s", "")},
       .types = kDiscovered, .expected = Where("n = 0 AND s = ''"), .bound = "SELECT * FROM \"t\" WHERE (n = 0 AND s = '');"},
      {.what = "patterns and lists of numbers", .convert = false,
       .inputs = {Col("n", "5", code::kContains), Col("n", "1, 2 ,3", code::kInList),
                  Col("d", "1.5", code::kNotEndsWith)},
       .types = kDiscovered, .expected = Where("n LIKE '%5%' AND n IN (1, 2 ,3) AND d NOT LIKE '%1.5'"), .bound = "-"},
      {.what = "a column not discovered is logged and quoted", .convert = false,
       .inputs = {Col("gone", "5"), Col("n", "5")}, .types = kDiscovered, .expected = Where("gone = '5' AND n = 5"),
       .missed = {"gone"}},
      {.what = "a date bare as written, then run as text", .convert = false,
       .inputs = {Col("day", "2024-01-05"), Col("day", "5/1/2024, 20240105", code::kInList)}, .types = kDiscovered,
       .expected = Where("day = 2024-01-05 AND day IN (5/1/2024, 20240105)"), .bound = "-"},
      {.what = "a numeric key bare", .convert = false, .key = KeyColumn{"id", "9"}, .types = kDiscovered,
       .expected = "SELECT * FROM \"t\" WHERE \"id\" = 9;"},
      {.what = "types are not consulted while the driver converts", .inputs = {Col("n", "5"), Col("gone", "5")},
       .types = kDiscovered, .expected = Where("n = '5' AND gone = '5'")},
  };
  // Unquoted values that are no plain literal, and values holding a NUL in either spelling, quoted
  // or as a pattern on an unquoted column.
  const struct {
    const char* column;
    std::string_view value;
    int32_t op = code::kEquals;
    osError refusal = kValueNotLiteral;
  } refused[] = {
      {"n", "1; DROP TABLE t"}, {"n", "--1"}, {"n", "1e", code::kGreater}, {"n", " 1"}, {"n", "1,2"},
      {"n", "1,,2", code::kInList}, {"n", "1)", code::kNotInList}, {"f", "yes"}, {"n", "."},
      {"n", "2024-01-05"}, {"day", "2024--01"}, {"day", "1/"}, {"day", "2024-01-05 10:30"},
      {"s", "a\0' OR ''='"sv, code::kEquals, kValueHoldsNul},
      {"s", "a\xC0\x80", code::kNotEquals, kValueHoldsNul}, {"n", "5\0"sv, code::kContains, kValueHoldsNul},
  };
  for (const auto& r : refused) {
    cases.push_back({.what = r.value.data(), .convert = false, .inputs = {Col(r.column, r.value, r.op)},
                     .types = kDiscovered,
                     .expected = kNotSent + std::to_string(r.refusal) + " column \"" + r.column + "\""});
  }
  Expect(cases);
}

TEST(SqlChanges, InsertUpdateDeleteDescribeAndDiscovery) {
  const std::vector<InputColumn> changes = {Col("a", "1"), Col("b\"c", kNull), Col("a", "2"), Col("-skip", "x")};
  // The discovery lists the merged input columns in order, then the key.
  const Columns positions = {{"n", code::kLong}, {"s", QUILL_TYPE_TEXT}, {"id", code::kLong}};
  const std::vector<InputColumn> typed = {Col("n", "4"), Col("s", "4"), Col("extra", "5")};
  std::vector<InputColumn> longer = typed;
  longer.push_back(Col("more", "6"));
  std::vector<Case> cases = {
      {.what = "insert", .action = kInsert, .inputs = changes, .key = KeyColumn{"id", "7"},
       .expected = "INSERT INTO \"t\" (\"a\",\"b\"\"c\",\"-skip\") VALUES ('1,2',NULL,'x');"},
      {.what = "update", .action = kUpdate, .inputs = changes, .key = KeyColumn{"id", "7"},
       .expected = "UPDATE \"t\" SET \"a\" = '1,2',\"b\"\"c\" = NULL,\"-skip\" = 'x' WHERE \"id\" = '7';"},
      {.what = "delete", .action = kDelete, .inputs = changes, .key = KeyColumn{"i\"d", "7"},
       .expected = "DELETE FROM \"t\" WHERE \"i\"\"d\" = '7';"},
      {.what = "insert without columns", .action = kInsert, .key = KeyColumn{"id", "it's"},
       .expected = "INSERT INTO \"t\";"},
      {.what = "update without columns", .action = kUpdate, .key = KeyColumn{"id", "it''s'"},
       .expected = "UPDATE \"t\" WHERE \"id\" = 'it''''s''';"},
      {.what = "nulls and values of one name merge", .action = kInsert,
       .inputs = {Col("a", kNull), Col("b", "x"), Col("a", "1"), Col("b", kNull), Col("c", kNull), Col("c", kNull),
                  Col("A", "3")},
       .expected = "INSERT INTO \"t\" (\"a\",\"b\",\"c\",\"A\") VALUES (',1','x,',NULL,'3');"},
      // "extra" is third: the discovery's third column is the key's, of type long.
      {.what = "types by position", .action = kInsert, .convert = false, .inputs = typed, .key = KeyColumn{"id", "8"},
       .types = positions, .expected = "INSERT INTO \"t\" (\"n\",\"s\",\"extra\") VALUES (4,'4',5);"},
      {.what = "types by name", .action = kUpdate, .convert = false, .inputs = typed, .key = KeyColumn{"id", "8"},
       .types = positions, .expected = "UPDATE \"t\" SET \"n\" = 4,\"s\" = '4',\"extra\" = 5 WHERE \"id\" = 8;"},
      {.what = "a position past the discovery", .action = kInsert, .convert = false, .inputs = longer,
       .key = KeyColumn{"id", "8"}, .types = positions,
       .expected = "INSERT INTO \"t\" (\"n\",\"s\",\"extra\",\"more\") VALUES (4,'4',5,'6');", .missed = {"more"}},
      {.what = "describe", .action = kDescribe, .expected = "SELECT * FROM \"t\" WHERE 0=1;"},
      {.what = "describe: no table", .action = kDescribe, .table = {0, ""}, .expected = kNotSent + "0"},
      {.what = "describe: table unread", .action = kDescribe, .table = {-77, "t"}, .expected = kNotSent + "-77"},
      {.what = "describe: database unread", .action = kDescribe, .database = {-78, ""}, .expected = kNotSent + "-78"},
      {.what = "describe: schema unread, without schemas", .action = kDescribe, .schema = {-79, ""},
       .expected = kNotSent + "-79"},
      {.what = "describe: login unread, schema given", .action = kDescribe, .schemas = true, .schema = {0, "s"},
       .login = {-80, ""}, .expected = kNotSent + "-80"},
      {.what = "describe: schema", .action = kDescribe, .schemas = true, .schema = {0, "s"},
       .expected = "SELECT * FROM s.\"t\" WHERE 0=1;"},
      {.what = "discovery: merged inputs, then the key", .action = kDiscover,
       .inputs = {Col("a", "1"), Col("opbegin", "or"), Col("a", "2"), Col("-distinct", "")},
       .key = KeyColumn{"id", kNull},
       .expected = "SELECT \"a\",\"opbegin\",\"-distinct\",\"id\" FROM \"t\" WHERE 0=1"},
      {.what = "discovery: a command as key", .action = kDiscover, .key = KeyColumn{"-uselimit", "1"},
       .expected = "SELECT * FROM \"t\" WHERE 0=1"},
  };
  // No key condition: the update and the delete are refused.
  const std::pair<const char*, std::optional<KeyColumn>> keys[] = {
      {"key not delivered", std::nullopt}, {"empty key name", KeyColumn{"", "1"}},
      {"null key name", KeyColumn{kNull, "1"}}, {"empty key value", KeyColumn{"id", ""}},
      {"null key value", KeyColumn{"id", kNull}},
  };
  for (const auto& [what, key] : keys) {
    for (const auto& [action, refusal] :
         {std::pair{kUpdate, kUpdateWithoutKey}, std::pair{kDelete, kDeleteWithoutKey}}) {
      cases.push_back({.what = what, .action = action, .inputs = {Col("a", "1")}, .key = key,
                       .expected = kNotSent + std::to_string(refusal)});
    }
  }
  Expect(cases);
}

// The kept discovered columns by host, database and the discovery's names; which statements drop them all is
// checked with the connector's own rule, in the JDBC tests, and that a kept entry is found,
// dropped after a failure and cleared after a change, through a connector source.
TEST(SqlDiscovery, KeptColumnsAreKeyedByHostDatabaseAndQueryAndOutliveTheirEntry) {
  datasource::ColumnCache cache;
  const std::string key = datasource::ColumnCache::Key(1, "h", "db", "SELECT \"a\" FROM \"t\" WHERE 0=1");
  EXPECT_NE(key, datasource::ColumnCache::Key(2, "h", "db", "SELECT \"a\" FROM \"t\" WHERE 0=1"));
  EXPECT_NE(key, datasource::ColumnCache::Key(1, "h", "db2", "SELECT \"a\" FROM \"t\" WHERE 0=1"));
  EXPECT_NE(datasource::ColumnCache::Key(1, "h", "", "db"), datasource::ColumnCache::Key(1, "h", "db", ""));
  EXPECT_NE(datasource::ColumnCache::Key(1, "h", "db", "x"), datasource::ColumnCache::Key(1, "hd", "b", "x"));
  EXPECT_NE(datasource::ColumnCache::Key(12, "h", "db", "x"), datasource::ColumnCache::Key(1, "2h", "db", "x"));
  cache.Keep(key, {{"a", 0x6C6F6E67, 8, 1, {}}});
  const auto kept = cache.Find(key);
  ASSERT_NE(kept, nullptr);
  cache.Drop(key);  // a statement being written still reads the columns it found
  ASSERT_EQ(kept->size(), 1u);
  EXPECT_EQ((*kept)[0].name, "a");
  EXPECT_EQ(cache.Find(key), nullptr);  // so that the entries below fill the cache exactly, then one more
  for (size_t i = 0; i <= datasource::ColumnCache::kMaxEntries; ++i) cache.Keep(std::to_string(i), {});
  EXPECT_EQ(cache.Size(), 1u);  // full: started again
}

// Catalogs, schemas, quote, separator and terminator; hostile and ordinary names in every place
// (other quotes, NUL, schemas, catalogs, SQL words, bare names that are not plain and the refusal
// messages): the statement each gives, or its refusal naming the place and name.
TEST(SqlNames, TableNamePartsQuotedNamesStayOneIdentifierAndBareNamesArePlain) {
  std::vector<Case> cases = {
      // With schemas supported the schema is the action's, else the host login's, else the
      // default; it is never quoted.
      {.what = "schema from the action", .schemaName = "dflt", .schemas = true, .schema = {0, "act"},
       .login = {0, "login"}, .expected = "SELECT * FROM act.\"t\";"},
      {.what = "schema from the host login", .schemaName = "dflt", .schemas = true,
       .schema = {QUILL_ERR_NOT_FOUND, ""}, .login = {0, "login"}, .expected = "SELECT * FROM login.\"t\";"},
      {.what = "schema from the default", .schemaName = "dflt", .schemas = true,
       .login = {QUILL_ERR_NOT_FOUND, "ignored"}, .expected = "SELECT * FROM dflt.\"t\";"},
      {.what = "no schema support: the action's schema is left out", .schemaName = "dflt", .schema = {0, "act"},
       .expected = "SELECT * FROM \"t\";"},
      {.what = "catalog and schema with a long separator", .separator = "::", .catalogs = true, .schemas = true,
       .schema = {0, "sch"}, .expected = "SELECT * FROM \"db\"::sch::\"t\";"},
      {.what = "empty quote: bare identifiers; long terminator verbatim", .quote = "", .terminator = "\nGO\n",
       .returns = {"a"}, .sorts = {{"a", 1}}, .expected = "SELECT a FROM t ORDER BY a DESC \nGO\n"},
      {.what = "a table name that cannot be read is empty", .table = {QUILL_ERR_NOT_FOUND, "x"},
       .expected = "SELECT * FROM \"\";"},
      {.what = "database of a catalog", .catalogs = true, .database = {0, "db\".\"x"},
       .expected = "SELECT * FROM \"db\"\".\"\"x\".\"t\";"},
      {.what = "a backtick quote is doubled the same way", .quote = "`", .table = {0, "t` WHERE 1 #"},
       .returns = {"a\"b"}, .expected = "SELECT `a\"b` FROM `t`` WHERE 1 #`;"},
      {.what = "a quote of two characters: names without them", .quote = "[]", .expected = "SELECT * FROM []t[];"},
      {.what = "a quote of two characters: a name holding one", .quote = "[]", .table = {0, "t] x"},
       .expected = kRefused + "table \"t] x\""},
      {.what = "NUL in a quoted name", .returns = {"a\0b"sv}, .expected = kRefused + "return column \"a\\x00b\""},
      {.what = "NUL in its two-byte spelling", .action = kDelete, .key = KeyColumn{"a\xC0\x80", "1"},
       .expected = kRefused + "key column \"a\xC0\x80\""},
      {.what = "condition: plain names of every kind",
       .inputs = {Col("_a1", "1"), Col("a$b", "2"), Col("größe", "3"), Col("Key", "4")},
       .expected = Where("_a1 = '1' AND a$b = '2' AND größe = '3' AND Key = '4'")},
      {.what = "condition: a function without parentheses", .inputs = {Col("Current_User", "x", code::kBeginsWith)},
       .expected = kRefused + "condition column \"Current_User\""},
      {.what = "condition: an operator word", .inputs = {Col("a", "1"), Col("or", "x")},
       .expected = kRefused + "condition column \"or\""},
      {.what = "condition: a control character", .inputs = {Col("a\tb", "x")},
       .expected = kRefused + "condition column \"a\\x09b\""},
      {.what = "schema: a statement after it", .schemas = true, .schema = {0, "x; DROP TABLE y"},
       .expected = kRefused + "schema \"x; DROP TABLE y\""},
      {.what = "schema: the host login's name is checked too", .schemas = true, .login = {0, "ann.x"},
       .expected = kRefused + "schema \"ann.x\""},
      {.what = "empty quote: quoted places are bare", .quote = "", .table = {0, "my table"},
       .expected = kRefused + "table \"my table\""},
  };
  // Expressions, words of SQL and names that are not plain, in a condition.
  for (const char* name : {"", "1=1 OR name", "$a", "9a", "a-b", "a.b", "a b", "é(", "NULL", "TRUE", "not", "Is",
                           "in", "As", "Select", "current_timestamp", "localtime", "xor", "Where"}) {
    cases.push_back({.what = name, .inputs = {Col(name, "x")},
                     .expected = kRefused + "condition column \"" + name + "\""});
  }
  Expect(cases);
}

// With a fixed seed; QJAPI_SQL_FUZZ_INPUTS runs more inputs (and QJAPI_SQL_FUZZ_SEED another
// seed) outside the suite.
TEST(SqlFuzz, NoValueEndsItsLiteralEarly) {
  const auto fromEnvironment = [](const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
  };
  const uint64_t inputs = fromEnvironment("QJAPI_SQL_FUZZ_INPUTS", 50000);
  int failures = 0;
  sql_fuzz::Fuzzer fuzzer([&](const std::string& what, const std::string& detail) {
    if (++failures <= 10) ADD_FAILURE() << what << "\n  " << detail;
  });
  sql_fuzz::Source source(fromEnvironment("QJAPI_SQL_FUZZ_SEED", 8));
  for (uint64_t i = 0; i < inputs && failures == 0; ++i) fuzzer.RunOne(source);
}

}  // namespace
