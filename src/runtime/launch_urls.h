// The URLs and files launches hand the application, kept until the runtime
// registers its handler and then delivered on the main thread, one call per
// launch, oldest first.
#pragma once

#include <string>
#include <vector>

#include "wexlor/wexlor.h"

namespace launch_urls {

// One launch's URLs. Main thread (the shell). Delivered at once when a
// handler is registered, else kept.
void Deliver(std::vector<std::string> urls);

// Registers the runtime's handler from any thread. Waits while the handler
// runs on another thread. With a host user interface, kept launches are
// delivered on the main thread afterwards.
void SetHandler(wexlor_open_urls_handler handler, void* userData);

// The number of launches waiting for a handler (tests).
size_t PendingCount();

}  // namespace launch_urls
