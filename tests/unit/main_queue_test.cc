// The main-thread queue: order, synchronous queries, and termination.
#include "common/gtk/main_queue.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
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

TEST(MainQueue, TerminationReleasesWaitingQueries) {
  MainQueue::Initialize();
  std::atomic<bool> started{false};
  std::atomic<int> result{0};
  std::thread worker([&] {
    started = true;
    result = MainQuery(42, [] { return 1; });  // nobody runs the loop: waits
  });
  while (!started.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  MainQueue::BeginTermination();
  worker.join();
  EXPECT_EQ(result.load(), 42);
  EXPECT_EQ(MainQuery(5, [] { return 6; }), 6);  // the main thread still runs in place
  std::thread late([&] { result = MainQuery(9, [] { return 1; }); });
  late.join();
  EXPECT_EQ(result.load(), 9);  // and later queries do not wait at all
  MainQueue::Drain();           // queued work is dropped, not run
}
