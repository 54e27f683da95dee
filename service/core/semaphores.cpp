#include "service/core/semaphores.h"

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
  std::lock_guard guard(semaphore->lock);
  semaphore->destroyed = true;
  semaphore->freed.notify_all();
  return QUILL_OK;
}

osError SemaphoreTable::Acquire(const std::string& name) {
  std::shared_ptr<Semaphore> semaphore = Find(name);
  if (!semaphore) return QUILL_ERR_NOT_FOUND;
  std::unique_lock guard(semaphore->lock);
  semaphore->freed.wait(guard, [&] { return semaphore->destroyed || semaphore->free > 0; });
  if (semaphore->destroyed) return QUILL_ERR_NOT_FOUND;
  --semaphore->free;
  return QUILL_OK;
}

osError SemaphoreTable::Release(const std::string& name) {
  std::shared_ptr<Semaphore> semaphore = Find(name);
  if (!semaphore) return QUILL_ERR_NOT_FOUND;
  std::lock_guard guard(semaphore->lock);
  if (semaphore->free >= semaphore->slots) return QUILL_ERR_INVALID;
  ++semaphore->free;
  semaphore->freed.notify_one();
  return QUILL_OK;
}

}  // namespace quill_service
