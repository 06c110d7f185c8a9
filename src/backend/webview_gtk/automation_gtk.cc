#include "backend/webview_gtk/automation_gtk.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool g_enabled = false;

// The runtime's web views in the order their windows were made, while they
// live.
std::vector<WebKitWebView*> g_views;
// Whether the current session has been given its first browsing context.
bool g_sessionHasContext = false;

void ForgetView(gpointer, GObject* gone) {
  std::erase_if(g_views, [gone](WebKitWebView* view) { return G_OBJECT(view) == gone; });
}

// The engine closes a browsing context (WebDriver "close window", or the end
// of the session) the way a page's window.close() does; the window's close
// button is what the runtime answers, so that is what it hears.
void OnViewClose(WebKitWebView* view, gpointer) {
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(view));
  if (GTK_IS_WINDOW(toplevel)) gtk_window_close(GTK_WINDOW(toplevel));
}

// The session asks for a browsing context when it starts and when the client
// opens a window. Windows are the runtime's to make: the session starts in
// the runtime's first window, and a client's new window is refused.
WebKitWebView* OnCreateWebView(WebKitAutomationSession*, gpointer) {
  if (!g_sessionHasContext && !g_views.empty()) {
    g_sessionHasContext = true;
    return g_views.front();
  }
  std::fputs(
      "wexlor: automation: not opening a window: the application opens its own; switch to one "
      "of its window handles instead\n",
      stderr);
  return nullptr;
}

// The session ends when the driver closes it or goes away: the application
// ends the ordinary way, so the runtime is shut down.
void OnSessionGone(gpointer, GObject*) {
  if (GApplication* app = g_application_get_default()) g_application_quit(app);
}

// "1.2.3" → 1, 2, 3; missing or malformed parts are 0.
void ParseVersion(const char* text, guint64 parts[3]) {
  parts[0] = parts[1] = parts[2] = 0;
  const char* p = text;
  for (int i = 0; i < 3 && p != nullptr && g_ascii_isdigit(*p); ++i) {
    char* end = nullptr;
    parts[i] = g_ascii_strtoull(p, &end, 10);
    p = end != nullptr && *end == '.' ? end + 1 : nullptr;
  }
}

void OnAutomationStarted(WebKitWebContext*, WebKitAutomationSession* session, gpointer) {
  // The driver matches the client's browserName and browserVersion against
  // these.
  WebKitApplicationInfo* info = webkit_application_info_new();
  const char* name = g_get_application_name();
  webkit_application_info_set_name(info, name != nullptr ? name : "wexlor");
  guint64 version[3];
  const char* versionText = std::getenv("WEXLOR_APP_VERSION");
  ParseVersion(versionText != nullptr ? versionText : "", version);
  webkit_application_info_set_version(info, version[0], version[1], version[2]);
  webkit_automation_session_set_application_info(session, info);
  webkit_application_info_unref(info);

  g_sessionHasContext = false;
  g_signal_connect(session, "create-web-view", G_CALLBACK(OnCreateWebView), nullptr);
  g_object_weak_ref(G_OBJECT(session), OnSessionGone, nullptr);
}

}  // namespace

void ConfigureAutomation(bool requestedOnCommandLine) {
  const char* env = std::getenv("WEXLOR_AUTOMATION");
  const bool byEnvironment = env != nullptr && *env != '\0' && std::strcmp(env, "0") != 0;
  g_enabled = byEnvironment || requestedOnCommandLine;
  const char* server = std::getenv("WEBKIT_INSPECTOR_SERVER");
  const bool hasServer = server != nullptr && *server != '\0';
  if (g_enabled && !hasServer) {
    std::fputs(
        "wexlor: automation is on but WEBKIT_INSPECTOR_SERVER is not set, so no WebDriver can "
        "connect; start the application through WebKitWebDriver\n",
        stderr);
  } else if (!g_enabled && hasServer) {
    // A driver would otherwise wait for a session that never starts.
    std::fputs(
        "wexlor: WEBKIT_INSPECTOR_SERVER is set but automation is off; a WebDriver needs "
        "--automation among the application's arguments\n",
        stderr);
  }
}

bool AutomationEnabled() { return g_enabled; }

void SetUpAutomation(WebKitWebContext* context) {
  if (!g_enabled) return;
  webkit_web_context_set_automation_allowed(context, TRUE);
  g_signal_connect(context, "automation-started", G_CALLBACK(OnAutomationStarted), nullptr);
}

void WatchAutomatedWebView(WebKitWebView* view) {
  if (!g_enabled) return;
  g_views.push_back(view);
  g_object_weak_ref(G_OBJECT(view), ForgetView, nullptr);
  g_signal_connect(view, "close", G_CALLBACK(OnViewClose), nullptr);
}
