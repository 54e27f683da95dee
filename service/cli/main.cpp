// The `quill` command: starts the host in a server root, loads the Java bridge module and runs
// subcommands.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/cli/module_command.h"
#include "service/cli/options.h"
#include "service/cli/usage.h"
#include "service/cli/process_exit.h"
#include "service/cli/run_command.h"
#include "service/cli/user_command.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/core/log.h"
#include "service/core/pg_database.h"
#include "service/http/serve_command.h"
#include "service/values/tag_table.h"

#ifndef QUILL_DEFAULT_ROOT
#define QUILL_DEFAULT_ROOT "."
#endif

namespace quill_service {
int HostCommand(const std::vector<std::string>& args);
}

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr const char* kModuleFile = "QuillModules/libQJAPI.so";

constexpr const char* kUsage = R"(Usage: quill [OPTIONS] [COMMAND ...]

Starts the host in a server root, loads the Java bridge module <root>/QuillModules/libQJAPI.so
on the start-up thread and, with no COMMAND, exits 0 when the module started (its entry
returned 1) and 1 when it did not. Log lines go to standard error as "[level] text".

Options:
  --root DIR          server root; the host runs in it and keeps quill_internal.db there
                      (default: )" QUILL_DEFAULT_ROOT R"()
  --threads N         worker threads that run scripts (default 4, at most 256)
  --internal-db URL   keep the internal database (preferences, users and rights, stored data,
                      sites, data-source hosts, the JDBC driver table) in a PostgreSQL database,
                      postgresql://USER@HOST:PORT/DATABASE, instead of the root's quill_internal.db;
                      servers given the same URL share it, and their semaphores (see
                      docs/deployment.md). Default: the environment variable QUILL_INTERNAL_DB,
                      else the file. libpq reads the password from PGPASSWORD or ~/.pgpass.
  --pref KEY=VALUE    store VALUE under KEY in the table global_prefs of the internal database
                      before start-up; "--pref KEY" stores NULL. Preferences persist in the root.
                      Repeatable. Example: --pref java_vm_options=-Xcheck:jni
                      Keys the module reads: java_qjapi_enabled, java_class_path,
                      java_lib_path, java_vm_options, java_attach_scope, java_column_cache,
                      java_shared_strings, java_stdio (log or console), java_module_reload
  --unset-pref KEY    delete the preference KEY before start-up. Repeatable.
  --module PATH       load this module file instead of <root>/QuillModules/libQJAPI.so
  --no-module         start without loading a module
  --suppress-modules  set the host flag that tells modules not to start
  --stop-timeout S    after SIGTERM, SIGINT or SIGHUP, how many seconds running scripts get to finish
                      before the process ends anyway (default 10, 0 to 3600)
  --quiet             keep log lines off standard error, and the module's start-up lines
                      (the VM options) off standard output
  -h, --help          show this help

Commands:
  module new NAME --tags|--datasource [--dir FOLDER]
                      make the Java module project FOLDER/NAME (default: in the current folder):
                      sources, the service file, build.sh (compiles against the root's QJAPI.jar
                      and copies the jar into its QuillModules/), a first test and a README.
                      Starts nothing.
  run SCRIPT [--param K=V]... [--cookie K=V]... [--header K=V]... [--repeat N]
      [--user NAME [--password PW]] [--site ID] [--time-limit S]
                      run the script on a worker thread after the module has started, with
                      request parameters, cookies and request headers; its output goes to
                      standard output, errors to standard error as FILE:LINE:COL: message.
                      --repeat N runs it N times spread over the worker threads (--threads)
                      and prints a summary. While the module starts, whatever it prints goes
                      to standard error, so standard output carries only the script's output.
                      --user runs it as that user (the password comes from --password or the
                      environment variable QUILL_PASSWORD); --site serves it for that site
                      (default 1). --time-limit stops a run at its next statement after S
                      seconds (default: no limit).
  user add NAME PASSWORD [--admin | --no-admin] [--replace] | remove NAME |
  grant NAME OPERATION TARGET | revoke NAME OPERATION TARGET | list
                      manage the users and rights of the internal database (the root's file, or
                      the --internal-db database; no module is loaded); OPERATION is read, write, execute, admin or a number; TARGET
                      is page:/PATH, file:/PATH, db:SOURCE/DATABASE/TABLE or an internal /PATH.
                      Once the root has a right, the server refuses what is not granted.
  host add SOURCE NAME_OR_URL USER [PASSWORD]
                      store a host of the data source SOURCE in the internal database and print
                      its id; without PASSWORD the password is read from standard input (so it
                      stays out of the process list). Scripts choose it with -host=ID.
  host list [SOURCE]  list the hosts (id, data source, name or URL, user; never the password)
  host remove ID      forget a host
  serve [--bind ADDR] [--port N] [--web DIR] [--max-body BYTES] [--max-header BYTES]
      [--max-fields N] [--idle-timeout S] [--request-timeout S] [--time-limit S]
      [--script-workers N] [--max-per-address N] [--trusted-proxy ADDR[,ADDR...]]
      [--drain-grace S] [--http-threads N] [--no-access-log] [--reload]
                      serve the scripts and files of the web folder (default <root>/web) over
                      HTTP on ADDR (default 127.0.0.1) and port N (default 8180; 0 takes a free
                      one), each request a host request on a worker thread; prints the address.
                      Bodies above --max-body (default 1048576) get 413, headers above
                      --max-header (default 8192) 431, and so do requests of more than
                      --max-fields (default 100) query fields, header fields and cookies in
                      all; a connection silent for --idle-timeout
                      (default 30) is closed, as is one whose request has not arrived within
                      --request-timeout (default 30). A script runs at most --time-limit seconds
                      (default 30, or the preference request_time_limit; 0: no limit); one script
                      holds at most --script-workers workers (default --threads: serve runs one
                      worker more, for the other scripts);
                      one client address at most --max-per-address connections (default 64).
                      Requests from a --trusted-proxy address are logged with the client
                      that its X-Forwarded-For names. GET /_health answers 200 while serving;
                      a stop signal turns it to 503, serves on for --drain-grace (default 2)
                      seconds, then ends listening and gives the requests in flight
                      --stop-timeout to be answered (see docs/serving.md). Visitors are
                      anonymous unless they send HTTP Basic credentials of a user; put TLS (a
                      reverse proxy) in front when not on loopback.
                      Unless the root stores them, serve reads java_attach_scope as thread (each
                      worker stays attached to the Java VM; run attaches per call) and
                      java_column_cache as yes (discovered columns are kept; run asks each time),
                      java_shared_strings as yes (names and statements handed to Java on every
                      action are shared strings; run makes new ones) and java_stdio as log
                      (System.out and System.err of Java code go to the log). --reload (or
                      java_module_reload=yes) loads a module jar replaced in QuillModules/ again:
                      requests from then on get its classes (docs/java-tag-modules.md).
  Each command's --help (or -h) prints its usage at once.

Signals: the first SIGTERM, SIGINT or SIGHUP stops new runs, lets running ones finish (see
--stop-timeout) and ends the process with 128 + the signal number; a second one ends it at once.

Exit codes: 0 success, 1 module start-up failed, 2 usage error or missing module file,
143 / 130 / 129 stopped by SIGTERM / SIGINT / SIGHUP.
)";

struct PreferenceChange {
  std::string key;
  std::optional<std::string> value;
  bool remove = false;
};

struct CommandLine {
  quill_service::HostOptions host{QUILL_DEFAULT_ROOT, 4, {}};
  std::vector<PreferenceChange> preferences;
  std::optional<std::string> modulePath;
  bool loadModule = true;
  bool suppressModules = false;
  bool quiet = false;
  bool help = false;
  int stopTimeout = 10;  // seconds
  std::vector<std::string> command;  // the command word and its arguments
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quill: %s\nTry 'quill --help'.\n", message.c_str());
  return kExitUsage;
}

std::optional<int> ParseBoundedInt(const std::string& text, int low, int high) {
  const std::optional<long> number = quill_service::ParseNumber(text, low, high);
  if (!number) return std::nullopt;
  return static_cast<int>(*number);
}

// Returns an error message, or nothing when the arguments were understood.
std::optional<std::string> Parse(int argc, char** argv, CommandLine& line) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto needValue = [&](std::string& value) -> bool {
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    std::string value;
    if (arg == "-h" || arg == "--help") {
      line.help = true;
    } else if (arg == "--root") {
      if (!needValue(value) || value.empty()) return "--root needs a folder";
      line.host.root = value;
    } else if (arg == "--threads") {
      if (!needValue(value)) return "--threads needs a number";
      auto count = ParseBoundedInt(value, 1, 256);
      if (!count) return "--threads needs a number from 1 to 256";
      line.host.threads = *count;
    } else if (arg == "--internal-db") {
      if (!needValue(value) || !quill_service::postgres::IsLocation(value)) {
        return "--internal-db needs a postgresql:// URL";
      }
      line.host.internalDatabase = value;
    } else if (arg == "--pref") {
      if (!needValue(value)) return "--pref needs KEY=VALUE";
      const size_t equals = value.find('=');
      PreferenceChange change{value.substr(0, equals), std::nullopt};
      if (equals != std::string::npos) change.value = value.substr(equals + 1);
      if (change.key.empty()) return "--pref needs a key";
      line.preferences.push_back(std::move(change));
    } else if (arg == "--unset-pref") {
      if (!needValue(value) || value.empty()) return "--unset-pref needs a key";
      line.preferences.push_back({value, std::nullopt, true});
    } else if (arg == "--module") {
      if (!needValue(value) || value.empty()) return "--module needs a file";
      line.modulePath = std::filesystem::absolute(value).string();
    } else if (arg == "--no-module") {
      line.loadModule = false;
    } else if (arg == "--suppress-modules") {
      line.suppressModules = true;
    } else if (arg == "--stop-timeout") {
      if (!needValue(value)) return "--stop-timeout needs a number of seconds";
      auto seconds = ParseBoundedInt(value, 0, 3600);
      if (!seconds) return "--stop-timeout needs a number of seconds from 0 to 3600";
      line.stopTimeout = *seconds;
    } else if (arg == "--quiet") {
      line.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return "unknown option " + arg;
    } else {
      line.command.assign(argv + i, argv + argc);
      break;
    }
  }
  if (!line.command.empty() && line.command.front() != "run" && line.command.front() != "user" &&
      line.command.front() != "host" && line.command.front() != "serve" && line.command.front() != "module") {
    return "unknown command " + line.command.front();
  }
  return std::nullopt;
}

// Sends standard output to the file descriptor target for its lifetime, unless target is -1.
class RedirectStdout {
 public:
  explicit RedirectStdout(int target) {
    if (target < 0) return;
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(target, STDOUT_FILENO);
  }
  ~RedirectStdout() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  RedirectStdout(const RedirectStdout&) = delete;
  RedirectStdout& operator=(const RedirectStdout&) = delete;

 private:
  int saved_ = -1;
};

bool ApplyPreferences(const std::vector<PreferenceChange>& changes) {
  for (const PreferenceChange& change : changes) {
    const osError code = change.remove ? quill_service::RemovePreference(change.key)
                                       : quill_service::SetPreference(change.key, change.value);
    if (code != QUILL_OK) {
      std::fprintf(stderr, "quill: cannot write the preference %s (error %d)\n", change.key.c_str(), code);
      return false;
    }
  }
  return true;
}

}  // namespace

int Main(int argc, char** argv) {
  CommandLine line;
  if (auto error = Parse(argc, argv, line)) return UsageError(*error);
  if (line.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // A command's --help answers at once: nothing is started for it.
  if (!line.command.empty()) {
    const auto& args = line.command;
    if (std::any_of(args.begin() + 1, args.end(), [](const std::string& a) { return a == "-h" || a == "--help"; })) {
      std::fputs(quill_service::CommandUsage(args.front()), stdout);
      return 0;
    }
  }
  // A project is written beside the caller, before the host moves into the root.
  if (!line.command.empty() && line.command.front() == "module") {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return quill_service::ModuleCommand(line.host.root, ec ? std::string(argv[0]) : self.string(),
                                        {line.command.begin() + 1, line.command.end()});
  }
  // A serve command's words are checked before anything starts.
  bool reload = false;
  const bool serving = !line.command.empty() && line.command.front() == "serve";
  if (serving) {
    if (const int usage = quill_service::CheckServeArgs({line.command.begin() + 1, line.command.end()}, &reload)) {
      return usage;
    }
  }
  // The environment names the internal database only for what opens it, and only when
  // --internal-db does not: a bad value there stands in the way of nothing else.
  const char* url = std::getenv("QUILL_INTERNAL_DB");
  if (line.host.internalDatabase.empty() && url != nullptr && *url != '\0') {
    if (!quill_service::postgres::IsLocation(url)) return UsageError("QUILL_INTERNAL_DB needs a postgresql:// URL");
    line.host.internalDatabase = url;
  }
  if (line.quiet) quill_service::SetLogSink({});
  Quill::Instance()->Settings().suppressModules = line.suppressModules;

  // A server runs one worker beyond --threads, which no single script may take by default
  // (--script-workers): a page whose runs hang leaves the others a worker, and a busy page still
  // gets as many as were asked for.
  if (serving) ++line.host.threads;
  quill_service::Host* host = nullptr;
  try {
    host = &quill_service::Host::Start(line.host);
  } catch (const osException& e) {
    return UsageError(e.what());
  }
  if (!ApplyPreferences(line.preferences)) return kExitUsage;
  // A server answers the same pages again and again: its defaults keep each worker attached to
  // the VM (instead of attaching for every call into Java) and keep the columns a connector
  // discovered, and share the strings the module hands Java on every action. What the root stores
  // still decides.
  // Its log is where a server's operator looks: what Java prints goes there too. --reload asks
  // the module to load changed module jars again.
  if (serving) {
    quill_service::SetPreferenceDefault("java_attach_scope", "thread");
    quill_service::SetPreferenceDefault("java_column_cache", "yes");
    quill_service::SetPreferenceDefault("java_shared_strings", "yes");
    quill_service::SetPreferenceDefault("java_stdio", "log");
    if (reload) quill_service::SetPreferenceDefault("java_module_reload", "yes");
  }
  // Users are kept in the root's database: no module is needed to change them.
  if (!line.command.empty() && line.command.front() == "user") {
    return quill_service::UserCommand({line.command.begin() + 1, line.command.end()});
  }
  // Host administration works on the internal database alone: no module is needed.
  if (!line.command.empty() && line.command.front() == "host") {
    return quill_service::HostCommand({line.command.begin() + 1, line.command.end()});
  }
  const std::chrono::seconds grace(line.stopTimeout);
  quill_service::HandleStopSignals(host->Workers(), grace);
  quill_service::CatchForeignExit();

  bool started = true;
  if (line.loadModule) {
    const std::string module = line.modulePath.value_or(host->Root() + kModuleFile);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(module, ec)) {
      std::fprintf(stderr, "quill: module not found: %s\n", module.c_str());
      return kExitUsage;
    }
    int entryResult = 0;
    {
      // When a command runs, standard output carries only what the command writes: whatever the
      // module prints while it starts goes to standard error, or nowhere when quiet.
      const int nowhere = line.quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
      RedirectStdout startupOutput(line.quiet ? nowhere : line.command.empty() ? -1 : STDERR_FILENO);
      started = host->LoadModule(module, &entryResult) && entryResult == 1;
      if (nowhere >= 0) close(nowhere);
    }
    // A VM the module started may have put its own handlers in place: take the signals back, and
    // be the first to hear of an exit() made while it ran.
    quill_service::HandleStopSignals(host->Workers(), grace);
    quill_service::CatchForeignExit();
  }

  if (line.command.empty()) return started ? 0 : kExitFailure;
  if (serving) {
    return quill_service::ServeCommand(*host, {line.command.begin() + 1, line.command.end()}, grace);
  }
  return quill_service::RunCommand(*host, {line.command.begin() + 1, line.command.end()});
}

int main(int argc, char** argv) {
  const int status = Main(argc, argv);
  // The server's tags go first, while the modules that made them can still release what they hold.
  quill_service::DestroyAllTags();
  // A module may have started a Java VM, which is never destroyed and whose threads keep
  // running: leave without static destructors, which would tear down state they still use.
  quill_service::FinishProcess(status);
}
