// Hello: a small Wexlor runtime.
//
// It opens one window on pages/index.html, served from app://hello/, and
// answers the page's calls:
//
//   Wexlor.greet(name)            -> a greeting string
//   Wexlor.math.add(a, b)         -> a + b, or an error when either is not a number
//   Wexlor.echo(bytes)            -> the same bytes back, as an ArrayBuffer
//   Wexlor.clock.subscribe(fn)    -> fn("HH:MM:SS") now and then once a second
//   Wexlor.clock.unsubscribe()    -> stops the clock for this window
//   Wexlor.notify.show(fn)        -> posts a notification with two buttons and
//                                    answers its id; fn(id, event, button) hears
//                                    what becomes of it, and so does the log
//   Wexlor.clock.menu(x, y)       -> shows the clock's context menu at (x, y)
//   Wexlor.links()                -> the URLs and files the application was
//                                    launched with so far (wexlor-hello://...
//                                    deep links, files); later ones reach
//                                    window.helloOpened(url)
//
// The window has a menu bar: File (Clear Results, Ctrl+K; Quit) and the
// Edit menu the host adds. Menu clicks arrive on the main thread.
//
// A tray icon (light and dark images from pages/, a tool tip, a menu with
// Show Window and Quit) brings the window back when clicked; the launcher
// badge counts the notifications posted; launching the application again
// (with WEXLOR_APP_ID set) shows the window too.
//
// Build it as a shared library and start it with
//   wexlor --runtime path/to/libhello.so
//
// Threads: init runs on the host's main thread; start is the runtime
// thread, which answers page calls and ticks the clock. The notify,
// close-requested and page-load handlers run on the main thread and only
// signal or log.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wexlor/wexlor.h"

// The entry points are the library's only exported symbols.
#define HELLO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const wexlor_backend_api* api = nullptr;

// ---------------------------------------------------------------------------
// Logging: one flushed line per event, so the output can be followed live.

__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fputs("[hello] ", stdout);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Values. Every handle we receive or make is ours to free; Value does that.

struct ValueFree {
  void operator()(wexlor_value* v) const { api->ValueFree(v); }
};
using Value = std::unique_ptr<wexlor_value, ValueFree>;

// Argument `index` of a call, or an empty Value when there are fewer.
Value Arg(wexlor_value* args, size_t index) { return Value(api->ValueListGet(args, index)); }

std::optional<std::string> AsString(const Value& v) {
  if (!api->ValueIsString(v.get())) return std::nullopt;
  size_t length = 0;
  char* chars = api->ValueGetString(v.get(), &length);
  if (chars == nullptr) return std::nullopt;
  std::string s(chars, length);
  api->ValueFreeString(chars);
  return s;
}

// Page numbers arrive as Int when they are whole and fit, else as Double.
std::optional<double> AsNumber(const Value& v) {
  if (api->ValueIsInt(v.get())) return api->ValueGetInt(v.get());
  if (api->ValueIsDouble(v.get())) return api->ValueGetDouble(v.get());
  return std::nullopt;
}

Value MakeString(const std::string& s) { return Value(api->ValueString(api->context, s.c_str())); }

// A dictionary of string entries, as menu descriptions use.
Value MakeDict(std::initializer_list<std::pair<const char*, std::string>> entries) {
  Value dict(api->ValueDict(api->context));
  for (const auto& [key, text] : entries)
    api->ValueDictSet(dict.get(), key, MakeString(text).get());
  return dict;
}

Value MakeList(std::initializer_list<const Value*> items) {
  Value list(api->ValueList(api->context));
  for (const Value* item : items) api->ValueListAppend(list.get(), item->get());
  return list;
}

// ---------------------------------------------------------------------------
// State shared by the runtime thread and the host's threads.

struct App {
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool callsWaiting = false;
  // Clock callbacks, one per window that subscribed.
  std::map<uint32_t, uint64_t> clockSubscribers;
  // Page functions told about each live notification, by notification id.
  std::map<uint32_t, uint64_t> notificationListeners;
  uint32_t mainWindow = 0;
  int notificationsPosted = 0;
  // Every URL launches handed over, oldest first.
  std::vector<std::string> links;
};

App app;

// ---------------------------------------------------------------------------
// Where the window goes: the pages are files beside the library, served to
// the window through the "app" scheme as app://hello/<file>.

std::string AbsolutePath(const std::filesystem::path& path) {
  std::error_code error;
  const auto absolute = std::filesystem::weakly_canonical(path, error);
  return error ? path.string() : absolute.string();
}

// HELLO_PAGES_DIR when set, else the "pages" directory beside this library.
std::string PagesDirectory() {
  if (const char* dir = std::getenv("HELLO_PAGES_DIR"); dir != nullptr && *dir != '\0') {
    return AbsolutePath(dir);
  }
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&wexlor_runtime_init), &info) != 0 &&
      info.dli_fname != nullptr) {
    return AbsolutePath(std::filesystem::path(info.dli_fname).parent_path() / "pages");
  }
  return AbsolutePath("pages");
}

constexpr std::string_view kOrigin = "app://hello/";

std::string StartUrl() { return std::string(kOrigin) + "index.html"; }

const char* ContentType(const std::filesystem::path& file) {
  static const std::map<std::string, const char*> types = {
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".json", "application/json"}};
  const auto it = types.find(file.extension().string());
  return it != types.end() ? it->second : "application/octet-stream";
}

// The value of the request header `name` (names arrive in lower case) in
// the flat NUL-separated block, or "" when absent.
std::string_view HeaderValue(const char* block, size_t length, std::string_view name) {
  std::string_view rest(block != nullptr ? block : "", block != nullptr ? length : 0);
  while (!rest.empty()) {
    const std::string_view key = rest.substr(0, rest.find('\0'));
    rest.remove_prefix(std::min(rest.size(), key.size() + 1));
    const std::string_view value = rest.substr(0, rest.find('\0'));
    rest.remove_prefix(std::min(rest.size(), value.size() + 1));
    if (key == name) return value;
  }
  return {};
}

// A one-second 440 Hz tone as a WAV file, made here so the example ships
// no media file: the page plays it through a blob (see app.js).
std::string ToneWav() {
  constexpr uint32_t kRate = 22050, kSamples = kRate;
  std::string wav;
  auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) wav += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  wav += "RIFF";
  put(36 + kSamples * 2, 4);
  wav += "WAVEfmt ";
  put(16, 4), put(1, 2), put(1, 2), put(kRate, 4), put(kRate * 2, 4), put(2, 2), put(16, 2);
  wav += "data";
  put(kSamples * 2, 4);
  for (uint32_t i = 0; i < kSamples; ++i) {
    const double fade = 1.0 - static_cast<double>(i) / kSamples;
    put(static_cast<uint16_t>(
            static_cast<int16_t>(8000 * fade * std::sin(i * 2 * M_PI * 440 / kRate))),
        2);
  }
  return wav;
}

// Answers one "app" request with the page file it names, or 404. Runs on
// the main thread; the files are small, so the answer is complete at once.
void OnSchemeRequest(void*, uint32_t window, wexlor_scheme_exchange* exchange, const char* method,
                     const char* url, const char* requestHeaders, size_t requestHeadersLength) {
  std::string_view rest(url);
  int status = 404;
  std::string body, headers;
  // Any page may ask for an app:// URL (an iframe, a fetch from a web page);
  // the "origin" header says who asks when it is not a plain same-origin
  // load. This application serves only its own pages.
  const std::string_view origin = HeaderValue(requestHeaders, requestHeadersLength, "origin");
  if (!origin.empty() && origin != kOrigin.substr(0, kOrigin.size() - 1)) {
    status = 403;
  } else if (rest.substr(0, kOrigin.size()) == kOrigin) {
    rest.remove_prefix(kOrigin.size());
    rest = rest.substr(0, rest.find_first_of("?#"));
    const std::filesystem::path relative(rest);
    // Only plain names below the pages directory, never "..".
    const bool safe = !rest.empty() && relative.is_relative() &&
                      std::none_of(relative.begin(), relative.end(),
                                   [](const auto& part) { return part == ".."; });
    const auto file = std::filesystem::path(PagesDirectory()) / relative;
    if (safe && std::string_view(method) == "GET" && rest == "tone.wav") {
      body = ToneWav();
      status = 200;
      headers = std::string("Content-Type") + '\0' + "audio/wav" + '\0';
    } else if (safe && std::string_view(method) == "GET") {
      if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
        char buffer[16384];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) body.append(buffer, n);
        std::fclose(f);
        status = 200;
        headers = std::string("Content-Type") + '\0' + ContentType(file) + '\0';
      }
    }
  }
  Log("window %u: %s %s -> %d", window, method, url, status);
  api->SchemeResponseBegin(api->context, exchange, status, headers.data(), headers.size());
  api->SchemeResponseWrite(api->context, exchange, reinterpret_cast<const uint8_t*>(body.data()),
                           body.size());
  api->SchemeResponseFinish(api->context, exchange);
}

// ---------------------------------------------------------------------------
// The clock.

std::string CurrentTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// Calls one page function with the current time as its only argument.
void SendTime(uint64_t callbackId, const std::string& time) {
  Value args(api->ValueList(api->context));
  api->ValueListAppend(args.get(), MakeString(time).get());
  api->InvokeJsCallback(api->context, callbackId, args.get());
}

void TickClock() {
  std::map<uint32_t, uint64_t> subscribers;
  {
    std::lock_guard lock(app.mutex);
    subscribers = app.clockSubscribers;
  }
  if (subscribers.empty()) return;
  const std::string time = CurrentTime();
  for (const auto& [window, callbackId] : subscribers) SendTime(callbackId, time);
}

// When the wall clock next turns a whole second, so ticks change the
// displayed time as the second changes.
std::chrono::steady_clock::time_point NextWholeSecond() {
  using namespace std::chrono;
  const auto sinceEpoch = system_clock::now().time_since_epoch();
  const auto intoSecond = sinceEpoch - floor<seconds>(sinceEpoch);
  return steady_clock::now() + (seconds(1) - duration_cast<steady_clock::duration>(intoSecond));
}

// Forgets the window's clock callback, if any, and tells the host to drop it.
void Unsubscribe(uint32_t window) {
  std::optional<uint64_t> released;
  {
    std::lock_guard lock(app.mutex);
    if (auto it = app.clockSubscribers.find(window); it != app.clockSubscribers.end()) {
      released = it->second;
      app.clockSubscribers.erase(it);
    }
  }
  if (released) api->ReleaseJsCallback(api->context, *released);
}

// ---------------------------------------------------------------------------
// Page calls. A method returns its result or throws; the message of what it
// throws rejects the page's promise.

Value Greet(uint32_t, wexlor_value* args) {
  const auto name = AsString(Arg(args, 0));
  if (!name) throw std::invalid_argument("greet expects a name");
  const std::string who = name->empty() ? "stranger" : *name;
  return MakeString("Hello, " + who + "! Greetings from the runtime.");
}

Value Add(uint32_t, wexlor_value* args) {
  const auto a = AsNumber(Arg(args, 0));
  const auto b = AsNumber(Arg(args, 1));
  if (!a || !b) throw std::invalid_argument("math.add expects two numbers");
  const double sum = *a + *b;
  if (!std::isfinite(sum)) throw std::range_error("the sum is too large");
  return Value(api->ValueDouble(api->context, sum));
}

Value Echo(uint32_t, wexlor_value* args) {
  const Value bytes = Arg(args, 0);
  if (!api->ValueIsBinary(bytes.get())) {
    throw std::invalid_argument("echo expects an ArrayBuffer or a Uint8Array");
  }
  size_t size = 0;
  const uint8_t* data = api->ValueGetBinary(bytes.get(), &size);
  return Value(api->ValueBinary(api->context, data, size));
}

Value SubscribeClock(uint32_t window, wexlor_value* args) {
  const Value callback = Arg(args, 0);
  if (!api->ValueIsCallback(callback.get())) {
    throw std::invalid_argument("clock.subscribe expects a function");
  }
  const uint64_t callbackId = api->ValueGetCallbackId(callback.get());
  Unsubscribe(window);  // a page subscribes once; a second call replaces the first
  {
    std::lock_guard lock(app.mutex);
    app.clockSubscribers[window] = callbackId;
  }
  SendTime(callbackId, CurrentTime());  // the page need not wait for the next tick
  Log("window %u: clock subscribed", window);
  return Value(api->ValueNull(api->context));
}

Value UnsubscribeClock(uint32_t window, wexlor_value*) {
  Unsubscribe(window);
  Log("window %u: clock unsubscribed", window);
  return Value(api->ValueNull(api->context));
}

// Notifications. The host reports events on its main thread; the log line
// and the page callback are all the handler does.

const char* NotificationEventName(int32_t event) {
  switch (event) {
    case 0:
      return "shown";
    case 1:
      return "clicked";
    case 2:
      return "closed";
    case 3:
      return "button";
    default:
      return "unknown";
  }
}

void OnNotificationEvent(void*, uint32_t id, int32_t event, const char* action) {
  const char* name = NotificationEventName(event);
  Log("notification %u: %s%s%s", id, name, action != nullptr ? " " : "",
      action != nullptr ? action : "");
  std::optional<uint64_t> listener;
  {
    std::lock_guard lock(app.mutex);
    if (auto it = app.notificationListeners.find(id); it != app.notificationListeners.end()) {
      listener = it->second;
      if (event == 2) app.notificationListeners.erase(it);  // nothing follows an end
    }
  }
  if (!listener) return;
  Value args(api->ValueList(api->context));
  api->ValueListAppend(args.get(),
                       Value(api->ValueInt(api->context, static_cast<int32_t>(id))).get());
  api->ValueListAppend(args.get(), MakeString(name).get());
  api->ValueListAppend(args.get(), action != nullptr ? MakeString(action).get()
                                                     : Value(api->ValueNull(api->context)).get());
  api->InvokeJsCallback(api->context, *listener, args.get());
  if (event == 2) api->ReleaseJsCallback(api->context, *listener);
}

void OnNotificationPermission(void*, int32_t state) {
  static const char* const kStates[] = {"granted", "denied", "not decided", "unsupported"};
  Log("notification permission: %s", state >= 0 && state <= 3 ? kStates[state] : "unknown");
}

Value SetEntry(Value dict, const char* key, Value item) {
  api->ValueDictSet(dict.get(), key, item.get());
  return dict;
}

Value Button(const char* id, const char* title) {
  return SetEntry(SetEntry(Value(api->ValueDict(api->context)), "id", MakeString(id)), "title",
                  MakeString(title));
}

Value ShowNotification(uint32_t window, wexlor_value* args) {
  const Value listener = Arg(args, 0);
  const bool listening = api->ValueIsCallback(listener.get());
  Value buttons(api->ValueList(api->context));
  api->ValueListAppend(buttons.get(), Button("reply", "Reply").get());
  api->ValueListAppend(buttons.get(), Button("later", "Remind me later").get());
  Value options(api->ValueDict(api->context));
  options = SetEntry(std::move(options), "title", MakeString("Hello from Wexlor"));
  options = SetEntry(std::move(options), "body",
                     MakeString("Sent at " + CurrentTime() + ". Pick a button, or click me."));
  options = SetEntry(std::move(options), "tag", MakeString("hello"));
  options = SetEntry(std::move(options), "actions", std::move(buttons));
  // The host takes the options over. Hold the lock so an event cannot
  // arrive before the listener is stored.
  std::lock_guard lock(app.mutex);
  const uint32_t id =
      api->ShowNotification(api->context, options.release(), OnNotificationEvent, nullptr);
  if (listening && id != 0) app.notificationListeners[id] = api->ValueGetCallbackId(listener.get());
  Log("window %u: notification %u posted", window, id);
  const std::string badge = std::to_string(++app.notificationsPosted);
  api->SetDockBadge(api->context, badge.c_str());
  return Value(api->ValueInt(api->context, static_cast<int32_t>(id)));
}

// ---------------------------------------------------------------------------
// Menus. The host owns a description once it is handed over.

// Runs on the main thread; everything it asks of the host is queued.
void OnMenuClick(void*, uint32_t window, const char* itemId) {
  const std::string_view id = itemId != nullptr ? itemId : "";
  Log("window %u: menu item %.*s", window, static_cast<int>(id.size()), id.data());
  if (id == "clear") {
    api->ExecuteJs(api->context, window, "window.helloClearResults?.()", nullptr, nullptr);
  } else if (id == "copy-time") {
    api->WriteClipboardText(api->context, CurrentTime().c_str());
  } else if (id == "stop-clock") {
    Unsubscribe(window);
    api->ExecuteJs(api->context, window, "window.helloClockStopped?.()", nullptr, nullptr);
  }
}

void SetMenuBar(uint32_t window) {
  const Value clear =
      MakeDict({{"label", "Clear Results"}, {"id", "clear"}, {"accelerator", "CmdOrCtrl+K"}});
  const Value separator = MakeDict({{"type", "separator"}});
  const Value quit = MakeDict({{"role", "quit"}});
  const Value file = MakeDict({{"label", "File"}});
  api->ValueDictSet(file.get(), "submenu", MakeList({&clear, &separator, &quit}).get());
  api->SetApplicationMenu(api->context, window, MakeList({&file}).release(), OnMenuClick, &app);
}

Value ClockMenu(uint32_t window, wexlor_value* args) {
  const auto x = AsNumber(Arg(args, 0));
  const auto y = AsNumber(Arg(args, 1));
  if (!x || !y) throw std::invalid_argument("clock.menu expects x and y");
  const Value copy = MakeDict({{"label", "Copy Time"}, {"id", "copy-time"}});
  const Value stop = MakeDict({{"label", "Stop Clock"}, {"id", "stop-clock"}});
  api->ShowContextMenu(api->context, window, static_cast<int32_t>(*x), static_cast<int32_t>(*y),
                       MakeList({&copy, &stop}).release(), OnMenuClick, &app);
  return Value(api->ValueNull(api->context));
}

// ---------------------------------------------------------------------------
// The tray icon and the launcher. Clicks and reopen requests come on the
// main thread; showing the window is queued like any other request.

void ShowMainWindow() {
  const uint32_t window = app.mainWindow;
  api->Show(api->context, window);
  api->Focus(api->context, window);
}

void OnTrayMenuClick(void*, uint32_t tray, const char* itemId) {
  Log("tray %u: menu item %s", tray, itemId != nullptr ? itemId : "");
  if (itemId != nullptr && std::string_view(itemId) == "show") ShowMainWindow();
}

void OnTrayClick(void*, uint32_t tray) {
  Log("tray %u: clicked", tray);
  ShowMainWindow();
}

// A JSON string literal of UTF-8 text, for a page script.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// A launch's URLs and files (main thread): remembered for Wexlor.links(),
// shown on the page, and the window comes forward.
void OnOpenUrls(void*, const char* const* urls, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    Log("opened %s", urls[i]);
    {
      std::lock_guard lock(app.mutex);
      app.links.emplace_back(urls[i]);
    }
    const std::string script = "window.helloOpened?.(" + JsonString(urls[i]) + ")";
    api->ExecuteJs(api->context, app.mainWindow, script.c_str(), nullptr, nullptr);
  }
  ShowMainWindow();
}

void OnReopen(void*, bool hasVisibleWindows) {
  Log("launched again (%s)", hasVisibleWindows ? "a window is visible" : "no window visible");
  ShowMainWindow();
}

std::string ReadFile(const std::filesystem::path& path) {
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb"); f != nullptr) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
  }
  return bytes;
}

void CreateTray() {
  void* const ctx = api->context;
  const uint32_t tray = api->CreateTrayIcon(ctx);
  if (tray == 0) return;  // no tray on this desktop
  const std::filesystem::path pages = PagesDirectory();
  const std::string light = ReadFile(pages / "tray-light.png");
  const std::string dark = ReadFile(pages / "tray-dark.png");
  api->SetTrayIcon(ctx, tray, light.data(), light.size());
  api->SetTrayIconDark(ctx, tray, dark.data(), dark.size());
  api->SetTrayTooltip(ctx, tray, "Hello from Wexlor");
  const Value show = MakeDict({{"label", "Show Window"}, {"id", "show"}});
  const Value separator = MakeDict({{"type", "separator"}});
  const Value quit = MakeDict({{"role", "quit"}});
  api->SetTrayMenu(ctx, tray, MakeList({&show, &separator, &quit}).release(), OnTrayMenuClick,
                   &app);
  api->SetTrayClickHandler(ctx, tray, OnTrayClick, &app);
  Log("tray %u: created", tray);
}

Value Links(uint32_t, wexlor_value*) {
  Value list(api->ValueList(api->context));
  std::lock_guard lock(app.mutex);
  for (const auto& link : app.links) api->ValueListAppend(list.get(), MakeString(link).get());
  return list;
}

using Method = Value (*)(uint32_t window, wexlor_value* args);

const std::map<std::string_view, Method> kMethods = {
    {"greet", Greet},
    {"math.add", Add},
    {"echo", Echo},
    {"clock.subscribe", SubscribeClock},
    {"clock.unsubscribe", UnsubscribeClock},
    {"notify.show", ShowNotification},
    {"clock.menu", ClockMenu},
    {"links", Links},
};

// Runs on the runtime thread, inside PollJsCalls.
void OnJsCall(void*, uint32_t window, uint64_t callId, const char* method, wexlor_value* rawArgs) {
  const Value args(rawArgs);
  const std::string_view name = method != nullptr ? method : "";
  const auto id = static_cast<unsigned long long>(callId);
  Log("window %u: call #%llu %.*s", window, id, static_cast<int>(name.size()), name.data());

  Value result;
  Value error;
  try {
    const auto it = kMethods.find(name);
    if (it == kMethods.end()) throw std::invalid_argument("unknown method: " + std::string(name));
    result = it->second(window, args.get());
  } catch (const std::exception& e) {
    Log("window %u: call #%llu failed: %s", window, id, e.what());
    error = MakeString(e.what());
  }
  api->JsCallRespond(api->context, callId, result.get(), error.get());
}

// ---------------------------------------------------------------------------
// Window events, on the host's main thread: these must return quickly.

void OnCallsWaiting(void*) {
  {
    std::lock_guard lock(app.mutex);
    app.callsWaiting = true;
  }
  app.wake.notify_one();
}

void OnCloseRequested(void*, uint32_t window) {
  Log("window %u: close requested; closing it", window);
  api->CloseWindow(api->context, window);
  std::lock_guard lock(app.mutex);
  app.clockSubscribers.erase(window);  // the host forgets the page's callbacks itself
}

void OnPageLoaded(void*, uint32_t window) { Log("window %u: page loaded", window); }

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.

// The Linux host's extensions: the URLs and files of launches.
HELLO_EXPORT void wexlor_runtime_extensions(const wexlor_host_extensions* ext) {
  if (WEXLOR_HOST_EXTENSION_HAS(ext, SetOpenUrlsHandler)) {
    ext->SetOpenUrlsHandler(ext->context, OnOpenUrls, &app);
  }
}

HELLO_EXPORT int wexlor_runtime_init(const wexlor_backend_api* backend) {
  // A host of another interface version may lay the table out differently.
  if (backend == nullptr || backend->version != WEXLOR_BACKEND_API_VERSION) {
    Log("unsupported host: backend API version %u, need %u", backend ? backend->version : 0u,
        WEXLOR_BACKEND_API_VERSION);
    return 1;
  }
  api = backend;
  {
    std::lock_guard lock(app.mutex);
    app.stopping = false;
    app.callsWaiting = false;
    app.clockSubscribers.clear();
    app.notificationListeners.clear();
  }

  // Handlers first, so no event of the new window is missed.
  void* const ctx = api->context;
  api->SetJsCallNotify(ctx, OnCallsWaiting, &app);
  api->SetJsCallHandler(ctx, OnJsCall, &app);
  api->SetCloseRequestedHandler(ctx, OnCloseRequested, &app);
  api->SetPageLoadHandler(ctx, OnPageLoaded, &app);
  api->RegisterSchemeHandler(ctx, "app", OnSchemeRequest, nullptr, &app);
  api->QueryPermission(ctx, 1, OnNotificationPermission, &app);

  const std::string url = StartUrl();
  api->SetDockReopenHandler(ctx, OnReopen, &app);
  const uint32_t window = api->CreateWindow(ctx);
  app.mainWindow = window;
  api->SetTitle(ctx, window, "Hello from Wexlor");
  SetMenuBar(window);
  api->Navigate(ctx, window, url.c_str());
  Log("window %u: created, opening %s", window, url.c_str());
  CreateTray();
  return 0;
}

HELLO_EXPORT int wexlor_runtime_start() {
  if (api == nullptr) return 1;  // init failed or never ran
  Log("runtime thread started");
  std::unique_lock lock(app.mutex);
  auto nextTick = std::chrono::steady_clock::now();
  while (!app.stopping) {
    const auto woken = [] { return app.stopping || app.callsWaiting; };
    if (app.clockSubscribers.empty()) {
      app.wake.wait(lock, woken);
      // A new subscriber gets the time at once; the ticks follow on the second.
      nextTick = NextWholeSecond();
    } else {
      app.wake.wait_until(lock, nextTick, woken);
    }
    if (app.stopping) break;
    const bool poll = std::exchange(app.callsWaiting, false);
    lock.unlock();

    if (poll) api->PollJsCalls(api->context);
    if (std::chrono::steady_clock::now() >= nextTick) {
      TickClock();
      nextTick = NextWholeSecond();
    }

    lock.lock();
  }
  const auto subscribers = std::exchange(app.clockSubscribers, {});
  lock.unlock();

  for (const auto& [window, callbackId] : subscribers) {
    api->ReleaseJsCallback(api->context, callbackId);
  }
  Log("runtime thread finished");
  return 0;
}

HELLO_EXPORT void wexlor_runtime_shutdown() {
  Log("shutdown requested");
  {
    std::lock_guard lock(app.mutex);
    app.stopping = true;
  }
  app.wake.notify_all();
}
