#include "service/core/worker_pool.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

namespace {

std::mutex gThreadEndHooksLock;
std::vector<void (*)()> gThreadEndHooks;

// Runs every thread-end hook on the calling worker thread.
void RunThreadEndHooks() {
  std::vector<void (*)()> hooks;
  {
    std::lock_guard guard(gThreadEndHooksLock);
    hooks = gThreadEndHooks;
  }
  for (auto* hook : hooks) hook();
}

}  // namespace

osError quill_onWorkerThreadEnd(void (*hook)()) {
  if (hook == nullptr) return QUILL_ERR_INVALID;
  std::lock_guard guard(gThreadEndHooksLock);
  if (std::find(gThreadEndHooks.begin(), gThreadEndHooks.end(), hook) == gThreadEndHooks.end()) {
    gThreadEndHooks.push_back(hook);
  }
  return 0;
}

namespace quill_service {

namespace {
// Enough waiting jobs to keep every thread busy between two wake-ups of the submitter.
constexpr size_t kQueuedPerThread = 16;

// A slot's states: parked (not yet asleep), asleep on the futex, handed a job, told to stop.
constexpr uint32_t kParked = 0, kAsleep = 1, kHanded = 2, kStop = 3;

// The futex works on the atomic's own 32-bit word.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

long Futex(std::atomic<uint32_t>& word, int operation, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), operation, value, nullptr, nullptr, 0);
}
}  // namespace

WorkerPool::WorkerPool(int threads, size_t maxQueued) {
  const int count = threads < 1 ? 1 : threads;
  maxQueued_ = maxQueued != 0 ? maxQueued : kQueuedPerThread * static_cast<size_t>(count);
  threads_.reserve(static_cast<size_t>(count));
  slots_.reserve(static_cast<size_t>(count));
  idle_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    Slot* slot = slots_.emplace_back(std::make_unique<Slot>()).get();
    threads_.emplace_back(kScriptStackBytes, [this, slot] { WorkLoop(*slot); });
  }
}

WorkerPool::~WorkerPool() {
  std::vector<Slot*> parked;
  {
    std::unique_lock guard(lock_);
    allDone_.wait(guard, [this] { return Idle(); });
    stopping_ = true;
    parked.swap(idle_);
  }
  for (Slot* slot : parked) Wake(*slot, kStop);
  for (SizedThread& thread : threads_) thread.Join();
}

bool WorkerPool::Submit(std::function<void()> job, Room room) {
  Slot* worker = nullptr;
  {
    std::unique_lock guard(lock_);
    // A submitter that finds the queue full waits until it is down to half: woken for every job
    // taken, it would trade a wake-up with a worker per job. Every waiter is woken then and takes
    // a place if there is one; one that comes while others wait waits with them unless the queue
    // is down to half, so that no submitter keeps the others out by keeping it full.
    bool woken = room == Room::kOverfill;
    while (room == Room::kWait && !closed_ &&
           (Filled() >= maxQueued_ || (!woken && waiting_ > 0 && Filled() > maxQueued_ / 2))) {
      ++waiting_;
      const uint64_t seen = refills_;
      spaceFree_.wait(guard, [&] { return closed_ || refills_ != seen; });
      --waiting_;
      woken = true;
    }
    if (closed_) return false;
    if (idle_.empty()) {
      jobs_.push_back({std::move(job), room == Room::kOverfill});
      if (room == Room::kOverfill) ++overfilled_;
      queued_.store(jobs_.size(), std::memory_order_relaxed);
      return true;
    }
    worker = idle_.back();
    idle_.pop_back();
    worker->job = std::move(job);
    ++running_;
  }
  Wake(*worker, kHanded);
  return true;
}

void WorkerPool::Wake(Slot& slot, uint32_t state) {
  if (slot.state.exchange(state) == kAsleep) Futex(slot.state, FUTEX_WAKE_PRIVATE, 1);
}

// Polling before sleeping was tried: on two cores it cost more CPU per job than the wake-ups
// it saved.
void WorkerPool::Park(Slot& self) {
  uint32_t parked = kParked;
  if (!self.state.compare_exchange_strong(parked, kAsleep)) return;  // handed meanwhile
  while (self.state.load(std::memory_order_acquire) == kAsleep) Futex(self.state, FUTEX_WAIT_PRIVATE, kAsleep);
}

void WorkerPool::Wait() {
  std::unique_lock guard(lock_);
  allDone_.wait(guard, [this] { return Idle(); });
}

size_t WorkerPool::Close() {
  std::deque<QueuedJob> dropped;
  {
    std::lock_guard guard(lock_);
    closed_ = true;
    dropped.swap(jobs_);
    overfilled_ = 0;
    queued_.store(0, std::memory_order_relaxed);
    // Counted as running until they are gone, so that no one waiting for the pool to be idle
    // frees what their captures still use.
    running_ += static_cast<int>(dropped.size());
  }
  spaceFree_.notify_all();
  const size_t count = dropped.size();
  dropped.clear();  // outside the lock: a job's captures may do anything
  std::lock_guard guard(lock_);
  running_ -= static_cast<int>(count);
  if (Idle()) allDone_.notify_all();
  return count;
}

bool WorkerPool::WaitIdleUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(lock_);
  return allDone_.wait_until(guard, deadline, [this] { return Idle(); });
}

size_t WorkerPool::Queued() const { return queued_.load(std::memory_order_relaxed); }

int WorkerPool::Running() {
  std::lock_guard guard(lock_);
  return running_;
}

void WorkerPool::WorkLoop(Slot& self) {
  std::unique_lock guard(lock_);
  for (;;) {
    std::function<void()> job;
    if (!jobs_.empty()) {
      QueuedJob front = std::move(jobs_.front());
      jobs_.pop_front();
      if (front.overfill) --overfilled_;
      queued_.store(jobs_.size(), std::memory_order_relaxed);
      job = std::move(front.job);
      ++running_;
      const bool refill = !front.overfill && Filled() == maxQueued_ / 2;
      if (refill) ++refills_;
      guard.unlock();
      if (refill) spaceFree_.notify_all();
    } else if (stopping_) {
      guard.unlock();
      RunThreadEndHooks();
      return;
    } else {
      self.state.store(kParked, std::memory_order_relaxed);
      idle_.push_back(&self);
      guard.unlock();
      Park(self);
      if (self.state.load(std::memory_order_acquire) == kStop) {  // stopping_ is set
        guard.lock();
        continue;
      }
      job = std::move(self.job);  // counted as running by whoever handed it
      self.job = nullptr;
    }
    try {
      job();
    } catch (const std::exception& e) {
      quill_log(1, "A worker job failed: %s", e.what());
    } catch (...) {
      quill_log(1, "A worker job failed with an unknown exception");
    }
    job = nullptr;  // its captures go before the pool can count as idle
    guard.lock();
    --running_;
    if (Idle()) allDone_.notify_all();
  }
}

}  // namespace quill_service
