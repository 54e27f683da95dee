// What a tag value names: a registered tag, a C function body or a script-defined tag, with the
// signature scripts and modules can inspect.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/request.h"

namespace quill_service {

struct ExpectedParam {
  std::u16string name;  // without the dash
  std::u16string type;  // empty: any type
  bool required = true;
};

// The body of a script-defined tag; the interpreter derives from it.
class ScriptTagBody {
 public:
  virtual ~ScriptTagBody() = default;
};

// Tag values share a definition; a registered one can hand out a shared owner from its address.
struct TagDefinition : std::enable_shared_from_this<TagDefinition> {
  std::u16string name;  // as registered or defined
  std::u16string moduleName;
  std::u16string description;
  int32_t flags = 0;
  std::u16string returnType;  // empty: any
  std::vector<ExpectedParam> params;

  // Exactly one of these implements the tag.
  SubstitutionTag* native = nullptr;  // owned by the tag table
  quill_tag_func function = nullptr;
  std::shared_ptr<const ScriptTagBody> script;

  // A registered tag's module generation (0: seen by every request) and the definition it
  // replaced, which requests pinned to an older generation keep finding.
  uint64_t generation = 0;
  const TagDefinition* replaced = nullptr;
};

// The definition a call runs. A registered tag's definition lives as long as the tag table keeps
// it (until the table is emptied at shutdown), so it is held by address and finding or calling
// it touches no reference count; a script-defined tag or a tag value is shared.
class TagRef {
 public:
  TagRef() = default;
  TagRef(std::nullptr_t) {}
  explicit TagRef(const TagDefinition* registered) : definition_(registered) {}
  TagRef(std::shared_ptr<const TagDefinition> shared)
      : definition_(shared.get()), shared_(std::move(shared)) {}

  const TagDefinition* get() const { return definition_; }
  const TagDefinition* operator->() const { return definition_; }
  const TagDefinition& operator*() const { return *definition_; }
  explicit operator bool() const { return definition_ != nullptr; }
  // A shared owner, for what outlives the call (a tag value).
  std::shared_ptr<const TagDefinition> Shared() const {
    if (shared_ || definition_ == nullptr) return shared_;
    return definition_->shared_from_this();
  }

 private:
  const TagDefinition* definition_ = nullptr;
  std::shared_ptr<const TagDefinition> shared_;
};

}  // namespace quill_service
