// The hosts of each data source, kept in the internal database (table datasource_hosts).
// Passwords are stored for the data sources to read; listings and logs never show them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/datasource.h"

namespace quill_service {

struct StoredHost {
  std::string dataSource;
  HostRec host;
};

// The new host's id (> 0), or an error code (< 0) with its reason in error.
QUILL_API int32_t AddDataSourceHost(const std::string& dataSource, const std::string& name, const std::string& user,
                                    const std::string& password, std::string* error = nullptr);
// Every host of the data source (case-insensitive), or of all sources when it is empty; by id.
QUILL_API std::vector<StoredHost> ListDataSourceHosts(const std::string& dataSource);
// False when no host has that id.
QUILL_API bool RemoveDataSourceHost(int32_t id);
// The data source's host with that id, or its first host when id is 0.
QUILL_API std::optional<HostRec> FindDataSourceHost(const std::string& dataSource, int32_t id);

}  // namespace quill_service
