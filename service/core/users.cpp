#include "service/core/users.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <unicode/utf8.h>

#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "service/core/internal_db.h"
#include "service/core/rights.h"
#include "service/core/schema.h"

namespace quill_service {
namespace {

constexpr int kIterations = 100000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

osError EnsureTables() {
  const osError code = ExecuteBound(schema::kUsers, {});
  return code != QUILL_OK ? code : ExecuteBound(schema::kUserRights, {});
}

std::string Hash(const std::string& password, const std::string& salt) {
  std::string hash(kHashBytes, '\0');
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), kIterations,
                    EVP_sha256(), static_cast<int>(hash.size()), reinterpret_cast<unsigned char*>(hash.data()));
  return hash;
}

SqlValue Blob(std::string bytes) { return {std::move(bytes), true}; }

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(bytes.size())) != 1) return {};
  return bytes;
}

bool SameBytes(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Passwords proved right, by user: the stored hash they were proved against and a keyed digest
// of the password (the key lives only in this process). Never the password itself.
class ProvenPasswords {
 public:
  bool Holds(const std::string& user, const std::string& stored, const std::string& password) {
    std::lock_guard guard(lock_);
    const auto found = entries_.find(user);
    return found != entries_.end() && SameBytes(found->second.stored, stored) &&
           SameBytes(found->second.digest, Digest(password));
  }
  void Remember(const std::string& user, const std::string& stored, const std::string& password) {
    std::lock_guard guard(lock_);
    if (entries_.size() >= kMaxEntries) entries_.clear();
    entries_[user] = {stored, Digest(password)};
  }

 private:
  static constexpr size_t kMaxEntries = 1024;
  struct Entry {
    std::string stored, digest;
  };
  std::string Digest(const std::string& password) const {
    std::string digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()), reinterpret_cast<const unsigned char*>(password.data()),
         password.size(), reinterpret_cast<unsigned char*>(digest.data()), &length);
    digest.resize(length);
    return digest;
  }
  std::mutex lock_;
  const std::string key_ = RandomBytes(32);
  std::unordered_map<std::string, Entry> entries_;
};

ProvenPasswords& Proven() {
  static auto* proven = new ProvenPasswords();  // never destroyed: workers may check at exit
  return *proven;
}

// Grants the rights table keeps that are in normal form, as every grant written since grants
// were normalised on the way in is: each text is normalised once, not at every check.
class NormalGrants {
 public:
  bool Has(const std::string& grant) const {
    std::shared_lock guard(lock_);
    return grants_.count(grant) != 0;
  }
  void Add(const std::string& grant) {
    std::lock_guard guard(lock_);
    if (grants_.size() >= kMaxEntries) grants_.clear();
    grants_.insert(grant);
  }

 private:
  static constexpr size_t kMaxEntries = 4096;
  mutable std::shared_mutex lock_;
  std::unordered_set<std::string> grants_;
};

NormalGrants& KnownNormal() {
  static auto* grants = new NormalGrants();  // never destroyed: workers may check at exit
  return *grants;
}

}  // namespace

std::optional<std::string> UserNameProblem(std::string_view name) {
  if (name.empty()) return "a user name cannot be empty";
  if (name.size() > kMaxUserNameBytes) return "a user name has at most " + std::to_string(kMaxUserNameBytes) + " bytes";
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  const auto length = static_cast<int32_t>(name.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return "a user name must be UTF-8 text";
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return "a user name cannot hold control characters";
    if (c == ':') return "a user name cannot hold ':'";
  }
  return std::nullopt;
}

osError SaveUser(const std::string& name, const std::string& password, std::optional<bool> administrator,
                 bool replace) {
  if (UserNameProblem(name) || password.empty()) return QUILL_ERR_INVALID;
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  const std::string salt = RandomBytes(kSaltBytes);
  if (salt.empty()) return QUILL_ERR_GENERIC;
  const std::string hash = Hash(password, salt);  // the slow part: made once for either statement
  // One statement decides whether the name is new, so that two servers adding it at once make one user.
  std::vector<SqlRow> added;
  const osError inserted = ExecuteBound(
      "INSERT INTO users (name, salt, hash, is_admin) VALUES (?1, ?2, ?3, ?4) ON CONFLICT (name) DO NOTHING "
      "RETURNING name",
      {{name}, Blob(salt), Blob(hash), {administrator.value_or(false) ? "1" : "0"}}, &added);
  if (inserted != QUILL_OK || !added.empty()) return inserted;
  if (!replace) return QUILL_ERR_EXISTS;
  if (!administrator) {
    return ExecuteBound("UPDATE users SET salt = ?2, hash = ?3 WHERE name = ?1", {{name}, Blob(salt), Blob(hash)});
  }
  return ExecuteBound("UPDATE users SET salt = ?2, hash = ?3, is_admin = ?4 WHERE name = ?1",
                      {{name}, Blob(salt), Blob(hash), {*administrator ? "1" : "0"}});
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
  const std::optional<std::string> grant = NormaliseGrant(target);
  if (!grant) return QUILL_ERR_INVALID;
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  if (!user.empty() && !UserExists(user)) return QUILL_ERR_NOT_FOUND;
  return ExecuteBound("INSERT INTO user_rights (user_name, operation, target) VALUES (?1, ?2, ?3) ON CONFLICT DO NOTHING",
                      {{user}, {std::to_string(operation)}, {*grant}});
}

osError RevokeRight(const std::string& user, int32_t operation, const std::string& target) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  // The target as written or as it was kept once normalised.
  return ExecuteBound("DELETE FROM user_rights WHERE user_name = ?1 AND operation = ?2 AND target IN (?3, ?4)",
                      {{user}, {std::to_string(operation)}, {target}, {NormaliseGrant(target).value_or(target)}});
}

osError CheckPassword(const std::string& user, const std::string& password) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  std::vector<SqlRow> rows;
  osError code = ExecuteBound("SELECT salt, hash FROM users WHERE name = ?1", {{user}}, &rows);
  if (code != QUILL_OK) return code;
  const bool known = !rows.empty() && rows[0][0] && rows[0][1];
  // An unknown user costs a hash as well, against a salt and hash no password matches, so the
  // time taken does not tell which names exist.
  static const std::string kNoSalt(kSaltBytes, '\0');
  static const std::string kNoHash(kHashBytes, '\0');
  const std::string& salt = known ? *rows[0][0] : kNoSalt;
  const std::string& stored = known ? *rows[0][1] : kNoHash;
  if (known && Proven().Holds(user, stored, password)) return QUILL_OK;
  const bool same = SameBytes(stored, Hash(password, salt));
  if (!known || !same) return QUILL_ERR_NOT_ALLOWED;
  Proven().Remember(user, stored, password);
  return QUILL_OK;
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
  // One statement: the server asks this for every action it checks. Without the tables nobody
  // has a right, so a failing statement answers no.
  std::vector<SqlRow> rows;
  if (ExecuteBound("SELECT 1, NULL FROM users WHERE name = ?1 AND is_admin = 1 UNION ALL "
                   "SELECT 0, target FROM user_rights WHERE user_name IN (?1, '') AND operation = ?2",
                   {{user}, {std::to_string(operation)}}, &rows) != QUILL_OK) {
    return false;
  }
  const std::optional<std::string> normal = NormaliseTarget(target);
  for (const SqlRow& row : rows) {
    if (row[0] == "1") return true;  // administrators may do everything
    if (!normal || !row[1]) continue;
    const std::string& kept = *row[1];
    if (KnownNormal().Has(kept)) {
      if (GrantCovers(kept, *normal)) return true;
      continue;
    }
    // A grant not seen yet, or one kept before grants were normalised on the way in.
    const std::optional<std::string> grant = NormaliseGrant(kept);
    if (grant && *grant == kept) KnownNormal().Add(kept);
    if (grant && GrantCovers(*grant, *normal)) return true;
  }
  return false;
}

osError ListUsers(std::vector<UserInfo>* users) {
  if (osError code = EnsureTables(); code != QUILL_OK) return code;
  std::vector<SqlRow> rows;
  // The anonymous user has no row of its own, only rights: it is listed (first) when it has any.
  osError code = ExecuteBound(
      "SELECT name, is_admin FROM users UNION ALL "
      "SELECT '', 0 WHERE EXISTS (SELECT 1 FROM user_rights WHERE user_name = '') ORDER BY 1",
      {}, &rows);
  if (code != QUILL_OK) return code;
  for (const SqlRow& row : rows) {
    UserInfo info{row[0].value_or(""), row[1].value_or("0") == "1", {}};
    std::vector<SqlRow> rights;
    ExecuteBound("SELECT operation, target FROM user_rights WHERE user_name = ?1 ORDER BY operation, target",
                 {{info.name}}, &rights);
    for (const SqlRow& right : rights) {
      const std::optional<int32_t> operation = OperationFromWord(right[0].value_or(""));
      info.rights.push_back((operation ? OperationWord(*operation) : right[0].value_or("")) + " " +
                            right[1].value_or(""));
    }
    users->push_back(std::move(info));
  }
  return QUILL_OK;
}

}  // namespace quill_service
