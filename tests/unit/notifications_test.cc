#include "common/notifications.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/value_api.h"
#include "value/value.h"

namespace {

using wexlor_common::NotificationEntry;
using wexlor_common::NotificationOptions;
using wexlor_common::NotificationRegistry;
using wexlor_common::ParseNotificationOptions;

const wexlor_backend_api* Api() {
  static wexlor_backend_api api = [] {
    wexlor_backend_api a;
    std::memset(&a, 0, sizeof a);
    wexlor_register_value_api(&a);
    return a;
  }();
  return &api;
}

wexlor_value* Str(const char* s) { return ValueString(nullptr, s); }

// Sets dict[key] = item and releases the item handle.
void Put(wexlor_value* dict, const char* key, wexlor_value* item) {
  ValueDictSet(dict, key, item);
  ValueFree(item);
}

wexlor_value* Action(wexlor_value* id, wexlor_value* title) {
  wexlor_value* a = ValueDict(nullptr);
  if (id != nullptr) Put(a, "id", id);
  if (title != nullptr) Put(a, "title", title);
  return a;
}

struct Event {
  uint32_t id;
  int32_t event;
  std::string action;
};

void Record(void* data, uint32_t id, int32_t event, const char* action) {
  static_cast<std::vector<Event>*>(data)->push_back({id, event, action ? action : "null"});
}

NotificationEntry Entry(const std::string& requestId, std::vector<Event>* events,
                        std::vector<std::string> actions = {}) {
  return NotificationEntry{requestId, Record, events, std::move(actions)};
}

}  // namespace

TEST(NotificationOptions, ReadsEveryField) {
  wexlor_value* o = ValueDict(nullptr);
  Put(o, "title", Str("Title"));
  Put(o, "body", ValueString(nullptr, "line\nwith \xc3\xa9"));
  Put(o, "tag", Str("t1"));
  Put(o, "silent", ValueBool(nullptr, true));
  Put(o, "require_interaction", ValueBool(nullptr, true));
  wexlor_value* actions = ValueList(nullptr);
  wexlor_value* a = Action(Str("yes"), Str("Yes"));
  ValueListAppend(actions, a);
  ValueFree(a);
  a = Action(Str("no"), Str("No"));
  ValueListAppend(actions, a);
  ValueFree(a);
  Put(o, "actions", actions);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0};
  Put(o, "icon", ValueBinary(nullptr, png, sizeof png));

  const NotificationOptions p = ParseNotificationOptions(o, Api());
  EXPECT_EQ(p.title, "Title");
  EXPECT_EQ(p.body, "line\nwith \xc3\xa9");
  EXPECT_EQ(p.tag, "t1");
  EXPECT_TRUE(p.silent);
  EXPECT_TRUE(p.require_interaction);
  ASSERT_EQ(p.actions.size(), 2u);
  EXPECT_EQ(p.actions[0].id, "yes");
  EXPECT_EQ(p.actions[0].title, "Yes");
  EXPECT_EQ(p.actions[1].id, "no");
  EXPECT_EQ(p.icon, std::vector<uint8_t>(png, png + sizeof png));
}

TEST(NotificationOptions, MalformedFieldsTakeDefaults) {
  wexlor_value* o = ValueDict(nullptr);
  Put(o, "title", ValueInt(nullptr, 5));
  Put(o, "silent", Str("true"));  // a string is not a boolean
  Put(o, "require_interaction", ValueInt(nullptr, 1));
  Put(o, "icon", ValueBinary(nullptr, nullptr, 0));  // empty binary counts as none
  wexlor_value* actions = ValueList(nullptr);
  for (wexlor_value* a :
       {Action(Str("a"), Str("")), Action(nullptr, Str("No id")),
        Action(Str("b"), ValueInt(nullptr, 1)), Str("not a dict"), Action(Str("ok"), Str("OK"))}) {
    ValueListAppend(actions, a);
    ValueFree(a);
  }
  Put(o, "actions", actions);
  const NotificationOptions p = ParseNotificationOptions(o, Api());
  EXPECT_EQ(p.title, "");
  EXPECT_FALSE(p.silent);
  EXPECT_FALSE(p.require_interaction);
  EXPECT_TRUE(p.icon.empty());
  ASSERT_EQ(p.actions.size(), 1u);  // only the valid one, in place
  EXPECT_EQ(p.actions[0].id, "ok");

  // "actions" that is not a list, and an icon given as a string.
  o = ValueDict(nullptr);
  Put(o, "actions", Str("x"));
  Put(o, "icon", Str("bytes"));
  const NotificationOptions q = ParseNotificationOptions(o, Api());
  EXPECT_TRUE(q.actions.empty());
  EXPECT_TRUE(q.icon.empty());
}

TEST(NotificationOptions, ReleasesTheHandleWhateverItsType) {
  // The handle shares its value with a reference kept here; after parsing
  // only that reference may remain, whatever the handle held.
  for (const auto& v : {wexlor::Value::Dict(), wexlor::Value::List(), wexlor::Value::String("x"),
                        wexlor::Value::Null(), wexlor::Value::Callback(3)}) {
    wexlor_value* handle = NewValueHandle(v);
    ASSERT_EQ(v.use_count(), 2);
    const NotificationOptions p = ParseNotificationOptions(handle, Api());
    EXPECT_EQ(v.use_count(), 1);
    EXPECT_EQ(p.title, "");
    EXPECT_TRUE(p.actions.empty());
  }
  // A null handle gives an empty record.
  const NotificationOptions none = ParseNotificationOptions(nullptr, Api());
  EXPECT_EQ(none.title, "");
  EXPECT_FALSE(none.silent);
}

TEST(NotificationIds, CountFromOneAndNameRequests) {
  const uint32_t first = wexlor_common::NextNotificationId();
  EXPECT_EQ(first, 1u);  // the first of the process
  EXPECT_EQ(wexlor_common::NextNotificationId(), 2u);
  EXPECT_EQ(wexlor_common::NotificationRequestId("", 1), "wexlor.notif.1");
  EXPECT_EQ(wexlor_common::NotificationRequestId("", 4294967295u), "wexlor.notif.4294967295");
  EXPECT_EQ(wexlor_common::NotificationRequestId("mail", 7), "mail");
}

TEST(NotificationRegistry, ReplacesByRequestIdWithoutReporting) {
  std::vector<Event> events;
  NotificationRegistry r;
  EXPECT_EQ(r.Add(1, Entry("tag", &events)), 0u);
  EXPECT_EQ(r.Add(2, Entry("wexlor.notif.2", &events)), 0u);
  EXPECT_EQ(r.Add(3, Entry("tag", &events)), 1u);  // replaces 1
  EXPECT_EQ(r.Find(1), nullptr);
  EXPECT_EQ(r.Lookup("tag"), 3u);
  EXPECT_FALSE(r.End(1));  // a replaced notification reports nothing more
  EXPECT_FALSE(r.Report(1, 1));
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(r.Ids(), (std::vector<uint32_t>{2, 3}));
}

TEST(NotificationRegistry, EndsOnceAndMapsActions) {
  std::vector<Event> events;
  NotificationRegistry r;
  r.Add(5, Entry("a", &events, {"default", "later"}));
  EXPECT_TRUE(r.Report(5, 1));
  EXPECT_TRUE(r.ReportAction(5, 0));
  EXPECT_TRUE(r.ReportAction(5, 1));
  EXPECT_FALSE(r.ReportAction(5, 2));
  EXPECT_TRUE(r.End(5));
  EXPECT_FALSE(r.End(5));
  EXPECT_FALSE(r.Report(5, 1));
  EXPECT_EQ(r.Lookup("a"), 0u);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].event, 1);
  EXPECT_EQ(events[0].action, "null");
  EXPECT_EQ(events[1].event, 3);
  EXPECT_EQ(events[1].action, "default");  // a button named "default" stays a button
  EXPECT_EQ(events[2].action, "later");
  EXPECT_EQ(events[3].event, 2);
  EXPECT_EQ(events[3].id, 5u);
}

TEST(NotificationRegistry, HandlerMayPostAndCloseWhileReported) {
  // A handler that closes its own notification and posts another under
  // the same request identifier while it is being told the first ended.
  struct Ctx {
    NotificationRegistry* r;
    int calls = 0;
  } ctx;
  NotificationRegistry r;
  ctx.r = &r;
  auto handler = [](void* d, uint32_t id, int32_t, const char*) {
    auto* c = static_cast<Ctx*>(d);
    ++c->calls;
    c->r->End(id);
    c->r->Add(id + 100, NotificationEntry{"same", nullptr, nullptr, {}});
  };
  r.Add(1, NotificationEntry{"same", handler, &ctx, {}});
  EXPECT_TRUE(r.End(1));
  EXPECT_EQ(ctx.calls, 1);
  EXPECT_EQ(r.Lookup("same"), 101u);
  // Removing leaves a newer holder of the request identifier alone.
  r.Add(7, NotificationEntry{"x", nullptr, nullptr, {}});
  r.Add(8, NotificationEntry{"x", nullptr, nullptr, {}});
  EXPECT_FALSE(r.Remove(7));
  EXPECT_EQ(r.Lookup("x"), 8u);
}
