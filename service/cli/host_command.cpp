// `quill host ...`: the administrator's commands for the hosts of each data source. Passwords
// go into the internal database and nowhere else: listings and messages never show them.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "service/cli/usage.h"
#include "service/datasource/host_store.h"

namespace quill_service {

namespace {

int HostUsage() {
  std::fputs(kHostUsage, stderr);
  return 2;
}

}  // namespace

int HostCommand(const std::vector<std::string>& args) {
  if (args.empty()) return HostUsage();
  const std::string& verb = args[0];
  if (verb == "add" && (args.size() == 4 || args.size() == 5)) {
    std::string password;
    if (args.size() == 5) {
      password = args[4];
    } else {
      std::getline(std::cin, password);
      if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    std::string error;
    const int32_t id = AddDataSourceHost(args[1], args[2], args[3], password, &error);
    if (id <= 0) {
      std::fprintf(stderr, "quill: host not added: %s\n", error.c_str());
      return 1;
    }
    std::printf("%d\n", id);
    return 0;
  }
  if (verb == "list" && args.size() <= 2) {
    for (const StoredHost& stored : ListDataSourceHosts(args.size() == 2 ? args[1] : std::string())) {
      std::printf("%d\t%s\t%s\t%s\n", stored.host.id, stored.dataSource.c_str(), stored.host.name.c_str(),
                  stored.host.user.c_str());
    }
    return 0;
  }
  if (verb == "remove" && args.size() == 2) {
    char* end = nullptr;
    const long id = std::strtol(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end != '\0' || id <= 0 || id > INT32_MAX) return HostUsage();
    if (!RemoveDataSourceHost(static_cast<int32_t>(id))) {
      std::fprintf(stderr, "quill: no host %ld\n", id);
      return 1;
    }
    return 0;
  }
  return HostUsage();
}

}  // namespace quill_service
