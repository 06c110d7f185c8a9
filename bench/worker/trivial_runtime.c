/* The smallest runtime: nothing to do, so a worker's start-to-exit time is
 * the host's own. */
#include "wexlor/wexlor.h"

int wexlor_runtime_init(const wexlor_backend_api* table) { return table == 0; }
int wexlor_runtime_start(void) { return 0; }
void wexlor_runtime_shutdown(void) {}
