#include "service/values/constants.h"

#include <map>
#include <mutex>
#include <shared_mutex>

#include "service/values/text.h"
#include "service/values/variant_data.h"

namespace quill_service {
namespace {

struct Constants {
  std::shared_mutex lock;
  std::map<std::u16string, VariantPtr, std::less<>> values;
};

Constants& TheConstants() {
  static auto* constants = new Constants;  // never destroyed: scripts may read them at exit
  return *constants;
}

osError RegisterByHandle(std::u16string name, quill_type handle) {
  const Variant* value = Variant::FromHandle(handle);
  if (value == nullptr) return QUILL_ERR_BAD_HANDLE;
  try {
    return RegisterConstant(std::move(name), *value);
  } catch (...) {
    return QUILL_ERR_GENERIC;
  }
}

}  // namespace

osError RegisterConstant(std::u16string name, const Variant& value) {
  if (name.empty()) return QUILL_ERR_INVALID;
  VariantPtr copy = CopyVariant(value);
  Constants& constants = TheConstants();
  std::unique_lock guard(constants.lock);
  return constants.values.emplace(std::move(name), std::move(copy)).second ? QUILL_OK : QUILL_ERR_EXISTS;
}

const Variant* FindConstant(std::u16string_view name) {
  Constants& constants = TheConstants();
  std::shared_lock guard(constants.lock);
  auto found = constants.values.find(name);
  return found == constants.values.end() ? nullptr : found->second.get();
}

}  // namespace quill_service

using namespace quill_service;

extern "C" osError quill_registerConstantW(const quill_char* name, quill_type value) {
  if (name == nullptr) return QUILL_ERR_INVALID;
  return RegisterByHandle(std::u16string(View(name)), value);
}

extern "C" osError quill_registerConstant2W(const quill_char* group, const quill_char* name, quill_type value) {
  if (group == nullptr || name == nullptr) return QUILL_ERR_INVALID;
  return RegisterByHandle(std::u16string(View(group)) + u"::" + std::u16string(View(name)), value);
}
