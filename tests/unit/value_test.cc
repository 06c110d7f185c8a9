#include "value/value.h"

#include <gtest/gtest.h>

#include <string_view>
#include <thread>

#include "value/json.h"

using wexlor::Value;

TEST(Value, FactoriesAndReaders) {
  EXPECT_EQ(Value().type, Value::Type::Null);

  auto zeros = Value::Binary(nullptr, 4);
  EXPECT_EQ(zeros->GetBinary().bytes, (std::vector<uint8_t>{0, 0, 0, 0}));
  const char abc[] = "abc";
  EXPECT_TRUE(Value::Binary(abc, 0)->GetBinary().bytes.empty());
  EXPECT_EQ(Value::Binary(abc, 3)->GetBinary().bytes.size(), 3u);

  // Readers of the wrong kind hand out one shared empty object, not copies.
  auto i = Value::Int(1);
  EXPECT_EQ(&i->GetString(), &Value::Double(2)->GetString());
  EXPECT_TRUE(i->GetString().empty());
  EXPECT_EQ(&i->GetBinary(), &Value::List()->GetBinary());
  EXPECT_EQ(Value::String("x")->GetString(), "x");
}

TEST(Value, HandlesFixCallbackIdentity) {
  wexlor_value empty(nullptr);
  EXPECT_FALSE(empty.isCallback);
  EXPECT_EQ(empty.callbackId, 0u);

  wexlor_value cb(Value::Callback(7));
  EXPECT_TRUE(cb.isCallback);
  EXPECT_EQ(cb.callbackId, 7u);

  wexlor_value n(Value::Int(7));
  EXPECT_FALSE(n.isCallback);
  EXPECT_EQ(n.callbackId, 0u);
}

TEST(Value, ContainersShareEntries) {
  auto item = Value::List();
  auto a = Value::List();
  auto b = Value::List();
  a->AsList().push_back(item);
  b->AsList().push_back(item);
  item->AsList().push_back(Value::Int(1));
  EXPECT_EQ(b->AsList()[0]->AsList().size(), 1u);
  EXPECT_TRUE(wexlor::Equal(a, b));
}

TEST(Value, EqualComparesDeeply) {
  auto d1 = Value::Dict();
  auto d2 = Value::Dict();
  d1->AsDict()["k"] = Value::Binary("ab", 2);
  d2->AsDict()["k"] = Value::Binary("ab", 2);
  EXPECT_TRUE(wexlor::Equal(d1, d2));
  d2->AsDict()["k"] = Value::Binary("ac", 2);
  EXPECT_FALSE(wexlor::Equal(d1, d2));
  EXPECT_TRUE(wexlor::Equal(nullptr, Value::Null()));
  EXPECT_FALSE(wexlor::Equal(Value::Int(3), Value::Double(3)));

  // A list that contains itself compares without running forever.
  auto cyclic = Value::List();
  cyclic->AsList().push_back(cyclic);
  EXPECT_TRUE(wexlor::Equal(cyclic, cyclic));
  cyclic->AsList().clear();
}

TEST(Value, DictionariesStaySortedByKey) {
  auto d = Value::Dict();
  auto& dict = d->AsDict();
  for (const char* key : {"m", "b", "\xC3\xA9", "z", "", "a", "b"}) {
    dict.insert_or_assign(key, Value::String(key));
  }
  dict["a"] = Value::Int(1);  // replaces
  dict["c"];                  // made empty
  std::string keys;
  for (const auto& [key, item] : dict) keys += "<" + key + ">";
  EXPECT_EQ(keys, "<><a><b><c><m><z><\xC3\xA9>");  // bytewise, as the page sees them
  EXPECT_EQ(dict.size(), 7u);
  EXPECT_EQ(dict.find(std::string_view("a"))->second->type, Value::Type::Int);
  EXPECT_EQ(dict.find(std::string("z"))->second->GetString(), "z");
  EXPECT_EQ(dict.count("c"), 1u);
  EXPECT_EQ(dict.find("c")->second, nullptr);
  EXPECT_EQ(dict.find("q"), dict.end());
  EXPECT_EQ(dict.erase("m"), 1u);
  EXPECT_EQ(dict.erase("m"), 0u);
  EXPECT_EQ(json::Serialize(d),
            "{\"\":\"\",\"a\":1,\"b\":\"b\",\"c\":null,\"z\":\"z\",\"\xC3\xA9\":\"\xC3\xA9\"}");
}

namespace {

// Dropped while its thread exits; when made before the thread's first value,
// after the value memory of the thread has been given back.
struct HeldAtExit {
  std::shared_ptr<Value> value;
};
thread_local HeldAtExit t_held;

}  // namespace

TEST(Value, ValuesMoveBetweenThreadsAndOutliveThem) {
  const std::string text = "[{\"a\":[1,2.5,\"some longer text here\"],\"b\":{\"c\":null}},true]";
  // Made on a thread that then ends; read and dropped here.
  std::shared_ptr<Value> fromWorker;
  std::thread([&] {
    t_held.value = nullptr;  // made first, so it is dropped after the thread's value memory
    std::vector<std::shared_ptr<Value>> many;
    for (int i = 0; i < 2000; ++i) many.push_back(json::ParseText(text));
    fromWorker = many.back();
    t_held.value = json::ParseText(text);
    t_held.value->AsList().push_back(many[7]);
  }).join();
  EXPECT_EQ(json::Serialize(fromWorker), text);

  // Made here; dropped on threads that end, some parts kept here.
  std::vector<std::shared_ptr<Value>> mine;
  for (int i = 0; i < 2000; ++i) mine.push_back(json::ParseText(text));
  auto kept = mine[5]->AsList()[0];
  std::thread a(
      [moved = std::vector(mine.begin(), mine.begin() + 1000)]() mutable { moved.clear(); });
  std::thread b([moved = std::vector(mine.begin() + 1000, mine.end())]() mutable {
    t_held.value = moved[3];
    moved.clear();
  });
  mine.clear();
  a.join();
  b.join();
  EXPECT_EQ(json::Serialize(kept), "{\"a\":[1,2.5,\"some longer text here\"],\"b\":{\"c\":null}}");

  // A chain far deeper than the stack allows is dropped without recursion.
  auto chain = Value::List();
  for (int i = 0; i < 300000; ++i) {
    auto outer = Value::Dict();
    outer->AsDict()["k"] = std::move(chain);
    chain = Value::List();
    chain->AsList().push_back(std::move(outer));
  }
  chain.reset();
}
