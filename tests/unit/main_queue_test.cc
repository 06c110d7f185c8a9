// The main-thread queue: order, coalescing, fairness, backpressure,
// synchronous queries and termination.
#include "common/gtk/main_queue.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using wexlor_common::MainQuery;
using wexlor_common::MainQueue;

namespace {

// Runs the default main context on this (the main) thread until `done`.
void RunUntil(const std::atomic<bool>& done) {
  while (!done.load()) g_main_context_iteration(nullptr, TRUE);
}

}  // namespace

TEST(MainQueue, KeepsOrderAndQueriesSeeEarlierCommands) {
  MainQueue::Initialize();
  std::vector<int> seen;  // touched only on the main thread
  std::atomic<bool> done{false};
  std::vector<int> answers;
  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i) {
      MainQueue::Post([&seen, i] { seen.push_back(i); });
      if (i % 100 == 99) answers.push_back(MainQuery(-1, [&seen] { return int(seen.size()); }));
    }
    done = true;
    g_main_context_wakeup(nullptr);
  });
  RunUntil(done);
  worker.join();
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
  // Each query ran after every command posted before it.
  for (size_t k = 0; k < answers.size(); ++k) EXPECT_EQ(answers[k], int(100 * (k + 1)));
  // On the main thread a query runs in place.
  EXPECT_EQ(MainQuery(0, [] { return 7; }), 7);
}

// Runs the loop until the queue is empty; false after ten seconds.
bool RunUntilEmpty() {
  const gint64 end = g_get_monotonic_time() + 10 * G_USEC_PER_SEC;
  while (MainQueue::Queued() > 0) {
    if (g_get_monotonic_time() > end) return false;
    g_main_context_iteration(nullptr, FALSE);
  }
  return true;
}

TEST(MainQueue, SettersCoalesceOnlyAcrossOtherSetters) {
  MainQueue::Initialize();
  const uint64_t a = MainQueue::SetterKey(1, 7), b = MainQueue::SetterKey(2, 7);
  std::vector<std::string> log;
  auto set = [&log](const char* what) { return [&log, what] { log.push_back(what); }; };
  MainQueue::PostSetter(a, set("a1"));
  MainQueue::PostSetter(b, set("b1"));
  MainQueue::PostSetter(a, set("a2"));  // takes a1's place: only a setter of b between
  MainQueue::Post(set("task"));
  MainQueue::PostSetter(a, set("a3"));  // a task between: queued after it
  MainQueue::PostSetter(b, set("b2"));
  MainQueue::PostSetter(a, set("a4"));  // takes a3's place
  MainQueue::PostSetter(MainQueue::SetterKey(1, 8), set("other window"));
  MainQueue::PostSetter(b, set("b3"));  // takes b2's place
  EXPECT_EQ(MainQueue::Queued(), 6u);
  ASSERT_TRUE(RunUntilEmpty());
  EXPECT_EQ(log, (std::vector<std::string>{"a2", "b1", "task", "a4", "b3", "other window"}));

  // A setter that is already running is not replaced.
  log.clear();
  MainQueue::PostSetter(a, [&] {
    log.push_back("first");
    MainQueue::PostSetter(a, set("second"));
  });
  ASSERT_TRUE(RunUntilEmpty());
  EXPECT_EQ(log, (std::vector<std::string>{"first", "second"}));
}

TEST(MainQueue, AQueryKeepsLaterSettersBehindIt) {
  MainQueue::Initialize();
  const uint64_t key = MainQueue::SetterKey(3, 1);
  int value = 0;  // touched only on the main thread
  std::atomic<int> seen{-1};
  std::thread worker([&] {
    MainQueue::PostSetter(key, [&value] { value = 5; });
    seen = MainQuery(-1, [&value] { return value; });
  });
  while (MainQueue::Queued() < 2) std::this_thread::yield();
  MainQueue::PostSetter(key, [&value] { value = 6; });  // posted after the query
  EXPECT_EQ(MainQueue::Queued(), 3u);
  while (seen.load() == -1) g_main_context_iteration(nullptr, FALSE);
  worker.join();
  ASSERT_TRUE(RunUntilEmpty());
  EXPECT_EQ(seen.load(), 5);
  EXPECT_EQ(value, 6);
}

TEST(MainQueue, RunsBoundedSlicesAndLetsOtherSourcesIn) {
  MainQueue::Initialize();
  constexpr int kTotal = 4 * MainQueue::kSliceTasks;
  int ran = 0;
  for (int i = 0; i < kTotal; ++i) MainQueue::Post([&ran] { ++ran; });
  g_main_context_iteration(nullptr, FALSE);
  EXPECT_GE(ran, 1);
  EXPECT_LE(ran, MainQueue::kSliceTasks);

  // Work below the queue's priority runs before the backlog is gone.
  int ranWhenIdle = -1;
  g_idle_add(
      [](gpointer data) -> gboolean {
        auto* p = static_cast<std::pair<int*, int*>*>(data);
        *p->second = *p->first;
        return G_SOURCE_REMOVE;
      },
      new std::pair<int*, int*>(&ran, &ranWhenIdle));  // leaked: one small pair
  ASSERT_TRUE(RunUntilEmpty());
  EXPECT_EQ(ran, kTotal);
  EXPECT_GT(ranWhenIdle, 0);
  EXPECT_LT(ranWhenIdle, kTotal);

  // Slow tasks end a slice by time.
  ran = 0;
  for (int i = 0; i < 100; ++i) {
    MainQueue::Post([&ran] {
      ++ran;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  }
  g_main_context_iteration(nullptr, FALSE);
  EXPECT_GE(ran, 1);
  EXPECT_LE(ran, int(MainQueue::kSliceMicros / 1000) + 1);
  ASSERT_TRUE(RunUntilEmpty());
}

TEST(MainQueue, ABusyLoopCannotStallTheQueue) {
  MainQueue::Initialize();
  // Always ready, above the priority the queue steps back to.
  const guint busy = g_idle_add_full(
      G_PRIORITY_HIGH_IDLE, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr,
      nullptr);
  int ran = 0;
  for (int i = 0; i < 3 * MainQueue::kSliceTasks; ++i) MainQueue::Post([&ran] { ++ran; });
  EXPECT_TRUE(RunUntilEmpty());
  EXPECT_EQ(ran, 3 * MainQueue::kSliceTasks);
  g_source_remove(busy);
}

TEST(MainQueue, SlowsDownProducersButNeverTheMainThread) {
  MainQueue::Initialize();
  constexpr int kCount = int(MainQueue::kMaxQueued) + 1000;
  std::vector<int> seen;
  std::atomic<int> posted{0};
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) {
      MainQueue::Post([&seen, i] { seen.push_back(i); });
      posted = i + 1;
    }
  });
  while (MainQueue::Queued() < MainQueue::kMaxQueued) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(posted.load(), int(MainQueue::kMaxQueued));  // held at the bound
  MainQueue::Post([] {});                                // the main thread is not
  EXPECT_EQ(MainQueue::Queued(), MainQueue::kMaxQueued + 1);
  const gint64 end = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
  while ((posted.load() < kCount || MainQueue::Queued() > 0) && g_get_monotonic_time() < end) {
    g_main_context_iteration(nullptr, FALSE);
  }
  producer.join();
  ASSERT_EQ(seen.size(), size_t(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(seen[i], i);
}

TEST(MainQueue, AStalledMainThreadLetsBlockedProducersThrough) {
  MainQueue::Initialize();
  std::atomic<bool> finished{false};
  std::thread producer([&] {
    for (size_t i = 0; i < MainQueue::kMaxQueued + 1; ++i) MainQueue::Post([] {});
    finished = true;
  });
  const auto start = std::chrono::steady_clock::now();
  while (!finished.load() &&
         std::chrono::steady_clock::now() - start < std::chrono::milliseconds(5000)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(finished.load());
  EXPECT_GE(waited, std::chrono::milliseconds(MainQueue::kStallMs));
  producer.join();
  ASSERT_TRUE(RunUntilEmpty());
}

// Both are released: a query waiting for its answer and a producer
// waiting for room.
TEST(MainQueue, TerminationReleasesWaitingQueriesAndProducers) {
  MainQueue::Initialize();
  std::atomic<bool> started{false}, produced{false};
  std::atomic<int> result{0};
  bool ran = false;
  std::thread worker([&] {
    started = true;
    result = MainQuery(42, [] { return 1; });  // nobody runs the loop: waits
  });
  std::thread producer([&] {
    for (size_t i = 0; i < 2 * MainQueue::kMaxQueued; ++i) MainQueue::Post([&ran] { ran = true; });
    produced = true;
  });
  while (!started.load() || MainQueue::Queued() < MainQueue::kMaxQueued) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(produced.load());
  MainQueue::BeginTermination();
  worker.join();
  producer.join();
  EXPECT_EQ(result.load(), 42);
  EXPECT_TRUE(produced.load());
  EXPECT_EQ(MainQuery(5, [] { return 6; }), 6);  // the main thread still runs in place
  std::thread late([&] { result = MainQuery(9, [] { return 1; }); });
  late.join();
  EXPECT_EQ(result.load(), 9);  // and later queries do not wait at all
  MainQueue::Drain();           // queued work is dropped, not run
  EXPECT_FALSE(ran);
  EXPECT_EQ(MainQueue::Queued(), 0u);
}
