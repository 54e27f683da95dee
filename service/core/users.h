// Users and their rights, kept in the internal database: table users (name, salt, hash,
// is_admin) with salted PBKDF2-SHA256 password hashes, and table user_rights (user_name,
// operation, target). The anonymous user has the empty name; rights granted to "" are its.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/qcapi.h"

namespace quill_service {

// Adds the user, or changes the password and administrator flag of an existing one.
QUILL_API osError SetUser(const std::string& name, const std::string& password, bool administrator);
// Removes the user and its rights; QUILL_ERR_NOT_FOUND when there is no such user.
QUILL_API osError RemoveUser(const std::string& name);
// Lets the user do operation on target. A target "*" is every target; one ending with '*' is
// every target that begins with what comes before the '*'.
QUILL_API osError GrantRight(const std::string& user, int32_t operation, const std::string& target);
QUILL_API osError RevokeRight(const std::string& user, int32_t operation, const std::string& target);

// 0 when the password is the user's; QUILL_ERR_NOT_ALLOWED for a wrong password or an unknown
// user (the two are not told apart).
QUILL_API osError CheckPassword(const std::string& user, const std::string& password);
QUILL_API bool IsAdministrator(const std::string& user);
QUILL_API bool UserExists(const std::string& user);
// Administrators may do everything; others what their rights (or the anonymous user's) allow.
QUILL_API bool OperationAllowed(const std::string& user, int32_t operation, const std::string& target);

struct UserInfo {
  std::string name;
  bool administrator = false;
  std::vector<std::string> rights;  // "operation target"
};
QUILL_API osError ListUsers(std::vector<UserInfo>* users);

}  // namespace quill_service
