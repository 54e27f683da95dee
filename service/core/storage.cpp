// The host singleton and the storage manager over SQLite, or over PostgreSQL (pg_database.h).
#include <fcntl.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>


#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "service/core/internal_db.h"
#include "service/core/pg_database.h"
#include "service/core/schema.h"

Quill* Quill::Instance() {
  static Quill instance;
  return &instance;
}

namespace quill_service {
namespace {

// One connection, used by one thread at a time: callers come from any thread, and a single
// connection sees its own writes at once.
struct InternalDatabase {
  std::mutex lock;
  sqlite3* connection = nullptr;
  std::string file;
  // ExecuteBound's statements by their text, compiled once: the host runs a few fixed queries
  // (a data source's host, a user's rights) on every request.
  std::unordered_map<std::string, sqlite3_stmt*> prepared;

  void FinalizePrepared() {
    for (auto& [text, statement] : prepared) sqlite3_finalize(statement);
    prepared.clear();
  }

  void CloseFile() {
    FinalizePrepared();
    if (connection != nullptr) sqlite3_close_v2(connection);
    connection = nullptr;
    file.clear();
  }
};

InternalDatabase& TheDatabase() {
  static InternalDatabase* database = new InternalDatabase;  // outlives workers at exit
  return *database;
}

osError SqliteError(int code) { return -(code & 0xFF); }

std::atomic<uint64_t> writes{0};
void Wrote() { writes.fetch_add(1, std::memory_order_release); }

// Whether sql changes no answer kept for a while: it begins with SELECT (after white space), or it
// makes a table only if it is missing. The table owners run such a CREATE before their statements;
// a table it does make is empty, which answers as its absence did.
bool OnlyReads(const char* sql) {
  while (std::isspace(static_cast<unsigned char>(*sql))) ++sql;
  static constexpr std::string_view kCreateIfMissing = "CREATE TABLE IF NOT EXISTS ";
  return strncasecmp(sql, "SELECT", 6) == 0 ||
         strncasecmp(sql, kCreateIfMissing.data(), kCreateIfMissing.size()) == 0;
}

// Raises the count of writes once a statement that may write has run, however it ended.
struct WriteNote {
  bool writes;
  ~WriteNote() {
    if (writes) Wrote();
  }
};

constexpr size_t kMaxPrepared = 64;

struct StatementCloser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

std::optional<std::string> ColumnBytes(sqlite3_stmt* statement, int column) {
  const int type = sqlite3_column_type(statement, column);
  if (type == SQLITE_NULL) return std::nullopt;
  const void* bytes = type == SQLITE_BLOB ? sqlite3_column_blob(statement, column)
                                          : static_cast<const void*>(sqlite3_column_text(statement, column));
  const int size = sqlite3_column_bytes(statement, column);
  return std::string(static_cast<const char*>(bytes), static_cast<size_t>(size));
}

CharBuffer* ColumnText(sqlite3_stmt* statement, int column) {
  const std::optional<std::string> bytes = ColumnBytes(statement, column);
  return bytes ? new CharBuffer(bytes->data(), bytes->size()) : nullptr;
}

// Runs every statement of sql; rows are collected in `rows`. Caller holds the lock.
osError RunStatements(sqlite3* connection, const char* sql, StorageManager::Rows& rows) {
  const char* rest = sql;
  while (rest != nullptr && *rest != '\0') {
    sqlite3_stmt* raw = nullptr;
    int result = sqlite3_prepare_v2(connection, rest, -1, &raw, &rest);
    if (result != SQLITE_OK) return SqliteError(result);
    Statement statement(raw);
    if (!statement) continue;  // only white space or a comment was left
    const int columns = sqlite3_column_count(statement.get());
    while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) {
      StorageManager::Row row;
      row.reserve(static_cast<size_t>(columns));
      for (int column = 0; column < columns; ++column) row.push_back(ColumnText(statement.get(), column));
      rows.push_back(std::move(row));
    }
    if (result != SQLITE_DONE) return SqliteError(result);
  }
  return QUILL_OK;
}

osError RunLocked(InternalDatabase& database, const char* sql, StorageManager::Rows& rows) {
  if (database.connection == nullptr) return kStorageUnknownDatabase;
  return RunStatements(database.connection, sql, rows);
}

void Bind(sqlite3_stmt* statement, int index, const SqlValue& value) {
  if (!value.text) {
    sqlite3_bind_null(statement, index);
  } else if (value.blob) {
    sqlite3_bind_blob(statement, index, value.text->data(), static_cast<int>(value.text->size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_text(statement, index, value.text->data(), static_cast<int>(value.text->size()), SQLITE_TRANSIENT);
  }
}


// The internal database holds the data sources' host passwords: it and its journal files are
// for the server's user alone. SQLite gives new journal files the database file's mode, so a new
// file is made 0600 before SQLite opens it; an existing one (and its journals) loses the group's
// and others' rights.
void KeepToOwner(const std::string& file, bool isNew) {
  if (file.empty() || file.front() == ':' || file.rfind("file:", 0) == 0) return;  // no plain file
  if (isNew) {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
  }
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    const std::string path = file + suffix;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) chmod(path.c_str(), info.st_mode & 0700);
  }
}

}  // namespace

osError OpenInternalDatabase(const std::string& file, std::string* error) {
  const WriteNote note{true};  // another database: what was read of the last one is gone
  InternalDatabase& database = TheDatabase();
  std::lock_guard guard(database.lock);
  database.CloseFile();
  if (postgres::IsLocation(file)) return postgres::Open(file, error);
  postgres::Close();
  database.file = file;

  std::error_code ec;
  const bool isNew = !std::filesystem::exists(file, ec);
  KeepToOwner(file, isNew);
  int result = sqlite3_open_v2(file.c_str(), &database.connection,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (result == SQLITE_OK) {
    sqlite3_busy_timeout(database.connection, 5000);  // other processes may share the file
    StorageManager::Rows none;
    // Touching the schema makes a file that is not a database fail here, not later. A file still
    // empty is new too: another process may have made it a moment ago and not yet its table.
    const bool empty = isNew || std::filesystem::file_size(file, ec) == 0;
    const char* sql = empty ? schema::kPreferences : "SELECT count(*) FROM sqlite_master";
    osError code = RunStatements(database.connection, sql, none);
    StorageManager::KillRows(&none);
    if (code == QUILL_OK) {
      // Modules write the store at request rate: a write-ahead log commits without waiting for
      // the disk each time, and a crash of the process still loses nothing committed.
      StorageManager::Rows ignored;
      RunStatements(database.connection, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", ignored);
      StorageManager::KillRows(&ignored);
      return QUILL_OK;
    }
    if (error != nullptr) *error = sqlite3_errmsg(database.connection);
    return code;
  }
  if (error != nullptr) *error = database.connection != nullptr ? sqlite3_errmsg(database.connection) : "out of memory";
  if (database.connection != nullptr) sqlite3_close_v2(database.connection);
  database.connection = nullptr;
  return SqliteError(result);
}

void CloseInternalDatabase() {
  const WriteNote note{true};
  postgres::Close();
  InternalDatabase& database = TheDatabase();
  std::lock_guard guard(database.lock);
  database.CloseFile();
}

std::string InternalDatabaseFile() {
  if (postgres::IsOpen()) return postgres::Describe();
  InternalDatabase& database = TheDatabase();
  std::lock_guard guard(database.lock);
  return database.file;
}

uint64_t InternalDatabaseWrites() { return writes.load(std::memory_order_acquire); }

osError ExecuteBound(const char* sql, std::initializer_list<SqlValue> params, std::vector<SqlRow>* rows) {
  const WriteNote note{!OnlyReads(sql)};
  if (postgres::IsOpen()) return postgres::ExecuteBound(sql, params, rows);
  InternalDatabase& database = TheDatabase();
  std::lock_guard guard(database.lock);
  if (database.connection == nullptr) return kStorageUnknownDatabase;
  if (database.prepared.size() >= kMaxPrepared && database.prepared.find(sql) == database.prepared.end()) {
    database.FinalizePrepared();  // callers pass fixed texts: this only bounds a misuse
  }
  sqlite3_stmt*& raw = database.prepared[sql];
  if (raw == nullptr) {
    const int prepared = sqlite3_prepare_v3(database.connection, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    if (prepared != SQLITE_OK) {
      database.prepared.erase(sql);
      return SqliteError(prepared);
    }
  }
  // Reset and unbound again however the run ends, so the next caller starts clean.
  struct Reset {
    sqlite3_stmt* statement;
    ~Reset() {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
  } reset{raw};
  int index = 0;
  for (const SqlValue& param : params) Bind(raw, ++index, param);
  const int columns = sqlite3_column_count(raw);
  int result;
  while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
    if (rows == nullptr) continue;
    SqlRow& row = rows->emplace_back();
    for (int column = 0; column < columns; ++column) row.push_back(ColumnBytes(raw, column));
  }
  return result == SQLITE_DONE ? QUILL_OK : SqliteError(result);
}

osError SetPreference(const std::string& key, const std::optional<std::string>& value) {
  return ExecuteBound(
      "INSERT INTO global_prefs (store_key, data) VALUES (?1, ?2) ON CONFLICT (store_key) DO UPDATE SET data = excluded.data",
      {{key}, {value}});
}

osError RemovePreference(const std::string& key) {
  return ExecuteBound("DELETE FROM global_prefs WHERE store_key = ?1", {{key}});
}

osError SetPreferenceDefault(const std::string& key, const std::string& value) {
  if (postgres::IsOpen()) return postgres::SetPreferenceDefault(key, value);
  // A temporary table belongs to this connection alone and ends with it: the file never holds it.
  const osError code = ExecuteBound(schema::kPreferenceDefaults, {});
  if (code != QUILL_OK) return code;
  return ExecuteBound("INSERT OR REPLACE INTO temp.preference_defaults (store_key, data) VALUES (?1, ?2)",
                      {{key}, {value}});
}

}  // namespace quill_service

osError StorageManager::Execute(const char* database, const char* sql, Rows* rows, CharBuffer* out) {
  if (database == nullptr || sql == nullptr) return quill_service::kStorageBadArgument;
  if (std::strcmp(database, quill_service::kInternalDatabase) != 0) return quill_service::kStorageUnknownDatabase;
  Rows found;
  osError code;
  const quill_service::WriteNote note{true};  // a module's SQL may write anything
  if (quill_service::postgres::IsOpen()) {
    code = quill_service::postgres::Execute(sql, found);
  } else {
    auto& internal = quill_service::TheDatabase();
    std::lock_guard guard(internal.lock);
    code = quill_service::RunLocked(internal, sql, found);
  }
  if (code == QUILL_OK && out != nullptr) {
    const bool hasValue = !found.empty() && !found.front().empty() && found.front().front() != nullptr;
    *out = hasValue ? *found.front().front() : CharBuffer();
  }
  if (code != QUILL_OK || rows == nullptr) {
    KillRows(&found);
    return code;
  }
  rows->insert(rows->end(), found.begin(), found.end());
  return QUILL_OK;
}

void StorageManager::KillRows(Rows* rows) {
  if (rows == nullptr) return;
  for (Row& row : *rows) {
    for (CharBuffer* column : row) delete column;
  }
  rows->clear();
}
