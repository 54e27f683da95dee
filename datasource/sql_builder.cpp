#include "datasource/sql_builder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace datasource {
namespace {

constexpr std::string_view kColumnNotFoundFormat = "Column \"%s\" not found";

bool EqualsNoCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool IsGroupOpening(std::string_view name) {
  return EqualsNoCase(name, "opbegin") || EqualsNoCase(name, "operatorbegin");
}
bool IsGroupClosing(std::string_view name) {
  return EqualsNoCase(name, "opend") || EqualsNoCase(name, "operatorend");
}

bool IsEmpty(const Text& text) { return !text || text->empty(); }

// Where the "%" signs and parentheses of an operator go around its value.
enum class Form { kPlain, kPercentAfter, kPercentBefore, kPercentBoth, kParenthesised };

Form FormOf(int32_t op) {
  switch (op) {
    case code::kBeginsWith:
    case code::kNotBeginsWith:
      return Form::kPercentAfter;
    case code::kEndsWith:
    case code::kNotEndsWith:
      return Form::kPercentBefore;
    case code::kContains:
    case code::kNotContains:
      return Form::kPercentBoth;
    case code::kInList:
    case code::kNotInList:
    case code::kFullText:
      return Form::kParenthesised;
    default:
      return Form::kPlain;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// [+-] digits [. digits] [e [+-] digits], with at least one digit before the exponent: one SQL
// numeric token, possibly after a sign.
bool IsPlainNumber(std::string_view v) {
  std::size_t i = 0;
  const std::size_t n = v.size();
  if (i < n && (v[i] == '+' || v[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && IsDigit(v[i])) ++i, ++digits;
  if (i < n && v[i] == '.') {
    ++i;
    while (i < n && IsDigit(v[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (v[i] == 'e' || v[i] == 'E')) {
    ++i;
    if (i < n && (v[i] == '+' || v[i] == '-')) ++i;
    std::size_t exponent = 0;
    while (i < n && IsDigit(v[i])) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == n;
}

// A date as users write one (2024-01-05, 05/01/2024): digit runs, each two joined by one "-" or
// "/". Bare it is arithmetic, as written, but it cannot end the value or start a comment ("--"
// would need two separators in a row).
bool IsDigitsJoinedByDateSeparators(std::string_view v) {
  if (v.empty() || !IsDigit(v.front()) || !IsDigit(v.back())) return false;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!IsDigit(v[i]) && ((v[i] != '-' && v[i] != '/') || !IsDigit(v[i + 1]))) return false;
  }
  return true;
}

bool IsPlainLiteral(std::string_view v, int32_t typeCode) {
  if (typeCode == code::kBoolean && (EqualsNoCase(v, "true") || EqualsNoCase(v, "false"))) {
    return true;
  }
  if (typeCode == code::kDate && IsDigitsJoinedByDateSeparators(v)) return true;
  return IsPlainNumber(v);
}

// An IN list of an unquoted column: plain literals separated by commas, blanks allowed around
// each.
bool IsPlainLiteralList(std::string_view v, int32_t typeCode) {
  while (true) {
    const std::size_t comma = v.find(',');
    std::string_view item = v.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!IsPlainLiteral(item, typeCode)) return false;
    if (comma == std::string_view::npos) return true;
    v.remove_prefix(comma + 1);
  }
}

std::string_view LiteralKind(int32_t typeCode) {
  if (typeCode == code::kBoolean) return "true, false or a plain number";
  if (typeCode == code::kDate) return "a plain number or digits joined by - or /";
  return "a plain number";
}

std::string FourCharacters(int32_t typeCode) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((static_cast<uint32_t>(typeCode) >> (24 - 8 * i)) & 0xFF);
    text[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return text;
}

// A quoted literal's text: the value with each single quote doubled.
void AppendEscaped(std::string& out, std::string_view value) {
  std::size_t start = 0;
  for (std::size_t quote = value.find('\''); quote != std::string_view::npos;
       quote = value.find('\'', quote + 1)) {
    out.append(value.data() + start, quote + 1 - start);
    out.push_back('\'');
    start = quote + 1;
  }
  out.append(value.data() + start, value.size() - start);
}

// Words that, written bare where a column is expected, would be read as something else: a
// literal, a function without parentheses (CURRENT_USER = 'x' tells who is connected), an
// operator or a clause. The reserved words of the families the connector serves that matter
// there; sorted, upper case.
constexpr std::string_view kSqlWords[] = {
    "ADD", "ALL", "ALTER", "ANALYSE", "ANALYZE", "AND", "ANY", "ARRAY", "AS", "ASC", "ASYMMETRIC",
    "AUTHORIZATION", "AUTOINCREMENT", "BETWEEN", "BINARY", "BOTH", "BY", "CASE", "CAST", "CHECK",
    "COLLATE", "COLLATION", "COLUMN", "COMMIT", "CONCURRENTLY", "CONSTRAINT", "CREATE", "CROSS",
    "CURRENT_CATALOG", "CURRENT_DATE", "CURRENT_ROLE", "CURRENT_SCHEMA", "CURRENT_TIME",
    "CURRENT_TIMESTAMP", "CURRENT_USER", "DEFAULT", "DEFERRABLE", "DELETE", "DESC", "DISTINCT", "DIV",
    "DO", "DROP", "ELSE", "END", "ESCAPE", "EXCEPT", "EXISTS", "FALSE", "FETCH", "FOR", "FOREIGN",
    "FREEZE", "FROM", "FULL", "GLOB", "GRANT", "GROUP", "HAVING", "ILIKE", "IN", "INDEX", "INITIALLY",
    "INNER", "INSERT", "INTERSECT", "INTERVAL", "INTO", "IS", "ISNULL", "JOIN", "LATERAL", "LEADING",
    "LEFT", "LIKE", "LIMIT", "LOCALTIME", "LOCALTIMESTAMP", "MATCH", "MOD", "NATURAL", "NOT",
    "NOTHING", "NOTNULL", "NULL", "OFFSET", "ON", "ONLY", "OR", "ORDER", "OUTER", "OVERLAPS",
    "PLACING", "PRIMARY", "RAISE", "REFERENCES", "REGEXP", "RETURNING", "RIGHT", "RLIKE", "SELECT",
    "SESSION_USER", "SET", "SIMILAR", "SOME", "SOUNDS", "SYMMETRIC", "SYSTEM_USER", "TABLE",
    "TABLESAMPLE", "THEN", "TO", "TRAILING", "TRANSACTION", "TRUE", "UNION", "UNIQUE", "UNKNOWN",
    "UPDATE", "USER", "USING", "UTC_DATE", "UTC_TIME", "UTC_TIMESTAMP", "VALUES", "VARIADIC",
    "VERBOSE", "WHEN", "WHERE", "WINDOW", "WITH", "XOR",
};
constexpr std::size_t kLongestSqlWord = 17;

// Per first letter, bit n set where a word of n letters begins with it: most names (a schema,
// a column) are told apart by these two alone, without the search.
constexpr std::array<uint32_t, 26> kSqlWordLengths = [] {
  std::array<uint32_t, 26> lengths{};
  for (std::string_view word : kSqlWords) lengths[static_cast<std::size_t>(word.front() - 'A')] |= 1u << word.size();
  return lengths;
}();
static_assert(kLongestSqlWord < 32);

bool IsSqlWord(std::string_view name) {
  if (name.empty() || name.size() > kLongestSqlWord) return false;
  const char first = static_cast<char>(name.front() & ~0x20);  // upper case, for a letter
  if (first < 'A' || first > 'Z' || (kSqlWordLengths[static_cast<std::size_t>(first - 'A')] >> name.size() & 1) == 0) {
    return false;
  }
  char upper[kLongestSqlWord];
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return std::binary_search(std::begin(kSqlWords), std::end(kSqlWords), std::string_view(upper, name.size()));
}

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
// Bytes from 0x80 are letters of a name in every family (its UTF-8 or Latin-1 characters).
bool IsHighByte(char c) { return static_cast<unsigned char>(c) >= 0x80; }

// A NUL, also in the two-byte spelling the Java side reads as character zero.
bool HoldsNul(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\0' || (text[i] == '\xC0' && i + 1 < text.size() && text[i + 1] == '\x80')) return true;
  }
  return false;
}

// Why name is not one bare identifier token: a letter, "_" or a byte from 0x80 first, then also
// digits and "$"; no SQL word. Null when it is one.
const char* BareNameFault(std::string_view name) {
  if (name.empty()) return "is empty";
  if (HoldsNul(name)) return "holds a NUL character, which no name can carry";
  const char first = name.front();
  bool plain = IsAsciiLetter(first) || first == '_' || IsHighByte(first);
  for (std::size_t i = 1; plain && i < name.size(); ++i) {
    const char c = name[i];
    plain = IsAsciiLetter(c) || IsDigit(c) || c == '_' || c == '$' || IsHighByte(c);
  }
  if (!plain) {
    return "is not one plain name (letters, digits, _ and $, beginning with a letter or _), as a "
           "name written without quotes must be";
  }
  if (IsSqlWord(name)) return "is an SQL word, which without quotes is not read as a name";
  return nullptr;
}

// A name for a message: control characters as \xNN, cut after 80 bytes.
std::string Printable(std::string_view name) {
  constexpr std::size_t kShown = 80;
  std::string text;
  for (std::size_t i = 0; i < name.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      text += "\\x";
      text.push_back(kHex[c >> 4]);
      text.push_back(kHex[c & 0xF]);
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  if (name.size() > kShown) text += "...";
  return text;
}

class LogSink final : public ColumnNotFoundSink {
 public:
  void ColumnNotFound(std::string_view name) override {
    const std::string text(name);
    quill_log(0, kColumnNotFoundFormat.data(), text.c_str());
  }
};

// A group of the search condition while it is written: its joiner, or NOT.
using JoinerStack = std::vector<int32_t>;

}  // namespace

ColumnNotFoundSink& LogColumnNotFound() {
  static LogSink sink;
  return sink;
}

bool IsQuotedType(int32_t typeCode) {
  return typeCode != code::kDouble && typeCode != code::kDate && typeCode != code::kBoolean &&
         typeCode != code::kLong;
}

bool HasUsableKey(const ActionInput& input) {
  return input.key && !IsEmpty(input.key->name) && !IsEmpty(input.key->value);
}

ColumnList GatherInputColumns(const ActionInput& input) {
  ColumnList list;
  list.reserve(input.inputColumns.size());
  for (const InputColumn& column : input.inputColumns) {
    if (!column.name) continue;  // nothing to name it by
    auto same = std::find_if(list.begin(), list.end(),
                             [&](const ColumnEntry& e) { return e.name == *column.name; });
    if (same == list.end()) {
      list.push_back({*column.name, column.value ? std::optional<std::string>(*column.value)
                                                 : std::nullopt});
      continue;
    }
    if (!same->value && !column.value) continue;
    std::string& joined = same->value ? *same->value : same->value.emplace();
    joined.push_back(',');
    if (column.value) joined.append(*column.value);
  }
  return list;
}

SqlBuilder::SqlBuilder(const ConnectorSettings& settings, const ColumnTypes* types,
                       ColumnNotFoundSink* notFound)
    : settings_(settings), types_(types), notFound_(notFound ? notFound : &LogColumnNotFound()) {}

std::string_view SqlBuilder::OperatorText(int32_t op, const Text& value) {
  switch (op) {
    case code::kEquals:
      return value ? " = " : " IS ";
    case code::kNotEquals:
      return value ? " <> " : " IS NOT ";
    case code::kLess:
      return " < ";
    case code::kLessEqual:
      return " <= ";
    case code::kGreater:
      return " > ";
    case code::kGreaterEqual:
      return " >= ";
    case code::kBeginsWith:
    case code::kEndsWith:
    case code::kContains:
      return " LIKE ";
    case code::kNotBeginsWith:
    case code::kNotEndsWith:
    case code::kNotContains:
      return " NOT LIKE ";
    case code::kInList:
      return " IN ";
    case code::kNotInList:
      return " NOT IN ";
    default:
      return " = ";
  }
}

bool SqlBuilder::AppendValue(std::string& out, const Text& value, int32_t op, bool quoted,
                             int32_t typeCode, std::string_view column) {
  if (!value) {
    out.append("NULL");
    return true;
  }
  if (value->empty()) {
    out.append(quoted ? "''" : "0");
    return true;
  }
  const Form form = FormOf(op);
  const bool pattern =
      form == Form::kPercentAfter || form == Form::kPercentBefore || form == Form::kPercentBoth;
  // A bare pattern (a LIKE %5%) is no SQL at all: patterns always go between quotes.
  if (!quoted && !pattern) {
    const bool list = op == code::kInList || op == code::kNotInList;
    if (!(list ? IsPlainLiteralList(*value, typeCode) : IsPlainLiteral(*value, typeCode))) {
      refusal_ = kValueNotLiteral;
      refusalMessage_ = "The value for column \"" + std::string(column) + "\" (type " +
                        FourCharacters(typeCode) + ") is not " + std::string(LiteralKind(typeCode)) +
                        (list ? " or a comma-separated list of them" : "") +
                        "; the statement was not sent";
      return false;
    }
  }
  // The statement reaches Java as the host's UTF-8, where C0 80 is never a character of its own:
  // it is character zero, or two replacement characters, so it is refused like a plain NUL.
  if ((quoted || pattern) && HoldsNul(*value)) {
    refusal_ = kValueHoldsNul;
    refusalMessage_ = "The value for column \"" + std::string(column) +
                      "\" holds a NUL character, which no SQL literal can carry; the statement "
                      "was not sent";
    return false;
  }
  // A bare date is arithmetic in the text, which no bound value reproduces: such a statement runs
  // as written.
  if (binding_ && (form != Form::kPlain || (!quoted && typeCode == code::kDate && !IsPlainNumber(*value)))) {
    unbindable_ = true;
  }
  if (binding_ && form == Form::kPlain) literals_.push_back({out.size(), 0, {std::string(*value), !quoted}});
  if (form == Form::kParenthesised) out.push_back('(');
  if (quoted || pattern) {
    out.push_back('\'');
    if (form == Form::kPercentBefore || form == Form::kPercentBoth) out.push_back('%');
    AppendEscaped(out, *value);
    if (form == Form::kPercentAfter || form == Form::kPercentBoth) out.push_back('%');
    out.push_back('\'');
  } else {
    out.append(*value);
  }
  if (form == Form::kParenthesised) out.push_back(')');
  if (binding_ && form == Form::kPlain) literals_.back().size = out.size() - literals_.back().at;
  return true;
}

SqlBuilder::ColumnType SqlBuilder::Classify(bool found, int32_t type,
                                            std::string_view name) const {
  ColumnType result;
  if (!found) {
    notFound_->ColumnNotFound(name);
    return result;
  }
  result.type = type;
  result.quoted = IsQuotedType(type);
  return result;
}

SqlBuilder::ColumnType SqlBuilder::TypeByName(std::string_view name,
                                              ColumnTypes::NameForm form) const {
  if (settings_.supportsConvert) return {};
  int32_t type = 0;
  const bool found = types_ != nullptr && types_->TypeOfName(name, form, &type);
  return Classify(found, type, name);
}

SqlBuilder::ColumnType SqlBuilder::TypeByPosition(std::size_t position,
                                                  std::string_view name) const {
  if (settings_.supportsConvert) return {};
  int32_t type = 0;
  const bool found = types_ != nullptr && types_->TypeAt(position, &type);
  return Classify(found, type, name);
}

const char* SqlBuilder::AppendIdentifier(std::string& out, std::string_view name,
                                         bool quoted) const {
  const std::string_view quote = settings_.quote;
  if (!quoted || quote.empty()) {
    const char* fault = BareNameFault(name);
    if (fault == nullptr) out.append(name);
    return fault;
  }
  if (HoldsNul(name)) return "holds a NUL character, which no name can carry";
  if (quote.size() > 1) {
    // A quote of several characters has no doubling rule: a name holding any of them is refused.
    if (name.find_first_of(quote) != std::string_view::npos) {
      return "holds a character of the connector's identifier quote";
    }
    out.append(quote);
    out.append(name);
    out.append(quote);
    return nullptr;
  }
  out.append(quote);
  std::size_t start = 0;
  for (std::size_t at = name.find(quote[0]); at != std::string_view::npos;
       at = name.find(quote[0], at + 1)) {
    out.append(name.data() + start, at + 1 - start);
    out.push_back(quote[0]);
    start = at + 1;
  }
  out.append(name.data() + start, name.size() - start);
  out.append(quote);
  return nullptr;
}

bool SqlBuilder::Refuse(const NameFault& fault) {
  refusal_ = kNameRefused;
  refusalMessage_ = "The " + std::string(fault.role) + " \"" + Printable(fault.name) + "\" " +
                    fault.why + "; the statement was not sent";
  return false;
}

bool SqlBuilder::AppendName(std::string& out, std::string_view name, bool quoted,
                            std::string_view role) {
  const char* why = AppendIdentifier(out, name, quoted);
  return why == nullptr || Refuse({why, role, name});
}

std::string_view SqlBuilder::SchemaOf(const ActionInput& input) const {
  if (input.schema.ok() && !input.schema.value.empty()) return input.schema.value;
  if (input.hostLogin.ok() && !input.hostLogin.value.empty()) return input.hostLogin.value;
  return settings_.schemaName;
}

SqlBuilder::NameFault SqlBuilder::WriteTableName(std::string& out, const ActionInput& input) const {
  const std::string_view database = input.database.ok() ? input.database.value : "";
  const std::string_view table = input.table.ok() ? input.table.value : "";
  if (settings_.supportsCatalogs) {
    if (const char* why = AppendIdentifier(out, database, true)) return {why, "database", database};
    out.append(settings_.separator);
  }
  if (settings_.supportsSchemas) {
    const std::string_view schema = SchemaOf(input);
    if (const char* why = AppendIdentifier(out, schema, false)) return {why, "schema", schema};
    out.append(settings_.separator);
  }
  if (const char* why = AppendIdentifier(out, table, true)) return {why, "table", table};
  return {};
}

bool SqlBuilder::AppendTableName(std::string& out, const ActionInput& input) {
  const NameFault fault = WriteTableName(out, input);
  return fault.why == nullptr || Refuse(fault);
}

bool SqlBuilder::AppendReturnColumns(std::string& out, const ActionInput& input) {
  if (input.returnColumns.empty()) {
    out.push_back('*');
    return true;
  }
  bool first = true;
  for (std::string_view column : input.returnColumns) {
    if (!first) out.push_back(',');
    first = false;
    if (!AppendName(out, column, true, "return column")) return false;
  }
  return true;
}

bool SqlBuilder::AppendKeyValue(std::string& out, const KeyColumn& key) {
  const ColumnType type = TypeByName(*key.name, ColumnTypes::NameForm::kDefaultCodePage);
  return AppendValue(out, key.value, code::kEquals, type.quoted, type.type, *key.name);
}

bool SqlBuilder::AppendSearchCondition(std::string& out, const ActionInput& input) {
  if (HasUsableKey(input)) {
    out.append(" WHERE ");
    if (!AppendName(out, *input.key->name, true, "key column")) return false;
    out.append(" = ");
    return AppendKeyValue(out, *input.key);
  }
  if (input.inputColumns.empty() || !input.inputColumnsComplete) return true;

  enum class Kind : uint8_t { kOpening, kClosing, kCondition };
  struct Item {
    Kind kind;
    const InputColumn* column;  // null for the implicit opening
  };
  std::vector<Item> items;
  items.reserve(input.inputColumns.size() + 1);
  items.push_back({Kind::kOpening, nullptr});
  for (const InputColumn& column : input.inputColumns) {
    if (!column.name) continue;
    const std::string_view name = *column.name;
    const bool closing = IsGroupClosing(name);
    if (!closing && !name.empty() && name.front() == '-') continue;
    if (!closing && IsEmpty(column.value) && column.op != code::kEquals &&
        column.op != code::kNotEquals) {
      continue;
    }
    if (closing && !items.empty() && items.back().kind == Kind::kOpening) {
      items.pop_back();  // an empty group leaves no trace
      continue;
    }
    items.push_back({closing ? Kind::kClosing
                             : IsGroupOpening(name) ? Kind::kOpening : Kind::kCondition,
                     &column});
  }
  if (items.empty() || (items.size() == 1 && items[0].column == nullptr)) return true;

  const int32_t outerJoiner = input.logicalOp == code::kOr ? code::kOr : code::kAnd;
  JoinerStack groups;
  groups.reserve(8);
  out.append(" WHERE ");
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    if (item.kind == Kind::kOpening) {
      if (item.column == nullptr) {
        groups.push_back(outerJoiner);
        out.push_back('(');
        continue;
      }
      const Text& how = item.column->value;
      if (how && EqualsNoCase(*how, "not")) {
        groups.push_back(code::kNot);
        out.append("NOT (");
        continue;
      }
      if (how && EqualsNoCase(*how, "and")) {
        groups.push_back(code::kAnd);
      } else if (how && EqualsNoCase(*how, "or")) {
        groups.push_back(code::kOr);
      } else {
        groups.push_back(input.logicalOp);
      }
      out.push_back('(');
      continue;
    }
    if (item.kind == Kind::kClosing) {
      out.push_back(')');
      if (!groups.empty()) groups.pop_back();
    } else {
      const InputColumn& column = *item.column;
      // Checked before the type lookup, so that a refused name is not also logged as missing.
      if (!AppendName(out, *column.name, false, "condition column")) return false;
      const ColumnType type = TypeByName(*column.name, ColumnTypes::NameForm::kLatin1);
      const int32_t op =
          (!type.quoted && column.op == code::kBeginsWith) ? code::kEquals : column.op;
      out.append(OperatorText(op, column.value));
      if (!AppendValue(out, column.value, op, type.quoted, type.type, *column.name)) return false;
    }
    if (i + 1 < items.size() && items[i + 1].kind != Kind::kClosing) {
      int32_t joiner = outerJoiner;
      for (auto group = groups.rbegin(); group != groups.rend(); ++group) {
        if (*group != code::kNot) {
          joiner = *group;
          break;
        }
      }
      out.append(joiner == code::kAnd ? " AND " : " OR ");
    }
  }
  out.append(groups.size(), ')');
  return true;
}

bool SqlBuilder::AppendOrderBy(std::string& out, const ActionInput& input) {
  bool first = true;
  for (const SortColumn& column : input.sortColumns) {
    if (IsEmpty(column.name)) continue;
    out.append(first ? " ORDER BY " : ",");
    first = false;
    if (!AppendName(out, *column.name, true, "sort column")) return false;
    if (column.type == 1) out.append(" DESC ");
  }
  return true;
}

bool SqlBuilder::AppendListedValue(std::string& out, const ColumnList& columns,
                                   std::size_t position) {
  const ColumnEntry& entry = columns[position];
  const ColumnType type = TypeByPosition(position, entry.name);
  const Text value = entry.value ? Text(*entry.value) : std::nullopt;
  return AppendValue(out, value, code::kEquals, type.quoted, type.type, entry.name);
}

bool SqlBuilder::AppendInsertLists(std::string& out, const ColumnList& columns) {
  out.append(" (");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i != 0) out.push_back(',');
    if (!AppendName(out, columns[i].name, true, "column")) return false;
  }
  out.append(") VALUES (");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i != 0) out.push_back(',');
    if (!AppendListedValue(out, columns, i)) return false;
  }
  out.push_back(')');
  return true;
}

bool SqlBuilder::AppendAssignments(std::string& out, const ColumnList& columns) {
  out.append(" SET ");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i != 0) out.push_back(',');
    if (!AppendName(out, columns[i].name, true, "column")) return false;
    out.append(" = ");
    if (!AppendListedValue(out, columns, i)) return false;
  }
  return true;
}

bool SqlBuilder::AppendKeyCondition(std::string& out, const ActionInput& input) {
  if (!input.key || IsEmpty(input.key->name)) return false;
  out.append(" WHERE ");
  if (!AppendName(out, *input.key->name, true, "key column")) return false;
  out.append(" = ");
  if (IsEmpty(input.key->value)) return false;
  return AppendKeyValue(out, *input.key);
}

namespace {

// The key column the discovery lists beside the input columns: a named one that is not a flag.
const std::string_view* DiscoveredKeyName(const ActionInput& input) {
  if (input.key && !IsEmpty(input.key->name) && input.key->name->front() != '-') return &*input.key->name;
  return nullptr;
}

}  // namespace

std::string SqlBuilder::DiscoveryQuery(const ActionInput& input, const ColumnList& columns) const {
  std::string query = "SELECT ";
  bool any = false;
  const auto list = [&](std::string_view name) {
    if (any) query.push_back(',');
    any = true;
    return AppendIdentifier(query, name, true) == nullptr;
  };
  for (const ColumnEntry& column : columns) {
    if (!list(column.name)) return {};
  }
  if (const std::string_view* key = DiscoveredKeyName(input)) {
    if (!list(*key)) return {};
  }
  if (!any) query.push_back('*');
  query.append(" FROM ");
  if (WriteTableName(query, input).why != nullptr) return {};
  query.append(" WHERE 0=1");
  return query;
}

std::string SqlBuilder::DiscoveryNames(const ActionInput& input, const ColumnList& columns) const {
  // Each name behind its length, so that no two lists of names run together alike.
  std::string names;
  names.reserve(64);
  const auto add = [&names](std::string_view name) {
    const auto size = static_cast<uint32_t>(name.size());
    names.append(reinterpret_cast<const char*>(&size), sizeof size);
    names.append(name);
  };
  names.push_back(static_cast<char>((settings_.supportsCatalogs ? 1 : 0) | (settings_.supportsSchemas ? 2 : 0)));
  add(settings_.supportsCatalogs && input.database.ok() ? input.database.value : "");
  add(settings_.supportsSchemas ? SchemaOf(input) : "");
  add(input.table.ok() ? input.table.value : "");
  for (const ColumnEntry& column : columns) add(column.name);
  if (const std::string_view* key = DiscoveredKeyName(input)) add(*key);
  return names;
}

Statement SqlBuilder::NotSent(osError code) const {
  Statement none;
  none.code = code;
  none.send = false;
  return none;
}

Statement SqlBuilder::Refused() const {
  Statement refused = NotSent(refusal_);
  refused.message = refusalMessage_;
  return refused;
}

Statement SqlBuilder::Finish(std::string&& text) const {
  Statement done;
  done.text = std::move(text);
  done.text.append(settings_.terminator);
  return done;
}

void SqlBuilder::Bind(Statement& statement) {
  if (unbindable_) return;
  std::string text;
  text.reserve(statement.text.size());
  std::size_t from = 0;
  for (const Literal& literal : literals_) {
    text.append(statement.text, from, literal.at - from).push_back('?');
    from = literal.at + literal.size;
  }
  text.append(statement.text, from);
  // A "?" in a quoted name or in the terminator would be taken for one more placeholder.
  if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '?')) != literals_.size()) return;
  statement.bound = true;
  statement.boundText = std::move(text);
  statement.values.reserve(literals_.size());
  for (Literal& literal : literals_) statement.values.push_back(std::move(literal.value));
}

Statement SqlBuilder::Select(const ActionInput& input) {
  literals_.clear();
  unbindable_ = false;
  // A search alone is run with its values bound: other statements collect none.
  binding_ = settings_.bindsValues;
  Statement statement = WriteSelect(input);
  if (binding_ && statement.send) Bind(statement);
  binding_ = false;
  return statement;
}

Statement SqlBuilder::WriteSelect(const ActionInput& input) {
  std::string text;
  text.reserve(128 + 24 * (input.inputColumns.size() + input.returnColumns.size() +
                           input.sortColumns.size()));
  text.append(input.distinct ? "SELECT DISTINCT " : "SELECT ");
  if (!AppendReturnColumns(text, input)) return Refused();
  text.append(" FROM ");
  if (!AppendTableName(text, input) || !AppendSearchCondition(text, input) ||
      !AppendOrderBy(text, input)) {
    return Refused();
  }
  return Finish(std::move(text));
}

Statement SqlBuilder::Insert(const ActionInput& input, const ColumnList& columns) {
  std::string text = "INSERT INTO ";
  if (!AppendTableName(text, input)) return Refused();
  if (!columns.empty() && !AppendInsertLists(text, columns)) return Refused();
  return Finish(std::move(text));
}

Statement SqlBuilder::Update(const ActionInput& input, const ColumnList& columns) {
  std::string text = "UPDATE ";
  if (!AppendTableName(text, input)) return Refused();
  if (!columns.empty() && !AppendAssignments(text, columns)) return Refused();
  if (!AppendKeyCondition(text, input)) {
    return refusal_ != 0 ? Refused() : NotSent(kUpdateWithoutKey);
  }
  return Finish(std::move(text));
}

Statement SqlBuilder::Delete(const ActionInput& input) {
  std::string text = "DELETE FROM ";
  if (!AppendTableName(text, input)) return Refused();
  if (!AppendKeyCondition(text, input)) {
    return refusal_ != 0 ? Refused() : NotSent(kDeleteWithoutKey);
  }
  return Finish(std::move(text));
}

Statement SqlBuilder::Describe(const ActionInput& input) {
  // Any of the four reads failing stops the describe, whether or not the qualified name uses it.
  const osError failed = !input.database.ok()  ? input.database.code
                         : !input.table.ok()     ? input.table.code
                         : !input.schema.ok()    ? input.schema.code
                         : !input.hostLogin.ok() ? input.hostLogin.code
                                                 : 0;
  if (failed != 0 || input.table.value.empty()) return NotSent(failed);
  std::string text = "SELECT * FROM ";
  if (!AppendTableName(text, input)) return Refused();
  text.append(" WHERE 0=1");
  return Finish(std::move(text));
}

}  // namespace datasource
