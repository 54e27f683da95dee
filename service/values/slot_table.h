// A table that names live objects by 32-bit handles instead of addresses.
//
// A handle packs a slot index and the slot's generation. Resolving checks the slot's stamp, so
// a handle whose object has been released, or one that was never issued, resolves to null
// instead of being followed. Resolve takes no lock (many threads resolve on every host call).
//
// A released slot is reused only after kReuseDelay other slots have been released after it, in a
// shared first-in first-out queue guarded by a mutex. A table made with kThreadCached keeps that
// mutex off the common path: each thread issues from a batch of free slots it took from the queue
// and collects the slots it releases into a batch of its own, so a thread meets the mutex once
// per kBatch issues or releases. Batches stay out of the queue while a thread holds them, so the
// delay only grows. Only tables that outlive every thread may cache (a thread gives its batches
// back when it ends), and per thread one cached table of each object type does: others of the
// same type take the mutex. Once every slot has been issued, released ones are reused sooner.
#pragma once

#include <algorithm>
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
  // Slots a thread takes from, or gives to, the shared queue at once.
  static constexpr uint32_t kBatch = 64;

  enum Caching { kShared, kThreadCached };

  explicit SlotTable(Caching caching = kShared) : cached_(caching == kThreadCached) {}
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;
  ~SlotTable() {
    for (auto& chunk : chunks_) delete[] chunk.load(std::memory_order_relaxed);
  }

  // A new handle for object (never 0), or 0 when the table is full. owner tags the handle for
  // ResolveOwned.
  int32_t Issue(T* object, uintptr_t owner = 0) {
    uint32_t index;
    if (ThreadCache* cache = LocalCache()) {
      if (cache->freshCount == 0) {
        std::lock_guard lock(mutex_);
        cache->freshCount = TakeFree(cache->fresh, kBatch);
      }
      if (cache->freshCount == 0) return 0;
      index = cache->fresh[--cache->freshCount];
    } else {
      std::lock_guard lock(mutex_);
      if (TakeFree(&index, 1) == 0) return 0;
    }
    // The slot is this thread's alone until it is released: no other thread writes its generation.
    Slot& slot = SlotAt(index);
    slot.generation = slot.generation % ((1u << kGenerationBits) - 1) + 1;  // 1 .. 1023, never 0
    const int32_t handle = static_cast<int32_t>((slot.generation << kIndexBits) | index);
    slot.object.store(object, std::memory_order_relaxed);
    slot.owner.store(owner, std::memory_order_relaxed);
    slot.stamp.store(handle, std::memory_order_release);
    return handle;
  }

  // Ends a handle; later resolves of it give null. Unknown or already released handles are
  // ignored, also when several threads release one handle at once.
  void Release(int32_t handle) {
    Slot* slot = Find(handle);
    if (slot == nullptr) return;
    int32_t expected = handle;
    if (!slot->stamp.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return;
    slot->object.store(nullptr, std::memory_order_relaxed);
    slot->owner.store(0, std::memory_order_relaxed);
    const uint32_t index = static_cast<uint32_t>(handle) & (kCapacity - 1);
    if (ThreadCache* cache = LocalCache()) {
      cache->released[cache->releasedCount++] = index;
      if (cache->releasedCount == kBatch) {
        std::lock_guard lock(mutex_);
        free_.insert(free_.end(), cache->released, cache->released + kBatch);
        cache->releasedCount = 0;
      }
    } else {
      std::lock_guard lock(mutex_);
      free_.push_back(index);
    }
  }

  // The object a live handle names, or null.
  T* Resolve(int32_t handle) const { return Read(handle, nullptr); }

  // The object a live handle names if it was issued with this owner tag, else null. The object
  // is not touched to find out, so a caller never reaches an object whose owner is ending it.
  T* ResolveOwned(int32_t handle, uintptr_t owner) const { return Read(handle, &owner); }

  // Handles issued and not released. Counts the slots, for checks rather than for hot paths.
  size_t LiveCount() const {
    std::lock_guard lock(mutex_);
    size_t live = 0;
    for (uint32_t index = 0; index < highWater_; ++index) live += SlotAt(index).stamp.load() != 0;
    return live;
  }

 private:
  struct Slot {
    std::atomic<int32_t> stamp{0};  // the live handle of this slot, 0 when free
    uint32_t generation = 0;        // written by the thread the slot is issued on
    std::atomic<T*> object{nullptr};
    std::atomic<uintptr_t> owner{0};
  };

  // A thread's batches for the one cached table it uses.
  struct ThreadCache {
    const SlotTable* table;
    uint32_t freshCount = 0;
    uint32_t releasedCount = 0;
    uint32_t fresh[kBatch];
    uint32_t released[kBatch];
  };

  // Gives the thread's batches back when the thread ends. Later calls on the ending thread (other
  // thread-local objects releasing handles) take the mutex.
  struct CacheKeeper {
    ThreadCache* cache = nullptr;
    ~CacheKeeper() {
      tCache = Gone();
      if (cache == nullptr) return;
      SlotTable* table = const_cast<SlotTable*>(cache->table);
      std::lock_guard lock(table->mutex_);
      table->free_.insert(table->free_.end(), cache->released, cache->released + cache->releasedCount);
      // Fresh slots have waited their delay already: they may be issued next.
      table->free_.insert(table->free_.begin(), cache->fresh, cache->fresh + cache->freshCount);
      delete cache;
    }
  };
  static ThreadCache* Gone() { return reinterpret_cast<ThreadCache*>(alignof(ThreadCache)); }
  // Plain data, readable while the thread's other thread-local objects are destroyed: null until
  // the thread first uses a cached table, Gone() once its batches were given back.
  inline static thread_local ThreadCache* tCache = nullptr;
  inline static thread_local CacheKeeper tCacheKeeper;

  ThreadCache* LocalCache() const {
    if (!cached_) return nullptr;
    ThreadCache* cache = tCache;
    if (cache == nullptr) {
      cache = tCache = new ThreadCache{this, 0, 0, {}, {}};
      tCacheKeeper.cache = cache;
    } else if (cache == Gone()) {
      return nullptr;
    }
    return cache->table == this ? cache : nullptr;
  }

  // Moves up to `wanted` free slots into out, oldest released first once the delay is filled,
  // else fresh ones; the released ones early only when the table has no fresh slot left. Under
  // mutex_.
  uint32_t TakeFree(uint32_t* out, uint32_t wanted) {
    uint32_t taken = 0;
    if (free_.size() > kReuseDelay) {
      taken = static_cast<uint32_t>(std::min<size_t>(wanted, free_.size() - kReuseDelay));
    } else if (highWater_ == kCapacity) {
      taken = static_cast<uint32_t>(std::min<size_t>(wanted, free_.size()));
    }
    std::copy_n(free_.begin(), taken, out);
    free_.erase(free_.begin(), free_.begin() + taken);
    for (; taken < wanted && highWater_ < kCapacity; ++taken) {
      const uint32_t index = highWater_++;
      if (index % kChunkSize == 0) {
        chunks_[index / kChunkSize].store(new Slot[kChunkSize], std::memory_order_release);
      }
      out[taken] = index;
    }
    return taken;
  }

  T* Read(int32_t handle, const uintptr_t* owner) const {
    const Slot* slot = Find(handle);
    if (slot == nullptr || slot->stamp.load(std::memory_order_acquire) != handle) return nullptr;
    if (owner != nullptr && slot->owner.load(std::memory_order_acquire) != *owner) return nullptr;
    T* object = slot->object.load(std::memory_order_acquire);
    // Released (and perhaps reissued) between the reads: refuse.
    if (slot->stamp.load(std::memory_order_acquire) != handle) return nullptr;
    return object;
  }

  Slot& SlotAt(uint32_t index) const {
    return chunks_[index / kChunkSize].load(std::memory_order_acquire)[index % kChunkSize];
  }

  Slot* Find(int32_t handle) const {
    if (handle <= 0) return nullptr;
    const uint32_t index = static_cast<uint32_t>(handle) & (kCapacity - 1);
    Slot* chunk = chunks_[index / kChunkSize].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : &chunk[index % kChunkSize];
  }

  const bool cached_;
  mutable std::mutex mutex_;
  std::atomic<Slot*> chunks_[kChunkCount] = {};
  uint32_t highWater_ = 0;      // guarded by mutex_
  std::deque<uint32_t> free_;  // guarded by mutex_
};

}  // namespace quill_service
