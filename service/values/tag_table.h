// The process-wide table of tags: registered module tags and the built-in tags.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/values/module_generation.h"
#include "service/values/tag_definition.h"
#include "service/values/variant_data.h"

// Lookups take no lock and touch no shared counter: the name index is an open-addressed array
// of entries that registration only adds to, each entry holding an atomic pointer to its current
// definition. Registration (any time, any thread) takes a mutex, writes the entry, and when the
// index grows publishes a larger copy; readers finish on whichever index they loaded. Definitions
// (replaced ones too) and superseded indexes live until DestroyAll, which runs when no request
// runs any more; since each index doubles the last, they add up to twice the current one. An
// entry is a name's for the table's life: DestroyAll only empties it, and registering the name
// again fills the same entry, so a call site may keep the entry instead of looking its name up.
class QUILL_API TagTable {
 public:
  struct Entry {
    std::u16string key;  // folded
    size_t hash;
    std::atomic<const quill_service::TagDefinition*> definition;  // null while not registered
  };

  static TagTable& Global();
  TagTable();
  ~TagTable();
  TagTable(const TagTable&) = delete;
  TagTable& operator=(const TagTable&) = delete;

  // Adds or replaces the tag under its folded name. A replaced SubstitutionTag stays alive until
  // DestroyAll, since a request may still be running it.
  void Register(std::shared_ptr<quill_service::TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned);
  // Adds the tag unless the name is taken; true when added.
  bool RegisterIfAbsent(std::shared_ptr<quill_service::TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned);
  // The definition lives until DestroyAll. A request finds the newest definition of its pinned
  // module generation or an older one; null when the tag was registered after that.
  quill_service::TagRef Find(std::u16string_view name) const;
  // The same with a name already folded (FoldCase), as parsed call sites keep it.
  quill_service::TagRef FindFolded(std::u16string_view folded,
                                   uint64_t generation = quill_service::kNewestModuleGeneration) const;
  // The entry of a registered tag by its folded name, or null.
  const Entry* FindEntry(std::u16string_view folded) const;
  // An entry's definition as a request pinned to generation sees it, or null.
  static quill_service::TagRef Resolve(const Entry* entry, uint64_t generation) {
    const quill_service::TagDefinition* definition =
        entry != nullptr ? entry->definition.load(std::memory_order_acquire) : nullptr;
    while (definition != nullptr && definition->generation > generation) definition = definition->replaced;
    return quill_service::TagRef(definition);
  }
  size_t Size() const { return size_.load(std::memory_order_acquire); }
  // Forgets every tag and deletes the SubstitutionTags the table owns.
  void DestroyAll();
  // Counts DestroyAll calls, so one-time registrations know when to register again.
  uint64_t Epoch() const { return epoch_.load(std::memory_order_acquire); }

 private:
  struct Index;
  bool Add(std::shared_ptr<quill_service::TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned, bool replace);
  void Insert(const Entry* entry);

  std::atomic<const Index*> index_{nullptr};
  std::atomic<size_t> size_{0};
  std::atomic<uint64_t> epoch_{0};
  // Guarded by writeLock_: what the index points into, kept for the readers.
  std::mutex writeLock_;
  std::vector<std::unique_ptr<Index>> indexes_;  // the current one last
  std::vector<std::unique_ptr<Entry>> entries_;            // every name ever registered
  std::unordered_map<std::u16string_view, Entry*> names_;  // the same by key
  std::vector<std::shared_ptr<const quill_service::TagDefinition>> definitions_;
  std::vector<std::unique_ptr<SubstitutionTag>> owned_;
};

namespace quill_service {

// Deletes every registered tag; the host calls it at shutdown, when no request runs any more.
QUILL_API void DestroyAllTags();

// A tag by name for a request: the tags the request's script defined first, then the table's.
// registeredOnly skips the script's own definitions.
QUILL_API TagRef FindTag(Request* request, std::u16string_view name, bool registeredOnly);
// With entry, the table's entry of the name is kept there once found and read from there after.
QUILL_API TagRef FindFoldedTag(Request* request, std::u16string_view folded, bool registeredOnly,
                               std::atomic<const TagTable::Entry*>* entry = nullptr);

}  // namespace quill_service
