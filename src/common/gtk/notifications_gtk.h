// Notifications and the notification permission on the desktop's
// notification service (org.freedesktop.Notifications on the session bus).
// The entry points may be called from any thread; the work, the service
// calls and every report to the runtime happen on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/notifications.h"

namespace wexlor_common {

// Posts the notification and returns its fresh identifier at once.
uint32_t ShowNotificationGtk(NotificationOptions options, wexlor_notification_handler handler,
                             void* userData);
void CloseNotificationGtk(uint32_t id);

// Kind 1 (notifications): granted (0) when the notification service runs
// or can be started on the session bus, otherwise unsupported (3); there
// is nothing to ask the user. Other kinds: unsupported. The handler, when
// set, is called once on the main thread.
void QueryPermissionGtk(int kind, wexlor_permission_handler handler, void* userData);
void RequestPermissionGtk(int kind, wexlor_permission_handler handler, void* userData);

// Main thread only: tells `done`, later and on the main thread, whether the
// notification service exists.
void QueryNotificationServiceGtk(std::function<void(bool)> done);

// Main thread only: the activation token the service sent with the latest
// click on one of our notifications, if recent; taken, so it is used once.
std::string TakeActivationTokenGtk();

}  // namespace wexlor_common
