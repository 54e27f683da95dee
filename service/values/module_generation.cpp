#include "service/values/module_generation.h"

#include <atomic>
#include <mutex>

#include "host/request.h"

namespace {

std::atomic<uint64_t> gPublished{0};
std::mutex gRegistering;  // held by the one scope alive
thread_local uint64_t tRegistering = 0;

}  // namespace

namespace quill_service {

uint64_t PublishedModuleGeneration() { return gPublished.load(std::memory_order_acquire); }
uint64_t RegisteringModuleGeneration() { return tRegistering; }

}  // namespace quill_service

ModuleGenerationScope::ModuleGenerationScope() {
  gRegistering.lock();
  tRegistering = gPublished.load(std::memory_order_relaxed) + 1;
}

// What the scope registered was stored (released) before the generation is published, so a request
// that pins it finds every registration of it.
ModuleGenerationScope::~ModuleGenerationScope() {
  gPublished.store(tRegistering, std::memory_order_release);
  tRegistering = 0;
  gRegistering.unlock();
}
