// Command line, mode decision and runtime path resolution.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "host/launch.h"
#include "recording_backend.h"
#include "runtime/launch_urls.h"
#include "runtime/runtime_loader.h"

namespace {

struct Args {
  Args(std::initializer_list<const char*> a) : v(a) { v.insert(v.begin(), "wexlor"); }
  int argc() const { return static_cast<int>(v.size()); }
  const char* const* argv() const { return v.data(); }
  std::vector<const char*> v;
};

// Sets or unsets environment variables for one test and restores them.
class Env {
 public:
  ~Env() {
    for (auto& [name, old] : saved_) {
      if (old) {
        setenv(name.c_str(), old->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  void Set(const char* name, const char* value) {
    Save(name);
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }

 private:
  void Save(const char* name) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

LaunchMode Mode(const Args& a) { return DecideLaunchMode(a.argc(), a.argv()); }

}  // namespace

TEST(Launch, ModeDecision) {
  Env env;
  env.Set("NODE_CHANNEL_FD", nullptr);
  env.Set("NEXT_PRIVATE_WORKER", nullptr);
  EXPECT_EQ(Mode({}), LaunchMode::Graphical);
  EXPECT_EQ(Mode({"run"}), LaunchMode::Graphical);
  EXPECT_EQ(Mode({"run", "app.js"}), LaunchMode::Worker);
  EXPECT_EQ(Mode({"run", "--inspect", "app.js"}), LaunchMode::Worker);
  EXPECT_EQ(Mode({"run", "--inspect", "-x"}), LaunchMode::Graphical);
  EXPECT_EQ(Mode({"app.js", "run", "x"}), LaunchMode::Graphical);
  EXPECT_EQ(Mode({"--runtime", "lib.so"}), LaunchMode::Graphical);
  env.Set("NODE_CHANNEL_FD", "");
  EXPECT_EQ(Mode({}), LaunchMode::Worker);
  env.Set("NODE_CHANNEL_FD", nullptr);
  env.Set("NEXT_PRIVATE_WORKER", "1");
  EXPECT_EQ(Mode({"run"}), LaunchMode::Worker);
}

TEST(Launch, RuntimeArgument) {
  auto path = [](const Args& a) { return ScanCommandLine(a.argc(), a.argv()).runtimePath; };
  EXPECT_EQ(path({}), std::nullopt);
  EXPECT_EQ(path({"--runtime", "a.so", "x", "--runtime", "b.so"}), "b.so");
  EXPECT_EQ(path({"--runtime"}), std::nullopt);
  EXPECT_EQ(path({"--runtime", "a.so", "--runtime"}), "a.so");
  EXPECT_EQ(path({"--runtime", "--runtime"}), "--runtime");
  EXPECT_EQ(path({"--runtime", "bad\xff.so"}), std::nullopt);  // not UTF-8: absent
  EXPECT_EQ(path({"--runtime", "\xc3\xa9.so"}), "\xc3\xa9.so");
  // The joined form is the same option; the last of either form wins.
  EXPECT_EQ(path({"--runtime=a.so"}), "a.so");
  EXPECT_EQ(path({"--runtime", "a.so", "--runtime=b=c.so"}), "b=c.so");
  EXPECT_EQ(path({"--runtime=a.so", "--runtime", "b.so"}), "b.so");
  EXPECT_EQ(path({"--runtime=bad\xff.so"}), std::nullopt);
  EXPECT_EQ(path({"--runtime", "a.so", "--runtime="}), std::nullopt);
  EXPECT_EQ(path({"--runtime", ""}), std::nullopt);
}

TEST(Launch, UnknownOptionsAreCollected) {
  auto unknown = [](const Args& a) { return ScanCommandLine(a.argc(), a.argv()).unknownOptions; };
  using Options = std::vector<std::string>;
  EXPECT_EQ(unknown({"--runtime", "-x.so", "--runtime=y.so", "run", "app.js"}), Options{});
  EXPECT_EQ(unknown({"--verbose", "--runtime", "a.so", "-v", "--runtimes=b.so", "--runtime"}),
            (Options{"--verbose", "-v", "--runtimes=b.so"}));
  // The automation switch is the host's own; look-alikes are not, and
  // neither is a runtime path spelled like it.
  auto scan = [](const Args& a) { return ScanCommandLine(a.argc(), a.argv()); };
  const CommandLine automated = scan({"--automation", "--automation=1", "--runtime", "a.so"});
  EXPECT_TRUE(automated.automation);
  EXPECT_EQ(automated.unknownOptions, Options{"--automation=1"});
  EXPECT_FALSE(scan({"--runtime", "--automation"}).automation);
  EXPECT_FALSE(scan({"--verbose"}).automation);
}

TEST(Launch, ArgumentsAreTheLaunchUrls) {
  auto arguments = [](const Args& a) { return ScanCommandLine(a.argc(), a.argv()).arguments; };
  using List = std::vector<std::string>;
  EXPECT_EQ(arguments({"--runtime", "a.so", "myapp://x", "-v", "notes.txt", "--runtime=b.so"}),
            (List{"myapp://x", "notes.txt"}));
  // After "--" nothing is an option; a leading "run" is the mode word.
  EXPECT_EQ(arguments({"run", "--x", "--", "-a", "--runtime", "run"}),
            (List{"-a", "--runtime", "run"}));
  EXPECT_EQ(ScanCommandLine(3, Args{"-v", "--"}.argv()).unknownOptions, List{"-v"});
  EXPECT_EQ(arguments({"a", "run"}), (List{"a", "run"}));
}

using Launches = std::vector<std::vector<std::string>>;

void Record(void* data, const char* const* urls, size_t count) {
  static_cast<Launches*>(data)->emplace_back(urls, urls + count);
}

// Takes one launch and clears itself.
void RecordOnce(void* data, const char* const* urls, size_t count) {
  Record(data, urls, count);
  launch_urls::SetHandler(nullptr, nullptr);
}

TEST(LaunchUrls, KeptUntilAHandlerIsSetThenDeliveredInOrder) {
  RuntimeLoader* loader = RuntimeLoader::GetInstance();
  RecordingBackend backend;  // runs posted tasks in place
  loader->SetBackend(&backend);
  Launches got;
  launch_urls::Deliver({"a://1"});
  launch_urls::Deliver({});  // no URLs: nothing to deliver
  launch_urls::Deliver({"b://2", "file:///x"});
  EXPECT_EQ(launch_urls::PendingCount(), 2u);
  launch_urls::SetHandler(Record, &got);
  EXPECT_EQ(got, (Launches{{"a://1"}, {"b://2", "file:///x"}}));
  launch_urls::Deliver({"c://3"});
  EXPECT_EQ(got.back(), std::vector<std::string>{"c://3"});

  // Cleared: kept again. A handler that clears itself takes one launch.
  launch_urls::SetHandler(nullptr, nullptr);
  launch_urls::Deliver({"d://4"});
  launch_urls::Deliver({"e://5"});
  launch_urls::SetHandler(RecordOnce, &got);
  EXPECT_EQ(got.size(), 4u);
  EXPECT_EQ(got.back(), std::vector<std::string>{"d://4"});
  EXPECT_EQ(launch_urls::PendingCount(), 1u);

  // Without a host user interface nothing is called.
  loader->SetBackend(nullptr);
  launch_urls::SetHandler(Record, &got);
  EXPECT_EQ(got.size(), 4u);
  loader->SetBackend(&backend);
  launch_urls::SetHandler(Record, &got);
  EXPECT_EQ(got.back(), std::vector<std::string>{"e://5"});
  launch_urls::SetHandler(nullptr, nullptr);
  loader->SetBackend(nullptr);
}

TEST(Launch, ColocatedCandidate) {
  EXPECT_EQ(ColocatedRuntimeCandidate("/opt/app/bin/host"), "/opt/app/bin/host.so");
  EXPECT_EQ(ColocatedRuntimeCandidate("/tools/run.bin"), "/tools/run.so");
  EXPECT_EQ(ColocatedRuntimeCandidate("/a.b/host"), "/a.b/host.so");    // dot in a directory
  EXPECT_EQ(ColocatedRuntimeCandidate("/dir/.host"), "/dir/.host.so");  // leading dot kept
  EXPECT_EQ(ColocatedRuntimeCandidate("/dir/.host.x"), "/dir/.host.so");
  EXPECT_EQ(ColocatedRuntimeCandidate("host"), "host.so");
  EXPECT_EQ(ColocatedRuntimeCandidate(""), "");
  // The test executable has no library beside it.
  EXPECT_EQ(WexlorFindColocatedRuntime(), "");
}

TEST(Launch, GraphicalRuntimePath) {
  Env env;
  env.Set("WEXLOR_RUNTIME_PATH", nullptr);
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::string("/x/explicit.so")), "/x/explicit.so");

  // Work in an empty directory holding one development candidate.
  const auto old = std::filesystem::current_path();
  const auto dir =
      std::filesystem::temp_directory_path() / ("wexlor-launch-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "target/release");
  std::filesystem::current_path(dir);
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::nullopt), "");
  // Nothing found: every place, in the order looked at, as absolute paths.
  std::vector<std::string> searched;
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::nullopt, &searched), "");
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string exeDir = exe.substr(0, exe.rfind('/'));
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(searched, (std::vector<std::string>{
                          exeDir + "/libruntime.so", exeDir + "/../lib/libruntime.so",
                          cwd + "/libruntime.so", cwd + "/target/debug/libhello.so",
                          cwd + "/target/release/libhello.so", ColocatedRuntimeCandidate(exe)}));
  close(open("target/release/libhello.so", O_CREAT | O_WRONLY, 0644));
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::nullopt), "./target/release/libhello.so");
  close(open("libruntime.so", O_CREAT | O_WRONLY, 0644));
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::nullopt), "./libruntime.so");
  // The environment overrides any candidate; empty discards them all.
  env.Set("WEXLOR_RUNTIME_PATH", "/env/lib.so");
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::nullopt), "/env/lib.so");
  env.Set("WEXLOR_RUNTIME_PATH", "");
  EXPECT_EQ(ResolveGraphicalRuntimePath(std::nullopt, &searched), "");
  EXPECT_EQ(searched, std::vector<std::string>{ColocatedRuntimeCandidate(exe)});
  std::filesystem::current_path(old);
  std::filesystem::remove_all(dir);
}
