#include "backend/webview_gtk/event_monitors.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "backend/webview_gtk/gtk_webview_backend.h"
#include "backend/webview_gtk/web_process_gtk.h"
#include "common/key_names.h"
#include "runtime/runtime_loader.h"
#include "wexlor/wexlor.h"

namespace {

RuntimeLoader* Loader() { return RuntimeLoader::GetInstance(); }

bool g_installed = false;  // set by the first install, never cleared
bool g_hooked = false;     // our handler is the one GDK calls

// Asynchronous input methods put key events they did not consume back into
// the queue, marked with these otherwise unused state bits (see
// DispatchKey).
constexpr guint kReinjectedKeyMask = (1u << 24) | (1u << 25);

// Hardware key codes of keys currently held, to tell auto-repeat presses
// from new ones (X repeats a held key as presses without releases).
std::unordered_set<guint16> g_keysDown;

// A button press waits here until the next event shows whether GDK follows
// it with a double- or triple-press event, so that every physical press is
// reported once, with its click count.
struct PendingPress {
  bool active = false;
  uint32_t windowId = 0;
  guint gdkButton = 0;
  guint32 time = 0;
  double x = 0, y = 0;
  uint32_t modifiers = 0;
};
PendingPress g_pending;
guint g_pendingFlushSource = 0;
// Click count of the last reported press of each GDK button, repeated by
// its release.
std::unordered_map<guint, int32_t> g_pressClickCount;

constexpr const char* kPointerInsideKey = "wexlor-pointer-inside";

// ---------------------------------------------------------------------------
// Input methods
//
// The web view hands each key to its input method context (a
// GtkIMMulticontext) while an editable element has focus. The class's
// functions are wrapped to see which keys the input method takes, judged
// as the web view judges them for the page: handled, and not merely
// committed as typed text without a composition (as GTK's simple input
// method does for every ordinary key). Those keys are reported as
// "Process", as UI Events names them.

constexpr char kProcessKey[] = "Process";
constexpr const char* kImWatchedKey = "wexlor-im-watched";

GtkIMContextClass* g_imClass = nullptr;
gboolean (*g_imFilter)(GtkIMContext*, GdkEventKey*) = nullptr;
void (*g_imFocusIn)(GtkIMContext*) = nullptr;
void (*g_imFocusOut)(GtkIMContext*) = nullptr;
// Contexts with focus (compared only); keys are reported after GTK's
// dispatch only while one has it.
std::unordered_set<GtkIMContext*> g_imFocused;

// What the input method did during the filter call in progress.
struct ImCall {
  bool active = false;
  bool committed = false;
  bool preeditChanged = false;
};
ImCall g_imCall;
// Set when an input method takes the key GTK is dispatching.
bool g_keyTaken = false;

void WatchImContext(GtkIMContext* context) {
  if (g_object_get_data(G_OBJECT(context), kImWatchedKey) != nullptr) return;
  g_object_set_data(G_OBJECT(context), kImWatchedKey, GINT_TO_POINTER(1));
  g_signal_connect(context, "commit", G_CALLBACK(+[](GtkIMContext*, gchar*, gpointer) {
                     if (g_imCall.active) g_imCall.committed = true;
                   }),
                   nullptr);
  g_signal_connect(context, "preedit-changed", G_CALLBACK(+[](GtkIMContext*, gpointer) {
                     if (g_imCall.active) g_imCall.preeditChanged = true;
                   }),
                   nullptr);
  g_object_weak_ref(
      G_OBJECT(context),
      [](gpointer, GObject* gone) { g_imFocused.erase(reinterpret_cast<GtkIMContext*>(gone)); },
      nullptr);
}

gboolean FilterThroughIm(GtkIMContext* context, GdkEventKey* event) {
  WatchImContext(context);
  const ImCall outer = g_imCall;
  g_imCall = {true, false, false};
  const gboolean handled = g_imFilter(context, event);
  if (handled && (!g_imCall.committed || g_imCall.preeditChanged)) g_keyTaken = true;
  g_imCall = outer;
  return handled;
}

void FocusImIn(GtkIMContext* context) {
  WatchImContext(context);
  g_imFocused.insert(context);
  g_imFocusIn(context);
}

void FocusImOut(GtkIMContext* context) {
  g_imFocused.erase(context);
  g_imFocusOut(context);
}

void WrapInputMethods() {
  g_imClass = GTK_IM_CONTEXT_CLASS(g_type_class_ref(GTK_TYPE_IM_MULTICONTEXT));
  g_imFilter = g_imClass->filter_keypress;
  g_imFocusIn = g_imClass->focus_in;
  g_imFocusOut = g_imClass->focus_out;
  g_imClass->filter_keypress = FilterThroughIm;
  g_imClass->focus_in = FocusImIn;
  g_imClass->focus_out = FocusImOut;
}

// One key report. An asynchronous input method (ibus or fcitx in their
// default mode) takes every key at first and puts those it does not want
// back into the queue, marked; the page then sees the key a second time, as
// the ordinary key. Keys reported as taken wait in g_takenKeys for a copy.
struct KeyReport {
  guint16 keycode;
  GdkEventType type;
  guint32 time;
  std::string name;
  const char* code;
  uint32_t windowId;
  uint32_t modifiers;
  bool repeat;
};
std::deque<KeyReport> g_takenKeys;
constexpr size_t kTakenKeysKept = 64;

// ---------------------------------------------------------------------------
// Attribution and coordinates

struct HostWindow {
  uint32_t id = 0;
  GtkWindow* window = nullptr;
};

// The host window an event's GdkWindow belongs to; id 0 when it is not one
// of the host's windows (dialogs, menus, tooltips). With `unlessGrabbed`,
// also 0 while GTK's grab belongs to another window (a modal dialog or an
// open menu), since the window's content then receives no input. Also 0
// while the window's page has lost its web process: input reaches no page.
HostWindow FindHostWindow(GdkWindow* gdkWindow, bool unlessGrabbed = true) {
  HostWindow host;
  if (gdkWindow == nullptr) return host;
  gpointer owner = nullptr;
  gdk_window_get_user_data(gdk_window_get_toplevel(gdkWindow), &owner);
  if (owner == nullptr || !GTK_IS_WINDOW(owner)) return host;
  if (unlessGrabbed) {
    GtkWidget* grab = gtk_window_group_get_current_grab(gtk_window_get_group(GTK_WINDOW(owner)));
    if (grab != nullptr && gtk_widget_get_toplevel(grab) != owner) return host;
  }
  std::lock_guard<std::mutex> lock(g_gtkwindow_mutex);
  auto it = g_gtkwindow_to_wexlor_id.find(GTK_WINDOW(owner));
  if (it == g_gtkwindow_to_wexlor_id.end()) return host;
  if (WexlorPageOfWindowGone(GTK_WINDOW(owner))) return host;
  host.id = it->second;
  host.window = GTK_WINDOW(owner);
  return host;
}

void FindWebViewIn(GtkWidget* widget, gpointer result) {
  auto* found = static_cast<GtkWidget**>(result);
  if (*found != nullptr) return;
  if (WEBKIT_IS_WEB_VIEW(widget)) {
    *found = widget;
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), FindWebViewIn, result);
  }
}

GtkWidget* WebViewOf(GtkWindow* window) {
  GtkWidget* found = nullptr;
  gtk_container_forall(GTK_CONTAINER(window), FindWebViewIn, &found);
  return found;
}

// Converts a point of a GdkWindow to its toplevel's coordinates.
GdkWindow* ToToplevel(GdkWindow* window, double* x, double* y) {
  while (window != nullptr && gdk_window_get_window_type(window) == GDK_WINDOW_CHILD) {
    int left = 0, top = 0;
    gdk_window_get_position(window, &left, &top);
    *x += left;
    *y += top;
    window = gdk_window_get_parent(window);
  }
  return window;
}

// An event's position relative to the top-left of the window's web view,
// y growing downward. Without a realized web view, relative to the window.
void ContentPoint(const HostWindow& host, GdkEvent* event, double* x, double* y) {
  *x = 0;
  *y = 0;
  gdk_event_get_coords(event, x, y);
  GdkWindow* top = ToToplevel(event->any.window, x, y);
  GtkWidget* webView = WebViewOf(host.window);
  GdkWindow* viewWindow = webView != nullptr ? gtk_widget_get_window(webView) : nullptr;
  if (viewWindow == nullptr) return;
  double left = 0, viewTop = 0;
  if (!gtk_widget_get_has_window(webView)) {
    GtkAllocation allocation;
    gtk_widget_get_allocation(webView, &allocation);
    left = allocation.x;
    viewTop = allocation.y;
  }
  if (ToToplevel(viewWindow, &left, &viewTop) != top) return;
  *x -= left;
  *y -= viewTop;
}

// 1 Shift, 2 Control, 4 Alt, 8 Super or Meta. Meta counts only when it is
// not the modifier Alt already sets (GDK does not derive it from Mod1).
uint32_t ModifierBits(GdkEvent* event) {
  GdkModifierType state = static_cast<GdkModifierType>(0);
  gdk_event_get_state(event, &state);
  GdkDisplay* display = event->any.window != nullptr ? gdk_window_get_display(event->any.window)
                                                     : gdk_display_get_default();
  gdk_keymap_add_virtual_modifiers(gdk_keymap_get_for_display(display), &state);
  uint32_t bits = 0;
  if (state & GDK_SHIFT_MASK) bits |= WEXLOR_MOD_SHIFT;
  if (state & GDK_CONTROL_MASK) bits |= WEXLOR_MOD_CONTROL;
  if (state & GDK_MOD1_MASK) bits |= WEXLOR_MOD_ALT;
  if (state & (GDK_SUPER_MASK | GDK_META_MASK)) bits |= WEXLOR_MOD_META;
  return bits;
}

// GDK numbers buttons as X does: 1 left, 2 middle, 3 right, 8 back, 9
// forward. Reports number them primary 0, secondary 1, middle 2, then 3, 4.
int32_t ButtonNumber(guint gdkButton) {
  switch (gdkButton) {
    case 1:
      return 0;
    case 3:
      return 1;
    case 2:
      return 2;
    case 8:
      return 3;
    case 9:
      return 4;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Reports

void ReportPress(const PendingPress& press, int32_t clickCount) {
  g_pressClickCount[press.gdkButton] = clickCount;
  Loader()->mouseClickHandler_.Call(press.windowId, int32_t{0}, ButtonNumber(press.gdkButton),
                                    press.x, press.y, press.modifiers, clickCount);
}

void FlushPendingPress() {
  if (!g_pending.active) return;
  const PendingPress press = g_pending;
  g_pending.active = false;
  ReportPress(press, 1);
}

// Runs once the event queue is empty: no double press followed.
gboolean OnPendingPressIdle(gpointer) {
  g_pendingFlushSource = 0;
  FlushPendingPress();
  return G_SOURCE_REMOVE;
}

void ReportKey(const KeyReport& key, const char* name) {
  Loader()->keyboardHandler_.Call(key.windowId, int32_t{key.type == GDK_KEY_PRESS ? 0 : 1}, name,
                                  key.code, key.modifiers, key.repeat);
}

// The report of a key event of a host window, or nothing.
std::optional<KeyReport> DescribeKey(GdkEvent* event) {
  const GdkEventKey& key = event->key;
  if (key.is_modifier || wexlor_common::IsModifierKeysym(key.keyval)) return std::nullopt;
  const bool down = key.type == GDK_KEY_PRESS;
  bool repeat = false;
  if (down) {
    repeat = !g_keysDown.insert(key.hardware_keycode).second;
  } else {
    g_keysDown.erase(key.hardware_keycode);
  }

  const HostWindow host = FindHostWindow(key.window);
  if (host.id == 0) return std::nullopt;
  std::string text;
  if (const gunichar c = gdk_keyval_to_unicode(key.keyval); c != 0) {
    char utf8[8] = {};
    text.assign(utf8, g_unichar_to_utf8(c, utf8));
  }
  return KeyReport{key.hardware_keycode,
                   key.type,
                   key.time,
                   wexlor_common::GdkKeyToKey(key.keyval, text),
                   wexlor_common::X11KeycodeToCode(key.hardware_keycode),
                   host.id,
                   ModifierBits(event),
                   repeat};
}

// The taken key a marked copy stands for, taken out of the waiting list.
std::optional<KeyReport> TakeWaitingKey(const GdkEventKey& copy) {
  for (auto it = g_takenKeys.begin(); it != g_takenKeys.end(); ++it) {
    if (it->keycode == copy.hardware_keycode && it->type == copy.type && it->time == copy.time) {
      KeyReport key = std::move(*it);
      g_takenKeys.erase(it);
      return key;
    }
  }
  return std::nullopt;
}

// Keys are reported before GTK handles them, except while an input method
// has focus: then once it has said whether it takes the key.
void DispatchKey(GdkEvent* event) {
  const bool copy = (event->key.state & kReinjectedKeyMask) != 0;
  // A marked copy of a key not reported as taken was reported already.
  std::optional<KeyReport> key = copy ? TakeWaitingKey(event->key) : DescribeKey(event);
  if (key && !copy && g_imFocused.empty()) {
    ReportKey(*key, key->name.c_str());
    key.reset();
  }
  const bool outer = g_keyTaken;
  g_keyTaken = false;
  gtk_main_do_event(event);
  const bool taken = g_keyTaken && !copy;
  g_keyTaken = outer;
  if (!key) return;
  ReportKey(*key, taken ? kProcessKey : key->name.c_str());
  if (taken) {
    g_takenKeys.push_back(std::move(*key));
    if (g_takenKeys.size() > kTakenKeysKept) g_takenKeys.pop_front();
  }
}

void OnButtonPress(GdkEvent* event) {
  const HostWindow host = FindHostWindow(event->any.window);
  if (host.id == 0) return;
  g_pending.active = true;
  g_pending.windowId = host.id;
  g_pending.gdkButton = event->button.button;
  g_pending.time = event->button.time;
  ContentPoint(host, event, &g_pending.x, &g_pending.y);
  g_pending.modifiers = ModifierBits(event);
  if (g_pendingFlushSource == 0) {
    g_pendingFlushSource =
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, OnPendingPressIdle, nullptr, nullptr);
  }
}

// GDK's extra event after the second or third press of a multiple click;
// the physical press it describes is the pending one.
void OnMultiPress(GdkEvent* event, int32_t clickCount) {
  if (!g_pending.active || g_pending.gdkButton != event->button.button ||
      g_pending.time != event->button.time) {
    return;
  }
  const PendingPress press = g_pending;
  g_pending.active = false;
  ReportPress(press, clickCount);
}

void OnButtonRelease(GdkEvent* event) {
  const HostWindow host = FindHostWindow(event->any.window);
  if (host.id == 0) return;
  double x, y;
  ContentPoint(host, event, &x, &y);
  const guint button = event->button.button;
  auto it = g_pressClickCount.find(button);
  const int32_t clickCount = it != g_pressClickCount.end() ? it->second : 1;
  Loader()->mouseClickHandler_.Call(host.id, int32_t{1}, ButtonNumber(button), x, y,
                                    ModifierBits(event), clickCount);
}

void OnMotion(GdkEvent* event) {
  const HostWindow host = FindHostWindow(event->any.window);
  if (host.id == 0) return;
  double x, y;
  ContentPoint(host, event, &x, &y);
  Loader()->mouseMoveHandler_.Call(host.id, x, y, ModifierBits(event));
}

void OnScroll(GdkEvent* event) {
  const HostWindow host = FindHostWindow(event->any.window);
  if (host.id == 0) return;
  double dx = 0, dy = 0;
  int32_t lineFlag = 1;
  GdkScrollDirection direction;
  if (gdk_event_get_scroll_deltas(event, &dx, &dy)) {
    // Smooth deltas: a mouse wheel still moves in notches; touchpads,
    // trackpoints and the like are precise.
    GdkDevice* device = gdk_event_get_source_device(event);
    lineFlag = device != nullptr && gdk_device_get_source(device) == GDK_SOURCE_MOUSE ? 1 : 0;
  } else if (gdk_event_get_scroll_direction(event, &direction)) {
    switch (direction) {
      case GDK_SCROLL_UP:
        dy = -1;
        break;
      case GDK_SCROLL_DOWN:
        dy = 1;
        break;
      case GDK_SCROLL_LEFT:
        dx = -1;
        break;
      case GDK_SCROLL_RIGHT:
        dx = 1;
        break;
      default:
        break;
    }
  }
  double x, y;
  ContentPoint(host, event, &x, &y);
  Loader()->wheelHandler_.Call(host.id, dx, dy, x, y, ModifierBits(event), lineFlag);
}

// Enter and leave of the web view. Only crossings of the web view's own
// GdkWindow count, and not those to or from a window inside it; a report is
// made only when the state changes.
void OnCrossing(GdkEvent* event) {
  // Reported even under another window's grab, so that no leave is lost.
  const HostWindow host = FindHostWindow(event->any.window, false);
  if (host.id == 0) return;
  GtkWidget* webView = WebViewOf(host.window);
  if (webView == nullptr || gtk_widget_get_window(webView) != event->crossing.window) return;
  if (event->crossing.detail == GDK_NOTIFY_INFERIOR) return;
  const bool entered = event->type == GDK_ENTER_NOTIFY;
  const bool inside = g_object_get_data(G_OBJECT(host.window), kPointerInsideKey) != nullptr;
  if (entered == inside) return;
  g_object_set_data(G_OBJECT(host.window), kPointerInsideKey,
                    entered ? GINT_TO_POINTER(1) : nullptr);
  double x, y;
  ContentPoint(host, event, &x, &y);
  Loader()->cursorEnterLeaveHandler_.Call(host.id, int32_t{entered ? 1 : 0}, x, y,
                                          ModifierBits(event));
}

void Observe(GdkEvent* event) {
  switch (event->type) {
    case GDK_2BUTTON_PRESS:
      OnMultiPress(event, 2);
      return;
    case GDK_3BUTTON_PRESS:
      OnMultiPress(event, 3);
      return;
    default:
      break;
  }
  FlushPendingPress();
  switch (event->type) {
    case GDK_BUTTON_PRESS:
      OnButtonPress(event);
      break;
    case GDK_BUTTON_RELEASE:
      OnButtonRelease(event);
      break;
    case GDK_MOTION_NOTIFY:
      OnMotion(event);
      break;
    case GDK_SCROLL:
      OnScroll(event);
      break;
    case GDK_ENTER_NOTIFY:
    case GDK_LEAVE_NOTIFY:
      OnCrossing(event);
      break;
    case GDK_FOCUS_CHANGE:
      // Keys released while another application has the focus are never
      // seen; forget them so their next press is not taken for a repeat.
      if (!event->focus_change.in) g_keysDown.clear();
      break;
    default:
      break;
  }
}

// GTK's own handling, as it was before the hook was installed.
void PassToGtk(GdkEvent* event, gpointer) { gtk_main_do_event(event); }

void OnGdkEvent(GdkEvent* event, gpointer) {
  if (event->type == GDK_KEY_PRESS || event->type == GDK_KEY_RELEASE) {
    FlushPendingPress();
    DispatchKey(event);
    return;
  }
  Observe(event);
  gtk_main_do_event(event);
}

}  // namespace

void InstallGlobalMonitors() {
  if (g_installed) return;
  g_installed = true;
  WrapInputMethods();
  gdk_event_handler_set(OnGdkEvent, nullptr, nullptr);
  g_hooked = true;
}

void PrepareInputMethods() {
  // ibus then answers each key before GTK goes on, instead of taking every
  // key and putting back those it does not want; its key snooper would
  // take keys before the web view's context sees them.
  g_setenv("IBUS_ENABLE_SYNC_MODE", "1", FALSE);
  g_setenv("IBUS_DISABLE_SNOOPER", "1", FALSE);
}

void RemoveGlobalMonitors() {
  if (!g_hooked) return;
  g_hooked = false;
  gdk_event_handler_set(PassToGtk, nullptr, nullptr);
  if (g_pendingFlushSource != 0) {
    g_source_remove(g_pendingFlushSource);
    g_pendingFlushSource = 0;
  }
  g_pending.active = false;
  g_keysDown.clear();
  g_pressClickCount.clear();
  g_takenKeys.clear();
}
