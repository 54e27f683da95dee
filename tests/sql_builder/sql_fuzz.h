// Random actions for the SQL builder, checked by SQLite itself: every statement the builder sends
// must be complete (sqlite3_complete), compile on a matching schema (sqlite3_prepare_v2), and
// compile to the same program as the statement built from harmless stand-in values, with
// exactly the real values in its string constants. A value that ended its literal early would
// change the program or its constants.
//
// Names: tables and some columns have names full of quotes, blanks and SQL, written into quoted
// places as they are and refused in bare ones; a refusal must have its cause. (How each name is
// quoted is checked against hand-written statements in sql_builder_test.cpp.)
//
// Shared by the fixed-seed test in the suite and the libFuzzer target; the randomness comes from
// a Source, so either a seeded generator or the fuzzer's bytes drive it.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "datasource/sql_builder.h"
#include "tests/sql_builder/sql_test_support.h"

namespace sql_fuzz {

using namespace datasource;

// Where the randomness comes from: a seeded generator, or the fuzzer's bytes (one for a bound up
// to 256, four above; zeros once they run out).
class Source {
 public:
  explicit Source(uint64_t seed)
      : below_([rng = std::mt19937_64(seed)](uint32_t bound) mutable {
          return bound == 0 ? 0 : static_cast<uint32_t>(rng() % bound);
        }) {}
  Source(const uint8_t* data, size_t size)
      : below_([=, pos = size_t{0}](uint32_t bound) mutable {
          uint32_t value = 0;
          for (int i = 0; bound > 1 && i < (bound > 256 ? 4 : 1); ++i) {
            value = (value << 8) | (pos < size ? data[pos++] : 0);
          }
          return bound <= 1 ? 0 : value % bound;
        }) {}
  // A number in [0, bound).
  uint32_t Below(uint32_t bound) { return below_(bound); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }

 private:
  std::function<uint32_t(uint32_t)> below_;
};

struct TableDef {
  std::string name;
  std::vector<std::string> columns;  // each declared TEXT, INTEGER, REAL, DATE or BOOLEAN
};

class Fuzzer {
 public:
  using Fail = std::function<void(const std::string& what, const std::string& detail)>;

  explicit Fuzzer(Fail fail) : fail_(std::move(fail)) {
    sqlite3_open(":memory:", &db_);
    // Without the optimiser the program follows the statement's shape, term for term.
    sqlite3_test_control(SQLITE_TESTCTRL_OPTIMIZATIONS, db_, 0xffffffff);
    Source schema(20240611);
    for (int t = 0; t < 4; ++t) {
      TableDef table{"t" + std::to_string(t) + RandomText(schema, " x%'\"$-.;[]()", 4), {}};
      std::string create = "CREATE TABLE " + sql_test::Quoted(table.name) + " (";
      for (int c = 0; c < 7; ++c) {
        static const char* const kTypes[] = {"TEXT", "INTEGER", "REAL", "DATE", "BOOLEAN"};
        // The last two only fit quoted places.
        const char* letters = c < 5 ? "abcdefghijklmnopqrstuvwxyz0123456789_" : "ab \"'`;-=()*/\xc3\xa9";
        table.columns.push_back("c" + std::to_string(c) + "_" + RandomText(schema, letters, 6));
        create += (c ? "," : "") + sql_test::Quoted(table.columns.back()) + " " + kTypes[schema.Below(5)];
      }
      Exec(create + ")");
      tables_.push_back(table);
    }
  }
  ~Fuzzer() { sqlite3_close(db_); }
  Fuzzer(const Fuzzer&) = delete;
  Fuzzer& operator=(const Fuzzer&) = delete;

  void RunOne(Source& src) {
    const TableDef& table = tables_[src.Below(static_cast<uint32_t>(tables_.size()))];
    const bool convert = src.Chance(35);
    const uint32_t naming = src.Below(4);
    const ConnectorSettings settings{.supportsCatalogs = naming == 1, .supportsSchemas = naming == 2,
                                     .supportsConvert = convert, .quote = "\"", .terminator = ";",
                                     .schemaName = "main"};
    ActionInput in;
    in.database = {0, "main"};
    in.table = {0, table.name};
    in.schema = {0, src.Chance(3) ? "main\"; x" : ""};
    in.hostLogin = {0, src.Chance(50) ? "main" : ""};

    const uint32_t action = src.Below(5);
    // Text the input views must outlive the builds.
    std::vector<std::string> store;
    store.reserve(64);
    auto keep = [&](std::string text) -> std::string_view {
      store.push_back(std::move(text));
      return store.back();
    };
    auto column = [&]() -> std::string_view {
      return table.columns[src.Below(static_cast<uint32_t>(table.columns.size()))];
    };

    // INSERT and UPDATE without columns are no SQL (nothing to insert or set): not generated.
    const uint32_t count = (action == 1 || action == 2 ? 1 : 0) + src.Below(9);
    int depth = 0;
    for (uint32_t i = 0; i < count; ++i) {
      InputColumn item;
      const uint32_t kind = action == 0 ? src.Below(10) : 9;
      if (kind == 0) {
        static const char* const kHow[] = {"and", "OR", "not", "Not", "either", ""};
        item = {src.Chance(50) ? "opbegin" : "OperatorBegin", src.Chance(10) ? Text() : Text(kHow[src.Below(6)])};
        ++depth;
      } else if (kind == 1 && depth > 0) {
        item = {src.Chance(50) ? "opend" : "OPERATOREND", Text()};
        --depth;
      } else if (kind == 2) {
        item = {src.Chance(50) ? "-distinct" : "-uselimit", keep(RandomValue(src))};
        in.distinct = in.distinct || *item.name == "-distinct";
      } else {
        item = {column(), RandomNullable(src, keep), RandomOperator(src)};
      }
      in.inputColumns.push_back(item);
    }
    // Groups left open are closed by the builder, but one left open and empty would be "()".
    for (; depth > 0; --depth) in.inputColumns.push_back({"opend", std::nullopt, code::kEquals});
    if (action == 0) {
      for (uint32_t i = src.Below(4); i > 0; --i) in.returnColumns.push_back(column());
      for (uint32_t i = src.Below(4); i > 0; --i) in.sortColumns.push_back({column(), int(src.Below(3))});
      in.logicalOp = src.Chance(50) ? code::kAnd : code::kOr;
    }
    if (action == 2 || action == 3 || (action == 0 && src.Chance(25)) || src.Chance(10)) {
      in.key = KeyColumn{src.Chance(5) ? Text("") : Text(column()), RandomNullable(src, keep)};
    }

    // What a column's type tells, as the discovery reports it from the real table.
    sql_test::TableTypes types;
    sql_test::MissedColumns missed;
    const ColumnList columns = GatherInputColumns(in);
    schemasWritten_ = settings.supportsSchemas;
    if (!settings.supportsConvert) Discover(SqlBuilder(settings).DiscoveryQuery(in, columns), types);
    auto build = [&](const ActionInput& input) {
      SqlBuilder builder(settings, &types, &missed);
      const ColumnList list = GatherInputColumns(input);
      switch (action) {
        case 0: return builder.Select(input);
        case 1: return builder.Insert(input, list);
        case 2: return builder.Update(input, list);
        case 3: return builder.Delete(input);
        default: return builder.Describe(input);
      }
    };
    const Statement real = build(in);

    // Which values go bare, worked out here from the types: the column's type, or 0 when its
    // value goes between quotes.
    auto bare = [&](std::string_view name, int32_t op) -> int32_t {
      int32_t type = 0;
      if (settings.supportsConvert || !types.TypeOfName(name, ColumnTypes::NameForm::kLatin1, &type)) return 0;
      const bool pattern = op == code::kEndsWith || op == code::kContains || op == code::kNotBeginsWith ||
                           op == code::kNotEndsWith || op == code::kNotContains;
      return IsQuotedType(type) || pattern ? 0 : type;
    };

    if (!real.send) return CheckNotSent(real, in, columns, action, bare);
    if (sqlite3_complete(real.text.c_str()) != 1) fail_("incomplete statement", real.text);
    if (real.text.find("\xC0\x80") != std::string::npos) fail_("a NUL sent in its two-byte spelling", real.text);

    // The same action with stand-ins: "~n~" for every value that goes between quotes, "1" for
    // each element of a bare one.
    ActionInput standIn = in;
    std::vector<std::string_view> originals;
    std::map<std::string, size_t> bareIds;
    auto replace = [&](Text& value, std::string_view column, int32_t op) {
      if (!value || value->empty()) return;
      // A bare value that carried SQL would compile to another program than these ones.
      if (bare(column, op) != 0) {
        // One number per distinct element, as equal stand-ins could fold where the real values
        // do not (and the other way round); a date keeps its "-" and "/", one number per run.
        const auto id = [&](std::string_view text) {
          return std::to_string(bareIds.emplace(std::string(text), bareIds.size() + 1).first->second);
        };
        std::string ones;
        for (std::string_view element : Elements(*value, op == code::kInList || op == code::kNotInList)) {
          ones += ones.empty() ? "" : ",";
          element = Trimmed(element);
          if (!std::regex_match(element.begin(), element.end(), kDate)) {
            ones += id(element);
            continue;
          }
          for (size_t run = 0, end = 0; run < element.size(); run = end + 1) {
            end = std::min(element.find_first_of("-/", run), element.size());
            ones += id(element.substr(run, end - run)) + (end < element.size() ? std::string(1, element[end]) : "");
          }
        }
        value = keep(ones);
        return;
      }
      // Equal values share a stand-in: SQLite folds some terms with equal constants.
      auto same = std::find(originals.begin(), originals.end(), *value);
      if (same == originals.end()) same = originals.insert(originals.end(), *value);
      value = keep("~" + std::to_string(same - originals.begin()) + "~");
    };
    for (InputColumn& item : standIn.inputColumns) {
      // Columns are all named "c..."; the values of group markers and commands are never written.
      if (item.name && item.name->front() == 'c') {
        replace(item.value, *item.name, action == 0 ? item.op : code::kEquals);
      }
    }
    if (standIn.key && standIn.key->name) replace(standIn.key->value, *standIn.key->name, code::kEquals);
    const Statement stand = build(standIn);
    if (!stand.send) {
      fail_("the stand-in statement was not sent: " + stand.message, stand.text);
      return;
    }

    std::vector<std::string> realProgram, standProgram, realStrings, standStrings;
    if (!Explain(real.text, &realProgram, &realStrings) || !Explain(stand.text, &standProgram, &standStrings)) return;
    if (realProgram != standProgram) {
      fail_("program differs from the stand-in's", real.text + "\n  vs\n" + stand.text);
      return;
    }
    std::vector<std::string> expected;
    for (const std::string& s : standStrings) expected.push_back(Substitute(s, originals));
    if (expected != realStrings) fail_("string constants differ from the values", real.text);
  }

 private:
  template <class Bare>
  void CheckNotSent(const Statement& s, const ActionInput& in, const ColumnList& columns,
                    uint32_t action, Bare&& bare) {
    const bool keyed = in.key && in.key->name && !in.key->name->empty() && in.key->value && !in.key->value->empty();
    if (s.code == kUpdateWithoutKey || s.code == kDeleteWithoutKey) {
      if (keyed || s.code != (action == 2 ? kUpdateWithoutKey : kDeleteWithoutKey)) {
        fail_("refused for want of a key that was there", s.message);
      }
      return;
    }
    // Some value must really be unsendable.
    bool nul = false, notLiteral = false;
    auto judge = [&](const std::optional<std::string>& value, std::string_view column, int32_t op) {
      if (!value || value->empty()) return;
      if (const int32_t type = bare(column, op)) {
        notLiteral |= !PlainLiteralList(*value, op == code::kInList || op == code::kNotInList, type);
      } else {
        nul |= value->find('\0') != std::string::npos || value->find("\xC0\x80") != std::string::npos;
      }
    };
    if (action == 0) {
      for (const InputColumn& item : in.inputColumns) {
        if (item.name && item.value) judge(std::string(*item.value), *item.name, item.op);
      }
    } else {
      for (const ColumnEntry& entry : columns) judge(entry.value, entry.name, code::kEquals);
    }
    if (in.key && in.key->name && in.key->value) judge(std::string(*in.key->value), *in.key->name, code::kEquals);
    if (s.code == kNameRefused) {
      // A bare place held something that is not a plain name: a hostile column in a condition
      // or the hostile schema.
      bool hostile = schemasWritten_ && !in.schema.value.empty() && !IsPlainName(in.schema.value);
      if (action == 0 && !keyed) {
        for (const InputColumn& item : in.inputColumns) {
          const bool written = (item.value && !item.value->empty()) || item.op == code::kEquals ||
                               item.op == code::kNotEquals;
          hostile |= written && item.name && !item.name->empty() && item.name->front() == 'c' &&
                     !IsPlainName(*item.name);
        }
      }
      if (!hostile) fail_("name refused without cause", s.message);
      return;
    }
    if (!(s.code == kValueHoldsNul && nul) && !(s.code == kValueNotLiteral && notLiteral)) {
      fail_("not sent without cause (" + std::to_string(s.code) + ")", s.message);
    }
  }

  // The oracle for bare values: a number, or for booleans also true or false; in a list each
  // element with blanks around it.
  static bool PlainLiteralList(std::string_view value, bool list, int32_t type) {
    static const std::regex kNumber(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
    static const std::regex kTruth("true|false", std::regex::icase);
    for (std::string_view element : Elements(value, list)) {
      const std::string item(list ? Trimmed(element) : element);
      if (!std::regex_match(item, kNumber) && !(type == code::kBoolean && std::regex_match(item, kTruth)) &&
          !(type == code::kDate && std::regex_match(item, kDate))) {
        return false;
      }
    }
    return true;
  }

  // A date written bare: digit runs joined by single "-" or "/".
  inline static const std::regex kDate{"[0-9]+([-/][0-9]+)*"};

  // The elements of a list (a value that is no list is its only element).
  static std::vector<std::string_view> Elements(std::string_view value, bool list) {
    std::vector<std::string_view> elements;
    for (size_t start = 0, comma = 0; comma != std::string_view::npos; start = comma + 1) {
      comma = list ? value.find(',', start) : std::string_view::npos;
      elements.push_back(value.substr(start, comma - start));
    }
    return elements;
  }

  static std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
  }

  static std::string Substitute(const std::string& text, const std::vector<std::string_view>& originals) {
    static const std::regex kStandIn("~([0-9]+)~");
    std::string out;
    auto done = text.cbegin();
    for (std::sregex_iterator m(text.begin(), text.end(), kStandIn), end; m != end; ++m) {
      out.append(done, (*m)[0].first).append(originals.at(std::stoul((*m)[1].str())));
      done = (*m)[0].second;
    }
    return out.append(done, text.cend());
  }


  static std::string RandomText(Source& src, std::string_view alphabet, uint32_t maxLength) {
    std::string text;
    for (uint32_t n = 1 + src.Below(maxLength); n > 0; --n) text += alphabet[src.Below(uint32_t(alphabet.size()))];
    return text;
  }

  static std::string RandomValue(Source& src) {
    const uint32_t kind = src.Below(10);
    if (kind == 0) return src.Chance(50) ? "" : std::to_string(src.Below(3000)) + (src.Chance(50) ? "-0" : "/") +
                                                    std::to_string(src.Below(13)) + "-" + std::to_string(src.Below(32));
    if (kind <= 2) {  // a number as a user types it
      std::string n = src.Chance(30) ? (src.Chance(50) ? "-" : "+") : "";
      n += std::to_string(src.Below(100000));
      if (src.Chance(30)) n += "." + std::to_string(src.Below(1000));
      if (src.Chance(10)) n += "e" + std::to_string(src.Below(30));
      return n;
    }
    if (kind == 3) {  // a list, whose last element may be no plain literal
      static const char* const kTails[] = {"", " , 7", ",", ", x", ",7 7", ",true"};
      return std::to_string(src.Below(9)) + "," + std::to_string(src.Below(99)) + kTails[src.Below(6)];
    }
    if (kind == 4) return src.Chance(50) ? "true" : "FALSE";
    static const char* const kPieces[] = {
        "'", "''", "\"", "\\", "\\'", "%", "_", ";", "--", "/*", "*/", "\n", "\r\n", "\t",
        " OR 1=1", "') OR ('1'='1", "; DROP TABLE t0;", "SELECT", "NULL", "é", "日本",
        "\xff\xfe", "x", "5", " ", ",", "(", ")", "~", "~0~", "e", "-", "."};
    std::string text;
    for (uint32_t n = 1 + src.Below(6); n > 0; --n) {
      // A NUL in either spelling, or a piece.
      if (src.Chance(3)) {
        text += src.Chance(50) ? std::string(1, '\0') : "\xC0\x80";
      } else {
        text += kPieces[src.Below(uint32_t(std::size(kPieces)))];
      }
    }
    return text;
  }

  template <class Keep>
  static Text RandomNullable(Source& src, Keep&& keep) {
    if (src.Chance(10)) return std::nullopt;
    return keep(RandomValue(src));
  }

  static int32_t RandomOperator(Source& src) {
    static const int32_t kOps[] = {
        code::kEquals,        code::kNotEquals,   code::kLess,         code::kLessEqual,
        code::kGreater,       code::kGreaterEqual, code::kBeginsWith,  code::kEndsWith,
        code::kContains,      code::kNotBeginsWith, code::kNotEndsWith, code::kNotContains,
        code::kInList,        code::kNotInList,   code::kFullText};
    if (src.Chance(5)) return static_cast<int32_t>(src.Below(0xFFFFFFFFu));
    return kOps[src.Below(sizeof(kOps) / sizeof(kOps[0]))];
  }

  // The oracle of a bare name: a letter, "_" or a byte from 0x80 first, then also digits and "$".
  static bool IsPlainName(std::string_view name) {
    static const std::regex kPlain("[A-Za-z_\x80-\xff][A-Za-z0-9_$\x80-\xff]*");
    return std::regex_match(name.begin(), name.end(), kPlain);
  }

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      fail_("setup statement failed: " + std::string(error ? error : "?"), sql);
    }
    sqlite3_free(error);
  }

  // Runs the discovery query and reports its columns' declared types as host types.
  void Discover(const std::string& query, sql_test::TableTypes& types) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, query.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return;  // as a failed discovery: every value quoted
    }
    static const std::map<std::string, int32_t> kTypes = {
        {"INTEGER", code::kLong}, {"REAL", code::kDouble}, {"DATE", code::kDate}, {"BOOLEAN", code::kBoolean}};
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const char* declared = sqlite3_column_decltype(stmt, i);
      const auto type = kTypes.find(declared ? declared : "");
      types.columns().emplace_back(sqlite3_column_name(stmt, i), type != kTypes.end() ? type->second : QUILL_TYPE_TEXT);
    }
    sqlite3_finalize(stmt);
  }

  // The statement's program: each instruction's shape, with the constants it loads set apart.
  bool Explain(const std::string& sql, std::vector<std::string>* program, std::vector<std::string>* strings) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const std::string explain = "EXPLAIN " + sql;
    if (sqlite3_prepare_v2(db_, explain.c_str(), int(explain.size()), &stmt, &tail) != SQLITE_OK) {
      fail_("does not compile: " + std::string(sqlite3_errmsg(db_)), sql);
      sqlite3_finalize(stmt);
      return false;
    }
    if (tail != explain.c_str() + explain.size()) fail_("more than one statement", sql);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto p = [&](int column) { return std::to_string(sqlite3_column_int(stmt, column)); };
      const std::string op = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
      const std::string p2 = p(3);
      if (op == "Integer" || op == "Int64" || op == "Real") {
        program->push_back("number>" + p2);
        continue;
      }
      if (op == "String8") {
        strings->emplace_back(static_cast<const char*>(sqlite3_column_blob(stmt, 5)), sqlite3_column_bytes(stmt, 5));
        program->push_back("string>" + p2);
        continue;
      }
      program->push_back(op + " " + p(2) + " " + p2 + " " + p(4) + " " + p(6));
    }
    sqlite3_finalize(stmt);
    return true;
  }

  Fail fail_;
  sqlite3* db_ = nullptr;
  bool schemasWritten_ = false;
  std::vector<TableDef> tables_;
};

}  // namespace sql_fuzz
