#include "common/gtk/dbusmenu_gtk.h"

#include <gtk/gtk.h>
#include <libdbusmenu-glib/menuitem.h>
#include <libdbusmenu-glib/server.h>

#include "common/gtk/menu_gtk.h"

namespace wexlor_common {
namespace {

// What an item's activation does; owned by the item (freed with it).
struct ItemAction {
  std::shared_ptr<const MenuSetup> setup;  // keeps the callback pairing alive
  bool isRole = false;
  MenuRole role = MenuRole::About;
  std::string id;
};

void OnItemActivated(DbusmenuMenuitem*, guint, gpointer data) {
  const auto* action = static_cast<ItemAction*>(data);
  if (action->isRole) {
    PerformMenuRoleGtk(action->role, nullptr);
  } else if (action->setup->click != nullptr) {
    action->setup->click(action->setup->clickData, action->setup->owner, action->id.c_str());
  }
}

// dbusmenu labels mark mnemonics with "_"; ours are literal text.
std::string EscapeLabel(const std::string& label) {
  std::string out;
  for (char c : label) {
    if (c == '_') out += '_';
    out += c;
  }
  return out;
}

void SetShortcut(DbusmenuMenuitem* mi, const MenuAccelerator& accelerator) {
  guint key = 0;
  GdkModifierType mods = GdkModifierType(0);
  if (!GtkAcceleratorOf(accelerator, &key, &mods)) return;
  const char* name = gdk_keyval_name(key);
  if (name == nullptr) return;
  GVariantBuilder combo;
  g_variant_builder_init(&combo, G_VARIANT_TYPE("as"));
  if (mods & GDK_CONTROL_MASK)
    g_variant_builder_add(&combo, "s", DBUSMENU_MENUITEM_SHORTCUT_CONTROL);
  if (mods & GDK_MOD1_MASK) g_variant_builder_add(&combo, "s", DBUSMENU_MENUITEM_SHORTCUT_ALT);
  if (mods & GDK_SHIFT_MASK) g_variant_builder_add(&combo, "s", DBUSMENU_MENUITEM_SHORTCUT_SHIFT);
  if (mods & GDK_SUPER_MASK) g_variant_builder_add(&combo, "s", DBUSMENU_MENUITEM_SHORTCUT_SUPER);
  g_variant_builder_add(&combo, "s", name);
  GVariantBuilder all;
  g_variant_builder_init(&all, G_VARIANT_TYPE("aas"));
  g_variant_builder_add_value(&all, g_variant_builder_end(&combo));
  dbusmenu_menuitem_property_set_variant(mi, DBUSMENU_MENUITEM_PROP_SHORTCUT,
                                         g_variant_builder_end(&all));
}

void SetIcon(DbusmenuMenuitem* mi, const std::string& path) {
  if (path.empty()) return;
  gchar* data = nullptr;
  gsize length = 0;
  // An unreadable file leaves the item without an icon.
  if (g_file_get_contents(path.c_str(), &data, &length, nullptr) && length > 0) {
    dbusmenu_menuitem_property_set_byte_array(mi, DBUSMENU_MENUITEM_PROP_ICON_DATA,
                                              reinterpret_cast<const guchar*>(data), length);
  }
  g_free(data);
}

void AppendItems(DbusmenuMenuitem* parent, const MenuTree& tree,
                 const std::shared_ptr<const MenuSetup>& setup) {
  for (const MenuItem& entry : tree) {
    if (entry.kind == MenuItemKind::Role && !MenuRoleShownGtk(entry.role)) continue;
    DbusmenuMenuitem* mi = dbusmenu_menuitem_new();
    if (entry.kind == MenuItemKind::Separator) {
      dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_TYPE, "separator");
    } else {
      dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_LABEL,
                                     EscapeLabel(DisplayableText(entry.label)).c_str());
      dbusmenu_menuitem_property_set_bool(mi, DBUSMENU_MENUITEM_PROP_ENABLED, entry.enabled);
      SetIcon(mi, entry.icon);
      if (entry.kind == MenuItemKind::Submenu) {
        dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_CHILD_DISPLAY,
                                       DBUSMENU_MENUITEM_CHILD_DISPLAY_SUBMENU);
        AppendItems(mi, entry.children, setup);
      } else {
        if (entry.kind == MenuItemKind::Command && entry.checked) {
          dbusmenu_menuitem_property_set(mi, DBUSMENU_MENUITEM_PROP_TOGGLE_TYPE,
                                         DBUSMENU_MENUITEM_TOGGLE_CHECK);
          dbusmenu_menuitem_property_set_int(mi, DBUSMENU_MENUITEM_PROP_TOGGLE_STATE,
                                             DBUSMENU_MENUITEM_TOGGLE_STATE_CHECKED);
        }
        SetShortcut(mi, entry.accelerator);
        // Command items without an id report nothing, as in window menus.
        if (entry.kind == MenuItemKind::Role || !entry.id.empty()) {
          auto* action =
              new ItemAction{setup, entry.kind == MenuItemKind::Role, entry.role, entry.id};
          g_signal_connect_data(
              mi, DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED, G_CALLBACK(OnItemActivated), action,
              [](gpointer data, GClosure*) { delete static_cast<ItemAction*>(data); },
              GConnectFlags(0));
        }
      }
    }
    dbusmenu_menuitem_child_append(parent, mi);
    g_object_unref(mi);
  }
}

}  // namespace

DbusMenu::DbusMenu(std::string path) : path_(std::move(path)) {
  server_ = dbusmenu_server_new(path_.c_str());
  Set(nullptr);
}

DbusMenu::~DbusMenu() {
  if (server_ != nullptr) g_object_unref(server_);
}

void DbusMenu::Set(std::shared_ptr<const MenuSetup> setup) {
  setup_ = std::move(setup);
  DbusmenuMenuitem* root = dbusmenu_menuitem_new();
  if (setup_ != nullptr) AppendItems(root, setup_->tree, setup_);
  dbusmenu_server_set_root(server_, root);
  g_object_unref(root);
}

}  // namespace wexlor_common
