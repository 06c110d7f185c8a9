#include "backend/webview_gtk/web_data_gtk.h"

#include <glib/gstdio.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend/web_profile.h"
#include "common/gtk/app_id.h"
#include "runtime/runtime_loader.h"
#include "runtime/value_api.h"

namespace {

RuntimeLoader* Loader() { return RuntimeLoader::GetInstance(); }

bool EnvFlag(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

const WebProfile& Profile() {
  static const WebProfile profile = [] {
    const char* data = g_get_user_data_dir();
    const char* cache = g_get_user_cache_dir();
    WebProfile p = ResolveWebProfile(wexlor_common::ApplicationIdGtk(), Loader()->libraryPath(),
                                     data != nullptr ? data : "", cache != nullptr ? cache : "",
                                     EnvFlag("WEXLOR_EPHEMERAL"));
    if (p.ephemeral && !EnvFlag("WEXLOR_EPHEMERAL")) {
      g_printerr("wexlor: no absolute data or cache directory; website data is not kept\n");
    }
    return p;
  }();
  return profile;
}

// Per web view: its window and what was last dropped on it.
struct ViewData {
  uint32_t windowId = 0;
  GdkDragContext* drag = nullptr;  // referenced; the drag `uris` belong to
  std::vector<std::string> uris;
  bool dropPending = false;  // dropped before its data arrived
  int dropX = 0, dropY = 0;
  // What the engine may try to load after the drop, until `guardUntil`.
  std::vector<std::string> guarded;
  gint64 guardUntil = 0;
  std::string runtimeUri;  // the runtime's own navigation, never taken for a drop's

  ~ViewData() {
    if (drag != nullptr) g_object_unref(drag);
  }
};

ViewData* DataOf(WebKitWebView* view) {
  return static_cast<ViewData*>(g_object_get_data(G_OBJECT(view), "wexlor-web-data"));
}

// Dropped links as the engine compares them: unescaped, without a final '/'.
std::string Comparable(const char* uri) {
  char* plain = g_uri_unescape_string(uri, nullptr);
  std::string s = plain != nullptr ? plain : uri;
  g_free(plain);
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

void AddUri(ViewData* d, const std::string& uri) {
  if (uri.empty()) return;
  for (const auto& u : d->uris) {
    if (u == uri) return;
  }
  d->uris.push_back(uri);
}

// The drop has its data: the engine must not follow it, and the runtime
// hears of the files.
void DeliverDrop(ViewData* d) {
  d->dropPending = false;
  constexpr gint64 kGuardUs = 5 * G_USEC_PER_SEC;
  d->guardUntil = g_get_monotonic_time() + kGuardUs;
  d->guarded.clear();
  auto paths = wexlor::Value::List();
  for (const auto& uri : d->uris) {
    d->guarded.push_back(Comparable(uri.c_str()));
    if (char* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr)) {
      paths->AsList().push_back(wexlor::Value::String(path));
      g_free(path);
    }
  }
  d->uris.clear();
  g_clear_object(&d->drag);
  if (paths->AsList().empty()) return;
  auto& reg = Loader()->dropHandler_;
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (reg.fn == nullptr) return;
  reg.fn(reg.userData, d->windowId, d->dropX, d->dropY, NewValueHandle(std::move(paths)));
}

// Runs before the web view's own handler, which still gets the data.
void OnDragDataReceived(GtkWidget*, GdkDragContext* context, gint, gint, GtkSelectionData* data,
                        guint, guint, gpointer user) {
  auto* d = static_cast<ViewData*>(user);
  if (data == nullptr || gtk_selection_data_get_length(data) < 0) return;
  if (d->drag != context) {
    g_clear_object(&d->drag);
    d->drag = GDK_DRAG_CONTEXT(g_object_ref(context));
    d->uris.clear();
    d->dropPending = false;  // an earlier drop without links
  }
  gchar* target = gdk_atom_name(gtk_selection_data_get_target(data));
  if (gchar** uris = gtk_selection_data_get_uris(data)) {
    for (gchar** u = uris; *u != nullptr; ++u) AddUri(d, *u);
    g_strfreev(uris);
  } else if (target != nullptr && std::strcmp(target, "_NETSCAPE_URL") == 0) {
    // "url\ntitle", 8-bit text
    const guchar* bytes = gtk_selection_data_get_data(data);
    const std::string text(reinterpret_cast<const char*>(bytes),
                           static_cast<size_t>(gtk_selection_data_get_length(data)));
    AddUri(d, text.substr(0, text.find_first_of("\r\n")));
  }
  g_free(target);
  // A drop that came before its data is delivered with the first link:
  // the engine follows no drop without one.
  if (d->dropPending && d->drag == context && !d->uris.empty()) DeliverDrop(d);
}

gboolean OnDragDrop(GtkWidget*, GdkDragContext* context, gint x, gint y, guint, gpointer user) {
  auto* d = static_cast<ViewData*>(user);
  d->dropX = x;
  d->dropY = y;
  if (d->drag == context && !d->uris.empty()) {
    DeliverDrop(d);
  } else {
    d->dropPending = true;  // the web view asks for the data; it comes next
  }
  return FALSE;  // the web view carries the drop to the page
}

const char* PermissionKind(WebKitPermissionRequest* request) {
  if (WEBKIT_IS_GEOLOCATION_PERMISSION_REQUEST(request)) return "geolocation";
  if (WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) {
    auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
    if (webkit_user_media_permission_is_for_display_device(media)) return "display-capture";
    const bool audio = webkit_user_media_permission_is_for_audio_device(media);
    const bool video = webkit_user_media_permission_is_for_video_device(media);
    if (audio && video) return "camera+microphone";
    return video ? "camera" : "microphone";
  }
  if (WEBKIT_IS_POINTER_LOCK_PERMISSION_REQUEST(request)) return "pointer-lock";
  if (WEBKIT_IS_DEVICE_INFO_PERMISSION_REQUEST(request)) return "device-info";
  if (WEBKIT_IS_MEDIA_KEY_SYSTEM_PERMISSION_REQUEST(request)) return "media-key-system";
  if (WEBKIT_IS_WEBSITE_DATA_ACCESS_PERMISSION_REQUEST(request)) return "website-data-access";
  if (WEBKIT_IS_CLIPBOARD_PERMISSION_REQUEST(request)) return "clipboard";
  return "other";
}

std::string OriginOf(WebKitWebView* view) {
  const char* uri = webkit_web_view_get_uri(view);
  if (uri == nullptr || *uri == '\0') return "null";
  std::string origin = "null";
  if (WebKitSecurityOrigin* o = webkit_security_origin_new_for_uri(uri)) {
    if (gchar* text = webkit_security_origin_to_string(o)) {
      origin = text;
      g_free(text);
    }
    webkit_security_origin_unref(o);
  }
  return origin;
}

}  // namespace

WebKitWebsiteDataManager* WexlorNewWebsiteDataManager() {
  const WebProfile& p = Profile();
  if (p.ephemeral) return webkit_website_data_manager_new_ephemeral();
  return WEBKIT_WEBSITE_DATA_MANAGER(
      g_object_new(WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", p.dataDir.c_str(),
                   "base-cache-directory", p.cacheDir.c_str(), nullptr));
}

void WexlorSetUpWebsiteData(WebKitWebContext* context) {
  const WebProfile& p = Profile();
  if (p.ephemeral) return;  // cookies stay in memory
  // The engine keeps cookies in memory unless told where to store them.
  g_mkdir_with_parents(p.dataDir.c_str(), 0700);
  gchar* file = g_build_filename(p.dataDir.c_str(), "cookies.sqlite", nullptr);
  webkit_cookie_manager_set_persistent_storage(webkit_web_context_get_cookie_manager(context), file,
                                               WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  g_free(file);
}

void WexlorSetUpWebView(WebKitWebView* view, uint32_t windowId) {
  webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view),
                                              EnvFlag("WEXLOR_DEVTOOLS"));
  auto* d = new ViewData;
  d->windowId = windowId;
  g_object_set_data_full(G_OBJECT(view), "wexlor-web-data", d,
                         [](gpointer p) { delete static_cast<ViewData*>(p); });
  g_signal_connect(view, "drag-data-received", G_CALLBACK(OnDragDataReceived), d);
  g_signal_connect(view, "drag-drop", G_CALLBACK(OnDragDrop), d);
}

void WexlorEnableInspector(WebKitWebView* view) {
  webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view), TRUE);
}

void WexlorNoteRuntimeNavigation(WebKitWebView* view, const std::string& uri) {
  if (ViewData* d = DataOf(view)) d->runtimeUri = Comparable(uri.c_str());
}

bool WexlorIsDropNavigation(WebKitWebView* view, const char* uri) {
  ViewData* d = DataOf(view);
  if (d == nullptr || uri == nullptr) return false;
  const std::string wanted = Comparable(uri);
  if (!d->runtimeUri.empty() && wanted == d->runtimeUri) {
    d->runtimeUri.clear();
    return false;
  }
  if (d->guarded.empty()) return false;
  if (g_get_monotonic_time() > d->guardUntil) {
    d->guarded.clear();
    return false;
  }
  for (const auto& g : d->guarded) {
    if (g == wanted) {
      d->guarded.clear();
      return true;
    }
  }
  return false;
}

gboolean WexlorDecidePagePermission(WebKitWebView* view, WebKitPermissionRequest* request) {
  ViewData* d = DataOf(view);
  const uint32_t window = d != nullptr ? d->windowId : 0;
  const char* kind = PermissionKind(request);
  const std::string origin = OriginOf(view);
  bool decided = false, allowed = false;
  {
    auto& reg = Loader()->pagePermissionHandler_;
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.fn != nullptr) {
      decided = true;
      allowed = reg.fn(reg.userData, window, kind, origin.c_str()) != 0;
    }
  }
  if (!decided) {
    g_printerr("wexlor: window %u: denied the page's %s request (%s)\n", window, kind,
               origin.c_str());
  }
  if (allowed) {
    webkit_permission_request_allow(request);
  } else {
    webkit_permission_request_deny(request);
  }
  return TRUE;
}
