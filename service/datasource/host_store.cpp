#include "service/datasource/host_store.h"

#include <cstdlib>

#include "host/storage.h"
#include "service/core/internal_db.h"

namespace quill_service {
namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS datasource_hosts (id INTEGER PRIMARY KEY, datasource TEXT NOT NULL, "
    "name TEXT NOT NULL, user TEXT NOT NULL, password TEXT NOT NULL);";
constexpr const char* kColumns = "SELECT id, datasource, name, user, password FROM datasource_hosts";

// A SQL string literal: every quote doubled, so no value can end its literal.
std::string Literal(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

// Runs sql after making sure the table exists; rows as owned strings.
osError Run(const std::string& sql, std::vector<std::vector<std::string>>* out) {
  StorageManager::Rows rows;
  osError result = StorageManager::Execute(kInternalDatabase, (std::string(kCreateTable) + sql).c_str(), &rows, nullptr);
  if (out != nullptr) {
    for (const auto& row : rows) {
      auto& copy = out->emplace_back();
      for (const CharBuffer* cell : row) copy.emplace_back(cell != nullptr ? cell->str() : std::string());
    }
  }
  StorageManager::KillRows(&rows);
  return result;
}

std::vector<StoredHost> Query(const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  std::vector<StoredHost> hosts;
  if (Run(sql, &rows) != 0) return hosts;
  for (const auto& row : rows) {
    if (row.size() != 5) continue;
    StoredHost stored;
    stored.host.id = std::atoi(row[0].c_str());
    stored.dataSource = row[1];
    stored.host.name = row[2].c_str();
    stored.host.user = row[3].c_str();
    stored.host.password = row[4].c_str();
    hosts.push_back(std::move(stored));
  }
  return hosts;
}

}  // namespace

int32_t AddDataSourceHost(const std::string& dataSource, const std::string& name, const std::string& user,
                          const std::string& password, std::string* error) {
  if (dataSource.empty() || name.empty()) {
    if (error != nullptr) *error = "a host needs a data source and a name or URL";
    return QUILL_ERR_INVALID;
  }
  std::vector<std::vector<std::string>> rows;
  const osError result = Run("INSERT INTO datasource_hosts (datasource, name, user, password) VALUES (" +
                                 Literal(dataSource) + "," + Literal(name) + "," + Literal(user) + "," +
                                 Literal(password) + "); SELECT last_insert_rowid();",
                             &rows);
  if (result != 0 || rows.empty() || rows[0].empty()) {
    if (error != nullptr) *error = "the internal database refused the host (" + std::to_string(result) + ")";
    return result != 0 ? result : QUILL_ERR_GENERIC;
  }
  return std::atoi(rows[0][0].c_str());
}

std::vector<StoredHost> ListDataSourceHosts(const std::string& dataSource) {
  return Query(std::string(kColumns) +
               (dataSource.empty() ? "" : " WHERE datasource = " + Literal(dataSource) + " COLLATE NOCASE") +
               " ORDER BY id;");
}

bool RemoveDataSourceHost(int32_t id) {
  std::vector<std::vector<std::string>> rows;
  if (Run("DELETE FROM datasource_hosts WHERE id = " + std::to_string(id) + "; SELECT changes();", &rows) != 0) {
    return false;
  }
  return !rows.empty() && !rows[0].empty() && rows[0][0] != "0";
}

std::optional<HostRec> FindDataSourceHost(const std::string& dataSource, int32_t id) {
  // Asked before every database action: one statement, compiled once, with the table made only
  // when it is missing.
  static constexpr const char* kFind =
      "SELECT id, name, user, password FROM datasource_hosts WHERE datasource = ?1 COLLATE NOCASE "
      "AND (?2 = '0' OR id = ?2) ORDER BY id LIMIT 1";
  std::vector<SqlRow> rows;
  const std::string key = std::to_string(id);
  osError result = ExecuteBound(kFind, {{dataSource}, {key}}, &rows);
  if (result != QUILL_OK && Run("SELECT 1;", nullptr) == QUILL_OK) {  // Run makes the table
    result = ExecuteBound(kFind, {{dataSource}, {key}}, &rows);
  }
  if (result != QUILL_OK || rows.empty() || rows[0].size() != 4) return std::nullopt;
  HostRec host;
  host.id = std::atoi(rows[0][0].value_or("0").c_str());
  host.name = rows[0][1].value_or("").c_str();
  host.user = rows[0][2].value_or("").c_str();
  host.password = rows[0][3].value_or("").c_str();
  return host;
}

}  // namespace quill_service
