// The QCAPI functions of requests, the running tag, its value and variables.
//
// Every function resolves the token through the token table first, checks its pointers, does
// its work, and writes its out-parameters last, only when nothing failed. Host failures inside
// are thrown as osException and turned into the function's result; nothing escapes into the
// (C) caller.
#include <filesystem>
#include <new>

#include "host/qcapi.h"
#include "service/values/qcapi_support.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/tag_table.h"
#include "service/values/text.h"
#include "service/values/value_forms.h"

using namespace quill_service;

namespace {

// A text parameter's record points at the parameter's own text instead of a copy: it stays valid
// until the call ends or the parameter is changed through its handle (quill_typeSet*), so a caller
// reads it before changing the parameter. Values of other kinds are formatted and kept.
void FillParamW(TExecState& state, quill_wvalue_t* record, const TagParam& param) {
  const std::u16string* text = quill_service::Get<std::u16string>(param.Value());
  if (text == nullptr) return FillValueW(state, record, param.name, param.Value());
  *record = {Units(param.name), static_cast<int32_t>(param.name.size()), Units(*text),
             static_cast<int32_t>(text->size()), QUILL_TYPE_STRING};
}

std::u16string HeaderName(std::u16string_view line) {
  auto colon = line.find(u':');
  if (colon == std::u16string_view::npos || colon == 0) Fail(QUILL_ERR_INVALID, "a header is \"Name: value\"");
  auto name = line.substr(0, colon);
  while (!name.empty() && name.back() == u' ') name.remove_suffix(1);
  return std::u16string(name);
}

void OutputText(Request::Data& request, std::u16string_view text) { AppendUtf8(request.output, text); }

// The variables named name: the local one first, then the global one.
std::vector<Variant*> VariablesNamed(Request::Data& request, std::u16string_view name) {
  std::vector<Variant*> found;
  if (Variant* local = request.locals->Find(name)) found.push_back(local);
  if (Variant* global = request.globals.Find(name)) found.push_back(global);
  return found;
}

VariableScope& ScopeFor(Request::Data& request, int32_t mode) {
  if (mode == QUILL_VAR_LOCAL) return *request.locals;
  if (mode == QUILL_VAR_GLOBAL) return request.globals;
  Fail(QUILL_ERR_INVALID, "unknown variable mode");
}

osError SetResult(quill_token t, const auto& set) {
  return WithState(t, [&](TExecState& s) -> osError {
    TagCall& call = CallOf(s);
    if (call.result == nullptr) Fail(QUILL_ERR_NO_TAG, "the tag call takes no value");
    set(*call.result);
    return QUILL_OK;
  });
}

}  // namespace

extern "C" {

// ---- request, result and output ----

osError quill_getRequestParam(quill_token t, int32_t which, quill_value_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    auto& request = RequestOf(s);
    switch (which) {
      case QUILL_REQPARAM_BY_NAME:
      case QUILL_REQPARAM_HEADER: {
        Require(record->name);
        const std::string* value = which == QUILL_REQPARAM_HEADER ? FindKey(request.headers, record->name, true)
                                                                  : FindKey(request.params, record->name);
        if (value == nullptr) return QUILL_ERR_NOT_FOUND;
        FillData(s, record, *value, QUILL_TYPE_STRING);
        return QUILL_OK;
      }
      case QUILL_REQPARAM_METHOD: FillData(s, record, request.method, QUILL_TYPE_STRING); return QUILL_OK;
      case QUILL_REQPARAM_PATH: FillData(s, record, request.scriptPath, QUILL_TYPE_STRING); return QUILL_OK;
      default: return QUILL_ERR_INVALID;
    }
  });
}

osError quill_getQuillParam(quill_token t, int32_t which, quill_value_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    switch (which) {
      case QUILL_QUILLPARAM_VERSION: FillData(s, record, "QuillService 1.0", QUILL_TYPE_STRING); return QUILL_OK;
      case QUILL_QUILLPARAM_ROOT: {
        std::error_code error;
        std::string root = std::filesystem::current_path(error).string();
        if (error) return QUILL_ERR_GENERIC;
        if (root.empty() || root.back() != '/') root += '/';
        FillData(s, record, std::move(root), QUILL_TYPE_STRING);
        return QUILL_OK;
      }
      case QUILL_QUILLPARAM_SCRIPT: FillData(s, record, RequestOf(s).scriptPath, QUILL_TYPE_STRING); return QUILL_OK;
      default: return QUILL_ERR_INVALID;
    }
  });
}

osError quill_setResultCode(quill_token t, osError code) {
  return WithState(t, [&](TExecState& s) -> osError {
    RequestOf(s).resultCode = code;
    return QUILL_OK;
  });
}

osError quill_setResultMessage(quill_token t, const char* message) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(message);
    RequestOf(s).resultMessage.SetString(Utf8ToUtf16(message));
    return QUILL_OK;
  });
}

osError quill_setResultMessageW(quill_token t, const quill_char* message) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto text = NameArg(message);
    RequestOf(s).resultMessage.SetString(std::u16string(text));
    return QUILL_OK;
  });
}

osError quill_outputTagData2W(quill_token t, const quill_char* text, int32_t length) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto units = TextArg(text, length);
    OutputText(RequestOf(s), units);
    return QUILL_OK;
  });
}

osError quill_outputTagBytes(quill_token t, const void* bytes, int32_t length) {
  return WithState(t, [&](TExecState& s) -> osError {
    if (length < 0 || (bytes == nullptr && length > 0)) return QUILL_ERR_INVALID;
    auto& request = RequestOf(s);
    if (length > 0) request.output.append(static_cast<const char*>(bytes), static_cast<size_t>(length));
    return QUILL_OK;
  });
}

osError quill_getResultHeaderW(quill_token t, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    std::u16string text;
    for (const auto& line : RequestOf(s).resultHeaders) text += line + u"\r\n";
    FillW(s, record, u"", std::move(text), QUILL_TYPE_STRING);
    return QUILL_OK;
  });
}

// Replaces the headers of the same name (or adds one).
osError quill_setResultHeaderW(quill_token t, const quill_char* header) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto line = NameArg(header);
    auto name = HeaderName(line);
    auto& headers = RequestOf(s).resultHeaders;
    std::erase_if(headers, [&](const std::u16string& h) { return EqualsIgnoreCase(HeaderName(h), name); });
    headers.emplace_back(line);
    return QUILL_OK;
  });
}

osError quill_addResultHeaderW(quill_token t, const quill_char* header) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto line = NameArg(header);
    HeaderName(line);
    RequestOf(s).resultHeaders.emplace_back(line);
    return QUILL_OK;
  });
}

osError quill_getCookieValueW(quill_token t, const quill_char* name, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto cookie = NameArg(name);
    Require(record);
    const std::string* value = FindKey(RequestOf(s).cookies, Utf16ToUtf8(cookie));
    if (value == nullptr) return QUILL_ERR_NOT_FOUND;
    FillW(s, record, std::u16string(cookie), Utf8ToUtf16(*value), QUILL_TYPE_STRING);
    return QUILL_OK;
  });
}

// ---- the running tag ----

osError quill_getTagName(quill_token t, quill_value_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    std::string name = Utf16ToUtf8(CallOf(s).name);
    const auto size = static_cast<uint32_t>(name.size());
    const char* text = s.Keep(name);
    *record = {text, size, text, size, QUILL_TYPE_STRING};
    return QUILL_OK;
  });
}

osError quill_getTagNameW(quill_token t, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    const std::u16string& name = CallOf(s).name;
    const quill_char* text = s.Keep(name);
    const auto size = static_cast<int32_t>(name.size());
    *record = {text, size, text, size, QUILL_TYPE_STRING};
    return QUILL_OK;
  });
}

osError quill_getTagParamCount(quill_token t, int32_t* count) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(count);
    *count = static_cast<int32_t>(CallOf(s).params.size());
    return QUILL_OK;
  });
}

osError quill_getTagParamW(quill_token t, int32_t index, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(record);
    FillParamW(s, record, ParamAt(s, index));
    return QUILL_OK;
  });
}

osError quill_tagParamIsDefinedW(quill_token t, const quill_char* name) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    return CallOf(s).FindParam(wanted) != nullptr ? 1 : 0;
  });
}

osError quill_findTagParamW(quill_token t, const quill_char* name, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    Require(record);
    const TagParam* param = CallOf(s).FindParam(wanted);
    if (param == nullptr) return QUILL_ERR_NOT_FOUND;
    FillParamW(s, record, *param);
    return QUILL_OK;
  });
}

osError quill_getTagEncoding(quill_token t, int32_t* encoding) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(encoding);
    *encoding = CallOf(s).encoding;
    return QUILL_OK;
  });
}

osError quill_getTagParam2(quill_token t, int32_t index, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(handle);
    quill_type h = ParamAt(s, index).Own().Handle();
    if (h == 0) return QUILL_ERR_GENERIC;
    *handle = h;
    return QUILL_OK;
  });
}

osError quill_findTagParam2W(quill_token t, const quill_char* name, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    Require(handle);
    const TagParam* param = CallOf(s).FindParam(wanted);
    if (param == nullptr) return QUILL_ERR_NOT_FOUND;
    quill_type h = param->Own().Handle();
    if (h == 0) return QUILL_ERR_GENERIC;
    *handle = h;
    return QUILL_OK;
  });
}

// A call without a self (not a member call) succeeds with handle 0.
osError quill_getTagSelf(quill_token t, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(handle);
    *handle = CallOf(s).self;
    return QUILL_OK;
  });
}

// A failing body also leaves its code and message as the request's result, so a tag that
// passes the code on reports the body's own message.
osError quill_childrenRun(quill_token t, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    Require(handle);
    TagCall& call = CallOf(s);
    if (call.body == nullptr) return QUILL_ERR_NO_TAG;
    Variant* result = call.Own(MakeVariant());
    try {
      call.body->Run(&s, result);
    } catch (const osException& e) {
      auto& request = RequestOf(s);
      const osError code = e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC;
      request.resultCode = code;
      request.resultMessage.SetString(Utf8ToUtf16(e.what()));
      return code;
    }
    quill_type h = result->Handle();
    if (h == 0) return QUILL_ERR_GENERIC;
    *handle = h;
    return QUILL_OK;
  });
}

// flag true: only registered tags, not the ones the request's script defined.
osError quill_findTagW(quill_token t, const quill_char* name, quill_type* handle, bool flag) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    Require(handle);
    auto tag = FindTag(s.request, wanted, flag);
    if (!tag) return QUILL_ERR_NOT_FOUND;
    auto value = MakeVariant();
    value->SetTag(tag.Shared());
    quill_type h = RequestOf(s).Own(std::move(value))->Handle();
    if (h == 0) return QUILL_ERR_GENERIC;
    *handle = h;
    return QUILL_OK;
  });
}

osError quill_tagGetReturnTypeW(quill_token t, quill_type tag, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    const TagDefinition& definition = TagOf(tag);
    Require(record);
    FillW(s, record, definition.name, definition.returnType, QUILL_TYPE_STRING);
    return QUILL_OK;
  });
}

// Tag values share their definition; changing it gives this value its own copy.
osError quill_tagSetReturnTypeW(quill_token t, quill_type tag, const quill_char* typeName) {
  return WithState(t, [&](TExecState&) -> osError {
    const TagDefinition& definition = TagOf(tag);
    auto type = NameArg(typeName);
    auto changed = std::make_shared<TagDefinition>(definition);
    changed->returnType = type;
    ValueOf(tag).GetReferenceDeep()->SetTag(std::move(changed));
    return QUILL_OK;
  });
}

osError quill_tagGetExpectedParamCount(quill_token t, quill_type tag, int32_t* count) {
  return WithState(t, [&](TExecState&) -> osError {
    const TagDefinition& definition = TagOf(tag);
    Require(count);
    *count = static_cast<int32_t>(definition.params.size());
    return QUILL_OK;
  });
}

// record: the parameter's name and, as data, its type name ("" for any type);
// number: 1 for a required parameter, 0 for an optional one. Either may be null.
osError quill_tagGetExpectedParamW(quill_token t, quill_type tag, int32_t index, quill_wvalue_t* record,
                                   int32_t* number) {
  return WithState(t, [&](TExecState& s) -> osError {
    const TagDefinition& definition = TagOf(tag);
    if (index < 0 || static_cast<size_t>(index) >= definition.params.size()) return QUILL_ERR_OUT_OF_RANGE;
    const ExpectedParam& param = definition.params[index];
    if (record != nullptr) FillW(s, record, param.name, param.type, QUILL_TYPE_STRING);
    if (number != nullptr) *number = param.required ? 1 : 0;
    return QUILL_OK;
  });
}

// ---- the tag's value ----

osError quill_returnTagValue(quill_token t, quill_type value) {
  return WithState(t, [&](TExecState& s) -> osError {
    Variant& source = ValueOf(value);
    TagCall& call = CallOf(s);
    if (call.result == nullptr) return QUILL_ERR_NO_TAG;
    call.result->Assign(source);
    AnnounceCopy(s, *call.result, source);
    return QUILL_OK;
  });
}

osError quill_returnTagValueBoolean(quill_token t, bool value) {
  return SetResult(t, [&](Variant& result) { result.SetBoolean(value); });
}

osError quill_returnTagValueInteger(quill_token t, int64_t value) {
  return SetResult(t, [&](Variant& result) { result.SetInteger(value); });
}

osError quill_returnTagValueDecimal(quill_token t, double value) {
  return SetResult(t, [&](Variant& result) { result.SetDecimal(value); });
}

osError quill_returnTagValueStringW(quill_token t, const quill_char* text, int32_t length) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto units = TextArg(text, length);
    TagCall& call = CallOf(s);
    if (call.result == nullptr) return QUILL_ERR_NO_TAG;
    call.result->SetString(std::u16string(units));
    return QUILL_OK;
  });
}

// ---- variables ----
// A name can be both a local and a global variable: the count is then 2 and index 0 is the
// local one. Without a mode, reads and writes take the local variable first, then the global.

osError quill_getVariableCountW(quill_token t, const quill_char* name, int32_t* count) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    Require(count);
    *count = static_cast<int32_t>(VariablesNamed(RequestOf(s), wanted).size());
    return QUILL_OK;
  });
}

osError quill_getVariableW(quill_token t, const quill_char* name, int32_t index, quill_wvalue_t* record) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    Require(record);
    auto found = VariablesNamed(RequestOf(s), wanted);
    if (found.empty()) return QUILL_ERR_NOT_FOUND;
    if (index < 0 || static_cast<size_t>(index) >= found.size()) return QUILL_ERR_OUT_OF_RANGE;
    FillValueW(s, record, std::u16string(wanted), *found[index]);
    return QUILL_OK;
  });
}

osError quill_setVariableW(quill_token t, const quill_char* name, const quill_char* value, int32_t mode) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto variable = NameArg(name);
    auto text = NameArg(value);
    if (variable.empty()) return QUILL_ERR_INVALID;
    ScopeFor(RequestOf(s), mode).Define(variable).SetString(std::u16string(text));
    return QUILL_OK;
  });
}

osError quill_removeVariableW(quill_token t, const quill_char* name, int32_t mode) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto variable = NameArg(name);
    return ScopeFor(RequestOf(s), mode).Remove(variable) ? QUILL_OK : QUILL_ERR_NOT_FOUND;
  });
}

osError quill_getVariable2W(quill_token t, const quill_char* name, quill_type* handle) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto wanted = NameArg(name);
    Require(handle);
    auto found = VariablesNamed(RequestOf(s), wanted);
    if (found.empty()) return QUILL_ERR_NOT_FOUND;
    quill_type h = found.front()->Handle();
    if (h == 0) return QUILL_ERR_GENERIC;
    *handle = h;
    return QUILL_OK;
  });
}

// Sets the local variable, or the global one when only that exists; creates a local one otherwise.
osError quill_setVariable2W(quill_token t, const quill_char* name, quill_type value) {
  return WithState(t, [&](TExecState& s) -> osError {
    auto variable = NameArg(name);
    if (variable.empty()) return QUILL_ERR_INVALID;
    Variant& source = ValueOf(value);
    auto& request = RequestOf(s);
    auto found = VariablesNamed(request, variable);
    Variant& target = found.empty() ? request.locals->Define(variable) : *found.front();
    target.Assign(source);
    AnnounceCopy(s, target, source);
    return QUILL_OK;
  });
}

}  // extern "C"
