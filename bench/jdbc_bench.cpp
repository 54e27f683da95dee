// The JDBC connector benchmark, run by hand (`build/bin/jdbc_bench`), never as a test. On SQLite
// and on a private PostgreSQL cluster it starts itself:
//  (a) a search returning 100,000 rows of three text columns, end to end from a script (the
//      server writes the SELECT, the connector runs it, every row crosses the bridge), against
//      plain JDBC running the same query in the same VM with the same driver, and plain JDBC
//      reading as the connector starts to (its first fetch size for every fetch, where the
//      connector sizes its later fetches from the rows; PostgreSQL's cursor in a transaction);
//  (b) a one-row search by key, one script request each, against plain JDBC's query on an open
//      connection: the mean of the first requests and the steady state after a warm-up.
// `jdbc_bench rows`: (a) only; JDBC_BENCH_SEARCHES=N adds N rounds of (a), each one's figures printed.
// JDBC_BENCH_ONLY=SQLite or =PostgreSQL measures that database alone (for a profiler).
// `jdbc_bench memory`: the heap a search keeps alive (-max=10 over 10^4 and 10^6 rows, and a full
// read of 10^6 rows) on SQLite and PostgreSQL, with a small young generation so that collections,
// after which the live heap is sampled, come often.
// `jdbc_bench outage`: what a PostgreSQL server that is down costs its own requests, and a SQLite
// request made meanwhile.
// docs/performance.md records the figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "service/datasource/host_store.h"
#include "service/script/script.h"
#include "tests/jdbc/pg_cluster.h"
#include "tests/vm_server.h"

namespace {

constexpr int kRows = 100000;
constexpr int kRowRounds = 7;   // interleaved rounds of the 100,000-row read, the fastest of each side reported
constexpr int kKeyRuns = 2000;     // key searches per reported mean
constexpr int kKeyWarmUp = 20000;  // key searches between the first and the steady-state mean

std::string Run(const std::string& source) {
  const quill_service::ScriptRun run = quill_service::RunScriptText(source, "bench.q", {});
  return run.ok ? run.output : "FAILED: " + run.error + " " + run.resultMessage;
}

// Seconds of `runs` calls of `step` after one warm-up call: the fastest call (best) or the mean.
// The machine is shared; the fastest of several runs is what the code costs.
template <class Step>
double Seconds(int runs, bool best, Step step) {
  step();
  double fastest = 1e30;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i) {
    const auto run = std::chrono::steady_clock::now();
    step();
    fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - run).count());
  }
  const double mean = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
  return best ? fastest : mean;
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// The fastest wall and thread CPU seconds seen.
struct Best {
  double wall = 1e30, cpu = 1e30;
};

struct Target {
  const char* source;
  std::string url;  // of the database "bench"
  std::string user, password;
  const char* fill;
};

bool Measure(const Target& t, bool keys) {
  const std::string on = std::string("-source='") + t.source + "', -database='bench'";
  Run("db_statement(" + on + ", -sql='DROP TABLE IF EXISTS t')");
  Run("db_statement(" + on + ", -sql='CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT, c TEXT)')");
  const std::string filled = Run("db_statement(" + on + ", -sql=\"" + t.fill + "\") => { action_code() action_message() }");
  if (filled != "0") {
    std::fprintf(stderr, "%s: filling the table failed: %s\n", t.source, filled.c_str());
    return false;
  }
  const std::string search = "db_search(" + on + ", -table='t', -select='a', -select='b', -select='c') => { row_count() }";
  const auto plainRows = [&](const char* how, const char* clock) {
    return std::atof(Run(std::string("jdbc_plain('") + t.source + "', '" + t.url + "', '" + t.user + "', '" + t.password +
                         "', 'SELECT \"a\",\"b\",\"c\" FROM t', 1, true, '" + how + "', '" + clock + "')")
                         .c_str()) / 1e9;
  };
  // Rounds of each, interleaved so that a busy spell of the shared machine hits all of them; wall
  // time, and the CPU time of this thread (the one that runs the script, the connector's Java
  // code and the driver, and plain JDBC's), which the load moves far less and which leaves out
  // the database server's own work and the waits for it.
  std::string rows = Run(search);
  Best connector, plain, cursor;
  for (int round = 0; round < kRowRounds && rows == std::to_string(kRows); ++round) {
    const double wall = Seconds(1, true, [&] {
      const double cpu = ThreadCpuSeconds();
      rows = Run(search);
      connector.cpu = std::min(connector.cpu, ThreadCpuSeconds() - cpu);
    });
    connector.wall = std::min(connector.wall, wall);
    plain.wall = std::min(plain.wall, plainRows("", ""));
    plain.cpu = std::min(plain.cpu, plainRows("", "cpu"));
    cursor.wall = std::min(cursor.wall, plainRows("cursor", ""));
    cursor.cpu = std::min(cursor.cpu, plainRows("cursor", "cpu"));
  }
  // JDBC_BENCH_SEARCHES=N (for a profiler, or alternate runs of two builds): N more rounds, each
  // round's thread CPU printed.
  const char* more = std::getenv("JDBC_BENCH_SEARCHES");
  for (int round = 0; more != nullptr && round < std::atoi(more) && rows == std::to_string(kRows); ++round) {
    const double cpu = ThreadCpuSeconds();
    rows = Run(search);
    const double connectorCpu = ThreadCpuSeconds() - cpu;
    std::printf("%-10s round %d, thread CPU: connector %.2f ms; plain JDBC %.2f ms; with the cursor %.2f ms\n",
                t.source, round + 1, connectorCpu * 1e3, plainRows("", "cpu") * 1e3, plainRows("cursor", "cpu") * 1e3);
    std::fflush(stdout);
  }
  if (rows != std::to_string(kRows)) {
    std::fprintf(stderr, "%s: the search gave %s\n", t.source, rows.c_str());
    return false;
  }
  if (plain.wall <= 0 || cursor.wall <= 0 || plain.cpu <= 0 || cursor.cpu <= 0) {
    std::fprintf(stderr, "%s: plain JDBC failed\n", t.source);
    return false;
  }
  std::printf("%-10s 100,000 rows x 3, fastest of %d rounds, wall (thread CPU): connector %.1f ms (%.1f ms); plain JDBC "
              "%.1f ms (%.1f ms): %.2fx (%.2fx); plain JDBC with the connector's first fetch size and cursor %.1f ms (%.1f ms): "
              "%.2fx (%.2fx)\n",
              t.source, kRowRounds, connector.wall * 1e3, connector.cpu * 1e3, plain.wall * 1e3, plain.cpu * 1e3,
              plain.wall / connector.wall, plain.cpu / connector.cpu, cursor.wall * 1e3, cursor.cpu * 1e3,
              cursor.wall / connector.wall, cursor.cpu / connector.cpu);
  if (!keys) return true;

  int key = 0;
  std::string cell;
  const auto byKey = [&] {
    key = key % kRows + 1;
    cell = Run("db_search(" + on + ", -table='t', -key='id', -key_value=" + std::to_string(key) + ") => { field('a') }");
  };
  // The first requests are mostly the VM compiling the path; the steady state comes after a
  // warm-up that is not counted.
  const double firstRequests = Seconds(kKeyRuns, false, byKey);
  Seconds(kKeyWarmUp, false, byKey);
  const double steady = Seconds(kKeyRuns, false, byKey);
  if (cell != "alpha" + std::to_string(key)) {
    std::fprintf(stderr, "%s: the key search gave %s\n", t.source, cell.c_str());
    return false;
  }
  const auto plainKey = [&](int runs) {
    return std::atof(Run(std::string("jdbc_plain('") + t.source + "', '" + t.url + "', '" + t.user + "', '" + t.password +
                         "', 'SELECT * FROM t WHERE id = 4242', " + std::to_string(runs) + ", false)")
                         .c_str()) / 1e3;
  };
  const double plainFirst = plainKey(kKeyRuns);
  plainKey(kKeyWarmUp);
  const double plainSteady = plainKey(kKeyRuns);
  std::printf("%-10s one row by key, mean of %d requests: first ones: connector %.1f us per script request, plain JDBC "
              "%.1f us per query; after %d more: connector %.1f us, plain JDBC %.1f us\n",
              t.source, kKeyRuns, firstRequests * 1e6, plainFirst, kKeyWarmUp, steady * 1e6, plainSteady);
  return true;
}

// A server root with the connector, SQLite's and PostgreSQL's drivers and the bench's tags.
// JDBC_BENCH_VM_OPTIONS, when set, is added to the VM options (for a profiler's needs, such as
// -XX:+PreserveFramePointer); JDBC_BENCH_COLUMN_CACHE=yes keeps discovered columns, as
// `quill serve` does by default (`run` asks each time). The outage measurement keeps the default
// connect timeout it is about; elsewhere a first login that a VM compiling the driver on a
// loaded machine stretches past that default must not fail the fill.
std::optional<qjapi_test::StartedServer> StartServer(std::string vmOptions, bool patientLogin = true) {
  if (const char* more = std::getenv("JDBC_BENCH_VM_OPTIONS")) vmOptions += std::string(" ") + more;
  const char* cacheSetting = std::getenv("JDBC_BENCH_COLUMN_CACHE");
  const char* cache = cacheSetting != nullptr ? cacheSetting : "no";
  const auto start = [&](std::initializer_list<std::pair<const char*, const char*>> preferences) {
    return qjapi_test::StartServerInTempRoot(
        "qjapi-jdbc-bench-", QJAPI_MODULE, {QJAPI_JAR, JDBC_CONNECTOR_JAR, PLAIN_BENCH_JAR}, nullptr,
        {{"JavaLibraries", HIKARI_JAR}, {"JavaLibraries", SLF4J_API_JAR}, {"JavaLibraries", SLF4J_BINDING_JAR},
         {"JDBCDrivers", SQLITE_JDBC_JAR}, {"JDBCDrivers", SQLITE_JDBC_NATIVE}, {"JDBCDrivers", POSTGRESQL_JDBC_JAR}},
        vmOptions.c_str(), preferences);
  };
  if (!patientLogin) return start({{"java_column_cache", cache}});
  return start({{"java_column_cache", cache}, {"jdbc_connect_timeout", "60000"}});
}

// The resident set of the process, KiB.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

double Elapsed(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Heap kept alive by one search (KiB, see heap_watch), its time, and its output.
struct Watched {
  long heapKiB;
  double seconds;
  std::string output;
};

Watched Watch(const std::string& script) {
  Run("heap_watch('start')");
  const auto start = std::chrono::steady_clock::now();
  Watched w{0, 0, Run(script)};
  w.seconds = Elapsed(start);
  w.heapKiB = std::atol(Run("heap_watch('stop')").c_str());
  return w;
}

bool MeasureMemory(const char* source, const std::string& fillBig, const std::string& fillSmall) {
  const std::string on = std::string("-source='") + source + "', -database='bench'";
  for (const auto& [table, fill] : {std::pair{"big", fillBig}, std::pair{"small", fillSmall}}) {
    Run("db_statement(" + on + ", -sql='DROP TABLE IF EXISTS " + table + "')");
    Run("db_statement(" + on + ", -sql='CREATE TABLE " + table + " (id INTEGER PRIMARY KEY, a TEXT, b TEXT)')");
    const std::string filled = Run("db_statement(" + on + ", -sql=\"" + fill + "\") => { action_code() action_message() }");
    if (filled != "0") {
      std::fprintf(stderr, "%s: filling %s failed: %s\n", source, table, filled.c_str());
      return false;
    }
  }
  for (const char* table : {"small", "big"}) {
    const std::string search = "db_search(" + on + ", -table='" + std::string(table) +
                               "', -max=10) => { found_count() '/' row_count() }";
    Watch(search);  // warm-up
    const Watched w = Watch(search);
    std::printf("%-10s -max=10 over %-6s %-14s %8.1f ms, heap kept %7ld KiB\n", source, table, w.output.c_str(),
                w.seconds * 1e3, w.heapKiB);
  }
  const long rssBefore = ResidentKiB();
  const Watched all = Watch("db_search(" + on + ", -table='big') => { row_count() }");
  std::printf("%-10s full read of big: %s rows, %8.1f ms, heap kept %7ld KiB, resident set %+ld KiB\n", source,
              all.output.c_str(), all.seconds * 1e3, all.heapKiB, ResidentKiB() - rssBefore);
  return true;
}

// A server that is down: its own requests one after another, then four threads of them while a
// SQLite request is timed.
void MeasureOutage(qjapi_test::PgCluster& cluster) {
  const std::string pg = "db_search(-source='PostgreSQL', -database='bench', -table='small', -max=1) => "
                         "{ action_code() }";
  const std::string lite = "db_search(-source='SQLite', -database='bench', -table='small', -max=1) => "
                           "{ action_code() }";
  Run(pg);
  Run(lite);
  double liteIdle = 1e30;
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    Run(lite);
    liteIdle = std::min(liteIdle, Elapsed(start));
  }
  cluster.Stop();
  for (int i = 1; i <= 4; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const std::string code = Run(pg);
    std::printf("PostgreSQL down: request %d answered %s in %7.1f ms\n", i, code.c_str(), Elapsed(start) * 1e3);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> pgRequests{0};
  std::vector<std::thread> load;
  for (int t = 0; t < 4; ++t) {
    load.emplace_back([&] {
      while (!stop) {
        Run(pg);
        ++pgRequests;
      }
    });
  }
  double liteWorst = 0;
  const auto window = std::chrono::steady_clock::now();
  while (Elapsed(window) < 6) {
    const auto start = std::chrono::steady_clock::now();
    Run(lite);
    liteWorst = std::max(liteWorst, Elapsed(start));
  }
  stop = true;
  for (auto& thread : load) thread.join();
  std::printf("PostgreSQL down, 4 threads of its requests for 6 s: %d answered; a SQLite search meanwhile took at "
              "most %.1f ms (fastest when idle %.1f ms)\n",
              pgRequests.load(), liteWorst * 1e3, liteIdle * 1e3);
}

int MemoryAndOutage(bool memory) {
  qjapi_test::PgCluster cluster;
  const std::string pgMissing = cluster.Start();
  const auto server = StartServer("-Xms512m -Xmx512m -Xmn16m", memory);
  if (!server || server->entryResult != 1 || !pgMissing.empty()) {
    std::fprintf(stderr, "The module or the PostgreSQL cluster did not start. %s\n", pgMissing.c_str());
    return 1;
  }
  const auto sqliteFill = [](int rows) {
    return "INSERT INTO t WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < " +
           std::to_string(rows) + ") SELECT x, 'alpha' || x, 'beta' || x FROM s";
  };
  const auto pgFill = [](int rows) {
    return "INSERT INTO t SELECT x, 'alpha' || x, 'beta' || x FROM generate_series(1, " + std::to_string(rows) + ") x";
  };
  const auto into = [](std::string fill, const char* table) { return fill.replace(fill.find(" t "), 3, std::string(" ") + table + " "); };
  quill_service::AddDataSourceHost("PostgreSQL", cluster.url(), qjapi_test::PgCluster::kUser,
                                   qjapi_test::PgCluster::kPassword);
  // The outage run keeps the default connect timeout, which a VM that has not compiled the
  // driver's login yet can outlast on a loaded machine: the first login is tried again, after the
  // wait the connector keeps between tries of a host that failed.
  for (int tries = 1; tries < 10 && Run("db_statement(-source='PostgreSQL', -database='postgres', -sql='SELECT 1') => "
                                         "{ action_code() }") != "0";
       ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  }
  Run("db_statement(-source='PostgreSQL', -database='postgres', -sql='CREATE DATABASE bench')");
  Run("db_statement(-source='PostgreSQL', -database='bench', -sql='CREATE SCHEMA quill')");
  bool ok = true;
  if (memory) {
    ok = MeasureMemory("SQLite", into(sqliteFill(1000000), "big"), into(sqliteFill(10000), "small")) && ok;
    ok = MeasureMemory("PostgreSQL", into(pgFill(1000000), "big"), into(pgFill(10000), "small")) && ok;
  } else {
    for (const char* source : {"SQLite", "PostgreSQL"}) {
      const std::string on = std::string("-source='") + source + "', -database='bench'";
      Run("db_statement(" + on + ", -sql='CREATE TABLE small (id INTEGER PRIMARY KEY, a TEXT)')");
    }
    MeasureOutage(cluster);
  }
  cluster.Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(server->root, ignored);
  std::fflush(stdout);
  std::_Exit(ok ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "memory") == 0 || std::strcmp(argv[1], "outage") == 0)) {
    return MemoryAndOutage(std::strcmp(argv[1], "memory") == 0);
  }
  qjapi_test::PgCluster cluster;
  const std::string pgMissing = cluster.Start();
  const auto server = StartServer("-Xms512m -Xmx512m");  // a fixed heap: no run pays for faulting in pages
  if (!server || server->entryResult != 1) {
    std::fprintf(stderr, "The module did not start.\n");
    return 1;
  }
  const char* sqliteFill =
      "INSERT INTO t WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < 100000) "
      "SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM s";
  const bool keys = !(argc > 1 && std::strcmp(argv[1], "rows") == 0);
  const char* only = std::getenv("JDBC_BENCH_ONLY");
  const auto measured = [only](const char* source) { return only == nullptr || std::strcmp(only, source) == 0; };
  bool ok = !measured("SQLite") ||
            Measure({"SQLite", "jdbc:sqlite:" + (server->root / "jdbc-data" / "bench.db").string(), "", "", sqliteFill},
                    keys);
  if (measured("PostgreSQL") && pgMissing.empty()) {
    quill_service::AddDataSourceHost("PostgreSQL", cluster.url(), qjapi_test::PgCluster::kUser,
                                     qjapi_test::PgCluster::kPassword);
    Run("db_statement(-source='PostgreSQL', -database='postgres', -sql='CREATE DATABASE bench')");
    Run("db_statement(-source='PostgreSQL', -database='bench', -sql='CREATE SCHEMA quill')");
    ok = Measure({"PostgreSQL", cluster.url() + "bench", qjapi_test::PgCluster::kUser, qjapi_test::PgCluster::kPassword,
                  "INSERT INTO t SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM generate_series(1, 100000) x"},
                 keys) &&
         ok;
  } else if (measured("PostgreSQL")) {
    std::fprintf(stderr, "PostgreSQL not measured: %s\n", pgMissing.c_str());
  }
  cluster.Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(server->root, ignored);
  std::fflush(stdout);
  std::_Exit(ok ? 0 : 1);
}
