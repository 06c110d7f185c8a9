// The dynamic value shared by pages, the host and the runtime library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace wexlor {

namespace detail {

// Blocks of up to kPooledBlockMax bytes (value nodes, dictionary and list
// arrays) are carved in order from per-thread chunks of memory, so a document
// read at once lies together and is built and dropped without a malloc per
// node. A block may be freed on any thread; its chunk is reused once all of
// its blocks are gone (see value.cc).
inline constexpr size_t kPooledBlockMax = 512;
void* PoolAllocate(size_t bytes);
void PoolFree(void* p, size_t bytes) noexcept;

template <typename T>
struct PoolAllocator {
  using value_type = T;
  PoolAllocator() noexcept = default;
  template <typename U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}
  // Blocks are aligned to 16 bytes.
  static_assert(alignof(T) <= 16);
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

class Value;

// A dictionary: entries sorted by key (bytewise), each key once, kept in one
// flat array. The parser builds it from a sorted batch in one allocation;
// inserting keeps the order (appending a key that sorts last is cheapest).
// Lookups take std::string, std::string_view or a C string without building
// a key. Inserting or erasing invalidates iterators.
class FlatDict {
 public:
  using key_type = std::string;
  using mapped_type = std::shared_ptr<Value>;
  using value_type = std::pair<std::string, std::shared_ptr<Value>>;
  using Entries = std::vector<value_type, detail::PoolAllocator<value_type>>;
  using iterator = Entries::iterator;
  using const_iterator = Entries::const_iterator;
  using size_type = size_t;

  FlatDict() = default;
  // `entries` must already be sorted by key, each key once.
  static FlatDict FromSorted(Entries&& entries) {
    FlatDict d;
    d.entries_ = std::move(entries);
    return d;
  }

  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  const_iterator cbegin() const noexcept { return entries_.begin(); }
  const_iterator cend() const noexcept { return entries_.end(); }
  size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void clear() noexcept { entries_.clear(); }

  iterator lower_bound(std::string_view key) {
    return begin() + static_cast<std::ptrdiff_t>(LowerIndex(key));
  }
  const_iterator lower_bound(std::string_view key) const {
    return begin() + static_cast<std::ptrdiff_t>(LowerIndex(key));
  }
  iterator find(std::string_view key) {
    auto it = lower_bound(key);
    return it != end() && it->first == key ? it : end();
  }
  const_iterator find(std::string_view key) const {
    auto it = lower_bound(key);
    return it != end() && it->first == key ? it : end();
  }
  size_t count(std::string_view key) const { return find(key) != end() ? 1 : 0; }
  bool contains(std::string_view key) const { return find(key) != end(); }

  // The entry for `key`, made (holding an empty pointer) when missing.
  mapped_type& operator[](std::string_view key) {
    return Place(key, [] { return mapped_type(); }).first->second;
  }
  template <typename M>
  std::pair<iterator, bool> insert_or_assign(std::string_view key, M&& value) {
    bool made = false;
    auto r = Place(key, [&] {
      made = true;
      return mapped_type(std::forward<M>(value));
    });
    if (!made) r.first->second = std::forward<M>(value);
    return r;
  }
  size_t erase(std::string_view key) {
    auto it = find(key);
    if (it == end()) return 0;
    entries_.erase(it);
    return 1;
  }
  iterator erase(const_iterator it) { return entries_.erase(it); }

  friend bool operator==(const FlatDict&, const FlatDict&) = default;

 private:
  size_t LowerIndex(std::string_view key) const {
    size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (std::string_view(entries_[mid].first) < key) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }
  // Finds `key`, or inserts it in order with the value `make()` gives.
  template <typename Make>
  std::pair<iterator, bool> Place(std::string_view key, Make&& make) {
    size_t i;
    if (entries_.empty() || std::string_view(entries_.back().first) < key) {
      i = entries_.size();  // sorts last: no search, no moves
    } else {
      i = LowerIndex(key);
      if (entries_[i].first == key) return {begin() + static_cast<std::ptrdiff_t>(i), false};
    }
    entries_.emplace(entries_.begin() + static_cast<std::ptrdiff_t>(i), std::string(key), make());
    return {begin() + static_cast<std::ptrdiff_t>(i), true};
  }

  Entries entries_;
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
  using ListType =
      std::vector<std::shared_ptr<Value>, detail::PoolAllocator<std::shared_ptr<Value>>>;
  using DictType = FlatDict;
  // `type` always equals `data.index()`.
  Type type = Type::Null;
  std::variant<std::nullptr_t, bool, int32_t, double, std::string, BinaryData, ListType, DictType,
               uint64_t>
      data;

  Value() = default;
  // A value of kind `I` (a Type) made from `args`.
  template <size_t I, typename... Args>
  explicit Value(std::in_place_index_t<I>, Args&&... args)
      : type(static_cast<Type>(I)), data(std::in_place_index<I>, std::forward<Args>(args)...) {}
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
