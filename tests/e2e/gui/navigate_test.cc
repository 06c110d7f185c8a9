// Navigate: inline HTML, URIs, and file paths absolute or relative to the
// host's working directory.
#include "harness.h"

namespace gui {
namespace {

std::string Page(const std::string& title) {
  return "<!doctype html><title>" + title + "</title><p>" + title + "</p>";
}

class GuiNavigate : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite();
    if (!host_) return;
    window_ = host_->CreateWindow();
    const fs::path cwd = host_->cwd();
    for (const auto& [name, title] :
         std::vector<std::pair<std::string, std::string>>{{"relative.html", "relative"},
                                                          {"sub dir/nested page.html", "nested"},
                                                          {"absolute.html", "absolute"},
                                                          {"by-uri.html", "by uri"}}) {
      fs::create_directories((cwd / name).parent_path());
      std::ofstream(cwd / name) << Page(title);
    }
  }
  static void TearDownTestSuite() { StopSuite(); }

  std::string Title() { return host().EvalValue(window_, "document.title"); }
  std::string Href() { return host().EvalValue(window_, "location.href"); }
  std::string FileUri(const std::string& relative) {
    return "\"file://" + (host().cwd() / relative).string() + "\"";
  }

  static uint32_t window_;
};

uint32_t GuiNavigate::window_ = 0;

TEST_F(GuiNavigate, InlineHtmlIsDecodedAndHasNoBase) {
  ASSERT_TRUE(host().NavigateAndWait(
      window_, "data:text/html," + PercentEncode("<title>inline</title><p>100% a+b &amp; c</p>")));
  EXPECT_EQ(Title(), "\"inline\"");
  EXPECT_EQ(host().EvalValue(window_, "document.querySelector('p').textContent"),
            "\"100% a+b & c\"");
  EXPECT_EQ(Href(), "\"about:blank\"");
  // The bridge is there as in any page.
  EXPECT_EQ(host().EvalValue(window_, "typeof window.Wexlor"), "\"function\"");
}

TEST_F(GuiNavigate, InlineHtmlWithStrayPercentSignsStillLoads) {
  // Not valid percent-encoding: stray signs and an encoded NUL stay as text.
  ASSERT_TRUE(host().NavigateAndWait(window_,
                                     "data:text/html,<title>stray</title><p>100% %zz %00 %41</p>"));
  EXPECT_EQ(Title(), "\"stray\"");
  EXPECT_EQ(host().EvalValue(window_, "document.querySelector('p').textContent"),
            "\"100% %zz %00 A\"");
}

TEST_F(GuiNavigate, OtherSpellingsOfDataAreLoadedAsUrls) {
  ASSERT_TRUE(host().NavigateAndWait(window_, "DATA:text/html," + PercentEncode(Page("upper"))));
  EXPECT_EQ(Title(), "\"upper\"");
  EXPECT_EQ(host().EvalValue(window_, "location.protocol"), "\"data:\"");
}

TEST_F(GuiNavigate, UriIsLoadedAsGiven) {
  const std::string uri = "file://" + (host().cwd() / "by-uri.html").string();
  ASSERT_TRUE(host().NavigateAndWait(window_, uri));
  EXPECT_EQ(Title(), "\"by uri\"");
  EXPECT_EQ(Href(), "\"" + uri + "\"");
}

TEST_F(GuiNavigate, AbsolutePathBecomesFileUri) {
  ASSERT_TRUE(host().NavigateAndWait(window_, (host().cwd() / "absolute.html").string()));
  EXPECT_EQ(Title(), "\"absolute\"");
  EXPECT_EQ(Href(), FileUri("absolute.html"));
}

TEST_F(GuiNavigate, RelativePathIsResolvedAgainstTheWorkingDirectory) {
  ASSERT_TRUE(host().NavigateAndWait(window_, "relative.html"));
  EXPECT_EQ(Title(), "\"relative\"");
  EXPECT_EQ(Href(), FileUri("relative.html"));

  ASSERT_TRUE(host().NavigateAndWait(window_, "sub dir/nested page.html"));
  EXPECT_EQ(Title(), "\"nested\"");
  EXPECT_EQ(Href(), FileUri("sub%20dir/nested%20page.html"));

  ASSERT_TRUE(host().NavigateAndWait(window_, "./sub dir/../relative.html"));
  EXPECT_EQ(Title(), "\"relative\"");
  EXPECT_EQ(Href(), FileUri("relative.html"));
}

// A failed load ends in the engine's error page and one line on standard
// error, never in a page-load report; the next good load is reported once.
TEST_F(GuiNavigate, FailedLoadIsNotReportedAsAPageLoad) {
  const fs::path missing = host().cwd() / "missing.html";
  // A port that nothing listens on (and that the engine does not block).
  int closedPort = 0;
  {
    HttpServer server;
    ASSERT_TRUE(server.Start());
    closedPort = server.port();
  }
  for (const std::string& url : {"http://127.0.0.1:" + std::to_string(closedPort) + "/refused",
                                 "file://" + missing.string()}) {
    const size_t mark = host().Mark();
    host().Command({"navigate", std::to_string(window_), url});
    const std::string line = "wexlor: window " + std::to_string(window_) + " could not load " + url;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (host().StderrText().find(line) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_THAT(host().StderrText(), ::testing::HasSubstr(line));
    // Time for the error page to finish loading.
    std::this_thread::sleep_for(700ms);
    host().Sync();
    EXPECT_TRUE(host().EventsSince(mark, {"load"}).empty()) << url;
    ASSERT_TRUE(host().LoadHtml(window_, Page("after")));
    host().Sync();
    EXPECT_EQ(host().EventsSince(mark, {"load"}).size(), 1u) << url;
    EXPECT_EQ(Title(), "\"after\"");
  }
}

}  // namespace
}  // namespace gui
