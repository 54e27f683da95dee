// The `quill run` subcommand.
#pragma once

#include <string>
#include <vector>

#include "service/core/host.h"

namespace quill_service {

// Runs `quill run ARGS...` in a started host whose module start-up has finished; args are the
// words after "run". Returns the process's exit code.
int RunCommand(Host& host, const std::vector<std::string>& args);

}  // namespace quill_service
