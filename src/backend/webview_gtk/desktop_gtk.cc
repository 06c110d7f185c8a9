// Desktop integrations of the GTK backend. Dialogs and the clipboard are
// served here (menus in menus_gtk.cc), and notifications and permissions
// through the desktop's notification service; the dock and tray icons are
// not available on this platform yet and take the defaults a missing
// backend would give.
#include "backend/webview_gtk/gtk_webview_backend.h"
#include "common/gtk/dialogs_gtk.h"
#include "common/gtk/notifications_gtk.h"
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

void GtkWebViewBackend::SetDockBadge(const char*) {}
void GtkWebViewBackend::BounceDock(int) {}
void GtkWebViewBackend::SetDockVisible(bool) {}
void GtkWebViewBackend::SetDockReopenHandler(wexlor_dock_reopen_handler, void*) {}
uint32_t GtkWebViewBackend::CreateTrayIcon() { return 0; }
void GtkWebViewBackend::DestroyTrayIcon(uint32_t) {}
void GtkWebViewBackend::SetTrayIcon(uint32_t, const void*, size_t) {}
void GtkWebViewBackend::SetTrayTooltip(uint32_t, const char*) {}
void GtkWebViewBackend::SetTrayMenu(uint32_t, wexlor_value*, const wexlor_backend_api*,
                                    wexlor_menu_click_handler, void*) {}
void GtkWebViewBackend::SetTrayClickHandler(uint32_t, wexlor_tray_click_handler, void*) {}
void GtkWebViewBackend::SetTrayDoubleClickHandler(uint32_t, wexlor_tray_click_handler, void*) {}
void GtkWebViewBackend::SetTrayIconDark(uint32_t, const void*, size_t) {}
bool GtkWebViewBackend::GetTrayIconBounds(uint32_t, int*, int*, int*, int*) { return false; }

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
// are left to the web view's default (denied).
gboolean OnWebPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  if (!WEBKIT_IS_NOTIFICATION_PERMISSION_REQUEST(request)) return FALSE;
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
