#include "service/datasource/engine.h"

#include "service/core/rights.h"
#include "service/datasource/host_store.h"
#include "service/values/request_data.h"
#include "service/values/text.h"

namespace quill_service {
namespace {

// List actions hand back names; the script reads them as rows of one column, "name".
void NamesAsRows(std::vector<CharBuffer>& names, WebOutputParams& output) {
  output.columns.push_back(DBColumnInfo{"name", QUILL_TYPE_TEXT, 0, 0, {}});
  for (CharBuffer& name : names) output.rows.Add({std::string_view(name.str())});
}

osError Dispatch(Request& request, QPExecState* caller, const DBActionSpec& spec, DataSource& source,
                 InlineAction& action) {
  std::vector<CharBuffer> names;
  int result = 0;
  switch (spec.kind) {
    case DBActionKind::Search: return source.Search(&request);
    case DBActionKind::Add: return source.Add(&request);
    case DBActionKind::Update: return source.Update(&request);
    case DBActionKind::Delete: return source.Delete(&request);
    case DBActionKind::Show: return source.DescribeTable(&request);
    case DBActionKind::Statement: return source.ExecuteStatement(&request);
    case DBActionKind::Databases:
      source.ListDatabaseNames(action.source, action.host, &names, &result);
      break;
    case DBActionKind::Tables:
      source.ListTableNames(action.source, action.host, action.database, &names, &result);
      break;
    case DBActionKind::Schemas:
      source.ListSchemaNames(action.source, action.host, action.database, &names, &result);
      break;
    case DBActionKind::Send: {
      auto* proxy = dynamic_cast<CAPIDataSourceProxy*>(&source);
      if (proxy == nullptr) return -802;
      TExecState state(caller);
      state.request = &request;
      state.currentDataSource = proxy;
      return proxy->CallCAPIFunc(state.Token(), spec.sendCode, nullptr);
    }
  }
  NamesAsRows(names, action.params.output);
  return result;
}

// The operation an action needs and what it works on: lists and searches read, changes write,
// statements and sent codes, which can do anything the database lets them, execute.
std::pair<int32_t, std::string> RightNeeded(const DBActionSpec& spec, const WebInputParams& input) {
  const std::string* database = spec.database ? &*spec.database : nullptr;
  // A database left to the source's default is matched as the one named "".
  const std::string none;
  const std::string& named = database != nullptr ? *database : none;
  switch (spec.kind) {
    case DBActionKind::Databases: return {QUILL_OP_READ, DataSourceTarget(spec.source)};
    case DBActionKind::Send: return {QUILL_OP_EXECUTE, DataSourceTarget(spec.source)};
    case DBActionKind::Tables:
    case DBActionKind::Schemas: return {QUILL_OP_READ, DataSourceTarget(spec.source, &named)};
    case DBActionKind::Statement: return {QUILL_OP_EXECUTE, DataSourceTarget(spec.source, &named)};
    case DBActionKind::Search:
    case DBActionKind::Show:
      return {QUILL_OP_READ, DataSourceTarget(spec.source, &named, &input.table, input.schema)};
    case DBActionKind::Add:
    case DBActionKind::Update:
    case DBActionKind::Delete:
      return {QUILL_OP_WRITE, DataSourceTarget(spec.source, &named, &input.table, input.schema)};
  }
  return {QUILL_OP_ADMIN, DataSourceTarget(spec.source)};
}

}  // namespace

osError RunDatabaseAction(Request& request, QPExecState* caller, const DBActionSpec& spec,
                          const std::function<void(InlineAction&)>& body) {
  DBActionSpec copy = spec;
  return RunDatabaseAction(request, caller, std::move(copy), body);
}

osError RunDatabaseAction(Request& request, QPExecState* caller, DBActionSpec&& spec,
                          const std::function<void(InlineAction&)>& body) {
  DataSourceRegistry& registry = DataSourceRegistry::Global();
  DataSource* source = registry.FindFor(spec.source.c_str(), request);
  if (source == nullptr) throw osException(("no data source named " + spec.source).c_str(), QUILL_ERR_NOT_FOUND);
  std::optional<HostRec> host = FindDataSourceHost(spec.source, spec.hostId);
  if (!host && spec.hostId != 0) {
    throw osException(("data source " + spec.source + " has no host " + std::to_string(spec.hostId)).c_str(),
                      QUILL_ERR_NOT_FOUND);
  }

  FreshInlineAction fresh(request);
  InlineAction& action = fresh.action();
  action.source.id = registry.IdOf(source);
  action.source.name = source->GetModuleName();
  if (host) action.host = std::move(*host);
  action.database.named = spec.database.has_value();
  if (spec.database) action.database.name = spec.database->c_str();
  action.params.input = std::move(spec.input);  // read from the action from here on

  // A refused action reaches neither the data source nor its database.
  // Without rights in force every action is allowed, and its target is not written out.
  if (RightsEnforced()) {
    const std::string& user = request.Contents().user;
    const auto [operation, target] = RightNeeded(spec, action.params.input);
    if (!ServerAllows(user, operation, target)) {
      action.code = QUILL_ERR_NOT_ALLOWED;
      action.message = RefusalMessage(user, operation, target);
      if (body) body(action);
      return action.code;
    }
  }

  // The source's message is the one it set during this action, even when it is the same text as
  // the request's message before it; a source that sets none leaves the request's message as it was.
  // An empty text before and after (the usual case) needs neither a copy nor a change.
  Variant& resultMessage = *request.GetResultMessage();
  const std::u16string* text = Get<std::u16string>(resultMessage);
  std::u16string messageBefore;
  if (text == nullptr || !text->empty()) {
    messageBefore = resultMessage.GetString(nullptr);
    resultMessage.SetString(u"");
  }
  action.code = Dispatch(request, caller, spec, *source, action);
  std::u16string message;
  text = Get<std::u16string>(resultMessage);
  if (text == nullptr || !text->empty()) message = resultMessage.GetString(nullptr);
  if (message.empty() && (text == nullptr || !messageBefore.empty())) resultMessage.SetString(std::move(messageBefore));
  if (action.code != 0) {
    action.message = !message.empty() ? Utf16ToUtf8(message)
                                      : "data source " + spec.source + " answered " + std::to_string(action.code);
  }
  if (body) body(action);
  return action.code;
}

}  // namespace quill_service
