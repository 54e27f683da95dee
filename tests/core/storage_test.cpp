#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/storage.h"
#include "service/core/internal_db.h"
#include "test_support.h"

namespace {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(quill_service::OpenInternalDatabase(dir / "quill_internal.db"), 0); }
  void TearDown() override { quill_service::CloseInternalDatabase(); }

  osError Run(const std::string& sql, StorageManager::Rows* rows = nullptr, CharBuffer* out = nullptr) {
    return StorageManager::Execute("quill_internal", sql.c_str(), rows, out);
  }
  // Every row of a query as "a,b;c,NULL"; a failing query gives "error" and whatever rows it left.
  std::string Table(const std::string& sql) {
    StorageManager::Rows rows;
    std::string text = Run(sql, &rows) == 0 ? "" : "error";
    for (size_t r = 0; r < rows.size(); ++r) {
      for (size_t c = 0; c < rows[r].size(); ++c) {
        text += (c > 0 ? "," : r > 0 ? ";" : "") + (rows[r][c] ? rows[r][c]->str() : std::string("NULL"));
      }
    }
    StorageManager::KillRows(&rows);
    return text;
  }

  TempDir dir;
};

TEST_F(StorageTest, RowsComeBackInOrderWithNullsAndAreAppendedToTheCallersRows) {
  ASSERT_EQ(Run("INSERT INTO global_prefs VALUES ('java_qjapi_enabled', 'Yes'), ('java_lib_path', NULL)"), 0);
  EXPECT_EQ(Table("SELECT store_key, data, 7 FROM global_prefs ORDER BY store_key"),
            "java_lib_path,NULL,7;java_qjapi_enabled,Yes,7");
  EXPECT_EQ(Table("SELECT data FROM global_prefs WHERE store_key = 'none'"), "");
  EXPECT_EQ(Table("SELECT x'610062'"), std::string("a\0b", 3));  // blobs keep zero bytes

  // out receives the first column of the first row, NULL as empty.
  StorageManager::Rows rows;
  CharBuffer out("stale");
  ASSERT_EQ(Run("SELECT store_key FROM global_prefs ORDER BY store_key", &rows, &out), 0);
  EXPECT_EQ(out.str(), "java_lib_path");
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'java_lib_path'", &rows, &out), 0);
  EXPECT_TRUE(out.IsEmpty());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2][0], nullptr);
  StorageManager::KillRows(&rows);
  EXPECT_TRUE(rows.empty());
  StorageManager::KillRows(nullptr);
}

TEST_F(StorageTest, FailuresGiveNegativeCodesAndLeaveOutputsAlone) {
  StorageManager::Rows rows;
  CharBuffer out("kept");
  EXPECT_LT(Run("SELEC nothing", &rows, &out), 0);
  EXPECT_LT(Run("SELECT * FROM no_such_table", &rows, &out), 0);
  EXPECT_LT(StorageManager::Execute("other_db", "SELECT 1", &rows, &out), 0);
  EXPECT_LT(StorageManager::Execute(nullptr, "SELECT 1", &rows, &out), 0);
  EXPECT_LT(StorageManager::Execute("quill_internal", nullptr, &rows, &out), 0);
  // A later statement failing takes back the rows of the earlier ones.
  EXPECT_LT(Run("SELECT 1; SELECT * FROM no_such_table", &rows, &out), 0);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(out.str(), "kept");
  // Several statements in one text all run.
  EXPECT_EQ(Table("CREATE TABLE t (a); INSERT INTO t VALUES (1); SELECT a FROM t"), "1");
}

TEST_F(StorageTest, DamagedDatabasesFailEveryQuery) {
  // A file that is not a database.
  dir.Write("junk.db", std::string(4096, 'x'));
  std::string error;
  EXPECT_LT(quill_service::OpenInternalDatabase(dir / "junk.db", &error), 0);
  EXPECT_FALSE(error.empty());
  EXPECT_LT(Run("SELECT data FROM global_prefs"), 0);

  // An existing database without the table keeps lacking it.
  ASSERT_EQ(quill_service::OpenInternalDatabase(dir / "empty.db"), 0);
  ASSERT_EQ(Run("DROP TABLE global_prefs"), 0);
  ASSERT_EQ(quill_service::OpenInternalDatabase(dir / "empty.db"), 0);
  EXPECT_LT(Run("SELECT data FROM global_prefs"), 0);

  quill_service::CloseInternalDatabase();
  EXPECT_LT(Run("SELECT 1"), 0);
}

TEST_F(StorageTest, PreferencesWrittenByTheHost) {
  ASSERT_EQ(quill_service::SetPreference("java_vm_options", std::string("-Xmx8m")), 0);
  ASSERT_EQ(quill_service::SetPreference("java_vm_options", std::string("-Xcheck:jni -Xmx64m")), 0);  // replaces
  ASSERT_EQ(quill_service::SetPreference("java_qjapi_enabled", std::nullopt), 0);
  const std::string all = "SELECT store_key, data FROM global_prefs ORDER BY store_key";
  EXPECT_EQ(Table(all), "java_qjapi_enabled,NULL;java_vm_options,-Xcheck:jni -Xmx64m");
  ASSERT_EQ(quill_service::RemovePreference("java_qjapi_enabled"), 0);
  EXPECT_EQ(Table(all), "java_vm_options,-Xcheck:jni -Xmx64m");
}

TEST_F(StorageTest, PreferenceDefaultsLiveOnlyInTheProcess) {
  ASSERT_EQ(quill_service::SetPreference("stored", std::string("kept")), 0);
  ASSERT_EQ(quill_service::SetPreferenceDefault("stored", "default"), 0);
  ASSERT_EQ(quill_service::SetPreferenceDefault("missing", "first"), 0);
  ASSERT_EQ(quill_service::SetPreferenceDefault("missing", "second"), 0);  // replaces the first
  EXPECT_EQ(Table("SELECT store_key, data FROM temp.preference_defaults ORDER BY store_key"),
            "missing,second;stored,default");
  EXPECT_EQ(Table("SELECT store_key, data FROM global_prefs ORDER BY store_key"), "stored,kept");
  // Reopened, the file holds only what was stored.
  ASSERT_EQ(quill_service::OpenInternalDatabase(dir / "quill_internal.db"), 0);
  EXPECT_EQ(Table("SELECT count(*) FROM sqlite_temp_master"), "0");
  EXPECT_EQ(Table("SELECT store_key, data FROM global_prefs"), "stored,kept");
}

TEST_F(StorageTest, ConcurrentExecuteFromFourThreads) {
  ASSERT_EQ(Run("CREATE TABLE counts (thread INTEGER, n INTEGER)"), 0);
  constexpr int kThreads = 4, kRounds = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        StorageManager::Rows rows;
        CharBuffer out;
        const std::string insert = "INSERT INTO counts VALUES (" + std::to_string(t) + ", " + std::to_string(i) + ")";
        const std::string count = "SELECT count(*) FROM counts WHERE thread = " + std::to_string(t);
        if (Run(insert) != 0 || Run(count, &rows, &out) != 0 || out.str() != std::to_string(i + 1)) ++failures;
        StorageManager::KillRows(&rows);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  CharBuffer total;
  ASSERT_EQ(Run("SELECT count(*) FROM counts", nullptr, &total), 0);
  EXPECT_EQ(total.str(), std::to_string(kThreads * kRounds));
}

}  // namespace
