// Input reports end to end: the real host under a private X server, real
// synthetic input through XTest (xdotool), and a runtime that logs every
// handler call (input_runtime.c).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = 20s;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Decode(const std::string& token) {
  if (token == "%00") return "";
  std::string out;
  for (size_t i = 0; i < token.size(); ++i) {
    if (token[i] == '%' && i + 2 < token.size()) {
      out += static_cast<char>(std::stoi(token.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += token[i];
    }
  }
  return out;
}

// One logged handler call, split on spaces, texts decoded.
struct Report {
  std::vector<std::string> t;
  std::string line;
  const std::string& kind() const { return t[0]; }
  uint32_t window() const { return static_cast<uint32_t>(std::stoul(t.at(1))); }
  double Num(size_t i) const { return std::stod(t.at(i)); }
  int Int(size_t i) const { return std::stoi(t.at(i)); }
  bool IsInput() const {
    return kind() == "key" || kind() == "click" || kind() == "move" || kind() == "wheel" ||
           kind() == "cross";
  }
};

// A child process in its own process group.
class Process {
 public:
  ~Process() { Kill(); }
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const fs::path& out, const fs::path& err, int keepFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (keepFd >= 0) posix_spawn_file_actions_adddup2(&actions, keepFd, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }
  // Waits for the process to end; false on timeout.
  bool Wait(std::chrono::milliseconds timeout, int* status) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ > 0) {
      const pid_t r = waitpid(pid_, status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return true;
      }
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

struct WindowGeometry {
  uint32_t id = 0;
  int x = 0, y = 0, width = 0, height = 0;
};

class GuiInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("wexlor-input-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all);

    // The server writes its display number to the pipe once it is ready.
    int displayPipe[2];
    ASSERT_EQ(pipe(displayPipe), 0);
    xvfb_ = new Process;
    ASSERT_TRUE(xvfb_->Start(
        {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1600x1200x24", "-nolisten", "tcp"},
        {}, dir_ / "xvfb.out", dir_ / "xvfb.err", displayPipe[1]));
    close(displayPipe[1]);
    std::string number;
    char c;
    while (read(displayPipe[0], &c, 1) == 1 && c != '\n') number += c;
    close(displayPipe[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start: " << ReadFile(dir_ / "xvfb.err");
    display_ = ":" + number;

    logPath_ = dir_ / "input.log";
    const fs::path control = dir_ / "control";
    ASSERT_EQ(mkfifo(control.c_str(), 0600), 0);
    // Held open for writing first, so the runtime's open never waits.
    controlFd_ = open(control.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(controlFd_, 0);

    const std::vector<std::string> env = {
        "PATH=/usr/local/bin:/usr/bin:/bin",
        "HOME=" + (dir_ / "home").string(),
        "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
        "LANG=C.UTF-8",
        "DISPLAY=" + display_,
        "GDK_BACKEND=x11",
        "NO_AT_BRIDGE=1",
        "GIO_USE_VFS=local",
        "WEXLOR_APP_NAME=InputDialog",
        "WEXLOR_INPUT_LOG=" + logPath_.string(),
        "WEXLOR_INPUT_CONTROL=" + control.string(),
    };
    host_ = new Process;
    ASSERT_TRUE(host_->Start({WEXLOR_INPUT_HOST, "--runtime", WEXLOR_INPUT_RUNTIME}, env,
                             dir_ / "host.out", dir_ / "host.err"));
    ASSERT_TRUE(WaitFor([](const Report& r) { return r.kind() == "init"; }, 0))
        << ReadFile(dir_ / "host.err");

    main_ = OpenWindow(400, 300, 1100, 100, "input-main");
  }

  static void TearDownTestSuite() {
    if (host_ != nullptr) {
      Send("quit");
      int status = 0;
      const bool ended = host_->Wait(std::chrono::milliseconds(kTimeout), &status);
      EXPECT_TRUE(ended) << "the host did not quit";
      if (ended) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      }
      delete host_;
      host_ = nullptr;
    }
    const std::string log = ReadFile(logPath_);
    EXPECT_EQ(log.find("wrong-thread"), std::string::npos) << log;
    const std::string err = ReadFile(dir_ / "host.err");
    EXPECT_EQ(err.find("CRITICAL"), std::string::npos) << err;
    delete xvfb_;
    xvfb_ = nullptr;
    if (controlFd_ >= 0) close(controlFd_);
    controlFd_ = -1;
    if (!::testing::Test::HasFailure()) fs::remove_all(dir_);
  }

  static void Send(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(controlFd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  static std::vector<Report> Reports() {
    std::vector<Report> reports;
    std::istringstream in(ReadFile(logPath_));
    std::string line;
    while (std::getline(in, line)) {
      if (in.eof()) break;  // a line still being written
      Report r;
      r.line = line;
      std::istringstream words(line);
      std::string word;
      while (words >> word) r.t.push_back(Decode(word));
      if (!r.t.empty()) reports.push_back(std::move(r));
    }
    return reports;
  }

  // Index of the next report, for waits that ignore earlier ones.
  static size_t Mark() { return Reports().size(); }

  static std::optional<Report> WaitFor(const std::function<bool(const Report&)>& match,
                                       size_t since) {
    const auto deadline = Clock::now() + kTimeout;
    do {
      const auto reports = Reports();
      for (size_t i = since; i < reports.size(); ++i) {
        if (match(reports[i])) return reports[i];
      }
      std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return std::nullopt;
  }

  // Input reports since `since`, up to and including the first that
  // matches `last` (which must arrive).
  static std::vector<Report> InputUntil(size_t since,
                                        const std::function<bool(const Report&)>& last) {
    EXPECT_TRUE(WaitFor(last, since)) << "missing the closing report";
    std::vector<Report> input;
    const auto reports = Reports();
    for (size_t i = since; i < reports.size(); ++i) {
      if (!reports[i].IsInput()) continue;
      input.push_back(reports[i]);
      if (last(reports[i])) break;
    }
    return input;
  }

  static bool XdoTool(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p;
    const fs::path out = dir_ / "xdotool.out";
    if (!p.Start(argv, {"DISPLAY=" + display_}, out, dir_ / "xdotool.err")) return false;
    int status = 0;
    if (!p.Wait(std::chrono::milliseconds(kTimeout), &status)) return false;
    if (output != nullptr) *output = ReadFile(out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  static WindowGeometry OpenWindow(int width, int height, int x, int y, const std::string& title) {
    WindowGeometry g;
    const size_t since = Mark();
    Send("window " + std::to_string(width) + " " + std::to_string(height) + " " +
         std::to_string(x) + " " + std::to_string(y) + " " + title);
    auto created = WaitFor([](const Report& r) { return r.kind() == "created"; }, since);
    EXPECT_TRUE(created);
    if (!created) return g;
    g.id = created->window();
    EXPECT_TRUE(
        WaitFor([&](const Report& r) { return r.kind() == "load" && r.window() == g.id; }, since));
    // The window's client area as the X server has it (no window manager,
    // so no frame): the web view fills it.
    std::string shell;
    EXPECT_TRUE(XdoTool({"search", "--sync", "--onlyvisible", "--name", "^" + title + "$",
                         "getwindowgeometry", "--shell"},
                        &shell));
    std::istringstream lines(shell);
    std::string line;
    while (std::getline(lines, line)) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq);
      const int value = std::atoi(line.c_str() + eq + 1);
      if (key == "X") g.x = value;
      if (key == "Y") g.y = value;
      if (key == "WIDTH") g.width = value;
      if (key == "HEIGHT") g.height = value;
    }
    EXPECT_EQ(g.width, width);
    EXPECT_EQ(g.height, height);
    // The web view fills the client area below the menu bar.
    auto sized = WaitFor(
        [&](const Report& r) {
          return r.kind() == "resize" && r.window() == g.id && r.Int(2) == width;
        },
        since);
    EXPECT_TRUE(sized);
    if (sized) {
      g.y += g.height - sized->Int(3);
      g.height = sized->Int(3);
    }
    return g;
  }

  // Moves the pointer to a point of a window's content area and gives the
  // window the keyboard focus.
  static void PointInto(const WindowGeometry& w, int x, int y) {
    ASSERT_TRUE(
        XdoTool({"mousemove", std::to_string(w.x + x), std::to_string(w.y + y), "sleep", "0.1"}));
  }
  static void FocusMain() {
    PointInto(main_, 200, 150);
    ASSERT_TRUE(
        XdoTool({"search", "--onlyvisible", "--name", "^input-main$", "windowfocus", "--sync"}));
  }

  static bool IsKey(const Report& r, int up, const std::string& key) {
    return r.kind() == "key" && r.Int(2) == up && r.t.at(3) == key;
  }
  static bool IsClick(const Report& r, int up, int button) {
    return r.kind() == "click" && r.Int(2) == up && r.Int(3) == button;
  }

  static fs::path dir_;
  static fs::path logPath_;
  static std::string display_;
  static int controlFd_;
  static Process* xvfb_;
  static Process* host_;
  static WindowGeometry main_;
};

fs::path GuiInput::dir_;
fs::path GuiInput::logPath_;
std::string GuiInput::display_;
int GuiInput::controlFd_ = -1;
Process* GuiInput::xvfb_ = nullptr;
Process* GuiInput::host_ = nullptr;
WindowGeometry GuiInput::main_;

// ---------------------------------------------------------------------------
// Keyboard

TEST_F(GuiInput, ShiftedLetterPressAndRelease) {
  FocusMain();
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"keydown", "shift", "key", "a", "keyup", "shift"}));
  const auto keys = InputUntil(since, [](const Report& r) { return IsKey(r, 1, "A"); });
  ASSERT_EQ(keys.size(), 2u) << keys.back().line;  // nothing for Shift itself
  EXPECT_EQ(keys[0].window(), main_.id);
  EXPECT_EQ(keys[0].t, (std::vector<std::string>{"key", std::to_string(main_.id), "0", "A", "KeyA",
                                                 "1", "0"}));
  EXPECT_EQ(keys[1].t, (std::vector<std::string>{"key", std::to_string(main_.id), "1", "A", "KeyA",
                                                 "1", "0"}));
}

TEST_F(GuiInput, ModifierKeysAloneReportNothing) {
  FocusMain();
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"key", "shift", "key", "ctrl", "key", "alt", "key", "super", "key",
                       "Caps_Lock", "key", "Caps_Lock", "key", "b"}));
  const auto keys = InputUntil(since, [](const Report& r) { return IsKey(r, 1, "b"); });
  ASSERT_EQ(keys.size(), 2u) << keys.front().line;
  EXPECT_TRUE(IsKey(keys[0], 0, "b"));
  EXPECT_EQ(keys[0].t.at(4), "KeyB");
  EXPECT_EQ(keys[0].t.at(5), "0");
}

TEST_F(GuiInput, ModifierBitsAndControlKeepsTheLetter) {
  FocusMain();
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"key", "ctrl+a", "key", "alt+a", "key", "super+a", "key", "ctrl+shift+a"}));
  int releases = 0;
  const auto keys = InputUntil(since, [&](const Report& r) {
    return r.kind() == "key" && r.Int(2) == 1 && ++releases == 4;
  });
  std::vector<std::string> downs;
  for (const auto& k : keys) {
    if (k.Int(2) == 0) downs.push_back(k.t.at(3) + "/" + k.t.at(4) + "/" + k.t.at(5));
  }
  EXPECT_EQ(downs, (std::vector<std::string>{"a/KeyA/2", "a/KeyA/4", "a/KeyA/8", "A/KeyA/3"}));
}

TEST_F(GuiInput, NamedKeysAndCodes) {
  FocusMain();
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"key", "Return", "key", "KP_Enter", "key", "space", "key", "BackSpace",
                       "key", "Tab", "key", "Up", "key", "F5", "key", "Escape", "key", "z"}));
  const auto keys = InputUntil(since, [](const Report& r) { return IsKey(r, 1, "z"); });
  std::vector<std::string> downs;
  for (const auto& k : keys) {
    if (k.Int(2) == 0) downs.push_back(k.t.at(3) + "/" + k.t.at(4));
  }
  EXPECT_EQ(downs, (std::vector<std::string>{"Enter/Enter", "Enter/NumpadEnter", " /Space",
                                             "Backspace/Backspace", "Tab/Tab", "ArrowUp/ArrowUp",
                                             "F5/F5", "Escape/Escape", "z/KeyZ"}));
}

TEST_F(GuiInput, HeldKeyRepeatsUntilReleased) {
  FocusMain();
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"keydown", "y", "sleep", "1.2", "keyup", "y", "key", "y"}));
  int releases = 0;
  const auto keys =
      InputUntil(since, [&](const Report& r) { return IsKey(r, 1, "y") && ++releases == 2; });
  std::vector<int> repeats;  // repeat flags of the presses
  for (const auto& k : keys) {
    if (k.Int(2) == 0) {
      repeats.push_back(k.Int(6));
    } else {
      EXPECT_EQ(k.Int(6), 0) << k.line;
    }
  }
  ASSERT_GE(repeats.size(), 2u);
  // The first press and the press after the release are new; the ones in
  // between come from the held key.
  EXPECT_EQ(repeats.front(), 0);
  EXPECT_EQ(repeats.back(), 0);
  if (repeats.size() == 2) GTEST_SKIP() << "the X server did not repeat the held key";
  for (size_t i = 1; i + 1 < repeats.size(); ++i) EXPECT_EQ(repeats[i], 1) << i;
}

// ---------------------------------------------------------------------------
// Mouse buttons and coordinates

TEST_F(GuiInput, ButtonsAreNumberedPrimarySecondaryMiddle) {
  PointInto(main_, 30, 40);
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"click", "1", "sleep", "0.6", "click", "3", "sleep", "0.6", "click", "2",
                       "sleep", "0.6", "click", "8"}));
  const auto clicks = InputUntil(since, [](const Report& r) { return IsClick(r, 1, 3); });
  std::vector<std::string> seen;
  for (const auto& c : clicks) {
    if (c.kind() != "click") continue;
    seen.push_back(c.t.at(2) + "/" + c.t.at(3) + "/" + c.t.at(7));
    EXPECT_EQ(c.window(), main_.id);
    EXPECT_EQ(c.Num(4), 30);
    EXPECT_EQ(c.Num(5), 40);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"0/0/1", "1/0/1", "0/1/1", "1/1/1", "0/2/1", "1/2/1",
                                            "0/3/1", "1/3/1"}));
}

TEST_F(GuiInput, DoubleAndTripleClickEachPressReportedOnce) {
  PointInto(main_, 50, 60);
  ASSERT_TRUE(XdoTool({"sleep", "0.6"}));  // outside the last click's double-click time
  size_t since = Mark();
  ASSERT_TRUE(XdoTool({"click", "--repeat", "2", "--delay", "80", "1"}));
  int ups = 0;
  auto clicks = InputUntil(since, [&](const Report& r) { return IsClick(r, 1, 0) && ++ups == 2; });
  std::vector<std::string> seen;
  for (const auto& c : clicks) {
    if (c.kind() == "click") seen.push_back(c.t.at(2) + "/" + c.t.at(7));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"0/1", "1/1", "0/2", "1/2"}));

  ASSERT_TRUE(XdoTool({"sleep", "0.6"}));
  since = Mark();
  ASSERT_TRUE(XdoTool({"click", "--repeat", "3", "--delay", "80", "3"}));
  ups = 0;
  clicks = InputUntil(since, [&](const Report& r) { return IsClick(r, 1, 1) && ++ups == 3; });
  seen.clear();
  for (const auto& c : clicks) {
    if (c.kind() == "click") seen.push_back(c.t.at(2) + "/" + c.t.at(7));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"0/1", "1/1", "0/2", "1/2", "0/3", "1/3"}));
}

TEST_F(GuiInput, CoordinatesStartAtTheContentTopLeft) {
  PointInto(main_, 0, 0);
  size_t since = Mark();
  ASSERT_TRUE(XdoTool({"click", "1"}));
  auto up = WaitFor([](const Report& r) { return IsClick(r, 1, 0); }, since);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->Num(4), 0);
  EXPECT_EQ(up->Num(5), 0);

  ASSERT_TRUE(XdoTool({"sleep", "0.6"}));
  PointInto(main_, 7, 250);
  since = Mark();
  ASSERT_TRUE(XdoTool({"keydown", "shift", "click", "1", "keyup", "shift"}));
  up = WaitFor([](const Report& r) { return IsClick(r, 1, 0); }, since);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->Num(4), 7);
  EXPECT_EQ(up->Num(5), 250);  // y grows downward
  EXPECT_EQ(up->Int(6), 1);    // Shift
}

TEST_F(GuiInput, DragReportsMovesWithTheButtonHeld) {
  PointInto(main_, 100, 100);
  ASSERT_TRUE(XdoTool({"sleep", "0.6"}));
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"mousedown",
                       "1",
                       "mousemove_relative",
                       "20",
                       "10",
                       "sleep",
                       "0.05",
                       "mousemove_relative",
                       "20",
                       "10",
                       "sleep",
                       "0.05",
                       "mousemove",
                       "--",
                       std::to_string(main_.x - 30),
                       std::to_string(main_.y + 150),
                       "sleep",
                       "0.05",
                       "mouseup",
                       "1"}));
  const auto input = InputUntil(since, [](const Report& r) { return IsClick(r, 1, 0); });
  ASSERT_GE(input.size(), 4u);
  EXPECT_TRUE(IsClick(input.front(), 0, 0));
  std::vector<std::pair<double, double>> moves;
  for (const auto& r : input) {
    if (r.kind() == "move") moves.emplace_back(r.Num(2), r.Num(3));
  }
  EXPECT_EQ(moves, (std::vector<std::pair<double, double>>{{120, 110}, {140, 120}, {-30, 150}}));
  EXPECT_EQ(input.back().Num(4), -30);  // released outside, still this window's
}

// ---------------------------------------------------------------------------
// Wheel, motion, enter and leave

TEST_F(GuiInput, WheelNotchesAreLinesOfOne) {
  PointInto(main_, 80, 90);
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"click", "4", "click", "5", "click", "6", "keydown", "ctrl", "click", "7",
                       "keyup", "ctrl"}));
  int count = 0;
  const auto input =
      InputUntil(since, [&](const Report& r) { return r.kind() == "wheel" && ++count == 4; });
  std::vector<std::string> wheels;
  for (const auto& r : input) {
    if (r.kind() != "wheel") continue;
    wheels.push_back(r.t.at(2) + "," + r.t.at(3) + " at " + r.t.at(4) + "," + r.t.at(5) + " m" +
                     r.t.at(6) + " l" + r.t.at(7));
  }
  EXPECT_EQ(wheels, (std::vector<std::string>{"0,-1 at 80,90 m0 l1", "0,1 at 80,90 m0 l1",
                                              "-1,0 at 80,90 m0 l1", "1,0 at 80,90 m2 l1"}));
}

TEST_F(GuiInput, EnterMoveAndLeaveOfTheContentArea) {
  ASSERT_TRUE(XdoTool(
      {"mousemove", std::to_string(main_.x - 50), std::to_string(main_.y + 20), "sleep", "0.1"}));
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"mousemove", std::to_string(main_.x + 10), std::to_string(main_.y + 20),
                       "sleep", "0.1", "mousemove", std::to_string(main_.x + 15),
                       std::to_string(main_.y + 25), "sleep", "0.1", "mousemove",
                       std::to_string(main_.x - 50), std::to_string(main_.y + 25)}));
  const auto input =
      InputUntil(since, [](const Report& r) { return r.kind() == "cross" && r.Int(2) == 0; });
  ASSERT_GE(input.size(), 3u);
  EXPECT_EQ(input.front().kind(), "cross");
  EXPECT_EQ(input.front().Int(2), 1);
  EXPECT_EQ(input.front().Num(3), 10);
  EXPECT_EQ(input.front().Num(4), 20);
  bool movedInside = false;
  for (const auto& r : input) {
    if (r.kind() == "move" && r.Num(2) == 15 && r.Num(3) == 25) movedInside = true;
  }
  EXPECT_TRUE(movedInside);
  EXPECT_EQ(input.back().Num(3), -50);
  int crossings = 0;
  for (const auto& r : input) crossings += r.kind() == "cross";
  EXPECT_EQ(crossings, 2);
}

// ---------------------------------------------------------------------------
// Windows that are not the host's, and more than one window

TEST_F(GuiInput, DialogInputIsNotReported) {
  const size_t since = Mark();
  Send("dialog InputDialog");
  // Whatever happens, the dialog goes, or the runtime stays blocked in it.
  struct CloseDialog {
    ~CloseDialog() {
      XdoTool(
          {"search", "--onlyvisible", "--name", "^InputDialog$", "windowfocus", "key", "Escape"});
    }
  } closeDialog;
  std::string shell;
  ASSERT_TRUE(XdoTool({"search", "--sync", "--onlyvisible", "--name", "^InputDialog$",
                       "getwindowgeometry", "--shell"},
                      &shell));
  int x = 0, y = 0, width = 0, height = 0;
  std::istringstream lines(shell);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("X=", 0) == 0) x = std::atoi(line.c_str() + 2);
    if (line.rfind("Y=", 0) == 0) y = std::atoi(line.c_str() + 2);
    if (line.rfind("WIDTH=", 0) == 0) width = std::atoi(line.c_str() + 6);
    if (line.rfind("HEIGHT=", 0) == 0) height = std::atoi(line.c_str() + 7);
  }
  ASSERT_GT(width, 0);
  // The dialog must not overlap the main window for this to mean anything.
  ASSERT_TRUE(x + width < main_.x || y > main_.y + main_.height || y + height < main_.y) << shell;
  ASSERT_TRUE(
      XdoTool({"search", "--onlyvisible", "--name", "^InputDialog$", "windowfocus", "--sync"}));
  // Input in the dialog, then in the main window, which the modal dialog
  // keeps from its content: only the pointer's crossings are reported.
  ASSERT_TRUE(XdoTool({"mousemove",
                       std::to_string(x + 10),
                       std::to_string(y + 10),
                       "sleep",
                       "0.1",
                       "click",
                       "1",
                       "click",
                       "3",
                       "click",
                       "4",
                       "mousemove",
                       std::to_string(x + 20),
                       std::to_string(y + 12),
                       "key",
                       "q",
                       "mousemove",
                       std::to_string(main_.x + 60),
                       std::to_string(main_.y + 70),
                       "sleep",
                       "0.1",
                       "click",
                       "1",
                       "click",
                       "5",
                       "mousemove",
                       std::to_string(x + 10),
                       std::to_string(y + 10),
                       "sleep",
                       "0.1",
                       "key",
                       "Escape"}));
  ASSERT_TRUE(WaitFor([](const Report& r) { return r.kind() == "dialog"; }, since));
  const auto reports = Reports();
  for (size_t i = since; i < reports.size() && reports[i].kind() != "dialog"; ++i) {
    EXPECT_FALSE(reports[i].IsInput() && reports[i].kind() != "cross") << reports[i].line;
  }
}

TEST_F(GuiInput, SecondWindowReportsOnceWithItsOwnId) {
  static WindowGeometry second = OpenWindow(300, 200, 1100, 600, "input-second");
  ASSERT_NE(second.id, 0u);
  ASSERT_NE(second.id, main_.id);
  PointInto(second, 12, 34);
  ASSERT_TRUE(XdoTool({"sleep", "0.6"}));
  const size_t since = Mark();
  ASSERT_TRUE(XdoTool({"click", "1"}));
  const auto input = InputUntil(since, [](const Report& r) { return IsClick(r, 1, 0); });
  std::vector<std::string> clicks;
  for (const auto& r : input) {
    if (r.kind() == "click") clicks.push_back(r.line);
  }
  const std::string id = std::to_string(second.id);
  EXPECT_EQ(clicks, (std::vector<std::string>{"click " + id + " 0 0 12 34 0 1",
                                              "click " + id + " 1 0 12 34 0 1"}));
}

}  // namespace
