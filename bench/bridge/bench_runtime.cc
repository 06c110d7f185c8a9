// The runtime side of the bridge benchmark: a runtime library that opens one
// window on "app://bench/index.html", serves that page and the benchmark
// bodies from the "app" scheme, and answers the page's calls.
//
// Threads: init, the notify function, the scheme request function and the
// page-load function run on the host's main thread and only queue work or
// stamp times. The runtime thread polls page calls, answers them, and
// writes every scheme response (the 64 MiB body in 64 KiB pieces).
//
// Page methods (the same as the bare engine's):
//   ping(i) -> i                  strUp(s) -> s.length
//   strDown(n) -> 1 MiB string    abUp(buffer) -> byteLength
//   abDown(n) -> n bytes up to 1 MiB (64 MiB when n is larger and
//                 mark("big-prepare") made it)
//   mark(kind, name, count)       measurement points (see bench_common.h)
//   report(text)                  page results, "key value" lines
//   next()                        the driver's next command, from stdin
//   done()                        quits
//
// BRIDGE_BENCH_MODE picks what the page does, and the driver's commands come
// on stdin (see bench_common.h).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "wexlor/wexlor.h"

#define BENCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const wexlor_backend_api* api = nullptr;

struct ValueFree {
  void operator()(wexlor_value* v) const { api->ValueFree(v); }
};
using Value = std::unique_ptr<wexlor_value, ValueFree>;

struct SchemeJob {
  wexlor_scheme_exchange* exchange;
  std::string path;
};

struct State {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool callsWaiting = false;
  std::deque<SchemeJob> jobs;
};

State state;
bridge_bench::Recorder recorder;
std::string text;             // strDown's answer
std::vector<uint8_t> binary;  // abDown's answer
std::vector<uint8_t> chunk;   // one 64 KiB piece of the large body
Value bigBinary;              // abDown's 64 MiB answer, made before it is measured

std::string ArgString(wexlor_value* args, size_t index) {
  Value v(api->ValueListGet(args, index));
  size_t length = 0;
  char* chars = api->ValueGetString(v.get(), &length);
  if (chars == nullptr) return "";
  std::string s(chars, length);
  api->ValueFreeString(chars);
  return s;
}

double ArgNumber(wexlor_value* args, size_t index) {
  Value v(api->ValueListGet(args, index));
  if (api->ValueIsInt(v.get())) return api->ValueGetInt(v.get());
  if (api->ValueIsDouble(v.get())) return api->ValueGetDouble(v.get());
  return 0;
}

// ---------------------------------------------------------------------------
// Page calls, on the runtime thread inside PollJsCalls.

void OnJsCall(void*, uint32_t, uint64_t callId, const char* method, wexlor_value* rawArgs) {
  recorder.Arrival();
  const Value args(rawArgs);
  void* const ctx = api->context;
  const std::string name = method != nullptr ? method : "";
  Value result;
  wexlor_value* shared = nullptr;  // an answer the runtime keeps
  bool quit = false;

  if (name == "ping") {
    result.reset(api->ValueInt(ctx, static_cast<int32_t>(ArgNumber(args.get(), 0))));
  } else if (name == "strUp") {
    Value v(api->ValueListGet(args.get(), 0));
    size_t length = 0;
    char* chars = api->ValueGetString(v.get(), &length);
    api->ValueFreeString(chars);
    result.reset(api->ValueInt(ctx, static_cast<int32_t>(length)));
  } else if (name == "strDown") {
    result.reset(api->ValueString(ctx, text.c_str()));
  } else if (name == "abUp") {
    Value v(api->ValueListGet(args.get(), 0));
    size_t size = 0;
    const uint8_t* data = api->ValueGetBinary(v.get(), &size);
    // Read it, as a runtime would.
    volatile uint8_t sink = 0;
    if (data != nullptr && size > 0) sink = data[size - 1];
    (void)sink;
    result.reset(api->ValueInt(ctx, static_cast<int32_t>(size)));
  } else if (name == "abDown") {
    if (ArgNumber(args.get(), 0) > static_cast<double>(binary.size()) && bigBinary) {
      shared = bigBinary.get();  // the host shares it, no copy
    } else {
      const double asked = ArgNumber(args.get(), 0);
      const size_t n = asked > 0 && asked < static_cast<double>(binary.size())
                           ? static_cast<size_t>(asked)
                           : binary.size();
      result.reset(api->ValueBinary(ctx, binary.data(), n));
    }
  } else if (name == "mark") {
    const std::string kind = ArgString(args.get(), 0);
    if (kind == "pss") {
      std::this_thread::sleep_for(std::chrono::milliseconds(bridge_bench::kPssSettleMs));
      recorder.MeasurePss();
    } else if (kind == "begin") {
      recorder.Begin(ArgString(args.get(), 1));
    } else if (kind == "end") {
      recorder.End(ArgString(args.get(), 1), static_cast<int>(ArgNumber(args.get(), 2)));
    } else if (kind == "big-prepare") {
      if (!bigBinary) {
        bigBinary.reset(api->ValueBinary(ctx, nullptr, bridge_bench::kBigBytes));
      }
    } else if (kind == "hwm-reset") {
      recorder.ResetPeak();
    } else if (kind == "hwm-read") {
      recorder.ReadPeak(ArgString(args.get(), 1));
    }
  } else if (name == "report") {
    recorder.Report(ArgString(args.get(), 0));
  } else if (name == "next") {
    // The driver's next command; waiting here is fine, the page is idle.
    recorder.Ready();
    char line[256];
    std::string command = std::fgets(line, sizeof line, stdin) != nullptr ? line : "quit";
    command.erase(command.find_last_not_of("\r\n") + 1);
    result.reset(api->ValueString(ctx, command.c_str()));
  } else if (name == "done") {
    recorder.Done();
    quit = true;
  }
  api->JsCallRespond(ctx, callId, shared != nullptr ? shared : result.get(), nullptr);
  if (quit) api->Quit(ctx);
}

// ---------------------------------------------------------------------------
// The "app" scheme. Requests arrive on the main thread and are answered on
// the runtime thread.

std::string FlatHeaders(const char* type, size_t length) {
  std::string h;
  h.append("Content-Type").push_back('\0');
  h.append(type).push_back('\0');
  h.append("Content-Length").push_back('\0');
  h.append(std::to_string(length)).push_back('\0');
  return h;
}

void Respond(wexlor_scheme_exchange* exchange, const char* type, const uint8_t* bytes,
             size_t length) {
  const std::string headers = FlatHeaders(type, length);
  api->SchemeResponseBegin(api->context, exchange, 200, headers.data(), headers.size());
  api->SchemeResponseWrite(api->context, exchange, bytes, length);
  api->SchemeResponseFinish(api->context, exchange);
}

void Serve(const SchemeJob& job) {
  void* const ctx = api->context;
  if (job.path == "/index.html") {
    Respond(job.exchange, "text/html", reinterpret_cast<const uint8_t*>(bridge_bench::kPageHtml),
            sizeof bridge_bench::kPageHtml - 1);
  } else if (job.path == "/tiny" || job.path == "/tinythread") {
    Respond(job.exchange, "application/octet-stream",
            reinterpret_cast<const uint8_t*>("0123456789"), bridge_bench::kTinyBytes);
  } else if (job.path == "/big") {
    const std::string headers = FlatHeaders("application/octet-stream", bridge_bench::kBigBytes);
    api->SchemeResponseBegin(ctx, job.exchange, 200, headers.data(), headers.size());
    for (size_t sent = 0; sent < bridge_bench::kBigBytes; sent += chunk.size()) {
      if (api->SchemeResponseWrite(ctx, job.exchange, chunk.data(), chunk.size()) < 0) break;
    }
    api->SchemeResponseFinish(ctx, job.exchange);
  } else {
    api->SchemeResponseBegin(ctx, job.exchange, 404, nullptr, 0);
    api->SchemeResponseFinish(ctx, job.exchange);
  }
}

void OnSchemeRequest(void*, uint32_t, wexlor_scheme_exchange* exchange, const char*,
                     const char* url, const char*, size_t) {
  recorder.Arrival();
  // The tiny body is answered at once, inside this function, as a runtime
  // that has it at hand would; "/tinythread" goes through the runtime
  // thread like everything else.
  if (url != nullptr && std::strstr(url, "/tiny?") != nullptr) {
    Respond(exchange, "application/octet-stream", reinterpret_cast<const uint8_t*>("0123456789"),
            bridge_bench::kTinyBytes);
    return;
  }
  // "app://bench/big?r=1" -> "/big"
  std::string path = url != nullptr ? url : "";
  if (const size_t scheme = path.find("://"); scheme != std::string::npos) {
    const size_t slash = path.find('/', scheme + 3);
    path = slash == std::string::npos ? "/" : path.substr(slash);
  }
  path = path.substr(0, path.find_first_of("?#"));
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.jobs.push_back(SchemeJob{exchange, std::move(path)});
  }
  state.wake.notify_one();
}

void OnSchemeStop(void*, wexlor_scheme_exchange*) {
  // Nothing to do: the next write returns -1 and the response is finished.
}

// ---------------------------------------------------------------------------
// Main-thread notifications.

void OnCallsWaiting(void*) {
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.callsWaiting = true;
  }
  state.wake.notify_one();
}

void OnPageLoaded(void*, uint32_t) { recorder.PageLoaded(); }

}  // namespace

BENCH_EXPORT int wexlor_runtime_init(const wexlor_backend_api* backend) {
  if (backend == nullptr || backend->version < WEXLOR_BACKEND_API_VERSION) return 1;
  api = backend;
  text = bridge_bench::MakeText(bridge_bench::kStringBytes);
  binary = bridge_bench::MakeBytes(bridge_bench::kStringBytes);
  chunk = bridge_bench::MakeBytes(bridge_bench::kChunkBytes);

  void* const ctx = api->context;
  api->SetJsCallNotify(ctx, OnCallsWaiting, nullptr);
  api->SetJsCallHandler(ctx, OnJsCall, nullptr);
  api->SetPageLoadHandler(ctx, OnPageLoaded, nullptr);
  api->RegisterSchemeHandler(ctx, "app", OnSchemeRequest, OnSchemeStop, nullptr);

  const char* mode = std::getenv(bridge_bench::kModeVariable);
  const std::string url =
      std::string("app://bench/index.html?mode=") + (mode != nullptr ? mode : "full");
  const uint32_t window = api->CreateWindow(ctx);
  api->SetTitle(ctx, window, "bench runtime");
  api->Navigate(ctx, window, url.c_str());
  return 0;
}

BENCH_EXPORT int wexlor_runtime_start() {
  std::unique_lock<std::mutex> lock(state.mutex);
  while (!state.stopping) {
    state.wake.wait(lock,
                    [] { return state.stopping || state.callsWaiting || !state.jobs.empty(); });
    if (state.stopping) break;
    const bool poll = std::exchange(state.callsWaiting, false);
    std::deque<SchemeJob> jobs;
    jobs.swap(state.jobs);
    lock.unlock();
    if (poll) api->PollJsCalls(api->context);
    for (const SchemeJob& job : jobs) Serve(job);
    lock.lock();
  }
  return 0;
}

BENCH_EXPORT void wexlor_runtime_shutdown() {
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.stopping = true;
  }
  state.wake.notify_all();
}
