// The page-side scripts running in JavaScriptCore, with just enough of a page
// stubbed around them. Microtasks (promise reactions) run when
// jsc_context_evaluate returns, so each Eval sees the effects of the previous.
#include <jsc/jsc.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "backend/bridge_scripts.h"

namespace {

// A window, a message handler recording every call, and a document whose
// listeners are kept for the tests to fire.
constexpr char kPageStubs[] = R"JS(
var window = globalThis;
var sent = [];
// Messages as the host reads them, without the key; other posts as "raw".
var keys = [];
function hostRead(m) {
  try {
    var o = JSON.parse(m);
    keys.push(o.key);
    delete o.key;
    return o;
  } catch (e) {
    return { raw: m };
  }
}
window.webkit = { messageHandlers: { wexlor: { postMessage: function (m) { sent.push(hostRead(m)); } } } };
var listeners = [];
var handlers = {};
var location = { href: "https://app.local/index.html", origin: "https://app.local", protocol: "https:" };
var document = {
  location: location,
  addEventListener: function (type, handler, capture) {
    listeners.push(type + (capture ? "/capture" : ""));
    handlers[type] = handler;
  },
};
// Only absolute URLs; relative ones throw, as unparsable ones do.
function URL(href, base) {
  var m = /^([a-z][a-z0-9+.-]*:)(?:\/\/([^\/?#]*))?/i.exec(href);
  if (!m) throw new TypeError("unsupported URL");
  this.protocol = m[1].toLowerCase();
  var special = this.protocol === "http:" || this.protocol === "https:";
  this.origin = special ? this.protocol + "//" + m[2] : "null";
  this.href = href;
}
// What a fired link event led to: "<prevented>:<method(args) sent, or ->".
function outcome(event, before) {
  var last = sent[sent.length - 1];
  return event.prevented + ":" + (sent.length > before ? last.method + "(" + last.args + ")" : "-");
}
// Replaces ArrayBuffers with readable text, at any depth.
function describe(v) {
  if (v instanceof ArrayBuffer) return "AB[" + Array.from(new Uint8Array(v)) + "]";
  if (Array.isArray(v)) return v.map(describe);
  if (v && typeof v === "object") {
    var o = {};
    for (var k in v) o[k] = describe(v[k]);
    return o;
  }
  return v;
}
)JS";

// btoa/atob for the fallback path (the bare engine has neither).
constexpr char kBase64Polyfill[] = R"JS(
var B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
function btoa(s) {
  var out = [];
  for (var i = 0; i < s.length; i += 3) {
    var n = (s.charCodeAt(i) << 16) | ((s.charCodeAt(i + 1) | 0) << 8) | (s.charCodeAt(i + 2) | 0);
    out.push(B64[(n >> 18) & 63] + B64[(n >> 12) & 63] +
             (i + 1 < s.length ? B64[(n >> 6) & 63] : "=") + (i + 2 < s.length ? B64[n & 63] : "="));
  }
  return out.join("");
}
function atob(s) {
  var out = "", acc = 0, bits = 0;
  s = s.replace(/=+$/, "");
  for (var i = 0; i < s.length; i++) {
    var v = B64.indexOf(s[i]);
    if (v < 0) throw new Error("bad base64");
    acc = ((acc << 6) | v) & 0xffffff;
    bits += 6;
    if (bits >= 8) { bits -= 8; out += String.fromCharCode((acc >> bits) & 255); }
  }
  return out;
}
)JS";

// Navigation API stub keeping the "navigate" handler, and a helper firing an
// event (defaults: a user-initiated push to a foreign https page).
constexpr char kNavigationStub[] = R"JS(
var navHandler = null;
window.navigation = { addEventListener: function (t, h) { if (t === "navigate") navHandler = h; } };
function navigate(overrides) {
  var event = { userInitiated: true, cancelable: true, downloadRequest: null, hashChange: false,
                navigationType: "push", destination: { url: "https://example.org/page" },
                prevented: false, preventDefault: function () { this.prevented = true; } };
  for (var k in overrides) event[k] = overrides[k];
  var before = sent.length;
  navHandler(event);
  return outcome(event, before);
}
)JS";

// A page that can fetch: every request waits in `requests` until the test
// settles it. Enough of TextEncoder (ASCII) and Response for the bridge.
constexpr char kFetchStubs[] = R"JS(
var requests = [];
function Response(status, body) { this.status = status; this.body = body; }
Response.prototype.text = function () { return Promise.resolve(String(this.body || "")); };
Response.prototype.arrayBuffer = function () { return Promise.resolve(this.body); };
function TextEncoder() {}
TextEncoder.prototype.encode = function (s) {
  var b = new Uint8Array(s.length);
  for (var i = 0; i < s.length; i++) b[i] = s.charCodeAt(i);
  return b;
};
window.fetch = function (url, init) {
  return new Promise(function (resolve, reject) {
    requests.push({ url: url, body: init && init.body, resolve: resolve, reject: reject });
  });
};
// A one-part POST as the host reads it: the part, the message without the
// key, the first bytes after it.
function posted(i) {
  var b = requests[i].body, cut = b.indexOf(0);
  var part = JSON.parse(String.fromCharCode.apply(null, b.subarray(0, cut)));
  b = b.subarray(cut + 1);
  var nul = b.indexOf(0);
  var m = JSON.parse(String.fromCharCode.apply(null, b.subarray(0, nul)));
  return { part: part.upload + "/" + part.last + "/" + (part.key === m.key), method: m.method,
           args: m.args, sizes: m.sizes, bytes: Array.from(b.subarray(nul + 1, nul + 4)) };
}
)JS";

class BridgeJsc : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { g_clear_object(&context_); }

  // A fresh page with the stubs, without the bridge.
  void Reset() {
    g_clear_object(&context_);
    context_ = jsc_context_new();
    Eval(kPageStubs);
  }

  // The bridge of a page the application trusts, with the key "k".
  void Init(const std::string& ns = "Wexlor") {
    Eval(BuildInitScript(
        ns, kBridgeSendStatement,
        BridgeAccess{"k", R"({"schemes":["app:"],"origins":["https://app.local"]})"}));
  }

  // Runs `js` and returns its completion value as JSON ("undefined" when it
  // has none); an exception fails the test.
  std::string Eval(const std::string& js) {
    JSCValue* value = jsc_context_evaluate(context_, js.c_str(), static_cast<gssize>(js.size()));
    if (JSCException* exception = jsc_context_get_exception(context_)) {
      ADD_FAILURE() << "script threw: " << jsc_exception_get_message(exception) << "\nin: " << js;
      jsc_context_clear_exception(context_);
      g_clear_object(&value);
      return "<exception>";
    }
    char* json = value ? jsc_value_to_json(value, 0) : nullptr;
    std::string out = json ? json : "undefined";
    g_free(json);
    g_clear_object(&value);
    return out;
  }

  // Exposes a UTF-8 string to scripts as the global `name`.
  void SetString(const char* name, const std::string& text) {
    GBytes* bytes = g_bytes_new(text.data(), text.size());
    JSCValue* value = jsc_value_new_string_from_bytes(context_, bytes);
    jsc_context_set_value(context_, name, value);
    g_object_unref(value);
    g_bytes_unref(bytes);
  }

  JSCContext* context_ = nullptr;
};

TEST_F(BridgeJsc, NumbersCallsAndCallbacksAndNamesMethodsByPath) {
  Init();
  Eval("Wexlor.files.read('x', function () {}); Wexlor.a.b.c(1); Wexlor(); 0");
  EXPECT_EQ(Eval("sent"),
            R"([{"callId":1,"method":"files.read","args":["x",{"__callback__":"2"}]},)"
            R"({"callId":3,"method":"a.b.c","args":[1]},)"
            R"({"callId":4,"method":"","args":[]}])");
}

TEST_F(BridgeJsc, NamespaceObjectIsNotPromiseLike) {
  Init();
  EXPECT_EQ(Eval(R"JS(
    var p = Wexlor.some.path;
    [typeof p.then, typeof p.catch, typeof p.finally, typeof p.constructor,
     typeof p[Symbol.toStringTag], typeof p[Symbol.iterator], typeof Wexlor.then,
     Object.prototype.toString.call(Wexlor), typeof p.other]
  )JS"),
            R"(["undefined","undefined","undefined","undefined","undefined","undefined",)"
            R"("undefined","[object Function]","function"])");
  Eval(R"JS(
    var awaited = null;
    (async function () {
      var a = await Wexlor;
      var b = await Wexlor.x.y;
      awaited = a === Wexlor && typeof b === "function";
    })(); 0
  )JS");
  EXPECT_EQ(Eval("[awaited, sent.length]"), "[true,0]");
}

TEST_F(BridgeJsc, MarksTopLevelCallbacksAndBytesAtAnyDepth) {
  Init();  // the bare engine has no btoa: this is the native base64 path
  EXPECT_EQ(
      Eval(R"JS(
    var bytes = new Uint8Array([0, 1, 2, 250, 255, 104, 105]);
    var i16 = new Int16Array([1, -1]);
    var cb = function () {};
    Wexlor.put(bytes.buffer, bytes.subarray(5, 7), new ArrayBuffer(0), i16, [bytes.buffer],
               { f: cb, v: new DataView(bytes.buffer, 1, 2) }, cb, null, "s");
    var m = sent[0].args;
    [m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], window.__wexlorCallbacks[2] === cb]
  )JS"),
      R"([{"__binary__":"AAEC+v9oaQ=="},{"__binary__":"aGk="},{"__binary__":""},)"
      R"({"__binary__":"AQD//w=="},[{"__binary__":"AAEC+v9oaQ=="}],{"v":{"__binary__":"AQI="}},)"
      R"({"__callback__":"2"},null,"s",true])");
}

// Calls with large buffers go as POSTs; a later call waits for the POST
// before it. Every call settles however its POST ends, and answers whose
// bytes are fetched keep their place among the answers after them.
TEST_F(BridgeJsc, BytesRoadKeepsOrderAndSettlesEveryCall) {
  Eval(kFetchStubs);
  Init();
  Eval(R"JS(
    var order = [];
    function note(name, p) {
      p.then(function (v) { order.push(name + "=" + JSON.stringify(describe(v))); },
             function (e) { order.push(name + "!" + e.message); });
    }
    var big = new Uint8Array(70000);
    big[0] = 7; big[1] = 8; big[2] = 9;
    note("a", Wexlor.a(1));
    note("b", Wexlor.b({ deep: [big.subarray(1)] }, new Uint8Array([5])));
    note("c", Wexlor.c(2));
    note("d", Wexlor.d(big.buffer));
    note("e", Wexlor.e(3)); 0
  )JS");
  // Only the call before the first POST went as a message.
  EXPECT_EQ(Eval("[sent.map(function (m) { return m.method; }), requests.length, posted(0)]"),
            R"([["a"],1,{"part":"2/true/true","method":"b","args":[{"deep":[{"__buffer__":0}]},)"
            R"({"__buffer__":1}],"sizes":[69999,1],"bytes":[8,9,0]}])");
  Eval("requests[0].resolve(new Response(204)); 0");
  EXPECT_EQ(Eval("[sent.length, requests.length, posted(1).method, requests[1].url]"),
            R"([2,2,"d","app://wexlor-bridge.invalid/call"])");
  // A POST that fails rejects its call and lets the next one go.
  Eval("requests[1].reject(new TypeError('Load failed')); 0");
  EXPECT_EQ(Eval("[sent.map(function (m) { return m.method; }), order]"),
            R"([["a","c","e"],["d!The call could not be sent: Load failed"]])");
  // A refused POST rejects with the host's reason; oversized buffers are
  // refused before anything is sent.
  Eval(R"JS(
    note("f", Wexlor.f(big));
    requests[2].resolve(new Response(400, "The call's bytes are malformed"));
    note("g", Wexlor.g(new Uint8Array(256 * 1024 * 1024 + 1))); 0
  )JS");
  EXPECT_EQ(Eval("[order.slice(1).sort(), requests.length]"),
            R"([["f!The call's bytes are malformed",)"
            R"("g!The arguments cannot be sent: they are too large"],3])");

  // Answers: a's bytes are fetched, c's plain answer waits behind it, e's
  // fetch fails and still settles e.
  Eval(R"JS(
    order = [];
    __wexlorRespond(1, {"x": {"__buffer__": 0}, "y": {"__buffer__": 1}}, null,
                    {"url": "app://wexlor-bridge.invalid/bytes/t1", "sizes": [2, 1]});
    __wexlorRespond(3, 5, null);
    __wexlorRespond(5, {"__buffer__": 0}, null,
                    {"url": "app://wexlor-bridge.invalid/bytes/t2", "sizes": [4]}); 0
  )JS");
  EXPECT_EQ(Eval("[order, requests.length, requests[3].url]"),
            R"([[],4,"app://wexlor-bridge.invalid/bytes/t1"])");
  Eval("requests[3].resolve(new Response(200, new Uint8Array([1, 2, 3]).buffer)); 0");
  Eval("requests[4].reject(new TypeError('gone')); 0");
  EXPECT_EQ(Eval("order"), R"(["a={\"x\":\"AB[1,2]\",\"y\":\"AB[3]\"}","c=5",)"
                           R"("e!The answer's bytes could not be read: gone"])");
}

TEST_F(BridgeJsc, FallbackBase64MatchesNative) {
  Eval(kBase64Polyfill);
  Eval(R"JS(
    var big = new Uint8Array(70000);  // more than one chunk
    for (var i = 0; i < big.length; i++) big[i] = (i * 7 + 3) & 255;
    var expected = [big.toBase64(), big.subarray(3, 40003).toBase64()];
    delete Uint8Array.prototype.toBase64;
    delete Uint8Array.fromBase64; 0
  )JS");
  Init();
  EXPECT_EQ(Eval("Wexlor.put(big.buffer, big.subarray(3, 40003));"
                 "[sent[0].args[0].__binary__ === expected[0],"
                 " sent[0].args[1].__binary__ === expected[1]]"),
            "[true,true]");
  Eval("var got; Wexlor.get().then(function (v) { got = describe(v); }); 0");
  Eval(BuildRespondScript(2, R"({"__binary__":"AAEC+v9oaQ=="})", "", false));
  EXPECT_EQ(Eval("got"), R"("AB[0,1,2,250,255,104,105]")");
}

TEST_F(BridgeJsc, SettlesCallsThroughBuiltAnswers) {
  Init();
  Eval(R"JS(
    var outcomes = [];
    for (var i = 0; i < 12; i++) {
      (function (slot) {
        Wexlor.call().then(function (v) { outcomes[slot] = { value: describe(v) }; },
                           function (e) { outcomes[slot] = { error: e instanceof Error && e.message }; });
      })(i);
    } 0
  )JS");
  struct Answer {
    const char* result;
    const char* error;
    bool hasError;
  };
  const Answer answers[] = {
      {R"({"x":[1,"two",null]})", "", false},
      {"", R"("boom")", true},
      {"", "null", true},
      {"", R"("")", true},
      {"", "0", true},
      {"", "false", true},
      {R"({"__binary__":"YWJj"})", "", false},
      {R"({"__binary__":""})", "", false},
      {R"([{"__binary__":"YQ=="},{"k":{"__binary__":"Yg=="},"cb":{"__callback__":"5"}}])", "",
       false},
      {R"({"own":1,"__proto__":{"inherited":{"__binary__":"Yw=="}}})", "", false},
      {R"({"__binary__":"@@@"})", "", false},
  };
  for (uint64_t id = 1; id <= std::size(answers); ++id) {
    const Answer& a = answers[id - 1];
    Eval(BuildRespondScript(id, a.result, a.error, a.hasError));
  }
  // Unknown ids and repeated answers are ignored.
  Eval(BuildRespondScript(999, "1", "", false));
  Eval(BuildRespondScript(1, "2", "", false));
  EXPECT_EQ(Eval("outcomes.slice(0, 10)"),
            R"([{"value":{"x":[1,"two",null]}},{"error":"boom"},{"value":null},{"value":null},)"
            R"({"value":null},{"value":null},{"value":"AB[97,98,99]"},{"value":"AB[]"},)"
            R"({"value":["AB[97]",{"k":"AB[98]","cb":{"__callback__":"5"}}]},)"
            R"({"value":{"own":1,"inherited":"AB[99]"}}])");
  // Undecodable bytes still settle the call, as a failure.
  EXPECT_EQ(Eval("typeof outcomes[10].error"), R"("string")");
  EXPECT_EQ(Eval("outcomes.length"), "11");  // the twelfth call is still waiting
}

TEST_F(BridgeJsc, InvokesAndReleasesCallbacks) {
  Init();
  // Before any callback exists there is nothing to run or drop.
  Eval(BuildInvokeCallbackScript(1, "[]"));
  Eval(BuildReleaseCallbackScript(1));
  Eval(R"JS(
    var calls = [];
    Wexlor.watch(function () {
      "use strict";
      calls.push({ thisIsNull: this === null, args: Array.prototype.slice.call(arguments) });
    }, function () { calls.push("second"); }); 0
  )JS");
  Eval(BuildInvokeCallbackScript(2, R"(["a",{"__binary__":"YWJj"},[1]])"));
  Eval(BuildInvokeCallbackScript(3, "[]"));
  Eval(BuildReleaseCallbackScript(2));
  Eval(BuildInvokeCallbackScript(2, R"(["again"])"));
  Eval(BuildInvokeCallbackScript(77, "[]"));
  EXPECT_EQ(Eval("describe(calls)"),
            R"([{"thisIsNull":true,"args":["a","AB[97,98,99]",[1]]},"second"])");
}

TEST_F(BridgeJsc, FailedSendRejectsAndForgetsTheCall) {
  Init();
  Eval(R"JS(
    var failure = null;
    Wexlor.x(function () {}, 1n).catch(function (e) { failure = e.message; });
    var late = "unsettled";
    Wexlor.y().then(function (v) { late = v; }); 0
  )JS");
  EXPECT_EQ(Eval("[failure.indexOf('The arguments cannot be sent'), "
                 "Object.keys(window.__wexlorCallbacks), sent[0].callId]"),
            R"([0,[],3])");
  Eval(BuildRespondScript(1, R"("ignored")", "", false));
  Eval(BuildRespondScript(3, R"("ok")", "", false));
  EXPECT_EQ(Eval("late"), R"("ok")");
}

TEST_F(BridgeJsc, HostileNamespacesNameTheGlobalExactly) {
  for (const std::string ns :
       {"a\"];alert(1);//", "line\nbreak",
        "sep\xE2\x80\xA8"
        "arator\xE2\x80\xA9",
        "back\\slash\\", "</script><script>alert(1)</script>", "\xC3\xA9t\xC3\xA9"}) {
    SCOPED_TRACE(ns);
    Reset();
    SetString("expectedName", ns);
    Eval(kNavigationStub);
    Init(ns);
    EXPECT_EQ(Eval("window[expectedName].m(1); [typeof alert, sent[0].method, sent[0].args]"),
              R"(["undefined","m",[1]])");
    // The link policy reaches the same global.
    EXPECT_EQ(Eval("navigate({})"), R"J("true:__wexlorOpenExternal(https://example.org/page)")J");
  }
}

TEST_F(BridgeJsc, LinkPolicyFiltersNavigations) {
  Eval(kNavigationStub);
  Init();
  EXPECT_EQ(Eval(R"JS([
    navigate({}),
    navigate({ destination: { url: "http://example.org/" } }),
    navigate({ userInitiated: false }),
    navigate({ cancelable: false }),
    navigate({ downloadRequest: "file.zip" }),
    navigate({ hashChange: true }),
    navigate({ navigationType: "reload" }),
    navigate({ navigationType: "traverse" }),
    navigate({ navigationType: "replace" }),
    navigate({ destination: { url: "mailto:me@example.org" } }),
    navigate({ destination: { url: "https://app.local/other" } }),
    navigate({ destination: { url: "relative/page" } }),
    navigate({ destination: null }),
  ])JS"),
            R"J(["true:__wexlorOpenExternal(https://example.org/page)",)J"
            R"J("true:__wexlorOpenExternal(http://example.org/)",)J"
            R"("false:-","false:-","false:-","false:-","false:-","false:-",)"
            R"J("true:__wexlorOpenExternal(https://example.org/page)",)J"
            R"("false:-","false:-","false:-","false:-"])");
  EXPECT_EQ(Eval("listeners"), "[]");  // no click fallback beside the Navigation API
}

TEST_F(BridgeJsc, LinkPolicyFallsBackToLinkClicks) {
  Init();
  EXPECT_EQ(Eval("listeners"), R"(["click/capture"])");
  Eval(R"JS(
    function element(tag, attrs, parent) {
      return { nodeType: 1, tagName: tag, parentNode: parent || null, href: attrs.href,
               getAttribute: function (n) { return n in attrs ? attrs[n] : null; } };
    }
    function click(target, overrides) {
      var event = { defaultPrevented: false, button: 0, target: target, prevented: false,
                    preventDefault: function () { this.prevented = true; } };
      for (var k in overrides) event[k] = overrides[k];
      var before = sent.length;
      handlers.click(event);
      return outcome(event, before);
    }
    var link = element("A", { href: "https://example.org/" });
    var inner = element("SPAN", {}, element("B", {}, link)); 0
  )JS");
  EXPECT_EQ(Eval(R"JS([
    click(inner),
    click(element("a", { href: "https://example.org/", target: "_self" })),
    click(inner, { button: 1 }),
    click(inner, { defaultPrevented: true }),
    click(element("A", { href: "https://example.org/", target: "_blank" })),
    click(element("A", { href: "https://app.local/page" })),
    click(element("A", { href: "" })),
    click(element("SPAN", {}, { nodeType: 9 })),
    click({ nodeType: 3, parentNode: link }),
    click(null),
  ])JS"),
            R"J(["true:__wexlorOpenExternal(https://example.org/)",)J"
            R"J("true:__wexlorOpenExternal(https://example.org/)",)J"
            R"("false:-","false:-","false:-","false:-","false:-","false:-","false:-","false:-"])");
}

}  // namespace

namespace {

// Every call the host could not take as sent is rejected in the page with the
// reason; nothing is left pending and nothing goes out under another name.
TEST_F(BridgeJsc, CallsTheHostCannotTakeAreRejectedInThePage) {
  Init();
  Eval(R"JS(
    var outcome = {};
    function track(name, p) {
      outcome[name] = "pending";
      p.then(function () { outcome[name] = "sent"; },
             function (e) { outcome[name] = e.constructor.name + ": " + e.message; });
    }
    var cyclic = []; cyclic.push(cyclic);
    var deep = []; for (var i = 0; i < 100000; i++) deep = [deep];
    track("nul", Wexlor["probe\0evil"]());
    track("lone", Wexlor.a["x\uD800"]());
    track("cyclic", Wexlor.c(cyclic));
    track("bigint", Wexlor.b(1n));
    track("deep", Wexlor.d(deep));
    track("pair", Wexlor["\uD83D\uDE00"]("\uD800"));
    // Patching the handler after the bridge started intercepts nothing.
    var spied = 0;
    window.webkit.messageHandlers.wexlor.postMessage = function () { spied++; };
    Wexlor.after(); 0
  )JS");
  EXPECT_EQ(Eval("[outcome.nul.indexOf('TypeError: The method name'), "
                 "outcome.lone.indexOf('TypeError: The method name'), "
                 "outcome.cyclic.indexOf('TypeError: The arguments cannot be sent'), "
                 "outcome.bigint.indexOf('TypeError: The arguments cannot be sent'), "
                 "outcome.deep.indexOf('TypeError: The arguments cannot be sent'), spied]"),
            "[0,0,0,0,0,0]");
  // What went out: the surrogate-pair method with its lone-surrogate argument
  // (escaped in the text, so it arrives exactly), and the last call.
  EXPECT_EQ(Eval("sent.map(function (m) { return m.method; })"),
            "[\"\xF0\x9F\x98\x80\",\"after\"]");
  EXPECT_EQ(Eval("[sent[0].args[0] === '\\uD800', keys.every(function (k) { return k === 'k'; })]"),
            "[true,true]");
}

// A document the application did not navigate to gets a bridge that only
// fails: its calls reject at once and the host learns just its origin.
TEST_F(BridgeJsc, ForeignDocumentsGetNoWorkingBridge) {
  Eval(R"JS(location.origin = "https://evil.example"; location.protocol = "https:"; 0)JS");
  Init();
  Eval(R"JS(
    var failure = null;
    Wexlor.steal().catch(function (e) { failure = e.message; }); 0
  )JS");
  EXPECT_EQ(Eval("failure"), R"("https://evil.example is not one of the application's pages; )"
                             R"(its calls do not reach the application")");
  EXPECT_EQ(Eval("[sent, keys]"), R"([[{"origin":"https://evil.example"}],[null]])");
}

}  // namespace
