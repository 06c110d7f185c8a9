// The dynamic value shared by pages, the host and the runtime library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <variant>
#include <vector>

namespace wexlor {

namespace detail {

// Blocks of up to kPooledBlockMax bytes freed on a thread are kept in a
// per-thread cache (bounded, see value.cc) and handed out again to the next
// allocation of the same size class on that thread, so building and dropping
// values does not go through malloc for each node. A block may be freed on
// any thread; it then joins that thread's cache.
inline constexpr size_t kPooledBlockMax = 128;
void* PoolAllocate(size_t bytes);
void PoolFree(void* p, size_t bytes) noexcept;

template <typename T>
struct PoolAllocator {
  using value_type = T;
  PoolAllocator() noexcept = default;
  template <typename U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > kPooledBlockMax / sizeof(T)) {
      if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
      return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    return static_cast<T*>(PoolAllocate(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n > kPooledBlockMax / sizeof(T)) {
      ::operator delete(p);
      return;
    }
    PoolFree(p, n * sizeof(T));
  }
  template <typename U>
  friend bool operator==(const PoolAllocator&, const PoolAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace detail

struct BinaryData {
  std::vector<uint8_t> bytes;
  friend bool operator==(const BinaryData&, const BinaryData&) = default;
};

class Value {
 public:
  enum class Type : int32_t {
    Null = 0,
    Bool = 1,
    Int = 2,
    Double = 3,
    String = 4,
    Binary = 5,
    List = 6,
    Dict = 7,
    Callback = 8,
  };
  using ListType = std::vector<std::shared_ptr<Value>>;
  // Sorted by key (bytewise); lookups take std::string, std::string_view
  // or a C string without building a key.
  using DictType =
      std::map<std::string, std::shared_ptr<Value>, std::less<>,
               detail::PoolAllocator<std::pair<const std::string, std::shared_ptr<Value>>>>;

  // `type` always equals `data.index()`.
  Type type = Type::Null;
  std::variant<std::nullptr_t, bool, int32_t, double, std::string, BinaryData, ListType, DictType,
               uint64_t>
      data;

  Value() = default;
  Value(const Value&) = default;
  Value(Value&&) = default;
  Value& operator=(const Value&) = default;
  Value& operator=(Value&&) = default;
  // Releases nested containers one level at a time, so however deep a value
  // is nested, dropping it never runs out of stack.
  ~Value();

  // Factories; each value and its control block are one pooled block.
  static std::shared_ptr<Value> List();
  static std::shared_ptr<Value> String(const std::string& s);
  static std::shared_ptr<Value> String(std::string&& s);
  static std::shared_ptr<Value> Binary(const void* data, size_t size);
  static std::shared_ptr<Value> Null();
  static std::shared_ptr<Value> Bool(bool b);
  static std::shared_ptr<Value> Int(int32_t i);
  static std::shared_ptr<Value> Double(double d);
  static std::shared_ptr<Value> Dict();
  static std::shared_ptr<Value> Callback(uint64_t id);

  // The held string or binary, or a shared empty one for any other kind.
  const std::string& GetString() const;
  const BinaryData& GetBinary() const;

  // Typed access for host code that has checked `type` first.
  ListType& AsList() { return std::get<ListType>(data); }
  const ListType& AsList() const { return std::get<ListType>(data); }
  DictType& AsDict() { return std::get<DictType>(data); }
  const DictType& AsDict() const { return std::get<DictType>(data); }
};

// Deep comparison: same kinds and equal contents; empty pointers equal Null.
// Nesting deeper than json::kMaxDepth compares as equal.
bool Equal(const std::shared_ptr<Value>& a, const std::shared_ptr<Value>& b);

}  // namespace wexlor

// The runtime's handle on one value. `isCallback` and `callbackId` are fixed
// when the handle is made.
struct wexlor_value {
  explicit wexlor_value(std::shared_ptr<wexlor::Value> v);
  ~wexlor_value();

  std::shared_ptr<wexlor::Value> value;
  bool isCallback = false;
  uint64_t callbackId = 0;
};
