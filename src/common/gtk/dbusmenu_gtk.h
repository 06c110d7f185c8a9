// Menu trees served over D-Bus as com.canonical.dbusmenu layouts, for the
// menus a desktop shell draws itself: tray icon menus and the launcher's
// quick list. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "common/menu_tree.h"

typedef struct _DbusmenuServer DbusmenuServer;

namespace wexlor_common {

// One served menu at a fixed object path on the session bus. Chosen
// command items report (clickData, owner, id) through the setup's callback;
// role items act as in window menus.
class DbusMenu {
 public:
  explicit DbusMenu(std::string path);
  ~DbusMenu();
  DbusMenu(const DbusMenu&) = delete;
  DbusMenu& operator=(const DbusMenu&) = delete;

  // Replaces the layout; null serves an empty menu.
  void Set(std::shared_ptr<const MenuSetup> setup);
  const std::string& path() const { return path_; }
  bool empty() const { return setup_ == nullptr; }

 private:
  std::string path_;
  DbusmenuServer* server_ = nullptr;
  std::shared_ptr<const MenuSetup> setup_;
};

}  // namespace wexlor_common
