// Running scripts: the C++ API the `quill run` command and the tests use.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/qcapi.h"
#include "service/values/tag_definition.h"

namespace quill_script {
struct Program;
}

namespace quill_service {

// What a request receives from outside: parameters, cookies and request headers (UTF-8, in order).
struct RunInputs {
  std::vector<std::pair<std::string, std::string>> params;
  std::vector<std::pair<std::string, std::string>> cookies;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string method = "GET";  // the request method
  std::string scriptPath;  // reported as the request path and the running script; empty: the file name
  std::string user;        // the user the request runs as (checked by the caller); empty: anonymous
  int32_t siteId = 1;      // the site the request is served for
};

struct ScriptRun {
  std::string output;         // UTF-8 text and raw bytes, as the script wrote them
  osError resultCode = 0;     // the request's result code when the run ended
  std::string resultMessage;  // the request's result message (UTF-8)
  std::vector<std::string> resultHeaders;  // "Name: value" lines set by the script or its tags (UTF-8)
  std::string error;          // "file:line:col: ..." when the run failed, else empty
  bool ok = false;
  bool timedOut = false;      // the run was stopped by its time limit
};

// Bounds on one run, beyond the nesting limits every run has. Zero: no bound.
struct RunLimits {
  uint64_t steps = 0;  // statements run, loop turns and tag calls; beyond it the run fails
  // Running time: past it the run stops at its next statement, loop turn or tag call (a tag that
  // does not return cannot be stopped).
  std::chrono::milliseconds time{0};
};

// A parsed script; one program can run in many requests at once.
using ProgramPtr = std::shared_ptr<const quill_script::Program>;

// Parses source; on failure gives null and error "file:line:col: message". Nesting deeper than
// the language allows is such an error. On a thread with less stack left than the deepest legal
// script needs, the parse runs on a helper thread with kScriptStackBytes.
QUILL_API ProgramPtr ParseScript(const std::string& source, const std::string& fileName, std::string* error);

// Runs a program on the calling thread in a fresh request, current on this thread while it
// runs; the request ends (private variables destroyed) on this thread before this returns.
// Nesting beyond the language's limits, or beyond what the thread's stack holds, fails the run
// with an error located in the script; threads with kScriptStackBytes (the host's workers)
// reach the limits before their stack ends.
QUILL_API ScriptRun RunProgram(const ProgramPtr& program, RunInputs inputs, const RunLimits& limits = {});

// ParseScript and RunProgram in one.
QUILL_API ScriptRun RunScriptText(const std::string& source, const std::string& fileName, const RunInputs& inputs);

// A tag whose body is source (UTF-8, an optional byte-order mark first), for modules that build
// tags from text; null when the text does not parse. The tag takes no declared parameters.
QUILL_API std::shared_ptr<const TagDefinition> CompileTagSource(std::string_view source);

// Registers the built-in tags in the process-wide tag table (once per table life; a module's
// tag of the same name is kept). RunProgram calls it; the host may call it at start-up.
QUILL_API void RegisterBuiltinTags();

}  // namespace quill_service
