// The table of plain functions handed to the runtime library. Each entry
// checks its inputs, copies strings, and forwards to the current backend, or
// takes a fixed default when there is none (worker mode). Entries ignore
// their context argument and use the loader singleton, so a corrupted
// context can never be dereferenced.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend/scheme_exchange.h"
#include "backend/wexlor_backend.h"
#include "runtime/runtime_loader.h"
#include "runtime/value_api.h"

using wexlor::Value;

namespace {

constexpr int kDefaultWidth = 800;
constexpr int kDefaultHeight = 600;

RuntimeLoader* Loader() { return RuntimeLoader::GetInstance(); }

using Use = RuntimeLoader::BackendUse;

// Runs `f` with the backend if there is one; nothing escapes as an exception.
template <typename R, typename F>
R WithBackend(R fallback, F&& f) noexcept {
  try {
    Use backend(Loader());
    if (!backend) return fallback;
    return f(backend.get());
  } catch (...) {
    return fallback;
  }
}

template <typename F>
void WithBackend(F&& f) noexcept {
  try {
    Use backend(Loader());
    if (backend) f(backend.get());
  } catch (...) {
  }
}

std::string Copy(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

std::shared_ptr<Value> ValueOf(wexlor_value* h) { return h != nullptr ? h->value : nullptr; }

// Windows

uint32_t Backend_CreateWindow(void*) {
  const uint32_t id = Loader()->AllocateWindowId();
  WithBackend([id](WexlorBackend* b) { b->CreateWindow(id, kDefaultWidth, kDefaultHeight); });
  return id;
}

void Backend_CloseWindow(void*, uint32_t window) {
  WithBackend([=](WexlorBackend* b) { b->CloseWindow(window); });
}

uint32_t Backend_CreateWindowEx(void*, uint32_t flags) {
  const uint32_t id = Loader()->AllocateWindowId();
  WithBackend(
      [=](WexlorBackend* b) { b->CreateWindowEx(id, kDefaultWidth, kDefaultHeight, flags); });
  return id;
}

void Backend_Navigate(void*, uint32_t window, const char* url) {
  if (url == nullptr) return;
  WithBackend([&](WexlorBackend* b) { b->Navigate(window, std::string(url)); });
}

void Backend_SetTitle(void*, uint32_t window, const char* title) {
  if (title == nullptr) return;
  WithBackend([&](WexlorBackend* b) { b->SetTitle(window, std::string(title)); });
}

void Backend_ExecuteJs(void*, uint32_t window, const char* script, wexlor_execute_js_callback cb,
                       void* ud) {
  if (script == nullptr) return;
  WithBackend([&](WexlorBackend* b) { b->ExecuteJs(window, std::string(script), cb, ud); });
}

void Backend_Quit(void*) {
  WithBackend([](WexlorBackend* b) { b->Quit(); });
}

void Backend_SetWindowSize(void*, uint32_t window, int32_t width, int32_t height) {
  WithBackend([=](WexlorBackend* b) { b->SetWindowSize(window, width, height); });
}

// Null output pointers from the runtime are replaced by scratch storage so
// the backend never writes through them.
void Backend_GetWindowSize(void*, uint32_t window, int32_t* width, int32_t* height) {
  WithBackend([=](WexlorBackend* b) {
    int w = 0, h = 0;
    b->GetWindowSize(window, width ? width : &w, height ? height : &h);
  });
}

void Backend_SetWindowPosition(void*, uint32_t window, int32_t x, int32_t y) {
  WithBackend([=](WexlorBackend* b) { b->SetWindowPosition(window, x, y); });
}

void Backend_GetWindowPosition(void*, uint32_t window, int32_t* x, int32_t* y) {
  WithBackend([=](WexlorBackend* b) {
    int sx = 0, sy = 0;
    b->GetWindowPosition(window, x ? x : &sx, y ? y : &sy);
  });
}

void Backend_SetResizable(void*, uint32_t window, bool resizable) {
  WithBackend([=](WexlorBackend* b) { b->SetResizable(window, resizable); });
}

bool Backend_IsResizable(void*, uint32_t window) {
  return WithBackend(false, [=](WexlorBackend* b) { return b->IsResizable(window); });
}

void Backend_SetAlwaysOnTop(void*, uint32_t window, bool onTop) {
  WithBackend([=](WexlorBackend* b) { b->SetAlwaysOnTop(window, onTop); });
}

bool Backend_IsAlwaysOnTop(void*, uint32_t window) {
  return WithBackend(false, [=](WexlorBackend* b) { return b->IsAlwaysOnTop(window); });
}

bool Backend_IsVisible(void*, uint32_t window) {
  return WithBackend(false, [=](WexlorBackend* b) { return b->IsVisible(window); });
}

void Backend_Show(void*, uint32_t window) {
  WithBackend([=](WexlorBackend* b) { b->Show(window); });
}

void Backend_Hide(void*, uint32_t window) {
  WithBackend([=](WexlorBackend* b) { b->Hide(window); });
}

void Backend_Focus(void*, uint32_t window) {
  WithBackend([=](WexlorBackend* b) { b->Focus(window); });
}

void Backend_PostUiTask(void*, wexlor_ui_task task, void* ud) {
  if (task == nullptr) return;
  WithBackend([=](WexlorBackend* b) { b->PostUiTask(task, ud); });
}

// Page calls and callbacks

void Backend_SetJsCallHandler(void*, wexlor_js_call_handler cb, void* ud) {
  Loader()->jsCallHandler_.Set(cb, ud);
}

void Backend_JsCallRespond(void*, uint64_t callId, wexlor_value* result, wexlor_value* error) {
  try {
    auto r = ValueOf(result);
    Loader()->JsCallRespond(callId, r ? r : Value::Null(), ValueOf(error));
  } catch (...) {
  }
}

void Backend_InvokeJsCallback(void*, uint64_t callbackId, wexlor_value* args) {
  try {
    if (Loader()->backend() == nullptr) return;
    auto a = ValueOf(args);
    Loader()->InvokeJsCallback(callbackId, a ? a : Value::List());
  } catch (...) {
  }
}

void Backend_ReleaseJsCallback(void*, uint64_t callbackId) {
  try {
    Loader()->ReleaseJsCallback(callbackId);
  } catch (...) {
  }
}

void* Backend_Reserved0(void*, uint32_t) { return nullptr; }
void* Backend_Reserved1(void*, uint32_t) { return nullptr; }
uint32_t Backend_Reserved2(void*, uint32_t) { return 0; }

// Handler registrations

void Backend_SetKeyboardEventHandler(void*, wexlor_keyboard_handler cb, void* ud) {
  Loader()->keyboardHandler_.Set(cb, ud);
}
void Backend_SetMouseClickHandler(void*, wexlor_mouse_click_handler cb, void* ud) {
  Loader()->mouseClickHandler_.Set(cb, ud);
}
void Backend_SetMouseMoveHandler(void*, wexlor_mouse_move_handler cb, void* ud) {
  Loader()->mouseMoveHandler_.Set(cb, ud);
}
void Backend_SetWheelHandler(void*, wexlor_wheel_handler cb, void* ud) {
  Loader()->wheelHandler_.Set(cb, ud);
}
void Backend_SetCursorEnterLeaveHandler(void*, wexlor_cursor_enter_leave_handler cb, void* ud) {
  Loader()->cursorEnterLeaveHandler_.Set(cb, ud);
}
void Backend_SetFocusedHandler(void*, wexlor_focused_handler cb, void* ud) {
  Loader()->focusedHandler_.Set(cb, ud);
}
void Backend_SetResizeHandler(void*, wexlor_resize_handler cb, void* ud) {
  Loader()->resizeHandler_.Set(cb, ud);
}
void Backend_SetMoveHandler(void*, wexlor_move_handler cb, void* ud) {
  Loader()->moveHandler_.Set(cb, ud);
}
void Backend_SetCloseRequestedHandler(void*, wexlor_close_requested_handler cb, void* ud) {
  Loader()->closeRequestedHandler_.Set(cb, ud);
}
void Backend_SetPageLoadHandler(void*, wexlor_page_load_handler cb, void* ud) {
  Loader()->pageLoadHandler_.Set(cb, ud);
}

void Backend_PollJsCalls(void*) {
  try {
    Loader()->PollPendingJsCalls();
  } catch (...) {
  }
}

void Backend_SetJsCallNotify(void*, wexlor_js_call_notify cb, void* ud) {
  Loader()->jsCallNotify_.Set(cb, ud);
}

// Menus, inspector, namespace

// Menu descriptions belong to the host once handed over: the backend
// releases them after building; without a backend they are released here.
template <typename F>
void WithMenuBackend(wexlor_value* menu, F&& f) noexcept {
  try {
    Use backend(Loader());
    if (backend) {
      f(backend.get());
      return;
    }
  } catch (...) {
    return;  // the backend may already have taken it
  }
  ValueFree(menu);
}

void Backend_SetApplicationMenu(void*, uint32_t window, wexlor_value* menu,
                                wexlor_menu_click_handler cb, void* ud) {
  if (menu == nullptr) return;
  WithMenuBackend(menu, [=](WexlorBackend* b) {
    b->SetApplicationMenu(window, menu, Loader()->api(), cb, ud);
  });
}

void Backend_ShowContextMenu(void*, uint32_t window, int32_t x, int32_t y, wexlor_value* menu,
                             wexlor_menu_click_handler cb, void* ud) {
  if (menu == nullptr) return;
  WithMenuBackend(menu, [=](WexlorBackend* b) {
    b->ShowContextMenu(window, x, y, menu, Loader()->api(), cb, ud);
  });
}

void Backend_OpenDevTools(void*, uint32_t window) {
  WithBackend([=](WexlorBackend* b) { b->OpenDevTools(window); });
}

void Backend_SetJsNamespace(void*, const char* name) {
  if (name == nullptr) return;
  try {
    Loader()->SetJsNamespace(name);
  } catch (...) {
  }
}

// Dialogs and clipboard

int32_t Backend_ShowDialog(void*, uint32_t window, int32_t kind, const char* title,
                           const char* message, const char* defaultText, char** outText) {
  if (outText != nullptr) *outText = nullptr;
  return WithBackend(0, [&](WexlorBackend* b) {
    return b->ShowDialog(window, kind, Copy(title), Copy(message), Copy(defaultText), outText);
  });
}

void Backend_StringFree(void*, char* s) { std::free(s); }

// Dock

void Backend_SetDockBadge(void*, const char* text) {
  WithBackend([=](WexlorBackend* b) { b->SetDockBadge(text); });
}
void Backend_BounceDock(void*, int32_t type) {
  WithBackend([=](WexlorBackend* b) { b->BounceDock(type); });
}
void Backend_SetDockMenu(void*, wexlor_value* menu, wexlor_menu_click_handler cb, void* ud) {
  WithMenuBackend(menu, [=](WexlorBackend* b) { b->SetDockMenu(menu, Loader()->api(), cb, ud); });
}
void Backend_SetDockVisible(void*, bool visible) {
  WithBackend([=](WexlorBackend* b) { b->SetDockVisible(visible); });
}
void Backend_SetDockReopenHandler(void*, wexlor_dock_reopen_handler cb, void* ud) {
  WithBackend([=](WexlorBackend* b) { b->SetDockReopenHandler(cb, ud); });
}

// Tray icons

uint32_t Backend_CreateTrayIcon(void*) {
  return WithBackend(0u, [](WexlorBackend* b) { return b->CreateTrayIcon(); });
}
void Backend_DestroyTrayIcon(void*, uint32_t tray) {
  WithBackend([=](WexlorBackend* b) { b->DestroyTrayIcon(tray); });
}
void Backend_SetTrayIcon(void*, uint32_t tray, const void* bytes, size_t size) {
  WithBackend([=](WexlorBackend* b) { b->SetTrayIcon(tray, bytes, size); });
}
void Backend_SetTrayTooltip(void*, uint32_t tray, const char* text) {
  WithBackend([=](WexlorBackend* b) { b->SetTrayTooltip(tray, text); });
}
void Backend_SetTrayMenu(void*, uint32_t tray, wexlor_value* menu, wexlor_menu_click_handler cb,
                         void* ud) {
  WithMenuBackend(menu,
                  [=](WexlorBackend* b) { b->SetTrayMenu(tray, menu, Loader()->api(), cb, ud); });
}
void Backend_SetTrayClickHandler(void*, uint32_t tray, wexlor_tray_click_handler cb, void* ud) {
  WithBackend([=](WexlorBackend* b) { b->SetTrayClickHandler(tray, cb, ud); });
}
void Backend_SetTrayDoubleClickHandler(void*, uint32_t tray, wexlor_tray_click_handler cb,
                                       void* ud) {
  WithBackend([=](WexlorBackend* b) { b->SetTrayDoubleClickHandler(tray, cb, ud); });
}
void Backend_SetTrayIconDark(void*, uint32_t tray, const void* bytes, size_t size) {
  WithBackend([=](WexlorBackend* b) { b->SetTrayIconDark(tray, bytes, size); });
}
bool Backend_GetTrayIconBounds(void*, uint32_t tray, int32_t* x, int32_t* y, int32_t* width,
                               int32_t* height) {
  return WithBackend(false, [=](WexlorBackend* b) {
    int sx = 0, sy = 0, sw = 0, sh = 0;
    return b->GetTrayIconBounds(tray, x ? x : &sx, y ? y : &sy, width ? width : &sw,
                                height ? height : &sh);
  });
}

// Notifications and permissions

uint32_t Backend_ShowNotification(void*, wexlor_value* options, wexlor_notification_handler cb,
                                  void* ud) {
  Use backend(Loader());
  if (!backend) {
    ValueFree(options);
    return 0;
  }
  try {
    return backend->ShowNotification(options, Loader()->api(), cb, ud);
  } catch (...) {
    return 0;
  }
}

void Backend_CloseNotification(void*, uint32_t notification) {
  WithBackend([=](WexlorBackend* b) { b->CloseNotification(notification); });
}

// Without a backend the handler hears "unsupported" at once. A backend that
// fails before taking the request leaves the handler uncalled: it may
// already have queued the answer.
template <typename F>
void WithPermissionBackend(wexlor_permission_handler cb, void* ud, F&& f) noexcept {
  bool answered = false;
  try {
    Use backend(Loader());
    if (backend) {
      answered = true;
      f(backend.get());
    }
  } catch (...) {
    return;
  }
  if (!answered && cb != nullptr) cb(ud, WEXLOR_PERMISSION_UNSUPPORTED);
}

void Backend_QueryPermission(void*, int32_t kind, wexlor_permission_handler cb, void* ud) {
  WithPermissionBackend(cb, ud, [=](WexlorBackend* b) { b->QueryPermission(kind, cb, ud); });
}

void Backend_RequestPermission(void*, int32_t kind, wexlor_permission_handler cb, void* ud) {
  WithPermissionBackend(cb, ud, [=](WexlorBackend* b) { b->RequestPermission(kind, cb, ud); });
}

char* Backend_ReadClipboardText(void*) {
  return WithBackend<char*>(nullptr, [](WexlorBackend* b) { return b->ReadClipboardText(); });
}

void Backend_WriteClipboardText(void*, const char* text) {
  WithBackend([=](WexlorBackend* b) { b->WriteClipboardText(Copy(text)); });
}

// Scheme serving. The exchange entries work with or without a backend. Each
// looks its handle up in the exchange registry, so a handle that is null,
// unknown, already finished or stopped is ignored: ReadBody and Write
// return -1, Begin and Finish do nothing.

void Backend_RegisterSchemeHandler(void*, const char* scheme, wexlor_scheme_request_handler request,
                                   wexlor_scheme_stop_handler stop, void* ud) {
  try {
    Loader()->SetSchemeRequestHandler(Copy(scheme), request, stop, ud);
  } catch (...) {
  }
}

int64_t Backend_SchemeRequestReadBody(void*, wexlor_scheme_exchange* exchange, uint8_t* buffer,
                                      size_t capacity) {
  try {
    auto ex = SchemeExchangeBase::FromHandle(exchange);
    if (!ex) return -1;
    if (buffer == nullptr) return 0;
    return static_cast<int64_t>(ex->ReadRequestBody(
        buffer, std::min<uint64_t>(capacity, static_cast<uint64_t>(INT64_MAX))));
  } catch (...) {
    return -1;
  }
}

void Backend_SchemeResponseBegin(void*, wexlor_scheme_exchange* exchange, int32_t status,
                                 const char* headers, size_t headersLength) {
  try {
    auto ex = SchemeExchangeBase::FromHandle(exchange);
    if (!ex) return;
    if (headers == nullptr) headersLength = 0;
    ex->Begin(status, headers, headersLength);
  } catch (...) {
  }
}

int64_t Backend_SchemeResponseWrite(void*, wexlor_scheme_exchange* exchange, const uint8_t* bytes,
                                    size_t length) {
  try {
    auto ex = SchemeExchangeBase::FromHandle(exchange);
    if (!ex) return -1;
    if (bytes == nullptr) length = 0;
    if (length > static_cast<uint64_t>(INT64_MAX)) return -1;
    return ex->WriteResponse(bytes, length);
  } catch (...) {
    return -1;  // out of memory for the chunk
  }
}

void Backend_SchemeResponseFinish(void*, wexlor_scheme_exchange* exchange) {
  try {
    // Only the first Finish takes the exchange out; later ones find nothing.
    if (auto ex = SchemeExchangeBase::Unregister(exchange)) ex->Finish();
  } catch (...) {
  }
}

// Opacity

void Backend_SetWindowOpacity(void*, uint32_t window, double opacity) {
  WithBackend([=](WexlorBackend* b) { b->SetWindowOpacity(window, opacity); });
}

double Backend_GetWindowOpacity(void*, uint32_t window) {
  return WithBackend(1.0, [=](WexlorBackend* b) { return b->GetWindowOpacity(window); });
}

}  // namespace

void RuntimeLoader::InitializeBackendApi() {
  std::memset(&api_, 0, sizeof api_);
  api_.version = WEXLOR_BACKEND_API_VERSION;
  api_.context = this;
  api_.CreateWindow = Backend_CreateWindow;
  api_.CloseWindow = Backend_CloseWindow;
  api_.CreateWindowEx = Backend_CreateWindowEx;
  api_.Navigate = Backend_Navigate;
  api_.SetTitle = Backend_SetTitle;
  api_.ExecuteJs = Backend_ExecuteJs;
  api_.Quit = Backend_Quit;
  api_.SetWindowSize = Backend_SetWindowSize;
  api_.GetWindowSize = Backend_GetWindowSize;
  api_.SetWindowPosition = Backend_SetWindowPosition;
  api_.GetWindowPosition = Backend_GetWindowPosition;
  api_.SetResizable = Backend_SetResizable;
  api_.IsResizable = Backend_IsResizable;
  api_.SetAlwaysOnTop = Backend_SetAlwaysOnTop;
  api_.IsAlwaysOnTop = Backend_IsAlwaysOnTop;
  api_.IsVisible = Backend_IsVisible;
  api_.Show = Backend_Show;
  api_.Hide = Backend_Hide;
  api_.Focus = Backend_Focus;
  api_.PostUiTask = Backend_PostUiTask;
  wexlor_register_value_api(&api_);
  api_.SetJsCallHandler = Backend_SetJsCallHandler;
  api_.JsCallRespond = Backend_JsCallRespond;
  api_.InvokeJsCallback = Backend_InvokeJsCallback;
  api_.ReleaseJsCallback = Backend_ReleaseJsCallback;
  api_.Reserved0 = Backend_Reserved0;
  api_.Reserved1 = Backend_Reserved1;
  api_.Reserved2 = Backend_Reserved2;
  api_.SetKeyboardEventHandler = Backend_SetKeyboardEventHandler;
  api_.SetMouseClickHandler = Backend_SetMouseClickHandler;
  api_.SetMouseMoveHandler = Backend_SetMouseMoveHandler;
  api_.SetWheelHandler = Backend_SetWheelHandler;
  api_.SetCursorEnterLeaveHandler = Backend_SetCursorEnterLeaveHandler;
  api_.SetFocusedHandler = Backend_SetFocusedHandler;
  api_.SetResizeHandler = Backend_SetResizeHandler;
  api_.SetMoveHandler = Backend_SetMoveHandler;
  api_.SetCloseRequestedHandler = Backend_SetCloseRequestedHandler;
  api_.SetPageLoadHandler = Backend_SetPageLoadHandler;
  api_.PollJsCalls = Backend_PollJsCalls;
  api_.SetJsCallNotify = Backend_SetJsCallNotify;
  api_.SetApplicationMenu = Backend_SetApplicationMenu;
  api_.ShowContextMenu = Backend_ShowContextMenu;
  api_.OpenDevTools = Backend_OpenDevTools;
  api_.SetJsNamespace = Backend_SetJsNamespace;
  api_.ShowDialog = Backend_ShowDialog;
  api_.StringFree = Backend_StringFree;
  api_.SetDockBadge = Backend_SetDockBadge;
  api_.BounceDock = Backend_BounceDock;
  api_.SetDockMenu = Backend_SetDockMenu;
  api_.SetDockVisible = Backend_SetDockVisible;
  api_.SetDockReopenHandler = Backend_SetDockReopenHandler;
  api_.CreateTrayIcon = Backend_CreateTrayIcon;
  api_.DestroyTrayIcon = Backend_DestroyTrayIcon;
  api_.SetTrayIcon = Backend_SetTrayIcon;
  api_.SetTrayTooltip = Backend_SetTrayTooltip;
  api_.SetTrayMenu = Backend_SetTrayMenu;
  api_.SetTrayClickHandler = Backend_SetTrayClickHandler;
  api_.SetTrayDoubleClickHandler = Backend_SetTrayDoubleClickHandler;
  api_.SetTrayIconDark = Backend_SetTrayIconDark;
  api_.GetTrayIconBounds = Backend_GetTrayIconBounds;
  api_.ShowNotification = Backend_ShowNotification;
  api_.CloseNotification = Backend_CloseNotification;
  api_.QueryPermission = Backend_QueryPermission;
  api_.RequestPermission = Backend_RequestPermission;
  api_.ReadClipboardText = Backend_ReadClipboardText;
  api_.WriteClipboardText = Backend_WriteClipboardText;
  api_.RegisterSchemeHandler = Backend_RegisterSchemeHandler;
  api_.SchemeRequestReadBody = Backend_SchemeRequestReadBody;
  api_.SchemeResponseBegin = Backend_SchemeResponseBegin;
  api_.SchemeResponseWrite = Backend_SchemeResponseWrite;
  api_.SchemeResponseFinish = Backend_SchemeResponseFinish;
  api_.SetWindowOpacity = Backend_SetWindowOpacity;
  api_.GetWindowOpacity = Backend_GetWindowOpacity;
}
