// The QCAPI functions of the server's general services: semaphores, text formatting, the
// stored data, users and rights, paths, raw inclusion and sites.
//
// Their 8-bit texts (names, keys, users, passwords, targets, paths) arrive in ISO-8859-1, as the
// module sends them, and are kept as UTF-8 like every other text of the host; the paths they
// write back are UTF-8, which is what the module reads them as.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/qcapi.h"
#include "host/site.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/core/paths.h"
#include "service/core/rights.h"
#include "service/core/schema.h"
#include "service/core/semaphores.h"
#include "service/core/users.h"
#include "service/values/qcapi_support.h"
#include "service/values/text.h"

using namespace quill_service;

namespace {

constexpr size_t kMaxIncludeBytes = 64u << 20;

template <class Body>
osError WithName(quill_token t, const char* name, Body&& body) {
  return WithState(t, [&](TExecState&) {
    Require(name);
    return body(Latin1ToUtf8(name));
  });
}

// ---- paths ----

const std::string& ServerRoot() {
  const Host* host = Host::Instance();
  if (host == nullptr) Fail(QUILL_ERR_NOT_FOUND, "the server has no root");
  return host->Root();
}

// The running script's folder as a full internal path: a script file under the root is seen
// there, a script named by an internal path (a request path) is taken as one, anything else
// runs from "/".
std::string ScriptFolder(const Request::Data& request, const std::string& root) {
  const std::string& script = request.scriptPath;
  if (script.empty()) return "/";
  const Host* host = Host::Instance();
  const std::string platform = script.front() == '/' || host == nullptr ? script : host->LaunchDirectory() + script;
  std::optional<std::string> internal = PlatformToInternalPath(root, platform);
  if (!internal && script.front() == '/') internal = QualifyInternalPath(script, "/");
  if (!internal) return "/";
  return internal->substr(0, internal->rfind('/') + 1);
}

// The path services answer only for paths the request's user may read, both as written and
// where their links lead.
void RequireReadable(TExecState& state, const std::string& internal) {
  const std::string& user = RequestOf(state).user;
  if (!ServerAllows(user, QUILL_OP_READ, internal)) Fail(QUILL_ERR_NOT_ALLOWED, RefusalMessage(user, QUILL_OP_READ, internal).c_str());
}

std::string Qualified(TExecState& state, const char* path) {
  Require(path);
  const std::string& root = ServerRoot();
  std::optional<std::string> full = QualifyInternalPath(Latin1ToUtf8(path), ScriptFolder(RequestOf(state), root));
  if (!full) Fail(QUILL_ERR_NOT_ALLOWED, "the path leaves the server root");
  RequireReadable(state, *full);
  return *full;
}

std::string Resolved(TExecState& state, const std::string& internal) {
  std::optional<std::string> real = ResolveInternalLinks(ServerRoot(), internal);
  if (!real) Fail(QUILL_ERR_NOT_ALLOWED, "the path leads out of the server root");
  if (*real != internal) RequireReadable(state, *real);
  return *real;
}

std::string ExistingFile(TExecState& state, const char* path) {
  const std::string real = Resolved(state, Qualified(state, path));
  std::error_code ec;
  if (!std::filesystem::is_regular_file(InternalToPlatformPath(ServerRoot(), real), ec)) {
    Fail(QUILL_ERR_NOT_FOUND, "no such file");
  }
  return real;
}

// ---- stored data ----

void EnsureStore() {
  const osError code = ExecuteBound(schema::kStoredData, {});
  if (code != QUILL_OK) Fail(code, "the store cannot be used");
}

std::optional<std::string> StoredData(const char* key) {
  Require(key);
  EnsureStore();
  std::vector<SqlRow> rows;
  const osError code = ExecuteBound("SELECT data FROM store_data WHERE store_key = ?1", {{Latin1ToUtf8(key)}}, &rows);
  if (code != QUILL_OK) Fail(code, "the store cannot be read");
  if (rows.empty()) return std::nullopt;
  return rows[0][0].value_or("");
}

// ---- formatting ----

std::string Format(TExecState& state, std::string_view text) {
  Request::Data& request = RequestOf(state);
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t dollar = text.find('$', i);
    AppendLatin1AsUtf8(out, text.substr(i, dollar - i));
    if (dollar == std::string_view::npos) break;
    if (text.substr(dollar, 2) == "$$") {
      out += '$';
      i = dollar + 2;
      continue;
    }
    const size_t close = text.find('}', dollar);
    if (text.substr(dollar, 2) != "${" || close == std::string_view::npos) {
      out += '$';
      i = dollar + 1;
      continue;
    }
    std::string nameUtf8;
    AppendLatin1AsUtf8(nameUtf8, text.substr(dollar + 2, close - dollar - 2));
    const std::u16string name = Utf8ToUtf16(nameUtf8);
    const Variant* value = request.locals->Find(name);
    if (value == nullptr) value = request.globals.Find(name);
    if (value != nullptr) AppendUtf8(out, value->GetString(&state));
    i = close + 1;
  }
  return out;
}

}  // namespace

extern "C" {

osError quill_createSem(quill_token t, const char* name) {
  return WithName(t, name, [](const std::string& n) { return SemaphoreTable::Global().Create(n); });
}
osError quill_destroySem(quill_token t, const char* name) {
  return WithName(t, name, [](const std::string& n) { return SemaphoreTable::Global().Destroy(n); });
}
osError quill_acquireSem(quill_token t, const char* name) {
  return WithName(t, name, [](const std::string& n) { return SemaphoreTable::Global().Acquire(n); });
}
osError quill_releaseSem(quill_token t, const char* name) {
  return WithName(t, name, [](const std::string& n) { return SemaphoreTable::Global().Release(n); });
}

osError quill_formatBuffer(quill_token t, const char* text, quill_value_t* record) {
  return WithState(t, [&](TExecState& state) {
    Require(text);
    Require(record);
    FillData(state, record, Format(state, text), QUILL_TYPE_STRING);
    return QUILL_OK;
  });
}

osError quill_storeHasData(quill_token t, const char* key, int32_t* present) {
  return WithState(t, [&](TExecState&) {
    Require(present);
    *present = StoredData(key).has_value() ? 1 : 0;
    return QUILL_OK;
  });
}

osError quill_storePutData(quill_token t, const char* key, const void* data, int32_t length) {
  return WithState(t, [&](TExecState&) {
    Require(key);
    if (length < 0 || (data == nullptr && length > 0)) Fail(QUILL_ERR_INVALID, "bad data");
    EnsureStore();
    std::string bytes(static_cast<const char*>(data), static_cast<size_t>(length));
    return ExecuteBound("INSERT INTO store_data (store_key, data) VALUES (?1, ?2) "
                        "ON CONFLICT (store_key) DO UPDATE SET data = excluded.data",
                        {{Latin1ToUtf8(key)}, {std::move(bytes), true}});
  });
}

osError quill_storeGetData(quill_token t, const char* key, quill_value_t* record, int32_t* extra) {
  return WithState(t, [&](TExecState& state) {
    Require(record);
    std::optional<std::string> data = StoredData(key);
    if (!data) return QUILL_ERR_NOT_FOUND;
    FillData(state, record, std::move(*data), QUILL_TYPE_STRING);
    if (extra != nullptr) *extra = 0;
    return QUILL_OK;
  });
}

osError quill_isAdministrator(quill_token t) {
  return WithState(t, [](TExecState& state) { return IsAdministrator(RequestOf(state).user) ? 1 : 0; });
}

osError quill_isAnonymous(quill_token t) {
  return WithState(t, [](TExecState& state) { return RequestOf(state).user.empty() ? 1 : 0; });
}

osError quill_operationAllowed(quill_token t, int32_t operation, const char* target) {
  return WithState(t, [&](TExecState& state) {
    Require(target);
    return OperationAllowed(RequestOf(state).user, operation, Latin1ToUtf8(target)) ? QUILL_OK : QUILL_ERR_NOT_ALLOWED;
  });
}

osError quill_dataSourceAllowed(quill_token t, int32_t operation, const char* source) {
  return WithState(t, [&](TExecState& state) {
    Require(source);
    Request::Data& request = RequestOf(state);
    const std::string target = DataSourceTarget(source);
    if (ServerAllows(request.user, operation, target)) return QUILL_OK;
    request.resultMessage.SetString(Utf8ToUtf16(RefusalMessage(request.user, operation, target)));
    return QUILL_ERR_NOT_ALLOWED;
  });
}

osError quill_switchToUser(quill_token t, const char* user, const char* password) {
  return WithState(t, [&](TExecState& state) {
    Require(user);
    Request::Data& request = RequestOf(state);
    const std::string name = Latin1ToUtf8(user);
    // Becoming anonymous only gives rights up; an administrator may become anyone who exists.
    const bool allowed = name.empty() ||
                         (password != nullptr ? CheckPassword(name, Latin1ToUtf8(password)) == QUILL_OK
                                              : IsAdministrator(request.user) && UserExists(name));
    if (!allowed) return QUILL_ERR_NOT_ALLOWED;
    request.user = name;
    return QUILL_OK;
  });
}

osError quill_getInternalPath(const char* path, char* out, int32_t outSize) {
  if (path == nullptr) return QUILL_ERR_INVALID;
  const Host* host = Host::Instance();
  if (host == nullptr) return QUILL_ERR_NOT_FOUND;
  const std::string utf8 = Latin1ToUtf8(path);
  const std::string platform = !utf8.empty() && utf8.front() == '/' ? utf8 : host->Root() + utf8;
  const std::optional<std::string> internal = PlatformToInternalPath(host->Root(), platform);
  if (!internal) return QUILL_ERR_NOT_ALLOWED;
  return WritePath(*internal, out, outSize);
}

bool quill_isFullInternalPath(const char* path) { return path != nullptr && *path == '/'; }

osError quill_fullyQualifyPath(quill_token t, const char* path, char* out, int32_t outSize) {
  return WithState(t, [&](TExecState& state) {
    std::string full = Qualified(state, path);
    if (RequestOf(state).autoResolveFullPaths) full = Resolved(state, full);
    return WritePath(full, out, outSize);
  });
}

osError quill_resolvePath(quill_token t, const char* path, char* out, int32_t outSize) {
  return WithState(t, [&](TExecState& state) { return WritePath(Resolved(state, Qualified(state, path)), out, outSize); });
}

osError quill_resolveIncludePath(quill_token t, const char* path, char* out, int32_t outSize) {
  return WithState(t, [&](TExecState& state) { return WritePath(ExistingFile(state, path), out, outSize); });
}

osError quill_internalToFullPlatformPath(quill_token t, const char* path, char* out, int32_t outSize) {
  return WithState(t, [&](TExecState& state) {
    const std::string full = Qualified(state, path);
    Resolved(state, full);  // refuses a path whose links lead out of the root or the user's reach
    return WritePath(InternalToPlatformPath(ServerRoot(), full), out, outSize);
  });
}

osError quill_setAutoResolveFullPaths(quill_token t, bool enable) {
  return WithState(t, [&](TExecState& state) {
    RequestOf(state).autoResolveFullPaths = enable;
    return QUILL_OK;
  });
}

osError quill_getAutoResolveFullPaths(quill_token t, bool* enable) {
  return WithState(t, [&](TExecState& state) {
    Require(enable);
    *enable = RequestOf(state).autoResolveFullPaths;
    return QUILL_OK;
  });
}

osError quill_includeRaw(quill_token t, const char* path, quill_value_t* record) {
  return WithState(t, [&](TExecState& state) {
    Require(record);
    const std::string file = InternalToPlatformPath(ServerRoot(), ExistingFile(state, path));
    std::error_code ec;
    if (std::filesystem::file_size(file, ec) > kMaxIncludeBytes || ec) Fail(QUILL_ERR_OUT_OF_RANGE, "file too large");
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in) Fail(QUILL_ERR_GENERIC, "the file cannot be read");
    FillData(state, record, bytes.str(), QUILL_TYPE_STRING);
    return QUILL_OK;
  });
}

osError quill_getSiteID(quill_token t, int32_t* id) {
  return WithState(t, [&](TExecState& state) {
    Require(id);
    const Site* site = RequestOf(state).site;
    *id = site != nullptr ? site->GetID() : 0;
    return QUILL_OK;
  });
}

osError quill_getSiteNameW(quill_token t, const quill_char** name, int32_t* length) {
  return WithState(t, [&](TExecState& state) {
    Require(name);
    Require(length);
    const Site* site = RequestOf(state).site;
    if (site == nullptr) Fail(QUILL_ERR_NOT_FOUND, "the request has no site");
    *name = Units(site->GetName());
    *length = static_cast<int32_t>(site->GetName().size());
    return QUILL_OK;
  });
}

}  // extern "C"
