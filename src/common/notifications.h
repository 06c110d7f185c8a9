// Notification requests and the bookkeeping every platform shell shares:
// the options record read from a value tree, the identifier counter, the
// request identifier and the registry of live notifications.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "wexlor/wexlor.h"

namespace wexlor_common {

struct NotificationAction {
  std::string id;
  std::string title;
};

struct NotificationOptions {
  std::string title;
  std::string body;
  std::string tag;
  bool silent = false;
  bool require_interaction = false;
  std::vector<NotificationAction> actions;
  std::vector<uint8_t> icon;
};

// Reads the options dictionary through the table's value functions and
// releases the handle, whatever its type. A null handle gives an empty
// record; malformed fields take their defaults.
NotificationOptions ParseNotificationOptions(wexlor_value* options, const wexlor_backend_api* api);

// Events reported to a notification's handler.
enum NotificationEvent : int32_t {
  kNotificationPresented = 0,  // shown while the application is active
  kNotificationClicked = 1,    // the body was clicked
  kNotificationEnded = 2,      // dismissed, withdrawn or never shown
  kNotificationAction = 3,     // a button was chosen; carries its id
};

// A fresh notification identifier from the process-wide counter: 1, 2, ...,
// never reused. Safe on any thread.
uint32_t NextNotificationId();

// The key under which a notification is posted: the tag when there is
// one, else "wexlor.notif.<id>".
std::string NotificationRequestId(const std::string& tag, uint32_t id);

struct NotificationEntry {
  std::string requestId;
  wexlor_notification_handler callback = nullptr;
  void* userData = nullptr;
  std::vector<std::string> actionIds;
};

// Live notifications by identifier, indexed by request identifier. Used on
// the main thread only. Reports copy what they need first, so a handler may
// post or close notifications while it runs.
class NotificationRegistry {
 public:
  // Stores `entry` under `id`. A live notification with the same request
  // identifier is replaced: it is dropped without an event, and its
  // identifier is returned (0 when there was none).
  uint32_t Add(uint32_t id, NotificationEntry entry);
  const NotificationEntry* Find(uint32_t id) const;
  // The live notification posted under `requestId`, or 0.
  uint32_t Lookup(const std::string& requestId) const;
  // Calls the handler of a live notification with `event`; false when `id`
  // names none.
  bool Report(uint32_t id, int32_t event) const;
  // Reports the button at `index` of the notification's actions (event 3
  // with its id); false when there is no such notification or button.
  bool ReportAction(uint32_t id, size_t index) const;
  // Drops a live notification and reports that it ended; false (and no
  // report) when `id` names none, so every notification ends once.
  bool End(uint32_t id);
  // Drops a live notification without a report.
  bool Remove(uint32_t id);
  std::vector<uint32_t> Ids() const;
  size_t size() const { return entries_.size(); }

 private:
  std::map<uint32_t, NotificationEntry> entries_;
  std::map<std::string, uint32_t> index_;
};

// The process-wide registry.
NotificationRegistry& Notifications();

}  // namespace wexlor_common
