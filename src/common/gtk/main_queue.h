// The one FIFO queue of work for the GTK main thread. Tasks posted from any
// thread run on the main thread in the order they were posted; a
// synchronous task blocks its caller until it has run, or runs in place
// when the caller is the main thread.
#pragma once

#include <functional>
#include <memory>

namespace wexlor_common {

class MainQueue {
 public:
  // Attaches the queue to the default main context; call once, on the
  // thread that will run the main loop.
  static void Initialize();
  static bool IsMainThread();

  static void Post(std::function<void()> task);

  // Runs `task` on the main thread and waits for it. Returns false, without
  // waiting, once termination has begun (the task may then never run), so a
  // caller blocked here can never hold up the shutdown.
  static bool RunSync(std::function<void()> task);

  // From now on synchronous calls from other threads return at once; wakes
  // any that are waiting.
  static void BeginTermination();
  static bool Terminating();

  // Runs every task queued so far, on the main thread; once termination
  // has begun, drops them instead.
  static void Drain();
};

// Runs a query on the main thread and returns its result, or `fallback`
// when termination has begun.
// The query is copied into the task, which may outlive a caller that
// stopped waiting.
template <typename R, typename F>
R MainQuery(R fallback, F query) {
  if (MainQueue::IsMainThread()) return query();
  auto result = std::make_shared<R>(fallback);
  if (!MainQueue::RunSync([result, query] { *result = query(); })) return fallback;
  return *result;
}

}  // namespace wexlor_common
