// Worker start: spawn to exit of the host in worker mode with a trivial
// runtime, against /bin/true and a program that only loads the runtime,
// measured alternately in the same run. Prints medians and ratios.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

double RunOnceMs(const std::vector<std::string>& args, bool worker) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) envStrings.push_back(*e);
  // What a parent runtime such as Node sets for a forked worker.
  if (worker) envStrings.push_back("NODE_CHANNEL_FD=3");
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const std::vector<std::string> host = {WEXLOR_BENCH_HOST, "run", "worker.js", "--runtime",
                                         WEXLOR_BENCH_TRIVIAL_RUNTIME};
  const std::vector<std::string> loader = {WEXLOR_BENCH_DLOPEN_ONLY, WEXLOR_BENCH_TRIVIAL_RUNTIME};
  const std::vector<std::string> trueCmd = {"/bin/true"};
  std::vector<double> h, l, t;
  for (int i = 0; i < rounds + 2; ++i) {
    const double a = RunOnceMs(host, true), b = RunOnceMs(loader, false),
                 c = RunOnceMs(trueCmd, false);
    if (a < 0 || b < 0 || c < 0) {
      std::fprintf(stderr, "worker_start_bench: a run failed\n");
      return 1;
    }
    if (i >= 2) {  // the first rounds warm the page cache
      h.push_back(a);
      l.push_back(b);
      t.push_back(c);
    }
  }
  const double mh = Median(h), ml = Median(l), mt = Median(t);
  std::printf("worker start, spawn to exit, median of %d:\n", rounds);
  std::printf("  host worker   %7.2f ms\n  dlopen only   %7.2f ms\n  /bin/true     %7.2f ms\n", mh,
              ml, mt);
  std::printf("  host / dlopen only = %.2f, host / true = %.2f (goal: host <= 10 ms)\n", mh / ml,
              mh / mt);
  return 0;
}
