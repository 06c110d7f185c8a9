/* A runtime for the input tests. It registers every input handler and
 * writes one line per call to the file named by WEXLOR_INPUT_LOG:
 *
 *   key <window> <up> <key> <code> <modifiers> <repeat>
 *   click <window> <up> <button> <x> <y> <modifiers> <click count>
 *   move <window> <x> <y> <modifiers>
 *   wheel <window> <dx> <dy> <x> <y> <modifiers> <line flag>
 *   cross <window> <entered> <x> <y> <modifiers>
 *   load <window>
 *   resize <window> <width> <height>    (the web view's size)
 *
 * Texts are percent-encoded (bytes up to space, '%' and from 0x7f), so a
 * line always splits on spaces. A handler called off the main thread adds
 * a "wrong-thread" line.
 *
 * Its thread reads commands, one per line, from the FIFO named by
 * WEXLOR_INPUT_CONTROL:
 *
 *   window <width> <height> <x> <y> <title>  -> "created <id>"
 *   dialog <title>                           -> "dialog <result>" when closed
 *   quit
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "wexlor/wexlor.h"

static const wexlor_backend_api* api;
static void* ctx;
static pthread_t mainThread;
static pthread_mutex_t logMutex = PTHREAD_MUTEX_INITIALIZER;
static FILE* logFile;
static int controlFd = -1;
static int stopPipe[2] = {-1, -1};

static void Log(const char* format, ...) {
  pthread_mutex_lock(&logMutex);
  if (logFile != NULL) {
    va_list args;
    va_start(args, format);
    vfprintf(logFile, format, args);
    va_end(args);
    fputc('\n', logFile);
    fflush(logFile);
  }
  pthread_mutex_unlock(&logMutex);
}

static void CheckMain(const char* what) {
  if (!pthread_equal(pthread_self(), mainThread)) Log("wrong-thread %s", what);
}

/* Percent-encodes `text` into `out` (at least 3 * strlen + 4 bytes). */
static const char* Encode(const char* text, char* out) {
  static const char hex[] = "0123456789ABCDEF";
  char* p = out;
  if (text == NULL) return strcpy(out, "(null)");
  if (*text == '\0') return strcpy(out, "%00");
  for (const unsigned char* s = (const unsigned char*)text; *s != '\0'; ++s) {
    if (*s <= 0x20 || *s == '%' || *s >= 0x7f) {
      *p++ = '%';
      *p++ = hex[*s >> 4];
      *p++ = hex[*s & 15];
    } else {
      *p++ = (char)*s;
    }
  }
  *p = '\0';
  return out;
}

static void OnKey(void* ud, uint32_t window, int32_t up, const char* key, const char* code,
                  uint32_t modifiers, bool repeat) {
  (void)ud;
  CheckMain("key");
  char k[256], c[256];
  if ((key != NULL && strlen(key) > 80) || (code != NULL && strlen(code) > 80)) {
    Log("key-too-long");
    return;
  }
  Log("key %u %d %s %s %u %d", window, up, Encode(key, k), Encode(code, c), modifiers,
      repeat ? 1 : 0);
}

static void OnClick(void* ud, uint32_t window, int32_t up, int32_t button, double x, double y,
                    uint32_t modifiers, int32_t clickCount) {
  (void)ud;
  CheckMain("click");
  Log("click %u %d %d %g %g %u %d", window, up, button, x, y, modifiers, clickCount);
}

static void OnMove(void* ud, uint32_t window, double x, double y, uint32_t modifiers) {
  (void)ud;
  CheckMain("move");
  Log("move %u %g %g %u", window, x, y, modifiers);
}

static void OnWheel(void* ud, uint32_t window, double dx, double dy, double x, double y,
                    uint32_t modifiers, int32_t lineFlag) {
  (void)ud;
  CheckMain("wheel");
  Log("wheel %u %g %g %g %g %u %d", window, dx, dy, x, y, modifiers, lineFlag);
}

static void OnCross(void* ud, uint32_t window, int32_t entered, double x, double y,
                    uint32_t modifiers) {
  (void)ud;
  CheckMain("cross");
  Log("cross %u %d %g %g %u", window, entered, x, y, modifiers);
}

static void OnPageLoad(void* ud, uint32_t window) {
  (void)ud;
  Log("load %u", window);
}

static void OnResize(void* ud, uint32_t window, int32_t width, int32_t height) {
  (void)ud;
  Log("resize %u %d %d", window, width, height);
}

static void RunCommand(char* line) {
  char title[128] = "";
  int width, height, x, y;
  if (sscanf(line, "window %d %d %d %d %127s", &width, &height, &x, &y, title) == 5) {
    const uint32_t id = api->CreateWindow(ctx);
    api->SetTitle(ctx, id, title);
    api->SetWindowSize(ctx, id, width, height);
    api->SetWindowPosition(ctx, id, x, y);
    /* No context menu: it would take the pointer grab from the window. */
    api->Navigate(ctx, id,
                  "data:text/html,<body style='margin:0' oncontextmenu='return false'></body>");
    Log("created %u", id);
  } else if (sscanf(line, "dialog %127s", title) == 1) {
    char* text = NULL;
    const int result = api->ShowDialog(ctx, 0, 0, title, "", "", &text);
    if (text != NULL) api->StringFree(ctx, text);
    Log("dialog %d", result);
  } else if (strcmp(line, "quit") == 0) {
    api->Quit(ctx);
  } else {
    Log("unknown-command");
  }
}

int wexlor_runtime_init(const wexlor_backend_api* table) {
  if (table == NULL || table->version != WEXLOR_BACKEND_API_VERSION) return 1;
  const char* logPath = getenv("WEXLOR_INPUT_LOG");
  const char* controlPath = getenv("WEXLOR_INPUT_CONTROL");
  if (logPath == NULL || controlPath == NULL) return 2;
  logFile = fopen(logPath, "a");
  controlFd = open(controlPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (logFile == NULL || controlFd < 0 || pipe(stopPipe) != 0) return 3;
  api = table;
  ctx = table->context;
  mainThread = pthread_self();
  api->SetKeyboardEventHandler(ctx, OnKey, NULL);
  api->SetMouseClickHandler(ctx, OnClick, NULL);
  api->SetMouseMoveHandler(ctx, OnMove, NULL);
  api->SetWheelHandler(ctx, OnWheel, NULL);
  api->SetCursorEnterLeaveHandler(ctx, OnCross, NULL);
  api->SetPageLoadHandler(ctx, OnPageLoad, NULL);
  api->SetResizeHandler(ctx, OnResize, NULL);
  Log("init");
  return 0;
}

int wexlor_runtime_start(void) {
  char buffer[1024];
  size_t used = 0;
  for (;;) {
    struct pollfd fds[2] = {{controlFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0) return 0;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = read(controlFd, buffer + used, sizeof buffer - 1 - used);
      if (n <= 0) continue;
      used += (size_t)n;
      buffer[used] = '\0';
      char* newline;
      while ((newline = strchr(buffer, '\n')) != NULL) {
        *newline = '\0';
        RunCommand(buffer);
        used -= (size_t)(newline + 1 - buffer);
        memmove(buffer, newline + 1, used + 1);
      }
      if (used == sizeof buffer - 1) used = 0; /* an overlong line is dropped */
    } else if (fds[0].revents & POLLHUP) {
      usleep(10000); /* the writer went away; the test stops the host */
    }
  }
}

void wexlor_runtime_shutdown(void) {
  if (stopPipe[1] >= 0) {
    const char byte = 1;
    ssize_t n = write(stopPipe[1], &byte, 1);
    (void)n;
  }
}
