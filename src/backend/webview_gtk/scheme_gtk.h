// Serving the "app" scheme: each request becomes an exchange that the
// runtime answers by streaming a response.
#pragma once

#include <webkit2/webkit2.h>

#include <cstdint>

// The web context's handler for "app" requests (main thread).
void WexlorHandleAppSchemeRequest(WebKitURISchemeRequest* request, gpointer userData);

// Stops a window's open requests: the runtime is told, and their handles
// stop working (main thread). When the window is gone, all of them; when a
// new document has replaced its page, those with no response yet, which
// can only belong to the old document (the new one's own response has
// already been given).
void WexlorStopAppSchemeRequests(uint32_t windowId, bool unansweredOnly = false);
