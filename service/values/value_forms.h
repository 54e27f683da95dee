// Numbers read from values, and the external byte forms of values.
#pragma once

#include <string>
#include <string_view>

#include "service/values/variant_data.h"

namespace quill_service {

// An integer, decimal, boolean or text holding a whole number in range; otherwise
// QUILL_ERR_WRONG_TYPE is thrown. Decimals are truncated toward zero.
QUILL_API int64_t ToInteger(const Variant& v);
// A number, boolean or text holding a number; otherwise QUILL_ERR_WRONG_TYPE is thrown.
QUILL_API double ToDecimal(const Variant& v);
// value rounded to digits after the point (half away from zero); negative digits: unchanged.
QUILL_API double RoundDecimal(double value, int32_t digits);

// "serialized": a tagged binary form in which every kind but tags round-trips (a reference is
// written as the value it names; pointer members and destructors are left out).
// "json": JSON text; arrays and maps nest, pairs become two-element arrays, bytes a string of
// their ISO-8859-1 characters and custom values an object of their members with "_type".
// Unknown names give QUILL_ERR_NOT_FOUND; malformed input QUILL_ERR_INVALID.
QUILL_API std::string ToExternalForm(const Variant& v, std::string_view name);
QUILL_API VariantPtr FromExternalForm(std::string_view bytes, std::string_view name);

}  // namespace quill_service
