// `quill run`: output on stdout, errors on stderr as FILE:LINE:COL, the exit status, --repeat.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/process/quill_child.h"

namespace {

namespace fs = std::filesystem;
using quill_child::ReadFile;

struct Result {
  int status;
  std::string out;
  std::string err;
};

class RunCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quill_run_test_" + std::to_string(::getpid()));
    fs::create_directories(root_);
    qjapi_test::CleanupOnExit::Remove(root_.string());
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs the script written to s.q, or the file named by path instead.
  Result Quill(const std::string& script, const std::string& args, const std::string& extraOptions = "",
               const std::string& path = "s.q") {
    if (path == "s.q") std::ofstream(root_ / "s.q") << script;
    // The script path is relative to where quill starts, not to the server root.
    fs::create_directories(root_ / "server");
    const std::string command = "cd " + root_.string() + " && " + std::string(QUILL_BINARY) +
                                " --no-module --quiet --root " + (root_ / "server").string() + " " +
                                extraOptions + " run " + path + " " + args + " >" + (root_ / "out").string() + " 2>" +
                                (root_ / "err").string();
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(root_ / "out"), ReadFile(root_ / "err")};
  }

  fs::path root_;
};

TEST_F(RunCommandTest, PrintsTheOutputAndPassesInputs) {
  Result r = Quill("request_param('name') '/' cookie('c') '/' request_header('H')",
                   "--param name=Ann --cookie c=7 --header h=v=w");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Ann/7/v=w");
}

TEST_F(RunCommandTest, ErrorsGoToStderrWithTheirLocationAndFailTheRun) {
  Result runtime = Quill("'partial'\n  fail(-5, 'broken')", "");
  EXPECT_NE(runtime.status, 0);
  EXPECT_EQ(runtime.out, "partial");
  EXPECT_NE(runtime.err.find("s.q:2:3: error -5: broken"), std::string::npos) << runtime.err;

  Result parse = Quill("'ok'\nrepeat(", "");
  EXPECT_NE(parse.status, 0);
  EXPECT_EQ(parse.out, "");
  EXPECT_NE(parse.err.find("s.q:2:8: expected an expression, found end of file"), std::string::npos) << parse.err;

  EXPECT_EQ(Quill("1", "--repeat 0").status, 2);
  EXPECT_EQ(Quill("1", "--param novalue").status, 2);
}

TEST_F(RunCommandTest, RepeatRunsOnTheWorkerThreadsAndSummarises) {
  Result r = Quill("global n = request_param('x') + 1 $n", "--param x=4 --repeat 50", "--threads 3");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "41");  // the first run's output only
  EXPECT_NE(r.err.find("runs: 50, failures: 0, threads: 3"), std::string::npos) << r.err;

  Result failing = Quill("if (request_param('x') == '1') { fail(3, 'no') } 'y'", "--param x=1 --repeat 5");
  EXPECT_NE(failing.status, 0);
  EXPECT_NE(failing.err.find("runs: 5, failures: 5"), std::string::npos) << failing.err;
}

}  // namespace

TEST_F(RunCommandTest, NumbersOutOfRangeAreUsageErrors) {
  for (const char* repeat : {"99999999999999999999999", "1000000001", "-3", "5x", ""}) {
    SCOPED_TRACE(repeat);
    Result r = Quill("1", std::string("--repeat '") + repeat + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--repeat needs a number from 1 to 1000000000"), std::string::npos) << r.err;
  }
  Result threads = Quill("1", "", "--threads 99999999999999999999");
  EXPECT_EQ(threads.status, 2);
  EXPECT_NE(threads.err.find("--threads needs a number from 1 to 256"), std::string::npos) << threads.err;
  Result timeout = Quill("1", "", "--stop-timeout 3601");
  EXPECT_EQ(timeout.status, 2);
  EXPECT_NE(timeout.err.find("--stop-timeout needs a number of seconds from 0 to 3600"), std::string::npos)
      << timeout.err;
}

// Queued runs are bounded: two million runs take no more memory than a few.
TEST_F(RunCommandTest, ManyRepeatsDoNotQueueEveryRunUpFront) {
  // A child of its own measures the run, so no other case's children count.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  if (child == 0) {
    Result r = Quill("1", "--repeat 2000000", "--threads 2");
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const long figures[2] = {r.err.find("runs: 2000000, failures: 0") != std::string::npos ? 1L : 0L,
                             usage.ru_maxrss};
    _exit(write(pipeEnds[1], figures, sizeof figures) == sizeof figures ? 0 : 1);
  }
  close(pipeEnds[1]);
  long figures[2] = {0, 0};
  const bool read_ = read(pipeEnds[0], figures, sizeof figures) == sizeof figures;
  close(pipeEnds[0]);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(read_);
  EXPECT_EQ(figures[0], 1) << "the runs did not all succeed";
  // Every run queued up front took about 40 MB more than the process's own 10 to 15 MB.
  EXPECT_LT(figures[1], 30 * 1024) << "largest child: " << figures[1] << " KB";
}

TEST_F(RunCommandTest, WhatCannotBeReadIsAnErrorNotAnEmptyScript) {
  fs::create_directories(root_ / "folder");
  const Result r = Quill("", "", "", "folder");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("folder: cannot read the script: it is a folder"), std::string::npos) << r.err;
}

TEST_F(RunCommandTest, AHugeUnknownTagNameIsCutInTheMessage) {
  const std::string name(1 << 20, 'q');
  Result r = Quill(name + "()", "");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("unknown tag 'qqq"), std::string::npos);
  EXPECT_NE(r.err.find("...qqq"), std::string::npos);
  EXPECT_LT(r.err.size(), 400u) << r.err.size();
}

// Users and rights through the command line: `quill user` keeps them, `quill run --user` is
// held to them once the root has any right.
class RunRightsTest : public RunCommandTest {
 protected:
  Result User(const std::string& args) {
    fs::create_directories(root_ / "server");
    const std::string command = std::string(QUILL_BINARY) + " --quiet --root " + (root_ / "server").string() +
                                " user " + args + " >" + (root_ / "out").string() + " 2>" + (root_ / "err").string();
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(root_ / "out"), ReadFile(root_ / "err")};
  }
  Result Run(const std::string& path, const std::string& who) { return Quill("", who, "", path); }
};

TEST_F(RunRightsTest, UsersAreAddedOnlyAsAskedWithNamesThatStayOneLine) {
  ASSERT_EQ(User("add ann pw").status, 0);
  ASSERT_EQ(User("add boss pw --admin").status, 0);
  const struct {
    std::string args;
    int status;
    const char* errHas;
  } cases[] = {
      {"add ann other", 1, "ann exists; add --replace"},
      {"add boss new --replace", 0, ""},  // the administrator flag stays
      {"add ann '' ", 2, "a password cannot be empty"},
      {"add \"$(printf 'x\\ny')\" pw", 2, "control characters"},
      {"add a:b pw", 2, "cannot hold ':'"},
      {"add " + std::string(65, 'n') + " pw", 2, "at most 64 bytes"},
      {"add \"$(printf 'caf\\351')\" pw", 2, "UTF-8"},
      {"add ann pw --admin --no-admin", 2, "does not take --no-admin"},
      {"grant ann read /../x", 2, "climbs above /"},
      {"grant nobody read /x", 1, "cannot grant"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = User(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  }
  ASSERT_EQ(User("grant ann read '/docs/./a//../*'").status, 0);
  EXPECT_EQ(User("list").out, "ann\n  read /docs/*\nboss (administrator)\n");
  EXPECT_EQ(Quill("current_user()", "--user boss --password new").out, "boss");
  EXPECT_EQ(Quill("current_user()", "--user boss --password pw").status, 1);
}

TEST_F(RunRightsTest, ScriptsRunOnlyWhereGrantedOnceTheRootHasRights) {
  fs::create_directories(root_ / "granted");
  std::ofstream(root_ / "granted" / "a.q") << "'ran ' current_user()";
  std::ofstream(root_ / "other.q") << "'other'";
  fs::create_symlink(root_ / "other.q", root_ / "granted" / "link.q");
  ASSERT_EQ(User("add ann pw").status, 0);
  ASSERT_EQ(User("add boss pw --admin").status, 0);
  // Users alone grant nothing and refuse nothing.
  EXPECT_EQ(Run("other.q", "").status, 0);
  ASSERT_EQ(User("grant ann execute 'file:" + (root_ / "granted").string() + "/*'").status, 0);
  const struct {
    const char* path;
    const char* who;
    int status;
    const char* has;  // in the output when it ran, else in the errors
  } cases[] = {
      {"granted/a.q", "--user ann --password pw", 0, "ran ann"},
      {"granted//./a.q", "--user ann --password pw", 0, "ran ann"},
      {"granted/a.q", "", 1, "the anonymous user may not execute file:"},
      {"other.q", "--user ann --password pw", 1, "ann may not execute file:"},
      {"granted/../other.q", "--user ann --password pw", 1, "may not execute"},
      {"granted/link.q", "--user ann --password pw", 1, "/other.q"},  // matched where the link leads
      {"other.q", "--user boss --password pw", 0, "other"},
      {"granted/a.q", "--user ann --password bad", 1, "wrong user name or password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.who);
    const Result r = Run(c.path, c.who);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.has), std::string::npos) << r.out << r.err;
  }
}
