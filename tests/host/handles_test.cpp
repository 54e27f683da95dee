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

// Each case runs on a table of its own object type, once with the shared queue alone and once
// with thread caches (a thread caches for one table per type). Tables are never destroyed: a
// cached table must outlive the threads that used it.
template <int Case>
struct Thing {
  int id;
};
template <int Case>
SlotTable<Thing<Case>>& NewTable(bool cached) {
  using Table = SlotTable<Thing<Case>>;
  return *new Table(cached ? Table::kThreadCached : Table::kShared);
}

template <class Item>
void IssuesDistinctHandlesAndRefusesReleasedAndInventedOnes(SlotTable<Item>& table) {
  std::vector<Item> things(100);
  std::set<int32_t> handles;
  for (Item& thing : things) {
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
  Item b{2};
  const int32_t live = table.Issue(&b, 7);
  EXPECT_EQ(table.Resolve(live), &b);
  EXPECT_EQ(table.ResolveOwned(live, 7), &b);
  EXPECT_EQ(table.ResolveOwned(live, 8), nullptr);
}

template <class Item>
void AReusedSlotGetsANewGenerationOnlyAfterTheDelay(SlotTable<Item>& table) {
  using Table = SlotTable<Item>;
  constexpr uint32_t mask = Table::kCapacity - 1;
  const auto slotOf = [](int32_t h) { return static_cast<uint32_t>(h) & mask; };
  Item a{1}, b{2};
  const int32_t first = table.Issue(&a);
  table.Release(first);
  // Released slots wait in thread batches too, so fill the delay and a few batches past it.
  std::vector<int32_t> churn;
  for (size_t i = 0; i < Table::kReuseDelay + 2 * Table::kBatch; ++i) {
    churn.push_back(table.Issue(&b));
    EXPECT_NE(slotOf(churn.back()), slotOf(first)) << "reused before the delay, after " << i;
  }
  for (int32_t h : churn) table.Release(h);
  bool reused = false;
  for (size_t i = 0; i < 3 * Table::kBatch && !reused; ++i) {
    const int32_t h = table.Issue(&b);
    if (slotOf(h) == slotOf(first)) {
      reused = true;
      EXPECT_NE(h, first);
      EXPECT_EQ(table.Resolve(first), nullptr);
      EXPECT_EQ(table.Resolve(h), &b);
    }
  }
  EXPECT_TRUE(reused) << "the first slot was not reused after the delay";
}

template <class Item>
void ConcurrentIssueResolveReleaseNeverResolvesAnotherObject(SlotTable<Item>& table) {
  constexpr int kThreads = 4, kPerThread = 16, kRounds = 40000;
  std::vector<Item> all(kThreads * kPerThread);
  std::atomic<int> wrong{0};
  // Published (handle, index of the object it was issued for); read by the other threads.
  std::atomic<uint64_t> published[64] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kRounds; ++i) {
        const uint32_t index = t * kPerThread + i % kPerThread;
        const int32_t h = table.Issue(&all[index], uintptr_t(t) + 1);
        published[random() % 64].store((uint64_t(uint32_t(h)) << 32) | index);
        if (table.Resolve(h) != &all[index] || table.ResolveOwned(h, uintptr_t(t) + 1) != &all[index]) wrong++;
        // A handle of another thread, live or released: null, or exactly its own object.
        const uint64_t other = published[random() % 64].load();
        Item* found = table.Resolve(int32_t(other >> 32));
        if (found != nullptr && found != &all[uint32_t(other)]) wrong.fetch_add(1);
        if (uint32_t(other) / kPerThread != uint32_t(t) && table.ResolveOwned(int32_t(other >> 32), uintptr_t(t) + 1)) {
          wrong.fetch_add(1);
        }
        table.Release(h);
        if (table.Resolve(h) != nullptr) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(table.LiveCount(), 0u);
}

// Every check on a table with the shared queue alone and on one with thread caches.
TEST(SlotTable, HandlesAreDistinctRefusedWhenGoneReusedLateAndNeverResolveAnotherObject) {
  IssuesDistinctHandlesAndRefusesReleasedAndInventedOnes(NewTable<1>(false));
  IssuesDistinctHandlesAndRefusesReleasedAndInventedOnes(NewTable<2>(true));
  AReusedSlotGetsANewGenerationOnlyAfterTheDelay(NewTable<3>(false));
  AReusedSlotGetsANewGenerationOnlyAfterTheDelay(NewTable<4>(true));
  ConcurrentIssueResolveReleaseNeverResolvesAnotherObject(NewTable<5>(false));
  ConcurrentIssueResolveReleaseNeverResolvesAnotherObject(NewTable<6>(true));
}

TEST(ValueHandles, ConcurrentFirstRequestsAgreeOnOneHandleThatLivesAsLongAsTheValue) {
  for (int round = 0; round < 200; ++round) {
    auto v = quill_service::MakeVariant();
    std::atomic<quill_type> seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&] { slot.store(v->Handle()); });
    for (auto& t : threads) t.join();
    for (auto& slot : seen) EXPECT_EQ(slot.load(), seen[0].load());
    v->SetString(u"changed");  // a changed value keeps its handle, which dies with it
    EXPECT_EQ(Variant::FromHandle(seen[0].load()), v.get());
    v.reset();
    EXPECT_EQ(Variant::FromHandle(seen[0].load()), nullptr);
    void* kept = &round;  // refused, and the out-parameter is left as it was
    EXPECT_NE(quill_getPtrMemberW(0, seen[0].load(), reinterpret_cast<const quill_char*>(u"p"), &kept), 0);
    EXPECT_EQ(kept, &round);
  }
  // A custom value's destructor runs once as the value dies, while its handle still names it.
  static int runs = 0;
  static bool named = false;
  auto custom = quill_service::MakeVariant();
  auto& contents = custom->Contents().value.emplace<std::unique_ptr<quill_service::CustomValue>>(
      std::make_unique<quill_service::CustomValue>());
  contents->destructor = [](quill_type handle) {
    ++runs;
    named = Variant::FromHandle(handle) != nullptr;
  };
  custom.reset();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(named);
}

TEST(ExecStateTokens, TakeOverTheParentsCallAndLiveWhileTheStateLives) {
  Request request;  // not the thread's current request
  TagCall call;
  QPExecState caller(&request);
  caller.call = &call;
  quill_token token;
  {
    TExecState outer(&caller);
    EXPECT_EQ(outer.request, &request);  // (the call taken over is checked by every QCAPI case)
    token = outer.Token();
    EXPECT_EQ(TExecState::FromToken(token), &outer);
    // Only the thread running the call reaches its state.
    std::thread([&] { EXPECT_EQ(TExecState::FromToken(token), nullptr); }).join();
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
