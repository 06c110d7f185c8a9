/* A runtime that calls the table in worker mode, where there is no backend,
 * and prints one "key=value" line per observation on stdout.
 *
 * Most checks run in init, on the main thread before the runtime thread
 * exists, so their lines come between the host's "loaded" and "started"
 * lines. Checks that need time to pass are printed by shutdown (main
 * thread, after "started"), and what the runtime thread saw is printed
 * when the process exits. */
#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wexlor/wexlor.h"

static const wexlor_backend_api* api;
static void* ctx;

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
static bool stopping = false;

static pthread_t init_thread;
static int start_ran = 0;
static int start_finished = 0;
static int shutdown_calls = 0;
static int start_thread_distinct = -1;
static uint32_t start_create = 0;

/* Counters bumped by callbacks that must not run, or must run only once. */
static int executejs_calls = 0;
static int posttask_calls = 0;
static int handler_calls = 0;
static int permission_calls = 0;
static int last_permission = -1;

/* One line, one stdio call, flushed. */
static void emit(const char* key, const char* format, ...) {
  char value[256];
  va_list args;
  va_start(args, format);
  vsnprintf(value, sizeof value, format, args);
  va_end(args);
  printf("%s=%s\n", key, value);
  fflush(stdout);
}

static void on_execute_js(wexlor_value* result, wexlor_value* error, void* user_data) {
  (void)result;
  (void)error;
  (void)user_data;
  ++executejs_calls;
}

static void on_ui_task(void* user_data) {
  (void)user_data;
  ++posttask_calls;
}

static void on_permission(void* user_data, int32_t state) {
  (void)user_data;
  ++permission_calls;
  last_permission = state;
}

/* Handlers for every registration entry; none may run in worker mode. */
static void on_js_call(void* ud, uint32_t w, uint64_t id, const char* m, wexlor_value* a) {
  (void)ud, (void)w, (void)id, (void)m;
  ++handler_calls;
  api->ValueFree(a);
}
static void on_notify(void* ud) {
  (void)ud;
  ++handler_calls;
}
static void on_key(void* ud, uint32_t w, int32_t up, const char* k, const char* c, uint32_t m,
                   bool r) {
  (void)ud, (void)w, (void)up, (void)k, (void)c, (void)m, (void)r;
  ++handler_calls;
}
static void on_click(void* ud, uint32_t w, int32_t up, int32_t b, double x, double y, uint32_t m,
                     int32_t n) {
  (void)ud, (void)w, (void)up, (void)b, (void)x, (void)y, (void)m, (void)n;
  ++handler_calls;
}
static void on_mouse_move(void* ud, uint32_t w, double x, double y, uint32_t m) {
  (void)ud, (void)w, (void)x, (void)y, (void)m;
  ++handler_calls;
}
static void on_wheel(void* ud, uint32_t w, double dx, double dy, double x, double y, uint32_t m,
                     int32_t l) {
  (void)ud, (void)w, (void)dx, (void)dy, (void)x, (void)y, (void)m, (void)l;
  ++handler_calls;
}
static void on_enter_leave(void* ud, uint32_t w, int32_t e, double x, double y, uint32_t m) {
  (void)ud, (void)w, (void)e, (void)x, (void)y, (void)m;
  ++handler_calls;
}
static void on_focused(void* ud, uint32_t w, int32_t f) {
  (void)ud, (void)w, (void)f;
  ++handler_calls;
}
static void on_resize(void* ud, uint32_t w, int32_t width, int32_t height) {
  (void)ud, (void)w, (void)width, (void)height;
  ++handler_calls;
}
static void on_move(void* ud, uint32_t w, int32_t x, int32_t y) {
  (void)ud, (void)w, (void)x, (void)y;
  ++handler_calls;
}
static void on_window(void* ud, uint32_t w) {
  (void)ud, (void)w;
  ++handler_calls;
}
static void on_menu(void* ud, uint32_t owner, const char* item) {
  (void)ud, (void)owner, (void)item;
  ++handler_calls;
}
static void on_reopen(void* ud, bool visible) {
  (void)ud, (void)visible;
  ++handler_calls;
}
static void on_notification(void* ud, uint32_t n, int32_t e, const char* a) {
  (void)ud, (void)n, (void)e, (void)a;
  ++handler_calls;
}
static void on_scheme_request(void* ud, uint32_t w, wexlor_scheme_exchange* x, const char* m,
                              const char* u, const char* h, size_t hl) {
  (void)ud, (void)w, (void)x, (void)m, (void)u, (void)h, (void)hl;
  ++handler_calls;
}
static void on_scheme_stop(void* ud, wexlor_scheme_exchange* x) {
  (void)ud, (void)x;
  ++handler_calls;
}

/* Number of function members after `context` that are null. */
static int count_null_entries(void) {
  int nulls = 0;
  const char* base = (const char*)api;
  for (size_t off = offsetof(wexlor_backend_api, CreateWindow); off < sizeof *api;
       off += sizeof(void (*)(void))) {
    void (*entry)(void);
    memcpy(&entry, base + off, sizeof entry);
    if (entry == NULL) ++nulls;
  }
  return nulls;
}

static void probe_windows(void) {
  emit("create1", "%u", api->CreateWindow(ctx));
  emit("create2", "%u", api->CreateWindow(ctx));
  emit("createEx", "%u", api->CreateWindowEx(ctx, WEXLOR_WINDOW_FRAMELESS | WEXLOR_WINDOW_HIDDEN));
  emit("visible", "%d", api->IsVisible(ctx, 1));
  emit("resizable", "%d", api->IsResizable(ctx, 1));
  emit("always_on_top", "%d", api->IsAlwaysOnTop(ctx, 1));
  emit("opacity", "%f", api->GetWindowOpacity(ctx, 1));

  int32_t w = -7001, h = -7002, x = -7003, y = -7004;
  api->GetWindowSize(ctx, 1, &w, &h);
  emit("size_untouched", "%d", w == -7001 && h == -7002);
  api->GetWindowPosition(ctx, 1, &x, &y);
  emit("position_untouched", "%d", x == -7003 && y == -7004);

  executejs_calls = 0;
  api->ExecuteJs(ctx, 1, "1 + 1", on_execute_js, NULL);
  emit("executejs_cb_called", "%d", executejs_calls);

  api->PostUiTask(ctx, on_ui_task, NULL);
  emit("posttask_ran", "%d", posttask_calls);

  emit("reserved", "%d,%d,%u", api->Reserved0(ctx, 1) != NULL, api->Reserved1(ctx, 1) != NULL,
       api->Reserved2(ctx, 1));
}

static void probe_services(void) {
  api->QueryPermission(ctx, 0, on_permission, NULL);
  emit("query_permission", "%d", last_permission);
  last_permission = -1;
  api->RequestPermission(ctx, 0, on_permission, NULL);
  emit("request_permission", "%d", last_permission);
  emit("permission_calls", "%d", permission_calls);

  /* The host owns the options from here on; they must not be used again. */
  wexlor_value* options = api->ValueDict(ctx);
  wexlor_value* title = api->ValueString(ctx, "probe");
  api->ValueDictSet(options, "title", title);
  api->ValueFree(title);
  emit("notification", "%u", api->ShowNotification(ctx, options, on_notification, NULL));

  char* clip = api->ReadClipboardText(ctx);
  emit("clipboard", "%s", clip == NULL ? "null" : "text");
  if (clip != NULL) api->StringFree(ctx, clip);

  char sentinel[] = "untouched";
  char* out = sentinel;
  const int32_t dialog = api->ShowDialog(ctx, 1, 0, "title", "message", "default", &out);
  emit("dialog", "%d", dialog);
  emit("dialog_out_null", "%d", out == NULL);
  emit("dialog_no_out", "%d", api->ShowDialog(ctx, 1, 1, NULL, NULL, NULL, NULL));

  emit("tray", "%u", api->CreateTrayIcon(ctx));
  int32_t tx = -1, ty = -2, tw = -3, th = -4;
  emit("tray_bounds", "%d", api->GetTrayIconBounds(ctx, 1, &tx, &ty, &tw, &th));
  emit("tray_bounds_untouched", "%d", tx == -1 && ty == -2 && tw == -3 && th == -4);

  emit("scheme_read", "%lld", (long long)api->SchemeRequestReadBody(ctx, NULL, NULL, 0));
  emit("scheme_write", "%lld",
       (long long)api->SchemeResponseWrite(ctx, NULL, (const uint8_t*)"x", 1));
}

/* Every entry without a result, with handlers registered everywhere; none
 * may crash or call back. */
static void probe_quiet_entries(void) {
  api->SetJsCallHandler(ctx, on_js_call, NULL);
  api->SetJsCallNotify(ctx, on_notify, NULL);
  api->SetKeyboardEventHandler(ctx, on_key, NULL);
  api->SetMouseClickHandler(ctx, on_click, NULL);
  api->SetMouseMoveHandler(ctx, on_mouse_move, NULL);
  api->SetWheelHandler(ctx, on_wheel, NULL);
  api->SetCursorEnterLeaveHandler(ctx, on_enter_leave, NULL);
  api->SetFocusedHandler(ctx, on_focused, NULL);
  api->SetResizeHandler(ctx, on_resize, NULL);
  api->SetMoveHandler(ctx, on_move, NULL);
  api->SetCloseRequestedHandler(ctx, on_window, NULL);
  api->SetPageLoadHandler(ctx, on_window, NULL);
  api->SetDockReopenHandler(ctx, on_reopen, NULL);
  api->SetTrayClickHandler(ctx, 1, on_window, NULL);
  api->SetTrayDoubleClickHandler(ctx, 1, on_window, NULL);
  api->RegisterSchemeHandler(ctx, "app", on_scheme_request, on_scheme_stop, NULL);

  api->PollJsCalls(ctx);
  api->JsCallRespond(ctx, 12345, NULL, NULL);
  wexlor_value* args = api->ValueList(ctx);
  api->InvokeJsCallback(ctx, 777, args);
  api->ValueFree(args);
  api->ReleaseJsCallback(ctx, 777);
  api->PollJsCalls(ctx);

  api->Navigate(ctx, 1, "https://example.invalid/");
  api->SetTitle(ctx, 1, "title");
  api->SetWindowSize(ctx, 1, 640, 480);
  api->SetWindowPosition(ctx, 1, 10, 20);
  api->SetResizable(ctx, 1, false);
  api->SetAlwaysOnTop(ctx, 1, true);
  api->SetWindowOpacity(ctx, 1, 0.5);
  api->Show(ctx, 1);
  api->Hide(ctx, 1);
  api->Focus(ctx, 1);
  api->OpenDevTools(ctx, 1);
  api->SetJsNamespace(ctx, "Probe");
  api->SetApplicationMenu(ctx, 1, NULL, on_menu, NULL);
  api->ShowContextMenu(ctx, 1, 5, 5, NULL, on_menu, NULL);
  api->SetDockBadge(ctx, "3");
  api->BounceDock(ctx, 0);
  api->SetDockMenu(ctx, NULL, on_menu, NULL);
  api->SetDockVisible(ctx, false);
  api->SetTrayIcon(ctx, 1, "png", 3);
  api->SetTrayIconDark(ctx, 1, "png", 3);
  api->SetTrayTooltip(ctx, 1, "tip");
  api->SetTrayMenu(ctx, 1, NULL, on_menu, NULL);
  api->DestroyTrayIcon(ctx, 1);
  api->CloseNotification(ctx, 1);
  api->WriteClipboardText(ctx, "copied");
  api->SchemeResponseBegin(ctx, NULL, 200, "a: b", 4);
  api->SchemeResponseFinish(ctx, NULL);
  api->GetWindowSize(ctx, 1, NULL, NULL);
  api->GetWindowPosition(ctx, 1, NULL, NULL);
  api->GetTrayIconBounds(ctx, 1, NULL, NULL, NULL, NULL);
  api->CloseWindow(ctx, 1);
  api->Quit(ctx);

  emit("handlers_called", "%d", handler_calls);
}

static void probe_values(void) {
  emit("null_handle", "%d,%zu", api->ValueIsNull(NULL), api->ValueListSize(NULL));

  /* Keys come back in byte order, whatever the insertion order. */
  wexlor_value* dict = api->ValueDict(ctx);
  const char* inserted[] = {"b", "a", "B"};
  for (int i = 0; i < 3; ++i) {
    wexlor_value* v = api->ValueInt(ctx, i);
    api->ValueDictSet(dict, inserted[i], v);
    api->ValueFree(v);
  }
  wexlor_value* replacement = api->ValueString(ctx, "x");
  api->ValueDictSet(dict, "a", replacement);
  api->ValueFree(replacement);
  size_t count = 99;
  char** keys = api->ValueDictKeys(dict, &count);
  char joined[64] = "";
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) strcat(joined, ",");
    strncat(joined, keys[i], 8);
  }
  api->ValueFreeKeys(keys, count);
  emit("dict_keys", "%s", joined);
  emit("dict_size", "%zu", api->ValueDictSize(dict));
  emit("dict_has", "%d,%d", api->ValueDictHas(dict, "B"), api->ValueDictHas(dict, "c"));
  wexlor_value* a = api->ValueDictGet(dict, "a");
  char* a_text = api->ValueGetString(a, NULL);
  emit("dict_a", "%s", a_text != NULL ? a_text : "null");
  api->ValueFreeString(a_text);
  api->ValueFree(a);
  emit("dict_missing", "%s", api->ValueDictGet(dict, "c") == NULL ? "null" : "handle");

  /* Lengths are in bytes: "h\u00e9llo \u20ac" is 1+2+3+1+3. */
  const char* utf8 = "h\xc3\xa9llo \xe2\x82\xac";
  wexlor_value* s = api->ValueString(ctx, utf8);
  size_t len = 0;
  char* back = api->ValueGetString(s, &len);
  emit("string_len", "%zu", len);
  emit("string_same", "%d", back != NULL && memcmp(back, utf8, len + 1) == 0);
  api->ValueFreeString(back);
  api->ValueFree(s);

  /* Setting past the end grows the list with nulls. */
  wexlor_value* list = api->ValueList(ctx);
  wexlor_value* seven = api->ValueInt(ctx, 7);
  emit("list_set", "%d", api->ValueListSet(list, 2, seven));
  api->ValueFree(seven);
  emit("list_size", "%zu", api->ValueListSize(list));
  wexlor_value* hole = api->ValueListGet(list, 0);
  emit("list_hole_null", "%d", api->ValueIsNull(hole));
  api->ValueFree(hole);
  wexlor_value* item = api->ValueListGet(list, 2);
  emit("list_item2", "%d,%d", api->ValueIsInt(item), api->ValueGetInt(item));
  api->ValueFree(item);
  /* The list keeps its items after the caller frees its own handle. */
  wexlor_value* kept = api->ValueString(ctx, "kept");
  api->ValueListAppend(list, kept);
  api->ValueFree(kept);
  emit("list_size_appended", "%zu", api->ValueListSize(list));
  wexlor_value* last = api->ValueListGet(list, 3);
  char* last_text = api->ValueGetString(last, NULL);
  emit("list_item3", "%s", last_text != NULL ? last_text : "null");
  api->ValueFreeString(last_text);
  api->ValueFree(last);
  emit("list_out_of_range", "%s", api->ValueListGet(list, 4) == NULL ? "null" : "handle");

  api->ValueDictSet(dict, "list", list);
  api->ValueFree(list);
  wexlor_value* nested = api->ValueDictGet(dict, "list");
  emit("nested_list_size", "%zu", api->ValueListSize(nested));
  api->ValueFree(nested);
  api->ValueFree(dict);

  /* Scalars keep their kind; the getters never convert. */
  wexlor_value* d = api->ValueDouble(ctx, 2.5);
  emit("double", "%f,%d,%d", api->ValueGetDouble(d), api->ValueIsInt(d), api->ValueGetInt(d));
  size_t slen = 99;
  char* not_string = api->ValueGetString(d, &slen);
  emit("string_of_double", "%s,%zu", not_string == NULL ? "null" : not_string, slen);
  api->ValueFree(d);
  wexlor_value* b = api->ValueBool(ctx, true);
  emit("bool", "%d,%d", api->ValueIsBool(b), api->ValueGetBool(b));
  emit("callback", "%d,%llu", api->ValueIsCallback(b),
       (unsigned long long)api->ValueGetCallbackId(b));
  api->ValueFree(b);
  wexlor_value* n = api->ValueNull(ctx);
  emit("null_value", "%d,%d", api->ValueIsNull(n), api->ValueIsDict(n));
  api->ValueFree(n);

  const uint8_t bytes[] = {0x00, 0xff, 0x10, 0x00};
  wexlor_value* bin = api->ValueBinary(ctx, bytes, sizeof bytes);
  size_t size = 0;
  const uint8_t* data = api->ValueGetBinary(bin, &size);
  emit("binary", "%d,%zu,%d", api->ValueIsBinary(bin), size,
       data != NULL && size == sizeof bytes && memcmp(data, bytes, size) == 0);
  api->ValueFree(bin);
}

/* Whether GTK or WebKit is mapped into this process: a worker must not load
 * them. */
static int desktop_stack_loaded(void) {
  FILE* maps = fopen("/proc/self/maps", "r");
  if (maps == NULL) return -1;
  char line[4096];
  int found = 0;
  while (fgets(line, sizeof line, maps) != NULL) {
    if (strstr(line, "libgtk-3") != NULL || strstr(line, "libwebkit2gtk") != NULL) found = 1;
  }
  fclose(maps);
  return found;
}

static void on_web_process(void* ud, uint32_t w, int32_t reason) {
  (void)ud, (void)w, (void)reason;
  ++handler_calls;
}

/* Called before init: the record is complete and registrations are kept. */
void wexlor_runtime_extensions(const wexlor_host_extensions* ext) {
  int nulls = 0;
  const char* base = (const char*)ext;
  for (size_t off = offsetof(wexlor_host_extensions, context) + sizeof(void*); off < ext->size;
       off += sizeof(void (*)(void))) {
    void (*entry)(void);
    memcpy(&entry, base + off, sizeof entry);
    if (entry == NULL) ++nulls;
  }
  emit("extensions", "%u,%d,%d,%d", ext->version, ext->size == sizeof *ext, api == NULL, nulls);
  if (WEXLOR_HOST_EXTENSION_HAS(ext, SetWebProcessHandler))
    ext->SetWebProcessHandler(ext->context, on_web_process, NULL);
}

int wexlor_runtime_init(const wexlor_backend_api* table) {
  api = table;
  ctx = table->context;
  init_thread = pthread_self();
  emit("version", "%u", api->version);
  emit("desktop_stack", "%d", desktop_stack_loaded());
  emit("null_entries", "%d", count_null_entries());
  probe_windows();
  probe_services();
  probe_quiet_entries();
  probe_values();
  return 0;
}

int wexlor_runtime_start(void) {
  pthread_mutex_lock(&mutex);
  start_ran = 1;
  start_thread_distinct = !pthread_equal(pthread_self(), init_thread);
  pthread_mutex_unlock(&mutex);
  const uint32_t id = api->CreateWindow(ctx);
  pthread_mutex_lock(&mutex);
  start_create = id;
  while (!stopping) pthread_cond_wait(&cond, &mutex);
  start_finished = 1;
  pthread_mutex_unlock(&mutex);
  return 0;
}

void wexlor_runtime_shutdown(void) {
  pthread_mutex_lock(&mutex);
  stopping = true;
  const int first = ++shutdown_calls == 1;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&mutex);
  if (!first) return;
  emit("late_executejs_cb_called", "%d", executejs_calls);
  emit("late_posttask_ran", "%d", posttask_calls);
  emit("late_permission_calls", "%d", permission_calls);
  emit("late_handlers_called", "%d", handler_calls);
}

/* Runs at process exit: by then the host has joined the runtime thread. */
__attribute__((destructor)) static void report_runtime_thread(void) {
  pthread_mutex_lock(&mutex);
  emit("shutdown_calls", "%d", shutdown_calls);
  emit("start_ran", "%d", start_ran);
  emit("start_thread_distinct", "%d", start_thread_distinct);
  emit("start_create", "%u", start_create);
  emit("start_finished", "%d", start_finished);
  pthread_mutex_unlock(&mutex);
}
