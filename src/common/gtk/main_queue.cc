#include "common/gtk/main_queue.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace wexlor_common {

namespace {

struct Entry {
  std::function<void()> task;
  uint64_t key = 0;  // nonzero for a setter
};

struct Queue {
  std::mutex mutex;
  // Guarded by `mutex`: the tasks in order, the sequence number of the
  // first, the number just past the last task that is not a setter, and
  // for each setter key the sequence number of its queued setter.
  std::deque<Entry> tasks;
  uint64_t frontSeq = 0;
  uint64_t barrierEnd = 0;
  std::unordered_map<uint64_t, uint64_t> setters;
  size_t blockedProducers = 0;
  std::condition_variable done;   // signalled when a synchronous task finishes
  std::condition_variable space;  // signalled when the queue is down to kResumeQueued
  std::atomic<bool> terminating{false};
  std::thread::id mainThread;
  GMainContext* context = nullptr;
  GSource* source = nullptr;
  // Main thread only: the timer that ends a step back, while one lasts.
  GSource* yieldTimer = nullptr;
  int yieldMs = MainQueue::kYieldMs;
};

Queue& Q() {
  static Queue* const q = new Queue();  // lives for the whole process
  return *q;
}

// Takes the first task; the caller holds the lock and the queue is not empty.
std::function<void()> PopLocked(Queue& q) {
  Entry entry = std::move(q.tasks.front());
  q.tasks.pop_front();
  if (entry.key != 0) {
    auto it = q.setters.find(entry.key);
    if (it != q.setters.end() && it->second == q.frontSeq) q.setters.erase(it);
  }
  ++q.frontSeq;
  if (q.blockedProducers > 0 && q.tasks.size() <= MainQueue::kResumeQueued) q.space.notify_all();
  return std::move(entry.task);
}

// Takes every task; the caller holds the lock.
std::deque<Entry> TakeAllLocked(Queue& q) {
  std::deque<Entry> all;
  all.swap(q.tasks);
  q.frontSeq += all.size();
  q.setters.clear();
  if (q.blockedProducers > 0) q.space.notify_all();
  return all;
}

void EndYield(Queue& q) {
  if (q.yieldTimer == nullptr) return;
  g_source_destroy(q.yieldTimer);
  g_source_unref(q.yieldTimer);
  q.yieldTimer = nullptr;
  g_source_set_priority(q.source, G_PRIORITY_DEFAULT);
}

// Lets every other ready source run before the next slice. A loop that is
// still busy when the step back ends gets twice as long the next time, up
// to kMaxYieldMs, since the queue's own commands may be what keeps it busy
// (each window move comes back as an X event); a loop found idle resets it.
void Yield(Queue& q) {
  if (q.yieldTimer != nullptr) return;
  g_source_set_priority(q.source, G_PRIORITY_LOW);
  q.yieldTimer = g_timeout_source_new(static_cast<guint>(q.yieldMs));
  g_source_set_priority(q.yieldTimer, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      q.yieldTimer,
      [](gpointer) -> gboolean {
        Queue& q = Q();
        EndYield(q);
        q.yieldMs = std::min(2 * q.yieldMs, MainQueue::kMaxYieldMs);
        return G_SOURCE_REMOVE;
      },
      nullptr, nullptr);
  g_source_attach(q.yieldTimer, q.context);
}

gboolean Prepare(GSource*, gint* timeout) {
  *timeout = -1;
  std::lock_guard<std::mutex> lock(Q().mutex);
  return !Q().tasks.empty();
}

gboolean Check(GSource*) {
  std::lock_guard<std::mutex> lock(Q().mutex);
  return !Q().tasks.empty();
}

// Runs one slice of the queue.
gboolean Dispatch(GSource*, GSourceFunc, gpointer) {
  Queue& q = Q();
  if (q.yieldTimer != nullptr) q.yieldMs = MainQueue::kYieldMs;  // reached while yielding
  EndYield(q);
  const gint64 start = g_get_monotonic_time();
  bool more = false;
  for (int n = 0; n < MainQueue::kSliceTasks; ++n) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(q.mutex);
      if (q.terminating.load()) {
        auto dropped = TakeAllLocked(q);
        lock.unlock();
        return G_SOURCE_CONTINUE;  // `dropped` is destroyed unlocked
      }
      if (q.tasks.empty()) break;
      task = PopLocked(q);
    }
    task();
    task = nullptr;
    if (g_get_monotonic_time() - start >= MainQueue::kSliceMicros) break;
  }
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    more = !q.tasks.empty();
  }
  if (more) Yield(q);
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kFuncs = {Prepare, Check, Dispatch, nullptr, nullptr, nullptr};

void Enqueue(uint64_t key, std::function<void()> task) {
  Queue& q = Q();
  std::function<void()> replaced;  // destroyed after the lock is released
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(q.mutex);
    for (;;) {
      if (key != 0) {
        auto it = q.setters.find(key);
        if (it != q.setters.end() && it->second >= q.barrierEnd) {
          replaced = std::exchange(q.tasks[it->second - q.frontSeq].task, std::move(task));
          return;
        }
      }
      if (q.tasks.size() < MainQueue::kMaxQueued || q.source == nullptr || q.terminating.load() ||
          MainQueue::IsMainThread()) {
        break;
      }
      // Waits for room while the main thread keeps taking tasks; one that
      // takes none for kStallMs (a nested loop, or a task waiting on a lock
      // the caller holds) lets the producer through, one task at a time.
      ++q.blockedProducers;
      for (uint64_t taken = q.frontSeq;;) {
        const bool room = q.space.wait_for(
            lock, std::chrono::milliseconds(MainQueue::kStallMs),
            [&] { return q.tasks.size() <= MainQueue::kResumeQueued || q.terminating.load(); });
        if (room || q.frontSeq == taken) break;
        taken = q.frontSeq;
      }
      --q.blockedProducers;
      if (q.tasks.size() >= MainQueue::kMaxQueued) break;
    }
    const uint64_t seq = q.frontSeq + q.tasks.size();
    wake = q.tasks.empty();
    q.tasks.push_back(Entry{std::move(task), key});
    if (key != 0) {
      q.setters[key] = seq;
    } else {
      q.barrierEnd = seq + 1;
    }
  }
  // A queue that was not empty has a turn coming already.
  if (wake && q.context != nullptr) g_main_context_wakeup(q.context);
}

}  // namespace

void MainQueue::Initialize() {
  Queue& q = Q();
  q.mainThread = std::this_thread::get_id();
  if (q.source != nullptr) return;
  q.context = g_main_context_default();
  q.source = g_source_new(&kFuncs, sizeof(GSource));
  g_source_set_priority(q.source, G_PRIORITY_DEFAULT);
  g_source_set_name(q.source, "wexlor main queue");
  g_source_attach(q.source, q.context);
}

bool MainQueue::IsMainThread() { return std::this_thread::get_id() == Q().mainThread; }

void MainQueue::Post(std::function<void()> task) { Enqueue(0, std::move(task)); }

void MainQueue::PostSetter(uint64_t key, std::function<void()> task) {
  Enqueue(key, std::move(task));
}

void MainQueue::Drain() {
  Queue& q = Q();
  std::deque<Entry> batch;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    batch = TakeAllLocked(q);
  }
  if (q.terminating.load()) return;
  for (auto& entry : batch) entry.task();
}

size_t MainQueue::Queued() {
  std::lock_guard<std::mutex> lock(Q().mutex);
  return Q().tasks.size();
}

bool MainQueue::RunSync(std::function<void()> task) {
  if (IsMainThread()) {
    task();
    return true;
  }
  Queue& q = Q();
  if (q.terminating.load()) return false;
  auto finished = std::make_shared<bool>(false);
  Post([task = std::move(task), finished, &q] {
    task();
    std::lock_guard<std::mutex> lock(q.mutex);
    *finished = true;
    q.done.notify_all();
  });
  std::unique_lock<std::mutex> lock(q.mutex);
  q.done.wait(lock, [&] { return *finished || q.terminating.load(); });
  return *finished;
}

void MainQueue::BeginTermination() {
  Queue& q = Q();
  std::lock_guard<std::mutex> lock(q.mutex);
  q.terminating.store(true);
  q.done.notify_all();
  q.space.notify_all();
}

bool MainQueue::Terminating() { return Q().terminating.load(); }

}  // namespace wexlor_common
