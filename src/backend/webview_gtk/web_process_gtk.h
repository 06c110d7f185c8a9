// Web content processes: the web context's memory limit and sandbox, and
// what a window does when its page's process ends or stops answering.
// Main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <string>

struct GtkWindowState;

// The memory limit of web processes, for the web context's construction, or
// null for none. The caller frees it.
WebKitMemoryPressureSettings* WexlorWebProcessMemorySettings();
// Turns the web-process sandbox on unless it is switched off or cannot work
// on this machine; call before any web process starts.
void WexlorSetUpWebProcessSandbox(WebKitWebContext* context);

// Watches the web process of a new window's web view; the handlers are
// added to the window's signal list.
void WexlorWatchWebProcess(GtkWindowState& state);
// The runtime loaded HTML text (`html`) or, with null, a URL into the view:
// what the host loads again after the process ends.
void WexlorNoteRuntimeLoad(WebKitWebView* view, const std::string* html);
// True from the end of the view's web process until a new page commits.
bool WexlorWebProcessGone(WebKitWebView* view);
// The same for the web view of a host window.
bool WexlorPageOfWindowGone(GtkWindow* window);
// The view's main frame committed a document. Returns false for the host's
// own error page, which is not a page of the application.
bool WexlorWebProcessPageCommitted(WebKitWebView* view);
// True while the host's own error page is shown; its load is not reported.
bool WexlorShowsWebProcessErrorPage(WebKitWebView* view);

// What ExecuteJs reports for a window whose page has lost its process.
inline constexpr const char* kWebProcessEndedError = "The page's web process has ended";
