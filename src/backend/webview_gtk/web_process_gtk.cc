#include "backend/webview_gtk/web_process_gtk.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "backend/webview_gtk/gtk_webview_backend.h"
#include "backend/webview_gtk/scheme_gtk.h"
#include "runtime/runtime_loader.h"

namespace {

RuntimeLoader* Loader() { return RuntimeLoader::GetInstance(); }

// ---------------------------------------------------------------------------
// Memory limit

// Web processes are asked to free memory from 60% of the limit, urgently
// from 80%, and are ended at the limit itself.
constexpr guint kDefaultMemoryLimitMb = 4096;
constexpr double kConservativeThreshold = 0.6;
constexpr double kStrictThreshold = 0.8;
constexpr double kKillThreshold = 1.0;
constexpr const char* kMemoryLimitVariable = "WEXLOR_WEB_MEMORY_LIMIT_MB";

// ---------------------------------------------------------------------------
// Sandbox

// Where the engine looks for its helpers.
constexpr const char* kBubblewrap = "/usr/bin/bwrap";
constexpr const char* kDbusProxy = "/usr/bin/xdg-dbus-proxy";

// Why the engine's sandbox cannot start here, or "" when it can: its
// helpers must be installed, and bubblewrap must be able to make the
// namespaces the engine asks for (containers and some distributions refuse
// unprivileged user namespaces).
std::string SandboxUnavailableReason() {
  if (!g_file_test(kBubblewrap, G_FILE_TEST_IS_EXECUTABLE)) {
    return std::string(kBubblewrap) + " (bubblewrap) is not installed";
  }
  if (!g_file_test(kDbusProxy, G_FILE_TEST_IS_EXECUTABLE)) {
    return std::string(kDbusProxy) + " (xdg-dbus-proxy) is not installed";
  }
  // With a session bus address it cannot reach, the engine's bus proxy
  // fails, and the engine then leaves an empty /.flatpak-info on the real
  // root file system when it can write there (as root): every GTK program
  // started afterwards believes it runs in a Flatpak.
  if (const char* bus = g_getenv("DBUS_SESSION_BUS_ADDRESS"); bus != nullptr && *bus) {
    GError* busError = nullptr;
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &busError);
    if (connection == nullptr) {
      std::string reason = std::string("the session bus cannot be reached (") +
                           (busError != nullptr ? busError->message : "") + ")";
      g_clear_error(&busError);
      return reason;
    }
    g_object_unref(connection);
  }
  const char* const argv[] = {kBubblewrap,
                              "--ro-bind",
                              "/",
                              "/",
                              "--dev",
                              "/dev",
                              "--proc",
                              "/proc",
                              "--unshare-user-try",
                              "--unshare-pid",
                              "--unshare-ipc",
                              "--unshare-uts",
                              "--unshare-net",
                              "--die-with-parent",
                              "/bin/true",
                              nullptr};
  gchar* err = nullptr;
  gint status = 0;
  GError* error = nullptr;
  const gboolean ran =
      g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr,
                   nullptr, nullptr, &err, &status, &error);
  std::string reason;
  if (!ran) {
    reason = std::string("bubblewrap cannot run: ") + (error != nullptr ? error->message : "");
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string text = err != nullptr ? err : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (const size_t newline = text.rfind('\n'); newline != std::string::npos) {
      text.erase(0, newline + 1);
    }
    reason = "bubblewrap cannot make its namespaces here" + (text.empty() ? "" : " (" + text + ")");
  }
  g_free(err);
  if (error != nullptr) g_error_free(error);
  return reason;
}

// ---------------------------------------------------------------------------
// Watching a window's web process

constexpr guint kUnresponsiveMs = 5000;
constexpr int kReloadsPerMinute = 3;
constexpr gint64 kReloadWindowUs = G_GINT64_CONSTANT(60) * G_USEC_PER_SEC;
constexpr const char* kWatchKey = "wexlor-web-process";

constexpr const char kErrorPage[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Page stopped</title></head>"
    "<body style=\"font-family:sans-serif;margin:3em\"><h1>This page stopped working</h1>"
    "<p>Its web process ended several times in a row, so it was not loaded again.</p>"
    "</body></html>";

// Owned by the web view. Main thread only.
struct Watch {
  uint32_t id = 0;
  bool gone = false;              // the process ended; no new page committed yet
  bool errorPagePending = false;  // the host's error page is loading
  bool errorPageShown = false;
  guint unresponsiveTimer = 0;
  std::deque<gint64> reloads;  // monotonic times of the host's own reloads
  std::string html;            // HTML text the runtime loaded last, if it did

  ~Watch() {
    if (unresponsiveTimer != 0) g_source_remove(unresponsiveTimer);
  }
};

constexpr const char* kGoneKey = "wexlor-page-gone";

// Marks the view's window too, for code that starts from the window.
void SetGone(WebKitWebView* view, Watch* w, bool gone) {
  w->gone = gone;
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(view));
  if (GTK_IS_WINDOW(toplevel)) {
    g_object_set_data(G_OBJECT(toplevel), kGoneKey, gone ? GINT_TO_POINTER(1) : nullptr);
  }
}

Watch* WatchOf(WebKitWebView* view) {
  return view != nullptr ? static_cast<Watch*>(g_object_get_data(G_OBJECT(view), kWatchKey))
                         : nullptr;
}

int32_t ReasonCode(WebKitWebProcessTerminationReason reason) {
  switch (reason) {
    case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT:
      return WEXLOR_WEB_PROCESS_EXCEEDED_MEMORY;
    case WEBKIT_WEB_PROCESS_TERMINATED_BY_API:
      return WEXLOR_WEB_PROCESS_TERMINATED;
    default:
      return WEXLOR_WEB_PROCESS_CRASHED;
  }
}

const char* ReasonText(int32_t reason) {
  switch (reason) {
    case WEXLOR_WEB_PROCESS_EXCEEDED_MEMORY:
      return "went over its memory limit";
    case WEXLOR_WEB_PROCESS_TERMINATED:
      return "was ended by the host";
    default:
      return "crashed or was killed";
  }
}

// Without a handler: the last page again, a few times a minute at most;
// after that a plain error page, so a page that kills its process at once
// does not spin.
void Recover(WebKitWebView* view, Watch* w) {
  const gint64 now = g_get_monotonic_time();
  while (!w->reloads.empty() && now - w->reloads.front() >= kReloadWindowUs) {
    w->reloads.pop_front();
  }
  if (static_cast<int>(w->reloads.size()) < kReloadsPerMinute) {
    w->reloads.push_back(now);
    // The engine cannot reload HTML text; the page is still on it when its
    // address is the one such text gets.
    const char* uri = webkit_web_view_get_uri(view);
    if (!w->html.empty() && (uri == nullptr || std::strcmp(uri, "about:blank") == 0)) {
      webkit_web_view_load_html(view, w->html.c_str(), nullptr);
    } else {
      webkit_web_view_reload(view);
    }
    return;
  }
  g_printerr(
      "wexlor: window %u: the page's web process ended %d times within a minute; "
      "showing an error page instead of loading it again\n",
      w->id, kReloadsPerMinute + 1);
  w->errorPagePending = true;
  webkit_web_view_load_html(view, kErrorPage, nullptr);
}

void OnWebProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason,
                            gpointer data) {
  auto* w = static_cast<Watch*>(data);
  SetGone(view, w, true);
  w->errorPagePending = w->errorPageShown = false;
  if (w->unresponsiveTimer != 0) {
    g_source_remove(w->unresponsiveTimer);
    w->unresponsiveTimer = 0;
  }
  // The page's calls, callbacks and requests died with it.
  Loader()->ForgetWindow(w->id);
  WexlorStopAppSchemeRequests(w->id);
  const int32_t code = ReasonCode(reason);
  const bool handled = Loader()->webProcessHandler_.Call(w->id, code);
  g_printerr("wexlor: window %u: the page's web process %s%s\n", w->id, ReasonText(code),
             handled ? "" : "; reloading it");
  if (!handled) Recover(view, w);
}

gboolean OnUnresponsiveTimeout(gpointer data) {
  auto* w = static_cast<Watch*>(data);
  w->unresponsiveTimer = 0;
  if (!w->gone) {
    g_printerr("wexlor: window %u: the page has not answered for %u seconds\n", w->id,
               kUnresponsiveMs / 1000);
    Loader()->webProcessHandler_.Call(w->id, int32_t{WEXLOR_WEB_PROCESS_UNRESPONSIVE});
  }
  return G_SOURCE_REMOVE;
}

// One report per episode: the timer starts when the page stops answering
// and is dropped when it answers again.
void OnResponsiveChanged(GObject* view, GParamSpec*, gpointer data) {
  auto* w = static_cast<Watch*>(data);
  if (webkit_web_view_get_is_web_process_responsive(WEBKIT_WEB_VIEW(view))) {
    if (w->unresponsiveTimer != 0) g_source_remove(w->unresponsiveTimer);
    w->unresponsiveTimer = 0;
  } else if (w->unresponsiveTimer == 0 && !w->gone) {
    w->unresponsiveTimer = g_timeout_add(kUnresponsiveMs, OnUnresponsiveTimeout, w);
  }
}

}  // namespace

WebKitMemoryPressureSettings* WexlorWebProcessMemorySettings() {
  guint limit = kDefaultMemoryLimitMb;
  if (const char* text = g_getenv(kMemoryLimitVariable); text != nullptr && *text != '\0') {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || *text == '-' || value > G_MAXUINT) {
      g_printerr("wexlor: ignoring %s=%s: not a number of megabytes\n", kMemoryLimitVariable, text);
    } else if (value == 0) {
      return nullptr;  // no limit
    } else {
      limit = static_cast<guint>(value);
    }
  }
  WebKitMemoryPressureSettings* settings = webkit_memory_pressure_settings_new();
  webkit_memory_pressure_settings_set_memory_limit(settings, limit);
  // Raised in this order: each threshold must stay below the next.
  webkit_memory_pressure_settings_set_strict_threshold(settings, kStrictThreshold);
  webkit_memory_pressure_settings_set_conservative_threshold(settings, kConservativeThreshold);
  webkit_memory_pressure_settings_set_kill_threshold(settings, kKillThreshold);
  return settings;
}

void WexlorSetUpWebProcessSandbox(WebKitWebContext* context) {
  const char* off = g_getenv("WEXLOR_DISABLE_SANDBOX");
  if (off != nullptr && std::strcmp(off, "1") == 0) return;
  const std::string reason = SandboxUnavailableReason();
  if (!reason.empty()) {
    g_printerr("wexlor: web pages run without a sandbox: %s\n", reason.c_str());
    return;
  }
  webkit_web_context_set_sandbox_enabled(context, TRUE);
}

void WexlorWatchWebProcess(GtkWindowState& state) {
  auto* w = new Watch;
  w->id = state.id;
  g_object_set_data_full(G_OBJECT(state.webView), kWatchKey, w,
                         [](gpointer p) { delete static_cast<Watch*>(p); });
  state.signals.emplace_back(state.webView,
                             g_signal_connect(state.webView, "web-process-terminated",
                                              G_CALLBACK(OnWebProcessTerminated), w));
  state.signals.emplace_back(state.webView,
                             g_signal_connect(state.webView, "notify::is-web-process-responsive",
                                              G_CALLBACK(OnResponsiveChanged), w));
}

void WexlorNoteRuntimeLoad(WebKitWebView* view, const std::string* html) {
  Watch* w = WatchOf(view);
  if (w == nullptr) return;
  w->html = html != nullptr ? *html : std::string();
  // The runtime's page replaces an error page that has not committed yet.
  w->errorPagePending = false;
}

bool WexlorWebProcessGone(WebKitWebView* view) {
  const Watch* w = WatchOf(view);
  return w != nullptr && w->gone;
}

bool WexlorWebProcessPageCommitted(WebKitWebView* view) {
  Watch* w = WatchOf(view);
  if (w == nullptr) return true;
  if (w->errorPagePending) {
    w->errorPagePending = false;
    w->errorPageShown = true;
    return false;
  }
  w->errorPageShown = false;
  SetGone(view, w, false);
  return true;
}

bool WexlorPageOfWindowGone(GtkWindow* window) {
  return g_object_get_data(G_OBJECT(window), kGoneKey) != nullptr;
}

bool WexlorShowsWebProcessErrorPage(WebKitWebView* view) {
  const Watch* w = WatchOf(view);
  return w != nullptr && w->errorPageShown;
}
