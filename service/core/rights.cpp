#include "service/core/rights.h"

#include <atomic>
#include <cctype>
#include <charconv>
#include <utility>

#include "service/core/internal_db.h"
#include "service/core/paths.h"
#include "service/core/users.h"

namespace quill_service {
namespace {

constexpr std::string_view kPathKinds[] = {"page:", "file:"};
constexpr std::string_view kDataSourceKind = "db:";

bool HasControl(std::string_view text) {
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// A name as one segment of a target.
void AppendEncoded(std::string& out, std::string_view name, std::string_view alsoEncoded = {}) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const unsigned char c : name) {
    if (c == '%' || c == '/' || c < 0x20 || c == 0x7F || alsoEncoded.find(static_cast<char>(c)) != std::string_view::npos) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::string> NormaliseBody(std::string_view target) {
  if (HasControl(target)) return std::nullopt;
  if (!target.empty() && target.front() == '/') return QualifyInternalPath(target, "/");
  for (const std::string_view kind : kPathKinds) {
    if (!target.starts_with(kind)) continue;
    const std::string_view path = target.substr(kind.size());
    if (path.empty() || path.front() != '/') return std::nullopt;
    std::optional<std::string> normal = QualifyInternalPath(path, "/");
    if (!normal) return std::nullopt;
    return std::string(kind) + *normal;
  }
  if (target.starts_with(kDataSourceKind)) {
    const std::string_view rest = target.substr(kDataSourceKind.size());
    const size_t slash = rest.find('/');
    const std::string_view source = rest.substr(0, slash);
    return std::string(kDataSourceKind) + Lower(source) +
           std::string(slash == std::string_view::npos ? std::string_view() : rest.substr(slash));
  }
  return std::string(target);
}

}  // namespace

std::string PageTarget(std::string_view pathInWebFolder) { return "page:" + std::string(pathInWebFolder); }

std::string ScriptFileTarget(std::string_view absolutePath) { return "file:" + std::string(absolutePath); }

std::string DataSourceTarget(std::string_view source, const std::string* database, const std::string* table,
                             std::string_view schema) {
  std::string target(kDataSourceKind);
  AppendEncoded(target, Lower(source));
  target += '/';
  if (database == nullptr) return target;
  AppendEncoded(target, *database);
  target += '/';
  if (table == nullptr) return target;
  if (!schema.empty()) {
    AppendEncoded(target, schema, ".");
    target += '.';
  }
  AppendEncoded(target, *table);
  return target;
}

std::optional<std::string> NormaliseTarget(std::string_view target) { return NormaliseBody(target); }

std::optional<std::string> NormaliseGrant(std::string_view grant) {
  if (grant.empty() || HasControl(grant)) return std::nullopt;
  if (grant == "*" || !grant.ends_with('*')) return grant == "*" ? std::optional<std::string>("*") : NormaliseBody(grant);
  // The head of a prefix grant is normalised as a target would be: "/docs/../x/*" is "/x/*".
  const std::string_view head = grant.substr(0, grant.size() - 1);
  for (const std::string_view kind : kPathKinds) {
    if (head == kind) return std::string(grant);
  }
  std::optional<std::string> normal = NormaliseBody(head);
  if (!normal) return std::nullopt;
  return *normal + "*";
}

bool GrantCovers(std::string_view grant, std::string_view target) {
  if (grant == target) return true;
  if (grant.empty() || grant.back() != '*') return false;
  const std::string_view head = grant.substr(0, grant.size() - 1);
  // "/docs/*" covers the folder "/docs" itself as well as what is in it.
  return target.starts_with(head) || (head.size() > 1 && head.back() == '/' && target == head.substr(0, head.size() - 1));
}

std::string OperationWord(int32_t operation) {
  switch (operation) {
    case QUILL_OP_READ: return "read";
    case QUILL_OP_WRITE: return "write";
    case QUILL_OP_EXECUTE: return "execute";
    case QUILL_OP_ADMIN: return "admin";
    default: return std::to_string(operation);
  }
}

std::optional<int32_t> OperationFromWord(std::string_view word) {
  for (const int32_t operation : {QUILL_OP_READ, QUILL_OP_WRITE, QUILL_OP_EXECUTE, QUILL_OP_ADMIN}) {
    if (word == OperationWord(operation)) return operation;
  }
  int32_t number = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
  if (word.empty() || error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return number;
}

namespace {

// Whether rights are in force, and whether that answer was read (not assumed for a failed read).
std::pair<bool, bool> ReadRightsEnforced() {
  // A statement naming a table that is not there fails to compile, and every failed attempt is a
  // parse: the table is looked up first, until it has been seen. A read that fails after that
  // (another database opened, the table gone) looks the table up again.
  static std::atomic<bool> tableSeen{false};
  for (bool lookUp = !tableSeen.load(std::memory_order_relaxed);; lookUp = true) {
    std::vector<SqlRow> rows;
    if (lookUp) {
      const osError code =
          ExecuteBound("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'user_rights'", {}, &rows);
      if (code == kStorageUnknownDatabase) return {false, false};  // no internal database: no right
      // A database that cannot be read enforces (refusing is safe); no table yet is no right yet.
      if (code != QUILL_OK) return {true, false};
      if (rows.empty()) return {false, true};
      tableSeen.store(true, std::memory_order_relaxed);
      rows.clear();
    }
    if (ExecuteBound("SELECT 1 FROM user_rights LIMIT 1", {}, &rows) == QUILL_OK) return {!rows.empty(), true};
    tableSeen.store(false, std::memory_order_relaxed);
    if (lookUp) return {true, false};
  }
}

}  // namespace

bool RightsEnforced() {
  // Asked before every action the server checks; a grant made by this process counts at once.
  static RecentAnswers<int, bool> answer;
  return answer.Get(0, ReadRightsEnforced);
}

bool ServerAllows(const std::string& user, int32_t operation, std::string_view target) {
  if (!RightsEnforced()) return true;
  return OperationAllowed(user, operation, std::string(target));
}

std::string RefusalMessage(const std::string& user, int32_t operation, std::string_view target) {
  return (user.empty() ? std::string("the anonymous user") : user) + " may not " + OperationWord(operation) + " " +
         std::string(target);
}

}  // namespace quill_service
