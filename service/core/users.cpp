#include "service/core/users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "service/core/internal_db.h"

namespace quill_service {
namespace {

constexpr int kIterations = 100000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

osError EnsureTables() {
  osError code = ExecuteBound(
      "CREATE TABLE IF NOT EXISTS users (name TEXT PRIMARY KEY, salt BLOB NOT NULL, hash BLOB NOT NULL, "
      "is_admin INTEGER NOT NULL DEFAULT 0)",
      {});
  if (code != QUILL_OK) return code;
  return ExecuteBound(
      "CREATE TABLE IF NOT EXISTS user_rights (user_name TEXT NOT NULL, operation INTEGER NOT NULL, "
      "target TEXT NOT NULL, PRIMARY KEY (user_name, operation, target))",
      {});
}

std::string Hash(const std::string& password, const std::string& salt) {
  std::string hash(kHashBytes, '\0');
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), kIterations,
                    EVP_sha256(), static_cast<int>(hash.size()), reinterpret_cast<unsigned char*>(hash.data()));
  return hash;
}

SqlValue Blob(std::string bytes) { return {std::move(bytes), true}; }

}  // namespace

osError SetUser(const std::string& name, const std::string& password, bool administrator) {
  if (name.empty()) return QUILL_ERR_INVALID;
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  std::string salt(kSaltBytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1) {
    return QUILL_ERR_GENERIC;
  }
  return ExecuteBound("INSERT OR REPLACE INTO users (name, salt, hash, is_admin) VALUES (?1, ?2, ?3, ?4)",
                      {{name}, Blob(salt), Blob(Hash(password, salt)), {administrator ? "1" : "0"}});
}

osError RemoveUser(const std::string& name) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  if (!UserExists(name)) return QUILL_ERR_NOT_FOUND;
  if (osError code = ExecuteBound("DELETE FROM user_rights WHERE user_name = ?1", {{name}}); code != QUILL_OK) {
    return code;
  }
  return ExecuteBound("DELETE FROM users WHERE name = ?1", {{name}});
}

osError GrantRight(const std::string& user, int32_t operation, const std::string& target) {
  if (target.empty()) return QUILL_ERR_INVALID;
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  if (!user.empty() && !UserExists(user)) return QUILL_ERR_NOT_FOUND;
  return ExecuteBound("INSERT OR IGNORE INTO user_rights (user_name, operation, target) VALUES (?1, ?2, ?3)",
                      {{user}, {std::to_string(operation)}, {target}});
}

osError RevokeRight(const std::string& user, int32_t operation, const std::string& target) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  return ExecuteBound("DELETE FROM user_rights WHERE user_name = ?1 AND operation = ?2 AND target = ?3",
                      {{user}, {std::to_string(operation)}, {target}});
}

osError CheckPassword(const std::string& user, const std::string& password) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  std::vector<SqlRow> rows;
  osError code = ExecuteBound("SELECT salt, hash FROM users WHERE name = ?1", {{user}}, &rows);
  if (code != QUILL_OK) return code;
  // An unknown name is refused without the cost of a hash, so that guessing names cannot keep
  // the server busy; the answer is the same as for a wrong password.
  if (rows.empty() || !rows[0][0] || !rows[0][1]) return QUILL_ERR_NOT_ALLOWED;
  const std::string hash = Hash(password, *rows[0][0]);
  const std::string& stored = *rows[0][1];
  const bool same = stored.size() == hash.size() && CRYPTO_memcmp(stored.data(), hash.data(), hash.size()) == 0;
  return same ? QUILL_OK : QUILL_ERR_NOT_ALLOWED;
}

bool UserExists(const std::string& user) {
  std::vector<SqlRow> rows;
  return EnsureTables() == QUILL_OK &&
         ExecuteBound("SELECT 1 FROM users WHERE name = ?1", {{user}}, &rows) == QUILL_OK && !rows.empty();
}

bool IsAdministrator(const std::string& user) {
  std::vector<SqlRow> rows;
  return !user.empty() && EnsureTables() == QUILL_OK &&
         ExecuteBound("SELECT 1 FROM users WHERE name = ?1 AND is_admin = 1", {{user}}, &rows) == QUILL_OK &&
         !rows.empty();
}

bool OperationAllowed(const std::string& user, int32_t operation, const std::string& target) {
  if (IsAdministrator(user)) return true;
  std::vector<SqlRow> rows;
  if (EnsureTables() != QUILL_OK ||
      ExecuteBound("SELECT target FROM user_rights WHERE user_name IN (?1, '') AND operation = ?2",
                   {{user}, {std::to_string(operation)}}, &rows) != QUILL_OK) {
    return false;
  }
  for (const SqlRow& row : rows) {
    if (!row[0]) continue;
    const std::string& granted = *row[0];
    if (granted == target) return true;
    if (!granted.empty() && granted.back() == '*' &&
        target.compare(0, granted.size() - 1, granted, 0, granted.size() - 1) == 0) {
      return true;
    }
  }
  return false;
}

osError ListUsers(std::vector<UserInfo>* users) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  std::vector<SqlRow> rows;
  osError code = ExecuteBound("SELECT name, is_admin FROM users ORDER BY name", {}, &rows);
  if (code != QUILL_OK) return code;
  for (const SqlRow& row : rows) {
    UserInfo info{row[0].value_or(""), row[1].value_or("0") == "1", {}};
    std::vector<SqlRow> rights;
    ExecuteBound("SELECT operation, target FROM user_rights WHERE user_name = ?1 ORDER BY operation, target",
                 {{info.name}}, &rights);
    for (const SqlRow& right : rights) info.rights.push_back(right[0].value_or("") + " " + right[1].value_or(""));
    users->push_back(std::move(info));
  }
  return QUILL_OK;
}

}  // namespace quill_service
