// The contents of a Variant, for host code that builds and walks values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "host/request.h"
#include "service/values/tag_definition.h"

namespace quill_service {

using VariantPtr = std::unique_ptr<Variant>;

struct Bytes {
  std::string bytes;
};

struct ArrayValue {
  std::vector<VariantPtr> items;
};

// Entries keep their insertion order; keys compare by their text.
struct MapValue {
  std::vector<std::pair<VariantPtr, VariantPtr>> entries;
};

struct PairValue {
  VariantPtr first;
  VariantPtr second;
};

// A reference names its target by handle, so a dead target is detected rather than followed.
struct ReferenceValue {
  quill_type target = 0;
};

using TagValue = std::shared_ptr<const TagDefinition>;

// A value of a script-defined or module-defined type.
struct CustomValue {
  std::u16string typeName;
  std::vector<std::pair<std::u16string, VariantPtr>> members;      // data members and member tags
  std::vector<std::pair<std::u16string, intptr_t>> pointerMembers;  // opaque, pointer-sized
  void (*destructor)(quill_type handle) = nullptr;                  // runs before the value dies
  int32_t flags = 0;
  VariantPtr parent;    // the value this one inherits members and type from, owned by it
  quill_type child = 0;  // for a parent: the value that inherits from it
};

QUILL_API VariantPtr MakeVariant();
// Whether the value has been given its handle; asking does not give it one.
QUILL_API bool HasHandle(const Variant& value);
QUILL_API VariantPtr CopyVariant(const Variant& source);

}  // namespace quill_service

struct Variant::Data {
  // Order matters: GetType maps the index to the four-character type code.
  std::variant<std::monostate, std::u16string, int64_t, double, bool, quill_service::Bytes,
               quill_service::ArrayValue, quill_service::MapValue, quill_service::PairValue,
               quill_service::TagValue, std::unique_ptr<quill_service::CustomValue>,
               quill_service::ReferenceValue>
      value;
  int32_t flags = 0;  // free for modules (quill_typeSetFlag)
};

namespace quill_service {

template <class T>
T* Get(Variant& v) { return std::get_if<T>(&v.Contents().value); }
template <class T>
const T* Get(const Variant& v) { return std::get_if<T>(&v.Contents().value); }

// The script name of a value's type ("integer", "array", a custom type's own name, ...).
QUILL_API std::u16string TypeName(const Variant& v);
// Script truth: null, false, 0, 0.0 and "" are false.
QUILL_API bool IsTrue(const Variant& v);
// Numeric-aware equality: 1 == 1.0; otherwise same kind and same contents.
QUILL_API bool ValuesEqual(const Variant& a, const Variant& b);
// The member named name (case-insensitive) of a custom value or, failing that, of its parents,
// nearest first; or null.
QUILL_API Variant* FindMember(CustomValue& custom, std::u16string_view name);
// Member tags registered for custom type names (quill_typeAddMember), process-wide. Names
// compare case-insensitively; registering a name again replaces the tag.
QUILL_API void AddTypeMemberTag(std::u16string_view typeName, std::u16string_view name, TagValue tag);
// The member tag a call of name on a custom value runs: the value's own or its parents' member,
// else a tag registered for its type name or a parent's; null when there is none.
QUILL_API TagValue FindMemberTag(CustomValue& custom, std::u16string_view name);
// A map entry by key text, or null.
QUILL_API Variant* FindMapEntry(MapValue& map, std::u16string_view key);

}  // namespace quill_service
