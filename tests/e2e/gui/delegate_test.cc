// What the host decides for the page under a window manager: new-window
// requests, the page's alert, confirm and prompt dialogs driven with real
// keys, the close button, and page-load reports.
#include <algorithm>
#include <csignal>
#include <cstring>

#include "harness.h"

namespace gui {
namespace {

std::string W(uint32_t window) { return std::to_string(window); }

class GuiDelegates : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<HttpServer>();
    if (!server_->Start()) return;
    server_->Add("/page.html", "<!doctype html><title>page</title><p>page</p>");
    server_->Add("/framed.html",
                 "<!doctype html><title>framed</title><iframe src='/inner.html'></iframe>"
                 "<iframe src='/missing.html'></iframe>");
    server_->Add("/inner.html", "<!doctype html><title>inner</title><p>inner</p>");
    StartSuite({.windowManager = true});
    if (host_) window_ = host_->CreateWindow();
  }
  static void TearDownTestSuite() {
    StopSuite();
    server_.reset();
  }

  void SetUp() override {
    GuiTest::SetUp();
    ASSERT_TRUE(host().NavigateAndWait(window_, server_->origin() + "/page.html"));
  }

  // The top-level windows the window manager knows.
  std::vector<long> Clients() {
    return session().LongProperty(session().root(), "_NET_CLIENT_LIST");
  }

  // The dialog window the window manager manages, or 0.
  XWindow Dialog() {
    for (long w : Clients()) {
      if (session().AtomProperty(static_cast<XWindow>(w), "_NET_WM_WINDOW_TYPE") ==
          std::vector<std::string>{"_NET_WM_WINDOW_TYPE_DIALOG"}) {
        return static_cast<XWindow>(w);
      }
    }
    return 0;
  }

  // Waits until a dialog is shown and has the keyboard.
  XWindow WaitForActiveDialog() {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const XWindow d = Dialog();
      const auto active = session().LongProperty(session().root(), "_NET_ACTIVE_WINDOW");
      if (d != 0 && active.size() == 1 && static_cast<XWindow>(active[0]) == d) return d;
      std::this_thread::sleep_for(20ms);
    }
    return 0;
  }

  // Runs `script`, which opens a dialog; answers it with the xdotool
  // `steps` and returns the script's result.
  std::string Answer(const std::string& script,
                     const std::vector<std::vector<std::string>>& steps) {
    const std::string seq = host().SendCommand({"eval", W(window_), script});
    if (OnWayland()) {
      // No window list to watch: the compositor gives the new dialog the
      // keyboard once it is mapped, so the steps go again until it answers
      // (after Ctrl+A, text typed again replaces the first attempt's).
      Tokens reply;
      for (int attempt = 0; attempt < 8 && reply.empty(); ++attempt) {
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(session().Xdotool({"key", "ctrl+a"}));
        for (const auto& step : steps) EXPECT_TRUE(session().Xdotool(step));
        reply = host().Reply(seq, 2s);
      }
      if (reply.size() != 3) return "no-reply";
      return reply[1] == "none" ? reply[0] : "error:" + reply[1];
    }
    const XWindow dialog = WaitForActiveDialog();
    EXPECT_NE(dialog, 0u) << "no dialog for " << script;
    // Let the dialog settle before typing into it.
    std::this_thread::sleep_for(100ms);
    for (const auto& step : steps) EXPECT_TRUE(session().Xdotool(step));
    const Tokens reply = host().Reply(seq);
    // The next dialog must not be mistaken for this one.
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (Dialog() != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    if (reply.size() != 3) return "no-reply";
    return reply[1] == "none" ? reply[0] : "error:" + reply[1];
  }

  static std::unique_ptr<HttpServer> server_;
  static uint32_t window_;
};

std::unique_ptr<HttpServer> GuiDelegates::server_;
uint32_t GuiDelegates::window_ = 0;

const std::vector<std::string> kOk = {"key", "Return"};
const std::vector<std::string> kCancel = {"key", "Escape"};

TEST_F(GuiDelegates, NewWindowRequestsNeverMakeWindows) {
  const size_t mark = host().Mark();
  const size_t openedBefore = host().OpenedUrls().size();
  const auto clientsBefore = Clients();
  EXPECT_EQ(host().EvalValue(window_, "String(window.open('https://example.invalid/new'))"),
            "\"null\"");
  EXPECT_EQ(host().EvalValue(window_, "String(window.open('app://test/new', '_blank'))"),
            "\"null\"");
  EXPECT_EQ(host().EvalValue(window_, "String(window.open('about:blank'))"), "\"null\"");
  // Web pages go to the desktop's browser, once; the rest goes nowhere.
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (host().OpenedUrls().size() == openedBefore &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(300ms);
  host().Sync();
  auto opened = host().OpenedUrls();
  opened.erase(opened.begin(), opened.begin() + std::min(openedBefore, opened.size()));
  EXPECT_EQ(opened, std::vector<std::string>{"https://example.invalid/new"});
  EXPECT_EQ(Clients(), clientsBefore);
  EXPECT_TRUE(host().EventsSince(mark, {"load"}).empty());
  EXPECT_EQ(host().EvalValue(window_, "location.pathname"), "\"/page.html\"");
}

TEST_F(GuiDelegates, AlertWaitsUntilDismissed) {
  EXPECT_EQ(Answer("alert('hello'); 'after ok'", {kOk}), "\"after ok\"");
  EXPECT_EQ(Answer("alert('hello'); 'after escape'", {kCancel}), "\"after escape\"");
}

TEST_F(GuiDelegates, ConfirmIsTrueOnlyForOk) {
  EXPECT_EQ(Answer("confirm('sure?')", {kOk}), "true");
  EXPECT_EQ(Answer("confirm('sure?')", {kCancel}), "false");
}

TEST_F(GuiDelegates, PromptGivesTheFieldTextOnlyForOk) {
  EXPECT_EQ(Answer("prompt('name?', 'preset')", {kOk}), "\"preset\"");
  EXPECT_EQ(Answer("String(prompt('name?', 'preset'))", {kCancel}), "\"null\"");
  // Without default text the field starts empty.
  EXPECT_EQ(Answer("prompt('name?')", {kOk}), "\"\"");
  EXPECT_EQ(Answer("prompt('name?')", {{"type", "--delay", "30", "typed words"}, kOk}),
            "\"typed words\"");
  EXPECT_EQ(Answer("String(prompt('name?'))", {{"type", "--delay", "30", "dropped"}, kCancel}),
            "\"null\"");
}

TEST_F(GuiDelegates, CloseButtonOnlyAsksTheRuntime) {
  SKIP_ON_WAYLAND(kNoXInput);
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(w, "<p>still here</p>"));
  const std::string title = host().UniqueTitle(w);
  const XWindow x = session().FindWindow(title);
  ASSERT_NE(x, 0u);
  // The close button sits at the right end of the title bar.
  std::vector<long> extents;
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (extents.size() < 4 && std::chrono::steady_clock::now() < deadline) {
    extents = session().LongProperty(x, "_NET_FRAME_EXTENTS");
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(extents.size(), 4u);
  int cx = 0, cy = 0;
  ASSERT_TRUE(session().ClientOrigin(x, &cx, &cy));
  const Tokens size = host().Command({"getsize", W(w)});
  ASSERT_EQ(size.size(), 2u);
  const size_t mark = host().Mark();
  session().Click(cx + std::stoi(size[0]) + static_cast<int>(extents[1]) - 12,
                  cy - static_cast<int>(extents[2]) / 2);
  ASSERT_TRUE(host().WaitFor({"close", W(w)}, mark));

  std::this_thread::sleep_for(300ms);
  host().Sync();
  EXPECT_EQ(host().EventsSince(mark, {"close"}).size(), 1u);
  EXPECT_EQ(host().Command({"isvisible", W(w)}), Tokens{"1"});
  EXPECT_EQ(session().FindWindow(title, 0ms), x);
  EXPECT_EQ(host().EvalValue(w, "document.body.textContent"), "\"still here\"");
  host().Close(w);
  EXPECT_TRUE(session().WaitUntilGone(title));
}

// Quit and the termination signals end the application whatever dialog is
// open: the dialog ends as if cancelled, the runtime is shut down and the
// host exits normally. Each case runs its own host.
TEST_F(GuiDelegates, EveryEndingClosesOpenDialogs) {
  SKIP_ON_WAYLAND(kNoXWindows);
  struct Case {
    const char* dialog;
    int signum;  // 0: the runtime's Quit
  };
  for (const Case c : {Case{"host", 0}, Case{"host", SIGHUP}, Case{"alert", SIGTERM},
                       Case{"prompt", 0}, Case{"file", SIGINT}, Case{"print", 0}}) {
    SCOPED_TRACE(std::string(c.dialog) + " ended by " + (c.signum ? strsignal(c.signum) : "Quit"));
    ASSERT_EQ(Dialog(), 0u);
    Host h;
    ASSERT_TRUE(h.Start(session()));
    const uint32_t w = h.CreateWindow();
    ASSERT_TRUE(h.LoadHtml(w,
                           "<!doctype html><body style='margin:0'><input type=file "
                           "style='width:100vw;height:100vh'>"));
    std::string seq;
    const std::string kind = c.dialog;
    if (kind == "host") {
      seq = h.SendCommand({"bg", "dialog", "2", "Question", "Details", "typed"});
    } else if (kind == "alert") {
      h.SendCommand({"eval", W(w), "alert('hello')"});
    } else if (kind == "prompt") {
      h.SendCommand({"eval", W(w), "prompt('name?', 'x')"});
    } else if (kind == "print") {
      h.SendCommand({"eval", W(w), "print()"});
    } else {
      int x = 0, y = 0;
      ASSERT_TRUE(session().ClientOrigin(h.XWindowOf(w), &x, &y));
      session().Click(x + 100, y + 100);
    }
    EXPECT_NE(WaitForActiveDialog(), 0u) << "no dialog appeared";
    const size_t mark = h.Mark();
    if (c.signum != 0) {
      h.Signal(c.signum);
    } else {
      h.SendCommand({"quit"});
    }
    if (!seq.empty()) {
      EXPECT_EQ(h.Reply(seq), (Tokens{"0", "null"}));
    }
    EXPECT_TRUE(h.WaitFor({"shutdown"}, mark).has_value());
    EXPECT_EQ(h.WaitForExit(), "");
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (Dialog() != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
  }
}

TEST_F(GuiDelegates, OnePageLoadPerNavigation) {
  const size_t mark = host().Mark();
  // Frames, one of them failing, are part of their page's load.
  ASSERT_TRUE(host().NavigateAndWait(window_, server_->origin() + "/framed.html"));
  EXPECT_EQ(host().EvalUntil(window_, "document.querySelector('iframe').contentDocument.title"),
            "\"inner\"");
  // A navigation the page starts itself, and one within the document.
  host().Eval(window_, "location.hash = '#part'");
  const size_t second = host().Mark();
  host().Eval(window_, "location.href = '/page.html'");
  ASSERT_TRUE(host().WaitFor({"load", W(window_)}, second));
  EXPECT_EQ(host().EvalValue(window_, "location.pathname"), "\"/page.html\"");
  std::this_thread::sleep_for(300ms);
  host().Sync();
  EXPECT_EQ(host().EventsSince(mark, {"load", W(window_)}).size(), 2u);
}

}  // namespace
}  // namespace gui
