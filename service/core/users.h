// Users and their rights, kept in the internal database: table users (name, salt, hash,
// is_admin) with salted PBKDF2-SHA256 password hashes, and table user_rights (user_name,
// operation, target). The anonymous user has the empty name; rights granted to "" are its.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/qcapi.h"

namespace quill_service {

// Why name cannot be a user's name (empty, longer than kMaxUserNameBytes, not UTF-8, control
// characters, or ':' which HTTP Basic credentials cannot carry), or nothing when it can.
constexpr size_t kMaxUserNameBytes = 64;
QUILL_API std::optional<std::string> UserNameProblem(std::string_view name);

// Adds the user. An existing name is refused with QUILL_ERR_EXISTS unless replace, which sets a
// new password; the administrator flag is set or cleared only when administrator is given (a new
// user is not one without it). A bad name or an empty password: QUILL_ERR_INVALID.
QUILL_API osError SaveUser(const std::string& name, const std::string& password, std::optional<bool> administrator,
                           bool replace);
// Adds the user, or replaces the password and administrator flag of an existing one.
inline osError SetUser(const std::string& name, const std::string& password, bool administrator) {
  return SaveUser(name, password, administrator, true);
}
// Removes the user and its rights; QUILL_ERR_NOT_FOUND when there is no such user.
QUILL_API osError RemoveUser(const std::string& name);
// Lets the user do operation on target. A target "*" is every target; one ending with '*' is
// every target that begins with what comes before the '*'. The target is kept normalised
// (NormaliseGrant); one that cannot be is QUILL_ERR_INVALID.
QUILL_API osError GrantRight(const std::string& user, int32_t operation, const std::string& target);
QUILL_API osError RevokeRight(const std::string& user, int32_t operation, const std::string& target);

// 0 when the password is the user's; QUILL_ERR_NOT_ALLOWED for a wrong password or an unknown
// user, told apart neither by the answer nor by the time taken (an unknown user's check hashes
// too). A password proved right is remembered (keyed, in memory) until the stored hash changes,
// so that a server checking the same credentials on every request pays the hash once.
QUILL_API osError CheckPassword(const std::string& user, const std::string& password);
QUILL_API bool IsAdministrator(const std::string& user);
QUILL_API bool UserExists(const std::string& user);
// Administrators may do everything; others what their rights (or the anonymous user's) allow.
// Grants and target are compared normalised (NormaliseTarget): "/docs/../x" is "/x".
QUILL_API bool OperationAllowed(const std::string& user, int32_t operation, const std::string& target);

struct UserInfo {
  std::string name;
  bool administrator = false;
  std::vector<std::string> rights;  // "operation target"
};
QUILL_API osError ListUsers(std::vector<UserInfo>* users);

}  // namespace quill_service
