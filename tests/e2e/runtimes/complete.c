/* A well-behaved runtime: its thread waits until the host asks it to end.
 * It prints nothing, so the host's own lines are all that appear. */
#include <pthread.h>
#include <stdbool.h>

#include "wexlor/wexlor.h"

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
/* Set once and never cleared, so a shutdown that comes before start still
 * makes start return at once. */
static bool stopping = false;

int wexlor_runtime_init(const wexlor_backend_api* api) {
  return api != NULL && api->version == WEXLOR_BACKEND_API_VERSION ? 0 : 1;
}

int wexlor_runtime_start(void) {
  pthread_mutex_lock(&mutex);
  while (!stopping) pthread_cond_wait(&cond, &mutex);
  pthread_mutex_unlock(&mutex);
  return 0;
}

void wexlor_runtime_shutdown(void) {
  pthread_mutex_lock(&mutex);
  stopping = true;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&mutex);
}
