// Fuzz target for the script parser and interpreter: each input is a script. It is parsed and,
// when it parses, run with a step limit (legal scripts may loop for ever or grow exponentially)
// and under a memory budget: an allocation past the budget fails as the allocator's would, so
// runaway growth becomes the interpreter's "out of memory" error instead of exhausting the
// machine. A crash, a sanitizer report or a hang is a finding; script errors are not.
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "service/core/worker_pool.h"
#include "service/script/script.h"

namespace {

constexpr uint64_t kSteps = 20000;
constexpr size_t kBudgetBytes = size_t{256} << 20;

std::atomic<size_t> gLiveBytes{0};

void* Allocate(size_t size) {
  if (gLiveBytes.load(std::memory_order_relaxed) + size > kBudgetBytes) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) gLiveBytes.fetch_add(malloc_usable_size(p), std::memory_order_relaxed);
  return p;
}

void Free(void* p) {
  if (p == nullptr) return;
  gLiveBytes.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }

// Scripts parse and run on a worker thread, as in the server: its stack is the one the limits
// are made for (the fuzzing engine's own thread is the process's first).
void ParseAndRun(const std::string& source) {
  std::string error;
  quill_service::ProgramPtr program = quill_service::ParseScript(source, "fuzz.qs", &error);
  if (!program) return;
  quill_service::RunInputs inputs;
  inputs.params = {{"p", "a\xF0\x9F\x98\x80" "b"}};
  inputs.headers = {{"Accept", "*/*"}};
  quill_service::RunLimits limits;
  limits.steps = kSteps;
  quill_service::RunProgram(program, inputs, limits);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quill_service::WorkerPool* worker = new quill_service::WorkerPool(1);
  const std::string source(reinterpret_cast<const char*>(data), size);
  worker->Submit([&source] { ParseAndRun(source); });
  worker->Wait();
  return 0;
}
