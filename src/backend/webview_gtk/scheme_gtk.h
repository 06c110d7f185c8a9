// Serving the "app" scheme: each request becomes an exchange that the
// runtime answers by streaming a response.
#pragma once

#include <webkit2/webkit2.h>

#include <cstdint>

// The web context's handler for "app" requests (main thread).
void WexlorHandleAppSchemeRequest(WebKitURISchemeRequest* request, gpointer userData);

// Stops every request of a window that is gone, answered or not: the runtime
// is told, and its handles stop working (main thread).
void WexlorStopAppSchemeRequests(uint32_t windowId);
