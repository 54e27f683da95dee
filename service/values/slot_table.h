// A table that names live objects by 32-bit handles instead of addresses.
//
// A handle packs a slot index and the slot's generation. Resolving checks the slot's stamp, so
// a handle whose object has been released, or one that was never issued, resolves to null
// instead of being followed. Resolve takes no lock (many threads resolve on every host call);
// Issue and Release take a mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace quill_service {

template <class T>
class SlotTable {
 public:
  static constexpr int kIndexBits = 21;
  static constexpr int kGenerationBits = 10;  // index + generation fit in 31 bits: handles stay positive
  static constexpr uint32_t kCapacity = 1u << kIndexBits;
  static constexpr uint32_t kChunkSize = 4096;
  static constexpr uint32_t kChunkCount = kCapacity / kChunkSize;
  // A released slot waits until this many others have been released before it is reused, so a
  // stale handle has to outlive many generations of reuse before it could alias a live object.
  static constexpr size_t kReuseDelay = 65536;

  SlotTable() = default;
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;
  ~SlotTable() {
    for (auto& chunk : chunks_) delete[] chunk.load(std::memory_order_relaxed);
  }

  // A new handle for object (never 0), or 0 when the table is full.
  int32_t Issue(T* object) {
    std::lock_guard lock(mutex_);
    uint32_t index;
    if (free_.size() > kReuseDelay || (highWater_ == kCapacity && !free_.empty())) {
      index = free_.front();
      free_.pop_front();
    } else if (highWater_ < kCapacity) {
      index = highWater_++;
      if (index % kChunkSize == 0) {
        chunks_[index / kChunkSize].store(new Slot[kChunkSize], std::memory_order_release);
      }
    } else {
      return 0;
    }
    Slot& slot = SlotAt(index);
    slot.generation = slot.generation % ((1u << kGenerationBits) - 1) + 1;  // 1 .. 1023, never 0
    const int32_t handle = static_cast<int32_t>((slot.generation << kIndexBits) | index);
    slot.object.store(object, std::memory_order_relaxed);
    slot.stamp.store(handle, std::memory_order_release);
    ++live_;
    return handle;
  }

  // Ends a handle; later resolves of it give null. Unknown or already released handles are ignored.
  void Release(int32_t handle) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(handle);
    if (slot == nullptr || slot->stamp.load(std::memory_order_relaxed) != handle) return;
    slot->stamp.store(0, std::memory_order_release);
    slot->object.store(nullptr, std::memory_order_relaxed);
    free_.push_back(static_cast<uint32_t>(handle) & (kCapacity - 1));
    --live_;
  }

  // The object a live handle names, or null.
  T* Resolve(int32_t handle) const {
    const Slot* slot = Find(handle);
    if (slot == nullptr || slot->stamp.load(std::memory_order_acquire) != handle) return nullptr;
    T* object = slot->object.load(std::memory_order_acquire);
    // Released (and perhaps reissued) between the two reads: refuse.
    if (slot->stamp.load(std::memory_order_acquire) != handle) return nullptr;
    return object;
  }

  size_t LiveCount() const {
    std::lock_guard lock(mutex_);
    return live_;
  }

 private:
  struct Slot {
    std::atomic<int32_t> stamp{0};  // the live handle of this slot, 0 when free
    uint32_t generation = 0;        // guarded by mutex_
    std::atomic<T*> object{nullptr};
  };

  Slot& SlotAt(uint32_t index) const {
    return chunks_[index / kChunkSize].load(std::memory_order_relaxed)[index % kChunkSize];
  }

  Slot* Find(int32_t handle) const {
    if (handle <= 0) return nullptr;
    const uint32_t index = static_cast<uint32_t>(handle) & (kCapacity - 1);
    Slot* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk[index % kChunkSize];
  }

  mutable std::mutex mutex_;
  std::atomic<Slot*> chunks_[kChunkCount] = {};
  uint32_t highWater_ = 0;
  std::deque<uint32_t> free_;
  size_t live_ = 0;
};

}  // namespace quill_service
