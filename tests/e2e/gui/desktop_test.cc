// Dialogs and the clipboard through the table: real dialogs answered with
// real key presses under a window manager, and the real CLIPBOARD selection.
#include <atomic>

// The test framework first: Xlib's macros (None, Bool, …) clash with it.
#include "harness.h"
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
// clang-format on

namespace gui {
namespace {

class GuiDesktop : public GuiTest {
 protected:
  static void SetUpTestSuite() { StartSuite({.windowManager = true}); }
  static void TearDownTestSuite() { StopSuite(); }

  // Opens a dialog from another thread of the runtime, waits for it, gives
  // it the focus and presses `keys` (xdotool key names, one press each);
  // returns the entry's reply: result, then "null" or "text" and the text.
  Tokens Answer(const std::string& kind, const std::string& defaultText,
                const std::vector<std::string>& keys) {
    const std::string seq =
        host().SendCommand({"bg", "dialog", kind, "Question", "Details here", defaultText});
    if (OnWayland()) {
      // No window list to watch: the compositor gives the new dialog the
      // keyboard once it is mapped, so the keys go again until it answers
      // (each sequence gives the same answer when repeated).
      for (int attempt = 0; attempt < 8; ++attempt) {
        std::this_thread::sleep_for(500ms);
        for (const auto& key : keys) EXPECT_TRUE(session().Xdotool({"key", "--delay", "50", key}));
        if (Tokens reply = host().Reply(seq, 2s); !reply.empty()) return reply;
      }
      return {};
    }
    // Its title is the application's name, the executable's.
    const XWindow dialog = session().FindWindow("wexlor", kTimeout, true);
    EXPECT_NE(dialog, 0u) << "no dialog appeared";
    if (dialog == 0) return {};
    EXPECT_TRUE(session().Xdotool({"windowactivate", "--sync", std::to_string(dialog)}));
    for (const auto& key : keys) EXPECT_TRUE(session().Xdotool({"key", "--delay", "50", key}));
    const Tokens reply = host().Reply(seq);
    EXPECT_TRUE(session().WaitUntilGone("wexlor", kTimeout, true));
    return reply;
  }
};

TEST_F(GuiDesktop, PromptAnswers) {
  // Enter confirms with the default text unchanged.
  EXPECT_EQ(Answer("2", "abc", {"Return"}), (Tokens{"1", "text", "abc"}));
  // An emptied field confirms with empty text, not with none.
  EXPECT_EQ(Answer("2", "abc", {"ctrl+a", "BackSpace", "Return"}), (Tokens{"1", "text", ""}));
  // Typed text replaces the selected default.
  EXPECT_EQ(Answer("2", "abc", {"ctrl+a", "x", "y", "Return"}), (Tokens{"1", "text", "xy"}));
  // Escape cancels: 0 and no text.
  EXPECT_EQ(Answer("2", "abc", {"Escape"}), (Tokens{"0", "null"}));
}

TEST_F(GuiDesktop, ConfirmAndMessageGiveNoText) {
  EXPECT_EQ(Answer("1", "ignored", {"Return"}), (Tokens{"1", "null"}));
  EXPECT_EQ(Answer("1", "", {"Escape"}), (Tokens{"0", "null"}));
  EXPECT_EQ(Answer("0", "", {"Return"}), (Tokens{"1", "null"}));
  // An unknown kind is a message.
  EXPECT_EQ(Answer("9", "", {"Return"}), (Tokens{"1", "null"}));
}

TEST_F(GuiDesktop, ClipboardRoundTripKeepsNonAsciiText) {
  const std::string text =
      "Gr\xc3\xbc\xc3\x9f"
      "e \xe2\x9c\x93 \xf0\x9f\x8c\x8d tab\there";
  host().Command({"clipwrite", text});
  EXPECT_EQ(host().Command({"clipread"}), (Tokens{"text", text}));
  // From the main thread too, where the read runs in place.
  EXPECT_EQ(host().Command({"ui", "clipread"}), (Tokens{"text", text}));
  // Text that is not UTF-8 empties the clipboard instead.
  host().Command({"clipwrite", "bad\xff"});
  EXPECT_EQ(host().Command({"clipread"}), (Tokens{"text", ""}));
}

// Another X client owning the clipboard with an image and nothing else.
class ImageClipboardOwner {
 public:
  explicit ImageClipboardOwner(const std::string& display) {
    x_ = XOpenDisplay(display.c_str());
    if (x_ == nullptr) return;
    window_ = XCreateSimpleWindow(x_, DefaultRootWindow(x_), 0, 0, 1, 1, 0, 0, 0);
    clipboard_ = XInternAtom(x_, "CLIPBOARD", False);
    targets_ = XInternAtom(x_, "TARGETS", False);
    png_ = XInternAtom(x_, "image/png", False);
    XSetSelectionOwner(x_, clipboard_, window_, CurrentTime);
    XSync(x_, False);
    owned_ = XGetSelectionOwner(x_, clipboard_) == window_;
    thread_ = std::thread([this] { Serve(); });
  }
  ~ImageClipboardOwner() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (x_ != nullptr) XCloseDisplay(x_);
  }
  bool owned() const { return owned_; }

 private:
  void Serve() {
    while (!stop_) {
      while (XPending(x_) > 0) {
        XEvent e;
        XNextEvent(x_, &e);
        if (e.type == SelectionRequest) Answer(e.xselectionrequest);
      }
      std::this_thread::sleep_for(5ms);
    }
  }
  void Answer(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;  // refused unless served below
    const Atom property = request.property != None ? request.property : request.target;
    if (request.target == targets_) {
      const Atom offered[] = {targets_, png_};
      XChangeProperty(x_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered), 2);
      reply.property = property;
    } else if (request.target == png_) {
      static const unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
      XChangeProperty(x_, request.requestor, property, png_, 8, PropModeReplace, kSignature,
                      sizeof kSignature);
      reply.property = property;
    }
    XSendEvent(x_, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(x_);
  }

  Display* x_ = nullptr;
  Window window_ = 0;
  Atom clipboard_ = 0, targets_ = 0, png_ = 0;
  bool owned_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(GuiDesktop, ClipboardHoldingOnlyAnImageReadsAsNull) {
  SKIP_ON_WAYLAND(
      "the other clipboard owner here is an X client, and the compositor offers a client the "
      "clipboard only while it has the keyboard focus");
  host().Command({"clipwrite", "before"});
  ImageClipboardOwner owner(session().display());
  ASSERT_TRUE(owner.owned());
  EXPECT_EQ(host().Command({"clipread"}), Tokens{"null"});
  EXPECT_EQ(host().Command({"ui", "clipread"}), Tokens{"null"});
}

}  // namespace
}  // namespace gui
