#include "service/values/tag_table.h"

#include <mutex>

#include "service/values/request_data.h"
#include "service/values/text.h"

using namespace quill_service;

TagTable& TagTable::Global() {
  static auto* table = new TagTable();  // emptied by DestroyAllTags, never destroyed
  return *table;
}

bool TagTable::Add(std::shared_ptr<TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned, bool replace) {
  std::unique_lock lock(mutex_);
  if (!tag) {
    if (owned) owned_.push_back(std::move(owned));  // a tag nobody can call is still ours to delete
    return false;
  }
  auto key = FoldCase(tag->name);
  auto it = tags_.find(key);
  if (it != tags_.end()) {
    if (!replace) return false;  // owned dies here: it was never reachable
    it->second = std::move(tag);
  } else {
    tags_.emplace(std::move(key), std::move(tag));
  }
  if (owned) owned_.push_back(std::move(owned));
  return true;
}

void TagTable::Register(std::shared_ptr<TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned) {
  Add(std::move(tag), std::move(owned), true);
}

bool TagTable::RegisterIfAbsent(std::shared_ptr<TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned) {
  return Add(std::move(tag), std::move(owned), false);
}

TagValue TagTable::Find(std::u16string_view name) const { return FindFolded(FoldCase(name)); }

TagValue TagTable::FindFolded(std::u16string_view folded) const {
  std::shared_lock lock(mutex_);
  auto it = tags_.find(folded);
  return it == tags_.end() ? nullptr : it->second;
}

size_t TagTable::Size() const {
  std::shared_lock lock(mutex_);
  return tags_.size();
}

void TagTable::DestroyAll() {
  decltype(tags_) tags;
  decltype(owned_) owned;
  {
    std::unique_lock lock(mutex_);
    tags.swap(tags_);
    owned.swap(owned_);
    epoch_.fetch_add(1, std::memory_order_acq_rel);
  }
  tags.clear();
  // Newest first, the reverse of registration.
  while (!owned.empty()) owned.pop_back();
}

TagRegistry::TagRegistry(Request* request, TagTable* table)
    : request_(request), table_(table != nullptr ? table : &TagTable::Global()) {}

TagRegistry::~TagRegistry() = default;

void TagRegistry::RegTag(const quill_char* moduleName, const quill_char* tagName, SubstitutionTag* tag,
                         const quill_char* description, int32_t flags) {
  std::unique_ptr<SubstitutionTag> owned(tag);
  if (tagName == nullptr || *tagName == 0 || tag == nullptr) {
    table_->Register(nullptr, std::move(owned));  // still ours to delete at shutdown
    return;
  }
  auto definition = std::make_shared<TagDefinition>();
  definition->name = View(tagName);
  if (moduleName != nullptr) definition->moduleName = View(moduleName);
  if (description != nullptr) definition->description = View(description);
  definition->flags = flags;
  definition->native = tag;
  table_->Register(std::move(definition), std::move(owned));
}

namespace quill_service {

void DestroyAllTags() { TagTable::Global().DestroyAll(); }

TagValue FindTag(Request* request, std::u16string_view name, bool registeredOnly) {
  return FindFoldedTag(request, FoldCase(name), registeredOnly);
}

TagValue FindFoldedTag(Request* request, std::u16string_view folded, bool registeredOnly) {
  if (!registeredOnly && request != nullptr) {
    auto& defined = request->Contents().definedTags;
    if (!defined.empty()) {
      auto it = defined.find(std::u16string(folded));
      if (it != defined.end()) return it->second;
    }
  }
  return TagTable::Global().FindFolded(folded);
}

}  // namespace quill_service
