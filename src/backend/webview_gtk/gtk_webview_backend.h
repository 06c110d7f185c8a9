// The GTK shell's backend: every window is a GtkWindow holding one
// WebKitWebView. Public operations may be called from any thread; their
// work runs on the main thread through the main queue, in call order.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "backend/wexlor_backend.h"
#include "common/menu_tree.h"

// One live window. Owned by the backend's window map; the GTK objects are
// referenced by it until the window is removed.
struct GtkWindowState {
  uint32_t id = 0;
  GtkWindow* window = nullptr;
  WebKitWebView* webView = nullptr;
  WebKitUserContentManager* contentManager = nullptr;
  GtkWidget* box = nullptr;      // holds the menu bar slot above the web view
  GtkWidget* menuBar = nullptr;  // the menu shown: a bar, or an unshown menu (frameless, panel)
  GtkAccelGroup* accelGroup = nullptr;                   // the shown menu's accelerators
  std::shared_ptr<const wexlor_common::MenuSetup> menu;  // the window's own menu, when set
  bool showsMenuBar = true;                              // false for frameless windows and panels
  std::vector<std::pair<gpointer, gulong>> signals;      // (instance, handler id)
  bool alwaysOnTop = false;
};

// Size and position the runtime asked for that the window system has not
// confirmed yet. Queries report them meanwhile, so a query sees the effect of
// the setters issued before it. Main thread only.
struct RequestedGeometry {
  struct Pair {
    bool pending = false;
    int a = 0, b = 0;
    gint64 since = 0;  // g_get_monotonic_time() of the request
  };
  Pair size, position;
  // The position the runtime last set, reported where the window system
  // neither tells nor takes positions (Wayland).
  int setX = 0, setY = 0;

  void Request(Pair& p, int a, int b) { p = {true, a, b, g_get_monotonic_time()}; }
  // A configure report of the window system: a report that matches confirms
  // the request; one that differs and comes well after it overrides it.
  // Earlier reports may still be on their way right after a request.
  static void Report(Pair& p, int a, int b) {
    if (!p.pending) return;
    if ((a == p.a && b == p.b) || g_get_monotonic_time() - p.since > kSettleUs) p.pending = false;
  }
  // The requested pair while it is pending and not stale.
  static bool Current(Pair& p, int* a, int* b) {
    if (p.pending && g_get_monotonic_time() - p.since > kStaleUs) p.pending = false;
    if (!p.pending) return false;
    *a = p.a;
    *b = p.b;
    return true;
  }
  static constexpr gint64 kSettleUs = 250000;
  // A window system that never answers: the real geometry again.
  static constexpr gint64 kStaleUs = 2000000;
};

// Whether the display's window system lets clients read and set window
// positions and stacking (X11 does; Wayland does not). Main thread.
bool WindowSystemHasPositions();

// Closes the context menu shown over `window` (any window when null).
// Main thread.
void CloseContextMenuOf(GtkWindow* window);

// The request record of a window made by the backend (main thread).
RequestedGeometry* RequestedGeometryOf(GtkWindow* window);

// Platform window → window id, for code that starts from a GTK window
// (input events, menus). Locked after the backend's window mutex when both
// are needed, never before.
extern std::map<GtkWindow*, uint32_t> g_gtkwindow_to_wexlor_id;
extern std::mutex g_gtkwindow_mutex;

// A live window's GTK objects, referenced for work done without the window
// lock: GTK and WebKit calls may re-enter the runtime's handlers, which may
// in turn query windows.
struct WindowRefs {
  WindowRefs() = default;
  WindowRefs(GtkWindow* w, WebKitWebView* v);
  WindowRefs(WindowRefs&& other) noexcept;
  WindowRefs(const WindowRefs&) = delete;
  WindowRefs& operator=(const WindowRefs&) = delete;
  ~WindowRefs();
  explicit operator bool() const { return window != nullptr; }

  GtkWindow* window = nullptr;
  WebKitWebView* webView = nullptr;
};

class GtkWebViewBackend : public WexlorBackend {
 public:
  explicit GtkWebViewBackend(GtkApplication* app);
  ~GtkWebViewBackend() override;

  void CreateWindow(uint32_t windowId, int width, int height) override;
  void CreateWindowEx(uint32_t windowId, int width, int height, uint32_t flags) override;
  void CloseWindow(uint32_t windowId) override;
  void Navigate(uint32_t windowId, const std::string& url) override;
  void SetTitle(uint32_t windowId, const std::string& title) override;
  void ExecuteJs(uint32_t windowId, const std::string& script, wexlor_execute_js_callback callback,
                 void* userData) override;
  void SetWindowSize(uint32_t windowId, int width, int height) override;
  void GetWindowSize(uint32_t windowId, int* width, int* height) override;
  void SetWindowPosition(uint32_t windowId, int x, int y) override;
  void GetWindowPosition(uint32_t windowId, int* x, int* y) override;
  void SetResizable(uint32_t windowId, bool resizable) override;
  bool IsResizable(uint32_t windowId) override;
  void SetAlwaysOnTop(uint32_t windowId, bool onTop) override;
  bool IsAlwaysOnTop(uint32_t windowId) override;
  void SetWindowOpacity(uint32_t windowId, double opacity) override;
  double GetWindowOpacity(uint32_t windowId) override;
  bool IsVisible(uint32_t windowId) override;
  void Show(uint32_t windowId) override;
  void Hide(uint32_t windowId) override;
  void Focus(uint32_t windowId) override;
  void Quit() override;
  void PostUiTask(void (*task)(void*), void* userData) override;
  void Run() override;
  void InvokeJsCallback(uint32_t windowId, uint64_t callbackId,
                        std::shared_ptr<wexlor::Value> args) override;
  void ReleaseJsCallback(uint32_t windowId, uint64_t callbackId) override;
  void RespondToJsCall(uint32_t windowId, uint64_t callId, std::shared_ptr<wexlor::Value> result,
                       std::shared_ptr<wexlor::Value> error) override;
  void SetApplicationMenu(uint32_t windowId, wexlor_value* menu, const wexlor_backend_api* api,
                          wexlor_menu_click_handler click, void* userData) override;
  void ShowContextMenu(uint32_t windowId, int x, int y, wexlor_value* menu,
                       const wexlor_backend_api* api, wexlor_menu_click_handler click,
                       void* userData) override;
  void OpenDevTools(uint32_t windowId) override;
  void OpenExternalURL(const std::string& url) override;
  int ShowDialog(uint32_t windowId, int kind, const std::string& title, const std::string& message,
                 const std::string& defaultText, char** outText) override;
  char* ReadClipboardText() override;
  void WriteClipboardText(const std::string& text) override;
  void SetDockBadge(const char* text) override;
  void BounceDock(int type) override;
  void SetDockMenu(wexlor_value* menu, const wexlor_backend_api* api,
                   wexlor_menu_click_handler click, void* userData) override;
  void SetDockVisible(bool visible) override;
  void SetDockReopenHandler(wexlor_dock_reopen_handler handler, void* userData) override;
  uint32_t CreateTrayIcon() override;
  void DestroyTrayIcon(uint32_t trayId) override;
  void SetTrayIcon(uint32_t trayId, const void* bytes, size_t length) override;
  void SetTrayTooltip(uint32_t trayId, const char* text) override;
  void SetTrayMenu(uint32_t trayId, wexlor_value* menu, const wexlor_backend_api* api,
                   wexlor_menu_click_handler click, void* userData) override;
  void SetTrayClickHandler(uint32_t trayId, wexlor_tray_click_handler handler,
                           void* userData) override;
  void SetTrayDoubleClickHandler(uint32_t trayId, wexlor_tray_click_handler handler,
                                 void* userData) override;
  void SetTrayIconDark(uint32_t trayId, const void* bytes, size_t length) override;
  bool GetTrayIconBounds(uint32_t trayId, int* x, int* y, int* width, int* height) override;
  uint32_t ShowNotification(wexlor_value* options, const wexlor_backend_api* api,
                            wexlor_notification_handler handler, void* userData) override;
  void CloseNotification(uint32_t notificationId) override;
  void QueryPermission(int kind, wexlor_permission_handler handler, void* userData) override;
  void RequestPermission(int kind, wexlor_permission_handler handler, void* userData) override;

  // Window map access for the shell's own parts; the caller holds
  // windowsMutex_.
  GtkWindowState* GetWindow(uint32_t windowId);
  // The window's objects, or empty when no window has that id.
  WindowRefs Refs(uint32_t windowId);
  size_t WindowCount();

 private:
  void CreateWindowOnMain(uint32_t id, int width, int height, uint32_t flags);
  void CloseWindowOnMain(uint32_t id);
  // Takes one window's state out of the map; the caller holds windowsMutex_.
  std::optional<GtkWindowState> TakeWindowState(uint32_t id);
  // Disconnects a state taken out of the map and drops its menu; without
  // the lock, since handlers may run.
  static void DetachWindowState(GtkWindowState& state);
  void Evaluate(uint32_t windowId, std::string script, bool everyWindow);
  // Builds and shows the window's menu (its own, else the application's).
  void InstallMenuOnMain(uint32_t id);
  // The window's menu widgets, taken out of its state under windowsMutex_
  // and destroyed after it is released: destroying runs handlers.
  struct MenuWidgets {
    GtkWindow* window = nullptr;
    GtkWidget* menu = nullptr;
    GtkAccelGroup* group = nullptr;
  };
  static MenuWidgets TakeMenuWidgets(GtkWindowState& state);
  static void DestroyMenuWidgets(const MenuWidgets& widgets);

  GtkApplication* app_;
  std::map<uint32_t, GtkWindowState> windows_;
  std::mutex windowsMutex_;
  // Shown in every window without a menu of its own; main thread only.
  std::shared_ptr<const wexlor_common::MenuSetup> appMenu_;
  bool appMenuFromRuntime_ = false;  // false while appMenu_ is the start-up menu
};

void UnregisterGtkWindow(GtkWindow* window);

// Makes documents of `url` (or, with `htmlText`, HTML text loaded by the
// runtime) the window's own before the runtime navigates there; main thread.
void TrustNavigation(GtkWindow* window, WebKitWebView* view, const std::string& url, bool htmlText);
// The window showing `view` and its bridge key, when its committed top-level
// document is one of the application's; false otherwise. Main thread.
bool WexlorBridgeKeyOf(WebKitWebView* view, uint32_t* windowId, std::string* key);
// "permission-request" of every web view: answers notification requests.
gboolean OnWebPermissionRequest(WebKitWebView* webView, WebKitPermissionRequest* request,
                                gpointer data);

// The application's one web context, made on first use: its own website
// data (see web_data_gtk.h), the web processes' memory limit and sandbox,
// and the "app" scheme.
WebKitWebContext* WexlorWebContext();
