#include "common/gtk/dock_gtk.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "common/gtk/app_id.h"
#include "common/gtk/dbusmenu_gtk.h"
#include "common/gtk/main_queue.h"
#include "common/tray.h"

namespace wexlor_common {
namespace {

constexpr char kEntryInterface[] = "com.canonical.Unity.LauncherEntry";
constexpr char kEntryPath[] = "/com/canonical/unity/launcherentry/wexlor";
constexpr char kQuickListPath[] = "/com/canonical/unity/launcherentry/wexlor/quicklist";
// Launchers that announce themselves by name; each gets the state again.
constexpr char kLauncherName[] = "com.canonical.Unity";
constexpr gint64 kInformationalUs = 1000000;
// Marks panel windows, which never show in the task bar or pager.
constexpr char kPanelKey[] = "wexlor-panel";

constexpr char kEntryXml[] =
    "<node><interface name='com.canonical.Unity.LauncherEntry'>"
    "<method name='Query'><arg type='s' direction='out'/>"
    "<arg type='a{sv}' direction='out'/></method>"
    "<signal name='Update'><arg type='s'/><arg type='a{sv}'/></signal>"
    "</interface></node>";

// Main thread only.
struct DockState {
  LauncherCount count;
  bool urgent = false;
  bool critical = false;
  gint64 urgentSince = 0;
  guint urgentTimer = 0;
  GtkWindow* lastActive = nullptr;  // compared only, never dereferenced
  bool hidden = false;
  std::unique_ptr<DbusMenu> quickList;
  bool busTried = false;
  GDBusConnection* bus = nullptr;
} g_dock;

// Published together from any thread, read on the main thread.
std::mutex g_reopen_mutex;
wexlor_dock_reopen_handler g_reopen_handler = nullptr;
void* g_reopen_data = nullptr;

std::string AppUri() {
  const std::string id = ApplicationIdGtk();
  return id.empty() ? "" : "application://" + id + ".desktop";
}

GVariant* Properties() {
  GVariantBuilder b;
  g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&b, "{sv}", "count", g_variant_new_int64(g_dock.count.count));
  g_variant_builder_add(&b, "{sv}", "count-visible", g_variant_new_boolean(g_dock.count.visible));
  g_variant_builder_add(&b, "{sv}", "urgent", g_variant_new_boolean(g_dock.urgent));
  g_variant_builder_add(
      &b, "{sv}", "quicklist",
      g_variant_new_string(
          g_dock.quickList != nullptr && !g_dock.quickList->empty() ? kQuickListPath : ""));
  return g_variant_builder_end(&b);
}

void SendUpdate() {
  const std::string uri = AppUri();
  if (g_dock.bus == nullptr || uri.empty()) return;
  g_dbus_connection_emit_signal(g_dock.bus, nullptr, kEntryPath, kEntryInterface, "Update",
                                g_variant_new("(s@a{sv})", uri.c_str(), Properties()), nullptr);
}

void OnEntryMethod(GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
                   GDBusMethodInvocation* invocation, gpointer) {
  g_dbus_method_invocation_return_value(invocation,
                                        g_variant_new("(s@a{sv})", AppUri().c_str(), Properties()));
}

const GDBusInterfaceVTable kEntryVTable = {OnEntryMethod, nullptr, nullptr, {}};

// The launcher entry is served only for an application with an id, on
// first use; the state is kept either way.
GDBusConnection* Bus() {
  if (g_dock.busTried) return g_dock.bus;
  if (ApplicationIdGtk().empty()) return nullptr;  // tried again once an id exists
  g_dock.busTried = true;
  g_dock.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (g_dock.bus == nullptr) return nullptr;
  GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kEntryXml, nullptr);
  g_dbus_connection_register_object(g_dock.bus, kEntryPath, info->interfaces[0], &kEntryVTable,
                                    nullptr, nullptr, nullptr);
  g_dbus_node_info_unref(info);
  g_bus_watch_name_on_connection(
      g_dock.bus, kLauncherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
      [](GDBusConnection*, const char*, const char*, gpointer) { SendUpdate(); }, nullptr, nullptr,
      nullptr);
  return g_dock.bus;
}

void Changed() {
  if (Bus() != nullptr) SendUpdate();
}

// The host's windows: those of the application.
GList* HostWindows() {
  GApplication* app = g_application_get_default();
  return app != nullptr && GTK_IS_APPLICATION(app)
             ? gtk_application_get_windows(GTK_APPLICATION(app))
             : nullptr;
}

void SetUrgent(bool urgent) {
  for (GList* l = HostWindows(); l != nullptr; l = l->next) {
    gtk_window_set_urgency_hint(GTK_WINDOW(l->data), urgent);
  }
  if (g_dock.urgent == urgent) return;
  g_dock.urgent = urgent;
  Changed();
}

// The host window that has focus, or null.
GtkWindow* ActiveWindow() {
  for (GList* l = HostWindows(); l != nullptr; l = l->next) {
    if (gtk_window_is_active(GTK_WINDOW(l->data))) return GTK_WINDOW(l->data);
  }
  return nullptr;
}

// Ends the request when a host window gains focus (one that had it when
// the request came does not count) or, for an informational one, after
// about a second.
gboolean CheckUrgency(gpointer) {
  GtkWindow* active = ActiveWindow();
  const bool gained = active != nullptr && active != g_dock.lastActive;
  g_dock.lastActive = active;
  const bool expired =
      !g_dock.critical && g_get_monotonic_time() - g_dock.urgentSince >= kInformationalUs;
  if (!gained && !expired) return G_SOURCE_CONTINUE;
  g_dock.urgentTimer = 0;
  SetUrgent(false);
  return G_SOURCE_REMOVE;
}

}  // namespace

void SetDockBadgeGtk(const char* text) {
  MainQueue::Post([count = LauncherCountFromBadge(text)] {
    g_dock.count = count;
    Changed();
  });
}

void BounceDockGtk(int type) {
  MainQueue::Post([type] {
    g_dock.critical = type == 0;
    g_dock.urgentSince = g_get_monotonic_time();
    g_dock.lastActive = ActiveWindow();
    SetUrgent(true);
    if (g_dock.urgentTimer == 0) g_dock.urgentTimer = g_timeout_add(100, CheckUrgency, nullptr);
  });
}

void SetDockVisibleGtk(bool visible) {
  MainQueue::Post([visible] {
    g_dock.hidden = !visible;
    for (GList* l = HostWindows(); l != nullptr; l = l->next) {
      ApplyDockStateToWindowGtk(GTK_WINDOW(l->data));
    }
  });
}

void ApplyDockStateToWindowGtk(GtkWindow* window) {
  const bool skip = g_dock.hidden || g_object_get_data(G_OBJECT(window), kPanelKey) != nullptr;
  gtk_window_set_skip_taskbar_hint(window, skip);
  gtk_window_set_skip_pager_hint(window, skip);
}

void MarkPanelWindowGtk(GtkWindow* window) {
  g_object_set_data(G_OBJECT(window), kPanelKey, GINT_TO_POINTER(1));
  ApplyDockStateToWindowGtk(window);
}

void SetDockReopenHandlerGtk(wexlor_dock_reopen_handler handler, void* data) {
  std::lock_guard<std::mutex> lock(g_reopen_mutex);
  g_reopen_handler = handler;
  g_reopen_data = data;
}

void FireDockReopenGtk() {
  wexlor_dock_reopen_handler handler;
  void* data;
  {
    std::lock_guard<std::mutex> lock(g_reopen_mutex);
    handler = g_reopen_handler;
    data = g_reopen_data;
  }
  if (handler == nullptr) return;
  bool visible = false;
  for (GList* l = HostWindows(); l != nullptr; l = l->next) {
    if (gtk_widget_get_visible(GTK_WIDGET(l->data))) visible = true;
  }
  handler(data, visible);
}

void SetDockMenuOnMainGtk(std::shared_ptr<const MenuSetup> menu) {
  if (menu == nullptr) {
    g_dock.quickList.reset();
  } else if (Bus() != nullptr) {
    if (g_dock.quickList == nullptr) g_dock.quickList = std::make_unique<DbusMenu>(kQuickListPath);
    g_dock.quickList->Set(std::move(menu));
  }
  Changed();
}

}  // namespace wexlor_common
