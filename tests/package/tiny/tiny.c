/* The smallest runtime: a window on a page of text. */
#include "wexlor/wexlor.h"

int wexlor_runtime_init(const wexlor_backend_api* api) {
  if (api->version != WEXLOR_BACKEND_API_VERSION) return 1;
  uint32_t window = api->CreateWindow(api->context);
  api->Navigate(api->context, window, "data:text/html,<p>tiny</p>");
  return 0;
}
int wexlor_runtime_start(void) { return 0; }
void wexlor_runtime_shutdown(void) {}
