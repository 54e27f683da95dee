// `quill user add|remove|grant|revoke|list ...`
#include "service/cli/user_command.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "host/qcapi.h"
#include "service/cli/usage.h"
#include "service/core/rights.h"
#include "service/core/users.h"

namespace quill_service {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int UserUsageError(const std::string& message) {
  std::fprintf(stderr, "quill user: %s\n%s", message.c_str(), kUserUsage);
  return kExitUsage;
}

// One line per user, whatever an older database holds: control characters shown as '?'.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

// A name is listed as it is unless the list could misread it: the anonymous user's empty name,
// or one holding a blank, a quote or a backslash (a user named `ann (administrator)` must not pass
// for an administrator). Such a name is listed in quotes, its quotes and backslashes escaped.
std::string ListedName(const std::string& name) {
  const bool plain = !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == '"' || c == '\\';
  });
  if (plain) return Printable(name);
  std::string quoted = "\"";
  for (const char c : Printable(name)) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

int Done(osError code, const std::string& what) {
  if (code == QUILL_OK) return 0;
  std::fprintf(stderr, "quill user: cannot %s (error %d)\n", what.c_str(), code);
  return kExitFailure;
}

}  // namespace

int UserCommand(const std::vector<std::string>& args) {
  if (args.empty()) return UserUsageError("no action given");
  const std::string& action = args[0];
  if (action == "add") {
    if (args.size() < 3) return UserUsageError("add needs NAME PASSWORD");
    std::optional<bool> administrator;
    bool replace = false;
    for (size_t i = 3; i < args.size(); ++i) {
      if (args[i] == "--replace") replace = true;
      else if (args[i] == "--admin" && !administrator) administrator = true;
      else if (args[i] == "--no-admin" && !administrator) administrator = false;
      else return UserUsageError("add does not take " + args[i]);
    }
    if (const std::optional<std::string> problem = UserNameProblem(args[1])) return UserUsageError(*problem);
    if (args[2].empty()) return UserUsageError("a password cannot be empty");
    const osError code = SaveUser(args[1], args[2], administrator, replace);
    if (code == QUILL_ERR_EXISTS) {
      std::fprintf(stderr, "quill user: %s exists; add --replace to give it a new password\n", args[1].c_str());
      return kExitFailure;
    }
    return Done(code, "add " + args[1]);
  }
  if (action == "remove") {
    if (args.size() != 2) return UserUsageError("remove needs NAME");
    return Done(RemoveUser(args[1]), "remove " + args[1]);
  }
  if (action == "grant" || action == "revoke") {
    if (args.size() != 4) return UserUsageError(action + " needs NAME OPERATION TARGET");
    const std::optional<int32_t> operation = OperationFromWord(args[2]);
    if (!operation) return UserUsageError("unknown operation " + args[2]);
    if (action == "grant" && !NormaliseGrant(args[3])) {
      return UserUsageError("the target " + args[3] + " is empty, holds control characters or climbs above /");
    }
    const osError code = action == "grant" ? GrantRight(args[1], *operation, args[3])
                                           : RevokeRight(args[1], *operation, args[3]);
    return Done(code, action + " the right");
  }
  if (action == "list") {
    std::vector<UserInfo> users;
    if (const osError code = ListUsers(&users); code != QUILL_OK) return Done(code, "list the users");
    for (const UserInfo& user : users) {
      std::printf("%s%s%s\n", ListedName(user.name).c_str(), user.name.empty() ? " (anonymous)" : "",
                  user.administrator ? " (administrator)" : "");
      for (const std::string& right : user.rights) std::printf("  %s\n", Printable(right).c_str());
    }
    return 0;
  }
  return UserUsageError("unknown action " + action);
}

}  // namespace quill_service
