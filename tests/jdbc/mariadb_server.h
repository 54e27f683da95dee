// A private MariaDB server for the tests (see PrivateServer): mariadb-install-db into the
// temporary folder, the unix socket in that folder, a password user for the connector.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "pg_cluster.h"

namespace qjapi_test {

class MariaDbServer : public PrivateServer {
 public:
  static constexpr const char* kServer = "/usr/sbin/mariadbd";
  static constexpr const char* kInstall = "/usr/bin/mariadb-install-db";
  static constexpr const char* kClient = "/usr/bin/mariadb";

  // Empty on success, else why the server could not start.
  std::string Start() {
    namespace fs = std::filesystem;
    if (!fs::exists(kServer) || !fs::exists(kInstall) || !fs::exists(kClient)) {
      return "MariaDB server not installed (scripts/setup.sh installs mariadb-server)";
    }
    if (const std::string failed = MakeFolder("maria", "mysql"); !failed.empty()) return failed;
    const std::string user = runAs_.empty() ? "" : " --user=" + runAs_;
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
    // Up once its socket is there and its port answers.
    bool up = false;
    for (int i = 0; i < 600 && !up; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      up = Answers(port_) && fs::exists(Socket());
    }
    if (!up) return "mariadbd did not start (see " + dir_ + "/server.log)";
    if (!Sql(std::string("CREATE USER ") + kUser + "@'%' IDENTIFIED BY '" + kPassword + "'; GRANT ALL ON *.* TO " +
             kUser + "@'%' WITH GRANT OPTION")) {
      return "the test user could not be made";
    }
    return "";
  }

  // Runs statements as the server's administrator over the socket.
  bool Sql(const std::string& statements) const {
    return Shell(std::string(kClient) + " --no-defaults -S " + Socket() + " -u root -e \"" + statements +
                 "\" > /dev/null 2>&1");
  }

  // Stops the server and removes its folder; for programs that end with std::_Exit.
  void Shutdown() {
    if (dir_.empty()) return;
    Shell(StopCommand());
    RemoveFolder();
  }

  ~MariaDbServer() { Shutdown(); }

  // A host URL of the server: the database is appended to it.
  std::string url() const { return "jdbc:mariadb://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  std::string Socket() const { return dir_ + "/server.sock"; }

  // TERM, then up to 30 s for the server to finish, then KILL.
  std::string StopCommand() const {
    const std::string pidFile = dir_ + "/server.pid";
    return "pid=$(cat " + pidFile + " 2>/dev/null); if [ -n \"$pid\" ]; then kill $pid 2>/dev/null; i=0; "
           "while kill -0 $pid 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1; i=$((i+1)); done; "
           "kill -9 $pid 2>/dev/null; rm -f " + pidFile + "; fi; true";
  }
};

}  // namespace qjapi_test
