// Serving the "app" scheme: each request becomes an exchange that the
// runtime answers by streaming a response.
#pragma once

#include <webkit2/webkit2.h>

// The web context's handler for "app" requests (main thread).
void WexlorHandleAppSchemeRequest(WebKitURISchemeRequest* request, gpointer userData);
