// What every QCAPI function file shares: resolving the token, failing with a code, and the
// 8-bit records the host keeps alive for the execution state.
#pragma once

#include <string>

#include "host/qcapi.h"
#include "host/request.h"
#include "service/values/request_data.h"

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
inline void FillData(TExecState& state, quill_value_t* record, std::string data, int32_t type) {
  const auto size = static_cast<uint32_t>(data.size());
  record->data = state.Keep(std::move(data));
  record->dataSize = size;
  record->type = type;
}

}  // namespace quill_service
