// `quill run`: output on stdout, errors on stderr as FILE:LINE:COL, the exit status, --repeat.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
  std::string err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class RunCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quill_run_test_" + std::to_string(::getpid()));
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  Result Quill(const std::string& script, const std::string& args, const std::string& extraOptions = "") {
    std::ofstream(root_ / "s.q") << script;
    // The script path is relative to where quill starts, not to the server root.
    fs::create_directories(root_ / "server");
    const std::string command = "cd " + root_.string() + " && " + std::string(QUILL_BINARY) +
                                " --no-module --quiet --root " + (root_ / "server").string() + " " +
                                extraOptions + " run s.q " + args + " >" + (root_ / "out").string() + " 2>" +
                                (root_ / "err").string();
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(root_ / "out"), Slurp(root_ / "err")};
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
