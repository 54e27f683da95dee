// The process-wide table of tags: registered module tags and the built-in tags.
#pragma once

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/values/tag_definition.h"
#include "service/values/variant_data.h"

class QUILL_API TagTable {
 public:
  static TagTable& Global();

  // Adds or replaces the tag under its folded name. A replaced SubstitutionTag stays alive until
  // DestroyAll, since a request may still be running it.
  void Register(std::shared_ptr<quill_service::TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned);
  // Adds the tag unless the name is taken; true when added.
  bool RegisterIfAbsent(std::shared_ptr<quill_service::TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned);
  quill_service::TagValue Find(std::u16string_view name) const;
  // The same with a name already folded (FoldCase), as parsed call sites keep it.
  quill_service::TagValue FindFolded(std::u16string_view folded) const;
  size_t Size() const;
  // Forgets every tag and deletes the SubstitutionTags the table owns.
  void DestroyAll();
  // Counts DestroyAll calls, so one-time registrations know when to register again.
  uint64_t Epoch() const { return epoch_.load(std::memory_order_acquire); }

 private:
  bool Add(std::shared_ptr<quill_service::TagDefinition> tag, std::unique_ptr<SubstitutionTag> owned, bool replace);

  mutable std::shared_mutex mutex_;
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>{}(s); }
  };
  std::unordered_map<std::u16string, quill_service::TagValue, Hash, std::equal_to<>> tags_;
  std::vector<std::unique_ptr<SubstitutionTag>> owned_;
  std::atomic<uint64_t> epoch_{0};
};

namespace quill_service {

// Deletes every registered tag; the host calls it at shutdown, when no request runs any more.
QUILL_API void DestroyAllTags();

// A tag by name for a request: the tags the request's script defined first, then the table's.
// registeredOnly skips the script's own definitions.
QUILL_API TagValue FindTag(Request* request, std::u16string_view name, bool registeredOnly);
QUILL_API TagValue FindFoldedTag(Request* request, std::u16string_view folded, bool registeredOnly);

}  // namespace quill_service
