#include "service/cli/process_exit.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "host/qcapi.h"

#ifdef QJAPI_PROFILE_GENERATE
extern "C" void __gcov_dump();
#endif

namespace quill_service {
namespace {

// Once the running jobs are done, how long the main thread may take to print its results and
// end the process itself.
constexpr auto kMainThreadFinish = std::chrono::seconds(1);

std::atomic<int> gStopSignal{0};
int gSignalPipe[2] = {-1, -1};

std::mutex& EndLock() {
  static auto* lock = new std::mutex;  // never destroyed: exit handlers must not touch it
  return *lock;
}

struct Drain {
  std::chrono::milliseconds period{0};
  std::function<void()> draining, stopping;
};

std::mutex& DrainLock() {
  static auto* lock = new std::mutex;  // never destroyed, as EndLock
  return *lock;
}

Drain& DrainSettings() {
  static auto* drain = new Drain;
  return *drain;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "SIGTERM";
  }
}

// Only what is safe in a signal handler: hand the number to the watcher thread.
void OnStopSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = write(gSignalPipe[1], &number, 1);
  errno = saved;
}

void InstallHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);  // a closed terminal stops the server the same orderly way
}

int NextSignal() {
  unsigned char number = 0;
  for (;;) {
    const ssize_t got = read(gSignalPipe[0], &number, 1);
    if (got == 1) return number;
    if (got < 0 && errno == EINTR) continue;
    return 0;
  }
}

void Watch(WorkerPool* pool, std::chrono::seconds grace) {
  const int signal = NextSignal();
  if (signal == 0) return;
  gStopSignal.store(signal);
  const int status = 128 + signal;
  // A second signal ends the process at once, whatever the first is still waiting for.
  std::thread([status] {
    const int again = NextSignal();
    if (again == 0) return;
    const std::string line = std::string("Received ") + SignalName(again) + " again: stopping at once";
    EndProcess(status, line.c_str());
  }).detach();

  Drain drain;
  {
    std::lock_guard guard(DrainLock());
    drain = DrainSettings();
  }
  if (drain.draining) drain.draining();
  if (drain.period.count() > 0) {
    quill_log(1, "Received %s: draining for %.1f s before new runs stop", SignalName(signal),
              std::chrono::duration<double>(drain.period).count());
    std::this_thread::sleep_for(drain.period);
  }
  if (drain.stopping) drain.stopping();
  const int running = pool->Running();
  const size_t dropped = pool->Close();
  quill_log(1, "Received %s: no new runs; %zu waiting runs dropped, %d running ones get %lld s to finish",
            SignalName(signal), dropped, running, static_cast<long long>(grace.count()));
  const auto deadline = std::chrono::steady_clock::now() + grace;
  if (!pool->WaitIdleUntil(deadline)) {
    const std::string line = std::string("Stopped by ") + SignalName(signal) + ": " +
                             std::to_string(pool->Running()) + " runs still running after " +
                             std::to_string(grace.count()) + " s were abandoned";
    EndProcess(status, line.c_str());
  }
  // The main thread normally ends the process now, after printing what the runs produced.
  std::this_thread::sleep_for(kMainThreadFinish);
  const std::string line = std::string("Stopped by ") + SignalName(signal) + ": nothing was left running";
  EndProcess(status, line.c_str());
}

void OnForeignExit(int status, void*) {
  const std::string line = "The process was ended by a call to exit(" + std::to_string(status) +
                           ") outside the server (from a module or a library it uses)";
  EndProcess(status, line.c_str());
}

}  // namespace

void EndProcess(int status, const char* line) {
  EndLock().lock();  // never released: the process ends here
  if (line != nullptr) quill_log(1, "%s", line);
  std::fflush(nullptr);
#ifdef QJAPI_PROFILE_GENERATE
  __gcov_dump();  // a build that trains its profile writes its counts here: _exit runs no handlers
#endif
  _exit(status);
}

void HandleStopSignals(WorkerPool& pool, std::chrono::seconds grace) {
  static std::once_flag started;
  std::call_once(started, [&] {
    if (pipe2(gSignalPipe, O_CLOEXEC) != 0) {
      quill_log(1, "Cannot watch for stop signals: %s", std::strerror(errno));
      return;
    }
    std::thread(Watch, &pool, grace).detach();
  });
  if (gSignalPipe[1] >= 0) InstallHandlers();
}

void SetStopDrain(std::chrono::milliseconds drain, std::function<void()> draining, std::function<void()> stopping) {
  std::lock_guard guard(DrainLock());
  DrainSettings() = {drain, std::move(draining), std::move(stopping)};
}

int StopSignal() { return gStopSignal.load(); }

void FinishProcess(int status) {
  if (const int signal = StopSignal()) {
    const std::string line = std::string("Stopped by ") + SignalName(signal) + ": the running runs finished";
    EndProcess(128 + signal, line.c_str());
  }
  EndProcess(status, nullptr);
}

void CatchForeignExit() { on_exit(OnForeignExit, nullptr); }

}  // namespace quill_service
