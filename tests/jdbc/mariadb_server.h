// A private MariaDB server for the tests: mariadb-install-db into a temporary folder, a free local
// port, the unix socket in that folder, a password user for the connector. It is stopped and its
// folder removed at the end, also when the test program is killed (CleanupOnExit). As root it runs
// as the `mysql` user the package creates.
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "../cleanup_on_exit.h"
#include "pg_cluster.h"

namespace qjapi_test {

class MariaDbServer {
 public:
  static constexpr const char* kUser = "quill";
  static constexpr const char* kPassword = "secret";
  static constexpr const char* kServer = "/usr/sbin/mariadbd";
  static constexpr const char* kInstall = "/usr/bin/mariadb-install-db";
  static constexpr const char* kClient = "/usr/bin/mariadb";

  // Empty on success, else why the server could not start.
  std::string Start() {
    namespace fs = std::filesystem;
    if (!fs::exists(kServer) || !fs::exists(kInstall) || !fs::exists(kClient)) {
      return "MariaDB server not installed (scripts/setup.sh installs mariadb-server)";
    }
    char pattern[] = "/tmp/qjapi-maria-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return "no temporary folder";
    dir_ = pattern;
    port_ = PgCluster::FreePort();
    std::string user;
    if (geteuid() == 0) {
      const passwd* mysql = getpwnam("mysql");
      if (mysql == nullptr) return "running as root and there is no mysql user";
      if (chown(dir_.c_str(), mysql->pw_uid, mysql->pw_gid) != 0) return "cannot give the folder to mysql";
      user = " --user=mysql";
    }
    // Registered before anything runs: a server half started is stopped and its folder removed too.
    CleanupOnExit::Run("cd / && " + StopCommand() + "; rm -rf " + dir_);
    if (!Shell(std::string(kInstall) + " --no-defaults" + user + " --datadir=" + dir_ +
               "/data --auth-root-authentication-method=socket --skip-test-db > " + dir_ + "/install.log 2>&1")) {
      return "mariadb-install-db failed (see " + dir_ + "/install.log)";
    }
    // The server's defaults as shipped (sql_mode included); text as UTF-8 compared byte for byte.
    Shell(std::string(kServer) + " --no-defaults" + user + " --datadir=" + dir_ + "/data --socket=" + Socket() +
          " --port=" + std::to_string(port_) + " --bind-address=127.0.0.1 --skip-name-resolve --pid-file=" + dir_ +
          "/server.pid --log-error=" + dir_ + "/server.log --character-set-server=utf8mb4 "
          "--collation-server=utf8mb4_bin --innodb-buffer-pool-size=32M --max-connections=60 > /dev/null 2>&1 &");
    if (!WaitReady()) return "mariadbd did not start (see " + dir_ + "/server.log)";
    if (!Sql(std::string("CREATE USER ") + kUser + "@'%' IDENTIFIED BY '" + kPassword + "'; GRANT ALL ON *.* TO " +
             kUser + "@'%' WITH GRANT OPTION")) {
      return "the test user could not be made";
    }
    return "";
  }

  // Stops the server now (the folder stays until the process ends).
  bool Stop() { return Shell(StopCommand()); }

  // Runs statements as the server's administrator over the socket.
  bool Sql(const std::string& statements) const {
    return Shell(std::string(kClient) + " --no-defaults -S " + Socket() + " -u root -e \"" + statements +
                 "\" > /dev/null 2>&1");
  }

  // Stops the server and removes its folder; for programs that end with std::_Exit.
  void Shutdown() {
    if (dir_.empty()) return;
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }

  ~MariaDbServer() { Shutdown(); }

  int port() const { return port_; }
  // A host URL of the server: the database is appended to it.
  std::string url() const { return "jdbc:mariadb://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  static bool Shell(const std::string& command) { return std::system(("cd / && " + command).c_str()) == 0; }
  std::string Socket() const { return dir_ + "/server.sock"; }

  // TERM, then up to 30 s for the server to finish, then KILL.
  std::string StopCommand() const {
    const std::string pidFile = dir_ + "/server.pid";
    return "pid=$(cat " + pidFile + " 2>/dev/null); if [ -n \"$pid\" ]; then kill $pid 2>/dev/null; i=0; "
           "while kill -0 $pid 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done; "
           "kill -9 $pid 2>/dev/null; rm -f " + pidFile + "; fi; true";
  }

  bool WaitReady() const {
    for (int i = 0; i < 600; ++i) {
      const int s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(port_));
      const bool up = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      if (s >= 0) close(s);
      if (up && std::filesystem::exists(Socket())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::string dir_;
  int port_ = 0;
};

}  // namespace qjapi_test
