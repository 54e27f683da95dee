// Module generations: which registered tags and data sources a request sees.
#pragma once

#include <cstdint>

#include "host/os.h"

namespace quill_service {

// What a lookup made outside any request sees: the newest registration.
constexpr uint64_t kNewestModuleGeneration = UINT64_MAX;

// The generation a request starting now pins for its whole life.
QUILL_API uint64_t PublishedModuleGeneration();
// The generation of what this thread registers now: 0 (seen by every request) outside a
// ModuleGenerationScope.
QUILL_API uint64_t RegisteringModuleGeneration();

}  // namespace quill_service
