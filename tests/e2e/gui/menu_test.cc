// Menus: window menu bars with accelerators and roles, the application's
// menu, context menus and the start-up menu's Quit, driven by real keys.
#include "harness.h"

namespace gui {
namespace {

std::string W(uint32_t window) { return std::to_string(window); }

const char* const kPage =
    "<body><p id='text'>menu words</p><input id='field' value='typed text'></body>";

class GuiMenus : public GuiTest {
 protected:
  static void SetUpTestSuite() { StartSuite(); }
  static void TearDownTestSuite() {
    // Menus built, shown and torn down without the toolkit complaining.
    if (host_) {
      const std::string err = host_->CheckedStderr();
      EXPECT_EQ(err.find("-WARNING"), std::string::npos) << err;
    }
    StopSuite();
  }

  // A visible window showing kPage, with the pointer and keyboard focus in
  // its page.
  uint32_t FocusedWindow(std::optional<uint32_t> flags = std::nullopt) {
    const uint32_t w = host().CreateWindow(flags);
    EXPECT_TRUE(host().LoadHtml(w, kPage));
    Focus(w);
    return w;
  }

  void Focus(uint32_t w) {
    host().Command({"focus", W(w)});  // raised above the others
    if (OnWayland()) {
      // Real input through the compositor, where the page shows.
      ASSERT_TRUE(host().PointAtPage(w));
      ASSERT_TRUE(session().Xdotool({"click", "1"}));
      host().EvalUntil(w, "document.hasFocus() || null");
      return;
    }
    const XWindow x = host().XWindowOf(w);
    ASSERT_NE(x, 0u);
    int ox = 0, oy = 0;
    ASSERT_TRUE(session().ClientOrigin(x, &ox, &oy));
    session().Click(ox + 400, oy + 300);
    host().EvalUntil(w, "document.hasFocus() || null");
  }

  void Keys(std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
      ASSERT_TRUE(session().Xdotool({"key", "--delay", "60", key}));
      std::this_thread::sleep_for(60ms);
    }
  }

  // Sets a window's menu and waits until the main thread has built it.
  void SetMenu(uint32_t w, const std::string& json) {
    host().Command({"menu", W(w), json});
    host().Sync();
  }

  // Opens a context menu at (10, 20) and picks its entry `index` (from 1)
  // with the arrow keys.
  void Choose(uint32_t w, const std::string& json, int index) {
    host().Command({"contextmenu", W(w), "10", "20", json});
    host().Sync();
    std::this_thread::sleep_for(200ms);
    for (int i = 0; i < index; ++i) Keys({"Down"});
    Keys({"Return"});
  }

  // The pixels of the menu F10 opens in the focused window, which is then
  // closed again.
  std::vector<unsigned long> FirstMenuPixels() {
    std::vector<unsigned long> pixels;
    if (!session().Xdotool({"key", "F10"})) return pixels;
    std::vector<XWindow> menus;
    for (int i = 0; i < 100 && menus.empty(); ++i) {
      std::this_thread::sleep_for(20ms);
      menus = session().MappedWindowsOfType("_NET_WM_WINDOW_TYPE_DROPDOWN_MENU");
      if (menus.empty()) menus = session().MappedWindowsOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU");
    }
    std::this_thread::sleep_for(300ms);  // drawn
    EXPECT_EQ(menus.size(), 1u);
    if (menus.size() == 1) pixels = session().Pixels(menus[0]);
    Keys({"Escape", "Escape"});
    return pixels;
  }

  std::string Clipboard() {
    const Tokens reply = host().Command({"clipread"});
    if (reply.empty()) return "no-reply";
    return reply[0] == "text" && reply.size() > 1 ? reply[1] : "(none)";
  }
};

TEST_F(GuiMenus, AcceleratorReportsWindowAndItem) {
  const uint32_t w = FocusedWindow();
  SetMenu(w, R"([{"label":"File","submenu":[
      {"label":"Save","id":"save","accelerator":"CmdOrCtrl+Shift+S"},
      {"label":"Off","id":"off","accelerator":"Ctrl+Shift+D","enabled":false},
      {"label":"Bare","id":"bare","accelerator":"b"}]}])");
  // A description that is not a list changes nothing.
  SetMenu(w, R"({"label":"File"})");
  size_t mark = host().Mark();
  Keys({"ctrl+shift+d", "b", "ctrl+shift+s"});
  const auto click = host().WaitFor({"menu"}, mark);
  ASSERT_TRUE(click);
  EXPECT_EQ(click->tokens, (Tokens{"menu", W(w), "save"}));
  // Neither the disabled item nor the bare key reported; the page got "b".
  EXPECT_EQ(host().EventsSince(mark, {"menu"}).size(), 1u);

  // A checked item keeps its mark when chosen; an item without an id
  // reports nothing.
  SetMenu(w, R"([{"label":"View","submenu":[
      {"label":"Grid","id":"grid","checked":true,"accelerator":"Ctrl+Shift+G"},
      {"label":"Quiet","accelerator":"Ctrl+Shift+E"}]}])");
  const auto before = OnWayland() ? std::vector<unsigned long>{} : FirstMenuPixels();
  mark = host().Mark();
  Keys({"ctrl+shift+e", "ctrl+shift+g"});
  ASSERT_TRUE(host().WaitFor({"menu", W(w), "grid"}, mark));
  EXPECT_EQ(host().EventsSince(mark, {"menu"}).size(), 1u);
  if (!OnWayland()) {
    EXPECT_FALSE(before.empty());
    EXPECT_TRUE(FirstMenuPixels() == before) << "the check mark changed";
  }
  host().Close(w);
}

TEST_F(GuiMenus, FramelessWindowKeepsAcceleratorsWithoutABar) {
  const size_t created = host().Mark();
  const uint32_t w = FocusedWindow(0x01);
  // No bar: the web view has the whole client area.
  EXPECT_TRUE(host().WaitFor({"resize", W(w), "800", "600"}, created));
  SetMenu(w,
          R"([{"label":"File","submenu":[{"label":"Save","id":"save","accelerator":"Ctrl+S"}]}])");
  const size_t mark = host().Mark();
  Keys({"ctrl+s"});
  const auto click = host().WaitFor({"menu"}, mark);
  ASSERT_TRUE(click);
  EXPECT_EQ(click->tokens, (Tokens{"menu", W(w), "save"}));
  host().Close(w);
}

TEST_F(GuiMenus, ApplicationMenuReachesEveryWindowWithoutItsOwn) {
  SKIP_ON_WAYLAND(kNoRaise);
  const uint32_t first = FocusedWindow();
  const uint32_t second = FocusedWindow();
  SetMenu(0,
          R"([{"label":"App","submenu":[{"label":"P","id":"app","accelerator":"Ctrl+Alt+P"}]}])");
  SetMenu(second,
          R"([{"label":"Own","submenu":[{"label":"P","id":"own","accelerator":"Ctrl+Alt+P"}]}])");
  // Menus for a window that is gone, or never was, change nothing.
  const uint32_t gone = host().CreateWindow();
  host().Close(gone);
  for (uint32_t w : {gone, 9999u}) {
    SetMenu(
        w,
        R"([{"label":"Late","submenu":[{"label":"P","id":"late","accelerator":"Ctrl+Alt+P"}]}])");
  }
  const uint32_t later = FocusedWindow();

  for (const auto& [w, want] :
       std::vector<std::pair<uint32_t, Tokens>>{{second, {"menu", W(second), "own"}},
                                                {first, {"menu", "0", "app"}},
                                                {later, {"menu", "0", "app"}}}) {
    Focus(w);
    const size_t mark = host().Mark();
    Keys({"ctrl+alt+p"});
    const auto click = host().WaitFor({"menu"}, mark);
    ASSERT_TRUE(click) << "window " << w;
    EXPECT_EQ(click->tokens, want);
  }
  for (uint32_t w : {first, second, later}) host().Close(w);
}

TEST_F(GuiMenus, ContextMenuOpensAtItsPointAndReportsTheChosenItem) {
  SKIP_ON_WAYLAND(kNoXInput);
  const int barHeight = 600 - std::stoi(host().ContentHeight(600));
  const uint32_t w = FocusedWindow();
  const size_t mark = host().Mark();
  // A closed window and a non-list description show nothing.
  host().Command({"contextmenu", "9999", "10", "20", R"([{"label":"X","id":"x"}])"});
  host().Command({"contextmenu", W(w), "10", "20", R"("not a menu")"});
  host().Sync();
  EXPECT_TRUE(session().MappedWindowsOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU").empty());

  host().Command({"contextmenu", W(w), "10", "20",
                  R"([{"label":"One","id":"one"},{"type":"separator"},
                      {"label":"Two","id":"two"},{"label":"Three"}])"});
  host().Sync();
  std::vector<XWindow> popups;
  for (int i = 0; i < 100 && popups.empty(); ++i) {
    std::this_thread::sleep_for(20ms);
    popups = session().MappedWindowsOfType("_NET_WM_WINDOW_TYPE_POPUP_MENU");
  }
  ASSERT_EQ(popups.size(), 1u);
  // Its corner is at (10, 20) of the web view, below the menu bar.
  int wx = 0, wy = 0, px = 0, py = 0;
  ASSERT_TRUE(session().ClientOrigin(host().XWindowOf(w), &wx, &wy));
  ASSERT_TRUE(session().ClientOrigin(popups[0], &px, &py));
  EXPECT_NEAR(px, wx + 10, 2);
  EXPECT_NEAR(py, wy + barHeight + 20, 2);
  Keys({"Down", "Down", "Return"});
  const auto click = host().WaitFor({"menu"}, mark);
  ASSERT_TRUE(click);
  EXPECT_EQ(click->tokens, (Tokens{"menu", W(w), "two"}));
  host().Close(w);
}

// Wayland grants a popup only for the user's input on its window: with the
// pointer elsewhere the request shows nothing and says so; after a press in
// the page the menu opens, takes the keyboard and reports the chosen item.
TEST_F(GuiMenus, WaylandContextMenuNeedsThePointerOverItsWindow) {
  if (!OnWayland()) GTEST_SKIP() << "X11 opens context menus without input";
  const std::string menu = R"([{"label":"One","id":"one"},{"label":"Two","id":"two"}])";
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(w, kPage));
  const size_t mark = host().Mark();
  ASSERT_TRUE(session().Xdotool({"mousemove", "4", "4"}));  // the compositor's panel
  host().Command({"contextmenu", W(w), "10", "20", menu});
  host().Sync();
  EXPECT_THAT(host().StderrText(), ::testing::HasSubstr("context menu not shown"));

  ASSERT_TRUE(host().PointAtPage(w));
  ASSERT_TRUE(session().Xdotool({"click", "1"}));
  host().Command({"contextmenu", W(w), "10", "20", menu});
  host().Sync();
  std::this_thread::sleep_for(300ms);  // mapped and holding the grab
  Keys({"Down", "Down", "Return"});
  const auto click = host().WaitFor({"menu"}, mark);
  ASSERT_TRUE(click);
  EXPECT_EQ(click->tokens, (Tokens{"menu", W(w), "two"}));

  // A menu still open when its window closes goes first (checked for
  // warnings when the suite ends).
  ASSERT_TRUE(session().Xdotool({"click", "1"}));
  host().Command({"contextmenu", W(w), "10", "20", menu});
  host().Sync();
  host().Close(w);
  host().Sync();
}

// The same physical keys give the same names and codes on X11 and on
// Wayland (where the compositor's keymap reaches GTK).
TEST_F(GuiMenus, KeysGiveTheSameNamesAndCodesOnEitherBackend) {
  const uint32_t w = FocusedWindow();
  const size_t mark = host().Mark();
  Keys({"a", "shift+b", "Return", "F5", "Left", "space", "KP_1", "BackSpace"});
  host().Sync();
  std::vector<std::string> presses;
  for (const Event& e : host().EventsSince(mark, {"key", W(w), "0"})) {
    if (e.tokens.size() == 6) presses.push_back(e.tokens[3] + "/" + e.tokens[4]);
  }
  // Modifier keys alone report nothing.
  EXPECT_THAT(presses, ::testing::ElementsAre("a/KeyA", "B/KeyB", "Enter/Enter", "F5/F5",
                                              "ArrowLeft/ArrowLeft", " /Space", "1/Numpad1",
                                              "Backspace/Backspace"));
  host().Close(w);
}

// An input method composing text takes keys from the page; they are
// reported as "Process" with their codes, while keys it lets through keep
// their names. A host of its own, with ibus and its Hangul engine.
TEST_F(GuiMenus, KeysTakenByAnInputMethodAreReportedAsProcess) {
  SKIP_ON_WAYLAND(kNoXInput);
  for (const char* file : {"/usr/bin/ibus-daemon", "/usr/share/ibus/component/hangul.xml",
                           "/usr/lib/x86_64-linux-gnu/gtk-3.0/3.0.0/immodules/im-ibus.so"}) {
    if (!fs::exists(file)) GTEST_SKIP() << "ibus with the Hangul engine is not installed";
  }
  TempDir dir;
  const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + dir.path().string(),
                                        "DISPLAY=" + session().display(),
                                        "DBUS_SESSION_BUS_ADDRESS=" + session().busAddress()};
  Child daemon;
  ASSERT_TRUE(daemon.Start({"/usr/bin/ibus-daemon", "--panel=disable", "--emoji-extension=disable"},
                           env, dir.path(), dir.path() / "daemon.out", dir.path() / "daemon.err"));
  // `ibus` asks the daemon; true once it answered.
  auto ibus = [&](const std::vector<std::string>& args, std::string* out = nullptr) {
    Child command;
    std::vector<std::string> argv = {"/usr/bin/ibus"};
    argv.insert(argv.end(), args.begin(), args.end());
    int status = -1;
    if (!command.Start(argv, env, dir.path(), dir.path() / "ibus.out", dir.path() / "ibus.err") ||
        !command.Wait(10s, &status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return false;
    }
    std::ifstream in(dir.path() / "ibus.out");
    if (out != nullptr) std::getline(in, *out);
    return true;
  };
  std::string address;
  for (int i = 0; i < 100 && (!ibus({"address"}, &address) || address == "(null)"); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  if (address.empty() || address == "(null)") GTEST_SKIP() << "ibus-daemon did not start";
  bool engine = false;
  for (int i = 0; i < 50 && !engine; ++i) {
    engine = ibus({"engine", "hangul"});
    if (!engine) std::this_thread::sleep_for(100ms);
  }
  if (!engine) GTEST_SKIP() << "ibus has no Hangul engine";

  Host im;
  ASSERT_TRUE(im.Start(session(), {}, {{"GTK_IM_MODULE", "ibus"}, {"IBUS_ADDRESS", address}}));
  const uint32_t w = im.CreateWindow();
  ASSERT_TRUE(im.LoadHtml(w,
                          "<input id='field'><script>var keys = [];"
                          "addEventListener('keydown', e => keys.push(e.key), true);"
                          "</script>"));
  const XWindow x = im.XWindowOf(w);
  ASSERT_NE(x, 0u);
  int ox = 0, oy = 0;
  ASSERT_TRUE(session().ClientOrigin(x, &ox, &oy));
  session().Click(ox + 400, oy + 300);
  im.EvalUntil(w, "document.hasFocus() || null");
  im.Eval(w, "document.getElementById('field').focus(); keys = []; 0");
  std::this_thread::sleep_for(300ms);

  // Latin first (the engine starts there), then Hangul after Shift+Space.
  size_t mark = im.Mark();
  for (const char* key : {"a", "shift+space", "g", "k"}) {
    ASSERT_TRUE(session().Xdotool({"key", "--delay", "60", key}));
    std::this_thread::sleep_for(150ms);
  }
  im.Sync();
  std::vector<std::string> presses;
  for (const Event& e : im.EventsSince(mark, {"key", W(w), "0"})) {
    if (e.tokens.size() == 6) presses.push_back(e.tokens[3] + "/" + e.tokens[4]);
  }
  EXPECT_THAT(presses,
              ::testing::ElementsAre("a/KeyA", "Process/Space", "Process/KeyG", "Process/KeyK"));
  // The page, too, saw the Latin key and then only keys taken by the input
  // method (WebKit sends no key event for some of them).
  EXPECT_THAT(im.EvalValue(w, "keys.filter(k => k != 'Shift').join(' ')"),
              ::testing::MatchesRegex("\"a( Unidentified)+\""));
  EXPECT_EQ(im.Stop(), "");
  daemon.Terminate(2s);
}

TEST_F(GuiMenus, EditRolesEditThePage) {
  SKIP_ON_WAYLAND(
      "each popup needs fresh user input, and a click between the menus would end the selection");
  const uint32_t w = FocusedWindow();
  // Select all, then copy: the page's text lands on the clipboard.
  Choose(w, R"([{"role":"selectall"},{"role":"copy"}])", 1);
  Choose(w, R"([{"role":"selectall"},{"role":"copy"}])", 2);
  const std::string copied = Clipboard();
  EXPECT_NE(copied.find("menu words"), std::string::npos) << copied;

  // Paste into the page's input.
  host().Command({"clipwrite", "pasted"});
  host().Eval(w, "const f = document.getElementById('field'); f.value = ''; f.focus(); 0");
  Choose(w, R"([{"role":"paste"}])", 1);
  EXPECT_EQ(host().EvalUntil(w, "document.getElementById('field').value || null"), "\"pasted\"");
  host().Close(w);
}

TEST_F(GuiMenus, PageKeepsItsEditingKeysUnderTheEditMenu) {
  const uint32_t w = FocusedWindow();
  SetMenu(w, R"([{"label":"File","submenu":[{"label":"Save","id":"save"}]}])");
  if (!OnWayland()) {
    // The Edit menu's items follow the page when it opens: with the caret
    // in the field, nothing selected and nothing typed, the keyboard skips
    // to Paste.
    host().Command({"clipwrite", "pasted"});
    host().Eval(w,
                "document.getElementById('field').focus();"
                "document.getElementById('field').setSelectionRange(0, 0); 0");
    Keys({"F10", "Right"});
    std::this_thread::sleep_for(400ms);
    Keys({"Down", "Return"});
    const char* changed =
        "document.getElementById('field').value == 'typed text' ? null : "
        "document.getElementById('field').value";
    EXPECT_EQ(host().EvalUntil(w, changed, 3s), "\"pastedtyped text\"");
    host().Eval(w, "document.getElementById('field').value = 'typed text'; 0");
  }
  host().Command({"clipwrite", "before"});
  host().Eval(w, "const f = document.getElementById('field'); f.focus(); f.select(); 0");
  Keys({"ctrl+c"});
  EXPECT_EQ(Clipboard(), "typed text");
  host().Command({"clipwrite", "+more"});
  Keys({"End", "x", "ctrl+v"});
  EXPECT_EQ(host().EvalValue(w, "document.getElementById('field').value"), "\"typed textx+more\"");
  host().Close(w);
}

TEST_F(GuiMenus, CloseRoleAsksTheRuntimeLikeTheCloseButton) {
  const uint32_t w = FocusedWindow();
  SetMenu(w, R"([{"label":"Window","submenu":[{"role":"close"},{"role":"hide"}]}])");
  const size_t mark = host().Mark();
  Keys({"ctrl+w"});
  EXPECT_TRUE(host().WaitFor({"close", W(w)}, mark));
  EXPECT_EQ(host().Command({"isvisible", W(w)}), Tokens{"1"});  // the runtime decides
  host().Close(w);
}

TEST_F(GuiMenus, AboutRoleShowsTheApplicationsName) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const uint32_t w = FocusedWindow();
  Choose(w, R"([{"role":"about"},{"role":"front"}])", 1);
  const XWindow about = session().FindWindow("About wexlor");
  ASSERT_NE(about, 0u);
  session().SendDeleteRequest(about);
  host().Close(w);
}

// The start-up menu, on a host of its own: no bar, and Ctrl+Q ends the
// application.
class GuiMenuQuit : public ::testing::Test {};

TEST_F(GuiMenuQuit, StartupMenuQuitShutsTheRuntimeDownOnce) {
  SKIP_ON_WAYLAND(kNoXInput);
  XSession session;
  ASSERT_TRUE(session.Start({}));
  Host host;
  // A missing icon file keeps the default icon without a warning.
  ASSERT_TRUE(host.Start(session, {}, {{"WEXLOR_APP_ICON", "/nonexistent/wexlor-icon.png"}}));
  size_t mark = host.Mark();
  const uint32_t w = host.CreateWindow();
  ASSERT_TRUE(host.LoadHtml(w, kPage));
  EXPECT_TRUE(host.WaitFor({"resize", W(w), "800", "600"}, mark));
  const XWindow x = host.XWindowOf(w);
  ASSERT_NE(x, 0u);
  int ox = 0, oy = 0;
  ASSERT_TRUE(session.ClientOrigin(x, &ox, &oy));
  session.Click(ox + 400, oy + 300);
  // F10 finds no bar to open.
  ASSERT_TRUE(session.Xdotool({"key", "F10"}));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(session.MappedWindowsOfType("_NET_WM_WINDOW_TYPE_DROPDOWN_MENU").empty());
  mark = host.Mark();
  session.ControlKey("q");
  EXPECT_EQ(host.WaitForExit(), "");
  EXPECT_EQ(host.EventsSince(mark, {"shutdown"}).size(), 1u);
}

}  // namespace
}  // namespace gui
