// Finds and loads the desktop shell module for windowed mode. The
// executable itself links no toolkit, so a worker starts without loading
// one.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/launch.h"

namespace {

constexpr char kModuleName[] = "libwexlor-gtk.so";

std::string ExecutableDir() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string dir(path, static_cast<size_t>(n));
  const size_t slash = dir.rfind('/');
  return slash == std::string::npos ? "." : dir.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

int RunGraphicalMode(int argc, char** argv, const CommandLine& commandLine) {
  const std::string dir = ExecutableDir();
  const std::string candidates[] = {dir + "/" + kModuleName, dir + "/../lib/wexlor/" + kModuleName};
  void* module = nullptr;
  std::string error;
  for (const std::string& path : candidates) {
    if (access(path.c_str(), F_OK) != 0) continue;
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module != nullptr) break;
    const char* why = dlerror();
    error = why != nullptr ? why : path;
  }
  if (module == nullptr) {
    if (error.empty()) {
      std::fprintf(stderr,
                   "wexlor: the desktop shell %s was not found beside the executable or "
                   "in ../lib/wexlor/\n",
                   kModuleName);
    } else {
      std::fprintf(stderr, "wexlor: cannot load the desktop shell: %s\n", error.c_str());
    }
    return 1;
  }
  using Entry = int (*)(int, char**, const CommandLine*);
  auto entry = reinterpret_cast<Entry>(dlsym(module, "wexlor_shell_run"));
  if (entry == nullptr) {
    std::fprintf(stderr, "wexlor: %s has no entry point wexlor_shell_run\n", kModuleName);
    return 1;
  }
  return entry(argc, argv, &commandLine);
}
