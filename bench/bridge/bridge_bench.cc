// Driver of the bridge and scheme benchmark.
//
// Compares the host running the bench runtime with the bare engine doing the
// same work. The wall clock of this kind of machine drifts between runs, so
// the two sides are interleaved as finely as possible:
//
//  1. Start and memory: short launches, host and bare alternately, each
//     timed from spawn to its page-load event and then measured for PSS.
//  2. Everything else: one long-lived process per side. Each round runs
//     every measurement once on both sides, one after the other (the order
//     flips from one measurement to the next and from round to round), so
//     paired numbers are taken seconds apart.
//
// Each metric is the median over rounds; the table shows both sides, the
// ratio of the medians and the median of the per-round ratios.
//
// Without DISPLAY it starts a private Xvfb; it always starts a private
// session bus when dbus-daemon is installed, and gives both programs the
// same environment with private XDG directories.
//
//   bridge_bench [--rounds N] [--verbose] [--host PATH] [--runtime PATH] [--bare PATH]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

using Results = std::map<std::string, std::string>;

struct Options {
  int rounds = 7;
  bool verbose = false;
  std::string host = BRIDGE_BENCH_HOST;
  std::string runtime = BRIDGE_BENCH_RUNTIME;
  std::string bare = BRIDGE_BENCH_BARE;
};

// ---------------------------------------------------------------------------
// Child processes

struct Spawned {
  pid_t pid = -1;
  int out = -1;  // read end of the child's stdout, or of descriptor 3
  int in = -1;   // write end of the child's stdin, when asked for
};

// Starts argv in a process group of its own with `env`; stdout goes to a
// pipe we read, stderr to `errPath`. With `passFd`, the child gets the write
// end of the pipe as descriptor 3 instead and its stdout goes to `errPath`
// too. With `withInput`, its stdin is a pipe we write; else /dev/null.
std::optional<Spawned> Spawn(const std::vector<std::string>& argv,
                             const std::vector<std::string>& env, const fs::path& errPath,
                             bool passFd = false, bool withInput = false) {
  int fds[2], input[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  if (withInput && pipe2(input, O_CLOEXEC) != 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {fds[0], fds[1], input[0], input[1]}) {
      if (fd >= 0) close(fd);
    }
    return std::nullopt;
  }
  if (pid == 0) {
    setpgid(0, 0);
    const int in = withInput ? input[0] : open("/dev/null", O_RDONLY);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, 0);
    if (passFd) {
      dup2(fds[1], 3);
      if (err >= 0) dup2(err, 1);
    } else {
      dup2(fds[1], 1);
    }
    if (err >= 0) dup2(err, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(fds[1]);
  if (withInput) close(input[0]);
  return Spawned{pid, fds[0], withInput ? input[1] : -1};
}

// Reads one line from `fd` within `timeoutMs`.
std::optional<std::string> ReadLine(int fd, int timeoutMs) {
  std::string line;
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1000000;
  while (NowNs() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
  return std::nullopt;
}

// Ends a process group we started and waits until it is gone.
void EndGroup(pid_t pgid) {
  if (pgid <= 0) return;
  kill(-pgid, SIGTERM);
  for (int i = 0; i < 100 && kill(-pgid, 0) == 0; ++i) {
    while (waitpid(-pgid, nullptr, WNOHANG) > 0) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (kill(-pgid, 0) == 0) kill(-pgid, SIGKILL);
  while (waitpid(-pgid, nullptr, 0) > 0) {
  }
}

// ---------------------------------------------------------------------------
// The environment shared by both programs

struct Session {
  fs::path dir;
  std::string display;
  std::string bus;
  pid_t xvfb = -1;
  pid_t dbus = -1;

  bool Start() {
    char pattern[] = "/tmp/bridge-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    dir = pattern;
    for (const char* d : {"home", "cache", "data", "config", "run"}) {
      fs::create_directories(dir / d);
    }
    chmod((dir / "run").c_str(), 0700);

    const std::vector<std::string> inherited = Inherited();
    if (const char* d = std::getenv("DISPLAY"); d != nullptr && *d != '\0') {
      display = d;
    } else {
      auto x = Spawn(
          {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
          inherited, dir / "xvfb.log", true);
      if (!x) return false;
      xvfb = x->pid;
      const auto number = ReadLine(x->out, 20000);
      close(x->out);
      if (!number) {
        std::fprintf(stderr, "bridge_bench: Xvfb did not start (see %s)\n",
                     (dir / "xvfb.log").c_str());
        return false;
      }
      display = ":" + *number;
    }
    if (access("/usr/bin/dbus-daemon", X_OK) == 0) {
      const std::string address = "unix:path=" + (dir / "bus").string();
      auto b = Spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--address=" + address, "--print-address=3"},
                     inherited, dir / "bus.log", true);
      if (b) {
        dbus = b->pid;
        if (auto line = ReadLine(b->out, 20000)) bus = *line;
        close(b->out);
      }
    }
    return true;
  }

  void Stop() {
    EndGroup(dbus);
    EndGroup(xvfb);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  static std::vector<std::string> Inherited() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    return env;
  }

  std::vector<std::string> Environment(const std::string& mode) const {
    std::map<std::string, std::string> vars;
    for (const auto& e : Inherited()) {
      const size_t eq = e.find('=');
      if (eq != std::string::npos) vars[e.substr(0, eq)] = e.substr(eq + 1);
    }
    vars["DISPLAY"] = display;
    if (!bus.empty()) vars["DBUS_SESSION_BUS_ADDRESS"] = bus;
    vars["GDK_BACKEND"] = "x11";
    vars["NO_AT_BRIDGE"] = "1";
    vars["HOME"] = (dir / "home").string();
    vars["XDG_CACHE_HOME"] = (dir / "cache").string();
    vars["XDG_DATA_HOME"] = (dir / "data").string();
    vars["XDG_CONFIG_HOME"] = (dir / "config").string();
    vars["XDG_RUNTIME_DIR"] = (dir / "run").string();
    vars["BRIDGE_BENCH_MODE"] = mode;
    std::vector<std::string> env;
    for (const auto& [k, v] : vars) env.push_back(k + "=" + v);
    return env;
  }
};

// One running program, host or bare, and the BENCH lines it prints.
class Child {
 public:
  Child(const Session& session, const Options& options, bool host)
      : session_(session), options_(options), host_(host) {}
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  const char* name() const { return host_ ? "host" : "bare"; }

  bool Start(const std::string& mode) {
    std::vector<std::string> argv;
    if (host_) {
      argv = {options_.host, "--runtime", options_.runtime};
    } else {
      argv = {options_.bare};
    }
    errPath_ = session_.dir / (std::string(name()) + "-" + mode + ".err");
    std::error_code ignored;
    fs::remove(errPath_, ignored);
    spawnNs_ = NowNs();
    auto child = Spawn(argv, session_.Environment(mode), errPath_, false, true);
    if (!child) return false;
    spawned_ = *child;
    return true;
  }

  // Reads BENCH lines into `into` until the key `until` arrives; false when
  // the program ends or stays silent for `timeoutS` seconds first.
  bool WaitFor(const std::string& until, Results* into, int timeoutS = 120) {
    const int64_t deadline = NowNs() + int64_t{timeoutS} * 1000000000;
    while (NowNs() < deadline) {
      size_t nl;
      while ((nl = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        if (line.compare(0, 6, "BENCH ") != 0) continue;
        const size_t space = line.find(' ', 6);
        const std::string key = line.substr(6, space - 6);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "error" || key == "note") {
          std::fprintf(stderr, "bridge_bench: %s reported %s: %s\n", name(), key.c_str(),
                       value.c_str());
          if (key == "error") ++problems_;
        } else if (key == "loaded_ns") {
          const double loaded = std::strtod(value.c_str(), nullptr);
          (*into)["start_ms"] = std::to_string((loaded - static_cast<double>(spawnNs_)) / 1e6);
        }
        if (key == until) return true;
        (*into)[key] = value;
      }
      pollfd p = {spawned_.out, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(spawned_.out, buffer, sizeof buffer);
      if (n <= 0) break;
      pending_.append(buffer, static_cast<size_t>(n));
    }
    std::fprintf(stderr, "bridge_bench: %s never reported \"%s\"\n", name(), until.c_str());
    ShowErrors();
    return false;
  }

  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return write(spawned_.in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Waits for the program to exit by itself; then ends what it left behind.
  bool Finish() {
    bool clean = false;
    const int64_t deadline = NowNs() + int64_t{20} * 1000000000;
    int status = 0;
    while (spawned_.pid > 0 && NowNs() < deadline) {
      if (waitpid(spawned_.pid, &status, WNOHANG) == spawned_.pid) {
        clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!clean) {
          std::fprintf(stderr, "bridge_bench: %s ended with status %d\n", name(), status);
          ShowErrors();
        }
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    return clean;
  }

  int problems() const { return problems_; }

 private:
  void Stop() {
    if (spawned_.in >= 0) close(spawned_.in);
    if (spawned_.out >= 0) close(spawned_.out);
    EndGroup(spawned_.pid);  // WebKit's helpers, if they outlive the UI process
    spawned_ = Spawned{};
  }

  void ShowErrors() {
    std::ifstream err(errPath_);
    std::string line;
    int shown = 0;
    std::fprintf(stderr, "bridge_bench: %s's output (%s):\n", name(), errPath_.c_str());
    while (std::getline(err, line) && shown++ < 40) std::fprintf(stderr, "  %s\n", line.c_str());
  }

  const Session& session_;
  const Options& options_;
  const bool host_;
  fs::path errPath_;
  int64_t spawnNs_ = 0;
  Spawned spawned_;
  std::string pending_;
  int problems_ = 0;
};

// A launch in "start" mode: spawn to page loaded, then PSS, then exit.
std::optional<Results> StartRun(const Session& session, const Options& options, bool host) {
  Child child(session, options, host);
  Results results;
  if (!child.Start("start") || !child.WaitFor("end", &results, 60) || !child.Finish()) {
    return std::nullopt;
  }
  return results;
}

// ---------------------------------------------------------------------------
// The table

double Median(std::vector<double> xs) {
  if (xs.empty()) return NAN;
  std::sort(xs.begin(), xs.end());
  const size_t n = xs.size();
  return n % 2 ? xs[n / 2] : (xs[n / 2 - 1] + xs[n / 2]) / 2;
}

double Number(const Results& r, const std::string& key) {
  auto it = r.find(key);
  return it == r.end() ? NAN : std::strtod(it->second.c_str(), nullptr);
}

enum class Goal {
  None,
  RatioAtMost,   // host/bare <= limit
  RatioAtLeast,  // host/bare >= limit
  PlusAtMost,    // host - bare <= limit
  ValueAtMost,   // the host's own value <= limit
  ValueAtLeast,  // the host's own value >= limit
};

struct Metric {
  const char* label;
  std::function<double(const Results&)> value;
  Goal goal;
  double limit;
  int decimals;
};

std::function<double(const Results&)> Key(const char* key, double scale = 1) {
  return [key, scale](const Results& r) { return Number(r, key) * scale; };
}

// 1 MiB per call: MiB/s from the per-call gap in microseconds.
std::function<double(const Results&)> MibPerS(const char* gapKey) {
  return [gapKey](const Results& r) { return 1e6 / Number(r, gapKey); };
}

std::function<double(const Results&)> Quotient(const char* a, const char* b) {
  return [a, b](const Results& r) { return Number(r, a) / Number(r, b); };
}

std::string Format(double v, int decimals) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

void PrintTable(const std::vector<Results>& hosts, const std::vector<Results>& bares,
                const Options& options) {
  const std::vector<Metric> metrics = {
      {"sequential call latency, median (us)", Key("seq_gap_med_us"), Goal::RatioAtMost, 1.15, 1},
      {"sequential call latency, p99 (us)", Key("seq_gap_p99_us"), Goal::None, 0, 1},
      {"sequential call, page-timed mean (us)", Key("seq_page_mean_us"), Goal::None, 0, 1},
      {"CPU per sequential call, all processes (us)", Key("seq_cpu_us_per_call"), Goal::RatioAtMost,
       1.2, 1},
      {"1000 calls in flight (calls/s)", Key("pipe_calls_per_s"), Goal::RatioAtLeast, 0.8, 0},
      {"CPU per pipelined call (us)", Key("pipe_cpu_us_per_call"), Goal::None, 0, 1},
      {"1 MiB string up (MiB/s)", MibPerS("strup_gap_med_us"), Goal::RatioAtLeast, 0.7, 1},
      {"1 MiB string down (MiB/s)", MibPerS("strdown_gap_med_us"), Goal::RatioAtLeast, 0.7, 1},
      {"1 MiB ArrayBuffer up (MiB/s)", MibPerS("abup_gap_med_us"), Goal::None, 0, 1},
      {"1 MiB ArrayBuffer down (MiB/s)", MibPerS("abdown_gap_med_us"), Goal::None, 0, 1},
      {"ArrayBuffer up time / string up time", Quotient("abup_gap_med_us", "strup_gap_med_us"),
       Goal::ValueAtMost, 0.8, 2},
      {"ArrayBuffer down time / string down time",
       Quotient("abdown_gap_med_us", "strdown_gap_med_us"), Goal::ValueAtMost, 0.8, 2},
      {"4 KiB ArrayBuffer up, per call (us)", Key("abup_4096_gap_med_us"), Goal::None, 0, 1},
      {"16 KiB ArrayBuffer up, per call (us)", Key("abup_16384_gap_med_us"), Goal::None, 0, 1},
      {"64 KiB ArrayBuffer up, per call (us)", Key("abup_65536_gap_med_us"), Goal::None, 0, 1},
      {"256 KiB ArrayBuffer up, per call (us)", Key("abup_262144_gap_med_us"), Goal::None, 0, 1},
      {"4 KiB ArrayBuffer down, per call (us)", Key("abdown_4096_gap_med_us"), Goal::None, 0, 1},
      {"16 KiB ArrayBuffer down, per call (us)", Key("abdown_16384_gap_med_us"), Goal::None, 0, 1},
      {"64 KiB ArrayBuffer down, per call (us)", Key("abdown_65536_gap_med_us"), Goal::None, 0, 1},
      {"64 MiB ArrayBuffer up (MiB/s)", Key("bigup_mib_s"), Goal::None, 0, 1},
      {"64 MiB ArrayBuffer up / app:// 64 MiB arrayBuffer() MiB/s",
       Quotient("bigup_mib_s", "big_arraybuffer_mib_s"), Goal::ValueAtLeast, 0.8, 2},
      {"64 MiB ArrayBuffer down (MiB/s)", Key("bigdown_mib_s"), Goal::None, 0, 1},
      {"UI growth, 64 MiB ArrayBuffer up / 64 MiB",
       Key("bigup_peak_rss_growth_kb", 1.0 / (64 * 1024)), Goal::ValueAtMost, 2, 2},
      {"UI growth, 64 MiB ArrayBuffer down / 64 MiB",
       Key("bigdown_peak_rss_growth_kb", 1.0 / (64 * 1024)), Goal::ValueAtMost, 2, 2},
      {"CPU per 1 MiB string up (us)", Key("strup_cpu_us_per_call"), Goal::None, 0, 0},
      {"CPU per 1 MiB string down (us)", Key("strdown_cpu_us_per_call"), Goal::None, 0, 0},
      {"CPU per 1 MiB ArrayBuffer up (us)", Key("abup_cpu_us_per_call"), Goal::None, 0, 0},
      {"CPU per 1 MiB ArrayBuffer down (us)", Key("abdown_cpu_us_per_call"), Goal::None, 0, 0},
      {"warm start to page loaded (ms)", Key("start_ms"), Goal::PlusAtMost, 50, 1},
      {"PSS, all processes, one window (MB)", Key("pss_total_kb", 1.024e-3), Goal::PlusAtMost, 15,
       1},
      {"  of which UI process (MB)", Key("pss_ui_kb", 1.024e-3), Goal::None, 0, 1},
      {"  of which web process (MB)", Key("pss_web_kb", 1.024e-3), Goal::None, 0, 1},
      {"private memory, all processes (MB)", Key("private_total_kb", 1.024e-3), Goal::None, 0, 1},
      {"app:// 64 MiB, arrayBuffer() (MiB/s)", Key("big_arraybuffer_mib_s"), Goal::RatioAtLeast,
       0.9, 1},
      {"app:// 64 MiB, stream reader (MiB/s)", Key("big_reader_mib_s"), Goal::RatioAtLeast, 0.9, 1},
      {"app:// tiny fetch, first byte (us)", Key("tinyhead_gap_med_us"), Goal::RatioAtMost, 1.05,
       1},
      {"  the same answered from the runtime thread (us)", Key("tinythreadhead_gap_med_us"),
       Goal::None, 0, 1},
      {"app:// tiny fetch, whole body (us)", Key("tiny_gap_med_us"), Goal::None, 0, 1},
      {"app:// tiny fetch, first byte, page clock mean (us)", Key("tiny_first_byte_page_mean_us"),
       Goal::None, 0, 1},
      {"UI process peak RSS, 64 MiB arrayBuffer() (MB)",
       Key("big_arraybuffer_peak_rss_kb", 1.024e-3), Goal::None, 0, 1},
      {"  growth during that fetch (MB)", Key("big_arraybuffer_peak_rss_growth_kb", 1.024e-3),
       Goal::None, 0, 1},
      {"UI process peak RSS, 64 MiB stream reader (MB)", Key("big_reader_peak_rss_kb", 1.024e-3),
       Goal::None, 0, 1},
      {"  growth during that fetch (MB)", Key("big_reader_peak_rss_growth_kb", 1.024e-3),
       Goal::None, 0, 1},
  };

  std::printf(
      "\nhost, bare: medians of %zu rounds; host/bare: their ratio; paired: the median\n"
      "of the per-round ratios (of the per-round differences, shown with a sign, for\n"
      "goals on a difference), which the goals are judged on\n\n",
      hosts.size());
  std::printf("%-50s %10s %10s %9s %7s  %-14s %s\n", "metric", "host", "bare", "host/bare",
              "paired", "goal", "");
  std::printf("%s\n", std::string(110, '-').c_str());
  int met = 0, missed = 0;
  for (const Metric& m : metrics) {
    // Goals on a difference are judged on the per-round differences, the
    // others on the per-round ratios.
    const bool difference = m.goal == Goal::PlusAtMost;
    std::vector<double> h, b, paired;
    for (const auto& r : hosts) h.push_back(m.value(r));
    for (const auto& r : bares) b.push_back(m.value(r));
    for (size_t i = 0; i < h.size() && i < b.size(); ++i) {
      paired.push_back(difference ? h[i] - b[i] : h[i] / b[i]);
    }
    const double hv = Median(h), bv = Median(b), ratio = Median(paired);
    std::string goal, verdict;
    bool ok = true;
    char text[64];
    switch (m.goal) {
      case Goal::None:
        break;
      case Goal::RatioAtMost:
        std::snprintf(text, sizeof text, "ratio <= %.2f", m.limit);
        goal = text;
        ok = ratio <= m.limit;
        break;
      case Goal::RatioAtLeast:
        std::snprintf(text, sizeof text, "ratio >= %.2f", m.limit);
        goal = text;
        ok = ratio >= m.limit;
        break;
      case Goal::PlusAtMost:
        std::snprintf(text, sizeof text, "<= bare + %.0f", m.limit);
        goal = text;
        ok = ratio <= m.limit;
        break;
      case Goal::ValueAtMost:
        std::snprintf(text, sizeof text, "host <= %.2f", m.limit);
        goal = text;
        ok = hv <= m.limit;
        break;
      case Goal::ValueAtLeast:
        std::snprintf(text, sizeof text, "host >= %.2f", m.limit);
        goal = text;
        ok = hv >= m.limit;
        break;
    }
    if (m.goal != Goal::None) {
      // Goals on the host's own value need no bare value.
      const bool hostOnly = m.goal == Goal::ValueAtMost || m.goal == Goal::ValueAtLeast;
      verdict = std::isnan(hv) || (!hostOnly && std::isnan(bv)) ? "n/a" : ok ? "met" : "MISSED";
      (ok ? met : missed)++;
    }
    const std::string pairedText =
        difference ? (ratio >= 0 ? "+" : "") + Format(ratio, m.decimals) : Format(ratio, 2);
    std::printf("%-50s %10s %10s %9s %7s  %-14s %s\n", m.label, Format(hv, m.decimals).c_str(),
                Format(bv, m.decimals).c_str(), Format(hv / bv, 2).c_str(), pairedText.c_str(),
                goal.c_str(), verdict.c_str());
    if (options.verbose) {
      std::string line = "    rounds host:";
      for (double v : h) line += " " + Format(v, m.decimals);
      line += " | bare:";
      for (double v : b) line += " " + Format(v, m.decimals);
      std::printf("%s\n", line.c_str());
    }
  }
  std::printf("%s\n", std::string(110, '-').c_str());
  std::printf("goals met: %d, missed: %d\n", met, missed);
  if (!hosts.empty()) {
    std::printf("host processes: %s\n", hosts.front().count("process_names")
                                            ? hosts.front().at("process_names").c_str()
                                            : "?");
  }
  if (!bares.empty()) {
    std::printf("bare processes: %s\n", bares.front().count("process_names")
                                            ? bares.front().at("process_names").c_str()
                                            : "?");
  }
}

// CPU per call of each measured loop, split by process (and the UI
// process's main thread), medians of rounds.
void PrintCpuSplit(const std::vector<Results>& hosts, const std::vector<Results>& bares) {
  static const char* const kPhases[][2] = {
      {"seq", "sequential ping"},
      {"pipe", "pipelined ping"},
      {"strup", "1 MiB string up"},
      {"strdown", "1 MiB string down"},
      {"abup", "1 MiB ArrayBuffer up"},
      {"abdown", "1 MiB ArrayBuffer down"},
      {"bigup", "64 MiB ArrayBuffer up"},
      {"bigdown", "64 MiB ArrayBuffer down"},
      {"tinyhead", "tiny fetch, head"},
      {"tiny", "tiny fetch, body"},
      {"big_arraybuffer", "64 MiB, arrayBuffer()"},
      {"big_reader", "64 MiB, stream reader"},
  };
  static const char* const kParts[][2] = {
      {"", "all"}, {"ui_", "UI"}, {"uimain_", "main"}, {"web_", "web"}, {"net_", "net"}};
  std::printf(
      "\nCPU per call (per fetch for 64 MiB) in microseconds, by process: UI = the\n"
      "whole UI process, main = its main thread, web and net = WebKit's web and\n"
      "network processes; medians of rounds, from 10 ms ticks\n\n");
  std::printf("%-24s", "");
  for (const char* side : {"host", "bare"}) {
    std::printf("| %-39s", side);
  }
  std::printf("\n%-24s", "loop");
  for (int side = 0; side < 2; ++side) {
    std::printf("|");
    for (const auto& part : kParts) std::printf(" %7s", part[1]);
    std::printf(" ");
  }
  std::printf("\n");
  for (const auto& phase : kPhases) {
    std::printf("%-24s", phase[1]);
    for (const auto* side : {&hosts, &bares}) {
      std::printf("|");
      for (const auto& part : kParts) {
        const std::string key = std::string(phase[0]) + "_cpu_" + part[0] + "us_per_call";
        std::vector<double> xs;
        for (const auto& r : *side) xs.push_back(Number(r, key));
        std::printf(" %7s", Format(Median(xs), 0).c_str());
      }
      std::printf(" ");
    }
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--rounds") {
      options.rounds = std::max(1, std::atoi(next().c_str()));
    } else if (a == "--verbose") {
      options.verbose = true;
    } else if (a == "--host") {
      options.host = next();
    } else if (a == "--runtime") {
      options.runtime = next();
    } else if (a == "--bare") {
      options.bare = next();
    } else {
      std::fprintf(stderr,
                   "usage: %s [--rounds N] [--verbose] [--host PATH] [--runtime PATH] "
                   "[--bare PATH]\n",
                   argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);

  Session session;
  if (!session.Start()) {
    session.Stop();
    return 1;
  }
  std::printf("bridge_bench: display %s, %d rounds, host %s\n", session.display.c_str(),
              options.rounds, options.host.c_str());
  std::fflush(stdout);

  // Warm the file caches and WebKit's own directories; not counted.
  for (bool host : {true, false}) {
    if (!StartRun(session, options, host)) {
      session.Stop();
      return 1;
    }
  }

  std::vector<Results> hosts(options.rounds), bares(options.rounds);
  // Start time and memory, from launches of their own.
  for (int round = 0; round < options.rounds; ++round) {
    const bool hostFirst = round % 2 == 0;
    for (bool host : {hostFirst, !hostFirst}) {
      auto r = StartRun(session, options, host);
      if (!r) {
        session.Stop();
        return 1;
      }
      (host ? hosts : bares)[round] = std::move(*r);
    }
  }
  std::printf("start and memory: %d launches each\n", options.rounds);
  std::fflush(stdout);

  // The rest, from one process per side.
  Child host(session, options, true), bare(session, options, false);
  Results ignored;
  for (Child* c : {&host, &bare}) {
    if (!c->Start("full") || !c->WaitFor("ready", &ignored, 120)) {
      session.Stop();
      return 1;
    }
  }
  static const std::pair<const char*, int> kPhases[] = {
      {"seq", 1000},    {"pipe", 1000},    {"strup", 10},     {"strdown", 10},
      {"abup", 10},     {"abdown", 10},    {"small", 4096},   {"small", 16384},
      {"small", 65536}, {"small", 262144}, {"bigab", 1},      {"bigreader", 1},
      {"bigup", 1},     {"bigdown", 1},    {"tinyhead", 200}, {"tinythreadhead", 200},
      {"tiny", 200},
  };
  int step = 0;
  for (int round = 0; round < options.rounds; ++round) {
    const int64_t t0 = NowNs();
    for (const auto& [phase, count] : kPhases) {
      const bool hostFirst = (round + step++) % 2 == 0;
      for (bool onHost : {hostFirst, !hostFirst}) {
        Child& c = onHost ? host : bare;
        if (!c.Send(std::string(phase) + " " + std::to_string(count)) ||
            !c.WaitFor("ready", &(onHost ? hosts : bares)[round])) {
          session.Stop();
          return 1;
        }
      }
    }
    const Results& h = hosts[round];
    const Results& b = bares[round];
    std::printf(
        "round %d of %d, %4.1f s: seq %s/%s us, pipe %s/%s calls/s, 64 MiB %s/%s MiB/s "
        "(host/bare)\n",
        round + 1, options.rounds, static_cast<double>(NowNs() - t0) / 1e9,
        Format(Number(h, "seq_gap_med_us"), 0).c_str(),
        Format(Number(b, "seq_gap_med_us"), 0).c_str(),
        Format(Number(h, "pipe_calls_per_s"), 0).c_str(),
        Format(Number(b, "pipe_calls_per_s"), 0).c_str(),
        Format(Number(h, "big_arraybuffer_mib_s"), 0).c_str(),
        Format(Number(b, "big_arraybuffer_mib_s"), 0).c_str());
    std::fflush(stdout);
  }
  for (Child* c : {&host, &bare}) {
    Results last;
    if (!c->Send("quit") || !c->WaitFor("end", &last, 60) || !c->Finish()) {
      session.Stop();
      return 1;
    }
  }
  PrintTable(hosts, bares, options);
  PrintCpuSplit(hosts, bares);
  const int problems = host.problems() + bare.problems();
  if (problems > 0) std::printf("\n%d problems reported; see above\n", problems);
  session.Stop();
  return problems > 0 ? 1 : 0;
}
