#include "datasource/sql_builder.h"

#include <algorithm>
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

bool IsPlainLiteral(std::string_view v, int32_t typeCode) {
  if (typeCode == code::kBoolean && (EqualsNoCase(v, "true") || EqualsNoCase(v, "false"))) {
    return true;
  }
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
  return typeCode == code::kBoolean ? "true, false or a plain number" : "a plain number";
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
  if ((quoted || pattern) && value->find('\0') != std::string_view::npos) {
    refusal_ = kValueHoldsNul;
    refusalMessage_ = "The value for column \"" + std::string(column) +
                      "\" holds a NUL character, which no SQL literal can carry; the statement "
                      "was not sent";
    return false;
  }
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

void SqlBuilder::AppendQuoted(std::string& out, std::string_view identifier) const {
  out.append(settings_.quote);
  out.append(identifier);
  out.append(settings_.quote);
}

void SqlBuilder::AppendTableName(std::string& out, const ActionInput& input) const {
  const std::string_view database = input.database.ok() ? input.database.value : "";
  const std::string_view table = input.table.ok() ? input.table.value : "";
  if (settings_.supportsCatalogs) {
    AppendQuoted(out, database);
    out.append(settings_.separator);
  }
  if (settings_.supportsSchemas) {
    if (input.schema.ok() && !input.schema.value.empty()) {
      out.append(input.schema.value);
    } else if (input.hostLogin.ok() && !input.hostLogin.value.empty()) {
      out.append(input.hostLogin.value);
    } else {
      out.append(settings_.schemaName);
    }
    out.append(settings_.separator);
  }
  AppendQuoted(out, table);
}

void SqlBuilder::AppendReturnColumns(std::string& out, const ActionInput& input) const {
  if (input.returnColumns.empty()) {
    out.push_back('*');
    return;
  }
  bool first = true;
  for (std::string_view column : input.returnColumns) {
    if (!first) out.push_back(',');
    first = false;
    AppendQuoted(out, column);
  }
}

bool SqlBuilder::AppendKeyValue(std::string& out, const KeyColumn& key) {
  const ColumnType type = TypeByName(*key.name, ColumnTypes::NameForm::kDefaultCodePage);
  return AppendValue(out, key.value, code::kEquals, type.quoted, type.type, *key.name);
}

bool SqlBuilder::AppendSearchCondition(std::string& out, const ActionInput& input) {
  if (input.key && !IsEmpty(input.key->name) && !IsEmpty(input.key->value)) {
    out.append(" WHERE ");
    AppendQuoted(out, *input.key->name);
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
      const ColumnType type = TypeByName(*column.name, ColumnTypes::NameForm::kLatin1);
      const int32_t op =
          (!type.quoted && column.op == code::kBeginsWith) ? code::kEquals : column.op;
      out.append(*column.name);
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

void SqlBuilder::AppendOrderBy(std::string& out, const ActionInput& input) const {
  bool first = true;
  for (const SortColumn& column : input.sortColumns) {
    if (IsEmpty(column.name)) continue;
    out.append(first ? " ORDER BY " : ",");
    first = false;
    AppendQuoted(out, *column.name);
    if (column.type == 1) out.append(" DESC ");
  }
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
    AppendQuoted(out, columns[i].name);
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
    AppendQuoted(out, columns[i].name);
    out.append(" = ");
    if (!AppendListedValue(out, columns, i)) return false;
  }
  return true;
}

bool SqlBuilder::AppendKeyCondition(std::string& out, const ActionInput& input) {
  if (!input.key || IsEmpty(input.key->name)) return false;
  out.append(" WHERE ");
  AppendQuoted(out, *input.key->name);
  out.append(" = ");
  if (IsEmpty(input.key->value)) return false;
  return AppendKeyValue(out, *input.key);
}

std::string SqlBuilder::DiscoveryQuery(const ActionInput& input, const ColumnList& columns) const {
  std::string query = "SELECT ";
  bool any = false;
  for (const ColumnEntry& column : columns) {
    if (any) query.push_back(',');
    any = true;
    AppendQuoted(query, column.name);
  }
  if (input.key && !IsEmpty(input.key->name) && input.key->name->front() != '-') {
    if (any) query.push_back(',');
    any = true;
    AppendQuoted(query, *input.key->name);
  }
  if (!any) query.push_back('*');
  query.append(" FROM ");
  AppendTableName(query, input);
  query.append(" WHERE 0=1");
  return query;
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

Statement SqlBuilder::Select(const ActionInput& input) {
  std::string text;
  text.reserve(128 + 24 * (input.inputColumns.size() + input.returnColumns.size() +
                           input.sortColumns.size()));
  text.append(input.distinct ? "SELECT DISTINCT " : "SELECT ");
  AppendReturnColumns(text, input);
  text.append(" FROM ");
  AppendTableName(text, input);
  if (!AppendSearchCondition(text, input)) return Refused();
  AppendOrderBy(text, input);
  return Finish(std::move(text));
}

Statement SqlBuilder::Insert(const ActionInput& input, const ColumnList& columns) {
  std::string text = "INSERT INTO ";
  AppendTableName(text, input);
  if (!columns.empty() && !AppendInsertLists(text, columns)) return Refused();
  return Finish(std::move(text));
}

Statement SqlBuilder::Update(const ActionInput& input, const ColumnList& columns) {
  std::string text = "UPDATE ";
  AppendTableName(text, input);
  if (!columns.empty() && !AppendAssignments(text, columns)) return Refused();
  if (!AppendKeyCondition(text, input)) {
    return refusal_ != 0 ? Refused() : NotSent(kUpdateWithoutKey);
  }
  return Finish(std::move(text));
}

Statement SqlBuilder::Delete(const ActionInput& input) {
  std::string text = "DELETE FROM ";
  AppendTableName(text, input);
  if (!AppendKeyCondition(text, input)) {
    return refusal_ != 0 ? Refused() : NotSent(kDeleteWithoutKey);
  }
  return Finish(std::move(text));
}

Statement SqlBuilder::Describe(const ActionInput& input) {
  osError failed = !input.database.ok() ? input.database.code
                   : !input.table.ok()  ? input.table.code
                                        : 0;
  // The schema and the host login are read only where the qualified name needs them.
  if (failed == 0 && settings_.supportsSchemas) {
    if (!input.schema.ok()) {
      failed = input.schema.code;
    } else if (input.schema.value.empty() && !input.hostLogin.ok()) {
      failed = input.hostLogin.code;
    }
  }
  if (failed != 0 || input.table.value.empty()) return NotSent(failed);
  std::string text = "SELECT * FROM ";
  AppendTableName(text, input);
  text.append(" WHERE 0=1");
  return Finish(std::move(text));
}

}  // namespace datasource
