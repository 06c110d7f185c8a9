// Page control, script evaluation and the window operations of the GTK
// backend. Each operation copies its arguments and runs on the main thread
// through the main queue; queries wait for their answer.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "backend/bridge_scripts.h"
#include "backend/webview_gtk/gtk_webview_backend.h"
#include "backend/webview_gtk/web_process_gtk.h"
#include "backend/webview_gtk/web_data_gtk.h"
#include "common/gtk/dialogs_gtk.h"
#include "common/gtk/main_queue.h"
#include "common/gtk/notifications_gtk.h"
#include "value/json.h"

using wexlor::Value;
using wexlor_common::MainQuery;
using wexlor_common::MainQueue;

namespace {

constexpr char kHtmlPrefix[] = "data:text/html,";

// Setters for which only the last of a run matters share a queue key per
// property and window, so a flood of them collapses in the main queue.
enum Setter : uint32_t { kTitle = 1, kSize, kPosition, kOpacity };

constexpr uint64_t SetterKey(Setter property, uint32_t windowId) {
  return MainQueue::SetterKey(property, windowId);
}

// Scripts handed to WebKit (or queued for it) and not finished yet, per
// window. WebKit keeps whatever it has not run in the host's memory, so a
// thread that sends scripts faster than the page runs them waits for the
// page (never on the main thread, never once termination has begun). A page
// that finishes none for a second (hung, say) is no longer waited for until
// it finishes one again, so it cannot hold up the runtime.
class ScriptBudget {
 public:
  static constexpr int kMaxInFlight = 256;

  void Acquire(uint32_t windowId) {
    std::unique_lock<std::mutex> lock(mutex_);
    Window& w = windows_[windowId];
    if (!MainQueue::IsMainThread()) {
      ++w.waiters;
      uint64_t seen = w.finished;
      auto since = std::chrono::steady_clock::now();
      while (w.inFlight >= kMaxInFlight && !w.stalled && !MainQueue::Terminating()) {
        changed_.wait_for(lock, std::chrono::milliseconds(50));
        const auto now = std::chrono::steady_clock::now();
        if (w.finished != seen) {
          seen = w.finished;
          since = now;
        } else if (now - since >= std::chrono::seconds(1)) {
          w.stalled = true;
        }
      }
      --w.waiters;
    }
    ++w.inFlight;
  }

  void Release(uint32_t windowId) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windows_.find(windowId);
    if (it == windows_.end()) return;
    Window& w = it->second;
    --w.inFlight;
    ++w.finished;
    w.stalled = false;
    if (w.inFlight <= 0 && w.waiters == 0) windows_.erase(it);
    changed_.notify_all();
  }

 private:
  struct Window {
    int inFlight = 0;
    uint64_t finished = 0;
    int waiters = 0;
    bool stalled = false;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint32_t, Window> windows_;
};

ScriptBudget& Budget() {
  static ScriptBudget* const budget = new ScriptBudget();  // lives for the whole process
  return *budget;
}

struct EvalRequest {
  wexlor_execute_js_callback callback;
  void* userData;
  uint32_t windowId = 0;
};

void Report(EvalRequest* request, const std::shared_ptr<Value>& result,
            const std::shared_ptr<Value>& error) {
  wexlor_value resultHandle(result), errorHandle(error);
  request->callback(result ? &resultHandle : nullptr, error ? &errorHandle : nullptr,
                    request->userData);
  delete request;
}

// Whether the web view still belongs to a host window.
bool WebViewIsLive(WebKitWebView* view) {
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(view));
  if (!GTK_IS_WINDOW(toplevel)) return false;
  std::lock_guard<std::mutex> lock(g_gtkwindow_mutex);
  return g_gtkwindow_to_wexlor_id.count(GTK_WINDOW(toplevel)) != 0;
}

// Converts a script's result for the runtime: an exception gives an error
// string; undefined and null give nothing; non-finite numbers give doubles;
// anything with a JSON form goes through the host's parser; other strings
// give strings.
void OnEvaluated(GObject* source, GAsyncResult* res, gpointer data) {
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error);
  std::shared_ptr<Value> result, failure;
  if (value == nullptr && !WebViewIsLive(WEBKIT_WEB_VIEW(source))) {
    // The window closed while the script ran: like a missing window.
  } else if (value == nullptr && WexlorWebProcessGone(WEBKIT_WEB_VIEW(source))) {
    failure = Value::String(kWebProcessEndedError);
  } else if (value == nullptr) {
    failure = Value::String(error != nullptr ? error->message : "Unknown error");
  } else if (jsc_value_is_undefined(value) || jsc_value_is_null(value)) {
    // neither result nor error
  } else if (jsc_value_is_number(value) && !std::isfinite(jsc_value_to_double(value))) {
    result = Value::Double(jsc_value_to_double(value));
  } else if (char* text = jsc_value_to_json(value, 0); text != nullptr) {
    const char* cursor = text;
    result = json::Parse(cursor);
    g_free(text);
  } else {
    jsc_context_clear_exception(jsc_value_get_context(value));
    if (jsc_value_is_string(value)) {
      char* s = jsc_value_to_string(value);
      result = Value::String(s != nullptr ? s : "");
      g_free(s);
    }
  }
  if (error != nullptr) g_error_free(error);
  if (value != nullptr) g_object_unref(value);
  auto* request = static_cast<EvalRequest*>(data);
  Budget().Release(request->windowId);
  Report(request, result, failure);
}

// Percent-decodes HTML text leniently: a "%" not followed by two hex digits
// stays as it is, and so does "%00", which would cut the text short.
std::string DecodeHtml(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '%' && g_ascii_isxdigit(p[1]) && g_ascii_isxdigit(p[2])) {
      const char c =
          static_cast<char>(g_ascii_xdigit_value(p[1]) * 16 + g_ascii_xdigit_value(p[2]));
      if (c != '\0') {
        out += c;
        p += 2;
        continue;
      }
    }
    out += *p;
  }
  return out;
}

void OnScriptDone(GObject* source, GAsyncResult* res, gpointer data) {
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, nullptr);
  if (value != nullptr) g_object_unref(value);
  Budget().Release(GPOINTER_TO_UINT(data));
}

// Runs a script in the page; `budgeted` names the window whose budget
// counts it, or is 0.
void EvaluateIn(WebKitWebView* view, const std::string& script, uint32_t budgeted) {
  webkit_web_view_evaluate_javascript(
      view, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
      budgeted != 0 ? OnScriptDone : nullptr, GUINT_TO_POINTER(budgeted));
}

// A click on one of our notifications may carry a token that lets the
// window the runtime raises in answer really come forward.
void UseActivationToken(GtkWindow* window) {
  const std::string token = wexlor_common::TakeActivationTokenGtk();
  if (!token.empty()) gtk_window_set_startup_id(window, token.c_str());
}

}  // namespace

void GtkWebViewBackend::Navigate(uint32_t windowId, const std::string& url) {
  MainQueue::Post([=, this] {
    const WindowRefs state = Refs(windowId);
    if (!state) return;
    if (url.compare(0, sizeof kHtmlPrefix - 1, kHtmlPrefix) == 0) {
      const std::string html = DecodeHtml(url.c_str() + sizeof kHtmlPrefix - 1);
      TrustNavigation(state.window, state.webView, url, true);
      WexlorNoteRuntimeLoad(state.webView, &html);
      webkit_web_view_load_html(state.webView, html.c_str(), nullptr);
    } else if (g_uri_peek_scheme(url.c_str()) != nullptr) {
      WexlorNoteRuntimeLoad(state.webView, nullptr);
      TrustNavigation(state.window, state.webView, url, false);
      webkit_web_view_load_uri(state.webView, url.c_str());
    } else {
      char* absolute = g_canonicalize_filename(url.c_str(), nullptr);
      char* uri = g_filename_to_uri(absolute, nullptr, nullptr);
      if (uri != nullptr) {
        WexlorNoteRuntimeLoad(state.webView, nullptr);
        TrustNavigation(state.window, state.webView, uri, false);
        webkit_web_view_load_uri(state.webView, uri);
      }
      g_free(uri);
      g_free(absolute);
    }
  });
}

namespace {

// Title changes reach a Wayland compositor at most once a frame. Each one is
// a request on the display connection, and a flood of them fills the
// socket faster than the compositor reads it, which ends a GTK 3 client.
// The last title always lands. Main thread.
constexpr guint kTitleIntervalMs = 16;
constexpr const char* kPendingTitleKey = "wexlor-pending-title";
constexpr const char* kTitleTimerKey = "wexlor-title-timer";

gboolean ApplyPendingTitle(gpointer data) {
  GtkWindow* window = GTK_WINDOW(data);
  if (auto* pending = static_cast<char*>(g_object_steal_data(G_OBJECT(window), kPendingTitleKey))) {
    gtk_window_set_title(window, pending);
    g_free(pending);
    return G_SOURCE_CONTINUE;
  }
  g_object_set_data(G_OBJECT(window), kTitleTimerKey, nullptr);
  return G_SOURCE_REMOVE;
}

void SetTitleAtFrameRate(GtkWindow* window, const std::string& title) {
  if (WindowSystemHasPositions()) {
    gtk_window_set_title(window, title.c_str());
    return;
  }
  if (g_object_get_data(G_OBJECT(window), kTitleTimerKey) != nullptr) {
    g_object_set_data_full(G_OBJECT(window), kPendingTitleKey, g_strdup(title.c_str()), g_free);
    return;
  }
  gtk_window_set_title(window, title.c_str());
  g_object_set_data(G_OBJECT(window), kTitleTimerKey, GINT_TO_POINTER(1));
  g_timeout_add_full(G_PRIORITY_DEFAULT, kTitleIntervalMs, ApplyPendingTitle, g_object_ref(window),
                     g_object_unref);
}

}  // namespace

void GtkWebViewBackend::SetTitle(uint32_t windowId, const std::string& title) {
  // Checked before queueing, so an invalid title cannot replace a valid
  // one that is still waiting.
  if (!g_utf8_validate(title.data(), -1, nullptr)) return;
  MainQueue::PostSetter(SetterKey(kTitle, windowId), [=, this] {
    const WindowRefs state = Refs(windowId);
    if (!state) return;
    SetTitleAtFrameRate(state.window, title);
  });
}

void GtkWebViewBackend::ExecuteJs(uint32_t windowId, const std::string& script,
                                  wexlor_execute_js_callback callback, void* userData) {
  Budget().Acquire(windowId);
  MainQueue::Post([=, this] {
    const WindowRefs state = Refs(windowId);
    EvalRequest* request = callback ? new EvalRequest{callback, userData, windowId} : nullptr;
    if (!state) {
      Budget().Release(windowId);
      if (request != nullptr) Report(request, nullptr, nullptr);
      return;
    }
    if (WexlorWebProcessGone(state.webView)) {
      Budget().Release(windowId);
      if (request != nullptr) Report(request, nullptr, Value::String(kWebProcessEndedError));
      return;
    }
    if (!g_utf8_validate(script.data(), static_cast<gssize>(script.size()), nullptr)) {
      Budget().Release(windowId);
      if (request != nullptr) {
        Report(request, nullptr, Value::String("The script is not valid UTF-8 text"));
      }
      return;
    }
    if (request == nullptr) {
      EvaluateIn(state.webView, script, windowId);
      return;
    }
    webkit_web_view_evaluate_javascript(state.webView, script.data(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, OnEvaluated, request);
  });
}

void GtkWebViewBackend::Evaluate(uint32_t windowId, std::string script, bool everyWindow) {
  const uint32_t budgeted = everyWindow ? 0 : windowId;
  if (budgeted != 0) Budget().Acquire(budgeted);
  MainQueue::Post([this, windowId, everyWindow, budgeted, script = std::move(script)] {
    std::vector<WindowRefs> targets;
    if (everyWindow) {
      std::vector<uint32_t> ids;
      {
        std::lock_guard<std::mutex> lock(windowsMutex_);
        for (const auto& entry : windows_) ids.push_back(entry.first);
      }
      for (uint32_t id : ids) targets.push_back(Refs(id));
    } else {
      targets.push_back(Refs(windowId));
    }
    for (const auto& target : targets) {
      if (target) EvaluateIn(target.webView, script, budgeted);
    }
    if (budgeted != 0 && !targets.front()) Budget().Release(budgeted);
  });
}

void GtkWebViewBackend::InvokeJsCallback(uint32_t windowId, uint64_t callbackId,
                                         std::shared_ptr<Value> args) {
  std::string script = BuildInvokeCallbackScript(callbackId, args, windowId);
  if (script.empty()) {
    std::fprintf(stderr, "wexlor: callback %llu not run: its arguments are too large to send\n",
                 static_cast<unsigned long long>(callbackId));
    return;
  }
  Evaluate(windowId, std::move(script), windowId == 0);
}

void GtkWebViewBackend::ReleaseJsCallback(uint32_t windowId, uint64_t callbackId) {
  Evaluate(windowId, BuildReleaseCallbackScript(callbackId), windowId == 0);
}

void GtkWebViewBackend::RespondToJsCall(uint32_t windowId, uint64_t callId,
                                        std::shared_ptr<Value> result,
                                        std::shared_ptr<Value> error) {
  if (windowId == 0) return;
  Evaluate(windowId, BuildRespondScript(callId, result, error, windowId), false);
}

void GtkWebViewBackend::OpenDevTools(uint32_t windowId) {
  MainQueue::Post([=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      // The inspector is off until asked for; from then on the window keeps it.
      WexlorEnableInspector(state.webView);
      webkit_web_inspector_show(webkit_web_view_get_inspector(state.webView));
    }
  });
}

void GtkWebViewBackend::OpenExternalURL(const std::string& url) {
  MainQueue::Post([url] {
    if (!g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) return;
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) {
      g_printerr("wexlor: could not open %s: %s\n", url.c_str(), error->message);
      g_error_free(error);
    }
  });
}

// ---------------------------------------------------------------------------
// Window operations

void GtkWebViewBackend::SetWindowSize(uint32_t windowId, int width, int height) {
  MainQueue::PostSetter(SetterKey(kSize, windowId), [=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      const int w = std::max(width, 1), h = std::max(height, 1);
      gtk_window_resize(state.window, w, h);
      RequestedGeometry* requested = RequestedGeometryOf(state.window);
      if (requested != nullptr && gtk_widget_get_mapped(GTK_WIDGET(state.window))) {
        requested->Request(requested->size, w, h);
      }
    }
  });
}

void GtkWebViewBackend::GetWindowSize(uint32_t windowId, int* width, int* height) {
  struct Size {
    int w = 0, h = 0;
  };
  const Size size = MainQuery(Size{}, [=, this] {
    Size s;
    if (const WindowRefs state = Refs(windowId)) {
      RequestedGeometry* requested = RequestedGeometryOf(state.window);
      if (requested == nullptr || !RequestedGeometry::Current(requested->size, &s.w, &s.h)) {
        gtk_window_get_size(state.window, &s.w, &s.h);
      }
    }
    return s;
  });
  if (width) *width = size.w;
  if (height) *height = size.h;
}

void GtkWebViewBackend::SetWindowPosition(uint32_t windowId, int x, int y) {
  MainQueue::PostSetter(SetterKey(kPosition, windowId), [=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      RequestedGeometry* requested = RequestedGeometryOf(state.window);
      if (!WindowSystemHasPositions()) {
        // The compositor places windows; the value is only kept for queries.
        if (requested != nullptr) {
          requested->setX = x;
          requested->setY = y;
        }
        return;
      }
      gtk_window_move(state.window, x, y);
      if (requested != nullptr && gtk_widget_get_mapped(GTK_WIDGET(state.window))) {
        requested->Request(requested->position, x, y);
      }
    }
  });
}

void GtkWebViewBackend::GetWindowPosition(uint32_t windowId, int* x, int* y) {
  struct Point {
    int x = 0, y = 0;
  };
  const Point p = MainQuery(Point{}, [=, this] {
    Point pt;
    if (const WindowRefs state = Refs(windowId)) {
      RequestedGeometry* requested = RequestedGeometryOf(state.window);
      if (!WindowSystemHasPositions()) {
        if (requested != nullptr) pt = {requested->setX, requested->setY};
      } else if (requested == nullptr ||
                 !RequestedGeometry::Current(requested->position, &pt.x, &pt.y)) {
        gtk_window_get_position(state.window, &pt.x, &pt.y);
      }
    }
    return pt;
  });
  if (x) *x = p.x;
  if (y) *y = p.y;
}

void GtkWebViewBackend::SetResizable(uint32_t windowId, bool resizable) {
  MainQueue::Post([=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      gtk_window_set_resizable(state.window, resizable);
    }
  });
}

bool GtkWebViewBackend::IsResizable(uint32_t windowId) {
  return MainQuery(false, [=, this] {
    const WindowRefs state = Refs(windowId);
    return state && gtk_window_get_resizable(state.window);
  });
}

void GtkWebViewBackend::SetAlwaysOnTop(uint32_t windowId, bool onTop) {
  MainQueue::Post([=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      gtk_window_set_keep_above(state.window, onTop);
      // Stacking is the compositor's alone on Wayland: the query stays false.
      std::lock_guard<std::mutex> lock(windowsMutex_);
      GtkWindowState* record = GetWindow(windowId);
      if (record != nullptr) record->alwaysOnTop = onTop && WindowSystemHasPositions();
    }
  });
}

bool GtkWebViewBackend::IsAlwaysOnTop(uint32_t windowId) {
  return MainQuery(false, [=, this] {
    std::lock_guard<std::mutex> lock(windowsMutex_);
    GtkWindowState* state = GetWindow(windowId);
    return state != nullptr && state->alwaysOnTop;
  });
}

void GtkWebViewBackend::SetWindowOpacity(uint32_t windowId, double opacity) {
  opacity = std::isnan(opacity) ? 1.0 : std::clamp(opacity, 0.0, 1.0);
  MainQueue::PostSetter(SetterKey(kOpacity, windowId), [=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      gtk_widget_set_opacity(GTK_WIDGET(state.window), opacity);
    }
  });
}

double GtkWebViewBackend::GetWindowOpacity(uint32_t windowId) {
  return MainQuery(1.0, [=, this] {
    const WindowRefs state = Refs(windowId);
    return state ? gtk_widget_get_opacity(GTK_WIDGET(state.window)) : 1.0;
  });
}

bool GtkWebViewBackend::IsVisible(uint32_t windowId) {
  return MainQuery(false, [=, this] {
    const WindowRefs state = Refs(windowId);
    return state && gtk_widget_get_visible(GTK_WIDGET(state.window));
  });
}

void GtkWebViewBackend::Show(uint32_t windowId) {
  MainQueue::Post([=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      UseActivationToken(state.window);
      gtk_window_present(state.window);
    }
  });
}

void GtkWebViewBackend::Hide(uint32_t windowId) {
  MainQueue::Post([=, this] {
    if (const WindowRefs state = Refs(windowId)) gtk_widget_hide(GTK_WIDGET(state.window));
  });
}

void GtkWebViewBackend::Focus(uint32_t windowId) {
  MainQueue::Post([=, this] {
    if (const WindowRefs state = Refs(windowId)) {
      UseActivationToken(state.window);
      gtk_window_present_with_time(state.window, GDK_CURRENT_TIME);
    }
  });
}

void GtkWebViewBackend::Quit() {
  // Open dialogs end first, so that their nested loops (and a queue task
  // waiting in one) let the quit through.
  wexlor_common::EndModalsGtk();
  MainQueue::Post([this] {
    if (app_ != nullptr) g_application_quit(G_APPLICATION(app_));
  });
}

void GtkWebViewBackend::PostUiTask(void (*task)(void*), void* userData) {
  MainQueue::Post([task, userData] { task(userData); });
}

void GtkWebViewBackend::Run() {
  if (app_ != nullptr && !g_application_get_is_registered(G_APPLICATION(app_))) {
    g_application_run(G_APPLICATION(app_), 0, nullptr);
  }
}
