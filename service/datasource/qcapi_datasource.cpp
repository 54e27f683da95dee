// The QCAPI functions of database actions: the action's parameters, its connection slot and its
// results. Each resolves the token, finds the innermost inline action of the state's request,
// and writes its out-parameters last, only on success.
#include <cstring>

#include "host/qcapi.h"
#include "service/datasource/inline_action.h"
#include "service/values/request_data.h"
#include "service/values/text.h"

using namespace quill_service;

namespace {

[[noreturn]] void Fail(osError code, const char* text) { throw osException(text, code); }

template <class Body>
osError WithAction(quill_token token, Body&& body) {
  TExecState* state = TExecState::FromToken(token);
  if (state == nullptr) return QUILL_ERR_BAD_TOKEN;
  try {
    InlineAction* action = CurrentInline(*state);
    if (action == nullptr) Fail(QUILL_ERR_NOT_FOUND, "no database action runs");
    return body(*state, *action);
  } catch (const osException& e) {
    return e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC;
  } catch (...) {
    return QUILL_ERR_GENERIC;
  }
}

void Require(const void* pointer) {
  if (pointer == nullptr) Fail(QUILL_ERR_INVALID, "null argument");
}

WebInputParams& Input(InlineAction& action) { return action.params.input; }
WebOutputParams& Output(InlineAction& action) { return action.params.output; }

// A record over texts the state keeps; a null data stays null.
quill_value_t Record(TExecState& state, const std::string& name, const std::optional<std::string>& data,
                     int32_t type) {
  quill_value_t record{};
  record.name = state.Keep(name);
  record.nameSize = static_cast<uint32_t>(name.size());
  if (data) {
    record.data = state.Keep(*data);
    record.dataSize = static_cast<uint32_t>(data->size());
  }
  record.type = type;
  return record;
}

quill_value_t TextRecord(TExecState& state, const std::string& name, const std::string& data) {
  return Record(state, name, data, QUILL_TYPE_TEXT);
}

template <class T>
osError ReadNumber(quill_token t, int32_t* out, T&& read) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    Require(out);
    *out = read(action);
    return QUILL_OK;
  });
}

const DBInputColumn& InputColumnAt(InlineAction& action, int32_t index) {
  const auto& columns = Input(action).inputColumns;
  if (index < 0 || static_cast<size_t>(index) >= columns.size()) Fail(QUILL_ERR_OUT_OF_RANGE, "no such input column");
  return columns[static_cast<size_t>(index)];
}

osError FindInputColumn(quill_token t, std::string_view name, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    const DBInputColumn* column = Input(action).FindInputColumn(name);
    if (column == nullptr) return static_cast<osError>(QUILL_ERR_NOT_FOUND);
    *record = Record(state, column->name, column->value, column->op);
    return QUILL_OK;
  });
}

// The connection slot of the state's data source and the action's host, made on first use;
// null when there is none and create is false (every request's first action asks: no throw).
DSConnection* ConnectionOf(TExecState& state, InlineAction& action, bool create) {
  if (state.currentDataSource == nullptr) Fail(QUILL_ERR_NOT_FOUND, "no data source runs the action");
  auto& connections = state.request->Contents().database.connections;
  for (auto& connection : connections) {
    if (connection.source == state.currentDataSource && connection.host.id == action.host.id) return &connection;
  }
  if (!create) return nullptr;
  connections.push_back(DSConnection{state.currentDataSource, action.host, nullptr});
  return &connections.back();
}

std::string HostIdText(const InlineAction& action) { return std::to_string(action.host.id); }

}  // namespace

extern "C" {

osError quill_getDataSourceName(quill_token t, quill_value_t* database, bool* named, quill_value_t* source) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    if (database == nullptr && named == nullptr && source == nullptr) Fail(QUILL_ERR_INVALID, "nothing asked");
    if (database != nullptr) *database = TextRecord(state, action.database.name.str(), action.database.name.str());
    if (named != nullptr) *named = action.database.named;
    if (source != nullptr) *source = TextRecord(state, action.source.name.str(), action.host.name.str());
    return QUILL_OK;
  });
}

osError quill_getSchemaName(quill_token t, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    *record = TextRecord(state, "schema", Input(action).schema);
    return QUILL_OK;
  });
}

osError quill_getTableName(quill_token t, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    *record = TextRecord(state, "table", Input(action).table);
    return QUILL_OK;
  });
}

osError quill_getDataHost2(quill_token t, quill_value_t* host, quill_value_t* login, quill_value_t* extra) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    if (host == nullptr && login == nullptr && extra == nullptr) Fail(QUILL_ERR_INVALID, "nothing asked");
    if (host != nullptr) *host = Record(state, action.host.name.str(), action.host.name.str(), action.host.id);
    if (login != nullptr) *login = TextRecord(state, action.host.user.str(), action.host.password.str());
    if (extra != nullptr) *extra = TextRecord(state, action.source.name.str(), HostIdText(action));
    return QUILL_OK;
  });
}

osError quill_getDataHost(quill_token t, quill_value_t* host, quill_value_t* login) {
  if (host == nullptr && login == nullptr) return QUILL_ERR_INVALID;
  return quill_getDataHost2(t, host, login, nullptr);
}

osError quill_getSkipRows(quill_token t, int32_t* count) {
  return ReadNumber(t, count, [](InlineAction& a) { return Input(a).skipRows; });
}

osError quill_getMaxRows(quill_token t, int32_t* count) {
  return ReadNumber(t, count, [](InlineAction& a) { return Input(a).maxRows; });
}

osError quill_getRowID(quill_token t, int32_t* id) {
  return ReadNumber(t, id, [](InlineAction& a) { return Input(a).rowId; });
}

osError quill_setRowID(quill_token t, int32_t id) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    Output(action).rowId = id;
    return QUILL_OK;
  });
}

osError quill_getPrimaryKeyColumn(quill_token t, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    *record = Record(state, Input(action).keyColumn, Input(action).keyValue, QUILL_TYPE_TEXT);
    return QUILL_OK;
  });
}

osError quill_getInputColumnCount(quill_token t, int32_t* count) {
  return ReadNumber(t, count, [](InlineAction& a) { return static_cast<int32_t>(Input(a).inputColumns.size()); });
}

osError quill_getInputColumn(quill_token t, int32_t index, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    const DBInputColumn& column = InputColumnAt(action, index);
    *record = Record(state, column.name, column.value, column.op);
    return QUILL_OK;
  });
}

osError quill_findInputColumn(quill_token t, const char* name, quill_value_t* record) {
  if (name == nullptr) return QUILL_ERR_INVALID;
  return FindInputColumn(t, name, record);
}

osError quill_findInputColumnW(quill_token t, const quill_char* name, quill_value_t* record) {
  if (name == nullptr) return QUILL_ERR_INVALID;
  return FindInputColumn(t, Utf16ToUtf8(View(name)), record);
}

osError quill_getLogicalOp(quill_token t, int32_t* op) {
  return ReadNumber(t, op, [](InlineAction& a) { return Input(a).logicalOp; });
}

osError quill_getSortColumnCount(quill_token t, int32_t* count) {
  return ReadNumber(t, count, [](InlineAction& a) { return static_cast<int32_t>(Input(a).sortColumns.size()); });
}

osError quill_getSortColumn(quill_token t, int32_t index, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    const auto& sort = Input(action).sortColumns;
    if (index < 0 || static_cast<size_t>(index) >= sort.size()) Fail(QUILL_ERR_OUT_OF_RANGE, "no such sort column");
    const DBSortColumn& column = sort[static_cast<size_t>(index)];
    *record = Record(state, column.name, column.name, column.descending ? 1 : 0);
    return QUILL_OK;
  });
}

osError quill_getReturnColumnCount(quill_token t, int32_t* count) {
  return ReadNumber(t, count, [](InlineAction& a) { return static_cast<int32_t>(Input(a).returnColumns.size()); });
}

osError quill_getReturnColumn(quill_token t, int32_t index, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    const auto& columns = Input(action).returnColumns;
    if (index < 0 || static_cast<size_t>(index) >= columns.size()) Fail(QUILL_ERR_OUT_OF_RANGE, "no such return column");
    *record = TextRecord(state, "column", columns[static_cast<size_t>(index)]);
    return QUILL_OK;
  });
}

osError quill_getDataSourceModuleName(quill_token t, quill_value_t* record) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(record);
    std::string module = state.currentDataSource != nullptr ? state.currentDataSource->GetModuleName()
                                                            : action.source.name.str();
    *record = TextRecord(state, "module", module);
    return QUILL_OK;
  });
}

osError quill_getIsStatementOnly(quill_token t, bool* flag) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    Require(flag);
    *flag = Input(action).statementOnly;
    return QUILL_OK;
  });
}

osError quill_getDSConnection(quill_token t, void** connection) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    Require(connection);
    const DSConnection* slot = ConnectionOf(state, action, false);
    if (slot == nullptr) return static_cast<osError>(QUILL_ERR_NOT_FOUND);
    *connection = slot->slot;
    return QUILL_OK;
  });
}

osError quill_setDSConnection(quill_token t, void* connection) {
  return WithAction(t, [&](TExecState& state, InlineAction& action) -> osError {
    ConnectionOf(state, action, true)->slot = connection;
    return QUILL_OK;
  });
}

osError quill_addDataSourceResultUTF8(quill_token t, const char* text) {
  return WithAction(t, [&](TExecState& state, InlineAction&) -> osError {
    Require(text);
    state.resultList.emplace_back(text);
    return QUILL_OK;
  });
}

osError quill_addColumnInfo2(quill_token t, const char* name, int32_t a, int32_t b, int32_t c,
                             const char* const* values, int32_t count) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    Require(name);
    if (count < 0 || (count > 0 && values == nullptr)) Fail(QUILL_ERR_INVALID, "bad value list");
    DBColumnInfo info{Latin1ToUtf8(name), a, b, c, {}};
    for (int32_t i = 0; i < count; ++i) {
      info.values.push_back(values[i] != nullptr ? std::optional<std::string>(Latin1ToUtf8(values[i])) : std::nullopt);
    }
    Output(action).columns.push_back(std::move(info));
    return QUILL_OK;
  });
}

osError quill_addColumnInfo(quill_token t, const char* name, int32_t a, int32_t b, int32_t c) {
  return quill_addColumnInfo2(t, name, a, b, c, nullptr, 0);
}

osError quill_addResultRow(quill_token t, const char* const* values, const int32_t* lengths, int32_t count) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    if (count < 0 || (count > 0 && (values == nullptr || lengths == nullptr))) Fail(QUILL_ERR_INVALID, "bad row");
    for (int32_t i = 0; i < count; ++i) {
      if (values[i] != nullptr && lengths[i] < 0) Fail(QUILL_ERR_INVALID, "negative cell length");
    }
    Output(action).rows.Add(values, lengths, count);
    return QUILL_OK;
  });
}

osError quill_addResultRows(quill_token t, int32_t columns, int32_t rowCount, const char* bytes, int64_t byteCount,
                            const int32_t* lengths) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    if (columns <= 0 || rowCount < 0 || byteCount < 0) Fail(QUILL_ERR_INVALID, "bad rows");
    if (rowCount == 0) return QUILL_OK;
    if (lengths == nullptr || (byteCount > 0 && bytes == nullptr)) Fail(QUILL_ERR_INVALID, "null argument");
    const char* refused =
        Output(action).rows.AddPacked(bytes, static_cast<size_t>(byteCount), lengths, columns, rowCount);
    if (refused != nullptr) Fail(QUILL_ERR_INVALID, refused);
    return QUILL_OK;
  });
}

osError quill_setNumRowsFound(quill_token t, int32_t count) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    Output(action).rowsFound = count;
    return QUILL_OK;
  });
}

osError quill_setActionStatementW(quill_token t, const quill_char* statement) {
  return WithAction(t, [&](TExecState&, InlineAction& action) -> osError {
    Require(statement);
    Output(action).actionStatement = std::u16string(View(statement));
    return QUILL_OK;
  });
}

}  // extern "C"
