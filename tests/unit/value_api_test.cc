#include "runtime/value_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Frees a handle at scope exit.
struct Handle {
  explicit Handle(wexlor_value* h) : h(h) {}
  ~Handle() { ValueFree(h); }
  operator wexlor_value*() const { return h; }
  wexlor_value* h;
};

}  // namespace

TEST(ValueApi, TableHoldsEveryFunction) {
  wexlor_backend_api api;
  std::memset(&api, 0, sizeof api);
  EXPECT_EQ(wexlor_register_value_api(&api), &api);
  EXPECT_EQ(api.version, 0u);  // only the value members are touched
  EXPECT_EQ(api.context, nullptr);
  EXPECT_EQ(api.PostUiTask, nullptr);
  EXPECT_EQ(api.SetJsCallHandler, nullptr);
  // Every member from ValueIsNull through ValueFree is set.
  auto* first = reinterpret_cast<void**>(&api.ValueIsNull);
  auto* last = reinterpret_cast<void**>(&api.ValueFree);
  EXPECT_EQ(last - first, 34);
  for (auto* p = first; p <= last; ++p) EXPECT_NE(*p, nullptr) << (p - first);
  EXPECT_EQ(api.ValueFree, &ValueFree);
  EXPECT_EQ(api.ValueString, &ValueString);
}

TEST(ValueApi, NullAndEmptyHandlesTakeDefaults) {
  Handle empty(NewValueHandle(nullptr));
  for (wexlor_value* h : {static_cast<wexlor_value*>(nullptr), empty.h}) {
    EXPECT_TRUE(ValueIsNull(h));
    EXPECT_FALSE(ValueIsBool(h));
    EXPECT_FALSE(ValueIsCallback(h));
    EXPECT_FALSE(ValueGetBool(h));
    EXPECT_EQ(ValueGetInt(h), 0);
    EXPECT_EQ(ValueListSize(h), 0u);
    EXPECT_EQ(ValueListGet(h, 0), nullptr);
    EXPECT_EQ(ValueDictGet(h, "a"), nullptr);
    EXPECT_FALSE(ValueDictHas(h, "a"));
    size_t n = 99;
    EXPECT_EQ(ValueGetString(h, &n), nullptr);
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(ValueGetBinary(h, &n), nullptr);
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_EQ(ValueDictKeys(h, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ValueListAppend(h, h));
  }
  ValueFree(nullptr);
  ValueFreeString(nullptr);
  ValueFreeKeys(nullptr, 3);
}

TEST(ValueApi, ScalarsAreNotConverted) {
  Handle d(ValueDouble(nullptr, 3.0));
  Handle i(ValueInt(nullptr, -5));
  Handle b(ValueBool(nullptr, true));
  EXPECT_TRUE(ValueIsDouble(d));
  EXPECT_EQ(ValueGetInt(d), 0);
  EXPECT_EQ(ValueGetDouble(d), 3.0);
  EXPECT_EQ(ValueGetDouble(i), 0.0);
  EXPECT_EQ(ValueGetInt(i), -5);
  EXPECT_TRUE(ValueGetBool(b));
  EXPECT_FALSE(ValueGetBool(i));
  EXPECT_FALSE(ValueIsNull(i));
}

TEST(ValueApi, StringsAreCopiedWithLength) {
  // Five characters, one of them two bytes in UTF-8, and an embedded NUL.
  Handle s(ValueString(nullptr, "h\xC3\xA9llo"));
  size_t len = 0;
  char* copy = ValueGetString(s, &len);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(len, 6u);
  EXPECT_STREQ(copy, "h\xC3\xA9llo");
  ValueFreeString(copy);

  Handle empty(ValueString(nullptr, nullptr));
  copy = ValueGetString(empty, &len);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(len, 0u);
  ValueFreeString(copy);

  wexlor_value withNul(wexlor::Value::String(std::string("a\0b", 3)));
  copy = ValueGetString(&withNul, nullptr);
  EXPECT_EQ(std::string(copy, 3), std::string("a\0b", 3));
  ValueFreeString(copy);

  Handle i(ValueInt(nullptr, 1));
  len = 7;
  EXPECT_EQ(ValueGetString(i, &len), nullptr);
  EXPECT_EQ(len, 0u);
}

TEST(ValueApi, ListsGrowAndShare) {
  Handle list(ValueList(nullptr));
  Handle item(ValueInt(nullptr, 9));
  ASSERT_TRUE(ValueListSet(list, 3, item));
  EXPECT_EQ(ValueListSize(list), 4u);
  for (size_t i = 0; i < 3; ++i) {
    Handle e(ValueListGet(list, i));
    ASSERT_NE(e.h, nullptr);
    EXPECT_TRUE(ValueIsNull(e));
  }
  Handle last(ValueListGet(list, 3));
  EXPECT_EQ(ValueGetInt(last), 9);
  EXPECT_EQ(ValueListGet(list, 4), nullptr);

  Handle null(ValueNull(nullptr));
  EXPECT_TRUE(ValueListAppend(list, null));  // Null is a real value
  EXPECT_FALSE(ValueListAppend(list, nullptr));
  EXPECT_FALSE(ValueListAppend(item, null));  // not a list
  EXPECT_EQ(ValueListSize(list), 5u);

  // Entries are shared: a change through one container shows in the other.
  Handle inner(ValueList(nullptr));
  Handle other(ValueList(nullptr));
  ValueListAppend(list, inner);
  ValueListAppend(other, inner);
  ValueListAppend(inner, item);
  Handle seen(ValueListGet(other, 0));
  EXPECT_EQ(ValueListSize(seen), 1u);

  // A handle taken from a list outlives the list's handle.
  wexlor_value* kept = ValueListGet(list, 3);
  ValueFree(list.h);
  list.h = nullptr;
  EXPECT_EQ(ValueGetInt(kept), 9);
  ValueFree(kept);
}

TEST(ValueApi, DictsKeepByteOrder) {
  Handle dict(ValueDict(nullptr));
  Handle one(ValueInt(nullptr, 1)), two(ValueInt(nullptr, 2)), three(ValueInt(nullptr, 3));
  ASSERT_TRUE(ValueDictSet(dict, "b", one));
  ASSERT_TRUE(ValueDictSet(dict, "a", two));
  ASSERT_TRUE(ValueDictSet(dict, "B", three));
  EXPECT_FALSE(ValueDictSet(dict, nullptr, one));
  EXPECT_FALSE(ValueDictSet(dict, "x", nullptr));
  EXPECT_TRUE(ValueDictSet(dict, "b", three));  // replaces

  size_t count = 0;
  char** keys = ValueDictKeys(dict, &count);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(keys[0], "B");
  EXPECT_STREQ(keys[1], "a");
  EXPECT_STREQ(keys[2], "b");
  EXPECT_EQ(keys[3], nullptr);  // ends with a null, so too large a count is harmless
  ValueFreeKeys(keys, SIZE_MAX);

  EXPECT_EQ(ValueDictSize(dict), 3u);
  EXPECT_TRUE(ValueDictHas(dict, "a"));
  EXPECT_FALSE(ValueDictHas(dict, "c"));
  EXPECT_FALSE(ValueDictHas(dict, nullptr));
  Handle b(ValueDictGet(dict, "b"));
  EXPECT_EQ(ValueGetInt(b), 3);
  EXPECT_EQ(ValueDictGet(dict, "zz"), nullptr);

  Handle emptyDict(ValueDict(nullptr));
  count = 5;
  EXPECT_EQ(ValueDictKeys(emptyDict, &count), nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(ValueApi, BinaryAndCallbacks) {
  const uint8_t bytes[] = {1, 2, 3};
  Handle bin(ValueBinary(nullptr, bytes, 3));
  size_t size = 0;
  const uint8_t* p = ValueGetBinary(bin, &size);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(p[2], 3);
  EXPECT_EQ(p, ValueGetBinary(bin, nullptr));  // borrowed, not copied

  Handle zeros(ValueBinary(nullptr, nullptr, 2));
  EXPECT_EQ(ValueGetBinary(zeros, &size)[1], 0);

  auto list = wexlor::Value::List();
  list->AsList().push_back(wexlor::Value::Callback(7));
  list->AsList().push_back(nullptr);
  wexlor_value lh(list);
  Handle cb(ValueListGet(&lh, 0));
  EXPECT_TRUE(ValueIsCallback(cb));
  EXPECT_EQ(ValueGetCallbackId(cb), 7u);
  Handle hole(ValueListGet(&lh, 1));
  ASSERT_NE(hole.h, nullptr);
  EXPECT_TRUE(ValueIsNull(hole));
  EXPECT_FALSE(ValueIsCallback(hole));
  EXPECT_EQ(ValueGetCallbackId(bin), 0u);
}

// Sizes and indices no value can have fail cleanly; nothing wraps, throws or
// aborts.
TEST(ValueApi, UnreachableSizesFail) {
  Handle list(ValueList(nullptr));
  Handle item(ValueInt(nullptr, 5));
  for (size_t index : {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX / 2}) {
    EXPECT_FALSE(ValueListSet(list, index, item)) << index;
  }
  EXPECT_EQ(ValueListSize(list), 0u);
  EXPECT_EQ(ValueListGet(list, SIZE_MAX), nullptr);
  ASSERT_TRUE(ValueListSet(list, 1, item));  // still usable
  EXPECT_EQ(ValueListSize(list), 2u);

  const uint8_t byte = 1;
  EXPECT_EQ(ValueBinary(nullptr, &byte, SIZE_MAX), nullptr);
  EXPECT_EQ(ValueBinary(nullptr, nullptr, SIZE_MAX), nullptr);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A size the allocator refuses (sanitizer allocators abort instead).
  EXPECT_EQ(ValueBinary(nullptr, nullptr, size_t{1} << 62), nullptr);
  EXPECT_FALSE(ValueListSet(list, size_t{1} << 58, item));
  EXPECT_EQ(ValueListSize(list), 2u);
#endif
}

// Values nested far deeper than any page could send are built and released
// through the table without running out of stack; shared parts survive.
TEST(ValueApi, DeepNestingIsReleasedSafely) {
  constexpr int kDepth = 1000000;
  Handle shared(ValueList(nullptr));
  wexlor_value* outer = ValueList(nullptr);
  ValueListAppend(outer, shared);
  for (int i = 0; i < kDepth; ++i) {
    wexlor_value* next = (i % 2 == 0) ? ValueList(nullptr) : ValueDict(nullptr);
    ASSERT_TRUE(ValueIsList(next) ? ValueListAppend(next, outer) : ValueDictSet(next, "k", outer));
    ValueFree(outer);
    outer = next;
  }
  ValueFree(outer);
  Handle item(ValueInt(nullptr, 3));
  EXPECT_TRUE(ValueListAppend(shared, item));
  EXPECT_EQ(ValueListSize(shared), 1u);
}
