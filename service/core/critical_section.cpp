// osCriticalSection: a recursive lock with a timed enter.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "host/os.h"

struct osCriticalSection::State {
  std::recursive_timed_mutex mutex;
  // Owner and depth let Leave refuse a thread that does not hold the lock instead of
  // corrupting the mutex.
  std::atomic<std::thread::id> owner{};
  int depth = 0;
};

osCriticalSection::osCriticalSection() : state_(std::make_unique<State>()) {}
osCriticalSection::~osCriticalSection() = default;

osError osCriticalSection::Init() { return QUILL_OK; }

osError osCriticalSection::Enter(int32_t timeoutMs, bool tryOnly) {
  bool entered;
  if (tryOnly) {
    entered = state_->mutex.try_lock();
  } else if (timeoutMs < 0) {
    state_->mutex.lock();
    entered = true;
  } else {
    entered = state_->mutex.try_lock_for(std::chrono::milliseconds(timeoutMs));
  }
  if (!entered) return QUILL_ERR_GENERIC;
  state_->owner.store(std::this_thread::get_id());
  ++state_->depth;
  return QUILL_OK;
}

osError osCriticalSection::Leave() {
  if (state_->owner.load() != std::this_thread::get_id() || state_->depth == 0) return QUILL_ERR_INVALID;
  if (--state_->depth == 0) state_->owner.store(std::thread::id{});
  state_->mutex.unlock();
  return QUILL_OK;
}
