// Notifications and the notification permission against a fake desktop
// notification service on the test session's bus.
#include <algorithm>
#include <set>

#include "harness.h"
#include "notification_service.h"

namespace gui {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAre;

// A 2x1 RGBA PNG: one opaque red pixel, one half-transparent blue one.
constexpr char kPng[] =
    "iVBORw0KGgoAAAANSUhEUgAAAAIAAAABCAYAAAD0In+"
    "KAAAADklEQVR4nGP4z8AAQg0AD3oDfnfpf5cAAAAASUVORK5CYII=";

// A 600x300 RGB PNG, larger than a notification image may be.
constexpr char kLargePng[] =
    "iVBORw0KGgoAAAANSUhEUgAAAlgAAAEsCAIAAACQX1rBAAADnklEQVR42u3VMQ0AAAjAsElHOh54aVIFe1YTAPwl"
    "AQBGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABG"
    "CABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABG"
    "CABGCABGCABGCABGCABGCABGCABGCIARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoAR"
    "AoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoAR"
    "AoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoAEABghABghABghABghABghABghABgh"
    "ABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABgh"
    "ABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABgh"
    "AEYoAQBGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABG"
    "CABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABGCABG"
    "CABGCABGCABGCABGCABGCABGCABGCABGCIARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoAR"
    "AoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoAR"
    "AoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoARAoAEABghABghABghABghABghABgh"
    "ABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABghABgh"
    "ABghABghABghABghABghABghABghABghABghABghABghABghAFwsj4Skki9ZsWQAAAAASUVORK5CYII=";

class GuiNotifications : public GuiTest {
 protected:
  // A window manager, so that a window can be active.
  static void SetUpTestSuite() {
    StartSuite({.windowManager = true},
               {{"WEXLOR_APP_ID", "org.example.WexlorTest"}, {"WEXLOR_APP_NAME", "Wexlor Test"}});
  }
  static void TearDownTestSuite() { StopSuite(); }
  void SetUp() override {
    GuiTest::SetUp();
    service_ = std::make_unique<FakeNotificationService>(session());
    mark_ = host().Mark();
  }
  void TearDown() override { service_.reset(); }

  FakeNotificationService& service() { return *service_; }

  std::vector<uint32_t> NotifyAll(const Tokens& options) {
    Tokens command = {"notify"};
    command.insert(command.end(), options.begin(), options.end());
    std::vector<uint32_t> ids;
    for (const auto& token : host().Command(command)) {
      ids.push_back(static_cast<uint32_t>(std::stoul(token)));
      mine_.insert(ids.back());
    }
    return ids;
  }
  uint32_t Notify(const std::string& options) {
    const auto ids = NotifyAll({options});
    return ids.size() == 1 ? ids[0] : 0;
  }

  static std::string Ev(uint32_t id, int event, const std::string& action = "null") {
    return "notification " + std::to_string(id) + " " + std::to_string(event) + " " + action;
  }
  bool WaitEvent(uint32_t id, int event, const std::string& action = "null") {
    return host()
        .WaitFor({"notification", std::to_string(id), std::to_string(event), action}, mark_)
        .has_value();
  }
  // The reports this test's notifications received, in order.
  std::vector<std::string> Events() {
    std::vector<std::string> texts;
    for (const auto& e : host().EventsSince(mark_, {"notification"})) {
      if (e.tokens.size() == 4 && mine_.count(std::stoul(e.tokens[1])) != 0) {
        texts.push_back(e.text);
      }
    }
    return texts;
  }
  // Asks for a permission answer and returns it ("none" when none came).
  std::string Permission(const std::string& verb, int kind) {
    const std::string tag = "p" + std::to_string(++permissionCount_);
    host().Command({"permission", verb, std::to_string(kind), tag});
    const auto event = host().WaitFor({"permission", tag}, mark_);
    return event && event->tokens.size() == 3 ? event->tokens[2] : "none";
  }

  std::unique_ptr<FakeNotificationService> service_;
  std::set<uint32_t> mine_;
  size_t mark_ = 0;
  int permissionCount_ = 0;
};

TEST_F(GuiNotifications, NotifyCarriesTextButtonsHintsAndTimeout) {
  ASSERT_TRUE(service().Start("actions body body-markup"));
  Notify(R"({"title":"Hi <b>","body":"a & <i>b</i>","actions":[{"id":"yes","title":"Yes"},)"
         R"({"id":"default","title":"Later"},{"id":"","title":"Dropped"}]})");
  Notify(std::string(R"({"title":"Quiet","silent":true,"require_interaction":true,)") +
         R"("icon":{"__binary__":")" + kPng + R"("}})");
  // "silent" as a string does not count; bytes that are no image are left out.
  Notify(R"({"silent":"true","icon":{"__binary__":"bm90IGFuIGltYWdl"}})");
  Notify(std::string(R"({"icon":{"__binary__":")") + kLargePng + R"("}})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 4));
  auto calls = service().NotifyCalls();
  ASSERT_EQ(calls.size(), 4u);

  EXPECT_EQ(calls[0].appName, "Wexlor Test");
  EXPECT_EQ(calls[0].replacesId, 0u);
  EXPECT_EQ(calls[0].summary, "Hi <b>");  // the summary is plain text
  EXPECT_EQ(calls[0].body, "a &amp; &lt;i&gt;b&lt;/i&gt;");
  EXPECT_THAT(calls[0].actions,
              ElementsAre("default", "", "wexlor.action.0", "Yes", "wexlor.action.1", "Later"));
  EXPECT_EQ(calls[0].hints["sound-name"], "'message-new-instant'");
  EXPECT_EQ(calls[0].hints.count("suppress-sound"), 0u);
  EXPECT_EQ(calls[0].hints["desktop-entry"], "'org.example.WexlorTest'");
  EXPECT_EQ(calls[0].timeout, -1);

  EXPECT_THAT(calls[1].actions, ElementsAre("default", ""));
  EXPECT_EQ(calls[1].hints["suppress-sound"], "true");
  EXPECT_EQ(calls[1].hints.count("sound-name"), 0u);
  EXPECT_EQ(calls[1].timeout, 0);
  EXPECT_THAT(calls[1].hints["image-data"], StartsWith("(2, 1, 8, true, 8, 4, "));
  EXPECT_THAT(calls[1].hints["image-data"],
              HasSubstr("0xff, 0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x80"));

  EXPECT_EQ(calls[2].summary, "");
  EXPECT_EQ(calls[2].hints["sound-name"], "'message-new-instant'");
  EXPECT_EQ(calls[2].hints.count("image-data"), 0u);
  // Scaled to fit 256 x 256, RGB rows padded to whole words.
  EXPECT_THAT(calls[3].hints["image-data"],
              StartsWith("(256, 128, 768, false, 8, 3, [0x00, 0x80,"));

  // A service without buttons or markup gets neither.
  service().Stop();
  ASSERT_TRUE(service().Start("body"));
  Notify(R"({"body":"a & b","actions":[{"id":"yes","title":"Yes"}]})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 1));
  calls = service().NotifyCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0].actions, IsEmpty());
  EXPECT_EQ(calls[0].body, "a & b");
}

TEST_F(GuiNotifications, TagsReplaceThroughServiceIds) {
  ASSERT_TRUE(service().Start("actions body"));
  const uint32_t a = Notify(R"({"title":"one","tag":"t"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 1));
  const uint32_t b = Notify(R"({"title":"two","tag":"t"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 2));
  // Two posts under one tag issued back to back still make one notification.
  const auto pair = NotifyAll({R"({"title":"three","tag":"u"})", R"({"title":"four","tag":"u"})"});
  ASSERT_EQ(pair.size(), 2u);
  ASSERT_TRUE(service().WaitForCalls("Notify", 4));
  const auto calls = service().NotifyCalls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1].replacesId, 1u);
  EXPECT_EQ(calls[2].replacesId, 0u);
  EXPECT_EQ(calls[3].summary, "four");
  EXPECT_EQ(calls[3].replacesId, 2u);

  // Service id 1 now shows b, 2 shows the second of the pair.
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'default')"));
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 2, uint32 2)"));
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 1, uint32 2)"));
  ASSERT_TRUE(WaitEvent(b, 2));
  EXPECT_THAT(Events(), ElementsAre(Ev(b, 1), Ev(pair[1], 2), Ev(b, 2)));

  // Replaced notifications cannot be closed.
  host().Command({"closenotif", std::to_string(a)});
  host().Command({"closenotif", std::to_string(pair[0])});
  host().Sync();
  EXPECT_THAT(service().CloseCalls(), IsEmpty());
}

TEST_F(GuiNotifications, SignalsReachOnlyTheirNotification) {
  ASSERT_TRUE(service().Start("actions body"));
  const uint32_t x = Notify(
      R"({"title":"x","actions":[{"id":"default","title":"Default"},{"id":"go","title":"Go"}]})");
  const uint32_t y = Notify(R"({"title":"y"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 2));

  // Another connection cannot speak for the service, and ids the service
  // did not issue to us mean nothing.
  ASSERT_TRUE(service().EmitForeign("ActionInvoked", "(uint32 2, 'default')"));
  ASSERT_TRUE(service().EmitForeign("NotificationClosed", "(uint32 2, uint32 2)"));
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 99, 'default')"));
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 99, uint32 1)"));

  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'default')"));
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'wexlor.action.0')"));
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'wexlor.action.1')"));
  for (const char* unknown :
       {"wexlor.action.2", "go", "wexlor.action.", "wexlor.action.99999999999"}) {
    ASSERT_TRUE(service().Emit("ActionInvoked", std::string("(uint32 1, '") + unknown + "')"));
  }
  ASSERT_TRUE(service().Emit("ActivationToken", "(uint32 1, 'token-1')"));
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 1, uint32 2)"));
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'default')"));  // ended
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 2, uint32 3)"));
  ASSERT_TRUE(WaitEvent(y, 2));
  EXPECT_THAT(Events(),
              ElementsAre(Ev(x, 1), Ev(x, 3, "default"), Ev(x, 3, "go"), Ev(x, 2), Ev(y, 2)));
}

TEST_F(GuiNotifications, CloseNotificationEndsOnce) {
  ASSERT_TRUE(service().Start("actions body"));
  const uint32_t x = Notify(R"({"title":"x"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 1));
  host().Command({"closenotif", std::to_string(x)});
  ASSERT_TRUE(WaitEvent(x, 2));
  ASSERT_TRUE(service().WaitForCalls("CloseNotification", 1));
  // The service answers the close with its own signal; neither it nor a
  // second close, nor closing an id never handed out, reports anything.
  host().Command({"closenotif", std::to_string(x)});
  host().Command({"closenotif", "4000000000"});
  const uint32_t y = Notify(R"({"title":"y"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 2));
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 2, uint32 1)"));
  ASSERT_TRUE(WaitEvent(y, 2));
  EXPECT_THAT(Events(), ElementsAre(Ev(x, 2), Ev(y, 2)));
  EXPECT_THAT(service().CloseCalls(), ElementsAre(1u));
}

TEST_F(GuiNotifications, ClosedBeforeTheServiceAnsweredIsWithdrawn) {
  ASSERT_TRUE(service().Start("body"));
  // The service's position of the Notify call with this summary, which is
  // also the id it issued (every call here is a new notification); 0 when
  // it never came.
  const auto serviceId = [&](const std::string& summary, Duration timeout) -> uint32_t {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      const auto calls = service().NotifyCalls();
      for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].summary == summary) return static_cast<uint32_t>(i + 1);
      }
      std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
  };
  const auto notifyClose = [&](const std::string& options) -> uint32_t {
    const Tokens reply = host().Command({"notify-close", options});
    const uint32_t id = reply.size() == 1 ? static_cast<uint32_t>(std::stoul(reply[0])) : 0;
    mine_.insert(id);
    return id;
  };
  // Withdrawn at once, first while the service's capabilities are still
  // being asked for, then while the Notify call is under way: each ends
  // once, and whatever the service got to show is closed again.
  const uint32_t x = notifyClose(R"({"title":"gone"})");
  ASSERT_TRUE(WaitEvent(x, 2));
  const uint32_t y = Notify(R"({"title":"y"})");
  const uint32_t yOnService = serviceId("y", kTimeout);
  ASSERT_NE(yOnService, 0u);
  const uint32_t z = notifyClose(R"({"title":"gone too"})");
  ASSERT_TRUE(WaitEvent(z, 2));
  const uint32_t zOnService = serviceId("gone too", kTimeout);
  ASSERT_NE(zOnService, 0u);
  ASSERT_TRUE(service().WaitForCalls("CloseNotification", 1));
  std::vector<uint32_t> expected = {zOnService};
  if (const uint32_t xOnService = serviceId("gone", 0ms))
    expected.insert(expected.begin(), xOnService);
  EXPECT_EQ(service().CloseCalls(), expected);
  // y, shown in between, is untouched.
  ASSERT_TRUE(service().Emit("NotificationClosed",
                             "(uint32 " + std::to_string(yOnService) + ", uint32 1)"));
  ASSERT_TRUE(WaitEvent(y, 2));
  EXPECT_THAT(Events(), ElementsAre(Ev(x, 2), Ev(z, 2), Ev(y, 2)));
}

TEST_F(GuiNotifications, ShownWhileAWindowIsActive) {
  ASSERT_TRUE(service().Start("body"));
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().WaitFor({"focus", std::to_string(w), "1"}, mark_));
  const uint32_t x = Notify(R"({"title":"x"})");
  ASSERT_TRUE(WaitEvent(x, 0));
  host().Close(w);
  host().Sync();
  const uint32_t y = Notify(R"({"title":"y"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 2));
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 2, uint32 1)"));
  ASSERT_TRUE(WaitEvent(y, 2));
  EXPECT_THAT(Events(), ElementsAre(Ev(x, 0), Ev(y, 2)));
}

TEST_F(GuiNotifications, ActivationTokenGoesToTheNextRaisedWindow) {
  SKIP_ON_WAYLAND(kNoXWindows);
  ASSERT_TRUE(service().Start("actions body"));
  const uint32_t w = host().CreateWindow();
  const XWindow xw = host().XWindowOf(w);
  ASSERT_NE(xw, 0u);
  const uint32_t x = Notify(R"({"title":"x"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 1));
  // Tokens for ids that are not ours are ignored.
  ASSERT_TRUE(service().Emit("ActivationToken", "(uint32 7, 'not-ours')"));
  ASSERT_TRUE(service().Emit("ActivationToken", "(uint32 1, 'wexlor-token-1')"));
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'default')"));
  ASSERT_TRUE(WaitEvent(x, 1));
  host().Command({"focus", std::to_string(w)});
  host().Sync();
  EXPECT_EQ(session().StringProperty(xw, "_NET_STARTUP_ID"), "wexlor-token-1");
  host().Close(w);
}

TEST_F(GuiNotifications, ServiceRestartEndsLiveNotifications) {
  ASSERT_TRUE(service().Start("actions body"));
  const uint32_t x = Notify(R"({"title":"x"})");
  const uint32_t y = Notify(R"({"title":"y","tag":"keep"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 2));
  service().Stop();
  ASSERT_TRUE(WaitEvent(x, 2));
  ASSERT_TRUE(WaitEvent(y, 2));

  // The new owner's ids start afresh; the old ones are forgotten, and the
  // tag no longer names a shown notification.
  ASSERT_TRUE(service().Start("actions body"));
  ASSERT_TRUE(service().Emit("ActionInvoked", "(uint32 1, 'default')"));
  const uint32_t z = Notify(R"({"title":"z","tag":"keep"})");
  ASSERT_TRUE(service().WaitForCalls("Notify", 1));
  EXPECT_EQ(service().NotifyCalls()[0].replacesId, 0u);
  ASSERT_TRUE(service().Emit("NotificationClosed", "(uint32 1, uint32 2)"));
  ASSERT_TRUE(WaitEvent(z, 2));
  EXPECT_THAT(Events(), UnorderedElementsAre(Ev(x, 2), Ev(y, 2), Ev(z, 2)));
}

TEST_F(GuiNotifications, PermissionFollowsTheService) {
  // No service: posting fails once, and the permission is unsupported.
  ASSERT_FALSE(service().Owned());
  const uint32_t x = Notify("none");
  ASSERT_TRUE(WaitEvent(x, 2));
  EXPECT_EQ(Permission("query", 1), "3");
  EXPECT_EQ(Permission("request", 1), "3");

  ASSERT_TRUE(service().Start("body"));
  EXPECT_EQ(Permission("query", 1), "0");
  EXPECT_EQ(Permission("request", 1), "0");
  for (int kind : {0, 2, -1}) {
    EXPECT_EQ(Permission("query", kind), "3");
    EXPECT_EQ(Permission("request", kind), "3");
  }
  // Without a handler nothing is reported (and nothing breaks).
  host().Command({"permission", "request", "1", "silent", "nocb"});
  host().Command({"permission", "query", "2", "silent", "nocb"});
  EXPECT_EQ(Permission("query", 1), "0");
  EXPECT_THAT(host().EventsSince(mark_, {"permission", "silent"}), IsEmpty());
  EXPECT_THAT(Events(), ElementsAre(Ev(x, 2)));
}

TEST_F(GuiNotifications, PagePermissionAgreesWithTheRuntime) {
  HttpServer granted, denied;
  ASSERT_TRUE(granted.Start());
  ASSERT_TRUE(denied.Start());
  granted.Add("/p.html", "<p>page</p>");
  denied.Add("/p.html", "<p>page</p>");
  const std::string ask =
      "window.answer = null; Notification.requestPermission().then(p => window.answer = p); 0";
  const uint32_t w = host().CreateWindow();

  ASSERT_TRUE(service().Start("body"));
  ASSERT_TRUE(host().NavigateAndWait(w, granted.origin() + "/p.html"));
  host().Eval(w, ask);
  EXPECT_EQ(host().EvalUntil(w, "window.answer"), "\"granted\"");
  EXPECT_EQ(host().EvalValue(w, "Notification.permission"), "\"granted\"");

  service().Stop();
  ASSERT_TRUE(host().NavigateAndWait(w, denied.origin() + "/p.html"));
  host().Eval(w, ask);
  EXPECT_EQ(host().EvalUntil(w, "window.answer"), "\"denied\"");
  host().Close(w);
}

// A host whose session bus cannot be reached.
class GuiNotificationsWithoutBus : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite({}, {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/wexlor-test-bus"}});
  }
  static void TearDownTestSuite() { StopSuite(); }
};

TEST_F(GuiNotificationsWithoutBus, PostsEndAndThePermissionIsUnsupported) {
  const size_t mark = host().Mark();
  const Tokens ids = host().Command({"notify", R"({"title":"x"})", "none"});
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_TRUE(host().WaitFor({"notification", ids[0], "2", "null"}, mark));
  EXPECT_TRUE(host().WaitFor({"notification", ids[1], "2", "null"}, mark));
  host().Command({"permission", "query", "1", "q"});
  host().Command({"permission", "request", "1", "r"});
  EXPECT_TRUE(host().WaitFor({"permission", "q", "3"}, mark));
  EXPECT_TRUE(host().WaitFor({"permission", "r", "3"}, mark));
  host().Sync();
  EXPECT_EQ(host().EventsSince(mark, {"notification"}).size(), 2u);
  EXPECT_THAT(host().StderrText(), HasSubstr("no session bus"));
}

}  // namespace
}  // namespace gui
