// `quill run`: output on stdout, errors on stderr as FILE:LINE:COL, the exit status, --repeat.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <tuple>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/core/test_support.h"
#include "tests/process/quill_child.h"

namespace {

namespace fs = std::filesystem;
using quill_child::ReadFile;

using Result = quill_child::Outcome;

class RunCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(root_ / "server"); }

  // Runs `quill <options> <command>` in the test's server root, from the folder above it (script
  // paths are relative to where quill starts, not to the server root).
  std::string Line(const std::string& options, const std::string& command) const {
    return "cd " + root_.string() + " && exec " + QUILL_BINARY + " --quiet --root " + (root_ / "server").string() + " " +
           options + " " + command + " >" + (root_ / "out").string() + " 2>" + (root_ / "err").string();
  }
  Result Command(const std::string& options, const std::string& command) {
    const int raw = std::system(Line(options, command).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(root_ / "out"), ReadFile(root_ / "err")};
  }
  // Runs the script written to s.q, or the file named by path instead.
  Result Quill(const std::string& script, const std::string& args, const std::string& extraOptions = "",
               const std::string& path = "s.q") {
    if (path == "s.q") std::ofstream(root_ / "s.q") << script;
    return Command("--no-module " + extraOptions, "run " + path + " " + args);
  }

  TempDir dir_;
  const fs::path root_ = dir_.path();
};

// Each row: the script, run's arguments, quill's options, and the exit status, the output and a
// part of the errors that the run gives.
TEST_F(RunCommandTest, OutputErrorsAndStatusOfEachRun) {
  const struct {
    std::string script, args, options;
    int status;
    const char* out;
    std::string errHas;
    std::string path = "s.q";
  } cases[] = {
      {"request_param('name') '/' cookie('c') '/' request_header('H')",
       "--param name=Ann --cookie c=7 --header h=v=w", "", 0, "Ann/7/v=w", ""},
      {"'partial'\n  fail(-5, 'broken')", "", "", 1, "partial", "s.q:2:3: error -5: broken"},
      {"'ok'\nrepeat(", "", "", 1, "", "s.q:2:8: expected an expression, found end of file"},
      // Past the time limit asked for, the run stops at its next loop turn: the loop's condition
      // or its body, whichever runs when the limit passes, so the column is left out.
      {"'before' while (true) { }", "--time-limit 1", "", 1, "before",
       ": error -1: the request's time limit of 1 s is reached"},
      // --repeat runs on the worker threads and prints the first run's output and a summary.
      {"global n = request_param('x') + 1 $n", "--param x=4 --repeat 50", "--threads 3", 0, "41",
       "runs: 50, failures: 0, threads: 3"},
      {"if (request_param('x') == '1') { fail(3, 'no') } 'y'", "--param x=1 --repeat 5", "", 1, "", "runs: 5, failures: 5"},
      // Numbers out of range are usage errors (one reading serves every option).
      {"1", "--repeat 0", "", 2, "", "--repeat needs a number from 1 to 1000000000"},
      {"1", "--repeat 99999999999999999999999", "", 2, "", "--repeat needs a number from 1 to 1000000000"},
      {"1", "--repeat 1000000001", "", 2, "", "--repeat needs a number from 1 to 1000000000"},
      {"1", "--repeat 5x", "", 2, "", "--repeat needs a number from 1 to 1000000000"},
      {"1", "--param novalue", "", 2, "", ""},
      {"1", "", "--threads 0", 2, "", "--threads needs a number from 1 to 256"},
      {"1", "", "--stop-timeout 3601", 2, "", "--stop-timeout needs a number of seconds from 0 to 3600"},
      {"1", "", "--root " + (root_ / "missing").string(), 2, "", "The server root is not a folder: "},
      // What cannot be read is an error, not an empty script.
      {"", "", "", 1, "", "folder: cannot read the script: it is a folder", "folder"},
  };
  fs::create_directories(root_ / "folder");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script + " " + c.args + " " + c.options + " " + c.path);
    const Result r = Quill(c.script, c.args, c.options, c.path);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  }
  // A huge unknown tag name is cut.
  const Result huge = Quill(std::string(1 << 20, 'q') + "()", "");
  EXPECT_EQ(huge.status, 1);
  EXPECT_EQ(huge.err,
            "s.q:1:1: error -9003: unknown tag '" + std::string(60, 'q') + "..." + std::string(57, 'q') + "'\n");
  // Serve refuses a web folder holding the server's own files, a proxy address that is none (an
  // option's value, not --reload) and a time limit preference that is no number, before serving.
  const std::string server = (root_ / "server").string();
  fs::create_directories(root_ / "server" / "QuillModules");
  const std::tuple<std::vector<std::string>, int, const char*> refusals[] = {
      {{"--web", server}, 1, "is the server root or contains it"},
      {{"--web", server + "/QuillModules"}, 1, "lies in the server's own folder QuillModules/"},
      {{"--trusted-proxy", "--reload"}, 1, "not a numeric IP address: --reload"},
      {{"--http-threads", "65"}, 2, "--http-threads needs a number from 1 to 64"},
      {{"--pref", "request_time_limit=soon"}, 2, "the preference request_time_limit needs a number of seconds"}};
  for (const auto& [args, status, message] : refusals) {
    std::vector<std::string> line = {"--quiet", "--root", server, "--no-module", "serve", "--port", "0"};
    line.insert(args[0] == "--pref" ? line.begin() : line.end(), args.begin(), args.end());
    quill_child::Child serve;
    ASSERT_TRUE(serve.Start(line, root_ / "out", root_ / "err"));
    EXPECT_EQ(serve.Wait(std::chrono::seconds(30)), status) << args[0];
    EXPECT_NE(ReadFile(root_ / "err").find(message), std::string::npos) << ReadFile(root_ / "err");
  }
  // Each command's help answers on standard output before anything starts: not even a bad
  // internal database named by the environment stands in the way. What is not understood is a
  // usage error, found before anything starts too.
  const EnvGuard noDatabase("QUILL_INTERNAL_DB", "/nowhere");
  const std::tuple<const char*, const char*, const char*> usage[] = {
      {"run --help", "Usage: quill run", ""},   {"serve --help", "Usage: quill serve", ""},
      {"user --help", "Usage: quill user", ""}, {"host --help", "Usage: quill host", ""},
      {"--help --help", "Usage: quill [OPTIONS]", ""},
      {"--bogus", "", "quill: unknown option --bogus\n"},
      {"serve --bogus", "", "quill serve: unknown option --bogus\n"}, {"serve --bind", "", "quill serve: --bind needs a value\n"},
      {"--threads x", "", "quill: --threads needs a number from 1 to 256\n"},
      {"--pref =x", "", "quill: --pref needs a key\n"},
      {"frobnicate", "", "quill: unknown command frobnicate\n"},
      {"--root", "", "quill: --root needs a folder\n"}};
  for (const auto& [command, out, err] : usage) {
    const Result help = Command("--root " + (root_ / "missing").string(), command);
    EXPECT_EQ(help.status, *out != '\0' ? 0 : 2) << command << help.err;
    EXPECT_EQ(help.out.rfind(out, 0), 0u) << command << help.out;
    EXPECT_EQ(help.err.rfind(err, 0), 0u) << command << help.err;
  }
}

}  // namespace

// Queued runs are bounded: two million runs take no more memory than two.
TEST_F(RunCommandTest, ManyRepeatsDoNotQueueEveryRunUpFront) {
  std::ofstream(root_ / "s.q") << "1";
  // The peak memory of that run alone, so no other case's children count. Under AddressSanitizer,
  // freed memory held in its quarantine would count as the run's own.
  const auto peakKb = [&](const std::string& repeat) {
    const std::string line = "export ASAN_OPTIONS=\"$ASAN_OPTIONS:quarantine_size_mb=0\"; " +
                             Line("--no-module --threads 2", "run s.q --repeat " + repeat);
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    pid_t child = 0;
    rusage usage{};
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        wait4(child, nullptr, 0, &usage) != child)
      return -1L;
    EXPECT_TRUE(quill_child::Has(ReadFile(root_ / "err"), "runs: " + repeat + ", failures: 0")) << ReadFile(root_ / "err");
    return usage.ru_maxrss;
  };
  const long few = peakKb("2");
  ASSERT_GT(few, 0);
  // Every run queued up front took about 40 MB more than the process's own 10 to 15 MB.
  EXPECT_LT(peakKb("2000000"), few + 15 * 1024) << "two runs: " << few << " KB";
}

// Users and rights through the command line: `quill user` keeps them, `quill run --user` is
// held to them once the root has any right. Users are added only as asked, with names that stay
// one line; scripts run only where granted.
TEST_F(RunCommandTest, UsersAreAddedOnlyAsAskedAndScriptsRunOnlyWhereGrantedOnceTheRootHasRights) {
  const auto user = [&](const std::string& args) { return Command("", "user " + args); };
  dir_.Write("granted/a.q", "'ran ' current_user()");
  std::ofstream(root_ / "other.q") << "'other'";
  fs::create_symlink(root_ / "other.q", root_ / "granted" / "link.q");
  ASSERT_EQ(user("add ann pw").status, 0);
  ASSERT_EQ(user("add boss pw --admin").status, 0);
  // Users alone grant nothing and refuse nothing.
  EXPECT_EQ(Quill("", "", "", "other.q").status, 0);
  const struct {
    std::string args;
    int status;
    const char* errHas;
  } users[] = {
      {"add ann other", 1, "ann exists; add --replace"},
      {"add boss new --replace", 0, ""},  // the administrator flag stays
      {"add 'x\" (administrator)' pw", 0, ""},  // listed quoted: not an administrator's line
      {"add ann '' ", 2, "a password cannot be empty"},
      {"add \"$(printf 'x\\ny')\" pw", 2, "control characters"},
      {"add a:b pw", 2, "cannot hold ':'"},
      {"add " + std::string(65, 'n') + " pw", 2, "at most 64 bytes"},
      {"add \"$(printf 'caf\\351')\" pw", 2, "UTF-8"},
      {"add ann pw --admin --no-admin", 2, "does not take --no-admin"},
      {"grant ann read /../x", 2, "climbs above /"},
      {"grant nobody read /x", 1, "cannot grant"},
  };
  for (const auto& c : users) {
    SCOPED_TRACE(c.args);
    const Result r = user(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  }
  ASSERT_EQ(user("grant ann read '/docs/./a//../*'").status, 0);
  ASSERT_EQ(user("grant '' read /pub/*").status, 0);
  EXPECT_EQ(user("list").out,
            "\"\" (anonymous)\n  read /pub/*\nann\n  read /docs/*\nboss (administrator)\n\"x\\\" (administrator)\"\n");
  EXPECT_EQ(Quill("current_user()", "--user boss --password new").out, "boss");
  EXPECT_EQ(Quill("current_user()", "--user boss --password pw").status, 1);  // replaced above
  ASSERT_EQ(user("grant ann execute 'file:" + (root_ / "granted").string() + "/*'").status, 0);
  const struct {
    const char* path;
    const char* who;
    int status;
    const char* has;  // in the output when it ran, else in the errors
  } runs[] = {
      {"granted//./a.q", "--user ann --password pw", 0, "ran ann"},
      {"granted/a.q", "", 1, "the anonymous user may not execute file:"},
      {"other.q", "--user ann --password pw", 1, "ann may not execute file:"},
      {"granted/link.q", "--user ann --password pw", 1, "/other.q"},  // matched where the link leads
      {"other.q", "--user boss --password new", 0, "other"},
      {"granted/a.q", "--user ann --password bad", 1, "wrong user name or password"},
  };
  for (const auto& c : runs) {
    SCOPED_TRACE(std::string(c.path) + " " + c.who);
    const Result r = Quill("", c.who, "", c.path);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.has), std::string::npos) << r.out << r.err;
  }
}
