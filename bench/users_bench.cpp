// What users and rights cost: a wrong password for a user that exists against one for a name that
// does not (the two must take the same time, or names can be guessed by timing), a password
// already proven right, and the rights check a request makes with and without rights in force.
// After the table it prints the unknown/known ratio of the wrong-password checks (CPU time).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "host/qcapi.h"
#include "service/core/host.h"
#include "service/core/rights.h"
#include "service/core/users.h"

namespace {

using namespace quill_service;

void BM_WrongPasswordKnownUser(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(CheckPassword("ann", "wrong"));
}
void BM_WrongPasswordUnknownUser(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(CheckPassword("nobody", "wrong"));
}
void BM_ProvenPassword(benchmark::State& state) {
  CheckPassword("ann", "secret");
  for (auto _ : state) benchmark::DoNotOptimize(CheckPassword("ann", "secret"));
}
void BM_RightsCheckNoneInForce(benchmark::State& state) {
  RevokeRight("ann", QUILL_OP_READ, "db:csv/shop/*");
  for (auto _ : state) benchmark::DoNotOptimize(ServerAllows("ann", QUILL_OP_READ, "db:csv/shop/items"));
}
void BM_RightsCheckGranted(benchmark::State& state) {
  GrantRight("ann", QUILL_OP_READ, "db:csv/shop/*");
  for (auto _ : state) benchmark::DoNotOptimize(ServerAllows("ann", QUILL_OP_READ, "db:csv/shop/items"));
}
BENCHMARK(BM_WrongPasswordKnownUser)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_WrongPasswordUnknownUser)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ProvenPassword)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RightsCheckNoneInForce)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RightsCheckGranted)->Unit(benchmark::kMicrosecond);

class CpuTimes : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpu;
};

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "qjapi-users-bench";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  Host::Start({root.string(), 1, {}});
  if (SetUser("ann", "secret", false) != QUILL_OK) return 1;
  benchmark::Initialize(&argc, argv);
  CpuTimes reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double known = reporter.cpu["BM_WrongPasswordKnownUser/iterations:20"];
  const double unknown = reporter.cpu["BM_WrongPasswordUnknownUser/iterations:20"];
  if (known > 0) std::printf("wrong password, unknown/known user (CPU time): %.2f\n", unknown / known);
  std::filesystem::remove_all(root);
  return 0;
}
