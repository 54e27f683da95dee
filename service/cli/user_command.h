// The `quill user` subcommand: users and rights in the server root's internal database.
#pragma once

#include <string>
#include <vector>

namespace quill_service {

// Runs `quill user ARGS...` in a started host; args are the words after "user". Returns the
// process's exit code.
int UserCommand(const std::vector<std::string>& args);

}  // namespace quill_service
