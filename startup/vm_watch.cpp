#include "startup/vm_watch.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "host/qcapi.h"

namespace {

// Never destroyed: the VM prints and ends the process while exit handlers may be running.
struct VmLines {
  std::mutex lock;
  std::string pending;  // the line being printed
  std::string last;     // the last complete, non-blank line
};

VmLines& Lines() {
  static auto* lines = new VmLines;
  return *lines;
}

constexpr size_t kKeptLine = 400;

bool Blank(const std::string& text) { return text.find_first_not_of(" \t\r") == std::string::npos; }

void Remember(const char* text, size_t length) {
  VmLines& lines = Lines();
  std::lock_guard guard(lines.lock);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      if (!Blank(lines.pending)) lines.last = lines.pending;
      lines.pending.clear();
    } else if (lines.pending.size() < kKeptLine) {
      lines.pending += text[i];
    }
  }
}

// Prints what the VM prints, as it would, and keeps its last line. Flushed at once so that it
// keeps its place among what Java code writes straight to the file descriptors.
jint JNICALL Print(FILE* stream, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char text[1024];
  const int length = std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  if (length > 0) Remember(text, std::min(static_cast<size_t>(length), sizeof text - 1));
  const int written = std::vfprintf(stream, format, args);
  std::fflush(stream);
  return written;
}

// The VM answers SIGHUP, SIGINT and SIGTERM (when the server does not, as while it starts) on a
// thread it names "SIG<name> handler", which waits there while the VM ends the process. Finding
// it tells such an exit from a module's System.exit.
std::string SignalHandledByTheVm() {
  const std::string suffix = " handler";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (!std::getline(comm, name)) continue;
    if (name.rfind("SIG", 0) == 0 && name.size() > suffix.size() + 3 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return name.substr(0, name.size() - suffix.size());
  }
  return {};
}

// Reached when Java code calls System.exit or Runtime.halt, or the VM answers a signal it
// handles by exiting. The process ends here, before any exit handler of the host can wait for
// threads that are themselves stopped inside this exit.
void JNICALL Exit(jint code) {
  const std::string signal = SignalHandledByTheVm();
  if (!signal.empty())
    quill_log(2, "[QJAPI] The process ended with status %d on %s, which the Java VM handled", static_cast<int>(code),
              signal.c_str());
  else
    quill_log(2, "[QJAPI] Java ended the process with status %d (System.exit or Runtime.halt in a Java module)",
              static_cast<int>(code));
  std::fflush(nullptr);
  _exit(code);
}

// Reached when the VM gives up: an option it cannot honour at start-up, or a fatal error. The
// VM goes on to end the process itself (with a core file when it crashed).
void JNICALL Abort() {
  const std::string why = LastVmLine();
  quill_log(2, "[QJAPI] The Java VM stopped the process: %s",
            why.empty() ? "it gave no reason" : why.c_str());
  std::fflush(nullptr);
}

}  // namespace

std::vector<JavaVMOption> VmWatchOptions() {
  return {
      {const_cast<char*>("vfprintf"), reinterpret_cast<void*>(&Print)},
      {const_cast<char*>("exit"), reinterpret_cast<void*>(&Exit)},
      {const_cast<char*>("abort"), reinterpret_cast<void*>(&Abort)},
  };
}

std::string LastVmLine() {
  VmLines& lines = Lines();
  std::lock_guard guard(lines.lock);
  return CutForLog(Blank(lines.pending) ? lines.last : lines.pending);
}

std::string CutForLog(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  const auto boundary = [&](size_t at) {  // back to the start of the UTF-8 sequence at `at`
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    return at;
  };
  const size_t head = boundary(limit * 2 / 3);
  const size_t tail = boundary(text.size() - (limit - head - 3));
  return text.substr(0, head) + "..." + text.substr(tail);
}
