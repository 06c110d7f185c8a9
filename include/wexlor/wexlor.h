/**
 * @file wexlor.h
 * @brief The interface between the Wexlor host and a runtime library.
 *
 * A runtime library exports the three entry points declared at the end of
 * this file (wexlor_runtime_init(), wexlor_runtime_start(),
 * wexlor_runtime_shutdown()). The host calls wexlor_runtime_init() with a
 * pointer to a ::wexlor_backend_api record that stays valid for the whole
 * process; every backend entry takes the record's @c context as its first
 * argument, the value functions do not.
 *
 * **Threads.** Every entry may be called from any thread: the runtime thread
 * that runs wexlor_runtime_start(), threads the runtime made itself, or the
 * main thread (inside a handler, a UI task or a script-result callback).
 * - *Commands* (setters, window creation, navigation, answers to page calls,
 *   …) copy their arguments and return at once. Their work runs on the main
 *   thread, in the order the commands were issued, so a later command or
 *   query on the same window sees the effect of an earlier one.
 * - *Queries* (GetWindowSize, IsVisible, …) and the blocking desktop entries
 *   (ShowDialog, the clipboard, GetTrayIconBounds) wait until the main
 *   thread has answered. Called on the main thread, the Linux host runs them
 *   in place. Portable runtimes do not call the window queries from the
 *   main thread: not every platform's host can answer them there.
 * - *Callbacks* (events, scheme requests, menu, tray, notification and
 *   permission callbacks, script results) arrive on the main thread and
 *   must return quickly: the user interface waits while they run. The
 *   page-call handler is the exception: it runs on the thread that called
 *   @c PollJsCalls.
 *
 * **Ownership.** Values (::wexlor_value) are owned by exactly one party and
 * released with @c ValueFree. Strings from @c ValueGetString are released
 * with @c ValueFreeString, key arrays with @c ValueFreeKeys, texts from
 * @c ShowDialog and @c ReadClipboardText with @c StringFree. Strings passed
 * to an entry are copied before it returns unless its description says
 * otherwise; strings and values passed to a callback are borrowed for the
 * duration of the call unless its description says otherwise.
 *
 * **Windows.** Window ids are handed out by the host, starting at 1; 0 never
 * names a window. An entry given an id that names no window (never created,
 * or closed) does nothing; a query answers its stated default.
 *
 * **Version.** ::WEXLOR_BACKEND_API_VERSION is raised whenever the record's
 * layout or the meaning of an entry changes. A runtime checks that the
 * table's @c version equals the ::WEXLOR_BACKEND_API_VERSION it was built
 * with, and otherwise returns non-zero from wexlor_runtime_init(): a host of
 * another version may lay the table out differently.
 */
#ifndef WEXLOR_WEXLOR_H
#define WEXLOR_WEXLOR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The layout version of ::wexlor_backend_api; see "Version" above. */
#define WEXLOR_BACKEND_API_VERSION 29u

/** @name Window creation flags (uint32_t, for CreateWindowEx; may be or-ed)
 * @{ */
/** No title bar or border; the window stays resizable. */
#define WEXLOR_WINDOW_FRAMELESS 0x01u
/** A utility panel: kept above other windows, on every workspace, not in
 * the taskbar, not focused when it appears. */
#define WEXLOR_WINDOW_PANEL 0x02u
/** Created hidden; appears on Show or Focus. */
#define WEXLOR_WINDOW_HIDDEN 0x08u
/** Transparent background where the page draws none (needs a compositor). */
#define WEXLOR_WINDOW_TRANSPARENT 0x10u
/** @} */

/** @name Modifier bits of input reports (uint32_t)
 * @{ */
#define WEXLOR_MOD_SHIFT 1u   /**< Shift */
#define WEXLOR_MOD_CONTROL 2u /**< Control */
#define WEXLOR_MOD_ALT 4u     /**< Alt (Option on macOS) */
#define WEXLOR_MOD_META 8u    /**< Super (Command on macOS) */
/** @} */

/** @name Mouse buttons (int32_t, the @c button of ::wexlor_mouse_click_handler)
 * @{ */
#define WEXLOR_MOUSE_BUTTON_PRIMARY 0   /**< left; also every unknown button */
#define WEXLOR_MOUSE_BUTTON_SECONDARY 1 /**< right */
#define WEXLOR_MOUSE_BUTTON_MIDDLE 2    /**< middle */
#define WEXLOR_MOUSE_BUTTON_BACK 3      /**< back (side button) */
#define WEXLOR_MOUSE_BUTTON_FORWARD 4   /**< forward (side button) */
/** @} */

/** @name Dialog kinds (int32_t, the @c kind of ShowDialog)
 * @{ */
/** A message with one button, "OK". Any unknown kind shows the same. */
#define WEXLOR_DIALOG_MESSAGE 0
/** A question with "OK" and "Cancel". */
#define WEXLOR_DIALOG_CONFIRM 1
/** A text prompt: "OK", "Cancel" and a one-line field holding the default
 * text. */
#define WEXLOR_DIALOG_PROMPT 2
/** @} */

/** @name Dialog results (int32_t, returned by ShowDialog)
 * @{ */
/** Cancelled (button, Escape or window closed), or no host to ask. */
#define WEXLOR_DIALOG_CANCELLED 0
/** Ended with "OK". */
#define WEXLOR_DIALOG_OK 1
/** @} */

/** @name Permission kinds (int32_t, for QueryPermission and RequestPermission)
 * @{ */
/** Posting user notifications: the only kind with an answer other than
 * ::WEXLOR_PERMISSION_UNSUPPORTED. */
#define WEXLOR_PERMISSION_NOTIFICATIONS 1
/** @} */

/** @name Permission states (int32_t, the @c state of ::wexlor_permission_handler)
 * @{ */
#define WEXLOR_PERMISSION_GRANTED 0        /**< allowed */
#define WEXLOR_PERMISSION_DENIED 1         /**< refused by the user */
#define WEXLOR_PERMISSION_NOT_DETERMINED 2 /**< not decided yet: a request may ask */
/** Another kind, no host, or a platform that cannot tell. */
#define WEXLOR_PERMISSION_UNSUPPORTED 3
/** @} */

/** @name Attention request types (int32_t, for BounceDock)
 * @{ */
/** Asks for attention until the application is activated. */
#define WEXLOR_BOUNCE_CRITICAL 0
/** Asks for attention once; any value other than 0 means the same. */
#define WEXLOR_BOUNCE_INFORMATIONAL 1
/** @} */

/** @name Notification events (int32_t, the @c event of ::wexlor_notification_handler)
 * @{ */
/** About to be shown while the application is active. */
#define WEXLOR_NOTIFICATION_SHOWN 0
/** The user clicked the notification itself. */
#define WEXLOR_NOTIFICATION_CLICKED 1
/** It ended: dismissed, withdrawn with CloseNotification, or posting failed. */
#define WEXLOR_NOTIFICATION_CLOSED 2
/** The user chose an action button; @c action_id is the button's "id". */
#define WEXLOR_NOTIFICATION_ACTION 3
/** @} */

/** The page method that the link policy sends to open a web link in the
 * user's browser. The host serves it itself (answering null); the runtime's
 * page-call handler never sees it. */
#define WEXLOR_OPEN_EXTERNAL_METHOD "__wexlorOpenExternal"

/** One value held by the runtime; opaque. Null, bool, int32, double,
 * string, binary, list, dict or callback reference. */
typedef struct wexlor_value wexlor_value;
/** One request of the "app" scheme in flight; opaque. Valid from the scheme
 * request handler's call until SchemeResponseFinish. */
typedef struct wexlor_scheme_exchange wexlor_scheme_exchange;

/**
 * The result of ExecuteJs. Called exactly once on the main thread, with at
 * most one of @p result and @p error non-null. Both are borrowed: read them
 * with the value functions during the call, but never keep or free them
 * (freeing them is a bug that corrupts the host's memory). Unlike every
 * other callback, it receives its user data last.
 * @param result The script's value: numbers arrive as int32 when whole and
 *        in range, otherwise as doubles; null when the script gave
 *        undefined, null, a function or the window is missing.
 * @param error The exception's message as a string, or null.
 * @param user_data As given to ExecuteJs.
 */
typedef void (*wexlor_execute_js_callback)(wexlor_value* result, wexlor_value* error,
                                           void* user_data);
/** A task run on the main thread by PostUiTask. @param user_data As given. */
typedef void (*wexlor_ui_task)(void* user_data);
/**
 * A page called a method of the bridge object, e.g. `Wexlor.files.open(1)`.
 * Runs on the thread that called PollJsCalls. Only the top-level document of
 * a window calls the runtime, and only when it is one of the application's
 * own pages: an "app" page, HTML text or a file the runtime loaded, or a page
 * of the origin of a web URL passed to Navigate. Frames never do.
 * @param user_data As registered.
 * @param window The window whose page made the call.
 * @param call_id Pass to JsCallRespond, exactly once. Unique in the process.
 * @param method The dotted property path ("files.open"), valid UTF-8
 *        without NUL; borrowed for the call.
 * @param args A list of the arguments; owned by the runtime from now on
 *        (release it with ValueFree). Numbers arrive as int32 when whole and
 *        in range, otherwise as doubles; top-level functions as callback
 *        references, top-level ArrayBuffers and Uint8Arrays as binary
 *        values. A lone surrogate in a string arrives as its three-byte
 *        form and goes back to the page exactly.
 */
typedef void (*wexlor_js_call_handler)(void* user_data, uint32_t window, uint64_t call_id,
                                       const char* method, wexlor_value* args);
/** Page calls are waiting: call PollJsCalls (now or later, on any thread).
 * Runs on the main thread and must return quickly; it must not call
 * SetJsCallNotify. @param user_data As registered. */
typedef void (*wexlor_js_call_notify)(void* user_data);
/**
 * A key was pressed or released in a host window. Main thread.
 * @param user_data As registered.
 * @param window The window with the keyboard focus.
 * @param up 0 for a press, 1 for a release.
 * @param key The DOM `KeyboardEvent.key` name ("a", "Enter", "ArrowLeft");
 *        borrowed for the call.
 * @param code The DOM `KeyboardEvent.code` name ("KeyA"); borrowed.
 * @param modifiers WEXLOR_MOD_* bits.
 * @param repeat True for auto-repeated presses.
 */
typedef void (*wexlor_keyboard_handler)(void* user_data, uint32_t window, int32_t up,
                                        const char* key, const char* code, uint32_t modifiers,
                                        bool repeat);
/**
 * A mouse button was pressed or released over a host window. Main thread.
 * @param user_data As registered.
 * @param window The window under the pointer.
 * @param up 0 for a press, 1 for a release.
 * @param button One of WEXLOR_MOUSE_BUTTON_*.
 * @param x Horizontal position in the window's content, from its left edge.
 * @param y Vertical position in the window's content, from its top edge.
 * @param modifiers WEXLOR_MOD_* bits.
 * @param click_count 1, 2 or 3 for single, double and triple clicks.
 */
typedef void (*wexlor_mouse_click_handler)(void* user_data, uint32_t window, int32_t up,
                                           int32_t button, double x, double y, uint32_t modifiers,
                                           int32_t click_count);
/** The pointer moved over a host window (also while dragging). Main thread.
 * @param user_data As registered. @param window The window.
 * @param x Content position from the left. @param y Content position from
 * the top. @param modifiers WEXLOR_MOD_* bits. */
typedef void (*wexlor_mouse_move_handler)(void* user_data, uint32_t window, double x, double y,
                                          uint32_t modifiers);
/**
 * The wheel turned or a touchpad scrolled over a host window. Main thread.
 * @param user_data As registered.
 * @param window The window under the pointer.
 * @param delta_x Positive scrolls right.
 * @param delta_y Positive scrolls down.
 * @param x Content position from the left.
 * @param y Content position from the top.
 * @param modifiers WEXLOR_MOD_* bits.
 * @param line_flag 1 when the deltas count wheel notches, 0 when they are
 *        precise (touchpads).
 */
typedef void (*wexlor_wheel_handler)(void* user_data, uint32_t window, double delta_x,
                                     double delta_y, double x, double y, uint32_t modifiers,
                                     int32_t line_flag);
/** The pointer entered (@p entered 1) or left (0) a host window. Main
 * thread. @param user_data As registered. @param window The window.
 * @param entered 1 or 0. @param x Content position from the left.
 * @param y Content position from the top. @param modifiers WEXLOR_MOD_* bits. */
typedef void (*wexlor_cursor_enter_leave_handler)(void* user_data, uint32_t window, int32_t entered,
                                                  double x, double y, uint32_t modifiers);
/** A window became active (@p focused 1) or stopped being active (0). Main
 * thread. @param user_data As registered. @param window The window.
 * @param focused 1 or 0. */
typedef void (*wexlor_focused_handler)(void* user_data, uint32_t window, int32_t focused);
/** A window's content size changed. Main thread. @param user_data As
 * registered. @param window The window. @param width Content width.
 * @param height Content height. */
typedef void (*wexlor_resize_handler)(void* user_data, uint32_t window, int32_t width,
                                      int32_t height);
/** A window moved; the position is the one GetWindowPosition reports. Main
 * thread. @param user_data As registered. @param window The window.
 * @param x Left edge. @param y Top edge. */
typedef void (*wexlor_move_handler)(void* user_data, uint32_t window, int32_t x, int32_t y);
/** The user asked to close a window (close button, keyboard, window
 * manager). The window stays open until the runtime calls CloseWindow.
 * Main thread. @param user_data As registered. @param window The window. */
typedef void (*wexlor_close_requested_handler)(void* user_data, uint32_t window);
/** A window's main frame finished loading a page, once per successful
 * navigation. A failed load (unreachable address, missing file) is not
 * reported. Main thread. @param user_data As registered.
 * @param window The window. */
typedef void (*wexlor_page_load_handler)(void* user_data, uint32_t window);
/** A menu item was chosen. Main thread. @param user_data As given with the
 * menu. @param owner The window for window and context menus, the tray id
 * for tray menus, 0 for the dock menu. @param item_id The item's "id";
 * borrowed for the call. */
typedef void (*wexlor_menu_click_handler)(void* user_data, uint32_t owner, const char* item_id);
/** The user activated the running application again (its dock or launcher
 * icon). Main thread. @param user_data As registered.
 * @param has_visible_windows Whether any window is visible. */
typedef void (*wexlor_dock_reopen_handler)(void* user_data, bool has_visible_windows);
/** A tray icon was clicked or double-clicked. Main thread.
 * @param user_data As registered. @param tray The tray id. */
typedef void (*wexlor_tray_click_handler)(void* user_data, uint32_t tray);
/** Something happened to a notification. Main thread.
 * @param user_data As given to ShowNotification.
 * @param notification The id ShowNotification returned.
 * @param event One of WEXLOR_NOTIFICATION_*.
 * @param action_id The chosen button's "id" for ::WEXLOR_NOTIFICATION_ACTION,
 *        otherwise null; borrowed for the call. */
typedef void (*wexlor_notification_handler)(void* user_data, uint32_t notification, int32_t event,
                                            const char* action_id);
/** The answer to QueryPermission or RequestPermission, exactly once. Main
 * thread (on the caller's thread, at once, when there is no host user
 * interface). @param user_data As given.
 * @param state One of WEXLOR_PERMISSION_GRANTED … UNSUPPORTED. */
typedef void (*wexlor_permission_handler)(void* user_data, int32_t state);
/**
 * A request of the "app" scheme. Main thread. The runtime answers now or
 * later, from any thread, through the exchange: SchemeRequestReadBody as
 * often as needed, one SchemeResponseBegin, any number of
 * SchemeResponseWrite, then exactly one SchemeResponseFinish (also after a
 * stop: only it releases the exchange).
 * Requests may come from any document of a window, frames of other origins
 * included; the request's "origin" header tells who asks.
 * @param user_data As registered.
 * @param window The window whose page asked.
 * @param exchange The request; valid until SchemeResponseFinish.
 * @param method "GET", "POST", …; borrowed for the call.
 * @param url The whole URL, e.g. "app://app/index.html?x=1"; borrowed.
 * @param headers The request headers as consecutive NUL-terminated strings:
 *        name, value, name, value, …; names in lower case. Borrowed.
 * @param headers_length The block's length in bytes, all NULs included.
 */
typedef void (*wexlor_scheme_request_handler)(void* user_data, uint32_t window,
                                              wexlor_scheme_exchange* exchange, const char* method,
                                              const char* url, const char* headers,
                                              size_t headers_length);
/** The page gave a request up (navigated away, cancelled, window closed).
 * Later writes return -1; the runtime still calls SchemeResponseFinish.
 * Main thread. @param user_data As registered. @param exchange The request. */
typedef void (*wexlor_scheme_stop_handler)(void* user_data, wexlor_scheme_exchange* exchange);

/**
 * The record handed to wexlor_runtime_init(): 872 bytes, every member 8
 * bytes wide and 8-byte aligned, in this exact order. It stays valid for
 * the whole process. Every backend entry takes @c context first.
 */
typedef struct wexlor_backend_api {
  /** ::WEXLOR_BACKEND_API_VERSION of the host; check it in init. */
  uint32_t version;
  /** Pass back as the first argument of every backend entry. */
  void* context;

  /** Creates a window with an 800 × 600 content area, shown, and returns
   * its id at once (the window itself appears on the main thread; later
   * entries on the id find it). Returns a fresh id even without a host user
   * interface. */
  uint32_t (*CreateWindow)(void* ctx);
  /** Closes and forgets a window; raises no close request. Closing the last
   * window ends the application. Returns at once. */
  void (*CloseWindow)(void* ctx, uint32_t window);
  /** As CreateWindow, with WEXLOR_WINDOW_* @p flags; unknown bits are
   * ignored. */
  uint32_t (*CreateWindowEx)(void* ctx, uint32_t flags);
  /** Loads @p url: a URL ("app://app/index.html", "https://…"),
   * "data:text/html,<percent-encoded HTML>", or a file path (relative to
   * the working directory). Null does nothing. Copied; returns at once. */
  void (*Navigate)(void* ctx, uint32_t window, const char* url);
  /** Sets the window title (UTF-8). Null does nothing. Copied; returns at
   * once. */
  void (*SetTitle)(void* ctx, uint32_t window, const char* title);
  /** Evaluates @p script in the window's page and returns at once. When
   * @p callback is given, it is called once on the main thread with the
   * result (see ::wexlor_execute_js_callback: the values are borrowed). A
   * missing window reports neither result nor error; a script that is not
   * valid UTF-8 reports an error. A null script, or no host user interface,
   * does nothing and never calls back. */
  void (*ExecuteJs)(void* ctx, uint32_t window, const char* script,
                    wexlor_execute_js_callback callback, void* user_data);
  /** Ends the application: windows stay as they are, then the host calls
   * wexlor_runtime_shutdown() and waits for the runtime thread. Returns at
   * once. */
  void (*Quit)(void* ctx);
  /** Sets the window's size: on Linux that of its content, without the
   * window manager's frame. Returns at once; GetWindowSize reports the new
   * size from then on. */
  void (*SetWindowSize)(void* ctx, uint32_t window, int32_t width, int32_t height);
  /** Writes the size (as SetWindowSize takes it) through the non-null
   * pointers. Waits for the main thread. Missing window: 0 and 0. No host user interface: outputs
   * untouched. */
  void (*GetWindowSize)(void* ctx, uint32_t window, int32_t* width, int32_t* height);
  /** Moves the window's top-left corner to (@p x, @p y), measured from the
   * top-left of the screen. Returns at once; GetWindowPosition reports the
   * new position from then on. */
  void (*SetWindowPosition)(void* ctx, uint32_t window, int32_t x, int32_t y);
  /** Writes the top-left position through the non-null pointers. Waits for
   * the main thread. Missing window: 0 and 0. No host user interface:
   * outputs untouched. */
  void (*GetWindowPosition)(void* ctx, uint32_t window, int32_t* x, int32_t* y);
  /** Lets the user resize the window, or not. Returns at once. */
  void (*SetResizable)(void* ctx, uint32_t window, bool resizable);
  /** Whether the user may resize the window. Waits for the main thread.
   * Missing window: false. */
  bool (*IsResizable)(void* ctx, uint32_t window);
  /** Keeps the window above others, or not. Returns at once. */
  void (*SetAlwaysOnTop)(void* ctx, uint32_t window, bool on_top);
  /** Whether the window is kept above others (panels are). Waits for the
   * main thread. Missing window: false. */
  bool (*IsAlwaysOnTop)(void* ctx, uint32_t window);
  /** Whether the window is shown. Waits for the main thread. Missing window:
   * false. */
  bool (*IsVisible)(void* ctx, uint32_t window);
  /** Shows the window and brings it to the front. Returns at once. */
  void (*Show)(void* ctx, uint32_t window);
  /** Hides the window; it keeps its state and can be shown again. Returns
   * at once. */
  void (*Hide)(void* ctx, uint32_t window);
  /** Shows, raises and activates the window. Returns at once. */
  void (*Focus)(void* ctx, uint32_t window);
  /** Runs @p task(@p user_data) on the main thread, after every command
   * issued before. Returns at once. A null task, or no host user interface:
   * the task never runs. */
  void (*PostUiTask)(void* ctx, wexlor_ui_task task, void* user_data);

  /* Value functions: no context argument, except the constructors, which
   * take one and ignore it. All are total: a null handle or a value of
   * another kind gives the stated default. They take no lock; one value must
   * not be changed by one thread while another uses it. */
  /** True for a null handle or a null value. */
  bool (*ValueIsNull)(wexlor_value* h);
  /** True for a boolean. */
  bool (*ValueIsBool)(wexlor_value* h);
  /** True for a 32-bit integer. */
  bool (*ValueIsInt)(wexlor_value* h);
  /** True for a double. */
  bool (*ValueIsDouble)(wexlor_value* h);
  /** True for a string. */
  bool (*ValueIsString)(wexlor_value* h);
  /** True for a list. */
  bool (*ValueIsList)(wexlor_value* h);
  /** True for a dict. */
  bool (*ValueIsDict)(wexlor_value* h);
  /** True for binary data. */
  bool (*ValueIsBinary)(wexlor_value* h);
  /** True for a callback reference (a function the page passed). */
  bool (*ValueIsCallback)(wexlor_value* h);
  /** The boolean; false for other kinds. */
  bool (*ValueGetBool)(wexlor_value* h);
  /** The integer; 0 for other kinds (a double is not converted). */
  int32_t (*ValueGetInt)(wexlor_value* h);
  /** The double; 0.0 for other kinds (an int is not converted). */
  double (*ValueGetDouble)(wexlor_value* h);
  /** A new NUL-terminated copy of the string, which the caller releases
   * with ValueFreeString; its length in bytes goes to @p out_length (may be
   * null). The string may hold NUL bytes. Other kinds: null and length 0. */
  char* (*ValueGetString)(wexlor_value* h, size_t* out_length);
  /** Releases a string from ValueGetString; null is ignored. */
  void (*ValueFreeString)(char* s);
  /** The number of entries of a list; 0 for other kinds. */
  size_t (*ValueListSize)(wexlor_value* h);
  /** A new handle to the entry at @p index (release it with ValueFree), or
   * null when out of range or not a list. It stays valid after the list's
   * handle is freed. */
  wexlor_value* (*ValueListGet)(wexlor_value* h, size_t index);
  /** A new handle to the entry under @p key (release it with ValueFree), or
   * null when absent or not a dict. */
  wexlor_value* (*ValueDictGet)(wexlor_value* h, const char* key);
  /** Whether a dict has @p key; false for other kinds or a null key. */
  bool (*ValueDictHas)(wexlor_value* h, const char* key);
  /** The number of keys of a dict; 0 for other kinds. */
  size_t (*ValueDictSize)(wexlor_value* h);
  /** A new array of new copies of the keys, in ascending byte order, which
   * the caller releases with ValueFreeKeys; the count goes to
   * @p out_count. An empty dict or another kind: null and count 0. */
  char** (*ValueDictKeys)(wexlor_value* h, size_t* out_count);
  /** Releases an array from ValueDictKeys with its count; null is
   * ignored. */
  void (*ValueFreeKeys)(char** keys, size_t count);
  /** The bytes of binary data, borrowed: valid while the value lives, never
   * freed by the caller. The size goes to @p out_size (may be null). Empty
   * data may give null with size 0; other kinds give null and 0. */
  const uint8_t* (*ValueGetBinary)(wexlor_value* h, size_t* out_size);
  /** The id of a callback reference, for InvokeJsCallback and
   * ReleaseJsCallback; 0 for other kinds. */
  uint64_t (*ValueGetCallbackId)(wexlor_value* h);
  /** A new null value; release it with ValueFree. */
  wexlor_value* (*ValueNull)(void* ctx);
  /** A new boolean; release it with ValueFree. */
  wexlor_value* (*ValueBool)(void* ctx, bool b);
  /** A new 32-bit integer; release it with ValueFree. */
  wexlor_value* (*ValueInt)(void* ctx, int32_t i);
  /** A new double; release it with ValueFree. */
  wexlor_value* (*ValueDouble)(void* ctx, double d);
  /** A new string copied from @p s up to its NUL (null gives ""); release it
   * with ValueFree. */
  wexlor_value* (*ValueString)(void* ctx, const char* s);
  /** A new empty list; release it with ValueFree. */
  wexlor_value* (*ValueList)(void* ctx);
  /** A new empty dict; release it with ValueFree. */
  wexlor_value* (*ValueDict)(void* ctx);
  /** New binary data copied from @p size bytes at @p data (zeros when data
   * is null); release it with ValueFree. */
  wexlor_value* (*ValueBinary)(void* ctx, const void* data, size_t size);
  /** Appends @p item (shared, not copied; the item's handle stays the
   * caller's). False when @p list is not a list or @p item is null. */
  bool (*ValueListAppend)(wexlor_value* list, wexlor_value* item);
  /** Stores @p item at @p index, growing the list with nulls as needed.
   * False when @p list is not a list or @p item is null. */
  bool (*ValueListSet)(wexlor_value* list, size_t index, wexlor_value* item);
  /** Inserts or replaces @p key (copied) with @p item. False when @p dict is
   * not a dict, or @p key or @p item is null. */
  bool (*ValueDictSet)(wexlor_value* dict, const char* key, wexlor_value* item);
  /** Releases a handle; null is ignored. Entries still held elsewhere
   * survive. */
  void (*ValueFree)(wexlor_value* h);

  /** Registers the page-call handler (null clears it), one per process. Until
   * one is registered, polled calls are rejected with "No JS call handler
   * registered". Returns at once. */
  void (*SetJsCallHandler)(void* ctx, wexlor_js_call_handler handler, void* user_data);
  /** Answers a page call, from any thread; returns at once. A non-null
   * @p error (any value, usually a string) rejects the page's promise;
   * otherwise @p result (null means null) resolves it; binary values become
   * ArrayBuffers. Both handles stay the caller's: the host keeps its own
   * reference, so they may be freed right after. An unknown or already
   * answered call id, or a page replaced meanwhile, drops the answer.
   * Strings reach the page as valid text (bytes that are not UTF-8 become
   * U+FFFD), a list or dict inside itself as null, and an answer of more
   * than 128 MiB of JSON rejects the call instead. */
  void (*JsCallRespond)(void* ctx, uint64_t call_id, wexlor_value* result, wexlor_value* error);
  /** Calls a function the page passed, with the list @p args (null: no
   * arguments). Reaches only the page that owns the callback; returns at
   * once. @p args stays the caller's. */
  void (*InvokeJsCallback)(void* ctx, uint64_t callback_id, wexlor_value* args);
  /** Lets the page forget a passed function; later invocations do nothing.
   * Returns at once. */
  void (*ReleaseJsCallback)(void* ctx, uint64_t callback_id);
  /** Reserved: always returns null. */
  void* (*Reserved0)(void* ctx, uint32_t window);
  /** Reserved: always returns null. */
  void* (*Reserved1)(void* ctx, uint32_t window);
  /** Reserved: always returns 0. */
  uint32_t (*Reserved2)(void* ctx, uint32_t window);
  /** Registers the keyboard handler for all windows (null clears it). Every
   * setter below works the same way: one handler per process, replaced by
   * the next call, which must not come from inside that handler. */
  void (*SetKeyboardEventHandler)(void* ctx, wexlor_keyboard_handler handler, void* user_data);
  /** Registers the mouse-button handler (null clears it). */
  void (*SetMouseClickHandler)(void* ctx, wexlor_mouse_click_handler handler, void* user_data);
  /** Registers the pointer-motion handler (null clears it). */
  void (*SetMouseMoveHandler)(void* ctx, wexlor_mouse_move_handler handler, void* user_data);
  /** Registers the wheel handler (null clears it). */
  void (*SetWheelHandler)(void* ctx, wexlor_wheel_handler handler, void* user_data);
  /** Registers the enter/leave handler (null clears it). */
  void (*SetCursorEnterLeaveHandler)(void* ctx, wexlor_cursor_enter_leave_handler handler,
                                     void* user_data);
  /** Registers the focus handler (null clears it). */
  void (*SetFocusedHandler)(void* ctx, wexlor_focused_handler handler, void* user_data);
  /** Registers the resize handler (null clears it). */
  void (*SetResizeHandler)(void* ctx, wexlor_resize_handler handler, void* user_data);
  /** Registers the move handler (null clears it). */
  void (*SetMoveHandler)(void* ctx, wexlor_move_handler handler, void* user_data);
  /** Registers the close-request handler (null clears it). Without one, the
   * user cannot close windows; the runtime closes them with CloseWindow. */
  void (*SetCloseRequestedHandler)(void* ctx, wexlor_close_requested_handler handler,
                                   void* user_data);
  /** Registers the page-load handler (null clears it). */
  void (*SetPageLoadHandler)(void* ctx, wexlor_page_load_handler handler, void* user_data);
  /** Delivers every waiting page call, oldest first, to the page-call
   * handler, on the calling thread. Call it after the notify function
   * fires; calling it with nothing waiting does nothing. */
  void (*PollJsCalls)(void* ctx);
  /** Registers the function that tells the runtime page calls are waiting
   * (null clears it). */
  void (*SetJsCallNotify)(void* ctx, wexlor_js_call_notify notify, void* user_data);
  /** Sets the window's menu bar from @p menu, a list of item dicts ("id",
   * "label", "submenu", "role", "accelerator", "enabled", "checked",
   * "type": "separator"); @p click receives the chosen item's id on the main
   * thread. The host reads @p menu later on the main thread: do not use or
   * free the handle after the call. Null menu: nothing. Returns at once.
   * An Edit menu is added unless @p menu has a "copy" role at any depth. On
   * Linux each window shows its own menu bar; the menu set for 0 (or an id
   * with no window) is shown in every window that has none of its own,
   * including windows created later. */
  void (*SetApplicationMenu)(void* ctx, uint32_t window, wexlor_value* menu,
                             wexlor_menu_click_handler click, void* user_data);
  /** Shows @p menu (as for SetApplicationMenu) as a context menu at
   * content position (@p x, @p y) of the window. Returns at once. */
  void (*ShowContextMenu)(void* ctx, uint32_t window, int32_t x, int32_t y, wexlor_value* menu,
                          wexlor_menu_click_handler click, void* user_data);
  /** Opens the web inspector for the window's page. Returns at once. */
  void (*OpenDevTools)(void* ctx, uint32_t window);
  /** Names the page's bridge object (default "Wexlor") for windows created
   * afterwards; existing windows keep theirs. Null does nothing. Copied. */
  void (*SetJsNamespace)(void* ctx, const char* name);
  /**
   * Shows a modal dialog and waits until the user closes it; called on the
   * main thread it runs in place. Not attached to @p window.
   * @param kind One of WEXLOR_DIALOG_*.
   * @param title The headline; null is "".
   * @param message The text below it; null is "".
   * @param default_text The prompt's initial text; null is "".
   * @param out_text May be null. Set to null first; for a prompt ended with
   *        "OK", receives a new copy of the field's text (possibly empty),
   *        which the caller releases with StringFree.
   * @return ::WEXLOR_DIALOG_OK or ::WEXLOR_DIALOG_CANCELLED (also without a
   *         host user interface).
   */
  int32_t (*ShowDialog)(void* ctx, uint32_t window, int32_t kind, const char* title,
                        const char* message, const char* default_text, char** out_text);
  /** Releases a text from ShowDialog or ReadClipboardText; null is
   * ignored. */
  void (*StringFree)(void* ctx, char* s);
  /** Sets the badge text of the application's dock icon; null or "" clears
   * it. Returns at once. */
  void (*SetDockBadge)(void* ctx, const char* text);
  /** Asks for the user's attention; @p type is one of WEXLOR_BOUNCE_*.
   * Returns at once. */
  void (*BounceDock)(void* ctx, int32_t type);
  /** Sets the dock icon's menu (as for SetApplicationMenu, the handle
   * included; null removes it); clicks report owner 0. Returns at once. */
  void (*SetDockMenu)(void* ctx, wexlor_value* menu, wexlor_menu_click_handler click,
                      void* user_data);
  /** Shows or hides the application's dock icon. Returns at once. */
  void (*SetDockVisible)(void* ctx, bool visible);
  /** Registers the reopen handler (null clears it). */
  void (*SetDockReopenHandler)(void* ctx, wexlor_dock_reopen_handler handler, void* user_data);
  /** Creates a status-area (tray) icon and returns its id, or 0 without a
   * host user interface. */
  uint32_t (*CreateTrayIcon)(void* ctx);
  /** Removes a tray icon. Returns at once. */
  void (*DestroyTrayIcon)(void* ctx, uint32_t tray);
  /** Sets the icon image from @p size bytes of PNG at @p bytes (copied);
   * empty or undecodable data keeps the previous image. Returns at once. */
  void (*SetTrayIcon)(void* ctx, uint32_t tray, const void* bytes, size_t size);
  /** Sets the tooltip (UTF-8, copied); null or "" clears it. Returns at
   * once. */
  void (*SetTrayTooltip)(void* ctx, uint32_t tray, const char* text);
  /** Sets the tray icon's menu (as for SetApplicationMenu, the handle
   * included; null removes it); clicks report the tray id as owner. Returns
   * at once. */
  void (*SetTrayMenu)(void* ctx, uint32_t tray, wexlor_value* menu, wexlor_menu_click_handler click,
                      void* user_data);
  /** Registers the tray icon's click handler (null clears it). */
  void (*SetTrayClickHandler)(void* ctx, uint32_t tray, wexlor_tray_click_handler handler,
                              void* user_data);
  /** Registers the tray icon's double-click handler (null clears it). */
  void (*SetTrayDoubleClickHandler)(void* ctx, uint32_t tray, wexlor_tray_click_handler handler,
                                    void* user_data);
  /** Sets the image used on dark panels (PNG bytes, copied; empty data
   * clears it). Returns at once. */
  void (*SetTrayIconDark)(void* ctx, uint32_t tray, const void* bytes, size_t size);
  /** Writes the icon's screen rectangle through the pointers and returns
   * true when known; otherwise false with the outputs untouched. Waits for
   * the main thread (in place when called on it). */
  bool (*GetTrayIconBounds)(void* ctx, uint32_t tray, int32_t* x, int32_t* y, int32_t* width,
                            int32_t* height);
  /** Posts a user notification and returns its id at once. Takes over
   * @p options (a dict: "title", "body", "tag", "silent", "icon" as PNG
   * binary, "actions" as a list of {"id", "title"}): the caller must not
   * use or free it afterwards. @p handler (may be null) receives the
   * WEXLOR_NOTIFICATION_* events on the main thread and, with
   * @p user_data, must stay valid while the notification can report.
   * Returns 0 (and releases the options) without a host user interface. */
  uint32_t (*ShowNotification)(void* ctx, wexlor_value* options,
                               wexlor_notification_handler handler, void* user_data);
  /** Withdraws a notification; its handler receives
   * ::WEXLOR_NOTIFICATION_CLOSED. Unknown ids do nothing. Returns at once. */
  void (*CloseNotification)(void* ctx, uint32_t notification);
  /** Asks, without asking the user, whether @p kind (WEXLOR_PERMISSION_*
   * kinds) is allowed; @p handler receives the state once on the main
   * thread. Returns at once. */
  void (*QueryPermission)(void* ctx, int32_t kind, wexlor_permission_handler handler,
                          void* user_data);
  /** Asks the user to allow @p kind where that is possible; @p handler
   * receives the resulting state once on the main thread. Returns at
   * once. */
  void (*RequestPermission)(void* ctx, int32_t kind, wexlor_permission_handler handler,
                            void* user_data);
  /** A new copy of the clipboard's text (UTF-8), which the caller releases
   * with StringFree, or null when it holds no text or there is no host user
   * interface. Waits for the main thread (in place when called on it). */
  char* (*ReadClipboardText)(void* ctx);
  /** Puts @p text (UTF-8; null is "") on the clipboard; text that is not
   * valid UTF-8 empties it instead. Copied; waits for the main thread. */
  void (*WriteClipboardText)(void* ctx, const char* text);
  /** Registers the handlers of the "app" scheme (pass "app" as @p scheme;
   * one registration per process, replaced by a later call; a null
   * @p request clears it). @p stop (may be null) is told when a page gives a request
   * up. Without a handler, requests are answered 404. */
  void (*RegisterSchemeHandler)(void* ctx, const char* scheme,
                                wexlor_scheme_request_handler request,
                                wexlor_scheme_stop_handler stop, void* user_data);
  /** Copies up to @p capacity bytes of the request body into @p buffer and
   * returns how many; 0 at the end; -1 for a finished, stopped or unknown
   * exchange. */
  int64_t (*SchemeRequestReadBody)(void* ctx, wexlor_scheme_exchange* exchange, uint8_t* buffer,
                                   size_t capacity);
  /** Starts the response with HTTP @p status and @p headers_length bytes of
   * headers in the same NUL-separated form as the request's (copied; a
   * later duplicate name wins). Call once, before any write. Returns at
   * once. */
  void (*SchemeResponseBegin)(void* ctx, wexlor_scheme_exchange* exchange, int32_t status,
                              const char* headers, size_t headers_length);
  /** Sends @p length bytes of the body (copied; the page sees them as they
   * come) and returns @p length, or -1 once the page has given the request
   * up or for a finished or unknown exchange. Returns at once. */
  int64_t (*SchemeResponseWrite)(void* ctx, wexlor_scheme_exchange* exchange, const uint8_t* bytes,
                                 size_t length);
  /** Ends the response and releases the exchange; the handle is invalid
   * afterwards (the host ignores it from then on, and never gives the same
   * handle to another exchange). Call exactly once, also after a stop.
   * Returns at once. */
  void (*SchemeResponseFinish)(void* ctx, wexlor_scheme_exchange* exchange);
  /** Sets the window's opacity, clamped to 0.0 … 1.0 (visible with a
   * compositor). Returns at once. */
  void (*SetWindowOpacity)(void* ctx, uint32_t window, double opacity);
  /** The window's opacity. Waits for the main thread. Missing window or no
   * host user interface: 1.0. */
  double (*GetWindowOpacity)(void* ctx, uint32_t window);
} wexlor_backend_api;

/* The Linux host's extension table: see ::wexlor_host_extensions. */

/** The version of ::wexlor_host_extensions: the number of entries. */
#define WEXLOR_HOST_EXTENSIONS_VERSION 4u

/** True when the record @p ext (a pointer) holds @p entry. */
#define WEXLOR_HOST_EXTENSION_HAS(ext, entry) \
  ((ext) != NULL && (ext)->size >= offsetof(wexlor_host_extensions, entry) + sizeof((ext)->entry))

/** @name Web process reports (int32_t, the @c reason of ::wexlor_web_process_handler)
 * @{ */
/** The page's web process crashed or was killed. */
#define WEXLOR_WEB_PROCESS_CRASHED 0
/** The page's web process went over its memory limit and was ended. */
#define WEXLOR_WEB_PROCESS_EXCEEDED_MEMORY 1
/** The page's web process was ended by the host. */
#define WEXLOR_WEB_PROCESS_TERMINATED 2
/** The page has not answered for more than 5 seconds; its process still
 * runs. Reported once until it answers again. */
#define WEXLOR_WEB_PROCESS_UNRESPONSIVE 3
/** @} */

/**
 * A window's page lost its web process, or stopped answering. Main thread.
 * When a process ended, the page's pending calls are already forgotten
 * (their answers are dropped), its callbacks are dead and its scheme
 * exchanges stopped; ExecuteJs reports an error and input is not reported
 * until a new page has loaded. The window stays open and blank: the runtime
 * decides what comes next (Navigate, CloseWindow, …). Without a handler the
 * host reloads the window's last URL itself, at most 3 times a minute.
 * @param user_data As registered.
 * @param window The window.
 * @param reason One of WEXLOR_WEB_PROCESS_*.
 */
typedef void (*wexlor_web_process_handler)(void* user_data, uint32_t window, int32_t reason);

/**
 * One launch's URLs and files: the arguments of the application's command
 * line that are not options (the @c %U of its desktop entry), of the first
 * launch and of every later launch that reached the running instance (see
 * @c WEXLOR_APP_ID; a packaged application has its id without it). Main
 * thread.
 * @param user_data As registered.
 * @param urls The launch's arguments in command-line order: an argument with
 *        a URI scheme (@c myapp://open/42, @c https://…) as given, any other
 *        as the absolute @c file:// URL of that path (relative paths are
 *        resolved against the launching process's working directory); always
 *        UTF-8. The array and its strings stay valid only during the call.
 * @param count The number of URLs, at least 1.
 */
typedef void (*wexlor_open_urls_handler)(void* user_data, const char* const* urls, size_t count);

/**
 * Files were dropped on a window's page. Main thread; return quickly. The
 * page's own drop event fires as well; the window never navigates to what
 * was dropped. Called only when the drop holds at least one local file.
 * @param user_data As registered.
 * @param window The window.
 * @param x Horizontal drop point in the web view, in pixels from its left.
 * @param y Vertical drop point in the web view, in pixels from its top.
 * @param paths A list of strings, the dropped files' absolute paths in the
 *        order given; owned by the handler, which releases it with ValueFree.
 */
typedef void (*wexlor_drop_handler)(void* user_data, uint32_t window, int32_t x, int32_t y,
                                    wexlor_value* paths);

/**
 * A page asks for a permission other than notifications. Main thread;
 * return quickly (no synchronous queries, no dialogs). Without a handler
 * every such request is denied, with one line on standard error.
 * @param user_data As registered.
 * @param window The window.
 * @param kind "geolocation", "camera", "microphone", "camera+microphone",
 *        "display-capture", "pointer-lock", "device-info", "media-key-system",
 *        "website-data-access", "clipboard" or "other".
 * @param origin The origin of the window's top document, such as
 *        "app://app" or "https://example.com"; the text lives for the call.
 * @return Non-zero to allow, 0 to deny.
 */
typedef int32_t (*wexlor_page_permission_handler)(void* user_data, uint32_t window,
                                                  const char* kind, const char* origin);

/**
 * The Linux host's extension table: what it offers beyond
 * ::wexlor_backend_api, which never changes for it. A runtime that wants
 * these entries exports wexlor_runtime_extensions(); one that does not sees
 * no difference. The record stays valid for the whole process.
 *
 * **Growth.** Entries are only ever appended. ::WEXLOR_HOST_EXTENSIONS_VERSION
 * goes up by one with each appended entry, and @c size is the size of the
 * record the host hands out. A runtime built against a newer header checks
 * an entry with #WEXLOR_HOST_EXTENSION_HAS before calling it: a host that is
 * older than the header has a smaller record. Every member is 8 bytes wide
 * and 8-byte aligned; no entry inside @c size is ever null.
 *
 * Every entry takes @c context first and follows the threading and
 * ownership rules of the main table. Without a host user interface (a
 * headless worker) registrations are kept and their callbacks never called.
 */
typedef struct wexlor_host_extensions {
  /** The size in bytes of the record as the host lays it out. */
  size_t size;
  /** ::WEXLOR_HOST_EXTENSIONS_VERSION of the host. */
  uint32_t version;
  /** Pass back as the first argument of every entry; the same as the main
   * table's. */
  void* context;

  /** Version 1. Registers the web-process handler (null clears it and
   * brings back the host's own reloads). Returns at once. */
  void (*SetWebProcessHandler)(void* ctx, wexlor_web_process_handler handler, void* user_data);
  /** Version 2. Registers the handler for launch URLs and files (null
   * clears it). Launches that arrive while no handler is registered are
   * kept, and once one is, it receives them one call per launch, oldest
   * first, on the main thread after the registration has returned; none is
   * lost (up to 1,000 waiting launches). Any thread; returns at once,
   * unless the old handler is running, which it waits for. Without a host
   * user interface the handler is never called. */
  void (*SetOpenUrlsHandler)(void* ctx, wexlor_open_urls_handler handler, void* user_data);

  /** Version 3. Registers the drop handler (null clears it: dropped files
   * then reach only the page). Returns at once. Without a user interface the
   * handler is kept and never called. */
  void (*SetDropHandler)(void* ctx, wexlor_drop_handler handler, void* user_data);

  /** Version 4. Registers the page-permission handler (null clears it: every
   * request is denied again). Returns at once. Without a user interface the
   * handler is kept and never called. */
  void (*SetPagePermissionHandler)(void* ctx, wexlor_page_permission_handler handler,
                                   void* user_data);
} wexlor_host_extensions;

/**
 * Optional. When the runtime library exports it, the host calls it once on
 * the main thread right before wexlor_runtime_init(), in every mode.
 * @param ext The extension table; valid for the whole process. Check
 *        entries with #WEXLOR_HOST_EXTENSION_HAS.
 */
void wexlor_runtime_extensions(const wexlor_host_extensions* ext);
/** The type of wexlor_runtime_extensions(). */
typedef void (*wexlor_runtime_extensions_fn)(const wexlor_host_extensions* ext);

/** The type of wexlor_runtime_init(), for runtimes resolved by name. */
typedef int (*wexlor_runtime_init_fn)(const wexlor_backend_api* api);
/** The type of wexlor_runtime_start(). */
typedef int (*wexlor_runtime_start_fn)(void);
/** The type of wexlor_runtime_shutdown(). */
typedef void (*wexlor_runtime_shutdown_fn)(void);

/**
 * Called once on the main thread, before the runtime thread exists. May
 * already create windows and register handlers (in a headless worker there
 * is no user interface: entries take their defaults).
 * @param api The table; valid for the whole process. Check its @c version.
 * @return 0 to go on; any other value is printed and nothing starts.
 */
int wexlor_runtime_init(const wexlor_backend_api* api);
/**
 * The whole body of the runtime thread: run the runtime's loop here and
 * return when wexlor_runtime_shutdown() asks it to.
 * @return 0 for a normal end; any other value is printed, and makes a
 *         headless worker exit with status 1.
 */
int wexlor_runtime_start(void);
/**
 * Called on the main thread when the application ends (and in a worker
 * right after a successful start); the host then waits for
 * wexlor_runtime_start() to return, so this must make it return. Safe
 * before, during and after wexlor_runtime_start(), and after a failed init.
 * Must not wait for the main thread.
 */
void wexlor_runtime_shutdown(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* WEXLOR_WEXLOR_H */
