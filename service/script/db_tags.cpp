// The script's inline database actions (db_search, db_add, ...) and the tags that read an
// action's results inside its body (found_count, rows, field, ...).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <memory>

#include "service/datasource/engine.h"
#include "service/script/interpreter.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"

namespace quill_script {

using namespace quill_service;

namespace {

[[noreturn]] void Fail(osError code, const std::string& message) { throw osException(message.c_str(), code); }

std::string Text(const Variant& value) {
  if (const auto* text = Get<std::u16string>(value)) return Utf16ToUtf8(*text);  // no copy first
  return Utf16ToUtf8(value.GetString(nullptr));
}

int32_t Number(const Variant& value, std::u16string_view what) {
  if (auto* i = Get<int64_t>(value); i != nullptr && *i >= INT32_MIN && *i <= INT32_MAX) return static_cast<int32_t>(*i);
  if (auto* d = Get<double>(value); d != nullptr && std::fabs(*d) < 2147483648.0) return static_cast<int32_t>(*d);
  const std::string text = Text(value);
  int32_t n = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (!text.empty() && ec == std::errc() && end == text.data() + text.size()) return n;
  Fail(QUILL_ERR_WRONG_TYPE, "-" + Utf16ToUtf8(what) + " must be a 32-bit integer, not '" + text + "'");
}

std::optional<std::string> OptionalText(const Variant& value) {
  if (Get<std::monostate>(value) != nullptr) return std::nullopt;
  return Text(value);
}

struct OperatorWord {
  const char16_t* words[2];
  int32_t code;
};

constexpr OperatorWord kOperators[] = {
    {{u"=", u"eq"}, QUILL_OP_EQUALS},          {{u"!=", u"ne"}, QUILL_OP_NOT_EQUALS},
    {{u"<", u"lt"}, QUILL_OP_LESS},            {{u"<=", u"lte"}, QUILL_OP_AT_MOST},
    {{u">", u"gt"}, QUILL_OP_GREATER},         {{u">=", u"gte"}, QUILL_OP_AT_LEAST},
    {{u"begins", u"bw"}, QUILL_OP_BEGINS},     {{u"ends", u"ew"}, QUILL_OP_ENDS},
    {{u"contains", u"cn"}, QUILL_OP_CONTAINS}, {{u"!begins", u"nbw"}, QUILL_OP_NOT_BEGINS},
    {{u"!ends", u"new"}, QUILL_OP_NOT_ENDS},   {{u"!contains", u"ncn"}, QUILL_OP_NOT_CONTAINS},
    {{u"in", u"in"}, QUILL_OP_IN},             {{u"!in", u"nin"}, QUILL_OP_NOT_IN},
    {{u"fulltext", u"ft"}, QUILL_OP_FULLTEXT},
};

int32_t OperatorCode(const std::u16string& word) {
  for (const OperatorWord& op : kOperators) {
    if (EqualsIgnoreCase(word, op.words[0]) || EqualsIgnoreCase(word, op.words[1])) return op.code;
  }
  Fail(QUILL_ERR_INVALID, "unknown search operator '" + Utf16ToUtf8(word) + "'");
}

// A positional parameter: [column, value] (equals) or [column, operator, value].
DBInputColumn Criterion(const Variant& value) {
  const auto* array = Get<ArrayValue>(value);
  if (array == nullptr || (array->items.size() != 2 && array->items.size() != 3)) {
    Fail(QUILL_ERR_WRONG_TYPE, "a criterion is [column, value] or [column, operator, value]");
  }
  const auto& items = array->items;
  DBInputColumn column;
  column.name = Text(*items[0]->GetReferenceDeep());
  if (items.size() == 3) column.op = OperatorCode(items[1]->GetReferenceDeep()->GetString(nullptr));
  column.value = OptionalText(*items.back()->GetReferenceDeep());
  return column;
}

// Reads the action's parameters in the order written; criteria, groups and flags keep it.
DBActionSpec ReadSpec(DBActionKind kind, const TagCall& call) {
  DBActionSpec spec;
  spec.kind = kind;
  WebInputParams& in = spec.input;
  bool hasSource = false;
  for (const TagParam& param : call.params) {
    const Variant& value = param.Deep();
    if (param.name.empty()) {
      in.inputColumns.push_back(Criterion(value));
      continue;
    }
    // Compared as written, folded unit by unit: no folded copy of the name is made. Most words
    // differ in length, which is looked at first; the words are literals, whose lengths are known
    // without counting.
    const auto is = [&](const auto& literal) {
      const std::u16string_view word(literal, std::size(literal) - 1);
      return param.name.size() == word.size() && EqualsIgnoreCase(param.name, word);
    };
    if (is(u"source")) {
      spec.source = Text(value);
      hasSource = true;
    } else if (is(u"host")) {
      spec.hostId = Number(value, u"host");
    } else if (is(u"database")) {
      spec.database = Text(value);
    } else if (is(u"schema")) {
      in.schema = Text(value);
    } else if (is(u"table")) {
      in.table = Text(value);
    } else if (is(u"logic")) {
      const std::u16string word = value.GetString(nullptr);
      if (EqualsIgnoreCase(word, u"and")) in.logicalOp = QUILL_LOGICAL_AND;
      else if (EqualsIgnoreCase(word, u"or")) in.logicalOp = QUILL_LOGICAL_OR;
      else Fail(QUILL_ERR_INVALID, "-logic is 'and' or 'or'");
    } else if (is(u"sort") || is(u"sort_desc")) {
      in.sortColumns.push_back(DBSortColumn{Text(value), is(u"sort_desc")});
    } else if (is(u"skip")) {
      in.skipRows = Number(value, u"skip");
    } else if (is(u"max")) {
      in.maxRows = Number(value, u"max");
    } else if (is(u"select")) {
      in.returnColumns.push_back(Text(value));
    } else if (is(u"key")) {
      in.keyColumn = Text(value);
    } else if (is(u"key_value")) {
      in.keyValue = OptionalText(value);
    } else if (is(u"row_id")) {
      in.rowId = Number(value, u"row_id");
    } else if (is(u"sql")) {
      in.statement = Text(value);
    } else if (is(u"statement_only")) {
      in.statementOnly = IsTrue(value);
    } else if (is(u"code")) {
      spec.sendCode = Number(value, u"code");
    } else if (is(u"group")) {
      in.inputColumns.push_back(DBInputColumn{"opbegin", Text(value), QUILL_OP_EQUALS});
    } else if (is(u"group_end")) {
      in.inputColumns.push_back(DBInputColumn{"opend", std::string(), QUILL_OP_EQUALS});
    } else if (is(u"distinct")) {
      in.inputColumns.push_back(DBInputColumn{"-distinct", std::string(), QUILL_OP_EQUALS});
    } else if (is(u"uselimit")) {
      in.inputColumns.push_back(DBInputColumn{"-uselimit", Text(value), QUILL_OP_EQUALS});
    } else {
      Fail(QUILL_ERR_INVALID, "unknown parameter -" + Utf16ToUtf8(param.name));
    }
  }
  if (!hasSource) Fail(QUILL_ERR_NOT_FOUND, "missing parameter -source");
  return spec;
}

class ActionTag : public SubstitutionTag {
 public:
  explicit ActionTag(DBActionKind kind) : kind_(kind) {}
  const char* GetModuleName() override { return "builtin"; }
  void Run(CallFrame* frame, Variant* result, Request* request) override {
    QPExecState* state = frame != nullptr ? frame->state : nullptr;
    if (state == nullptr || state->call == nullptr || request == nullptr) Fail(QUILL_ERR_NO_TAG, "no tag call");
    TagCall& call = *state->call;
    // What the body needs, behind one pointer: the function holding it then needs no memory of its own.
    struct {
      TagCall& call;
      QPExecState* state;
      std::string message;
    } run{call, state, {}};
    const osError code = RunDatabaseAction(*request, state, ReadSpec(kind_, call), [&run](InlineAction& action) {
      // Without a body nobody reads the answer: a failure fails the script, with its message.
      if (run.call.body == nullptr) {
        if (action.code != 0) run.message = action.message;
        return;
      }
      Variant ignored;
      run.call.body->Run(run.state, &ignored);
    });
    if (result != nullptr) result->Init();
    if (code != 0 && call.body == nullptr) Fail(code, run.message);
  }

 private:
  DBActionKind kind_;
};

// ---- reading the results inside the body ----

InlineAction& Action(Request& request) {
  InlineAction* action = request.GetInline(nullptr);
  if (action == nullptr) Fail(QUILL_ERR_NOT_FOUND, "no database action runs");
  return *action;
}

const WebOutputParams& Results(Request& request) { return Action(request).params.output; }

void SetCell(Variant& target, const std::optional<std::string_view>& cell) {
  if (cell) target.SetString(ModifiedUtf8ToUtf16(*cell));
  else target.Init();
}

const Variant* Positional(const TagCall& call, size_t index) {
  size_t position = 0;
  for (const TagParam& param : call.params) {
    if (param.name.empty() && position++ == index) return &param.Deep();
  }
  return nullptr;
}

// The first column named by the value's text, or -1. ASCII text is compared with the UTF-8
// names as it stands, unit by byte, where other text is converted first.
int64_t ColumnNamed(const WebOutputParams& results, const Variant& which) {
  const auto* text = Get<std::u16string>(which);
  if (text == nullptr || !std::all_of(text->begin(), text->end(), [](char16_t unit) { return unit < 0x80; })) {
    return results.FieldIndex(Text(which));
  }
  const auto sameUnit = [](char byte, char16_t unit) { return static_cast<unsigned char>(byte) == unit; };
  for (size_t i = 0; i < results.columns.size(); ++i) {
    const std::string& name = results.columns[i].name;
    if (std::equal(name.begin(), name.end(), text->begin(), text->end(), sameUnit)) return static_cast<int64_t>(i);
  }
  return -1;
}

using ReaderFn = void (*)(Request&, TagCall&, QPExecState*, Variant&);

void FoundCount(Request& r, TagCall&, QPExecState*, Variant& out) {
  const WebOutputParams& results = Results(r);
  out.SetInteger(results.rowsFound.value_or(static_cast<int32_t>(results.rows.size())));
}

void RowCount(Request& r, TagCall&, QPExecState*, Variant& out) {
  out.SetInteger(static_cast<int64_t>(Results(r).rows.size()));
}

void Rows(Request& r, TagCall& call, QPExecState* state, Variant& out) {
  if (call.body == nullptr) Fail(QUILL_ERR_NO_TAG, "rows needs a body");
  InlineAction& action = Action(r);
  struct Restore {
    InlineAction& action;
    int64_t previous;
    ~Restore() { action.currentRow = previous; }
  } restore{action, action.currentRow};
  for (size_t i = 0; i < action.params.output.rows.size(); ++i) {
    action.currentRow = static_cast<int64_t>(i);
    Variant ignored;
    call.body->Run(state, &ignored);
  }
  out.Init();
}

void RowNumber(Request& r, TagCall&, QPExecState*, Variant& out) { out.SetInteger(Action(r).currentRow + 1); }

void Field(Request& r, TagCall& call, QPExecState*, Variant& out) {
  InlineAction& action = Action(r);
  const WebOutputParams& results = action.params.output;
  const Variant* which = Positional(call, 0);
  if (which == nullptr) Fail(QUILL_ERR_NOT_FOUND, "missing parameter: a column name or position");
  int64_t row = action.currentRow < 0 ? 0 : action.currentRow;  // outside a row loop: the first row
  if (const TagParam* given = call.FindParam(u"row")) row = Number(given->Deep(), u"row");
  if (row < 0 || static_cast<size_t>(row) >= results.rows.size()) Fail(QUILL_ERR_OUT_OF_RANGE, "no such row");
  const DBRows::Row cells = results.rows[static_cast<size_t>(row)];
  int64_t column = -1;
  if (Get<int64_t>(*which) != nullptr || Get<double>(*which) != nullptr) {
    column = Number(*which, u"column");
  } else {
    column = ColumnNamed(results, *which);
    if (column < 0) Fail(QUILL_ERR_NOT_FOUND, "no column named " + Text(*which));
  }
  if (column < 0 || static_cast<size_t>(column) >= cells.size()) Fail(QUILL_ERR_OUT_OF_RANGE, "no such column");
  const std::optional<std::string_view> cell = cells[static_cast<size_t>(column)];
  // A column the source described as bytes gives its cells unchanged.
  if (cell && static_cast<size_t>(column) < results.columns.size() &&
      results.columns[static_cast<size_t>(column)].type == QUILL_TYPE_BYTES) {
    out.SetBytes(std::string(*cell));
    return;
  }
  // A cell going straight to the output is written as it stands when it is ASCII, which reads the
  // same in the cells' form (modified UTF-8) and the output's (UTF-8).
  if (call.output != nullptr && cell &&
      std::all_of(cell->begin(), cell->end(), [](char byte) { return static_cast<unsigned char>(byte) < 0x80; })) {
    call.output->append(*cell);
    return;
  }
  SetCell(out, cell);
}

void ColumnNames(Request& r, TagCall&, QPExecState*, Variant& out) {
  ArrayValue names;
  for (const DBColumnInfo& column : Results(r).columns) {
    auto name = MakeVariant();
    name->SetString(Utf8ToUtf16(column.name));
    names.items.push_back(std::move(name));
  }
  out.Contents().value = std::move(names);
}

std::u16string FourCharacters(int32_t code) {
  std::u16string text;
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char16_t>((static_cast<uint32_t>(code) >> shift) & 0xFF);
  return text;
}

void ColumnInfo(Request& r, TagCall&, QPExecState*, Variant& out) {
  ArrayValue infos;
  for (const DBColumnInfo& column : Results(r).columns) {
    MapValue map;
    const auto add = [&map](const char16_t* key, VariantPtr value) {
      auto k = MakeVariant();
      k->SetString(key);
      map.entries.emplace_back(std::move(k), std::move(value));
    };
    auto name = MakeVariant();
    name->SetString(Utf8ToUtf16(column.name));
    add(u"name", std::move(name));
    auto type = MakeVariant();
    type->SetString(FourCharacters(column.type));
    add(u"type", std::move(type));
    auto size = MakeVariant();
    size->SetInteger(column.size);
    add(u"size", std::move(size));
    auto flags = MakeVariant();
    flags->SetInteger(column.flags);
    add(u"flags", std::move(flags));
    ArrayValue values;
    for (const auto& allowed : column.values) {
      values.items.push_back(MakeVariant());
      SetCell(*values.items.back(), allowed);
    }
    auto list = MakeVariant();
    list->Contents().value = std::move(values);
    add(u"values", std::move(list));
    auto entry = MakeVariant();
    entry->Contents().value = std::move(map);
    infos.items.push_back(std::move(entry));
  }
  out.Contents().value = std::move(infos);
}

void ActionCode(Request& r, TagCall&, QPExecState*, Variant& out) { out.SetInteger(Action(r).code); }
void ActionMessage(Request& r, TagCall&, QPExecState*, Variant& out) {
  out.SetString(Utf8ToUtf16(Action(r).message));
}
void ActionStatement(Request& r, TagCall&, QPExecState*, Variant& out) {
  out.SetString(Results(r).actionStatement);
}
void ActionRowId(Request& r, TagCall&, QPExecState*, Variant& out) { out.SetInteger(Results(r).rowId); }

class ReaderTag : public SubstitutionTag {
 public:
  explicit ReaderTag(ReaderFn fn) : fn_(fn) {}
  const char* GetModuleName() override { return "builtin"; }
  void Run(CallFrame* frame, Variant* result, Request* request) override {
    QPExecState* state = frame != nullptr ? frame->state : nullptr;
    if (state == nullptr || state->call == nullptr || request == nullptr || result == nullptr) {
      Fail(QUILL_ERR_NO_TAG, "no tag call");
    }
    fn_(*request, *state->call, state, *result);
  }

 private:
  ReaderFn fn_;
};

void Register(TagTable& table, const char16_t* name, const char16_t* returnType,
              std::vector<ExpectedParam> params, std::unique_ptr<SubstitutionTag> tag) {
  auto definition = std::make_shared<TagDefinition>();
  definition->name = name;
  definition->moduleName = u"builtin";
  definition->returnType = returnType;
  definition->params = std::move(params);
  definition->native = tag.get();
  table.RegisterIfAbsent(std::move(definition), std::move(tag));
}

}  // namespace

void RegisterDatabaseTags(TagTable& table) {
  const std::pair<const char16_t*, DBActionKind> actions[] = {
      {u"db_search", DBActionKind::Search},       {u"db_add", DBActionKind::Add},
      {u"db_update", DBActionKind::Update},       {u"db_delete", DBActionKind::Delete},
      {u"db_show", DBActionKind::Show},           {u"db_databases", DBActionKind::Databases},
      {u"db_tables", DBActionKind::Tables},       {u"db_schemas", DBActionKind::Schemas},
      {u"db_statement", DBActionKind::Statement}, {u"db_send", DBActionKind::Send},
  };
  for (const auto& [name, kind] : actions) {
    Register(table, name, u"", {{u"source", u"string", true}}, std::make_unique<ActionTag>(kind));
  }
  const std::tuple<const char16_t*, const char16_t*, ReaderFn> readers[] = {
      {u"found_count", u"integer", FoundCount},   {u"row_count", u"integer", RowCount},
      {u"rows", u"", Rows},                       {u"row_number", u"integer", RowNumber},
      {u"field", u"", Field},                     {u"column_names", u"array", ColumnNames},
      {u"column_info", u"array", ColumnInfo},     {u"action_code", u"integer", ActionCode},
      {u"action_message", u"string", ActionMessage}, {u"action_statement", u"string", ActionStatement},
      {u"action_row_id", u"integer", ActionRowId},
  };
  for (const auto& [name, returnType, fn] : readers) {
    Register(table, name, returnType, {}, std::make_unique<ReaderTag>(fn));
  }
}

}  // namespace quill_script
