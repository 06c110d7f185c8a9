// Application menus as window menu bars, context menus, tray menus and the
// dock menu. Descriptions are read on the main thread and released there once
// built: the host owns a description handle once the table entry returns.
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "backend/webview_gtk/gtk_webview_backend.h"
#include "common/gtk/dock_gtk.h"
#include "common/gtk/main_queue.h"
#include "common/gtk/menu_gtk.h"
#include "common/gtk/tray_gtk.h"
#include "runtime/value_api.h"

using wexlor_common::MainQueue;
using wexlor_common::MenuSetup;

namespace {

// A description handle owned by a queued task; released when the task is
// done with it, or dropped unrun at termination.
using OwnedDescription = std::shared_ptr<wexlor_value>;

OwnedDescription Own(wexlor_value* description) {
  return OwnedDescription(description, [](wexlor_value* h) { ValueFree(h); });
}

// Reads and releases the description; null when it is not a list.
std::shared_ptr<MenuSetup> TakeMenu(OwnedDescription& description, const wexlor_backend_api* api,
                                   wexlor_menu_click_handler click, void* clickData,
                                   uint32_t owner) {
  auto tree = wexlor_common::ParseMenuDescription(description.get(), api);
  description.reset();
  if (!tree) return nullptr;
  auto setup = std::make_shared<MenuSetup>();
  setup->tree = std::move(*tree);
  setup->click = click;
  setup->clickData = clickData;
  setup->owner = owner;
  return setup;
}

// A button press standing in for the event that opens a context menu, for
// requests that come while no input event is being handled.
GdkEvent* SyntheticTrigger(GdkWindow* window) {
  GdkEvent* event = gdk_event_new(GDK_BUTTON_PRESS);
  event->button.window = GDK_WINDOW(g_object_ref(window));
  event->button.send_event = TRUE;
  event->button.time = GDK_CURRENT_TIME;
  event->button.button = 3;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(window));
  // A seat may have no pointer (a headless compositor's).
  GdkDevice* pointer = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
  if (pointer != nullptr) gdk_event_set_device(event, pointer);
  return event;
}

// The context menu on screen, if any (main thread). One at a time: Wayland
// nests a popup only in the topmost one, and a new request replaces the old.
GtkWidget* g_contextMenu = nullptr;

// Wayland grants a popup only with the serial of the user's input on the
// window (a press of the pointer over it); without that the menu could
// never take its grab.
bool CanOpenPopupOver(GdkWindow* toplevel) {
  if (WindowSystemHasPositions()) return true;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(toplevel));
  GdkDevice* pointer = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
  GdkWindow* under =
      pointer != nullptr ? gdk_device_get_window_at_position(pointer, nullptr, nullptr) : nullptr;
  return under != nullptr && gdk_window_get_toplevel(under) == toplevel;
}

}  // namespace

void CloseContextMenuOf(GtkWindow* window) {
  if (g_contextMenu == nullptr) return;
  GtkWidget* attached = gtk_menu_get_attach_widget(GTK_MENU(g_contextMenu));
  if (window == nullptr ||
      (attached != nullptr && gtk_widget_get_toplevel(attached) == GTK_WIDGET(window))) {
    gtk_menu_shell_deactivate(GTK_MENU_SHELL(g_contextMenu));
  }
}

GtkWebViewBackend::MenuWidgets GtkWebViewBackend::TakeMenuWidgets(GtkWindowState& state) {
  return {state.window, std::exchange(state.menuBar, nullptr),
          std::exchange(state.accelGroup, nullptr)};
}

void GtkWebViewBackend::DestroyMenuWidgets(const MenuWidgets& widgets) {
  if (widgets.menu != nullptr) {
    gtk_widget_destroy(widgets.menu);
    g_object_unref(widgets.menu);
  }
  if (widgets.group != nullptr) {
    gtk_window_remove_accel_group(widgets.window, widgets.group);
    g_object_unref(widgets.group);
  }
}

void GtkWebViewBackend::InstallMenuOnMain(uint32_t id) {
  std::shared_ptr<const MenuSetup> setup;
  GtkWindow* window = nullptr;
  GtkWidget* box = nullptr;
  bool showsBar = true;
  MenuWidgets old;
  {
    std::lock_guard<std::mutex> lock(windowsMutex_);
    GtkWindowState* state = GetWindow(id);
    if (state == nullptr) return;
    old = TakeMenuWidgets(*state);
    setup = state->menu ? state->menu : appMenu_;
    window = state->window;
    box = state->box;
    // The start-up menu gives keys only: a bar takes room from the page
    // once the runtime has set a menu for this window or for window 0.
    showsBar = state->showsMenuBar && (state->menu || appMenuFromRuntime_);
  }
  DestroyMenuWidgets(old);
  if (!setup) return;

  GtkAccelGroup* group = gtk_accel_group_new();
  gtk_window_add_accel_group(window, group);
  wexlor_common::GtkMenuOptions options;
  options.click = setup->click;
  options.clickData = setup->clickData;
  options.owner = setup->owner;
  options.accelGroup = group;
  GtkWidget* widget;
  if (showsBar) {
    widget = gtk_menu_bar_new();
    wexlor_common::AppendGtkMenuItems(GTK_MENU_SHELL(widget), setup->tree, options);
    g_object_ref_sink(widget);
    gtk_box_pack_start(GTK_BOX(box), widget, FALSE, FALSE, 0);
    gtk_widget_show(widget);
  } else {
    // Never shown; its accelerators work through the window's group, and
    // attached to the window's box so that role items find their window.
    widget = wexlor_common::BuildGtkMenuFromTree(setup->tree, options);
    g_object_ref_sink(widget);
    gtk_menu_attach_to_widget(GTK_MENU(widget), box, nullptr);
  }

  {
    std::lock_guard<std::mutex> lock(windowsMutex_);
    if (GtkWindowState* state = GetWindow(id)) {
      state->menuBar = widget;
      state->accelGroup = group;
      return;
    }
  }
  // The window closed meanwhile.
  gtk_widget_destroy(widget);
  g_object_unref(widget);
  g_object_unref(group);
}

void GtkWebViewBackend::SetApplicationMenu(uint32_t windowId, wexlor_value* menu,
                                           const wexlor_backend_api* api,
                                           wexlor_menu_click_handler click, void* userData) {
  MainQueue::Post([=, this, description = Own(menu)]() mutable {
    std::shared_ptr<MenuSetup> built = TakeMenu(description, api, click, userData, windowId);
    if (!built) return;
    wexlor_common::EnsureEditMenu(built->tree);
    std::shared_ptr<const MenuSetup> setup = std::move(built);
    std::vector<uint32_t> targets;
    {
      std::lock_guard<std::mutex> lock(windowsMutex_);
      if (GtkWindowState* state = GetWindow(windowId)) {
        state->menu = setup;
        targets.push_back(windowId);
      } else if (windowId == 0) {
        // The application's menu, for every window without one of its
        // own, now and later. A window that is gone changes nothing.
        appMenu_ = setup;
        appMenuFromRuntime_ = true;
        for (auto& [id, state] : windows_) {
          if (!state.menu) targets.push_back(id);
        }
      }
    }
    for (uint32_t id : targets) InstallMenuOnMain(id);
  });
}

void GtkWebViewBackend::ShowContextMenu(uint32_t windowId, int x, int y, wexlor_value* menu,
                                        const wexlor_backend_api* api,
                                        wexlor_menu_click_handler click, void* userData) {
  MainQueue::Post([=, this, description = Own(menu)]() mutable {
    std::shared_ptr<const MenuSetup> setup = TakeMenu(description, api, click, userData, windowId);
    if (!setup) return;
    WindowRefs refs = Refs(windowId);
    if (!refs) return;
    GtkWidget* view = GTK_WIDGET(refs.webView);
    GtkWidget* toplevel = GTK_WIDGET(refs.window);
    GdkWindow* gdkWindow = gtk_widget_get_window(toplevel);
    if (gdkWindow == nullptr || !gtk_widget_get_mapped(view)) return;
    CloseContextMenuOf(nullptr);
    if (!CanOpenPopupOver(gdkWindow)) {
      std::fputs(
          "wexlor: context menu not shown: on Wayland it needs the pointer over its window\n",
          stderr);
      return;
    }

    wexlor_common::GtkMenuOptions options;
    options.click = setup->click;
    options.clickData = setup->clickData;
    options.owner = windowId;
    GtkWidget* popup = wexlor_common::BuildGtkMenuFromTree(setup->tree, options);
    g_object_ref_sink(popup);
    gtk_menu_attach_to_widget(GTK_MENU(popup), view, nullptr);
    // Dismissed or chosen: destroyed once the choice has been handled.
    g_contextMenu = popup;
    g_signal_connect(popup, "deactivate", G_CALLBACK(+[](GtkMenuShell* shell, gpointer) {
                       if (g_contextMenu == GTK_WIDGET(shell)) g_contextMenu = nullptr;
                       MainQueue::Post([shell] {
                         gtk_widget_destroy(GTK_WIDGET(shell));
                         g_object_unref(shell);
                       });
                     }),
                     nullptr);

    // (x, y) in the web view, top-left origin, as a point of the toplevel.
    int tx = x, ty = y;
    gtk_widget_translate_coordinates(view, toplevel, x, y, &tx, &ty);
    const GdkRectangle point = {tx, ty, 1, 1};
    GdkEvent* current = gtk_get_current_event();
    GdkEvent* trigger = current != nullptr ? current : SyntheticTrigger(gdkWindow);
    gtk_menu_popup_at_rect(GTK_MENU(popup), gdkWindow, &point, GDK_GRAVITY_NORTH_WEST,
                           GDK_GRAVITY_NORTH_WEST, trigger);
    gdk_event_free(trigger);
  });
}

void GtkWebViewBackend::SetDockMenu(wexlor_value* menu, const wexlor_backend_api* api,
                                    wexlor_menu_click_handler click, void* userData) {
  MainQueue::Post([=, description = Own(menu)]() mutable {
    // A null or non-list description clears the menu.
    wexlor_common::SetDockMenuOnMainGtk(TakeMenu(description, api, click, userData, 0));
  });
}

void GtkWebViewBackend::SetTrayMenu(uint32_t trayId, wexlor_value* menu,
                                    const wexlor_backend_api* api, wexlor_menu_click_handler click,
                                    void* userData) {
  MainQueue::Post([=, description = Own(menu)]() mutable {
    // A description that is not a list changes nothing; null removes the menu.
    const bool remove = description == nullptr;
    auto setup = TakeMenu(description, api, click, userData, trayId);
    if (setup != nullptr || remove) wexlor_common::SetTrayMenuOnMainGtk(trayId, std::move(setup));
  });
}
