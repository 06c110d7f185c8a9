// Windows: creation flags, the window registry, window handlers, and the
// application's lifetime.
#include <sys/wait.h>

#include <algorithm>

#include "harness.h"

namespace gui {
namespace {

using ::testing::Contains;
using ::testing::Not;

constexpr uint32_t kFrameless = 0x01, kPanel = 0x02, kUnused = 0x04, kHidden = 0x08,
                   kTransparent = 0x10;

std::string W(uint32_t window) { return std::to_string(window); }

// _MOTIF_WM_HINTS: flags, functions, decorations, ...; bit 1 of the flags
// says the decorations item is set.
bool Undecorated(const std::vector<long>& hints) {
  return hints.size() >= 3 && (hints[0] & 2) != 0 && hints[2] == 0;
}

class GuiWindows : public GuiTest {
 protected:
  static void SetUpTestSuite() { StartSuite(); }
  static void TearDownTestSuite() { StopSuite(); }

  Tokens Query(const char* verb, uint32_t window) { return host().Command({verb, W(window)}); }
};

TEST_F(GuiWindows, PlainWindowHasTheDefaults) {
  const size_t mark = host().Mark();
  const uint32_t w = host().CreateWindow();
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  EXPECT_EQ(Query("isontop", w), Tokens{"0"});
  EXPECT_EQ(Query("isresizable", w), Tokens{"1"});
  EXPECT_EQ(Query("getsize", w), (Tokens{"800", "600"}));
  // No menu bar before the runtime sets a menu: the page has it all.
  EXPECT_TRUE(host().WaitFor({"resize", W(w), "800", "600"}, mark));
  if (OnWayland()) host().Close(w);
  SKIP_ON_WAYLAND(kNoPositions);
  // Centred on the 1280x1024 screen.
  const Tokens position = Query("getpos", w);
  ASSERT_EQ(position.size(), 2u);
  EXPECT_NEAR(std::stoi(position[0]), (1280 - 800) / 2, 2);
  EXPECT_NEAR(std::stoi(position[1]), (1024 - 600) / 2, 2);

  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  EXPECT_FALSE(Undecorated(session().LongProperty(x, "_MOTIF_WM_HINTS")));
  EXPECT_EQ(session().Depth(x), 24);
  host().Close(w);
}

TEST_F(GuiWindows, FramelessWindowIsUndecoratedButResizable) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow(kFrameless);
  EXPECT_EQ(Query("isresizable", w), Tokens{"1"});
  EXPECT_EQ(Query("isontop", w), Tokens{"0"});
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  EXPECT_TRUE(Undecorated(session().LongProperty(x, "_MOTIF_WM_HINTS")));
  host().Close(w);
}

TEST_F(GuiWindows, PanelIsAUtilityWindowKeptAbove) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow(kPanel);
  EXPECT_EQ(Query("isontop", w), Tokens{"1"});
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  EXPECT_THAT(session().AtomProperty(x, "_NET_WM_WINDOW_TYPE"),
              Contains("_NET_WM_WINDOW_TYPE_UTILITY"));
  const auto state = session().AtomProperty(x, "_NET_WM_STATE");
  for (const char* s : {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR",
                        "_NET_WM_STATE_SKIP_PAGER"}) {
    EXPECT_THAT(state, Contains(s));
  }
  // A user time of 0 asks the window manager not to focus it when mapped.
  EXPECT_EQ(session().LongProperty(x, "_NET_WM_USER_TIME"), std::vector<long>{0});
  host().Close(w);
}

TEST_F(GuiWindows, HiddenWindowAppearsOnShow) {
  const uint32_t w = host().CreateWindow(kHidden);
  EXPECT_EQ(Query("isvisible", w), Tokens{"0"});
  // Hidden windows are fully usable.
  ASSERT_TRUE(host().LoadHtml(w, "<p>hidden</p>"));
  EXPECT_EQ(host().EvalValue(w, "document.body.textContent"), "\"hidden\"");
  host().Command({"show", W(w)});
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  host().Command({"hide", W(w)});
  EXPECT_EQ(Query("isvisible", w), Tokens{"0"});
  host().Close(w);
}

// Waits until the pixel at the window's centre has the value `want`.
unsigned long WaitForPixel(XSession& session, XWindow x, unsigned long want) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  unsigned long pixel = session.Pixel(x, 400, 300);
  while (pixel != want && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    pixel = session.Pixel(x, 400, 300);
  }
  return pixel;
}

TEST_F(GuiWindows, TransparentWindowShowsThrough) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow(kTransparent);
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  EXPECT_EQ(session().Depth(x), 32);
  // An opaque page paints opaque pixels (ARGB)...
  ASSERT_TRUE(host().LoadHtml(w, "<body style='background: rgb(0, 0, 255)'></body>"));
  EXPECT_EQ(WaitForPixel(session(), x, 0xff0000ffu), 0xff0000ffu);
  // ...and a page without a background leaves them fully transparent.
  ASSERT_TRUE(host().LoadHtml(w, "<body style='background: transparent'></body>"));
  EXPECT_EQ(WaitForPixel(session(), x, 0u), 0u);
  host().Close(w);
}

TEST_F(GuiWindows, UnknownFlagIsIgnored) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow(kUnused);
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  EXPECT_EQ(Query("isontop", w), Tokens{"0"});
  EXPECT_EQ(Query("isresizable", w), Tokens{"1"});
  EXPECT_EQ(Query("getsize", w), (Tokens{"800", "600"}));
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  EXPECT_FALSE(Undecorated(session().LongProperty(x, "_MOTIF_WM_HINTS")));
  EXPECT_EQ(session().Depth(x), 24);
  host().Close(w);
}

TEST_F(GuiWindows, RequestsRunInCallOrderAfterCreation) {
  // The id comes back at once; the window is made later, but before any
  // request that follows it.
  const std::string first = host().SendCommand({"create"});
  const std::string second = host().SendCommand({"create"});
  const Tokens a = host().Reply(first), b = host().Reply(second);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  const uint32_t w1 = std::stoul(a[0]), w2 = std::stoul(b[0]);
  EXPECT_EQ(w2, w1 + 1);
  const std::string nav =
      host().SendCommand({"navigate", W(w1), "data:text/html," + PercentEncode("<p>ordered</p>")});
  const std::string eval = host().SendCommand({"eval", W(w2), "20 + 22"});
  host().Reply(nav);
  EXPECT_EQ(host().Reply(eval), (Tokens{"42", "none", "main"}));
  host().Close(w1);
  host().Close(w2);
}

TEST_F(GuiWindows, ClosedWindowIsForgotten) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w1 = host().CreateWindow();
  const uint32_t w2 = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(w2, "<p>two</p>"));
  const std::string title1 = host().UniqueTitle(w1);
  ASSERT_NE(session().FindWindow(title1), 0u);

  host().Close(w1);
  EXPECT_EQ(Query("isvisible", w1), Tokens{"0"});
  EXPECT_EQ(Query("isresizable", w1), Tokens{"0"});
  EXPECT_EQ(Query("isontop", w1), Tokens{"0"});
  EXPECT_EQ(Query("getsize", w1), (Tokens{"0", "0"}));
  EXPECT_EQ(Query("getpos", w1), (Tokens{"0", "0"}));
  const EvalResult gone = host().Eval(w1, "1");
  EXPECT_EQ(gone.result, "none");
  EXPECT_EQ(gone.error, "none");
  EXPECT_TRUE(gone.onMain);
  // Requests for it, and a second close, change nothing.
  host().Command({"navigate", W(w1), "data:text/html,x"});
  host().Command({"setsize", W(w1), "300", "300"});
  host().Command({"show", W(w1)});
  host().Close(w1);
  EXPECT_EQ(Query("isvisible", w1), Tokens{"0"});
  EXPECT_TRUE(session().WaitUntilGone(title1));

  // The other window is untouched, and ids are not reused.
  EXPECT_EQ(Query("isvisible", w2), Tokens{"1"});
  EXPECT_EQ(host().EvalValue(w2, "document.body.textContent"), "\"two\"");
  const uint32_t w3 = host().CreateWindow();
  EXPECT_GT(w3, w2);
  host().Close(w2);
  host().Close(w3);
}

TEST_F(GuiWindows, MissingWindowGivesDefaults) {
  EXPECT_EQ(Query("isvisible", 9999), Tokens{"0"});
  EXPECT_EQ(Query("getsize", 9999), (Tokens{"0", "0"}));
  EXPECT_EQ(Query("getpos", 9999), (Tokens{"0", "0"}));
  EXPECT_EQ(Query("isresizable", 9999), Tokens{"0"});
  EXPECT_EQ(Query("isontop", 9999), Tokens{"0"});
  EXPECT_EQ(Query("getopacity", 9999), Tokens{"1"});
  const EvalResult r = host().Eval(9999, "1");
  EXPECT_EQ(r.result, "none");
  EXPECT_EQ(r.error, "none");
  // Every change asked of it is dropped.
  for (const Tokens& command : std::vector<Tokens>{{"setsize", "9999", "300", "200"},
                                                   {"setpos", "9999", "10", "10"},
                                                   {"setresizable", "9999", "1"},
                                                   {"setontop", "9999", "1"},
                                                   {"setopacity", "9999", "0.5"},
                                                   {"show", "9999"},
                                                   {"hide", "9999"},
                                                   {"focus", "9999"}}) {
    host().Command(command);
  }
  host().Sync();
  EXPECT_EQ(Query("isvisible", 9999), Tokens{"0"});
  EXPECT_EQ(Query("getsize", 9999), (Tokens{"0", "0"}));
  EXPECT_EQ(Query("isontop", 9999), Tokens{"0"});
  EXPECT_EQ(Query("getopacity", 9999), Tokens{"1"});
}

// Waits until `done` holds for the window's property, and returns its items.
std::vector<long> WaitForProperty(XSession& session, XWindow x, const char* property,
                                  const std::function<bool(const std::vector<long>&)>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  std::vector<long> items = session.LongProperty(x, property);
  while (!done(items) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    items = session.LongProperty(x, property);
  }
  return items;
}

TEST_F(GuiWindows, ResizableAndOnTopCanBeChanged) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow();
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  // WM_NORMAL_HINTS: flags, 4 unused, min width and height, max width and
  // height; a fixed size has both bounds at the current size.
  constexpr long kMinSize = 1 << 4, kMaxSize = 1 << 5;
  auto fixed = [](const std::vector<long>& h) {
    return h.size() >= 9 && (h[0] & kMinSize) && (h[0] & kMaxSize) && h[5] == 800 && h[6] == 600 &&
           h[7] == 800 && h[8] == 600;
  };
  host().Command({"setresizable", W(w), "0"});
  EXPECT_EQ(Query("isresizable", w), Tokens{"0"});
  EXPECT_TRUE(fixed(WaitForProperty(session(), x, "WM_NORMAL_HINTS", fixed)));
  host().Command({"setresizable", W(w), "1"});
  EXPECT_EQ(Query("isresizable", w), Tokens{"1"});
  EXPECT_FALSE(fixed(WaitForProperty(session(), x, "WM_NORMAL_HINTS",
                                     [&](const std::vector<long>& h) { return !fixed(h); })));

  host().Command({"setontop", W(w), "1"});
  EXPECT_EQ(Query("isontop", w), Tokens{"1"});
  host().Command({"setontop", W(w), "0"});
  EXPECT_EQ(Query("isontop", w), Tokens{"0"});
  host().Close(w);
}

TEST_F(GuiWindows, OpacityIsKeptWithinZeroAndOne) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow();
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  auto opacity = [&] {
    const Tokens t = Query("getopacity", w);
    return t.size() == 1 ? std::stod(t[0]) : -1;
  };
  EXPECT_EQ(opacity(), 1.0);
  host().Command({"setopacity", W(w), "0.25"});
  EXPECT_NEAR(opacity(), 0.25, 0.01);
  // _NET_WM_WINDOW_OPACITY scales 0..1 to the 32-bit range.
  const auto scaled = WaitForProperty(session(), x, "_NET_WM_WINDOW_OPACITY",
                                      [](const std::vector<long>& v) { return v.size() == 1; });
  ASSERT_EQ(scaled.size(), 1u);
  EXPECT_NEAR(static_cast<double>(scaled[0] & 0xffffffffL) / 0xffffffffL, 0.25, 0.01);

  host().Command({"setopacity", W(w), "1.7"});
  EXPECT_EQ(opacity(), 1.0);
  host().Command({"setopacity", W(w), "-0.5"});
  EXPECT_EQ(opacity(), 0.0);
  host().Command({"setopacity", W(w), "nan"});
  EXPECT_EQ(opacity(), 1.0);
  host().Close(w);
}

TEST_F(GuiWindows, HiddenWindowTakesSizeAndPositionBeforeShow) {
  SKIP_ON_WAYLAND(kNoPositions);
  const uint32_t w = host().CreateWindow(kHidden);
  host().Command({"setsize", W(w), "420", "310"});
  host().Command({"setpos", W(w), "50", "60"});
  EXPECT_EQ(Query("getsize", w), (Tokens{"420", "310"}));
  EXPECT_EQ(Query("getpos", w), (Tokens{"50", "60"}));
  const size_t mark = host().Mark();
  host().Command({"show", W(w)});
  EXPECT_TRUE(host().WaitFor({"resize", W(w), "420", host().ContentHeight(310)}, mark));
  EXPECT_TRUE(host().WaitFor({"move", W(w), "50", "60"}, mark));
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  EXPECT_EQ(Query("getsize", w), (Tokens{"420", "310"}));
  EXPECT_EQ(Query("getpos", w), (Tokens{"50", "60"}));
  host().Close(w);
}

// What Wayland keeps to the compositor has fixed answers: a position query
// reports what the runtime last set (0, 0 before), nothing is reported as a
// move, and no window is kept above others, panels included.
TEST_F(GuiWindows, WaylandGivesFixedAnswersForPositionsAndStacking) {
  if (!OnWayland()) GTEST_SKIP() << "X11 has real positions and stacking";
  const size_t mark = host().Mark();
  const uint32_t w = host().CreateWindow();
  const uint32_t panel = host().CreateWindow(kPanel);
  EXPECT_EQ(Query("getpos", w), (Tokens{"0", "0"}));
  for (const Tokens& place : std::vector<Tokens>{{"30", "40"}, {"-5", "70000"}}) {
    host().Command({"setpos", W(w), place[0], place[1]});
    EXPECT_EQ(Query("getpos", w), place);
    EXPECT_EQ(host().Command({"ui", "getpos", W(w)}), place);
  }
  EXPECT_EQ(Query("isontop", panel), Tokens{"0"});
  host().Command({"setontop", W(w), "1"});
  EXPECT_EQ(Query("isontop", w), Tokens{"0"});
  // Sizes and opacity still work as on X11.
  host().Command({"setsize", W(w), "640", "480"});
  EXPECT_TRUE(host().WaitFor({"resize", W(w), "640", host().ContentHeight(480)}, mark));
  EXPECT_EQ(Query("getsize", w), (Tokens{"640", "480"}));
  host().Command({"setopacity", W(w), "0.5"});
  EXPECT_NEAR(std::stod(Query("getopacity", w).at(0)), 0.5, 1.0 / 255);  // kept in 8 bits
  host().Sync();
  EXPECT_TRUE(host().EventsSince(mark, {"move"}).empty());
  host().Close(panel);
  host().Close(w);
}

TEST_F(GuiWindows, TableWorksFromTheMainThread) {
  // Queries from the main thread must not wait for the main thread.
  const Tokens id = host().Command({"ui", "create"});
  ASSERT_EQ(id.size(), 1u);
  EXPECT_EQ(host().Command({"ui", "getsize", id[0]}), (Tokens{"800", "600"}));
  EXPECT_EQ(host().Command({"ui", "isvisible", id[0]}), Tokens{"1"});
  const size_t mark = host().Mark();
  host().Command({"ui", "setsize", id[0], "500", "400"});
  EXPECT_TRUE(host().WaitFor({"resize", id[0], "500", host().ContentHeight(400)}, mark));
  EXPECT_EQ(host().Command({"ui", "eval", id[0], "6 * 7"}), (Tokens{"42", "none", "main"}));
  host().Command({"ui", "close", id[0]});
  EXPECT_EQ(host().Command({"ui", "isvisible", id[0]}), Tokens{"0"});
}

TEST_F(GuiWindows, SizeAndPositionChangesAreReported) {
  SKIP_ON_WAYLAND(kNoPositions);
  const uint32_t w = host().CreateWindow();
  size_t mark = host().Mark();
  host().Command({"setsize", W(w), "640", "480"});
  EXPECT_TRUE(host().WaitFor({"resize", W(w), "640", host().ContentHeight(480)}, mark));
  EXPECT_EQ(Query("getsize", w), (Tokens{"640", "480"}));

  mark = host().Mark();
  host().Command({"setpos", W(w), "30", "40"});
  EXPECT_TRUE(host().WaitFor({"move", W(w), "30", "40"}, mark));
  EXPECT_EQ(Query("getpos", w), (Tokens{"30", "40"}));
  host().Close(w);
}

TEST_F(GuiWindows, CloseRequestLeavesTheWindowOpen) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(w, "<p>still here</p>"));
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  const size_t mark = host().Mark();
  session().SendDeleteRequest(x);
  ASSERT_TRUE(host().WaitFor({"close", W(w)}, mark));
  EXPECT_EQ(Query("isvisible", w), Tokens{"1"});
  EXPECT_EQ(host().EvalValue(w, "document.body.textContent"), "\"still here\"");
  EXPECT_EQ(host().EventsSince(mark, {"close"}).size(), 1u);
  host().Close(w);
}

TEST_F(GuiWindows, EveryFinishedNavigationIsReported) {
  const uint32_t w = host().CreateWindow();
  const uint32_t other = host().CreateWindow();
  const size_t mark = host().Mark();
  ASSERT_TRUE(host().LoadHtml(w, "<p>one</p>"));
  ASSERT_TRUE(host().LoadHtml(w, "<p>two</p>"));
  host().Sync();
  EXPECT_EQ(host().EventsSince(mark, {"load", W(w)}).size(), 2u);
  EXPECT_TRUE(host().EventsSince(mark, {"load", W(other)}).empty());
  host().Close(w);
  host().Close(other);
}

// With a window manager: focus, frames and stacking are its business.
class GuiWindowManager : public GuiTest {
 protected:
  static void SetUpTestSuite() { StartSuite({.windowManager = true}); }
  static void TearDownTestSuite() { StopSuite(); }
};

TEST_F(GuiWindowManager, FocusFollowsTheActiveWindow) {
  size_t mark = host().Mark();
  const uint32_t w1 = host().CreateWindow();
  ASSERT_TRUE(host().WaitFor({"focus", W(w1), "1"}, mark));

  mark = host().Mark();
  const uint32_t w2 = host().CreateWindow();
  EXPECT_TRUE(host().WaitFor({"focus", W(w2), "1"}, mark));
  EXPECT_TRUE(host().WaitFor({"focus", W(w1), "0"}, mark));
  if (OnWayland()) {
    host().Close(w1);
    host().Close(w2);
  }
  SKIP_ON_WAYLAND(kNoRaise);

  mark = host().Mark();
  host().Command({"focus", W(w1)});
  EXPECT_TRUE(host().WaitFor({"focus", W(w1), "1"}, mark));
  EXPECT_TRUE(host().WaitFor({"focus", W(w2), "0"}, mark));
  host().Close(w1);
  host().Close(w2);
}

TEST_F(GuiWindowManager, PanelStaysAboveEverywhereWithoutTakingFocus) {
  SKIP_ON_WAYLAND(kNoStacking);
  size_t mark = host().Mark();
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().WaitFor({"focus", W(w), "1"}, mark));
  const XWindow xw = host().XWindowOf(w);

  mark = host().Mark();
  const uint32_t panel = host().CreateWindow(kPanel);
  const XWindow xp = host().XWindowOf(panel);
  ASSERT_NE(xw, 0u);
  ASSERT_NE(xp, 0u);
  // Raising the other window leaves the panel above it.
  host().Command({"focus", W(w)});
  std::vector<long> stacking;
  auto position = [&](XWindow x) {
    return std::find(stacking.begin(), stacking.end(), static_cast<long>(x)) - stacking.begin();
  };
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  do {
    std::this_thread::sleep_for(50ms);
    stacking = session().LongProperty(session().root(), "_NET_CLIENT_LIST_STACKING");
  } while (position(xp) == static_cast<long>(stacking.size()) &&
           std::chrono::steady_clock::now() < deadline);
  ASSERT_LT(position(xw), static_cast<long>(stacking.size()));
  EXPECT_GT(position(xp), position(xw)) << "bottom-to-top order";

  host().Sync();
  EXPECT_TRUE(host().EventsSince(mark, {"focus", W(panel), "1"}).empty());
  EXPECT_TRUE(host().EventsSince(mark, {"focus", W(w), "0"}).empty());
  const auto state = session().AtomProperty(xp, "_NET_WM_STATE");
  for (const char* s :
       {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
    EXPECT_THAT(state, Contains(s));
  }
  // On every desktop.
  const auto desktop = session().LongProperty(xp, "_NET_WM_DESKTOP");
  ASSERT_EQ(desktop.size(), 1u);
  EXPECT_EQ(desktop[0] & 0xffffffffL, 0xffffffffL);
  host().Close(panel);
  host().Close(w);
}

TEST_F(GuiWindowManager, FramelessWindowGetsNoFrame) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t plain = host().CreateWindow();
  const uint32_t frameless = host().CreateWindow(kFrameless);
  const XWindow xp = host().XWindowOf(plain), xf = host().XWindowOf(frameless);
  ASSERT_NE(xp, 0u);
  ASSERT_NE(xf, 0u);
  // left, right, top, bottom
  std::vector<long> plainExtents, framelessExtents;
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while ((plainExtents.size() < 4 || framelessExtents.size() < 4) &&
         std::chrono::steady_clock::now() < deadline) {
    plainExtents = session().LongProperty(xp, "_NET_FRAME_EXTENTS");
    framelessExtents = session().LongProperty(xf, "_NET_FRAME_EXTENTS");
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(plainExtents.size(), 4u);
  ASSERT_EQ(framelessExtents.size(), 4u);
  EXPECT_GT(plainExtents[2], 0);
  EXPECT_EQ(framelessExtents, (std::vector<long>{0, 0, 0, 0}));
  host().Close(plain);
  host().Close(frameless);
}

TEST_F(GuiWindowManager, AlwaysOnTopReachesTheWindowManager) {
  SKIP_ON_WAYLAND(kNoStacking);
  const uint32_t w = host().CreateWindow();
  const XWindow x = host().XWindowOf(w);
  ASSERT_NE(x, 0u);
  auto above = [&](bool want) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    for (;;) {
      const auto state = session().AtomProperty(x, "_NET_WM_STATE");
      const bool is = std::find(state.begin(), state.end(), "_NET_WM_STATE_ABOVE") != state.end();
      if (is == want || std::chrono::steady_clock::now() >= deadline) return is;
      std::this_thread::sleep_for(20ms);
    }
  };
  host().Command({"setontop", W(w), "1"});
  EXPECT_TRUE(above(true));
  EXPECT_EQ(host().Command({"isontop", W(w)}), Tokens{"1"});
  host().Command({"setontop", W(w), "0"});
  EXPECT_FALSE(above(false));
  EXPECT_EQ(host().Command({"isontop", W(w)}), Tokens{"0"});
  host().Close(w);
}

TEST_F(GuiWindowManager, MoveIsReportedInRootCoordinates) {
  SKIP_ON_WAYLAND(kNoPositions);
  const uint32_t w = host().CreateWindow();
  const size_t mark = host().Mark();
  host().Command({"setpos", W(w), "100", "120"});
  EXPECT_TRUE(host().WaitFor({"move", W(w), "100", "120"}, mark));
  EXPECT_EQ(host().Command({"getpos", W(w)}), (Tokens{"100", "120"}));
  host().Close(w);
}

TEST_F(GuiWindowManager, QueriesSeeTheSettersIssuedJustBefore) {
  size_t mark = host().Mark();
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().WaitFor({"focus", W(w), "1"}, mark));
  // Each query comes right after its setter, before the window manager has
  // answered; alternating values make a stale answer visible.
  const std::vector<Tokens> sizes = {{"500", "300"}, {"640", "420"}, {"510", "330"}};
  const std::vector<Tokens> places = {{"40", "50"}, {"90", "70"}, {"45", "55"}};
  for (size_t i = 0; i < sizes.size(); ++i) {
    host().Command({"setsize", W(w), sizes[i][0], sizes[i][1]});
    EXPECT_EQ(host().Command({"getsize", W(w)}), sizes[i]);
    host().Command({"setpos", W(w), places[i][0], places[i][1]});
    EXPECT_EQ(host().Command({"getpos", W(w)}), places[i]);
  }
  // Once the window manager has confirmed, the real geometry agrees.
  mark = host().Mark();
  host().Command({"setsize", W(w), "520", "340"});
  // Resize reports give the web view, below the menu bar.
  ASSERT_TRUE(host().WaitFor({"resize", W(w), "520", "*"}, mark));
  std::this_thread::sleep_for(2500ms);  // past any allowance for a silent window system
  EXPECT_EQ(host().Command({"getsize", W(w)}), (Tokens{"520", "340"}));
  EXPECT_EQ(host().Command({"getpos", W(w)}), places.back());
  host().Close(w);
}

// Each test runs its own host: these are about the application's lifetime.
class GuiLifecycle : public OwnHostsTest {
 protected:
  void SetUp() override {
    OwnHostsTest::SetUp();
    ASSERT_TRUE(host_.Start(*session_));
  }

  Host host_;
};

TEST_F(GuiLifecycle, WindowIdsStartAtOne) {
  // The application waits for the runtime even while it has no window.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(host_.Command({"ping"}), Tokens{"pong"});
  EXPECT_EQ(host_.CreateWindow(), 1u);
  EXPECT_EQ(host_.CreateWindow(kFrameless), 2u);
  EXPECT_EQ(host_.CreateWindow(), 3u);
  EXPECT_EQ(host_.Stop(), "");
}

TEST_F(GuiLifecycle, ClosingTheLastWindowEndsTheApplication) {
  const uint32_t w1 = host_.CreateWindow();
  const uint32_t w2 = host_.CreateWindow();
  host_.Close(w1);
  host_.Sync();
  EXPECT_EQ(host_.Command({"ping"}), Tokens{"pong"});
  host_.Close(w2);
  EXPECT_EQ(host_.WaitForExit(), "");
}

// Its own host: the command line is the subject.
TEST(GuiCommandLine, JoinedRuntimeOptionLoadsThatLibraryAndUnknownOptionsAreWarned) {
  XSession session;
  ASSERT_TRUE(session.Start({}));
  // An icon file that is not an image keeps the default icon, without a
  // warning (Stop checks).
  TempDir dir;
  const fs::path icon = dir.Write("icon.png", "not an image");
  Host host;
  ASSERT_TRUE(host.Start(session,
                         {std::string("--runtime=") + WEXLOR_GUI_RUNTIME, "--frobnicate",
                          "--display=" + session.display()},
                         {{"WEXLOR_APP_ICON", icon.string()}}));
  EXPECT_EQ(host.Command({"ping"}), Tokens{"pong"});
  host.CreateWindow();
  host.Sync();
  EXPECT_EQ(host.Stop(), "");
  // The toolkit's own options are not warned about.
  const std::string err = host.StderrText();
  EXPECT_THAT(err, ::testing::HasSubstr("wexlor: ignoring unknown option --frobnicate\n"));
  EXPECT_THAT(err, ::testing::Not(::testing::HasSubstr("--display")));
}

TEST(GuiCommandLine, MissingRuntimeNamesEveryPlaceSearched) {
  XSession session;
  ASSERT_TRUE(session.Start({}));
  TempDir dir;
  Child host;
  const fs::path err = dir.path() / "err.txt";
  ASSERT_TRUE(host.Start({WEXLOR_GUI_HOST},
                         {"PATH=/usr/bin:/bin", "HOME=" + dir.path().string(),
                          "DISPLAY=" + session.display(), "GDK_BACKEND=x11", "NO_AT_BRIDGE=1"},
                         dir.path(), dir.path() / "out.txt", err));
  int status = 0;
  ASSERT_TRUE(host.Wait(kTimeout, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  std::ifstream in(err);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::string cwd = fs::canonical(dir.path()).string();
  const std::string exe = fs::canonical(WEXLOR_GUI_HOST).string();
  const std::string exeDir = fs::path(exe).parent_path().string();
  ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0],
            "No runtime library found. Set WEXLOR_RUNTIME_PATH or place libruntime.so beside the "
            "executable.");
  EXPECT_EQ(lines[1], "Searched, in order: " + exeDir + "/libruntime.so, " + exeDir +
                          "/../lib/libruntime.so, " + cwd + "/libruntime.so, " + cwd +
                          "/target/debug/libhello.so, " + cwd + "/target/release/libhello.so, " +
                          exe + ".so");
}

// Deep links: the URLs and files of the first launch and of later launches
// that reach the running instance wait for the runtime's handler, and then
// arrive one launch at a time, in order.
TEST(GuiCommandLine, LaunchUrlsReachTheRuntimeInOrder) {
  XSession session;
  ASSERT_TRUE(session.Start({}));
  const std::string appId = "org.example.WexlorLinks";
  Host host;
  ASSERT_TRUE(host.Start(session, {"--runtime", WEXLOR_GUI_RUNTIME, "wexlor-test://first/1?a=b#c"},
                         {{"WEXLOR_APP_ID", appId}}));
  TempDir dir;
  auto launch = [&](const std::vector<std::string>& arguments) {
    std::vector<std::string> env = session.ClientEnvironment();
    env.insert(env.end(),
               {"PATH=/usr/bin:/bin", "HOME=" + dir.path().string(), "WEXLOR_APP_ID=" + appId});
    std::vector<std::string> argv = {WEXLOR_GUI_HOST, "--runtime", WEXLOR_GUI_RUNTIME};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Child second;
    ASSERT_TRUE(second.Start(argv, env, dir.path(), dir.path() / "out", dir.path() / "err"));
    int status = -1;
    ASSERT_TRUE(second.Wait(kTimeout, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  };
  auto opened = [&](size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (host.EventsSince(0, {"open"}).size() < count &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    std::vector<Tokens> launches;
    for (const Event& e : host.EventsSince(0, {"open"})) launches.push_back(e.tokens);
    return launches;
  };
  const std::string cwd = fs::canonical(dir.path()).string();

  // Before the runtime registers a handler both launches are kept.
  launch({"notes.txt", "wexlor-test://second"});
  host.Sync();
  EXPECT_TRUE(host.EventsSince(0, {"open"}).empty());
  host.Command({"openurls", "on"});
  EXPECT_EQ(opened(2), (std::vector<Tokens>{
                           {"open", "wexlor-test://first/1?a=b#c"},
                           {"open", "file://" + cwd + "/notes.txt", "wexlor-test://second"}}));
  // With the handler set a launch arrives at once; after "--" an argument
  // is a file even when it looks like an option.
  launch({"--", "-odd name"});
  EXPECT_EQ(opened(3).back(), (Tokens{"open", "file://" + cwd + "/-odd%20name"}));
  // A launch without arguments is a reopen, not an empty list.
  launch({});
  host.Sync();
  EXPECT_EQ(opened(3).size(), 3u);
  EXPECT_EQ(host.Stop(), "");
}

TEST_F(GuiLifecycle, ControlQEndsTheApplication) {
  SKIP_ON_WAYLAND(kNoXInput);
  const uint32_t w = host_.CreateWindow();
  ASSERT_TRUE(host_.LoadHtml(w, "<p>keys</p>"));
  const XWindow x = host_.XWindowOf(w);
  ASSERT_NE(x, 0u);
  int ox = 0, oy = 0;
  ASSERT_TRUE(session_->ClientOrigin(x, &ox, &oy));
  session_->Click(ox + 100, oy + 100);  // pointer and focus into the window
  session_->ControlKey("q");
  EXPECT_EQ(host_.WaitForExit(), "");
}

}  // namespace
}  // namespace gui
