// A fixed set of worker threads that run submitted jobs in order of submission. Each has a stack
// of kScriptStackBytes, whatever the process's default, since scripts run on them.
//
// A job submitted while a worker is idle is handed to that worker directly: the most recently
// idle one, which sleeps on a futex of its own: one wake-up, no shared condition variable and
// no lock taken again by the worker. Only when every worker is busy does a job queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/qcapi.h"
#include "service/core/stack.h"

namespace quill_service {

class QUILL_API WorkerPool {
 public:
  // At least one thread is started. At most maxQueued jobs wait for a thread (0: a bound made
  // from the thread count), so whoever submits more waits instead of piling up memory.
  explicit WorkerPool(int threads, size_t maxQueued = 0);
  // Waits for the submitted jobs, then stops the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // kOverfill neither waits for room nor takes any: for a job that hands on a place it already
  // holds to a job of its own pool, which must not wait for the workers to make room, as it is
  // one of them, and must not keep other submitters waiting. Each worker queues at most one such
  // job per job it ends.
  enum class Room { kWait, kOverfill };
  // Queues job for a worker thread; when the queue is full (or, while others wait for room, more
  // than half full), first waits until it is down to half. A job must therefore not submit to
  // its own pool but with kOverfill. False, and the job dropped, once the pool is closed. A job
  // that throws is logged and does not end its thread.
  bool Submit(std::function<void()> job, Room room = Room::kWait);
  // Returns when every job submitted so far has finished (or was dropped by Close).
  void Wait();
  // Refuses new jobs from now on and drops the queued ones, whose count it returns. Jobs already
  // running go on.
  size_t Close();
  // Waits until no job runs or until deadline; true when none runs.
  bool WaitIdleUntil(std::chrono::steady_clock::time_point deadline);

  int ThreadCount() const { return static_cast<int>(threads_.size()); }
  size_t MaxQueued() const { return maxQueued_; }
  // Jobs waiting for a thread; read without the pool's lock, so only as fresh as a glance.
  size_t Queued() const;
  int Running();

 private:
  // An idle worker's mailbox: the job handed to it, and whether it sleeps on the futex.
  struct Slot {
    std::atomic<uint32_t> state{0};
    std::function<void()> job;  // written by the submitter before state says so
  };
  void WorkLoop(Slot& self);
  static void Park(Slot& self);
  static void Wake(Slot& slot, uint32_t state);  // hands over a job or says stop
  bool Idle() const { return jobs_.empty() && running_ == 0; }
  size_t Filled() const { return jobs_.size() - overfilled_; }  // queued jobs that take room

  std::mutex lock_;
  std::vector<Slot*> idle_;  // parked workers, the most recent last
  std::vector<std::unique_ptr<Slot>> slots_;
  std::condition_variable spaceFree_;
  std::condition_variable allDone_;
  struct QueuedJob {
    std::function<void()> job;
    bool overfill;
  };
  std::deque<QueuedJob> jobs_;
  size_t overfilled_ = 0;  // kOverfill jobs in jobs_
  std::atomic<size_t> queued_{0};  // jobs_.size(), kept for Queued
  size_t maxQueued_;
  uint64_t refills_ = 0;  // times the queue came down to half, which wakes whoever waits to submit
  int waiting_ = 0;       // submitters waiting for room
  int running_ = 0;  // jobs running or handed to a worker
  bool closed_ = false;
  bool stopping_ = false;
  std::vector<SizedThread> threads_;
};

}  // namespace quill_service
