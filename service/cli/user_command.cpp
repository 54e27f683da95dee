// `quill user add|remove|grant|revoke|list ...`
#include "service/cli/user_command.h"

#include <cstdio>
#include <optional>

#include "host/qcapi.h"
#include "service/cli/options.h"
#include "service/cli/usage.h"
#include "service/core/users.h"

namespace quill_service {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int UserUsageError(const std::string& message) {
  std::fprintf(stderr, "quill user: %s\n%s", message.c_str(), kUserUsage);
  return kExitUsage;
}

std::optional<int32_t> Operation(const std::string& text) {
  if (text == "read") return QUILL_OP_READ;
  if (text == "write") return QUILL_OP_WRITE;
  if (text == "execute") return QUILL_OP_EXECUTE;
  if (text == "admin") return QUILL_OP_ADMIN;
  const std::optional<long> number = ParseNumber(text, INT32_MIN, INT32_MAX);
  if (!number) return std::nullopt;
  return static_cast<int32_t>(*number);
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
    const bool admin = args.size() == 4 && args[3] == "--admin";
    if ((args.size() != 3 && !admin) || args[1].empty()) return UserUsageError("add needs NAME PASSWORD [--admin]");
    return Done(SetUser(args[1], args[2], admin), "add " + args[1]);
  }
  if (action == "remove") {
    if (args.size() != 2) return UserUsageError("remove needs NAME");
    return Done(RemoveUser(args[1]), "remove " + args[1]);
  }
  if (action == "grant" || action == "revoke") {
    if (args.size() != 4) return UserUsageError(action + " needs NAME OPERATION TARGET");
    const std::optional<int32_t> operation = Operation(args[2]);
    if (!operation) return UserUsageError("unknown operation " + args[2]);
    const osError code = action == "grant" ? GrantRight(args[1], *operation, args[3])
                                           : RevokeRight(args[1], *operation, args[3]);
    return Done(code, action + " the right");
  }
  if (action == "list") {
    std::vector<UserInfo> users;
    if (const osError code = ListUsers(&users); code != QUILL_OK) return Done(code, "list the users");
    for (const UserInfo& user : users) {
      std::printf("%s%s\n", user.name.c_str(), user.administrator ? " (administrator)" : "");
      for (const std::string& right : user.rights) std::printf("  %s\n", right.c_str());
    }
    return 0;
  }
  return UserUsageError("unknown action " + action);
}

}  // namespace quill_service
