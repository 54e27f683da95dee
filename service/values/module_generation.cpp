#include "service/values/module_generation.h"

#include <atomic>
#include <mutex>

#include "host/datasource.h"
#include "host/request.h"

namespace {

std::atomic<uint64_t> gPublished{0};
std::mutex gRegistering;  // held by the one scope alive
thread_local uint64_t tRegistering = 0;

// Requests holding each generation, by generation modulo the slot count: generations that share a
// slot keep each other's registrations a little longer, never shorter. Only the slots of
// generations that were replaced are ever read, so a few are enough.
constexpr uint64_t kHoldSlots = 64;
std::atomic<int64_t> gHolds[kHoldSlots];

// Whether registrations that a newer generation replaced are still kept for requests holding them.
std::atomic<bool> gKeptReplaced{false};

// What registrations a newer generation replaced, once no request holds them, may go.
void DropUnheld() { gKeptReplaced.store(DataSourceRegistry::Global().DropUnreachable(), std::memory_order_relaxed); }

}  // namespace

namespace quill_service {

uint64_t PublishedModuleGeneration() { return gPublished.load(std::memory_order_acquire); }
uint64_t RegisteringModuleGeneration() { return tRegistering; }

// The hold is counted before the generation is checked again: a collector that saw the slot empty
// had published a newer generation before, so the check fails and the request takes that one.
uint64_t PinModuleGeneration() {
  for (;;) {
    const uint64_t generation = gPublished.load(std::memory_order_seq_cst);
    std::atomic<int64_t>& slot = gHolds[generation % kHoldSlots];
    slot.fetch_add(1, std::memory_order_seq_cst);
    if (gPublished.load(std::memory_order_seq_cst) == generation) return generation;
    slot.fetch_sub(1, std::memory_order_seq_cst);
  }
}

void UnpinModuleGeneration(uint64_t generation) {
  const int64_t before = gHolds[generation % kHoldSlots].fetch_sub(1, std::memory_order_seq_cst);
  // The last holder of a generation older than the published one may free what it kept; so may the
  // last holder of a generation that shares its slot with an older one still kept.
  if (before == 1 && (generation != gPublished.load(std::memory_order_seq_cst) ||
                      gKeptReplaced.load(std::memory_order_relaxed))) {
    DropUnheld();
  }
}

bool ModuleGenerationsHeld(uint64_t from, uint64_t before) {
  if (before - from >= kHoldSlots) from = before - kHoldSlots;
  for (uint64_t generation = from; generation < before; ++generation) {
    if (gHolds[generation % kHoldSlots].load(std::memory_order_seq_cst) != 0) return true;
  }
  return false;
}

}  // namespace quill_service

ModuleGenerationScope::ModuleGenerationScope() {
  gRegistering.lock();
  tRegistering = gPublished.load(std::memory_order_relaxed) + 1;
}

// What the scope registered was stored (released) before the generation is published, so a request
// that pins it finds every registration of it. What it replaced goes at once if no request holds
// the generations before.
ModuleGenerationScope::~ModuleGenerationScope() {
  gPublished.store(tRegistering, std::memory_order_seq_cst);
  tRegistering = 0;
  gRegistering.unlock();
  DropUnheld();
}
