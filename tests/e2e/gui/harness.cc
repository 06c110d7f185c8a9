#include "harness.h"
#include "wire.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace gui {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<int64_t>(0, left));
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Tokens SplitLine(const std::string& line) {
  Tokens tokens;
  std::istringstream in(line);
  std::string token;
  while (in >> token) tokens.push_back(wire::Decode(token));
  return tokens;
}

std::string Join(const Tokens& tokens) {
  std::string text;
  for (const auto& t : tokens) text += (text.empty() ? "" : " ") + t;
  return text;
}

// Reads one line from `fd` within the deadline.
std::optional<std::string> ReadLineFrom(int fd, Clock::time_point deadline) {
  std::string line;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    const int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

// Everything the helper processes need from the test's own environment.
std::vector<std::string> InheritedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (const char* name : {"PATH", "LANG", "LC_ALL"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

}  // namespace

bool OnWayland() {
  const char* kind = std::getenv("WEXLOR_GUI_SESSION");
  return kind != nullptr && std::string(kind) == "wayland";
}

// ---------------------------------------------------------------------------
// TempDir

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "wexlor-gui-XXXXXX").string();
  if (mkdtemp(templ.data()) != nullptr) path_ = fs::canonical(templ);
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

fs::path TempDir::Write(const std::string& relative, const std::string& text) const {
  const fs::path p = path_ / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
  return p;
}

// ---------------------------------------------------------------------------
// Child

Child::~Child() { Kill(); }

bool Child::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const fs::path& cwd, const fs::path& out, const fs::path& err, int passFd) {
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string cwdText = cwd.string(), outText = out.string(), errText = err.string();
  reaped_ = false;
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    setpgid(0, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(outText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(errText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    if (passFd >= 0) {
      if (passFd == 3) {
        fcntl(3, F_SETFD, 0);
      } else if (dup2(passFd, 3) < 0) {
        _exit(126);
      }
    }
    if (chdir(cwdText.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid_ > 0;
}

bool Child::Exited(int* status) {
  if (pid_ <= 0) return true;
  if (!reaped_) {
    const pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) reaped_ = true;
  }
  if (reaped_ && status != nullptr) *status = status_;
  return reaped_;
}

bool Child::Wait(Duration timeout, int* status) {
  const auto deadline = Clock::now() + timeout;
  while (!Exited(status)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

void Child::Terminate(Duration grace) {
  if (pid_ <= 0) return;
  if (!reaped_) kill(-pid_, SIGTERM);
  Wait(grace, nullptr);
  Kill();
}

void Child::Signal(int signum) {
  if (pid_ > 0 && !reaped_) kill(pid_, signum);
}

void Child::Kill() {
  if (pid_ <= 0) return;
  // The group also holds whatever the child started (web engine helpers).
  kill(-pid_, SIGKILL);
  if (!reaped_) {
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  pid_ = -1;
}

// ---------------------------------------------------------------------------
// XSession

XSession::~XSession() { Stop(); }

namespace {

// Waits until `ready` holds for a helper process just started; fails the
// test, showing its error log, when it ends first or takes too long.
bool WaitUntilReady(Child& child, const std::function<bool()>& ready, const char* name,
                    const fs::path& errorLog) {
  const auto deadline = Clock::now() + kTimeout;
  while (!ready()) {
    int status;
    if (Clock::now() >= deadline || child.Exited(&status)) {
      ADD_FAILURE() << name << " did not start: " << ReadFile(errorLog);
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

}  // namespace

bool XSession::Start(const Options& options) {
  if (dir_.path().empty()) return false;
  const fs::path& d = dir_.path();

  // The server picks a free display itself and reports it when it is ready.
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const bool started = xvfb_.Start(
      {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
      InheritedEnvironment({}), d, d / "xvfb.out", d / "xvfb.err", pipeFds[1]);
  close(pipeFds[1]);
  const auto number = started ? ReadLineFrom(pipeFds[0], Clock::now() + kTimeout) : std::nullopt;
  close(pipeFds[0]);
  if (!number) {
    ADD_FAILURE() << "Xvfb did not start: " << ReadFile(d / "xvfb.err");
    return false;
  }
  display_ = ":" + *number;
  x_ = XOpenDisplay(display_.c_str());
  if (x_ == nullptr) {
    ADD_FAILURE() << "cannot open display " << display_;
    return false;
  }
  XSetErrorHandler(IgnoreXErrors);

  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  // A session bus that starts no services: nothing (the accessibility bus
  // above all) is launched on demand, so nothing outside the test runs.
  const fs::path busConfig = dir_.Write(
      "bus.conf",
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig><type>session</type><listen>unix:path=" +
          (d / "bus").string() +
          "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
          "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
          "<allow own=\"*\"/></policy></busconfig>\n");
  const bool busStarted =
      bus_.Start({"/usr/bin/dbus-daemon", "--config-file=" + busConfig.string(), "--nofork",
                  "--nopidfile", "--print-address=3"},
                 InheritedEnvironment({}), d, d / "bus.out", d / "bus.err", pipeFds[1]);
  close(pipeFds[1]);
  const auto address =
      busStarted ? ReadLineFrom(pipeFds[0], Clock::now() + kTimeout) : std::nullopt;
  close(pipeFds[0]);
  if (!address) {
    ADD_FAILURE() << "dbus-daemon did not start: " << ReadFile(d / "bus.err");
    return false;
  }
  busAddress_ = *address;

  // The compositor manages its windows itself.
  if (OnWayland()) return StartCompositor();
  if (options.windowManager) {
    fs::create_directories(d / "wm-home");
    if (!wm_.Start({"/usr/bin/openbox", "--sm-disable"},
                   InheritedEnvironment({"DISPLAY=" + display_, "HOME=" + (d / "wm-home").string(),
                                         "XDG_CONFIG_HOME=" + (d / "wm-home").string(),
                                         "DBUS_SESSION_BUS_ADDRESS=" + busAddress_}),
                   d, d / "wm.out", d / "wm.err")) {
      ADD_FAILURE() << "cannot start openbox";
      return false;
    }
    // The manager is ready once it has announced itself on the root window.
    if (!WaitUntilReady(
            wm_,
            [&] {
              return !LongProperty(DefaultRootWindow(x_), "_NET_SUPPORTING_WM_CHECK").empty();
            },
            "openbox", d / "wm.err")) {
      return false;
    }
  }
  return true;
}

// Weston drawing into the X server, without a window manager: headless
// Weston advertises no seat, and GTK asserts on a display without one,
// while its X11 output always brings a seat with a keyboard and a pointer.
bool XSession::StartCompositor() {
  const fs::path& d = dir_.path();
  const fs::path run = runtimeDir();
  fs::create_directories(run);
  fs::permissions(run, fs::perms::owner_all);
  waylandDisplay_ = "wexlor-wayland-" + std::to_string(getpid());
  fs::create_directories(d / "compositor-home");
  if (!compositor_.Start(
          {"/usr/bin/weston", "--backend=x11-backend.so", "--use-pixman", "--no-config",
           "--idle-time=0", "--width=1280", "--height=1024", "--socket=" + waylandDisplay_},
          InheritedEnvironment({"DISPLAY=" + display_, "HOME=" + (d / "compositor-home").string(),
                                "XDG_RUNTIME_DIR=" + run.string(),
                                "DBUS_SESSION_BUS_ADDRESS=" + busAddress_}),
          d, d / "compositor.out", d / "compositor.err")) {
    ADD_FAILURE() << "cannot start weston";
    return false;
  }
  // Ready once its output is up; the socket alone comes a little earlier.
  return WaitUntilReady(
      compositor_,
      [&] {
        return fs::exists(run / waylandDisplay_) &&
               ReadFile(d / "compositor.err").find("Output '") != std::string::npos;
      },
      "weston", d / "compositor.err");
}

void XSession::Stop() {
  if (x_ != nullptr) {
    XCloseDisplay(x_);
    x_ = nullptr;
  }
  // Politely, so the X server removes its socket.
  compositor_.Terminate(2s);
  wm_.Terminate(2s);
  bus_.Terminate(2s);
  xvfb_.Terminate(2s);
}

XWindow XSession::root() const { return x_ != nullptr ? DefaultRootWindow(x_) : 0; }

XWindow XSession::Search(XWindow w, const std::string& title, unsigned long netWmName,
                         unsigned long utf8, bool viewableOnly) {
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(x_, w, netWmName, 0, 1024, False, utf8, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    bool match = std::string(reinterpret_cast<char*>(data), count) == title;
    XFree(data);
    XWindowAttributes attributes;
    if (match && viewableOnly) {
      match = XGetWindowAttributes(x_, w, &attributes) && attributes.map_state == IsViewable;
    }
    if (match) return w;
  }
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(x_, w, &root, &parent, &children, &n)) return 0;
  Window found = 0;
  for (unsigned int i = 0; i < n && found == 0; ++i) {
    found = Search(children[i], title, netWmName, utf8, viewableOnly);
  }
  if (children != nullptr) XFree(children);
  return found;
}

XWindow XSession::FindWindow(const std::string& title, Duration timeout, bool viewableOnly) {
  if (OnWayland()) {
    ADD_FAILURE() << "an X-only test runs on Wayland: skip it with SKIP_ON_WAYLAND";
    return 0;
  }
  const Atom netWmName = XInternAtom(x_, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(x_, "UTF8_STRING", False);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (Window w = Search(DefaultRootWindow(x_), title, netWmName, utf8, viewableOnly)) return w;
    if (Clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(20ms);
  }
}

bool XSession::WaitUntilGone(const std::string& title, Duration timeout, bool viewableOnly) {
  const auto deadline = Clock::now() + timeout;
  while (FindWindow(title, 0ms, viewableOnly) != 0) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

bool XSession::ClientOrigin(Window w, int* x, int* y) {
  Window child;
  return XTranslateCoordinates(x_, w, DefaultRootWindow(x_), 0, 0, x, y, &child);
}

void XSession::Click(int x, int y) {
  XTestFakeMotionEvent(x_, -1, x, y, CurrentTime);
  XSync(x_, False);
  std::this_thread::sleep_for(50ms);
  XTestFakeButtonEvent(x_, 1, True, CurrentTime);
  XTestFakeButtonEvent(x_, 1, False, CurrentTime);
  XSync(x_, False);
}

void XSession::ControlKey(const char* key) {
  const KeyCode control = XKeysymToKeycode(x_, XK_Control_L);
  const KeyCode code = XKeysymToKeycode(x_, XStringToKeysym(key));
  XTestFakeKeyEvent(x_, control, True, CurrentTime);
  XTestFakeKeyEvent(x_, code, True, CurrentTime);
  XTestFakeKeyEvent(x_, code, False, CurrentTime);
  XTestFakeKeyEvent(x_, control, False, CurrentTime);
  XSync(x_, False);
}

void XSession::SendDeleteRequest(Window w) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = w;
  event.xclient.message_type = XInternAtom(x_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(x_, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(x_, w, False, NoEventMask, &event);
  XSync(x_, False);
}

bool XSession::Xdotool(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/xdotool"};
  argv.insert(argv.end(), args.begin(), args.end());
  const fs::path& d = dir_.path();
  Child tool;
  int status = 0;
  if (!tool.Start(argv, InheritedEnvironment({"DISPLAY=" + display_}), d, d / "xdotool.out",
                  d / "xdotool.err") ||
      !tool.Wait(kTimeout, &status)) {
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<long> XSession::LongProperty(Window w, const char* property) {
  std::vector<long> items;
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(x_, w, XInternAtom(x_, property, False), 0, 1024, False, AnyPropertyType,
                         &type, &format, &count, &after, &data) == Success &&
      data != nullptr) {
    // Xlib hands 32-bit items back as longs.
    if (format == 32)
      items.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
    XFree(data);
  }
  return items;
}

std::string XSession::StringProperty(Window w, const char* property) {
  std::string text;
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(x_, w, XInternAtom(x_, property, False), 0, 1024, False, AnyPropertyType,
                         &type, &format, &count, &after, &data) == Success &&
      data != nullptr) {
    if (format == 8) text.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return text;
}

std::vector<std::string> XSession::AtomProperty(Window w, const char* property) {
  std::vector<std::string> names;
  for (long atom : LongProperty(w, property)) {
    if (char* name = XGetAtomName(x_, static_cast<Atom>(atom))) {
      names.emplace_back(name);
      XFree(name);
    }
  }
  return names;
}

std::vector<XWindow> XSession::MappedWindowsOfType(const char* type) {
  std::vector<XWindow> found;
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(x_, DefaultRootWindow(x_), &root, &parent, &children, &n)) return found;
  for (unsigned int i = 0; i < n; ++i) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(x_, children[i], &attributes) || attributes.map_state != IsViewable) {
      continue;
    }
    const auto types = AtomProperty(children[i], "_NET_WM_WINDOW_TYPE");
    if (std::find(types.begin(), types.end(), type) != types.end()) found.push_back(children[i]);
  }
  if (children != nullptr) XFree(children);
  return found;
}

int XSession::Height(Window w) {
  XWindowAttributes attributes{};
  return XGetWindowAttributes(x_, w, &attributes) ? attributes.height : 0;
}

int XSession::Depth(Window w) {
  XWindowAttributes attributes{};
  return XGetWindowAttributes(x_, w, &attributes) ? attributes.depth : 0;
}

unsigned long XSession::Pixel(Window w, int x, int y) {
  XImage* image = XGetImage(x_, w, x, y, 1, 1, AllPlanes, ZPixmap);
  if (image == nullptr) return 0;
  const unsigned long pixel = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return pixel;
}

std::vector<unsigned long> XSession::Pixels(Window w) {
  std::vector<unsigned long> pixels;
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(x_, w, &attributes)) return pixels;
  XImage* image = XGetImage(x_, w, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
  if (image == nullptr) return pixels;
  for (int y = 0; y < attributes.height; ++y) {
    for (int x = 0; x < attributes.width; ++x) pixels.push_back(XGetPixel(image, x, y));
  }
  XDestroyImage(image);
  return pixels;
}

// ---------------------------------------------------------------------------
// HttpServer

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(const std::string& host) {
  address_ = host;
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&HttpServer::Serve, this);
  return true;
}

void HttpServer::Stop() {
  if (thread_.joinable()) {
    [[maybe_unused]] ssize_t n = write(stopPipe_[1], "x", 1);
    thread_.join();
  }
  for (int* fd : {&listenFd_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void HttpServer::Add(const std::string& path, const std::string& html, const std::string& headers) {
  std::lock_guard<std::mutex> lock(mutex_);
  pages_[path] = html;
  headers_[path] = headers;
}

void HttpServer::AddRedirect(const std::string& path, const std::string& location) {
  std::lock_guard<std::mutex> lock(mutex_);
  redirects_[path] = location;
}

std::string HttpServer::origin() const {
  return "http://" + address_ + ":" + std::to_string(port_);
}

void HttpServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        Answer(fd);
        close(fd);
      }
    }
  }
}

void HttpServer::Answer(int fd) {
  std::string request;
  const auto deadline = Clock::now() + 2s;
  while (request.find("\r\n\r\n") == std::string::npos) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(deadline)) <= 0) return;
    char buf[2048];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    request.append(buf, static_cast<size_t>(n));
  }
  std::istringstream firstLine(request.substr(0, request.find("\r\n")));
  std::string method, target;
  firstLine >> method >> target;
  target = target.substr(0, target.find('?'));
  std::string status = "200 OK", body, extra;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pages_.find(target);
    if (auto r = redirects_.find(target); r != redirects_.end()) {
      status = "302 Found";
      extra = "Location: " + r->second + "\r\n";
    } else if (it == pages_.end()) {
      status = "404 Not Found";
      body = "<!doctype html><title>missing</title>";
    } else {
      body = it->second;
      extra = headers_[target];
    }
  }
  const std::string response =
      "HTTP/1.1 " + status + "\r\n" + extra +
      "Content-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + (method == "HEAD" ? "" : body);
  size_t done = 0;
  while (done < response.size()) {
    const ssize_t n = send(fd, response.data() + done, response.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// ---------------------------------------------------------------------------
// Host

Host::~Host() {
  if (fd_ >= 0) close(fd_);
  if (listenFd_ >= 0) close(listenFd_);
}

bool Host::Start(XSession& session, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment) {
  session_ = &session;
  dir_ = std::make_unique<TempDir>();
  const fs::path& d = dir_->path();
  if (d.empty()) return false;
  cwd_ = d / "cwd";
  for (const char* sub : {"cwd", "home", "data/applications", "config", "cache", "share"}) {
    fs::create_directories(d / sub);
  }
  fs::create_directories(d / "run");
  fs::permissions(d / "run", fs::perms::owner_all);
  // Of the system's shared data only what the toolkit and the engine need
  // (content types, settings schemas, the icons of file and print dialogs);
  // no system application is seen, so no real browser can be chosen.
  for (const char* shared : {"mime", "glib-2.0", "icons"}) {
    std::error_code ignored;
    fs::create_directory_symlink(fs::path("/usr/share") / shared, d / "share" / shared, ignored);
  }

  // Every web link the host hands to the desktop lands in a log instead of
  // a browser.
  const fs::path recorder = dir_->Write(
      "recorder.sh", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + (d / "opened.log").string() + "'\n");
  fs::permissions(recorder, fs::perms::owner_all);
  dir_->Write("data/applications/wexlor-test-recorder.desktop",
              "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + recorder.string() +
                  " %u\nNoDisplay=true\nMimeType=x-scheme-handler/http;x-scheme-handler/"
                  "https;x-scheme-handler/mailto;\n");
  dir_->Write("config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/http=wexlor-test-recorder.desktop\n"
              "x-scheme-handler/https=wexlor-test-recorder.desktop\n"
              "x-scheme-handler/mailto=wexlor-test-recorder.desktop\n");

  const fs::path socketPath = d / "rt.sock";
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  if (listenFd_ < 0 ||
      bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 1) != 0) {
    ADD_FAILURE() << "cannot listen on " << socketPath << ": " << std::strerror(errno);
    return false;
  }

  std::map<std::string, std::string> env = {
      {"PATH", "/usr/local/bin:/usr/bin:/bin"},
      {"HOME", (d / "home").string()},
      {"LANG", "C.UTF-8"},
      {"DISPLAY", session.display()},
      {"GDK_BACKEND", "x11"},
      {"WAYLAND_DISPLAY", session.waylandDisplay()},
      {"DBUS_SESSION_BUS_ADDRESS", session.busAddress()},
      {"NO_AT_BRIDGE", "1"},
      {"XDG_RUNTIME_DIR", (d / "run").string()},
      {"XDG_DATA_HOME", (d / "data").string()},
      {"XDG_CONFIG_HOME", (d / "config").string()},
      {"XDG_CACHE_HOME", (d / "cache").string()},
      {"XDG_DATA_DIRS", (d / "share").string()},
      {"XDG_CONFIG_DIRS", (d / "config").string()},
      {"GIO_USE_VFS", "local"},
      // Settings the dialogs save stay in memory: no dconf service here.
      {"GSETTINGS_BACKEND", "memory"},
      // Sandboxed web processes cannot see the private data directory above.
      {"GSETTINGS_SCHEMA_DIR", "/usr/share/glib-2.0/schemas"},
      // GTK's own input method unless a test asks for another (an installed
      // ibus module would otherwise be the default).
      {"GTK_IM_MODULE", "gtk-im-context-simple"},
      {"WEXLOR_TEST_SOCKET", socketPath.string()},
  };
  if (OnWayland()) {
    // The toolkit picks Wayland by itself when only WAYLAND_DISPLAY is set.
    env.erase("DISPLAY");
    env.erase("GDK_BACKEND");
    env["XDG_RUNTIME_DIR"] = session.runtimeDir().string();
  } else {
    env.erase("WAYLAND_DISPLAY");
  }
  for (const auto& [name, value] : environment) env[name] = value;
  // Sanitizer settings of the test run apply to the host too, and so does
  // turning the web-process sandbox off.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS",
                           "WEXLOR_DISABLE_SANDBOX"}) {
    if (const char* value = std::getenv(name)) env[name] = value;
  }
  std::vector<std::string> envList;
  for (const auto& [name, value] : env) envList.push_back(name + "=" + value);

  std::vector<std::string> argv = {WEXLOR_GUI_HOST};
  if (arguments.empty()) {
    argv.insert(argv.end(), {"--runtime", WEXLOR_GUI_RUNTIME});
  } else {
    argv.insert(argv.end(), arguments.begin(), arguments.end());
  }
  if (!child_.Start(argv, envList, cwd_, d / "stdout.txt", d / "stderr.txt")) {
    ADD_FAILURE() << "cannot start the host";
    return false;
  }
  const auto deadline = Clock::now() + kTimeout;
  while (fd_ < 0) {
    pollfd p = {listenFd_, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    int status;
    if (fd_ < 0 && (child_.Exited(&status) || Clock::now() >= deadline)) {
      ADD_FAILURE() << "the runtime never connected; host stderr:\n" << StderrText();
      return false;
    }
  }
  return true;
}

std::string Host::StderrText() const { return dir_ ? ReadFile(dir_->path() / "stderr.txt") : ""; }

std::string Host::CheckedStderr() const {
  // A sandboxed web process misses two services the test session lacks (a
  // settings portal, on Wayland, and an accessibility bus); it says so once
  // on start and carries on.
  std::string checked;
  std::istringstream lines(StderrText());
  for (std::string line; std::getline(lines, line);) {
    const bool sessionLacks = line.find("(WebKitWebProcess:") != std::string::npos &&
                              (line.find("Failed to read portal settings") != std::string::npos ||
                               line.find("Can't connect to a11y bus") != std::string::npos);
    if (!sessionLacks) checked += line + "\n";
  }
  return checked;
}

std::vector<std::string> Host::OpenedUrls() const {
  std::vector<std::string> urls;
  std::istringstream in(dir_ ? ReadFile(dir_->path() / "opened.log") : "");
  for (std::string line; std::getline(in, line);) urls.push_back(line);
  return urls;
}

void Host::Sync() {
  Command({"ui", "ping"});
  Command({"ping"});
}

std::string Host::Stop() {
  if (!stopped_ && child_.running()) SendCommand({"quit"});
  return WaitForExit();
}

std::string Host::WaitForExit(Duration timeout) {
  if (stopped_) return "";
  stopped_ = true;
  std::string problems;
  int status = 0;
  if (!child_.Wait(timeout, &status)) {
    problems += "the host did not exit in time\n";
    child_.Kill();
  } else if (WIFSIGNALED(status)) {
    problems += "the host died of signal " + std::to_string(WTERMSIG(status)) + "\n";
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    problems += "the host exited with status " + std::to_string(WEXITSTATUS(status)) + "\n";
  }
  child_.Kill();  // leftovers of its group
  // Whatever the runtime said before the socket closed.
  while (fd_ >= 0 && ReadSome(Clock::now() + 500ms)) {
  }
  for (const auto& e : events_) {
    if (e.tokens[0] == "wrong-thread" || e.tokens[0] == "wrong-data" ||
        e.tokens[0] == "eval-twice" || e.tokens[0] == "permission-twice") {
      problems += "runtime reported: " + e.text + "\n";
    }
  }
  const std::string err = StderrText();
  const std::string checked = CheckedStderr();
  // The toolkit's and the engine's warnings and criticals (the engine's
  // processes share this stderr) all contain "-WARNING **" or "CRITICAL".
  for (const char* bad :
       {"CRITICAL", "-WARNING **", "Segmentation fault", "AddressSanitizer", "runtime error:"}) {
    if (checked.find(bad) != std::string::npos) {
      problems += std::string("stderr has ") + bad + "\n";
    }
  }
  if (!problems.empty()) problems += "--- host stderr ---\n" + err;
  return problems;
}

bool Host::ReadSome(Clock::time_point deadline) {
  if (fd_ < 0) return false;
  pollfd p = {fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, RemainingMs(deadline));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char buf[8192];
  const ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  buffer_.append(buf, static_cast<size_t>(n));
  size_t newline;
  while ((newline = buffer_.find('\n')) != std::string::npos) {
    TakeLine(buffer_.substr(0, newline));
    buffer_.erase(0, newline + 1);
  }
  return true;
}

void Host::TakeLine(const std::string& line) {
  if (line.rfind("R ", 0) == 0) {
    std::istringstream in(line.substr(2));
    std::string seq;
    in >> seq;
    std::string rest;
    std::getline(in, rest);
    replies_[seq] = SplitLine(rest);
  } else if (line.rfind("E ", 0) == 0) {
    Event e;
    e.tokens = SplitLine(line.substr(2));
    if (e.tokens.empty()) return;
    e.text = Join(e.tokens);
    events_.push_back(std::move(e));
  }
}

std::string Host::SendCommand(const Tokens& command) {
  const std::string seq = std::to_string(nextSeq_++);
  std::string line = seq;
  for (const auto& t : command) line += " " + wire::Encode(t);
  line += "\n";
  size_t done = 0;
  while (fd_ >= 0 && done < line.size()) {
    const ssize_t n = send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return seq;
}

Tokens Host::Reply(const std::string& seq, Duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto it = replies_.find(seq); it != replies_.end()) {
      Tokens reply = std::move(it->second);
      replies_.erase(it);
      return reply;
    }
    if (!ReadSome(deadline)) return {};
  }
}

Tokens Host::Command(const Tokens& command, Duration timeout) {
  return Reply(SendCommand(command), timeout);
}

size_t Host::Mark() {
  while (ReadSome(Clock::now())) {
  }
  return events_.size();
}

std::optional<Event> Host::WaitFor(const std::function<bool(const Event&)>& match, size_t since,
                                   Duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    for (size_t i = since; i < events_.size(); ++i) {
      if (match(events_[i])) return events_[i];
    }
    if (!ReadSome(deadline)) {
      for (size_t i = since; i < events_.size(); ++i) {
        if (match(events_[i])) return events_[i];
      }
      return std::nullopt;
    }
  }
}

namespace {
bool HasPrefix(const Event& e, const Tokens& prefix) {
  if (e.tokens.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (prefix[i] != "*" && prefix[i] != e.tokens[i]) return false;
  }
  return true;
}
}  // namespace

std::optional<Event> Host::WaitFor(const Tokens& prefix, size_t since, Duration timeout) {
  return WaitFor([&](const Event& e) { return HasPrefix(e, prefix); }, since, timeout);
}

std::vector<Event> Host::EventsSince(size_t since, const Tokens& prefix) {
  Mark();
  std::vector<Event> found;
  for (size_t i = since; i < events_.size(); ++i) {
    if (HasPrefix(events_[i], prefix)) found.push_back(events_[i]);
  }
  return found;
}

uint32_t Host::CreateWindow(std::optional<uint32_t> flags) {
  const Tokens reply = flags ? Command({"createex", std::to_string(*flags)}) : Command({"create"});
  return reply.empty() ? 0 : static_cast<uint32_t>(std::stoul(reply[0]));
}

void Host::Close(uint32_t window) { Command({"close", std::to_string(window)}); }

bool Host::NavigateAndWait(uint32_t window, const std::string& url) {
  const size_t mark = Mark();
  Command({"navigate", std::to_string(window), url});
  return WaitFor({"load", std::to_string(window)}, mark).has_value();
}

bool Host::LoadHtml(uint32_t window, const std::string& html) {
  return NavigateAndWait(window, "data:text/html," + PercentEncode(html));
}

EvalResult Host::Eval(uint32_t window, const std::string& script) {
  const Tokens reply = Command({"eval", std::to_string(window), script});
  EvalResult r;
  if (reply.size() == 3) {
    r.result = reply[0];
    r.error = reply[1];
    r.onMain = reply[2] == "main";
  } else {
    r.result = r.error = "no-reply";
  }
  return r;
}

std::string Host::EvalValue(uint32_t window, const std::string& script) {
  const EvalResult r = Eval(window, script);
  return r.error == "none" ? r.result : "error:" + r.error;
}

std::string Host::EvalUntil(uint32_t window, const std::string& script, Duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const std::string value = EvalValue(window, script);
    if (value != "none" && value != "null") return value;
    if (Clock::now() >= deadline) return "timeout";
    std::this_thread::sleep_for(25ms);
  }
}

std::string Host::UniqueTitle(uint32_t window) {
  static int counter = 0;
  const std::string title = "wexlor-gui-" + std::to_string(getpid()) + "-" +
                            std::to_string(window) + "-" + std::to_string(++counter);
  Command({"title", std::to_string(window), title});
  return title;
}

XWindow Host::XWindowOf(uint32_t window) { return session_->FindWindow(UniqueTitle(window)); }

bool Host::PointAtPage(uint32_t window) {
  Eval(window,
       "window.__pointed = false; document.onmousemove = () => { window.__pointed = true; }");
  // A grid finer than any window the tests make; the compositor's panel
  // covers the top.
  for (int y = 100; y < 1024; y += 150) {
    for (int x = 100; x < 1280; x += 150) {
      session_->Xdotool({"mousemove", std::to_string(x), std::to_string(y)});
      std::this_thread::sleep_for(30ms);
      if (EvalValue(window, "window.__pointed") == "true") return true;
    }
  }
  return false;
}

std::string Host::ContentHeight(int windowHeight) {
  if (menuBarHeight_ < 0) {
    // Measured once: a new 800 x 600 window reports its web view's size.
    const size_t mark = Mark();
    const uint32_t w = CreateWindow();
    const auto resized = WaitFor({"resize", std::to_string(w), "800"}, mark);
    menuBarHeight_ = resized ? 600 - std::stoi(resized->tokens.at(3)) : 0;
    Close(w);
  }
  return std::to_string(windowHeight - menuBarHeight_);
}

std::string PercentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// GuiTest

std::vector<std::string> XSession::ClientEnvironment() const {
  std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "NO_AT_BRIDGE=1"};
  if (OnWayland()) {
    env.push_back("WAYLAND_DISPLAY=" + waylandDisplay_);
    env.push_back("XDG_RUNTIME_DIR=" + runtimeDir().string());
  } else {
    env.push_back("DISPLAY=" + display_);
    env.push_back("GDK_BACKEND=x11");
  }
  return env;
}

std::unique_ptr<XSession> OwnHostsTest::session_;

void OwnHostsTest::SetUpTestSuite() {
  session_ = std::make_unique<XSession>();
  if (!session_->Start({})) session_.reset();
}

std::unique_ptr<XSession> GuiTest::session_;
std::unique_ptr<Host> GuiTest::host_;

void GuiTest::StartSuite(const XSession::Options& options,
                         const std::map<std::string, std::string>& hostEnvironment) {
  session_ = std::make_unique<XSession>();
  if (!session_->Start(options)) return;
  auto host = std::make_unique<Host>();
  if (!host->Start(*session_, {}, hostEnvironment)) return;
  // Closing the last window ends the application; this hidden one keeps
  // it alive while the tests close theirs.
  if (host->CreateWindow(0x08) == 0) return;
  host_ = std::move(host);
}

void GuiTest::StopSuite() {
  if (host_) {
    const std::string problems = host_->Stop();
    EXPECT_EQ(problems, "") << "the shared host did not end cleanly";
  }
  host_.reset();
  session_.reset();
}

void GuiTest::SetUp() {
  ASSERT_TRUE(host_) << "the suite's host did not start";
  // Every test starts from the default page namespace.
  ASSERT_EQ(host_->Command({"namespace", "Wexlor"}), Tokens{"ok"});
}

}  // namespace gui
