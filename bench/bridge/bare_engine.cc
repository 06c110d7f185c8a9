// The baseline: GTK and WebKitGTK alone, doing what the bench runtime does
// through the host, with the least code an embedder could write.
//
// One window holds one web view. The page's calls arrive at a script
// message handler named "bare" as {id, method, args} and are answered on the
// spot with webkit_web_view_evaluate_javascript("__bareRespond(id, json)").
// The "app" scheme serves the page, a 64 MiB body and a tiny body, each
// from a memory stream over bytes made once (the 64 MiB when the page starts
// the scheme tests, so that it stays out of the PSS measured at start).
//
// BRIDGE_BENCH_MODE picks what the page does, and the driver's commands come
// on stdin; results go to stdout as BENCH lines (see bench_common.h).
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_common.h"

namespace {

using bridge_bench::Recorder;

struct Bare {
  GtkWidget* window = nullptr;
  WebKitWebView* view = nullptr;
  Recorder recorder;
  GBytes* page = nullptr;
  GBytes* big = nullptr;  // see MakeBigBody
  GBytes* tiny = nullptr;
  double nextId = -1;  // a "next" call waiting for a command
  std::string input;   // what came on stdin and is not yet a line
  bool inputClosed = false;
  std::string text;             // strDown's answer
  std::vector<uint8_t> binary;  // abDown's answer
};

Bare bare;

// A double-quoted script literal for `s`: runs of ordinary bytes are copied
// whole, the rest escaped.
std::string Quote(const char* s, size_t n) {
  std::string out;
  out.reserve(n + 2);
  out += '"';
  const char* end = s + n;
  while (s < end) {
    const char* run = s;
    while (s < end && static_cast<unsigned char>(*s) >= 0x20 && *s != '"' && *s != '\\') ++s;
    out.append(run, static_cast<size_t>(s - run));
    if (s == end) break;
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(*s++));
    out += escape;
  }
  out += '"';
  return out;
}

std::string Quote(const std::string& s) { return Quote(s.data(), s.size()); }

void Respond(double id, const std::string& json) {
  char head[64];
  std::snprintf(head, sizeof head, "window.__bareRespond(%.0f, ", id);
  std::string script;
  script.reserve(std::strlen(head) + json.size() + 3);
  script += head;
  script += json;
  script += ");";
  webkit_web_view_evaluate_javascript(bare.view, script.data(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, nullptr, nullptr);
}

// Argument `index` as a new reference, or null.
JSCValue* Arg(JSCValue* args, guint index) {
  if (args == nullptr || !jsc_value_is_array(args)) return nullptr;
  return jsc_value_object_get_property_at_index(args, index);
}

std::string ArgString(JSCValue* args, guint index) {
  JSCValue* v = Arg(args, index);
  std::string s;
  if (v != nullptr && jsc_value_is_string(v)) {
    char* text = jsc_value_to_string(v);
    s = text != nullptr ? text : "";
    g_free(text);
  }
  if (v != nullptr) g_object_unref(v);
  return s;
}

double ArgNumber(JSCValue* args, guint index) {
  JSCValue* v = Arg(args, index);
  const double d = v != nullptr && jsc_value_is_number(v) ? jsc_value_to_double(v) : NAN;
  if (v != nullptr) g_object_unref(v);
  return d;
}

// The 64 MiB body, made when the page starts the scheme tests so that it is
// not part of the PSS measured at start.
void MakeBigBody() {
  if (bare.big != nullptr) return;
  const std::vector<uint8_t> chunk = bridge_bench::MakeBytes(bridge_bench::kChunkBytes);
  auto* big = static_cast<uint8_t*>(g_malloc(bridge_bench::kBigBytes));
  for (size_t at = 0; at < bridge_bench::kBigBytes; at += chunk.size()) {
    std::memcpy(big + at, chunk.data(), chunk.size());
  }
  bare.big = g_bytes_new_take(big, bridge_bench::kBigBytes);
}

struct PssRequest {
  double id;
};

gboolean MeasurePssLater(gpointer data) {
  auto* request = static_cast<PssRequest*>(data);
  bare.recorder.MeasurePss();
  Respond(request->id, "null");
  delete request;
  return G_SOURCE_REMOVE;
}

// Answers a waiting "next" call with the driver's next line, if one came.
void AnswerNext() {
  if (bare.nextId < 0) return;
  const size_t newline = bare.input.find('\n');
  std::string command;
  if (newline != std::string::npos) {
    command = bare.input.substr(0, newline);
    bare.input.erase(0, newline + 1);
    if (!command.empty() && command.back() == '\r') command.pop_back();
  } else if (bare.inputClosed) {
    command = "quit";
  } else {
    return;
  }
  const double id = bare.nextId;
  bare.nextId = -1;
  Respond(id, Quote(command));
}

gboolean OnInput(gint fd, GIOCondition, gpointer) {
  char buffer[256];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    bare.input.append(buffer, static_cast<size_t>(n));
  } else {
    bare.inputClosed = true;
  }
  AnswerNext();
  return n > 0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

gboolean QuitLater(gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

void OnMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  bare.recorder.Arrival();
  JSCValue* body = webkit_javascript_result_get_js_value(result);
  if (body == nullptr || !jsc_value_is_object(body)) return;
  JSCValue* idValue = jsc_value_object_get_property(body, "id");
  JSCValue* methodValue = jsc_value_object_get_property(body, "method");
  JSCValue* args = jsc_value_object_get_property(body, "args");
  const double id = jsc_value_to_double(idValue);
  char* methodText = jsc_value_to_string(methodValue);
  const std::string method = methodText != nullptr ? methodText : "";
  g_free(methodText);

  if (method == "ping") {
    JSCValue* v = Arg(args, 0);
    char number[32];
    std::snprintf(number, sizeof number, "%d", v != nullptr ? jsc_value_to_int32(v) : 0);
    if (v != nullptr) g_object_unref(v);
    Respond(id, number);
  } else if (method == "strUp") {
    Respond(id, std::to_string(ArgString(args, 0).size()));
  } else if (method == "strDown") {
    Respond(id, Quote(bare.text));  // escaped on every call, as any answer would be
  } else if (method == "abUp") {
    // Buffers come as {b64: "..."}: the engine's message channel drops
    // ArrayBuffer contents, so the page encodes them as the host's bridge does.
    JSCValue* v = Arg(args, 0);
    gsize size = 0;
    if (v != nullptr && jsc_value_is_object(v)) {
      JSCValue* encoded = jsc_value_object_get_property(v, "b64");
      char* text = jsc_value_is_string(encoded) ? jsc_value_to_string(encoded) : nullptr;
      if (text != nullptr) g_free(g_base64_decode_inplace(text, &size));
      g_object_unref(encoded);
    }
    if (v != nullptr) g_object_unref(v);
    Respond(id, std::to_string(size));
  } else if (method == "abDown") {
    JSCValue* v = Arg(args, 0);
    const double asked = v != nullptr ? jsc_value_to_double(v) : 0;
    if (v != nullptr) g_object_unref(v);
    const size_t n = asked > 0 && asked < static_cast<double>(bare.binary.size())
                         ? static_cast<size_t>(asked)
                         : bare.binary.size();
    char* encoded = g_base64_encode(bare.binary.data(), n);
    Respond(id, Quote(encoded, std::strlen(encoded)));
    g_free(encoded);
  } else if (method == "mark") {
    const std::string kind = ArgString(args, 0);
    if (kind == "pss") {
      g_timeout_add(bridge_bench::kPssSettleMs, MeasurePssLater, new PssRequest{id});
    } else {
      if (kind == "begin") {
        bare.recorder.Begin(ArgString(args, 1));
      } else if (kind == "end") {
        bare.recorder.End(ArgString(args, 1), static_cast<int>(ArgNumber(args, 2)));
      } else if (kind == "hwm-reset") {
        MakeBigBody();
        bare.recorder.ResetPeak();
      } else if (kind == "hwm-read") {
        bare.recorder.ReadPeak(ArgString(args, 1));
      }
      Respond(id, "null");
    }
  } else if (method == "report") {
    bare.recorder.Report(ArgString(args, 0));
    Respond(id, "null");
  } else if (method == "next") {
    bare.recorder.Ready();
    bare.nextId = id;
    AnswerNext();
  } else if (method == "done") {
    bare.recorder.Done();
    Respond(id, "null");
    g_idle_add(QuitLater, nullptr);
  } else {
    Respond(id, "null");
  }
  g_object_unref(idValue);
  g_object_unref(methodValue);
  g_object_unref(args);
}

void OnSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
  bare.recorder.Arrival();
  const char* path = webkit_uri_scheme_request_get_path(request);
  GBytes* bytes = nullptr;
  const char* type = "application/octet-stream";
  if (path != nullptr && std::strcmp(path, "/index.html") == 0) {
    bytes = bare.page;
    type = "text/html";
  } else if (path != nullptr && std::strcmp(path, "/big") == 0) {
    MakeBigBody();
    bytes = bare.big;
  } else if (path != nullptr &&
             (std::strcmp(path, "/tiny") == 0 || std::strcmp(path, "/tinythread") == 0)) {
    bytes = bare.tiny;
  }
  if (bytes == nullptr) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not found");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(g_bytes_get_size(bytes)),
                                   type);
  g_object_unref(stream);
}

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer) {
  if (event == WEBKIT_LOAD_FINISHED) bare.recorder.PageLoaded();
}

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer) {
  gtk_main_quit();
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (!gtk_init_check(&argc, &argv)) {
    std::fputs("bare_engine: cannot open a display\n", stderr);
    return 1;
  }
  const char* mode = std::getenv(bridge_bench::kModeVariable);
  const std::string url =
      std::string("app://bench/index.html?mode=") + (mode != nullptr ? mode : "full");

  // The payloads, made before anything is measured.
  bare.page = g_bytes_new_static(bridge_bench::kPageHtml, sizeof bridge_bench::kPageHtml - 1);
  bare.tiny = g_bytes_new_static("0123456789", bridge_bench::kTinyBytes);
  bare.text = bridge_bench::MakeText(bridge_bench::kStringBytes);
  bare.binary = bridge_bench::MakeBytes(bridge_bench::kStringBytes);

  WebKitWebContext* context = webkit_web_context_get_default();
  webkit_web_context_register_uri_scheme(context, "app", OnSchemeRequest, nullptr, nullptr);
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, "app");
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "app");

  WebKitUserContentManager* content = webkit_user_content_manager_new();
  g_signal_connect(content, "script-message-received::bare", G_CALLBACK(OnMessage), nullptr);
  webkit_user_content_manager_register_script_message_handler(content, "bare");
  bare.view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                           "user-content-manager", content, nullptr));
  g_object_unref(content);
  g_signal_connect(bare.view, "load-changed", G_CALLBACK(OnLoadChanged), nullptr);

  bare.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(bare.window), 800, 600);
  gtk_window_set_title(GTK_WINDOW(bare.window), "bare engine");
  gtk_container_add(GTK_CONTAINER(bare.window), GTK_WIDGET(bare.view));
  g_signal_connect(bare.window, "delete-event", G_CALLBACK(OnDelete), nullptr);
  gtk_widget_show_all(bare.window);
  gtk_window_present(GTK_WINDOW(bare.window));

  g_unix_fd_add(0, G_IO_IN, OnInput, nullptr);
  webkit_web_view_load_uri(bare.view, url.c_str());
  gtk_main();
  return 0;
}
