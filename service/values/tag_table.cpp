#include "service/values/tag_table.h"

#include <mutex>

#include "service/values/request_data.h"
#include "service/values/text.h"

using namespace quill_service;

TagTable& TagTable::Global() {
  static auto* table = new TagTable();  // emptied by DestroyAllTags, never destroyed
  return *table;
}

struct TagTable::Index {
  explicit Index(size_t capacity) : mask(capacity - 1), slots(new std::atomic<const Entry*>[capacity]) {
    for (size_t i = 0; i < capacity; ++i) slots[i].store(nullptr, std::memory_order_relaxed);
  }
  const size_t mask;  // capacity - 1; the capacity is a power of two
  std::unique_ptr<std::atomic<const Entry*>[]> slots;
  size_t used = 0;  // guarded by writeLock_
};

namespace {

constexpr size_t kFirstCapacity = 256;

size_t HashOf(std::u16string_view folded) { return std::hash<std::u16string_view>{}(folded); }

}  // namespace

TagTable::TagTable() {
  indexes_.push_back(std::make_unique<Index>(kFirstCapacity));
  index_.store(indexes_.back().get(), std::memory_order_release);
}

TagTable::~TagTable() = default;

// Under writeLock_; the entry is new to the table. Keeps the index at most half full, so probe
// runs stay short and a reader always meets an empty slot.
void TagTable::Insert(const Entry* entry) {
  Index* index = indexes_.back().get();
  if (2 * (index->used + 1) > index->mask + 1) {
    auto larger = std::make_unique<Index>(2 * (index->mask + 1));
    for (size_t i = 0; i <= index->mask; ++i) {
      const Entry* e = index->slots[i].load(std::memory_order_relaxed);
      if (e == nullptr) continue;
      size_t at = e->hash & larger->mask;
      while (larger->slots[at].load(std::memory_order_relaxed) != nullptr) at = (at + 1) & larger->mask;
      larger->slots[at].store(e, std::memory_order_relaxed);
    }
    larger->used = index->used;
    indexes_.push_back(std::move(larger));
    index = indexes_.back().get();
    index_.store(index, std::memory_order_release);
  }
  size_t at = entry->hash & index->mask;
  while (index->slots[at].load(std::memory_order_relaxed) != nullptr) at = (at + 1) & index->mask;
  index->slots[at].store(entry, std::memory_order_release);
  ++index->used;
}

bool TagTable::Add(std::shared_ptr<TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned, bool replace) {
  std::lock_guard lock(writeLock_);
  if (!tag) {
    if (owned) owned_.push_back(std::move(owned));  // a tag nobody can call is still ours to delete
    return false;
  }
  auto key = FoldCase(tag->name);
  const auto named = names_.find(key);
  Entry* entry = named != names_.end() ? named->second : nullptr;
  // An entry without a definition was emptied by DestroyAll and is in no index any more.
  const TagDefinition* current = entry != nullptr ? entry->definition.load(std::memory_order_relaxed) : nullptr;
  if (current != nullptr && !replace) return false;  // owned dies here: it was never reachable
  tag->generation = RegisteringModuleGeneration();
  tag->replaced = current;
  const TagDefinition* definition = tag.get();
  definitions_.push_back(std::move(tag));
  if (entry == nullptr) {
    const size_t hash = HashOf(key);
    entries_.push_back(std::unique_ptr<Entry>(new Entry{std::move(key), hash, {nullptr}}));
    entry = entries_.back().get();
    names_.emplace(entry->key, entry);
  }
  entry->definition.store(definition, std::memory_order_release);
  if (current == nullptr) {
    Insert(entry);
    size_.fetch_add(1, std::memory_order_release);
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

TagRef TagTable::Find(std::u16string_view name) const { return FindFolded(FoldCase(name)); }

TagRef TagTable::FindFolded(std::u16string_view folded, uint64_t generation) const {
  return Resolve(FindEntry(folded), generation);
}

const TagTable::Entry* TagTable::FindEntry(std::u16string_view folded) const {
  const Index* index = index_.load(std::memory_order_acquire);
  const size_t hash = HashOf(folded);
  for (size_t at = hash & index->mask;; at = (at + 1) & index->mask) {
    const Entry* entry = index->slots[at].load(std::memory_order_acquire);
    if (entry == nullptr || (entry->hash == hash && entry->key == folded)) return entry;
  }
}

void TagTable::DestroyAll() {
  decltype(indexes_) indexes;
  decltype(definitions_) definitions;
  decltype(owned_) owned;
  {
    std::lock_guard lock(writeLock_);
    for (const auto& entry : entries_) entry->definition.store(nullptr, std::memory_order_release);
    indexes.swap(indexes_);
    definitions.swap(definitions_);
    owned.swap(owned_);
    indexes_.push_back(std::make_unique<Index>(kFirstCapacity));
    index_.store(indexes_.back().get(), std::memory_order_release);
    size_.store(0, std::memory_order_release);
    epoch_.fetch_add(1, std::memory_order_acq_rel);
  }
  definitions.clear();
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

TagRef FindTag(Request* request, std::u16string_view name, bool registeredOnly) {
  return FindFoldedTag(request, FoldCase(name), registeredOnly);
}

TagRef FindFoldedTag(Request* request, std::u16string_view folded, bool registeredOnly,
                     std::atomic<const TagTable::Entry*>* entry) {
  if (!registeredOnly && request != nullptr) {
    auto& defined = request->Contents().definedTags;
    if (!defined.empty()) {
      auto it = defined.find(std::u16string(folded));
      if (it != defined.end()) return it->second;
    }
  }
  const uint64_t generation = request != nullptr ? request->Contents().moduleGeneration : kNewestModuleGeneration;
  if (entry == nullptr) return TagTable::Global().FindFolded(folded, generation);
  const TagTable::Entry* kept = entry->load(std::memory_order_acquire);
  if (kept == nullptr) {
    kept = TagTable::Global().FindEntry(folded);
    if (kept != nullptr) entry->store(kept, std::memory_order_release);
  }
  return TagTable::Resolve(kept, generation);
}

}  // namespace quill_service
