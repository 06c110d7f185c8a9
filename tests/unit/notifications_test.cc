#include "common/notifications.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/value_api.h"
#include "value/json.h"
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

// A handle on the value the JSON text describes ({"__binary__":…} gives
// bytes); the parser takes it over.
NotificationOptions Parse(const std::string& text) {
  return ParseNotificationOptions(NewValueHandle(json::ParseText(text)), Api());
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
  const NotificationOptions p =
      Parse(R"({"title":"Title","body":"line\nwith \u00e9","tag":"t1","silent":true,)"
            R"("require_interaction":true,"icon":{"__binary__":"iVBORwA="},)"
            R"("actions":[{"id":"yes","title":"Yes"},{"id":"no","title":"No"}]})");
  EXPECT_EQ(p.title, "Title");
  EXPECT_EQ(p.body, "line\nwith \xc3\xa9");
  EXPECT_EQ(p.tag, "t1");
  EXPECT_TRUE(p.silent);
  EXPECT_TRUE(p.require_interaction);
  ASSERT_EQ(p.actions.size(), 2u);
  EXPECT_EQ(p.actions[0].id, "yes");
  EXPECT_EQ(p.actions[0].title, "Yes");
  EXPECT_EQ(p.actions[1].id, "no");
  EXPECT_EQ(p.icon, (std::vector<uint8_t>{0x89, 'P', 'N', 'G', 0}));
}

TEST(NotificationOptions, MalformedFieldsTakeDefaults) {
  // Only valid buttons stay, in order; a string is not a boolean; an empty
  // binary is no icon.
  const NotificationOptions p =
      Parse(R"({"title":5,"silent":"true","require_interaction":1,"icon":{"__binary__":""},)"
            R"("actions":[{"id":"a","title":""},{"title":"No id"},{"id":"b","title":1},"x",)"
            R"({"id":"ok","title":"OK"}]})");
  EXPECT_EQ(p.title, "");
  EXPECT_FALSE(p.silent);
  EXPECT_FALSE(p.require_interaction);
  EXPECT_TRUE(p.icon.empty());
  ASSERT_EQ(p.actions.size(), 1u);
  EXPECT_EQ(p.actions[0].id, "ok");

  const NotificationOptions q = Parse(R"({"actions":"x","icon":"bytes"})");
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
