#include "runtime/runtime_loader.h"

#include "backend/page_trust.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "backend/scheme_exchange.h"
#include "backend/wexlor_backend.h"
#include "runtime/value_api.h"
#include "value/json.h"

using wexlor::Value;

namespace {

// One line on a stream, flushed at once.
void PrintLine(FILE* stream, const std::string& line) {
  const std::string text = line + "\n";  // one write, so lines never interleave
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string DlErrorText() {
  const char* e = dlerror();
  return e != nullptr ? e : "";
}

}  // namespace

std::string ColocatedRuntimeCandidate(const std::string& executablePath) {
  if (executablePath.empty()) return "";
  const size_t sep = executablePath.find_last_of("/\\");
  const size_t nameStart = sep == std::string::npos ? 0 : sep + 1;
  const size_t dot = executablePath.rfind('.');
  std::string base = executablePath;
  // Cut an extension, but not the leading dot of a hidden file's name and
  // not a dot inside a directory name.
  if (dot != std::string::npos && dot > nameStart) base.resize(dot);
  return base + ".so";
}

std::string WexlorFindColocatedRuntime() {
  std::vector<char> buf(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    buf.resize(buf.size() * 2);
  }
  const std::string candidate = ColocatedRuntimeCandidate(std::string(buf.begin(), buf.end()));
  struct stat st;
  if (candidate.empty() || stat(candidate.c_str(), &st) != 0) return "";
  return candidate;
}

RuntimeLoader* RuntimeLoader::GetInstance() {
  // Never destroyed: threads the runtime made may outlive main.
  static RuntimeLoader* const instance = new RuntimeLoader();
  return instance;
}

RuntimeLoader::RuntimeLoader() {
  InitializeBackendApi();
  InitializeExtensionApi();
}

RuntimeLoader::~RuntimeLoader() {
  if (shutdownFn_ != nullptr) shutdownFn_();
  if (runtimeThread_.joinable()) runtimeThread_.join();
  if (library_ != nullptr) dlclose(library_);
}

bool RuntimeLoader::Load(const std::string& path) {
  // A bare file name means a file in the working directory, as for any other
  // path, not a search of the system's library directories.
  std::string openPath = path;
  struct stat st;
  if (path.find('/') == std::string::npos && stat(path.c_str(), &st) == 0) openPath = "./" + path;
  library_ = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    PrintLine(stderr, "Failed to load runtime: " + DlErrorText());
    return false;
  }
  if (char* resolved = realpath(openPath.c_str(), nullptr)) {
    libraryPath_ = resolved;
    free(resolved);
  } else {
    libraryPath_ = path;
  }
  struct Symbol {
    const char* name;
    void** slot;
  };
  const Symbol symbols[] = {
      {"wexlor_runtime_init", reinterpret_cast<void**>(&initFn_)},
      {"wexlor_runtime_start", reinterpret_cast<void**>(&startFn_)},
      {"wexlor_runtime_shutdown", reinterpret_cast<void**>(&shutdownFn_)},
  };
  for (const auto& s : symbols) {
    dlerror();
    *s.slot = dlsym(library_, s.name);
    if (*s.slot == nullptr) {
      PrintLine(stderr, std::string("Failed to find ") + s.name + ": " + DlErrorText());
      return false;
    }
  }
  // The extension table's entry point is optional.
  extensionsFn_ =
      reinterpret_cast<wexlor_runtime_extensions_fn>(dlsym(library_, "wexlor_runtime_extensions"));
  PrintLine(stdout, "Runtime loaded successfully from: " + path);
  return true;
}

bool RuntimeLoader::Start() {
  if (running_.load(std::memory_order_acquire)) return true;
  if (initFn_ == nullptr || startFn_ == nullptr) {
    PrintLine(stderr, "Runtime not loaded");
    return false;
  }
  if (extensionsFn_ != nullptr) extensionsFn_(&extensions_);
  const int r = initFn_(&api_);
  if (r != 0) {
    PrintLine(stderr, "Runtime init failed with code: " + std::to_string(r));
    return false;
  }
  // A runtime thread that ended by itself is joined before a new one starts.
  if (runtimeThread_.joinable()) runtimeThread_.join();
  running_.store(true, std::memory_order_release);
  try {
    runtimeThread_ = std::thread(&RuntimeLoader::RuntimeThread, this);
  } catch (const std::system_error& e) {
    running_.store(false, std::memory_order_release);
    PrintLine(stderr, std::string("Failed to create the runtime thread: ") + e.what());
    return false;
  }
  PrintLine(stdout, "Runtime started");
  return true;
}

void RuntimeLoader::RuntimeThread() {
  const int r = startFn_();
  if (r != 0) PrintLine(stderr, "Runtime start returned error: " + std::to_string(r));
  startResult_.store(r, std::memory_order_release);
  running_.store(false, std::memory_order_release);
}

void RuntimeLoader::Shutdown() {
  if (shutdownFn_ != nullptr) shutdownFn_();
  if (runtimeThread_.joinable()) runtimeThread_.join();
}

void RuntimeLoader::SetBackend(WexlorBackend* backend) {
  backend_.store(backend);
  if (backend != nullptr) return;
  // Wait for table entries still using the previous backend.
  while (backendUsers_.load() != 0) std::this_thread::yield();
}

RuntimeLoader::BackendUse::BackendUse(RuntimeLoader* loader) : loader_(loader) {
  loader_->backendUsers_.fetch_add(1);
  backend_ = loader_->backend_.load();
  if (backend_ == nullptr) loader_->backendUsers_.fetch_sub(1);
}

RuntimeLoader::BackendUse::~BackendUse() {
  if (backend_ != nullptr) loader_->backendUsers_.fetch_sub(1);
}

std::string RuntimeLoader::GetJsNamespace() {
  std::lock_guard<std::mutex> lock(jsNamespaceMutex_);
  return jsNamespace_;
}

void RuntimeLoader::SetJsNamespace(const std::string& name) {
  std::lock_guard<std::mutex> lock(jsNamespaceMutex_);
  jsNamespace_ = name;
}

// ---------------------------------------------------------------------------
// Page-call routing

void RuntimeLoader::TranslateCallbacks(uint32_t windowId, Value* v, int depth) {
  if (v == nullptr || depth > json::kMaxDepth) return;
  switch (v->type) {
    case Value::Type::Callback: {
      const uint64_t pageId = std::get<uint64_t>(v->data);
      std::lock_guard<std::mutex> lock(callbacksMutex_);
      const uint64_t hostId = nextCallbackId_++;
      callbacks_[hostId] = Origin{windowId, pageId};
      v->data = hostId;
      break;
    }
    case Value::Type::List:
      for (auto& item : v->AsList()) TranslateCallbacks(windowId, item.get(), depth + 1);
      break;
    case Value::Type::Dict:
      for (auto& entry : v->AsDict()) TranslateCallbacks(windowId, entry.second.get(), depth + 1);
      break;
    default:
      break;
  }
}

void RuntimeLoader::OnJsCall(uint32_t windowId, uint64_t pageCallId, const std::string& method,
                             std::shared_ptr<Value> args) {
  TranslateCallbacks(windowId, args.get(), 1);
  uint64_t callId;
  {
    std::lock_guard<std::mutex> lock(callWindowsMutex_);
    callId = nextCallId_++;
    callWindows_[callId] = Origin{windowId, pageCallId};
  }
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pendingJsCalls_.push_back(PendingJsCall{windowId, callId, method, std::move(args)});
  }
  jsCallNotify_.Call();
}

void RuntimeLoader::PollPendingJsCalls() {
  std::deque<PendingJsCall> batch;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    batch.swap(pendingJsCalls_);
  }
  if (batch.empty()) return;
  const auto [handler, userData] = jsCallHandler_.Get();
  for (auto& call : batch) {
    if (call.method == WEXLOR_OPEN_EXTERNAL_METHOD) {
      const auto& args = call.args;
      if (args && args->type == Value::Type::List && !args->AsList().empty()) {
        const auto& first = args->AsList()[0];
        if (first && first->type == Value::Type::String && !first->GetString().empty()) {
          // Pages may only send web links to the browser.
          if (IsWebUrl(first->GetString())) {
            BackendUse backend(this);
            if (backend) backend->OpenExternalURL(first->GetString());
          } else {
            const std::string line = "wexlor: not opening " + json::Escape(first->GetString()) +
                                     ": pages may only open http and https links\n";
            std::fputs(line.c_str(), stderr);
          }
        }
      }
      JsCallRespond(call.callId, Value::Null(), nullptr);
    } else if (handler != nullptr) {
      wexlor_value* args = NewValueHandle(std::move(call.args));
      if (args != nullptr) handler(userData, call.windowId, call.callId, call.method.c_str(), args);
    } else {
      JsCallRespond(call.callId, nullptr, Value::String("No JS call handler registered"));
    }
  }
}

void RuntimeLoader::JsCallRespond(uint64_t callId, std::shared_ptr<Value> result,
                                  std::shared_ptr<Value> error) {
  Origin origin;
  {
    std::lock_guard<std::mutex> lock(callWindowsMutex_);
    auto it = callWindows_.find(callId);
    if (it == callWindows_.end()) return;  // never queued, answered already or forgotten
    origin = it->second;
    callWindows_.erase(it);
  }
  BackendUse backend(this);
  if (backend) {
    backend->RespondToJsCall(origin.windowId, origin.pageId, std::move(result), std::move(error));
  }
}

void RuntimeLoader::InvokeJsCallback(uint64_t callbackId, std::shared_ptr<Value> args) {
  Origin origin;
  {
    std::lock_guard<std::mutex> lock(callbacksMutex_);
    auto it = callbacks_.find(callbackId);
    if (it == callbacks_.end()) return;
    origin = it->second;
  }
  BackendUse backend(this);
  if (backend) backend->InvokeJsCallback(origin.windowId, origin.pageId, std::move(args));
}

void RuntimeLoader::ReleaseJsCallback(uint64_t callbackId) {
  Origin origin;
  {
    std::lock_guard<std::mutex> lock(callbacksMutex_);
    auto it = callbacks_.find(callbackId);
    if (it == callbacks_.end()) return;
    origin = it->second;
    callbacks_.erase(it);
  }
  BackendUse backend(this);
  if (backend) backend->ReleaseJsCallback(origin.windowId, origin.pageId);
}

void RuntimeLoader::ForgetWindow(uint32_t windowId) {
  auto eraseWindow = [windowId](std::unordered_map<uint64_t, Origin>& map) {
    for (auto it = map.begin(); it != map.end();) {
      it = it->second.windowId == windowId ? map.erase(it) : std::next(it);
    }
  };
  {
    std::lock_guard<std::mutex> lock(callWindowsMutex_);
    eraseWindow(callWindows_);
  }
  std::lock_guard<std::mutex> lock(callbacksMutex_);
  eraseWindow(callbacks_);
}

void RuntimeLoader::SetSchemeRequestHandler(const std::string& scheme,
                                            wexlor_scheme_request_handler request,
                                            wexlor_scheme_stop_handler stop, void* userData) {
  {
    std::lock_guard<std::mutex> lock(schemeMutex_);
    schemeRequest_ = request;
    schemeStop_ = stop;
    schemeUserData_ = userData;
  }
  if (request == nullptr) return;
  BackendUse backend(this);
  if (backend) backend->RegisterSchemeHandler(scheme);
}

void RuntimeLoader::DispatchSchemeRequest(uint32_t windowId,
                                          std::shared_ptr<SchemeExchangeBase> exchange,
                                          const std::string& method, const std::string& url,
                                          const std::string& headers) {
  wexlor_scheme_request_handler request;
  void* userData;
  {
    std::lock_guard<std::mutex> lock(schemeMutex_);
    request = schemeRequest_;
    userData = schemeUserData_;
  }
  if (request == nullptr) {
    exchange->Finish();
    return;
  }
  wexlor_scheme_exchange* handle = SchemeExchangeBase::Register(std::move(exchange));
  request(userData, windowId, handle, method.c_str(), url.c_str(), headers.data(), headers.size());
}

bool RuntimeLoader::NotifySchemeStopped(SchemeExchangeBase* exchange) {
  wexlor_scheme_stop_handler stop;
  void* userData;
  {
    std::lock_guard<std::mutex> lock(schemeMutex_);
    stop = schemeStop_;
    userData = schemeUserData_;
  }
  if (stop == nullptr) return false;
  stop(userData, exchange->AsHandle());
  return true;
}
