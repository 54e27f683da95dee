// The `quill serve` subcommand.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "service/core/host.h"

namespace quill_service {

// Checks the words after "serve" before anything starts: 0, with *reload telling whether --reload
// is among them; else the usage error is printed and the exit code returned.
int CheckServeArgs(const std::vector<std::string>& args, bool* reload);

// Runs `quill serve ARGS...` in a started host whose module start-up has finished, until a stop
// signal; then stops listening and gives the requests in flight `grace` to be answered. args are
// the words after "serve". Returns the process's exit code.
int ServeCommand(Host& host, const std::vector<std::string>& args, std::chrono::seconds grace);

}  // namespace quill_service
