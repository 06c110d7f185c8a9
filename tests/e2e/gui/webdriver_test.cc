// WebDriver automation: Selenium drives the host through WebKitWebDriver,
// once launching the hello example the way an application's own tests
// would, once attached to a running host whose runtime opened two windows.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "harness.h"

namespace gui {
namespace {

constexpr Duration kScriptTimeout = 120s;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The driver's path, or empty when it is not installed.
std::string FindDriver() {
  std::istringstream path("/usr/local/bin:/usr/bin:/bin");
  for (std::string dir; std::getline(path, dir, ':');) {
    const fs::path candidate = fs::path(dir) / "WebKitWebDriver";
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return "";
}

// Why the test cannot run here, or "" when it can.
std::string MissingTools() {
  if (FindDriver().empty()) return "WebKitWebDriver is not installed (webkit2gtk-driver)";
  if (std::system("/usr/bin/python3 -c 'import selenium' >/dev/null 2>&1") != 0) {
    return "Selenium for /usr/bin/python3 is not installed (python3-selenium)";
  }
  return "";
}

// A TCP port nobody listens on right now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// Runs the Selenium script with `arguments` in the session's display; the
// script's output lands in dir/script.out and dir/script.err.
void RunScript(XSession& session, const TempDir& dir, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extraEnvironment) {
  std::vector<std::string> env = session.ClientEnvironment();
  env.insert(env.end(),
             {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + dir.path().string(), "LANG=C.UTF-8"});
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<std::string> argv = {"/usr/bin/python3", WEXLOR_GUI_WEBDRIVER_SCRIPT};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Child script;
  ASSERT_TRUE(
      script.Start(argv, env, dir.path(), dir.path() / "script.out", dir.path() / "script.err"));
  int status = 0;
  ASSERT_TRUE(script.Wait(kScriptTimeout, &status))
      << "the Selenium script did not finish; its output:\n"
      << Slurp(dir.path() / "script.out");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << Slurp(dir.path() / "script.out") << Slurp(dir.path() / "script.err");
}

// The driver launches the host as a browser: the application's name and
// version match the client's capabilities, the page is read, typed into and
// clicked, the runtime's answers appear, a window the runtime did not open
// is refused, and quitting the session ends the host cleanly.
TEST(GuiWebDriver, SeleniumDrivesTheHelloExample) {
  if (const std::string missing = MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
  XSession session;
  ASSERT_TRUE(session.Start({}));
  TempDir dir;
  // The driver starts this in place of a browser; it records how the host ended.
  const fs::path hostLog = dir.path() / "host.log", status = dir.path() / "host.status";
  const fs::path launcher =
      dir.Write("host.sh", "#!/bin/sh\n'" + std::string(WEXLOR_GUI_HOST) + "' \"$@\" > '" +
                               hostLog.string() + "' 2>&1\necho $? > '" + status.string() + "'\n");
  fs::permissions(launcher, fs::perms::owner_all);
  const fs::path screenshot = dir.path() / "shot.png";
  RunScript(session, dir,
            {"hello", launcher.string(), WEXLOR_GUI_HELLO_RUNTIME, screenshot.string(),
             "Hello Test", "1.2.3"},
            {"WEXLOR_APP_NAME=Hello Test", "WEXLOR_APP_VERSION=1.2.3"});

  const std::string steps = Slurp(dir.path() / "script.out");
  for (const char* step : {"ok session Hello Test 1.2.3", "ok heading Hello from Wexlor",
                           "ok greeting Hello, Selenium! Greetings from the runtime.",
                           "ok script 42", "ok new window refused", "ok screenshot", "ok quit"}) {
    EXPECT_THAT(steps, ::testing::HasSubstr(step));
  }
  const std::string png = Slurp(screenshot);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");

  // The host may still be shutting down when the driver has answered.
  for (auto deadline = std::chrono::steady_clock::now() + kTimeout;
       !fs::exists(status) && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  const std::string log = Slurp(hostLog);
  EXPECT_EQ(Slurp(status), "0\n") << log;
  EXPECT_THAT(log, ::testing::ContainsRegex("call #[0-9]+ greet"));
  EXPECT_THAT(log, ::testing::HasSubstr("close requested"));
  EXPECT_THAT(log, ::testing::HasSubstr("shutdown requested"));
  EXPECT_THAT(log, ::testing::HasSubstr("runtime thread finished"));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("CRITICAL")));
}

// A driver attached to a running host sees each runtime window as a window
// handle and can switch between them, but cannot open another; closing a
// window only asks the runtime, and the end of the session ends the host
// even though the runtime kept its windows open.
TEST(GuiWebDriver, RuntimeWindowsAreTheSessionsWindows) {
  if (const std::string missing = MissingTools(); !missing.empty()) GTEST_SKIP() << missing;
  XSession session;
  ASSERT_TRUE(session.Start({}));
  const int inspectorPort = FreePort(), driverPort = FreePort();
  ASSERT_GT(inspectorPort, 0);
  Host host;
  ASSERT_TRUE(
      host.Start(session, {},
                 {{"WEXLOR_AUTOMATION", "1"},
                  {"WEBKIT_INSPECTOR_SERVER", "127.0.0.1:" + std::to_string(inspectorPort)}}));
  const uint32_t one = host.CreateWindow(), two = host.CreateWindow();
  ASSERT_TRUE(host.LoadHtml(one, "<title>one</title><h1>first</h1>")) << host.StderrText();
  ASSERT_TRUE(host.LoadHtml(two, "<title>two</title><h1>second</h1>"));

  TempDir dir;
  Child driver;
  ASSERT_TRUE(driver.Start({FindDriver(), "--port=" + std::to_string(driverPort),
                            "--target=127.0.0.1:" + std::to_string(inspectorPort)},
                           {"PATH=/usr/bin:/bin"}, dir.path(), dir.path() / "driver.out",
                           dir.path() / "driver.err"));
  const size_t mark = host.Mark();
  RunScript(session, dir, {"windows", "http://127.0.0.1:" + std::to_string(driverPort), "wexlor"},
            {});
  const std::string steps = Slurp(dir.path() / "script.out");
  EXPECT_THAT(steps, ::testing::HasSubstr("ok windows first second"));
  EXPECT_THAT(steps, ::testing::HasSubstr("ok new window refused"));
  EXPECT_THAT(steps, ::testing::HasSubstr("ok closed second"));
  // The client's close reached the runtime as a close request, which it
  // did not grant; the end of the session still ended the host.
  EXPECT_TRUE(host.WaitFor({"close", std::to_string(two)}, mark))
      << steps << Slurp(dir.path() / "driver.err") << host.StderrText();
  EXPECT_TRUE(host.EventsSince(mark, {"close", std::to_string(one)}).empty());
  EXPECT_EQ(host.WaitForExit(), "");
  driver.Terminate(5s);
}

}  // namespace
}  // namespace gui
