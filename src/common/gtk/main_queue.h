// The one FIFO queue of work for the GTK main thread. Tasks posted from any
// thread run on the main thread in the order they were posted; a
// synchronous task blocks its caller until it has run, or runs in place
// when the caller is the main thread.
//
// Fairness: each main-loop turn runs at most kSliceTasks tasks or
// kSliceMicros of them, whichever ends first. When work is left over, the
// queue steps back so that input, page messages, layout and painting run
// before its next slice. It steps back for at most kYieldMs, so a busy loop
// cannot stall it either; while the loop stays busy after each step back
// (often with the queue's own aftermath, such as X events from window
// moves), the limit doubles up to kMaxYieldMs.
//
// Coalescing: a setter posted with PostSetter replaces the payload of a
// still-queued setter with the same key, in place, when everything queued
// after that one is a setter with another key. The later value then takes
// effect at the earlier setter's position, moving ahead of setters of other
// keys only (which act on other properties or windows); any other task in
// between (a query, a script, a runtime task, any other command) keeps the
// two apart, so nothing that could observe the property ever sees a value
// from the future, and a query always sees every setter posted before it.
//
// Backpressure: a thread other than the main thread that posts while
// kMaxQueued tasks are waiting blocks until the queue is down to
// kResumeQueued. The main thread never blocks here, and nobody does once
// termination has begun. A main thread that takes no task for kStallMs
// (stuck in a nested loop, say) lets blocked producers through one task at
// a time, so a producer that holds a lock a task needs cannot deadlock;
// still, post without holding such locks, or the producer stalls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace wexlor_common {

class MainQueue {
 public:
  static constexpr int kSliceTasks = 500;
  static constexpr int64_t kSliceMicros = 4000;
  static constexpr int kYieldMs = 10;
  static constexpr int kMaxYieldMs = 160;
  static constexpr size_t kMaxQueued = 1024;
  static constexpr size_t kResumeQueued = kMaxQueued / 2;
  static constexpr int kStallMs = 1000;

  // Attaches the queue to the default main context; call once, on the
  // thread that will run the main loop.
  static void Initialize();
  static bool IsMainThread();

  static void Post(std::function<void()> task);

  // Posts a setter for which only the last of a run matters (see above).
  // `key` is nonzero and names one property of one object, e.g. SetterKey.
  static void PostSetter(uint64_t key, std::function<void()> task);
  static constexpr uint64_t SetterKey(uint32_t property, uint32_t object) {
    return (static_cast<uint64_t>(property) << 32) | object;
  }

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

  // How many tasks are waiting.
  static size_t Queued();
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
