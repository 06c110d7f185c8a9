// The process-wide owner of the runtime library: loading, the runtime
// thread, the backend table, the runtime's handler registrations and the
// routing of page calls to the runtime and of its answers back.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "value/value.h"
#include "wexlor/wexlor.h"

class WexlorBackend;
class SchemeExchangeBase;

// Path of a runtime library beside the executable (the executable's path
// with its extension replaced by ".so"), or "" when there is none.
std::string WexlorFindColocatedRuntime();
// The same rule for a given executable path; exposed for tests.
std::string ColocatedRuntimeCandidate(const std::string& executablePath);

// One handler the runtime registered: a function and its user data, under a
// lock of its own. Callers hold the lock while the handler runs, so it is
// never replaced during its own call.
template <typename Fn>
struct HandlerRegistration {
  std::mutex mutex;
  Fn fn = nullptr;
  void* userData = nullptr;

  void Set(Fn f, void* ud) {
    std::lock_guard<std::mutex> lock(mutex);
    fn = f;
    userData = ud;
  }
  std::pair<Fn, void*> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return {fn, userData};
  }
  // Calls the handler, if one is set, with its user data first.
  template <typename... Args>
  bool Call(Args... args) {
    std::lock_guard<std::mutex> lock(mutex);
    if (fn == nullptr) return false;
    fn(userData, args...);
    return true;
  }
};

class RuntimeLoader {
 public:
  struct PendingJsCall {
    uint32_t windowId;
    uint64_t callId;  // host-unique; see OnJsCall
    std::string method;
    std::shared_ptr<wexlor::Value> args;
  };

  static RuntimeLoader* GetInstance();

  bool Load(const std::string& path);
  bool Start();
  void Shutdown();

  // The backend every table entry forwards to; null in worker mode.
  // SetBackend(nullptr) waits until no table entry still uses the old one,
  // so the caller may delete it afterwards.
  void SetBackend(WexlorBackend* backend);
  WexlorBackend* backend() const { return backend_.load(); }
  const wexlor_backend_api* api() const { return &api_; }
  const wexlor_host_extensions* extensions() const { return &extensions_; }
  // The loaded library's path with symbolic links resolved (as given when
  // it cannot be resolved); empty before Load.
  const std::string& libraryPath() const { return libraryPath_; }
  bool running() const { return running_.load(std::memory_order_acquire); }
  // What the start entry returned; 0 until it has returned.
  int startResult() const { return startResult_.load(std::memory_order_acquire); }

  // Page namespace for windows created from now on.
  std::string GetJsNamespace();
  void SetJsNamespace(const std::string& name);

  // Page-call routing. Pages number their calls and callbacks themselves, so
  // ids repeat across windows; the host gives each call and callback a
  // host-unique id that the runtime sees, and translates back on the way out.
  void OnJsCall(uint32_t windowId, uint64_t pageCallId, const std::string& method,
                std::shared_ptr<wexlor::Value> args);
  void PollPendingJsCalls();
  void JsCallRespond(uint64_t callId, std::shared_ptr<wexlor::Value> result,
                     std::shared_ptr<wexlor::Value> error);
  void InvokeJsCallback(uint64_t callbackId, std::shared_ptr<wexlor::Value> args);
  void ReleaseJsCallback(uint64_t callbackId);
  // Forgets every pending call and callback of one window, when its page is
  // replaced or it closes; later answers and invocations for them are dropped.
  void ForgetWindow(uint32_t windowId);

  void SetSchemeRequestHandler(const std::string& scheme, wexlor_scheme_request_handler request,
                               wexlor_scheme_stop_handler stop, void* userData);
  // Registers the exchange and hands its handle to the runtime's request
  // function; with no request function the exchange is finished at once.
  void DispatchSchemeRequest(uint32_t windowId, std::shared_ptr<SchemeExchangeBase> exchange,
                             const std::string& method, const std::string& url,
                             const std::string& headers);
  // Tells the runtime that a request was given up; false when no stop
  // function is registered.
  bool NotifySchemeStopped(SchemeExchangeBase* exchange);

  uint32_t AllocateWindowId() { return nextWindowId_.fetch_add(1); }

  // Handler registrations, set through the table and called by the shell on
  // the main thread.
  HandlerRegistration<wexlor_js_call_handler> jsCallHandler_;
  HandlerRegistration<wexlor_keyboard_handler> keyboardHandler_;
  HandlerRegistration<wexlor_mouse_click_handler> mouseClickHandler_;
  HandlerRegistration<wexlor_mouse_move_handler> mouseMoveHandler_;
  HandlerRegistration<wexlor_wheel_handler> wheelHandler_;
  HandlerRegistration<wexlor_cursor_enter_leave_handler> cursorEnterLeaveHandler_;
  HandlerRegistration<wexlor_focused_handler> focusedHandler_;
  HandlerRegistration<wexlor_resize_handler> resizeHandler_;
  HandlerRegistration<wexlor_move_handler> moveHandler_;
  HandlerRegistration<wexlor_close_requested_handler> closeRequestedHandler_;
  HandlerRegistration<wexlor_page_load_handler> pageLoadHandler_;
  HandlerRegistration<wexlor_js_call_notify> jsCallNotify_;
  // Set through the extension table.
  HandlerRegistration<wexlor_web_process_handler> webProcessHandler_;
  HandlerRegistration<wexlor_drop_handler> dropHandler_;
  HandlerRegistration<wexlor_page_permission_handler> pagePermissionHandler_;

  // Holds the backend for the duration of one table entry; see SetBackend.
  class BackendUse {
   public:
    explicit BackendUse(RuntimeLoader* loader);
    ~BackendUse();
    BackendUse(const BackendUse&) = delete;
    BackendUse& operator=(const BackendUse&) = delete;
    WexlorBackend* get() const { return backend_; }
    WexlorBackend* operator->() const { return backend_; }
    explicit operator bool() const { return backend_ != nullptr; }

   private:
    RuntimeLoader* loader_;
    WexlorBackend* backend_;
  };

 private:
  RuntimeLoader();
  ~RuntimeLoader();
  void RuntimeThread();
  void InitializeBackendApi();
  void InitializeExtensionApi();
  void TranslateCallbacks(uint32_t windowId, wexlor::Value* v, int depth);

  struct Origin {
    uint32_t windowId;
    uint64_t pageId;
  };

  void* library_ = nullptr;
  std::string libraryPath_;
  wexlor_runtime_init_fn initFn_ = nullptr;
  wexlor_runtime_start_fn startFn_ = nullptr;
  wexlor_runtime_shutdown_fn shutdownFn_ = nullptr;
  wexlor_runtime_extensions_fn extensionsFn_ = nullptr;  // optional
  std::thread runtimeThread_;
  std::atomic<bool> running_{false};
  std::atomic<int> startResult_{0};
  std::atomic<WexlorBackend*> backend_{nullptr};
  std::atomic<int> backendUsers_{0};
  wexlor_backend_api api_;
  wexlor_host_extensions extensions_;

  std::mutex schemeMutex_;
  wexlor_scheme_request_handler schemeRequest_ = nullptr;
  wexlor_scheme_stop_handler schemeStop_ = nullptr;
  void* schemeUserData_ = nullptr;

  std::atomic<uint32_t> nextWindowId_{1};

  // Host call id → the window and the page's own call id.
  std::mutex callWindowsMutex_;
  std::unordered_map<uint64_t, Origin> callWindows_;
  uint64_t nextCallId_ = 1;
  // Host callback id → the window and the page's own callback id.
  std::mutex callbacksMutex_;
  std::unordered_map<uint64_t, Origin> callbacks_;
  uint64_t nextCallbackId_ = 1;

  std::mutex jsNamespaceMutex_;
  std::string jsNamespace_ = "Wexlor";

  std::mutex pendingMutex_;
  std::deque<PendingJsCall> pendingJsCalls_;
};
