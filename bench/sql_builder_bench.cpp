// The cost of writing a search's SELECT: 10 conditions in two groups, 3 sort columns and 5 return
// columns, and the same search with 100 conditions (the cost must grow linearly). After the
// table it prints the ratio of the two.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <unordered_map>
#include <string>
#include <vector>

#include "datasource/sql_builder.h"
#include "tests/sql_builder/sql_test_support.h"

namespace {

using namespace datasource;

// Discovered columns found by hashing, as a host's output parameters would find them.
class HashedTypes final : public ColumnTypes {
 public:
  void Add(const std::string& name, int32_t type) {
    byName_.emplace(name, type);
    byPosition_.push_back(type);
  }
  bool TypeOfName(std::string_view name, NameForm, int32_t* type) const override {
    const auto found = byName_.find(name);
    if (found == byName_.end()) return false;
    *type = found->second;
    return true;
  }
  bool TypeAt(std::size_t position, int32_t* type) const override {
    if (position >= byPosition_.size()) return false;
    *type = byPosition_[position];
    return true;
  }

 private:
  std::unordered_map<std::string_view, int32_t> byName_;
  std::vector<int32_t> byPosition_;
};

struct Search {
  std::vector<std::string> names;
  std::vector<std::string> values;
  ActionInput input;
  HashedTypes types;
};

// Two groups, an OR group and an AND group, sharing the conditions half and half; operators and
// values of every form.
Search MakeSearch(int conditions) {
  static const int32_t kOps[] = {code::kEquals, code::kBeginsWith, code::kGreater,
                                 code::kContains, code::kInList, code::kNotEquals};
  Search s;
  s.names.reserve(conditions);
  s.values.reserve(conditions);
  for (int i = 0; i < conditions; ++i) {
    s.names.push_back("column_" + std::to_string(i));
    s.values.push_back(i % 3 == 0 ? "O'Brien" : std::to_string(1000 + i));
    s.types.Add(s.names.back(), i % 2 ? code::kLong : QUILL_TYPE_TEXT);
  }
  ActionInput& in = s.input;
  in.database = {0, "sales"};
  in.table = {0, "orders"};
  in.schema = {0, ""};
  in.hostLogin = {0, ""};
  for (int i = 0; i < conditions; ++i) {
    if (i == 0) in.inputColumns.push_back({"opbegin", "or", code::kEquals});
    if (i == conditions / 2) {
      in.inputColumns.push_back({"opend", std::nullopt, code::kEquals});
      in.inputColumns.push_back({"opbegin", "and", code::kEquals});
    }
    in.inputColumns.push_back({s.names[i], s.values[i], kOps[i % 6]});
  }
  in.inputColumns.push_back({"opend", std::nullopt, code::kEquals});
  in.returnColumns = {"id", "customer", "total", "placed", "status"};
  in.sortColumns = {{"placed", 1}, {"customer", 0}, {"id", 0}};
  return s;
}

ConnectorSettings Settings(bool converts) {
  ConnectorSettings settings;
  settings.quote = "\"";
  settings.terminator = ";";
  settings.supportsConvert = converts;
  return settings;
}

void BuildSelect(benchmark::State& state, bool converts) {
  const Search search = MakeSearch(static_cast<int>(state.range(0)));
  const ConnectorSettings settings = Settings(converts);
  sql_test::MissedColumns missed;
  size_t bytes = 0;
  for (auto _ : state) {
    SqlBuilder builder(settings, &search.types, &missed);
    Statement s = builder.Select(search.input);
    bytes = s.text.size();
    benchmark::DoNotOptimize(s.text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_Select(benchmark::State& state) { BuildSelect(state, true); }
// With discovered types: every condition looks its column up.
void BM_Select_Discovered(benchmark::State& state) { BuildSelect(state, false); }

BENCHMARK(BM_Select)->Arg(10)->Arg(100);
BENCHMARK(BM_Select_Discovered)->Arg(10)->Arg(100);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // One figure per benchmark: the run itself, or the median of its repetitions.
      const std::string name = run.run_name.str();
      if ((run.run_type == Run::RT_Iteration && !cpu.count(name)) || run.aggregate_name == "median") {
        cpu[name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpu;
};


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* name : {"BM_Select", "BM_Select_Discovered"}) {
    const double ten = reporter.cpu[std::string(name) + "/10"];
    const double hundred = reporter.cpu[std::string(name) + "/100"];
    if (ten > 0 && hundred > 0) {
      std::printf("%s: 100 conditions take %.2fx the CPU time of 10 (target <= 10)\n", name,
                  hundred / ten);
    }
  }
  return 0;
}
