// `quill serve` as a child process on a free loopback port, driven by a real HTTP client
// (libcurl) and by raw sockets where a client must misbehave.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <filesystem>
#include <memory>
#include <fstream>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../jdbc/pg_cluster.h"
#include "../process/quill_child.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace quill_child;

namespace {

// The pages the cases request. echo.qs shows what reached the request and sends headers back.
const std::pair<const char*, const char*> kPages[] = {
    {"echo.qs",
     "header_set('Content-Type: text/plain')\n"
     "header_add('Set-Cookie: s=1; Path=/')\n"
     "header_add('X-Out: ' + request_param('p'))\n"
     "'p=' request_param('p') ';f=' request_param('f') ';upload=' request_param('upload') ';c=' cookie('c')"
     " ';h=' request_header('x-test')\n"},
    {"java.qs", "'param=' web_param('p') ';header=' web_header('X-Test') ';visits=' web_visits()\n"},
    {"fail.qs", "'half a page' fail(-5, 'the secret detail')\n"},
    {"status.qs", "header_set('Status: 201 Created') 'made'\n"},
    {"badheader.qs", "header_add('X-Split: a\\r\\nX-Injected: b') 'never sent'\n"},
    {"loop.qs", "while (true) { }\n"},
    {"caught.qs", "try => { while (true) { } } catch => { 'caught' }\n"},
    {"hang.qs", "hx_mark(request_param('mark')) hx_sleep(request_param('ms')) 'woke'\n"},
    {"hang2.qs", "hx_sleep(request_param('ms')) 'woke'\n"},
    {"bytes.qs", "hx_bytes()\n"},
    {"show.qs", "'p=' request_param('p') ';f=' request_param('f')\n"},
    {"index.qs", "'the index'\n"},
    {"folder/index.qs", "'the folder index'\n"},
    {"folder/whoami.qs", "current_user() ';' request_header('Authorization')\n"},
    {"plain.txt", "static text\n"},
    {"_health", "a web file of that name\n"},
};

// A server root with the bridge and the example and fixture tag modules, a web folder with the
// pages above, and `quill serve` running in it.
class ServerProcess : public Root {
 public:
  // options: serve's; global: the quill command's, before "serve"; prepare: `quill` commands
  // (users and rights) run in the root before it serves; files: more files for the root, each
  // with the root's folder it goes into.
  explicit ServerProcess(const std::string& name, std::vector<std::string> options = {},
                         const std::vector<std::string>& global = {},
                         const std::vector<std::vector<std::string>>& prepare = {},
                         const std::vector<std::pair<const char*, const char*>>& files = {})
      : Root("qjapi-http", name, {QJAPI_MODULE, QJAPI_JAR, HELLO_JAR, WEB_JAR, HOSTILE_JAR}) {
    fs::create_directories(Path("web/folder"));
    for (const auto& [folder, file] : files) {
      fs::create_directories(root() / folder);
      fs::copy_file(file, root() / folder / fs::path(file).filename());
    }
    for (const auto& [file, text] : kPages) std::ofstream(Path("web") / file) << text;
    std::ofstream(Path("secret.txt")) << "outside the web folder\n";
    for (std::vector<std::string> command : prepare) {
      command.insert(command.begin(), "--quiet");
      const Outcome step = Run(command, 60s);
      EXPECT_EQ(step.status, 0) << step.err;
    }
    std::vector<std::string> args = {"--stop-timeout", "10", "--threads", "2"};  // global may set its own
    args.insert(args.end(), global.begin(), global.end());
    args.insert(args.end(), {"serve", "--port", "0", "--web", Path("web").string()});
    args.insert(args.end(), options.begin(), options.end());
    // The address is printed once the module has started and the port is open.
    if (!Start(args)) return;
    WaitFor(90s, [&] {
      const std::string out = ReadFile(Path("out"));
      if (std::smatch found; std::regex_search(out, found, std::regex(R"(Serving http://127\.0\.0\.1:(\d+)/)")))
        port_ = std::stoi(found[1]);
      return port_ > 0 || Ended();
    });
  }

  int Port() const { return port_; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::string Log() const { return ReadFile(Path("err")); }

 private:
  int port_ = 0;
};

struct Reply {
  long status = 0;
  std::string body;
  std::string headers;  // every response header line, as received
};

size_t Collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// One curl handle: requests made through the same client reuse its connection.
class Client {
 public:
  // from: the local address to connect from (any unless given).
  explicit Client(const char* from = nullptr) : curl_(curl_easy_init()), from_(from) {}
  ~Client() { curl_easy_cleanup(curl_); }

  // form: the body of a POST ("k=v&..." unless a Content-Type header says otherwise).
  Reply Request(const std::string& url, const std::vector<std::string>& headers = {}, const std::string* form = nullptr,
                const char* method = nullptr) {
    Reply reply;
    curl_easy_reset(curl_);  // the last request's options go, its open connection stays
    if (from_ != nullptr) curl_easy_setopt(curl_, CURLOPT_INTERFACE, from_);
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply.headers);
    curl_slist* list = nullptr;
    for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
    if (form != nullptr) curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, form->c_str());
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method);
    if (method != nullptr && std::strcmp(method, "HEAD") == 0) curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
    const CURLcode code = curl_easy_perform(curl_);
    EXPECT_EQ(code, CURLE_OK) << url << ": " << curl_easy_strerror(code);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(list);
    return reply;
  }

 private:
  CURL* curl_;
  const char* from_;
};

// A request on a thread of its own, through a client of its own: get() waits for the reply.
std::future<Reply> Later(const std::string& url) {
  return std::async(std::launch::async, [url] { return Client().Request(url); });
}

// Runs each(0) to each(count - 1) on threads of their own at once, and waits for them all.
template <class Each>
void AtOnce(int count, const Each& each) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(each, i);
  for (std::thread& thread : threads) thread.join();
}

// A raw connection, for clients no HTTP library would be.
class RawClient {
 public:
  // from: the loopback address to connect from (127.0.0.1 unless given).
  explicit RawClient(int port, const char* from = nullptr) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    if (from != nullptr) {
      sockaddr_in local = qjapi_test::PrivateServer::Loopback(0);
      inet_pton(AF_INET, from, &local.sin_addr);
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in address = qjapi_test::PrivateServer::Loopback(port);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(fd_); }
  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }
  // Whether it all went; a failure shows in what comes back.
  bool Send(const std::string& text) {
    return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }
  // What the server sends until it closes the connection or limit passes; closed tells which.
  std::string Receive(std::chrono::milliseconds limit, bool* closed = nullptr) {
    std::string got;
    char buffer[4096];
    ssize_t n = 1;  // what the last recv gave: 0 or less once the server has closed
    for (const auto end = Clock::now() + limit; n > 0;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd ready{fd_, POLLIN, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) break;
      n = recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    if (closed != nullptr) *closed = n <= 0;
    return got;
  }

 private:
  int fd_;
  bool connected_ = false;
};

using RawClients = std::vector<std::unique_ptr<RawClient>>;

// Opens count more raw connections to port (from the address given), each sending request when
// there is one.
void Connect(RawClients* clients, int count, int port, const std::string& request = "", const char* from = nullptr) {
  for (int i = 0; i < count; ++i) {
    clients->push_back(std::make_unique<RawClient>(port, from));
    ASSERT_TRUE(clients->back()->Connected());
    ASSERT_TRUE(request.empty() || clients->back()->Send(request));
  }
}

// One server shared by the cases of a suite: two workers, one for any one script.
class HttpServe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_.reset(new ServerProcess("main",
                                    {"--max-body", "4096", "--max-header", "2048", "--max-fields", "30", "--idle-timeout",
                                     "2", "--request-timeout", "3", "--time-limit", "2"},
                                    {"--threads", "1"}));
  }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { ASSERT_GT(server_->Port(), 0) << "the server did not start:\n" << server_->Log(); }
  static inline std::unique_ptr<ServerProcess> server_;
};

// A server with the defaults of `quill serve` but a small connection limit per address, and users
// and rights: ann may run the pages of /folder/, the anonymous user the index and a few more.
class HttpServeDefaults : public HttpServe {
 protected:
  static void SetUpTestSuite() {
    server_.reset(new ServerProcess("defaults", {"--max-per-address", "4"}, {},
                                    {{"user", "add", "ann", "pw"}, {"user", "add", "boss", "pw2", "--admin"},
                                     {"user", "grant", "ann", "execute", "page:/folder/*"},
                                     {"user", "grant", "", "execute", "page:/index.qs"},
                                     {"user", "grant", "", "execute", "page:/show.qs"},
                                     {"user", "grant", "", "execute", "page:/loop.qs"},
                                     {"user", "grant", "", "execute", "page:/hang2.qs"},
                                     {"user", "grant", "", "read", "page:/plain.txt"}}));
  }
};

TEST_F(HttpServe, QueryAndFormFieldsCookiesAndHeadersReachTheScriptAndJavaWithTheirBytes) {
  Client client;
  const std::string urlEncoded = "p=from%20form&f=2", withZero = "p=x%00y&f=1";
  const std::string part = "--XX\r\nContent-Disposition: form-data; name=";
  const std::string multipart = part + "\"p\"\r\n\r\nmulti\r\n" + part + "\"f\"\r\n\r\n3\r\n" + part +
                                "\"upload\"; filename=\"notes.txt\"\r\n\r\nline one\nline two\r\n--XX--\r\n";
  // The path, the body of a POST (none: a GET), and the page.
  const std::tuple<std::string, const std::string*, std::string> cases[] = {
      {"/echo.qs?p=a%20b&f=1", nullptr, "p=a b;f=1;upload=;c=7;h=hi"},
      {"/echo.qs", &urlEncoded, "p=from form;f=2;upload=;c=7;h=hi"},
      {"/echo.qs", &multipart, "p=multi;f=3;upload=line one\nline two;c=7;h=hi"},
      {"/echo.qs?p=q", &urlEncoded, "p=q;f=2;upload=;c=7;h=hi"},  // the first of a name wins: the query's
      {"/echo.qs?p=a%00b&f=%00", nullptr, "p=a\0b;f=\0;upload=;c=7;h=hi"s},  // character zero is kept
      {"/echo.qs", &withZero, "p=x\0y;f=1;upload=;c=7;h=hi"s},
  };
  for (const auto& [path, form, expected] : cases) {
    SCOPED_TRACE(path + (form != nullptr ? " " + *form : ""));
    std::vector<std::string> headers = {"Cookie: c=7; other=x", "X-Test: hi"};
    if (form == &multipart) headers.push_back("Content-Type: multipart/form-data; boundary=XX");
    const Reply reply = client.Request(server_->Url(path), headers, form);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, expected);
    EXPECT_NE(reply.headers.find("Content-Type: text/plain"), std::string::npos) << reply.headers;
    EXPECT_NE(reply.headers.find("Set-Cookie: s=1; Path=/"), std::string::npos) << reply.headers;
  }
  // Java sets a cookie and a header itself. (What it reads of the request is checked with the
  // concurrent clients below.)
  const Reply java = client.Request(server_->Url("/java.qs"), {"Cookie: visits=41"});
  EXPECT_NE(java.headers.find("Set-Cookie: visits=42; Path=/; SameSite=Lax"), std::string::npos) << java.headers;
  EXPECT_NE(java.headers.find("Cache-Control: no-store"), std::string::npos) << java.headers;
  // The count stays at its largest instead of wrapping round.
  EXPECT_EQ(client.Request(server_->Url("/java.qs"), {"Cookie: visits=9223372036854775807"}).body,
            "param=;header=;visits=9223372036854775807");
  // Every byte a Java tag writes arrives as it was.
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  EXPECT_EQ(client.Request(server_->Url("/bytes.qs")).body, allBytes);
}

// Requests no HTTP library would send: framing two parsers could read two ways (refused, the
// connection closed, the smuggled request never run), no HTTP at all, no Host, a form without its
// boundary, text meant to forge log lines, and the limits on the head at their edges (the target
// alone is refused with 414 only when it is longer than the limit, the whole head with 431 when it
// is; fields are counted over the query, the headers and the cookies).
TEST_F(HttpServe, RawRequestsAreAnsweredAsTheyDeserveAndLogLinesCannotBeForged) {
  const std::string smuggled = "GET /show.qs?p=smuggled HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string fields = "Host: x\r\nConnection: close\r\n";
  const size_t headAtLimit = 2048 - std::string("GET  HTTP/1.1\r\n").size() - fields.size();
  const auto head = [&](size_t target) {
    return "GET /echo.qs?p=" + std::string(target - 11, 'a') + " HTTP/1.1\r\n" + fields + "\r\n";
  };
  const auto counted = [&](int query, const std::string& more) {
    std::string target = "/show.qs?p";
    for (int i = 1; i < query; ++i) target += "&p";
    return "GET " + target + " HTTP/1.1\r\n" + fields + more + "\r\n";
  };
  // Each request, and the status of its answer.
  const std::pair<std::string, const char*> cases[] = {
      {"POST /show.qs HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
       "400"},
      {"POST /show.qs HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: " + std::to_string(smuggled.size()) +
           "\r\n\r\n" + smuggled,
       "400"},
      {"NOT HTTP AT ALL\r\n\r\n", "400"},
      {"GET /echo.qs HTTP/1.1\r\n\r\n", "400"},
      {"POST /echo.qs HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data\r\nContent-Length: 3\r\n\r\nabc", "400"},
      {"GET /nope%0a%5B0%5D%20FORGED-PATH%1b[2J HTTP/1.1\r\n" + fields + "\r\n", "404"},
      {head(headAtLimit), "200"},
      {head(headAtLimit + 1), "431"},
      {head(2048), "431"},
      {head(2049), "414"},
      {counted(26, "Cookie: c\r\n"), "200"},
      {counted(26, "Cookie: c; d\r\n"), "431"},
      {counted(29, ""), "431"},
      {counted(31, ""), "414"},
  };
  for (const auto& [request, status] : cases) {
    RawClient raw(server_->Port());
    raw.Send(request);
    bool closed = false;
    const std::string answer = raw.Receive(5s, &closed);
    EXPECT_EQ(answer.rfind("HTTP/1.1 "s + status, 0), 0u) << request.substr(0, 60) << ": " << answer.substr(0, 40);
    EXPECT_TRUE(closed) << request.substr(0, 60);
    EXPECT_FALSE(Has(answer, "smuggled")) << answer;
  }
  WaitFor(5s, [] { return Has(server_->Log(), "FORGED"); });
  const std::string log = server_->Log();
  EXPECT_TRUE(Has(log, "\"GET /nope\\n[0] FORGED-PATH\\x1b[2J HTTP/1.1\" 404")) << log;
  EXPECT_FALSE(Has(log, "\n[0] FORGED")) << log;
}

TEST_F(HttpServe, ScriptsPastTheirTimeLimitAreStoppedAndHungOnesHoldOneWorker) {
  // A tag that does not return cannot be stopped: its script holds one of the two workers, a
  // second request for it waits and is answered 503. (Other scripts served while a request waits
  // for its script's worker: the turns below.)
  const fs::path running = server_->Path("hang-running");
  std::future<Reply> hung = Later(server_->Url("/hang.qs?ms=9000&mark=" + running.string()));
  WaitFor(30s, [&] { return fs::exists(running); });
  std::future<Reply> waiting = Later(server_->Url("/hang.qs?ms=1"));
  // Another script stuck the same way takes the other worker: once both are past their time
  // limit, scripts are answered 503 at once, and files are still served.
  std::future<Reply> alsoHung = Later(server_->Url("/hang2.qs?ms=8000"));
  const Reply second = waiting.get();
  EXPECT_EQ(second.status, 503);
  EXPECT_TRUE(Has(second.body, "busy")) << second.body;
  // Both runs get past their limit of 2 s and the watchdog's grace (at 4 s each).
  WaitFor(30s, [] { return Has(server_->Log(), "every worker is held"); });
  // Refused as it arrives, not after a wait for its script's worker ("busy with this page").
  const Reply refused = Client().Request(server_->Url("/show.qs?p=stalled"));
  EXPECT_EQ(refused.status, 503);
  EXPECT_TRUE(Has(refused.headers, "Retry-After: 10")) << refused.headers;
  EXPECT_TRUE(Has(refused.body, "The server is busy. Please try again later.")) << refused.body;
  EXPECT_EQ(Client().Request(server_->Url("/plain.txt")).status, 200);
  EXPECT_EQ(hung.get().status, 503);  // stopped at its first statement after the tag
  EXPECT_EQ(alsoHung.get().status, 503);
  EXPECT_EQ(Client().Request(server_->Url("/show.qs?p=again")).body, "p=again;f=");
  for (const char* line : {"HTTP: /hang.qs has run ", "past its time limit of 2 s, inside a tag that does not return",
                           "(2 of 2 workers held so)", "HTTP: every worker is held by a script past its time limit",
                           "HTTP: a worker is free again: scripts are served again"}) {
    EXPECT_TRUE(Has(server_->Log(), line)) << line << "\n" << server_->Log();
  }
}

// Requests waiting for their script's one worker run in turn there, each answered as its run
// ends; a request of another script that finds every worker busy runs before the next turn.
TEST_F(HttpServe, WaitingRequestsRunInTurnAndLetOtherScriptsIn) {
  // Three requests of one script at once; each notes when it was answered.
  const auto turns = [](std::vector<Clock::duration>* answered) {
    const auto start = Clock::now();
    AtOnce(3, [&](int i) {
      EXPECT_EQ(Client().Request(server_->Url("/hang2.qs?ms=500")).body, "sleptwoke");
      (*answered)[static_cast<size_t>(i)] = Clock::now() - start;
    });
  };
  std::vector<Clock::duration> answered(3);
  turns(&answered);
  // One after another on one worker, each answered as its run ends, not with the last one.
  std::sort(answered.begin(), answered.end());
  EXPECT_GE(answered[1] - answered[0], 300ms);
  EXPECT_GE(answered[2] - answered[1], 300ms);

  const fs::path held = server_->Path("turns-other-worker");
  std::future<Reply> other = Later(server_->Url("/hang.qs?ms=1500&mark=" + held.string()));
  WaitFor(30s, [&] { return fs::exists(held); });
  std::future<void> clients = std::async(std::launch::async, turns, &answered);
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  EXPECT_EQ(Client().Request(server_->Url("/show.qs?p=between")).body, "p=between;f=");
  EXPECT_LT(Clock::now() - start, 1000ms);
  clients.get();
  EXPECT_EQ(other.get().status, 200);
}

TEST_F(HttpServe, StatusCodesForWhatCannotBeServedAsIs) {
  const std::string big(5000, 'x');
  struct Case {
    const char* name;
    std::string path;
    const std::string* form;
    const char* method;
    long status;
    const char* bodyHas;
    bool whole = false;  // bodyHas is the whole body
  } cases[] = {
      {"folder without slash", "/folder", nullptr, nullptr, 301, "Moved"},
      {"missing script", "/missing.qs", nullptr, nullptr, 404, "Not Found"},
      {"outside the web folder", "/../secret.txt", nullptr, nullptr, 404, "Not Found"},
      {"script error", "/fail.qs", nullptr, nullptr, 500, "Internal Server Error"},
      {"header with a line break", "/badheader.qs", nullptr, nullptr, 500, "Internal Server Error"},
      {"status from the script", "/status.qs", nullptr, nullptr, 201, "made"},
      {"past the time limit", "/loop.qs", nullptr, nullptr, 503, ""},  // stopped at a loop turn,
      {"past the time limit in a try", "/caught.qs", nullptr, nullptr, 503, ""},  // even inside a try
      {"method not served", "/echo.qs", nullptr, "DELETE", 405, "Method Not Allowed"},
      {"body too large", "/echo.qs", &big, nullptr, 413, "Content Too Large"},
      // The health path is the server's own: no web file of its name, or linked to it, stands in for it.
      {"health", "/_health?probe=1", nullptr, nullptr, 200, "serving\n", true},
      {"health escaped", "/%5Fhealth", nullptr, nullptr, 200, "serving\n", true},
      {"health head", "/_health", nullptr, "HEAD", 200, "", true},
      {"health post", "/_health", nullptr, "POST", 405, "Method Not Allowed"},
      {"link to the health path", "/alias.txt", nullptr, nullptr, 404, "Not Found"},
  };
  fs::create_symlink("_health", server_->Path("web/alias.txt"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A client of its own: a refused request may close its connection.
    const Reply reply = Client().Request(server_->Url(c.path), {}, c.form, c.method);
    EXPECT_EQ(reply.status, c.status) << reply.body;
    EXPECT_TRUE(c.whole ? reply.body == c.bodyHas : Has(reply.body, c.bodyHas)) << reply.body;
    // A failing script's page says nothing of it (its half page and error stay in the log), a
    // header with a line break is never sent, and no web file answers for the health path.
    EXPECT_FALSE(Has(reply.body, "half a page") || Has(reply.body, "secret detail") || Has(reply.body, "a web file"))
        << reply.body;
    EXPECT_FALSE(Has(reply.headers, "X-Injected")) << reply.headers;
  }
  // The failing script's error, each request's access log line, and where time limits stopped scripts.
  for (const char* line : {"the secret detail", "/caught.qs:1:", "HTTP: GET /loop.qs stopped by its time limit after 2.",
                           "the request's time limit of 2 s is reached"}) {
    EXPECT_TRUE(Has(server_->Log(), line)) << line << "\n" << server_->Log();
  }
  EXPECT_TRUE(std::regex_search(server_->Log(), std::regex(R"(\] HTTP 127\.0\.0\.1 "GET /missing\.qs HTTP/1\.1" 404 [1-9]\d* \d+\.\d ms\n)")))
      << server_->Log();
}

// Visitors are anonymous unless their request carries HTTP Basic credentials; once the root has
// rights, pages are answered only where the visitor's user (or the anonymous user) may have them.
TEST_F(HttpServeDefaults, CredentialsMakeTheVisitorAUserAndRightsDecideThePages) {
  fs::create_symlink(server_->Path("web/echo.qs"), server_->Path("web/folder/link.qs"));
  const std::string ann = "Authorization: Basic YW5uOnB3";         // ann:pw
  const std::string boss = "Authorization: Basic Ym9zczpwdzI=";    // boss:pw2
  const std::string wrong = "Authorization: Basic YW5uOmJhZA==";   // ann:bad
  // The path, the credentials sent, the status, and what the body has.
  const std::tuple<const char*, std::string, long, const char*> cases[] = {
      {"/index.qs", "", 200, "the index"},
      {"/plain.txt", "", 200, "static text"},
      {"/echo.qs", "", 401, "needs a user name"},
      {"/folder/", "", 401, "needs a user name"},
      {"/folder/", ann, 200, "the folder index"},
      {"/folder//whoami.qs", ann, 200, "ann;"},  // the script gets the user, not the header
      {"/echo.qs", ann, 403, "Forbidden"},
      {"/folder/link.qs", ann, 403, "Forbidden"},  // matched where the link leads
      {"/folder/%2e%2e/echo.qs", ann, 404, "Not Found"},
      {"/index.qs", wrong, 401, "needs a user name"},  // wrong credentials are never anonymous
      {"/index.qs", "Authorization: Basic !!!!", 401, "needs a user name"},
      {"/echo.qs?p=1", boss, 200, "p=1;"},
  };
  for (const auto& [path, credentials, status, bodyHas] : cases) {
    SCOPED_TRACE(std::string(path) + " " + credentials);
    const auto headers = credentials.empty() ? std::vector<std::string>{} : std::vector{credentials};
    const Reply reply = Client().Request(server_->Url(path), headers);
    EXPECT_EQ(reply.status, status) << reply.body;
    EXPECT_NE(reply.body.find(bodyHas), std::string::npos) << reply.body;
    EXPECT_EQ(Has(reply.headers, "WWW-Authenticate: Basic realm=\"quill\", charset=\"UTF-8\""), status == 401)
        << reply.headers;
  }
}

// (That a keep-alive connection carries request after request is shown by the burst below.)
TEST_F(HttpServe, ConcurrentKeepAliveClientsAreKeptApart) {
  constexpr int kClients = 16, kEach = 8;
  std::vector<std::string> wrong(kClients);
  AtOnce(kClients, [&wrong](int i) {
    Client own;
    for (int n = 0; n < kEach; ++n) {
      const std::string id = std::to_string(i) + "-" + std::to_string(n);
      const Reply reply = own.Request(server_->Url("/java.qs?p=" + id), {"X-Test: " + id, "Cookie: visits=" + std::to_string(n)});
      const std::string expected = "param=" + id + ";header=" + id + ";visits=" + std::to_string(n + 1);
      if (reply.body != expected) wrong[i] += reply.body + " instead of " + expected + "\n";
    }
  });
  for (const std::string& w : wrong) EXPECT_EQ(w, "");
}

// Many keep-alive clients of one page, far more than its script may run at once: every request
// is answered in turn, on its own connection, however long the burst. (An event loop that lost
// track of a connection after resuming it left the next request unread until the idle timeout.)
TEST(HttpServeBurst, KeepAliveClientsOfOnePageAreAnsweredInTurn) {
  const ServerProcess server("burst", {"--script-workers", "4", "--max-per-address", "1024"}, {"--threads", "4"});
  ASSERT_GT(server.Port(), 0) << server.Log();
  RawClients clients;
  const std::string request = "GET /show.qs?p=burst HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_NO_FATAL_FAILURE(Connect(&clients, 256, server.Port(), request));
  std::vector<pollfd> ready;
  for (const auto& client : clients) ready.push_back({client->Fd(), POLLIN, 0});
  std::vector<std::string> got(clients.size());
  // Each client asks again as soon as it is answered for 3 s; then every last request must be
  // answered too. A connection the server stopped reading waits for its idle timeout (30 s).
  size_t waiting = clients.size();
  int answered = 0;
  const auto burstEnd = Clock::now() + 3s;
  for (const auto end = burstEnd + 10s; waiting > 0 && Clock::now() < end;) {
    ASSERT_GE(poll(ready.data(), ready.size(), 100), 0);
    for (size_t i = 0; i < clients.size(); ++i) {
      if ((ready[i].revents & POLLIN) == 0) continue;
      char buffer[4096];
      const ssize_t n = recv(ready[i].fd, buffer, sizeof buffer, 0);
      ASSERT_GT(n, 0) << "connection " << i << " closed after " << answered << " answers";
      got[i].append(buffer, static_cast<size_t>(n));
      if (!got[i].ends_with("p=burst;f=")) continue;
      ASSERT_EQ(got[i].rfind("HTTP/1.1 200", 0), 0u) << got[i];
      ++answered;
      got[i].clear();
      if (Clock::now() < burstEnd) {
        ASSERT_TRUE(clients[i]->Send(request));
      } else {
        ready[i].fd = -1;  // answered for good: poll passes over it
        --waiting;
      }
    }
  }
  EXPECT_EQ(waiting, 0u) << "of " << clients.size() << " connections, after " << answered << " answers";
  EXPECT_GT(answered, 2 * static_cast<int>(clients.size()));
}

TEST_F(HttpServe, SlowAndSilentClientsAreClosedWithoutHoldingAWorker) {
  RawClient silent(server_->Port());
  RawClients slow;  // more of them than the server has workers
  ASSERT_NO_FATAL_FAILURE(Connect(&slow, 3, server_->Port(), "GET /echo.qs?p=slow HTTP/1.1\r\nHost: x\r\n"));
  // Meanwhile the workers serve others at once, long before the slow requests time out.
  const auto start = Clock::now();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Client().Request(server_->Url("/echo.qs?p=" + std::to_string(i))).status, 200);
  EXPECT_LT(Clock::now() - start, 2s);
  // Their header lines keep coming, each within the idle timeout, yet the requests are not done
  // within the request timeout: the connections are closed.
  bool closed = false;
  for (int i = 0; i < 10 && !closed; ++i) {
    slow.front()->Receive(700ms, &closed);
    if (!closed) {
      for (auto& client : slow) client->Send("X-More: " + std::to_string(i) + "\r\n");
    }
  }
  EXPECT_TRUE(closed) << "a request trickling in for 7 s was not cut off";
  silent.Receive(6s, &closed);
  EXPECT_TRUE(closed) << "a silent connection was not closed";
}

// A page gets every worker --threads asks for, and the one `serve` runs beside them answers the
// other pages meanwhile. (Before the endless scripts below, which hold their workers for the time
// limit.)
TEST_F(HttpServeDefaults, APageGetsEveryWorkerAskedForAndTheOneBesideServesTheRest) {
  const auto start = Clock::now();
  std::future<Reply> first = Later(server_->Url("/hang2.qs?ms=1500"));
  std::future<Reply> second = Later(server_->Url("/hang2.qs?ms=1500"));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Client().Request(server_->Url("/show.qs?p=beside")).body, "p=beside;f=");
  EXPECT_LT(Clock::now() - start, 1200ms);  // not after one of the runs
  EXPECT_EQ(first.get().body, "sleptwoke");
  EXPECT_EQ(second.get().body, "sleptwoke");
  EXPECT_LT(Clock::now() - start, 2800ms);  // side by side, not one after the other
}

// Endless scripts on every worker --threads asks for (from an address of their own) leave others
// served; one address cannot hold every connection slot, and its refusals are answered.
TEST_F(HttpServeDefaults, EndlessScriptsAndOneAddressesConnectionsLeaveOthersServed) {
  RawClients loops, held;
  ASSERT_NO_FATAL_FAILURE(Connect(&loops, 2, server_->Port(), "GET /loop.qs HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.3"));
  ASSERT_NO_FATAL_FAILURE(Connect(&held, 4, server_->Port()));
  std::this_thread::sleep_for(500ms);  // the server has taken them
  RawClient over(server_->Port());
  over.Send("GET /show.qs HTTP/1.1\r\nHost: x\r\n\r\n");
  bool closed = false;
  const std::string refusal = over.Receive(5s, &closed);
  EXPECT_EQ(refusal.rfind("HTTP/1.1 503", 0), 0u) << refusal;
  EXPECT_TRUE(Has(refusal, "Too many connections")) << refusal;
  EXPECT_TRUE(closed);
  const auto start = Clock::now();
  EXPECT_EQ(Client("127.0.0.2").Request(server_->Url("/show.qs?p=another")).body, "p=another;f=");
  EXPECT_LT(Clock::now() - start, 15s);
  held.clear();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Client().Request(server_->Url("/show.qs?p=again")).body, "p=again;f=");
}

// However the request line's parameters, the header fields or the cookies fill the connection's
// memory, an answer is sent; within the limits the page is served.
TEST_F(HttpServeDefaults, ManyParametersAreAnswered) {
  // How many of each (a query field, a header field with ':' or a cookie with ';'), and whether
  // the page must be served (else 431 will do).
  const std::string wide(70, 'v');
  const std::tuple<int, std::string, bool> cases[] = {
      {90, "a=1&", true}, {90, "k123=" + wide + "&", true}, {101, "a=1&", false}, {250, "a=1&", false},
      {512, "a=1&", false}, {1500, "p=b&", false}, {3900, "a&", false}, {8000, "&", false}, {9000, "a&", false},
      {40000, "a&", false}, {90, "ab: " + wide, true}, {90, "c=" + wide + ";", true}, {300, "a: b", false},
      {600, "a: b", false}, {1100, "a: b", false}, {3000, "a: b", false}, {600, "c;", false}, {3000, "c;", false}};
  for (const auto& [count, each, served] : cases) {
    std::string query, cookies;
    std::vector<std::string> headers;
    for (int i = 0; i < count; ++i) {
      if (each.find(':') != std::string::npos) headers.push_back(each);
      else (each.back() == ';' ? cookies : query) += each;
    }
    if (!cookies.empty()) headers.push_back("Cookie: " + cookies);
    SCOPED_TRACE(std::to_string(count) + " of " + each);
    const auto start = Clock::now();
    const Reply reply = Client().Request(server_->Url("/show.qs?" + query), headers);
    EXPECT_TRUE(reply.status == 200 || (!served && (reply.status == 431 || reply.status == 414))) << reply.status;
    EXPECT_LT(Clock::now() - start, 10s);
  }
}

// A time limit preference replaces the default time limit. A stop signal lets the request in
// flight finish. One HTTP thread, where the other servers take one per core. (The refusals of
// serve's options and preferences are checked with the run command's.)
TEST(HttpServeStart, ATimeLimitPreferenceAndAStopSignalWithARequestInFlight) {
  ServerProcess server("pref-limit", {"--no-access-log", "--drain-grace", "0", "--http-threads", "1"},
                       {"--pref", "request_time_limit=3"});
  ASSERT_GT(server.Port(), 0) << server.Log();
  const auto start = Clock::now();
  EXPECT_EQ(Client().Request(server.Url("/loop.qs")).status, 503);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_TRUE(Has(server.Log(), "the request's time limit of 3 s is reached")) << server.Log();

  // A stop signal lets the request in flight finish; then the port is closed.
  const fs::path mark = server.Path("running");
  std::future<Reply> request = Later(server.Url("/hang.qs?ms=1500&mark=" + mark.string()));
  ASSERT_TRUE(WaitFor(30s, [&] { return fs::exists(mark); }));
  server.Signal(SIGTERM);
  const Reply reply = request.get();
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "sleptwoke");
  EXPECT_EQ(server.Finish(30s).status, 128 + SIGTERM);
  const std::string log = server.Log();
  EXPECT_NE(log.find("HTTP: no new connections; requests in flight: 1,"), std::string::npos) << log;
  EXPECT_NE(log.find("HTTP: every request in flight was answered"), std::string::npos) << log;
  EXPECT_FALSE(RawClient(server.Port()).Connected());
}

// The first cell of a query's answer, or why there is none.
std::string Query(const std::string& url, const char* sql) {
  PGconn* pg = PQconnectdb(url.c_str());
  PGresult* result = PQexec(pg, sql);
  const std::string cell = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : PQerrorMessage(pg);
  PQclear(result);
  PQfinish(pg);
  return cell;
}

// Two servers that trust the loopback proxy, started together on one internal database in a
// private PostgreSQL cluster, and nginx spreading requests over them.
class HttpServeProxy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    cluster_ = std::make_unique<qjapi_test::PgCluster>();
    clusterMissing_ = cluster_->Start();
    url_ = "postgresql://"s + qjapi_test::PgCluster::kUser + ":" + qjapi_test::PgCluster::kPassword + "@127.0.0.1:" +
           std::to_string(cluster_->port()) + "/postgres";
    AtOnce(2, [](int i) {
      const std::string name = i == 0 ? "proxied-a" : "proxied-b";
      servers_[i].reset(new ServerProcess(name, {"--trusted-proxy", "127.0.0.1,::1", "--drain-grace", "2"},
                                          {"--internal-db", url_}, {},
                                          {{"QuillModules", JDBC_CONNECTOR_JAR}, {"JavaLibraries", HIKARI_JAR},
                                           {"JavaLibraries", SLF4J_API_JAR}, {"JDBCDrivers", POSTGRESQL_JDBC_JAR}}));
      std::ofstream(servers_[i]->Path("web/which.txt")) << name;
      std::ofstream(servers_[i]->Path("web/who.qs")) << "'" << name << " ' current_user()\n";
      std::ofstream(servers_[i]->Path("web/add.qs"))
          << "'" << name << " ' hx_add(request_param('key'), request_param('n'), request_param('sem'))\n";
    });
    StartNginx();
  }
  // nginx configured with the block of docs/deployment.md (free ports in place of its own) and the
  // process settings in a folder of its own; stopped, and the folder removed, however the program
  // ends. The folder is not below the program's: that one is removed before the kill, which reads
  // this one.
  static void StartNginx() {
    const std::string dir = ProgramFolder("qjapi-http").string() + "-nginx";
    fs::create_directories(dir);
    stopNginx_ = "kill $(cat " + qjapi_test::CleanupOnExit::Quoted(dir + "/nginx.pid") + ") 2>/dev/null";
    qjapi_test::CleanupOnExit::Run(stopNginx_);
    qjapi_test::CleanupOnExit::Remove(dir);  // after the kill, which reads the folder
    nginxLog_ = dir + "/error.log";
    nginxPort_ = qjapi_test::PgCluster::FreePort();
    const std::string doc = ReadFile(DEPLOYMENT_DOC);
    std::smatch found;
    std::string block = std::regex_search(doc, found, std::regex(R"(```nginx\n([\s\S]*?)```)")) ? found[1].str() : "";
    for (const auto& [from, to] : {std::pair{"127.0.0.1:8080", nginxPort_}, {"127.0.0.1:8181", servers_[0]->Port()},
                                   {"127.0.0.1:8182", servers_[1]->Port()}}) {
      const size_t at = block.find(from);
      if (at == std::string::npos) {
        ADD_FAILURE() << from << " is not in the nginx block of docs/deployment.md";
        return;
      }
      block.replace(at, std::strlen(from), "127.0.0.1:" + std::to_string(to));
    }
    std::ofstream conf(dir + "/nginx.conf");
    conf << (geteuid() == 0 ? "user root root;\n" : "") << "worker_processes 1;\npid " << dir << "/nginx.pid;\n"
         << "error_log " << nginxLog_ << ";\nevents { worker_connections 256; }\nhttp {\naccess_log " << dir
         << "/access.log;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      conf << temp << "_temp_path " << dir << "/" << temp << ";\n";
    }
    conf << block << "}\n";
    conf.close();
    const std::string command = std::string(NGINX_BINARY) + " -p " + dir + " -c " + dir + "/nginx.conf -e " + nginxLog_;
    nginxStarted_ = std::system(command.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    if (nginxStarted_) std::system(stopNginx_.c_str());
    for (auto& server : servers_) server.reset();
    cluster_.reset();
  }
  void SetUp() override {
    ASSERT_EQ(clusterMissing_, "");
    for (const auto& server : servers_) ASSERT_GT(server->Port(), 0) << "a server did not start:\n" << server->Log();
    ASSERT_TRUE(nginxStarted_) << ReadFile(nginxLog_);
  }
  static std::string NginxUrl(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(nginxPort_) + path;
  }
  // Whether either server's access log has line, waiting for it a moment: a line is written once
  // its answer has gone.
  static bool Logged(const std::string& line) {
    return WaitFor(5s, [&] { return Has(servers_[0]->Log(), line) || Has(servers_[1]->Log(), line); });
  }
  // The bodies of `count` answers through nginx.
  static std::set<std::string> Answers(const std::string& path, int count, const std::vector<std::string>& headers = {}) {
    std::set<std::string> bodies;
    for (int i = 0; i < count; ++i) bodies.insert(Client().Request(NginxUrl(path), headers).body);
    return bodies;
  }
  static inline std::unique_ptr<ServerProcess> servers_[2];
  static inline std::unique_ptr<qjapi_test::PgCluster> cluster_;
  static inline std::string clusterMissing_, url_, stopNginx_, nginxLog_;
  static inline int nginxPort_ = 0;
  static inline bool nginxStarted_ = false;
};

TEST_F(HttpServeProxy, TheServersAreOneSiteOnTheSharedInternalDatabase) {
  // Both started at once: each driver is recorded once.
  EXPECT_EQ(Query(url_, "SELECT count(*) - count(DISTINCT driver_name) FROM jdbc_drivers"), "0");
  EXPECT_EQ(Query(url_, "SELECT count(*) FROM jdbc_drivers WHERE driver_name = 'org.postgresql.Driver'"), "1");

  // A user added in one server's root logs in on both.
  Child add;
  ASSERT_TRUE(add.Start({"--quiet", "--internal-db", url_, "--root", servers_[0]->Path("root").string(), "user", "add",
                         "sam", "pw"},
                        servers_[0]->Path("add.out"), servers_[0]->Path("add.err")));
  ASSERT_EQ(add.Wait(60s), 0) << ReadFile(servers_[0]->Path("add.err"));
  EXPECT_EQ(Answers("/who.qs", 4, {"Authorization: Basic c2FtOnB3"}),  // sam:pw
            (std::set<std::string>{"proxied-a sam", "proxied-b sam"}));

  // Concurrent increments through both servers, read through one: none is lost under the semaphore
  // (so what one server stores the other reads), and some are without it (or the counter could
  // not tell).
  constexpr int kClients = 6, kEach = 10;
  for (const auto& [key, semaphore] : {std::pair{"guarded", "counter"}, {"loose", ""}}) {
    std::atomic<int> failed{0};
    AtOnce(kClients, [&, key = key, semaphore = semaphore](int) {
      for (int i = 0; i < kEach; ++i) {
        failed += Client().Request(NginxUrl("/add.qs?n=1&key="s + key + "&sem=" + semaphore)).status != 200;
      }
    });
    EXPECT_EQ(failed.load(), 0) << key;
    const std::string total = *Answers("/add.qs?n=0&sem=&key="s + key, 1).begin();
    const int counted = std::atoi(total.substr(total.find(' ') + 1).c_str());
    EXPECT_TRUE(*semaphore != '\0' ? counted == kClients * kEach : counted < kClients * kEach) << key << ": " << total;
  }

  // The database going away is an error and a log line; once it is back, so is the site.
  ASSERT_TRUE(cluster_->Stop());
  EXPECT_NE(Client().Request(servers_[0]->Url("/add.qs?key=guarded&n=0&sem=")).status, 200);
  ASSERT_TRUE(cluster_->Restart());
  EXPECT_EQ(Client().Request(servers_[0]->Url("/add.qs?key=guarded&n=0&sem=")).body,
            "proxied-a " + std::to_string(kClients * kEach));
  EXPECT_TRUE(Has(servers_[0]->Log(), "The internal database lost its connection to PostgreSQL")) << servers_[0]->Log();
}

TEST_F(HttpServeProxy, TheForwardedClientIsBelievedOnlyFromATrustedProxy) {
  // The address the request comes from, whether it goes through nginx, its headers, and the
  // client address logged.
  const std::tuple<const char*, bool, std::vector<std::string>, const char*> cases[] = {
      {"127.0.0.1", false, {"X-Forwarded-For: 10.0.0.1, 198.51.100.7, 127.0.0.1"}, "198.51.100.7"},
      {"127.0.0.1", false, {"X-Forwarded-For: 10.0.0.1", "X-Forwarded-For: 198.51.100.8"}, "198.51.100.8"},
      {"127.0.0.1", false, {"X-Forwarded-For:  2001:db8::7 "}, "2001:db8::7"},
      {"127.0.0.1", false, {"X-Forwarded-For: 198.51.100.7, not-an-address"}, "127.0.0.1"},
      {"127.0.0.1", false, {"X-Forwarded-For: not-an-address, 198.51.100.9"}, "198.51.100.9"},
      {"127.0.0.1", false, {"X-Forwarded-For: 127.0.0.1"}, "127.0.0.1"},
      {"127.0.0.1", false, {}, "127.0.0.1"},
      {"127.0.0.3", false, {"X-Forwarded-For: 198.51.100.7"}, "127.0.0.3"},
      // nginx appends the address it saw; what the visitor wrote before it is not believed.
      {"127.0.0.2", true, {"X-Forwarded-For: 198.51.100.7"}, "127.0.0.2"},
  };
  int row = 0;
  for (const auto& [from, throughNginx, headers, logged] : cases) {
    const std::string path = "/who-" + std::to_string(++row);
    SCOPED_TRACE(path);
    const std::string url = throughNginx ? NginxUrl(path) : servers_[0]->Url(path);
    EXPECT_EQ(Client(from).Request(url, headers).status, 404);
    EXPECT_TRUE(Logged("HTTP "s + logged + " \"GET " + path + " ")) << servers_[0]->Log() << servers_[1]->Log();
  }
}

// Last of the suite: it stops one of the servers.
TEST_F(HttpServeProxy, NoRequestFailsWhileOneServerDrains) {
  EXPECT_EQ(Client().Request(NginxUrl("/_health")).status, 404);  // each server's own: the proxy keeps it to itself

  // Two visitors keep asking for a page and a file through nginx while server A stops.
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  const char* paths[] = {"/show.qs?p=x", "/which.txt"};
  std::string failures[2];  // each visitor's first
  std::vector<std::thread> visitors;
  for (int v = 0; v < 2; ++v) {
    visitors.emplace_back([&, v] {
      while (!stop.load()) {
        const Reply reply = Client().Request(NginxUrl(paths[v]));
        if (reply.status == 200) {
          ++served;
        } else if (failures[v].empty()) {
          failures[v] = paths[v] + (" " + std::to_string(reply.status)) + " " + reply.body;
        }
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  servers_[0]->Signal(SIGTERM);
  // While it drains it still serves, and tells a load balancer to go elsewhere.
  Reply draining;
  WaitFor(1s, [&] { return (draining = Client().Request(servers_[0]->Url("/_health"))).status == 503; });
  EXPECT_EQ(draining.status, 503);
  EXPECT_EQ(draining.body, "draining\n");
  EXPECT_TRUE(Has(draining.headers, "Connection: close")) << draining.headers;
  EXPECT_EQ(Client().Request(servers_[0]->Url("/which.txt")).body, "proxied-a");
  EXPECT_EQ(servers_[0]->Finish(30s).status, 128 + SIGTERM);
  const int atStop = served.load();
  std::this_thread::sleep_for(500ms);
  stop = true;
  for (std::thread& visitor : visitors) visitor.join();
  EXPECT_EQ(failures[0] + failures[1], "");
  EXPECT_GT(served.load(), atStop) << "nothing was served after the stop";
  EXPECT_EQ(Answers("/which.txt", 4), (std::set<std::string>{"proxied-b"}));
  const std::string log = servers_[0]->Log();
  EXPECT_TRUE(Has(log, "Received SIGTERM: draining for 2.0 s")) << log;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  return RUN_ALL_TESTS();
}
