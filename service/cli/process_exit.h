// How the `quill` process ends: its own finish, a stop signal, or an exit() it did not make.
#pragma once

#include <chrono>
#include <functional>

#include "service/core/worker_pool.h"

namespace quill_service {

// Logs line at level 1 (unless null), flushes standard streams and ends the process without
// running exit handlers: the VM's threads and the host's workers may still be using what those
// handlers would tear down. The first caller ends the process; a later one waits for that.
[[noreturn]] void EndProcess(int status, const char* line);

// Takes SIGTERM, SIGINT and SIGHUP over from now on: the first one closes pool to new work
// (dropping what waits in its queue), gives the running jobs until `grace` to finish, and ends the
// process with 128 + the signal number; a second one ends it at once. Call again after something
// else (a VM) may have installed handlers of its own.
void HandleStopSignals(WorkerPool& pool, std::chrono::seconds grace);

// What the first stop signal does before it closes the pool: draining() at once, then after
// `drain` (during which requests are still run, so that a proxy can move away first) stopping(),
// which ends the taking of new work. Either may be empty.
void SetStopDrain(std::chrono::milliseconds drain, std::function<void()> draining, std::function<void()> stopping);

// The stop signal received so far, or 0.
int StopSignal();

// Ends the process the normal way: with status, or the stop signal's status and a line saying
// the running jobs finished.
[[noreturn]] void FinishProcess(int status);

// From now on, exit() called by anyone else (a module's library, a VM ending the process) is
// logged with its status and ends the process at once instead of running exit handlers.
void CatchForeignExit();

}  // namespace quill_service
