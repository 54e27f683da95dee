// The host's C extension interface (QCAPI): the quill_* functions a module calls.
//
// Rules shared by every function:
//  - the result is an osError, 0 for success; out-parameters are written only on success;
//  - most functions take the request token first; a token that names no live execution
//    state is refused with QUILL_ERR_BAD_TOKEN, never followed;
//  - a `W` suffix means UTF-16 text, zero-terminated unless a length is passed;
//  - records (quill_value_t, quill_wvalue_t) point at text the host owns; it stays valid until
//    the execution state the token names ends, or until the value it was read from changes;
//  - type handles name host values; a handle that names no live value gives QUILL_ERR_BAD_HANDLE.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define QUILL_API __attribute__((visibility("default")))
#else
#define QUILL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t osError;
typedef int32_t quill_token;  // names a live TExecState (a host table slot, never an address)
typedef int32_t quill_type;   // names a live Variant in the host's value table
typedef uint16_t quill_char;  // one UTF-16 code unit; the same width as jchar and UChar

enum {
  QUILL_OK = 0,
  QUILL_ERR_GENERIC = -1,
  QUILL_ERR_BAD_TOKEN = -9001,     // token 0, or a state that has ended
  QUILL_ERR_BAD_HANDLE = -9002,    // type handle 0 or stale
  QUILL_ERR_NOT_FOUND = -9003,     // parameter, variable, cookie, header or tag not found
  QUILL_ERR_OUT_OF_RANGE = -9004,  // index out of range
  QUILL_ERR_WRONG_TYPE = -9005,    // value of another kind than the call needs
  QUILL_ERR_INVALID = -9006,       // malformed argument (null text, negative length, ...)
  QUILL_ERR_NO_TAG = -9007         // the execution state runs no tag (no parameters, no body)
};

// Four-character host type codes: bytes most significant first.
#define QUILL_FOURCC(a, b, c, d) \
  ((int32_t)(((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d)))
#define QUILL_TYPE_NULL QUILL_FOURCC('n', 'u', 'l', 'l')
#define QUILL_TYPE_STRING QUILL_FOURCC('s', 't', 'r', 'g')
#define QUILL_TYPE_INTEGER QUILL_FOURCC('i', 'n', 't', 'g')
#define QUILL_TYPE_DECIMAL QUILL_FOURCC('d', 'e', 'c', 'm')
#define QUILL_TYPE_BOOLEAN QUILL_FOURCC('b', 'o', 'o', 'l')
#define QUILL_TYPE_BYTES QUILL_FOURCC('b', 'y', 't', 'e')
#define QUILL_TYPE_ARRAY QUILL_FOURCC('a', 'r', 'r', 'y')
#define QUILL_TYPE_MAP QUILL_FOURCC('m', 'a', 'p', ' ')
#define QUILL_TYPE_PAIR QUILL_FOURCC('p', 'a', 'i', 'r')
#define QUILL_TYPE_TAG QUILL_FOURCC('c', 'o', 'd', 'e')
#define QUILL_TYPE_CUSTOM QUILL_FOURCC('c', 'u', 's', 't')
#define QUILL_TYPE_REFERENCE QUILL_FOURCC('r', 'e', 'f', ' ')
#define QUILL_TYPE_TEXT QUILL_FOURCC('T', 'E', 'X', 'T')

// Selectors of quill_getRequestParam / quill_getQuillParam.
enum {
  QUILL_REQPARAM_BY_NAME = 0,  // record.name names a request parameter (query or form field)
  QUILL_REQPARAM_METHOD = 1,   // the request method
  QUILL_REQPARAM_PATH = 2,     // the request path
  QUILL_QUILLPARAM_VERSION = 0,    // the host's version text
  QUILL_QUILLPARAM_ROOT = 1,       // the server root folder
  QUILL_QUILLPARAM_SCRIPT = 2      // the path of the running script
};

// Variable modes of quill_setVariableW / quill_removeVariableW.
enum { QUILL_VAR_LOCAL = 0, QUILL_VAR_GLOBAL = 1 };

// Encodings reported by quill_getTagEncoding.
enum { QUILL_ENCODE_NONE = 0, QUILL_ENCODE_HTML = 1, QUILL_ENCODE_URL = 2, QUILL_ENCODE_XML = 3 };

typedef struct quill_value_t {
  const char* name;
  uint32_t nameSize;
  const char* data;
  uint32_t dataSize;
  int32_t type;
} quill_value_t;

typedef struct quill_wvalue_t {
  const quill_char* name;
  int32_t nameSize;
  const quill_char* data;
  int32_t dataSize;
  int32_t type;
} quill_wvalue_t;

// A tag body implemented in C (member tags of custom types).
typedef osError (*quill_tag_func)(quill_token token);

// ---- logging ----
QUILL_API osError quill_log(int32_t level, const char* format, ...);
QUILL_API osError quill_logSetDestination(int32_t first, int32_t second);

// ---- paths ----
QUILL_API osError quill_getPlatformSpecificPath(const char* path, char* out, int32_t outSize);

// ---- request, result and output ----
QUILL_API osError quill_getRequestParam(quill_token t, int32_t which, quill_value_t* record);
QUILL_API osError quill_getQuillParam(quill_token t, int32_t which, quill_value_t* record);
QUILL_API osError quill_setResultCode(quill_token t, osError code);
QUILL_API osError quill_setResultMessage(quill_token t, const char* message);
QUILL_API osError quill_setResultMessageW(quill_token t, const quill_char* message);
QUILL_API osError quill_outputTagData2W(quill_token t, const quill_char* text, int32_t length);
QUILL_API osError quill_outputTagBytes(quill_token t, const void* bytes, int32_t length);
QUILL_API osError quill_getResultHeaderW(quill_token t, quill_wvalue_t* record);
QUILL_API osError quill_setResultHeaderW(quill_token t, const quill_char* header);
QUILL_API osError quill_addResultHeaderW(quill_token t, const quill_char* header);
QUILL_API osError quill_getCookieValueW(quill_token t, const quill_char* name, quill_wvalue_t* record);

// ---- the running tag ----
QUILL_API osError quill_getTagName(quill_token t, quill_value_t* record);  // name in data/dataSize
QUILL_API osError quill_getTagNameW(quill_token t, quill_wvalue_t* record);
QUILL_API osError quill_getTagParamCount(quill_token t, int32_t* count);
QUILL_API osError quill_getTagParamW(quill_token t, int32_t index, quill_wvalue_t* record);
QUILL_API osError quill_tagParamIsDefinedW(quill_token t, const quill_char* name);
QUILL_API osError quill_findTagParamW(quill_token t, const quill_char* name, quill_wvalue_t* record);
QUILL_API osError quill_getTagEncoding(quill_token t, int32_t* encoding);
QUILL_API osError quill_getTagParam2(quill_token t, int32_t index, quill_type* handle);
QUILL_API osError quill_findTagParam2W(quill_token t, const quill_char* name, quill_type* handle);
QUILL_API osError quill_getTagSelf(quill_token t, quill_type* handle);
QUILL_API osError quill_childrenRun(quill_token t, quill_type* handle);
QUILL_API osError quill_findTagW(quill_token t, const quill_char* name, quill_type* handle, bool flag);
QUILL_API osError quill_tagGetReturnTypeW(quill_token t, quill_type tag, quill_wvalue_t* record);
QUILL_API osError quill_tagSetReturnTypeW(quill_token t, quill_type tag, const quill_char* typeName);
QUILL_API osError quill_tagGetExpectedParamCount(quill_token t, quill_type tag, int32_t* count);
QUILL_API osError quill_tagGetExpectedParamW(quill_token t, quill_type tag, int32_t index,
                                             quill_wvalue_t* record, int32_t* number);

// ---- the tag's value ----
QUILL_API osError quill_returnTagValue(quill_token t, quill_type value);
QUILL_API osError quill_returnTagValueBoolean(quill_token t, bool value);
QUILL_API osError quill_returnTagValueInteger(quill_token t, int64_t value);
QUILL_API osError quill_returnTagValueDecimal(quill_token t, double value);
QUILL_API osError quill_returnTagValueStringW(quill_token t, const quill_char* text, int32_t length);

// ---- variables ----
QUILL_API osError quill_getVariableCountW(quill_token t, const quill_char* name, int32_t* count);
QUILL_API osError quill_getVariableW(quill_token t, const quill_char* name, int32_t index,
                                     quill_wvalue_t* record);
QUILL_API osError quill_setVariableW(quill_token t, const quill_char* name, const quill_char* value,
                                     int32_t mode);
QUILL_API osError quill_removeVariableW(quill_token t, const quill_char* name, int32_t mode);
QUILL_API osError quill_getVariable2W(quill_token t, const quill_char* name, quill_type* handle);
QUILL_API osError quill_setVariable2W(quill_token t, const quill_char* name, quill_type value);

#ifdef __cplusplus
}
#endif
