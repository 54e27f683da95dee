// Numbers read from values, and the external byte forms of values.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "service/values/variant_data.h"

namespace quill_service {

// An integer, decimal, boolean or text holding a whole number in range; a decimal beyond the
// range (or NaN) throws QUILL_ERR_OUT_OF_RANGE, anything else QUILL_ERR_WRONG_TYPE. Decimals are
// truncated toward zero.
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
//
// Member tags of custom values are left out of both forms: they belong to the type, and a value
// read back finds the tags registered for its type name. In the serialized form a custom value
// may carry a state of its own: hooks.save gives it (false: none) and hooks.restore receives it
// once the value is read back, in place.
struct FormHooks {
  std::function<bool(const Variant& custom, std::string& state)> save;
  std::function<void(Variant& custom, std::string_view state)> restore;
};
QUILL_API std::string ToExternalForm(const Variant& v, std::string_view name, const FormHooks* hooks = nullptr);
QUILL_API VariantPtr FromExternalForm(std::string_view bytes, std::string_view name, const FormHooks* hooks = nullptr);
// Runs the callback member name ("onassign", ...) of the custom value self in state s, with param
// as parameter 0 when given; what it outputs goes to output (or is dropped). False when the value
// has no such member; a failing callback throws its code.
QUILL_API bool RunTypeCallback(QPExecState& s, Variant& self, std::u16string_view name, VariantPtr param,
                               std::string* output);
// After copy was made from source (a script's assignment, a tag's result, a variable a module
// set): a custom copy's "onassign" member runs in state s, with the value copied from as
// parameter 0 (a reference to it).
QUILL_API void AnnounceCopy(QPExecState& s, Variant& copy, Variant& source);
// Hooks that run a custom value's "onserialize" and "onunserialize" member tags in state s.
QUILL_API FormHooks TypeCallbackHooks(QPExecState& s);

}  // namespace quill_service
