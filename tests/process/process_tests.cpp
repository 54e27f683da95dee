// The server as a process under hostile modules, bad start-up options and stop signals: every
// case runs `quill` as a child with a time limit, and must end within it with the expected exit
// status and log line. A child that overruns is killed and fails its case as hung.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "quill_child.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace quill_child;

namespace {

// Start-up takes a few seconds and the native fuzz run can take over a minute on a busy machine; a hung
// child is killed after this.
constexpr auto kLimit = 180s;

// One server root with the bridge and the hostile module, and a child `quill` running in it.
class Server : public Root {
 public:
  explicit Server(const std::string& name)
      : Root("qjapi-process", name, {QJAPI_MODULE, QJAPI_JAR, HOSTILE_JAR, NATIVE_WALK_JAR}) {}

  // Starts quill with args; a script given as source is written to script.qs and run, with
  // runArgs after it.
  void Start(std::vector<std::string> args, const std::string& script, const std::vector<std::string>& runArgs) {
    if (!script.empty()) {
      std::ofstream(Path("script.qs")) << script;
      args.insert(args.end(), {"run", Path("script.qs").string()});
      args.insert(args.end(), runArgs.begin(), runArgs.end());
    }
    ASSERT_TRUE(Root::Start(args));
  }

  // Starts a script that marks a file first, then runs rest; true once the mark is there, false
  // when the child ended first.
  bool StartMarked(const std::vector<std::string>& args, const std::string& rest,
                   const std::vector<std::string>& runArgs = {}) {
    Start(args, "hx_mark('" + Path("started").string() + "') " + rest, runArgs);
    const fs::path mark = Path("started");
    return WaitFor(kLimit, [&] { return fs::exists(mark) || Ended(); }) && fs::exists(mark);
  }
};

}  // namespace

// ---- hostile modules ----

// Each row: how a module or the VM fails or misbehaves (a script run three times, VM options), and
// the exit status and log lines it must end with, as it is and under -Xcheck:jni (no JNI warning
// either way).
TEST(HostileModule, EveryWayAModuleOrTheVmFailsEndsAsItShould) {
  struct Case {
    const char* name;
    const char* vmOptions;
    const char* threads;
    const char* script;
    int status;
    std::vector<std::string> errHas;
    const char* out = nullptr;  // the first run's whole output, when given
  };
  const std::string threw = "hostile module threw on purpose", failed = "script.qs:1:1: error -10998";
  const std::string summary = "runs: 3, failures: 3,", ended = "[2] [QJAPI] Java ended the process with status ";
  const std::string vmStopped = "[2] [QJAPI] The Java VM stopped the process: ", fuzz = "fuzz seed 2026120";
  const Case cases[] = {
      // Exceptions of every kind fail the run; each later run meets a server that still works.
      {"recurse", "", "1", "hx_recurse()", 1, {"java.lang.StackOverflowError", failed, summary}},
      {"hog", "-Xmx48m", "1", "hx_hog()", 1, {"java.lang.OutOfMemoryError", failed, summary}},
      // A module class whose instance cannot be made: printed, and the call does nothing.
      {"unmade", "", "1", "hx_unmade() 'after'", 0, {"hostile module makes no instance"}, "after"},
      // A thrown exception, with System.err into the server's log, one line each.
      {"throw-logged", "-Dquill.stdio=log", "1", "hx_throw()", 1, {threw, failed, summary}},
      // Exit ends the process at once, with its status, while other workers are busy in Java and
      // in the host (Runtime.halt reaches the VM's same exit hook).
      {"exit", "", "3", "hx_sleep(100) hx_exit(3) 'never printed'", 3,
       {ended + "3 (System.exit or Runtime.halt in a Java module)\n"}},
      // A thread that outlives its call, and one that uses a kept call as fast as it can while the
      // call runs and after it has ended (while the worker goes on making calls of its own): every
      // use after the end is refused, and neither holds the process.
      {"linger", "", "1", "hx_linger() hx_sleep(1500)", 0, {"hx_linger: the ended call answered -"},
       "left a thread behindslept"},
      {"hammer", "", "1", "hx_hammer(300) hx_sleep(1) hx_sleep(1) hx_hammered()", 0, {},
       "sleptsleptsleptanswered 0, refused during and after the call: true true"},
      // A short fixed-seed run of the native fuzzer (docs/fuzzing.md has the long one): no native
      // may throw or crash the server.
      {"fuzz", "", "1", "fz_fuzz(20261206, 20000)", 0, {fuzz + "6: 20000 calls, ", fuzz + "7: 20000 calls, ",
                                                        fuzz + "8: 20000 calls, "}},
      // Options the VM dies of leave a line saying why.
      {"vm-heap", "-Xmx1k", "1", "", 1, {vmStopped + "Too small maximum heap"}},
      {"vm-agent", "-agentlib:nosuch", "1", "", 1, {vmStopped + "Could not find agent library nosuch"}},
  };
  for (const bool checked : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (checked ? " -Xcheck:jni" : ""));
      Server server(std::string(c.name) + (checked ? "-checked" : ""));
      const std::string options = std::string(checked ? "-Xcheck:jni " : "") + c.vmOptions;
      server.Start({"--threads", c.threads, "--pref", "java_vm_options=" + options}, c.script, {"--repeat", "3"});
      const Outcome run = server.Finish(kLimit);
      EXPECT_EQ(run.status, c.status) << run.err;
      for (const std::string& line : c.errHas) EXPECT_TRUE(Has(run.err, line)) << line << "\n" << run.err;
      EXPECT_EQ(Has(run.err, "[1] [stderr] \\tat fixtures.hostile.HostileTags."),
                std::string(c.name) == "throw-logged") << run.err;
      EXPECT_FALSE(Has(run.out, "never printed"));
      EXPECT_FALSE(Has(run.err, "THREW")) << run.err;
      if (c.out != nullptr) { EXPECT_EQ(run.out, c.out); }
      ExpectNoJniWarnings(run.out, run.err);
    }
  }
}

// hx_thread records the Java thread of each call: a thread attached anew is a new Java thread,
// so the ids count the attachments. 20 runs of two calls on 2 workers.
TEST(AttachScope, EachScopeAttachesAsOftenAsItPromises) {
  // The preference (null: not set), and the fewest and most distinct Java threads it makes.
  const std::tuple<const char*, size_t, size_t> cases[] = {
      {nullptr, 40, 40}, {"call", 40, 40}, {"Request", 20, 20}, {"thread", 1, 2}, {"sometimes", 40, 40}};
  for (const auto& [preference, fewest, most] : cases) {
    const std::string name = preference != nullptr ? preference : "default";
    SCOPED_TRACE(name);
    Server server("scope-" + name);
    std::vector<std::string> args{"--threads", "2"};
    if (preference != nullptr) args.insert(args.end(), {"--pref", std::string("java_attach_scope=") + preference});
    const std::string ids = server.Path("ids").string();
    server.Start(args, "hx_thread('" + ids + "') hx_thread('" + ids + "')", {"--repeat", "20"});
    const Outcome run = server.Finish(kLimit);
    EXPECT_EQ(run.status, 0) << run.err;
    std::istringstream lines(ReadFile(ids));
    const std::multiset<std::string> all{std::istream_iterator<std::string>(lines), {}};
    EXPECT_EQ(all.size(), 40u);
    const size_t distinct = std::set<std::string>(all.begin(), all.end()).size();
    EXPECT_GE(distinct, fewest);
    EXPECT_LE(distinct, most);
    EXPECT_EQ(Has(run.err, "java_attach_scope \"sometimes\" is not call, request or thread"), name == "sometimes")
        << run.err;
  }
}

// ---- stop signals ----

// Under load (scripts that each spend a while in a Java tag on every worker) the queued runs are
// dropped, the running ones finish, and the process ends promptly with 128 + the signal. A run that
// will not finish in time is abandoned at the deadline; a second signal does not wait for the
// deadline at all; SIGHUP stops the server like SIGTERM. A signal that comes while the modules load
// is handled by the VM, and the log line names the signal rather than blaming a module's System.exit.
TEST(StopSignal, RunningRunsFinishOrAreAbandonedAndEverySignalIsNamed) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* sleep;
    bool loaded;  // a million runs queued
    int number;
    bool twice;
    std::vector<std::string> logged;
    bool whileLoading = false;  // signalled while the modules load (the hostile module waits then)
  };
  const auto handledByTheVm = [](const std::string& status, const std::string& name) {
    return "[2] [QJAPI] The process ended with status " + status + " on " + name + ", which the Java VM handled\n";
  };
  const std::vector<std::string> load = {"--threads", "4", "--stop-timeout", "30"};
  const Case cases[] = {
      {"load-SIGTERM", load, "hx_sleep(200)", true, SIGTERM, false,
       {"[1] Received SIGTERM: no new runs;", "[1] Stopped by SIGTERM: the running runs finished\n"}},
      {"deadline", {"--stop-timeout", "1"}, "hx_sleep(600000)", false, SIGTERM, false,
       {"[1] Stopped by SIGTERM: 1 runs still running after 1 s were abandoned\n"}},
      {"twice", {"--stop-timeout", "600"}, "hx_sleep(600000)", false, SIGINT, true,
       {"[1] Received SIGINT again: stopping at once\n"}},
      {"hangup", {}, "hx_sleep(300)", false, SIGHUP, false, {"[1] Stopped by SIGHUP: the running runs finished\n"}},
      {"loading-SIGTERM", {}, "", false, SIGTERM, false, {handledByTheVm("143", "SIGTERM")}, true},
      {"loading-SIGHUP", {}, "", false, SIGHUP, false, {handledByTheVm("129", "SIGHUP")}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Server server(c.name);
    std::vector<std::string> args = c.args, repeat;
    if (c.whileLoading) args = {"--pref", "java_vm_options=-Dhostile.startupMark=" + server.Path("started").string()};
    if (c.loaded) repeat = {"--repeat", "1000000"};
    ASSERT_TRUE(server.StartMarked(args, c.sleep, repeat)) << ReadFile(server.Path("err"));
    if (c.twice) server.Signal(c.number);
    if (c.loaded || c.twice) std::this_thread::sleep_for(300ms);  // every worker is inside a tag by now
    const auto signalled = Clock::now();
    server.Signal(c.number);
    const Outcome run = server.Finish(kLimit);
    EXPECT_EQ(run.status, 128 + c.number) << run.err;
    // The running runs only had their sleep to finish: far less than the 30 s allowed.
    EXPECT_LT(Clock::now() - signalled, c.loaded ? 10s : 8s);
    for (const std::string& line : c.logged) EXPECT_TRUE(Has(run.err, line)) << line << run.err;
    EXPECT_FALSE(Has(run.err, "System.exit")) << run.err;
    if (c.loaded) {
      EXPECT_TRUE(Has(run.err, "runs: ")) << run.err;
      EXPECT_FALSE(Has(run.err, "runs: 1000000,")) << run.err;
      EXPECT_EQ(run.out, "slept");
    }
  }
}
