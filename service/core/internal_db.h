// The host's side of the storage manager: which file backs the internal database, and
// preferences written before start-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/storage.h"

namespace quill_service {

constexpr const char* kInternalDatabase = "quill_internal";
constexpr const char* kInternalDatabaseFile = "quill_internal.db";

// Execute's failures: the database is not known or not open, or SQLite refused the statement
// (then the code is the negated SQLite result code, e.g. -1 for an SQL error, -26 for a file
// that is not a database). On PostgreSQL a refused statement gives -19 when it broke a
// constraint (as SQLite's SQLITE_CONSTRAINT) and -1 otherwise, and a server that cannot be
// reached, or a connection lost during the statement, kStorageConnectionLost.
constexpr osError kStorageUnknownDatabase = QUILL_ERR_NOT_FOUND;
constexpr osError kStorageBadArgument = QUILL_ERR_INVALID;
constexpr osError kStorageConnectionLost = -9020;

// Makes `file` the internal database, closing the previous one. A new file gets the table
// global_prefs (store_key TEXT PRIMARY KEY, data TEXT); an existing file is used as it is, so a
// damaged database stays damaged and Execute reports it. 0 on success; on failure the file stays
// attached and `error` (when given) tells why. A postgresql:// (or postgres://) URL instead
// makes a database of a PostgreSQL server the internal database (see pg_database.h).
QUILL_API osError OpenInternalDatabase(const std::string& file, std::string* error = nullptr);
QUILL_API void CloseInternalDatabase();
// The attached file (or the PostgreSQL database, without its password), empty when none.
QUILL_API std::string InternalDatabaseFile();

// A parameter of ExecuteBound: text (or, with blob, bytes); no text binds NULL.
struct SqlValue {
  std::optional<std::string> text;
  bool blob = false;
};
using SqlRow = std::vector<std::optional<std::string>>;  // a NULL column has no value

// Runs one statement on the internal database with ?1, ?2, ... bound to params, appending the
// rows it returns to rows (when given). 0 on success, else as Execute.
QUILL_API osError ExecuteBound(const char* sql, std::initializer_list<SqlValue> params,
                               std::vector<SqlRow>* rows = nullptr);

// Raised whenever this process may have changed the internal database: a statement other than a
// SELECT or a CREATE TABLE IF NOT EXISTS, any statement a module runs on it, and every open and
// close.
QUILL_API uint64_t InternalDatabaseWrites();

// Answers read from the internal database, by key, kept for at most a second and read again as
// soon as this process has written to the database (InternalDatabaseWrites). A change another
// process makes (a command-line tool, another server on a shared database) is seen within a second.
// read() gives the answer and whether it may be kept: an answer made up for a failed read is not.
template <class Key, class Value, class Hash = std::hash<Key>>
class RecentAnswers {
 public:
  template <class Read>
  Value Get(const Key& key, Read read) {
    const uint64_t writes = InternalDatabaseWrites();  // before the read: a write during it drops the answer
    const auto now = std::chrono::steady_clock::now();
    // The thread's last answer, while the answers it was one of are kept and still good: the
    // same answer the kept ones give, without the lock and the lookup.
    Last& last = LastOnThread();
    if (last.answers == this && last.round == round_.load(std::memory_order_acquire) && writes == last.writes &&
        now < last.until && last.key == key) {
      return *last.value;
    }
    {
      std::lock_guard guard(lock_);
      if (writes != writes_ || now >= until_) {
        answers_.clear();
        writes_ = writes;
        until_ = now + std::chrono::seconds(1);
        round_.fetch_add(1, std::memory_order_release);
      } else if (auto found = answers_.find(key); found != answers_.end()) {
        Remember(last, key, found->second);
        return found->second;
      }
    }
    auto [value, keep] = read();
    std::lock_guard guard(lock_);
    if (keep && writes == writes_ && answers_.size() < kMaxAnswers && answers_.emplace(key, value).second) {
      Remember(last, key, value);
    }
    return value;
  }

 private:
  static constexpr size_t kMaxAnswers = 256;
  // An answer kept in round `round` (the answers are dropped at the start of every round), with
  // the writes and the end of that round. Set under the lock.
  struct Last {
    const RecentAnswers* answers = nullptr;
    uint64_t round = 0;
    uint64_t writes = 0;
    std::chrono::steady_clock::time_point until{};
    Key key{};
    std::optional<Value> value;
  };
  static Last& LastOnThread() {
    thread_local Last last;
    return last;
  }
  void Remember(Last& last, const Key& key, const Value& value) {
    last.answers = this;
    last.round = round_.load(std::memory_order_relaxed);
    last.writes = writes_;
    last.until = until_;
    last.key = key;
    last.value = value;
  }
  std::mutex lock_;
  uint64_t writes_ = 0;
  std::chrono::steady_clock::time_point until_{};
  std::atomic<uint64_t> round_{0};
  std::unordered_map<Key, Value, Hash> answers_;
};

// Writes (or, with no value, stores NULL for) a preference row of global_prefs.
QUILL_API osError SetPreference(const std::string& key, const std::optional<std::string>& value);
QUILL_API osError RemovePreference(const std::string& key);
// A default of this process for the preference `key`, for readers to take where global_prefs
// has no row of that key (a stored row, even a NULL one, wins). It is kept in the temporary
// table temp.preference_defaults (store_key, data) of the internal database's connection, so
// nothing reaches the file; it lasts until the database is closed or reopened.
QUILL_API osError SetPreferenceDefault(const std::string& key, const std::string& value);

}  // namespace quill_service
