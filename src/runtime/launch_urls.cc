#include "runtime/launch_urls.h"

#include <cstdio>
#include <deque>
#include <mutex>

#include "backend/wexlor_backend.h"
#include "runtime/runtime_loader.h"

namespace launch_urls {
namespace {

// A flood of launches while the runtime registers no handler must not grow
// memory without bound; no real session comes near this.
constexpr size_t kMaxPending = 1000;

struct State {
  // Held while the handler runs and while it is replaced, so a replaced
  // handler is never called afterwards. Recursive: the handler may replace
  // itself.
  std::recursive_mutex callMutex;
  wexlor_open_urls_handler handler = nullptr;
  void* userData = nullptr;

  std::mutex pendingMutex;
  std::deque<std::vector<std::string>> pending;
};

State& S() {
  static State* state = new State;  // used until the process ends
  return *state;
}

// Main thread: hands the kept launches to the handler, oldest first, until
// none is left or the handler is cleared.
void Flush() {
  State& s = S();
  std::lock_guard<std::recursive_mutex> call(s.callMutex);
  for (;;) {
    std::vector<std::string> urls;
    {
      std::lock_guard<std::mutex> lock(s.pendingMutex);
      if (s.handler == nullptr || s.pending.empty()) return;
      urls = std::move(s.pending.front());
      s.pending.pop_front();
    }
    std::vector<const char*> pointers;
    pointers.reserve(urls.size());
    for (const auto& url : urls) pointers.push_back(url.c_str());
    s.handler(s.userData, pointers.data(), pointers.size());
  }
}

}  // namespace

void Deliver(std::vector<std::string> urls) {
  if (urls.empty()) return;
  State& s = S();
  {
    std::lock_guard<std::mutex> lock(s.pendingMutex);
    if (s.pending.size() >= kMaxPending) {
      std::fputs("wexlor: too many launches wait for the runtime's URL handler; one dropped\n",
                 stderr);
      return;
    }
    s.pending.push_back(std::move(urls));
  }
  Flush();
}

void SetHandler(wexlor_open_urls_handler handler, void* userData) {
  State& s = S();
  {
    std::lock_guard<std::recursive_mutex> call(s.callMutex);
    std::lock_guard<std::mutex> lock(s.pendingMutex);
    s.handler = handler;
    s.userData = userData;
    if (handler == nullptr || s.pending.empty()) return;
  }
  // Never in place: the registration returns before the handler runs.
  RuntimeLoader::BackendUse backend(RuntimeLoader::GetInstance());
  if (backend) backend->PostUiTask([](void*) { Flush(); }, nullptr);
}

size_t PendingCount() {
  State& s = S();
  std::lock_guard<std::mutex> lock(s.pendingMutex);
  return s.pending.size();
}

}  // namespace launch_urls
