// The desktop notification service through GDBus.
//
// The service issues its own ids. Each request identifier (a tag, or the
// name made from our identifier) has a slot holding the service id it
// shows; a later post under the same request identifier replaces that
// service id. While a Notify call of a slot awaits its reply, newer posts
// for it wait (only the newest is kept), so two posts issued back to back
// cannot become two notifications.
#include "common/gtk/notifications_gtk.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "common/gtk/app_id.h"
#include "common/gtk/image_gtk.h"
#include "common/gtk/main_queue.h"

namespace wexlor_common {
namespace {

constexpr char kName[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
// Button keys sent to the service are our own, so that no runtime action
// id can be mistaken for the body's "default" action.
constexpr char kActionPrefix[] = "wexlor.action.";
// Larger icons are scaled down before they are sent.
constexpr int kMaxImageSide = 256;
// An activation token older than this is not used to raise a window.
constexpr gint64 kTokenLifetimeUs = 30 * G_USEC_PER_SEC;

struct Post {
  uint32_t id = 0;
  std::string requestId;
  NotificationOptions options;
};

struct Slot {
  uint32_t serverId = 0;        // what the service shows for it; 0: nothing
  bool busy = false;            // a Notify is queued or awaits its reply
  std::optional<Post> waiting;  // the newest post held until that reply
};

std::string Utf8(const std::string& text) {
  gchar* valid = g_utf8_make_valid(text.c_str(), -1);
  std::string out = valid;
  g_free(valid);
  return out;
}

bool AnyWindowActive() {
  GList* windows = gtk_window_list_toplevels();
  bool active = false;
  for (GList* w = windows; w != nullptr && !active; w = w->next) {
    active = gtk_window_is_active(GTK_WINDOW(w->data));
  }
  g_list_free(windows);
  return active;
}

// The icon as the "image-data" hint (iiibiiay), or null when the bytes are
// not an image gdk-pixbuf can read.
GVariant* ImageData(const std::vector<uint8_t>& bytes) {
  // Refuses images too large to decode quickly, then scales to the size sent.
  GdkPixbuf* pixbuf = DecodeImageGtk(bytes.data(), bytes.size());
  if (pixbuf == nullptr) return nullptr;
  int width = gdk_pixbuf_get_width(pixbuf);
  int height = gdk_pixbuf_get_height(pixbuf);
  if (width > kMaxImageSide || height > kMaxImageSide) {
    const double scale = static_cast<double>(kMaxImageSide) / std::max(width, height);
    const int w = std::max(1, static_cast<int>(width * scale));
    const int h = std::max(1, static_cast<int>(height * scale));
    GdkPixbuf* scaled = gdk_pixbuf_scale_simple(pixbuf, w, h, GDK_INTERP_BILINEAR);
    g_object_unref(pixbuf);
    if (scaled == nullptr) return nullptr;
    pixbuf = scaled;
    width = w;
    height = h;
  }
  const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
  // The last row of a pixbuf may be shorter than the stride; the service
  // expects whole rows.
  std::vector<uint8_t> data(static_cast<size_t>(rowstride) * height, 0);
  const gsize length = std::min<gsize>(gdk_pixbuf_get_byte_length(pixbuf), data.size());
  std::copy_n(gdk_pixbuf_read_pixels(pixbuf), length, data.begin());
  GVariant* pixels = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
  GVariant* image = g_variant_new(
      "(iiibii@ay)", width, height, rowstride, gdk_pixbuf_get_has_alpha(pixbuf),
      gdk_pixbuf_get_bits_per_sample(pixbuf), gdk_pixbuf_get_n_channels(pixbuf), pixels);
  g_object_unref(pixbuf);
  return image;
}

class Service {
 public:
  static Service& Get() {
    static Service* service = new Service();  // lives as long as the process
    return *service;
  }

  GDBusConnection* Bus();
  void Show(Post post, wexlor_notification_handler handler, void* userData);
  void Close(uint32_t id);
  std::string TakeToken();

 private:
  struct Reply {
    uint32_t id;
    std::string requestId;
    uint64_t epoch;
  };

  void Dispatch(Post post);
  void Notify(const Post& post);
  void RequestCapabilities();
  void CallClose(uint32_t serverId);
  void OnNotifyReply(const Reply& reply, GVariant* result, GError* error);
  void OnCapabilities(GVariant* result);
  void OnSignal(const char* sender, const char* signal, GVariant* parameters);
  void OwnerAppeared(const char* owner);
  void OwnerVanished();
  void OwnerLost();
  // After a slot's call: sends the post waiting for it, or forgets an
  // empty slot.
  void Settle(const std::string& requestId);
  void DropIfIdle(const std::string& requestId);

  bool connectTried_ = false;
  GDBusConnection* bus_ = nullptr;
  std::string owner_;   // unique name of the service's current owner
  uint64_t epoch_ = 0;  // advanced whenever an owner goes away
  bool capsKnown_ = false;
  bool capsPending_ = false;
  std::string capsOwner_;
  std::set<std::string> caps_;
  std::deque<Post> awaitingCaps_;
  std::map<std::string, Slot> slots_;
  std::map<uint32_t, std::string> byServer_;  // service id → request identifier
  std::string token_;
  gint64 tokenTime_ = 0;
};

GDBusConnection* Service::Bus() {
  if (connectTried_) return bus_;
  connectTried_ = true;
  GError* error = nullptr;
  bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus_ == nullptr) {
    std::fprintf(stderr, "wexlor: no session bus, so no notifications: %s\n",
                 error != nullptr ? error->message : "unknown error");
    g_clear_error(&error);
    return nullptr;
  }
  g_dbus_connection_signal_subscribe(
      bus_, kName, kInterface, nullptr, kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      [](GDBusConnection*, const char* sender, const char*, const char*, const char* signal,
         GVariant* parameters, gpointer) { Get().OnSignal(sender, signal, parameters); },
      nullptr, nullptr);
  g_bus_watch_name_on_connection(
      bus_, kName, G_BUS_NAME_WATCHER_FLAGS_NONE,
      [](GDBusConnection*, const char*, const char* owner, gpointer) {
        Get().OwnerAppeared(owner);
      },
      [](GDBusConnection*, const char*, gpointer) { Get().OwnerVanished(); }, nullptr, nullptr);
  return bus_;
}

void Service::Show(Post post, wexlor_notification_handler handler, void* userData) {
  std::vector<std::string> actionIds;
  for (const auto& action : post.options.actions) actionIds.push_back(action.id);
  Notifications().Add(post.id, NotificationEntry{post.requestId, handler, userData, actionIds});
  Slot& slot = slots_[post.requestId];
  if (slot.busy) {
    slot.waiting = std::move(post);  // an older waiting post was replaced above
    return;
  }
  Dispatch(std::move(post));
}

void Service::Dispatch(Post post) {
  Slot& slot = slots_[post.requestId];
  slot.busy = true;
  // The shown notification is being replaced: nothing more from it counts.
  if (slot.serverId != 0) byServer_.erase(slot.serverId);
  if (Bus() == nullptr) {
    slot.busy = false;
    slot.serverId = 0;
    const std::string requestId = post.requestId;
    Notifications().End(post.id);
    DropIfIdle(requestId);
    return;
  }
  if (capsKnown_ && capsOwner_ == owner_) {
    Notify(post);
  } else {
    awaitingCaps_.push_back(std::move(post));
    RequestCapabilities();
  }
}

void Service::RequestCapabilities() {
  if (capsPending_) return;
  capsPending_ = true;
  g_dbus_connection_call(
      bus_, kName, kPath, kInterface, "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer) {
        GVariant* result = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, nullptr);
        Get().OnCapabilities(result);
        if (result != nullptr) g_variant_unref(result);
      },
      nullptr);
}

void Service::OnCapabilities(GVariant* result) {
  capsPending_ = false;
  caps_.clear();
  if (result != nullptr) {
    GVariantIter* iter = nullptr;
    g_variant_get(result, "(as)", &iter);
    const char* cap;
    while (g_variant_iter_loop(iter, "&s", &cap)) caps_.insert(cap);
    g_variant_iter_free(iter);
  }
  // Without an answer the posts are still tried (a missing service then
  // fails them), and the next post asks again.
  capsKnown_ = result != nullptr;
  capsOwner_ = owner_;
  std::deque<Post> posts = std::move(awaitingCaps_);
  awaitingCaps_.clear();
  for (const Post& post : posts) {
    if (Notifications().Find(post.id) != nullptr) {
      Notify(post);
    } else {
      // Closed or replaced while waiting: nothing to show.
      slots_[post.requestId].busy = false;
      Settle(post.requestId);
    }
  }
}

void Service::Notify(const Post& post) {
  const NotificationOptions& o = post.options;
  GVariantBuilder actions;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  if (caps_.count("actions") != 0) {
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "");
    for (size_t i = 0; i < o.actions.size(); ++i) {
      g_variant_builder_add(&actions, "s", (kActionPrefix + std::to_string(i)).c_str());
      g_variant_builder_add(&actions, "s", Utf8(o.actions[i].title).c_str());
    }
  }
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  if (const std::string appId = ApplicationIdGtk(); !appId.empty()) {
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(appId.c_str()));
  }
  if (o.silent) {
    g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
  } else {
    g_variant_builder_add(&hints, "{sv}", "sound-name",
                          g_variant_new_string("message-new-instant"));
  }
  if (!o.icon.empty()) {
    if (GVariant* image = ImageData(o.icon)) {
      g_variant_builder_add(&hints, "{sv}", "image-data", image);
    }
  }
  std::string body = Utf8(o.body);
  if (caps_.count("body-markup") != 0) {
    gchar* escaped = g_markup_escape_text(body.c_str(), -1);
    body = escaped;
    g_free(escaped);
  }
  const char* appName = g_get_application_name();
  std::string appIcon;
  if (const std::string icon = ApplicationIconGtk(); g_path_is_absolute(icon.c_str())) {
    if (gchar* uri = g_filename_to_uri(icon.c_str(), nullptr, nullptr)) {
      appIcon = uri;
      g_free(uri);
    }
  }
  const Slot& slot = slots_[post.requestId];
  GVariant* parameters =
      g_variant_new("(susssasa{sv}i)", Utf8(appName != nullptr ? appName : "wexlor").c_str(),
                    slot.serverId, appIcon.c_str(), Utf8(o.title).c_str(), body.c_str(), &actions,
                    &hints, o.require_interaction ? 0 : -1);
  g_dbus_connection_call(
      bus_, kName, kPath, kInterface, "Notify", parameters, G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer data) {
        auto* reply = static_cast<Reply*>(data);
        GError* error = nullptr;
        GVariant* result = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
        Get().OnNotifyReply(*reply, result, error);
        if (result != nullptr) g_variant_unref(result);
        g_clear_error(&error);
        delete reply;
      },
      new Reply{post.id, post.requestId, epoch_});
}

void Service::OnNotifyReply(const Reply& reply, GVariant* result, GError* error) {
  Slot& slot = slots_[reply.requestId];
  slot.busy = false;
  uint32_t serverId = 0;
  if (result != nullptr) g_variant_get(result, "(u)", &serverId);
  // A reply from an owner that has gone since is as good as a failure: the
  // id it issued means nothing to the service's new owner.
  if (result == nullptr || serverId == 0 || reply.epoch != epoch_) {
    if (error != nullptr) {
      std::fprintf(stderr, "wexlor: the notification service did not show a notification: %s\n",
                   error->message);
    }
    slot.serverId = 0;
    Notifications().End(reply.id);
  } else {
    slot.serverId = serverId;
    byServer_[serverId] = reply.requestId;
    const bool live = Notifications().Find(reply.id) != nullptr;
    if (!live && !slot.waiting) {
      // Closed while the call was under way.
      CallClose(serverId);
      byServer_.erase(serverId);
      slot.serverId = 0;
    }
    if (live && !slot.waiting && AnyWindowActive()) {
      Notifications().Report(reply.id, kNotificationPresented);
    }
  }
  Settle(reply.requestId);
}

void Service::Settle(const std::string& requestId) {
  Slot& slot = slots_[requestId];
  if (slot.waiting) {
    Post next = std::move(*slot.waiting);
    slot.waiting.reset();
    Dispatch(std::move(next));
  } else {
    DropIfIdle(requestId);
  }
}

void Service::DropIfIdle(const std::string& requestId) {
  auto it = slots_.find(requestId);
  if (it != slots_.end() && !it->second.busy && it->second.serverId == 0 && !it->second.waiting) {
    slots_.erase(it);
  }
}

void Service::CallClose(uint32_t serverId) {
  if (bus_ == nullptr) return;
  g_dbus_connection_call(bus_, kName, kPath, kInterface, "CloseNotification",
                         g_variant_new("(u)", serverId), nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                         nullptr, nullptr, nullptr);
}

void Service::Close(uint32_t id) {
  const NotificationEntry* entry = Notifications().Find(id);
  if (entry == nullptr) return;
  const std::string requestId = entry->requestId;
  if (auto it = slots_.find(requestId); it != slots_.end()) {
    Slot& slot = it->second;
    if (slot.waiting && slot.waiting->id == id) slot.waiting.reset();  // never sent
    if (!slot.busy && slot.serverId != 0) {
      CallClose(slot.serverId);
      byServer_.erase(slot.serverId);
      slot.serverId = 0;
    }
    // A busy slot is closed when its reply arrives.
    DropIfIdle(requestId);
  }
  Notifications().End(id);
}

void Service::OnSignal(const char* sender, const char* signal, GVariant* parameters) {
  if (owner_.empty() || sender == nullptr || owner_ != sender) return;
  const std::string name = signal != nullptr ? signal : "";
  uint32_t serverId = 0;
  const char* text = nullptr;
  if (name == "NotificationClosed" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
    uint32_t reason = 0;
    g_variant_get(parameters, "(uu)", &serverId, &reason);
  } else if ((name == "ActionInvoked" || name == "ActivationToken") &&
             g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
    g_variant_get(parameters, "(u&s)", &serverId, &text);
  } else {
    return;
  }
  auto it = byServer_.find(serverId);
  if (it == byServer_.end()) return;
  const std::string requestId = it->second;
  const uint32_t id = Notifications().Lookup(requestId);
  if (name == "NotificationClosed") {
    byServer_.erase(it);
    slots_[requestId].serverId = 0;
    DropIfIdle(requestId);
    if (id != 0) Notifications().End(id);
  } else if (name == "ActivationToken") {
    token_ = text;
    tokenTime_ = g_get_monotonic_time();
  } else if (id != 0) {
    const std::string key = text;
    if (key == "default") {
      Notifications().Report(id, kNotificationClicked);
    } else if (key.rfind(kActionPrefix, 0) == 0) {
      const std::string digits = key.substr(sizeof kActionPrefix - 1);
      if (!digits.empty() && digits.size() < 10 &&
          digits.find_first_not_of("0123456789") == std::string::npos) {
        Notifications().ReportAction(id, std::stoul(digits));
      }
    }
  }
}

void Service::OwnerAppeared(const char* owner) {
  const std::string now = owner != nullptr ? owner : "";
  if (!owner_.empty() && owner_ != now) OwnerLost();
  owner_ = now;
}

void Service::OwnerVanished() {
  if (!owner_.empty()) OwnerLost();
  owner_.clear();
}

void Service::OwnerLost() {
  // Every id the old owner issued is void: what it showed has ended.
  ++epoch_;
  capsKnown_ = false;
  std::vector<uint32_t> ended;
  for (auto it = slots_.begin(); it != slots_.end();) {
    Slot& slot = it->second;
    if (slot.serverId != 0 && !slot.busy) {
      if (const uint32_t id = Notifications().Lookup(it->first)) ended.push_back(id);
    }
    slot.serverId = 0;
    if (!slot.busy && !slot.waiting) {
      it = slots_.erase(it);
    } else {
      ++it;
    }
  }
  byServer_.clear();
  token_.clear();
  for (uint32_t id : ended) Notifications().End(id);
}

std::string Service::TakeToken() {
  std::string token = std::move(token_);
  token_.clear();
  if (g_get_monotonic_time() - tokenTime_ > kTokenLifetimeUs) return "";
  return token;
}

void AnswerPermission(wexlor_permission_handler handler, void* userData, int32_t state) {
  if (handler != nullptr) handler(userData, state);
}

void AnswerNotificationPermission(int kind, wexlor_permission_handler handler, void* userData) {
  MainQueue::Post([=] {
    if (kind != 1) {
      AnswerPermission(handler, userData, WEXLOR_PERMISSION_UNSUPPORTED);
      return;
    }
    QueryNotificationServiceGtk([=](bool exists) {
      AnswerPermission(handler, userData,
                       exists ? WEXLOR_PERMISSION_GRANTED : WEXLOR_PERMISSION_UNSUPPORTED);
    });
  });
}

// The name is owned now, or the bus can start a service for it.
void ListActivatable(GDBusConnection* bus, std::function<void(bool)>* done) {
  g_dbus_connection_call(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer data) {
        auto* callback = static_cast<std::function<void(bool)>*>(data);
        GVariant* result = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, nullptr);
        bool found = false;
        if (result != nullptr) {
          GVariantIter* iter = nullptr;
          g_variant_get(result, "(as)", &iter);
          const char* name;
          while (g_variant_iter_loop(iter, "&s", &name)) found = found || g_str_equal(name, kName);
          g_variant_iter_free(iter);
          g_variant_unref(result);
        }
        (*callback)(found);
        delete callback;
      },
      done);
}

}  // namespace

uint32_t ShowNotificationGtk(NotificationOptions options, wexlor_notification_handler handler,
                             void* userData) {
  const uint32_t id = NextNotificationId();
  Post post{id, NotificationRequestId(options.tag, id), std::move(options)};
  MainQueue::Post([post = std::move(post), handler, userData]() mutable {
    Service::Get().Show(std::move(post), handler, userData);
  });
  return id;
}

void CloseNotificationGtk(uint32_t id) {
  MainQueue::Post([id] { Service::Get().Close(id); });
}

void QueryPermissionGtk(int kind, wexlor_permission_handler handler, void* userData) {
  AnswerNotificationPermission(kind, handler, userData);
}

void RequestPermissionGtk(int kind, wexlor_permission_handler handler, void* userData) {
  // Posting needs no consent on this desktop: a request asks nobody.
  AnswerNotificationPermission(kind, handler, userData);
}

void QueryNotificationServiceGtk(std::function<void(bool)> done) {
  GDBusConnection* bus = Service::Get().Bus();
  if (bus == nullptr) {
    // Still later, never from inside the caller.
    MainQueue::Post([done = std::move(done)] { done(false); });
    return;
  }
  g_object_ref(bus);
  g_dbus_connection_call(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", kName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer data) {
        auto* callback = static_cast<std::function<void(bool)>*>(data);
        auto* connection = G_DBUS_CONNECTION(source);
        GVariant* result = g_dbus_connection_call_finish(connection, res, nullptr);
        gboolean owned = FALSE;
        if (result != nullptr) {
          g_variant_get(result, "(b)", &owned);
          g_variant_unref(result);
        }
        if (owned || result == nullptr) {
          (*callback)(owned);
          delete callback;
        } else {
          ListActivatable(connection, callback);
        }
        g_object_unref(connection);
      },
      new std::function<void(bool)>(std::move(done)));
}

std::string TakeActivationTokenGtk() { return Service::Get().TakeToken(); }

}  // namespace wexlor_common
