#include "value/value.h"

#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "value/json.h"

namespace wexlor {

namespace {

// Values are small and are made and freed in great numbers (a parsed
// document is one value per element), more than the system allocator's
// per-thread cache holds. Each thread therefore keeps a bounded list of
// freed blocks of the size a value takes with its control block. A block
// freed on another thread joins that thread's list.
class BlockCache {
 public:
  static constexpr size_t kMaxBlocks = 1 << 16;  // at most about 5 MB per thread

  ~BlockCache() {
    gone_ = true;
    while (head_ != nullptr) ::operator delete(std::exchange(head_, head_->next));
  }
  void* Take(size_t size) {
    if (size == blockSize_ && head_ != nullptr && !gone_) {
      --count_;
      return std::exchange(head_, head_->next);
    }
    return ::operator new(size);
  }
  void Give(void* p, size_t size) {
    if (blockSize_ == 0) blockSize_ = size;
    // After the thread's cache is gone (values freed late in thread exit)
    // blocks go straight back to the system.
    if (gone_ || size != blockSize_ || count_ >= kMaxBlocks) {
      ::operator delete(p);
      return;
    }
    head_ = new (p) Node{head_};
    ++count_;
  }

 private:
  struct Node {
    Node* next;
  };
  Node* head_ = nullptr;
  size_t count_ = 0;
  size_t blockSize_ = 0;
  static thread_local bool gone_;  // trivially destructible: readable to the end
};

thread_local bool BlockCache::gone_ = false;
thread_local BlockCache tCache;

template <typename T>
struct CachedAllocator {
  using value_type = T;
  CachedAllocator() = default;
  template <typename U>
  CachedAllocator(const CachedAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(tCache.Take(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { tCache.Give(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const CachedAllocator<U>&) const {
    return true;
  }
};

std::shared_ptr<Value> NewValue() { return std::allocate_shared<Value>(CachedAllocator<Value>()); }

template <Value::Type kType, typename T>
std::shared_ptr<Value> Make(T&& v) {
  auto value = NewValue();
  value->type = kType;
  value->data.emplace<static_cast<size_t>(kType)>(std::forward<T>(v));
  return value;
}

}  // namespace

std::shared_ptr<Value> Value::List() { return Make<Type::List>(ListType{}); }
std::shared_ptr<Value> Value::Dict() { return Make<Type::Dict>(DictType{}); }
std::shared_ptr<Value> Value::String(const std::string& s) { return Make<Type::String>(s); }
std::shared_ptr<Value> Value::String(std::string&& s) { return Make<Type::String>(std::move(s)); }
std::shared_ptr<Value> Value::Null() { return NewValue(); }
std::shared_ptr<Value> Value::Bool(bool b) { return Make<Type::Bool>(b); }
std::shared_ptr<Value> Value::Int(int32_t i) { return Make<Type::Int>(i); }
std::shared_ptr<Value> Value::Double(double d) { return Make<Type::Double>(d); }
std::shared_ptr<Value> Value::Callback(uint64_t id) { return Make<Type::Callback>(id); }

std::shared_ptr<Value> Value::Binary(const void* data, size_t size) {
  auto value = Make<Type::Binary>(BinaryData{});
  auto& bytes = std::get<BinaryData>(value->data).bytes;
  bytes.resize(size);  // zero-filled
  if (data != nullptr && size != 0) std::memcpy(bytes.data(), data, size);
  return value;
}

const std::string& Value::GetString() const {
  static const std::string* const kEmpty = new std::string();
  return type == Type::String ? std::get<std::string>(data) : *kEmpty;
}

const BinaryData& Value::GetBinary() const {
  static const BinaryData* const kEmpty = new BinaryData();
  return type == Type::Binary ? std::get<BinaryData>(data) : *kEmpty;
}

namespace {

bool EqualAt(const Value* a, const Value* b, int depth) {
  static const Value kNull;
  if (a == nullptr) a = &kNull;
  if (b == nullptr) b = &kNull;
  if (a->type != b->type) return false;
  if (depth > json::kMaxDepth) return true;
  switch (a->type) {
    case Value::Type::List: {
      const auto& la = a->AsList();
      const auto& lb = b->AsList();
      if (la.size() != lb.size()) return false;
      for (size_t i = 0; i < la.size(); ++i) {
        if (!EqualAt(la[i].get(), lb[i].get(), depth + 1)) return false;
      }
      return true;
    }
    case Value::Type::Dict: {
      const auto& da = a->AsDict();
      const auto& db = b->AsDict();
      if (da.size() != db.size()) return false;
      for (auto ia = da.begin(), ib = db.begin(); ia != da.end(); ++ia, ++ib) {
        if (ia->first != ib->first || !EqualAt(ia->second.get(), ib->second.get(), depth + 1)) {
          return false;
        }
      }
      return true;
    }
    case Value::Type::Binary:
      return a->GetBinary().bytes == b->GetBinary().bytes;
    case Value::Type::Double: {
      double x = std::get<double>(a->data), y = std::get<double>(b->data);
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    default:
      return a->data == b->data;
  }
}

}  // namespace

bool Equal(const std::shared_ptr<Value>& a, const std::shared_ptr<Value>& b) {
  return EqualAt(a.get(), b.get(), 1);
}

}  // namespace wexlor

wexlor_value::wexlor_value(std::shared_ptr<wexlor::Value> v) : value(std::move(v)) {
  if (value && value->type == wexlor::Value::Type::Callback) {
    isCallback = true;
    callbackId = std::get<uint64_t>(value->data);
  }
}

wexlor_value::~wexlor_value() = default;
