// The hello runtime loaded by the real runtime loader, with a recording
// backend in place of the windows: page calls go in through the loader's
// routing, and the answers, callbacks and window operations come out as
// recorded lines.
#include <dlfcn.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "backend/scheme_exchange.h"
#include "recording_backend.h"
#include "runtime/runtime_loader.h"
#include "value/json.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = 5s;

class HelloRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loader_->SetBackend(&backend_);
    ASSERT_TRUE(loader_->Load(HELLO_RUNTIME));
  }

  void TearDown() override {
    loader_->Shutdown();
    loader_->SetBackend(nullptr);
    unsetenv("HELLO_PAGES_DIR");
  }

  // Starts the runtime and returns the id of the window it created.
  uint32_t Start() {
    EXPECT_TRUE(loader_->Start());
    const std::string line = WaitFor("CreateWindow ");
    return line.empty() ? 0 : static_cast<uint32_t>(std::stoul(line.substr(13)));
  }

  // A page call whose arguments are given as JSON.
  void Call(uint32_t window, uint64_t pageCallId, const std::string& method,
            const std::string& argsJson) {
    loader_->OnJsCall(window, pageCallId, method, json::ParseText(argsJson));
  }

  // The first recorded line starting with `prefix`, waiting for it; "" when
  // none came in time.
  std::string WaitFor(const std::string& prefix, size_t occurrence = 1) {
    const auto deadline = Clock::now() + kPatience;
    do {
      size_t seen = 0;
      for (const auto& line : backend_.Calls()) {
        if (line.rfind(prefix, 0) == 0 && ++seen == occurrence) return line;
      }
      std::this_thread::sleep_for(2ms);
    } while (Clock::now() < deadline);
    ADD_FAILURE() << "nothing recorded starting with: " << prefix;
    return "";
  }

  size_t Count(const std::string& prefix) {
    size_t n = 0;
    for (const auto& line : backend_.Calls()) n += line.rfind(prefix, 0) == 0;
    return n;
  }

  std::string Answer(uint32_t window, uint64_t pageCallId) {
    return WaitFor("RespondToJsCall " + std::to_string(window) + " " + std::to_string(pageCallId) +
                   " ");
  }

  RuntimeLoader* loader_ = RuntimeLoader::GetInstance();
  RecordingBackend backend_;
};

TEST_F(HelloRuntimeTest, OpensOneTitledWindowOnItsAppPages) {
  const uint32_t w = Start();
  const std::string id = std::to_string(w);
  EXPECT_EQ(WaitFor("SetTitle"), "SetTitle " + id + " Hello from Wexlor");
  EXPECT_EQ(WaitFor("Navigate"), "Navigate " + id + " app://hello/index.html");
  EXPECT_EQ(Count("CreateWindow"), 1u);
}

TEST_F(HelloRuntimeTest, HasAFileMenuAndAClockContextMenu) {
  const uint32_t w = Start();
  const std::string id = std::to_string(w);
  EXPECT_EQ(WaitFor("SetApplicationMenu"),
            "SetApplicationMenu " + id +
                R"( [{"label":"File","submenu":[{"accelerator":"CmdOrCtrl+K","id":"clear",)"
                R"("label":"Clear Results"},{"type":"separator"},{"role":"quit"}]}] 1)");
  Call(w, 1, "clock.menu", "[10,20.6]");
  EXPECT_EQ(WaitFor("ShowContextMenu"), "ShowContextMenu " + id +
                                            R"( 10 20 [{"id":"copy-time","label":"Copy Time"},)"
                                            R"({"id":"stop-clock","label":"Stop Clock"}] 1)");
  EXPECT_NE(Answer(w, 1).find(" null "), std::string::npos);
}

TEST_F(HelloRuntimeTest, HasATrayIconWithBothImagesAndAMenu) {
  Start();
  const std::string line = WaitFor("SetTrayMenu");
  EXPECT_NE(line.find(R"([{"id":"show","label":"Show Window"},{"type":"separator"},)"
                      R"({"role":"quit"}])"),
            std::string::npos)
      << line;
  // Both images were found beside the library and handed over.
  EXPECT_EQ(WaitFor("SetTrayIcon ").find(" 0"), std::string::npos);
  EXPECT_EQ(WaitFor("SetTrayIconDark").find(" 0"), std::string::npos);
  EXPECT_NE(WaitFor("SetTrayTooltip").find("Hello from Wexlor"), std::string::npos);
  EXPECT_EQ(Count("SetTrayClickHandler"), 1u);
  EXPECT_EQ(Count("SetDockReopenHandler"), 1u);
}

namespace {

// Records what the runtime answers to one "app" request.
class RecordingExchange : public SchemeExchangeBase {
 public:
  int status = 0;
  std::string headers, body;
  bool finished = false;
  uint64_t ReadRequestBody(uint8_t*, uint64_t) override { return 0; }
  void Begin(int32_t s, const char* h, uint64_t n) override {
    status = s;
    headers.assign(h, n);
  }
  int64_t WriteResponse(const uint8_t* data, uint64_t n) override {
    body.append(reinterpret_cast<const char*>(data), n);
    return static_cast<int64_t>(n);
  }
  void Finish() override { finished = true; }
};

}  // namespace

TEST_F(HelloRuntimeTest, ServesItsPagesAndNothingElse) {
  const auto scratch = std::filesystem::temp_directory_path();
  std::filesystem::current_path(scratch);
  setenv("HELLO_PAGES_DIR", std::filesystem::canonical(HELLO_PAGES).c_str(), 1);
  const uint32_t w = Start();
  auto serve = [&](const char* method, const char* url) {
    auto ex = std::make_shared<RecordingExchange>();
    loader_->DispatchSchemeRequest(w, ex, method, url, "");
    EXPECT_TRUE(ex->finished) << url;
    return ex;
  };
  const auto page = serve("GET", "app://hello/index.html?x=1");
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->headers, std::string("Content-Type\0text/html; charset=utf-8\0", 38));
  EXPECT_NE(page->body.find("<html"), std::string::npos);
  EXPECT_EQ(serve("GET", "app://hello/style.css")->headers.find("text/css"), 13u);
  EXPECT_EQ(serve("GET", "app://hello/missing.js")->status, 404);
  EXPECT_EQ(serve("GET", "app://hello/../CMakeLists.txt")->status, 404);
  EXPECT_EQ(serve("GET", "app://other/index.html")->status, 404);
  EXPECT_EQ(serve("POST", "app://hello/index.html")->status, 404);
  // The tone the page plays: a whole WAV file, one second long.
  const auto tone = serve("GET", "app://hello/tone.wav");
  EXPECT_EQ(tone->headers, std::string("Content-Type\0audio/wav\0", 23));
  ASSERT_EQ(tone->body.size(), 44u + 22050u * 2);
  EXPECT_EQ(tone->body.substr(0, 4), "RIFF");
  EXPECT_EQ(tone->body.substr(36, 4), "data");
  unsetenv("HELLO_PAGES_DIR");
}

TEST_F(HelloRuntimeTest, AnswersEveryMethod) {
  const uint32_t w = Start();
  Call(w, 1, "greet", R"(["Ann"])");
  Call(w, 2, "greet", R"([""])");
  Call(w, 3, "math.add", "[2, 3.5]");
  Call(w, 4, "math.add", "[-7, 7]");
  Call(w, 5, "echo", R"([{"__binary__":"AP8QIA=="}])");
  Call(w, 6, "echo", R"([{"__binary__":""}])");

  const std::string id = std::to_string(w);
  EXPECT_EQ(Answer(w, 1),
            "RespondToJsCall " + id + R"( 1 "Hello, Ann! Greetings from the runtime." <none>)");
  EXPECT_EQ(Answer(w, 2), "RespondToJsCall " + id +
                              R"( 2 "Hello, stranger! Greetings from the runtime." <none>)");
  EXPECT_EQ(Answer(w, 3), "RespondToJsCall " + id + " 3 5.5 <none>");
  EXPECT_EQ(Answer(w, 4), "RespondToJsCall " + id + " 4 0 <none>");
  EXPECT_EQ(Answer(w, 5), "RespondToJsCall " + id + R"( 5 {"__binary__":"AP8QIA=="} <none>)");
  EXPECT_EQ(Answer(w, 6), "RespondToJsCall " + id + R"( 6 {"__binary__":""} <none>)");
}

TEST_F(HelloRuntimeTest, RejectsBadArgumentsAndUnknownMethods) {
  const uint32_t w = Start();
  Call(w, 1, "math.add", R"(["2", 3])");
  Call(w, 2, "math.add", "[1]");
  Call(w, 3, "math.add", "[1e308, 1e308]");
  Call(w, 4, "greet", "[42]");
  Call(w, 5, "echo", R"(["not bytes"])");
  Call(w, 6, "clock.subscribe", "[1]");
  Call(w, 7, "math.subtract", "[3, 1]");

  const std::string id = std::to_string(w);
  const auto rejected = [&](int call, const std::string& message) {
    return "RespondToJsCall " + id + " " + std::to_string(call) + " null \"" + message + "\"";
  };
  EXPECT_EQ(Answer(w, 1), rejected(1, "math.add expects two numbers"));
  EXPECT_EQ(Answer(w, 2), rejected(2, "math.add expects two numbers"));
  EXPECT_EQ(Answer(w, 3), rejected(3, "the sum is too large"));
  EXPECT_EQ(Answer(w, 4), rejected(4, "greet expects a name"));
  EXPECT_EQ(Answer(w, 5), rejected(5, "echo expects an ArrayBuffer or a Uint8Array"));
  EXPECT_EQ(Answer(w, 6), rejected(6, "clock.subscribe expects a function"));
  EXPECT_EQ(Answer(w, 7), rejected(7, "unknown method: math.subtract"));
}

TEST_F(HelloRuntimeTest, CallsArrivingInBurstsAreEachAnsweredOnce) {
  const uint32_t w = Start();
  constexpr int kCalls = 500;
  for (int i = 1; i <= kCalls; ++i) {
    Call(w, i, "math.add", "[" + std::to_string(i) + ", 1]");
    if (i % 50 == 0) std::this_thread::sleep_for(1ms);  // some while the runtime is polling
  }
  WaitFor("RespondToJsCall", kCalls);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Count("RespondToJsCall"), static_cast<size_t>(kCalls));
  EXPECT_EQ(Answer(w, kCalls), "RespondToJsCall " + std::to_string(w) + " " +
                                   std::to_string(kCalls) + " " + std::to_string(kCalls + 1) +
                                   " <none>");
}

TEST_F(HelloRuntimeTest, ClockTicksEverySecondUntilUnsubscribed) {
  const uint32_t w = Start();
  const std::string id = std::to_string(w);
  const std::string tick = "InvokeJsCallback " + id + " 42 ";
  const auto start = Clock::now();
  Call(w, 1, "clock.subscribe", R"([{"__callback__":"42"}])");
  EXPECT_EQ(Answer(w, 1), "RespondToJsCall " + id + " 1 null <none>");

  // At once, then on the following seconds.
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_TRUE(std::regex_match(WaitFor(tick), std::regex(tick + R"(\["\d\d:\d\d:\d\d"\])")));
  WaitFor(tick, 3);
  const auto elapsed = Clock::now() - start;
  EXPECT_GT(elapsed, 1s);
  EXPECT_LT(elapsed, 2500ms);

  Call(w, 2, "clock.unsubscribe", "[]");
  Answer(w, 2);
  EXPECT_EQ(WaitFor("ReleaseJsCallback"), "ReleaseJsCallback " + id + " 42");
  const size_t ticks = Count(tick);
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(Count(tick), ticks);
}

TEST_F(HelloRuntimeTest, SubscribingAgainReplacesThePreviousCallback) {
  const uint32_t w = Start();
  const std::string id = std::to_string(w);
  Call(w, 1, "clock.subscribe", R"([{"__callback__":"42"}])");
  Call(w, 2, "clock.subscribe", R"([{"__callback__":"43"}])");
  EXPECT_EQ(WaitFor("ReleaseJsCallback"), "ReleaseJsCallback " + id + " 42");
  WaitFor("InvokeJsCallback " + id + " 43 ", 2);            // a tick after the replacement
  EXPECT_EQ(Count("InvokeJsCallback " + id + " 42 "), 1u);  // only the immediate one
}

TEST_F(HelloRuntimeTest, ShutdownIsPromptAndReleasesTheClockCallbacks) {
  const uint32_t w = Start();
  Call(w, 1, "clock.subscribe", R"([{"__callback__":"7"}])");
  Answer(w, 1);
  const auto start = Clock::now();
  loader_->Shutdown();
  EXPECT_LT(Clock::now() - start, 200ms);
  EXPECT_FALSE(loader_->running());
  EXPECT_EQ(WaitFor("ReleaseJsCallback"), "ReleaseJsCallback " + std::to_string(w) + " 7");
}

TEST_F(HelloRuntimeTest, ShutdownBeforeStartMakesStartReturnAtOnce) {
  void* library = dlopen(HELLO_RUNTIME, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr);
  auto init = reinterpret_cast<wexlor_runtime_init_fn>(dlsym(library, "wexlor_runtime_init"));
  auto start = reinterpret_cast<wexlor_runtime_start_fn>(dlsym(library, "wexlor_runtime_start"));
  auto shutdown =
      reinterpret_cast<wexlor_runtime_shutdown_fn>(dlsym(library, "wexlor_runtime_shutdown"));
  ASSERT_TRUE(init && start && shutdown);

  ASSERT_EQ(init(loader_->api()), 0);
  shutdown();
  const auto begin = Clock::now();
  EXPECT_EQ(start(), 0);
  EXPECT_LT(Clock::now() - begin, 200ms);
  shutdown();  // after the end, too
  dlclose(library);
}

TEST_F(HelloRuntimeTest, RefusesAnOlderHost) {
  void* library = dlopen(HELLO_RUNTIME, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr);
  auto init = reinterpret_cast<wexlor_runtime_init_fn>(dlsym(library, "wexlor_runtime_init"));
  ASSERT_NE(init, nullptr);
  wexlor_backend_api older = *loader_->api();
  older.version = WEXLOR_BACKEND_API_VERSION - 1;
  EXPECT_NE(init(&older), 0);
  wexlor_backend_api newer = *loader_->api();
  newer.version = WEXLOR_BACKEND_API_VERSION + 1;
  EXPECT_NE(init(&newer), 0);
  EXPECT_NE(init(nullptr), 0);
  EXPECT_EQ(Count("CreateWindow"), 0u);
  dlclose(library);
}

TEST_F(HelloRuntimeTest, CloseRequestClosesTheWindowAndPageLoadsAreLogged) {
  const uint32_t w = Start();
  const std::string id = std::to_string(w);

  testing::internal::CaptureStdout();
  loader_->pageLoadHandler_.Call(w);
  loader_->closeRequestedHandler_.Call(w);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_NE(out.find("[hello] window " + id + ": page loaded\n"), std::string::npos) << out;
  EXPECT_EQ(WaitFor("CloseWindow"), "CloseWindow " + id);
}

TEST_F(HelloRuntimeTest, PostsANotificationWithTwoButtonsAndPassesItsEventsOn) {
  const uint32_t w = Start();
  EXPECT_EQ(WaitFor("QueryPermission"), "QueryPermission 1");
  Call(w, 1, "notify.show", R"([{"__callback__":"8"}])");
  const std::string id = std::to_string(w);
  EXPECT_EQ(Answer(w, 1), "RespondToJsCall " + id + " 1 5 <none>");
  const std::string posted = WaitFor("ShowNotification ");
  EXPECT_NE(posted.find(R"("actions":[{"id":"reply","title":"Reply"},)"
                        R"({"id":"later","title":"Remind me later"}])"),
            std::string::npos)
      << posted;
  EXPECT_NE(posted.find(R"("tag":"hello")"), std::string::npos) << posted;

  ASSERT_NE(backend_.notificationHandler, nullptr);
  testing::internal::CaptureStdout();
  backend_.notificationHandler(backend_.notificationData, 5, 3, "reply");
  backend_.notificationHandler(backend_.notificationData, 5, 2, nullptr);
  backend_.notificationHandler(backend_.notificationData, 5, 1, nullptr);  // after the end
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[hello] notification 5: button reply\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[hello] notification 5: closed\n"), std::string::npos) << out;
  EXPECT_EQ(WaitFor("InvokeJsCallback"), "InvokeJsCallback " + id + R"( 8 [5,"button","reply"])");
  EXPECT_EQ(WaitFor("InvokeJsCallback", 2), "InvokeJsCallback " + id + R"( 8 [5,"closed",null])");
  EXPECT_EQ(WaitFor("ReleaseJsCallback"), "ReleaseJsCallback " + id + " 8");
  EXPECT_EQ(Count("InvokeJsCallback"), 2u);
}

}  // namespace
