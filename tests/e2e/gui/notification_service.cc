#include "notification_service.h"

#include <gio/gio.h>

namespace gui {
namespace {

constexpr char kName[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
constexpr char kMock[] = "org.freedesktop.DBus.Mock";

std::string Text(GVariant* v) {
  gchar* printed = g_variant_print(v, FALSE);
  std::string text = printed;
  g_free(printed);
  return text;
}

std::string Str(GVariant* v) {
  return g_variant_is_of_type(v, G_VARIANT_TYPE_STRING) ? g_variant_get_string(v, nullptr) : "?";
}

}  // namespace

FakeNotificationService::FakeNotificationService(XSession& session) : session_(session) {
  GError* error = nullptr;
  bus_ = g_dbus_connection_new_for_address_sync(
      session.busAddress().c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (bus_ == nullptr) {
    ADD_FAILURE() << "cannot connect to the test bus: " << error->message;
    g_clear_error(&error);
  }
}

FakeNotificationService::~FakeNotificationService() {
  Stop();
  if (bus_ != nullptr) g_object_unref(bus_);
}

bool FakeNotificationService::Owned() {
  if (bus_ == nullptr) return false;
  GVariant* r = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", "NameHasOwner",
                                            g_variant_new("(s)", kName), G_VARIANT_TYPE("(b)"),
                                            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  gboolean owned = FALSE;
  if (r != nullptr) {
    g_variant_get(r, "(b)", &owned);
    g_variant_unref(r);
  }
  return owned;
}

bool FakeNotificationService::Start(const std::string& capabilities) {
  const fs::path& d = dir_.path();
  const std::string parameters = "{\"capabilities\": \"" + capabilities + "\"}";
  if (!process_.Start({"/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon",
                       "-p", parameters},
                      {"PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                       "DBUS_SESSION_BUS_ADDRESS=" + session_.busAddress()},
                      d, d / "mock.out", d / "mock.err")) {
    ADD_FAILURE() << "cannot start python3-dbusmock";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!Owned()) {
    int status;
    if (process_.Exited(&status) || std::chrono::steady_clock::now() >= deadline) {
      std::ifstream err(d / "mock.err");
      ADD_FAILURE() << "the fake notification service did not start: " << err.rdbuf();
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void FakeNotificationService::Stop() {
  if (!process_.running()) return;
  process_.Terminate(2s);
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (Owned() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
}

namespace {

// The argument lists of every call of `method` the mock logged.
std::vector<GVariant*> MethodCalls(GDBusConnection* bus, const std::string& method) {
  std::vector<GVariant*> calls;
  if (bus == nullptr) return calls;
  GVariant* r = g_dbus_connection_call_sync(
      bus, kName, kPath, kMock, "GetMethodCalls", g_variant_new("(s)", method.c_str()),
      G_VARIANT_TYPE("(a(tav))"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, nullptr);
  if (r == nullptr) return calls;
  GVariant* list = g_variant_get_child_value(r, 0);
  for (gsize i = 0; i < g_variant_n_children(list); ++i) {
    GVariant* call = g_variant_get_child_value(list, i);
    calls.push_back(g_variant_get_child_value(call, 1));
    g_variant_unref(call);
  }
  g_variant_unref(list);
  g_variant_unref(r);
  return calls;
}

// The i-th argument of a logged call, unwrapped from its variant.
GVariant* Arg(GVariant* args, gsize i) {
  GVariant* boxed = g_variant_get_child_value(args, i);
  GVariant* value = g_variant_get_variant(boxed);
  g_variant_unref(boxed);
  return value;
}

}  // namespace

size_t FakeNotificationService::CallCount(const std::string& method) {
  std::vector<GVariant*> calls = MethodCalls(bus_, method);
  for (GVariant* c : calls) g_variant_unref(c);
  return calls.size();
}

bool FakeNotificationService::WaitForCalls(const std::string& method, size_t count,
                                           Duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (CallCount(method) < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::vector<NotifyCall> FakeNotificationService::NotifyCalls() {
  std::vector<NotifyCall> result;
  for (GVariant* args : MethodCalls(bus_, "Notify")) {
    NotifyCall c;
    if (g_variant_n_children(args) == 8) {
      GVariant* a[8];
      for (gsize i = 0; i < 8; ++i) a[i] = Arg(args, i);
      c.appName = Str(a[0]);
      c.replacesId = g_variant_get_uint32(a[1]);
      c.appIcon = Str(a[2]);
      c.summary = Str(a[3]);
      c.body = Str(a[4]);
      for (gsize i = 0; i < g_variant_n_children(a[5]); ++i) {
        GVariant* s = g_variant_get_child_value(a[5], i);
        c.actions.push_back(Str(s));
        g_variant_unref(s);
      }
      GVariantIter iter;
      g_variant_iter_init(&iter, a[6]);
      const char* key;
      GVariant* value;
      while (g_variant_iter_next(&iter, "{&sv}", &key, &value)) {
        c.hints[key] = Text(value);
        g_variant_unref(value);
      }
      c.timeout = g_variant_get_int32(a[7]);
      for (GVariant* v : a) g_variant_unref(v);
    }
    g_variant_unref(args);
    result.push_back(std::move(c));
  }
  return result;
}

std::vector<uint32_t> FakeNotificationService::CloseCalls() {
  std::vector<uint32_t> ids;
  for (GVariant* args : MethodCalls(bus_, "CloseNotification")) {
    GVariant* id = Arg(args, 0);
    ids.push_back(g_variant_is_of_type(id, G_VARIANT_TYPE_UINT32)
                      ? g_variant_get_uint32(id)
                      : static_cast<uint32_t>(g_variant_get_int32(id)));
    g_variant_unref(id);
    g_variant_unref(args);
  }
  return ids;
}

bool FakeNotificationService::Emit(const std::string& signal, const std::string& args) {
  GVariant* tuple = g_variant_parse(nullptr, args.c_str(), nullptr, nullptr, nullptr);
  if (tuple == nullptr || bus_ == nullptr) return false;
  g_variant_ref_sink(tuple);
  std::string signature;
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("av"));
  for (gsize i = 0; i < g_variant_n_children(tuple); ++i) {
    GVariant* item = g_variant_get_child_value(tuple, i);
    signature += g_variant_get_type_string(item);
    g_variant_builder_add(&list, "v", item);
    g_variant_unref(item);
  }
  g_variant_unref(tuple);
  GError* error = nullptr;
  GVariant* r = g_dbus_connection_call_sync(
      bus_, kName, kPath, kMock, "EmitSignal",
      g_variant_new("(sssav)", kInterface, signal.c_str(), signature.c_str(), &list), nullptr,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
  if (r == nullptr) {
    ADD_FAILURE() << "EmitSignal failed: " << error->message;
    g_clear_error(&error);
    return false;
  }
  g_variant_unref(r);
  return true;
}

bool FakeNotificationService::EmitForeign(const std::string& signal, const std::string& args) {
  GVariant* tuple = g_variant_parse(nullptr, args.c_str(), nullptr, nullptr, nullptr);
  if (tuple == nullptr || bus_ == nullptr) return false;
  g_variant_ref_sink(tuple);
  // Addressed to every other connection, so the bus's own filtering by
  // sender does not hide the signal: the receiver must ignore it itself.
  GVariant* names = g_dbus_connection_call_sync(
      bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames",
      nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  bool sent = false;
  if (names != nullptr) {
    GVariantIter* iter = nullptr;
    g_variant_get(names, "(as)", &iter);
    const char* name;
    const char* self = g_dbus_connection_get_unique_name(bus_);
    while (g_variant_iter_loop(iter, "&s", &name)) {
      if (name[0] != ':' || g_str_equal(name, self)) continue;
      sent = g_dbus_connection_emit_signal(bus_, name, kPath, kInterface, signal.c_str(), tuple,
                                           nullptr) ||
             sent;
    }
    g_variant_iter_free(iter);
    g_variant_unref(names);
  }
  g_variant_unref(tuple);
  g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
  return sent;
}

}  // namespace gui
