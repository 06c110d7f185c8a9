// GTK menus built from menu trees: window menu bars, pop-up menus and the
// standard roles. Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>

#include "common/menu_tree.h"

namespace wexlor_common {

struct GtkMenuOptions {
  wexlor_menu_click_handler click = nullptr;
  void* clickData = nullptr;
  uint32_t owner = 0;
  // When set, key accelerators of the items activate through this group
  // (attached to a window); otherwise they are only shown.
  GtkAccelGroup* accelGroup = nullptr;
};

// Appends the tree's items to a GtkMenu or GtkMenuBar. An item with an id
// reports a click as (clickData, owner, id). Role items act on the window
// that holds the menu (through attach widgets), else on the active window.
void AppendGtkMenuItems(GtkMenuShell* shell, const MenuTree& tree, const GtkMenuOptions& options);

// A new GtkMenu holding the tree's items, with a floating reference.
GtkWidget* BuildGtkMenuFromTree(const MenuTree& tree, const GtkMenuOptions& options);

// The Linux key and modifiers of an accelerator: Command and Control are
// Control, Option is Alt. False when no key can produce it.
bool GtkAcceleratorOf(const MenuAccelerator& accelerator, guint* key, GdkModifierType* mods);

// Text GTK and D-Bus can carry: invalid UTF-8 sequences become U+FFFD.
std::string DisplayableText(const std::string& text);

// Carries out a role in `window` (null: the active application window).
void PerformMenuRoleGtk(MenuRole role, GtkWindow* window);

// Whether the role has an item on Linux (hide, hide others and show all do not).
bool MenuRoleShownGtk(MenuRole role);

}  // namespace wexlor_common
