// Shared by the bench runtime and the bare engine: the benchmark page, the
// payloads, and the recorder that takes the native-side measurements.
//
// Both programs serve the same page from "app://bench/" and answer the same
// page methods; only the transport differs (the host's bridge on one side, a
// plain script message handler and evaluate_javascript on the other). Every
// measurement is taken at the same logical point in both:
//
//  - The recorder stamps the arrival of each page call (in the call handler)
//    and of each scheme request (in the request handler) with the monotonic
//    clock. In a sequential loop the gap between two arrivals is one full
//    round trip, so latencies need no page timer (whose resolution the
//    engine coarsens).
//  - CPU is utime+stime summed over the UI process and all its descendants
//    (WebKit's web and network processes, and any sandbox helpers).
//  - PSS (and private memory) is the sum of smaps_rollup over the same
//    processes.
//
// Results are printed as "BENCH <key> <value>" lines on stdout.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace bridge_bench {

constexpr size_t kStringBytes = size_t{1} << 20;  // 1 MiB payloads
constexpr size_t kBigBytes = size_t{64} << 20;    // the large scheme body
constexpr size_t kChunkBytes = size_t{64} << 10;  // written in pieces of this size
constexpr size_t kTinyBytes = 10;                 // the tiny scheme body
constexpr int kPssSettleMs = 500;                 // idle time before PSS is read

// Selects what the page does: "start" measures PSS once the page has loaded
// and settled, then ends; "full" warms up and then runs the phases the driver
// names on the program's standard input, one line each ("seq 1000"), until
// "quit". Before reading each line the program prints "BENCH ready 1".
constexpr char kModeVariable[] = "BRIDGE_BENCH_MODE";

// The page. It talks to the native side through `call`, which is the host's
// bridge when the host injected it and a minimal message-handler bridge
// otherwise. Page-side times (performance.now) are reported as "*_page_*"
// keys; the native recorder adds the precise per-call gaps.
constexpr char kPageHtml[] = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><title>bridge bench</title></head>
<body><p id="status">loading</p>
<script>
"use strict";
(function () {
  const params = new URLSearchParams(location.search);
  const bare = typeof window.Wexlor === "undefined";
  const pending = new Map();
  let nextId = 1;
  if (bare) {
    window.__bareRespond = function (id, result) {
      const resolve = pending.get(id);
      if (resolve) {
        pending.delete(id);
        resolve(result);
      }
    };
  }
  // The engine's message channel drops ArrayBuffer contents, so the bare
  // side sends them as base64, as the host's bridge does.
  function call(method, ...args) {
    if (!bare) return window.Wexlor[method](...args);
    return new Promise(function (resolve) {
      const id = nextId++;
      pending.set(id, resolve);
      const sent = args.map(function (a) {
        return a instanceof ArrayBuffer ? { b64: toBase64(new Uint8Array(a)) } : a;
      });
      window.webkit.messageHandlers.bare.postMessage({ id: id, method: method, args: sent });
    });
  }
  function toBase64(bytes) {
    if (typeof bytes.toBase64 === "function") return bytes.toBase64();
    const parts = [];
    for (let i = 0; i < bytes.length; i += 0x8000) {
      parts.push(String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000)));
    }
    return btoa(parts.join(""));
  }
  function fromBase64(text) {
    if (typeof Uint8Array.fromBase64 === "function") return Uint8Array.fromBase64(text).buffer;
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes.buffer;
  }

  // Results go to the native side at once, as "key value" lines.
  const lines = [];
  function put(key, value) { lines.push(key + " " + value); }
  async function flush() {
    if (lines.length) await call("report", lines.splice(0).join("\n"));
  }
  function mean(xs) { return xs.reduce(function (a, b) { return a + b; }, 0) / xs.length; }
  function check(ok, what) { if (!ok) put("error", what.replace(/\s+/g, "_")); }

  // A sequential loop between two marks; the native side turns the arrivals
  // in between into per-call gaps and CPU per call.
  async function loop(name, count, body) {
    await call("mark", "begin", name);
    const t0 = performance.now();
    for (let i = 0; i < count; i++) await body(i);
    const dt = performance.now() - t0;
    await call("mark", "end", name, count);
    put(name + "_page_mean_us", (dt * 1000 / count).toFixed(1));
  }

  function randomAscii(n) {
    const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,;:-_";
    const parts = [];
    let seed = 12345;
    let chunk = "";
    for (let i = 0; i < n; i++) {
      seed = (seed * 1103515245 + 12345) >>> 0;
      chunk += alphabet[(seed >>> 16) % alphabet.length];
      if (chunk.length === 4096) { parts.push(chunk); chunk = ""; }
    }
    parts.push(chunk);
    return parts.join("");
  }

  const MiB = 1 << 20;
  const text = randomAscii(MiB);
  const bytes = new Uint8Array(MiB);
  for (let i = 0; i < bytes.length; i++) bytes[i] = (i * 2654435761) >>> 24;
  const buffer = bytes.buffer;
  let fetches = 0;

  async function fetchBig(name, streamed) {
    await call("mark", "hwm-reset");
    await call("mark", "begin", name);
    const t0 = performance.now();
    const res = await fetch("app://bench/big?n=" + fetches++);
    let total = 0;
    if (streamed) {
      const reader = res.body.getReader();
      for (;;) {
        const step = await reader.read();
        if (step.done) break;
        total += step.value.byteLength;
      }
    } else {
      total = (await res.arrayBuffer()).byteLength;
    }
    const dt = performance.now() - t0;
    await call("mark", "end", name, 1);
    await call("mark", "hwm-read", name);
    check(total === 64 * MiB, name + " got " + total);
    put(name + "_mib_s", (64 / (dt / 1000)).toFixed(1));
  }

  // One repetition of one measurement, named by the driver.
  const phases = {
    seq: function (n) {
      return loop("seq", n, async function (i) {
        const r = await call("ping", i);
        if (r !== i) check(false, "ping answered " + r + " for " + i);
      });
    },
    pipe: async function (n) {
      await call("mark", "begin", "pipe");
      const t0 = performance.now();
      const all = [];
      for (let i = 0; i < n; i++) all.push(call("ping", i));
      const answers = await Promise.all(all);
      const dt = performance.now() - t0;
      await call("mark", "end", "pipe", n);
      check(answers[n - 1] === n - 1, "pipelined answer");
      put("pipe_calls_per_s", (n / (dt / 1000)).toFixed(0));
    },
    strup: function (n) {
      return loop("strup", n, async function () {
        const length = await call("strUp", text);
        check(length === text.length, "strUp length " + length);
      });
    },
    strdown: function (n) {
      return loop("strdown", n, async function () {
        const s = await call("strDown", MiB);
        check(typeof s === "string" && s.length === MiB, "strDown length");
      });
    },
    abup: function (n) {
      return loop("abup", n, async function () {
        const length = await call("abUp", buffer);
        check(length === MiB, "abUp length " + length);
      });
    },
    abdown: function (n) {
      return loop("abdown", n, async function () {
        let r = await call("abDown", MiB);
        if (bare) r = fromBase64(r);
        check(r instanceof ArrayBuffer && r.byteLength === MiB, "abDown length");
      });
    },
    // 64 MiB as one call each way (host only: the bare program has no byte
    // road but Base64 text).
    bigup: async function () {
      if (bare) return;
      const big = new Uint8Array(64 * MiB);
      for (let i = 0; i < big.length; i += 4096) big[i] = i >>> 12;
      await call("mark", "hwm-reset");
      await call("mark", "begin", "bigup");
      const t0 = performance.now();
      const length = await call("abUp", big.buffer);
      const dt = performance.now() - t0;
      await call("mark", "end", "bigup", 1);
      await call("mark", "hwm-read", "bigup");
      check(length === 64 * MiB, "bigup length " + length);
      put("bigup_mib_s", (64 / (dt / 1000)).toFixed(1));
    },
    bigdown: async function () {
      if (bare) return;
      await call("mark", "big-prepare");
      await call("mark", "hwm-reset");
      await call("mark", "begin", "bigdown");
      const t0 = performance.now();
      const r = await call("abDown", 64 * MiB);
      const dt = performance.now() - t0;
      await call("mark", "end", "bigdown", 1);
      await call("mark", "hwm-read", "bigdown");
      check(r instanceof ArrayBuffer && r.byteLength === 64 * MiB, "bigdown length");
      put("bigdown_mib_s", (64 / (dt / 1000)).toFixed(1));
    },
    // Small buffers each way, to place the threshold between Base64 in the
    // message and raw bytes: "small 4096" runs abup_4096 and abdown_4096.
    small: async function (n) {
      const piece = bytes.slice(0, n).buffer;
      await loop("abup_" + n, 20, async function () {
        const length = await call("abUp", piece);
        check(length === n, "abUp small length " + length);
      });
      await loop("abdown_" + n, 20, async function () {
        let r = await call("abDown", n);
        if (bare) r = fromBase64(r);
        check(r instanceof ArrayBuffer && r.byteLength === n, "abDown small length");
      });
    },
    bigab: function () { return fetchBig("big_arraybuffer", false); },
    bigreader: function () { return fetchBig("big_reader", true); },
    // Sequential fetches of ten bytes, so the native gap between two requests
    // is one whole fetch: up to the response when the body is left unread
    // (first byte; the ten bytes come with the headers), or up to the body.
    // The page clock is too coarse for these; its means are a cross-check.
    tinyhead: async function (n) {
      const times = [];
      await loop("tinyhead", n, async function () {
        const t0 = performance.now();
        await fetch("app://bench/tiny?n=" + fetches++);
        times.push(performance.now() - t0);
      });
      put("tiny_first_byte_page_mean_us", (mean(times) * 1000).toFixed(1));
    },
    // The same with the runtime answering from its own thread.
    tinythreadhead: function (n) {
      return loop("tinythreadhead", n, async function () {
        await fetch("app://bench/tinythread?n=" + fetches++);
      });
    },
    tiny: function (n) {
      return loop("tiny", n, async function () {
        const body = await (await fetch("app://bench/tiny?n=" + fetches++)).arrayBuffer();
        check(body.byteLength === 10, "tiny length " + body.byteLength);
      });
    },
  };

  async function warmUp() {
    for (let i = 0; i < 200; i++) await call("ping", i);
    for (let i = 0; i < 2; i++) {
      await call("strUp", text);
      await call("strDown", MiB);
      await call("abUp", buffer);
      const r = await call("abDown", MiB);
      if (bare) fromBase64(r);
    }
    for (let i = 0; i < 20; i++) {
      await (await fetch("app://bench/tiny?n=" + fetches++)).arrayBuffer();
    }
    put("native_base64", typeof Uint8Array.fromBase64 === "function" ? 1 : 0);
    // The page clock's step: the engine coarsens it.
    let step = Infinity;
    let last = performance.now();
    for (let i = 0; i < 200000 && step === Infinity; i++) {
      const now = performance.now();
      if (now !== last) step = Math.min(step, now - last);
      last = now;
    }
    put("page_clock_step_us", (step * 1000).toFixed(1));
  }

  // "start": settle, measure PSS, end. "full": warm up, then run what the
  // driver asks for ("<phase> <count>") until it says "quit".
  async function run() {
    if (params.get("mode") === "start") {
      await call("mark", "pss");
      await call("done");
      return;
    }
    await warmUp();
    document.getElementById("status").textContent = "running";
    for (;;) {
      await flush();
      const command = String(await call("next")).split(" ");
      const phase = phases[command[0]];
      if (!phase) break;
      await phase(Number(command[1] || 1));
    }
    await flush();
    await call("done");
  }

  window.addEventListener("load", function () {
    setTimeout(function () {
      run().catch(function (e) {
        call("report", "error " + String(e).replace(/\s+/g, "_")).then(function () {
          return call("done");
        });
      });
    }, 0);
  });
})();
</script></body></html>
)HTML";

inline int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// The payloads. The string is printable ASCII; the bytes cycle through all
// values.
inline std::string MakeText(size_t n) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .,;:-_";
  std::string s(n, ' ');
  uint32_t seed = 54321;
  for (auto& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = kAlphabet[(seed >> 16) % (sizeof kAlphabet - 1)];
  }
  return s;
}

inline std::vector<uint8_t> MakeBytes(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
  return b;
}

// ---------------------------------------------------------------------------
// /proc readers

// `root` and every process below it, found through the parent ids in
// /proc/*/stat.
inline std::vector<pid_t> ProcessTree(pid_t root) {
  std::multimap<pid_t, pid_t> children;
  if (DIR* dir = opendir("/proc")) {
    while (dirent* e = readdir(dir)) {
      char* end = nullptr;
      const long pid = std::strtol(e->d_name, &end, 10);
      if (end == e->d_name || *end != '\0') continue;
      std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
      std::string line;
      if (!std::getline(in, line)) continue;
      const size_t paren = line.rfind(')');
      if (paren == std::string::npos) continue;
      std::istringstream fields(line.substr(paren + 2));
      char state;
      long ppid = 0;
      fields >> state >> ppid;
      children.emplace(static_cast<pid_t>(ppid), static_cast<pid_t>(pid));
    }
    closedir(dir);
  }
  std::vector<pid_t> tree{root};
  for (size_t i = 0; i < tree.size(); ++i) {
    auto [first, last] = children.equal_range(tree[i]);
    for (auto it = first; it != last; ++it) tree.push_back(it->second);
  }
  return tree;
}

// utime+stime of one /proc/.../stat file, in clock ticks; 0 when it is gone.
inline uint64_t StatTicks(const char* path) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return 0;
  char buffer[1024];
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
  std::fclose(f);
  buffer[n] = '\0';
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr) return 0;
  p += 2;
  // Fields after the name: state is field 3; utime and stime are 14 and 15.
  for (int field = 3; field < 14 && p != nullptr; ++field) {
    p = std::strchr(p, ' ');
    if (p != nullptr) ++p;
  }
  unsigned long long utime = 0, stime = 0;
  if (p == nullptr || std::sscanf(p, "%llu %llu", &utime, &stime) != 2) return 0;
  return utime + stime;
}

inline uint64_t ProcessTicks(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  return StatTicks(path);
}

// The main thread of this process alone.
inline uint64_t MainThreadTicks() {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(getpid()));
  return StatTicks(path);
}

// One "Name:  value kB" line of a /proc file, in kB; 0 when absent.
inline uint64_t ProcKb(const std::string& path, const char* name) {
  std::ifstream in(path);
  std::string line;
  const size_t length = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::strtoull(line.c_str() + length + 1, nullptr, 10);
    }
  }
  return 0;
}

// The short command name of a process.
inline std::string ProcessName(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// Which part a process plays: "ui" (this process), "web", "net" or "other".
inline std::string ProcessRole(pid_t pid) {
  if (pid == getpid()) return "ui";
  const std::string name = ProcessName(pid);
  if (name.rfind("WebKitWebProc", 0) == 0) return "web";
  if (name.rfind("WebKitNetwork", 0) == 0) return "net";
  return "other";
}

// ---------------------------------------------------------------------------
// The recorder. Thread-safe: the host calls it from its runtime thread and
// from the main thread (scheme requests).

class Recorder {
 public:
  // Stamps one page call or scheme request.
  void Arrival() {
    const int64_t now = NowNs();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!phase_.empty()) arrivals_.push_back(now);
  }

  // mark("begin", name) / mark("end", name, count): a measured loop.
  void Begin(const std::string& name) {
    const std::vector<pid_t> tree = ProcessTree(getpid());
    std::vector<std::string> roles;
    for (pid_t pid : tree) roles.push_back(ProcessRole(pid));
    std::lock_guard<std::mutex> lock(mutex_);
    tree_ = tree;
    roles_ = std::move(roles);
    phase_ = name;
    arrivals_.clear();
    ticksBegin_ = Ticks();
    timeBegin_ = NowNs();
  }

  void End(const std::string& name, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::map<std::string, uint64_t> ticksEnd = Ticks();
    const int64_t timeEnd = NowNs();
    if (name != phase_ || count <= 0) {
      Put("error", "phase_" + name + "_ended_without_beginning");
      return;
    }
    phase_.clear();
    const double tickUs = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto& [part, ticks] : ticksEnd) {
      const double us = static_cast<double>(ticks - ticksBegin_[part]) * tickUs;
      Put(part == "all" ? name + "_cpu_us_per_call" : name + "_cpu_" + part + "_us_per_call",
          Fixed(us / count));
    }
    Put(name + "_wall_us_per_call", Fixed(static_cast<double>(timeEnd - timeBegin_) / 1e3 / count));
    std::vector<double> gaps;
    for (size_t i = 1; i < arrivals_.size(); ++i) {
      gaps.push_back(static_cast<double>(arrivals_[i] - arrivals_[i - 1]) / 1e3);
    }
    if (!gaps.empty()) {
      std::sort(gaps.begin(), gaps.end());
      Put(name + "_gap_med_us", Fixed(gaps[gaps.size() / 2]));
      Put(name + "_gap_p99_us", Fixed(gaps[std::min(gaps.size() - 1, gaps.size() * 99 / 100)]));
    }
  }

  // Total PSS of the process tree.
  void MeasurePss() {
    const std::vector<pid_t> tree = ProcessTree(getpid());
    std::map<std::string, uint64_t> byRole;
    uint64_t total = 0, privateTotal = 0;
    std::string names;
    for (pid_t pid : tree) {
      const std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
      const uint64_t pss = ProcKb(path, "Pss");
      byRole[ProcessRole(pid)] += pss;
      total += pss;
      privateTotal += ProcKb(path, "Private_Clean") + ProcKb(path, "Private_Dirty");
      names += (names.empty() ? "" : ",") + ProcessName(pid);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    Put("pss_total_kb", std::to_string(total));
    for (const auto& [role, pss] : byRole) Put("pss_" + role + "_kb", std::to_string(pss));
    // Shared pages count in PSS divided by the number of processes mapping
    // them, so PSS drops while other WebKit programs run; private memory
    // does not depend on them.
    Put("private_total_kb", std::to_string(privateTotal));
    Put("process_names", names);
  }

  // Resets this process's peak RSS to its current RSS ("5" to clear_refs).
  void ResetPeak() {
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    const bool reset = f != nullptr && std::fputs("5", f) >= 0;
    if (f != nullptr) std::fclose(f);
    const uint64_t rss = ProcKb("/proc/self/status", "VmRSS");
    std::lock_guard<std::mutex> lock(mutex_);
    rssBeforePeak_ = rss;
    if (!reset) Put("note", "peak_rss_not_resettable");
  }

  void ReadPeak(const std::string& name) {
    const uint64_t hwm = ProcKb("/proc/self/status", "VmHWM");
    std::lock_guard<std::mutex> lock(mutex_);
    Put(name + "_peak_rss_kb", std::to_string(hwm));
    Put(name + "_peak_rss_growth_kb",
        std::to_string(hwm > rssBeforePeak_ ? hwm - rssBeforePeak_ : 0));
  }

  void PageLoaded() {
    const int64_t now = NowNs();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!loaded_) Put("loaded_ns", std::to_string(now));
    loaded_ = true;
  }

  // Lines "key value" from the page.
  void Report(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      const size_t space = line.find(' ');
      if (space != std::string::npos) Put(line.substr(0, space), line.substr(space + 1));
    }
  }

  // The page waits for its next command: everything before is done.
  void Ready() {
    std::lock_guard<std::mutex> lock(mutex_);
    Put("ready", "1");
  }

  void Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    Put("end", "1");
  }

 private:
  static std::string Fixed(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
  }

  // CPU ticks so far: "all" over the tree, each role, and "uimain", the UI
  // process's main thread. The caller holds the mutex.
  std::map<std::string, uint64_t> Ticks() {
    std::map<std::string, uint64_t> t;
    t["uimain"] = MainThreadTicks();
    for (size_t i = 0; i < tree_.size(); ++i) {
      const uint64_t ticks = ProcessTicks(tree_[i]);
      t["all"] += ticks;
      t[roles_[i]] += ticks;
    }
    return t;
  }

  // One result line, written at once. The caller holds the mutex.
  static void Put(const std::string& key, const std::string& value) {
    const std::string line = "BENCH " + key + " " + value + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

  std::mutex mutex_;
  std::string phase_;
  std::vector<int64_t> arrivals_;
  std::vector<pid_t> tree_;
  std::vector<std::string> roles_;
  std::map<std::string, uint64_t> ticksBegin_;
  int64_t timeBegin_ = 0;
  uint64_t rssBeforePeak_ = 0;
  bool loaded_ = false;
};

}  // namespace bridge_bench
