#include "service/core/worker_pool.h"

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
}  // namespace

WorkerPool::WorkerPool(int threads, size_t maxQueued) {
  const int count = threads < 1 ? 1 : threads;
  maxQueued_ = maxQueued != 0 ? maxQueued : kQueuedPerThread * static_cast<size_t>(count);
  threads_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) threads_.emplace_back(kScriptStackBytes, [this] { WorkLoop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::unique_lock guard(lock_);
    allDone_.wait(guard, [this] { return Idle(); });
    stopping_ = true;
  }
  jobReady_.notify_all();
  for (SizedThread& thread : threads_) thread.Join();
}

bool WorkerPool::Submit(std::function<void()> job) {
  {
    std::unique_lock guard(lock_);
    spaceFree_.wait(guard, [this] { return closed_ || jobs_.size() < maxQueued_; });
    if (closed_) return false;
    jobs_.push_back(std::move(job));
  }
  jobReady_.notify_one();
  return true;
}

void WorkerPool::Wait() {
  std::unique_lock guard(lock_);
  allDone_.wait(guard, [this] { return Idle(); });
}

size_t WorkerPool::Close() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard guard(lock_);
    closed_ = true;
    dropped.swap(jobs_);
    if (Idle()) allDone_.notify_all();
  }
  spaceFree_.notify_all();
  return dropped.size();  // destroyed outside the lock: a job's captures may do anything
}

bool WorkerPool::WaitIdleUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(lock_);
  return allDone_.wait_until(guard, deadline, [this] { return Idle(); });
}

size_t WorkerPool::Queued() {
  std::lock_guard guard(lock_);
  return jobs_.size();
}

int WorkerPool::Running() {
  std::lock_guard guard(lock_);
  return running_;
}

void WorkerPool::WorkLoop() {
  std::unique_lock guard(lock_);
  for (;;) {
    jobReady_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) {  // stopping, and nothing left
      guard.unlock();
      RunThreadEndHooks();
      return;
    }
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    guard.unlock();
    spaceFree_.notify_one();
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
