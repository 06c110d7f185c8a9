// Website data and web-content policy: each application's private profile,
// cookies that outlive the process, media from the "app" scheme, the
// inspector's default, drops and the pages' permission requests.
#include <unistd.h>

#include <algorithm>
#include <set>

#include "harness.h"

namespace gui {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kIndex = "app://app/index.html";

// Every file below `dir`, relative to it.
std::set<std::string> FilesBelow(const fs::path& dir) {
  std::set<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_regular_file(ec)) files.insert(fs::relative(it->path(), dir).string());
  }
  return files;
}

// The runtime serves `body` as app://app/index.html.
void ServeIndex(Host& host, const std::string& body) {
  ASSERT_EQ(host.Command({"scheme", "on"}), Tokens{"ok"});
  ASSERT_EQ(host.Command({"scheme", "route", kIndex, "200", body, "Content-Type", "text/html"}),
            Tokens{"ok"});
}

// ---------------------------------------------------------------------------
// Profiles and cookies: every test starts the hosts it needs, on one X
// server, with a home and XDG directories that outlive each host.

class GuiWebData : public OwnHostsTest {
 protected:
  void SetUp() override {
    OwnHostsTest::SetUp();
    // Nested, so a name climbing out of the data directory would land in
    // x/ or the root, where the test looks.
    for (const char* d : {"home", "x/y/data", "x/y/cache"})
      fs::create_directories(root_.path() / d);
  }

  std::map<std::string, std::string> Environment(
      const std::map<std::string, std::string>& extra = {}) const {
    std::map<std::string, std::string> env = {
        {"HOME", (root_.path() / "home").string()},
        {"XDG_DATA_HOME", (root_.path() / "x/y/data").string()},
        {"XDG_CACHE_HOME", (root_.path() / "x/y/cache").string()}};
    for (const auto& [k, v] : extra) env[k] = v;
    return env;
  }

  // A copy of the test runtime at `relative`: another library path.
  std::string RuntimeCopy(const std::string& relative) const {
    const fs::path path = root_.path() / relative;
    fs::create_directories(path.parent_path());
    fs::copy_file(WEXLOR_GUI_RUNTIME, path, fs::copy_options::overwrite_existing);
    return path.string();
  }

  // Starts a host with `runtime`, shows app://app/index.html, evaluates
  // `script` until it gives a value and stops the host.
  std::string RunPage(const std::string& runtime, const std::string& script,
                      const std::map<std::string, std::string>& extra = {}) {
    Host host;
    if (!host.Start(*session_, {"--runtime", runtime}, Environment(extra))) return "no host";
    ServeIndex(host, "<!doctype html><title>profile</title>");
    const uint32_t w = host.CreateWindow();
    if (!host.NavigateAndWait(w, kIndex)) return "no page";
    const std::string value = host.EvalUntil(w, script);
    EXPECT_EQ(host.Stop(), "") << host.StderrText();
    return value;
  }

  TempDir root_;
};

TEST_F(GuiWebData, EachRuntimeKeepsAProfileOfItsOwn) {
  const std::string a = RuntimeCopy("a/libruntime.so");
  const std::string b = RuntimeCopy("b/libruntime.so");
  // IndexedDB commits each transaction; the engine writes localStorage in
  // batches, so the page waits a second before the host ends.
  const std::string put =
      "localStorage.setItem('who', '%s');"
      "if (!window.__put) { window.__put = 'wait'; const r = indexedDB.open('p', 1);"
      "  r.onupgradeneeded = () => r.result.createObjectStore('s');"
      "  r.onsuccess = () => { const t = r.result.transaction('s', 'readwrite');"
      "    t.objectStore('s').put('%s', 'who'); t.oncomplete = () => { window.__put = 'done'; }; "
      "}; }"
      "window.__since = window.__since || Date.now();"
      "window.__put === 'done' && Date.now() - __since > 1000 ? localStorage.getItem('who') : null";
  auto putAs = [&](const std::string& who) {
    std::string s = put;
    for (size_t at; (at = s.find("%s")) != std::string::npos;) s.replace(at, 2, who);
    return s;
  };
  const std::string get =
      "if (!window.__got) { window.__got = 'wait'; const r = indexedDB.open('p', 1);"
      "  r.onupgradeneeded = () => r.result.createObjectStore('s');"
      "  r.onsuccess = () => { const q = r.result.transaction('s').objectStore('s').get('who');"
      "    q.onsuccess = () => { window.__got = `${q.result} ${localStorage.getItem('who')}`; };"
      "  }; }"
      "window.__got === 'wait' ? null : window.__got";

  EXPECT_EQ(RunPage(a, putAs("a")), "\"a\"");
  // Another runtime, with a name that climbs out of the data directory: it
  // neither sees the first one's data nor writes anywhere else.
  EXPECT_EQ(RunPage(b, get, {{"WEXLOR_APP_NAME", "../../esc"}}), "\"undefined null\"");
  EXPECT_EQ(RunPage(b, putAs("b"), {{"WEXLOR_APP_NAME", "AC/DC"}}), "\"b\"");
  // The first runtime again, renamed: its data is where it was.
  EXPECT_EQ(RunPage(a, get, {{"WEXLOR_APP_NAME", "Renamed"}}), "\"a a\"");

  const std::set<std::string> before = FilesBelow(root_.path());
  EXPECT_TRUE(fs::exists(root_.path() / "x/y/data/wexlor")) << "no profile folder";
  EXPECT_FALSE(fs::exists(root_.path() / "x/esc"));
  EXPECT_FALSE(fs::exists(root_.path() / "esc"));
  EXPECT_FALSE(fs::exists(root_.path() / "x/y/data/AC"));
  for (const auto& f : before) {
    EXPECT_TRUE(f.rfind("x/y/", 0) == 0 || f.rfind("home/", 0) == 0 || f.rfind("a/", 0) == 0 ||
                f.rfind("b/", 0) == 0)
        << f;
    EXPECT_THAT(f, Not(HasSubstr("esc"))) << f;
  }

  // Ephemeral: nothing is written anywhere.
  EXPECT_EQ(RunPage(a, putAs("e"), {{"WEXLOR_EPHEMERAL", "1"}}), "\"e\"");
  std::set<std::string> written;
  for (const auto& f : FilesBelow(root_.path())) {
    // The graphics driver's shader cache is not website data.
    if (!before.count(f) && f.find("mesa_shader_cache") == std::string::npos) written.insert(f);
  }
  EXPECT_TRUE(written.empty()) << *written.begin();
}

TEST_F(GuiWebData, CookiesOfWebPagesOutliveTheProcess) {
  HttpServer server;
  ASSERT_TRUE(server.Start());
  server.Add("/login", "<!doctype html><title>login</title>",
             "Set-Cookie: session=kept; Max-Age=86400; Path=/\r\n");
  server.Add("/", "<!doctype html><title>home</title>");
  const std::string runtime = RuntimeCopy("c/libruntime.so");
  for (int run = 0; run < 2; ++run) {
    Host host;
    ASSERT_TRUE(host.Start(*session_, {"--runtime", runtime}, Environment()));
    const uint32_t w = host.CreateWindow();
    ASSERT_TRUE(host.NavigateAndWait(w, server.origin() + (run == 0 ? "/login" : "/")));
    EXPECT_EQ(host.EvalValue(w, "document.cookie"), "\"session=kept\"") << "run " << run;
    EXPECT_EQ(host.Stop(), "");
  }
}

// The engine's player opens no custom scheme (see docs/platforms.md); the
// documented road is a blob of the runtime's answer, which plays and seeks.
TEST_F(GuiWebData, MediaFromTheAppSchemePlaysAndSeeksThroughABlob) {
  if (std::system("command -v gst-launch-1.0 >/dev/null") != 0) {
    GTEST_SKIP() << "gst-launch-1.0 (gstreamer1.0-tools) is needed to make the clip";
  }
  TempDir dir;
  const fs::path clip = dir.path() / "clip.webm";
  ASSERT_EQ(std::system(("gst-launch-1.0 -q videotestsrc num-buffers=60 ! "
                         "video/x-raw,width=160,height=120,framerate=30/1 ! vp8enc deadline=1 ! "
                         "webmmux ! filesink location='" +
                         clip.string() + "'")
                            .c_str()),
            0);
  std::ifstream in(clip, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 1000u);
  Host host;
  ASSERT_TRUE(host.Start(*session_, {}, Environment()));
  ServeIndex(host, "<!doctype html><title>media</title>");
  host.Command(
      {"scheme", "route", "app://app/clip.webm", "200", bytes, "Content-Type", "video/webm"});
  const uint32_t w = host.CreateWindow();
  ASSERT_TRUE(host.NavigateAndWait(w, kIndex));
  host.Eval(w,
            "window.played = null; (async () => { try {"
            "  const v = document.createElement('video'); v.muted = true; document.body.append(v);"
            "  const blob = await (await fetch('app://app/clip.webm')).blob();"
            "  v.src = URL.createObjectURL(blob); await v.play();"
            "  await new Promise((r) => v.addEventListener('timeupdate', r, {once: true}));"
            "  v.currentTime = 1.5;"
            "  await new Promise((r) => v.addEventListener('seeked', r, {once: true}));"
            "  played = `${v.duration.toFixed(1)} ${v.currentTime.toFixed(1)}`;"
            "} catch (e) { played = 'error ' + e; } })(); 0");
  // Two seconds long, and at 1.5 s after the seek.
  EXPECT_EQ(host.EvalUntil(w, "played"), "\"2.0 1.5\"");
  EXPECT_EQ(host.Stop(), "");
}

// ---------------------------------------------------------------------------
// Policy: one shared host.

class GuiWebPolicy : public GuiTest {
 protected:
  static void SetUpTestSuite() { StartSuite(); }
  static void TearDownTestSuite() { StopSuite(); }
};

TEST_F(GuiWebPolicy, PagePermissionsAreDeniedUnlessTheRuntimeAllows) {
  ServeIndex(host(), "<!doctype html><title>permissions</title>");
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().NavigateAndWait(w, kIndex));
  // The error code geolocation reports: 1 is "permission denied".
  const std::string ask =
      "window.__geo = null; navigator.geolocation.getCurrentPosition("
      "  () => { window.__geo = 'position'; }, (e) => { window.__geo = 'error ' + e.code; }); 0";
  host().Eval(w, ask);
  EXPECT_EQ(host().EvalUntil(w, "window.__geo"), "\"error 1\"");
  EXPECT_THAT(host().StderrText(),
              HasSubstr("wexlor: window " + std::to_string(w) +
                        ": denied the page's geolocation request (app://app)\n"));

  // The engine remembers a document's answer: each decision gets a new one.
  ASSERT_EQ(host().Command({"pagepermission", "allow"}), Tokens{"ok"});
  ASSERT_TRUE(host().NavigateAndWait(w, kIndex + "?allow"));
  size_t mark = host().Mark();
  host().Eval(w, ask);
  EXPECT_TRUE(
      host().WaitFor({"page-permission", std::to_string(w), "geolocation", "app://app"}, mark));
  // Allowed: the engine looks for a position (there is none here).
  EXPECT_THAT(host().EvalUntil(w, "window.__geo"), Not(HasSubstr("error 1")));

  ASSERT_EQ(host().Command({"pagepermission", "deny"}), Tokens{"ok"});
  ASSERT_TRUE(host().NavigateAndWait(w, kIndex + "?deny"));
  mark = host().Mark();
  host().Eval(w, ask);
  EXPECT_TRUE(host().WaitFor({"page-permission", std::to_string(w), "geolocation"}, mark));
  EXPECT_EQ(host().EvalUntil(w, "window.__geo"), "\"error 1\"");
  ASSERT_EQ(host().Command({"pagepermission", "off"}), Tokens{"ok"});
  host().Close(w);
}

// The height of the context menu a right click on the window's page opens
// (0 when none opens); the menu is closed again.
int ContextMenuHeight(XSession& session, XWindow window) {
  const char* kPopup = "_NET_WM_WINDOW_TYPE_POPUP_MENU";
  int x = 0, y = 0;
  if (!session.ClientOrigin(window, &x, &y)) return 0;
  session.Xdotool({"mousemove", std::to_string(x + 60), std::to_string(y + 60)});
  session.Xdotool({"click", "3"});
  int height = 0;
  for (int i = 0; i < 100 && height == 0; ++i) {
    std::this_thread::sleep_for(50ms);
    const auto popups = session.MappedWindowsOfType(kPopup);
    if (!popups.empty()) {
      std::this_thread::sleep_for(200ms);  // laid out
      height = session.Height(popups[0]);
    }
  }
  session.Xdotool({"key", "Escape"});
  for (int i = 0; i < 100 && !session.MappedWindowsOfType(kPopup).empty(); ++i) {
    std::this_thread::sleep_for(50ms);
  }
  return height;
}

TEST_F(GuiWebPolicy, InspectorIsOffUntilAskedFor) {
  SKIP_ON_WAYLAND(kNoXWindows);
  const std::string page = "<!doctype html><title>inspector</title><body style='height:100vh'>";
  ServeIndex(host(), page);
  const uint32_t w = host().CreateWindow();
  ASSERT_TRUE(host().NavigateAndWait(w, kIndex));
  // No "Inspect Element" in the page's context menu.
  const int plain = ContextMenuHeight(session(), host().XWindowOf(w));
  ASSERT_GT(plain, 0);
  // OpenDevTools still shows it (attached: the page gets smaller).
  const std::string height = host().EvalValue(w, "innerHeight");
  ASSERT_EQ(host().Command({"devtools", std::to_string(w)}), Tokens{"ok"});
  EXPECT_NE(host().EvalUntil(w, "innerHeight < " + height + " || null"), "timeout");
  host().Close(w);

  // For developers: in every window.
  Host developer;
  ASSERT_TRUE(developer.Start(session(), {}, {{"WEXLOR_DEVTOOLS", "1"}}));
  ServeIndex(developer, page);
  const uint32_t d = developer.CreateWindow();
  ASSERT_TRUE(developer.NavigateAndWait(d, kIndex));
  EXPECT_GT(ContextMenuHeight(session(), developer.XWindowOf(d)), plain);
  EXPECT_EQ(developer.Stop(), "");
}

// Drags `uris` from a real drag source (its own window at the screen's
// corner) to root coordinates (x, y), with XTest motion as a hand would.
void Drag(XSession& session, const TempDir& dir, const std::vector<std::string>& uris, int x,
          int y) {
  static int count = 0;
  const std::string title =
      "wexlor-drag-" + std::to_string(getpid()) + "-" + std::to_string(++count);
  std::vector<std::string> argv = {WEXLOR_DRAG_SOURCE, title, "0", "0"};
  argv.insert(argv.end(), uris.begin(), uris.end());
  Child source;
  ASSERT_TRUE(source.Start(argv,
                           {"DISPLAY=" + session.display(), "GDK_BACKEND=x11", "NO_AT_BRIDGE=1",
                            "HOME=" + dir.path().string(), "PATH=/usr/bin:/bin"},
                           dir.path(), dir.path() / "drag.out", dir.path() / "drag.err"));
  const XWindow w = session.FindWindow(title, kTimeout, true);
  ASSERT_NE(w, 0u) << "no drag source window";
  int sx = 0, sy = 0;
  ASSERT_TRUE(session.ClientOrigin(w, &sx, &sy));
  sx += 40;
  sy += 40;
  std::this_thread::sleep_for(200ms);
  session.Xdotool({"mousemove", std::to_string(sx), std::to_string(sy)});
  session.Xdotool({"mousedown", "1"});
  constexpr int kSteps = 12;
  for (int i = 1; i <= kSteps; ++i) {
    session.Xdotool({"mousemove", std::to_string(sx + (x - sx) * i / kSteps),
                     std::to_string(sy + (y - sy) * i / kSteps)});
    std::this_thread::sleep_for(40ms);
  }
  // The page sees the drag arrive, then the drop.
  session.Xdotool({"mousemove", std::to_string(x + 1), std::to_string(y + 1)});
  std::this_thread::sleep_for(300ms);
  session.Xdotool({"mousemove", std::to_string(x), std::to_string(y)});
  std::this_thread::sleep_for(300ms);
  session.Xdotool({"mouseup", "1"});
  std::this_thread::sleep_for(500ms);
  source.Terminate(1s);
}

TEST_F(GuiWebPolicy, DropsReachThePageAndTheRuntimeAndNeverNavigate) {
  SKIP_ON_WAYLAND(kNoXInput);
  TempDir dir;
  const fs::path notes = dir.Write("notes one.txt", "notes");
  const fs::path image = dir.Write("image.png", "png");
  const fs::path evil = dir.Write("evil.html", "<!doctype html><title>evil</title>");
  auto uri = [](const fs::path& p) {
    std::string u = "file://";
    for (char c : p.string()) u += c == ' ' ? std::string("%20") : std::string(1, c);
    return u;
  };
  ASSERT_EQ(host().Command({"scheme", "on"}), Tokens{"ok"});
  ASSERT_EQ(host().Command({"scheme", "route", "app://app/takes.html", "200",
                            "<!doctype html><body style='margin:0;height:100vh'><script>"
                            "window.drops = 0;"
                            "addEventListener('dragover', (e) => e.preventDefault());"
                            "addEventListener('drop', (e) => { e.preventDefault(); ++drops; });"
                            "</script>",
                            "Content-Type", "text/html"}),
            Tokens{"ok"});
  ASSERT_EQ(host().Command({"scheme", "route", "app://app/plain.html", "200",
                            "<!doctype html><body style='margin:0;height:100vh'>plain",
                            "Content-Type", "text/html"}),
            Tokens{"ok"});
  ASSERT_EQ(host().Command({"drops", "on"}), Tokens{"ok"});
  const uint32_t w = host().CreateWindow();
  host().Command({"setpos", std::to_string(w), "300", "200"});
  host().Command({"setsize", std::to_string(w), "400", "300"});
  ASSERT_TRUE(host().NavigateAndWait(w, "app://app/takes.html"));
  int ox = 0, oy = 0;
  ASSERT_TRUE(session().ClientOrigin(host().XWindowOf(w), &ox, &oy));
  const std::string id = std::to_string(w);

  // A page with drop handlers gets the drop; the runtime gets the paths
  // and the point in the web view.
  size_t mark = host().Mark();
  Drag(session(), dir, {uri(notes), uri(image)}, ox + 100, oy + 120);
  auto drop = host().WaitFor({"drop", id}, mark);
  ASSERT_TRUE(drop) << host().StderrText();
  ASSERT_EQ(drop->tokens.size(), 6u) << drop->text;
  EXPECT_NEAR(std::stoi(drop->tokens[2]), 100, 3);
  EXPECT_EQ(drop->tokens[4], notes.string());
  EXPECT_EQ(drop->tokens[5], image.string());
  EXPECT_EQ(host().EvalUntil(w, "drops || null"), "1");

  // A page without: neither a dropped file nor a dropped web link replaces it.
  ASSERT_TRUE(host().NavigateAndWait(w, "app://app/plain.html"));
  mark = host().Mark();
  Drag(session(), dir, {uri(evil)}, ox + 150, oy + 150);
  EXPECT_TRUE(host().WaitFor({"drop", id, "*", "*", evil.string()}, mark));
  Drag(session(), dir, {"http://127.0.0.1:9/remote"}, ox + 150, oy + 150);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(host().EvalValue(w, "location.href"), "\"app://app/plain.html\"");
  EXPECT_TRUE(host().EventsSince(mark, {"load", id}).empty());
  // A link is no file: the runtime heard of one drop only.
  EXPECT_EQ(host().EventsSince(mark, {"drop", id}).size(), 1u);
  ASSERT_EQ(host().Command({"drops", "off"}), Tokens{"ok"});
  host().Close(w);
}

}  // namespace
}  // namespace gui
