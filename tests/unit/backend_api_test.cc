// The runtime table against a recording backend: forwarding, defaults,
// registrations and the routing of page calls and callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "backend/scheme_exchange.h"
#include "recording_backend.h"
#include "runtime/runtime_loader.h"

using wexlor::Value;

namespace {

struct RecordedCall {
  uint32_t window;
  uint64_t callId;
  std::string method;
  std::string args;
};

// What the runtime's handlers saw.
struct RuntimeSide {
  std::mutex mutex;
  std::vector<RecordedCall> calls;
  int notifies = 0;
};

class Table : public ::testing::Test {
 protected:
  void SetUp() override {
    loader = RuntimeLoader::GetInstance();
    api = loader->api();
    loader->SetBackend(&backend);
    api->SetJsCallHandler(api->context, nullptr, nullptr);
    api->SetJsCallNotify(api->context, nullptr, nullptr);
    api->PollJsCalls(api->context);  // drop anything an earlier test left queued
    backend.Clear();
  }
  void TearDown() override {
    api->SetJsCallHandler(api->context, nullptr, nullptr);
    api->SetJsCallNotify(api->context, nullptr, nullptr);
    loader->SetBackend(nullptr);
  }

  void RegisterRuntime() {
    api->SetJsCallHandler(
        api->context,
        [](void* ud, uint32_t w, uint64_t id, const char* method, wexlor_value* args) {
          auto* side = static_cast<RuntimeSide*>(ud);
          std::lock_guard<std::mutex> lock(side->mutex);
          side->calls.push_back({w, id, method, json::Serialize(args->value)});
          ValueFree(args);
        },
        &runtime);
    api->SetJsCallNotify(
        api->context,
        [](void* ud) {
          auto* side = static_cast<RuntimeSide*>(ud);
          std::lock_guard<std::mutex> lock(side->mutex);
          ++side->notifies;
        },
        &runtime);
  }

  std::vector<std::string> Responses() {
    std::vector<std::string> out;
    for (const auto& c : backend.Calls()) {
      if (c.rfind("RespondToJsCall", 0) == 0 || c.rfind("InvokeJsCallback", 0) == 0 ||
          c.rfind("ReleaseJsCallback", 0) == 0 || c.rfind("OpenExternalURL", 0) == 0) {
        out.push_back(c);
      }
    }
    return out;
  }

  RuntimeLoader* loader = nullptr;
  const wexlor_backend_api* api = nullptr;
  RecordingBackend backend;
  RuntimeSide runtime;
};

using Calls = std::vector<std::string>;

}  // namespace

TEST_F(Table, HeaderAndEveryEntryAreFilled) {
  EXPECT_EQ(api->version, 29u);
  EXPECT_EQ(api->context, loader);
  auto* first = reinterpret_cast<void* const*>(&api->CreateWindow);
  for (int i = 0; i < 107; ++i) EXPECT_NE(first[i], nullptr) << "entry " << i;
  EXPECT_EQ(api->Reserved0(api->context, 1), nullptr);
  EXPECT_EQ(api->Reserved1(api->context, 1), nullptr);
  EXPECT_EQ(api->Reserved2(api->context, 1), 0u);
}

TEST_F(Table, WindowEntriesForwardCopies) {
  void* ctx = api->context;
  const uint32_t a = api->CreateWindow(ctx);
  const uint32_t b = api->CreateWindowEx(ctx, 0x13);
  EXPECT_EQ(b, a + 1);
  std::string url = "app://index.html";
  api->Navigate(ctx, a, url.c_str());
  url[0] = 'X';  // the entry copied the text
  api->Navigate(ctx, a, nullptr);
  api->SetTitle(ctx, a, "T");
  api->SetTitle(ctx, a, nullptr);
  api->ExecuteJs(ctx, a, "1+1", nullptr, nullptr);
  api->ExecuteJs(ctx, a, nullptr, nullptr, nullptr);
  api->SetWindowSize(ctx, a, 3, 4);
  api->SetWindowPosition(ctx, a, -5, 6);
  api->SetResizable(ctx, a, false);
  api->SetAlwaysOnTop(ctx, a, true);
  api->SetWindowOpacity(ctx, a, 0.25);
  api->Show(ctx, a);
  api->Hide(ctx, a);
  api->Focus(ctx, a);
  api->OpenDevTools(ctx, a);
  api->CloseWindow(ctx, a);
  api->Quit(ctx);
  const std::string sa = std::to_string(a), sb = std::to_string(b);
  EXPECT_EQ(
      backend.Calls(),
      (Calls{"CreateWindow " + sa + " 800 600", "CreateWindowEx " + sb + " 800 600 19",
             "Navigate " + sa + " app://index.html", "SetTitle " + sa + " T",
             "ExecuteJs " + sa + " 1+1", "SetWindowSize " + sa + " 3 4",
             "SetWindowPosition " + sa + " -5 6", "SetResizable " + sa + " 0",
             "SetAlwaysOnTop " + sa + " 1", "SetWindowOpacity " + sa + " 0.25", "Show " + sa,
             "Hide " + sa, "Focus " + sa, "OpenDevTools " + sa, "CloseWindow " + sa, "Quit"}));

  int w = 0, h = 0, x = 0, y = 0;
  api->GetWindowSize(ctx, a, &w, &h);
  api->GetWindowPosition(ctx, a, &x, &y);
  EXPECT_EQ((std::vector<int>{w, h, x, y}), (std::vector<int>{11, 22, 33, 44}));
  api->GetWindowSize(ctx, a, nullptr, nullptr);  // null outputs are never written through
  api->GetWindowPosition(ctx, a, nullptr, &y);
  EXPECT_TRUE(api->IsResizable(ctx, a));
  EXPECT_TRUE(api->IsAlwaysOnTop(ctx, a));
  EXPECT_TRUE(api->IsVisible(ctx, a));
  EXPECT_EQ(api->GetWindowOpacity(ctx, a), 0.5);

  static int ran = 0;
  api->PostUiTask(
      ctx, [](void* ud) { ran += *static_cast<int*>(ud); }, &w);
  api->PostUiTask(ctx, nullptr, nullptr);
  EXPECT_EQ(ran, 11);
}

TEST_F(Table, DesktopEntriesForward) {
  void* ctx = api->context;
  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(api->ShowDialog(ctx, 1, 2, nullptr, "msg", nullptr, &text), 1);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "typed");
  api->StringFree(ctx, text);
  api->StringFree(ctx, nullptr);
  char* clip = api->ReadClipboardText(ctx);
  EXPECT_STREQ(clip, "clip");
  api->StringFree(ctx, clip);
  api->WriteClipboardText(ctx, nullptr);

  // Menu descriptions are handed over to the backend.
  api->SetApplicationMenu(ctx, 1, api->ValueList(ctx), nullptr, nullptr);
  api->SetApplicationMenu(ctx, 1, nullptr, nullptr, nullptr);
  api->ShowContextMenu(ctx, 1, 7, 8, api->ValueList(ctx), nullptr, nullptr);
  api->ShowContextMenu(ctx, 1, 7, 8, nullptr, nullptr, nullptr);
  api->SetDockMenu(ctx, nullptr, nullptr, nullptr);  // a null dock menu is passed on
  api->SetTrayMenu(ctx, 9, nullptr, nullptr, nullptr);

  api->SetDockBadge(ctx, nullptr);
  api->BounceDock(ctx, 1);
  api->SetDockVisible(ctx, false);
  api->SetDockReopenHandler(
      ctx, [](void*, bool) {}, nullptr);
  EXPECT_EQ(api->CreateTrayIcon(ctx), 9u);
  api->SetTrayIcon(ctx, 9, "png", 3);
  api->SetTrayIconDark(ctx, 9, "png", 3);
  api->SetTrayTooltip(ctx, 9, nullptr);
  api->SetTrayClickHandler(ctx, 9, nullptr, nullptr);
  api->SetTrayDoubleClickHandler(ctx, 9, nullptr, nullptr);
  int x = 0, y = 0, w = 0, h = 0;
  EXPECT_TRUE(api->GetTrayIconBounds(ctx, 9, &x, &y, &w, &h));
  EXPECT_EQ(x + y + w + h, 10);
  EXPECT_TRUE(api->GetTrayIconBounds(ctx, 9, nullptr, nullptr, nullptr, nullptr));
  api->DestroyTrayIcon(ctx, 9);

  wexlor_value* options = api->ValueDict(ctx);
  EXPECT_EQ(api->ShowNotification(ctx, options, nullptr, nullptr), 5u);  // takes `options`
  api->CloseNotification(ctx, 5);
  int state = -1;
  auto record = [](void* ud, int32_t s) { *static_cast<int*>(ud) = s; };
  api->QueryPermission(ctx, 0, record, &state);
  EXPECT_EQ(state, 0);
  api->RequestPermission(ctx, 0, record, &state);
  EXPECT_EQ(state, 1);

  EXPECT_EQ(
      backend.Calls(),
      (Calls{"ShowDialog 1 2  msg ",      "ReadClipboardText",           "WriteClipboardText ",
             "SetApplicationMenu 1 [] 1", "ShowContextMenu 1 7 8 [] 1",  "SetDockMenu <null>",
             "SetTrayMenu 9 <null>",      "SetDockBadge <null>",         "BounceDock 1",
             "SetDockVisible 0",          "SetDockReopenHandler 1",      "CreateTrayIcon",
             "SetTrayIcon 9 3",           "SetTrayIconDark 9 3",         "SetTrayTooltip 9 <null>",
             "SetTrayClickHandler 9",     "SetTrayDoubleClickHandler 9", "GetTrayIconBounds 9",
             "GetTrayIconBounds 9",       "DestroyTrayIcon 9",           "ShowNotification {}",
             "CloseNotification 5",       "QueryPermission 0",           "RequestPermission 0"}));

  // A backend that throws: no exception leaves a table entry.
  backend.failing = true;
  EXPECT_NO_THROW(api->QueryPermission(ctx, 0, record, &state));
  EXPECT_NO_THROW(api->RequestPermission(ctx, 0, record, &state));
  EXPECT_NO_THROW(api->ShowNotification(ctx, api->ValueDict(ctx), nullptr, nullptr));
  EXPECT_NO_THROW(api->GetTrayIconBounds(ctx, 9, &x, &y, &w, &h));
  EXPECT_NO_THROW(api->ShowDialog(ctx, 1, 2, nullptr, "msg", nullptr, &text));
  EXPECT_NO_THROW(api->ReadClipboardText(ctx));
  EXPECT_NO_THROW(api->SetDockReopenHandler(ctx, nullptr, nullptr));
  EXPECT_EQ(backend.Calls().size(), 31u);  // each reached the backend
  backend.failing = false;
}

TEST_F(Table, DefaultsWithoutBackend) {
  loader->SetBackend(nullptr);
  void* ctx = api->context;
  const uint32_t id = api->CreateWindow(ctx);
  EXPECT_EQ(api->CreateWindow(ctx), id + 1);  // ids are handed out all the same
  EXPECT_EQ(api->GetWindowOpacity(ctx, id), 1.0);
  EXPECT_FALSE(api->IsVisible(ctx, id));
  EXPECT_FALSE(api->IsResizable(ctx, id));
  int w = -1, h = -1;
  api->GetWindowSize(ctx, id, &w, &h);
  EXPECT_EQ(w + h, -2);  // untouched
  int state = -1;
  api->QueryPermission(
      ctx, 0, [](void* ud, int32_t s) { *static_cast<int*>(ud) = s; }, &state);
  EXPECT_EQ(state, 3);
  api->QueryPermission(ctx, 0, nullptr, nullptr);
  EXPECT_EQ(api->ShowNotification(ctx, api->ValueDict(ctx), nullptr, nullptr), 0u);
  EXPECT_EQ(api->ReadClipboardText(ctx), nullptr);
  EXPECT_EQ(api->CreateTrayIcon(ctx), 0u);
  EXPECT_EQ(api->ShowDialog(ctx, id, 0, "t", "m", "d", nullptr), 0);
  char* out = reinterpret_cast<char*>(1);
  EXPECT_EQ(api->ShowDialog(ctx, id, 0, "t", "m", "d", &out), 0);
  EXPECT_EQ(out, nullptr);
  bool called = false;
  api->ExecuteJs(
      ctx, id, "1", [](wexlor_value*, wexlor_value*, void* ud) { *static_cast<bool*>(ud) = true; },
      &called);
  api->PostUiTask(
      ctx, [](void* ud) { *static_cast<bool*>(ud) = true; }, &called);
  EXPECT_FALSE(called);
  EXPECT_TRUE(backend.Calls().empty());
}

TEST_F(Table, WindowIdsAreUniqueAcrossThreads) {
  constexpr int kThreads = 8, kEach = 500;
  std::vector<std::vector<uint32_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        ids[t].push_back(i % 2 ? api->CreateWindow(api->context)
                               : api->CreateWindowEx(api->context, 0));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> all;
  for (const auto& v : ids) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), size_t{kThreads * kEach});
  EXPECT_EQ(all.count(0), 0u);
  EXPECT_EQ(backend.Calls().size(), size_t{kThreads * kEach});
}

TEST_F(Table, HandlerRegistrations) {
  int seen = 0;
  api->SetResizeHandler(
      api->context,
      [](void* ud, uint32_t w, int32_t width, int32_t height) {
        *static_cast<int*>(ud) = static_cast<int>(w) + width + height;
      },
      &seen);
  EXPECT_TRUE(loader->resizeHandler_.Call(1u, 10, 100));
  EXPECT_EQ(seen, 111);
  api->SetResizeHandler(api->context, nullptr, &seen);
  EXPECT_FALSE(loader->resizeHandler_.Call(1u, 10, 100));

  // Registrations work without a backend as well.
  loader->SetBackend(nullptr);
  api->SetPageLoadHandler(
      api->context, [](void* ud, uint32_t w) { *static_cast<int*>(ud) = w; }, &seen);
  EXPECT_TRUE(loader->pageLoadHandler_.Call(42u));
  EXPECT_EQ(seen, 42);
  api->SetPageLoadHandler(api->context, nullptr, nullptr);
}

TEST_F(Table, NamespaceIsCopiedAndNullIgnored) {
  api->SetJsNamespace(api->context, "App");
  api->SetJsNamespace(api->context, nullptr);
  EXPECT_EQ(loader->GetJsNamespace(), "App");
  api->SetJsNamespace(api->context, "Wexlor");
}

TEST_F(Table, CallsReachTheHandlerInOrder) {
  RegisterRuntime();
  for (int i = 1; i <= 3; ++i) {
    loader->OnJsCall(7, static_cast<uint64_t>(i), "m" + std::to_string(i),
                     json::ParseText("[" + std::to_string(i) + "]"));
  }
  EXPECT_EQ(runtime.notifies, 3);
  EXPECT_TRUE(runtime.calls.empty());  // nothing runs until the runtime polls
  api->PollJsCalls(api->context);
  ASSERT_EQ(runtime.calls.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(runtime.calls[i].window, 7u);
    EXPECT_EQ(runtime.calls[i].method, "m" + std::to_string(i + 1));
    EXPECT_EQ(runtime.calls[i].args, "[" + std::to_string(i + 1) + "]");
  }
  api->PollJsCalls(api->context);  // empty queue: nothing at all
  EXPECT_EQ(runtime.calls.size(), 3u);

  // Answers: a result, an error, both handles null, and a repeated answer.
  wexlor_value* result = api->ValueString(api->context, "ok");
  wexlor_value* error = api->ValueString(api->context, "bad");
  api->JsCallRespond(api->context, runtime.calls[0].callId, result, nullptr);
  api->JsCallRespond(api->context, runtime.calls[1].callId, nullptr, error);
  api->JsCallRespond(api->context, runtime.calls[2].callId, nullptr, nullptr);
  api->JsCallRespond(api->context, runtime.calls[2].callId, result, nullptr);
  api->JsCallRespond(api->context, 987654321, result, nullptr);
  api->ValueFree(result);
  api->ValueFree(error);
  EXPECT_EQ(Responses(),
            (Calls{"RespondToJsCall 7 1 \"ok\" <none>", "RespondToJsCall 7 2 null \"bad\"",
                   "RespondToJsCall 7 3 null <none>"}));
}

TEST_F(Table, HostServedCalls) {
  // No handler: every call of the batch is rejected by the host.
  loader->OnJsCall(1, 1, "a", Value::List());
  loader->OnJsCall(1, 2, "b", Value::List());
  api->PollJsCalls(api->context);
  EXPECT_EQ(Responses(), (Calls{"RespondToJsCall 1 1 null \"No JS call handler registered\"",
                                "RespondToJsCall 1 2 null \"No JS call handler registered\""}));
  backend.Clear();

  // Link opening: only a non-empty string first argument opens anything;
  // each call is answered null and never reaches the runtime.
  RegisterRuntime();
  const char* variants[] = {"[\"https://example.org/\"]", "[]", "[5]", "[\"\"]"};
  uint64_t id = 10;
  for (const char* args : variants) {
    loader->OnJsCall(2, id++, "__wexlorOpenExternal", json::ParseText(args));
  }
  loader->OnJsCall(2, id++, "__wexlorOpenExternal", nullptr);
  api->PollJsCalls(api->context);
  EXPECT_TRUE(runtime.calls.empty());
  EXPECT_EQ(Responses(),
            (Calls{"OpenExternalURL https://example.org/", "RespondToJsCall 2 10 null <none>",
                   "RespondToJsCall 2 11 null <none>", "RespondToJsCall 2 12 null <none>",
                   "RespondToJsCall 2 13 null <none>", "RespondToJsCall 2 14 null <none>"}));
}

TEST_F(Table, SameIdsFromTwoWindowsStayApart) {
  RegisterRuntime();
  // Both pages made call 1 and passed their callback 2.
  loader->OnJsCall(1, 1, "f", json::ParseText("[{\"__callback__\":\"2\"}]"));
  loader->OnJsCall(2, 1, "f", json::ParseText("[{\"x\":[{\"__callback__\":\"2\"}]}]"));
  api->PollJsCalls(api->context);
  ASSERT_EQ(runtime.calls.size(), 2u);
  const auto& first = runtime.calls[0];
  const auto& second = runtime.calls[1];
  EXPECT_NE(first.callId, second.callId);
  const uint64_t cb1 = std::get<uint64_t>(json::ParseText(first.args)->AsList()[0]->data);
  const uint64_t cb2 = std::get<uint64_t>(
      json::ParseText(second.args)->AsList()[0]->AsDict()["x"]->AsList()[0]->data);
  EXPECT_NE(cb1, cb2);

  // Answered in reverse order, each reaches its own window with its own id.
  api->JsCallRespond(api->context, second.callId, nullptr, nullptr);
  api->JsCallRespond(api->context, first.callId, nullptr, nullptr);
  api->InvokeJsCallback(api->context, cb2, nullptr);
  api->ReleaseJsCallback(api->context, cb1);
  api->InvokeJsCallback(api->context, cb1, nullptr);  // released: goes nowhere
  EXPECT_EQ(Responses(),
            (Calls{"RespondToJsCall 2 1 null <none>", "RespondToJsCall 1 1 null <none>",
                   "InvokeJsCallback 2 2 []", "ReleaseJsCallback 1 2"}));
  backend.Clear();

  // A window whose page went away forgets its calls and callbacks.
  loader->OnJsCall(2, 5, "g", Value::List());
  api->PollJsCalls(api->context);
  loader->ForgetWindow(2);
  api->JsCallRespond(api->context, runtime.calls.back().callId, nullptr, nullptr);
  api->InvokeJsCallback(api->context, cb2, nullptr);
  EXPECT_TRUE(Responses().empty());
}

namespace {

class FakeExchange : public SchemeExchangeBase {
 public:
  std::string log;
  uint64_t ReadRequestBody(uint8_t* dest, uint64_t capacity) override {
    log += "read" + std::to_string(capacity) + ";";
    if (capacity) dest[0] = 'b';
    return capacity ? 1 : 0;
  }
  void Begin(int32_t status, const char*, uint64_t len) override {
    log += "begin" + std::to_string(status) + "/" + std::to_string(len) + ";";
  }
  int64_t WriteResponse(const uint8_t*, uint64_t length) override {
    log += "write" + std::to_string(length) + ";";
    return static_cast<int64_t>(length);
  }
  void Finish() override { log += "finish;"; }
};

}  // namespace

TEST_F(Table, SchemeRegistrationAndExchange) {
  void* ctx = api->context;
  api->RegisterSchemeHandler(ctx, "app", nullptr, nullptr, nullptr);
  EXPECT_TRUE(backend.Calls().empty());  // clearing does not reach the backend

  auto ex = std::make_shared<FakeExchange>();
  const size_t registered = SchemeExchangeBase::RegisteredCount();
  loader->DispatchSchemeRequest(3, ex, "GET", "app://x", std::string("a\0b\0", 4));
  EXPECT_EQ(ex->log, "finish;");  // no handler: finished at once, never registered
  EXPECT_EQ(SchemeExchangeBase::RegisteredCount(), registered);

  struct Seen {
    uint32_t window = 0;
    std::string method, url, headers;
    wexlor_scheme_exchange* exchange = nullptr;
  } seen;
  api->RegisterSchemeHandler(
      ctx, nullptr,
      [](void* ud, uint32_t w, wexlor_scheme_exchange* e, const char* m, const char* u,
         const char* h, size_t n) {
        auto* s = static_cast<Seen*>(ud);
        *s = {w, m, u, std::string(h, n), e};
      },
      nullptr, &seen);
  EXPECT_EQ(backend.Calls(), (Calls{"RegisterSchemeHandler "}));
  ex->log.clear();
  loader->DispatchSchemeRequest(3, ex, "POST", "app://y", std::string("a\0b\0", 4));
  EXPECT_EQ(seen.window, 3u);
  EXPECT_EQ(seen.method + " " + seen.url, "POST app://y");
  EXPECT_EQ(seen.headers, std::string("a\0b\0", 4));

  uint8_t buf[4];
  EXPECT_EQ(api->SchemeRequestReadBody(ctx, seen.exchange, buf, sizeof buf), 1);
  api->SchemeResponseBegin(ctx, seen.exchange, 200, "k\0v\0", 4);
  EXPECT_EQ(api->SchemeResponseWrite(ctx, seen.exchange, buf, 1), 1);
  api->SchemeResponseFinish(ctx, seen.exchange);
  EXPECT_EQ(ex->log, "read4;begin200/4;write1;finish;");
  EXPECT_EQ(SchemeExchangeBase::RegisteredCount(), registered);
  // A null exchange handle is ignored, with or without a backend.
  loader->SetBackend(nullptr);
  EXPECT_EQ(api->SchemeRequestReadBody(ctx, nullptr, buf, 4), -1);
  EXPECT_EQ(api->SchemeResponseWrite(ctx, nullptr, buf, 1), -1);
  api->SchemeResponseBegin(ctx, nullptr, 200, nullptr, 0);
  api->SchemeResponseFinish(ctx, nullptr);
  api->RegisterSchemeHandler(ctx, "app", nullptr, nullptr, nullptr);
}

// A careless runtime: handles used after Finish, finished twice, made up,
// or naming an address where a new exchange now lives, reach nothing.
TEST_F(Table, StaleAndUnknownExchangeHandlesAreIgnored) {
  void* ctx = api->context;
  std::vector<wexlor_scheme_exchange*> handles;
  api->RegisterSchemeHandler(
      ctx, nullptr,
      [](void* ud, uint32_t, wexlor_scheme_exchange* e, const char*, const char*, const char*,
         size_t) { static_cast<std::vector<wexlor_scheme_exchange*>*>(ud)->push_back(e); },
      nullptr, &handles);
  const size_t registered = SchemeExchangeBase::RegisteredCount();
  uint8_t buf[4] = {'x', 'y', 'z', 'w'};

  auto first = std::make_shared<FakeExchange>();
  std::weak_ptr<FakeExchange> firstAlive = first;
  loader->DispatchSchemeRequest(1, first, "GET", "app://a", "");
  ASSERT_EQ(handles.size(), 1u);
  wexlor_scheme_exchange* stale = handles[0];
  EXPECT_NE(static_cast<void*>(stale), static_cast<void*>(first.get()));  // not its address
  api->SchemeResponseFinish(ctx, stale);
  api->SchemeResponseFinish(ctx, stale);
  EXPECT_EQ(api->SchemeResponseWrite(ctx, stale, buf, 1), -1);
  EXPECT_EQ(api->SchemeRequestReadBody(ctx, stale, buf, sizeof buf), -1);
  api->SchemeResponseBegin(ctx, stale, 200, nullptr, 0);
  EXPECT_EQ(first->log, "finish;");
  EXPECT_EQ(SchemeExchangeBase::RegisteredCount(), registered);

  // Once the host lets go, the finished exchange is freed, and a new one may
  // take its memory; the old handle still reaches nothing.
  first.reset();
  EXPECT_TRUE(firstAlive.expired());
  auto second = std::make_shared<FakeExchange>();
  loader->DispatchSchemeRequest(1, second, "GET", "app://b", "");
  ASSERT_EQ(handles.size(), 2u);
  EXPECT_NE(handles[1], stale);
  EXPECT_EQ(api->SchemeResponseWrite(ctx, stale, buf, 2), -1);
  api->SchemeResponseFinish(ctx, stale);
  // Neither is any pointer the runtime might make up, the live exchange's own
  // address included.
  int local = 0;
  for (void* garbage : {static_cast<void*>(second.get()), static_cast<void*>(&local),
                        reinterpret_cast<void*>(UINTPTR_MAX), reinterpret_cast<void*>(0x1000)}) {
    auto* h = static_cast<wexlor_scheme_exchange*>(garbage);
    EXPECT_EQ(api->SchemeResponseWrite(ctx, h, buf, 1), -1);
    EXPECT_EQ(api->SchemeRequestReadBody(ctx, h, buf, 1), -1);
    api->SchemeResponseBegin(ctx, h, 200, nullptr, 0);
    api->SchemeResponseFinish(ctx, h);
  }
  EXPECT_EQ(second->log, "");
  EXPECT_EQ(api->SchemeResponseWrite(ctx, handles[1], buf, 2), 2);
  api->SchemeResponseFinish(ctx, handles[1]);
  EXPECT_EQ(second->log, "write2;finish;");
  EXPECT_EQ(SchemeExchangeBase::RegisteredCount(), registered);

  // Racing threads finishing and writing one handle: it finishes once.
  handles.clear();
  std::vector<std::shared_ptr<FakeExchange>> raced;
  for (int i = 0; i < 50; ++i) {
    raced.push_back(std::make_shared<FakeExchange>());
    loader->DispatchSchemeRequest(1, raced.back(), "GET", "app://c", "");
  }
  std::atomic<int> rejected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (wexlor_scheme_exchange* h : handles) {
        api->SchemeResponseFinish(ctx, h);
        if (api->SchemeResponseWrite(ctx, h, buf, 1) == -1) ++rejected;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(rejected.load(), 4 * 50);
  for (const auto& e : raced) EXPECT_EQ(e->log, "finish;");
  EXPECT_EQ(SchemeExchangeBase::RegisteredCount(), registered);
  api->RegisterSchemeHandler(ctx, "app", nullptr, nullptr, nullptr);
}

// Many threads queue, poll, answer and invoke at once; run under
// ThreadSanitizer as well.
TEST_F(Table, ConcurrentRoutingIsSafe) {
  std::atomic<int> answered{0};
  api->SetJsCallHandler(
      api->context,
      [](void* ud, uint32_t, uint64_t id, const char*, wexlor_value* args) {
        const auto* table = RuntimeLoader::GetInstance()->api();
        wexlor_value* cb = table->ValueListGet(args, 0);
        table->InvokeJsCallback(table->context, table->ValueGetCallbackId(cb), nullptr);
        table->ReleaseJsCallback(table->context, table->ValueGetCallbackId(cb));
        table->ValueFree(cb);
        table->JsCallRespond(table->context, id, args, nullptr);
        table->ValueFree(args);
        static_cast<std::atomic<int>*>(ud)->fetch_add(1);
      },
      &answered);
  constexpr int kProducers = 4, kEach = 300;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 1; i <= kEach; ++i) {
        loader->OnJsCall(static_cast<uint32_t>(p + 1), static_cast<uint64_t>(i), "m",
                         json::ParseText("[{\"__callback__\":\"" + std::to_string(i) + "\"}]"));
        if (i % 50 == 0) loader->ForgetWindow(static_cast<uint32_t>(p + 100));
      }
    });
  }
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      while (!done.load()) {
        api->PollJsCalls(api->context);
        api->CreateWindow(api->context);
        api->SetFocusedHandler(api->context, nullptr, nullptr);
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) threads[p].join();
  while (answered.load() < kProducers * kEach) api->PollJsCalls(api->context);
  done = true;
  for (size_t t = kProducers; t < threads.size(); ++t) threads[t].join();

  size_t responds = 0, invokes = 0, releases = 0;
  for (const auto& c : backend.Calls()) {
    responds += c.rfind("RespondToJsCall", 0) == 0;
    invokes += c.rfind("InvokeJsCallback", 0) == 0;
    releases += c.rfind("ReleaseJsCallback", 0) == 0;
  }
  EXPECT_EQ(responds, size_t{kProducers * kEach});
  EXPECT_EQ(invokes, size_t{kProducers * kEach});
  EXPECT_EQ(releases, size_t{kProducers * kEach});
}

// Clearing the backend waits for entries still using it.
TEST_F(Table, ClearingTheBackendWaitsForUsers) {
  std::atomic<bool> stop{false};
  std::thread caller([&] {
    while (!stop.load()) api->IsVisible(api->context, 1);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  loader->SetBackend(nullptr);
  const size_t after = backend.Calls().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(backend.Calls().size(), after);  // nothing reached it once cleared
  stop = true;
  caller.join();
}
