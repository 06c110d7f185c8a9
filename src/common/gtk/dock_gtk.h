// The application's launcher entry on Linux: a count badge, urgency and a
// quick-list menu over the com.canonical.Unity.LauncherEntry protocol, the
// urgency hint and task-bar visibility of the host's windows, and reopen
// requests from a second launch. Callable from any thread unless noted.
#pragma once

#include <memory>

#include "common/menu_tree.h"
#include "wexlor/wexlor.h"

typedef struct _GtkWindow GtkWindow;

namespace wexlor_common {

void SetDockBadgeGtk(const char* text);
// 0 keeps the request until a window gains focus; others end after ~1 s.
void BounceDockGtk(int type);
void SetDockVisibleGtk(bool visible);
void SetDockReopenHandlerGtk(wexlor_dock_reopen_handler handler, void* data);
// Main thread: serves the menu as the launcher's quick list (null removes).
void SetDockMenuOnMainGtk(std::shared_ptr<const MenuSetup> menu);
// Main thread: applies the task-bar visibility to a new host window.
void ApplyDockStateToWindowGtk(GtkWindow* window);
// Main thread: the window is a panel, kept out of the task bar and pager
// whatever the visibility.
void MarkPanelWindowGtk(GtkWindow* window);
// Main thread: the running application was launched again.
void FireDockReopenGtk();

}  // namespace wexlor_common
