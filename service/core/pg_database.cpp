#include "service/core/pg_database.h"

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <map>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "host/qcapi.h"
#include "service/core/schema.h"

namespace quill_service::postgres {
namespace {

constexpr int kMaxStatementConnections = 16;  // more workers than this wait for a free one
constexpr size_t kMaxIdleSessions = 8;         // lock connections kept for the next semaphore
constexpr int kAttempts = 5;                   // runs of a transaction PostgreSQL could not serialize
constexpr std::chrono::milliseconds kLockWait{1000};  // the longest a semaphore's wait goes unchecked
constexpr long long kSchemaLock = 0x7175696c6c5f6462;  // the advisory lock that makes tables one at a time
constexpr Oid kByteaOid = 17;

struct Connection {
  PGconn* pg = nullptr;
  std::unordered_map<std::string, std::string> prepared;  // statement text -> its name here
  std::unordered_set<std::string> ensured;                // CREATE ... IF NOT EXISTS done here
  uint64_t defaults = 0;                                  // the version of the defaults it holds
  ~Connection() {
    if (pg != nullptr) PQfinish(pg);
  }
};

struct Database {
  std::mutex lock;
  std::condition_variable returned;
  std::atomic<bool> open{false};
  std::string url;
  uint64_t generation = 0;  // a connection of an earlier Open is closed, not kept
  std::vector<std::unique_ptr<Connection>> idle, idleSessions;
  int busy = 0;  // statement connections in use
  bool down = false;  // the last attempt to connect failed (and was logged)
  std::map<std::string, std::string> defaults;
  uint64_t defaultsVersion = 0;
};

Database& TheDatabase() {
  static auto* database = new Database;  // outlives workers at exit
  return *database;
}

struct ResultCloser {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultCloser>;

std::string FirstLine(const char* message) {
  std::string text = message != nullptr ? message : "";
  const size_t end = text.find('\n');
  return end == std::string::npos ? text : text.substr(0, end);
}

bool Retryable(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  return state != nullptr && (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0);
}

// A refused statement's code, as close to SQLite's as the two allow.
osError Refused(const PGresult* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  return state != nullptr && std::strncmp(state, "23", 2) == 0 ? -19 : -1;
}

std::optional<std::string> Cell(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return std::nullopt;
  const char* text = PQgetvalue(result, row, column);
  if (PQftype(result, column) != kByteaOid) return std::string(text, static_cast<size_t>(PQgetlength(result, row, column)));
  size_t size = 0;
  unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
  if (bytes == nullptr) return std::string();
  std::string value(reinterpret_cast<const char*>(bytes), size);
  PQfreemem(bytes);
  return value;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool SameWord(std::string_view word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(word[i])) != lower[i]) return false;
  }
  return true;
}

std::string_view WordAt(std::string_view sql, size_t at) {
  size_t end = at;
  while (end < sql.size() && IsWordChar(sql[end])) ++end;
  return sql.substr(at, end - at);
}

// After white space at `at`, the word `lower`: the position past it, else npos.
size_t Past(std::string_view sql, size_t at, std::string_view lower) {
  while (at < sql.size() && std::isspace(static_cast<unsigned char>(sql[at]))) ++at;
  const std::string_view word = WordAt(sql, at);
  return SameWord(word, lower) ? at + word.size() : std::string_view::npos;
}

bool StartsWithCreate(std::string_view sql) { return Past(sql, 0, "create") != std::string_view::npos; }

}  // namespace

std::string Dialect(std::string_view sql) {
  std::string out;
  out.reserve(sql.size() + 32);
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    const char next = i + 1 < sql.size() ? sql[i + 1] : '\0';
    if (c == '\'' || c == '"') {  // quoted to its closing quote; a doubled quote opens the next part
      const size_t close = sql.find(c, i + 1);
      const size_t end = close == std::string_view::npos ? sql.size() : close + 1;
      out.append(sql.substr(i, end - i));
      i = end;
    } else if (c == '-' && next == '-') {
      const size_t end = std::min(sql.find('\n', i), sql.size());
      out.append(sql.substr(i, end - i));
      i = end;
    } else if (c == '?' && std::isdigit(static_cast<unsigned char>(next))) {
      out += '$';
      ++i;
    } else if (IsWordChar(c)) {
      const std::string_view word = WordAt(sql, i);
      i += word.size();
      size_t key = std::string_view::npos;
      if (SameWord(word, "blob")) {
        out += "BYTEA";
      } else if (SameWord(word, "sqlite_master")) {
        out += "(SELECT 'table' AS type, tablename AS name FROM pg_tables WHERE schemaname = current_schema()) "
               "AS sqlite_master";
      } else if (SameWord(word, "temp") && i < sql.size() && sql[i] == '.') {
        out += "pg_temp";
      } else if (SameWord(word, "integer") && (key = Past(sql, i, "primary")) != std::string_view::npos &&
                 (key = Past(sql, key, "key")) != std::string_view::npos) {
        out += "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY";
        i = key;
      } else {
        out.append(word);
      }
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// A connection of the pool for as long as it lives: a statement connection (at most
// kMaxStatementConnections at a time) or a session connection for an advisory lock.
class Lease {
 public:
  explicit Lease(bool session) : session_(session) {
    Database& database = TheDatabase();
    std::unique_lock guard(database.lock);
    if (database.url.empty()) {
      code_ = kStorageUnknownDatabase;
      return;
    }
    auto& idle = session_ ? database.idleSessions : database.idle;
    if (!session_) {
      database.returned.wait(guard, [&] { return !database.idle.empty() || database.busy < kMaxStatementConnections; });
      ++database.busy;
      counted_ = true;
      if (database.url.empty()) {  // closed while this waited: never connect to libpq's defaults
        code_ = kStorageUnknownDatabase;
        return;
      }
    }
    generation_ = database.generation;
    if (!idle.empty()) {
      connection_ = std::move(idle.back());
      idle.pop_back();
    } else {
      const std::string url = database.url;
      guard.unlock();
      connection_ = Connect(url);
      guard.lock();
    }
    // Only statements read the defaults; a lock connection has no use for them.
    if (connection_ && !session_ && connection_->defaults != database.defaultsVersion) {
      const std::map<std::string, std::string> defaults = database.defaults;
      const uint64_t version = database.defaultsVersion;
      guard.unlock();
      if (ApplyDefaults(defaults)) {
        connection_->defaults = version;
      } else {
        Discard("could not put the server's defaults in a connection");
        if (!connection_ && code_ == QUILL_OK) code_ = -1;
      }
    }
  }

  ~Lease() {
    std::unique_ptr<Connection> closing;  // closed after the pool's lock: PQfinish may wait for the network
    Database& database = TheDatabase();
    std::lock_guard guard(database.lock);
    if (counted_) --database.busy;
    auto& idle = session_ ? database.idleSessions : database.idle;
    if (connection_ && generation_ == database.generation && (!session_ || idle.size() < kMaxIdleSessions)) {
      idle.push_back(std::move(connection_));
    }
    closing = std::move(connection_);
    database.returned.notify_one();
  }

  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;

  Connection* get() const { return connection_.get(); }
  explicit operator bool() const { return connection_ != nullptr; }
  osError code() const { return code_; }
  const std::string& message() const { return message_; }

  // After a failed call: when the connection is gone, says so in the log and closes it so that the
  // next statement connects again. Whether it was gone.
  bool LostConnection() {
    if (!connection_ || PQstatus(connection_->pg) != CONNECTION_BAD) return false;
    quill_log(1, "The internal database lost its connection to PostgreSQL (%s); the next statement connects again",
              FirstLine(PQerrorMessage(connection_->pg)).c_str());
    connection_.reset();
    code_ = kStorageConnectionLost;
    // The pool's other connections went the same way, most likely (a restarted server): none is
    // used again.
    std::vector<std::unique_ptr<Connection>> stale;
    Database& database = TheDatabase();
    std::lock_guard guard(database.lock);
    ++database.generation;
    stale.swap(database.idle);
    for (auto& session : database.idleSessions) stale.push_back(std::move(session));
    database.idleSessions.clear();
    return true;
  }

  // Closes the connection instead of giving it back to the pool (PostgreSQL then frees what it
  // held), and logs why; `what` completes "The internal database ...".
  void Discard(const char* what) {
    if (!connection_ || LostConnection()) return;
    message_ = std::string(what) + ": " + FirstLine(PQerrorMessage(connection_->pg));
    quill_log(1, "The internal database %s; the connection is closed", message_.c_str());
    connection_.reset();
  }

  // Closes the connection without a word: what it held, or a cancel still on its way to it, ends with it.
  void Drop() { connection_.reset(); }

  // Whether the database is still the one this lease was taken from (no Close or Open since).
  bool Current() const {
    Database& database = TheDatabase();
    std::lock_guard guard(database.lock);
    return generation_ == database.generation;
  }

 private:
  std::unique_ptr<Connection> Connect(const std::string& url) {
    auto connection = std::make_unique<Connection>();
    connection->pg = PQconnectdb(url.c_str());
    Database& database = TheDatabase();
    if (connection->pg != nullptr && PQstatus(connection->pg) == CONNECTION_OK) {
      // Notices ("relation ... already exists, skipping") are not for the server's output.
      PQsetNoticeProcessor(connection->pg, [](void*, const char*) {}, nullptr);
      std::lock_guard guard(database.lock);
      if (database.down) quill_log(2, "The internal database reaches PostgreSQL again");
      database.down = false;
      return connection;
    }
    message_ = connection->pg != nullptr ? FirstLine(PQerrorMessage(connection->pg)) : "out of memory";
    code_ = kStorageConnectionLost;
    std::lock_guard guard(database.lock);
    if (!database.down) {
      quill_log(1, "The internal database cannot reach PostgreSQL (%s); statements fail with %d until it can",
                message_.c_str(), kStorageConnectionLost);
    }
    database.down = true;
    return nullptr;
  }

  // Whether every statement worked.
  bool ApplyDefaults(const std::map<std::string, std::string>& defaults) {
    PGconn* pg = connection_->pg;
    const std::string reset = std::string(schema::kPreferenceDefaults) + ";DELETE FROM pg_temp.preference_defaults";
    const Result made(PQexec(pg, reset.c_str()));
    if (PQresultStatus(made.get()) != PGRES_COMMAND_OK) return false;
    for (const auto& [key, value] : defaults) {
      const char* values[] = {key.c_str(), value.c_str()};
      const Result added(PQexecParams(pg, "INSERT INTO pg_temp.preference_defaults (store_key, data) VALUES ($1, $2)", 2,
                                      nullptr, values, nullptr, nullptr, 0));
      if (PQresultStatus(added.get()) != PGRES_COMMAND_OK) return false;
    }
    return true;
  }

  bool session_;
  bool counted_ = false;
  uint64_t generation_ = 0;
  std::unique_ptr<Connection> connection_;
  osError code_ = QUILL_OK;
  std::string message_;
};

namespace {

// Runs text (any number of statements) on the connection and collects its rows, but for those of
// the first `skipped` statements that return rows. Leaves no transaction open. retry tells whether
// a serialization failure was the reason.
osError RunText(Lease& lease, const std::string& text, int skipped, StorageManager::Rows& rows, bool& retry) {
  PGconn* pg = lease.get()->pg;
  retry = false;
  if (PQsendQuery(pg, text.c_str()) != 1) return lease.LostConnection() ? lease.code() : -1;
  osError code = QUILL_OK;
  while (PGresult* raw = PQgetResult(pg)) {
    const Result result(raw);
    const ExecStatusType status = PQresultStatus(raw);
    if (status == PGRES_TUPLES_OK && skipped > 0) {
      --skipped;
    } else if (status == PGRES_TUPLES_OK) {
      for (int row = 0; row < PQntuples(raw); ++row) {
        StorageManager::Row& cells = rows.emplace_back();
        for (int column = 0; column < PQnfields(raw); ++column) {
          const std::optional<std::string> cell = Cell(raw, row, column);
          cells.push_back(cell ? new CharBuffer(cell->data(), cell->size()) : nullptr);
        }
      }
    } else if (status != PGRES_COMMAND_OK && status != PGRES_EMPTY_QUERY && code == QUILL_OK) {
      retry = Retryable(raw);
      code = Refused(raw);
    }
  }
  if (lease.LostConnection()) return lease.code();
  if (PQtransactionStatus(pg) != PQTRANS_IDLE) {
    Result(PQexec(pg, "ROLLBACK"));
    if (code == QUILL_OK) code = -1;  // the text ended inside a transaction of its own
  }
  return code;
}

// PQexec of a statement without rows; 0 or its code.
osError RunPlain(Lease& lease, const char* text, bool* retry = nullptr) {
  const Result result(PQexec(lease.get()->pg, text));
  if (PQresultStatus(result.get()) == PGRES_COMMAND_OK || PQresultStatus(result.get()) == PGRES_TUPLES_OK) {
    return QUILL_OK;
  }
  if (lease.LostConnection()) return lease.code();
  if (retry != nullptr) *retry = Retryable(result.get());
  return Refused(result.get());
}

// After a CREATE that made identity columns (INTEGER PRIMARY KEY): each identity column of the
// schema gets a trigger that moves its sequence past the largest id an INSERT wrote, so that a row
// added with an id of its own (a site, a row an administrator writes) does not make a later row
// without one collide, as it would not on the embedded file. The trigger reads only the statement's
// own rows, never the table, so that concurrent serializable inserts do not conflict; the moves of
// one sequence are one at a time, so that it never goes back. A column that had no such trigger
// yet is caught up at once, for the ids written before. The function and the triggers are only
// made where they are missing, and only on tables the role owns: a server of another role opens
// the database as before. The text starts a line of its own, past a comment ending the CREATE.
constexpr const char* kIdentityFollowsIds = R"sql(
;DO $do$
DECLARE
  body CONSTANT TEXT := $body$
DECLARE
  top BIGINT;
  sequence REGCLASS := format('%I.%I', TG_TABLE_SCHEMA, TG_ARGV[1])::REGCLASS;
BEGIN
  EXECUTE format('SELECT max(%I) FROM quill_inserted', TG_ARGV[0]) INTO top;
  IF top > coalesce(pg_sequence_last_value(sequence), 0) THEN
    PERFORM pg_advisory_xact_lock((x'71756973'::BIGINT << 32) + sequence::OID::BIGINT);
    IF top > coalesce(pg_sequence_last_value(sequence), 0) THEN
      PERFORM setval(sequence, top);
    END IF;
  END IF;
  RETURN NULL;
END $body$;
  identity RECORD;
  top BIGINT;
BEGIN
  IF NOT EXISTS (SELECT 1 FROM pg_proc
                 WHERE oid = to_regprocedure(format('%I.quill_identity_past()', current_schema())) AND prosrc = body) THEN
    EXECUTE 'CREATE OR REPLACE FUNCTION quill_identity_past() RETURNS trigger LANGUAGE plpgsql AS ' || quote_literal(body);
    DROP FUNCTION IF EXISTS quill_identity_catch_up(REGCLASS, TEXT);
  END IF;
  FOR identity IN
    SELECT a.attrelid::REGCLASS AS tab, a.attname::TEXT AS col, s.oid::REGCLASS AS sequence, s.relname::TEXT AS name
    FROM pg_attribute a JOIN pg_class t ON t.oid = a.attrelid
      JOIN pg_class s ON s.oid = pg_get_serial_sequence(a.attrelid::REGCLASS::TEXT, a.attname)::REGCLASS
    WHERE a.attidentity <> '' AND NOT a.attisdropped AND t.relnamespace = to_regnamespace(current_schema())
      AND pg_has_role(t.relowner, 'USAGE')
      AND NOT EXISTS (SELECT 1 FROM pg_trigger g
                      WHERE g.tgrelid = a.attrelid AND g.tgname = 'quill_identity_past' AND g.tgnewtable IS NOT NULL)
  LOOP
    EXECUTE format('DROP TRIGGER IF EXISTS quill_identity_past ON %s', identity.tab);
    EXECUTE format('CREATE TRIGGER quill_identity_past AFTER INSERT ON %s REFERENCING NEW TABLE AS quill_inserted '
                   'FOR EACH STATEMENT EXECUTE FUNCTION quill_identity_past(%L, %L)', identity.tab, identity.col, identity.name);
    EXECUTE format('SELECT max(%I) FROM %s', identity.col, identity.tab) INTO top;
    IF top > coalesce(pg_sequence_last_value(identity.sequence), 0) THEN
      PERFORM setval(identity.sequence, top);
    END IF;
  END LOOP;
END $do$)sql";

// A CREATE statement in PostgreSQL's SQL, with what its identity columns need.
std::string CreateText(std::string_view sql) {
  std::string text = Dialect(sql);
  if (text.find(" AS IDENTITY ") != std::string::npos) text += kIdentityFollowsIds;
  return text;
}

const std::string& SchemaLockText() {
  static const std::string text = "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")";
  return text;
}

// A statement that makes tables: run under the schema lock, once per connection when it only
// makes what is missing.
osError RunCreate(Lease& lease, const char* sql) {
  Connection& connection = *lease.get();
  const bool ensure = std::strstr(sql, "IF NOT EXISTS") != nullptr;
  if (ensure && connection.ensured.count(sql) != 0) return QUILL_OK;
  osError code = RunPlain(lease, SchemaLockText().c_str());
  if (code == QUILL_OK) code = RunPlain(lease, CreateText(sql).c_str());
  if (!lease) return code;
  code = code == QUILL_OK ? RunPlain(lease, "COMMIT") : code;
  if (lease && PQtransactionStatus(connection.pg) != PQTRANS_IDLE) RunPlain(lease, "ROLLBACK");
  if (code == QUILL_OK && ensure) connection.ensured.insert(sql);
  return code;
}

}  // namespace

bool IsLocation(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

osError Open(const std::string& url, std::string* error) {
  Close();
  Database& database = TheDatabase();
  {
    std::lock_guard guard(database.lock);
    database.url = url;
    database.down = false;
    database.defaults.clear();
    ++database.defaultsVersion;
  }
  database.open = true;
  Lease lease(false);
  if (!lease) {
    if (error != nullptr) *error = lease.message();
    return lease.code();
  }
  for (const char* table : schema::kAll) {
    if (osError code = RunCreate(lease, table); code != QUILL_OK) {
      if (error != nullptr) *error = lease ? FirstLine(PQerrorMessage(lease.get()->pg)) : "the connection was lost";
      return code;
    }
  }
  return QUILL_OK;
}

void Close() {
  Database& database = TheDatabase();
  std::vector<std::unique_ptr<Connection>> closing;
  {
    std::lock_guard guard(database.lock);
    database.open = false;
    database.url.clear();
    ++database.generation;
    closing.swap(database.idle);
    for (auto& session : database.idleSessions) closing.push_back(std::move(session));
    database.idleSessions.clear();
  }
}

bool IsOpen() { return TheDatabase().open.load(std::memory_order_acquire); }

std::string Describe() {
  std::string url;
  {
    Database& database = TheDatabase();
    std::lock_guard guard(database.lock);
    url = database.url;
  }
  if (url.empty()) return {};
  PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr);
  if (options == nullptr) return "a PostgreSQL database";
  std::map<std::string, std::string> found;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val != nullptr) found[option->keyword] = option->val;
  }
  PQconninfoFree(options);
  return "PostgreSQL database " + found["dbname"] + " on " + (found["host"].empty() ? "the local socket" : found["host"]) +
         (found["port"].empty() ? "" : ":" + found["port"]) + (found["user"].empty() ? "" : " as " + found["user"]);
}

osError Execute(const char* sql, StorageManager::Rows& rows) {
  // One transaction for the whole text; a text that makes tables waits for the schema lock first.
  const bool create = StartsWithCreate(sql);
  std::string text = create ? CreateText(sql) : Dialect(sql);
  text = (create ? SchemaLockText() + ";" : "BEGIN ISOLATION LEVEL SERIALIZABLE;") + text + "\n;COMMIT";
  for (int attempt = 1;; ++attempt) {
    Lease lease(false);
    if (!lease) return lease.code();
    StorageManager::Rows found;
    bool retry = false;
    const osError code = RunText(lease, text, create ? 1 : 0, found, retry);
    if (code == QUILL_OK) {
      rows.insert(rows.end(), found.begin(), found.end());
      return code;
    }
    StorageManager::KillRows(&found);
    if (!retry || attempt == kAttempts) return code;
  }
}

osError ExecuteBound(const char* sql, std::initializer_list<SqlValue> params, std::vector<SqlRow>* rows) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const SqlValue& param : params) {
    values.push_back(param.text ? param.text->data() : nullptr);
    lengths.push_back(param.text ? static_cast<int>(param.text->size()) : 0);
    formats.push_back(param.blob ? 1 : 0);  // bytes go as they are; text as text
  }
  for (int attempt = 1;; ++attempt) {
    Lease lease(false);
    if (!lease) return lease.code();
    if (StartsWithCreate(sql)) return RunCreate(lease, sql);
    Connection& connection = *lease.get();
    std::string& name = connection.prepared[sql];
    if (name.empty()) {
      const std::string candidate = "q" + std::to_string(connection.prepared.size());
      const Result prepared(PQprepare(connection.pg, candidate.c_str(), Dialect(sql).c_str(), 0, nullptr));
      if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
        connection.prepared.erase(sql);
        return lease.LostConnection() ? lease.code() : Refused(prepared.get());
      }
      name = candidate;
    }
    const Result result(PQexecPrepared(connection.pg, name.c_str(), static_cast<int>(values.size()), values.data(),
                                       lengths.data(), formats.data(), 0));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
      for (int row = 0; rows != nullptr && row < PQntuples(result.get()); ++row) {
        SqlRow& cells = rows->emplace_back();
        for (int column = 0; column < PQnfields(result.get()); ++column) cells.push_back(Cell(result.get(), row, column));
      }
      return QUILL_OK;
    }
    if (lease.LostConnection()) return lease.code();
    if (!Retryable(result.get()) || attempt == kAttempts) return Refused(result.get());
  }
}

osError SetPreferenceDefault(const std::string& key, const std::string& value) {
  Database& database = TheDatabase();
  std::lock_guard guard(database.lock);
  if (database.url.empty()) return kStorageUnknownDatabase;
  database.defaults[key] = value;
  ++database.defaultsVersion;
  return QUILL_OK;
}

namespace {

// The query that calls an advisory lock function on a semaphore's slot.
std::string LockCall(const char* function, int32_t key, int32_t slot) {
  return std::string("SELECT ") + function + "(" + std::to_string(key) + ", " + std::to_string(slot) + ")";
}

}  // namespace

SharedLock::SharedLock() = default;

SharedLock::~SharedLock() {
  if (slot_ < 0 || !lease_ || !*lease_) return;
  const Result unlocked(PQexec(lease_->get()->pg, LockCall("pg_advisory_unlock", key_, slot_).c_str()));
  // A lock that may still be held never goes back to the pool with its connection.
  if (PQresultStatus(unlocked.get()) != PGRES_TUPLES_OK || std::strcmp(PQgetvalue(unlocked.get(), 0, 0), "t") != 0) {
    lease_->Discard("could not give a semaphore's lock back");
  }
}

osError SharedLock::Take(const std::string& name, int32_t slots) {
  // FNV-1a: the same number for the same name in every server.
  uint32_t hash = 2166136261u;
  for (const unsigned char c : name) hash = (hash ^ c) * 16777619u;
  key_ = static_cast<int32_t>(hash);
  lease_ = std::make_unique<Lease>(true);
  if (!*lease_) return lease_->code();
  PGconn* pg = lease_->get()->pg;
  static thread_local std::minstd_rand random(std::random_device{}());
  // A failed statement may still have left a lock behind: the session is closed, not pooled.
  const auto failed = [this](const char* what) {
    lease_->Discard(what);
    return lease_->code() != QUILL_OK ? lease_->code() : -1;
  };
  for (;;) {
    if (!lease_->Current()) return kStorageUnknownDatabase;  // closed or opened elsewhere while this waited
    for (int32_t slot = 0; slot < slots; ++slot) {
      const Result tried(PQexec(pg, LockCall("pg_try_advisory_lock", key_, slot).c_str()));
      if (PQresultStatus(tried.get()) != PGRES_TUPLES_OK) return failed("could not try a semaphore's lock");
      if (std::strcmp(PQgetvalue(tried.get(), 0, 0), "t") == 0) {
        slot_ = slot;
        return QUILL_OK;
      }
    }
    // Every slot is held: wait for one of them, picked at random so that waiters spread. A
    // cancel that reaches PostgreSQL before the wait does is lost, so no wait lasts longer than
    // kLockWait: then the flag is read again and every slot tried again.
    const int32_t slot = static_cast<int32_t>(random() % static_cast<uint32_t>(slots));
    {
      std::lock_guard guard(lock_);
      if (cancelled_) return QUILL_ERR_NOT_FOUND;
      cancel_ = PQgetCancel(pg);
    }
    const std::string wait =
        "SET lock_timeout = " + std::to_string(kLockWait.count()) + "; " + LockCall("pg_advisory_lock", key_, slot);
    const Result waited(PQexec(pg, wait.c_str()));
    bool cancelled;
    {
      std::lock_guard guard(lock_);
      PQfreeCancel(static_cast<PGcancel*>(cancel_));
      cancel_ = nullptr;
      cancelled = cancelled_;
    }
    if (PQresultStatus(waited.get()) == PGRES_TUPLES_OK) {
      slot_ = slot;
      return cancelled ? QUILL_ERR_NOT_FOUND : QUILL_OK;  // the destructor gives a lock taken too late back
    }
    if (lease_->LostConnection()) return lease_->code();
    // The lock can be granted just before a cancel or the time running out fails the wait.
    if (cancelled) {  // closing the session frees it, and ends a cancel still on its way
      lease_->Drop();
      return QUILL_ERR_NOT_FOUND;
    }
    const char* state = PQresultErrorField(waited.get(), PG_DIAG_SQLSTATE);
    if (state == nullptr || std::strcmp(state, "55P03") != 0) return failed("could not wait for a semaphore's lock");
    // Else the lock may be held once here: given back (or a no-op) before every slot is tried again.
    const Result unlocked(PQexec(pg, LockCall("pg_advisory_unlock", key_, slot).c_str()));
    if (PQresultStatus(unlocked.get()) != PGRES_TUPLES_OK) return failed("could not give a semaphore's lock back");
  }
}

void SharedLock::Cancel() {
  std::lock_guard guard(lock_);
  cancelled_ = true;
  if (cancel_ != nullptr) {
    char error[256];
    PQcancel(static_cast<PGcancel*>(cancel_), error, sizeof error);
  }
}

}  // namespace quill_service::postgres
