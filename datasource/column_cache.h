// The columns a connector source's discovery query reported, kept so that the same action on
// the same table does not ask the database again. Off unless the preference java_column_cache
// turns it on (quill serve reads it as on when the root stores nothing).
#pragma once

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/datasource.h"

namespace datasource {

// Set at start-up from java_column_cache (each JavaDataSource reads it when it is made).
extern std::atomic<bool> gColumnCacheEnabled;

// Entries by a key that names the host, the database and what the discovery asks for (the
// table and the columns, SqlBuilder::DiscoveryNames). An entry goes when an action that used it fails, and every
// entry goes when a statement may have changed a table's columns.
class ColumnCache {
 public:
  static std::string Key(int32_t hostId, std::string_view hostName, std::string_view database, std::string_view names);

  // The kept columns, shared with the cache (a later Keep, Drop or Clear leaves them to their
  // reader); null when none are kept.
  std::shared_ptr<const std::vector<DBColumnInfo>> Find(const std::string& key) const;
  void Keep(const std::string& key, const std::vector<DBColumnInfo>& columns);
  void Drop(const std::string& key);
  void Clear();
  size_t Size() const;

  // Kept entries at most; past it the cache starts again empty (tables of a server are few, a
  // query per column combination may not be).
  static constexpr size_t kMaxEntries = 4096;

 private:
  mutable std::shared_mutex lock_;
  std::unordered_map<std::string, std::shared_ptr<const std::vector<DBColumnInfo>>> entries_;
};

// Whether a script's own statement may change the columns of a table: anything but a plain
// SELECT, INSERT, UPDATE or DELETE (its first word, after white space) counts as such. The JDBC
// connector keeps its own copy of this rule (JDBCConnector.mayChangeColumns, for its kept
// searches); the JDBC tests hold both to the same cases.
bool MayChangeColumns(std::string_view sql);

}  // namespace datasource
