#include "service/datasource/host_store.h"

#include <cstdlib>
#include <utility>

#include "service/core/internal_db.h"
#include "service/core/schema.h"

namespace quill_service {
namespace {

#define QUILL_HOST_COLUMNS "SELECT id, datasource, name, \"user\", password FROM datasource_hosts"
// Data sources match whatever their case, in the SQL both backends take.
#define QUILL_SAME_SOURCE "lower(datasource) = lower(CAST(?1 AS TEXT))"

// The row's id, then its name, user and password from the column `name` on.
HostRec HostOf(const SqlRow& row, size_t name) {
  HostRec host;
  host.id = std::atoi(row[0].value_or("0").c_str());
  host.name = row[name].value_or("").c_str();
  host.user = row[name + 1].value_or("").c_str();
  host.password = row[name + 2].value_or("").c_str();
  return host;
}

// The host, and whether that answer was read (a failed read finds none, and is not kept).
std::pair<std::optional<HostRec>, bool> ReadDataSourceHost(const std::string& dataSource, int32_t id) {
  static constexpr const char* kFind =
      "SELECT id, name, \"user\", password FROM datasource_hosts WHERE " QUILL_SAME_SOURCE
      " AND (CAST(?2 AS INTEGER) = 0 OR id = CAST(?2 AS INTEGER)) ORDER BY id LIMIT 1";
  std::vector<SqlRow> rows;
  const std::string key = std::to_string(id);
  osError result = ExecuteBound(kFind, {{dataSource}, {key}}, &rows);
  if (result != QUILL_OK && ExecuteBound(schema::kDataSourceHosts, {}) == QUILL_OK) {
    result = ExecuteBound(kFind, {{dataSource}, {key}}, &rows);
  }
  if (result != QUILL_OK) return {std::nullopt, false};
  if (rows.empty() || rows[0].size() != 4) return {std::nullopt, true};
  return {HostOf(rows[0], 1), true};
}

}  // namespace

int32_t AddDataSourceHost(const std::string& dataSource, const std::string& name, const std::string& user,
                          const std::string& password, std::string* error) {
  if (dataSource.empty() || name.empty()) {
    if (error != nullptr) *error = "a host needs a data source and a name or URL";
    return QUILL_ERR_INVALID;
  }
  std::vector<SqlRow> rows;
  osError result = ExecuteBound(schema::kDataSourceHosts, {});
  if (result == QUILL_OK) {
    result = ExecuteBound(
        "INSERT INTO datasource_hosts (datasource, name, \"user\", password) VALUES (?1, ?2, ?3, ?4) RETURNING id",
        {{dataSource}, {name}, {user}, {password}}, &rows);
  }
  if (result != QUILL_OK || rows.empty() || rows[0].empty() || !rows[0][0]) {
    if (error != nullptr) *error = "the internal database refused the host (" + std::to_string(result) + ")";
    return result != QUILL_OK ? result : QUILL_ERR_GENERIC;
  }
  return std::atoi(rows[0][0]->c_str());
}

std::vector<StoredHost> ListDataSourceHosts(const std::string& dataSource) {
  std::vector<SqlRow> rows;
  std::vector<StoredHost> hosts;
  if (ExecuteBound(schema::kDataSourceHosts, {}) != QUILL_OK) return hosts;
  const osError result =
      dataSource.empty()
          ? ExecuteBound(QUILL_HOST_COLUMNS " ORDER BY id", {}, &rows)
          : ExecuteBound(QUILL_HOST_COLUMNS " WHERE " QUILL_SAME_SOURCE " ORDER BY id", {{dataSource}}, &rows);
  if (result != QUILL_OK) return hosts;
  for (const SqlRow& row : rows) {
    if (row.size() != 5) continue;
    hosts.push_back({row[1].value_or(""), HostOf(row, 2)});
  }
  return hosts;
}

bool RemoveDataSourceHost(int32_t id) {
  std::vector<SqlRow> rows;
  return ExecuteBound(schema::kDataSourceHosts, {}) == QUILL_OK &&
         ExecuteBound("DELETE FROM datasource_hosts WHERE id = ?1 RETURNING id", {{std::to_string(id)}}, &rows) ==
             QUILL_OK &&
         !rows.empty();
}

std::optional<HostRec> FindDataSourceHost(const std::string& dataSource, int32_t id) {
  // Asked before every database action: kept for a second (see RecentAnswers), then one
  // statement, compiled once, with the table made only when it is missing.
  struct KeyHash {
    size_t operator()(const std::pair<std::string, int32_t>& key) const {
      return std::hash<std::string>()(key.first) ^ static_cast<size_t>(key.second);
    }
  };
  static RecentAnswers<std::pair<std::string, int32_t>, std::optional<HostRec>, KeyHash> answers;
  return answers.Get({dataSource, id}, [&] { return ReadDataSourceHost(dataSource, id); });
}

#undef QUILL_SAME_SOURCE
#undef QUILL_HOST_COLUMNS

}  // namespace quill_service
