// Tray icons on Linux: a StatusNotifierItem of our own on the session bus,
// registered with the desktop's StatusNotifierWatcher and offering its menu
// over dbusmenu; where no watcher runs, an XEmbed icon (GtkStatusIcon).
// Callable from any thread unless noted; the work runs on the main thread
// in call order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/menu_tree.h"
#include "wexlor/wexlor.h"

namespace wexlor_common {

uint32_t CreateTrayIconGtk();
void DestroyTrayIconGtk(uint32_t id);
void SetTrayIconGtk(uint32_t id, const void* bytes, size_t length);
void SetTrayIconDarkGtk(uint32_t id, const void* bytes, size_t length);
void SetTrayTooltipGtk(uint32_t id, const char* text);
void SetTrayClickHandlerGtk(uint32_t id, wexlor_tray_click_handler handler, void* data);
void SetTrayDoubleClickHandlerGtk(uint32_t id, wexlor_tray_click_handler handler, void* data);
// Main thread: replaces the icon's menu (null removes it).
void SetTrayMenuOnMainGtk(uint32_t id, std::shared_ptr<const MenuSetup> menu);
// The XEmbed icon's geometry, or a 22 × 22 square around the last point a
// status-notifier host sent; false (outputs untouched) when unknown.
bool GetTrayIconBoundsGtk(uint32_t id, int* x, int* y, int* width, int* height);

}  // namespace wexlor_common
