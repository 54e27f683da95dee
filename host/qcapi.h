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
  QUILL_ERR_NO_TAG = -9007,        // the execution state runs no tag (no parameters, no body)
  QUILL_ERR_NOT_ALLOWED = -9010,   // the request's user may not do this (or a wrong password)
  QUILL_ERR_EXISTS = -9011         // a constant of that name is already registered
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
  QUILL_REQPARAM_HEADER = 3,   // record.name names a request header (not case-sensitive)
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
// Log levels: 0 critical, 1 warning, 2 detail, 3 deep detail (any other level is kept too).
QUILL_API osError quill_log(int32_t level, const char* format, ...);
// Where lines go from now on: destinations is a set of QUILL_LOG_TO_* bits (0: memory only),
// maxLevel the highest level written there (lower levels are more important; -1: every level).
// Every line stays in the in-memory log whatever the destination.
QUILL_API osError quill_logSetDestination(int32_t destinations, int32_t maxLevel);
enum { QUILL_LOG_TO_STDERR = 1, QUILL_LOG_TO_FILE = 2 };  // the file is <root>/Logs/quill.log

// ---- worker threads ----
// hook runs on each of the host's worker threads as the thread ends, after its last job, in the
// order hooks were added; adding the same hook again does nothing. A module keeps per-thread
// state alive across requests with it and releases it there.
QUILL_API osError quill_onWorkerThreadEnd(void (*hook)(void));

// ---- paths ----
// Internal paths are the server root's view of its files: "/" is the root folder, '/' separates.
// Every function below writes a zero-terminated path into out, at most outSize bytes with the
// terminator (QUILL_ERR_OUT_OF_RANGE when longer; out is then not written). Functions that map
// to files refuse any path that leaves the server root, through ".." or a symbolic link
// (QUILL_ERR_NOT_ALLOWED).
// The host's path notation in the platform's (on this platform the same text).
QUILL_API osError quill_getPlatformSpecificPath(const char* path, char* out, int32_t outSize);
// A platform path under the server root as a full internal path.
QUILL_API osError quill_getInternalPath(const char* path, char* out, int32_t outSize);
// True when path is a full internal path (begins with '/').
QUILL_API bool quill_isFullInternalPath(const char* path);
// A relative internal path completed from the running script's folder, ".." and "." removed;
// with auto-resolve on, symbolic links are resolved too (see quill_resolvePath).
QUILL_API osError quill_fullyQualifyPath(quill_token t, const char* path, char* out, int32_t outSize);
// The full internal path with symbolic links resolved; the target must stay under the root.
QUILL_API osError quill_resolvePath(quill_token t, const char* path, char* out, int32_t outSize);
// As quill_resolvePath, for a file that must exist (QUILL_ERR_NOT_FOUND otherwise).
QUILL_API osError quill_resolveIncludePath(quill_token t, const char* path, char* out, int32_t outSize);
// The platform path of an internal path (relative ones from the running script's folder).
QUILL_API osError quill_internalToFullPlatformPath(quill_token t, const char* path, char* out,
                                                   int32_t outSize);
// Whether the request's fully qualified paths also have their links resolved (off by default).
QUILL_API osError quill_setAutoResolveFullPaths(quill_token t, bool enable);
QUILL_API osError quill_getAutoResolveFullPaths(quill_token t, bool* enable);
// A file's bytes, unchanged: record.data/dataSize (type QUILL_TYPE_STRING). At most 64 MiB.
QUILL_API osError quill_includeRaw(quill_token t, const char* path, quill_value_t* record);

// ---- semaphores (process-wide, by name; names are 8-bit text) ----
// createSem makes a semaphore with one free slot; creating an existing name keeps it and
// succeeds. acquireSem waits for a free slot (QUILL_ERR_NOT_FOUND for an unknown name, or when
// the semaphore is destroyed while waiting); releaseSem gives a slot back
// (QUILL_ERR_INVALID when none is taken). destroySem wakes every waiter.
QUILL_API osError quill_createSem(quill_token t, const char* name);
QUILL_API osError quill_destroySem(quill_token t, const char* name);
QUILL_API osError quill_acquireSem(quill_token t, const char* name);
QUILL_API osError quill_releaseSem(quill_token t, const char* name);

// ---- text formatting ----
// Replaces each "${name}" in text with the text of the request's variable name (locals, then
// globals; an unknown name gives nothing) and "$$" with "$"; the result is UTF-8 in
// record.data/dataSize.
QUILL_API osError quill_formatBuffer(quill_token t, const char* text, quill_value_t* record);

// ---- the stored data (kept in the internal database, table store_data) ----
QUILL_API osError quill_storeHasData(quill_token t, const char* key, int32_t* present);
QUILL_API osError quill_storePutData(quill_token t, const char* key, const void* data, int32_t length);
// record.data/dataSize: the stored bytes; extra receives 0 (reserved). QUILL_ERR_NOT_FOUND.
QUILL_API osError quill_storeGetData(quill_token t, const char* key, quill_value_t* record, int32_t* extra);

// ---- users and rights (kept in the internal database, tables users and user_rights) ----
// isAdministrator and isAnonymous answer 1 or 0 (or an error code).
QUILL_API osError quill_isAdministrator(quill_token t);
QUILL_API osError quill_isAnonymous(quill_token t);
// 0 when the request's user may do operation on target, else QUILL_ERR_NOT_ALLOWED.
enum { QUILL_OP_READ = 1, QUILL_OP_WRITE = 2, QUILL_OP_EXECUTE = 3, QUILL_OP_ADMIN = 4 };
QUILL_API osError quill_operationAllowed(quill_token t, int32_t operation, const char* target);
// What the server itself lets the request's user do with the data source named source (UTF-8,
// as registered) as a whole, the target db:SOURCE/: 0 while no right is configured, for an
// administrator, or when a grant covers it; else QUILL_ERR_NOT_ALLOWED, and the request's result
// message says who may not do what.
QUILL_API osError quill_dataSourceAllowed(quill_token t, int32_t operation, const char* source);
// Makes user the request's user when password is right; a null password is accepted only
// from an administrator, for a user who exists, and the empty user (anonymous) needs neither.
// QUILL_ERR_NOT_ALLOWED otherwise (the user stays as it was).
QUILL_API osError quill_switchToUser(quill_token t, const char* user, const char* password);

// ---- constants (process-wide, visible to every script after registration) ----
// The constant takes a copy of the value. QUILL_ERR_EXISTS when the name is taken.
QUILL_API osError quill_registerConstantW(const quill_char* name, quill_type value);
// A constant in a group: scripts read it as "group::name".
QUILL_API osError quill_registerConstant2W(const quill_char* group, const quill_char* name, quill_type value);

// ---- sites ----
QUILL_API osError quill_getSiteID(quill_token t, int32_t* id);
// The site's name in UTF-16 (host-owned, valid until the state ends) and its length in units.
QUILL_API osError quill_getSiteNameW(quill_token t, const quill_char** name, int32_t* length);

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

// ---- script values ----
// Values a module allocates belong to the request: they die when it ends unless a script keeps
// them (a variable, a tag value, an element of a kept container holds a copy). Containers hold
// their elements as values of their own: the handle of an element names it while it stays in
// its container. Indexes of arrays and maps start at 0.
QUILL_API osError quill_typeAllocW(quill_token t, const quill_char* typeName, int32_t count,
                                   const quill_type* params, quill_type* handle);
QUILL_API osError quill_typeAllocNull(quill_token t, quill_type* handle);
QUILL_API osError quill_typeAllocStringW(quill_token t, quill_type* handle, const quill_char* text,
                                         int32_t length);
QUILL_API osError quill_typeAllocStringConv(quill_token t, quill_type* handle, const void* bytes,
                                            int32_t length, const char* charset);
QUILL_API osError quill_typeAllocInteger(quill_token t, quill_type* handle, int64_t value);
QUILL_API osError quill_typeAllocDecimal(quill_token t, quill_type* handle, double value);
QUILL_API osError quill_typeAllocDecimal2(quill_token t, quill_type* handle, double value, int32_t extra);
QUILL_API osError quill_typeAllocBoolean(quill_token t, quill_type* handle, bool value);
QUILL_API osError quill_typeAllocPair(quill_token t, quill_type* handle, quill_type first, quill_type second);
QUILL_API osError quill_typeAllocReference(quill_token t, quill_type* handle, quill_type target);
QUILL_API osError quill_typeAllocArray(quill_token t, quill_type* handle, int32_t count, const quill_type* elements);
QUILL_API osError quill_typeAllocMap(quill_token t, quill_type* handle, int32_t count, const quill_type* items);
QUILL_API osError quill_typeAllocTagFromSource(quill_token t, quill_type* handle, const char* source,
                                               int32_t length);
QUILL_API osError quill_typeAllocCustomW(quill_token t, quill_type* handle, const quill_char* typeName);
QUILL_API osError quill_typeAllocFromProto(quill_token t, quill_type proto, quill_type* handle);
QUILL_API osError quill_typeAllocOneOffW(quill_token t, const quill_char* first, const quill_char* second,
                                         quill_type* handle);

QUILL_API osError quill_typeFree(quill_token t, quill_type value);
QUILL_API osError quill_typeCollect(quill_token t, quill_type value);
QUILL_API osError quill_typeDetach(quill_token t, quill_type value);
QUILL_API osError quill_typeAssign(quill_token t, quill_type target, quill_type source);
QUILL_API osError quill_typeInheritFrom(quill_token t, quill_type value, quill_type parent);
QUILL_API osError quill_typeStealValue(quill_token t, quill_type target, quill_type source);
QUILL_API osError quill_typeGetParent(quill_token t, quill_type value, quill_type* handle);
QUILL_API osError quill_typeGetChild(quill_token t, quill_type value, quill_type* handle);
QUILL_API osError quill_typeGetProperties(quill_token t, quill_type value, quill_type* handle);
QUILL_API osError quill_typeGetMemberW(quill_token t, quill_type value, const quill_char* name, quill_type* handle);
// 0 when value is of the type (its own or a parent's), 1 when not.
QUILL_API osError quill_typeIsA2W(quill_token t, quill_type value, const quill_char* typeName);
QUILL_API osError quill_typeIsA3(quill_token t, quill_type value, quill_type other);
QUILL_API osError quill_typeRunTagW(quill_token t, const quill_char* tagName, quill_type self, int32_t count,
                                    const quill_type* params, quill_type* handle, quill_type extra);
QUILL_API osError quill_typeRunTag(quill_token t, const char* tagName, quill_type self, int32_t count,
                                   const quill_type* params, quill_type* handle, quill_type extra);

QUILL_API osError quill_typeGetStringW(quill_token t, quill_type value, quill_wvalue_t* record);
QUILL_API osError quill_typeGetNameW(quill_token t, quill_type value, quill_wvalue_t* record);
// The value's text in charset; the bytes come back in record.name / record.nameSize.
QUILL_API osError quill_typeGetStringConv(quill_token t, quill_type value, quill_value_t* record, const char* charset);
QUILL_API osError quill_typeGetInteger(quill_token t, quill_type value, int64_t* number);
QUILL_API osError quill_typeGetDecimal(quill_token t, quill_type value, double* number);
// Pointer members of custom values; the token may be 0.
QUILL_API osError quill_getPtrMemberW(quill_token t, quill_type value, const quill_char* name, void** pointer);
QUILL_API osError quill_setPtrMemberW(quill_token t, quill_type value, const quill_char* name, void* pointer);

QUILL_API osError quill_typeSetStringW(quill_token t, quill_type value, const quill_char* text, int32_t length);
QUILL_API osError quill_typeAppendStringW(quill_token t, quill_type value, const quill_char* text, int32_t length);
QUILL_API osError quill_typeSetStringConv(quill_token t, quill_type value, const void* bytes, int32_t length,
                                          const char* charset);
QUILL_API osError quill_typeSetInteger(quill_token t, quill_type value, int64_t number);
QUILL_API osError quill_typeSetDecimal(quill_token t, quill_type value, double number);
QUILL_API osError quill_typeSetDecimal2(quill_token t, quill_type value, double number, int32_t extra);
QUILL_API osError quill_typeSetBoolean(quill_token t, quill_type value, bool flag);
// Flags: bits of a 32-bit word kept with each value; HasFlag answers 1 or 0.
QUILL_API osError quill_typeSetFlag(quill_token t, quill_type value, int32_t flag);
QUILL_API osError quill_typeHasFlag(quill_token t, quill_type value, int32_t flag);
QUILL_API osError quill_typeClearFlag(quill_token t, quill_type value, int32_t flag);
QUILL_API osError quill_tagSetFlag(quill_token t, quill_type tag, int32_t flag);
QUILL_API osError quill_tagHasFlag(quill_token t, quill_type tag, int32_t flag);
QUILL_API osError quill_tagClearFlag(quill_token t, quill_type tag, int32_t flag);

QUILL_API osError quill_arrayGetSize(quill_token t, quill_type array, int32_t* size);
QUILL_API osError quill_arrayGetElement(quill_token t, quill_type array, int32_t index, quill_type* handle);
QUILL_API osError quill_arraySetElement(quill_token t, quill_type array, int32_t index, quill_type element);
QUILL_API osError quill_arrayRemoveElement(quill_token t, quill_type array, int32_t index);
QUILL_API osError quill_mapGetSize(quill_token t, quill_type map, int32_t* size);
QUILL_API osError quill_mapFindElement(quill_token t, quill_type map, quill_type key, quill_type* handle);
QUILL_API osError quill_mapGetNthElement(quill_token t, quill_type map, int32_t index, quill_type* handle);
QUILL_API osError quill_mapSetElement(quill_token t, quill_type map, quill_type key, quill_type value);
QUILL_API osError quill_mapRemoveElement(quill_token t, quill_type map, quill_type key);
QUILL_API osError quill_pairGetFirst(quill_token t, quill_type pair, quill_type* handle);
QUILL_API osError quill_pairGetSecond(quill_token t, quill_type pair, quill_type* handle);
QUILL_API osError quill_pairSetFirst(quill_token t, quill_type pair, quill_type value);
QUILL_API osError quill_pairSetSecond(quill_token t, quill_type pair, quill_type value);

// ---- custom types with member tags ----
// A new tag value whose body is func; each call gets its own token, from which quill_getTagName
// gives the member name the script used and quill_getTagSelf the value the member runs on.
QUILL_API osError quill_typeAllocTag(quill_token t, quill_type* handle, quill_tag_func func);
// Adds a copy of member to the custom value type under name (replacing a member of that name).
// A tag member is also registered for type's type name, process-wide: every value of that type
// (made later, copied, restored from bytes) finds it after its own members. The last one wins.
QUILL_API osError quill_typeAddMember(quill_token t, quill_type type, const char* name, quill_type member);
// The function the host calls, with the value's handle, on the thread that destroys the custom
// value, just before it dies; null removes it. No token.
typedef void (*quill_type_dtor)(quill_type value);
QUILL_API osError quill_typeSetCustomDtor(quill_type value, quill_type_dtor dtor);
// The value's type name (UTF-8) in record.name / record.nameSize.
QUILL_API osError quill_typeGetName(quill_token t, quill_type value, quill_value_t* record);
// 0 when value is of the type named in UTF-8, 1 when not.
QUILL_API osError quill_typeIsA2(quill_token t, quill_type value, const char* typeName);
// Callbacks a custom type may have as member tags; the host runs them with the value as self:
//   "onassign"      after a script copies a value (parameter 0 names the value copied from);
//   "onserialize"   when the value is written in the serialized form: what the tag outputs
//                   (quill_outputTagBytes) is kept as the value's state;
//   "onunserialize" when the value is read back: parameter 0 holds that state as bytes.

// External byte forms: "serialized" (every kind but tags round-trips) and "json".
QUILL_API osError quill_handleExternalConversion(quill_token t, quill_type value, const char* name,
                                                 quill_value_t* record);
QUILL_API osError quill_handleInternalConversion(quill_token t, const void* bytes, int32_t length,
                                                 const char* name, int32_t extra, quill_type* handle);
// ---- database actions (the token names the execution state of an action) ----
// Records: name and data are 8-bit text the host keeps until the state ends. Texts of the
// action's parameters and results are UTF-8.
// getDataSourceName: each out-parameter is optional. record1 = the database (name and data),
// flag = whether the action named a database, record2 = the data source (name) and its host (data).
QUILL_API osError quill_getDataSourceName(quill_token t, quill_value_t* database, bool* named,
                                          quill_value_t* source);
QUILL_API osError quill_getSchemaName(quill_token t, quill_value_t* record);  // data = schema
QUILL_API osError quill_getTableName(quill_token t, quill_value_t* record);   // data = table
// host: name = data = the host's name or URL, type = its id; login: name = user, data = password;
// extra (getDataHost2): name = the data source's name, data = the host id as text.
QUILL_API osError quill_getDataHost(quill_token t, quill_value_t* host, quill_value_t* login);
QUILL_API osError quill_getDataHost2(quill_token t, quill_value_t* host, quill_value_t* login,
                                     quill_value_t* extra);
QUILL_API osError quill_getSkipRows(quill_token t, int32_t* count);
QUILL_API osError quill_getMaxRows(quill_token t, int32_t* count);  // -1: no limit
QUILL_API osError quill_getRowID(quill_token t, int32_t* id);
QUILL_API osError quill_setRowID(quill_token t, int32_t id);
// name = the key column (empty when none), data = the key value (null when none).
QUILL_API osError quill_getPrimaryKeyColumn(quill_token t, quill_value_t* record);
QUILL_API osError quill_getInputColumnCount(quill_token t, int32_t* count);
// name = column, data = value (null allowed), dataSize = its byte length, type = search operator.
QUILL_API osError quill_getInputColumn(quill_token t, int32_t index, quill_value_t* record);
QUILL_API osError quill_findInputColumn(quill_token t, const char* name, quill_value_t* record);
QUILL_API osError quill_findInputColumnW(quill_token t, const quill_char* name, quill_value_t* record);
QUILL_API osError quill_getLogicalOp(quill_token t, int32_t* op);
QUILL_API osError quill_getSortColumnCount(quill_token t, int32_t* count);
// name = data = column, type 1 = descending, 0 = ascending.
QUILL_API osError quill_getSortColumn(quill_token t, int32_t index, quill_value_t* record);
QUILL_API osError quill_getReturnColumnCount(quill_token t, int32_t* count);
QUILL_API osError quill_getReturnColumn(quill_token t, int32_t index, quill_value_t* record);  // data = column
QUILL_API osError quill_getDataSourceModuleName(quill_token t, quill_value_t* record);       // data = module name
QUILL_API osError quill_getIsStatementOnly(quill_token t, bool* flag);
// The connection slot of the action's data source and host in this request.
QUILL_API osError quill_getDSConnection(quill_token t, void** connection);
QUILL_API osError quill_setDSConnection(quill_token t, void* connection);
QUILL_API osError quill_addDataSourceResultUTF8(quill_token t, const char* text);
// Column descriptions: name (and values) in ISO-8859-1; a = the column's host type code,
// b = its size, c = flags (1 = may be null, 2 = key).
QUILL_API osError quill_addColumnInfo(quill_token t, const char* name, int32_t a, int32_t b, int32_t c);
QUILL_API osError quill_addColumnInfo2(quill_token t, const char* name, int32_t a, int32_t b, int32_t c,
                                       const char* const* values, int32_t count);
// count cells: values[i] (null = a null cell) of lengths[i] bytes.
QUILL_API osError quill_addResultRow(quill_token t, const char* const* values, const int32_t* lengths,
                                     int32_t count);
// rowCount rows of `columns` cells at once: lengths[i] bytes for cell i (-1: a null cell), the
// cells' bytes back to back in `bytes`, which holds byteCount bytes. Nothing is added when a
// length is below -1 or the lengths add up to more than byteCount.
QUILL_API osError quill_addResultRows(quill_token t, int32_t columns, int32_t rowCount, const char* bytes,
                                      int64_t byteCount, const int32_t* lengths);
QUILL_API osError quill_setNumRowsFound(quill_token t, int32_t count);
QUILL_API osError quill_setActionStatementW(quill_token t, const quill_char* statement);

#ifdef __cplusplus
}
#endif
