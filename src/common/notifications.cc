#include "common/notifications.h"

#include "common/table_values.h"

#include <atomic>

namespace wexlor_common {
namespace {

std::atomic<uint32_t> g_next_notif_id{1};

void ReadActions(const wexlor_backend_api* api, wexlor_value* dict,
                 std::vector<NotificationAction>& actions) {
  wexlor_value* list = api->ValueDictGet(dict, "actions");
  if (list != nullptr && api->ValueIsList(list)) {
    const size_t count = api->ValueListSize(list);
    actions.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      wexlor_value* element = api->ValueListGet(list, i);
      if (element != nullptr && api->ValueIsDict(element)) {
        NotificationAction action{DictString(api, element, "id"),
                                  DictString(api, element, "title")};
        if (!action.id.empty() && !action.title.empty()) actions.push_back(std::move(action));
      }
      api->ValueFree(element);
    }
  }
  api->ValueFree(list);
}

}  // namespace

NotificationOptions ParseNotificationOptions(wexlor_value* options, const wexlor_backend_api* api) {
  NotificationOptions parsed;
  if (options == nullptr || api == nullptr) return parsed;
  if (api->ValueIsDict(options)) {
    parsed.title = DictString(api, options, "title");
    parsed.body = DictString(api, options, "body");
    parsed.tag = DictString(api, options, "tag");
    parsed.silent = DictBool(api, options, "silent", false);
    parsed.require_interaction = DictBool(api, options, "require_interaction", false);
    ReadActions(api, options, parsed.actions);
    wexlor_value* icon = api->ValueDictGet(options, "icon");
    if (icon != nullptr && api->ValueIsBinary(icon)) {
      size_t size = 0;
      const uint8_t* bytes = api->ValueGetBinary(icon, &size);
      if (bytes != nullptr && size > 0) parsed.icon.assign(bytes, bytes + size);
    }
    api->ValueFree(icon);
  }
  api->ValueFree(options);
  return parsed;
}

uint32_t NextNotificationId() { return g_next_notif_id.fetch_add(1); }

std::string NotificationRequestId(const std::string& tag, uint32_t id) {
  return tag.empty() ? "wexlor.notif." + std::to_string(id) : tag;
}

uint32_t NotificationRegistry::Add(uint32_t id, NotificationEntry entry) {
  uint32_t replaced = 0;
  if (auto it = index_.find(entry.requestId); it != index_.end()) {
    replaced = it->second;
    entries_.erase(replaced);
    index_.erase(it);
  }
  // A reused identifier (never handed out twice, but be safe) must not
  // leave its old request identifier pointing here.
  if (auto old = entries_.find(id); old != entries_.end()) {
    index_.erase(old->second.requestId);
    entries_.erase(old);
  }
  index_[entry.requestId] = id;
  entries_[id] = std::move(entry);
  return replaced;
}

const NotificationEntry* NotificationRegistry::Find(uint32_t id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

uint32_t NotificationRegistry::Lookup(const std::string& requestId) const {
  auto it = index_.find(requestId);
  return it == index_.end() ? 0 : it->second;
}

bool NotificationRegistry::Report(uint32_t id, int32_t event) const {
  const NotificationEntry* entry = Find(id);
  if (entry == nullptr) return false;
  const auto callback = entry->callback;
  void* userData = entry->userData;
  if (callback != nullptr) callback(userData, id, event, nullptr);
  return true;
}

bool NotificationRegistry::ReportAction(uint32_t id, size_t index) const {
  const NotificationEntry* entry = Find(id);
  if (entry == nullptr || index >= entry->actionIds.size()) return false;
  const auto callback = entry->callback;
  void* userData = entry->userData;
  const std::string actionId = entry->actionIds[index];
  if (callback != nullptr) callback(userData, id, kNotificationAction, actionId.c_str());
  return true;
}

bool NotificationRegistry::End(uint32_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  const auto callback = it->second.callback;
  void* userData = it->second.userData;
  Remove(id);
  if (callback != nullptr) callback(userData, id, kNotificationEnded, nullptr);
  return true;
}

bool NotificationRegistry::Remove(uint32_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return false;
  if (auto at = index_.find(it->second.requestId); at != index_.end() && at->second == id) {
    index_.erase(at);
  }
  entries_.erase(it);
  return true;
}

std::vector<uint32_t> NotificationRegistry::Ids() const {
  std::vector<uint32_t> ids;
  ids.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) ids.push_back(id);
  return ids;
}

NotificationRegistry& Notifications() {
  static NotificationRegistry registry;
  return registry;
}

}  // namespace wexlor_common
