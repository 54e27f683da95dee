// The `quill serve` subcommand.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "service/core/host.h"

namespace quill_service {

// Runs `quill serve ARGS...` in a started host whose module start-up has finished, until a stop
// signal; then stops listening and gives the requests in flight `grace` to be answered. args are
// the words after "serve". Returns the process's exit code.
int ServeCommand(Host& host, const std::vector<std::string>& args, std::chrono::seconds grace);

}  // namespace quill_service
