#include "backend/webview_gtk/gtk_webview_backend.h"

#include <gdk/gdkx.h>

#include <cstring>
#include <utility>

#include "backend/bridge_message.h"
#include "backend/bridge_scripts.h"
#include "backend/page_trust.h"
#include "backend/webview_gtk/automation_gtk.h"
#include "backend/webview_gtk/event_monitors.h"
#include "backend/webview_gtk/scheme_gtk.h"
#include "backend/webview_gtk/web_process_gtk.h"
#include "backend/webview_gtk/web_data_gtk.h"
#include "common/gtk/dialogs_gtk.h"
#include "common/gtk/dock_gtk.h"
#include "common/gtk/main_queue.h"
#include "runtime/runtime_loader.h"
#include "value/json.h"

using wexlor::Value;
using wexlor_common::MainQueue;

std::map<GtkWindow*, uint32_t> g_gtkwindow_to_wexlor_id;
std::mutex g_gtkwindow_mutex;

namespace {

constexpr uint32_t kWindowFlagFrameless = 0x01;
constexpr uint32_t kWindowFlagPanel = 0x02;
constexpr uint32_t kWindowFlagHidden = 0x08;
constexpr uint32_t kWindowFlagTransparent = 0x10;

RuntimeLoader* Loader() { return RuntimeLoader::GetInstance(); }

// Per-window data the signal handlers receive; lives as long as the window.
// Main thread only.
struct WindowSignalData {
  uint32_t id = 0;
  GtkWebViewBackend* backend = nullptr;
  std::string ns;   // the page namespace the window was created with
  std::string key;  // sent by the bridge of the application's own documents
  PageTrust trust;
  bool documentTrusted = false;  // the committed top-level document
  bool warnedAboutDrop = false;
  int lastWidth = -1, lastHeight = -1;
  int lastX = G_MININT, lastY = G_MININT;
  RequestedGeometry requested;
  // The current main-frame load failed: its finish is not a page load, nor
  // is that of the error page the engine then loads for the failed URI.
  bool loadFailed = false;
  bool inErrorPage = false;
  std::string errorPageUri;  // set from the failure until the next load starts
};

WindowSignalData* SignalData(GtkWindow* window) {
  return static_cast<WindowSignalData*>(g_object_get_data(G_OBJECT(window), "wexlor-window"));
}

// (Re)installs the window's bridge with its current trust rule; documents
// started from now on get it.
void InstallBridge(WebKitUserContentManager* manager, const WindowSignalData& data) {
  const std::string script = BuildInitScript(data.ns, kBridgeSendStatement,
                                             BridgeAccess{data.key, data.trust.ScriptLiteral()});
  WebKitUserScript* userScript =
      webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_remove_all_scripts(manager);
  webkit_user_content_manager_add_script(manager, userScript);
  webkit_user_script_unref(userScript);
}
}  // namespace

bool WindowSystemHasPositions() {
  GdkDisplay* display = gdk_display_get_default();
  return display != nullptr && GDK_IS_X11_DISPLAY(display);
}

RequestedGeometry* RequestedGeometryOf(GtkWindow* window) {
  auto* data = static_cast<WindowSignalData*>(g_object_get_data(G_OBJECT(window), "wexlor-window"));
  return data != nullptr ? &data->requested : nullptr;
}

namespace {

void Connect(GtkWindowState& state, gpointer instance, const char* signal, GCallback cb,
             gpointer data) {
  state.signals.emplace_back(instance, g_signal_connect(instance, signal, cb, data));
}

// ---------------------------------------------------------------------------
// Signal handlers (main thread)

gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
  // The window stays open: the runtime decides whether to close it.
  Loader()->closeRequestedHandler_.Call(static_cast<WindowSignalData*>(data)->id);
  return TRUE;
}

void OnActiveChanged(GObject* window, GParamSpec*, gpointer data) {
  const int32_t focused = gtk_window_is_active(GTK_WINDOW(window)) ? 1 : 0;
  Loader()->focusedHandler_.Call(static_cast<WindowSignalData*>(data)->id, focused);
}

gboolean OnConfigure(GtkWidget* window, GdkEvent*, gpointer data) {
  auto* d = static_cast<WindowSignalData*>(data);
  int x = 0, y = 0, width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(window), &width, &height);
  RequestedGeometry::Report(d->requested.size, width, height);
  // Without positions from the window system there is nothing to report:
  // what GTK gives there is its own frame offset, not a place on screen.
  if (!WindowSystemHasPositions()) return FALSE;
  gtk_window_get_position(GTK_WINDOW(window), &x, &y);
  RequestedGeometry::Report(d->requested.position, x, y);
  if (x != d->lastX || y != d->lastY) {
    d->lastX = x;
    d->lastY = y;
    Loader()->moveHandler_.Call(d->id, static_cast<int32_t>(x), static_cast<int32_t>(y));
  }
  return FALSE;
}

void OnWebViewAllocated(GtkWidget*, GdkRectangle* allocation, gpointer data) {
  auto* d = static_cast<WindowSignalData*>(data);
  if (allocation->width == d->lastWidth && allocation->height == d->lastHeight) return;
  d->lastWidth = allocation->width;
  d->lastHeight = allocation->height;
  Loader()->resizeHandler_.Call(d->id, static_cast<int32_t>(allocation->width),
                                static_cast<int32_t>(allocation->height));
}

void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* d = static_cast<WindowSignalData*>(data);
  const uint32_t id = d->id;
  if (event == WEBKIT_LOAD_STARTED) {
    const char* uri = webkit_web_view_get_uri(view);
    d->inErrorPage = !d->errorPageUri.empty() && uri != nullptr && d->errorPageUri == uri;
    d->errorPageUri.clear();
    d->loadFailed = false;
  } else if (event == WEBKIT_LOAD_COMMITTED) {
    // A new document: answers and callbacks of the old one must not reach it.
    const char* uri = webkit_web_view_get_uri(view);
    d->documentTrusted = uri != nullptr && d->trust.Allows(uri);
    WexlorWebProcessPageCommitted(view);
    Loader()->ForgetWindow(id);
    WexlorStopAppSchemeRequests(id, /*unansweredOnly=*/true);
  } else if (event == WEBKIT_LOAD_FINISHED) {
    // The engine finishes a failed load too (and shows its error page).
    if (d->loadFailed || d->inErrorPage || WexlorShowsWebProcessErrorPage(view)) {
      d->loadFailed = d->inErrorPage = false;
      return;
    }
    Loader()->pageLoadHandler_.Call(id);
  }
}

// A main-frame load that failed: not reported as a page load. The failure is
// one line on standard error, unless the load was merely given up for
// another (a new navigation, a download, a link handed to the desktop).
gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
  auto* d = static_cast<WindowSignalData*>(data);
  d->loadFailed = true;
  d->errorPageUri = uri != nullptr ? uri : "";
  const bool givenUp =
      g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
      g_error_matches(error, WEBKIT_POLICY_ERROR,
                      WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
  if (!givenUp) {
    g_printerr("wexlor: window %u could not load %s: %s\n", d->id, uri != nullptr ? uri : "",
               error != nullptr ? error->message : "unknown error");
  }
  return FALSE;  // the engine loads its error page for `uri`
}

GtkWidget* OnCreateWebView(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
  // New windows are never made; web links of the application's own pages
  // open in the user's browser.
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
  if (uri == nullptr || !IsWebUrl(uri)) return nullptr;
  if (!static_cast<WindowSignalData*>(data)->documentTrusted) {
    g_printerr("wexlor: not opening %s: the page asking is not one of the application's\n", uri);
    return nullptr;
  }
  g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
  return nullptr;
}

// Schemes the web view shows itself; a page navigating to any other
// (mailto:, tel:, …) hands the link to the desktop and stays where it is,
// instead of being replaced by the engine's error page.
bool IsWebViewScheme(const char* uri) {
  char* scheme = g_uri_parse_scheme(uri);
  if (scheme == nullptr) return true;
  static const char* const kShown[] = {"http", "https", "file", "data",       "about", "blob",
                                       "app",  "ws",    "wss",  "javascript", "webkit"};
  bool shown = false;
  for (const char* s : kShown) shown = shown || g_ascii_strcasecmp(scheme, s) == 0;
  g_free(scheme);
  return shown;
}

gboolean OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer data) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
  if (WexlorIsDropNavigation(view, uri)) {
    webkit_policy_decision_ignore(decision);  // a drop never replaces the page
    return TRUE;
  }
  if (uri == nullptr || IsWebViewScheme(uri)) return FALSE;
  webkit_policy_decision_ignore(decision);
  if (webkit_navigation_action_is_user_gesture(action) &&
      static_cast<WindowSignalData*>(data)->documentTrusted) {
    g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
  }
  return TRUE;
}

// The page's alert, confirm and prompt, as application-modal dialogs.
gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer) {
  const char* message = webkit_script_dialog_get_message(dialog);
  const std::string text = message != nullptr ? message : "";
  switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_ALERT:
      wexlor_common::RunScriptDialogGtk(0, text, "", nullptr);
      return TRUE;
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
      webkit_script_dialog_confirm_set_confirmed(
          dialog, wexlor_common::RunScriptDialogGtk(1, text, "", nullptr));
      return TRUE;
    case WEBKIT_SCRIPT_DIALOG_PROMPT: {
      const char* def = webkit_script_dialog_prompt_get_default_text(dialog);
      std::string entered;
      if (wexlor_common::RunScriptDialogGtk(2, text, def != nullptr ? def : "", &entered)) {
        webkit_script_dialog_prompt_set_text(dialog, entered.c_str());
      }
      return TRUE;
    }
    default:
      return FALSE;  // leave "leave this page?" confirmations to the engine
  }
}

// Says once per window why its messages go nowhere.
void WarnAboutDrop(WindowSignalData* d, const std::string& origin) {
  if (d->warnedAboutDrop) return;
  d->warnedAboutDrop = true;
  const std::string from =
      origin.empty() ? "a frame or page that is not the application's" : json::Escape(origin);
  g_printerr(
      "wexlor: window %u: ignoring calls from %s: only the application's own pages "
      "reach the runtime\n",
      d->id, from.c_str());
}

// One bridge message. Messages without the window's key (from other frames,
// or from documents that are not the application's) are dropped; a call the
// runtime could not take as sent is rejected in the page.
void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* d = static_cast<WindowSignalData*>(data);
  JSCValue* body = webkit_javascript_result_get_js_value(result);
  if (body == nullptr || !jsc_value_is_string(body)) {
    WarnAboutDrop(d, "");
    return;
  }
  // JSON text has no raw NUL, so the C string is the whole message.
  char* text = jsc_value_to_string(body);
  if (text == nullptr) return;
  BridgeMessage message = ReadBridgeMessage(text, std::strlen(text), d->key);
  g_free(text);
  switch (message.kind) {
    case BridgeMessage::Kind::kDrop:
      WarnAboutDrop(d, message.origin);
      break;
    case BridgeMessage::Kind::kReject:
      d->backend->RespondToJsCall(d->id, message.callId, nullptr,
                                  Value::String(std::move(message.error)));
      break;
    case BridgeMessage::Kind::kCall:
      Loader()->OnJsCall(d->id, message.callId, message.method, std::move(message.args));
      break;
  }
}

}  // namespace

void TrustNavigation(GtkWindow* window, WebKitWebView* view, const std::string& url,
                     bool htmlText) {
  WindowSignalData* d = SignalData(window);
  if (d == nullptr) return;
  if (!htmlText) WexlorNoteRuntimeNavigation(view, url);
  const bool changed = htmlText ? d->trust.AllowHtmlText() : d->trust.AllowNavigation(url);
  if (changed) InstallBridge(webkit_web_view_get_user_content_manager(view), *d);
}

bool WexlorBridgeKeyOf(WebKitWebView* view, uint32_t* windowId, std::string* key) {
  if (view == nullptr) return false;
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(view));
  WindowSignalData* d = GTK_IS_WINDOW(toplevel) ? SignalData(GTK_WINDOW(toplevel)) : nullptr;
  if (d == nullptr || !d->documentTrusted || d->key.empty()) return false;
  *windowId = d->id;
  *key = d->key;
  return true;
}

WebKitWebContext* WexlorWebContext() {
  static WebKitWebContext* context = [] {
    WebKitMemoryPressureSettings* memory = WexlorWebProcessMemorySettings();
    WebKitWebsiteDataManager* data = WexlorNewWebsiteDataManager();
    auto* ctx = WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "memory-pressure-settings",
                                                memory, "website-data-manager", data, nullptr));
    if (memory != nullptr) webkit_memory_pressure_settings_free(memory);
    g_object_unref(data);
    WexlorSetUpWebProcessSandbox(ctx);
    WexlorSetUpWebsiteData(ctx);
    webkit_web_context_register_uri_scheme(ctx, "app", WexlorHandleAppSchemeRequest, nullptr,
                                           nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(ctx);
    webkit_security_manager_register_uri_scheme_as_secure(security, "app");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "app");
    SetUpAutomation(ctx);
    return ctx;
  }();
  return context;
}

void UnregisterGtkWindow(GtkWindow* window) {
  std::lock_guard<std::mutex> lock(g_gtkwindow_mutex);
  g_gtkwindow_to_wexlor_id.erase(window);
}

WexlorBackend* CreateWexlorBackend() {
  return new GtkWebViewBackend(GTK_APPLICATION(g_application_get_default()));
}

GtkWebViewBackend::GtkWebViewBackend(GtkApplication* app) : app_(app) {
  // Until the runtime sets a menu: Quit under the application's name, and
  // Edit, as keys without a bar.
  auto startup = std::make_shared<wexlor_common::MenuSetup>();
  const char* name = g_get_application_name();
  startup->tree = wexlor_common::BuildStartupMenu(name != nullptr ? name : "Wexlor");
  appMenu_ = std::move(startup);
}

GtkWebViewBackend::~GtkWebViewBackend() {
  RemoveGlobalMonitors();
  std::map<uint32_t, GtkWindowState> windows;
  {
    std::lock_guard<std::mutex> lock(windowsMutex_);
    windows.swap(windows_);
  }
  for (auto& [id, state] : windows) DetachWindowState(state);
}

WindowRefs::WindowRefs(GtkWindow* w, WebKitWebView* v)
    : window(GTK_WINDOW(g_object_ref(w))), webView(WEBKIT_WEB_VIEW(g_object_ref(v))) {}

WindowRefs::WindowRefs(WindowRefs&& other) noexcept
    : window(std::exchange(other.window, nullptr)),
      webView(std::exchange(other.webView, nullptr)) {}

WindowRefs::~WindowRefs() {
  if (webView != nullptr) g_object_unref(webView);
  if (window != nullptr) g_object_unref(window);
}

WindowRefs GtkWebViewBackend::Refs(uint32_t windowId) {
  std::lock_guard<std::mutex> lock(windowsMutex_);
  GtkWindowState* state = GetWindow(windowId);
  if (state == nullptr) return {};
  return WindowRefs(state->window, state->webView);
}

GtkWindowState* GtkWebViewBackend::GetWindow(uint32_t windowId) {
  auto it = windows_.find(windowId);
  return it == windows_.end() ? nullptr : &it->second;
}

size_t GtkWebViewBackend::WindowCount() {
  std::lock_guard<std::mutex> lock(windowsMutex_);
  return windows_.size();
}

// ---------------------------------------------------------------------------
// Windows

void GtkWebViewBackend::CreateWindow(uint32_t windowId, int width, int height) {
  CreateWindowEx(windowId, width, height, 0);
}

void GtkWebViewBackend::CreateWindowEx(uint32_t windowId, int width, int height, uint32_t flags) {
  MainQueue::Post([=, this] { CreateWindowOnMain(windowId, width, height, flags); });
}

void GtkWebViewBackend::CreateWindowOnMain(uint32_t id, int width, int height, uint32_t flags) {
  InstallGlobalMonitors();
  GtkWindowState state;
  state.id = id;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  state.window = GTK_WINDOW(window);
  if (app_ != nullptr) gtk_window_set_application(state.window, app_);
  wexlor_common::ApplyDockStateToWindowGtk(state.window);
  gtk_window_set_default_size(state.window, width, height);
  gtk_window_set_position(state.window, GTK_WIN_POS_CENTER);
  if (flags & kWindowFlagFrameless) {
    gtk_window_set_decorated(state.window, FALSE);
    gtk_window_set_resizable(state.window, TRUE);
  }
  if (flags & kWindowFlagPanel) {
    gtk_window_set_type_hint(state.window, GDK_WINDOW_TYPE_HINT_UTILITY);
    gtk_window_set_keep_above(state.window, TRUE);
    gtk_window_stick(state.window);
    wexlor_common::MarkPanelWindowGtk(state.window);
    gtk_window_set_focus_on_map(state.window, FALSE);
    state.alwaysOnTop = WindowSystemHasPositions();
  }

  // The web view, with the bridge at document start in the top frame only.
  state.contentManager = webkit_user_content_manager_new();
  auto* data = new WindowSignalData;
  data->id = id;
  data->backend = this;
  data->ns = Loader()->GetJsNamespace();
  data->key = NewBridgeKey();
  g_object_set_data_full(G_OBJECT(window), "wexlor-window", data,
                         [](gpointer p) { delete static_cast<WindowSignalData*>(p); });
  Connect(state, state.contentManager, "script-message-received::wexlor",
          G_CALLBACK(OnScriptMessage), data);
  webkit_user_content_manager_register_script_message_handler(state.contentManager, "wexlor");
  InstallBridge(state.contentManager, *data);

  state.webView = WEBKIT_WEB_VIEW(g_object_new(
      WEBKIT_TYPE_WEB_VIEW, "web-context", WexlorWebContext(), "user-content-manager",
      state.contentManager, "is-controlled-by-automation", AutomationEnabled(), nullptr));
  g_object_unref(state.contentManager);  // the web view keeps it
  WatchAutomatedWebView(state.webView);
  WexlorSetUpWebView(state.webView, id);

  if (flags & kWindowFlagTransparent) {
    GdkScreen* screen = gtk_widget_get_screen(window);
    if (GdkVisual* visual = gdk_screen_get_rgba_visual(screen)) {
      gtk_widget_set_visual(window, visual);
    }
    gtk_widget_set_app_paintable(window, TRUE);
    const GdkRGBA clear = {0, 0, 0, 0};
    webkit_web_view_set_background_color(state.webView, &clear);
  }

  state.showsMenuBar = !(flags & (kWindowFlagFrameless | kWindowFlagPanel));
  state.box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_pack_end(GTK_BOX(state.box), GTK_WIDGET(state.webView), TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(window), state.box);
  gtk_widget_show_all(state.box);

  Connect(state, window, "delete-event", G_CALLBACK(OnDeleteEvent), data);
  Connect(state, window, "notify::is-active", G_CALLBACK(OnActiveChanged), data);
  Connect(state, window, "configure-event", G_CALLBACK(OnConfigure), data);
  Connect(state, state.webView, "size-allocate", G_CALLBACK(OnWebViewAllocated), data);
  Connect(state, state.webView, "load-changed", G_CALLBACK(OnLoadChanged), data);
  Connect(state, state.webView, "load-failed", G_CALLBACK(OnLoadFailed), data);
  Connect(state, state.webView, "create", G_CALLBACK(OnCreateWebView), data);
  Connect(state, state.webView, "script-dialog", G_CALLBACK(OnScriptDialog), data);
  Connect(state, state.webView, "decide-policy", G_CALLBACK(OnDecidePolicy), data);
  Connect(state, state.webView, "permission-request", G_CALLBACK(OnWebPermissionRequest), data);
  WexlorWatchWebProcess(state);

  {
    std::lock_guard<std::mutex> lock(g_gtkwindow_mutex);
    g_gtkwindow_to_wexlor_id[state.window] = id;
  }
  {
    std::lock_guard<std::mutex> lock(windowsMutex_);
    windows_[id] = state;
  }
  InstallMenuOnMain(id);
  if (!(flags & kWindowFlagHidden)) {
    if (flags & kWindowFlagPanel) {
      gtk_widget_show(window);
    } else {
      gtk_window_present(state.window);
    }
  }
}

void GtkWebViewBackend::CloseWindow(uint32_t windowId) {
  MainQueue::Post([=, this] { CloseWindowOnMain(windowId); });
}

void GtkWebViewBackend::CloseWindowOnMain(uint32_t id) {
  std::optional<GtkWindowState> state;
  {
    std::lock_guard<std::mutex> lock(windowsMutex_);
    state = TakeWindowState(id);
  }
  if (!state) return;
  DetachWindowState(*state);
  GtkWindow* window = state->window;
  if (window != nullptr) {
    // Its popup first: Wayland forbids unmapping a popup's parent.
    CloseContextMenuOf(window);
    gtk_widget_destroy(GTK_WIDGET(window));
  }
  Loader()->ForgetWindow(id);
  WexlorStopAppSchemeRequests(id);
  // Closing the last window ends the application.
  if (WindowCount() == 0 && app_ != nullptr) g_application_quit(G_APPLICATION(app_));
}

std::optional<GtkWindowState> GtkWebViewBackend::TakeWindowState(uint32_t id) {
  auto it = windows_.find(id);
  if (it == windows_.end()) return std::nullopt;
  GtkWindowState state = std::move(it->second);
  windows_.erase(it);
  return state;
}

void GtkWebViewBackend::DetachWindowState(GtkWindowState& state) {
  for (auto& [instance, handler] : state.signals) g_signal_handler_disconnect(instance, handler);
  state.signals.clear();
  if (state.contentManager != nullptr) {
    webkit_user_content_manager_unregister_script_message_handler(state.contentManager, "wexlor");
  }
  DestroyMenuWidgets(TakeMenuWidgets(state));
  if (state.window != nullptr) UnregisterGtkWindow(state.window);
}
