// Who reaches the runtime: only the top-level documents the application
// navigated to. Hostile frames and foreign pages post raw messages, reuse the
// top page's call ids and ask for external links; none of it gets through.
#include <algorithm>

#include "harness.h"

namespace gui {
namespace {

std::string W(uint32_t window) { return std::to_string(window); }

const char kTrack[] = R"(<script>
window.results = {};
function track(name, promise) {
  promise.then(function (r) { results[name] = 'ok ' + JSON.stringify(r); },
               function (e) { results[name] = 'err ' + e.message; });
}
</script>)";

// What a hostile frame does: raw messages with the top page's call ids, with
// and without a guessed key, external links; then it tells the top page.
const char kHostileFrame[] = R"(<!doctype html><script>
var h = window.webkit && window.webkit.messageHandlers.wexlor;
if (h) {
  [1, 2].forEach(function (id) {
    h.postMessage({callId: id, method: 'forged', args: []});
    h.postMessage('{"key":"","callId":' + id + ',"method":"forged","args":["x"]}');
    h.postMessage(JSON.stringify({callId: id, method: '__wexlorOpenExternal',
                                  args: ['file:///etc/passwd']}));
    h.postMessage({callId: id, method: '__wexlorOpenExternal', args: ['http://example.com/']});
  });
}
// Calls with bytes posted straight to the host's endpoint without the key,
// with a guessed one and with none at all, and a guessed download.
var endpoint = 'app://wexlor-bridge.invalid/';
var forged = [
  '{"key":"","callId":1,"method":"forged","args":[],"sizes":[]}\0',
  '{"key":"0123456789abcdef0123456789abcdef","callId":2,"method":"forged",' +
      '"args":[{"__buffer__":0}],"sizes":[1]}\0x',
  '{"callId":3,"method":"forged","args":[],"sizes":[]}\0'];
Promise.all(forged.map(function (text) {
  return fetch(endpoint + 'call', {method: 'POST', body: new TextEncoder().encode(text)});
}).concat([fetch(endpoint + 'bytes/0123456789abcdef0123456789abcdef')]).map(function (p) {
  return p.then(function (r) { return r.status; }, function () { return 'failed'; });
})).then(function (statuses) { parent.postMessage('done ' + statuses.join(','), '*'); });
</script>)";

class GuiTrust : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    a_ = std::make_unique<HttpServer>();
    b_ = std::make_unique<HttpServer>();
    if (!a_->Start("127.0.0.1") || !b_->Start("127.0.0.2")) return;
    const std::string page = std::string("<!doctype html><title>page</title>") + kTrack +
                             "<script>track('call', Wexlor.fromPage(location.origin));</script>";
    a_->Add("/page.html", page);
    b_->Add("/page.html", page);
    a_->Add("/frame.html", kHostileFrame);
    a_->AddRedirect("/redirect", b_->origin() + "/page.html");
    a_->Add("/leave.html", std::string("<!doctype html>") + kTrack + "<script>location = '" +
                               b_->origin() + "/page.html';</script>");
    StartSuite();
    if (!host_) return;
    host_->Command({"scheme", "on"});
    host_->Command({"answer", "fromPage", "first"});
    host_->Command({"answer", "mine", "echo"});
    host_->Command({"answer", "sameOk", "echo"});
  }
  static void TearDownTestSuite() {
    StopSuite();
    a_.reset();
    b_.reset();
  }

  static void Route(const std::string& url, const std::string& body) {
    host_->Command({"scheme", "route", url, "200", body, "content-type", "text/html"});
  }

  // The methods of the calls window `w` made since `mark`.
  std::vector<std::string> Methods(uint32_t w, size_t mark) {
    host().Sync();
    std::vector<std::string> seen;
    for (const Event& e : host().EventsSince(mark, {"call", W(w)})) seen.push_back(e.tokens[3]);
    std::sort(seen.begin(), seen.end());
    return seen;
  }

  size_t DropLines(uint32_t w) {
    const std::string err = host().StderrText();
    const std::string line = "window " + W(w) + ": ignoring calls from ";
    size_t n = 0;
    for (size_t at = err.find(line); at != std::string::npos; at = err.find(line, at + 1)) ++n;
    return n;
  }

  static std::unique_ptr<HttpServer> a_, b_;
};

std::unique_ptr<HttpServer> GuiTrust::a_, GuiTrust::b_;

TEST_F(GuiTrust, FramesNeverReachTheRuntime) {
  ASSERT_GT(b_->port(), 0);
  Route("app://other/frame.html", kHostileFrame);
  Route("app://app/same.html",
        std::string(kHostileFrame) + "<script>parent.Wexlor.sameOk('via parent');</script>");
  Route("app://app/index.html", std::string("<!doctype html><title>app</title>") + kTrack +
                                    R"(<script>
track('own', Wexlor.slow());
track('mine', Wexlor.mine('top'));
window.framesDone = 0;
window.statuses = [];
addEventListener('message', function (e) {
  if (String(e.data).indexOf('done') === 0) { framesDone++; statuses.push(e.data); }
});
</script>
<iframe src="app://other/frame.html"></iframe>
<iframe src=")" + a_->origin() + R"(/frame.html"></iframe>
<iframe src="app://app/same.html"></iframe>)");
  const uint32_t w = host().CreateWindow();
  const size_t mark = host().Mark();
  const size_t opened = host().OpenedUrls().size();
  ASSERT_TRUE(host().NavigateAndWait(w, "app://app/index.html"));
  EXPECT_EQ(host().EvalUntil(w, "framesDone === 3 || null", 5s), "true")
      << host().EvalValue(w, "framesDone");

  // Only the top page's own calls, and the same-origin frame's call made
  // through the top page's bridge, arrived.
  EXPECT_EQ(Methods(w, mark), (std::vector<std::string>{"mine", "sameOk", "slow"}));
  EXPECT_EQ(host().EvalUntil(w, "results.mine"), "\"ok [\\\"top\\\"]\"");
  const auto slow = host().WaitFor({"call", W(w), "*", "slow"}, mark);
  ASSERT_TRUE(slow);
  host().Command({"respond", slow->tokens[2], "\"own answer\""});
  EXPECT_EQ(host().EvalUntil(w, "results.own"), "\"ok \\\"own answer\\\"\"");

  host().Sync();
  EXPECT_EQ(host().OpenedUrls().size(), opened) << "a frame opened a link";
  // The endpoint refused them all and the runtime never saw them.
  EXPECT_EQ(host().EvalValue(w, "statuses.sort().join(' ')"),
            "\"done 403,403,403,404 done 403,403,403,404 done 403,403,403,404\"");
  for (const Event& e : host().EventsSince(mark, {"scheme-request"})) {
    EXPECT_EQ(e.text.find("wexlor-bridge"), std::string::npos) << e.text;
  }
  EXPECT_EQ(DropLines(w), 1u) << host().StderrText();
  host().Close(w);
}

TEST_F(GuiTrust, OnlyNavigatedOriginsGetAWorkingBridge) {
  ASSERT_GT(b_->port(), 0);
  const uint32_t w = host().CreateWindow();
  size_t mark = host().Mark();
  // Positive control: the page the runtime navigated to.
  ASSERT_TRUE(host().NavigateAndWait(w, a_->origin() + "/page.html"));
  EXPECT_EQ(host().EvalUntil(w, "results.call"), "\"ok \\\"" + a_->origin() + "\\\"\"");

  // A redirect and a script navigation to another origin reach a page whose
  // calls fail at once and never arrive.
  const std::string refused = "\"err " + b_->origin() + " is not one of the application's pages";
  for (const std::string path : {"/redirect", "/leave.html"}) {
    SCOPED_TRACE(path);
    mark = host().Mark();
    host().Command({"navigate", W(w), a_->origin() + path});
    EXPECT_EQ(
        host()
            .EvalUntil(w, "(location.origin === '" + b_->origin() + "' && results.call) || null")
            .rfind(refused, 0),
        0u)
        << host().EvalValue(w, "[location.href, JSON.stringify(results)]");
    EXPECT_TRUE(Methods(w, mark).empty());
    // Let the last load finish before the next navigation.
    const size_t loads = path == "/redirect" ? 1 : 2;
    const auto until = std::chrono::steady_clock::now() + kTimeout;
    while (host().EventsSince(mark, {"load", W(w)}).size() < loads &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(20ms);
    }
  }
  EXPECT_EQ(DropLines(w), 1u);

  // A trusted page may only send web links to the browser.
  ASSERT_TRUE(host().NavigateAndWait(w, a_->origin() + "/page.html"));
  const size_t opened = host().OpenedUrls().size();
  host().Eval(w, "track('f', Wexlor.__wexlorOpenExternal('file:///etc/passwd'))");
  host().Eval(w, "track('h', Wexlor.__wexlorOpenExternal('https://example.org/'))");
  EXPECT_EQ(host().EvalUntil(w, "results.f && results.h"), "\"ok null\"");
  host().Sync();
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (host().OpenedUrls().size() < opened + 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  std::vector<std::string> urls = host().OpenedUrls();
  urls.erase(urls.begin(), urls.begin() + static_cast<long>(opened));
  EXPECT_EQ(urls, (std::vector<std::string>{"https://example.org/"}));
  EXPECT_NE(host().StderrText().find("not opening file:///etc/passwd:"), std::string::npos);
  host().Close(w);
}

}  // namespace
}  // namespace gui
