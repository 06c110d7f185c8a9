// Test harness for the graphical host: a private X server (optionally with
// a window manager, or a Wayland compositor drawing into it) and session bus, the host process
// running the test runtime, the line protocol to that runtime, X helpers for real input and window
// properties, and a small HTTP server for pages with a web origin.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Xlib's own headers define macros that clash with the test framework's.
struct _XDisplay;

namespace gui {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

// Generous: WebKit starts its helper processes on first use, and CI
// machines are small.
constexpr Duration kTimeout = 20s;

using Tokens = std::vector<std::string>;
// An X window id (Xlib's Window).
using XWindow = unsigned long;

// True when the suites run under a Wayland compositor (WEXLOR_GUI_SESSION is
// "wayland"): the host then gets WAYLAND_DISPLAY and no DISPLAY.
bool OnWayland();

// Ends a test that needs X11 itself (window positions, X input, X window
// properties); `limit` names what Wayland does not allow.
#define SKIP_ON_WAYLAND(limit) \
  if (::gui::OnWayland()) GTEST_SKIP() << "Wayland: " << (limit)

// What Wayland does not allow, for SKIP_ON_WAYLAND.
inline constexpr const char* kNoPositions = "clients can neither read nor set window positions";
inline constexpr const char* kNoXWindows =
    "the host's windows are Wayland surfaces without X window properties";
inline constexpr const char* kNoXInput = "X input (XTest, xdotool) cannot target a Wayland surface";
inline constexpr const char* kNoStacking = "clients cannot keep a window above others";
inline constexpr const char* kNoRaise =
    "a client cannot raise or focus its own window; the compositor decides";

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  // Writes `text` to `relative` (directories made as needed) and returns
  // the full path.
  fs::path Write(const std::string& relative, const std::string& text) const;

 private:
  fs::path path_;
};

// A child process in its own process group, with stdin from /dev/null and
// stdout and stderr sent to files.
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const fs::path& cwd, const fs::path& out, const fs::path& err, int passFd = -1);
  bool running() const { return pid_ > 0 && !reaped_; }
  pid_t pid() const { return pid_; }
  // Waits for the process to end; false on timeout. `status` as waitpid's.
  bool Wait(Duration timeout, int* status);
  // Checks without blocking whether the process has ended.
  bool Exited(int* status);
  // Kills the whole process group and reaps the leader.
  void Kill();
  // Asks the group to end, and kills it after `grace`.
  void Terminate(Duration grace);
  // Sends `signum` to the child alone.
  void Signal(int signum);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// A private X server with an optional window manager, plus a private
// session bus. Also opens its own X connection for the X helpers. On
// Wayland a compositor runs as the X server's only client and hosts the
// host's windows; the X helpers then see none of them.
class XSession {
 public:
  struct Options {
    bool windowManager = false;
  };
  ~XSession();
  bool Start(const Options& options);
  void Stop();

  const std::string& display() const { return display_; }
  const std::string& busAddress() const { return busAddress_; }
  // The compositor's socket name and runtime directory (Wayland only).
  const std::string& waylandDisplay() const { return waylandDisplay_; }
  // NAME=value entries a program of this session needs besides its own:
  // the display (X11 or Wayland), the session bus, no accessibility bus.
  std::vector<std::string> ClientEnvironment() const;
  fs::path runtimeDir() const { return dir_.path() / "run"; }
  XWindow root() const;

  // The top-level client window whose _NET_WM_NAME is `title`, or 0;
  // with `viewableOnly`, only a window that is mapped and shown.
  XWindow FindWindow(const std::string& title, Duration timeout = kTimeout,
                     bool viewableOnly = false);
  // Waits until no window (or no shown window) has that title; false on
  // timeout.
  bool WaitUntilGone(const std::string& title, Duration timeout = kTimeout,
                     bool viewableOnly = false);
  // Root coordinates of the window's client area.
  bool ClientOrigin(XWindow w, int* x, int* y);
  // A real left click at root coordinates.
  void Click(int x, int y);
  // Presses and releases `key` (an X keysym name) with Control held.
  void ControlKey(const char* key);
  // Asks the window to close, as a window manager's close button does.
  void SendDeleteRequest(XWindow w);
  // Runs xdotool on this display with `args`; false unless it succeeded.
  bool Xdotool(const std::vector<std::string>& args);
  // The atom names held by an ATOM-list property.
  std::vector<std::string> AtomProperty(XWindow w, const char* property);
  // The text of an 8-bit property (STRING or UTF8_STRING); empty when absent.
  std::string StringProperty(XWindow w, const char* property);
  // The 32-bit items of a property of any 32-bit type; empty when absent.
  std::vector<long> LongProperty(XWindow w, const char* property);
  // Mapped top-level windows whose _NET_WM_WINDOW_TYPE holds `type`.
  std::vector<XWindow> MappedWindowsOfType(const char* type);
  int Depth(XWindow w);
  int Height(XWindow w);
  // The raw pixel value at window coordinates (with alpha on 32-bit windows).
  unsigned long Pixel(XWindow w, int x, int y);
  // Every pixel of the window, row by row; empty when it cannot be read.
  std::vector<unsigned long> Pixels(XWindow w);

 private:
  XWindow Search(XWindow w, const std::string& title, unsigned long netWmName, unsigned long utf8,
                 bool viewableOnly);

  TempDir dir_;
  bool StartCompositor();

  Child xvfb_, bus_, wm_, compositor_;
  std::string display_;
  std::string waylandDisplay_;
  std::string busAddress_;
  _XDisplay* x_ = nullptr;
};

// A few static pages served over HTTP on 127.0.0.1, from a thread.
class HttpServer {
 public:
  ~HttpServer();
  // Listens on `address`, a loopback address (127.0.0.2 is another origin).
  bool Start(const std::string& address = "127.0.0.1");
  void Stop();
  // `headers`: extra response header lines, each ending in "\r\n".
  void Add(const std::string& path, const std::string& html, const std::string& headers = "");
  // Answers `path` with a redirect to `location`.
  void AddRedirect(const std::string& path, const std::string& location);
  int port() const { return port_; }
  // "http://<address>:<port>"
  std::string origin() const;

 private:
  void Serve();
  void Answer(int fd);

  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::string address_;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> pages_;
  std::map<std::string, std::string> redirects_;
  std::map<std::string, std::string> headers_;
};

// One report from the runtime: "E <name> <token>...".
struct Event {
  Tokens tokens;
  std::string text;  // the tokens joined with spaces, for messages
};

struct EvalResult {
  std::string result;  // typed text of the result, "none" when absent
  std::string error;   // typed text of the error, "none" when absent
  bool onMain = false;
};

// The host process running the test runtime, and the socket to it.
class Host {
 public:
  ~Host();
  // Starts the host in a fresh working directory (see cwd()) and waits for
  // the runtime to connect. `arguments` replace the default command line,
  // which names the test runtime with --runtime; `environment` adds to or
  // overrides the host's environment.
  bool Start(XSession& session, const std::vector<std::string>& arguments = {},
             const std::map<std::string, std::string>& environment = {});
  // Asks the runtime to quit, waits for the host to end and checks that it
  // ended cleanly; returns a description of every problem ("" when none).
  std::string Stop();
  // Waits for the host to end by itself; then like Stop.
  std::string WaitForExit(Duration timeout = kTimeout);
  // Sends `signum` to the host process (not to its engine helpers).
  void Signal(int signum) { child_.Signal(signum); }

  const fs::path& cwd() const { return cwd_; }
  pid_t pid() const { return child_.pid(); }
  std::string StderrText() const;
  // The same without the lines the test session itself causes (services a
  // sandboxed web process finds missing); what the warning checks read.
  std::string CheckedStderr() const;
  // The URLs the host handed to the desktop's default handler, in order.
  std::vector<std::string> OpenedUrls() const;
  // Returns once the runtime thread and the main thread have worked off
  // everything queued before.
  void Sync();

  // Sends a command and returns the reply tokens; empty on timeout.
  Tokens Command(const Tokens& command, Duration timeout = kTimeout);
  // Sends a command without waiting; returns its sequence number.
  std::string SendCommand(const Tokens& command);
  Tokens Reply(const std::string& seq, Duration timeout = kTimeout);

  // Index of the next event, for waits that ignore earlier events.
  size_t Mark();
  // The first event at index >= since whose leading tokens equal `prefix`;
  // "*" in `prefix` matches any token.
  std::optional<Event> WaitFor(const Tokens& prefix, size_t since, Duration timeout = kTimeout);
  std::optional<Event> WaitFor(const std::function<bool(const Event&)>& match, size_t since,
                               Duration timeout = kTimeout);
  // Events at index >= since matching `prefix`, after letting pending input in.
  std::vector<Event> EventsSince(size_t since, const Tokens& prefix = {});

  // Table conveniences.
  uint32_t CreateWindow(std::optional<uint32_t> flags = std::nullopt);
  void Close(uint32_t window);
  // Navigates and waits for the page-load event.
  bool NavigateAndWait(uint32_t window, const std::string& url);
  // Loads HTML through a data:text/html URL and waits for the page-load event.
  bool LoadHtml(uint32_t window, const std::string& html);
  EvalResult Eval(uint32_t window, const std::string& script);
  // The result's typed text, or "error:<error>" when the script threw.
  std::string EvalValue(uint32_t window, const std::string& script);
  // Evaluates until the result is neither undefined nor null.
  std::string EvalUntil(uint32_t window, const std::string& script, Duration timeout = kTimeout);
  // Gives the window a unique title and returns it.
  std::string UniqueTitle(uint32_t window);
  // Gives the window a unique title and finds its X window.
  XWindow XWindowOf(uint32_t window);
  // Moves the pointer over the window's page, searching the screen with
  // real motion (on Wayland the compositor places windows where it likes);
  // false when no point reaches the page. Replaces the page's mousemove
  // handler.
  bool PointAtPage(uint32_t window);
  // The web view's height in a new window of `windowHeight`: a menu bar,
  // shown once the runtime has set an application menu, takes its height
  // from the window's client area. Measured once.
  std::string ContentHeight(int windowHeight);

 private:
  bool ReadSome(std::chrono::steady_clock::time_point deadline);
  void TakeLine(const std::string& line);

  XSession* session_ = nullptr;
  std::unique_ptr<TempDir> dir_;
  fs::path cwd_;
  Child child_;
  int listenFd_ = -1;
  int fd_ = -1;
  std::string buffer_;
  uint64_t nextSeq_ = 1;
  std::map<std::string, Tokens> replies_;
  std::vector<Event> events_;
  bool stopped_ = false;
  int menuBarHeight_ = -1;
};

// Percent-encodes text for a data:text/html URL.
std::string PercentEncode(const std::string& text);

// Base of suites whose tests start the hosts they need: one X session for
// the whole suite, without a window manager.
class OwnHostsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite() { session_.reset(); }
  void SetUp() override { ASSERT_TRUE(session_); }

  static std::unique_ptr<XSession> session_;
};

// Base of the GUI suites: one X session and one host for the whole suite.
// A suite's SetUpTestSuite calls StartSuite, its TearDownTestSuite calls
// StopSuite, which fails the suite when the host did not end cleanly.
class GuiTest : public ::testing::Test {
 protected:
  static void StartSuite(const XSession::Options& options = {},
                         const std::map<std::string, std::string>& hostEnvironment = {});
  static void StopSuite();
  static XSession& session() { return *session_; }
  static Host& host() { return *host_; }

  void SetUp() override;

  static std::unique_ptr<XSession> session_;
  static std::unique_ptr<Host> host_;
};

}  // namespace gui
