#include "common/menu_tree.h"

#include "common/table_values.h"

#include <cstring>
#include <utility>

namespace wexlor_common {

namespace {

constexpr uint32_t kCmd = kMenuModCommand;

const MenuRoleInfo kRoles[] = {
    {MenuRole::About, "About", "orderFrontStandardAboutPanel:", "", kCmd},
    {MenuRole::Hide, "Hide", "hide:", "h", kCmd},
    {MenuRole::HideOthers, "Hide Others", "hideOtherApplications:", "h", kCmd | kMenuModOption},
    {MenuRole::Unhide, "Show All", "unhideAllApplications:", "", kCmd},
    {MenuRole::Quit, "Quit", "terminate:", "q", kCmd},
    {MenuRole::Undo, "Undo", "undo:", "z", kCmd},
    {MenuRole::Redo, "Redo", "redo:", "Z", kCmd | kMenuModShift},
    {MenuRole::Cut, "Cut", "cut:", "x", kCmd},
    {MenuRole::Copy, "Copy", "copy:", "c", kCmd},
    {MenuRole::Paste, "Paste", "paste:", "v", kCmd},
    {MenuRole::SelectAll, "Select All", "selectAll:", "a", kCmd},
    {MenuRole::Minimize, "Minimize", "performMiniaturize:", "m", kCmd},
    {MenuRole::Zoom, "Zoom", "performZoom:", "", kCmd},
    {MenuRole::Close, "Close", "performClose:", "w", kCmd},
    {MenuRole::Front, "Bring All to Front", "arrangeInFront:", "", kCmd},
    {MenuRole::ToggleFullScreen, "Toggle Full Screen", "toggleFullScreen:", "f",
     kCmd | kMenuModControl},
};

struct RoleName {
  const char* name;
  MenuRole role;
};

const RoleName kRoleNames[] = {
    {"about", MenuRole::About},
    {"hide", MenuRole::Hide},
    {"hideothers", MenuRole::HideOthers},
    {"hideOthers", MenuRole::HideOthers},
    {"unhide", MenuRole::Unhide},
    {"quit", MenuRole::Quit},
    {"undo", MenuRole::Undo},
    {"redo", MenuRole::Redo},
    {"cut", MenuRole::Cut},
    {"copy", MenuRole::Copy},
    {"paste", MenuRole::Paste},
    {"selectall", MenuRole::SelectAll},
    {"selectAll", MenuRole::SelectAll},
    {"minimize", MenuRole::Minimize},
    {"zoom", MenuRole::Zoom},
    {"close", MenuRole::Close},
    {"front", MenuRole::Front},
    {"togglefullscreen", MenuRole::ToggleFullScreen},
    {"toggleFullScreen", MenuRole::ToggleFullScreen},
};

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Reads one description through the table, counting items against the
// budget. Every handle the value functions return is freed here.
class Reader {
 public:
  explicit Reader(const wexlor_backend_api* api) : api_(api) {}

  MenuTree ReadList(wexlor_value* list, int depth) {
    MenuTree items;
    const size_t count = api_->ValueListSize(list);
    for (size_t i = 0; i < count && budget_ > 0; ++i) {
      wexlor_value* entry = api_->ValueListGet(list, i);
      if (entry != nullptr && api_->ValueIsDict(entry)) {
        --budget_;  // before the entry's submenu takes its share
        if (auto item = ReadEntry(entry, depth)) items.push_back(std::move(*item));
      }
      api_->ValueFree(entry);
    }
    return items;
  }

 private:
  std::optional<MenuItem> ReadEntry(wexlor_value* dict, int depth) {
    MenuItem item;
    if (String(dict, "type") == "separator") {
      item.kind = MenuItemKind::Separator;
      return item;
    }
    if (const std::string role = String(dict, "role"); !role.empty()) {
      const MenuRoleInfo* info = FindMenuRole(role);
      if (info == nullptr) return std::nullopt;
      item.kind = MenuItemKind::Role;
      item.role = info->role;
      item.label = info->title;
      item.accelerator = {info->key, info->mask};
      return item;
    }
    item.label = String(dict, "label");
    if (item.label.empty()) return std::nullopt;

    wexlor_value* submenu = api_->ValueDictGet(dict, "submenu");
    const bool isList = submenu != nullptr && api_->ValueIsList(submenu);
    if (isList) {
      item.kind = MenuItemKind::Submenu;
      if (depth + 1 < kMaxMenuDepth) item.children = ReadList(submenu, depth + 1);
    }
    api_->ValueFree(submenu);
    if (isList) return item;

    item.kind = MenuItemKind::Command;
    item.accelerator = ParseAccelerator(String(dict, "accelerator"));
    item.id = String(dict, "id");
    item.enabled = Bool(dict, "enabled", true);
    item.checked = Bool(dict, "checked", false);
    item.tooltip = String(dict, "tooltip");
    item.icon = String(dict, "icon");
    return item;
  }

  std::string String(wexlor_value* dict, const char* key) { return DictString(api_, dict, key); }
  bool Bool(wexlor_value* dict, const char* key, bool fallback) {
    return DictBool(api_, dict, key, fallback);
  }

  const wexlor_backend_api* api_;
  size_t budget_ = kMaxMenuItems;
};

bool HasCopy(const MenuTree& tree) {
  for (const auto& item : tree) {
    if (item.kind == MenuItemKind::Role && item.role == MenuRole::Copy) return true;
    if (item.kind == MenuItemKind::Submenu && HasCopy(item.children)) return true;
  }
  return false;
}

MenuItem RoleItem(MenuRole role) {
  const MenuRoleInfo& info = MenuRoleInfoOf(role);
  MenuItem item;
  item.kind = MenuItemKind::Role;
  item.role = role;
  item.label = info.title;
  item.accelerator = {info.key, info.mask};
  return item;
}

MenuItem Separator() {
  MenuItem item;
  item.kind = MenuItemKind::Separator;
  return item;
}

}  // namespace

const MenuRoleInfo* FindMenuRole(std::string_view name) {
  for (const auto& entry : kRoleNames) {
    if (name == entry.name) return &MenuRoleInfoOf(entry.role);
  }
  return nullptr;
}

const MenuRoleInfo& MenuRoleInfoOf(MenuRole role) {
  for (const auto& info : kRoles) {
    if (info.role == role) return info;
  }
  return kRoles[0];
}

MenuAccelerator ParseAccelerator(std::string_view text) {
  if (text.empty()) return {"", kMenuModCommand};
  const std::string lowered = Lowered(text);
  std::vector<std::string> tokens;
  size_t start = 0;
  for (size_t plus; (plus = lowered.find('+', start)) != std::string::npos; start = plus + 1) {
    tokens.push_back(lowered.substr(start, plus - start));
  }
  if (start < lowered.size()) tokens.push_back(lowered.substr(start));

  MenuAccelerator result;
  for (const auto& token : tokens) {
    if (token == "cmd" || token == "command" || token == "cmdorctrl" ||
        token == "commandorcontrol") {
      result.mask |= kMenuModCommand;
    } else if (token == "ctrl" || token == "control") {
      result.mask |= kMenuModControl;
    } else if (token == "alt" || token == "option") {
      result.mask |= kMenuModOption;
    } else if (token == "shift") {
      result.mask |= kMenuModShift;
    } else {
      result.key = token;
    }
  }
  return result;
}

std::string AcceleratorKeyName(std::string_view key) {
  if (key.empty()) return "";
  // One character, ASCII or a single UTF-8 sequence.
  const auto lead = static_cast<unsigned char>(key[0]);
  const size_t length = lead < 0x80    ? 1
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC0 ? 2
                                       : 0;
  if (length == key.size()) return std::string(key);

  const std::string name = Lowered(key);
  if (name.size() >= 2 && name.size() <= 3 && name[0] == 'f') {
    int number = 0;
    for (size_t i = 1; i < name.size(); ++i) {
      if (name[i] < '0' || name[i] > '9') return "";
      number = number * 10 + (name[i] - '0');
    }
    if (number < 1 || number > 24 || name[1] == '0') return "";
    return "F" + std::to_string(number);
  }
  static const std::pair<const char*, const char*> kNamed[] = {
      {"enter", "Return"},        {"return", "Return"}, {"esc", "Escape"},
      {"escape", "Escape"},       {"tab", "Tab"},       {"space", "space"},
      {"backspace", "BackSpace"}, {"delete", "Delete"}, {"insert", "Insert"},
      {"home", "Home"},           {"end", "End"},       {"pageup", "Page_Up"},
      {"pagedown", "Page_Down"},  {"up", "Up"},         {"down", "Down"},
      {"left", "Left"},           {"right", "Right"},   {"plus", "plus"},
      {"minus", "minus"},
  };
  for (const auto& [from, to] : kNamed) {
    if (name == from) return to;
  }
  return "";
}

std::optional<MenuTree> ParseMenuDescription(wexlor_value* description,
                                             const wexlor_backend_api* api) {
  if (description == nullptr || api == nullptr || !api->ValueIsList(description)) {
    return std::nullopt;
  }
  return Reader(api).ReadList(description, 0);
}

bool MenuTreeHasCopyAction(const MenuTree& tree) { return HasCopy(tree); }

MenuItem BuildDefaultEditSubmenu() {
  MenuItem edit;
  edit.kind = MenuItemKind::Submenu;
  edit.label = "Edit";
  edit.children = {RoleItem(MenuRole::Undo),
                   RoleItem(MenuRole::Redo),
                   Separator(),
                   RoleItem(MenuRole::Cut),
                   RoleItem(MenuRole::Copy),
                   RoleItem(MenuRole::Paste),
                   Separator(),
                   RoleItem(MenuRole::SelectAll)};
  return edit;
}

void EnsureEditMenu(MenuTree& tree) {
  if (!MenuTreeHasCopyAction(tree)) tree.push_back(BuildDefaultEditSubmenu());
}

MenuTree BuildStartupMenu(const std::string& applicationName) {
  MenuItem app;
  app.kind = MenuItemKind::Submenu;
  app.label = applicationName;
  app.children = {RoleItem(MenuRole::Quit)};
  MenuTree tree = {std::move(app)};
  EnsureEditMenu(tree);
  return tree;
}

}  // namespace wexlor_common
