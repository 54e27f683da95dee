// The JDBC connector benchmark, run by hand (`build/bin/jdbc_bench`), never as a test. On SQLite
// and on a private PostgreSQL cluster it starts itself:
//  (a) a search returning 100,000 rows of three text columns, end to end from a script (the
//      server writes the SELECT, the connector runs it, every row crosses the bridge), against
//      plain JDBC running the same query in the same VM with the same driver;
//  (b) a one-row search by key, one script request each, against plain JDBC's query on an open
//      connection.
// docs/performance.md records the figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "service/datasource/host_store.h"
#include "service/script/script.h"
#include "tests/jdbc/pg_cluster.h"
#include "tests/vm_server.h"

namespace {

constexpr int kRows = 100000;

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

struct Target {
  const char* source;
  std::string url;  // of the database "bench"
  std::string user, password;
  const char* fill;
};

bool Measure(const Target& t) {
  const std::string on = std::string("-source='") + t.source + "', -database='bench'";
  Run("db_statement(" + on + ", -sql='DROP TABLE IF EXISTS t')");
  Run("db_statement(" + on + ", -sql='CREATE TABLE t (id INTEGER PRIMARY KEY, a TEXT, b TEXT, c TEXT)')");
  const std::string filled = Run("db_statement(" + on + ", -sql=\"" + t.fill + "\") => { action_code() action_message() }");
  if (filled != "0") {
    std::fprintf(stderr, "%s: filling the table failed: %s\n", t.source, filled.c_str());
    return false;
  }
  const std::string search = "db_search(" + on + ", -table='t', -select='a', -select='b', -select='c') => { row_count() }";
  std::string rows;
  const double connector = Seconds(7, true, [&] { rows = Run(search); });
  if (rows != std::to_string(kRows)) {
    std::fprintf(stderr, "%s: the search gave %s\n", t.source, rows.c_str());
    return false;
  }
  const std::string plainText = Run(std::string("jdbc_plain('") + t.source + "', '" + t.url + "', '" + t.user +
                                    "', '" + t.password + "', 'SELECT \"a\",\"b\",\"c\" FROM t', 7, true)");
  const double plain = std::atof(plainText.c_str()) / 1e9;
  if (plain <= 0) {
    std::fprintf(stderr, "%s: plain JDBC failed: %s\n", t.source, plainText.c_str());
    return false;
  }
  std::printf("%-10s 100,000 rows x 3 (fastest of 7): connector %7.1f ms (%9.0f rows/s), plain JDBC %7.1f ms (%9.0f rows/s): %.2fx\n",
              t.source, connector * 1e3, kRows / connector, plain * 1e3, kRows / plain, plain / connector);

  int key = 0;
  std::string cell;
  const double byKey = Seconds(2000, false, [&] {
    key = key % kRows + 1;
    cell = Run("db_search(" + on + ", -table='t', -key='id', -key_value=" + std::to_string(key) + ") => { field('a') }");
  });
  if (cell != "alpha" + std::to_string(key)) {
    std::fprintf(stderr, "%s: the key search gave %s\n", t.source, cell.c_str());
    return false;
  }
  const std::string plainKey = Run(std::string("jdbc_plain('") + t.source + "', '" + t.url + "', '" + t.user + "', '" +
                                   t.password + "', 'SELECT * FROM t WHERE id = 4242', 2000, false)");
  std::printf("%-10s one row by key: connector %.1f us per script request, plain JDBC %.1f us per query\n", t.source,
              byKey * 1e6, std::atof(plainKey.c_str()) / 1e3);
  return true;
}

}  // namespace

int main() {
  qjapi_test::PgCluster cluster;
  const std::string pgMissing = cluster.Start();
  const auto server = qjapi_test::StartServerInTempRoot(
      "qjapi-jdbc-bench-", QJAPI_MODULE, {QJAPI_JAR, JDBC_CONNECTOR_JAR, PLAIN_BENCH_JAR}, nullptr,
      {{"JavaLibraries", HIKARI_JAR}, {"JavaLibraries", SLF4J_API_JAR}, {"JavaLibraries", SLF4J_NOP_JAR},
       {"JDBCDrivers", SQLITE_JDBC_JAR}, {"JDBCDrivers", SQLITE_JDBC_NATIVE}, {"JDBCDrivers", POSTGRESQL_JDBC_JAR}},
      "-Xms512m -Xmx512m");  // a fixed heap: no run pays for faulting in pages of a growing one
  if (!server || server->entryResult != 1) {
    std::fprintf(stderr, "The module did not start.\n");
    return 1;
  }
  const char* sqliteFill =
      "INSERT INTO t WITH RECURSIVE s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < 100000) "
      "SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM s";
  bool ok = Measure({"SQLite", "jdbc:sqlite:" + (server->root / "jdbc-data" / "bench.db").string(), "", "", sqliteFill});
  if (pgMissing.empty()) {
    quill_service::AddDataSourceHost("PostgreSQL", cluster.url(), qjapi_test::PgCluster::kUser,
                                     qjapi_test::PgCluster::kPassword);
    Run("db_statement(-source='PostgreSQL', -database='postgres', -sql='CREATE DATABASE bench')");
    Run("db_statement(-source='PostgreSQL', -database='bench', -sql='CREATE SCHEMA quill')");
    ok = Measure({"PostgreSQL", cluster.url() + "bench", qjapi_test::PgCluster::kUser, qjapi_test::PgCluster::kPassword,
                  "INSERT INTO t SELECT x, 'alpha' || x, 'beta' || x, 'gamma' || x FROM generate_series(1, 100000) x"}) &&
         ok;
  } else {
    std::fprintf(stderr, "PostgreSQL not measured: %s\n", pgMissing.c_str());
  }
  cluster.Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(server->root, ignored);
  std::fflush(stdout);
  std::_Exit(ok ? 0 : 1);
}
