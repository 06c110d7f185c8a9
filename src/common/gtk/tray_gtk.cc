#include "common/gtk/tray_gtk.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/gtk/app_id.h"
#include "common/gtk/dbusmenu_gtk.h"
#include "common/gtk/image_gtk.h"
#include "common/gtk/main_queue.h"
#include "common/gtk/menu_gtk.h"
#include "common/tray.h"

namespace wexlor_common {
namespace {

constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
constexpr char kNoMenu[] = "/";
// The square GetTrayIconBounds reports around a status-notifier click.
constexpr int kPointBoundsSize = 22;

constexpr char kItemXml[] =
    "<node><interface name='org.kde.StatusNotifierItem'>"
    "<property name='Category' type='s' access='read'/>"
    "<property name='Id' type='s' access='read'/>"
    "<property name='Title' type='s' access='read'/>"
    "<property name='Status' type='s' access='read'/>"
    "<property name='WindowId' type='i' access='read'/>"
    "<property name='IconName' type='s' access='read'/>"
    "<property name='IconPixmap' type='a(iiay)' access='read'/>"
    "<property name='ToolTip' type='(sa(iiay)ss)' access='read'/>"
    "<property name='ItemIsMenu' type='b' access='read'/>"
    "<property name='Menu' type='o' access='read'/>"
    "<method name='ContextMenu'><arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "</method>"
    "<method name='Activate'><arg type='i' direction='in'/><arg type='i' direction='in'/>"
    "</method>"
    "<method name='SecondaryActivate'><arg type='i' direction='in'/>"
    "<arg type='i' direction='in'/></method>"
    "<method name='Scroll'><arg type='i' direction='in'/><arg type='s' direction='in'/>"
    "</method>"
    "<signal name='NewTitle'/><signal name='NewIcon'/><signal name='NewToolTip'/>"
    "<signal name='NewStatus'><arg type='s'/></signal>"
    "</interface></node>";

struct Handler {
  wexlor_tray_click_handler fn = nullptr;
  void* data = nullptr;
};

struct TrayEntry {
  uint32_t id = 0;
  GdkPixbuf* icon = nullptr;
  GdkPixbuf* dark = nullptr;
  std::string tooltip;
  std::shared_ptr<const MenuSetup> menu;
  std::unique_ptr<DbusMenu> dbusMenu;  // served once the item is on the bus
  Handler click, doubleClick;
  TrayClickTracker tracker;
  guint registration = 0;  // the item object on the bus
  bool rejected = false;   // the watcher refused it
  GtkStatusIcon* statusIcon = nullptr;
  bool hasPoint = false;
  int pointX = 0, pointY = 0;
  GVariant* pixmaps = nullptr;  // cached IconPixmap value, floating-free

  std::string Path() const { return "/StatusNotifierItem/" + std::to_string(id); }
  std::string MenuPath() const { return Path() + "/Menu"; }
};

std::atomic<uint32_t> g_next_tray_id{1};

// Main thread only from here on.
std::map<uint32_t, TrayEntry> g_trays;
GDBusConnection* g_bus = nullptr;
bool g_bus_tried = false;
bool g_watcher_known = false;    // the first answer about the watcher came
bool g_watcher_present = false;  // a watcher with a host runs
bool g_watcher_owner = false;    // someone owns the watcher's name
GDBusNodeInfo* g_item_info = nullptr;
bool g_observer_installed = false;
int g_portal_scheme = -1;  // the portal's color-scheme; -1 while unknown
bool g_dark = false;

TrayEntry* Find(uint32_t id) {
  auto it = g_trays.find(id);
  return it == g_trays.end() ? nullptr : &it->second;
}

void ApplyPresentation(TrayEntry& entry);

void SetWatcherPresent(bool present) {
  const bool changed = !g_watcher_known || present != g_watcher_present;
  g_watcher_known = true;
  g_watcher_present = present;
  if (!changed) return;
  for (auto& [id, entry] : g_trays) ApplyPresentation(entry);
}

// A watcher only helps while a host (a panel) has registered with it; a
// watcher that cannot say counts as having one.
void CheckWatcherHost() {
  g_dbus_connection_call(
      g_bus, kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kWatcherName, "IsStatusNotifierHostRegistered"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer) {
        GVariant* r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, nullptr);
        bool host = true;
        if (r != nullptr) {
          GVariant* v = nullptr;
          g_variant_get(r, "(v)", &v);
          if (g_variant_is_of_type(v, G_VARIANT_TYPE_BOOLEAN)) host = g_variant_get_boolean(v);
          g_variant_unref(v);
          g_variant_unref(r);
        }
        // The watcher may have gone while we asked.
        if (g_watcher_owner) SetWatcherPresent(host);
      },
      nullptr);
}

void OnWatcherAppeared(GDBusConnection*, const char*, const char*, gpointer) {
  g_watcher_owner = true;
  for (auto& [id, entry] : g_trays) entry.rejected = false;
  // A new watcher knows nothing of our items: register them all again.
  if (g_watcher_present) {
    for (auto& [id, entry] : g_trays) ApplyPresentation(entry);
  }
  CheckWatcherHost();
}

void OnWatcherVanished(GDBusConnection*, const char*, gpointer) {
  g_watcher_owner = false;
  SetWatcherPresent(false);
}

// The session bus, connected on first use; null without one. The watcher
// is followed from then on, so a panel that restarts or appears later is
// always noticed.
GDBusConnection* Bus() {
  if (g_bus_tried) return g_bus;
  g_bus_tried = true;
  GError* error = nullptr;
  g_bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (g_bus == nullptr) {
    std::fprintf(stderr, "wexlor: no session bus for tray icons (%s); using the X11 tray\n",
                 error->message);
    g_clear_error(&error);
    g_watcher_known = true;
    return nullptr;
  }
  g_item_info = g_dbus_node_info_new_for_xml(kItemXml, nullptr);
  g_bus_watch_name_on_connection(g_bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                 OnWatcherAppeared, OnWatcherVanished, nullptr, nullptr);
  for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
    g_dbus_connection_signal_subscribe(
        g_bus, nullptr, kWatcherName, signal, kWatcherPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant*,
           gpointer) {
          if (g_watcher_owner) CheckWatcherHost();
        },
        nullptr, nullptr);
  }
  return g_bus;
}

// The image for the appearance, or whichever one exists.
GdkPixbuf* ActiveIcon(const TrayEntry& entry) {
  return entry.dark != nullptr && (g_dark || entry.icon == nullptr) ? entry.dark : entry.icon;
}

GdkPixbuf* Decode(const void* bytes, size_t length) { return DecodeImageGtk(bytes, length); }

// The image scaled into a transparent size × size square, centred.
GdkPixbuf* Letterboxed(GdkPixbuf* source, int size) {
  GdkPixbuf* rgba = gdk_pixbuf_add_alpha(source, FALSE, 0, 0, 0);
  const PixmapPlacement p =
      LetterboxPlacement(gdk_pixbuf_get_width(rgba), gdk_pixbuf_get_height(rgba), size);
  GdkPixbuf* square = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  gdk_pixbuf_fill(square, 0);
  if (GdkPixbuf* scaled = gdk_pixbuf_scale_simple(rgba, p.width, p.height, GDK_INTERP_BILINEAR);
      scaled != nullptr) {
    gdk_pixbuf_copy_area(scaled, 0, 0, p.width, p.height, square, p.x, p.y);
    g_object_unref(scaled);
  }
  g_object_unref(rgba);
  return square;
}

// The image at every offered size, letterboxed into squares, as a(iiay).
GVariant* PixmapsOf(GdkPixbuf* source) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
  if (source != nullptr) {
    for (int size : kTrayPixmapSizes) {
      GdkPixbuf* square = Letterboxed(source, size);
      const std::vector<uint8_t> argb =
          RgbaToArgbNetwork(gdk_pixbuf_read_pixels(square), size, size,
                            gdk_pixbuf_get_rowstride(square), gdk_pixbuf_get_n_channels(square));
      g_variant_builder_add_value(
          &builder, g_variant_new("(ii@ay)", size, size,
                                  g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(),
                                                            argb.size(), 1)));
      g_object_unref(square);
    }
  }
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

void EmitItemSignal(const TrayEntry& entry, const char* signal, GVariant* args = nullptr) {
  if (g_bus == nullptr || entry.registration == 0) {
    if (args != nullptr) g_variant_unref(g_variant_ref_sink(args));
    return;
  }
  g_dbus_connection_emit_signal(g_bus, nullptr, entry.Path().c_str(), kItemInterface, signal, args,
                                nullptr);
}

// Shows the active icon in the X11 tray at the size the tray gives it.
void ShowOnStatusIcon(TrayEntry& entry) {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GdkPixbuf* icon = ActiveIcon(entry);
  if (entry.statusIcon == nullptr || icon == nullptr) return;
  const int size = gtk_status_icon_get_size(entry.statusIcon);
  GdkPixbuf* square = Letterboxed(icon, size > 0 ? size : 22);
  gtk_status_icon_set_from_pixbuf(entry.statusIcon, square);
  g_object_unref(square);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void ApplyActiveIcon(TrayEntry& entry) {
  if (entry.pixmaps != nullptr) g_variant_unref(entry.pixmaps);
  entry.pixmaps = nullptr;
  EmitItemSignal(entry, "NewIcon");
  ShowOnStatusIcon(entry);
}

// Dark when the portal says so, else (no portal, or no preference there)
// when GTK's settings ask for a dark theme.
void UpdateDark() {
  bool gtkDark = false;
  if (GtkSettings* settings = gtk_settings_get_default(); settings != nullptr) {
    gboolean prefer = FALSE;
    gchar* theme = nullptr;
    g_object_get(settings, "gtk-application-prefer-dark-theme", &prefer, "gtk-theme-name", &theme,
                 nullptr);
    const std::string name = theme != nullptr ? theme : "";
    g_free(theme);
    gtkDark = prefer || (name.size() >= 5 &&
                         g_ascii_strcasecmp(name.c_str() + name.size() - 5, "-dark") == 0);
  }
  const bool dark = g_portal_scheme == 1 || (g_portal_scheme != 2 && gtkDark);
  if (dark == g_dark) return;
  g_dark = dark;
  for (auto& [id, entry] : g_trays) ApplyActiveIcon(entry);
}

// The color-scheme value of a portal reply or signal: a uint32, maybe
// boxed in one or two variants.
void TakeScheme(GVariant* value) {
  GVariant* v = g_variant_ref(value);
  while (g_variant_is_of_type(v, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(v);
    g_variant_unref(v);
    v = inner;
  }
  if (g_variant_is_of_type(v, G_VARIANT_TYPE_UINT32)) g_portal_scheme = g_variant_get_uint32(v);
  g_variant_unref(v);
  UpdateDark();
}

constexpr char kPortalName[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kSettingsInterface[] = "org.freedesktop.portal.Settings";

void ReadPortalScheme() {
  if (g_bus == nullptr) return;
  g_dbus_connection_call(
      g_bus, kPortalName, kPortalPath, kSettingsInterface, "Read",
      g_variant_new("(ss)", "org.freedesktop.appearance", "color-scheme"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer) {
        GVariant* r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, nullptr);
        if (r == nullptr) return;  // no portal: GTK's settings decide
        GVariant* v = g_variant_get_child_value(r, 0);
        TakeScheme(v);
        g_variant_unref(v);
        g_variant_unref(r);
      },
      nullptr);
}

// Follows the desktop's light or dark appearance, once per process.
void EnsureAppearanceObserver() {
  if (g_observer_installed) return;
  g_observer_installed = true;
  if (GtkSettings* settings = gtk_settings_get_default(); settings != nullptr) {
    for (const char* property :
         {"notify::gtk-application-prefer-dark-theme", "notify::gtk-theme-name"}) {
      g_signal_connect(settings, property,
                       G_CALLBACK(+[](GObject*, GParamSpec*, gpointer) { UpdateDark(); }), nullptr);
    }
  }
  if (Bus() != nullptr) {
    g_dbus_connection_signal_subscribe(
        g_bus, nullptr, kSettingsInterface, "SettingChanged", kPortalPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* args,
           gpointer) {
          if (!g_variant_is_of_type(args, G_VARIANT_TYPE("(ssv)"))) return;
          const char* ns = nullptr;
          const char* key = nullptr;
          GVariant* value = nullptr;
          g_variant_get(args, "(&s&sv)", &ns, &key, &value);
          if (g_strcmp0(ns, "org.freedesktop.appearance") == 0 &&
              g_strcmp0(key, "color-scheme") == 0) {
            TakeScheme(value);
          }
          g_variant_unref(value);
        },
        nullptr, nullptr);
    // The portal may start after us: ask again whenever it appears.
    g_bus_watch_name_on_connection(
        g_bus, kPortalName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const char*, const char*, gpointer) { ReadPortalScheme(); },
        [](GDBusConnection*, const char*, gpointer) {
          g_portal_scheme = -1;
          UpdateDark();
        },
        nullptr, nullptr);
  }
  UpdateDark();
}

void Report(const Handler& handler, uint32_t id) {
  if (handler.fn != nullptr) handler.fn(handler.data, id);
}

int64_t DoubleClickMicros() {
  gint ms = 400;
  if (GtkSettings* settings = gtk_settings_get_default(); settings != nullptr) {
    g_object_get(settings, "gtk-double-click-time", &ms, nullptr);
  }
  return static_cast<int64_t>(ms) * 1000;
}

// A primary activation: a click, or the second half of a double click.
void Activated(uint32_t id, int64_t nowUs) {
  TrayEntry* entry = Find(id);
  if (entry == nullptr) return;
  const bool hasDouble = entry->doubleClick.fn != nullptr;
  const Handler handler = entry->tracker.Activate(nowUs, DoubleClickMicros(), hasDouble) ==
                                  TrayClickTracker::Report::DoubleClick
                              ? entry->doubleClick
                              : entry->click;
  Report(handler, id);  // may destroy the entry
}

void Clicked(uint32_t id) {
  if (TrayEntry* entry = Find(id); entry != nullptr) Report(entry->click, id);
}

// --- the StatusNotifierItem object ---------------------------------------

uint32_t IdOfPath(const char* path) {
  const char* prefix = "/StatusNotifierItem/";
  if (!g_str_has_prefix(path, prefix)) return 0;
  return static_cast<uint32_t>(g_ascii_strtoull(path + strlen(prefix), nullptr, 10));
}

void OnItemMethod(GDBusConnection*, const char*, const char* path, const char*, const char* method,
                  GVariant* args, GDBusMethodInvocation* invocation, gpointer) {
  const uint32_t id = IdOfPath(path);
  TrayEntry* entry = Find(id);
  if (entry == nullptr) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.UnknownObject", "no such tray icon");
    return;
  }
  const bool positioned = g_strcmp0(method, "Scroll") != 0;
  if (positioned) {
    g_variant_get(args, "(ii)", &entry->pointX, &entry->pointY);
    entry->hasPoint = true;
  }
  const bool hasMenu = entry->menu != nullptr;
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (g_strcmp0(method, "Activate") == 0) {
    Activated(id, g_get_monotonic_time());
  } else if (g_strcmp0(method, "SecondaryActivate") == 0 ||
             (g_strcmp0(method, "ContextMenu") == 0 && !hasMenu)) {
    Clicked(id);
  }
  // ContextMenu with a menu: the host shows our dbusmenu itself.
}

GVariant* OnItemProperty(GDBusConnection*, const char*, const char* path, const char*,
                         const char* property, GError** error, gpointer) {
  TrayEntry* entry = Find(IdOfPath(path));
  if (entry == nullptr) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT, "no such tray icon");
    return nullptr;
  }
  const std::string p = property;
  if (p == "Category") return g_variant_new_string("ApplicationStatus");
  if (p == "Id") {
    const std::string appId = ApplicationIdGtk();
    const char* prgname = g_get_prgname();
    const std::string base = !appId.empty() ? appId : (prgname != nullptr ? prgname : "wexlor");
    // The first icon is the application's own; later ones are told apart.
    return g_variant_new_string(
        (entry->id == 1 ? base : base + "-" + std::to_string(entry->id)).c_str());
  }
  if (p == "Title") {
    const char* name = g_get_application_name();
    return g_variant_new_string(name != nullptr ? name : "");
  }
  if (p == "Status") return g_variant_new_string("Active");
  if (p == "WindowId") return g_variant_new_int32(0);
  if (p == "IconName") return g_variant_new_string("");
  if (p == "ItemIsMenu") return g_variant_new_boolean(FALSE);
  if (p == "Menu") {
    return g_variant_new_object_path(entry->menu != nullptr ? entry->MenuPath().c_str() : kNoMenu);
  }
  if (p == "IconPixmap") {
    if (entry->pixmaps == nullptr) entry->pixmaps = PixmapsOf(ActiveIcon(*entry));
    return g_variant_ref(entry->pixmaps);
  }
  if (p == "ToolTip") {
    // The text as the title: several panels show nothing else.
    return g_variant_new("(s@a(iiay)ss)", "",
                         g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                         entry->tooltip.c_str(), "");
  }
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
  return nullptr;
}

const GDBusInterfaceVTable kItemVTable = {OnItemMethod, OnItemProperty, nullptr, {}};

void RegisterWithWatcher(const TrayEntry& entry) {
  g_dbus_connection_call(
      g_bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
      g_variant_new("(s)", entry.Path().c_str()), nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
      nullptr,
      [](GObject* source, GAsyncResult* res, gpointer id) {
        GError* error = nullptr;
        GVariant* r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
        if (r != nullptr) {
          g_variant_unref(r);
          return;
        }
        std::fprintf(stderr, "wexlor: the tray did not take an icon: %s\n", error->message);
        g_clear_error(&error);
        // Shown in the X11 tray instead, until the next watcher.
        if (TrayEntry* e = Find(GPOINTER_TO_UINT(id)); e != nullptr && g_watcher_owner) {
          e->rejected = true;
          ApplyPresentation(*e);
        }
      },
      GUINT_TO_POINTER(entry.id));
}

void OnStatusIconButton(GtkStatusIcon*, GdkEventButton* event, gpointer data) {
  const uint32_t id = GPOINTER_TO_UINT(data);
  TrayEntry* entry = Find(id);
  // GDK's own double-click events repeat the second press: the press
  // itself is counted.
  if (entry == nullptr || event->type != GDK_BUTTON_PRESS) return;
  if (event->button == 3 && entry->menu != nullptr) {
    GtkMenuOptions options;
    options.click = entry->menu->click;
    options.clickData = entry->menu->clickData;
    options.owner = entry->menu->owner;
    GtkWidget* menu = BuildGtkMenuFromTree(entry->menu->tree, options);
    g_object_ref_sink(menu);
    g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* shell, gpointer) {
                       // Destroyed after the chosen item's activation has run.
                       g_idle_add_full(
                           G_PRIORITY_DEFAULT_IDLE,
                           [](gpointer m) -> gboolean {
                             gtk_widget_destroy(GTK_WIDGET(m));
                             return G_SOURCE_REMOVE;
                           },
                           shell, g_object_unref);
                     }),
                     nullptr);
    gtk_menu_popup_at_pointer(GTK_MENU(menu), reinterpret_cast<GdkEvent*>(event));
    return;
  }
  if (event->button == 1) {
    Activated(id, static_cast<int64_t>(event->time) * 1000);
  } else {
    Clicked(id);
  }
}

// Puts the icon where the desktop shows it: on the bus for a watcher, else
// in the X11 tray.
void ApplyPresentation(TrayEntry& entry) {
  if (!g_watcher_known) return;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (g_watcher_present && g_bus != nullptr && !entry.rejected) {
    if (entry.registration == 0) {
      entry.registration =
          g_dbus_connection_register_object(g_bus, entry.Path().c_str(), g_item_info->interfaces[0],
                                            &kItemVTable, nullptr, nullptr, nullptr);
    }
    if (entry.menu != nullptr && entry.dbusMenu == nullptr) {
      entry.dbusMenu = std::make_unique<DbusMenu>(entry.MenuPath());
      entry.dbusMenu->Set(entry.menu);
    }
    if (entry.statusIcon != nullptr) {
      g_object_unref(entry.statusIcon);
      entry.statusIcon = nullptr;
    }
    if (entry.registration != 0) RegisterWithWatcher(entry);
    return;
  }
  // The XEmbed tray exists on X11 only.
  GdkDisplay* display = gdk_display_get_default();
  if (entry.statusIcon == nullptr && display != nullptr && GDK_IS_X11_DISPLAY(display)) {
    entry.statusIcon = gtk_status_icon_new();
    g_signal_connect(entry.statusIcon, "button-press-event", G_CALLBACK(OnStatusIconButton),
                     GUINT_TO_POINTER(entry.id));
    if (!entry.tooltip.empty())
      gtk_status_icon_set_tooltip_text(entry.statusIcon, entry.tooltip.c_str());
    if (ActiveIcon(entry) != nullptr)
      gtk_status_icon_set_from_pixbuf(entry.statusIcon, ActiveIcon(entry));
    const char* name = g_get_application_name();
    if (name != nullptr) gtk_status_icon_set_title(entry.statusIcon, name);
  }
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void Release(TrayEntry& entry) {
  if (entry.registration != 0) {
    // Watchers forget an item only when its connection goes; passive items
    // are hidden, so the icon disappears before its object does.
    EmitItemSignal(entry, "NewStatus", g_variant_new("(s)", "Passive"));
    g_dbus_connection_unregister_object(g_bus, entry.registration);
  }
  entry.dbusMenu.reset();
  if (entry.statusIcon != nullptr) g_object_unref(entry.statusIcon);
  if (entry.icon != nullptr) g_object_unref(entry.icon);
  if (entry.dark != nullptr) g_object_unref(entry.dark);
  if (entry.pixmaps != nullptr) g_variant_unref(entry.pixmaps);
}

// Copies the bytes now; the runtime may free them once the call returns.
std::shared_ptr<std::vector<uint8_t>> Copy(const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  return std::make_shared<std::vector<uint8_t>>(p, p + length);
}

void SetIconOnMain(uint32_t id, const std::vector<uint8_t>& bytes, bool dark) {
  TrayEntry* entry = Find(id);
  if (entry == nullptr) return;
  GdkPixbuf* image = bytes.empty() ? nullptr : Decode(bytes.data(), bytes.size());
  GdkPixbuf*& slot = dark ? entry->dark : entry->icon;
  if (image == nullptr && !dark) return;  // the light icon stays
  if (slot != nullptr) g_object_unref(slot);
  slot = image;
  EnsureAppearanceObserver();
  ApplyActiveIcon(*entry);
}

}  // namespace

uint32_t CreateTrayIconGtk() {
  const uint32_t id = g_next_tray_id.fetch_add(1);
  MainQueue::Post([id] {
    Bus();
    TrayEntry& entry = g_trays[id];
    entry.id = id;
    ApplyPresentation(entry);
  });
  return id;
}

void DestroyTrayIconGtk(uint32_t id) {
  MainQueue::Post([id] {
    auto it = g_trays.find(id);
    if (it == g_trays.end()) return;
    Release(it->second);
    g_trays.erase(it);
  });
}

void SetTrayIconGtk(uint32_t id, const void* bytes, size_t length) {
  if (bytes == nullptr || length == 0) return;
  MainQueue::Post([id, data = Copy(bytes, length)] { SetIconOnMain(id, *data, false); });
}

void SetTrayIconDarkGtk(uint32_t id, const void* bytes, size_t length) {
  auto data = bytes == nullptr || length == 0 ? std::make_shared<std::vector<uint8_t>>()
                                              : Copy(bytes, length);
  MainQueue::Post([id, data] { SetIconOnMain(id, *data, true); });
}

void SetTrayTooltipGtk(uint32_t id, const char* text) {
  MainQueue::Post([id, tooltip = DisplayableText(text != nullptr ? text : "")] {
    TrayEntry* entry = Find(id);
    if (entry == nullptr) return;
    entry->tooltip = tooltip;
    EmitItemSignal(*entry, "NewToolTip");
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (entry->statusIcon != nullptr) {
      gtk_status_icon_set_tooltip_text(entry->statusIcon,
                                       tooltip.empty() ? nullptr : tooltip.c_str());
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
  });
}

void SetTrayClickHandlerGtk(uint32_t id, wexlor_tray_click_handler handler, void* data) {
  MainQueue::Post([=] {
    if (TrayEntry* entry = Find(id); entry != nullptr) entry->click = {handler, data};
  });
}

void SetTrayDoubleClickHandlerGtk(uint32_t id, wexlor_tray_click_handler handler, void* data) {
  MainQueue::Post([=] {
    if (TrayEntry* entry = Find(id); entry != nullptr) entry->doubleClick = {handler, data};
  });
}

void SetTrayMenuOnMainGtk(uint32_t id, std::shared_ptr<const MenuSetup> menu) {
  TrayEntry* entry = Find(id);
  if (entry == nullptr) return;
  const bool hadMenu = entry->menu != nullptr;
  entry->menu = std::move(menu);
  if (entry->menu == nullptr) {
    entry->dbusMenu.reset();
  } else if (entry->registration != 0) {
    if (entry->dbusMenu == nullptr) entry->dbusMenu = std::make_unique<DbusMenu>(entry->MenuPath());
    entry->dbusMenu->Set(entry->menu);
  }
  if (hadMenu != (entry->menu != nullptr) && entry->registration != 0) {
    // Hosts read Menu again on a property change notice.
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(
        &changed, "{sv}", "Menu",
        g_variant_new_object_path(entry->menu != nullptr ? entry->MenuPath().c_str() : kNoMenu));
    g_dbus_connection_emit_signal(g_bus, nullptr, entry->Path().c_str(),
                                  "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                  g_variant_new("(sa{sv}as)", kItemInterface, &changed, nullptr),
                                  nullptr);
  }
}

bool GetTrayIconBoundsGtk(uint32_t id, int* x, int* y, int* width, int* height) {
  struct Rect {
    bool found = false;
    int x = 0, y = 0, w = 0, h = 0;
  };
  const Rect r = MainQuery(Rect{}, [id] {
    Rect r;
    TrayEntry* entry = Find(id);
    if (entry == nullptr) return r;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkRectangle area;
    if (entry->statusIcon != nullptr && gtk_status_icon_is_embedded(entry->statusIcon) &&
        gtk_status_icon_get_geometry(entry->statusIcon, nullptr, &area, nullptr)) {
      return Rect{true, area.x, area.y, area.width, area.height};
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (entry->registration != 0 && entry->hasPoint) {
      return Rect{true, entry->pointX - kPointBoundsSize / 2, entry->pointY - kPointBoundsSize / 2,
                  kPointBoundsSize, kPointBoundsSize};
    }
    return r;
  });
  if (!r.found) return false;
  if (x != nullptr) *x = r.x;
  if (y != nullptr) *y = r.y;
  if (width != nullptr) *width = r.w;
  if (height != nullptr) *height = r.h;
  return true;
}

}  // namespace wexlor_common
