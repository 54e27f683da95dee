#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/core/log.h"
#include "service/core/worker_pool.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    quill_service::ClearLog();
    quill_service::SetLogSink([this](const quill_service::LogLine& line) { sunk.push_back(line); });
  }
  void TearDown() override { quill_service::ResetLogSink(); }
  std::vector<quill_service::LogLine> sunk;
};

// Lines are formatted like printf, lose their trailing line break, and reach the sink. Text from
// outside must not make a line of its own or reach a terminal as a control sequence.
TEST_F(LogTest, FormatsLikePrintfAndEscapesControlCharactersSoOneCallIsOneLine) {
  const struct {
    std::string in, logged;
  } cases[] = {
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {std::string("nul\0byte", 8) + "\x7f", "nul\\x00byte\\x7f"},
      {"csi \xc2\x9b" "2J and \xc2\xa0 kept", "csi \\u009b2J and \xc2\xa0 kept"},
      {"caf\xc3\xa9 \\ stays", "caf\xc3\xa9 \\ stays"},
  };
  for (const auto& c : cases) EXPECT_EQ(quill_service::EscapeForLog(c.in), c.logged) << c.in;
  ASSERT_EQ(quill_log(2, "x %s %d y\n", "one\ntwo", -1), 0);
  EXPECT_NE(quill_log(0, nullptr), 0);
  const auto lines = quill_service::LogSnapshot();
  ASSERT_EQ(lines.size(), 1u);
  ASSERT_EQ(sunk.size(), 1u);
  for (const auto& line : {lines[0], sunk[0]}) EXPECT_EQ(std::to_string(line.level) + line.text, "2x one\\ntwo -1 y");
}

TEST_F(LogTest, KeepsOnlyTheMostRecentLines) {
  quill_service::SetLogSink({});
  for (size_t i = 0; i < quill_service::kMaxLogLines + 5; ++i) quill_log(1, "%zu", i);
  auto lines = quill_service::LogSnapshot();
  ASSERT_EQ(lines.size(), quill_service::kMaxLogLines);
  EXPECT_EQ(lines.front().text, "5");
  EXPECT_EQ(lines.back().text, std::to_string(quill_service::kMaxLogLines + 4));
}

TEST_F(LogTest, ConcurrentLinesArriveWholeAndASinkMayLog) {
  quill_service::SetLogSink([](const quill_service::LogLine& line) {
    if (line.level == 9) quill_log(8, "echo %s", line.text.c_str());
  });
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) quill_log(1, "thread %d line %d %s", t, i, std::string(100, 'x').c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  quill_log(9, "last");
  auto lines = quill_service::LogSnapshot();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines + 2));
  std::set<std::string> distinct;
  for (size_t i = 0; i < lines.size() - 2; ++i) distinct.insert(lines[i].text);
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(lines.back().text, "echo last");
}

TEST(WorkerPoolTest, RunsEveryJobOnItsOwnThreadsAndSurvivesThrowingJobsAndEmptyOnes) {
  quill_service::SetLogSink({});
  const auto caller = std::this_thread::get_id();
  std::mutex lock;
  std::set<std::thread::id> used;
  std::atomic<int> done{0};
  {
    quill_service::WorkerPool pool(3);
    auto small = std::make_unique<quill_service::WorkerPool>(1);
    small->Submit([] {});
    small->Wait();  // its worker is idle now: an empty job handed to it fails, it is not a stop
    small->Submit(std::function<void()>{});
    if (!small->WaitIdleUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30))) {
      ADD_FAILURE() << "the empty job never finished";
      static_cast<void>(small.release());  // its destructor would wait for good
    }
    pool.Submit([] { throw std::runtime_error("boom"); });
    for (int i = 0; i < 100; ++i) {
      pool.Submit([&] {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard guard(lock);
        used.insert(std::this_thread::get_id());
        ++done;
      });
    }
    pool.Wait();
    EXPECT_EQ(done, 100);
    for (int i = 0; i < 10; ++i) pool.Submit([&] { ++done; });
  }  // the destructor finishes queued jobs
  EXPECT_EQ(done, 110);
  EXPECT_EQ(used.count(caller), 0u);
  EXPECT_GE(used.size(), 2u);
  EXPECT_LE(used.size(), 3u);
  auto lines = quill_service::LogSnapshot();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines.back().text.find("boom"), std::string::npos);
  EXPECT_NE(lines[lines.size() - 2].text.find("A worker job failed"), std::string::npos);
  quill_service::ResetLogSink();
}


// The submitter waits while the queue is full, so queued work never exceeds the bound but by
// jobs that hand on a place; closing drops what waits, refuses what comes, and lets the running
// job finish.
TEST(WorkerPoolTest, TheQueueIsBoundedAndClosingDropsWhatWaits) {
  std::promise<void> gate;
  const std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> ran{0}, submitted{0};
  std::atomic<bool> held{false};
  quill_service::WorkerPool pool(1, 3);
  // Each job notes, when it goes, how many jobs the pool counts as running.
  std::atomic<int> mostRunningSeen{0};
  struct Noting {
    quill_service::WorkerPool* pool;
    std::atomic<int>* most;
    ~Noting() { *most = std::max(most->load(), pool->Running()); }
  };
  auto submitOne = [&] {
    return pool.Submit([&, noting = std::make_shared<Noting>(Noting{&pool, &mostRunningSeen})] {
      held = true;
      opened.wait();
      ++ran;
    });
  };
  // The worker holds the first job before the rest come: a queue that filled before it took one
  // would let its submitter go on only once half of it was taken.
  ASSERT_TRUE(submitOne());
  ++submitted;
  for (int i = 0; i < 200 && !held; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // A job that hands on a place it holds takes no room, and never waits for room, which only its
  // own worker could make.
  const auto overfill = [&] {
    return pool.Submit([&, noting = std::make_shared<Noting>(Noting{&pool, &mostRunningSeen})] { ++ran; },
                       quill_service::WorkerPool::Room::kOverfill);
  };
  ASSERT_TRUE(overfill());
  std::thread submitter([&] {
    for (int i = 1; i < 10; ++i) {
      if (!submitOne()) break;
      ++submitted;
    }
  });
  // One job runs (held at the gate), three wait beside the overfill; the fifth waits in Submit.
  for (int i = 0; i < 200 && submitted < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pool.Queued(), 4u);
  EXPECT_EQ(pool.Running(), 1);
  std::atomic<bool> overfilled{false};
  std::thread onFull([&] { overfilled = overfill(); });
  for (int i = 0; i < 1000 && !overfilled; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(overfilled.load());
  EXPECT_EQ(pool.Queued(), 5u);

  EXPECT_EQ(pool.Close(), 5u);
  submitter.join();  // its waiting Submit was refused
  onFull.join();
  // The dropped jobs count as running while they go, so that a server waiting for the pool to be
  // idle cannot free what their captures still use.
  EXPECT_EQ(mostRunningSeen.load(), 1 + 5);
  EXPECT_EQ(submitted.load(), 4);
  EXPECT_FALSE(pool.Submit([&] { ++ran; }));
  EXPECT_FALSE(overfill());
  EXPECT_FALSE(pool.WaitIdleUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
  gate.set_value();
  EXPECT_TRUE(pool.WaitIdleUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
  EXPECT_EQ(ran.load(), 1);
}


}  // namespace
