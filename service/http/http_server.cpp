#include "service/http/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <new>
#include <utility>
#include <vector>

#include "host/os.h"
#include "host/qcapi.h"
#include "service/core/log.h"
#include "service/core/rights.h"
#include "service/http/visitor.h"
#include "service/script/script.h"

namespace quill_service {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPostBufferBytes = 16 << 10;
// The connection's memory holds the request line and headers as received, the library's copy of
// the Cookie header that it splits, a record of each query field, header field and cookie, and
// the response's header lines. Once it is full the library cannot even send its own 431, and the
// client waits for nothing; so it is sized for the largest head the server answers itself
// (--max-header, and at most --max-fields fields in all), and heads beyond that are refused: a query
// of more fields before the library parses it, header fields and cookies once they are in. The
// memory is cleared for every request the connection carries, so it is not sized for more.
constexpr size_t kConnectionOverheadBytes = 8 << 10;  // the response's header lines, bookkeeping
constexpr size_t kFieldRecordBytes = 64;
constexpr auto kWatchInterval = std::chrono::milliseconds(200);
// How long the acceptor waits when it cannot take a connection now (limit, descriptors).
constexpr auto kAcceptPause = std::chrono::milliseconds(10);
// How long a connection refused for its address may stay open for its 503 to be sent.
constexpr auto kRefusedLinger = std::chrono::seconds(2);
// A run this long past its time limit has not reached a statement since: it is inside a tag
// that does not return, and holds its worker.
constexpr auto kOverdueGrace = std::chrono::seconds(2);
// Folders of the server root that hold the server's own files, never served.
constexpr const char* kOwnFolders[] = {"Logs", "QuillModules", "JavaLibraries", "JDBCDrivers", "csv-data", "jdbc-data"};
constexpr const char* kInternalDatabasePrefix = "quill_internal.db";
constexpr const char* kHtml = "text/html; charset=utf-8";

// The pages the server answers with itself: a status and a sentence, never anything of the
// request or of the server's inside (the log has the details).
std::string Page(unsigned status, const char* title, const char* sentence) {
  const std::string heading = std::to_string(status) + " " + title;
  return "<!DOCTYPE html>\n<html><head><title>" + heading + "</title></head>\n<body><h1>" + heading + "</h1>\n<p>" +
         sentence + "</p></body></html>\n";
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

const char* MediaType(std::string_view path) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", kHtml}, {".htm", kHtml}, {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"}, {".json", "application/json"}, {".txt", "text/plain; charset=utf-8"},
      {".svg", "image/svg+xml"}, {".png", "image/png"}, {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"},
      {".gif", "image/gif"}, {".ico", "image/x-icon"}, {".webp", "image/webp"}};
  for (const auto& [extension, type] : kTypes) {
    if (EndsWith(path, extension)) return type;
  }
  return "application/octet-stream";
}

// What a URL path names in the web folder.
struct Target {
  enum Kind { kMissing, kScript, kFile, kFolder } kind = kMissing;
  std::string path;  // the file
};

// Segments are taken as they are (the library has decoded them); an empty one is skipped and
// one beginning with "." (".", "..", hidden files) names nothing. The file found must lie inside
// the web folder once links are followed.
Target Resolve(const std::string& webFolder, std::string_view url) {
  if (url.empty() || url.front() != '/') return {};
  std::string path = webFolder;
  size_t start = 1;
  while (start <= url.size()) {
    size_t end = url.find('/', start);
    if (end == std::string_view::npos) end = url.size();
    const std::string_view segment = url.substr(start, end - start);
    if (!segment.empty()) {
      if (segment.front() == '.' || segment.find('\0') != std::string_view::npos) return {};
      path += '/';
      path += segment;
    }
    start = end + 1;
  }
  const bool folderUrl = url.back() == '/';
  if (folderUrl) path += "/index.qs";
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {};
  if (S_ISDIR(info.st_mode)) return {folderUrl ? Target::kMissing : Target::kFolder, ""};
  if (!S_ISREG(info.st_mode)) return {};
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string resolved(real);
  std::free(real);
  if (resolved.compare(0, webFolder.size() + 1, webFolder + "/") != 0) return {};
  // The health path's name belongs to the server, however the file is reached.
  const std::string_view inWeb = std::string_view(resolved).substr(webFolder.size());
  if (inWeb == kHealthPath || inWeb.starts_with(std::string(kHealthPath) + "/")) return {};
  // The internal database and its journals, wherever a copy of them lies.
  if (resolved.compare(resolved.rfind('/') + 1, std::strlen(kInternalDatabasePrefix), kInternalDatabasePrefix) == 0) {
    return {};
  }
  return {EndsWith(resolved, ".qs") ? Target::kScript : Target::kFile, std::move(resolved)};
}

// How long what the file system said of a page is believed without asking again: a page or
// script changed, added or removed is seen at most this late.
constexpr auto kRecheckInterval = std::chrono::seconds(1);
// Resolved pages kept at most; beyond, the record starts over (URLs come from anyone).
constexpr size_t kMaxResolved = 4096;
// Records of scripts with no run kept at most (each a name and an empty queue).
constexpr size_t kMaxIdleRuns = 1024;

// Resolve's answers for scripts and files, each believed for kRecheckInterval: a busy page costs
// a stat and a realpath once a second, not on every request. Only what exists is kept, so a
// page that appears is served at once; one that goes, or whose link now leads elsewhere, is
// still answered as it was (a file checked a moment ago) until its record is due.
class ResolvedPaths {
 public:
  Target Get(const std::string& webFolder, const std::string& url) {
    const auto now = Clock::now();
    {
      std::lock_guard guard(lock_);
      auto found = entries_.find(url);
      if (found != entries_.end() && now - found->second.checked < kRecheckInterval) return found->second.target;
    }
    Target target = Resolve(webFolder, url);
    if (target.kind == Target::kScript || target.kind == Target::kFile) {
      std::lock_guard guard(lock_);
      if (entries_.size() >= kMaxResolved) entries_.clear();
      entries_[url] = {target, now};
    } else {
      std::lock_guard guard(lock_);
      entries_.erase(url);
    }
    return target;
  }

 private:
  struct Entry {
    Target target;
    Clock::time_point checked;
  };
  std::mutex lock_;
  std::unordered_map<std::string, Entry> entries_;
};

// Parsed scripts by file, parsed again when the file changes; whether it has is asked at most
// once every kRecheckInterval.
class ScriptCache {
 public:
  // The program of the file, or null with error set.
  ProgramPtr Get(const std::string& path, const std::string& name, std::string* error) {
    const auto now = Clock::now();
    {
      std::shared_lock guard(lock_);
      auto found = entries_.find(path);
      if (found != entries_.end() && now - found->second.checked < kRecheckInterval) return found->second.program;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
      *error = name + ": the script is gone";
      return nullptr;
    }
    const Stamp stamp{info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_size};
    {
      std::unique_lock guard(lock_);
      auto found = entries_.find(path);
      if (found != entries_.end() && found->second.stamp == stamp) {
        found->second.checked = now;
        return found->second.program;
      }
    }
    std::string source;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
      char buffer[16384];
      size_t got = 0;
      while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) source.append(buffer, got);
      std::fclose(file);
    } else {
      *error = name + ": cannot read the script: " + std::strerror(errno);
      return nullptr;
    }
    ProgramPtr program = ParseScript(source, name, error);
    if (program) {
      std::unique_lock guard(lock_);
      entries_[path] = {stamp, program, now};
    }
    return program;
  }

 private:
  struct Stamp {
    long seconds, nanoseconds;
    off_t size;
    bool operator==(const Stamp&) const = default;
  };
  struct Entry {
    Stamp stamp;
    ProgramPtr program;
    Clock::time_point checked;
  };
  std::shared_mutex lock_;
  std::unordered_map<std::string, Entry> entries_;
};

// A listening socket on address:port; throws osException with the reason.
int Listen(const std::string& address, int port, std::string* shown, int* boundPort) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    throw osException(("not a numeric IP address: " + address).c_str(), QUILL_ERR_INVALID);
  }
  const int family = found->ai_family;
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  std::string failure;
  if (fd < 0) {
    failure = "socket";
  } else {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) failure = "bind";
    else if (listen(fd, SOMAXCONN) != 0) failure = "listen";
  }
  freeaddrinfo(found);
  if (!failure.empty()) {
    const std::string reason = "cannot listen on " + address + " port " + service + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    throw osException(reason.c_str(), QUILL_ERR_GENERIC);
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  *boundPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  *shown = family == AF_INET6 ? "[" + address + "]" : address;
  return fd;
}

// Why the web folder (a real path) would serve the server's own files, or empty when it would not:
// it is the server root or holds it, or it lies in one of the root's own folders.
std::string OwnFilesProblem(const std::string& web, const std::string& root) {
  if (root.empty()) return {};
  char* real = realpath(root.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string rootPath(real);
  std::free(real);
  const auto inside = [](const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              (folder == "/" || path[folder.size()] == '/'));
  };
  if (inside(rootPath, web)) {
    return "is the server root or contains it: its internal database, logs and module folders would be served";
  }
  for (const char* own : kOwnFolders) {
    if (inside(web, rootPath + "/" + own)) return std::string("lies in the server's own folder ") + own + "/";
  }
  return {};
}

// An IPv6 address in its one written form; an IPv4 client of an IPv6 socket as IPv4.
std::string AddressText(const in6_addr& address) {
  char text[INET6_ADDRSTRLEN] = "-";
  if (IN6_IS_ADDR_V4MAPPED(&address)) inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
  else inet_ntop(AF_INET6, &address, text, sizeof text);
  return text;
}

std::string PeerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "-";
  const sockaddr* address = info->client_addr;
  if (address->sa_family == AF_INET6) return AddressText(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
  char text[INET_ADDRSTRLEN] = "-";
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  }
  return text;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A numeric IPv4 or IPv6 address written the way PeerOf writes it, or nothing for other text.
std::optional<std::string> CanonicalAddress(std::string_view text) {
  const std::string address(Trimmed(text));
  in_addr v4{};
  in6_addr v6{};
  char written[INET6_ADDRSTRLEN];
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return inet_ntop(AF_INET, &v4, written, sizeof written);
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return AddressText(v6);
  return std::nullopt;
}

MHD_Result AppendForwardedFor(void* list, MHD_ValueKind, const char* key, const char* value) {
  if (value != nullptr && EqualsNoCase(key, "X-Forwarded-For")) {
    auto& hops = *static_cast<std::string*>(list);
    if (!hops.empty()) hops += ',';
    hops += value;
  }
  return MHD_YES;
}

// The request's client: the connection's address (peer), unless that is a trusted proxy. Then each
// X-Forwarded-For hop is read from the right, the side the trusted proxies appended: the first
// that is not a trusted proxy is the client (what lies left of it anyone may have written). Text
// that is no address stops the walk at the hop before it.
std::string ClientOf(MHD_Connection* connection, std::string peer, const std::vector<std::string>& trusted) {
  std::string client = std::move(peer);
  const auto isTrusted = [&](const std::string& address) {
    return std::find(trusted.begin(), trusted.end(), address) != trusted.end();
  };
  if (!isTrusted(client)) return client;
  std::string hops;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, AppendForwardedFor, &hops);
  std::string_view rest(hops);
  while (!Trimmed(rest).empty()) {
    const size_t comma = rest.rfind(',');
    const std::string_view hop = comma == std::string_view::npos ? rest : rest.substr(comma + 1);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
    std::optional<std::string> address = CanonicalAddress(hop);
    if (!address) break;
    client = std::move(*address);
    if (!isTrusted(client)) break;
  }
  return client;
}

}  // namespace

// One request on one connection, from its request line to the end of its response.
struct Exchange {
  Exchange(HttpServer::State* s, MHD_Connection* c) : server(s), connection(c) {}
  HttpServer::State* server;
  MHD_Connection* connection;
  Clock::time_point started = Clock::now();
  std::string client;   // the client's address for the access log, once the headers are in
  size_t uriBytes = 0;  // the request line's target, query included
  size_t parameters = 0;  // fields of its query, counted before the library parses them
  std::string method, url, version;
  bool begun = false;       // the headers have been seen
  bool bodyDone = false;    // the body has been read (or there was none)
  bool dispatched = false;  // handed to a worker, or waiting for one of its script's
  bool busy = false;        // waited for its script's workers too long: answered 503
  bool closeAfter = false;  // the connection closes after this answer
  Target target;
  std::optional<std::string> authorization;  // the Authorization header, checked on the worker
  RunInputs inputs;
  MHD_PostProcessor* post = nullptr;
  bool badBody = false;
  size_t bodyBytes = 0;
  // Written under the server's runLock while a worker runs it.
  Clock::time_point runStarted;
  bool overdue = false;  // past its time limit inside a tag that does not return
  // Written by the worker before it resumes the connection.
  bool ran = false;
  PageAccess::Answer access = PageAccess::kAllowed;
  ScriptRun run;
  double runMs = 0;
  // The answer, for the access log.
  unsigned status = 0;
  size_t bytes = 0;
};

struct HttpServer::State {
  ServeOptions options;
  WorkerPool* pool = nullptr;
  std::string webFolder;  // real path, without a trailing '/'
  std::string address;
  MHD_Daemon* daemon = nullptr;
  ResolvedPaths paths;
  ScriptCache scripts;
  std::vector<std::string> trustedProxies;  // as CanonicalAddress writes them
  std::mutex stopLock;
  std::atomic<bool> listening{true};
  // The listening socket is this server's own: its thread accepts and hands each connection to
  // the library, which polls it on one of its threads from then on. Stopping to listen is that
  // thread's end, so nothing the library's threads do at that moment can race with it.
  int listenFd = -1;
  std::thread acceptor;
  std::atomic<bool> draining{false};  // answers close their connections; health says 503

  std::mutex idleLock;
  std::condition_variable idle;
  std::atomic<int> inFlight{0};

  // Open connections: whether their request has begun and not fully arrived, with the time it
  // must have, and their client address, whose connections are counted.
  struct Watched {
    int fd;
    bool timed = false;
    Clock::time_point deadline;
    std::string address;
    bool refused = false;  // over its address's limit: answered 503, closed soon in any case
  };
  std::mutex watchLock;
  std::condition_variable watchWake;
  bool stopWatching = false;
  std::unordered_map<MHD_Connection*, Watched> watched;
  std::unordered_map<std::string, unsigned> perAddress;
  std::thread watcher;

  // Script runs, by script: how many hold a worker and which requests wait for one.
  struct Parked {
    Exchange* ex;
    Clock::time_point until;
  };
  struct ScriptRuns {
    int admitted = 0;
    std::deque<Parked> waiting;
  };
  std::mutex runLock;
  // Kept while idle, so that a busy page's record is not made anew for every request, up to
  // kMaxIdleRuns records.
  std::unordered_map<std::string, ScriptRuns> runs;
  size_t waitingCount = 0;  // requests waiting in all of runs
  std::vector<Exchange*> active;  // running on a worker: at most one per worker
  int scriptWorkers = 1;
  int overdue = 0;
  std::atomic<bool> stalled{false};  // every worker is held by an overdue run
  // This server's jobs queued or running, and whether it is being destroyed: a job is counted
  // before closing is read, and the destructor sets closing before it reads the count, so that
  // either it sees the job and keeps the library and this state, or the job sees it closing.
  std::atomic<int> jobs{0};
  std::atomic<bool> closing{false};

  unsigned httpThreads = 1;

  void Watch() {
    std::unique_lock guard(watchLock);
    while (!watchWake.wait_for(guard, kWatchInterval, [this] { return stopWatching; })) {
      const auto now = Clock::now();
      for (auto& [connection, entry] : watched) {
        if (!entry.timed || entry.deadline > now) continue;
        entry.timed = false;
        // The library sees the connection end and closes it itself; it calls OnConnection
        // (which takes this lock) before it closes the descriptor, so the descriptor is still
        // this connection's here.
        shutdown(entry.fd, SHUT_RDWR);
        if (!entry.refused) {
          quill_log(2, "HTTP: closed a connection whose request did not arrive within %lld s",
                    static_cast<long long>(options.requestTimeout.count()));
        }
      }
      guard.unlock();
      WatchRuns(now);
      guard.lock();
    }
  }

  void Time(MHD_Connection* connection, bool on) {
    std::lock_guard guard(watchLock);
    auto found = watched.find(connection);
    if (found == watched.end() || found->second.refused) return;
    found->second.timed = on;
    found->second.deadline = Clock::now() + options.requestTimeout;
  }

  // Whether the connection is over its address's limit; address, unless null, gets the address as
  // PeerOf wrote it when the connection came.
  bool Refused(MHD_Connection* connection, std::string* address) {
    std::lock_guard guard(watchLock);
    auto found = watched.find(connection);
    if (found == watched.end()) return false;
    if (address != nullptr) *address = found->second.address;
    return found->second.refused;
  }

  // Whether ex may run now; otherwise it waits (its connection suspended) until a run of its
  // script ends or its wait is over.
  bool Admit(Exchange* ex) {
    std::lock_guard guard(runLock);
    ScriptRuns& script = runs[ex->target.path];
    if (script.admitted < scriptWorkers) {
      ++script.admitted;
      return true;
    }
    const auto wait = options.timeLimit.count() > 0 ? options.timeLimit : options.requestTimeout;
    script.waiting.push_back({ex, Clock::now() + wait});
    ++waitingCount;
    return false;
  }

  void Started(Exchange* ex) {
    std::lock_guard guard(runLock);
    ex->runStarted = Clock::now();
    active.push_back(ex);
  }

  // A run of ex's script has ended (or was dropped unrun): the first request waiting for one of
  // its workers takes its place. After a run, while the server listens, that request is returned
  // with the script's place kept for it, to be run by the job that ran ex (Job::RunFrom): it is
  // already suspended, and going back through the library would cost a wake-up of the HTTP
  // thread and one of a worker, and would let a request of the script that arrives meanwhile get
  // ahead of it. Otherwise it is handed back to the library, which dispatches it again.
  Exchange* Released(Exchange* ex) {
    Exchange* next = nullptr;
    {
      std::lock_guard guard(runLock);
      if (auto found = std::find(active.begin(), active.end(), ex); found != active.end()) {
        if (ex->overdue) {
          --overdue;
          if (stalled.exchange(false)) quill_log(1, "HTTP: a worker is free again: scripts are served again");
        }
        *found = active.back();
        active.pop_back();
      }
      auto script = runs.find(ex->target.path);
      if (script == runs.end()) return nullptr;
      if (!script->second.waiting.empty()) {
        next = script->second.waiting.front().ex;
        script->second.waiting.pop_front();
        --waitingCount;
        if (ex->ran && listening.load()) return next;  // admitted in ex's place
        next->dispatched = false;
      }
      --script->second.admitted;
      if (next == nullptr && script->second.admitted == 0 && runs.size() > kMaxIdleRuns) runs.erase(script);
    }
    if (next != nullptr) MHD_resume_connection(next->connection);
    return nullptr;
  }

  // Answers the requests that waited too long (or all, once the server stops) with 503, and
  // says when runs overstay their time limit inside a tag that does not return.
  void WatchRuns(Clock::time_point now) {
    std::vector<Exchange*> expired;
    {
      std::lock_guard guard(runLock);
      const bool stopping = !listening.load();
      for (auto run = runs.begin(); waitingCount != 0 && run != runs.end(); ++run) {
        auto& waiting = run->second.waiting;
        while (!waiting.empty() && (stopping || waiting.front().until <= now)) {
          expired.push_back(waiting.front().ex);
          waiting.pop_front();
          --waitingCount;
        }
      }
      if (options.timeLimit.count() > 0) {
        for (Exchange* ex : active) {
          if (ex->overdue || now - ex->runStarted < options.timeLimit + kOverdueGrace) continue;
          ex->overdue = true;
          ++overdue;
          quill_log(1, "HTTP: %s has run %.0f s, past its time limit of %.0f s, inside a tag that does not return; it "
                       "holds a worker until the tag returns (%d of %d workers held so)",
                    ex->url.c_str(), std::chrono::duration<double>(now - ex->runStarted).count(),
                    std::chrono::duration<double>(options.timeLimit).count(), overdue, pool->ThreadCount());
        }
        if (overdue >= pool->ThreadCount() && !stalled.exchange(true)) {
          quill_log(1, "HTTP: every worker is held by a script past its time limit: scripts are answered 503 until "
                       "one returns");
        }
      }
    }
    for (Exchange* ex : expired) {
      ex->busy = true;
      MHD_resume_connection(ex->connection);
    }
  }

  bool AtConnectionLimit() {
    std::lock_guard guard(watchLock);
    return watched.size() >= options.maxConnections;
  }

  void Accept() {
    bool told = false;
    while (listening.load()) {
      // At the connection limit new connections wait in the socket's backlog. (The library counts
      // a connection once one of its threads takes it up, so a burst may pass the limit by a few,
      // which the library then refuses itself.)
      if (AtConnectionLimit()) {
        std::this_thread::sleep_for(kAcceptPause);
        continue;
      }
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      const int client = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) {
        told = false;
        // Whatever the library refuses (its limits, its memory) it closes itself.
        MHD_add_connection(daemon, client, reinterpret_cast<sockaddr*>(&peer), length);
      } else if (listening.load() && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
        // The connection stays in the backlog until there is room. Other errors are the failed
        // connection's own, and the next one is taken at once.
        if (!told) quill_log(2, "HTTP: cannot accept a connection: %s", std::strerror(errno));
        told = true;
        std::this_thread::sleep_for(kAcceptPause);
      }
    }
  }

  // Ends the acceptor: on Linux a blocked accept returns (EINVAL) once its socket is shut down.
  void StopAccepting() {
    listening.store(false);
    if (listenFd < 0) return;
    shutdown(listenFd, SHUT_RDWR);
    if (acceptor.joinable()) acceptor.join();
    close(listenFd);
    listenFd = -1;
  }

  void Finished() {
    if (inFlight.fetch_sub(1) == 1) {
      std::lock_guard guard(idleLock);
      idle.notify_all();
    }
  }
};

namespace {

using State = HttpServer::State;

MHD_Result Queue(Exchange& ex, unsigned status, MHD_Response* response) {
  if (ex.server->draining.load() || ex.closeAfter) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  }
  const MHD_Result queued = MHD_queue_response(ex.connection, status, response);
  MHD_destroy_response(response);
  ex.status = status;
  return queued;
}

MHD_Response* TextResponse(const std::string& body, const char* type) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response != nullptr && type != nullptr) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  return response;
}

MHD_Result Answer(Exchange& ex, unsigned status, const char* title, const char* sentence,
                  const char* header = nullptr, const std::string& value = "") {
  const std::string page = Page(status, title, sentence);
  MHD_Response* response = TextResponse(page, kHtml);
  if (response == nullptr) return MHD_NO;
  if (header != nullptr) MHD_add_response_header(response, header, value.c_str());
  ex.bytes = page.size();
  return Queue(ex, status, response);
}

MHD_Result ServerError(Exchange& ex) {
  return Answer(ex, MHD_HTTP_INTERNAL_SERVER_ERROR, "Internal Server Error",
                "The page could not be produced. The server's log tells why.");
}

MHD_Result AnswerFile(Exchange& ex) {
  const int fd = open(ex.target.path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) close(fd);
    return Answer(ex, MHD_HTTP_NOT_FOUND, "Not Found", "There is no page at this address.");
  }
  MHD_Response* response = MHD_create_response_from_fd(static_cast<uint64_t>(info.st_size), fd);  // owns fd
  if (response == nullptr) {
    close(fd);
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, MediaType(ex.target.path));
  ex.bytes = static_cast<size_t>(info.st_size);
  return Queue(ex, MHD_HTTP_OK, response);
}

// Headers that frame the message belong to the library; a script cannot set them.
bool FramingHeader(std::string_view name) {
  return EqualsNoCase(name, "Content-Length") || EqualsNoCase(name, "Transfer-Encoding") ||
         EqualsNoCase(name, "Connection");
}

// The script's output with its result headers; a "Status: NNN" header gives the status code.
MHD_Result AnswerScript(Exchange& ex) {
  if (ex.busy) {
    return Answer(ex, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable",
                  ex.server->listening.load() ? "The server is busy with this page. Please try again later."
                                              : "The server is stopping.",
                  MHD_HTTP_HEADER_RETRY_AFTER, "10");
  }
  if (!ex.ran) {
    return Answer(ex, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable", "The server is stopping.");
  }
  if (ex.access == PageAccess::kNeedsUser) {
    return Answer(ex, MHD_HTTP_UNAUTHORIZED, "Unauthorized", "This page needs a user name and password.",
                  MHD_HTTP_HEADER_WWW_AUTHENTICATE, kBasicChallenge);
  }
  if (ex.access == PageAccess::kForbidden) {
    return Answer(ex, MHD_HTTP_FORBIDDEN, "Forbidden", "This user may not have this page.");
  }
  if (ex.target.kind == Target::kFile) return AnswerFile(ex);
  if (ex.run.timedOut) {
    quill_log(2, "HTTP: %s %s stopped by its time limit after %.1f s: %s", ex.method.c_str(), ex.url.c_str(),
              ex.runMs / 1000, ex.run.error.c_str());
    return Answer(ex, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable",
                  "The page took longer than the server allows.");
  }
  if (!ex.run.ok) {
    quill_log(2, "HTTP: %s %s failed: %s", ex.method.c_str(), ex.url.c_str(), ex.run.error.c_str());
    return ServerError(ex);
  }
  MHD_Response* response = TextResponse(ex.run.output, nullptr);
  if (response == nullptr) return MHD_NO;
  unsigned status = MHD_HTTP_OK;
  bool typed = false;
  for (const std::string& line : ex.run.resultHeaders) {
    const size_t colon = line.find(':');
    std::string_view name(line.data(), colon == std::string::npos ? 0 : colon);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    std::string_view value = colon == std::string::npos ? std::string_view() : std::string_view(line).substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    // A header cannot carry character zero: cutting it there would send another value.
    bool good = !name.empty() && line.find('\0') == std::string::npos;
    if (good && EqualsNoCase(name, "Status")) {
      const long code = std::strtol(std::string(value).c_str(), nullptr, 10);
      good = code >= 200 && code <= 599;
      if (good) status = static_cast<unsigned>(code);
    } else if (good && !FramingHeader(name)) {
      typed = typed || EqualsNoCase(name, MHD_HTTP_HEADER_CONTENT_TYPE);
      // The library refuses line breaks and other characters a header cannot carry.
      good = MHD_add_response_header(response, std::string(name).c_str(), std::string(value).c_str()) == MHD_YES;
    }
    if (!good) {
      MHD_destroy_response(response);
      quill_log(2, "HTTP: %s %s failed: the result header \"%s\" cannot be sent", ex.method.c_str(), ex.url.c_str(),
                line.c_str());
      return ServerError(ex);
    }
  }
  if (!typed) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kHtml);
  ex.bytes = ex.run.output.size();
  return Queue(ex, status, response);
}

// Runs the request's script on a worker; whether it ran or was dropped unrun (the server is
// stopping), the connection is resumed when this goes, and the library calls OnRequest again.
// Run returns the request of the same script admitted in its place, if any (State::Released).
class Job {
 public:
  explicit Job(Exchange* ex) : ex_(ex) {}
  ~Job() {
    if (!ex_->ran) ex_->server->Released(ex_);
    MHD_resume_connection(ex_->connection);
  }
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  Exchange* Run() {
    State& server = *ex_->server;
    server.Started(ex_);
    const auto start = Clock::now();
    const PageAccess access =
        CheckPageAccess(ex_->authorization ? ex_->authorization->c_str() : nullptr, ex_->target.kind == Target::kScript,
                        std::string_view(ex_->target.path).substr(server.webFolder.size()));
    ex_->access = access.answer;
    ex_->inputs.user = access.user;
    // A refused page, or a file, is answered from the access alone.
    if (access.answer == PageAccess::kAllowed && ex_->target.kind == Target::kScript) {
      std::string error;
      ProgramPtr program = server.scripts.Get(ex_->target.path, ex_->url, &error);
      if (program) {
        RunLimits limits;
        limits.time = server.options.timeLimit;
        ex_->run = RunProgram(program, std::move(ex_->inputs), limits);  // not read after the run
      } else {
        ex_->run.error = error;
      }
    }
    ex_->runMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ex_->ran = true;
    return server.Released(ex_);
  }

  // Queues ex's job on the pool. Dropped unrun (the pool closed, no memory for the job, or the
  // server being destroyed, which the job would outlive), it answers 503 and hands its script's
  // place on.
  static void Queue(WorkerPool& pool, Exchange* ex, WorkerPool::Room room) {
    State& server = *ex->server;
    server.jobs.fetch_add(1);
    std::shared_ptr<Job> job;
    try {
      if (!server.closing.load()) job = std::make_shared<Job>(ex);
    } catch (const std::bad_alloc&) {
    }
    if (job == nullptr) {
      { Job unrun(ex); }
      server.jobs.fetch_sub(1);
      return;
    }
    // Refused by a closed pool, the job is gone when Submit returns; one that Close drops from the
    // queue later stays counted, and the server then leaves its state to the process's exit.
    if (!pool.Submit([job = std::move(job)]() mutable { RunFrom(std::move(job)); }, room)) server.jobs.fetch_sub(1);
  }

  // The pool's job: job's request, then those of its script admitted in its place, on the same
  // worker while no other job waits for one; otherwise the next goes to the back of the queue.
  static void RunFrom(std::shared_ptr<Job> job) {
    struct Uncount {  // the chain's last touch of the server's state
      State& server;
      ~Uncount() { server.jobs.fetch_sub(1); }
    } uncount{*job->ex_->server};
    WorkerPool& pool = *job->ex_->server->pool;
    Exchange* next = job->Run();
    job.reset();  // its answer goes out before the next run
    while (next != nullptr) {
      if (pool.Queued() != 0) {
        Queue(pool, next, WorkerPool::Room::kOverfill);
        return;
      }
      Job following(next);
      next = following.Run();
    }
  }

 private:
  Exchange* ex_;
};

// Keys and values with their sizes: a %00 in a query keeps its byte.
MHD_Result AddPair(void* target, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                   size_t valueSize) {
  if (key == nullptr) return MHD_YES;
  static_cast<std::vector<std::pair<std::string, std::string>>*>(target)->emplace_back(
      std::string(key, keySize), value != nullptr ? std::string(value, valueSize) : std::string());
  return MHD_YES;
}

// What the request's headers say of its body's length.
struct Framing {
  int lengths = 0;
  std::string length;     // the first Content-Length
  bool conflicting = false;
  bool transferEncoding = false;
};

MHD_Result NoteFraming(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* framing = static_cast<Framing*>(cls);
  const std::string_view text = value != nullptr ? value : "";
  if (EqualsNoCase(key, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
    if (framing->lengths++ == 0) framing->length = text;
    else if (text != framing->length) framing->conflicting = true;
  } else if (EqualsNoCase(key, MHD_HTTP_HEADER_TRANSFER_ENCODING)) {
    framing->transferEncoding = true;
  }
  return MHD_YES;
}

MHD_Result OnField(void* cls, MHD_ValueKind, const char* key, const char* /*filename*/, const char* /*type*/,
                   const char* /*encoding*/, const char* data, uint64_t offset, size_t size) {
  auto* ex = static_cast<Exchange*>(cls);
  if (key == nullptr) return MHD_YES;
  auto& params = ex->inputs.params;
  // A field longer than the processor's buffer arrives in pieces, each at its offset.
  if (offset == 0 || params.empty() || params.back().first != key) params.emplace_back(key, "");
  if (size > 0) params.back().second.append(data, size);
  return MHD_YES;
}

MHD_Result CountHeaderBytes(void* total, MHD_ValueKind, const char* key, const char* value) {
  // "Name: value\r\n"
  *static_cast<size_t*>(total) += std::strlen(key) + (value != nullptr ? std::strlen(value) : 0) + 4;
  return MHD_YES;
}

// Answered on an HTTP thread without a worker or a file: cheap enough to poll often.
MHD_Result AnswerHealth(Exchange& ex) {
  const State& server = *ex.server;
  if (ex.method == MHD_HTTP_METHOD_POST) {
    return Answer(ex, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed", "The health check is only read.",
                  MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const char* state = server.draining.load() ? "draining\n" : server.stalled.load() ? "busy\n" : "serving\n";
  MHD_Response* response = TextResponse(state, "text/plain; charset=utf-8");
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  ex.bytes = std::strlen(state);
  return Queue(ex, std::strcmp(state, "serving\n") == 0 ? MHD_HTTP_OK : MHD_HTTP_SERVICE_UNAVAILABLE, response);
}

MHD_Result Begin(Exchange& ex) {
  State& server = *ex.server;
  std::string peer;
  const bool refused = server.Refused(ex.connection, server.options.accessLog ? &peer : nullptr);
  if (server.options.accessLog) {
    ex.client = ClientOf(ex.connection, peer.empty() ? PeerOf(ex.connection) : std::move(peer), server.trustedProxies);
  }
  if (refused) {
    ex.closeAfter = true;
    return Answer(ex, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable",
                  "Too many connections from your address. Please try again later.", MHD_HTTP_HEADER_RETRY_AFTER,
                  "10");
  }
  // The library's own bound is the connection's memory, which holds more than the headers: the
  // limit on the request line and headers themselves is kept here.
  const size_t limit = server.options.maxHeaderBytes;
  if (ex.uriBytes > limit) {
    return Answer(ex, MHD_HTTP_URI_TOO_LONG, "URI Too Long", "The request's address is longer than allowed.");
  }
  if (ex.parameters > server.options.maxFields) {
    return Answer(ex, MHD_HTTP_URI_TOO_LONG, "URI Too Long", "The request's address has more parameters than allowed.");
  }
  size_t headerBytes = ex.method.size() + ex.uriBytes + ex.version.size() + 4;
  const int fields = MHD_get_connection_values(ex.connection, MHD_HEADER_KIND, CountHeaderBytes, &headerBytes);
  // As received, the head also holds the blank line that ends it, and whatever blanks pad its
  // values (which the count above leaves out).
  const MHD_ConnectionInfo* received = MHD_get_connection_info(ex.connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  if (headerBytes > limit || (received != nullptr && received->header_size > limit + 2)) {
    return Answer(ex, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "Request Header Fields Too Large",
                  "The request's headers are larger than allowed.");
  }
  const int cookies = MHD_get_connection_values(ex.connection, MHD_COOKIE_KIND, nullptr, nullptr);
  if (ex.parameters + static_cast<size_t>(std::max(fields, 0) + std::max(cookies, 0)) > server.options.maxFields) {
    return Answer(ex, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "Request Header Fields Too Large",
                  "The request has more fields and cookies than allowed.");
  }
  const bool head = ex.method == MHD_HTTP_METHOD_HEAD;
  const bool post = ex.method == MHD_HTTP_METHOD_POST;
  if (ex.method != MHD_HTTP_METHOD_GET && !head && !post) {
    return Answer(ex, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed", "This server answers GET, HEAD and POST.",
                  MHD_HTTP_HEADER_ALLOW, "GET, HEAD, POST");
  }
  // HTTP/1.1 makes Host mandatory; the library lets a request without it through.
  if (ex.version == MHD_HTTP_VERSION_1_1 &&
      MHD_lookup_connection_value(ex.connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST) == nullptr) {
    return Answer(ex, MHD_HTTP_BAD_REQUEST, "Bad Request", "An HTTP/1.1 request names its host.");
  }
  // Before the web folder is looked at, so that no file can stand in for it.
  if (ex.url == kHealthPath) return AnswerHealth(ex);
  // A body whose length is told two ways may be read one way here and another by a proxy in
  // front: what follows it could pass as a request of its own. Refused, and the connection closed.
  Framing framing;
  MHD_get_connection_values(ex.connection, MHD_HEADER_KIND, NoteFraming, &framing);
  if ((framing.lengths > 0 && framing.transferEncoding) || framing.conflicting) {
    ex.closeAfter = true;
    return Answer(ex, MHD_HTTP_BAD_REQUEST, "Bad Request", "The request's length is given in two ways.");
  }
  const char* length = framing.lengths > 0 ? framing.length.c_str() : nullptr;
  if (length != nullptr && std::strtoull(length, nullptr, 10) > server.options.maxBodyBytes) {
    return Answer(ex, MHD_HTTP_CONTENT_TOO_LARGE, "Content Too Large", "The request's body is larger than allowed.");
  }
  ex.target = server.paths.Get(server.webFolder, ex.url);
  if (const char* authorization =
          MHD_lookup_connection_value(ex.connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION)) {
    ex.authorization = authorization;
  }
  switch (ex.target.kind) {
    case Target::kMissing:
      return Answer(ex, MHD_HTTP_NOT_FOUND, "Not Found", "There is no page at this address.");
    case Target::kFolder:
      return Answer(ex, MHD_HTTP_MOVED_PERMANENTLY, "Moved Permanently", "The page is a folder.",
                    MHD_HTTP_HEADER_LOCATION, ex.url + "/");
    case Target::kFile:
      if (post) {
        return Answer(ex, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed", "A file is only read.",
                      MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
      }
      // Credentials, or rights in force, are checked on a worker (a password costs a hash) before
      // the file is answered. Whether rights are in force is asked of the internal database at
      // most once a second.
      if (!ex.authorization && !RightsEnforced()) return AnswerFile(ex);
      return MHD_YES;
    case Target::kScript:
      break;
  }
  RunInputs& inputs = ex.inputs;
  inputs.method = ex.method;
  inputs.scriptPath = ex.url;
  MHD_get_connection_values_n(ex.connection, MHD_GET_ARGUMENT_KIND, AddPair, &inputs.params);
  MHD_get_connection_values_n(ex.connection, MHD_HEADER_KIND, AddPair, &inputs.headers);
  // The server takes the credentials; the script gets the user, never the password.
  std::erase_if(inputs.headers, [](const auto& header) {
    return EqualsNoCase(header.first, MHD_HTTP_HEADER_AUTHORIZATION);
  });
  MHD_get_connection_values_n(ex.connection, MHD_COOKIE_KIND, AddPair, &inputs.cookies);
  // URL-encoded and multipart bodies become parameters after the query's; the library gives no
  // processor for other bodies, which are read and left aside.
  if (post) {
    ex.post = MHD_create_post_processor(ex.connection, kPostBufferBytes, OnField, &ex);
    const char* type = MHD_lookup_connection_value(ex.connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    const std::string_view form = type != nullptr ? type : "";
    // A form the processor cannot take (a multipart body without its boundary) is no form.
    if (ex.post == nullptr && (form.starts_with(MHD_HTTP_POST_ENCODING_FORM_URLENCODED) ||
                               form.starts_with(MHD_HTTP_POST_ENCODING_MULTIPART_FORMDATA))) {
      return Answer(ex, MHD_HTTP_BAD_REQUEST, "Bad Request", "The form data could not be read.");
    }
  }
  return MHD_YES;
}

MHD_Result Receive(Exchange& ex, const char* data, size_t* size) {
  ex.bodyBytes += *size;
  if (ex.bodyBytes > ex.server->options.maxBodyBytes) {
    // A body of unannounced length grew beyond the limit: no answer can be queued halfway
    // through it, so the connection is closed.
    quill_log(2, "HTTP: %s %s: the body passed %zu bytes; connection closed", ex.method.c_str(), ex.url.c_str(),
              ex.server->options.maxBodyBytes);
    return MHD_NO;
  }
  if (ex.post != nullptr && !ex.badBody && MHD_post_process(ex.post, data, *size) != MHD_YES) ex.badBody = true;
  *size = 0;
  return MHD_YES;
}

// Called once the request has fully arrived, and again for a request that waited for one of its
// script's workers.
MHD_Result Dispatch(Exchange& ex) {
  State& server = *ex.server;
  if (!ex.bodyDone) {
    ex.bodyDone = true;
    server.Time(ex.connection, false);
    if (ex.post != nullptr) {
      if (MHD_destroy_post_processor(ex.post) != MHD_YES) ex.badBody = true;
      ex.post = nullptr;
    }
    if (ex.badBody) return Answer(ex, MHD_HTTP_BAD_REQUEST, "Bad Request", "The form data could not be read.");
  }
  if (server.stalled.load()) {
    return Answer(ex, MHD_HTTP_SERVICE_UNAVAILABLE, "Service Unavailable",
                  "The server is busy. Please try again later.", MHD_HTTP_HEADER_RETRY_AFTER, "10");
  }
  ex.dispatched = true;
  MHD_suspend_connection(ex.connection);
  // A file's check takes a worker for a moment: it never waits for a script's share of them.
  if (ex.target.kind == Target::kScript && !server.Admit(&ex)) {
    return MHD_YES;  // resumed when a run of its script ends, or its wait does
  }
  Job::Queue(*server.pool, &ex, WorkerPool::Room::kWait);
  return MHD_YES;
}

MHD_Result OnRequest(void* /*cls*/, MHD_Connection* /*connection*/, const char* url, const char* method,
                     const char* version, const char* upload, size_t* uploadSize, void** context) {
  auto* ex = static_cast<Exchange*>(*context);
  if (ex == nullptr) return MHD_NO;  // every request begins with OnRequestLine
  if (!ex->begun) {
    ex->begun = true;
    ex->method = method;
    ex->url = url;
    ex->version = version;
    return Begin(*ex);
  }
  if (*uploadSize > 0) return Receive(*ex, upload, uploadSize);
  if (!ex->dispatched) return Dispatch(*ex);
  return AnswerScript(*ex);
}

void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection) {
  auto* server = static_cast<State*>(cls);
  server->inFlight.fetch_add(1);
  server->Time(connection, true);
  auto* ex = new Exchange(server, connection);
  ex->uriBytes = uri != nullptr ? std::strlen(uri) : 0;
  // A target longer than allowed, or with more parameters, is answered 414 once the headers are
  // in. The library parses
  // the query right after this call, into records in the connection's memory, and thousands of
  // them could exhaust it before that answer: the query is cut here, in the library's own
  // writable copy of the request line, so that it parses none.
  char* query = uri != nullptr ? const_cast<char*>(std::strchr(uri, '?')) : nullptr;
  if (query == nullptr) return ex;
  if (ex->uriBytes <= server->options.maxHeaderBytes) {
    // Fields between '&', empty ones too: the library keeps a record even of those.
    ex->parameters = 1 + static_cast<size_t>(std::count(query + 1, query + std::strlen(query), '&'));
    if (ex->parameters <= server->options.maxFields) return ex;
  }
  query[1] = '\0';
  return ex;
}

// 'HTTP client "METHOD path VERSION" status bytes 1.2 ms', written without printf: it is made for
// every request.
void LogAccess(const Exchange& ex, MHD_Connection* connection, MHD_RequestTerminationCode how) {
  static constexpr std::string_view kEnds[] = {"", " (error)", " (timed out)", " (server stopped)", " (read error)",
                                               " (client aborted)"};
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - ex.started).count();
  std::string line;
  line.reserve(64 + ex.url.size());
  line += "HTTP ";
  if (ex.client.empty()) {
    line += PeerOf(connection);
  } else {
    line += ex.client;
  }
  line += " \"";
  if (ex.begun) {
    line.append(ex.method).append(" ").append(ex.url).append(" ").append(ex.version);
  } else {
    line += "- - -";
  }
  line += "\" ";
  char number[64];
  const auto put = [&](auto value, auto... format) {
    line.append(number, std::to_chars(number, number + sizeof number, value, format...).ptr);
  };
  if (ex.status != 0) put(ex.status);
  else line += '-';
  line += ' ';
  put(ex.bytes);
  line += ' ';
  put(ms, std::chars_format::fixed, 1);
  line += " ms";
  if (static_cast<unsigned>(how) < std::size(kEnds)) line += kEnds[how];
  LogText(2, std::move(line));
}

void OnCompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode how) {
  auto* server = static_cast<State*>(cls);
  auto* ex = static_cast<Exchange*>(*context);
  if (ex == nullptr) return;
  *context = nullptr;
  server->Time(connection, false);
  if (ex->post != nullptr) MHD_destroy_post_processor(ex->post);
  if (server->options.accessLog) LogAccess(*ex, connection, how);
  delete ex;
  server->Finished();
}

void OnConnection(void* cls, MHD_Connection* connection, void** /*context*/, MHD_ConnectionNotificationCode code) {
  auto* server = static_cast<State*>(cls);
  std::lock_guard guard(server->watchLock);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) return;
    std::string address = PeerOf(connection);
    const unsigned count = ++server->perAddress[address];
    const bool refused = count > server->options.maxPerAddress;
    if (refused && count == server->options.maxPerAddress + 1) {
      quill_log(2, "HTTP: %s holds %u connections, its limit: further ones are answered 503", address.c_str(),
                server->options.maxPerAddress);
    }
    // A refused connection gets a moment for its request and answer, and no more.
    server->watched[connection] = {info->connect_fd, refused, Clock::now() + kRefusedLinger, std::move(address),
                                   refused};
  } else if (auto found = server->watched.find(connection); found != server->watched.end()) {
    if (auto count = server->perAddress.find(found->second.address);
        count != server->perAddress.end() && --count->second == 0) {
      server->perAddress.erase(count);
    }
    server->watched.erase(found);
  }
}

void OnLibraryMessage(void*, const char* format, va_list arguments) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
  quill_log(2, "HTTP library: %s", text);
}

}  // namespace

HttpServer::HttpServer(const ServeOptions& options, WorkerPool& pool) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.options = options;
  s.pool = &pool;
  for (const std::string& proxy : options.trustedProxies) {
    std::optional<std::string> address = CanonicalAddress(proxy);
    if (!address) throw osException(("not a numeric IP address: " + proxy).c_str(), QUILL_ERR_INVALID);
    s.trustedProxies.push_back(std::move(*address));
  }
  char* real = realpath(options.webFolder.c_str(), nullptr);
  struct stat info {};
  if (real == nullptr || stat(real, &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::free(real);
    throw osException(("the web folder is missing: " + options.webFolder).c_str(), QUILL_ERR_NOT_FOUND);
  }
  s.webFolder = real;
  std::free(real);
  if (s.webFolder.size() > 1 && s.webFolder.back() == '/') s.webFolder.pop_back();
  if (const std::string problem = OwnFilesProblem(s.webFolder, options.serverRoot); !problem.empty()) {
    throw osException(("the web folder " + options.webFolder + " " + problem).c_str(), QUILL_ERR_NOT_ALLOWED);
  }
  const int threads = pool.ThreadCount();
  s.scriptWorkers = options.scriptWorkers > 0 ? std::min(options.scriptWorkers, threads) : std::max(1, threads - 1);

  std::string host;
  int port = 0;
  const int fd = Listen(options.bind, options.port, &host, &port);
  s.address = "http://" + host + ":" + std::to_string(port) + "/";
  s.watcher = std::thread([&s] { s.Watch(); });
  const auto seconds = [](std::chrono::seconds value) { return static_cast<unsigned>(value.count()); };
  s.httpThreads = options.httpThreads > 0
                      ? options.httpThreads
                      : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxDefaultHttpThreads);
  // One loop polls every connection, or each thread of the library's pool polls its share of
  // them. The library warns of a pool of one or none: the single loop gets no pool option.
  // poll(), not the library's epoll loop: under a burst of requests waiting for one script's
  // workers, that loop (libmicrohttpd 0.9.75) stopped reading connections whose answer it had
  // just sent after a resume, and each such connection hung until its idle timeout. A poll loop
  // keeps no kernel set or readiness state of its own to lose; it also spares the two epoll_ctl
  // calls a suspension costs, and pays instead a walk of its idle connections on every turn.
  MHD_OptionItem threadPool[] = {{MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(s.httpThreads), nullptr},
                                 {MHD_OPTION_END, 0, nullptr}};
  s.daemon = MHD_start_daemon(
      MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG | MHD_USE_TURBO |
          MHD_USE_NO_LISTEN_SOCKET,
      0, nullptr, nullptr, &OnRequest, &s, MHD_OPTION_EXTERNAL_LOGGER, &OnLibraryMessage, &s, MHD_OPTION_CONNECTION_TIMEOUT,
      seconds(options.idleTimeout), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      2 * options.maxHeaderBytes + kConnectionOverheadBytes + options.maxFields * kFieldRecordBytes,
      MHD_OPTION_CONNECTION_LIMIT, options.maxConnections,
      MHD_OPTION_ARRAY, s.httpThreads > 1 ? threadPool : threadPool + 1,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, 2 * options.maxPerAddress,
      MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, &s, MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, &s,
      MHD_OPTION_URI_LOG_CALLBACK, &OnRequestLine, &s, MHD_OPTION_END);
  if (s.daemon == nullptr) {
    close(fd);
    {
      std::lock_guard guard(s.watchLock);
      s.stopWatching = true;
    }
    s.watchWake.notify_all();
    s.watcher.join();
    throw osException("the HTTP server could not start", QUILL_ERR_GENERIC);
  }
  s.listenFd = fd;
  s.acceptor = std::thread([&s] { s.Accept(); });
}

HttpServer::~HttpServer() {
  State& s = *state_;
  {
    std::lock_guard guard(s.stopLock);
    s.StopAccepting();
  }
  // The watcher shuts connections down and resumes requests through the library, so it ends
  // before the library does. It makes no last pass: requests still waiting now are the ones a
  // caller that does not wait for the server to go idle gives up.
  {
    std::lock_guard guard(s.watchLock);
    s.stopWatching = true;
  }
  s.watchWake.notify_all();
  s.watcher.join();
  // The library must not be stopped while a worker may still resume one of its connections, and
  // such a worker still reads this state: then both are left to the process's exit.
  s.closing.store(true);
  if (s.jobs.load() == 0) {
    MHD_stop_daemon(s.daemon);
  } else {
    static_cast<void>(state_.release());
  }
}

const std::string& HttpServer::Address() const { return state_->address; }

void HttpServer::Drain() { state_->draining.store(true); }

bool HttpServer::Listening() const { return state_->listening.load(); }

void HttpServer::StopListening() {
  // Called from the signal watcher and the main thread: the second returns once it is done.
  std::lock_guard guard(state_->stopLock);
  state_->draining.store(true);
  state_->StopAccepting();
}

bool HttpServer::WaitIdleUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock guard(state_->idleLock);
  return state_->idle.wait_until(guard, deadline, [this] { return state_->inFlight.load() == 0; });
}

int HttpServer::InFlight() const { return state_->inFlight.load(); }

unsigned HttpServer::HttpThreads() const { return state_->httpThreads; }

int HttpServer::ScriptWorkers() const { return state_->scriptWorkers; }

}  // namespace quill_service
