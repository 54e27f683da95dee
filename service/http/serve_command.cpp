// `quill serve [--bind ADDR] [--port N] [--web DIR] ...`
#include "service/http/serve_command.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "host/os.h"
#include "service/cli/options.h"
#include "service/cli/usage.h"
#include "service/cli/process_exit.h"
#include "service/core/internal_db.h"
#include "service/http/http_server.h"

namespace quill_service {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr auto kSignalPoll = std::chrono::milliseconds(100);
constexpr std::chrono::seconds kDefaultDrain{2};

int ServeUsageError(const std::string& message) {
  std::fprintf(stderr, "quill serve: %s\n%s", message.c_str(), kServeUsage);
  return kExitUsage;
}

// What the words after "serve" ask for.
struct ServeArgs {
  ServeOptions options;
  std::string web;  // --web as given; empty: the root's web folder
  std::chrono::seconds drain = kDefaultDrain;
  bool reload = false;
};

// Fills into from args over what it holds; returns an error message, or nothing.
std::optional<std::string> ParseServeArgs(const std::vector<std::string>& args, ServeArgs& into) {
  ServeOptions& options = into.options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--no-access-log") {
      options.accessLog = false;
      continue;
    }
    if (arg == "--reload") {
      into.reload = true;
      continue;
    }
    const bool last = i + 1 >= args.size();
    if (last && arg.rfind("--", 0) != 0) return "unexpected " + arg;
    // An option given last is still looked up, with its own name for a value, so that an unknown
    // one is named as such; a known one is refused: a number for not being one, any other for its
    // missing value after the lookup (what it stored is dropped with the error).
    const std::string& value = last ? arg : args[++i];
    auto number = [&](long low, long high) { return ParseNumber(value, low, high); };
    std::optional<long> parsed;
    if (arg == "--bind") {
      if (value.empty()) return "--bind needs an address";
      options.bind = value;
    } else if (arg == "--web") {
      if (value.empty()) return "--web needs a folder";
      into.web = value;
    } else if (arg == "--port") {
      if (!(parsed = number(0, 65535))) return "--port needs a number from 0 to 65535";
      options.port = static_cast<int>(*parsed);
    } else if (arg == "--max-body") {
      if (!(parsed = number(0, 1L << 32))) return "--max-body needs a number of bytes up to 4294967296";
      options.maxBodyBytes = static_cast<size_t>(*parsed);
    } else if (arg == "--max-header") {
      if (!(parsed = number(1024, 1L << 20))) return "--max-header needs a number of bytes from 1024 to 1048576";
      options.maxHeaderBytes = static_cast<size_t>(*parsed);
    } else if (arg == "--max-fields") {
      if (!(parsed = number(10, 10000))) return "--max-fields needs a number from 10 to 10000";
      options.maxFields = static_cast<size_t>(*parsed);
    } else if (arg == "--time-limit") {
      if (!(parsed = number(0, 86400))) return "--time-limit needs a number of seconds from 0 (none) to 86400";
      options.timeLimit = std::chrono::seconds(*parsed);
    } else if (arg == "--script-workers") {
      if (!(parsed = number(1, 256))) return "--script-workers needs a number from 1 to 256";
      options.scriptWorkers = static_cast<int>(*parsed);
    } else if (arg == "--trusted-proxy") {
      // Repeated or separated by commas; the server checks that each is a numeric address.
      for (size_t start = 0; start <= value.size();) {
        const size_t comma = std::min(value.find(',', start), value.size());
        if (comma == start) return "--trusted-proxy needs numeric IP addresses separated by commas";
        options.trustedProxies.push_back(value.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (arg == "--drain-grace") {
      if (!(parsed = number(0, 300))) return "--drain-grace needs a number of seconds from 0 to 300";
      into.drain = std::chrono::seconds(*parsed);
    } else if (arg == "--http-threads") {
      if (!(parsed = number(1, 64))) return "--http-threads needs a number from 1 to 64";
      options.httpThreads = static_cast<unsigned>(*parsed);
    } else if (arg == "--max-per-address") {
      if (!(parsed = number(1, 1024))) return "--max-per-address needs a number from 1 to 1024";
      options.maxPerAddress = static_cast<unsigned>(*parsed);
    } else if (arg == "--idle-timeout" || arg == "--request-timeout") {
      if (!(parsed = number(1, 3600))) return arg + " needs a number of seconds from 1 to 3600";
      (arg == "--idle-timeout" ? options.idleTimeout : options.requestTimeout) = std::chrono::seconds(*parsed);
    } else {
      return "unknown option " + arg;
    }
    if (last) return arg + " needs a value";
  }
  return std::nullopt;
}

}  // namespace

int CheckServeArgs(const std::vector<std::string>& args, bool* reload) {
  ServeArgs parsed;
  if (auto error = ParseServeArgs(args, parsed)) return ServeUsageError(*error);
  *reload = parsed.reload;
  return 0;
}

int ServeCommand(Host& host, const std::vector<std::string>& args, std::chrono::seconds grace) {
  ServeArgs parsed;
  ServeOptions& options = parsed.options;
  // The preference request_time_limit (seconds) replaces the built-in default; the option wins.
  std::vector<SqlRow> rows;
  if (ExecuteBound("SELECT data FROM global_prefs WHERE store_key = 'request_time_limit'", {}, &rows) == QUILL_OK &&
      !rows.empty() && !rows[0].empty() && rows[0][0]) {
    const std::optional<long> seconds = ParseNumber(*rows[0][0], 0, 86400);
    if (!seconds) return ServeUsageError("the preference request_time_limit needs a number of seconds from 0 to 86400");
    options.timeLimit = std::chrono::seconds(*seconds);
  }
  options.serverRoot = host.Root();
  if (auto error = ParseServeArgs(args, parsed)) return ServeUsageError(*error);
  const std::string& web = parsed.web;
  const std::chrono::seconds drain = parsed.drain;
  options.webFolder = web.empty() ? host.Root() + "web" : web[0] == '/' ? web : host.LaunchDirectory() + web;

  std::unique_ptr<HttpServer> server;
  try {
    server = std::make_unique<HttpServer>(options, host.Workers());
  } catch (const osException& e) {
    std::fprintf(stderr, "quill serve: %s\n", e.what());
    return kExitFailure;
  }
  quill_log(2,
            "HTTP: serving %s from %s; worker threads: %d (%d for one script), HTTP threads: %u, time limit %lld s, "
            "%u connections per address",
            server->Address().c_str(), options.webFolder.c_str(), host.Workers().ThreadCount(), server->ScriptWorkers(),
            server->HttpThreads(),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(options.timeLimit).count()),
            options.maxPerAddress);
  HttpServer* serving = server.get();
  SetStopDrain(drain, [serving] { serving->Drain(); }, [serving] { serving->StopListening(); });
  std::printf("Serving %s (web folder %s); stop with Ctrl-C\n", server->Address().c_str(), options.webFolder.c_str());
  std::fflush(stdout);

  // The first stop signal drains the server, then stops its listening (SetStopDrain); a signal
  // that came before the drain was set up finds no hook, and the listening is stopped here.
  while (StopSignal() == 0) std::this_thread::sleep_for(kSignalPoll);
  for (const auto end = std::chrono::steady_clock::now() + drain + kSignalPoll;
       server->Listening() && std::chrono::steady_clock::now() < end;) {
    std::this_thread::sleep_for(kSignalPoll);
  }
  server->StopListening();
  SetStopDrain(drain, {}, {});  // the server goes before the process ends
  quill_log(1, "HTTP: no new connections; requests in flight: %d, given %lld s to finish", server->InFlight(),
            static_cast<long long>(grace.count()));
  if (server->WaitIdleUntil(std::chrono::steady_clock::now() + grace)) {
    quill_log(1, "HTTP: every request in flight was answered");
    server.reset();
  } else {
    // The library stays up: a worker may still hand it an answer until the process ends.
    quill_log(1, "HTTP: requests still in flight after %lld s: %d", static_cast<long long>(grace.count()),
              server->InFlight());
    (void)server.release();
  }
  return 0;
}

}  // namespace quill_service
