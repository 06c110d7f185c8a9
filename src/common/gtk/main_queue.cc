#include "common/gtk/main_queue.h"

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace wexlor_common {

namespace {

struct Queue {
  std::mutex mutex;
  std::deque<std::function<void()>> tasks;
  std::condition_variable done;  // signalled when a synchronous task finishes
  std::atomic<bool> terminating{false};
  std::thread::id mainThread;
  GMainContext* context = nullptr;
  GSource* source = nullptr;
};

Queue& Q() {
  static Queue* const q = new Queue();  // lives for the whole process
  return *q;
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

gboolean Dispatch(GSource*, GSourceFunc, gpointer) {
  MainQueue::Drain();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs kFuncs = {Prepare, Check, Dispatch, nullptr, nullptr, nullptr};

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

void MainQueue::Post(std::function<void()> task) {
  Queue& q = Q();
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.tasks.push_back(std::move(task));
  }
  if (q.context != nullptr) g_main_context_wakeup(q.context);
}

void MainQueue::Drain() {
  Queue& q = Q();
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    batch.swap(q.tasks);
  }
  if (q.terminating.load()) return;
  for (auto& task : batch) task();
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
}

bool MainQueue::Terminating() { return Q().terminating.load(); }

}  // namespace wexlor_common
