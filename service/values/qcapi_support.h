// What every QCAPI function file shares: resolving the token, failing with a code, and the
// 8-bit records the host keeps alive for the execution state.
#pragma once

#include <string>

#include "host/qcapi.h"
#include "host/request.h"
#include "service/values/request_data.h"
#include "service/values/tag_call.h"
#include "service/values/text.h"
#include "service/values/value_forms.h"

namespace quill_service {

[[noreturn]] inline void Fail(osError code, const char* text) { throw osException(text, code); }

// Resolves the token and runs body on its state; a failure thrown inside becomes the result.
template <class Body>
osError WithState(quill_token token, Body&& body) {
  TExecState* state = TExecState::FromToken(token);
  if (state == nullptr) return QUILL_ERR_BAD_TOKEN;
  try {
    return body(*state);
  } catch (const osException& e) {
    return e.GetCode() != 0 ? e.GetCode() : QUILL_ERR_GENERIC;
  } catch (...) {
    return QUILL_ERR_GENERIC;
  }
}

inline void Require(const void* pointer) {
  if (pointer == nullptr) Fail(QUILL_ERR_INVALID, "null argument");
}

inline Request::Data& RequestOf(TExecState& state) {
  if (state.request == nullptr) Fail(QUILL_ERR_NOT_FOUND, "the execution state has no request");
  return state.request->Contents();
}

// The data fields of an 8-bit record; name and nameSize stay the caller's.
inline void FillData(TExecState& state, quill_value_t* record, std::string_view data, int32_t type) {
  const auto size = static_cast<uint32_t>(data.size());
  record->data = state.Keep(data);
  record->dataSize = size;
  record->type = type;
}

inline TagCall& CallOf(TExecState& state) {
  if (state.call == nullptr) Fail(QUILL_ERR_NO_TAG, "the execution state runs no tag");
  return *state.call;
}

// The running tag's parameter at index, in the order written.
inline const TagParam& ParamAt(TExecState& state, int32_t index) {
  const auto& params = CallOf(state).params;
  if (index < 0 || static_cast<size_t>(index) >= params.size()) Fail(QUILL_ERR_OUT_OF_RANGE, "no such parameter");
  return params[static_cast<size_t>(index)];
}

inline Variant& ValueOf(quill_type handle) {
  Variant* value = Variant::FromHandle(handle);
  if (value == nullptr) Fail(QUILL_ERR_BAD_HANDLE, "no such value");
  return *value;
}

inline const TagDefinition& TagOf(quill_type handle) {
  auto* tag = Get<TagValue>(*ValueOf(handle).GetReferenceDeep());
  if (tag == nullptr) Fail(QUILL_ERR_WRONG_TYPE, "not a tag");
  return **tag;
}

// Text with an explicit length, or zero-terminated when length is -1.
inline std::u16string_view TextArg(const quill_char* text, int32_t length) {
  if (length < -1) Fail(QUILL_ERR_INVALID, "negative length");
  if (text == nullptr) {
    if (length > 0) Fail(QUILL_ERR_INVALID, "null text");
    return {};
  }
  return length == -1 ? View(text) : View(text, static_cast<size_t>(length));
}

inline std::u16string_view NameArg(const quill_char* name) {
  Require(name);
  return View(name);
}

inline void FillW(TExecState& state, quill_wvalue_t* record, std::u16string_view name, std::u16string_view data,
                  int32_t type) {
  const int32_t nameSize = static_cast<int32_t>(name.size());
  const int32_t dataSize = static_cast<int32_t>(data.size());
  const quill_char* namePtr = state.Keep(name);
  const quill_char* dataPtr = state.Keep(data);
  *record = {namePtr, nameSize, dataPtr, dataSize, type};
}

inline void FillValueW(TExecState& state, quill_wvalue_t* record, std::u16string_view name, const Variant& value) {
  FillW(state, record, name, value.GetString(&state), value.GetType());
}

}  // namespace quill_service
