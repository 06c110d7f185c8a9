#include "backend/webview_gtk/scheme_gtk.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backend/bridge_bytes.h"
#include "backend/bridge_message.h"
#include "backend/scheme_exchange.h"
#include "backend/scheme_headers.h"
#include "backend/webview_gtk/gtk_webview_backend.h"
#include "common/gtk/main_queue.h"
#include "runtime/runtime_loader.h"

using wexlor_common::MainQueue;

namespace {

class GtkSchemeExchange;

// Response bytes an exchange may hold that the page has not read yet; a
// writer off the main thread waits while more are held.
constexpr uint64_t kHighWaterBytes = 4 * 1024 * 1024;

// What an exchange and its body stream share. `exchange` is cleared on the
// main thread when the exchange is destroyed, so a stop noticed later (the
// page reads after the runtime finished) never reaches freed memory.
struct ExchangeLink {
  std::atomic<bool> stopped{false};
  GtkSchemeExchange* exchange = nullptr;  // main thread only

  // Bytes written and not yet read by the page (or dropped).
  std::mutex mutex;
  std::condition_variable drained;
  uint64_t unread = 0;

  void Consumed(uint64_t n) {
    if (n == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    unread -= std::min(unread, n);
    drained.notify_all();
  }
  void WakeWriters() {
    std::lock_guard<std::mutex> lock(mutex);
    drained.notify_all();
  }
};

// Every exchange alive, by window, so closing a window can stop the
// requests it left open (main thread only).
std::unordered_multimap<uint32_t, GtkSchemeExchange*> g_live_exchanges;

void MarkStopped(const std::shared_ptr<ExchangeLink>& link);

}  // namespace

// ---------------------------------------------------------------------------
// The response body: a pollable input stream fed with the runtime's chunks.
// WebKit reads it in small pieces; each read is served straight from the
// queued chunks, and a read that finds nothing waits for the next chunk.

struct WexlorBodyStream {
  GInputStream parent;
  std::deque<std::vector<uint8_t>>* chunks;
  size_t frontOffset;
  std::vector<GSource*>* triggers;  // sources waiting for data
  std::shared_ptr<ExchangeLink>* link;
  // The reader's cancellables we listen to: WebKit cancels its pending read
  // when the page goes away, and that is how a stop shows.
  std::vector<std::pair<GCancellable*, gulong>>* cancellables;
  gboolean finished;  // no more chunks will come
  gboolean eof;       // a read has returned the end
};

struct WexlorBodyStreamClass {
  GInputStreamClass parent_class;
};

static void wexlor_body_stream_pollable_init(GPollableInputStreamInterface* iface);

G_DEFINE_TYPE_WITH_CODE(WexlorBodyStream, wexlor_body_stream, G_TYPE_INPUT_STREAM,
                        G_IMPLEMENT_INTERFACE(G_TYPE_POLLABLE_INPUT_STREAM,
                                              wexlor_body_stream_pollable_init))

#define WEXLOR_BODY_STREAM(o) \
  (G_TYPE_CHECK_INSTANCE_CAST((o), wexlor_body_stream_get_type(), WexlorBodyStream))

namespace {

struct TriggerSource {
  GSource source;
  WexlorBodyStream* stream;  // cleared when the stream goes first
};

// A trigger only wakes its parent, the pollable source, which then reads.
gboolean TriggerDispatch(GSource* source, GSourceFunc, gpointer) {
  g_source_set_ready_time(source, -1);
  return G_SOURCE_CONTINUE;
}

gboolean TriggerClosureCallback(gpointer) { return G_SOURCE_CONTINUE; }

void TriggerFinalize(GSource* source) {
  auto* trigger = reinterpret_cast<TriggerSource*>(source);
  if (trigger->stream != nullptr) {
    auto& list = *trigger->stream->triggers;
    list.erase(std::remove(list.begin(), list.end(), source), list.end());
  }
}

GSourceFuncs kTriggerFuncs = {
    nullptr, nullptr, TriggerDispatch, TriggerFinalize, TriggerClosureCallback, nullptr};

bool Readable(WexlorBodyStream* s) {
  return !s->chunks->empty() || s->finished || (*s->link)->stopped.load();
}

void Wake(WexlorBodyStream* s) {
  for (GSource* source : *s->triggers) g_source_set_ready_time(source, 0);
}

gssize ReadNonblocking(GPollableInputStream* pollable, void* buffer, gsize count, GError** error) {
  auto* s = WEXLOR_BODY_STREAM(pollable);
  if ((*s->link)->stopped.load()) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CANCELLED, "The request was stopped");
    return -1;
  }
  gsize copied = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (copied < count && !s->chunks->empty()) {
    auto& front = s->chunks->front();
    const gsize n = std::min(count - copied, front.size() - s->frontOffset);
    std::memcpy(out + copied, front.data() + s->frontOffset, n);
    copied += n;
    s->frontOffset += n;
    if (s->frontOffset == front.size()) {
      s->chunks->pop_front();
      s->frontOffset = 0;
    }
  }
  (*s->link)->Consumed(copied);
  if (copied > 0 || count == 0) return static_cast<gssize>(copied);
  if (s->finished) {
    s->eof = TRUE;
    return 0;
  }
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK, "No data yet");
  return -1;
}

gboolean IsReadable(GPollableInputStream* pollable) {
  return Readable(WEXLOR_BODY_STREAM(pollable));
}

gboolean CanPoll(GPollableInputStream*) { return TRUE; }

void OnReadCancelled(GCancellable*, gpointer data) {
  auto* s = static_cast<WexlorBodyStream*>(data);
  std::shared_ptr<ExchangeLink> link = *s->link;
  s->chunks->clear();  // nobody will read them
  if (MainQueue::IsMainThread()) {
    MarkStopped(link);
  } else {
    MainQueue::Post([link] { MarkStopped(link); });
  }
}

void WatchCancellable(WexlorBodyStream* s, GCancellable* cancellable) {
  if (cancellable == nullptr) return;
  for (const auto& entry : *s->cancellables) {
    if (entry.first == cancellable) return;
  }
  g_object_ref(cancellable);
  // Calls back at once when it is cancelled already.
  const gulong id = g_cancellable_connect(cancellable, G_CALLBACK(OnReadCancelled), s, nullptr);
  s->cancellables->emplace_back(cancellable, id);
}

GSource* CreateSource(GPollableInputStream* pollable, GCancellable* cancellable) {
  auto* s = WEXLOR_BODY_STREAM(pollable);
  WatchCancellable(s, cancellable);
  GSource* trigger = g_source_new(&kTriggerFuncs, sizeof(TriggerSource));
  reinterpret_cast<TriggerSource*>(trigger)->stream = s;
  s->triggers->push_back(trigger);
  if (Readable(s)) g_source_set_ready_time(trigger, 0);
  GSource* source = g_pollable_source_new_full(pollable, trigger, cancellable);
  g_source_unref(trigger);
  return source;
}

gssize ReadFn(GInputStream* stream, void* buffer, gsize count, GCancellable*, GError** error) {
  return ReadNonblocking(G_POLLABLE_INPUT_STREAM(stream), buffer, count, error);
}

gboolean CloseFn(GInputStream* stream, GCancellable*, GError**) {
  auto* s = WEXLOR_BODY_STREAM(stream);
  if (!s->eof) MarkStopped(*s->link);  // the reader gave up before the end
  return TRUE;
}

}  // namespace

static void wexlor_body_stream_finalize(GObject* object) {
  auto* s = WEXLOR_BODY_STREAM(object);
  if (!s->eof) MarkStopped(*s->link);
  for (GSource* source : *s->triggers) reinterpret_cast<TriggerSource*>(source)->stream = nullptr;
  for (auto& [cancellable, id] : *s->cancellables) {
    g_cancellable_disconnect(cancellable, id);
    g_object_unref(cancellable);
  }
  delete s->cancellables;
  delete s->triggers;
  delete s->chunks;
  delete s->link;
  G_OBJECT_CLASS(wexlor_body_stream_parent_class)->finalize(object);
}

static void wexlor_body_stream_class_init(WexlorBodyStreamClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = wexlor_body_stream_finalize;
  G_INPUT_STREAM_CLASS(klass)->read_fn = ReadFn;
  G_INPUT_STREAM_CLASS(klass)->close_fn = CloseFn;
}

static void wexlor_body_stream_pollable_init(GPollableInputStreamInterface* iface) {
  iface->can_poll = CanPoll;
  iface->is_readable = IsReadable;
  iface->create_source = CreateSource;
  iface->read_nonblocking = ReadNonblocking;
}

static void wexlor_body_stream_init(WexlorBodyStream* s) {
  s->chunks = new std::deque<std::vector<uint8_t>>();
  s->frontOffset = 0;
  s->triggers = new std::vector<GSource*>();
  s->link = new std::shared_ptr<ExchangeLink>();
  s->cancellables = new std::vector<std::pair<GCancellable*, gulong>>();
  s->finished = FALSE;
  s->eof = FALSE;
}

// ---------------------------------------------------------------------------

namespace {

WexlorBodyStream* NewBodyStream(std::shared_ptr<ExchangeLink> link) {
  auto* s = WEXLOR_BODY_STREAM(g_object_new(wexlor_body_stream_get_type(), nullptr));
  *s->link = std::move(link);
  return s;
}

// A complete response with a status and an empty body.
void RespondEmpty(WebKitURISchemeRequest* request, int status) {
  auto link = std::make_shared<ExchangeLink>();
  WexlorBodyStream* stream = NewBodyStream(link);
  stream->finished = TRUE;
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(G_INPUT_STREAM(stream), 0);
  webkit_uri_scheme_response_set_status(response, static_cast<guint>(status),
                                        soup_status_get_phrase(static_cast<guint>(status)));
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
}

// One request handed to the runtime. The runtime calls ReadRequestBody and
// the response operations from any thread; every step that touches WebKit
// runs on the main thread in the order the runtime issued it.
//
// The exchange is shared: the registry holds it while the runtime may use
// its handle, and every queued step holds it until the step has run. The
// last holder releases it on the main thread, where its WebKit objects
// live.
class GtkSchemeExchange : public SchemeExchangeBase,
                          public std::enable_shared_from_this<GtkSchemeExchange> {
 public:
  static std::shared_ptr<GtkSchemeExchange> Create(WebKitURISchemeRequest* request,
                                                   uint32_t windowId, std::vector<uint8_t> body) {
    return std::shared_ptr<GtkSchemeExchange>(
        new GtkSchemeExchange(request, windowId, std::move(body)), [](GtkSchemeExchange* e) {
          if (MainQueue::IsMainThread()) {
            delete e;
          } else {
            MainQueue::Post([e] { delete e; });
          }
        });
  }

  uint64_t ReadRequestBody(uint8_t* dest, uint64_t capacity) override {
    std::lock_guard<std::mutex> lock(bodyMutex_);
    if (capacity == 0 || offset_ >= body_.size()) return 0;
    const uint64_t n = std::min<uint64_t>(capacity, body_.size() - offset_);
    std::memcpy(dest, body_.data() + offset_, n);
    offset_ += n;
    return n;
  }

  void Begin(int32_t status, const char* headers, uint64_t headersLength) override {
    HeaderList parsed = WexlorParseFlatHeaders(headers, headersLength);
    if (InDispatch()) {
      // Sent once the request function returns, with whatever it wrote.
      if (!deferredBegin_) deferredBegin_.emplace(status, std::move(parsed));
      return;
    }
    MainQueue::Post([self = shared_from_this(), status, parsed = std::move(parsed)] {
      self->BeginStep(status, parsed);
    });
  }

  int64_t WriteResponse(const uint8_t* data, uint64_t length) override {
    if (link_->stopped.load()) return -1;
    if (length == 0) return 0;
    {
      // A writer that outruns the page waits here, off the main thread,
      // until the page has read enough; a stop or the application's end
      // releases it at once. The main thread never waits: it queues.
      std::unique_lock<std::mutex> lock(link_->mutex);
      if (!MainQueue::IsMainThread()) {
        while (link_->unread > kHighWaterBytes && !link_->stopped.load() &&
               !MainQueue::Terminating()) {
          link_->drained.wait_for(lock, std::chrono::milliseconds(50));
        }
      }
      if (link_->stopped.load()) return -1;
      link_->unread += length;
    }
    std::vector<uint8_t> chunk(data, data + length);
    // Chunks gather here; one main-thread step moves all that arrived since
    // the last one into the body stream, so a fast writer costs one wakeup
    // per batch, not per chunk.
    bool post;
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      pending_.push_back(std::move(chunk));
      post = !std::exchange(flushPosted_, true);
    }
    // Posted unlocked: posting may wait for room in the main queue. Inside
    // the request function the chunks wait for its end instead.
    if (InDispatch()) {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      flushPosted_ = false;
      post = false;
      deferredWrites_ = true;
    }
    if (post) MainQueue::Post([self = shared_from_this()] { self->Flush(); });
    return static_cast<int64_t>(length);
  }

  void Finish() override {
    finishRequested_.store(true);
    if (InDispatch()) {
      deferredFinish_ = true;  // finished when the request function returns
      return;
    }
    MainQueue::Post([self = shared_from_this()] { self->FinishStep(); });
  }

  // Main thread, around the runtime's request function. What the function
  // did on this thread before returning goes to WebKit in place, with no
  // trip through the main queue: a response finished at once is handed
  // over complete, as one step.
  void BeginDispatch() { inDispatch_ = true; }
  // Steps the runtime issued from other threads meanwhile are queued; what
  // was deferred here without a response begun here queues behind them.
  void EndDispatch() {
    inDispatch_ = false;
    const bool begun = deferredBegin_.has_value();
    if (begun) {
      auto [status, headers] = std::move(*deferredBegin_);
      deferredBegin_.reset();
      BeginStep(status, headers);
    }
    if (deferredFinish_) {
      if (begun) {
        FinishStep();
      } else {
        MainQueue::Post([self = shared_from_this()] { self->FinishStep(); });
      }
    } else if (deferredWrites_) {
      if (begun) {
        Flush();
      } else {
        MainQueue::Post([self = shared_from_this()] { self->Flush(); });
      }
    }
  }

  // Stops the request because its page or window is gone (main thread).
  void StopForGonePage() { MarkStopped(link_); }
  // Whether a response has reached WebKit (main thread).
  bool Answered() const { return stream_ != nullptr; }

 private:
  GtkSchemeExchange(WebKitURISchemeRequest* request, uint32_t windowId, std::vector<uint8_t> body)
      : request_(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request))),
        windowId_(windowId),
        body_(std::move(body)),
        link_(std::make_shared<ExchangeLink>()) {
    link_->exchange = this;
    g_live_exchanges.emplace(windowId_, this);
  }

  ~GtkSchemeExchange() override {
    for (auto [it, end] = g_live_exchanges.equal_range(windowId_); it != end; ++it) {
      if (it->second == this) {
        g_live_exchanges.erase(it);
        break;
      }
    }
    link_->exchange = nullptr;
    if (stream_ != nullptr) g_object_unref(stream_);
    g_object_unref(request_);
  }

  // Only the main thread reads or writes inDispatch_.
  bool InDispatch() const { return MainQueue::IsMainThread() && inDispatch_; }

  void BeginStep(int status, const HeaderList& headers) {
    if (link_->stopped.load() || stream_ != nullptr) return;
    // When the runtime has already written and finished the whole body,
    // WebKit gets it with the response, its length known and the end
    // marked, so its first read is the only one.
    SendResponse(status, headers, finishRequested_.load());
  }

  void FinishStep() {
    Flush();
    if (!link_->stopped.load() && !finished_) {
      if (stream_ == nullptr) SendResponse(404, {});  // no response was begun
      stream_->finished = TRUE;
      Wake(stream_);
    }
    finished_ = true;
  }

  // Moves the chunks written so far into the body stream (main thread).
  void Flush() {
    std::vector<std::vector<uint8_t>> batch;
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      batch.swap(pending_);
      flushPosted_ = false;
    }
    if (batch.empty()) return;
    if (link_->stopped.load() || stream_ == nullptr) {
      // Nobody will read these (written before a response, or after a
      // stop): they no longer count against the writer.
      uint64_t dropped = 0;
      for (const auto& chunk : batch) dropped += chunk.size();
      link_->Consumed(dropped);
      return;
    }
    for (auto& chunk : batch) stream_->chunks->push_back(std::move(chunk));
    Wake(stream_);
  }

  void SendResponse(int status, const HeaderList& headers, bool complete = false) {
    if (status < 100 || status > 599) status = 500;  // not an HTTP status
    stream_ = NewBodyStream(link_);
    GInputStream* body = G_INPUT_STREAM(stream_);
    gint64 knownLength = -1;
    if (complete) {
      Flush();
      knownLength = 0;
      for (const auto& chunk : *stream_->chunks) knownLength += static_cast<gint64>(chunk.size());
      stream_->finished = TRUE;
      // A whole body goes to WebKit as memory, the stream it reads fastest;
      // nothing more can come, so our own stream is done with.
      body = g_memory_input_stream_new();
      for (auto& chunk : *stream_->chunks) {
        auto* held = new std::vector<uint8_t>(std::move(chunk));
        GBytes* bytes = g_bytes_new_with_free_func(
            held->data(), held->size(),
            [](gpointer p) { delete static_cast<std::vector<uint8_t>*>(p); }, held);
        g_memory_input_stream_add_bytes(G_MEMORY_INPUT_STREAM(body), bytes);
        g_bytes_unref(bytes);
      }
      stream_->chunks->clear();
      stream_->eof = TRUE;
      link_->Consumed(static_cast<uint64_t>(knownLength));
    }
    SoupMessageHeaders* soupHeaders = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    gint64 length = -1;
    const char* contentType = nullptr;
    for (const auto& [name, value] : headers) {
      if (!g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr) ||
          !g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr) ||
          name.empty()) {
        continue;  // not valid header text: skipped
      }
      soup_message_headers_replace(soupHeaders, name.c_str(), value.c_str());
    }
    if (const char* cl = soup_message_headers_get_one(soupHeaders, "Content-Length")) {
      char* end = nullptr;
      const long long n = g_ascii_strtoll(cl, &end, 10);
      if (end != cl && *end == '\0' && n >= 0) length = n;
    } else {
      length = knownLength;
    }
    contentType = soup_message_headers_get_one(soupHeaders, "Content-Type");
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(body, length);
    const char* phrase = soup_status_get_phrase(static_cast<guint>(status));
    webkit_uri_scheme_response_set_status(response, static_cast<guint>(status), phrase);
    if (contentType != nullptr) webkit_uri_scheme_response_set_content_type(response, contentType);
    webkit_uri_scheme_response_set_http_headers(response, soupHeaders);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request_, response);
    g_object_unref(response);
    if (body != G_INPUT_STREAM(stream_)) g_object_unref(body);
  }

  WebKitURISchemeRequest* request_;
  const uint32_t windowId_;
  std::mutex bodyMutex_;  // guards the two below
  std::vector<uint8_t> body_;
  uint64_t offset_ = 0;
  bool finished_ = false;  // main thread; the Finish step has run
  std::shared_ptr<ExchangeLink> link_;
  WexlorBodyStream* stream_ = nullptr;  // main thread; set by the response
  std::mutex pendingMutex_;             // guards the two below
  std::vector<std::vector<uint8_t>> pending_;
  bool flushPosted_ = false;
  std::atomic<bool> finishRequested_{false};                 // the runtime has called Finish
  bool inDispatch_ = false;                                  // main thread; in the request function
  bool deferredFinish_ = false;                              // main thread; Finish came in it
  bool deferredWrites_ = false;                              // main thread; writes came in it
  std::optional<std::pair<int, HeaderList>> deferredBegin_;  // main thread
};

// Main thread. Tells the runtime once, then drops the registry's hold: the
// runtime should still call Finish, but an exchange it never finishes is
// not kept alive by a request nobody waits for. The release runs as a
// later step, never inside a stream callback that got us here.
void MarkStopped(const std::shared_ptr<ExchangeLink>& link) {
  if (link->stopped.exchange(true)) return;
  link->WakeWriters();
  if (link->exchange == nullptr) return;
  wexlor_scheme_exchange* handle = link->exchange->AsHandle();
  RuntimeLoader::GetInstance()->NotifySchemeStopped(link->exchange);
  if (auto held = SchemeExchangeBase::Unregister(handle)) {
    MainQueue::Post([held] {});
  }
}

std::vector<uint8_t> ReadWholeBody(WebKitURISchemeRequest* request) {
  std::vector<uint8_t> body;
  GInputStream* stream = webkit_uri_scheme_request_get_http_body(request);
  if (stream == nullptr) return body;
  uint8_t buffer[16384];
  for (;;) {
    const gssize n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, nullptr);
    if (n <= 0) break;
    body.insert(body.end(), buffer, buffer + n);
  }
  g_object_unref(stream);
  return body;
}

// The window whose web view made the request, or 0.
uint32_t WindowOfWebView(WebKitWebView* view) {
  if (view == nullptr) return 0;
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(view));
  if (!GTK_IS_WINDOW(toplevel)) return 0;
  std::lock_guard<std::mutex> lock(g_gtkwindow_mutex);
  auto it = g_gtkwindow_to_wexlor_id.find(GTK_WINDOW(toplevel));
  return it == g_gtkwindow_to_wexlor_id.end() ? 0 : it->second;
}

// ---------------------------------------------------------------------------
// The bridge's own endpoint: calls with buffers come up as POSTs, large
// binary answers go down from one-time URLs.

// A complete response from `body` (taken), readable from any origin: the
// page's own rules decide nothing here, the key and the tokens do.
void RespondWith(WebKitURISchemeRequest* request, int status, GInputStream* body, gint64 length,
                 const char* contentType) {
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(body, length);
  webkit_uri_scheme_response_set_status(response, static_cast<guint>(status),
                                        soup_status_get_phrase(static_cast<guint>(status)));
  webkit_uri_scheme_response_set_content_type(response, contentType);
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  SoupMessageHeaders* asked = webkit_uri_scheme_request_get_http_headers(request);
  const char* origin = asked != nullptr ? soup_message_headers_get_one(asked, "Origin") : nullptr;
  soup_message_headers_replace(headers, "Access-Control-Allow-Origin",
                               origin != nullptr ? origin : "*");
  soup_message_headers_replace(headers, "Cache-Control", "no-store");
  webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(body);
}

void RespondText(WebKitURISchemeRequest* request, int status, const std::string& text) {
  GBytes* bytes = g_bytes_new(text.data(), text.size());
  GInputStream* body = g_memory_input_stream_new_from_bytes(bytes);
  g_bytes_unref(bytes);
  RespondWith(request, status, body, static_cast<gint64>(text.size()), "text/plain; charset=utf-8");
}

// Calls still coming up in parts, by window (main thread).
UploadParts& Uploads() {
  static UploadParts* const uploads = new UploadParts();
  return *uploads;
}

// A call with buffers, or a part of one, from the bridge of the window's
// top document.
void ServeBridgeCall(WebKitURISchemeRequest* request) {
  uint32_t windowId = 0;
  std::string key;
  if (!WexlorBridgeKeyOf(webkit_uri_scheme_request_get_web_view(request), &windowId, &key)) {
    RespondText(request, 403, "");
    return;
  }
  GInputStream* stream = webkit_uri_scheme_request_get_http_body(request);
  if (stream == nullptr) {
    RespondText(request, 403, "");
    return;
  }
  gint64 size = -1;
  if (G_IS_SEEKABLE(stream) && g_seekable_can_seek(G_SEEKABLE(stream))) {
    const goffset start = g_seekable_tell(G_SEEKABLE(stream));
    if (g_seekable_seek(G_SEEKABLE(stream), 0, G_SEEK_END, nullptr, nullptr)) {
      size = g_seekable_tell(G_SEEKABLE(stream)) - start;
      if (!g_seekable_seek(G_SEEKABLE(stream), start, G_SEEK_SET, nullptr, nullptr)) size = -1;
    }
  }
  bool more = false;
  BridgeMessage message = Uploads().Add(
      windowId,
      [stream](uint8_t* dest, size_t capacity) -> int64_t {
        gsize n = 0;
        if (!g_input_stream_read_all(stream, dest, capacity, &n, nullptr, nullptr)) return -1;
        return static_cast<int64_t>(n);
      },
      size, key, &more);
  g_object_unref(stream);
  if (more) {
    RespondText(request, 204, "");  // the page sends the next part
    return;
  }
  switch (message.kind) {
    case BridgeMessage::Kind::kDrop:
      RespondText(request, 403, "");
      break;
    case BridgeMessage::Kind::kReject:
      RespondText(request, 400, message.error);
      break;
    case BridgeMessage::Kind::kCall:
      // Queued for the runtime before the page hears back, so its next
      // call, whichever way it goes, comes after this one.
      RuntimeLoader::GetInstance()->OnJsCall(windowId, message.callId, message.method,
                                             std::move(message.args));
      RespondText(request, 204, "");
      break;
  }
}

// The bytes of an answer, once, to the window they were kept for.
void ServeBridgeBytes(WebKitURISchemeRequest* request, const char* uri) {
  const uint32_t windowId = WindowOfWebView(webkit_uri_scheme_request_get_web_view(request));
  std::optional<OutgoingBytes> bytes;
  if (windowId != 0) bytes = BytesStore::Get().Take(windowId, uri);
  if (!bytes) {
    RespondText(request, 404, "");
    return;
  }
  // The values' own memory, no copy: each piece holds its value.
  GInputStream* body = g_memory_input_stream_new();
  for (auto& buffer : bytes->buffers) {
    const auto& data = buffer->GetBinary().bytes;
    if (data.empty()) continue;
    auto* holder = new std::shared_ptr<wexlor::Value>(buffer);
    GBytes* piece = g_bytes_new_with_free_func(
        data.data(), data.size(),
        [](gpointer p) { delete static_cast<std::shared_ptr<wexlor::Value>*>(p); }, holder);
    g_memory_input_stream_add_bytes(G_MEMORY_INPUT_STREAM(body), piece);
    g_bytes_unref(piece);
  }
  RespondWith(request, 200, body, static_cast<gint64>(bytes->total), "application/octet-stream");
}

void ServeBridgeEndpoint(WebKitURISchemeRequest* request, const char* uri) {
  const char* method = webkit_uri_scheme_request_get_http_method(request);
  const std::string_view path = std::string_view(uri).substr(sizeof kBridgeEndpoint - 1);
  const bool post = method != nullptr && g_ascii_strcasecmp(method, "POST") == 0;
  if (post && path == kBridgeCallPath) {
    ServeBridgeCall(request);
  } else if (!post && path.substr(0, sizeof kBridgeBytesPath - 1) == kBridgeBytesPath) {
    ServeBridgeBytes(request, uri);
  } else {
    RespondText(request, 404, "");
  }
}

}  // namespace

void WexlorHandleAppSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
  if (const char* uri = webkit_uri_scheme_request_get_uri(request);
      uri != nullptr && IsBridgeEndpoint(uri)) {
    ServeBridgeEndpoint(request, uri);  // the host's own: never the runtime's
    return;
  }
  const uint32_t windowId = WindowOfWebView(webkit_uri_scheme_request_get_web_view(request));
  if (windowId == 0) {
    RespondEmpty(request, 404);  // the window is gone: answered, never dispatched
    return;
  }
  const char* method = webkit_uri_scheme_request_get_http_method(request);
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  HeaderList headers;
  if (SoupMessageHeaders* h = webkit_uri_scheme_request_get_http_headers(request)) {
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, h);
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value)) headers.emplace_back(name, value);
  }
  auto exchange = GtkSchemeExchange::Create(request, windowId, ReadWholeBody(request));
  exchange->BeginDispatch();
  RuntimeLoader::GetInstance()->DispatchSchemeRequest(
      windowId, exchange, method != nullptr ? method : "GET", uri != nullptr ? uri : "",
      WexlorFlattenHeaders(headers));
  exchange->EndDispatch();
}

void WexlorStopAppSchemeRequests(uint32_t windowId, bool unansweredOnly) {
  // Bytes kept for the old document, or coming from it, are no use to the
  // next one.
  BytesStore::Get().DropWindow(windowId);
  Uploads().DropWindow(windowId);
  std::vector<std::shared_ptr<GtkSchemeExchange>> open;
  for (auto [it, end] = g_live_exchanges.equal_range(windowId); it != end; ++it) {
    // Skips one whose last holder is already gone and whose release is queued.
    auto held = it->second->weak_from_this().lock();
    if (held && !(unansweredOnly && held->Answered())) open.push_back(std::move(held));
  }
  for (auto& exchange : open) exchange->StopForGonePage();
}
