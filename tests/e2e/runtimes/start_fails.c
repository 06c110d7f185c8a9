/* A runtime whose thread ends at once with -1. */
#include "wexlor/wexlor.h"

int wexlor_runtime_init(const wexlor_backend_api* api) {
  (void)api;
  return 0;
}

int wexlor_runtime_start(void) { return -1; }

void wexlor_runtime_shutdown(void) {}
