// Cleanup that runs however a test program ends: a normal return, std::_Exit, a failed assertion
// that aborts, or the SIGKILL of CTest's timeout. A small shell process, detached from the test
// (its own session, reparented to init, so a kill of the test's process tree misses it), reads
// shell commands from a socket whose only writer is the test; when the test ends for any reason
// the socket closes and the shell runs what it collected, in order.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace qjapi_test {

class CleanupOnExit {
 public:
  // Runs `command` (a shell command line) once the program has ended.
  static void Run(const std::string& command) { Instance().Add(command + "\n"); }

  // Removes `path` and everything below it once the program has ended.
  static void Remove(const std::string& path) { Run("rm -rf " + Quoted(path)); }

  static std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }

 private:
  static CleanupOnExit& Instance() {
    static CleanupOnExit instance;  // never destroyed before the end: the socket closes with the process
    return instance;
  }

  CleanupOnExit() {
    // A socket rather than a pipe: a write to a cleaner that died fails with MSG_NOSIGNAL
    // instead of raising SIGPIPE in the test. Close-on-exec keeps the servers and browsers the
    // test starts from holding the writing end open.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    const pid_t first = fork();
    if (first == 0) {
      // Only async-signal-safe calls: the test may already run other threads (the VM's).
      setsid();
      if (fork() != 0) _exit(0);
      dup2(ends[0], STDIN_FILENO);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      close_range(3, ~0U, 0);  // above all the writing end, which would keep the socket open
      execl("/bin/sh", "sh", "-c", "commands=$(cat); eval \"$commands\"", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ends[0]);
    if (first < 0) {
      close(ends[1]);
      return;
    }
    waitpid(first, nullptr, 0);
    writer_ = ends[1];
  }

  void Add(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    for (size_t done = 0; writer_ >= 0 && done < line.size();) {
      const ssize_t n = send(writer_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }

  std::mutex lock_;
  int writer_ = -1;
};

}  // namespace qjapi_test
