// Desktop integrations of the GTK backend. Dialogs and the clipboard are
// served here (menus in menus_gtk.cc), notifications and permissions
// through the desktop's notification service, tray icons as status-notifier
// items and the dock as the launcher entry.
#include "backend/webview_gtk/gtk_webview_backend.h"
#include "backend/webview_gtk/web_data_gtk.h"
#include "common/gtk/dialogs_gtk.h"
#include "common/gtk/dock_gtk.h"
#include "common/gtk/notifications_gtk.h"
#include "common/gtk/tray_gtk.h"
#include "runtime/value_api.h"

int GtkWebViewBackend::ShowDialog(uint32_t, int kind, const std::string& title,
                                  const std::string& message, const std::string& defaultText,
                                  char** outText) {
  return wexlor_common::ShowDialogGtk(kind, title, message, defaultText, outText);
}

char* GtkWebViewBackend::ReadClipboardText() { return wexlor_common::ClipboardReadTextGtk(); }

void GtkWebViewBackend::WriteClipboardText(const std::string& text) {
  wexlor_common::ClipboardWriteTextGtk(text);
}

void GtkWebViewBackend::SetDockBadge(const char* text) { wexlor_common::SetDockBadgeGtk(text); }
void GtkWebViewBackend::BounceDock(int type) { wexlor_common::BounceDockGtk(type); }
void GtkWebViewBackend::SetDockVisible(bool visible) { wexlor_common::SetDockVisibleGtk(visible); }
void GtkWebViewBackend::SetDockReopenHandler(wexlor_dock_reopen_handler handler, void* userData) {
  wexlor_common::SetDockReopenHandlerGtk(handler, userData);
}
uint32_t GtkWebViewBackend::CreateTrayIcon() { return wexlor_common::CreateTrayIconGtk(); }
void GtkWebViewBackend::DestroyTrayIcon(uint32_t trayId) {
  wexlor_common::DestroyTrayIconGtk(trayId);
}
void GtkWebViewBackend::SetTrayIcon(uint32_t trayId, const void* bytes, size_t length) {
  wexlor_common::SetTrayIconGtk(trayId, bytes, length);
}
void GtkWebViewBackend::SetTrayIconDark(uint32_t trayId, const void* bytes, size_t length) {
  wexlor_common::SetTrayIconDarkGtk(trayId, bytes, length);
}
void GtkWebViewBackend::SetTrayTooltip(uint32_t trayId, const char* text) {
  wexlor_common::SetTrayTooltipGtk(trayId, text);
}
void GtkWebViewBackend::SetTrayClickHandler(uint32_t trayId, wexlor_tray_click_handler handler,
                                            void* userData) {
  wexlor_common::SetTrayClickHandlerGtk(trayId, handler, userData);
}
void GtkWebViewBackend::SetTrayDoubleClickHandler(uint32_t trayId,
                                                  wexlor_tray_click_handler handler,
                                                  void* userData) {
  wexlor_common::SetTrayDoubleClickHandlerGtk(trayId, handler, userData);
}
bool GtkWebViewBackend::GetTrayIconBounds(uint32_t trayId, int* x, int* y, int* width,
                                          int* height) {
  return wexlor_common::GetTrayIconBoundsGtk(trayId, x, y, width, height);
}

uint32_t GtkWebViewBackend::ShowNotification(wexlor_value* options, const wexlor_backend_api* api,
                                             wexlor_notification_handler handler, void* userData) {
  return wexlor_common::ShowNotificationGtk(wexlor_common::ParseNotificationOptions(options, api),
                                            handler, userData);
}

void GtkWebViewBackend::CloseNotification(uint32_t notificationId) {
  wexlor_common::CloseNotificationGtk(notificationId);
}

void GtkWebViewBackend::QueryPermission(int kind, wexlor_permission_handler handler,
                                        void* userData) {
  wexlor_common::QueryPermissionGtk(kind, handler, userData);
}

void GtkWebViewBackend::RequestPermission(int kind, wexlor_permission_handler handler,
                                          void* userData) {
  wexlor_common::RequestPermissionGtk(kind, handler, userData);
}

// A page asking to show notifications gets the answer the runtime would:
// allowed while the desktop's notification service exists. Other requests
// are the runtime's to decide, denied without it.
gboolean OnWebPermissionRequest(WebKitWebView* view, WebKitPermissionRequest* request, gpointer) {
  if (!WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request)) {
    return WexlorDecidePagePermission(view, request);
  }
  g_object_ref(request);
  wexlor_common::QueryNotificationServiceGtk([request](bool exists) {
    if (exists) {
      webkit_permission_request_allow(request);
    } else {
      webkit_permission_request_deny(request);
    }
    g_object_unref(request);
  });
  return TRUE;
}
