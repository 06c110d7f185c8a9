// Menus as the runtime describes them: a list of dictionaries, read through
// the value functions of the backend table into a plain tree that each
// shell turns into its own widgets. Also the standard roles, the
// accelerator grammar and the default Edit menu. Free of any toolkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wexlor/wexlor.h"

namespace wexlor_common {

// Modifier bits of an accelerator, as macOS writes them.
inline constexpr uint32_t kMenuModShift = 0x20000;
inline constexpr uint32_t kMenuModControl = 0x40000;
inline constexpr uint32_t kMenuModOption = 0x80000;
inline constexpr uint32_t kMenuModCommand = 0x100000;

enum class MenuRole {
  About,
  Hide,
  HideOthers,
  Unhide,
  Quit,
  Undo,
  Redo,
  Cut,
  Copy,
  Paste,
  SelectAll,
  Minimize,
  Zoom,
  Close,
  Front,
  ToggleFullScreen,
};

struct MenuRoleInfo {
  MenuRole role;
  const char* title;   // fixed English title
  const char* action;  // the macOS action selector's name
  const char* key;     // key equivalent, "" for none
  uint32_t mask;       // modifier bits
};

// The role named exactly `name` (two spellings for some), or null.
const MenuRoleInfo* FindMenuRole(std::string_view name);
const MenuRoleInfo& MenuRoleInfoOf(MenuRole role);

struct MenuAccelerator {
  std::string key;  // lowered text of the key token, "" for none
  uint32_t mask = 0;
};

// Tokens joined by "+", case-insensitive: modifier words add their bit,
// any other token (the empty one too) becomes the key, the last one
// winning. An empty accelerator gives no key and the Command mask.
MenuAccelerator ParseAccelerator(std::string_view text);

// The portable name of an accelerator key: a single character as itself
// (UTF-8), a named key ("f5", "enter", "pageup", ...) as its X keysym name
// ("F5", "Return", "Page_Up"), anything else "" (no key can produce it).
std::string AcceleratorKeyName(std::string_view key);

enum class MenuItemKind { Separator, Role, Submenu, Command };

struct MenuItem {
  MenuItemKind kind = MenuItemKind::Command;
  MenuRole role = MenuRole::About;  // role items only
  std::string label;                // role items: the role's title
  MenuAccelerator accelerator;      // command items; role items: the role's key
  std::string id;
  bool enabled = true;
  bool checked = false;
  std::string tooltip;
  std::string icon;                // image file path
  std::vector<MenuItem> children;  // submenu items
};

using MenuTree = std::vector<MenuItem>;

// Limits that keep a hostile or cyclic description (a list holding itself)
// from exhausting the stack or memory: submenus nested deeper are built
// empty, and entries past the item budget are dropped.
inline constexpr int kMaxMenuDepth = 32;
inline constexpr size_t kMaxMenuItems = 10000;

// A built menu with what its clicks report: the click callback, its user
// data and the owner number (a window id, 0 or a tray id).
struct MenuSetup {
  MenuTree tree;
  wexlor_menu_click_handler click = nullptr;
  void* clickData = nullptr;
  uint32_t owner = 0;
};

// Reads a menu description through the table's value functions, releasing
// every handle they hand back. Null when `description` is null or not a
// list (or `api` is null); the description itself is not released.
std::optional<MenuTree> ParseMenuDescription(wexlor_value* description,
                                             const wexlor_backend_api* api);

// Whether a Copy role item appears anywhere in the tree.
bool MenuTreeHasCopyAction(const MenuTree& tree);
// The submenu item "Edit": Undo, Redo, -, Cut, Copy, Paste, -, Select All.
MenuItem BuildDefaultEditSubmenu();
// Appends the default Edit menu unless the tree already has a Copy item.
void EnsureEditMenu(MenuTree& tree);
// The menu used before the runtime sets one: a submenu titled with the
// application's name holding Quit, then the Edit menu.
MenuTree BuildStartupMenu(const std::string& applicationName);

}  // namespace wexlor_common
