// The host's web side: scripts of a web folder served over HTTP, each request a host request run
// on the host's worker threads. HTTP itself (parsing, keep-alive, form bodies) is the HTTP
// library's; this file maps it onto host requests and back.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "service/core/worker_pool.h"

namespace quill_service {

struct ServeOptions {
  std::string bind = "127.0.0.1";  // a numeric IPv4 or IPv6 address
  int port = 8180;                 // 0: any free port (the one taken is in Server::Address)
  std::string webFolder;           // the folder whose scripts and files are served
  std::string serverRoot;          // the server's own files there are never served (empty: none)
  size_t maxBodyBytes = size_t{1} << 20;    // a larger request body is refused with 413
  size_t maxHeaderBytes = size_t{8} << 10;   // larger request headers are refused with 431
  // Query fields, header fields and cookies one request may carry in all (414 or 431 beyond).
  // The connection's memory is sized for them, and cleared for every request.
  size_t maxFields = 100;
  std::chrono::seconds idleTimeout{30};      // a connection silent this long is closed
  std::chrono::seconds requestTimeout{30};   // a request not fully received by then is dropped
  unsigned maxConnections = 1024;
  // Threads that read requests and send answers, each with its own event loop over a share of
  // the connections (0: one per core, at most kMaxDefaultHttpThreads).
  unsigned httpThreads = 0;
  // Connections one client address may hold; the ones beyond are answered 503 and closed (and
  // beyond twice as many, closed unanswered by the HTTP library).
  unsigned maxPerAddress = 64;
  // A script running longer is stopped at its next statement, loop turn or tag call (0: never).
  std::chrono::milliseconds timeLimit{30000};
  // Workers one script may hold at once (0: one less than the pool's threads, at least one: what
  // --threads asked for, as `serve` starts one more), so that a script stuck in a tag that never
  // returns cannot take every worker. Requests beyond it wait for one of that script's runs to
  // end, at most the time limit (else the request timeout), and are then answered 503.
  int scriptWorkers = 0;
  bool accessLog = true;  // one log line per request
  // Numeric addresses of reverse proxies whose X-Forwarded-For is believed: for their requests the
  // client is the rightmost address in it that is not one of these.
  std::vector<std::string> trustedProxies;
};

// The path the server answers itself, for proxies and load balancers: 200 while serving, 503 while
// draining or while every worker is held. No web file or folder of that name is ever served.
inline constexpr const char* kHealthPath = "/_health";

inline constexpr unsigned kMaxDefaultHttpThreads = 4;

class HttpServer {
 public:
  // Starts listening and serving on its own threads; scripts run on pool. Throws osException
  // (with the reason) when the address cannot be listened on, the web folder is missing, or it
  // is the server root, contains it or lies in one of the server's own folders.
  HttpServer(const ServeOptions& options, WorkerPool& pool);
  // Stops at once: what has not been answered yet is dropped.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // "http://127.0.0.1:8180/"
  const std::string& Address() const;
  // From now on the health path answers 503 and every answer closes its connection, so that a
  // proxy sends what follows elsewhere; requests are still served.
  void Drain();
  // Drains (as Drain) and takes no new connection from now on; connections already open are
  // served on.
  void StopListening();
  bool Listening() const;
  // Waits until no request is being received, run or answered, or until deadline; true when
  // none is left.
  bool WaitIdleUntil(std::chrono::steady_clock::time_point deadline);
  // Requests begun and not yet answered.
  int InFlight() const;
  // The threads that read requests and send answers.
  unsigned HttpThreads() const;
  int ScriptWorkers() const;  // workers one script may hold at once

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace quill_service
