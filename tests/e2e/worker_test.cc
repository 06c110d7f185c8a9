// Runs the real host executable in worker mode against small runtime
// libraries and checks its exit status and every line it prints.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kHost = WEXLOR_E2E_HOST;
const std::string kComplete = WEXLOR_E2E_COMPLETE;
const std::string kNoShutdown = WEXLOR_E2E_NO_SHUTDOWN;
const std::string kNoEntryPoints = WEXLOR_E2E_NO_ENTRY_POINTS;
const std::string kInitFails = WEXLOR_E2E_INIT_FAILS;
const std::string kStartFails = WEXLOR_E2E_START_FAILS;
const std::string kWorkerProbe = WEXLOR_E2E_WORKER_PROBE;

constexpr auto kTimeout = std::chrono::seconds(20);

const char kNoRuntime[] = "No runtime library found for headless worker.";
const char kLoadFailed[] = "Failed to load runtime for headless worker.";
const char kStartFailed[] = "Failed to start headless worker runtime.";
const char kStarted[] = "Runtime started";

std::string Loaded(const std::string& path) { return "Runtime loaded successfully from: " + path; }

// Scratch directory shared by all tests: the working directory of every
// run, so nothing a host might look for in its working directory is found.
fs::path scratch;

class ScratchEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "wexlor-e2e-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    // Canonical, because the host reports paths derived from its own
    // resolved location.
    scratch = fs::canonical(templ);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }
};

[[maybe_unused]] const auto* const kScratchEnvironment =
    ::testing::AddGlobalTestEnvironment(new ScratchEnvironment);

// Copies `from` to `to` with execute permission kept.
void CopyFile(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

// A copy of the host alone in its own directory: nothing sits beside it.
std::string IsolatedHost() {
  const fs::path p = scratch / "isolated" / "wexlor";
  if (!fs::exists(p)) CopyFile(kHost, p);
  return p.string();
}

using Env = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
  bool timedOut = false;
  int exitCode = -1;  // -1 unless the process exited normally
  int signal = 0;
  std::string out;
  std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Describe(const Outcome& o) {
  return "exit=" + std::to_string(o.exitCode) + " signal=" + std::to_string(o.signal) +
         (o.timedOut ? " (timed out)" : "") + "\n--- stdout ---\n" + o.out + "--- stderr ---\n" +
         o.err;
}

// The current environment without the variables that steer the host, plus
// `extra`.
std::vector<std::string> ChildEnvironment(const Env& extra) {
  static const char* const kRemoved[] = {"DISPLAY", "WAYLAND_DISPLAY", "NODE_CHANNEL_FD",
                                         "NEXT_PRIVATE_WORKER", "WEXLOR_RUNTIME_PATH"};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool removed = false;
    for (const char* r : kRemoved) removed = removed || name == r;
    if (!removed) env.push_back(entry);
  }
  for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
  return env;
}

// Runs the host with stdin from /dev/null and stdout and stderr captured
// separately; kills it when it outlives kTimeout.
Outcome Execute(const std::vector<std::string>& args, const Env& env = {},
                const std::string& exe = kHost) {
  Outcome outcome;
  std::vector<std::string> argvStrings{exe};
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  const std::vector<std::string> envStrings = ChildEnvironment(env);
  std::vector<char*> argv, envp;
  for (auto& s : argvStrings) argv.push_back(const_cast<char*>(s.c_str()));
  for (auto& s : envStrings) envp.push_back(const_cast<char*>(s.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const std::string cwd = scratch.string();

  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return outcome;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    setpgid(0, 0);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return outcome;
  }

  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  auto remainingMs = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
  };
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int openPipes = 2;
  while (openPipes > 0 && !outcome.timedOut) {
    const int ready = poll(fds, 2, remainingMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      outcome.timedOut = true;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --openPipes;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }

  // The output is complete; the host gets what is left of its time to exit.
  int status = 0;
  for (;;) {
    if (!outcome.timedOut && remainingMs() == 0) outcome.timedOut = true;
    // The child leads its own process group, so this also ends anything it
    // started.
    if (outcome.timedOut) kill(-pid, SIGKILL);
    const pid_t r = waitpid(pid, &status, outcome.timedOut ? 0 : WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      return outcome;
    }
    if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  EXPECT_FALSE(outcome.timedOut) << "the host did not end within " << kTimeout.count() << " s\n"
                                 << Describe(outcome);
  return outcome;
}

// Every captured line must be complete: output ends with a newline.
void ExpectLines(const std::string& stream, const std::string& text,
                 const std::vector<std::string>& expected) {
  EXPECT_EQ(Lines(text), expected) << "on " << stream;
  if (!text.empty()) {
    EXPECT_EQ(text.back(), '\n') << "unterminated last line on " << stream;
  }
}

void ExpectRanToEnd(const Outcome& o, const std::string& lib) {
  ExpectLines("stdout", o.out, {Loaded(lib), kStarted});
  ExpectLines("stderr", o.err, {});
  EXPECT_EQ(o.exitCode, 0) << Describe(o);
}

void ExpectNoRuntime(const Outcome& o) {
  ExpectLines("stdout", o.out, {});
  ExpectLines("stderr", o.err, {kNoRuntime});
  EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

// Two stderr lines: one from the loader starting with `prefix` and carrying
// the loader's reason after it, then the worker's verdict.
void ExpectLoadFailure(const Outcome& o, const std::string& prefix) {
  ExpectLines("stdout", o.out, {});
  const auto lines = Lines(o.err);
  ASSERT_EQ(lines.size(), 2u) << Describe(o);
  EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
  EXPECT_GT(lines[0].size(), prefix.size()) << "no reason given: " << lines[0];
  EXPECT_EQ(lines[1], kLoadFailed);
  EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

// ---------------------------------------------------------------------------
// The runtime's life: load, init, start, shutdown, and each way they fail.

TEST(WorkerLifecycle, CompleteRuntimeStartsAndIsShutDownWithoutADisplay) {
  ExpectRanToEnd(Execute({"run", "script.js", "--runtime", kComplete}), kComplete);
}

TEST(WorkerLifecycle, StartErrorIsReportedAndFailsTheWorker) {
  const Outcome o = Execute({"run", "script.js", "--runtime", kStartFails});
  ExpectLines("stdout", o.out, {Loaded(kStartFails), kStarted});
  ExpectLines("stderr", o.err, {"Runtime start returned error: -1"});
  EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

// The full path of `name` found on PATH, or "".
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const fs::path candidate = fs::path(dirs.substr(start, end - start)) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return "";
}

// A real parent: Node forks the host as its child process, with the IPC
// channel that sets NODE_CHANNEL_FD, and prints how the child ended.
TEST(WorkerLifecycle, NodeParentSeesTheWorkersExitStatus) {
  std::string node = FindProgram("node");
  if (node.empty()) node = FindProgram("nodejs");
  if (node.empty()) GTEST_SKIP() << "Node is not installed (Debian package nodejs)";
  const fs::path script = scratch / "parent.js";
  std::ofstream(script) << R"(
const { fork } = require('child_process');
const [host, lib] = process.argv.slice(2);
const child = fork('worker.js', ['--runtime', lib], { execPath: host, stdio: 'pipe' });
let err = '';
child.stderr.on('data', (d) => { err += d; });
child.on('exit', (code, signal) => {
  console.log(`exit ${code} ${signal}`);
  process.stderr.write(err);
});
)";
  for (const auto& [lib, status] :
       std::vector<std::pair<std::string, std::string>>{{kComplete, "0"}, {kStartFails, "1"}}) {
    const Outcome o = Execute({script.string(), kHost, lib}, {}, node);
    EXPECT_EQ(Lines(o.out), std::vector<std::string>{"exit " + status + " null"}) << Describe(o);
    EXPECT_EQ(o.exitCode, 0) << Describe(o);
  }
}

TEST(WorkerLifecycle, InitFailureEndsTheWorkerBeforeStart) {
  // The library reports on stderr if its start entry is ever called.
  const Outcome o = Execute({"run", "script.js", "--runtime", kInitFails});
  ExpectLines("stdout", o.out, {Loaded(kInitFails)});
  ExpectLines("stderr", o.err, {"Runtime init failed with code: 7", kStartFailed});
  EXPECT_EQ(o.exitCode, 1) << Describe(o);
}

TEST(WorkerLifecycle, MissingEntryPointsAreRejectedInOrder) {
  // The library without shutdown reports on stderr if init or start runs.
  ExpectLoadFailure(Execute({"run", "script.js", "--runtime", kNoShutdown}),
                    "Failed to find wexlor_runtime_shutdown: ");
  ExpectLoadFailure(Execute({"run", "script.js", "--runtime", kNoEntryPoints}),
                    "Failed to find wexlor_runtime_init: ");
}

TEST(WorkerLifecycle, UnloadableLibrariesAreReported) {
  ExpectLoadFailure(Execute({"run", "script.js", "--runtime", (scratch / "absent.so").string()}),
                    "Failed to load runtime: ");
  const fs::path garbage = scratch / "garbage.so";
  std::ofstream(garbage) << "not a shared object\n";
  ExpectLoadFailure(Execute({"run", "script.js", "--runtime", garbage.string()}),
                    "Failed to load runtime: ");
}

TEST(WorkerLifecycle, NoRuntimeAnywhere) {
  ExpectNoRuntime(Execute({}, {{"NODE_CHANNEL_FD", ""}}, IsolatedHost()));
}

// Windowed mode needs the desktop shell module beside the executable; a
// worker never does.
TEST(WorkerLifecycle, WindowedModeWithoutTheShellModuleSaysSo) {
  const Outcome o = Execute({"--runtime", kComplete}, {}, IsolatedHost());
  EXPECT_EQ(o.exitCode, 1);
  EXPECT_EQ(o.err,
            "wexlor: the desktop shell libwexlor-gtk.so was not found beside the executable or "
            "in ../lib/wexlor/\n");
  EXPECT_EQ(o.out, "");
}

// ---------------------------------------------------------------------------
// Which runtime library the worker loads.

TEST(WorkerRuntimePath, LastRuntimeOptionWins) {
  ExpectRanToEnd(Execute({"run", "--runtime", "/nonexistent/a.so", "x", "--runtime", kComplete}),
                 kComplete);
  ExpectLoadFailure(Execute({"run", "x", "--runtime", kComplete, "--runtime", "/nonexistent/a.so"}),
                    "Failed to load runtime: ");
}

TEST(WorkerRuntimePath, TrailingRuntimeOptionIsIgnored) {
  ExpectRanToEnd(Execute({"run", "x", "--runtime"}, {{"WEXLOR_RUNTIME_PATH", kComplete}}),
                 kComplete);
  ExpectRanToEnd(Execute({"run", "x", "--runtime", kComplete, "--runtime"}), kComplete);
}

TEST(WorkerRuntimePath, RuntimeOptionMayComeFirst) {
  ExpectRanToEnd(Execute({"--runtime", kComplete}, {{"NODE_CHANNEL_FD", ""}}), kComplete);
}

TEST(WorkerRuntimePath, OptionBeatsEnvironmentBeatsColocated) {
  const fs::path dir = scratch / "precedence";
  CopyFile(kHost, dir / "host");
  CopyFile(kStartFails, dir / "host.so");
  const std::string host = (dir / "host").string();
  ExpectRanToEnd(Execute({"run", "x", "--runtime", kComplete},
                         {{"WEXLOR_RUNTIME_PATH", "/nonexistent/env.so"}}, host),
                 kComplete);
  ExpectRanToEnd(Execute({"run", "x"}, {{"WEXLOR_RUNTIME_PATH", kComplete}}, host), kComplete);
}

TEST(WorkerRuntimePath, BareFileNameIsTakenFromTheWorkingDirectory) {
  CopyFile(kComplete, scratch / "libbare.so");
  ExpectRanToEnd(Execute({"run", "x", "--runtime", "libbare.so"}), "libbare.so");
  fs::remove(scratch / "libbare.so");
}

TEST(WorkerRuntimePath, EmptyEnvironmentPathFallsBackToTheColocatedLibrary) {
  const fs::path dir = scratch / "colocated";
  CopyFile(kHost, dir / "host");
  CopyFile(kHost, dir / "host.bin");
  CopyFile(kComplete, dir / "host.so");
  const std::string lib = (dir / "host.so").string();
  ExpectRanToEnd(Execute({"run", "x"}, {{"WEXLOR_RUNTIME_PATH", ""}}, (dir / "host").string()),
                 lib);
  ExpectRanToEnd(Execute({"run", "x"}, {{"WEXLOR_RUNTIME_PATH", ""}}, (dir / "host.bin").string()),
                 lib);
}

// ---------------------------------------------------------------------------
// Worker or graphical mode. The isolated host finds no runtime, so worker
// mode shows itself by its own message; graphical mode is only required to
// fail (no display is available) without claiming to be the worker.

struct ModeCase {
  const char* name;
  std::vector<std::string> args;
  Env env;
  bool worker;
};

// Keeps test names and failure reports readable.
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class WorkerModeDecision : public ::testing::TestWithParam<ModeCase> {};

TEST_P(WorkerModeDecision, FollowsArgumentsAndEnvironment) {
  const ModeCase& c = GetParam();
  const Outcome o = Execute(c.args, c.env, IsolatedHost());
  if (c.worker) {
    ExpectNoRuntime(o);
  } else {
    EXPECT_EQ(o.signal, 0) << Describe(o);
    EXPECT_NE(o.exitCode, 0) << Describe(o);
    EXPECT_EQ(o.err.find("headless worker"), std::string::npos) << Describe(o);
    EXPECT_EQ(o.out.find(kStarted), std::string::npos) << Describe(o);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Worker, WorkerModeDecision,
    ::testing::Values(
        ModeCase{"RunScript", {"run", "script.js"}, {}, true},
        ModeCase{"RunFlagThenScript", {"run", "--inspect", "script.js"}, {}, true},
        ModeCase{"RunEmptyArgument", {"run", ""}, {}, true},
        ModeCase{"NodeChannelEmpty", {}, {{"NODE_CHANNEL_FD", ""}}, true},
        ModeCase{"NodeChannelSet", {}, {{"NODE_CHANNEL_FD", "3"}}, true},
        ModeCase{"NextWorkerSet", {}, {{"NEXT_PRIVATE_WORKER", "1"}}, true},
        ModeCase{"NextWorkerEmpty", {}, {{"NEXT_PRIVATE_WORKER", ""}}, true},
        ModeCase{"EnvironmentOverridesArguments", {"run"}, {{"NEXT_PRIVATE_WORKER", "1"}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Graphical, WorkerModeDecision,
    ::testing::Values(ModeCase{"NoArguments", {}, {}, false},
                      ModeCase{"RunAlone", {"run"}, {}, false},
                      ModeCase{"RunFlagsOnly", {"run", "--inspect", "-x"}, {}, false},
                      ModeCase{"RunDash", {"run", "-"}, {}, false},
                      ModeCase{"RunNotFirst", {"script.js", "run", "x"}, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// What a runtime sees through the table when there is no backend.

TEST(WorkerProbe, TableTakesItsDefaultsWithoutABackend) {
  const Outcome o = Execute({"run", "script.js", "--runtime", kWorkerProbe});
  // Lines printed during init, on the main thread before "Runtime started".
  const std::vector<std::string> duringInit = {
      // The extension table comes first, complete.
      "extensions=4,1,1,0",
      "version=29",
      "desktop_stack=0",
      "null_entries=0",
      // Windows: ids are handed out even without a backend.
      "create1=1",
      "create2=2",
      "createEx=3",
      "visible=0",
      "resizable=0",
      "always_on_top=0",
      "opacity=1.000000",
      "size_untouched=1",
      "position_untouched=1",
      "executejs_cb_called=0",
      "posttask_ran=0",
      "reserved=0,0,0",
      // Services: permissions answer "unsupported" before returning.
      "query_permission=3",
      "request_permission=3",
      "permission_calls=2",
      "notification=0",
      "clipboard=null",
      "dialog=0",
      "dialog_out_null=1",
      "dialog_no_out=0",
      "tray=0",
      "tray_bounds=0",
      "tray_bounds_untouched=1",
      "scheme_read=-1",
      "scheme_write=-1",
      "handlers_called=0",
      // Values.
      "null_handle=1,0",
      "dict_keys=B,a,b",
      "dict_size=3",
      "dict_has=1,0",
      "dict_a=x",
      "dict_missing=null",
      "string_len=10",
      "string_same=1",
      "list_set=1",
      "list_size=3",
      "list_hole_null=1",
      "list_item2=1,7",
      "list_size_appended=4",
      "list_item3=kept",
      "list_out_of_range=null",
      "nested_list_size=4",
      "double=2.500000,0,0",
      "string_of_double=null,0",
      "bool=1,1",
      "callback=0,0",
      "null_value=1,0",
      "binary=1,4,1",
  };
  // Printed by shutdown: nothing was called back in the meantime.
  const std::vector<std::string> atShutdown = {
      "late_executejs_cb_called=0",
      "late_posttask_ran=0",
      "late_permission_calls=2",
      "late_handlers_called=0",
  };
  // Printed at process exit: the runtime thread ran, separately from init,
  // and was joined after one shutdown call.
  const std::vector<std::string> atExit = {
      "shutdown_calls=1", "start_ran=1",      "start_thread_distinct=1",
      "start_create=4",   "start_finished=1",
  };
  std::vector<std::string> expected{Loaded(kWorkerProbe)};
  expected.insert(expected.end(), duringInit.begin(), duringInit.end());
  expected.push_back(kStarted);
  expected.insert(expected.end(), atShutdown.begin(), atShutdown.end());
  expected.insert(expected.end(), atExit.begin(), atExit.end());

  const auto lines = Lines(o.out);
  for (size_t i = 0; i < std::min(lines.size(), expected.size()); ++i) {
    EXPECT_EQ(lines[i], expected[i]) << "stdout line " << i;
  }
  EXPECT_EQ(lines.size(), expected.size()) << Describe(o);
  ExpectLines("stderr", o.err, {});
  EXPECT_EQ(o.exitCode, 0) << Describe(o);
}

}  // namespace
