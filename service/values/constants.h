// Script constants: values modules register once, visible to every script afterwards.
#pragma once

#include <string>
#include <string_view>

#include "host/request.h"

namespace quill_service {

// Keeps a copy of value under name; QUILL_ERR_EXISTS when the name is taken.
QUILL_API osError RegisterConstant(std::u16string name, const Variant& value);
// The constant's value (it never changes nor dies), or null.
QUILL_API const Variant* FindConstant(std::u16string_view name);

}  // namespace quill_service
