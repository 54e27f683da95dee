// Module generations: which registered tags and data sources a request sees.
#pragma once

#include <cstdint>

#include "host/os.h"

namespace quill_service {

// What a lookup made outside any request sees: the newest registration.
constexpr uint64_t kNewestModuleGeneration = UINT64_MAX;

// The generation a request starting now would see.
QUILL_API uint64_t PublishedModuleGeneration();
// The generation of what this thread registers now: 0 (seen by every request) outside a
// ModuleGenerationScope.
QUILL_API uint64_t RegisteringModuleGeneration();

// A request holds the generation it started with from its start to its end; while any request
// holds a generation, what that generation's lookups find stays alive. Pin returns the generation
// held (the published one); each Pin is matched by one Unpin of what it returned.
QUILL_API uint64_t PinModuleGeneration();
QUILL_API void UnpinModuleGeneration(uint64_t generation);
// Whether a request may hold a generation from `from` up to, not including, `before`. It may
// answer yes for a generation no request holds (never no for one held), and a request that
// starts after this answers no can only hold a generation from `before` on.
QUILL_API bool ModuleGenerationsHeld(uint64_t from, uint64_t before);

}  // namespace quill_service
