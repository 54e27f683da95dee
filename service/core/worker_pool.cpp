#include "service/core/worker_pool.h"

#include <exception>

namespace quill_service {

WorkerPool::WorkerPool(int threads) {
  const int count = threads < 1 ? 1 : threads;
  threads_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) threads_.emplace_back([this] { WorkLoop(); });
}

WorkerPool::~WorkerPool() {
  {
    std::unique_lock guard(lock_);
    allDone_.wait(guard, [this] { return jobs_.empty() && running_ == 0; });
    stopping_ = true;
  }
  jobReady_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Submit(std::function<void()> job) {
  {
    std::lock_guard guard(lock_);
    jobs_.push_back(std::move(job));
  }
  jobReady_.notify_one();
}

void WorkerPool::Wait() {
  std::unique_lock guard(lock_);
  allDone_.wait(guard, [this] { return jobs_.empty() && running_ == 0; });
}

void WorkerPool::WorkLoop() {
  std::unique_lock guard(lock_);
  for (;;) {
    jobReady_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;  // stopping, and nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    ++running_;
    guard.unlock();
    try {
      job();
    } catch (const std::exception& e) {
      quill_log(1, "A worker job failed: %s", e.what());
    } catch (...) {
      quill_log(1, "A worker job failed with an unknown exception");
    }
    guard.lock();
    --running_;
    if (jobs_.empty() && running_ == 0) allDone_.notify_all();
  }
}

}  // namespace quill_service
