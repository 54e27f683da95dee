// A scope of script variables: the page's or a tag frame's locals, or the request's globals.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "service/values/variant_data.h"

namespace quill_service {

// Variable names are case-sensitive. Each variable owns its value; assigning to a variable
// changes its value in place, so the value's handle stays valid while the variable exists.
class QUILL_API VariableScope {
 public:
  Variant* Find(std::u16string_view name) const;
  // The variable's value, created null if the variable does not exist.
  Variant& Define(std::u16string_view name);
  bool Remove(std::u16string_view name);
  void Clear() {
    if (vars_.empty()) return;
    auto dying = std::move(vars_);  // destructors may look at the scope again
    vars_.clear();
  }
  size_t Size() const { return vars_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>{}(s); }
  };
  std::unordered_map<std::u16string, VariantPtr, Hash, std::equal_to<>> vars_;
};

}  // namespace quill_service
