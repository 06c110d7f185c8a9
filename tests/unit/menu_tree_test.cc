#include "common/menu_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "runtime/value_api.h"
#include "value/json.h"

using namespace wexlor_common;

namespace {

// The value functions, with every handle and string they hand out counted
// until it comes back.
int g_handles = 0;
int g_strings = 0;

wexlor_value* CountedListGet(wexlor_value* h, size_t i) {
  wexlor_value* r = ValueListGet(h, i);
  g_handles += r != nullptr;
  return r;
}
wexlor_value* CountedDictGet(wexlor_value* h, const char* key) {
  wexlor_value* r = ValueDictGet(h, key);
  g_handles += r != nullptr;
  return r;
}
char* CountedGetString(wexlor_value* h, size_t* length) {
  char* r = ValueGetString(h, length);
  g_strings += r != nullptr;
  return r;
}
void CountedFree(wexlor_value* h) {
  g_handles -= h != nullptr;
  ValueFree(h);
}
void CountedFreeString(char* s) {
  g_strings -= s != nullptr;
  ValueFreeString(s);
}

const wexlor_backend_api* Table() {
  static wexlor_backend_api api = [] {
    wexlor_backend_api a;
    std::memset(&a, 0, sizeof a);
    wexlor_register_value_api(&a);
    a.ValueListGet = CountedListGet;
    a.ValueDictGet = CountedDictGet;
    a.ValueGetString = CountedGetString;
    a.ValueFree = CountedFree;
    a.ValueFreeString = CountedFreeString;
    return a;
  }();
  return &api;
}

// Parses JSON into a description and reads it; checks that every handle
// and string handed out was released.
std::optional<MenuTree> Parse(const std::string& json) {
  wexlor_value* description = NewValueHandle(json::ParseText(json));
  g_handles = g_strings = 0;
  auto tree = ParseMenuDescription(description, Table());
  EXPECT_EQ(g_handles, 0) << "handles left unreleased for " << json;
  EXPECT_EQ(g_strings, 0) << "strings left unreleased for " << json;
  ValueFree(description);
  return tree;
}

MenuTree Items(const std::string& json) {
  auto tree = Parse(json);
  EXPECT_TRUE(tree.has_value()) << json;
  return tree.value_or(MenuTree{});
}

// A compact picture of a tree: "label" for commands, "[role]" for roles,
// "-" for separators, "label{...}" for submenus.
std::string Shape(const MenuTree& tree) {
  std::string out;
  for (const auto& item : tree) {
    if (!out.empty()) out += ",";
    switch (item.kind) {
      case MenuItemKind::Separator:
        out += "-";
        break;
      case MenuItemKind::Role:
        out += "[" + item.label + "]";
        break;
      case MenuItemKind::Submenu:
        out += item.label + "{" + Shape(item.children) + "}";
        break;
      case MenuItemKind::Command:
        out += item.label;
        break;
    }
  }
  return out;
}

}  // namespace

TEST(MenuDescription, OnlyListsDescribeMenus) {
  EXPECT_FALSE(ParseMenuDescription(nullptr, Table()).has_value());
  EXPECT_FALSE(Parse(R"({"label":"a"})").has_value());
  EXPECT_FALSE(Parse(R"("menu")").has_value());
  ASSERT_TRUE(Parse("[]").has_value());
  EXPECT_TRUE(Parse("[]")->empty());
}

TEST(MenuDescription, EntryKindsAndSkippedEntries) {
  // Non-dictionaries, label-less entries and unknown roles are skipped
  // without disturbing their neighbours; a separator wins over a role.
  EXPECT_EQ(Shape(Items(R"([1, "x", null, [], {"label":"A"},
      {"type":"separator","role":"copy","label":"S"},
      {"role":"Quit","label":"Q"}, {"role":"bogus"}, {}, {"label":""},
      {"label":5}, {"type":"other","label":"B"}, {"role":"hideOthers"},
      {"role":"selectall"}, {"role":"toggleFullScreen"}])")),
            "A,-,B,[Hide Others],[Select All],[Toggle Full Screen]");
}

TEST(MenuDescription, RoleItemsIgnoreEveryOtherKey) {
  const MenuTree tree = Items(
      R"([{"role":"copy","label":"Duplicate","accelerator":"Alt+D","id":"dup","enabled":false}])");
  ASSERT_EQ(tree.size(), 1u);
  const MenuItem& copy = tree[0];
  EXPECT_EQ(copy.kind, MenuItemKind::Role);
  EXPECT_EQ(copy.role, MenuRole::Copy);
  EXPECT_EQ(copy.label, "Copy");
  EXPECT_EQ(copy.accelerator.key, "c");
  EXPECT_EQ(copy.accelerator.mask, kMenuModCommand);
  EXPECT_EQ(copy.id, "");
  EXPECT_TRUE(copy.enabled);
}

TEST(MenuDescription, SubmenuRules) {
  // A submenu needs a label; it ignores command keys; an empty list gives
  // an empty submenu; a dictionary "submenu" makes a command item.
  const MenuTree tree = Items(R"([
      {"submenu":[{"label":"lost"}]},
      {"label":"File","id":"f","accelerator":"Ctrl+F","checked":true,"enabled":false,
       "submenu":[{"label":"Open"},{"label":"More","submenu":[{"role":"copy"}]}]},
      {"label":"Empty","submenu":[]},
      {"label":"Dict","submenu":{"label":"inner"},"id":"d"}])");
  EXPECT_EQ(Shape(tree), "File{Open,More{[Copy]}},Empty{},Dict");
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0].id, "");
  EXPECT_EQ(tree[0].accelerator.key, "");
  EXPECT_TRUE(tree[0].enabled);
  EXPECT_FALSE(tree[0].checked);
  EXPECT_EQ(tree[2].kind, MenuItemKind::Command);
  EXPECT_EQ(tree[2].id, "d");
}

TEST(MenuDescription, CommandKeysAndWrongTypes) {
  const MenuTree tree = Items(R"([
      {"label":"Save","id":"save","accelerator":"CmdOrCtrl+S","tooltip":"Store it",
       "icon":"/tmp/i.png","checked":true,"enabled":false},
      {"label":"Odd","id":7,"enabled":"false","checked":1,"tooltip":[],"accelerator":true},
      {"label":"Plain"}])");
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0].id, "save");
  EXPECT_EQ(tree[0].accelerator.key, "s");
  EXPECT_EQ(tree[0].tooltip, "Store it");
  EXPECT_EQ(tree[0].icon, "/tmp/i.png");
  EXPECT_TRUE(tree[0].checked);
  EXPECT_FALSE(tree[0].enabled);
  // Wrong-typed keys read as absent.
  EXPECT_EQ(tree[1].id, "");
  EXPECT_TRUE(tree[1].enabled);
  EXPECT_FALSE(tree[1].checked);
  EXPECT_EQ(tree[1].tooltip, "");
  EXPECT_EQ(tree[1].accelerator.key, "");
  EXPECT_EQ(tree[1].accelerator.mask, kMenuModCommand);
  EXPECT_EQ(tree[2].accelerator.mask, kMenuModCommand);
}

TEST(MenuDescription, StringsKeepTheirBytes) {
  const MenuTree tree = Items("[{\"label\":\"a\\u0000b_c \\u00e9\",\"id\":\"x\\u0000y\"}]");
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree[0].label, std::string("a\0b_c \xc3\xa9", 8));
  EXPECT_EQ(tree[0].id, std::string("x\0y", 3));
}

TEST(MenuDescription, CyclesAndFloodsAreBounded) {
  // A list that holds itself through a submenu, twice per level.
  wexlor_value* list = ValueList(nullptr);
  wexlor_value* entry = ValueDict(nullptr);
  wexlor_value* label = ValueString(nullptr, "loop");
  ValueDictSet(entry, "label", label);
  ValueDictSet(entry, "submenu", list);
  ValueListAppend(list, entry);
  ValueListAppend(list, entry);
  g_handles = g_strings = 0;
  auto tree = ParseMenuDescription(list, Table());
  EXPECT_EQ(g_handles, 0);
  ASSERT_TRUE(tree.has_value());
  size_t count = 0, depth = 0;
  std::function<void(const MenuTree&, size_t)> walk = [&](const MenuTree& t, size_t d) {
    if (!t.empty()) depth = std::max(depth, d);
    for (const auto& item : t) {
      ++count;
      walk(item.children, d + 1);
    }
  };
  walk(*tree, 1);
  EXPECT_LE(count, kMaxMenuItems);
  EXPECT_LE(depth, static_cast<size_t>(kMaxMenuDepth));
  // Break the cycle so the values can be freed.
  ValueDictSet(entry, "submenu", label);
  for (wexlor_value* h : {list, entry, label}) ValueFree(h);
}

TEST(MenuAccelerators, Grammar) {
  struct Case {
    const char* text;
    const char* key;
    uint32_t mask;
  } cases[] = {
      {"CmdOrCtrl+Shift+S", "s", kMenuModCommand | kMenuModShift},
      {"CMD+SHIFT+P", "p", kMenuModCommand | kMenuModShift},
      {"cmd+shift+p", "p", kMenuModCommand | kMenuModShift},
      {"Alt+F4", "f4", kMenuModOption},
      {"Shift+Alt", "", kMenuModShift | kMenuModOption},
      {"a+b", "b", 0},
      {"", "", kMenuModCommand},
      {"x+", "x", 0},  // a trailing "+" adds no token
      {"x++", "", 0},  // the empty token between two "+" replaces the key
      {"Option+Control+Command+x", "x", kMenuModOption | kMenuModControl | kMenuModCommand},
      {"CommandOrControl+Enter", "enter", kMenuModCommand},
  };
  for (const auto& c : cases) {
    const MenuAccelerator a = ParseAccelerator(c.text);
    EXPECT_EQ(a.key, c.key) << c.text;
    EXPECT_EQ(a.mask, c.mask) << c.text;
  }
}

TEST(MenuAccelerators, KeyNames) {
  EXPECT_EQ(AcceleratorKeyName("s"), "s");
  EXPECT_EQ(AcceleratorKeyName(","), ",");
  EXPECT_EQ(AcceleratorKeyName("\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(AcceleratorKeyName("f1"), "F1");
  EXPECT_EQ(AcceleratorKeyName("f24"), "F24");
  EXPECT_EQ(AcceleratorKeyName("pagedown"), "Page_Down");
  EXPECT_EQ(AcceleratorKeyName("enter"), "Return");
  EXPECT_EQ(AcceleratorKeyName("esc"), "Escape");
  EXPECT_EQ(AcceleratorKeyName("plus"), "plus");
  for (const char* none : {"", "f0", "f25", "f01", "fx", "volumeup", "ab", "\x80"}) {
    EXPECT_EQ(AcceleratorKeyName(none), "") << none;
  }
}

TEST(EditMenu, AddedOnceUnlessACopyExistsAtAnyDepth) {
  MenuTree plain = Items(R"([{"label":"File","submenu":[{"label":"Copy","id":"copy"}]}])");
  EnsureEditMenu(plain);
  EXPECT_EQ(Shape(plain), "File{Copy},Edit{[Undo],[Redo],-,[Cut],[Copy],[Paste],-,[Select All]}");
  EnsureEditMenu(plain);
  EXPECT_EQ(plain.size(), 2u);

  MenuTree deep = Items(R"([{"label":"A","submenu":[{"label":"B","submenu":[{"role":"copy"}]}]}])");
  EXPECT_TRUE(MenuTreeHasCopyAction(deep));
  EnsureEditMenu(deep);
  EXPECT_EQ(deep.size(), 1u);

  MenuTree empty;
  EnsureEditMenu(empty);
  // The eight entries of the default Edit menu.
  EXPECT_EQ(Shape(empty), "Edit{[Undo],[Redo],-,[Cut],[Copy],[Paste],-,[Select All]}");
}

TEST(EditMenu, StartupMenuOffersQuitAndEdit) {
  const MenuTree tree = BuildStartupMenu("Demo");
  EXPECT_EQ(Shape(tree), "Demo{[Quit]},Edit{[Undo],[Redo],-,[Cut],[Copy],[Paste],-,[Select All]}");
}
