// Tray icons and the launcher entry against desktop services of the tests'
// own on the private session bus: a status-notifier watcher (python3-dbusmock
// from a template), the appearance portal, and an XEmbed tray (trayer) for
// the fallback. The tests read our item and menus over D-Bus as a panel does.
#include <gio/gio.h>

#include <set>

#include "harness.h"

namespace gui {
namespace {

constexpr char kAppId[] = "org.example.WexlorTray";
// 4x4 opaque red, 1x1 opaque green, 2x1 opaque blue (PNG).
constexpr char kRedPng[] =
    "89504e470d0a1a0a0000000d4948445200000004000000040806000000a9f19e7e0000001249444154789c63f8"
    "cfc0f01f1933902e00003c401fe1e08177b40000000049454e44ae426082";
constexpr char kGreenPng[] =
    "89504e470d0a1a0a0000000d49484452000000010000000108060000001f15c4890000000d49444154789c6360f8"
    "cff01f00040101ff71eb47e50000000049454e44ae426082";
constexpr char kWideBluePng[] =
    "89504e470d0a1a0a0000000d4948445200000002000000010806000000f4227f8a0000000e49444154789c6360"
    "60f8ff1f84010dfb03fd875ed5870000000049454e44ae426082";

// The start of a 50000x50000 PNG: refused before it is decoded.
constexpr char kHugePng[] =
    "89504e470d0a1a0a0000000d494844520000c3500000c35008060000004baf3dca000000d949444154789cedc1"
    "3101000000c2a0f54f6d067fa00000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000080db000d"
    "6e000105a4b4e3";

constexpr char kWatcherTemplate[] = R"py(import dbus
BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False
def load(mock, parameters):
    refuse = "raise dbus.exceptions.DBusException('refused', name='org.example.Refused')"
    mock.AddMethods(MAIN_IFACE, [('RegisterStatusNotifierItem', 's', '',
                                  refuse if parameters.get('refuse') else ''),
                                 ('RegisterStatusNotifierHost', 's', '', '')])
    mock.AddProperties(MAIN_IFACE, {'IsStatusNotifierHostRegistered': parameters.get('host', True),
                                    'ProtocolVersion': dbus.Int32(0)})
)py";

constexpr char kPortalTemplate[] = R"(import dbus
BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.Settings'
SYSTEM_BUS = False
def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [('Read', 'ss', 'v', 'ret = dbus.UInt32(0, variant_level=1)')])
)";

// A GVariant owned by the test.
struct Var {
  GVariant* v = nullptr;
  Var() = default;
  explicit Var(GVariant* value) : v(value) {}
  Var(const Var&) = delete;
  Var(Var&& o) noexcept : v(o.v) { o.v = nullptr; }
  ~Var() {
    if (v != nullptr) g_variant_unref(v);
  }
  explicit operator bool() const { return v != nullptr; }
  std::string Text() const {
    if (v == nullptr) return "(none)";
    gchar* t = g_variant_print(v, FALSE);
    std::string s = t;
    g_free(t);
    return s;
  }
};

// The test's own connection to the session bus, with signals recorded.
class Bus {
 public:
  explicit Bus(XSession& session) {
    context_ = g_main_context_new();
    g_main_context_push_thread_default(context_);
    bus_ = g_dbus_connection_new_for_address_sync(
        session.busAddress().c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (bus_ != nullptr) {
      g_dbus_connection_signal_subscribe(
          bus_, nullptr, nullptr, nullptr, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
          [](GDBusConnection*, const char*, const char*, const char* iface, const char* name,
             GVariant* args, gpointer self) {
            gchar* t = g_variant_print(args, FALSE);
            static_cast<Bus*>(self)->signals_.push_back(std::string(iface) + "." + name + " " + t);
            g_free(t);
          },
          this, nullptr);
      // The bus takes the match rule before it answers a later call: no
      // signal the test causes from now on is missed.
      GVariant* id = g_dbus_connection_call_sync(
          bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
          nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (id != nullptr) g_variant_unref(id);
    }
    g_main_context_pop_thread_default(context_);
  }
  ~Bus() {
    if (bus_ != nullptr) g_object_unref(bus_);
    g_main_context_unref(context_);
  }
  GDBusConnection* get() { return bus_; }

  Var Call(const std::string& dest, const std::string& path, const char* iface, const char* method,
           GVariant* args, std::string* error = nullptr) {
    GError* e = nullptr;
    GVariant* r =
        g_dbus_connection_call_sync(bus_, dest.c_str(), path.c_str(), iface, method, args, nullptr,
                                    G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &e);
    if (e != nullptr) {
      if (error != nullptr) *error = e->message;
      g_error_free(e);
    }
    return Var(r);
  }
  // A property's value, unwrapped.
  Var Property(const std::string& dest, const std::string& path, const char* iface,
               const char* name) {
    Var r = Call(dest, path, "org.freedesktop.DBus.Properties", "Get",
                 g_variant_new("(ss)", iface, name));
    if (!r) return r;
    GVariant* boxed = g_variant_get_child_value(r.v, 0);
    Var value(g_variant_get_variant(boxed));
    g_variant_unref(boxed);
    return value;
  }
  std::string Owner(const std::string& name) {
    Var r = Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "GetNameOwner", g_variant_new("(s)", name.c_str()));
    if (!r) return "";
    const char* owner = nullptr;
    g_variant_get(r.v, "(&s)", &owner);
    return owner;
  }
  // Waits for a recorded signal starting with `prefix`, from index `since`.
  std::optional<std::string> WaitSignal(const std::string& prefix, size_t since,
                                        Duration timeout = kTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (g_main_context_iteration(context_, FALSE)) {
      }
      for (size_t i = since; i < signals_.size(); ++i) {
        if (signals_[i].rfind(prefix, 0) == 0) return signals_[i];
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
  }
  size_t Mark() {
    while (g_main_context_iteration(context_, FALSE)) {
    }
    return signals_.size();
  }

 private:
  GMainContext* context_ = nullptr;
  GDBusConnection* bus_ = nullptr;
  std::vector<std::string> signals_;
};

// A python3-dbusmock service started from a template file.
class MockService {
 public:
  MockService(XSession& session, Bus& bus, std::string name, const char* templateText)
      : session_(session), bus_(bus), name_(std::move(name)), template_(templateText) {}
  ~MockService() { Stop(); }
  bool Start(const std::string& parameters = "{}") {
    const fs::path file = dir_.Write("mock_template.py", template_);
    const fs::path& d = dir_.path();
    if (!process_.Start(
            {"/usr/bin/python3", "-m", "dbusmock", "--template", file.string(), "-p", parameters},
            {"PATH=/usr/bin:/bin", "LANG=C.UTF-8",
             "DBUS_SESSION_BUS_ADDRESS=" + session_.busAddress()},
            d, d / "mock.out", d / "mock.err")) {
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (bus_.Owner(name_).empty()) {
      int status;
      if (process_.Exited(&status) || std::chrono::steady_clock::now() >= deadline) {
        std::ifstream err(d / "mock.err");
        ADD_FAILURE() << name_ << " did not start: " << err.rdbuf();
        return false;
      }
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  void Stop() {
    if (!process_.running()) return;
    process_.Terminate(2s);
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!bus_.Owner(name_).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
  }
  // The first arguments (as text) of every logged call of `method`.
  std::vector<std::string> Calls(const std::string& path, const char* method) {
    std::vector<std::string> out;
    Var r = bus_.Call(name_, path, "org.freedesktop.DBus.Mock", "GetMethodCalls",
                      g_variant_new("(s)", method));
    if (!r) return out;
    GVariant* list = g_variant_get_child_value(r.v, 0);
    for (gsize i = 0; i < g_variant_n_children(list); ++i) {
      GVariant* call = g_variant_get_child_value(list, i);
      GVariant* args = g_variant_get_child_value(call, 1);
      if (g_variant_n_children(args) > 0) {
        GVariant* boxed = g_variant_get_child_value(args, 0);
        GVariant* value = g_variant_get_variant(boxed);
        out.push_back(g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
                          ? g_variant_get_string(value, nullptr)
                          : "?");
        g_variant_unref(value);
        g_variant_unref(boxed);
      }
      g_variant_unref(args);
      g_variant_unref(call);
    }
    g_variant_unref(list);
    return out;
  }
  bool Emit(const std::string& path, const char* iface, const char* name, const char* sig,
            GVariant* args) {
    return static_cast<bool>(bus_.Call(name_, path, "org.freedesktop.DBus.Mock", "EmitSignal",
                                       g_variant_new("(sss@av)", iface, name, sig, args)));
  }

 private:
  XSession& session_;
  Bus& bus_;
  std::string name_;
  std::string template_;
  TempDir dir_;
  Child process_;
};

// Waits until `f` holds.
bool Eventually(const std::function<bool()>& f, Duration timeout = kTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

std::string ItemPath(uint32_t tray) { return "/StatusNotifierItem/" + std::to_string(tray); }

class GuiTray : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite({.windowManager = true},
               {{"WEXLOR_APP_ID", kAppId}, {"WEXLOR_APP_NAME", "Tray Test"}});
  }
  static void TearDownTestSuite() { StopSuite(); }
  void SetUp() override {
    GuiTest::SetUp();
    bus_ = std::make_unique<Bus>(session());
    watcher_ = std::make_unique<MockService>(session(), *bus_, "org.kde.StatusNotifierWatcher",
                                             kWatcherTemplate);
    mark_ = host().Mark();
  }
  void TearDown() override {
    watcher_.reset();
    bus_.reset();
  }

  uint32_t CreateTray() {
    const Tokens r = host().Command({"tray"});
    return r.size() == 1 ? static_cast<uint32_t>(std::stoul(r[0])) : 0;
  }
  // Waits until the watcher has been asked to register the tray's item.
  bool Registered(uint32_t tray, size_t times = 1) {
    return Eventually([&] {
      size_t n = 0;
      for (const auto& path :
           watcher_->Calls("/StatusNotifierWatcher", "RegisterStatusNotifierItem")) {
        n += path == ItemPath(tray);
      }
      return n >= times;
    });
  }
  Var Prop(uint32_t tray, const char* name) {
    return bus_->Property(kAppId, ItemPath(tray), "org.kde.StatusNotifierItem", name);
  }
  std::string CallItem(uint32_t tray, const char* method, int x = 10, int y = 20) {
    std::string error;
    bus_->Call(kAppId, ItemPath(tray), "org.kde.StatusNotifierItem", method,
               g_variant_new("(ii)", x, y), &error);
    return error;
  }
  // The 16 px pixmap's bytes, or empty.
  std::string Pixmap16(uint32_t tray) {
    Var pixmaps = Prop(tray, "IconPixmap");
    if (!pixmaps || g_variant_n_children(pixmaps.v) == 0) return "";
    GVariant* first = g_variant_get_child_value(pixmaps.v, 0);
    GVariant* bytes = g_variant_get_child_value(first, 2);
    gsize n = 0;
    const auto* data = static_cast<const char*>(g_variant_get_fixed_array(bytes, &n, 1));
    std::string out(data, n);
    g_variant_unref(bytes);
    g_variant_unref(first);
    return out;
  }
  // The event kinds reported for `tray` since the mark.
  std::vector<std::string> TrayEvents(uint32_t tray) {
    std::vector<std::string> kinds;
    for (const auto& e : host().EventsSince(mark_)) {
      if (e.tokens.size() == 2 && (e.tokens[0] == "tray-click" || e.tokens[0] == "tray-double") &&
          e.tokens[1] == std::to_string(tray)) {
        kinds.push_back(e.tokens[0]);
      }
    }
    return kinds;
  }

  std::unique_ptr<Bus> bus_;
  std::unique_ptr<MockService> watcher_;
  size_t mark_ = 0;
};

std::string Pixel(const std::string& bytes, int size, int x, int y) {
  const size_t at = (static_cast<size_t>(y) * size + x) * 4;
  if (bytes.size() < at + 4) return "short";
  char text[16];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x", static_cast<uint8_t>(bytes[at]),
                static_cast<uint8_t>(bytes[at + 1]), static_cast<uint8_t>(bytes[at + 2]),
                static_cast<uint8_t>(bytes[at + 3]));
  return text;
}

TEST_F(GuiTray, ItemRegistersWithItsPropertiesAndIcons) {
  ASSERT_TRUE(watcher_->Start());
  const uint32_t first = CreateTray(), second = CreateTray();
  // Numbering starts at 1 (this is the suite's first test).
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, first + 1);
  host().Command({"trayicon", std::to_string(first), kRedPng});
  host().Command({"traytip", std::to_string(first), "Hello tray"});
  ASSERT_TRUE(Registered(first));
  host().Sync();

  EXPECT_EQ(Prop(first, "Category").Text(), "'ApplicationStatus'");
  EXPECT_EQ(Prop(first, "Status").Text(), "'Active'");
  EXPECT_EQ(Prop(first, "Title").Text(), "'Tray Test'");
  EXPECT_EQ(Prop(first, "ItemIsMenu").Text(), "false");
  // The suite's first icon carries the application id; others add their id.
  EXPECT_EQ(Prop(first, "Id").Text(), "'org.example.WexlorTray'");
  EXPECT_EQ(Prop(second, "Id").Text(), "'org.example.WexlorTray-" + std::to_string(second) + "'");
  EXPECT_EQ(Prop(first, "Menu").Text(), "'/'");
  EXPECT_EQ(Prop(first, "ToolTip").Text(), "('', [], 'Hello tray', '')");

  // Every size, square, ARGB in network order.
  Var pixmaps = Prop(first, "IconPixmap");
  ASSERT_TRUE(pixmaps);
  std::vector<int> sizes;
  for (gsize i = 0; i < g_variant_n_children(pixmaps.v); ++i) {
    gint32 w, h;
    GVariant* bytes;
    g_variant_get_child(pixmaps.v, i, "(ii@ay)", &w, &h, &bytes);
    EXPECT_EQ(w, h);
    EXPECT_EQ(g_variant_n_children(bytes), static_cast<gsize>(w * h * 4));
    g_variant_unref(bytes);
    sizes.push_back(w);
  }
  EXPECT_THAT(sizes, ::testing::ElementsAre(16, 22, 24, 32, 48));
  EXPECT_EQ(Pixel(Pixmap16(first), 16, 7, 7), "ffff0000");

  // Broken or empty bytes keep the icon; a new one announces itself.
  size_t signals = bus_->Mark();
  host().Command({"trayicon", std::to_string(first), "00112233"});
  host().Command({"trayicon", std::to_string(first), "-"});
  host().Command({"trayicon", std::to_string(first), kHugePng});
  host().Sync();
  EXPECT_EQ(Pixel(Pixmap16(first), 16, 7, 7), "ffff0000");
  host().Command({"trayicon", std::to_string(first), kWideBluePng});
  EXPECT_TRUE(bus_->WaitSignal("org.kde.StatusNotifierItem.NewIcon", signals));
  // A wide image is letterboxed: transparent above, the image in the middle.
  const std::string wide = Pixmap16(first);
  EXPECT_EQ(Pixel(wide, 16, 8, 0), "00000000");
  EXPECT_EQ(Pixel(wide, 16, 8, 8), "ff0000ff");

  // Text that is not UTF-8 is repaired.
  host().Command({"traytip", std::to_string(first), "tip \xfe"});
  host().Sync();
  EXPECT_EQ(Prop(first, "ToolTip").Text(), "('', [], 'tip \xef\xbf\xbd', '')");
  signals = bus_->Mark();
  host().Command({"traytip", std::to_string(first)});
  EXPECT_TRUE(bus_->WaitSignal("org.kde.StatusNotifierItem.NewToolTip", signals));
  EXPECT_EQ(Prop(first, "ToolTip").Text(), "('', [], '', '')");

  // A destroyed icon turns passive and leaves the bus; calls for it do
  // nothing.
  signals = bus_->Mark();
  host().Command({"traydestroy", std::to_string(first)});
  EXPECT_TRUE(bus_->WaitSignal("org.kde.StatusNotifierItem.NewStatus ('Passive',)", signals));
  host().Command({"traytip", std::to_string(first), "late"});
  host().Command({"trayicon", std::to_string(first), kRedPng});
  host().Sync();
  EXPECT_FALSE(Prop(first, "Id"));
  EXPECT_THAT(host().Command({"traybounds", std::to_string(first)}),
              ::testing::ElementsAre("0", "-7", "-7", "-7", "-7"));
  EXPECT_THAT(host().Command({"traybounds", "999"}),
              ::testing::ElementsAre("0", "-7", "-7", "-7", "-7"));
  host().Command({"traydestroy", std::to_string(second)});
}

TEST_F(GuiTray, ClicksDoubleClicksAndContextMenus) {
  ASSERT_TRUE(watcher_->Start());
  const uint32_t tray = CreateTray();
  const std::string id = std::to_string(tray);
  host().Command({"trayhandlers", id, "1", "1"});
  ASSERT_TRUE(Registered(tray));
  host().Sync();

  // Bounds are unknown until the panel tells where it was clicked.
  EXPECT_THAT(host().Command({"traybounds", id}),
              ::testing::ElementsAre("0", "-7", "-7", "-7", "-7"));

  // Two activations in quick succession: a click, then a double click.
  EXPECT_EQ(CallItem(tray, "Activate", 100, 5), "");
  EXPECT_EQ(CallItem(tray, "Activate", 100, 5), "");
  host().Sync();
  EXPECT_THAT(TrayEvents(tray), ::testing::ElementsAre("tray-click", "tray-double"));
  EXPECT_THAT(host().Command({"traybounds", id}),
              ::testing::ElementsAre("1", "89", "-6", "22", "22"));
  EXPECT_THAT(host().Command({"traybounds", id, "null"}),
              ::testing::ElementsAre("1", "-7", "-7", "-7", "-7"));

  // Without a double-click handler: two clicks.
  std::this_thread::sleep_for(600ms);
  host().Command({"trayhandlers", id, "1", "0"});
  mark_ = host().Mark();
  CallItem(tray, "Activate");
  CallItem(tray, "Activate");
  // Middle click and, without a menu, the context menu count as clicks.
  CallItem(tray, "SecondaryActivate");
  CallItem(tray, "ContextMenu", 300, 40);
  host().Sync();
  EXPECT_THAT(TrayEvents(tray),
              ::testing::ElementsAre("tray-click", "tray-click", "tray-click", "tray-click"));
  EXPECT_THAT(host().Command({"traybounds", id}),
              ::testing::ElementsAre("1", "289", "29", "22", "22"));

  // With a menu the panel shows it: nothing is reported.
  host().Command({"traymenu", id, R"([{"label":"Show","id":"show"}])"});
  host().Sync();
  mark_ = host().Mark();
  CallItem(tray, "ContextMenu");
  host().Sync();
  EXPECT_THAT(TrayEvents(tray), ::testing::IsEmpty());
  host().Command({"traydestroy", id});
}

// The label of every item in a dbusmenu layout, with its id, depth-first.
void CollectLabels(GVariant* node, std::map<std::string, int>& ids, std::vector<std::string>& all) {
  gint32 id;
  GVariant* props;
  GVariant* children;
  g_variant_get(node, "(i@a{sv}@av)", &id, &props, &children);
  const char* label = nullptr;
  if (g_variant_lookup(props, "label", "&s", &label)) {
    ids[label] = id;
    std::string text = label;
    gboolean enabled = TRUE;
    if (g_variant_lookup(props, "enabled", "b", &enabled) && !enabled) text += " [disabled]";
    gint32 state = 0;
    if (g_variant_lookup(props, "toggle-state", "i", &state) && state == 1) text += " [checked]";
    if (GVariant* sc = g_variant_lookup_value(props, "shortcut", nullptr); sc != nullptr) {
      gchar* t = g_variant_print(sc, FALSE);
      text += std::string(" ") + t;
      g_free(t);
      g_variant_unref(sc);
    }
    all.push_back(text);
  } else if (const char* type = nullptr; g_variant_lookup(props, "type", "&s", &type)) {
    all.push_back(type);
  }
  for (gsize i = 0; i < g_variant_n_children(children); ++i) {
    GVariant* boxed = g_variant_get_child_value(children, i);
    GVariant* child = g_variant_get_variant(boxed);
    CollectLabels(child, ids, all);
    g_variant_unref(child);
    g_variant_unref(boxed);
  }
  g_variant_unref(props);
  g_variant_unref(children);
}

// The items of a GetLayout answer: labels depth-first and ids by label.
struct MenuLayout {
  std::map<std::string, int> ids;
  std::vector<std::string> labels;
};

MenuLayout ReadLayout(const Var& answer) {
  MenuLayout layout;
  GVariant* root = g_variant_get_child_value(answer.v, 1);
  CollectLabels(root, layout.ids, layout.labels);
  g_variant_unref(root);
  return layout;
}

TEST_F(GuiTray, MenuLayoutAndClicksReportTheTrayId) {
  ASSERT_TRUE(watcher_->Start());
  const uint32_t tray = CreateTray();
  const std::string id = std::to_string(tray);
  host().Command({"traymenu", id,
                  R"([{"label":"Show_window","id":"show","accelerator":"Ctrl+Shift+S"},)"
                  R"({"type":"separator"},{"label":"Muted","id":"mute","checked":true},)"
                  R"({"label":"More","submenu":[{"label":"Off","id":"off","enabled":false}]},)"
                  "{\"label\":\"Bad \xff\"}]"});
  ASSERT_TRUE(Registered(tray));
  host().Sync();
  const std::string menuPath = ItemPath(tray) + "/Menu";
  EXPECT_EQ(Prop(tray, "Menu").Text(), "'" + menuPath + "'");

  Var layout = bus_->Call(kAppId, menuPath, "com.canonical.dbusmenu", "GetLayout",
                          g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
  ASSERT_TRUE(layout);
  auto [ids, labels] = ReadLayout(layout);
  EXPECT_THAT(labels, ::testing::ElementsAre("Show__window [['Control', 'Shift', 's']]",
                                             "separator", "Muted [checked]", "More",
                                             "Off [disabled]", "Bad \xef\xbf\xbd"));

  ASSERT_TRUE(ids.count("Show__window"));
  bus_->Call(kAppId, menuPath, "com.canonical.dbusmenu", "Event",
             g_variant_new("(isvu)", ids["Show__window"], "clicked", g_variant_new_int32(0), 0u));
  EXPECT_TRUE(host().WaitFor({"menu", id, "show"}, mark_));

  // A description that is not a list changes nothing.
  host().Command({"traymenu", id, R"({"label":"Other"})"});
  host().Sync();
  EXPECT_EQ(Prop(tray, "Menu").Text(), "'" + menuPath + "'");
  Var again = bus_->Call(kAppId, menuPath, "com.canonical.dbusmenu", "GetLayout",
                         g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
  ASSERT_TRUE(again);
  EXPECT_EQ(ReadLayout(again).labels, labels);

  // Removing the menu points the item at no menu again.
  host().Command({"traymenu", id, "null"});
  host().Sync();
  EXPECT_EQ(Prop(tray, "Menu").Text(), "'/'");
  host().Command({"traydestroy", id});
}

TEST_F(GuiTray, RegistersAgainWhenThePanelRestarts) {
  ASSERT_TRUE(watcher_->Start());
  const uint32_t tray = CreateTray();
  ASSERT_TRUE(Registered(tray));
  watcher_->Stop();
  host().Sync();
  ASSERT_TRUE(watcher_->Start());
  EXPECT_TRUE(Registered(tray));
  host().Command({"traydestroy", std::to_string(tray)});
}

TEST_F(GuiTray, ARefusedItemIsReportedOnce) {
  ASSERT_TRUE(watcher_->Start(R"({"refuse": true})"));
  const uint32_t tray = CreateTray();
  EXPECT_TRUE(Eventually([&] {
    return host().StderrText().find("the tray did not take an icon") != std::string::npos;
  }));
  // It moves to the X11 tray rather than asking again.
  host().Sync();
  const std::string err = host().StderrText();
  EXPECT_EQ(err.find("the tray did not take an icon"), err.rfind("the tray did not take an icon"));
  host().Command({"traydestroy", std::to_string(tray)});
}

TEST_F(GuiTray, FollowsTheDesktopsColourScheme) {
  MockService portal(session(), *bus_, "org.freedesktop.portal.Desktop", kPortalTemplate);
  ASSERT_TRUE(portal.Start());
  ASSERT_TRUE(watcher_->Start());
  const uint32_t lightOnly = CreateTray(), both = CreateTray(), darkOnly = CreateTray();
  host().Command({"trayicon", std::to_string(lightOnly), kRedPng});
  host().Command({"trayicon", std::to_string(both), kRedPng});
  host().Command({"traydark", std::to_string(both), kGreenPng});
  host().Command({"traydark", std::to_string(darkOnly), kGreenPng});
  ASSERT_TRUE(Registered(darkOnly));
  host().Sync();
  EXPECT_EQ(Pixel(Pixmap16(both), 16, 7, 7), "ffff0000");
  // A dark image alone is shown in either appearance.
  EXPECT_EQ(Pixel(Pixmap16(darkOnly), 16, 7, 7), "ff00ff00");

  auto scheme = [&](uint32_t value) {
    GVariant* args[] = {g_variant_new_string("org.freedesktop.appearance"),
                        g_variant_new_string("color-scheme"),
                        g_variant_new_variant(g_variant_new_uint32(value))};
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("av"));
    for (GVariant* a : args) g_variant_builder_add(&b, "v", a);
    return portal.Emit("/org/freedesktop/portal/desktop", "org.freedesktop.portal.Settings",
                       "SettingChanged", "ssv", g_variant_builder_end(&b));
  };
  ASSERT_TRUE(scheme(1));
  EXPECT_TRUE(Eventually([&] { return Pixel(Pixmap16(both), 16, 7, 7) == "ff00ff00"; }));
  EXPECT_EQ(Pixel(Pixmap16(lightOnly), 16, 7, 7), "ffff0000");

  // Broken or empty dark bytes clear the dark icon.
  for (const char* cleared : {"0011", "-"}) {
    host().Command({"traydark", std::to_string(both), cleared});
    host().Sync();
    EXPECT_EQ(Pixel(Pixmap16(both), 16, 7, 7), "ffff0000") << cleared;
    host().Command({"traydark", std::to_string(both), kGreenPng});
    host().Sync();
    EXPECT_EQ(Pixel(Pixmap16(both), 16, 7, 7), "ff00ff00");
  }

  ASSERT_TRUE(scheme(2));
  EXPECT_TRUE(Eventually([&] { return Pixel(Pixmap16(both), 16, 7, 7) == "ffff0000"; }));
  for (uint32_t tray : {lightOnly, both, darkOnly}) {
    host().Command({"traydestroy", std::to_string(tray)});
  }
}

TEST_F(GuiTray, WithoutAPanelTheIconSitsInTheX11Tray) {
  SKIP_ON_WAYLAND(
      "the XEmbed tray is X11 only; on Wayland only StatusNotifierItem hosts show icons");
  // A watcher without a registered host shows nothing: it does not count.
  ASSERT_TRUE(watcher_->Start(R"({"host": false})"));
  TempDir dir;
  Child trayer;
  ASSERT_TRUE(trayer.Start(
      {"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
       "200", "--height", "32"},
      {"PATH=/usr/bin:/bin", "DISPLAY=" + session().display(), "HOME=" + dir.path().string()},
      dir.path(), dir.path() / "out", dir.path() / "err"));
  const uint32_t tray = CreateTray();
  const std::string id = std::to_string(tray);
  host().Command({"trayicon", id, kRedPng});
  host().Command({"trayhandlers", id, "1", "1"});
  Tokens bounds;
  ASSERT_TRUE(Eventually([&] {
    bounds = host().Command({"traybounds", id});
    // Real geometry: on the screen, inside the tray, once laid out.
    return bounds.size() == 5 && bounds[0] == "1" && std::stoi(bounds[3]) >= 8 &&
           std::stoi(bounds[1]) >= 1280 - 200 &&
           std::stoi(bounds[1]) + std::stoi(bounds[3]) <= 1280;
  })) << ::testing::PrintToString(bounds);
  const int x = std::stoi(bounds[1]) + std::stoi(bounds[3]) / 2;
  const int y = std::stoi(bounds[2]) + std::stoi(bounds[4]) / 2;
  session().Click(x, y);
  EXPECT_TRUE(host().WaitFor({"tray-click", id}, mark_));
  // A real double click: a click, then a double click.
  std::this_thread::sleep_for(600ms);
  mark_ = host().Mark();
  ASSERT_TRUE(session().Xdotool({"mousemove", std::to_string(x), std::to_string(y), "click",
                                 "--repeat", "2", "--delay", "80", "1"}));
  EXPECT_TRUE(host().WaitFor({"tray-double", id}, mark_));
  EXPECT_THAT(TrayEvents(tray), ::testing::ElementsAre("tray-click", "tray-double"));

  // A right click pops the menu up; its item reports the tray id.
  host().Command({"traymenu", id, R"([{"label":"Show","id":"show"}])"});
  host().Sync();
  std::this_thread::sleep_for(600ms);
  mark_ = host().Mark();
  ASSERT_TRUE(session().Xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "3"}));
  std::vector<XWindow> popups;
  ASSERT_TRUE(Eventually([&] {
    popups = session().MappedWindowsOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU");
    return !popups.empty();
  }));
  int px = 0, py = 0;
  ASSERT_TRUE(session().ClientOrigin(popups[0], &px, &py));
  session().Click(px + 20, py + 12);
  EXPECT_TRUE(host().WaitFor({"menu", id, "show"}, mark_));
  EXPECT_THAT(TrayEvents(tray), ::testing::IsEmpty());
  host().Command({"traydestroy", id});
  trayer.Terminate(2s);
}

// --- the launcher entry -----------------------------------------------------

TEST_F(GuiTray, LauncherEntryCarriesBadgeAndQuickList) {
  const std::string uri = std::string("application://") + kAppId + ".desktop";
  size_t signals = bus_->Mark();
  host().Command({"badge", "7"});
  auto update =
      bus_->WaitSignal("com.canonical.Unity.LauncherEntry.Update ('" + uri + "'", signals);
  ASSERT_TRUE(update);
  EXPECT_THAT(*update, ::testing::HasSubstr("'count': <int64 7>"));
  EXPECT_THAT(*update, ::testing::HasSubstr("'count-visible': <true>"));

  const std::string owner = bus_->Owner(kAppId);
  auto query = [&] {
    return bus_
        ->Call(owner, "/com/canonical/unity/launcherentry/wexlor",
               "com.canonical.Unity.LauncherEntry", "Query", nullptr)
        .Text();
  };
  EXPECT_THAT(query(), ::testing::HasSubstr("'count': <int64 7>"));
  for (const Tokens& clear : {Tokens{"badge", "new"}, Tokens{"badge", ""}, Tokens{"badge"}}) {
    host().Command({"badge", "3"});
    host().Command(clear);
    host().Sync();
    EXPECT_THAT(query(), ::testing::HasSubstr("'count-visible': <false>"));
  }

  host().Command({"dockmenu", "[{\"label\":\"New window\",\"id\":\"new\"},{\"label\":\"\xff\"}]"});
  host().Sync();
  const std::string quickList = "/com/canonical/unity/launcherentry/wexlor/quicklist";
  EXPECT_THAT(query(), ::testing::HasSubstr("'quicklist': <'" + quickList + "'>"));
  // The quick list's server goes on the bus a moment after it is made.
  auto quickListLayout = [&] {
    for (int i = 0;; ++i) {
      Var r = bus_->Call(owner, quickList, "com.canonical.dbusmenu", "GetLayout",
                         g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)));
      if (r || i == 100) return r;
      std::this_thread::sleep_for(20ms);
    }
  };
  Var layout = quickListLayout();
  ASSERT_TRUE(layout);
  auto [ids, labels] = ReadLayout(layout);
  EXPECT_THAT(labels, ::testing::ElementsAre("New window", "\xef\xbf\xbd"));
  ASSERT_TRUE(ids.count("New window"));
  bus_->Call(owner, quickList, "com.canonical.dbusmenu", "Event",
             g_variant_new("(isvu)", ids["New window"], "clicked", g_variant_new_int32(0), 0u));
  EXPECT_TRUE(host().WaitFor({"menu", "0", "new"}, mark_));
  // An empty list is an empty quick list; a description that is not a list
  // removes it, as null does.
  host().Command({"dockmenu", "[]"});
  host().Sync();
  EXPECT_THAT(query(), ::testing::HasSubstr("'quicklist': <'" + quickList + "'>"));
  Var empty = quickListLayout();
  ASSERT_TRUE(empty);
  EXPECT_TRUE(ReadLayout(empty).labels.empty());
  host().Command({"dockmenu", R"("not a menu")"});
  host().Sync();
  EXPECT_THAT(query(), ::testing::HasSubstr("'quicklist': <''>"));
  host().Command({"dockmenu", R"([{"label":"New window","id":"new"}])"});
  host().Command({"dockmenu", "null"});
  host().Sync();
  EXPECT_THAT(query(), ::testing::HasSubstr("'quicklist': <''>"));
}

bool Urgent(XSession& s, XWindow w) {
  const auto hints = s.LongProperty(w, "WM_HINTS");
  return !hints.empty() && (hints[0] & (1L << 8)) != 0;
}

bool SkipsTaskbar(XSession& s, XWindow w, const char* what = "_NET_WM_STATE_SKIP_TASKBAR") {
  const auto state = s.AtomProperty(w, "_NET_WM_STATE");
  return std::find(state.begin(), state.end(), what) != state.end();
}

TEST_F(GuiTray, BounceMarksWindowsUrgentAndVisibilityHidesThemFromTheTaskBar) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t window = host().CreateWindow();
  const XWindow xw = host().XWindowOf(window);
  ASSERT_NE(xw, 0u);
  // The window class names the desktop file.
  EXPECT_THAT(session().StringProperty(xw, "WM_CLASS"), ::testing::HasSubstr(kAppId));
  const uint32_t other = host().CreateWindow();
  const size_t focusMark = host().Mark();
  host().Command({"focus", std::to_string(other)});
  ASSERT_TRUE(host().WaitFor({"focus", std::to_string(other), "1"}, focusMark));

  // Informational (any type but 0): ends by itself after about a second.
  for (const char* type : {"1", "-1"}) {
    auto start = std::chrono::steady_clock::now();
    host().Command({"bounce", type});
    EXPECT_TRUE(Eventually([&] { return Urgent(session(), xw); }, 3s)) << type;
    EXPECT_TRUE(Eventually([&] { return !Urgent(session(), xw); }, 3s)) << type;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 800ms) << type;
  }
  // Critical: stays until one of the windows gains focus.
  host().Command({"bounce", "0"});
  host().Sync();
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(Urgent(session(), xw));
  EXPECT_THAT(bus_->Call(bus_->Owner(kAppId), "/com/canonical/unity/launcherentry/wexlor",
                         "com.canonical.Unity.LauncherEntry", "Query", nullptr)
                  .Text(),
              ::testing::HasSubstr("'urgent': <true>"));
  host().Command({"focus", std::to_string(window)});
  EXPECT_TRUE(Eventually([&] { return !Urgent(session(), xw); }, 3s));

  host().Command({"dockvisible", "0"});
  EXPECT_TRUE(Eventually([&] { return SkipsTaskbar(session(), xw); }));
  const uint32_t later = host().CreateWindow();
  const XWindow lw = host().XWindowOf(later);
  EXPECT_TRUE(Eventually([&] { return SkipsTaskbar(session(), lw); }));
  const uint32_t panel = host().CreateWindow(0x02);
  const XWindow pw = host().XWindowOf(panel);
  host().Command({"dockvisible", "1"});
  EXPECT_TRUE(
      Eventually([&] { return !SkipsTaskbar(session(), xw) && !SkipsTaskbar(session(), lw); }));
  // Panels stay out of the task bar and the pager.
  EXPECT_TRUE(SkipsTaskbar(session(), pw));
  EXPECT_TRUE(SkipsTaskbar(session(), pw, "_NET_WM_STATE_SKIP_PAGER"));
  for (uint32_t w : {window, other, later, panel}) host().Close(w);
}

TEST_F(GuiTray, ASecondLaunchReachesTheReopenHandler) {
  host().Command({"reopen", "on"});
  const uint32_t window = host().CreateWindow();
  host().Sync();
  auto launch = [&] {
    TempDir dir;
    Child second;
    std::vector<std::string> env = session().ClientEnvironment();
    env.insert(env.end(), {"PATH=/usr/bin:/bin", "HOME=" + dir.path().string(),
                           std::string("WEXLOR_APP_ID=") + kAppId});
    EXPECT_TRUE(second.Start({WEXLOR_GUI_HOST, "--runtime", WEXLOR_GUI_RUNTIME}, env, dir.path(),
                             dir.path() / "out", dir.path() / "err"));
    int status = -1;
    EXPECT_TRUE(second.Wait(10s, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  };
  launch();
  EXPECT_TRUE(host().WaitFor({"reopen", "1", "data"}, mark_));
  host().Command({"hide", std::to_string(window)});
  host().Sync();
  mark_ = host().Mark();
  launch();
  EXPECT_TRUE(host().WaitFor({"reopen", "0", "data"}, mark_));
  // Without a handler nothing is reported.
  host().Command({"reopen", "off"});
  mark_ = host().Mark();
  launch();
  host().Sync();
  EXPECT_TRUE(host().EventsSince(mark_, {"reopen"}).empty());
  host().Close(window);
}

// With an id but no reachable session bus the application still runs, as
// a separate instance, and tray icons and the dock degrade quietly.
class GuiTrayWithoutBus : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite({}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/wexlor-test-bus"},
                    {"WEXLOR_APP_ID", kAppId}});
  }
  static void TearDownTestSuite() { StopSuite(); }
};

TEST_F(GuiTrayWithoutBus, RunsAsASeparateInstanceAndTraysDegrade) {
  const Tokens created = host().Command({"tray"});
  ASSERT_EQ(created.size(), 1u);
  const std::string id = created[0];
  host().Command({"trayicon", id, kRedPng});
  host().Command({"traymenu", id, R"([{"label":"Show","id":"show"}])"});
  host().Command({"badge", "4"});
  host().Command({"bounce", "0"});
  host().Command({"dockmenu", R"([{"label":"New","id":"new"}])"});
  // No X11 tray runs either: nothing is known about the icon's place.
  EXPECT_THAT(host().Command({"traybounds", id}),
              ::testing::ElementsAre("0", "-7", "-7", "-7", "-7"));
  host().Command({"traydestroy", id});
  host().Sync();
  const std::string err = host().StderrText();
  EXPECT_THAT(err, ::testing::HasSubstr("running as a separate instance"));
  EXPECT_THAT(err, ::testing::HasSubstr("no session bus for tray icons"));
}

}  // namespace
}  // namespace gui
