// The data-source benchmark, run by hand (`build/bin/datasource_bench`), never as a test:
//  (a) one search action on a source that finds nothing, on a worker thread the VM does not know,
//      against its JNI floor (attach, AllocObject, NewObject, SetIntField, CallIntMethod,
//      detach);
//  (b) a search returning 100,000 rows of three short text cells through addResultRow(String[]),
//      against a raw JNI loop that hands the same strings to a C function (GetStringUTFChars and
//      release per cell).
//  (c) a search of 100,000 rows of three short text cells on a SQLite table through the fixture
//      connector (tests/fixtures/java/connector: the module writes the SELECT, the connector runs
//      it through the SQLite JDBC driver and hands each row to addResultRow), against the same
//      query run with plain JDBC in the same VM, every cell read as a String.
// Each prints its ratio and target at the end; docs/performance.md records the figures.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <jni.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "host/datasource.h"
#include "service/core/current_request.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/datasource/inline_action.h"
#include "service/values/request_data.h"
#include "tests/cleanup_on_exit.h"

namespace fs = std::filesystem;

namespace {

constexpr jint kJniVersion = JNI_VERSION_1_2;
JavaVM* gVm = nullptr;

struct FloorRefs {
  jclass quillCall = nullptr;
  jfieldID nativeRef = nullptr;
  jclass quillValue = nullptr;
  jmethodID quillValueCtor = nullptr;
  jclass source = nullptr;
  jobject sourceInstance = nullptr;
  jmethodID nothing = nullptr;
  jobjectArray rows = nullptr;  // BenchSource.ROWS
  jmethodID plainJdbc = nullptr;  // BenchSource.plainJdbc(url, sql)
} gFloor;

constexpr int kSqliteRows = 100000;
std::string gSqliteUrl;  // jdbc:sqlite:<folder>/main.db, the database the connector searches

// One action on a registered source, the way the host's engine runs it: a fresh inline action on
// the request, the source's operation, the results dropped.
class HostAction {
 public:
  explicit HostAction(const char* sourceName) : source_(DataSourceRegistry::Global().Find(sourceName)) {
    quill_service::SetCurrentRequest(&request_);
  }
  ~HostAction() { quill_service::SetCurrentRequest(nullptr); }
  bool found() const { return source_ != nullptr; }
  size_t Search() {
    request_.SwapParams("");
    request_.GetInline(nullptr)->params.input.table = "items";
    const osError code = source_->Search(&request_);
    const size_t rows = request_.GetInline(nullptr)->params.output.rows.size();
    request_.UnSwapParams("");
    return code == 0 ? rows : static_cast<size_t>(-1);
  }

 private:
  Request request_;
  DataSource* source_;
};

bool ThreadAttached() {
  void* env = nullptr;
  return gVm->GetEnv(&env, kJniVersion) == JNI_OK && env != nullptr;
}

// ---- (a) ----

void BM_EmptySearch_FreshAttach(benchmark::State& state) {
  HostAction action("bench_empty_ds");
  if (!action.found() || ThreadAttached()) {
    state.SkipWithError("bench_empty_ds is not registered, or the thread is attached");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(action.Search());
  state.SetItemsProcessed(state.iterations());
}

void BM_SearchFloor_FreshAttach(benchmark::State& state) {
  const FloorRefs& f = gFloor;
  for (auto _ : state) {
    void* probe = nullptr;
    benchmark::DoNotOptimize(gVm->GetEnv(&probe, kJniVersion));
    JNIEnv* env = nullptr;
    gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    jobject call = env->AllocObject(f.quillCall);
    jobject value = env->NewObject(f.quillValue, f.quillValueCtor);
    env->SetIntField(call, f.nativeRef, 1);
    benchmark::DoNotOptimize(env->CallIntMethod(f.sourceInstance, f.nothing, call, jint{5}, value));
    benchmark::DoNotOptimize(env->ExceptionCheck());
    gVm->DetachCurrentThread();
  }
  state.SetItemsProcessed(state.iterations());
}

// ---- (b) ----

// Times a search of `rows` rows from the source `source`, on a thread kept attached throughout.
void TimeSearch(benchmark::State& state, const char* source, size_t rows) {
  HostAction action(source);
  JavaVMAttachArgs args{kJniVersion, const_cast<char*>("datasource_bench"), nullptr};
  JNIEnv* env = nullptr;
  if (!action.found() || gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    state.SkipWithError((std::string(source) + " is not registered, or no attachment").c_str());
    return;
  }
  for (auto _ : state) {
    if (action.Search() != rows) state.SkipWithError("the search did not return every row");
  }
  gVm->DetachCurrentThread();
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows));
}

void BM_RowsSearch_100k(benchmark::State& state) { TimeSearch(state, "bench_rows_ds", 100000); }

// What the host's side of the floor does with a cell: looks at it, so the loop cannot be dropped.
__attribute__((noinline)) void TakeCell(const char* text, size_t* total) { *total += static_cast<unsigned char>(text[0]); }

void BM_RowsFloor_100k(benchmark::State& state) {
  JavaVMAttachArgs args{kJniVersion, const_cast<char*>("datasource_bench"), nullptr};
  JNIEnv* env = nullptr;
  if (gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    state.SkipWithError("no attachment");
    return;
  }
  const jsize count = env->GetArrayLength(gFloor.rows);
  size_t total = 0;
  for (auto _ : state) {
    for (jsize r = 0; r < count; ++r) {
      auto row = static_cast<jobjectArray>(env->GetObjectArrayElement(gFloor.rows, r));
      const jsize cells = env->GetArrayLength(row);
      for (jsize c = 0; c < cells; ++c) {
        auto cell = static_cast<jstring>(env->GetObjectArrayElement(row, c));
        const char* chars = env->GetStringUTFChars(cell, nullptr);
        TakeCell(chars, &total);
        env->ReleaseStringUTFChars(cell, chars);
        env->DeleteLocalRef(cell);
      }
      env->DeleteLocalRef(row);
    }
  }
  benchmark::DoNotOptimize(total);
  gVm->DetachCurrentThread();
  state.SetItemsProcessed(state.iterations() * count);
}

// ---- (c) ----

void BM_ConnectorSearch_100k(benchmark::State& state) { TimeSearch(state, "fx_sql", kSqliteRows); }

void BM_PlainJdbc_100k(benchmark::State& state) {
  JavaVMAttachArgs args{kJniVersion, const_cast<char*>("datasource_bench"), nullptr};
  JNIEnv* env = nullptr;
  if (gFloor.plainJdbc == nullptr || gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    state.SkipWithError("no plain JDBC method, or no attachment");
    return;
  }
  jstring url = env->NewStringUTF(gSqliteUrl.c_str());
  jstring sql = env->NewStringUTF("SELECT * FROM \"items\";");  // what the module writes for fx_sql
  for (auto _ : state) {
    if (env->CallStaticIntMethod(gFloor.source, gFloor.plainJdbc, url, sql) != kSqliteRows) {
      env->ExceptionDescribe();
      state.SkipWithError("plain JDBC did not read 100,000 rows");
    }
  }
  env->DeleteLocalRef(url);
  env->DeleteLocalRef(sql);
  gVm->DetachCurrentThread();
  state.SetItemsProcessed(state.iterations() * kSqliteRows);
}

// The connector's database: a table of 100,000 rows shaped like BenchSource.ROWS.
bool MakeSqliteTable(const fs::path& file) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db,
                         "CREATE TABLE items (id TEXT, name TEXT, c TEXT);"
                         "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999) "
                         "INSERT INTO items SELECT 'id' || i, 'name ' || (i % 977), 'c' || (i % 13) FROM n;",
                         nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

struct CallTime {
  double real = 0;
  double cpu = 0;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        times_[run.run_name.function_name] = {run.GetAdjustedRealTime() * toNs, run.GetAdjustedCPUTime() * toNs};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::optional<CallTime> PerCall(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? std::nullopt : std::optional<CallTime>(it->second);
  }

 private:
  std::map<std::string, CallTime> times_;
};

void PrintRatio(const char* label, std::optional<CallTime> module, std::optional<CallTime> floor, double target) {
  if (!module || !floor || floor->real <= 0 || floor->cpu <= 0) {
    std::printf("%s = n/a (not measured in this run)\n", label);
    return;
  }
  const double real = module->real / floor->real;
  const double cpu = module->cpu / floor->cpu;
  std::printf("%s = %.2f (target <= %.1f) %s   [real %.0f ns vs %.0f ns; cpu ratio %.2f: %.0f vs %.0f ns]\n", label,
              real, target, real <= target ? "met" : "MISSED", module->real, floor->real, cpu, module->cpu,
              floor->cpu);
}

bool PrepareFloor(JNIEnv* env) {
  FloorRefs& f = gFloor;
  auto global = [env](jobject local) {
    jobject ref = local != nullptr ? env->NewGlobalRef(local) : nullptr;
    env->DeleteLocalRef(local);
    return ref;
  };
  f.quillCall = static_cast<jclass>(global(env->FindClass("com/marrowbay/quillpro/QuillCall")));
  f.quillValue = static_cast<jclass>(global(env->FindClass("com/ferngate/quillpro/QuillValue")));
  f.source = static_cast<jclass>(global(env->FindClass("bench/BenchSource")));
  if (f.quillCall == nullptr || f.quillValue == nullptr || f.source == nullptr) {
    env->ExceptionDescribe();
    return false;
  }
  f.nativeRef = env->GetFieldID(f.quillCall, "nativeRef", "I");
  f.quillValueCtor = env->GetMethodID(f.quillValue, "<init>", "()V");
  f.nothing = env->GetMethodID(f.source, "nothing",
                               "(Lcom/ferngate/quillpro/QuillCall;ILcom/ferngate/quillpro/QuillValue;)I");
  jmethodID ctor = env->GetMethodID(f.source, "<init>", "()V");
  jfieldID rows = env->GetStaticFieldID(f.source, "ROWS", "[[Ljava/lang/String;");
  if (ctor == nullptr || rows == nullptr || f.nothing == nullptr) {
    env->ExceptionDescribe();
    return false;
  }
  f.sourceInstance = global(env->NewObject(f.source, ctor));
  f.rows = static_cast<jobjectArray>(global(env->GetStaticObjectField(f.source, rows)));
  f.plainJdbc = env->GetStaticMethodID(f.source, "plainJdbc", "(Ljava/lang/String;Ljava/lang/String;)I");
  env->ExceptionDescribe();
  return f.quillCall && f.nativeRef && f.quillValueCtor && f.sourceInstance && f.rows;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args{argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true",
                            "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.2"};
  for (std::string& flag : defaults) args.push_back(flag.data());
  args.insert(args.end(), argv + 1, argv + argc);
  int argCount = static_cast<int>(args.size());
  for (const auto& [name, fn] : std::initializer_list<std::pair<const char*, void (*)(benchmark::State&)>>{
           {"BM_EmptySearch_FreshAttach", BM_EmptySearch_FreshAttach},
           {"BM_SearchFloor_FreshAttach", BM_SearchFloor_FreshAttach},
           {"BM_RowsSearch_100k", BM_RowsSearch_100k},
           {"BM_RowsFloor_100k", BM_RowsFloor_100k},
           {"BM_ConnectorSearch_100k", BM_ConnectorSearch_100k},
           {"BM_PlainJdbc_100k", BM_PlainJdbc_100k}}) {
    benchmark::RegisterBenchmark(name, fn)->UseRealTime()->Unit(benchmark::kMicrosecond);
  }
  benchmark::Initialize(&argCount, args.data());
  if (benchmark::ReportUnrecognizedArguments(argCount, args.data())) return 1;

  const fs::path root = fs::temp_directory_path() / ("qjapi-dsbench-" + std::to_string(getpid()));
  fs::remove_all(root);
  qjapi_test::CleanupOnExit::Remove(root.string());
  fs::create_directories(root / "QuillModules");
  for (const char* file : {QJAPI_MODULE, QJAPI_JAR, BENCH_SOURCE_JAR, FIXTURE_CONNECTOR_JAR, SQLITE_JDBC_JAR}) {
    fs::copy_file(file, root / "QuillModules" / fs::path(file).filename());
  }
  // The fixture connector finds its database main.db in QJAPI_SQLITE_DIR.
  if (!MakeSqliteTable(root / "main.db")) std::fprintf(stderr, "datasource_bench: no SQLite table for (c)\n");
  setenv("QJAPI_SQLITE_DIR", root.c_str(), 1);
  gSqliteUrl = "jdbc:sqlite:" + (root / "main.db").string();
  int status = 1;
  quill_service::HostOptions options;
  options.root = root.string();
  options.threads = 1;
  quill_service::Host& host = quill_service::Host::Start(options);
  quill_service::SetPreference("java_vm_options", std::string("-Xms512m -Xmx512m"));
  quill_service::SetPreference("java_lib_path", std::string(SQLITE_JDBC_JNI_DIR));
  int entryResult = 0;
  const bool loaded = host.LoadModule((root / "QuillModules" / fs::path(QJAPI_MODULE).filename()).string(), &entryResult);
  using GetCreatedVMs = jint (*)(JavaVM**, jsize, jsize*);
  auto getVms = reinterpret_cast<GetCreatedVMs>(dlsym(RTLD_DEFAULT, "JNI_GetCreatedJavaVMs"));
  jsize count = 0;
  JNIEnv* startupEnv = nullptr;
  if (loaded && entryResult == 1 && getVms != nullptr && getVms(&gVm, 1, &count) == JNI_OK && count == 1 &&
      gVm->GetEnv(reinterpret_cast<void**>(&startupEnv), kJniVersion) == JNI_OK && PrepareFloor(startupEnv)) {
    RatioReporter reporter;
    std::thread worker([&reporter] {
      {  // warm-up: the JIT and the heap reach their steady state before anything is timed
        HostAction empty("bench_empty_ds");
        for (int i = 0; i < 3000; ++i) empty.Search();
        HostAction rows("bench_rows_ds");
        for (int i = 0; i < 5; ++i) rows.Search();
        HostAction connector("fx_sql");
        for (int i = 0; i < 5; ++i) connector.Search();
        JNIEnv* env = nullptr;
        JavaVMAttachArgs args{kJniVersion, const_cast<char*>("datasource_bench"), nullptr};
        if (gVm->AttachCurrentThread(reinterpret_cast<void**>(&env), &args) == JNI_OK) {
          jstring url = env->NewStringUTF(gSqliteUrl.c_str());
          jstring sql = env->NewStringUTF("SELECT * FROM \"items\";");
          for (int i = 0; i < 5; ++i) env->CallStaticIntMethod(gFloor.source, gFloor.plainJdbc, url, sql);
          env->ExceptionDescribe();
          gVm->DetachCurrentThread();
        }
      }
      benchmark::RunSpecifiedBenchmarks(&reporter);
    });
    worker.join();
    std::printf("\n");
    PrintRatio("ratio (a) empty search, fresh attach", reporter.PerCall("BM_EmptySearch_FreshAttach"),
               reporter.PerCall("BM_SearchFloor_FreshAttach"), 1.1);
    PrintRatio("ratio (b) 100,000 rows of three cells", reporter.PerCall("BM_RowsSearch_100k"),
               reporter.PerCall("BM_RowsFloor_100k"), 1.2);
    PrintRatio("ratio (c) 100,000 SQLite rows, connector / plain JDBC", reporter.PerCall("BM_ConnectorSearch_100k"),
               reporter.PerCall("BM_PlainJdbc_100k"), 1 / 0.75);
    status = 0;
  } else {
    std::fprintf(stderr, "datasource_bench: the module or the benchmark's sources did not load\n");
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);
  std::fflush(stdout);
  std::_Exit(status);
}
