// The handle tables: values and execution states are named by 32-bit handles that are refused
// once their object is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "service/values/handles.h"
#include "service/values/tag_call.h"
#include "service/values/variant_data.h"

using quill_service::SlotTable;

namespace {

struct Thing {
  int id;
};

TEST(SlotTable, IssuesDistinctHandlesAndRefusesReleasedAndInventedOnes) {
  SlotTable<Thing> table;
  std::vector<Thing> things(100);
  std::set<int32_t> handles;
  for (Thing& thing : things) {
    const int32_t h = table.Issue(&thing);
    EXPECT_GT(h, 0);
    EXPECT_TRUE(handles.insert(h).second);
    EXPECT_EQ(table.Resolve(h), &thing);
  }
  EXPECT_EQ(table.LiveCount(), 100u);
  for (int32_t h : handles) {
    table.Release(h);
    EXPECT_EQ(table.Resolve(h), nullptr);
    table.Release(h);  // a second release is ignored
  }
  EXPECT_EQ(table.LiveCount(), 0u);

  const int32_t h = *handles.begin();
  for (int32_t invented : {0, -1, INT32_MIN, INT32_MAX, h + 1, h ^ (1 << 25), 12345}) {
    EXPECT_EQ(table.Resolve(invented), nullptr) << invented;
    table.Release(invented);  // must not disturb anything
  }
  Thing b{2};
  const int32_t live = table.Issue(&b);
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i) {
    const auto guess = static_cast<int32_t>(random());
    if (guess != live) {
      EXPECT_EQ(table.Resolve(guess), nullptr);
    }
  }
  EXPECT_EQ(table.Resolve(live), &b);
}

TEST(SlotTable, AReusedSlotGetsANewGenerationAndTheOldHandleStaysRefused) {
  SlotTable<Thing> table;
  Thing a{1}, b{2};
  // Fill the reuse delay so that the first released slot comes back.
  const int32_t first = table.Issue(&a);
  table.Release(first);
  std::vector<int32_t> churn;
  for (size_t i = 0; i <= SlotTable<Thing>::kReuseDelay; ++i) {
    churn.push_back(table.Issue(&b));
  }
  for (int32_t h : churn) table.Release(h);
  bool reused = false;
  for (size_t i = 0; i < 4 && !reused; ++i) {
    const int32_t h = table.Issue(&b);
    const uint32_t mask = SlotTable<Thing>::kCapacity - 1;
    if ((static_cast<uint32_t>(h) & mask) == (static_cast<uint32_t>(first) & mask)) {
      reused = true;
      EXPECT_NE(h, first);
      EXPECT_EQ(table.Resolve(first), nullptr);
      EXPECT_EQ(table.Resolve(h), &b);
    }
  }
  EXPECT_TRUE(reused) << "the first slot was not reused after the delay";
}

TEST(SlotTable, ConcurrentIssueResolveReleaseNeverResolvesAnotherObject) {
  SlotTable<Thing> table;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 16;
  constexpr int kRounds = 40000;
  std::vector<Thing> all(kThreads * kPerThread);
  std::atomic<int> wrong{0};
  // Published (handle, index of the object it was issued for); read by the other threads.
  std::atomic<uint64_t> published[64] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kRounds; ++i) {
        const uint32_t index = t * kPerThread + i % kPerThread;
        const int32_t h = table.Issue(&all[index]);
        published[random() % 64].store((uint64_t(uint32_t(h)) << 32) | index);
        if (table.Resolve(h) != &all[index]) wrong.fetch_add(1);
        // A handle of another thread, live or released: null, or exactly its own object.
        const uint64_t other = published[random() % 64].load();
        Thing* found = table.Resolve(int32_t(other >> 32));
        if (found != nullptr && found != &all[uint32_t(other)]) wrong.fetch_add(1);
        table.Release(h);
        if (table.Resolve(h) != nullptr) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(table.LiveCount(), 0u);
}

TEST(ValueHandles, AValueKeepsOneHandleUntilItDies) {
  auto v = quill_service::MakeVariant();
  const quill_type h = v->Handle();
  ASSERT_NE(h, 0);
  EXPECT_EQ(v->Handle(), h);
  EXPECT_EQ(Variant::FromHandle(h), v.get());
  v->SetString(u"changed");  // changing the value keeps the handle
  EXPECT_EQ(Variant::FromHandle(h), v.get());
  v.reset();
  EXPECT_EQ(Variant::FromHandle(h), nullptr);
  EXPECT_EQ(Variant::FromHandle(0), nullptr);
}

TEST(ValueHandles, ConcurrentFirstRequestsAgreeOnOneHandle) {
  for (int round = 0; round < 200; ++round) {
    auto v = quill_service::MakeVariant();
    std::atomic<quill_type> seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&] { slot.store(v->Handle()); });
    for (auto& t : threads) t.join();
    for (auto& slot : seen) EXPECT_EQ(slot.load(), seen[0].load());
    EXPECT_EQ(Variant::FromHandle(seen[0].load()), v.get());
  }
}

TEST(ExecStateTokens, TakeOverTheParentsCallAndLiveWhileTheStateLives) {
  Request request;  // not the thread's current request
  TagCall call;
  QPExecState caller(&request);
  caller.call = &call;
  quill_token token;
  {
    TExecState outer(&caller);
    EXPECT_EQ(outer.request, &request);
    EXPECT_EQ(outer.call, &call);
    token = outer.Token();
    EXPECT_NE(token, 0);
    EXPECT_EQ(TExecState::FromToken(token), &outer);
    // Only the thread running the call reaches its state.
    TExecState* fromElsewhere = &outer;
    std::thread([&] { fromElsewhere = TExecState::FromToken(token); }).join();
    EXPECT_EQ(fromElsewhere, nullptr);
    {
      TExecState inner(&outer);
      EXPECT_NE(inner.Token(), token);
      EXPECT_EQ(TExecState::FromToken(inner.Token()), &inner);
      EXPECT_EQ(outer.child, &inner);
    }
    EXPECT_EQ(outer.child, nullptr);
  }
  EXPECT_EQ(TExecState::FromToken(token), nullptr);
  EXPECT_EQ(TExecState::FromToken(0), nullptr);
}

}  // namespace
