// `quill` as a child process with its standard output and error in files, for the test programs
// that judge the server from outside (QUILL_BINARY names the command).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../cleanup_on_exit.h"

extern char** environ;

namespace quill_child {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kHung = -1;

inline std::string ReadFile(const fs::path& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether done() holds within limit, asked every 20 ms and once more at the end.
template <class Done>
bool WaitFor(Clock::duration limit, Done&& done) {
  for (const auto end = Clock::now() + limit; Clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// What -Xcheck:jni prints about a native's misuse of JNI, on either stream.
inline void ExpectNoJniWarnings(const std::string& out, const std::string& err) {
  for (const char* warning : {"WARNING in native method", "FATAL ERROR in native method", "WARNING: JNI local refs"}) {
    EXPECT_FALSE(Has(out, warning)) << warning << "\n" << out;
    EXPECT_FALSE(Has(err, warning)) << warning << "\n" << err;
  }
}

// The folder below which one test program keeps its cases' server roots (<temp>/<prefix>-PID),
// removed however the program ends, after every server still running on a root in it: a killed
// program never ran the destructors that stop them.
inline fs::path ProgramFolder(const std::string& prefix) {
  static const fs::path folder = [&] {
    const fs::path path = fs::path(::testing::TempDir()) / (prefix + "-" + std::to_string(getpid()));
    const std::string servers = "--root " + path.string() + "/";
    qjapi_test::CleanupOnExit::Run("pkill -KILL -f -- " + qjapi_test::CleanupOnExit::Quoted(servers));
    qjapi_test::CleanupOnExit::Remove(path.string());
    return path;
  }();
  return folder;
}

// One child; killed when the object goes while it still runs.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Kill(); }

  // Starts QUILL_BINARY with args (the program name left out); false when it could not start.
  bool Start(std::vector<std::string> args, const fs::path& out, const fs::path& err) {
    args.insert(args.begin(), QUILL_BINARY);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    status_ = kHung;
    if (posix_spawn(&pid_, QUILL_BINARY, &files, nullptr, argv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&files);
    return pid_ > 0;
  }

  // Whether the child has ended (or never started); its status is then kept for Wait.
  bool Ended() {
    int raw = 0;
    if (pid_ > 0 && waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      pid_ = 0;
    }
    return pid_ <= 0;
  }

  // The exit status (128 + the signal when one ended it), or kHung when it had to be killed.
  int Wait(Clock::duration limit) {
    WaitFor(limit, [this] { return Ended(); });
    Kill();
    return status_;
  }

  void Signal(int number) const {
    if (pid_ > 0) kill(pid_, number);
  }

 private:
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
  }

  pid_t pid_ = 0;
  int status_ = kHung;
};

struct Outcome {
  int status = kHung;  // exit status, 128 + signal when a signal ended it, kHung when killed
  std::string out, err;
};

// A case's folder <ProgramFolder(prefix)>/<name> with a server root at <name>/<below> holding the
// module and the given files in QuillModules/, and one `quill` child run in that root with its
// standard output and error in <name>/out and <name>/err.
class Root {
 public:
  Root(const std::string& prefix, const std::string& name, std::initializer_list<const char*> modules,
       const fs::path& below = "root")
      : base_(ProgramFolder(prefix) / name), root_(base_ / below) {
    fs::remove_all(base_);
    fs::create_directories(root_ / "QuillModules");
    for (const char* file : modules) fs::copy_file(file, root_ / "QuillModules" / fs::path(file).filename());
  }
  fs::path Path(const std::string& file) const { return base_ / file; }
  const fs::path& root() const { return root_; }
  bool Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.string()});
    return child_.Start(args, Path("out"), Path("err"));
  }
  Outcome Finish(Clock::duration limit) {
    const int status = child_.Wait(limit);
    return {status, ReadFile(Path("out")), ReadFile(Path("err"))};
  }
  Outcome Run(const std::vector<std::string>& args, Clock::duration limit) {
    if (!Start(args)) ADD_FAILURE() << "quill did not start";
    return Finish(limit);
  }
  bool Ended() { return child_.Ended(); }
  void Signal(int number) const { child_.Signal(number); }

 protected:
  fs::path base_, root_;
  Child child_;
};

}  // namespace quill_child
