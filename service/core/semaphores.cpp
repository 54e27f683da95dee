#include "service/core/semaphores.h"

#include <algorithm>

#include "service/core/pg_database.h"

namespace quill_service {

SemaphoreTable& SemaphoreTable::Global() {
  static auto* table = new SemaphoreTable;  // never destroyed: workers may still wait at exit
  return *table;
}

std::shared_ptr<SemaphoreTable::Semaphore> SemaphoreTable::Find(const std::string& name) {
  std::lock_guard guard(lock_);
  auto found = semaphores_.find(name);
  return found == semaphores_.end() ? nullptr : found->second;
}

osError SemaphoreTable::Create(const std::string& name, int32_t slots) {
  if (slots < 1) return QUILL_ERR_INVALID;
  std::lock_guard guard(lock_);
  auto& semaphore = semaphores_[name];
  if (!semaphore) {
    semaphore = std::make_shared<Semaphore>();
    semaphore->slots = semaphore->free = slots;
  }
  return QUILL_OK;
}

osError SemaphoreTable::Destroy(const std::string& name) {
  std::shared_ptr<Semaphore> semaphore;
  {
    std::lock_guard guard(lock_);
    auto found = semaphores_.find(name);
    if (found == semaphores_.end()) return QUILL_ERR_NOT_FOUND;
    semaphore = std::move(found->second);
    semaphores_.erase(found);
  }
  std::vector<std::shared_ptr<postgres::SharedLock>> waiting;
  {
    std::lock_guard guard(semaphore->lock);
    semaphore->destroyed = true;  // no waiter joins after this
    waiting = semaphore->waiting;
    semaphore->freed.notify_all();
  }
  // Cancelling talks to PostgreSQL: not under the semaphore's lock.
  for (const auto& shared : waiting) shared->Cancel();
  return QUILL_OK;
}

osError SemaphoreTable::Acquire(const std::string& name) {
  std::shared_ptr<Semaphore> semaphore = Find(name);
  if (!semaphore) return QUILL_ERR_NOT_FOUND;
  std::unique_lock guard(semaphore->lock);
  semaphore->freed.wait(guard, [&] { return semaphore->destroyed || semaphore->free > 0; });
  if (semaphore->destroyed) return QUILL_ERR_NOT_FOUND;
  --semaphore->free;
  if (!postgres::IsOpen()) return QUILL_OK;
  // The other servers' holders: wait for one of the name's locks, without holding this one.
  auto shared = std::make_shared<postgres::SharedLock>();
  semaphore->waiting.push_back(shared);
  guard.unlock();
  const osError code = shared->Take(name, semaphore->slots);
  guard.lock();
  auto& waiting = semaphore->waiting;
  waiting.erase(std::find(waiting.begin(), waiting.end(), shared));
  if (code == QUILL_OK && !semaphore->destroyed) {
    semaphore->held.push_back(std::move(shared));
    return QUILL_OK;
  }
  ++semaphore->free;
  semaphore->freed.notify_one();
  const osError result = semaphore->destroyed ? QUILL_ERR_NOT_FOUND : code;
  guard.unlock();
  shared.reset();  // gives a lock taken too late back, after the semaphore's lock
  return result;
}

osError SemaphoreTable::Release(const std::string& name) {
  std::shared_ptr<Semaphore> semaphore = Find(name);
  if (!semaphore) return QUILL_ERR_NOT_FOUND;
  std::shared_ptr<postgres::SharedLock> shared;  // given back after the semaphore's lock
  std::lock_guard guard(semaphore->lock);
  if (semaphore->free >= semaphore->slots) return QUILL_ERR_INVALID;
  ++semaphore->free;
  if (!semaphore->held.empty()) {
    shared = std::move(semaphore->held.back());
    semaphore->held.pop_back();
  }
  semaphore->freed.notify_one();
  return QUILL_OK;
}

}  // namespace quill_service
