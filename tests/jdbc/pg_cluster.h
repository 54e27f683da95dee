// A private PostgreSQL cluster for the tests: initdb into a temporary folder, a free local port,
// password authentication, stopped and removed at the end, also when the test program is killed
// (CleanupOnExit). The server refuses to run as root, so as root it runs as the `postgres` user the
// package creates.
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../cleanup_on_exit.h"

namespace qjapi_test {

class PgCluster {
 public:
  static constexpr const char* kUser = "quill";
  static constexpr const char* kPassword = "secret";

  // The binaries' folder of the newest installed server, or empty.
  static std::string BinFolder() {
    namespace fs = std::filesystem;
    std::string best;
    std::error_code ec;
    for (const auto& version : fs::directory_iterator("/usr/lib/postgresql", ec)) {
      const fs::path bin = version.path() / "bin";
      if (fs::exists(bin / "initdb") && fs::exists(bin / "pg_ctl") && bin.string() > best) best = bin.string();
    }
    return best;
  }

  // Empty on success, else why the cluster could not start.
  std::string Start() {
    bin_ = BinFolder();
    if (bin_.empty()) return "PostgreSQL binaries not found under /usr/lib/postgresql (scripts/setup.sh installs them)";
    char pattern[] = "/tmp/qjapi-pg-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "no temporary folder";
    dir_ = pattern;
    port_ = FreePort();
    if (geteuid() == 0) {
      const passwd* postgres = getpwnam("postgres");
      if (postgres == nullptr) return "running as root and there is no postgres user";
      if (chown(dir_.c_str(), postgres->pw_uid, postgres->pw_gid) != 0) return "cannot give the folder to postgres";
      as_ = "runuser -u postgres -- ";
    }
    CleanupOnExit::Run("cd / && " + ControlCommand("stop -m fast -w") + " 2>/dev/null; rm -rf " + dir_);
    std::ofstream(dir_ + "/pw") << kPassword << "\n";
    if (!as_.empty()) Shell("chown postgres " + dir_ + "/pw");
    if (!Shell(as_ + bin_ + "/initdb -D " + dir_ + "/data -U " + kUser + " --auth=scram-sha-256 --pwfile=" + dir_ +
               "/pw -E UTF8 --locale=C.UTF-8 > " + dir_ + "/initdb.log 2>&1")) {
      return "initdb failed (see " + dir_ + "/initdb.log)";
    }
    started_ = Control("start -w -o \"-p " + std::to_string(port_) + " -k " + dir_ +
                       " -c listen_addresses=127.0.0.1 -c max_connections=60\"");
    return started_ ? "" : "pg_ctl start failed (see " + dir_ + "/server.log)";
  }

  bool Stop() { return started_ && Control("stop -m fast -w"); }
  bool Restart() { return Control("start -w -o \"-p " + std::to_string(port_) + " -k " + dir_ +
                                  " -c listen_addresses=127.0.0.1 -c max_connections=60\""); }

  // Stops the server and removes its folder; for programs that end with std::_Exit.
  void Shutdown() {
    if (started_) Stop();
    started_ = false;
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
    dir_.clear();
  }

  ~PgCluster() { Shutdown(); }

  int port() const { return port_; }

  // A local TCP port nothing listens on now.
  static int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 54329;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    if (s >= 0) close(s);
    return port;
  }

  // A host URL of the server: the database is appended to it.
  std::string url() const { return "jdbc:postgresql://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  // From "/": the postgres user may not enter the test's working folder.
  static bool Shell(const std::string& command) { return std::system(("cd / && " + command).c_str()) == 0; }

  std::string ControlCommand(const std::string& what) const {
    return as_ + bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log " + what + " > /dev/null";
  }
  bool Control(const std::string& what) { return Shell(ControlCommand(what)); }


  std::string bin_, dir_, as_;
  int port_ = 0;
  bool started_ = false;
};

}  // namespace qjapi_test
