/*
 * Wexlor runtime interface.
 *
 * A runtime library exports the three entry points declared at the end of
 * this file. The host calls wexlor_runtime_init with a pointer to a
 * wexlor_backend_api record that stays valid for the whole process; every
 * backend entry takes the record's `context` as its first argument, the
 * value functions do not.
 *
 * Values (wexlor_value) are owned by exactly one party and released with
 * ValueFree. Strings from ValueGetString are released with ValueFreeString,
 * key arrays with ValueFreeKeys, texts from ShowDialog and
 * ReadClipboardText with StringFree.
 */
#ifndef WEXLOR_WEXLOR_H
#define WEXLOR_WEXLOR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WEXLOR_BACKEND_API_VERSION 29u

/* Window creation flags for CreateWindowEx. */
#define WEXLOR_WINDOW_FRAMELESS 0x01u
#define WEXLOR_WINDOW_PANEL 0x02u
#define WEXLOR_WINDOW_HIDDEN 0x08u
#define WEXLOR_WINDOW_TRANSPARENT 0x10u

/* Modifier bits of input reports. */
#define WEXLOR_MOD_SHIFT 1u
#define WEXLOR_MOD_CONTROL 2u
#define WEXLOR_MOD_ALT 4u
#define WEXLOR_MOD_META 8u

/* Permission states. */
#define WEXLOR_PERMISSION_GRANTED 0
#define WEXLOR_PERMISSION_DENIED 1
#define WEXLOR_PERMISSION_NOT_DETERMINED 2
#define WEXLOR_PERMISSION_UNSUPPORTED 3

/* One value held by the runtime; opaque. */
typedef struct wexlor_value wexlor_value;
/* One request of the "app" scheme in flight; opaque. */
typedef struct wexlor_scheme_exchange wexlor_scheme_exchange;

/* Callback types. Every callback receives its user data first, except the
 * script-result callback, which receives it last. */
typedef void (*wexlor_execute_js_callback)(wexlor_value* result, wexlor_value* error,
                                           void* user_data);
typedef void (*wexlor_ui_task)(void* user_data);
typedef void (*wexlor_js_call_handler)(void* user_data, uint32_t window, uint64_t call_id,
                                       const char* method, wexlor_value* args);
typedef void (*wexlor_js_call_notify)(void* user_data);
typedef void (*wexlor_keyboard_handler)(void* user_data, uint32_t window, int32_t up,
                                        const char* key, const char* code, uint32_t modifiers,
                                        bool repeat);
typedef void (*wexlor_mouse_click_handler)(void* user_data, uint32_t window, int32_t up,
                                           int32_t button, double x, double y,
                                           uint32_t modifiers, int32_t click_count);
typedef void (*wexlor_mouse_move_handler)(void* user_data, uint32_t window, double x, double y,
                                          uint32_t modifiers);
typedef void (*wexlor_wheel_handler)(void* user_data, uint32_t window, double delta_x,
                                     double delta_y, double x, double y, uint32_t modifiers,
                                     int32_t line_flag);
typedef void (*wexlor_cursor_enter_leave_handler)(void* user_data, uint32_t window,
                                                  int32_t entered, double x, double y,
                                                  uint32_t modifiers);
typedef void (*wexlor_focused_handler)(void* user_data, uint32_t window, int32_t focused);
typedef void (*wexlor_resize_handler)(void* user_data, uint32_t window, int32_t width,
                                      int32_t height);
typedef void (*wexlor_move_handler)(void* user_data, uint32_t window, int32_t x, int32_t y);
typedef void (*wexlor_close_requested_handler)(void* user_data, uint32_t window);
typedef void (*wexlor_page_load_handler)(void* user_data, uint32_t window);
typedef void (*wexlor_menu_click_handler)(void* user_data, uint32_t owner, const char* item_id);
typedef void (*wexlor_dock_reopen_handler)(void* user_data, bool has_visible_windows);
typedef void (*wexlor_tray_click_handler)(void* user_data, uint32_t tray);
typedef void (*wexlor_notification_handler)(void* user_data, uint32_t notification,
                                            int32_t event, const char* action_id);
typedef void (*wexlor_permission_handler)(void* user_data, int32_t state);
typedef void (*wexlor_scheme_request_handler)(void* user_data, uint32_t window,
                                              wexlor_scheme_exchange* exchange,
                                              const char* method, const char* url,
                                              const char* headers, size_t headers_length);
typedef void (*wexlor_scheme_stop_handler)(void* user_data, wexlor_scheme_exchange* exchange);

/* The record handed to wexlor_runtime_init: 872 bytes, every member 8 bytes
 * wide and 8-byte aligned, in this exact order. */
typedef struct wexlor_backend_api {
  uint32_t version; /* WEXLOR_BACKEND_API_VERSION */
  void* context;    /* pass back as the first argument of every backend entry */

  uint32_t (*CreateWindow)(void* ctx);
  void (*CloseWindow)(void* ctx, uint32_t window);
  uint32_t (*CreateWindowEx)(void* ctx, uint32_t flags);
  void (*Navigate)(void* ctx, uint32_t window, const char* url);
  void (*SetTitle)(void* ctx, uint32_t window, const char* title);
  void (*ExecuteJs)(void* ctx, uint32_t window, const char* script,
                    wexlor_execute_js_callback callback, void* user_data);
  void (*Quit)(void* ctx);
  void (*SetWindowSize)(void* ctx, uint32_t window, int32_t width, int32_t height);
  void (*GetWindowSize)(void* ctx, uint32_t window, int32_t* width, int32_t* height);
  void (*SetWindowPosition)(void* ctx, uint32_t window, int32_t x, int32_t y);
  void (*GetWindowPosition)(void* ctx, uint32_t window, int32_t* x, int32_t* y);
  void (*SetResizable)(void* ctx, uint32_t window, bool resizable);
  bool (*IsResizable)(void* ctx, uint32_t window);
  void (*SetAlwaysOnTop)(void* ctx, uint32_t window, bool on_top);
  bool (*IsAlwaysOnTop)(void* ctx, uint32_t window);
  bool (*IsVisible)(void* ctx, uint32_t window);
  void (*Show)(void* ctx, uint32_t window);
  void (*Hide)(void* ctx, uint32_t window);
  void (*Focus)(void* ctx, uint32_t window);
  void (*PostUiTask)(void* ctx, wexlor_ui_task task, void* user_data);

  /* Value functions: no context argument, except the constructors, which
   * take one and ignore it. */
  bool (*ValueIsNull)(wexlor_value* h);
  bool (*ValueIsBool)(wexlor_value* h);
  bool (*ValueIsInt)(wexlor_value* h);
  bool (*ValueIsDouble)(wexlor_value* h);
  bool (*ValueIsString)(wexlor_value* h);
  bool (*ValueIsList)(wexlor_value* h);
  bool (*ValueIsDict)(wexlor_value* h);
  bool (*ValueIsBinary)(wexlor_value* h);
  bool (*ValueIsCallback)(wexlor_value* h);
  bool (*ValueGetBool)(wexlor_value* h);
  int32_t (*ValueGetInt)(wexlor_value* h);
  double (*ValueGetDouble)(wexlor_value* h);
  char* (*ValueGetString)(wexlor_value* h, size_t* out_length);
  void (*ValueFreeString)(char* s);
  size_t (*ValueListSize)(wexlor_value* h);
  wexlor_value* (*ValueListGet)(wexlor_value* h, size_t index);
  wexlor_value* (*ValueDictGet)(wexlor_value* h, const char* key);
  bool (*ValueDictHas)(wexlor_value* h, const char* key);
  size_t (*ValueDictSize)(wexlor_value* h);
  char** (*ValueDictKeys)(wexlor_value* h, size_t* out_count);
  void (*ValueFreeKeys)(char** keys, size_t count);
  const uint8_t* (*ValueGetBinary)(wexlor_value* h, size_t* out_size);
  uint64_t (*ValueGetCallbackId)(wexlor_value* h);
  wexlor_value* (*ValueNull)(void* ctx);
  wexlor_value* (*ValueBool)(void* ctx, bool b);
  wexlor_value* (*ValueInt)(void* ctx, int32_t i);
  wexlor_value* (*ValueDouble)(void* ctx, double d);
  wexlor_value* (*ValueString)(void* ctx, const char* s);
  wexlor_value* (*ValueList)(void* ctx);
  wexlor_value* (*ValueDict)(void* ctx);
  wexlor_value* (*ValueBinary)(void* ctx, const void* data, size_t size);
  bool (*ValueListAppend)(wexlor_value* list, wexlor_value* item);
  bool (*ValueListSet)(wexlor_value* list, size_t index, wexlor_value* item);
  bool (*ValueDictSet)(wexlor_value* dict, const char* key, wexlor_value* item);
  void (*ValueFree)(wexlor_value* h);

  void (*SetJsCallHandler)(void* ctx, wexlor_js_call_handler handler, void* user_data);
  void (*JsCallRespond)(void* ctx, uint64_t call_id, wexlor_value* result, wexlor_value* error);
  void (*InvokeJsCallback)(void* ctx, uint64_t callback_id, wexlor_value* args);
  void (*ReleaseJsCallback)(void* ctx, uint64_t callback_id);
  /* Reserved: always return 0. */
  void* (*Reserved0)(void* ctx, uint32_t window);
  void* (*Reserved1)(void* ctx, uint32_t window);
  uint32_t (*Reserved2)(void* ctx, uint32_t window);
  void (*SetKeyboardEventHandler)(void* ctx, wexlor_keyboard_handler handler, void* user_data);
  void (*SetMouseClickHandler)(void* ctx, wexlor_mouse_click_handler handler, void* user_data);
  void (*SetMouseMoveHandler)(void* ctx, wexlor_mouse_move_handler handler, void* user_data);
  void (*SetWheelHandler)(void* ctx, wexlor_wheel_handler handler, void* user_data);
  void (*SetCursorEnterLeaveHandler)(void* ctx, wexlor_cursor_enter_leave_handler handler,
                                     void* user_data);
  void (*SetFocusedHandler)(void* ctx, wexlor_focused_handler handler, void* user_data);
  void (*SetResizeHandler)(void* ctx, wexlor_resize_handler handler, void* user_data);
  void (*SetMoveHandler)(void* ctx, wexlor_move_handler handler, void* user_data);
  void (*SetCloseRequestedHandler)(void* ctx, wexlor_close_requested_handler handler,
                                   void* user_data);
  void (*SetPageLoadHandler)(void* ctx, wexlor_page_load_handler handler, void* user_data);
  void (*PollJsCalls)(void* ctx);
  void (*SetJsCallNotify)(void* ctx, wexlor_js_call_notify notify, void* user_data);
  void (*SetApplicationMenu)(void* ctx, uint32_t window, wexlor_value* menu,
                             wexlor_menu_click_handler click, void* user_data);
  void (*ShowContextMenu)(void* ctx, uint32_t window, int32_t x, int32_t y, wexlor_value* menu,
                          wexlor_menu_click_handler click, void* user_data);
  void (*OpenDevTools)(void* ctx, uint32_t window);
  void (*SetJsNamespace)(void* ctx, const char* name);
  int32_t (*ShowDialog)(void* ctx, uint32_t window, int32_t kind, const char* title,
                        const char* message, const char* default_text, char** out_text);
  void (*StringFree)(void* ctx, char* s);
  void (*SetDockBadge)(void* ctx, const char* text);
  void (*BounceDock)(void* ctx, int32_t type);
  void (*SetDockMenu)(void* ctx, wexlor_value* menu, wexlor_menu_click_handler click,
                      void* user_data);
  void (*SetDockVisible)(void* ctx, bool visible);
  void (*SetDockReopenHandler)(void* ctx, wexlor_dock_reopen_handler handler, void* user_data);
  uint32_t (*CreateTrayIcon)(void* ctx);
  void (*DestroyTrayIcon)(void* ctx, uint32_t tray);
  void (*SetTrayIcon)(void* ctx, uint32_t tray, const void* bytes, size_t size);
  void (*SetTrayTooltip)(void* ctx, uint32_t tray, const char* text);
  void (*SetTrayMenu)(void* ctx, uint32_t tray, wexlor_value* menu,
                      wexlor_menu_click_handler click, void* user_data);
  void (*SetTrayClickHandler)(void* ctx, uint32_t tray, wexlor_tray_click_handler handler,
                              void* user_data);
  void (*SetTrayDoubleClickHandler)(void* ctx, uint32_t tray, wexlor_tray_click_handler handler,
                                    void* user_data);
  void (*SetTrayIconDark)(void* ctx, uint32_t tray, const void* bytes, size_t size);
  bool (*GetTrayIconBounds)(void* ctx, uint32_t tray, int32_t* x, int32_t* y, int32_t* width,
                            int32_t* height);
  uint32_t (*ShowNotification)(void* ctx, wexlor_value* options,
                               wexlor_notification_handler handler, void* user_data);
  void (*CloseNotification)(void* ctx, uint32_t notification);
  void (*QueryPermission)(void* ctx, int32_t kind, wexlor_permission_handler handler,
                          void* user_data);
  void (*RequestPermission)(void* ctx, int32_t kind, wexlor_permission_handler handler,
                            void* user_data);
  char* (*ReadClipboardText)(void* ctx);
  void (*WriteClipboardText)(void* ctx, const char* text);
  void (*RegisterSchemeHandler)(void* ctx, const char* scheme,
                                wexlor_scheme_request_handler request,
                                wexlor_scheme_stop_handler stop, void* user_data);
  int64_t (*SchemeRequestReadBody)(void* ctx, wexlor_scheme_exchange* exchange, uint8_t* buffer,
                                   size_t capacity);
  void (*SchemeResponseBegin)(void* ctx, wexlor_scheme_exchange* exchange, int32_t status,
                              const char* headers, size_t headers_length);
  int64_t (*SchemeResponseWrite)(void* ctx, wexlor_scheme_exchange* exchange,
                                 const uint8_t* bytes, size_t length);
  void (*SchemeResponseFinish)(void* ctx, wexlor_scheme_exchange* exchange);
  void (*SetWindowOpacity)(void* ctx, uint32_t window, double opacity);
  double (*GetWindowOpacity)(void* ctx, uint32_t window);
} wexlor_backend_api;

/* Entry points every runtime library exports. */
typedef int (*wexlor_runtime_init_fn)(const wexlor_backend_api* api);
typedef int (*wexlor_runtime_start_fn)(void);
typedef void (*wexlor_runtime_shutdown_fn)(void);

/* Called once on the main thread before the runtime thread exists; 0 means
 * success. */
int wexlor_runtime_init(const wexlor_backend_api* api);
/* The whole body of the runtime thread; returns when the runtime ends. */
int wexlor_runtime_start(void);
/* Must make wexlor_runtime_start return; safe before, during and after it. */
void wexlor_runtime_shutdown(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* WEXLOR_WEXLOR_H */
