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

  TempDir dir;
};

TEST_F(StorageTest, NewDatabaseHasGlobalPrefsAndRowsComeBackInOrderWithNulls) {
  ASSERT_EQ(Run("INSERT INTO global_prefs VALUES ('java_qjapi_enabled', 'Yes'), ('java_lib_path', NULL)"), 0);
  StorageManager::Rows rows;
  CharBuffer first("stale");
  ASSERT_EQ(Run("SELECT store_key, data, 7 FROM global_prefs ORDER BY store_key", &rows, &first), 0);
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[0].size(), 3u);
  EXPECT_EQ(rows[0][0]->str(), "java_lib_path");
  EXPECT_EQ(rows[0][1], nullptr);
  EXPECT_EQ(rows[0][2]->str(), "7");
  EXPECT_EQ(rows[1][1]->str(), "Yes");
  EXPECT_EQ(first.str(), "java_lib_path");

  // Rows are appended to what the caller already holds.
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'java_qjapi_enabled'", &rows, nullptr), 0);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2][0]->str(), "Yes");
  StorageManager::KillRows(&rows);
  EXPECT_TRUE(rows.empty());
  StorageManager::KillRows(nullptr);
}

TEST_F(StorageTest, OutReceivesNullAsEmptyAndNoRowLeavesRowsEmpty) {
  ASSERT_EQ(Run("INSERT INTO global_prefs VALUES ('k', NULL)"), 0);
  CharBuffer out("stale");
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'k'", nullptr, &out), 0);
  EXPECT_TRUE(out.IsEmpty());
  StorageManager::Rows rows;
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'none'", &rows, nullptr), 0);
  EXPECT_TRUE(rows.empty());
  // Blobs and text keep embedded zero bytes.
  ASSERT_EQ(Run("SELECT x'610062'", &rows, nullptr), 0);
  EXPECT_EQ(rows.at(0).at(0)->str(), std::string("a\0b", 3));
  StorageManager::KillRows(&rows);
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
  EXPECT_EQ(Run("CREATE TABLE t (a); INSERT INTO t VALUES (1); SELECT a FROM t", &rows, &out), 0);
  EXPECT_EQ(out.str(), "1");
  StorageManager::KillRows(&rows);
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
  ASSERT_EQ(quill_service::SetPreference("java_vm_options", std::string("-Xcheck:jni -Xmx64m")), 0);
  ASSERT_EQ(quill_service::SetPreference("java_qjapi_enabled", std::nullopt), 0);
  CharBuffer out;
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'java_vm_options'", nullptr, &out), 0);
  EXPECT_EQ(out.str(), "-Xcheck:jni -Xmx64m");
  StorageManager::Rows rows;
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'java_qjapi_enabled'", &rows, nullptr), 0);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], nullptr);
  StorageManager::KillRows(&rows);
  ASSERT_EQ(quill_service::RemovePreference("java_qjapi_enabled"), 0);
  ASSERT_EQ(Run("SELECT data FROM global_prefs WHERE store_key = 'java_qjapi_enabled'", &rows, nullptr), 0);
  EXPECT_TRUE(rows.empty());
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
