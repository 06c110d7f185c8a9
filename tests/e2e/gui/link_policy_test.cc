// The link policy: real clicks on links in a page served over HTTP. Links
// to another web origin open in the desktop's browser (a recorder here),
// everything else is left to the page.
#include <algorithm>

#include "harness.h"

namespace gui {
namespace {

std::string W(uint32_t window) { return std::to_string(window); }

class GuiLinkPolicy : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<HttpServer>();
    if (!server_->Start()) return;
    const std::string port = std::to_string(server_->port());
    // "localhost" and "127.0.0.1" are different origins for the same server.
    server_->Add("/links.html", R"(<!doctype html><title>links</title>
<style>a { display: block; height: 60px; font-size: 30px; }</style>
<a id="same" href="/two.html">same origin</a>
<a id="other" href="http://localhost:)" +
                                    port + R"(/elsewhere.html">other origin</a>
<a id="secure" href="https://127.0.0.1:)" +
                                    port + R"(/secure.html">https</a>
<a id="blank" target="_blank" href="http://localhost:)" +
                                    port + R"(/blank.html">new window</a>
<a id="mail" href="mailto:someone@example.com">mail</a>)");
    server_->Add("/two.html", "<!doctype html><title>two</title>");
    StartSuite();
  }
  static void TearDownTestSuite() {
    StopSuite();
    server_.reset();
  }

  void SetUp() override {
    GuiTest::SetUp();
    ASSERT_GT(server_->port(), 0);
    window_ = host().CreateWindow();
    ASSERT_TRUE(host().NavigateAndWait(window_, server_->origin() + "/links.html"));
    mark_ = host().Mark();
    openedBefore_ = host().OpenedUrls().size();
  }
  void TearDown() override { host().Close(window_); }

  // Clicks the middle of the element with id `id`, as a user would.
  void Click(const std::string& id) {
    const XWindow x = host().XWindowOf(window_);
    ASSERT_NE(x, 0u);
    int ox = 0, oy = 0;
    ASSERT_TRUE(session().ClientOrigin(x, &ox, &oy));
    const std::string point = host().EvalValue(
        window_, "(function () { var r = document.getElementById('" + id +
                     "').getBoundingClientRect();"
                     "return [Math.round(r.left + 20), Math.round(r.top + r.height / 2)]; })()");
    int px = 0, py = 0;
    ASSERT_EQ(std::sscanf(point.c_str(), "[%d,%d]", &px, &py), 2) << point;
    session().Click(ox + px, oy + py);
  }

  // Waits until the recorder has seen `count` URLs in this test, then a
  // little longer to catch any extra ones.
  std::vector<std::string> Opened(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (host().OpenedUrls().size() < openedBefore_ + count &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(300ms);
    host().Sync();
    std::vector<std::string> urls = host().OpenedUrls();
    urls.erase(urls.begin(), urls.begin() + std::min(openedBefore_, urls.size()));
    return urls;
  }

  std::string Path() { return host().EvalValue(window_, "location.pathname"); }

  // Makes the page report, through a page call, whether a click on the link
  // `id` reached it with its default action prevented. The listener runs
  // after the policy's own.
  void ReportClicks(const std::string& id) {
    host().Command({"answer", "seen", "result", "null"});
    host().Eval(window_, "document.getElementById('" + id +
                             "').addEventListener('click', function (e) {"
                             "  Wexlor.seen(this.id, e.defaultPrevented); });");
  }

  static std::unique_ptr<HttpServer> server_;
  uint32_t window_ = 0;
  size_t mark_ = 0;
  size_t openedBefore_ = 0;
};

std::unique_ptr<HttpServer> GuiLinkPolicy::server_;

TEST_F(GuiLinkPolicy, SameOriginLinkNavigates) {
  SKIP_ON_WAYLAND(kNoXInput);
  Click("same");
  ASSERT_TRUE(host().WaitFor({"load", W(window_)}, mark_));
  EXPECT_EQ(Path(), "\"/two.html\"");
  EXPECT_EQ(Opened(0), std::vector<std::string>{});
}

TEST_F(GuiLinkPolicy, OtherOriginLinksOpenOutside) {
  SKIP_ON_WAYLAND(kNoXInput);
  const std::string port = std::to_string(server_->port());
  Click("other");
  EXPECT_EQ(Opened(1), std::vector<std::string>{"http://localhost:" + port + "/elsewhere.html"});
  Click("secure");
  EXPECT_EQ(Opened(2), (std::vector<std::string>{"http://localhost:" + port + "/elsewhere.html",
                                                 "https://127.0.0.1:" + port + "/secure.html"}));
  EXPECT_EQ(Path(), "\"/links.html\"");
  EXPECT_TRUE(host().EventsSince(mark_, {"load"}).empty());
  // The host handles the hand-over itself; the runtime never sees it.
  EXPECT_TRUE(host().EventsSince(mark_, {"call"}).empty());
}

TEST_F(GuiLinkPolicy, NewWindowLinkIsLeftToTheHost) {
  SKIP_ON_WAYLAND(kNoXInput);
  ReportClicks("blank");
  Click("blank");
  EXPECT_TRUE(host().WaitFor({"call", W(window_), "*", "seen", "[\"blank\",false]"}, mark_));
  // The host opens web pages meant for a new window outside, once.
  EXPECT_EQ(Opened(1), std::vector<std::string>{
                           "http://localhost:" + std::to_string(server_->port()) + "/blank.html"});
  EXPECT_EQ(Path(), "\"/links.html\"");
}

TEST_F(GuiLinkPolicy, MailtoLinkIsLeftAloneByThePolicy) {
  SKIP_ON_WAYLAND(kNoXInput);
  ReportClicks("mail");
  const std::string before = Path();
  Click("mail");
  // The link policy does not take it (the click is not cancelled) ...
  EXPECT_TRUE(host().WaitFor({"call", W(window_), "*", "seen", "[\"mail\",false]"}, mark_));
  // ... the desktop gets it, and the page stays as it was.
  EXPECT_EQ(Opened(1), std::vector<std::string>{"mailto:someone@example.com"});
  EXPECT_EQ(Path(), before);
}

TEST_F(GuiLinkPolicy, OpenExternalCallIsHandledByTheHost) {
  host().Eval(window_,
              "Wexlor.__wexlorOpenExternal('https://localhost:1/direct')"
              ".then(function (r) { window.answer = 'ok ' + JSON.stringify(r); })");
  EXPECT_EQ(host().EvalUntil(window_, "window.answer"), "\"ok null\"");
  EXPECT_EQ(Opened(1), std::vector<std::string>{"https://localhost:1/direct"});
  EXPECT_TRUE(host().EventsSince(mark_, {"call"}).empty());
}

}  // namespace
}  // namespace gui
