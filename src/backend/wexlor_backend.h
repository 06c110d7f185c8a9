// The abstract user-interface backend. The runtime table forwards almost
// every request to one of these operations; the platform shell implements
// them. Operations are called from any thread; the implementation carries
// the work to the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "value/value.h"
#include "wexlor/wexlor.h"

class WexlorBackend {
 public:
  virtual ~WexlorBackend() = default;

  virtual void CreateWindow(uint32_t windowId, int width, int height) = 0;
  virtual void CreateWindowEx(uint32_t windowId, int width, int height, uint32_t flags) = 0;
  virtual void CloseWindow(uint32_t windowId) = 0;
  virtual void Navigate(uint32_t windowId, const std::string& url) = 0;
  virtual void SetTitle(uint32_t windowId, const std::string& title) = 0;
  virtual void ExecuteJs(uint32_t windowId, const std::string& script,
                         wexlor_execute_js_callback callback, void* userData) = 0;
  virtual void SetWindowSize(uint32_t windowId, int width, int height) = 0;
  virtual void GetWindowSize(uint32_t windowId, int* width, int* height) = 0;
  virtual void SetWindowPosition(uint32_t windowId, int x, int y) = 0;
  virtual void GetWindowPosition(uint32_t windowId, int* x, int* y) = 0;
  virtual void SetResizable(uint32_t windowId, bool resizable) = 0;
  virtual bool IsResizable(uint32_t windowId) = 0;
  virtual void SetAlwaysOnTop(uint32_t windowId, bool onTop) = 0;
  virtual bool IsAlwaysOnTop(uint32_t windowId) = 0;
  virtual void SetWindowOpacity(uint32_t windowId, double opacity) = 0;
  virtual double GetWindowOpacity(uint32_t windowId) = 0;
  virtual bool IsVisible(uint32_t windowId) = 0;
  virtual void Show(uint32_t windowId) = 0;
  virtual void Hide(uint32_t windowId) = 0;
  virtual void Focus(uint32_t windowId) = 0;
  virtual void Quit() = 0;
  virtual void PostUiTask(void (*task)(void*), void* userData) = 0;
  virtual void Run() = 0;
  virtual void InvokeJsCallback(uint32_t windowId, uint64_t callbackId,
                                std::shared_ptr<wexlor::Value> args) = 0;
  virtual void ReleaseJsCallback(uint32_t windowId, uint64_t callbackId) = 0;
  virtual void RespondToJsCall(uint32_t windowId, uint64_t callId,
                               std::shared_ptr<wexlor::Value> result,
                               std::shared_ptr<wexlor::Value> error) = 0;
  virtual void SetApplicationMenu(uint32_t windowId, wexlor_value* menu,
                                  const wexlor_backend_api* api, wexlor_menu_click_handler click,
                                  void* userData) = 0;
  virtual void ShowContextMenu(uint32_t windowId, int x, int y, wexlor_value* menu,
                               const wexlor_backend_api* api, wexlor_menu_click_handler click,
                               void* userData) = 0;
  virtual void OpenDevTools(uint32_t windowId) = 0;
  virtual void OpenExternalURL(const std::string& url) = 0;
  // The shell serves its fixed "app" scheme on every window; other schemes
  // are not supported, so the default does nothing.
  virtual void RegisterSchemeHandler(const std::string& scheme) { (void)scheme; }
  virtual int ShowDialog(uint32_t windowId, int kind, const std::string& title,
                         const std::string& message, const std::string& defaultText,
                         char** outText) = 0;
  virtual char* ReadClipboardText() = 0;
  virtual void WriteClipboardText(const std::string& text) = 0;
  virtual void SetDockBadge(const char* text) = 0;
  virtual void BounceDock(int type) = 0;
  virtual void SetDockMenu(wexlor_value* menu, const wexlor_backend_api* api,
                           wexlor_menu_click_handler click, void* userData) = 0;
  virtual void SetDockVisible(bool visible) = 0;
  virtual void SetDockReopenHandler(wexlor_dock_reopen_handler handler, void* userData) = 0;
  virtual uint32_t CreateTrayIcon() = 0;
  virtual void DestroyTrayIcon(uint32_t trayId) = 0;
  virtual void SetTrayIcon(uint32_t trayId, const void* bytes, size_t length) = 0;
  virtual void SetTrayTooltip(uint32_t trayId, const char* text) = 0;
  virtual void SetTrayMenu(uint32_t trayId, wexlor_value* menu, const wexlor_backend_api* api,
                           wexlor_menu_click_handler click, void* userData) = 0;
  virtual void SetTrayClickHandler(uint32_t trayId, wexlor_tray_click_handler handler,
                                   void* userData) = 0;
  virtual void SetTrayDoubleClickHandler(uint32_t trayId, wexlor_tray_click_handler handler,
                                         void* userData) = 0;
  virtual void SetTrayIconDark(uint32_t trayId, const void* bytes, size_t length) = 0;
  virtual bool GetTrayIconBounds(uint32_t trayId, int* x, int* y, int* width, int* height) = 0;
  // Takes over `options` and releases it.
  virtual uint32_t ShowNotification(wexlor_value* options, const wexlor_backend_api* api,
                                    wexlor_notification_handler handler, void* userData) = 0;
  virtual void CloseNotification(uint32_t notificationId) = 0;
  virtual void QueryPermission(int kind, wexlor_permission_handler handler, void* userData) = 0;
  virtual void RequestPermission(int kind, wexlor_permission_handler handler, void* userData) = 0;
};

// Creates the platform shell's backend; the caller owns it.
WexlorBackend* CreateWexlorBackend();
