// The Rust example runtime: the host started with no options in the
// directory cargo built it under finds target/debug/libhello.so, and a page
// call makes the round trip through it.
#include <signal.h>
#include <sys/wait.h>

#include "harness.h"

namespace gui {
namespace {

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(GuiRustHello, PageCallRoundTripsThroughTheRustRuntime) {
  const std::string dir = WEXLOR_RUST_HELLO_DIR;
  if (dir.empty())
    GTEST_SKIP() << "cargo or bindgen is not installed; the Rust example was not built";
  ASSERT_TRUE(fs::exists(fs::path(dir) / "target/debug/libhello.so"));
  XSession session;
  ASSERT_TRUE(session.Start({}));

  // A page that calls the runtime and shows the answer in the next URL it
  // asks the runtime for, which the runtime logs.
  TempDir temp;
  temp.Write(
      "pages/index.html",
      "<!doctype html><script>\n"
      "const go = (t) => { location.href = 'app://hello/result?' + encodeURIComponent(t); };\n"
      "Wexlor.greet('Rust').then(go, (e) => go('error ' + e));\n"
      "</script>");
  Child host;
  const fs::path out = temp.path() / "out.txt", err = temp.path() / "err.txt";
  ASSERT_TRUE(host.Start(
      {WEXLOR_GUI_HOST},
      {"PATH=/usr/bin:/bin", "HOME=" + temp.path().string(), "DISPLAY=" + session.display(),
       "GDK_BACKEND=x11", "NO_AT_BRIDGE=1", "DBUS_SESSION_BUS_ADDRESS=" + session.busAddress(),
       "HELLO_PAGES_DIR=" + (temp.path() / "pages").string()},
      dir, out, err));
  const std::string answered =
      "GET app://hello/result?Hello%2C%20Rust!%20Greetings%20from%20the%20runtime. -> 404";
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  int status = 0;
  while (Slurp(out).find(answered) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline && !host.Exited(&status)) {
    std::this_thread::sleep_for(50ms);
  }
  const std::string text = Slurp(out);
  EXPECT_THAT(text,
              ::testing::HasSubstr("Runtime loaded successfully from: ./target/debug/libhello.so"));
  EXPECT_THAT(text, ::testing::HasSubstr("web-process handler registered"));
  EXPECT_THAT(text, ::testing::HasSubstr("call #1 greet"));
  EXPECT_THAT(text, ::testing::HasSubstr(answered)) << Slurp(err);
  // SIGTERM ends the application the ordinary way: the runtime thread ends.
  host.Terminate(10s);
  EXPECT_THAT(Slurp(out), ::testing::HasSubstr("runtime thread finished"));
}

}  // namespace
}  // namespace gui
