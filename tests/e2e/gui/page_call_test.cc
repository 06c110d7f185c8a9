// Page calls: requests from pages to the runtime, answers, binary data,
// callbacks, the routing between windows, and the message intake.
#include "harness.h"

namespace gui {
namespace {

// Test helpers in the page: d() describes a value (ArrayBuffers as their
// bytes), track() records how a call's promise settles.
const char kPage[] = R"(<!doctype html><title>calls</title><script>
window.results = {};
window.hits = [];
function d(v) {
  if (v instanceof ArrayBuffer) return 'ab:' + Array.from(new Uint8Array(v)).join(',');
  if (Array.isArray(v)) return '[' + v.map(d).join(',') + ']';
  if (v !== null && typeof v === 'object')
    return '{' + Object.keys(v).map(function (k) { return k + ':' + d(v[k]); }).join(',') + '}';
  return JSON.stringify(v);
}
// How the test runtime describes a large binary value: size and FNV-1a hash.
function fnv(v) {
  var b = v instanceof ArrayBuffer ? new Uint8Array(v)
                                   : new Uint8Array(v.buffer, v.byteOffset, v.byteLength);
  var h = 0x811c9dc5;
  for (var i = 0; i < b.length; i++) h = Math.imul(h ^ b[i], 16777619) >>> 0;
  return 'bin' + b.length + '#' + ('0000000' + h.toString(16)).slice(-8);
}
function pattern(n, seed) {
  var b = new Uint8Array(n);
  for (var i = 0; i < n; i++) b[i] = (i * 2654435761 + seed) >>> 24;
  return b;
}
function track(name, promise) {
  promise.then(function (r) { results[name] = 'ok ' + d(r); },
               function (e) { results[name] = 'err ' + (e instanceof Error) + ' ' + e.message; });
}
</script>)";

std::string W(uint32_t window) { return std::to_string(window); }

// A reported call: "call <window> <call id> <method> <args>".
struct Call {
  std::string id, method, args;
};

class GuiPageCalls : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite();
    if (host_) window_ = host_->CreateWindow();
  }
  static void TearDownTestSuite() { StopSuite(); }

  void SetUp() override {
    GuiTest::SetUp();
    ASSERT_TRUE(host().LoadHtml(window_, kPage));
  }

  // Waits for `count` calls from `window` reported since `mark`.
  std::vector<Call> Calls(uint32_t window, size_t count, size_t mark) {
    std::vector<Call> calls;
    size_t seen = 0;
    host().WaitFor(
        [&](const Event& e) {
          return e.tokens.size() == 5 && e.tokens[0] == "call" && e.tokens[1] == W(window) &&
                 ++seen == count;
        },
        mark);
    for (const Event& e : host().EventsSince(mark, {"call", W(window)})) {
      calls.push_back({e.tokens[2], e.tokens[3], e.tokens[4]});
    }
    return calls;
  }

  // Runs `script` in the page and returns the one call it makes.
  Call CallFrom(uint32_t window, const std::string& script) {
    const size_t mark = host().Mark();
    host().Eval(window, script);
    const auto calls = Calls(window, 1, mark);
    return calls.empty() ? Call{} : calls[0];
  }

  std::string Outcome(uint32_t window, const std::string& name) {
    return host().EvalUntil(window, "results['" + name + "']");
  }

  static uint32_t window_;
};

uint32_t GuiPageCalls::window_ = 0;

TEST_F(GuiPageCalls, AnswersSettleTheirOwnCalls) {
  const size_t mark = host().Mark();
  host().Eval(window_, "track('a', Wexlor.math.add(1, 2)); track('b', Wexlor.math.add(3, 4));");
  const auto calls = Calls(window_, 2, mark);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, "math.add");
  EXPECT_EQ(calls[0].args, "[1,2]");
  EXPECT_EQ(calls[1].args, "[3,4]");
  EXPECT_NE(calls[0].id, calls[1].id);
  // Answered in the opposite order.
  host().Command({"respond", calls[1].id, R"({"sum":7})"});
  host().Command({"respond", calls[0].id, "3"});
  EXPECT_EQ(Outcome(window_, "a"), "\"ok 3\"");
  EXPECT_EQ(Outcome(window_, "b"), "\"ok {sum:7}\"");
}

TEST_F(GuiPageCalls, ErrorAnswerRejectsWithAnError) {
  const Call call = CallFrom(window_, "track('e', Wexlor.files.open('x'))");
  ASSERT_EQ(call.args, "[\"x\"]");
  host().Command({"reject", call.id, "no such file"});
  EXPECT_EQ(Outcome(window_, "e"), "\"err true no such file\"");
  // An answer to a settled call changes nothing.
  host().Command({"respond", call.id, "1"});
  host().Sync();
  EXPECT_EQ(host().EvalValue(window_, "results.e"), "\"err true no such file\"");
}

TEST_F(GuiPageCalls, BinaryArgumentsArriveAsBytes) {
  const Call call = CallFrom(window_,
                             "track('s', Wexlor.store(new Uint8Array([1, 2, 255]).buffer, "
                             "new Uint8Array([0, 7]), 'text', new ArrayBuffer(0)))");
  EXPECT_EQ(call.args, "[bin:0102ff,bin:0007,\"text\",bin:]");
  host().Command({"respond", call.id, "null"});
  EXPECT_EQ(Outcome(window_, "s"), "\"ok null\"");
}

TEST_F(GuiPageCalls, BinaryResultsArriveAsArrayBuffers) {
  host().Command({"answer", "bytes", "first"});
  host().Eval(window_, "track('f', Wexlor.bytes(new Uint8Array([9, 8, 7])))");
  EXPECT_EQ(Outcome(window_, "f"), "\"ok ab:9,8,7\"");

  const Call call = CallFrom(window_, "track('n', Wexlor.nested())");
  host().Command({"respond", call.id, R"({"a":[{"__binary__":"AQI="}],"n":1})"});
  EXPECT_EQ(Outcome(window_, "n"), "\"ok {a:[ab:1,2],n:1}\"");
}

// Buffers large enough for the byte road: several in one call, nested, empty,
// views with offsets, a DataView, and a buffer detached right after the
// call; echoed back (as Base64: below the bound for answers). Then 64 MiB
// each way, both as raw bytes.
TEST_F(GuiPageCalls, LargeBuffersTravelAsRawBytes) {
  host().Command({"answer", "keep", "echo"});
  const Call call = CallFrom(window_, R"(
    var big = pattern(70000, 1), other = pattern(30000, 2);
    var sent = [big.buffer, { nested: [new Uint16Array(big.buffer, 2, 9000),
                                       new DataView(other.buffer, 1, 20000)] },
                new ArrayBuffer(0), big.subarray(5, 20005), 'text'];
    var f = [fnv(sent[0]), fnv(sent[1].nested[0]), fnv(sent[1].nested[1]), fnv(sent[3])];
    window.expected = '[' + f[0] + ',{"nested":[' + f[1] + ',' + f[2] + ']},bin:,' + f[3] +
                      ',"text"]';
    window.expectedEcho = [f[0], f[1], f[2], 0, f[3], 'text'].join(' ');
    window.echoed = null;
    Wexlor.keep(...sent).then(function (r) {
      echoed = [r[0] instanceof ArrayBuffer ? fnv(r[0]) : 'not a buffer', fnv(r[1].nested[0]),
                fnv(r[1].nested[1]), r[2] instanceof ArrayBuffer && r[2].byteLength, fnv(r[3]),
                r[4]].join(' ');
    }, function (e) { echoed = 'err ' + e.message; });
    // Detached once the call is made: what was sent is what the call held.
    structuredClone(big.buffer, { transfer: [big.buffer] });
  )");
  EXPECT_EQ(call.method, "keep");
  const std::string expected = host().EvalValue(window_, "expected");
  std::string quoted;  // the reported arguments as a JSON string
  for (char c : call.args) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
  EXPECT_EQ("\"" + quoted + "\"", expected);
  EXPECT_EQ(host().EvalUntil(window_, "echoed"), host().EvalValue(window_, "expectedEcho"));

  const Call huge = CallFrom(window_, R"(
    var huge = pattern(64 << 20, 3);
    window.hugeWant = fnv(huge);
    window.hugeGot = null;
    Wexlor.keep(huge).then(function (r) { hugeGot = fnv(r[0]); },
                           function (e) { hugeGot = 'err ' + e.message; });
  )");
  const std::string want = host().EvalValue(window_, "hugeWant");
  EXPECT_EQ(huge.args, "[" + want.substr(1, want.size() - 2) + "]");
  EXPECT_EQ(host().EvalUntil(window_, "hugeGot", 60s), host().EvalValue(window_, "hugeWant"));
}

// Plain calls, calls with small buffers (Base64 in the message) and calls
// with large ones (a POST each) reach the runtime in the order made.
TEST_F(GuiPageCalls, MixedCallsArriveInPageOrder) {
  const size_t mark = host().Mark();
  host().Eval(window_, R"(
    var chunk = pattern(70000, 4);
    for (var i = 0; i < 9; i++) {
      track('o' + i, Wexlor.order(i, [null, chunk, new Uint8Array([i])][i % 3]));
    }
  )");
  ASSERT_TRUE(host().WaitFor({"call", W(window_), "*", "order", "[8,bin:08]"}, mark));
  std::vector<Call> calls;
  for (const Event& e : host().EventsSince(mark, {"call", W(window_)})) {
    calls.push_back({e.tokens[2], e.tokens[3], e.tokens[4]});
  }
  ASSERT_EQ(calls.size(), 9u);
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].args.substr(0, 3), "[" + std::to_string(i) + ",") << calls[i].args;
    host().Command({"respond", calls[i].id, std::to_string(i)});
  }
  EXPECT_EQ(Outcome(window_, "o8"), "\"ok 8\"");
}

TEST_F(GuiPageCalls, CallbackRunsUntilReleased) {
  const Call call = CallFrom(window_,
                             "track('sub', Wexlor.subscribe('news', function () {"
                             "  hits.push(d(Array.from(arguments))); }))");
  ASSERT_EQ(call.method, "subscribe");
  ASSERT_EQ(call.args.rfind("[\"news\",cb:", 0), 0u) << call.args;
  const std::string callback = call.args.substr(11, call.args.size() - 12);
  host().Command({"respond", call.id, "true"});
  EXPECT_EQ(Outcome(window_, "sub"), "\"ok true\"");

  host().Command({"invoke", callback, R"([1,"x"])"});
  host().Command({"invoke", callback, R"([{"k":[2]}])"});
  EXPECT_EQ(host().EvalUntil(window_, "hits.length == 2 ? hits.join(' ') : null"),
            "\"[1,\\\"x\\\"] [{k:[2]}]\"");
  // Binary arguments arrive as ArrayBuffers, and the callbacks still run in
  // the order invoked.
  host().Command({"invoke", callback, "[{\"__binary__\":\"" + std::string(40000, 'A') + "\"}]"});
  host().Command({"invoke", callback, R"([{"__binary__":"AQI="}])"});
  EXPECT_EQ(host().EvalUntil(window_,
                             "hits.length == 4 ? hits.slice(2).map(function (h) {"
                             "  return h.length; }).join(' ') : null"),
            "\"60004 8\"");  // "[ab:0,…,0]" for 30000 zero bytes, then "[ab:1,2]"

  host().Command({"release", callback});
  host().Command({"invoke", callback, "[3]"});
  host().Sync();
  EXPECT_EQ(host().EvalValue(window_, "hits.length"), "4");
}

TEST_F(GuiPageCalls, WindowsWithTheSameIdsGetTheirOwnAnswers) {
  const uint32_t other = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(other, kPage));
  // Both pages are fresh, so they number this call and callback alike.
  const std::string script = "track('who', Wexlor.who(function (x) { window.got = x; }))";
  const Call mine = CallFrom(window_, script);
  const Call theirs = CallFrom(other, script);
  ASSERT_FALSE(mine.id.empty());
  ASSERT_FALSE(theirs.id.empty());
  EXPECT_NE(mine.id, theirs.id);
  EXPECT_NE(mine.args, theirs.args);  // distinct callback ids

  host().Command({"respond", theirs.id, "\"theirs\""});
  host().Command({"respond", mine.id, "\"mine\""});
  host().Command({"invoke", theirs.args.substr(4, theirs.args.size() - 5), "[\"for theirs\"]"});
  host().Command({"invoke", mine.args.substr(4, mine.args.size() - 5), "[\"for mine\"]"});
  EXPECT_EQ(Outcome(window_, "who"), "\"ok \\\"mine\\\"\"");
  EXPECT_EQ(Outcome(other, "who"), "\"ok \\\"theirs\\\"\"");
  EXPECT_EQ(host().EvalUntil(window_, "window.got"), "\"for mine\"");
  EXPECT_EQ(host().EvalUntil(other, "window.got"), "\"for theirs\"");
  host().Close(other);
}

TEST_F(GuiPageCalls, AnswersForAReplacedPageAreDropped) {
  const std::string script = "track('r', Wexlor.slow(function () { window.ran = true; }))";
  const Call old = CallFrom(window_, script);
  ASSERT_TRUE(host().LoadHtml(window_, kPage));
  // The new page numbers its call and callback as the old one did.
  const Call fresh = CallFrom(window_, script);
  ASSERT_NE(old.id, fresh.id);

  host().Command({"respond", old.id, "\"stale\""});
  host().Command({"invoke", old.args.substr(4, old.args.size() - 5), "[]"});
  host().Sync();
  EXPECT_EQ(host().EvalValue(window_, "[results.r === undefined, window.ran === undefined]"),
            "[true,true]");

  host().Command({"respond", fresh.id, "\"fresh\""});
  EXPECT_EQ(Outcome(window_, "r"), "\"ok \\\"fresh\\\"\"");
}

TEST_F(GuiPageCalls, AnswersForAClosedWindowAreDropped) {
  const uint32_t doomed = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(doomed, kPage));
  // Both pages are fresh, so they number this call and callback alike.
  const std::string script = "track('c', Wexlor.wait(function () { window.ran = true; }))";
  const Call gone = CallFrom(doomed, script);
  const Call live = CallFrom(window_, script);
  host().Close(doomed);

  host().Command({"respond", gone.id, "\"misrouted\""});
  host().Command({"invoke", gone.args.substr(4, gone.args.size() - 5), "[]"});
  host().Command({"release", gone.args.substr(4, gone.args.size() - 5)});
  host().Sync();
  EXPECT_EQ(host().EvalValue(window_, "[results.c === undefined, window.ran === undefined]"),
            "[true,true]");
  host().Command({"respond", live.id, "\"right\""});
  EXPECT_EQ(Outcome(window_, "c"), "\"ok \\\"right\\\"\"");
}

TEST_F(GuiPageCalls, MalformedMessagesAreIgnored) {
  host().Command({"answer", "sentinel", "echo"});
  const size_t mark = host().Mark();
  host().Eval(window_, R"(
    var h = window.webkit.messageHandlers.wexlor;
    [[1, 'm', []], 'text', 5, null, true,
     {method: 'noId'}, {callId: 1}, {callId: '2', method: 'stringId'},
     {callId: 3, method: 7}, {callId: 4, method: null}
    ].forEach(function (body) { h.postMessage(body); });
    // Well-formed calls posted past the bridge lack the window's key.
    h.postMessage({callId: 901, method: 'noArgs'});
    h.postMessage('{"callId":902,"method":"noKey","args":[]}');
    h.postMessage('{"key":"guess","callId":903,"method":"wrongKey","args":[]}');
    track('ok', Wexlor.sentinel('after'));
  )");
  EXPECT_EQ(Outcome(window_, "ok"), "\"ok [\\\"after\\\"]\"");
  std::vector<std::string> seen;
  for (const Event& e : host().EventsSince(mark, {"call", W(window_)})) {
    seen.push_back(e.tokens[3] + " " + e.tokens[4]);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"sentinel [\"after\"]"}));
}

TEST_F(GuiPageCalls, NamespaceAppliesToWindowsCreatedLater) {
  host().Command({"answer", "ping", "echo"});
  const uint32_t before = window_;
  ASSERT_EQ(host().Command({"namespace", "App"}), Tokens{"ok"});
  const uint32_t after = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(after, kPage));
  EXPECT_EQ(host().EvalValue(after, "[typeof window.App, typeof window.Wexlor]"),
            "[\"function\",\"undefined\"]");
  host().Eval(after, "track('p', App.ping(1))");
  EXPECT_EQ(Outcome(after, "p"), "\"ok [1]\"");

  // The earlier window keeps its name, also for pages it loads from now on.
  ASSERT_TRUE(host().LoadHtml(before, kPage));
  EXPECT_EQ(host().EvalValue(before, "[typeof window.App, typeof window.Wexlor]"),
            "[\"undefined\",\"function\"]");
  host().Eval(before, "track('p', Wexlor.ping(2))");
  EXPECT_EQ(Outcome(before, "p"), "\"ok [2]\"");
  host().Close(after);
}

}  // namespace
}  // namespace gui

namespace gui {
namespace {

// Text that is not what it should be still settles every promise and runs
// every callback: lone surrogates go and come back exactly, bytes that are
// not UTF-8 arrive as U+FFFD, and what the runtime cannot take is refused.
TEST_F(GuiPageCalls, OddTextStillSettlesEveryCall) {
  host().Command({"answer", "echo", "echo"});
  host().Eval(window_, "track('lone', Wexlor.echo('a\\uD800b\\uDC00'))");
  EXPECT_EQ(host().EvalUntil(window_,
                             "results.lone && (results.lone === 'ok ' + "
                             "d(['a\\uD800b\\uDC00']))"),
            "true");

  const Call bad = CallFrom(window_, "track('bad', Wexlor.bad(function (s) { hits.push(s); }))");
  host().Command({"respond", bad.id, "\"bad \xff\""});
  EXPECT_EQ(Outcome(window_, "bad"), "\"ok \\\"bad \xEF\xBF\xBD\\\"\"");
  const std::string callback = bad.args.substr(4, bad.args.size() - 5);
  host().Command({"invoke", callback, "[\"cb \xfe\"]"});
  EXPECT_EQ(host().EvalUntil(window_, "hits[0]"), "\"cb \xEF\xBF\xBD\"");

  // Arguments deeper than the host reads are refused, not cut short.
  host().Eval(window_,
              "var deep = []; for (var i = 0; i < 300; i++) deep = [deep];"
              "track('deep', Wexlor.echo(deep))");
  EXPECT_EQ(Outcome(window_, "deep"),
            "\"err true The arguments cannot be sent: they are nested too deeply\"");

  // A script that is not UTF-8 is an error, not "no result".
  const EvalResult r = host().Eval(window_, "'x\xff'");
  EXPECT_EQ(r.result, "none");
  EXPECT_NE(r.error.find("not valid UTF-8"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace gui
