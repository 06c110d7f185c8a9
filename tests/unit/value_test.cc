#include "value/value.h"

#include <gtest/gtest.h>

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
