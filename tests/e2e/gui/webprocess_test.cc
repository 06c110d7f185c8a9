// Web processes: a page whose process is killed, a page that stops
// answering, and the sandbox around web content.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <set>

#include "harness.h"

namespace gui {
namespace {

std::string W(uint32_t window) { return std::to_string(window); }

// The engine's web processes among the descendants of `root` (the
// sandbox puts bubblewrap in between).
std::set<pid_t> WebProcesses(pid_t root) {
  std::map<pid_t, pid_t> parent;
  std::set<pid_t> web;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return web;
  while (dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::string(entry->d_name) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
    if (state == 'Z') continue;
    parent[pid] = ppid;
    if (stat.compare(open + 1, close - open - 1, "WebKitWebProces") == 0) web.insert(pid);
  }
  closedir(proc);
  std::set<pid_t> mine;
  for (pid_t pid : web) {
    for (pid_t p = pid; p > 1 && parent.count(p) != 0; p = parent[p]) {
      if (parent[p] == root) {
        mine.insert(pid);
        break;
      }
    }
  }
  return mine;
}

// Web processes that are not in `known`, waiting until there is one.
std::set<pid_t> NewWebProcesses(pid_t root, const std::set<pid_t>& known) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  do {
    std::set<pid_t> fresh;
    for (pid_t pid : WebProcesses(root)) {
      if (known.count(pid) == 0) fresh.insert(pid);
    }
    if (!fresh.empty()) return fresh;
    std::this_thread::sleep_for(50ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return {};
}

std::string MountNamespace(pid_t pid) {
  std::error_code ec;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/ns/mnt", ec).string();
}

// A page that makes calls and records how they settle.
const char kPage[] = R"(<!doctype html><title>webproc</title><script>
window.results = {};
function track(name, promise) {
  promise.then(function (r) { results[name] = 'ok ' + JSON.stringify(r); },
               function (e) { results[name] = 'err ' + e.message; });
}
</script>)";

// A reported call: "call <window> <call id> <method> <args>".
struct Call {
  std::string id, callback;
};

class GuiWebProcess : public GuiTest {
 protected:
  static void SetUpTestSuite() {
    StartSuite();
    if (host_) {
      other_ = host_->CreateWindow();
      host_->LoadHtml(other_, "<title>bystander</title>");
    }
  }
  static void TearDownTestSuite() { StopSuite(); }

  // Runs `script`, which makes one call with a callback as its argument.
  Call CallFrom(uint32_t window, const std::string& script) {
    const size_t mark = host().Mark();
    host().Eval(window, script);
    const auto e = host().WaitFor({"call", W(window)}, mark);
    if (!e || e->tokens.size() != 5) return {};
    const std::string& args = e->tokens[4];  // [cb:<id>]
    return {e->tokens[2], args.size() > 5 ? args.substr(4, args.size() - 5) : ""};
  }

  // Kills the window's web processes (found as those that are not the
  // bystander's) and returns the mark from before.
  size_t KillPageOf(const std::set<pid_t>& bystander) {
    const std::set<pid_t> pids = NewWebProcesses(host().pid(), bystander);
    EXPECT_FALSE(pids.empty()) << "no web process found";
    const size_t mark = host().Mark();
    for (pid_t pid : pids) kill(pid, SIGKILL);
    return mark;
  }

  bool StderrHas(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (host().StderrText().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }

  static uint32_t other_;
};

uint32_t GuiWebProcess::other_ = 0;

TEST_F(GuiWebProcess, KilledPageIsForgottenReportedAndReloaded) {
  const std::set<pid_t> bystander = WebProcesses(host().pid());
  ASSERT_FALSE(bystander.empty());
  TempDir dir;
  const std::string page = dir.Write("page.html", kPage).string();
  const uint32_t win = host().CreateWindow();
  ASSERT_TRUE(host().NavigateAndWait(win, page));
  const std::string script = "track('p', Wexlor.hold(function () { window.ran = true; }))";
  const Call old = CallFrom(win, script);
  ASSERT_FALSE(old.callback.empty());
  host().Command({"scheme", "on"});
  size_t mark = host().Mark();
  host().Eval(win, "fetch('app://app/held').catch(function () {}); 1");
  const auto request = host().WaitFor({"scheme-request", W(win)}, mark);
  ASSERT_TRUE(request);
  const std::string exchange = request->tokens.at(2);

  // With a handler: reported with the reason, nothing reloaded; the open
  // request is stopped.
  ASSERT_EQ(host().Command({"webproc", "on"}), Tokens{"ok"});
  mark = KillPageOf(bystander);
  ASSERT_TRUE(host().WaitFor({"webproc", W(win), "0"}, mark));
  EXPECT_EQ(host().Eval(win, "1").error, "\"The page's web process has ended\"");
  EXPECT_TRUE(host().WaitFor({"scheme-stop", exchange}, mark, 5s));
  EXPECT_EQ(host().Command({"scheme", "write", exchange, "late"}), Tokens{"-1"});
  host().Command({"scheme", "finish", exchange});
  host().Command({"scheme", "off"});
  host().Command({"invoke", old.callback, "[]"});
  host().Sync();
  EXPECT_TRUE(host().EventsSince(mark, {"load", W(win)}).empty());

  // The runtime loads the page again; the old call's late answer and its
  // callback do not reach the new page, which numbers its call alike.
  ASSERT_TRUE(host().NavigateAndWait(win, page));
  const Call fresh = CallFrom(win, script);
  ASSERT_FALSE(fresh.id.empty());
  EXPECT_NE(fresh.id, old.id);
  host().Command({"respond", old.id, "\"stale\""});
  host().Command({"invoke", old.callback, "[]"});
  host().Sync();
  EXPECT_EQ(host().EvalValue(win, "[results.p === undefined, window.ran === undefined]"),
            "[true,true]");
  host().Command({"respond", fresh.id, "\"fresh\""});
  EXPECT_EQ(host().EvalUntil(win, "results.p"), "\"ok \\\"fresh\\\"\"");

  // Without a handler: the host reloads three times a minute (a file, then
  // HTML text, which the engine cannot reload itself), then shows its error
  // page and says so.
  ASSERT_EQ(host().Command({"webproc", "off"}), Tokens{"ok"});
  for (int i = 0; i < 3; ++i) {
    if (i == 1) {
      ASSERT_TRUE(host().LoadHtml(win, kPage));
    }
    mark = KillPageOf(bystander);
    ASSERT_TRUE(host().WaitFor({"load", W(win)}, mark)) << "reload " << i + 1;
    EXPECT_EQ(host().EvalValue(win, "document.title"), "\"webproc\"");
  }
  mark = KillPageOf(bystander);
  EXPECT_TRUE(StderrHas("ended 4 times within a minute"));
  // The error page is not a page of the application.
  host().Sync();
  EXPECT_EQ(host().Eval(win, "1").error, "\"The page's web process has ended\"");
  EXPECT_TRUE(host().EventsSince(mark, {"load", W(win)}).empty());
  // The runtime may load a page again.
  ASSERT_TRUE(host().NavigateAndWait(win, page));
  EXPECT_EQ(host().EvalValue(win, "document.title"), "\"webproc\"");

  // The other window and its process were left alone.
  EXPECT_EQ(host().EvalValue(other_, "document.title"), "\"bystander\"");
  for (pid_t pid : bystander) EXPECT_EQ(kill(pid, 0), 0);
  host().Close(win);
}

TEST_F(GuiWebProcess, SpinningPageIsReportedOnce) {
  const uint32_t win = host().CreateWindow();
  ASSERT_TRUE(host().LoadHtml(win, "<title>spin</title>"));
  ASSERT_TRUE(host().PointAtPage(win));
  ASSERT_EQ(host().Command({"webproc", "on"}), Tokens{"ok"});
  const size_t mark = host().Mark();
  host().Eval(win, "setTimeout(function () { for (;;) {} }, 100); 1");
  // A click or a key (not mere motion) starts the engine's check that the
  // page answers.
  auto nudge = [&] {
    session().Xdotool({"click", "1"});
    session().Xdotool({"key", "space"});
  };
  std::this_thread::sleep_for(300ms);
  nudge();
  EXPECT_TRUE(host().WaitFor({"webproc", W(win), "3"}, mark, 30s));
  nudge();
  host().Sync();
  EXPECT_EQ(host().EventsSince(mark, {"webproc"}).size(), 1u);
  host().Command({"webproc", "off"});
  host().Close(win);
}

TEST_F(GuiWebProcess, SandboxedPageLoadsFilesFromElsewhere) {
  const char* off = std::getenv("WEXLOR_DISABLE_SANDBOX");
  if (off != nullptr && std::string(off) == "1") GTEST_SKIP() << "the sandbox is turned off";
  if (host().StderrText().find("without a sandbox") != std::string::npos) {
    GTEST_SKIP() << "the web-process sandbox cannot run here";
  }
  const std::set<pid_t> bystander = WebProcesses(host().pid());
  TempDir outside;  // not under the host's working directory
  outside.Write("part.js", "window.part = 'loaded';");
  const std::string page =
      outside.Write("page.html", "<!doctype html><script src=\"part.js\"></script>").string();
  const uint32_t win = host().CreateWindow();
  ASSERT_TRUE(host().NavigateAndWait(win, page));
  EXPECT_EQ(host().EvalUntil(win, "window.part"), "\"loaded\"");
  const std::set<pid_t> pids = NewWebProcesses(host().pid(), bystander);
  ASSERT_FALSE(pids.empty());
  const std::string hostNamespace = MountNamespace(host().pid());
  ASSERT_FALSE(hostNamespace.empty());
  for (pid_t pid : pids) EXPECT_NE(MountNamespace(pid), hostNamespace) << "pid " << pid;
  host().Close(win);
}

}  // namespace
}  // namespace gui
