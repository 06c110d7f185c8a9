// libFuzzer target for the value functions of the runtime table.
//
// Each input is a program: a sequence of operations on a small pool of
// handles, calling the functions through the table a runtime library gets.
// Arguments are drawn from the input: any handle of the pool, a null or an
// empty handle, any index or size (including ones no value can have), any
// bytes. The harness frees every handle exactly once, as a correct runtime
// does; everything else may be wrong. Beyond not crashing, results must
// agree with each other (kinds are exclusive, a successful set can be read
// back, key lists match the dictionary).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "runtime/value_api.h"
#include "value/value.h"

namespace {

using wexlor::Value;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "value_api_fuzz: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

const wexlor_backend_api& Table() {
  static const wexlor_backend_api api = [] {
    wexlor_backend_api a;
    std::memset(&a, 0, sizeof a);
    wexlor_register_value_api(&a);
    return a;
  }();
  return api;
}

// Reads the input front to back; past the end every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t U64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | Byte();
    return v;
  }
  // Mostly small; sometimes a size or index no value can have. Sizes that
  // would be real allocations of gigabytes are left out: the sanitizers'
  // allocators abort on them instead of failing the allocation.
  size_t Size() {
    const uint8_t b = Byte();
    if (b < 224) return b % 40;
    static const size_t kHuge[] = {SIZE_MAX,
                                   SIZE_MAX - 1,
                                   SIZE_MAX / 2 + 1,
                                   size_t{1} << 60,
                                   size_t{1} << 62,
                                   size_t{1} << 63,
                                   (size_t{1} << 63) - 1 + (size_t{1} << 62)};
    return kHuge[b % (sizeof kHuge / sizeof kHuge[0])];
  }
  // Bytes copied out of the input, at most `max`.
  std::string Text(size_t max) {
    const size_t n = std::min<size_t>(Byte() % (max + 1), size_ - std::min(at_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + std::min(at_, size_)), n);
    at_ += n;
    return s;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

constexpr size_t kPool = 8;

struct Program {
  const wexlor_backend_api& api = Table();
  wexlor_value* pool[kPool] = {};
  wexlor_value* empty = NewValueHandle(nullptr);                // a handle with no value
  wexlor_value* callback = NewValueHandle(Value::Callback(7));  // as pages send them

  ~Program() {
    BreakCycles();
    for (wexlor_value*& h : pool) Put(h, nullptr);
    api.ValueFree(empty);
    api.ValueFree(callback);
  }

  // Any handle: one of the pool's, null, empty or a callback.
  wexlor_value* Pick(Reader& in) {
    const uint8_t b = in.Byte() % (kPool + 3);
    if (b < kPool) return pool[b];
    if (b == kPool) return nullptr;
    return b == kPool + 1 ? empty : callback;
  }
  // A slot of the pool; its handle is freed when replaced.
  wexlor_value*& Slot(Reader& in) { return pool[in.Byte() % kPool]; }
  void Put(wexlor_value*& slot, wexlor_value* h) {
    if (h != nullptr && h->value) made.push_back(h->value);
    api.ValueFree(slot);
    slot = h;
  }

  // Every value a handle was made for, so containers that were left in a
  // cycle after their handles went can still be emptied at the end.
  std::vector<std::weak_ptr<Value>> made;

  void CheckKinds(wexlor_value* h) {
    const bool kinds[] = {api.ValueIsNull(h),   api.ValueIsBool(h),   api.ValueIsInt(h),
                          api.ValueIsDouble(h), api.ValueIsString(h), api.ValueIsList(h),
                          api.ValueIsDict(h),   api.ValueIsBinary(h), api.ValueIsCallback(h)};
    int count = 0;
    for (bool k : kinds) count += k;
    Check(count == 1, "a handle is not exactly one kind");
    if (!api.ValueIsInt(h)) Check(api.ValueGetInt(h) == 0, "int of a non-int");
    if (!api.ValueIsBool(h)) Check(!api.ValueGetBool(h), "bool of a non-bool");
    if (!api.ValueIsDouble(h)) Check(api.ValueGetDouble(h) == 0.0, "double of a non-double");
    if (!api.ValueIsList(h)) Check(api.ValueListSize(h) == 0, "size of a non-list");
    if (!api.ValueIsDict(h)) Check(api.ValueDictSize(h) == 0, "size of a non-dict");
    Check((api.ValueGetCallbackId(h) != 0) == api.ValueIsCallback(h), "callback id");
  }

  void CheckString(wexlor_value* h) {
    size_t length = 12345;
    char* s = api.ValueGetString(h, &length);
    if (s == nullptr) {
      Check(length == 0, "length without a string");
      Check(!api.ValueIsString(h), "no copy of a string");
      return;
    }
    Check(api.ValueIsString(h), "a string from a non-string");
    Check(s[length] == '\0', "string copy not terminated");
    Check(std::strlen(s) <= length, "string longer than its length");
    api.ValueFreeString(s);
  }

  void CheckKeys(wexlor_value* h, size_t extra) {
    size_t count = 12345;
    char** keys = api.ValueDictKeys(h, &count);
    Check(count == (keys != nullptr ? api.ValueDictSize(h) : 0), "key count");
    for (size_t i = 0; i < count; ++i) {
      Check(api.ValueDictHas(h, keys[i]), "a listed key is missing");
      if (i > 0) Check(std::strcmp(keys[i - 1], keys[i]) < 0, "keys out of order");
    }
    // Too large a count is tolerated (saturated here, not wrapped).
    api.ValueFreeKeys(keys, extra > SIZE_MAX - count ? SIZE_MAX : count + extra);
  }

  void CheckBinary(wexlor_value* h) {
    size_t size = 12345;
    const uint8_t* bytes = api.ValueGetBinary(h, &size);
    if (bytes == nullptr) {
      Check(size == 0, "size without bytes");
      return;
    }
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += bytes[i];  // every byte is readable
    (void)sum;
  }

  void Step(Reader& in) {
    switch (in.Byte() % 20) {
      case 0:
        CheckKinds(Pick(in));
        break;
      case 1:
        CheckString(Pick(in));
        break;
      case 2: {
        wexlor_value* list = Pick(in);
        const size_t index = in.Size();
        wexlor_value* got = api.ValueListGet(list, index);
        Check((got != nullptr) == (index < api.ValueListSize(list)), "list get range");
        Put(Slot(in), got);
        break;
      }
      case 3: {
        wexlor_value* dict = Pick(in);
        const std::string key = in.Text(8);
        const bool has = api.ValueDictHas(dict, key.c_str());
        wexlor_value* got = api.ValueDictGet(dict, in.Byte() % 8 == 0 ? nullptr : key.c_str());
        Check(got == nullptr || has, "dict get without has");
        Put(Slot(in), got);
        break;
      }
      case 4:
        CheckKeys(Pick(in), in.Size());
        break;
      case 5:
        CheckBinary(Pick(in));
        break;
      case 6:
        Put(Slot(in), api.ValueNull(nullptr));
        break;
      case 7: {
        // Arguments are read first, then the slot, in that order.
        const bool b = in.Byte() & 1;
        Put(Slot(in), api.ValueBool(reinterpret_cast<void*>(1), b));
        break;
      }
      case 8: {
        const auto i = static_cast<int32_t>(in.U64());
        Put(Slot(in), api.ValueInt(nullptr, i));
        break;
      }
      case 9: {
        const uint64_t bits = in.U64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        Put(Slot(in), api.ValueDouble(nullptr, d));
        break;
      }
      case 10: {
        const std::string text = in.Text(24);
        const bool null = in.Byte() % 8 == 0;
        wexlor_value* h = api.ValueString(nullptr, null ? nullptr : text.c_str());
        size_t length = 0;
        char* copy = api.ValueGetString(h, &length);
        if (copy != nullptr) {
          Check(std::string(copy, length) == (null ? "" : text.c_str()), "string round trip");
        }
        api.ValueFreeString(copy);
        Put(Slot(in), h);
        break;
      }
      case 11:
        Put(Slot(in), api.ValueList(nullptr));
        break;
      case 12:
        Put(Slot(in), api.ValueDict(nullptr));
        break;
      case 13: {
        const std::string bytes = in.Text(32);
        const uint8_t mode = in.Byte() % 4;
        // Exact bytes, no bytes, or a size far beyond the buffer given.
        const size_t size = mode == 0 ? bytes.size() : mode == 1 ? 0 : in.Size();
        const void* data = mode == 1 ? nullptr : bytes.data();
        // A size beyond the buffer is only given when no value can be that
        // large: the harness itself must not over-read.
        if (mode >= 2 && size > bytes.size() && size < (size_t{1} << 63)) break;
        wexlor_value* h = api.ValueBinary(nullptr, data, size);
        if (h != nullptr && mode == 0) {
          size_t got = 0;
          const uint8_t* p = api.ValueGetBinary(h, &got);
          Check(got == size && (size == 0 || std::memcmp(p, bytes.data(), size) == 0),
                "binary round trip");
        }
        Put(Slot(in), h);
        break;
      }
      case 14: {
        wexlor_value* list = Pick(in);
        wexlor_value* item = Pick(in);
        const size_t before = api.ValueListSize(list);
        if (api.ValueListAppend(list, item)) {
          Check(api.ValueListSize(list) == before + 1, "append did not grow the list");
        } else {
          Check(api.ValueListSize(list) == before, "failed append changed the list");
        }
        break;
      }
      case 15: {
        wexlor_value* list = Pick(in);
        wexlor_value* item = Pick(in);
        const size_t index = in.Size();
        const size_t before = api.ValueListSize(list);
        if (api.ValueListSet(list, index, item)) {
          Check(api.ValueListSize(list) == std::max(before, index + 1), "set size");
          wexlor_value* back = api.ValueListGet(list, index);
          Check(back != nullptr && api.ValueIsList(back) == api.ValueIsList(item), "set read back");
          api.ValueFree(back);
        } else {
          Check(api.ValueListSize(list) == before, "failed set changed the list");
        }
        break;
      }
      case 16: {
        wexlor_value* dict = Pick(in);
        wexlor_value* item = Pick(in);
        const std::string key = in.Text(8);
        const char* k = in.Byte() % 8 == 0 ? nullptr : key.c_str();
        if (api.ValueDictSet(dict, k, item)) {
          Check(api.ValueDictHas(dict, k), "set key missing");
        }
        break;
      }
      case 17:
        Put(Slot(in), nullptr);  // frees the slot's handle
        break;
      case 18:
        api.ValueFreeString(nullptr);
        api.ValueFreeKeys(nullptr, in.Size());
        api.ValueFree(nullptr);
        break;
      case 19: {
        wexlor_value* h = Pick(in);
        api.ValueGetBool(h);
        api.ValueGetDouble(h);
        api.ValueFreeString(api.ValueGetString(h, nullptr));  // no length wanted
        api.ValueGetBinary(h, nullptr);
        api.ValueFreeKeys(api.ValueDictKeys(h, nullptr), api.ValueDictSize(h));
        CheckKinds(h);
        break;
      }
    }
  }

  // Containers may hold themselves; empties every container still alive so
  // nothing is kept alive by a cycle when the handles go.
  void BreakCycles() {
    std::vector<std::shared_ptr<Value>> seen, stack;
    std::unordered_set<const Value*> visited;
    for (const auto& weak : made) {
      if (auto v = weak.lock()) stack.push_back(std::move(v));
    }
    while (!stack.empty()) {
      std::shared_ptr<Value> v = std::move(stack.back());
      stack.pop_back();
      if (!visited.insert(v.get()).second) continue;
      if (v->type == Value::Type::List) {
        for (auto& child : v->AsList()) {
          if (child) stack.push_back(child);
        }
      } else if (v->type == Value::Type::Dict) {
        for (auto& entry : v->AsDict()) {
          if (entry.second) stack.push_back(entry.second);
        }
      } else {
        continue;
      }
      seen.push_back(std::move(v));
    }
    for (auto& v : seen) {
      if (v->type == Value::Type::List) {
        v->AsList().clear();
      } else {
        v->AsDict().clear();
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  Program program;
  for (int steps = 0; steps < 4096 && !in.Done(); ++steps) program.Step(in);
  return 0;
}
