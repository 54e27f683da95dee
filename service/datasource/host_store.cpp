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
  std::string sql = std::string(kColumns) + " WHERE datasource = " + Literal(dataSource) + " COLLATE NOCASE";
  if (id != 0) sql += " AND id = " + std::to_string(id);
  auto hosts = Query(sql + " ORDER BY id LIMIT 1;");
  if (hosts.empty()) return std::nullopt;
  return std::move(hosts.front().host);
}

}  // namespace quill_service
