// A fixed set of worker threads that run submitted jobs in order of submission.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/qcapi.h"

namespace quill_service {

class QUILL_API WorkerPool {
 public:
  // At least one thread is started.
  explicit WorkerPool(int threads);
  // Waits for the submitted jobs, then stops the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues job for a worker thread. A job that throws is logged and does not end its thread.
  void Submit(std::function<void()> job);
  // Returns when every job submitted so far has finished.
  void Wait();
  int ThreadCount() const { return static_cast<int>(threads_.size()); }

 private:
  void WorkLoop();

  std::mutex lock_;
  std::condition_variable jobReady_;
  std::condition_variable allDone_;
  std::deque<std::function<void()>> jobs_;
  int running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace quill_service
