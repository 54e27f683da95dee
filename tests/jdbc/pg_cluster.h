// Private database servers for the tests, each in a temporary folder on a free local port with a
// password user, stopped and removed at the end, also when the test program is killed
// (CleanupOnExit). The servers refuse to run as root, so as root they run as the system user
// their package creates. Here the PostgreSQL cluster (initdb, pg_ctl).
#pragma once

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../cleanup_on_exit.h"

namespace qjapi_test {

class PrivateServer {
 public:
  static constexpr const char* kUser = "quill";
  static constexpr const char* kPassword = "secret";

  int port() const { return port_; }

  // A local TCP port nothing listens on now.
  static int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    int port = 54329;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    if (s >= 0) close(s);
    return port;
  }

  static sockaddr_in Loopback(int port) {
    return {.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)),
            .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  }

  // Whether something accepts connections on the local port.
  static bool Answers(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(port);
    const bool up = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (s >= 0) close(s);
    return up;
  }

 protected:
  // Makes the folder /tmp/qjapi-<kind>-XXXXXX (owned by user when running as root, who then
  // runs the server) and picks the port; empty on success, else why not.
  std::string MakeFolder(const std::string& kind, const char* user) {
    std::string pattern = "/tmp/qjapi-" + kind + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return "no temporary folder";
    dir_ = pattern;
    port_ = FreePort();
    if (geteuid() != 0) return "";
    const passwd* owner = getpwnam(user);
    if (owner == nullptr) return std::string("running as root and there is no ") + user + " user";
    if (chown(dir_.c_str(), owner->pw_uid, owner->pw_gid) != 0) return std::string("cannot give the folder to ") + user;
    runAs_ = user;
    return "";
  }

  void RemoveFolder() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }

  // From "/": the server's user may not enter the test's working folder.
  static bool Shell(const std::string& command) { return std::system(("cd / && " + command).c_str()) == 0; }

  std::string dir_, runAs_;  // runAs_: the server's system user, when running as root
  int port_ = 0;
};

class PgCluster : public PrivateServer {
 public:
  // Empty on success, else why the cluster could not start. It runs the newest installed server.
  std::string Start() {
    std::error_code ec;
    for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      const auto bin = version.path() / "bin";
      if (exists(bin / "initdb") && exists(bin / "pg_ctl") && bin.string() > bin_) bin_ = bin.string();
    }
    if (bin_.empty()) return "PostgreSQL binaries not found under /usr/lib/postgresql (scripts/setup.sh installs them)";
    if (const std::string failed = MakeFolder("pg", "postgres"); !failed.empty()) return failed;
    CleanupOnExit::Run("cd / && " + ControlCommand("stop -m fast -w") + " 2>/dev/null; rm -rf " + dir_);
    std::ofstream(dir_ + "/pw") << kPassword << "\n";
    if (!runAs_.empty()) Shell("chown " + runAs_ + " " + dir_ + "/pw");
    if (!Shell(As() + bin_ + "/initdb -D " + dir_ + "/data -U " + kUser + " --auth=scram-sha-256 --pwfile=" + dir_ +
               "/pw -E UTF8 --locale=C.UTF-8 > " + dir_ + "/initdb.log 2>&1")) {
      return "initdb failed (see " + dir_ + "/initdb.log)";
    }
    started_ = Restart();
    return started_ ? "" : "pg_ctl start failed (see " + dir_ + "/server.log)";
  }

  bool Stop() { return started_ && Shell(ControlCommand("stop -m fast -w")); }
  bool Restart() {
    return Shell(ControlCommand("start -w -o \"-p " + std::to_string(port_) + " -k " + dir_ +
                                " -c listen_addresses=127.0.0.1 -c max_connections=60\""));
  }

  // Stops the server and removes its folder; for programs that end with std::_Exit.
  void Shutdown() {
    if (started_) Stop();
    started_ = false;
    RemoveFolder();
  }

  ~PgCluster() { Shutdown(); }

  // A host URL of the server: the database is appended to it.
  std::string url() const { return "jdbc:postgresql://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  std::string ControlCommand(const std::string& what) const {
    return As() + bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/server.log " + what + " > /dev/null";
  }
  std::string As() const { return runAs_.empty() ? "" : "runuser -u " + runAs_ + " -- "; }

  std::string bin_;
  bool started_ = false;
};

}  // namespace qjapi_test
