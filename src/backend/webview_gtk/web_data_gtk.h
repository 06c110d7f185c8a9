// What the web views keep and allow: the application's private website
// data profile and its cookies, the inspector, drops and the pages'
// permission requests. Main thread only.
#pragma once

#include <webkit2/webkit2.h>

#include <cstdint>
#include <string>

// The application's website data manager, made once: a profile of its own
// (see web_profile.h), or ephemeral with WEXLOR_EPHEMERAL=1. The caller
// takes a reference.
WebKitWebsiteDataManager* WexlorNewWebsiteDataManager();
// What needs the context made: cookies stored in the profile.
void WexlorSetUpWebsiteData(WebKitWebContext* context);

// Prepares a new web view of window `windowId`: the inspector off unless
// WEXLOR_DEVTOOLS=1, drops delivered to the runtime and never followed.
void WexlorSetUpWebView(WebKitWebView* view, uint32_t windowId);
// Turns the view's inspector on for good (OpenDevTools).
void WexlorEnableInspector(WebKitWebView* view);
// The runtime navigates the view to `uri`: that navigation is never taken
// for the engine following a drop of the same link.
void WexlorNoteRuntimeNavigation(WebKitWebView* view, const std::string& uri);
// True when a navigation to `uri` is the engine following what was just
// dropped on the view; the caller ignores it.
bool WexlorIsDropNavigation(WebKitWebView* view, const char* uri);
// Answers a permission request other than notifications: the runtime's
// handler decides; without one it is denied with one line on standard
// error. Returns TRUE (handled).
gboolean WexlorDecidePagePermission(WebKitWebView* view, WebKitPermissionRequest* request);
