// A runtime library driven by the GUI tests over a Unix socket.
//
// Lines from the test are "<seq> <verb> <arg>...", every token
// percent-encoded. The runtime thread carries out each command through the
// backend table and answers "R <seq> <token>..."; the prefix verb "ui" runs
// the rest of the line on the main thread through PostUiTask instead, and
// "bg" on a thread of its own.
// Handler invocations are reported as "E <name> <token>...". Values are
// reported in a typed text form (see Describe).
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "value/json.h"
#include "wexlor/wexlor.h"
#include "wire.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const wexlor_backend_api* api = nullptr;
const wexlor_host_extensions* ext = nullptr;  // the host's extension table
void* ctx = nullptr;
std::thread::id mainThread;
std::thread::id runtimeThread;
int sock = -1;
int wakeFd = -1;  // eventfd: page calls waiting, or shutdown
std::atomic<bool> stopping{false};
std::mutex sendMutex;

// ---------------------------------------------------------------------------
// Text helpers

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> tokens;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    if (end > start) tokens.push_back(wire::Decode(line.substr(start, end - start)));
    start = end + 1;
  }
  return tokens;
}

void SendLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(sendMutex);
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size() && sock >= 0) {
    const ssize_t n = send(sock, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the test went away; nothing left to tell
    done += static_cast<size_t>(n);
  }
}

void Send(const std::string& kind, const std::vector<std::string>& tokens) {
  std::string line = kind;
  for (const auto& t : tokens) line += " " + wire::Encode(t);
  SendLine(line);
}

void Event(const std::vector<std::string>& tokens) { Send("E", tokens); }

bool OnMain() { return std::this_thread::get_id() == mainThread; }

const char* ThreadKind() {
  if (OnMain()) return "main";
  return std::this_thread::get_id() == runtimeThread ? "runtime" : "other";
}

// Handlers the host must call on the main thread report a violation.
void CheckMain(const char* what) {
  if (!OnMain()) Event({"wrong-thread", what});
}

// ---------------------------------------------------------------------------
// Values

// The typed text form: none (no handle), null, true/false, ints as digits,
// doubles always with a '.', an exponent, NaN or Infinity, strings as JSON
// strings, bin:<hex> (bin<size>#<hash> past 64 bytes), cb:<id>, [a,b] and {"k":v} with keys in
// table order.
std::string Describe(wexlor_value* v, int depth = 0) {
  if (v == nullptr) return "none";
  if (depth > 64) return "deep";
  if (api->ValueIsNull(v)) return "null";
  if (api->ValueIsBool(v)) return api->ValueGetBool(v) ? "true" : "false";
  if (api->ValueIsInt(v)) return std::to_string(api->ValueGetInt(v));
  if (api->ValueIsDouble(v)) {
    const double d = api->ValueGetDouble(v);
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    std::string text = buf;
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
  }
  if (api->ValueIsString(v)) {
    size_t length = 0;
    char* s = api->ValueGetString(v, &length);
    std::string text = "\"" + json::Escape(std::string(s != nullptr ? s : "", length)) + "\"";
    api->ValueFreeString(s);
    return text;
  }
  if (api->ValueIsBinary(v)) {
    size_t size = 0;
    const uint8_t* bytes = api->ValueGetBinary(v, &size);
    if (size > 64) {
      // Large ones by size and FNV-1a hash: bin<size>#<hash in hex>.
      uint32_t hash = 2166136261u;
      for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 16777619u;
      char hex[16];
      std::snprintf(hex, sizeof hex, "%08x", hash);
      return "bin" + std::to_string(size) + "#" + hex;
    }
    std::string text = "bin:";
    char hex[3];
    for (size_t i = 0; i < size; ++i) {
      std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
      text += hex;
    }
    return text;
  }
  if (api->ValueIsCallback(v)) return "cb:" + std::to_string(api->ValueGetCallbackId(v));
  if (api->ValueIsList(v)) {
    std::string text = "[";
    const size_t n = api->ValueListSize(v);
    for (size_t i = 0; i < n; ++i) {
      wexlor_value* item = api->ValueListGet(v, i);
      if (i > 0) text += ",";
      text += Describe(item, depth + 1);
      api->ValueFree(item);
    }
    return text + "]";
  }
  if (api->ValueIsDict(v)) {
    size_t count = 0;
    char** keys = api->ValueDictKeys(v, &count);
    std::string text = "{";
    for (size_t i = 0; i < count; ++i) {
      wexlor_value* item = api->ValueDictGet(v, keys[i]);
      if (i > 0) text += ",";
      text += "\"" + json::Escape(keys[i]) + "\":" + Describe(item, depth + 1);
      api->ValueFree(item);
    }
    api->ValueFreeKeys(keys, count);
    return text + "}";
  }
  return "unknown";
}

// Builds a table value from JSON text (binary markers become binary values);
// the caller frees it.
wexlor_value* Build(const wexlor::Value* v) {
  using T = wexlor::Value::Type;
  switch (v != nullptr ? v->type : T::Null) {
    case T::Bool:
      return api->ValueBool(ctx, std::get<bool>(v->data));
    case T::Int:
      return api->ValueInt(ctx, std::get<int32_t>(v->data));
    case T::Double:
      return api->ValueDouble(ctx, std::get<double>(v->data));
    case T::String:
      return api->ValueString(ctx, v->GetString().c_str());
    case T::Binary: {
      const auto& bytes = v->GetBinary().bytes;
      return api->ValueBinary(ctx, bytes.data(), bytes.size());
    }
    case T::List: {
      wexlor_value* list = api->ValueList(ctx);
      for (const auto& item : v->AsList()) {
        wexlor_value* built = Build(item.get());
        api->ValueListAppend(list, built);
        api->ValueFree(built);
      }
      return list;
    }
    case T::Dict: {
      wexlor_value* dict = api->ValueDict(ctx);
      for (const auto& [key, item] : v->AsDict()) {
        wexlor_value* built = Build(item.get());
        api->ValueDictSet(dict, key.c_str(), built);
        api->ValueFree(built);
      }
      return dict;
    }
    default:
      return api->ValueNull(ctx);
  }
}

wexlor_value* BuildFromJson(const std::string& text) { return Build(json::ParseText(text).get()); }

// ---------------------------------------------------------------------------
// Page calls

// How calls of one method are answered: left for the test ("hold"), with
// the argument list ("echo"), with the first argument ("first"), with a
// fixed JSON result ("result") or with an error string ("error").
struct AnswerRule {
  std::string kind = "hold";
  std::string payload;
};
std::mutex rulesMutex;
std::map<std::string, AnswerRule> rules;

void OnJsCall(void*, uint32_t window, uint64_t callId, const char* method, wexlor_value* args) {
  const std::string name = method != nullptr ? method : "";
  Event({"call", std::to_string(window), std::to_string(callId), name, Describe(args)});
  AnswerRule rule;
  {
    std::lock_guard<std::mutex> lock(rulesMutex);
    if (auto it = rules.find(name); it != rules.end()) rule = it->second;
  }
  if (rule.kind == "echo") {
    api->JsCallRespond(ctx, callId, args, nullptr);
  } else if (rule.kind == "first") {
    wexlor_value* first = api->ValueListGet(args, 0);
    api->JsCallRespond(ctx, callId, first, nullptr);
    api->ValueFree(first);
  } else if (rule.kind == "result") {
    wexlor_value* result = BuildFromJson(rule.payload);
    api->JsCallRespond(ctx, callId, result, nullptr);
    api->ValueFree(result);
  } else if (rule.kind == "error") {
    wexlor_value* error = api->ValueString(ctx, rule.payload.c_str());
    api->JsCallRespond(ctx, callId, nullptr, error);
    api->ValueFree(error);
  }
  api->ValueFree(args);
}

void Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

void OnJsCallNotify(void*) { Wake(); }

// ---------------------------------------------------------------------------
// Window handlers

void OnClose(void*, uint32_t window) {
  CheckMain("close");
  Event({"close", std::to_string(window)});
}
void OnPageLoad(void*, uint32_t window) {
  CheckMain("load");
  Event({"load", std::to_string(window)});
}
void OnFocus(void*, uint32_t window, int32_t focused) {
  CheckMain("focus");
  Event({"focus", std::to_string(window), std::to_string(focused)});
}
void OnResize(void*, uint32_t window, int32_t width, int32_t height) {
  CheckMain("resize");
  Event({"resize", std::to_string(window), std::to_string(width), std::to_string(height)});
}
void OnMove(void*, uint32_t window, int32_t x, int32_t y) {
  CheckMain("move");
  Event({"move", std::to_string(window), std::to_string(x), std::to_string(y)});
}


// One launch's URLs, as one event.
void OnOpenUrls(void*, const char* const* urls, size_t count) {
  CheckMain("open");
  std::vector<std::string> tokens = {"open"};
  for (size_t i = 0; i < count; ++i) tokens.emplace_back(urls[i]);
  Event(tokens);
}

int reopenTag = 0;

// Distinct user data for each kind of registration: a handler called with
// another pointer (lost or swapped) reports it.
struct Tag {
  const char* name;
};
Tag windowMenuTag{"window-menu"}, contextMenuTag{"context-menu"}, trayMenuTag{"tray-menu"},
    dockMenuTag{"dock-menu"}, trayClickTag{"tray-click"}, trayDoubleTag{"tray-double"},
    notificationTag{"notification"};

void CheckData(void* data, const Tag& expected) {
  if (data != &expected) Event({"wrong-data", expected.name});
}

void OnTrayClick(void* data, uint32_t tray) {
  CheckMain("tray");
  CheckData(data, trayClickTag);
  Event({"tray-click", std::to_string(tray)});
}
void OnTrayDoubleClick(void* data, uint32_t tray) {
  CheckMain("tray");
  CheckData(data, trayDoubleTag);
  Event({"tray-double", std::to_string(tray)});
}
void OnReopen(void* data, bool hasVisibleWindows) {
  CheckMain("reopen");
  // The data pointer must be the one registered with this handler.
  Event({"reopen", hasVisibleWindows ? "1" : "0", data == &reopenTag ? "data" : "wrong-data"});
}

// Hex text to bytes ("-" for none).
std::vector<uint8_t> Unhex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

void OnKey(void*, uint32_t window, int32_t up, const char* key, const char* code,
           uint32_t modifiers, bool) {
  CheckMain("key");
  Event({"key", std::to_string(window), std::to_string(up), key != nullptr ? key : "",
         code != nullptr ? code : "", std::to_string(modifiers)});
}

// One click function per kind of menu, each expecting its own tag.
template <Tag* kTag>
void OnMenuClick(void* data, uint32_t owner, const char* itemId) {
  CheckMain("menu");
  CheckData(data, *kTag);
  Event({"menu", std::to_string(owner), itemId != nullptr ? itemId : "(null)"});
}

// Dropped files: "drop <window> <x> <y> <path>...".
void OnDrop(void*, uint32_t window, int32_t x, int32_t y, wexlor_value* paths) {
  CheckMain("drop");
  std::vector<std::string> tokens = {"drop", std::to_string(window), std::to_string(x),
                                     std::to_string(y)};
  for (size_t i = 0; i < api->ValueListSize(paths); ++i) {
    wexlor_value* item = api->ValueListGet(paths, i);
    char* text = api->ValueGetString(item, nullptr);
    tokens.push_back(text != nullptr ? text : "");
    api->ValueFreeString(text);
    api->ValueFree(item);
  }
  api->ValueFree(paths);
  Event(tokens);
}

// Page permission requests, answered as the test said.
std::atomic<int32_t> pagePermissionAnswer{0};
int32_t OnPagePermission(void*, uint32_t window, const char* kind, const char* origin) {
  CheckMain("page-permission");
  Event({"page-permission", std::to_string(window), kind != nullptr ? kind : "(null)",
         origin != nullptr ? origin : "(null)"});
  return pagePermissionAnswer.load();
}

// ---------------------------------------------------------------------------
// Script results

// One ExecuteJs request. Kept for the life of the process so that a second
// callback for the same request is reported instead of touching freed memory.
struct EvalRequest {
  std::string seq;
  std::atomic<int> calls{0};
};
std::mutex evalMutex;
std::deque<EvalRequest> evalRequests;

void OnEvaluated(wexlor_value* result, wexlor_value* error, void* userData) {
  auto* request = static_cast<EvalRequest*>(userData);
  if (request->calls.fetch_add(1) > 0) {
    Event({"eval-twice", request->seq});
    return;
  }
  Send("R " + request->seq, {Describe(result), Describe(error), OnMain() ? "main" : "other"});
}

// ---------------------------------------------------------------------------
// Notifications and permissions

void OnNotification(void* data, uint32_t id, int32_t event, const char* action) {
  CheckMain("notification");
  CheckData(data, notificationTag);
  Event({"notification", std::to_string(id), std::to_string(event),
         action != nullptr ? action : "null"});
}

// One permission call. Kept for the life of the process so that a second
// answer is reported instead of touching freed memory.
struct PermissionRequest {
  std::string tag;
  std::atomic<int> calls{0};
};
std::mutex permissionMutex;
std::deque<PermissionRequest> permissionRequests;

void OnPermission(void* userData, int32_t state) {
  CheckMain("permission");
  auto* request = static_cast<PermissionRequest*>(userData);
  if (request->calls.fetch_add(1) > 0) {
    Event({"permission-twice", request->tag});
    return;
  }
  Event({"permission", request->tag, std::to_string(state)});
}

// ---------------------------------------------------------------------------
// Token conversions

uint32_t U32(const std::string& s) {
  return static_cast<uint32_t>(std::strtoul(s.c_str(), nullptr, 10));
}
int32_t I32(const std::string& s) {
  return static_cast<int32_t>(std::strtol(s.c_str(), nullptr, 10));
}
uint64_t U64(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 10); }
std::string Bool(bool b) { return b ? "1" : "0"; }

// ---------------------------------------------------------------------------
// The "app" scheme

// Requests for a URL with a route (compared without its query) are answered
// at once from the request handler; all others are held for the test, which
// answers them step by step with the "scheme" commands. Every exchange gets
// a small id, reported with the request.
struct Route {
  int32_t status = 200;
  std::string body;
  std::string headers;  // flat block
};
std::mutex schemeMutex;
std::map<std::string, Route> routes;
std::map<uint64_t, wexlor_scheme_exchange*> heldExchanges;
std::map<wexlor_scheme_exchange*, uint64_t> exchangeIds;
// Finished exchanges stay addressable, so tests can play a careless runtime
// that keeps using a handle after Finish.
std::map<uint64_t, wexlor_scheme_exchange*> finishedExchanges;
uint64_t nextExchangeId = 1;
uint64_t requestCount = 0;

// "name value name value ..." tokens from index `first` as a flat block.
std::string FlatHeaders(const std::vector<std::string>& a, size_t first) {
  std::string block;
  for (size_t i = first; i + 1 < a.size(); i += 2) {
    block += a[i];
    block += '\0';
    block += a[i + 1];
    block += '\0';
  }
  return block;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void OnSchemeRequest(void*, uint32_t window, wexlor_scheme_exchange* exchange, const char* method,
                     const char* url, const char* headers, size_t headersLength) {
  CheckMain("scheme-request");
  const std::string target = url != nullptr ? url : "";
  Route route;
  bool routed = false;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(schemeMutex);
    ++requestCount;
    id = nextExchangeId++;
    if (auto it = routes.find(target.substr(0, target.find('?'))); it != routes.end()) {
      route = it->second;
      routed = true;
    } else {
      heldExchanges[id] = exchange;
      exchangeIds[exchange] = id;
    }
  }
  Event({"scheme-request", std::to_string(window), std::to_string(id),
         method != nullptr ? method : "", target,
         std::string(headers != nullptr ? headers : "", headersLength)});
  if (routed) {
    api->SchemeResponseBegin(ctx, exchange, route.status, route.headers.data(),
                             route.headers.size());
    if (!route.body.empty()) {
      api->SchemeResponseWrite(ctx, exchange, Bytes(route.body), route.body.size());
    }
    api->SchemeResponseFinish(ctx, exchange);
  }
}

void OnSchemeStop(void*, wexlor_scheme_exchange* exchange) {
  std::string id = "unknown";
  {
    std::lock_guard<std::mutex> lock(schemeMutex);
    if (auto it = exchangeIds.find(exchange); it != exchangeIds.end()) {
      id = std::to_string(it->second);
    }
  }
  Event({"scheme-stop", id});
}

wexlor_scheme_exchange* HeldExchange(const std::string& id) {
  std::lock_guard<std::mutex> lock(schemeMutex);
  const uint64_t n = std::strtoull(id.c_str(), nullptr, 10);
  if (auto it = heldExchanges.find(n); it != heldExchanges.end()) return it->second;
  auto it = finishedExchanges.find(n);
  return it == finishedExchanges.end() ? nullptr : it->second;
}

void Finished(wexlor_scheme_exchange* exchange) {
  std::lock_guard<std::mutex> lock(schemeMutex);
  if (auto it = exchangeIds.find(exchange); it != exchangeIds.end()) {
    finishedExchanges[it->second] = exchange;
    heldExchanges.erase(it->second);
    exchangeIds.erase(it);
  }
}

// scheme on | off
// scheme route <url> <status> <body> [<name> <value>]...
// (the step commands also take the id of a finished exchange, and pass its
// old handle on)
// scheme begin <id> <status> [<name> <value>]...
// scheme write <id> <bytes>                  -> the value Write returned
// scheme finish <id>
// scheme respond <id> <status> <body> [<name> <value>]...
//                                             -> Write's value, the thread
// scheme read <id> <capacity>                -> "4,4,2,0", the bytes read
// scheme count                               -> requests seen so far
// The byte at `offset` of a streamed test body; the page checks the same rule.
uint8_t StreamByte(uint64_t offset) { return static_cast<uint8_t>(offset * 131 + (offset >> 12)); }

void ExecuteScheme(const std::vector<std::string>& a, std::vector<std::string>& reply) {
  auto arg = [&](size_t i) -> const std::string& {
    static const std::string empty;
    return i < a.size() ? a[i] : empty;
  };
  const std::string& step = arg(1);
  if (step == "on") {
    api->RegisterSchemeHandler(ctx, "app", OnSchemeRequest, OnSchemeStop, nullptr);
    return;
  }
  if (step == "off") {
    api->RegisterSchemeHandler(ctx, "app", nullptr, nullptr, nullptr);
    return;
  }
  if (step == "route") {
    std::lock_guard<std::mutex> lock(schemeMutex);
    routes[arg(2)] = Route{I32(arg(3)), arg(4), FlatHeaders(a, 5)};
    return;
  }
  if (step == "count") {
    std::lock_guard<std::mutex> lock(schemeMutex);
    reply = {std::to_string(requestCount)};
    return;
  }
  wexlor_scheme_exchange* exchange = HeldExchange(arg(2));
  if (exchange == nullptr) {
    reply = {"no-exchange", arg(2)};
  } else if (step == "begin") {
    const std::string headers = FlatHeaders(a, 4);
    api->SchemeResponseBegin(ctx, exchange, I32(arg(3)), headers.data(), headers.size());
  } else if (step == "write") {
    reply = {std::to_string(api->SchemeResponseWrite(ctx, exchange, Bytes(arg(3)), arg(3).size()))};
  } else if (step == "finish") {
    Finished(exchange);
    api->SchemeResponseFinish(ctx, exchange);
  } else if (step == "respond") {
    const std::string headers = FlatHeaders(a, 5);
    api->SchemeResponseBegin(ctx, exchange, I32(arg(3)), headers.data(), headers.size());
    const int64_t written = api->SchemeResponseWrite(ctx, exchange, Bytes(arg(4)), arg(4).size());
    Finished(exchange);
    api->SchemeResponseFinish(ctx, exchange);
    reply = {std::to_string(written), ThreadKind()};
  } else if (step == "stream") {  // stream <id> <total bytes> <chunk bytes>
    // From a thread of its own, as fast as the host lets it: a 200 with the
    // length, then bytes whose value is StreamByte(offset), then Finish.
    const uint64_t total = std::strtoull(arg(3).c_str(), nullptr, 10);
    const size_t chunk = std::max<size_t>(1, std::strtoull(arg(4).c_str(), nullptr, 10));
    const std::string id = arg(2);
    std::thread([exchange, total, chunk, id] {
      const std::string headers =
          FlatHeaders({"", "", "", "", "content-type", "application/octet-stream", "content-length",
                       std::to_string(total)},
                      4);
      api->SchemeResponseBegin(ctx, exchange, 200, headers.data(), headers.size());
      std::vector<uint8_t> buffer(chunk);
      uint64_t written = 0;
      int64_t last = 0;
      while (written < total) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total - written));
        for (size_t i = 0; i < n; ++i) buffer[i] = StreamByte(written + i);
        last = api->SchemeResponseWrite(ctx, exchange, buffer.data(), n);
        if (last < 0) break;
        written += n;
      }
      Finished(exchange);
      api->SchemeResponseFinish(ctx, exchange);
      Event({"stream-end", id, std::to_string(written), std::to_string(last)});
    }).detach();
  } else if (step == "read") {
    const size_t capacity = std::strtoull(arg(3).c_str(), nullptr, 10);
    std::vector<uint8_t> buffer(capacity);
    std::string sizes, data;
    for (int64_t n = 1; n > 0 && sizes.size() < 4096;) {
      n = api->SchemeRequestReadBody(ctx, exchange, buffer.data(), capacity);
      sizes += (sizes.empty() ? "" : ",") + std::to_string(n);
      if (n > 0) data.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(n));
    }
    reply = {sizes, data};
  } else {
    reply = {"unknown-command", "scheme " + step};
  }
}

// ---------------------------------------------------------------------------
// Commands

// The bytes malloc has handed out and not yet got back, in kB.
std::string HeapInUseKb() {
  const struct mallinfo2 heap = mallinfo2();
  return std::to_string((heap.uordblks + heap.hblkhd) / 1024);
}

// The host's resident memory and its peak so far, in kB.
std::vector<std::string> ResidentKb() {
  std::vector<std::string> kb = {"-1", "-1"};
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      long value = 0;
      if (std::sscanf(line, "VmRSS: %ld", &value) == 1) kb[0] = std::to_string(value);
      if (std::sscanf(line, "VmHWM: %ld", &value) == 1) kb[1] = std::to_string(value);
    }
    std::fclose(f);
  }
  return kb;
}

void NoOp(void*) {}

// flood <commands> <window> <per second> <milliseconds> <count>
// A thread of its own posts commands at the given rate (0: as fast as it
// can) until the time or the count runs out (0: no limit), then reports
// "flood-done <window> <posted> <elapsed ms> <last title>". It cycles
// through <commands>, one letter each: t numbered title, p position along a
// diagonal, s size, o opacity, e script, u UI task.
void Flood(std::vector<std::string> a) {
  auto arg = [&](size_t i) { return i < a.size() ? a[i] : std::string(); };
  const std::string kind = arg(1);
  const uint32_t win = U32(arg(2));
  const double rate = std::strtod(arg(3).c_str(), nullptr);
  const auto duration = std::chrono::milliseconds(std::strtoll(arg(4).c_str(), nullptr, 10));
  const uint64_t limit = U64(arg(5));
  const auto start = std::chrono::steady_clock::now();
  uint64_t posted = 0;
  std::string title;
  char text[64];
  auto postOne = [&] {
    const int n = static_cast<int>(posted % 1000);
    const char step = kind[posted % kind.size()];
    switch (step) {
      case 't':
        std::snprintf(text, sizeof text, "flood-%llu", static_cast<unsigned long long>(posted));
        title = text;
        api->SetTitle(ctx, win, text);
        break;
      case 'p':
        api->SetWindowPosition(ctx, win, 10 + n % 200, 10 + n % 150);
        break;
      case 's':
        api->SetWindowSize(ctx, win, 300 + n % 100, 200 + n % 100);
        break;
      case 'o':
        api->SetWindowOpacity(ctx, win, 0.5 + (n % 50) / 100.0);
        break;
      case 'e':
        api->ExecuteJs(ctx, win, "0", nullptr, nullptr);
        break;
      default:
        api->PostUiTask(ctx, NoOp, nullptr);
        break;
    }
    ++posted;
  };
  for (;;) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed >= duration || (limit != 0 && posted >= limit) || stopping.load()) break;
    if (rate <= 0) {
      for (int i = 0; i < 1000 && (limit == 0 || posted < limit); ++i) postOne();
      continue;
    }
    const auto due = static_cast<uint64_t>(
        rate * std::chrono::duration<double>(elapsed + std::chrono::milliseconds(1)).count());
    while (posted < due && (limit == 0 || posted < limit)) postOne();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  Event({"flood-done", std::to_string(win), std::to_string(posted), std::to_string(ms.count()),
         title.empty() ? "-" : title});
}

// Carries out one command; returns false when the reply is sent later.
void OnWebProcess(void*, uint32_t window, int32_t reason) {
  CheckMain("webproc");
  Event({"webproc", std::to_string(window), std::to_string(reason)});
}

bool Execute(const std::string& seq, const std::vector<std::string>& a,
             std::vector<std::string>& reply) {
  const std::string& verb = a[0];
  auto arg = [&](size_t i) -> const std::string& {
    static const std::string empty;
    return i < a.size() ? a[i] : empty;
  };
  const uint32_t win = U32(arg(1));
  if (verb == "ping") {
    reply = {"pong"};
  } else if (verb == "create") {
    reply = {std::to_string(api->CreateWindow(ctx))};
  } else if (verb == "createex") {
    reply = {std::to_string(api->CreateWindowEx(ctx, U32(arg(1))))};  // createex <flags>
  } else if (verb == "close") {
    api->CloseWindow(ctx, win);
  } else if (verb == "navigate") {
    api->Navigate(ctx, win, arg(2).c_str());
  } else if (verb == "title") {
    api->SetTitle(ctx, win, arg(2).c_str());
  } else if (verb == "eval") {
    EvalRequest* request;
    {
      std::lock_guard<std::mutex> lock(evalMutex);
      request = &evalRequests.emplace_back();
      request->seq = seq;
    }
    api->ExecuteJs(ctx, win, arg(2).c_str(), OnEvaluated, request);
    return false;
  } else if (verb == "quit") {
    api->Quit(ctx);
  } else if (verb == "setsize") {
    api->SetWindowSize(ctx, win, I32(arg(2)), I32(arg(3)));
  } else if (verb == "getsize") {
    int32_t w = -1, h = -1;
    api->GetWindowSize(ctx, win, &w, &h);
    reply = {std::to_string(w), std::to_string(h)};
  } else if (verb == "setpos") {
    api->SetWindowPosition(ctx, win, I32(arg(2)), I32(arg(3)));
  } else if (verb == "getpos") {
    int32_t x = -1, y = -1;
    api->GetWindowPosition(ctx, win, &x, &y);
    reply = {std::to_string(x), std::to_string(y)};
  } else if (verb == "setresizable") {
    api->SetResizable(ctx, win, arg(2) == "1");
  } else if (verb == "isresizable") {
    reply = {Bool(api->IsResizable(ctx, win))};
  } else if (verb == "setontop") {
    api->SetAlwaysOnTop(ctx, win, arg(2) == "1");
  } else if (verb == "isontop") {
    reply = {Bool(api->IsAlwaysOnTop(ctx, win))};
  } else if (verb == "isvisible") {
    reply = {Bool(api->IsVisible(ctx, win))};
  } else if (verb == "show") {
    api->Show(ctx, win);
  } else if (verb == "hide") {
    api->Hide(ctx, win);
  } else if (verb == "focus") {
    api->Focus(ctx, win);
  } else if (verb == "namespace") {
    api->SetJsNamespace(ctx, arg(1).c_str());
  } else if (verb == "respond") {  // respond <call> <json result>
    wexlor_value* result = BuildFromJson(arg(2));
    api->JsCallRespond(ctx, U64(arg(1)), result, nullptr);
    api->ValueFree(result);
  } else if (verb == "reject") {  // reject <call> <error text>
    wexlor_value* error = api->ValueString(ctx, arg(2).c_str());
    api->JsCallRespond(ctx, U64(arg(1)), nullptr, error);
    api->ValueFree(error);
  } else if (verb == "invoke") {  // invoke <callback> <json argument list>
    wexlor_value* args = BuildFromJson(arg(2));
    api->InvokeJsCallback(ctx, U64(arg(1)), args);
    api->ValueFree(args);
  } else if (verb == "release") {
    api->ReleaseJsCallback(ctx, U64(arg(1)));
  } else if (verb == "setopacity") {
    api->SetWindowOpacity(ctx, win, std::strtod(arg(2).c_str(), nullptr));
  } else if (verb == "getopacity") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", api->GetWindowOpacity(ctx, win));
    reply = {buf};
  } else if (verb == "scheme") {
    ExecuteScheme(a, reply);
  } else if (verb == "dialog") {  // dialog <kind> <title> <message> <default>
    static char marker;
    char* text = &marker;  // the host must clear it before anything else
    const int32_t r =
        api->ShowDialog(ctx, 0, I32(arg(1)), arg(2).c_str(), arg(3).c_str(), arg(4).c_str(), &text);
    reply = {std::to_string(r)};
    if (text == &marker) {
      reply.push_back("not-cleared");
    } else if (text == nullptr) {
      reply.push_back("null");
    } else {
      reply.insert(reply.end(), {"text", text});
      api->StringFree(ctx, text);
    }
  } else if (verb == "clipread") {
    char* text = api->ReadClipboardText(ctx);
    reply =
        text != nullptr ? std::vector<std::string>{"text", text} : std::vector<std::string>{"null"};
    api->StringFree(ctx, text);
  } else if (verb == "clipwrite") {
    api->WriteClipboardText(ctx, arg(1).c_str());
  } else if (verb == "heap") {
    reply = {HeapInUseKb()};
  } else if (verb == "notify") {  // notify <json options | none> [<json options>]...
    std::vector<std::string> ids;
    for (size_t i = 1; i < a.size(); ++i) {
      wexlor_value* options = a[i] == "none" ? nullptr : BuildFromJson(a[i]);
      ids.push_back(
          std::to_string(api->ShowNotification(ctx, options, OnNotification, &notificationTag)));
    }
    reply = ids;
  } else if (verb == "notify-close") {  // posts and at once withdraws
    const uint32_t id =
        api->ShowNotification(ctx, BuildFromJson(arg(1)), OnNotification, &notificationTag);
    api->CloseNotification(ctx, id);
    reply = {std::to_string(id)};
  } else if (verb == "closenotif") {
    api->CloseNotification(ctx, U32(arg(1)));
  } else if (verb == "permission") {  // permission query|request <kind> <tag> [nocb]
    PermissionRequest* request;
    {
      std::lock_guard<std::mutex> lock(permissionMutex);
      request = &permissionRequests.emplace_back();
      request->tag = arg(3);
    }
    const auto handler = arg(4) == "nocb" ? nullptr : OnPermission;
    if (arg(1) == "request") {
      api->RequestPermission(ctx, I32(arg(2)), handler, request);
    } else {
      api->QueryPermission(ctx, I32(arg(2)), handler, request);
    }
  } else if (verb == "rss") {
    reply = ResidentKb();
  } else if (verb == "flood") {
    std::thread(Flood, a).detach();
  } else if (verb == "menu") {  // menu <window> <json description>: the host owns it
    api->SetApplicationMenu(ctx, win, BuildFromJson(arg(2)), OnMenuClick<&windowMenuTag>,
                            &windowMenuTag);
  } else if (verb == "contextmenu") {  // contextmenu <window> <x> <y> <json description>
    api->ShowContextMenu(ctx, win, I32(arg(2)), I32(arg(3)), BuildFromJson(arg(4)),
                         OnMenuClick<&contextMenuTag>, &contextMenuTag);
  } else if (verb == "tray") {  // tray: creates a tray icon, replies its id
    reply = {std::to_string(api->CreateTrayIcon(ctx))};
  } else if (verb == "traydestroy") {
    api->DestroyTrayIcon(ctx, win);
  } else if (verb == "trayicon" || verb == "traydark") {  // trayicon <id> <hex bytes | ->
    const auto bytes = Unhex(arg(2));
    const void* data = bytes.empty() ? nullptr : bytes.data();
    (verb == "trayicon" ? api->SetTrayIcon : api->SetTrayIconDark)(ctx, win, data, bytes.size());
  } else if (verb == "traytip") {  // traytip <id> [text]
    api->SetTrayTooltip(ctx, win, a.size() > 2 ? arg(2).c_str() : nullptr);
  } else if (verb == "traymenu") {  // traymenu <id> <json | null>
    api->SetTrayMenu(ctx, win, arg(2) == "null" ? nullptr : BuildFromJson(arg(2)),
                     OnMenuClick<&trayMenuTag>, &trayMenuTag);
  } else if (verb == "trayhandlers") {  // trayhandlers <id> <click 0|1> <double 0|1>
    api->SetTrayClickHandler(ctx, win, arg(2) == "1" ? OnTrayClick : nullptr, &trayClickTag);
    api->SetTrayDoubleClickHandler(ctx, win, arg(3) == "1" ? OnTrayDoubleClick : nullptr,
                                   &trayDoubleTag);
  } else if (verb == "traybounds") {  // traybounds <id> [null]: found x y w h
    int32_t x = -7, y = -7, w = -7, h = -7;
    const bool found = arg(2) == "null"
                           ? api->GetTrayIconBounds(ctx, win, nullptr, nullptr, nullptr, nullptr)
                           : api->GetTrayIconBounds(ctx, win, &x, &y, &w, &h);
    reply = {Bool(found), std::to_string(x), std::to_string(y), std::to_string(w),
             std::to_string(h)};
  } else if (verb == "badge") {  // badge [text]
    api->SetDockBadge(ctx, a.size() > 1 ? arg(1).c_str() : nullptr);
  } else if (verb == "bounce") {
    api->BounceDock(ctx, I32(arg(1)));
  } else if (verb == "dockvisible") {
    api->SetDockVisible(ctx, arg(1) == "1");
  } else if (verb == "dockmenu") {  // dockmenu <json | null>
    api->SetDockMenu(ctx, arg(1) == "null" ? nullptr : BuildFromJson(arg(1)),
                     OnMenuClick<&dockMenuTag>, &dockMenuTag);
  } else if (verb == "openurls") {  // openurls on|off
    if (WEXLOR_HOST_EXTENSION_HAS(ext, SetOpenUrlsHandler)) {
      ext->SetOpenUrlsHandler(ext->context, arg(1) == "on" ? OnOpenUrls : nullptr,
                                     nullptr);
    }
  } else if (verb == "reopen") {  // reopen on|off
    api->SetDockReopenHandler(ctx, arg(1) == "on" ? OnReopen : nullptr, &reopenTag);
  } else if (verb == "webproc") {  // webproc on|off: the web-process handler
    if (!WEXLOR_HOST_EXTENSION_HAS(ext, SetWebProcessHandler)) {
      reply = {"no-extension"};
    } else {
      ext->SetWebProcessHandler(ext->context, arg(1) == "on" ? OnWebProcess : nullptr, nullptr);
    }
  } else if (verb == "devtools") {
    api->OpenDevTools(ctx, win);
  } else if (verb == "drops") {  // drops on|off
    ext->SetDropHandler(ext->context, arg(1) == "on" ? OnDrop : nullptr, nullptr);
  } else if (verb == "pagepermission") {  // pagepermission allow|deny|off
    pagePermissionAnswer.store(arg(1) == "allow" ? 1 : 0);
    ext->SetPagePermissionHandler(ext->context, arg(1) == "off" ? nullptr : OnPagePermission,
                                         nullptr);
  } else if (verb == "answer") {  // answer <method> <kind> [payload]
    std::lock_guard<std::mutex> lock(rulesMutex);
    rules[arg(1)] = AnswerRule{arg(2), arg(3)};
  } else {
    reply = {"unknown-command", verb};
  }
  return true;
}

void RunCommand(const std::string& seq, const std::vector<std::string>& args) {
  std::vector<std::string> reply = {"ok"};
  if (args.empty()) {
    reply = {"empty-command"};
  } else if (!Execute(seq, args, reply)) {
    return;
  }
  Send("R " + seq, reply);
}

struct UiCommand {
  std::string seq;
  std::vector<std::string> args;
};

void RunUiCommand(void* data) {
  auto* command = static_cast<UiCommand*>(data);
  RunCommand(command->seq, command->args);
  delete command;
}

void HandleLine(const std::string& line) {
  std::vector<std::string> tokens = Split(line);
  if (tokens.empty()) return;
  const std::string seq = tokens[0];
  tokens.erase(tokens.begin());
  if (!tokens.empty() && tokens[0] == "ui") {
    tokens.erase(tokens.begin());
    api->PostUiTask(ctx, RunUiCommand, new UiCommand{seq, std::move(tokens)});
    return;
  }
  if (!tokens.empty() && tokens[0] == "bg") {
    tokens.erase(tokens.begin());
    std::thread([seq, tokens] { RunCommand(seq, tokens); }).detach();
    return;
  }
  RunCommand(seq, tokens);
}

}  // namespace

EXPORT void wexlor_runtime_extensions(const wexlor_host_extensions* table) { ext = table; }

EXPORT int wexlor_runtime_init(const wexlor_backend_api* table) {
  if (table == nullptr || table->version != WEXLOR_BACKEND_API_VERSION) return 1;
  api = table;
  ctx = table->context;
  mainThread = std::this_thread::get_id();
  const char* path = std::getenv("WEXLOR_TEST_SOCKET");
  if (path == nullptr) return 2;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return 3;
  std::strcpy(address.sun_path, path);
  sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return 4;
  }
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return 5;

  api->SetJsCallHandler(ctx, OnJsCall, nullptr);
  api->SetJsCallNotify(ctx, OnJsCallNotify, nullptr);
  api->SetCloseRequestedHandler(ctx, OnClose, nullptr);
  api->SetPageLoadHandler(ctx, OnPageLoad, nullptr);
  api->SetFocusedHandler(ctx, OnFocus, nullptr);
  api->SetResizeHandler(ctx, OnResize, nullptr);
  api->SetMoveHandler(ctx, OnMove, nullptr);
  api->SetKeyboardEventHandler(ctx, OnKey, nullptr);
  Event({"init"});
  return 0;
}

EXPORT int wexlor_runtime_start(void) {
  runtimeThread = std::this_thread::get_id();
  std::string buffer;
  while (!stopping.load()) {
    pollfd fds[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(wakeFd, &count, sizeof count);
      if (stopping.load()) break;
      api->PollJsCalls(ctx);
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[4096];
      const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // The test is gone: end the application rather than linger.
        api->Quit(ctx);
        break;
      }
      buffer.append(chunk, static_cast<size_t>(n));
      size_t newline;
      while ((newline = buffer.find('\n')) != std::string::npos) {
        const std::string line = buffer.substr(0, newline);
        buffer.erase(0, newline + 1);
        HandleLine(line);
      }
    }
  }
  return 0;
}

EXPORT void wexlor_runtime_shutdown(void) {
  Event({"shutdown"});
  stopping.store(true);
  if (wakeFd >= 0) Wake();
}
