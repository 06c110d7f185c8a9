#include "common/gtk/menu_gtk.h"

#include <webkit2/webkit2.h>

#include <string>

namespace wexlor_common {

namespace {

// What a reporting item sends back; owned by the item's signal handler.
struct ClickRecord {
  std::string id;
  wexlor_menu_click_handler click;
  void* clickData;
  uint32_t owner;
};

// Set on a check item while its mark is put back: that emits "activate"
// again, which is not a click.
constexpr char kRestoringKey[] = "wexlor-restoring-mark";

void OnItemActivated(GtkMenuItem* item, gpointer data) {
  if (g_object_get_data(G_OBJECT(item), kRestoringKey) != nullptr) return;
  auto* record = static_cast<ClickRecord*>(data);
  // A copy: the callback may replace the menu, and with it this record.
  const ClickRecord call = *record;
  call.click(call.clickData, call.owner, call.id.c_str());
}

// The window a menu item belongs to: up through parents, and from a menu to
// the widget it is attached to.
GtkWindow* WindowOfWidget(GtkWidget* widget) {
  for (int guard = 0; widget != nullptr && guard < 256; ++guard) {
    GtkWidget* parent = gtk_widget_get_parent(widget);
    if (parent == nullptr) {
      if (GTK_IS_MENU(widget)) {
        widget = gtk_menu_get_attach_widget(GTK_MENU(widget));
        continue;
      }
      return GTK_IS_WINDOW(widget) ? GTK_WINDOW(widget) : nullptr;
    }
    if (GTK_IS_MENU(parent)) {
      widget = gtk_menu_get_attach_widget(GTK_MENU(parent));
    } else {
      widget = parent;
    }
  }
  return nullptr;
}

GtkWindow* ActiveWindow() {
  GApplication* app = g_application_get_default();
  if (app == nullptr || !GTK_IS_APPLICATION(app)) return nullptr;
  return gtk_application_get_active_window(GTK_APPLICATION(app));
}

void OnRoleActivated(GtkMenuItem* item, gpointer data) {
  const auto role = static_cast<MenuRole>(GPOINTER_TO_INT(data));
  PerformMenuRoleGtk(role, WindowOfWidget(GTK_WIDGET(item)));
}

void FindWebView(GtkWidget* widget, gpointer result) {
  auto** found = static_cast<WebKitWebView**>(result);
  if (*found != nullptr) return;
  if (WEBKIT_IS_WEB_VIEW(widget)) {
    *found = WEBKIT_WEB_VIEW(widget);
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), FindWebView, result);
  }
}

const char* EditingCommandOf(MenuRole role) {
  switch (role) {
    case MenuRole::Undo:
      return WEBKIT_EDITING_COMMAND_UNDO;
    case MenuRole::Redo:
      return WEBKIT_EDITING_COMMAND_REDO;
    case MenuRole::Cut:
      return WEBKIT_EDITING_COMMAND_CUT;
    case MenuRole::Copy:
      return WEBKIT_EDITING_COMMAND_COPY;
    case MenuRole::Paste:
      return WEBKIT_EDITING_COMMAND_PASTE;
    default:
      return WEBKIT_EDITING_COMMAND_SELECT_ALL;
  }
}

void EditInWindow(MenuRole role, GtkWindow* window) {
  GtkWidget* focus = gtk_window_get_focus(window);
  if (focus != nullptr && GTK_IS_EDITABLE(focus)) {
    GtkEditable* editable = GTK_EDITABLE(focus);
    switch (role) {
      case MenuRole::Cut:
        gtk_editable_cut_clipboard(editable);
        break;
      case MenuRole::Copy:
        gtk_editable_copy_clipboard(editable);
        break;
      case MenuRole::Paste:
        gtk_editable_paste_clipboard(editable);
        break;
      case MenuRole::SelectAll:
        gtk_editable_select_region(editable, 0, -1);
        break;
      default:
        break;  // GTK's text entries keep no undo history
    }
    return;
  }
  WebKitWebView* webView = nullptr;
  FindWebView(GTK_WIDGET(window), &webView);
  if (webView == nullptr) return;
  webkit_web_view_execute_editing_command(webView, EditingCommandOf(role));
}

// --- validation of the editing items when their menu opens ---------------

constexpr char kEditRoleKey[] = "wexlor-edit-role";

bool IsEditingRole(MenuRole role) {
  switch (role) {
    case MenuRole::Undo:
    case MenuRole::Redo:
    case MenuRole::Cut:
    case MenuRole::Copy:
    case MenuRole::Paste:
    case MenuRole::SelectAll:
      return true;
    default:
      return false;
  }
}

// The web view's answer arrives later; the item is kept alive until then.
void ValidateInWebView(WebKitWebView* view, GtkWidget* item, MenuRole role) {
  webkit_web_view_can_execute_editing_command(
      view, EditingCommandOf(role), nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* widget = static_cast<GtkWidget*>(data);
        const gboolean can = webkit_web_view_can_execute_editing_command_finish(
            WEBKIT_WEB_VIEW(source), result, nullptr);
        gtk_widget_set_sensitive(widget, can);
        g_object_unref(widget);
      },
      g_object_ref(item));
}

// A host text entry: its selection, its editability and, for Paste, text
// on the clipboard. GTK entries keep no undo history.
void ValidateInEntry(GtkEditable* entry, GtkWidget* item, MenuRole role) {
  const bool selected = gtk_editable_get_selection_bounds(entry, nullptr, nullptr);
  const bool editable = gtk_editable_get_editable(entry);
  bool can = false;
  switch (role) {
    case MenuRole::Cut:
      can = selected && editable;
      break;
    case MenuRole::Copy:
      can = selected;
      break;
    case MenuRole::SelectAll: {
      gchar* text = gtk_editable_get_chars(entry, 0, -1);
      can = text != nullptr && *text != '\0';
      g_free(text);
      break;
    }
    case MenuRole::Paste:
      if (editable) {
        gtk_clipboard_request_targets(
            gtk_widget_get_clipboard(GTK_WIDGET(entry), GDK_SELECTION_CLIPBOARD),
            [](GtkClipboard*, GdkAtom* targets, gint count, gpointer data) {
              auto* widget = static_cast<GtkWidget*>(data);
              gtk_widget_set_sensitive(
                  widget, targets != nullptr && gtk_targets_include_text(targets, count));
              g_object_unref(widget);
            },
            g_object_ref(item));
        return;
      }
      break;
    default:
      break;
  }
  gtk_widget_set_sensitive(item, can);
}

// "show" of a menu: its editing items follow what the focused entry or the
// web view of the menu's window can do now.
void OnMenuShown(GtkWidget* menu, gpointer) {
  GtkWidget* attached = gtk_menu_get_attach_widget(GTK_MENU(menu));
  GtkWindow* window = attached != nullptr ? WindowOfWidget(attached) : nullptr;
  if (window == nullptr) window = ActiveWindow();
  if (window == nullptr) return;
  GtkWidget* focus = gtk_window_get_focus(window);
  GtkEditable* entry = focus != nullptr && GTK_IS_EDITABLE(focus) ? GTK_EDITABLE(focus) : nullptr;
  WebKitWebView* webView = nullptr;
  if (entry == nullptr) FindWebView(GTK_WIDGET(window), &webView);
  GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
  for (GList* l = items; l != nullptr; l = l->next) {
    auto* item = GTK_WIDGET(l->data);
    const int tag = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(item), kEditRoleKey));
    if (tag == 0) continue;
    const auto role = static_cast<MenuRole>(tag - 1);
    if (entry != nullptr) {
      ValidateInEntry(entry, item, role);
    } else if (webView != nullptr) {
      ValidateInWebView(webView, item, role);
    }
  }
  g_list_free(items);
}

// A menu whose editing items are validated each time it opens.
GtkWidget* NewMenu() {
  GtkWidget* menu = gtk_menu_new();
  g_signal_connect(menu, "show", G_CALLBACK(OnMenuShown), nullptr);
  return menu;
}

void ShowAbout(GtkWindow* parent) {
  const char* name = g_get_application_name();
  GdkPixbuf* logo = nullptr;
  GList* icons = parent != nullptr ? gtk_window_get_icon_list(parent) : nullptr;
  if (icons == nullptr) icons = gtk_window_get_default_icon_list();
  if (icons != nullptr) logo = GDK_PIXBUF(icons->data);
  const char* kGeneric = "application-x-executable";
  if (logo != nullptr) {
    gtk_show_about_dialog(parent, "program-name", name, "logo", logo, nullptr);
  } else if (gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), kGeneric)) {
    gtk_show_about_dialog(parent, "program-name", name, "logo-icon-name", kGeneric, nullptr);
  } else {
    gtk_show_about_dialog(parent, "program-name", name, "logo-icon-name", nullptr, nullptr);
  }
  g_list_free(icons);
}

// The Linux key of a role, and whether pressing it activates the item. The
// editing keys are only shown: the focused page or entry handles them
// itself, so a menu never takes them away from the page.
struct RoleKey {
  guint key;
  GdkModifierType mods;
  bool activates;
};

RoleKey RoleKeyOf(MenuRole role) {
  const auto ctrl = GDK_CONTROL_MASK;
  switch (role) {
    case MenuRole::Quit:
      return {GDK_KEY_q, ctrl, true};
    case MenuRole::Close:
      return {GDK_KEY_w, ctrl, true};
    case MenuRole::Minimize:
      return {GDK_KEY_m, ctrl, true};
    case MenuRole::ToggleFullScreen:
      return {GDK_KEY_F11, GdkModifierType(0), true};
    case MenuRole::Undo:
      return {GDK_KEY_z, ctrl, false};
    case MenuRole::Redo:
      return {GDK_KEY_z, GdkModifierType(ctrl | GDK_SHIFT_MASK), false};
    case MenuRole::Cut:
      return {GDK_KEY_x, ctrl, false};
    case MenuRole::Copy:
      return {GDK_KEY_c, ctrl, false};
    case MenuRole::Paste:
      return {GDK_KEY_v, ctrl, false};
    case MenuRole::SelectAll:
      return {GDK_KEY_a, ctrl, false};
    default:
      return {0, GdkModifierType(0), false};
  }
}

bool IsFunctionKey(guint key) { return key >= GDK_KEY_F1 && key <= GDK_KEY_F35; }

// A menu item whose child shows the label literally (no mnemonic), the
// accelerator, and an optional 16 x 16 image before the label.
GtkWidget* NewItem(bool check, const std::string& label, const std::string& icon, guint key,
                   GdkModifierType mods) {
  GtkWidget* item = check ? gtk_check_menu_item_new() : gtk_menu_item_new();
  GtkWidget* text = gtk_accel_label_new(DisplayableText(label).c_str());
  gtk_label_set_use_underline(GTK_LABEL(text), FALSE);
  gtk_label_set_xalign(GTK_LABEL(text), 0.0f);
  gtk_accel_label_set_accel_widget(GTK_ACCEL_LABEL(text), item);
  if (key != 0) gtk_accel_label_set_accel(GTK_ACCEL_LABEL(text), key, mods);
  GdkPixbuf* image = nullptr;
  if (!icon.empty()) {
    image = gdk_pixbuf_new_from_file_at_scale(icon.c_str(), 16, 16, TRUE, nullptr);
  }
  if (image != nullptr) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_box_pack_start(GTK_BOX(box), gtk_image_new_from_pixbuf(image), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), text, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(item), box);
    g_object_unref(image);
  } else {
    gtk_container_add(GTK_CONTAINER(item), text);
  }
  gtk_widget_show_all(item);
  return item;
}

void AddAccelerator(GtkWidget* item, const GtkMenuOptions& options, guint key,
                    GdkModifierType mods) {
  if (options.accelGroup == nullptr || key == 0) return;
  gtk_widget_add_accelerator(item, "activate", options.accelGroup, key, mods, GTK_ACCEL_VISIBLE);
}

GtkWidget* BuildItem(const MenuItem& entry, const GtkMenuOptions& options) {
  switch (entry.kind) {
    case MenuItemKind::Separator: {
      GtkWidget* separator = gtk_separator_menu_item_new();
      gtk_widget_show(separator);
      return separator;
    }
    case MenuItemKind::Role: {
      if (!MenuRoleShownGtk(entry.role)) return nullptr;
      const RoleKey key = RoleKeyOf(entry.role);
      GtkWidget* item = NewItem(false, entry.label, "", key.key, key.mods);
      if (key.activates) AddAccelerator(item, options, key.key, key.mods);
      if (IsEditingRole(entry.role)) {
        g_object_set_data(G_OBJECT(item), kEditRoleKey,
                          GINT_TO_POINTER(static_cast<int>(entry.role) + 1));
      }
      g_signal_connect(item, "activate", G_CALLBACK(OnRoleActivated),
                       GINT_TO_POINTER(static_cast<int>(entry.role)));
      return item;
    }
    case MenuItemKind::Submenu: {
      GtkWidget* item = NewItem(false, entry.label, "", 0, GdkModifierType(0));
      GtkWidget* submenu = NewMenu();
      AppendGtkMenuItems(GTK_MENU_SHELL(submenu), entry.children, options);
      gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), submenu);
      return item;
    }
    case MenuItemKind::Command:
      break;
  }
  guint key = 0;
  GdkModifierType mods = GdkModifierType(0);
  const bool hasKey = GtkAcceleratorOf(entry.accelerator, &key, &mods);
  GtkWidget* item = NewItem(entry.checked, entry.label, entry.icon, hasKey ? key : 0, mods);
  // Without Control or Alt, a key would be taken from typing in the page;
  // such accelerators are only shown, except on function keys.
  if (hasKey && ((mods & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) != 0 || IsFunctionKey(key))) {
    AddAccelerator(item, options, key, mods);
  }
  // Set before any handler is connected, so it reports no click. GTK flips
  // the mark on every activation; it shows the description's state until
  // the runtime sets a new menu.
  if (entry.checked) {
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
    g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* self, gpointer) {
                       if (gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(self))) return;
                       g_object_set_data(G_OBJECT(self), kRestoringKey, GINT_TO_POINTER(1));
                       gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(self), TRUE);
                       g_object_set_data(G_OBJECT(self), kRestoringKey, nullptr);
                     }),
                     nullptr);
  }
  gtk_widget_set_sensitive(item, entry.enabled);
  if (!entry.tooltip.empty()) {
    gtk_widget_set_tooltip_text(item, DisplayableText(entry.tooltip).c_str());
  }
  if (!entry.id.empty() && options.click != nullptr) {
    auto* record = new ClickRecord{entry.id, options.click, options.clickData, options.owner};
    g_signal_connect_data(
        item, "activate", G_CALLBACK(OnItemActivated), record,
        [](gpointer data, GClosure*) { delete static_cast<ClickRecord*>(data); }, GConnectFlags(0));
  }
  return item;
}

}  // namespace

std::string DisplayableText(const std::string& text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string out = valid;
  g_free(valid);
  return out;
}

bool MenuRoleShownGtk(MenuRole role) {
  return role != MenuRole::Hide && role != MenuRole::HideOthers && role != MenuRole::Unhide;
}

bool GtkAcceleratorOf(const MenuAccelerator& accelerator, guint* key, GdkModifierType* mods) {
  *key = 0;
  *mods = GdkModifierType(0);
  const std::string name = AcceleratorKeyName(accelerator.key);
  if (name.empty()) return false;
  if (g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr) &&
      g_utf8_strlen(name.c_str(), -1) == 1 && name.size() == accelerator.key.size()) {
    const gunichar c = g_utf8_get_char(name.c_str());
    if (c == 0) return false;
    *key = gdk_keyval_to_lower(gdk_unicode_to_keyval(c));
  } else {
    *key = gdk_keyval_from_name(name.c_str());
  }
  if (*key == 0 || *key == GDK_KEY_VoidSymbol) return false;
  int m = 0;
  if (accelerator.mask & (kMenuModCommand | kMenuModControl)) m |= GDK_CONTROL_MASK;
  if (accelerator.mask & kMenuModOption) m |= GDK_MOD1_MASK;
  if (accelerator.mask & kMenuModShift) m |= GDK_SHIFT_MASK;
  *mods = GdkModifierType(m);
  return true;
}

void AppendGtkMenuItems(GtkMenuShell* shell, const MenuTree& tree, const GtkMenuOptions& options) {
  for (const auto& entry : tree) {
    if (GtkWidget* item = BuildItem(entry, options)) gtk_menu_shell_append(shell, item);
  }
}

GtkWidget* BuildGtkMenuFromTree(const MenuTree& tree, const GtkMenuOptions& options) {
  GtkWidget* menu = NewMenu();
  AppendGtkMenuItems(GTK_MENU_SHELL(menu), tree, options);
  return menu;
}

void PerformMenuRoleGtk(MenuRole role, GtkWindow* window) {
  if (window == nullptr) window = ActiveWindow();
  switch (role) {
    case MenuRole::Quit:
      if (GApplication* app = g_application_get_default()) g_application_quit(app);
      return;
    case MenuRole::Front:
      if (GApplication* app = g_application_get_default(); app && GTK_IS_APPLICATION(app)) {
        GList* windows = g_list_copy(gtk_application_get_windows(GTK_APPLICATION(app)));
        for (GList* w = windows; w != nullptr; w = w->next) {
          if (gtk_widget_get_visible(GTK_WIDGET(w->data))) gtk_window_present(GTK_WINDOW(w->data));
        }
        g_list_free(windows);
      }
      return;
    case MenuRole::About:
      ShowAbout(window);
      return;
    default:
      break;
  }
  if (window == nullptr) return;
  switch (role) {
    case MenuRole::Close:
      gtk_window_close(window);  // the same request as the close button
      break;
    case MenuRole::Minimize:
      gtk_window_iconify(window);
      break;
    case MenuRole::Zoom:
      if (gtk_window_is_maximized(window)) {
        gtk_window_unmaximize(window);
      } else {
        gtk_window_maximize(window);
      }
      break;
    case MenuRole::ToggleFullScreen: {
      GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
      if (gdkWindow != nullptr &&
          (gdk_window_get_state(gdkWindow) & GDK_WINDOW_STATE_FULLSCREEN) != 0) {
        gtk_window_unfullscreen(window);
      } else {
        gtk_window_fullscreen(window);
      }
      break;
    }
    case MenuRole::Undo:
    case MenuRole::Redo:
    case MenuRole::Cut:
    case MenuRole::Copy:
    case MenuRole::Paste:
    case MenuRole::SelectAll:
      EditInWindow(role, window);
      break;
    default:
      break;
  }
}

}  // namespace wexlor_common
