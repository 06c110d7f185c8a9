// WebDriver automation: a WebDriver server (WebKitWebDriver) drives the
// application's own windows through the engine's automation session. Off
// unless asked for. Main thread only.
#pragma once

#include <webkit2/webkit2.h>

// Decides once, before the first window, whether automation is on: when
// WEXLOR_AUTOMATION is set to something other than "" or "0", or when the
// command line has --automation. Says on standard error when it is on but no
// driver can connect (WEBKIT_INSPECTOR_SERVER unset), and when a driver may
// be waiting for it (WEBKIT_INSPECTOR_SERVER set) but it is off.
void ConfigureAutomation(bool requestedOnCommandLine);

// Whether web views are made controlled by automation.
bool AutomationEnabled();

// Allows automation on the application's web context and answers its
// sessions; does nothing when automation is off.
void SetUpAutomation(WebKitWebContext* context);

// Makes the web view of a runtime window one of the session's browsing
// contexts: the first such view is where a session starts, and a close from
// the session goes to the runtime like a click on the window's close button.
void WatchAutomatedWebView(WebKitWebView* view);
