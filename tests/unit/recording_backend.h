// A WexlorBackend that records every operation as one line of text, for
// tests of the table and the call routing.
#pragma once

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/wexlor_backend.h"
#include "runtime/value_api.h"
#include "value/json.h"

class RecordingBackend : public WexlorBackend {
 public:
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }

  // Query results.
  int width = 11, height = 22, x = 33, y = 44;
  bool flag = true;
  double opacity = 0.5;
  uint32_t trayId = 9, notificationId = 5;
  // Every operation throws once it has been recorded.
  bool failing = false;
  // The handler that came with the latest ShowNotification.
  wexlor_notification_handler notificationHandler = nullptr;
  void* notificationData = nullptr;

  void CreateWindow(uint32_t id, int w, int h) override { Log("CreateWindow", id, w, h); }
  void CreateWindowEx(uint32_t id, int w, int h, uint32_t flags) override {
    Log("CreateWindowEx", id, w, h, flags);
  }
  void CloseWindow(uint32_t id) override { Log("CloseWindow", id); }
  void Navigate(uint32_t id, const std::string& url) override { Log("Navigate", id, url); }
  void SetTitle(uint32_t id, const std::string& title) override { Log("SetTitle", id, title); }
  void ExecuteJs(uint32_t id, const std::string& script, wexlor_execute_js_callback,
                 void*) override {
    Log("ExecuteJs", id, script);
  }
  void SetWindowSize(uint32_t id, int w, int h) override { Log("SetWindowSize", id, w, h); }
  void GetWindowSize(uint32_t id, int* w, int* h) override {
    Log("GetWindowSize", id);
    *w = width;
    *h = height;
  }
  void SetWindowPosition(uint32_t id, int px, int py) override {
    Log("SetWindowPosition", id, px, py);
  }
  void GetWindowPosition(uint32_t id, int* px, int* py) override {
    Log("GetWindowPosition", id);
    *px = x;
    *py = y;
  }
  void SetResizable(uint32_t id, bool v) override { Log("SetResizable", id, v); }
  bool IsResizable(uint32_t id) override { return Log("IsResizable", id), flag; }
  void SetAlwaysOnTop(uint32_t id, bool v) override { Log("SetAlwaysOnTop", id, v); }
  bool IsAlwaysOnTop(uint32_t id) override { return Log("IsAlwaysOnTop", id), flag; }
  void SetWindowOpacity(uint32_t id, double v) override { Log("SetWindowOpacity", id, v); }
  double GetWindowOpacity(uint32_t id) override { return Log("GetWindowOpacity", id), opacity; }
  bool IsVisible(uint32_t id) override { return Log("IsVisible", id), flag; }
  void Show(uint32_t id) override { Log("Show", id); }
  void Hide(uint32_t id) override { Log("Hide", id); }
  void Focus(uint32_t id) override { Log("Focus", id); }
  void Quit() override { Log("Quit"); }
  void PostUiTask(void (*task)(void*), void* ud) override {
    Log("PostUiTask");
    task(ud);
  }
  void Run() override { Log("Run"); }
  void InvokeJsCallback(uint32_t id, uint64_t cb, std::shared_ptr<wexlor::Value> args) override {
    Log("InvokeJsCallback", id, cb, json::Serialize(args));
  }
  void ReleaseJsCallback(uint32_t id, uint64_t cb) override { Log("ReleaseJsCallback", id, cb); }
  void RespondToJsCall(uint32_t id, uint64_t call, std::shared_ptr<wexlor::Value> result,
                       std::shared_ptr<wexlor::Value> error) override {
    Log("RespondToJsCall", id, call, json::Serialize(result),
        error ? json::Serialize(error) : std::string("<none>"));
  }
  void SetApplicationMenu(uint32_t id, wexlor_value* menu, const wexlor_backend_api* api,
                          wexlor_menu_click_handler, void*) override {
    Log("SetApplicationMenu", id, Json(menu), api != nullptr);
    ValueFree(menu);  // handed over, like every menu description
  }
  void ShowContextMenu(uint32_t id, int px, int py, wexlor_value* menu,
                       const wexlor_backend_api* api, wexlor_menu_click_handler, void*) override {
    Log("ShowContextMenu", id, px, py, Json(menu), api != nullptr);
    ValueFree(menu);
  }
  void OpenDevTools(uint32_t id) override { Log("OpenDevTools", id); }
  void OpenExternalURL(const std::string& url) override { Log("OpenExternalURL", url); }
  void RegisterSchemeHandler(const std::string& scheme) override {
    Log("RegisterSchemeHandler", scheme);
  }
  int ShowDialog(uint32_t id, int kind, const std::string& title, const std::string& message,
                 const std::string& def, char** out) override {
    Log("ShowDialog", id, kind, title, message, def);
    if (out) *out = strdup("typed");
    return 1;
  }
  char* ReadClipboardText() override { return Log("ReadClipboardText"), strdup("clip"); }
  void WriteClipboardText(const std::string& text) override { Log("WriteClipboardText", text); }
  void SetDockBadge(const char* text) override { Log("SetDockBadge", text ? text : "<null>"); }
  void BounceDock(int type) override { Log("BounceDock", type); }
  void SetDockMenu(wexlor_value* menu, const wexlor_backend_api*, wexlor_menu_click_handler,
                   void*) override {
    Log("SetDockMenu", Json(menu));
    ValueFree(menu);
  }
  void SetDockVisible(bool v) override { Log("SetDockVisible", v); }
  void SetDockReopenHandler(wexlor_dock_reopen_handler h, void*) override {
    Log("SetDockReopenHandler", h != nullptr);
  }
  uint32_t CreateTrayIcon() override { return Log("CreateTrayIcon"), trayId; }
  void DestroyTrayIcon(uint32_t id) override { Log("DestroyTrayIcon", id); }
  void SetTrayIcon(uint32_t id, const void*, size_t n) override { Log("SetTrayIcon", id, n); }
  void SetTrayTooltip(uint32_t id, const char* text) override {
    Log("SetTrayTooltip", id, text ? text : "<null>");
  }
  void SetTrayMenu(uint32_t id, wexlor_value* menu, const wexlor_backend_api*,
                   wexlor_menu_click_handler, void*) override {
    Log("SetTrayMenu", id, Json(menu));
  }
  void SetTrayClickHandler(uint32_t id, wexlor_tray_click_handler, void*) override {
    Log("SetTrayClickHandler", id);
  }
  void SetTrayDoubleClickHandler(uint32_t id, wexlor_tray_click_handler, void*) override {
    Log("SetTrayDoubleClickHandler", id);
  }
  void SetTrayIconDark(uint32_t id, const void*, size_t n) override {
    Log("SetTrayIconDark", id, n);
  }
  bool GetTrayIconBounds(uint32_t id, int* px, int* py, int* w, int* h) override {
    Log("GetTrayIconBounds", id);
    *px = 1, *py = 2, *w = 3, *h = 4;
    return true;
  }
  uint32_t ShowNotification(wexlor_value* options, const wexlor_backend_api*,
                            wexlor_notification_handler handler, void* data) override {
    notificationHandler = handler;
    notificationData = data;
    const std::string text = Json(options);
    ValueFree(options);
    Log("ShowNotification", text);
    return notificationId;
  }
  void CloseNotification(uint32_t id) override { Log("CloseNotification", id); }
  void QueryPermission(int kind, wexlor_permission_handler h, void* ud) override {
    Log("QueryPermission", kind);
    if (h) h(ud, 0);
  }
  void RequestPermission(int kind, wexlor_permission_handler h, void* ud) override {
    Log("RequestPermission", kind);
    if (h) h(ud, 1);
  }

 private:
  static std::string Json(wexlor_value* h) { return h ? json::Serialize(h->value) : "<null>"; }

  template <typename... Args>
  void Log(const char* op, const Args&... args) {
    std::ostringstream line;
    line << op;
    ((line << ' ' << args), ...);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(line.str());
    }
    if (failing) throw std::runtime_error(op);
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
};
