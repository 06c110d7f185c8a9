#include "host/launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "backend/wexlor_backend.h"
#include "runtime/runtime_loader.h"

namespace {

void PrintError(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool IsValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

CommandLine ScanCommandLine(int argc, const char* const* argv) {
  CommandLine result;
  // An empty or non-UTF-8 value names no library: the lookup decides.
  auto take = [&](std::string path) {
    if (!path.empty() && IsValidUtf8(path)) {
      result.runtimePath = std::move(path);
    } else {
      result.runtimePath.reset();
    }
  };
  static constexpr char kRuntimeEq[] = "--runtime=";
  bool optionsEnded = false;
  for (int j = 1; j < argc; ++j) {
    const char* arg = argv[j];
    if (optionsEnded) {
      result.arguments.emplace_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      optionsEnded = true;
    } else if (std::strcmp(arg, "--runtime") == 0) {
      if (j + 1 < argc) take(argv[++j]);
    } else if (std::strncmp(arg, kRuntimeEq, sizeof kRuntimeEq - 1) == 0) {
      take(arg + sizeof kRuntimeEq - 1);
    } else if (std::strcmp(arg, "--automation") == 0) {
      result.automation = true;
    } else if (arg[0] == '-') {
      result.unknownOptions.emplace_back(arg);
    } else if (j > 1 || std::strcmp(arg, "run") != 0) {
      result.arguments.emplace_back(arg);
    }
  }
  return result;
}

void WarnAboutUnknownOptions(const CommandLine& commandLine) {
  for (const auto& option : commandLine.unknownOptions) {
    PrintError("wexlor: ignoring unknown option " + option);
  }
}

LaunchMode DecideLaunchMode(int argc, const char* const* argv) {
  if (std::getenv("NODE_CHANNEL_FD") != nullptr || std::getenv("NEXT_PRIVATE_WORKER") != nullptr) {
    return LaunchMode::Worker;
  }
  if (argc >= 3 && std::strcmp(argv[1], "run") == 0) {
    for (int j = 2; j < argc; ++j) {
      if (argv[j][0] != '-') return LaunchMode::Worker;
    }
  }
  return LaunchMode::Graphical;
}

int RunWorkerMode(const CommandLine& commandLine) {
  RuntimeLoader* loader = RuntimeLoader::GetInstance();
  loader->SetBackend(nullptr);

  std::string path;
  if (commandLine.runtimePath) {
    path = *commandLine.runtimePath;
  } else if (const char* env = std::getenv("WEXLOR_RUNTIME_PATH"); env != nullptr && *env) {
    path = env;
  } else {
    path = WexlorFindColocatedRuntime();
  }
  if (path.empty()) {
    PrintError("No runtime library found for headless worker.");
    return 1;
  }
  if (!loader->Load(path)) {
    PrintError("Failed to load runtime for headless worker.");
    return 1;
  }
  if (!loader->Start()) {
    PrintError("Failed to start headless worker runtime.");
    return 1;
  }
  loader->Shutdown();
  // The runtime thread has been joined: its start entry's result is final,
  // and a failure there is the worker's failure.
  return loader->startResult() == 0 ? 0 : 1;
}

std::string ResolveGraphicalRuntimePath(const std::optional<std::string>& explicitPath,
                                        std::vector<std::string>* searched) {
  if (explicitPath) return *explicitPath;
  std::string path;
  const std::string exeDir = ExecutableDirectory();
  std::vector<std::string> candidates;
  if (!exeDir.empty()) {
    candidates.push_back(exeDir + "/libruntime.so");
    candidates.push_back(exeDir + "/../lib/libruntime.so");
  }
  candidates.insert(candidates.end(), {"./libruntime.so", "./target/debug/libhello.so",
                                       "./target/release/libhello.so"});
  for (const auto& c : candidates) {
    if (FileExists(c)) {
      path = c;
      break;
    }
  }
  const char* env = std::getenv("WEXLOR_RUNTIME_PATH");
  if (env != nullptr) path = env;
  if (path.empty()) path = WexlorFindColocatedRuntime();
  if (path.empty() && searched != nullptr) {
    // Reached only when nothing was found: every place was looked at, except
    // the candidates that an empty WEXLOR_RUNTIME_PATH discards.
    searched->clear();
    std::error_code ignored;
    const std::string cwd = std::filesystem::current_path(ignored).string();
    if (env == nullptr) {
      for (const auto& c : candidates) {
        searched->push_back(c.rfind("./", 0) == 0 && !cwd.empty() ? cwd + c.substr(1) : c);
      }
    }
    if (const std::string exe = ExecutablePath(); !exe.empty()) {
      searched->push_back(ColocatedRuntimeCandidate(exe));
    }
  }
  return path;
}

bool RunLaunchSequence(WexlorBackend* backend, const std::optional<std::string>& explicitPath) {
  RuntimeLoader* loader = RuntimeLoader::GetInstance();
  loader->SetBackend(backend);
  std::vector<std::string> searched;
  const std::string path = ResolveGraphicalRuntimePath(explicitPath, &searched);
  if (path.empty()) {
    PrintError(
        "No runtime library found. Set WEXLOR_RUNTIME_PATH or place libruntime.so beside the "
        "executable.");
    std::string places;
    for (const auto& place : searched) places += (places.empty() ? "" : ", ") + place;
    PrintError("Searched, in order: " + places);
    return false;
  }
  if (!loader->Load(path)) {
    PrintError("Failed to load runtime from: " + path);
    return false;
  }
  if (!loader->Start()) {
    PrintError("Failed to start runtime");
    return false;
  }
  return true;
}

void RunTerminationSequence(WexlorBackend*& backend) {
  RuntimeLoader* loader = RuntimeLoader::GetInstance();
  loader->Shutdown();
  // Threads the runtime made itself may still call the table: they see no
  // backend from here on, and the deletion waits for any call in progress.
  loader->SetBackend(nullptr);
  delete backend;
  backend = nullptr;
}
