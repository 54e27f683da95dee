// Named counting semaphores shared by every worker thread of the process, and, when the internal
// database is on PostgreSQL, by every server on that database: each slot taken is then also one
// of the name's advisory locks there, held on a session connection of its own until released.
// Creating and destroying a name stays each process's own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/qcapi.h"

namespace quill_service::postgres {
class SharedLock;
}

namespace quill_service {

class QUILL_API SemaphoreTable {
 public:
  static SemaphoreTable& Global();

  // A semaphore with `slots` free slots; an existing name is kept as it is (and succeeds).
  osError Create(const std::string& name, int32_t slots = 1);
  // Removes the name; threads waiting on it wake up with QUILL_ERR_NOT_FOUND. Slots held stay
  // held, and their releases are refused.
  osError Destroy(const std::string& name);
  // Takes a slot, waiting without limit until one is free. QUILL_ERR_NOT_FOUND for an unknown
  // name or when the semaphore is destroyed while waiting.
  osError Acquire(const std::string& name);
  // Gives a slot back; QUILL_ERR_INVALID when every slot is free already.
  osError Release(const std::string& name);

 private:
  struct Semaphore {
    std::mutex lock;
    std::condition_variable freed;
    int32_t slots = 1;
    int32_t free = 1;
    bool destroyed = false;
    // On PostgreSQL: the advisory locks being waited for and those held.
    std::vector<std::shared_ptr<postgres::SharedLock>> waiting, held;
  };
  std::shared_ptr<Semaphore> Find(const std::string& name);

  std::mutex lock_;
  std::map<std::string, std::shared_ptr<Semaphore>> semaphores_;
};

}  // namespace quill_service
