/* Baseline for the worker start: a program that only loads the runtime
 * library and exits. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  return dlsym(lib, "wexlor_runtime_init") == NULL;
}
