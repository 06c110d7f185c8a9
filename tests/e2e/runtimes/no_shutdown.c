/* A runtime without its shutdown entry: the host must refuse it before
 * calling anything, so the other entries complain if they ever run. */
#include <stdio.h>

#include "wexlor/wexlor.h"

int wexlor_runtime_init(const wexlor_backend_api* api) {
  (void)api;
  fputs("no_shutdown: init must not be called\n", stderr);
  fflush(stderr);
  return 0;
}

int wexlor_runtime_start(void) {
  fputs("no_shutdown: start must not be called\n", stderr);
  fflush(stderr);
  return 0;
}
