// `quill run SCRIPT [--param k=v]... [--cookie k=v]... [--header k=v]... [--repeat N]`
#include "service/cli/run_command.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>

#include "host/site.h"
#include "service/cli/options.h"
#include "service/cli/usage.h"
#include "service/core/rights.h"
#include "service/core/users.h"
#include "service/script/script.h"

namespace quill_service {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr long kMaxRepeat = 1000000000;
constexpr long kMaxTimeLimitSeconds = 86400;

struct RunOptions {
  std::string script;
  std::optional<std::string> password;
  RunInputs inputs;
  RunLimits limits;  // no time limit unless asked for
  long repeat = 1;
  bool summary = false;
};

int RunUsageError(const std::string& message) {
  std::fprintf(stderr, "quill run: %s\n%s", message.c_str(), kRunUsage);
  return kExitUsage;
}

bool SplitKeyValue(const std::string& text, std::pair<std::string, std::string>& out) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  out = {text.substr(0, equals), text.substr(equals + 1)};
  return true;
}

// Fills options; an error message when the arguments are wrong.
std::optional<std::string> ParseRunArgs(const std::vector<std::string>& args, RunOptions& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    std::vector<std::pair<std::string, std::string>>* target = nullptr;
    if (arg == "--param") target = &options.inputs.params;
    else if (arg == "--cookie") target = &options.inputs.cookies;
    else if (arg == "--header") target = &options.inputs.headers;
    if (target != nullptr) {
      auto text = value();
      std::pair<std::string, std::string> entry;
      if (!text || !SplitKeyValue(*text, entry)) return arg + " needs KEY=VALUE";
      target->push_back(std::move(entry));
    } else if (arg == "--repeat") {
      auto text = value();
      const std::optional<long> repeat = text ? ParseNumber(*text, 1, kMaxRepeat) : std::nullopt;
      if (!repeat) return "--repeat needs a number from 1 to " + std::to_string(kMaxRepeat);
      options.repeat = *repeat;
      options.summary = true;
    } else if (arg == "--user" || arg == "--password") {
      auto text = value();
      if (!text || (arg == "--user" && text->empty())) return arg + " needs a value";
      (arg == "--user" ? options.inputs.user : options.password.emplace()) = *text;
    } else if (arg == "--time-limit") {
      auto text = value();
      const std::optional<long> seconds = text ? ParseNumber(*text, 1, kMaxTimeLimitSeconds) : std::nullopt;
      if (!seconds) return "--time-limit needs a number of seconds from 1 to " + std::to_string(kMaxTimeLimitSeconds);
      options.limits.time = std::chrono::seconds(*seconds);
    } else if (arg == "--site") {
      auto text = value();
      const std::optional<long> site = text ? ParseNumber(*text, 1, INT32_MAX) : std::nullopt;
      if (!site) return "--site needs a site id";
      options.inputs.siteId = static_cast<int32_t>(*site);
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown option " + arg;
    } else if (options.script.empty()) {
      options.script = arg;
    } else {
      return "only one SCRIPT can be run";
    }
  }
  if (options.script.empty()) return "no SCRIPT given";
  if (options.password && options.inputs.user.empty()) return "--password needs --user";
  return std::nullopt;
}

}  // namespace

int RunCommand(Host& host, const std::vector<std::string>& args) {
  RunOptions options;
  if (auto error = ParseRunArgs(args, options)) return RunUsageError(*error);
  if (!options.inputs.user.empty()) {
    const char* fromEnvironment = std::getenv("QUILL_PASSWORD");
    const std::string password = options.password.value_or(fromEnvironment != nullptr ? fromEnvironment : "");
    if (CheckPassword(options.inputs.user, password) != QUILL_OK) {
      std::fprintf(stderr, "quill run: wrong user name or password\n");
      return kExitFailure;
    }
  }
  if (SiteMapper::FindByID(options.inputs.siteId) == nullptr) {
    std::fprintf(stderr, "quill run: no site %d\n", options.inputs.siteId);
    return kExitFailure;
  }

  const std::string path =
      options.script.empty() || options.script[0] == '/' ? options.script : host.LaunchDirectory() + options.script;
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    std::fprintf(stderr, "%s: cannot read the script: it is a folder\n", options.script.c_str());
    return kExitFailure;
  }
  // The script is known by its full path on disk once links are followed: no other name of the
  // same file reaches past a grant.
  const std::string real = std::filesystem::weakly_canonical(path, ec).string();
  const std::string target = ScriptFileTarget(ec ? path : real);
  if (!ServerAllows(options.inputs.user, QUILL_OP_EXECUTE, target)) {
    std::fprintf(stderr, "quill run: %s\n", RefusalMessage(options.inputs.user, QUILL_OP_EXECUTE, target).c_str());
    return kExitFailure;
  }
  std::ifstream file(path, std::ios::binary);
  std::stringstream source;
  if (file) source << file.rdbuf();
  if (!file || file.bad() || source.bad()) {
    std::fprintf(stderr, "%s: cannot read the script: %s\n", options.script.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  std::string parseError;
  ProgramPtr program = ParseScript(source.str(), options.script, &parseError);
  if (!program) {
    std::fprintf(stderr, "%s\n", parseError.c_str());
    return kExitFailure;
  }

  // The first run's output is printed; of the failures, the first one's error.
  std::mutex lock;
  std::optional<ScriptRun> firstRun;
  std::string firstError;
  std::atomic<long> failures{0};
  std::atomic<long> finished{0};
  const auto start = std::chrono::steady_clock::now();
  // The pool's queue is bounded, so this loop waits for the workers rather than queueing every
  // run up front; it stops when the pool closes (the server is stopping).
  for (long i = 0; i < options.repeat; ++i) {
    const bool queued = host.Workers().Submit([&, i] {
      ScriptRun run = RunProgram(program, options.inputs, options.limits);
      std::lock_guard guard(lock);
      finished.fetch_add(1);
      if (!run.ok) {
        failures.fetch_add(1);
        if (firstError.empty()) firstError = run.error;
      }
      if (i == 0) firstRun = std::move(run);
    });
    if (!queued) break;
  }
  host.Workers().Wait();
  const double elapsedMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

  if (firstRun) std::fwrite(firstRun->output.data(), 1, firstRun->output.size(), stdout);
  std::fflush(stdout);
  if (!firstError.empty()) std::fprintf(stderr, "%s\n", firstError.c_str());
  if (!firstRun) {
    std::fprintf(stderr, "%s: the run did not finish\n", options.script.c_str());
    failures.fetch_add(1);
  }
  if (options.summary) {
    std::fprintf(stderr, "runs: %ld, failures: %ld, threads: %d, elapsed: %.1f ms\n", finished.load(), failures.load(),
                 host.Workers().ThreadCount(), elapsedMs);
  }
  return failures.load() == 0 ? 0 : kExitFailure;
}

}  // namespace quill_service
