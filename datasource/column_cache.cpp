#include "datasource/column_cache.h"

#include <strings.h>

#include <charconv>
#include <cstring>
#include <mutex>

namespace datasource {

std::atomic<bool> gColumnCacheEnabled{false};

std::string ColumnCache::Key(int32_t hostId, std::string_view hostName, std::string_view database,
                             std::string_view names) {
  // Separated by a byte none of the parts can hold where it matters: the names, which may, end the key.
  char id[16];
  const char* idEnd = std::to_chars(id, id + sizeof id, hostId).ptr;
  std::string key;
  key.reserve(static_cast<size_t>(idEnd - id) + hostName.size() + database.size() + names.size() + 3);
  key.append(id, static_cast<size_t>(idEnd - id)).append(1, '\0');
  key.append(hostName).append(1, '\0');
  key.append(database).append(1, '\0');
  key.append(names);
  return key;
}

std::shared_ptr<const std::vector<DBColumnInfo>> ColumnCache::Find(const std::string& key) const {
  std::shared_lock guard(lock_);
  const auto found = entries_.find(key);
  return found != entries_.end() ? found->second : nullptr;
}

void ColumnCache::Keep(const std::string& key, const std::vector<DBColumnInfo>& columns) {
  auto kept = std::make_shared<const std::vector<DBColumnInfo>>(columns);
  std::unique_lock guard(lock_);
  if (entries_.size() >= kMaxEntries && entries_.find(key) == entries_.end()) entries_.clear();
  entries_[key] = std::move(kept);
}

void ColumnCache::Drop(const std::string& key) {
  std::unique_lock guard(lock_);
  entries_.erase(key);
}

void ColumnCache::Clear() {
  std::unique_lock guard(lock_);
  entries_.clear();
}

size_t ColumnCache::Size() const {
  std::shared_lock guard(lock_);
  return entries_.size();
}

bool MayChangeColumns(std::string_view sql) {
  size_t start = 0;
  while (start < sql.size() && (sql[start] == ' ' || sql[start] == '\t' || sql[start] == '\r' || sql[start] == '\n')) {
    ++start;
  }
  size_t end = start;
  while (end < sql.size() && ((sql[end] | 0x20) >= 'a' && (sql[end] | 0x20) <= 'z')) ++end;
  const std::string_view word = sql.substr(start, end - start);
  for (const char* plain : {"select", "insert", "update", "delete"}) {
    if (word.size() == std::strlen(plain) && strncasecmp(word.data(), plain, word.size()) == 0) return false;
  }
  return true;
}

}  // namespace datasource
