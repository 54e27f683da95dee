// Internal paths: the server root's view of its files. "/" is the root folder and '/' separates
// names; a path ending with '/' names a folder. Nothing here lets a path leave the root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/qcapi.h"

namespace quill_service {

// path made full from folder (a full internal folder path) when it is relative, with "." and
// ".." taken out and repeated '/' merged. Nothing when ".." climbs above "/" or path is empty.
QUILL_API std::optional<std::string> QualifyInternalPath(std::string_view path, std::string_view folder);

// The platform path of a full internal path, under root (absolute, ending with '/'). Links are
// not followed.
QUILL_API std::string InternalToPlatformPath(const std::string& root, std::string_view internal);

// The full internal path of a platform path under root, or nothing when it is outside.
QUILL_API std::optional<std::string> PlatformToInternalPath(const std::string& root, std::string_view platform);

// The full internal path of the file a full internal path names once symbolic links are
// followed (the part that exists; a missing tail is kept as written). Nothing when the real
// location is outside the root.
QUILL_API std::optional<std::string> ResolveInternalLinks(const std::string& root, std::string_view internal);

// Copies path with its terminator into out when it fits in outSize bytes: 0, else
// QUILL_ERR_OUT_OF_RANGE with out untouched (QUILL_ERR_INVALID for no buffer).
QUILL_API osError WritePath(std::string_view path, char* out, int32_t outSize);

}  // namespace quill_service
