// The "app" scheme: pages and their resources served by the runtime, request
// bodies and headers, streamed responses, stops, and answers the host gives
// by itself.
#include <algorithm>
#include <cctype>

#include "harness.h"

namespace gui {
namespace {

using ::testing::Contains;
using ::testing::Pair;

const char kOrigin[] = "app://test";

// Test helpers in the page: track() records how a promise settles, text()
// fetches and gives "<status> <body>", stream() reads a response chunk by
// chunk into out[name + '.chunks'], many() makes `count` POSTs one after
// another.
const char kPage[] = R"(<!doctype html><title>app page</title><script>
window.out = {};
function track(name, promise) {
  promise.then(function (v) { out[name] = 'ok ' + v; },
               function (e) { out[name] = 'err ' + e; });
}
function text(url, init) {
  return fetch(url, init).then(function (r) {
    return r.text().then(function (t) { return r.status + ' ' + t; });
  });
}
function stream(name, url) {
  var chunks = out[name + '.chunks'] = [];
  track(name, fetch(url).then(function (r) {
    var reader = r.body.getReader(), decoder = new TextDecoder();
    function next() {
      return reader.read().then(function (c) {
        if (c.done) return chunks.join('');
        chunks.push(decoder.decode(c.value, {stream: true}));
        return next();
      });
    }
    return next();
  }));
}
function many(name, count, size) {
  var body = 'x'.repeat(size), i = 0;
  function next() {
    if (i === count) return Promise.resolve(count);
    return fetch('/small?i=' + i++, {method: 'POST', body: body})
        .then(function (r) { return r.text(); }).then(next);
  }
  track(name, next());
}
</script>)";

using Headers = std::vector<std::pair<std::string, std::string>>;

// A reported request: "scheme-request <window> <id> <method> <url> <headers>".
struct Request {
  std::string window, id, method, url;
  Headers headers;
};

Headers ParseFlat(const std::string& block) {
  Headers headers;
  size_t at = 0;
  while (at < block.size()) {
    const size_t nameEnd = block.find('\0', at);
    if (nameEnd == std::string::npos) break;
    size_t valueEnd = block.find('\0', nameEnd + 1);
    if (valueEnd == std::string::npos) valueEnd = block.size();
    headers.emplace_back(block.substr(at, nameEnd - at),
                         block.substr(nameEnd + 1, valueEnd - nameEnd - 1));
    at = valueEnd + 1;
  }
  return headers;
}

// A 24-bit BMP of one colour.
std::string Bmp(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  const int row = (width * 3 + 3) / 4 * 4;
  std::string out = "BM";
  auto put = [&out](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  put(54 + row * height, 4);
  put(0, 4);
  put(54, 4);
  put(40, 4);
  put(width, 4);
  put(height, 4);
  put(1, 2);
  put(24, 2);
  put(0, 4);
  put(row * height, 4);
  put(2835, 4);
  put(2835, 4);
  put(0, 4);
  put(0, 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      out += {static_cast<char>(b), static_cast<char>(g), static_cast<char>(r)};
    out.append(row - width * 3, '\0');
  }
  return out;
}

class GuiScheme : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite();
    if (!host_) return;
    host_->Command({"scheme", "on"});
    Route("/page.html", 200, kPage, {"content-type", "text/html"});
    window_ = host_->CreateWindow();
  }
  static void TearDownTestSuite() { StopSuite(); }

  void SetUp() override {
    GuiTest::SetUp();
    ASSERT_TRUE(host().NavigateAndWait(window_, std::string(kOrigin) + "/page.html"));
  }

  static void Route(const std::string& path, int status, const std::string& body,
                    const Tokens& headers = {}) {
    Tokens command = {"scheme", "route", kOrigin + path, std::to_string(status), body};
    command.insert(command.end(), headers.begin(), headers.end());
    host_->Command(command);
  }

  // Waits for the request of `path` reported since `mark`.
  Request WaitForRequest(const std::string& path, size_t mark) {
    const auto e = host().WaitFor({"scheme-request", "*", "*", "*", kOrigin + path}, mark);
    if (!e || e->tokens.size() != 6) {
      ADD_FAILURE() << "no request for " << path;
      return {};
    }
    return {e->tokens[1], e->tokens[2], e->tokens[3], e->tokens[4], ParseFlat(e->tokens[5])};
  }

  std::string Eval(const std::string& script) { return host().EvalValue(window_, script); }
  std::string Outcome(const std::string& name) {
    return host().EvalUntil(window_, "out['" + name + "']");
  }
  Tokens Step(const Tokens& step) {
    Tokens command = {"scheme"};
    command.insert(command.end(), step.begin(), step.end());
    return host().Command(command);
  }

  static uint32_t window_;
};

uint32_t GuiScheme::window_ = 0;

TEST_F(GuiScheme, PageResourcesComeFromTheRuntime) {
  Route("/index.html", 200,
        "<!doctype html><link rel=stylesheet href=style.css>"
        "<img id=img src=img.bmp><script src=app.js></script>",
        {"content-type", "text/html; charset=utf-8"});
  Route("/style.css", 200, "body { color: rgb(1, 2, 3); }", {"content-type", "text/css"});
  Route("/img.bmp", 200, Bmp(3, 2, 10, 200, 30), {"content-type", "image/bmp"});
  Route("/app.js", 200, "window.scriptRan = location.href;", {"content-type", "text/javascript"});
  const size_t mark = host().Mark();
  ASSERT_TRUE(host().NavigateAndWait(window_, std::string(kOrigin) + "/index.html"));

  EXPECT_EQ(Eval("getComputedStyle(document.body).color"), "\"rgb(1, 2, 3)\"");
  EXPECT_EQ(Eval("window.scriptRan"), "\"app://test/index.html\"");
  EXPECT_EQ(Eval("[img.naturalWidth, img.naturalHeight]"), "[3,2]");
  // The bytes arrived intact: the decoded pixel has the colour written.
  EXPECT_EQ(Eval("(function () { var c = document.createElement('canvas');"
                 "var g = c.getContext('2d'); g.drawImage(img, 0, 0);"
                 "return Array.from(g.getImageData(2, 1, 1, 1).data); })()"),
            "[10,200,30,255]");
  for (const char* path : {"/index.html", "/style.css", "/img.bmp", "/app.js"}) {
    const Request r = WaitForRequest(path, mark);
    EXPECT_EQ(r.window, std::to_string(window_)) << path;
    EXPECT_EQ(r.method, "GET") << path;
  }
}

TEST_F(GuiScheme, RequestBodyAndHeadersReachTheRuntime) {
  const size_t mark = host().Mark();
  Eval(
      "track('post', text('/upload', {method: 'POST', body: '0123456789',"
      "headers: {'X-Custom-Id': 'Abc-123'}}))");
  const Request r = WaitForRequest("/upload", mark);
  EXPECT_EQ(r.method, "POST");
  // Names lower-cased, values as sent.
  EXPECT_THAT(r.headers, Contains(Pair("x-custom-id", "Abc-123")));
  for (const auto& [name, value] : r.headers) {
    EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](unsigned char c) {
      return std::isupper(c);
    })) << name;
  }
  EXPECT_EQ(Step({"read", r.id, "4"}), (Tokens{"4,4,2,0", "0123456789"}));
  // At the end it stays at the end.
  EXPECT_EQ(Step({"read", r.id, "4"}), (Tokens{"0", ""}));
  Step({"respond", r.id, "200", "stored", "content-type", "text/plain"});
  EXPECT_EQ(Outcome("post"), "\"ok 200 stored\"");
}

TEST_F(GuiScheme, ResponseHeadersAsTheRuntimeGaveThem) {
  Route("/headers", 201, "made",
        {"content-type", "text/plain", "x-dup", "first", "X-Dup", "second", "x-bad", "\xff\xfe",
         "x-kept", "yes"});
  Eval(
      "track('h', fetch('/headers').then(function (r) { return r.text().then(function (t) {"
      "return [r.status, t, r.headers.get('x-dup'), r.headers.get('x-bad'),"
      "r.headers.get('x-kept'), r.headers.get('content-type')].join('|'); }); }))");
  // The later duplicate wins; a value that is not UTF-8 is dropped alone.
  EXPECT_EQ(Outcome("h"), "\"ok 201|made|second||yes|text/plain\"");
}

TEST_F(GuiScheme, HostAnswersWhatTheRuntimeLeftOpen) {
  // Finished without a response.
  size_t mark = host().Mark();
  Eval("track('bare', text('/bare'))");
  const Request bare = WaitForRequest("/bare", mark);
  Step({"finish", bare.id});
  EXPECT_EQ(Outcome("bare"), "\"ok 404 \"");

  // A status that HTTP does not have.
  Route("/odd", 42, "odd");
  Eval("track('odd', fetch('/odd').then(function (r) { return r.status; }))");
  EXPECT_EQ(Outcome("odd"), "\"ok 500\"");

  // No handler: never dispatched.
  Step({"off"});
  mark = host().Mark();
  Eval("track('none', text('/page.html'))");
  const std::string none = Outcome("none");
  Step({"on"});
  EXPECT_EQ(none, "\"ok 404 \"");
  EXPECT_TRUE(host().EventsSince(mark, {"scheme-request"}).empty());
}

TEST_F(GuiScheme, ResponseStreamsAsItIsWritten) {
  const size_t mark = host().Mark();
  Eval("stream('s', '/stream')");
  const Request r = WaitForRequest("/stream", mark);
  Step({"begin", r.id, "200", "content-type", "text/plain"});
  std::string all;
  for (int i = 0; i < 5; ++i) {
    const std::string chunk = "c" + std::to_string(i) + ";";
    EXPECT_EQ(Step({"write", r.id, chunk}), Tokens{std::to_string(chunk.size())});
    all += chunk;
  }
  // The page has the first part while the rest is still to come.
  EXPECT_EQ(host().EvalUntil(window_, "out['s.chunks'][0]").substr(0, 3), "\"c0");
  EXPECT_EQ(Eval("out.s"), "none");
  for (int i = 5; i < 10; ++i) {
    const std::string chunk = "c" + std::to_string(i) + ";";
    Step({"write", r.id, chunk});
    all += chunk;
  }
  Step({"finish", r.id});
  EXPECT_EQ(Outcome("s"), "\"ok " + all + "\"");
}

TEST_F(GuiScheme, LeavingThePageStopsTheResponse) {
  Route("/other.html", 200, kPage, {"content-type", "text/html"});
  Route("/after", 200, "fine");
  size_t mark = host().Mark();
  Eval("track('never', text('/unanswered'))");
  const Request never = WaitForRequest("/unanswered", mark);
  Eval("stream('s', '/endless')");
  const Request r = WaitForRequest("/endless", mark);
  Step({"begin", r.id, "200", "content-type", "text/plain"});
  Step({"write", r.id, "part"});
  ASSERT_EQ(host().EvalUntil(window_, "out['s.chunks'][0]"), "\"part\"");

  mark = host().Mark();
  ASSERT_TRUE(host().NavigateAndWait(window_, std::string(kOrigin) + "/other.html"));
  EXPECT_TRUE(host().WaitFor({"scheme-stop", r.id}, mark, 5s));
  // One never answered is stopped as well, though WebKit cannot say so.
  EXPECT_TRUE(host().WaitFor({"scheme-stop", never.id}, mark, 5s));
  EXPECT_EQ(Step({"write", r.id, "more"}), Tokens{"-1"});
  EXPECT_EQ(Step({"finish", r.id}), Tokens{"ok"});
  EXPECT_EQ(Step({"write", never.id, "late"}), Tokens{"-1"});
  host().Sync();
  EXPECT_EQ(host().EventsSince(mark, {"scheme-stop"}).size(), 2u);

  // Later requests are served as before.
  Eval("track('after', text('/after'))");
  EXPECT_EQ(Outcome("after"), "\"ok 200 fine\"");
}

TEST_F(GuiScheme, ClosingTheWindowStopsTheResponse) {
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().NavigateAndWait(w, std::string(kOrigin) + "/page.html"));
  size_t mark = host().Mark();
  host().Eval(w, "stream('s', '/closing')");
  const Request r = WaitForRequest("/closing", mark);
  Step({"begin", r.id, "200", "content-type", "text/plain"});
  Step({"write", r.id, "part"});
  ASSERT_EQ(host().EvalUntil(w, "out['s.chunks'][0]"), "\"part\"");
  // One the runtime never began to answer is stopped as well.
  mark = host().Mark();
  host().Eval(w, "track('never', text('/never'))");
  const Request never = WaitForRequest("/never", mark);
  mark = host().Mark();
  host().Close(w);
  EXPECT_TRUE(host().WaitFor({"scheme-stop", r.id}, mark, 5s));
  EXPECT_TRUE(host().WaitFor({"scheme-stop", never.id}, mark, 5s));
  EXPECT_EQ(Step({"write", r.id, "more"}), Tokens{"-1"});
  EXPECT_EQ(Step({"finish", r.id}), Tokens{"ok"});
  EXPECT_EQ(Step({"write", never.id, "late"}), Tokens{"-1"});
  EXPECT_EQ(Step({"finish", never.id}), Tokens{"ok"});
}

// A runtime that finishes twice and keeps using a finished handle, even
// once a new request may occupy the old exchange's memory, changes nothing.
TEST_F(GuiScheme, StaleHandlesAreIgnored) {
  size_t mark = host().Mark();
  Eval("track('first', text('/stale'))");
  const Request first = WaitForRequest("/stale", mark);
  Step({"respond", first.id, "200", "served"});
  EXPECT_EQ(Outcome("first"), "\"ok 200 served\"");
  EXPECT_EQ(Step({"finish", first.id}), Tokens{"ok"});
  EXPECT_EQ(Step({"write", first.id, "late"}), Tokens{"-1"});
  EXPECT_EQ(Step({"read", first.id, "4"}), (Tokens{"-1", ""}));
  Step({"begin", first.id, "500"});

  mark = host().Mark();
  Eval("track('second', text('/fresh'))");
  const Request second = WaitForRequest("/fresh", mark);
  EXPECT_EQ(Step({"write", first.id, "stale"}), Tokens{"-1"});
  Step({"finish", first.id});
  Step({"respond", second.id, "200", "fresh"});
  EXPECT_EQ(Outcome("second"), "\"ok 200 fresh\"");
}

TEST_F(GuiScheme, AnyThreadMayAnswer) {
  size_t mark = host().Mark();
  Eval("track('one', text('/threaded'))");
  Request r = WaitForRequest("/threaded", mark);
  // Entirely from a thread that is neither the runtime's nor the main one.
  EXPECT_EQ(host().Command({"bg", "scheme", "respond", r.id, "200", "from afar"}),
            (Tokens{"9", "other"}));
  EXPECT_EQ(Outcome("one"), "\"ok 200 from afar\"");

  // Step by step from three threads: the steps still apply in order.
  mark = host().Mark();
  Eval("track('two', text('/mixed'))");
  r = WaitForRequest("/mixed", mark);
  host().Command({"bg", "scheme", "begin", r.id, "202"});
  host().Command({"scheme", "write", r.id, "a"});
  host().Command({"ui", "scheme", "write", r.id, "b"});
  host().Command({"bg", "scheme", "write", r.id, "c"});
  host().Command({"ui", "scheme", "finish", r.id});
  EXPECT_EQ(Outcome("two"), "\"ok 202 abc\"");
}

// Each request keeps its 16 kB body until it is finished, so exchanges that
// are never freed would add some 16 MB here.
TEST_F(GuiScheme, ManyRequestsLeaveNothingBehind) {
  Route("/small", 200, "k");
  auto heapKb = [&] {
    const Tokens t = host().Command({"heap"});
    return t.size() == 1 ? std::stol(t[0]) : -1;
  };
  auto requests = [&] {
    const Tokens t = host().Command({"scheme", "count"});
    return t.size() == 1 ? std::stol(t[0]) : -1;
  };
  // A first round settles caches and pools.
  Eval("many('warm', 200, 16384)");
  ASSERT_EQ(host().EvalUntil(window_, "out.warm", 60s), "\"ok 200\"");
  host().Sync();
  const long before = heapKb(), requestsBefore = requests();
  Eval("many('run', 1000, 16384)");
  ASSERT_EQ(host().EvalUntil(window_, "out.run", 60s), "\"ok 1000\"");
  host().Sync();
  const long after = heapKb();
  EXPECT_EQ(requests() - requestsBefore, 1000);
  EXPECT_LT(after - before, 4096) << "heap before " << before << " kB, after " << after << " kB";
}

}  // namespace
}  // namespace gui

namespace gui {
namespace {

// A page that reads slowly checks every byte of a large body the runtime
// writes as fast as it can: nothing is lost or reordered while the writer is
// held back.
const char kSlowReader[] = R"(
function slowRead(name, url) {
  track(name, fetch(url).then(function (r) {
    var reader = r.body.getReader(), offset = 0, reads = 0;
    function next() {
      return reader.read().then(function (c) {
        if (c.done) return offset;
        var v = c.value;
        for (var i = 0; i < v.length; i++, offset++) {
          if (v[i] !== ((offset * 131 + Math.floor(offset / 4096)) & 255))
            throw new Error('byte ' + offset + ' is ' + v[i]);
        }
        // Slower than the writer: a pause every few reads.
        return ++reads % 8 ? next() : new Promise(function (done) { setTimeout(done, 2); }).then(next);
      });
    }
    return next();
  }));
})";

TEST_F(GuiScheme, LargeBodiesArriveWholeAndInOrder) {
  Eval(kSlowReader);
  const Tokens before = host().Command({"rss"});
  constexpr uint64_t kTotal = 64ull << 20;
  const size_t mark = host().Mark();
  Eval("slowRead('big', '/big')");
  const Request r = WaitForRequest("/big", mark);
  Step({"stream", r.id, std::to_string(kTotal), "65536"});
  EXPECT_EQ(host().EvalUntil(window_, "out.big", 60s), "\"ok " + std::to_string(kTotal) + "\"");
  const auto end = host().WaitFor({"stream-end", r.id}, mark, 10s);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->tokens[2], std::to_string(kTotal));
  const Tokens after = host().Command({"rss"});
  if (before.size() == 2 && after.size() == 2) {
    std::cout << "64 MiB to a slow reader: peak resident " << before[1] << " -> " << after[1]
              << " kB\n";
  }
}

}  // namespace
}  // namespace gui
