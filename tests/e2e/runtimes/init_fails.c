/* A runtime whose init fails with 7: the host must not start its thread. */
#include <stdio.h>

#include "wexlor/wexlor.h"

int wexlor_runtime_init(const wexlor_backend_api* api) {
  (void)api;
  return 7;
}

int wexlor_runtime_start(void) {
  fputs("init_fails: start must not be called\n", stderr);
  fflush(stderr);
  return 0;
}

void wexlor_runtime_shutdown(void) {}
