// The internal database on a PostgreSQL server, through libpq: a small pool of connections for
// statements, session connections of their own for the advisory locks behind shared semaphores,
// and the one place where the host's SQL is turned into PostgreSQL's (Dialect).
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "service/core/internal_db.h"

namespace quill_service::postgres {

// Whether location names a PostgreSQL database: a postgresql:// or postgres:// URL.
QUILL_API bool IsLocation(std::string_view location);

// Makes the database at url the internal database and makes the host's tables there (under an
// advisory lock, so that servers starting together wait for each other). When the server cannot
// be reached the URL is kept all the same, and each later statement tries again; error tells why.
osError Open(const std::string& url, std::string* error);
void Close();
bool IsOpen();
// The database as log lines name it: user, host, port and database, never the password.
std::string Describe();

// Every statement of sql, in one serializable transaction (a text beginning with CREATE: one under
// the schema lock instead) that is run again when PostgreSQL reports a serialization failure or a
// deadlock; the rows of each statement are appended to rows.
osError Execute(const char* sql, StorageManager::Rows& rows);
// As the embedded file's ExecuteBound: one statement, prepared once per connection.
osError ExecuteBound(const char* sql, std::initializer_list<SqlValue> params, std::vector<SqlRow>* rows);
// The default is kept in this process and put in the temporary table preference_defaults of every
// connection before its next statement.
osError SetPreferenceDefault(const std::string& key, const std::string& value);

// The SQL text as PostgreSQL takes it: ?N parameters as $N, BLOB as BYTEA, INTEGER PRIMARY KEY as
// an identity column, temp. as pg_temp., and sqlite_master as the current schema's tables. Quoted
// text and -- comments are left as they are.
QUILL_API std::string Dialect(std::string_view sql);

class Lease;

// One slot of a shared semaphore: an advisory lock (a hash of the name, the slot) held on a
// session connection of its own for as long as this object lives.
class SharedLock {
 public:
  SharedLock();
  ~SharedLock();
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

  // Takes a free one of the name's `slots` locks, else waits for one. QUILL_OK;
  // QUILL_ERR_NOT_FOUND when Cancel came first or while waiting (a wait notices it within a
  // second however the cancel and the wait cross); kStorageConnectionLost when the database
  // cannot be reached; -1 when PostgreSQL refuses the lock.
  osError Take(const std::string& name, int32_t slots);
  // From any thread: a Take that waits, or the next one, gives up.
  void Cancel();

 private:
  std::mutex lock_;
  std::unique_ptr<Lease> lease_;
  void* cancel_ = nullptr;  // the PGcancel of a Take that waits
  bool cancelled_ = false;
  int32_t key_ = 0;
  int32_t slot_ = -1;
};

}  // namespace quill_service::postgres
