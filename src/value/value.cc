#include "value/value.h"

#include <cmath>
#include <cstring>

#include "value/json.h"

namespace wexlor {

namespace {

template <Value::Type kType, typename T>
std::shared_ptr<Value> Make(T&& v) {
  auto value = std::make_shared<Value>();
  value->type = kType;
  value->data.emplace<static_cast<size_t>(kType)>(std::forward<T>(v));
  return value;
}

}  // namespace

std::shared_ptr<Value> Value::List() { return Make<Type::List>(ListType{}); }
std::shared_ptr<Value> Value::Dict() { return Make<Type::Dict>(DictType{}); }
std::shared_ptr<Value> Value::String(const std::string& s) { return Make<Type::String>(s); }
std::shared_ptr<Value> Value::String(std::string&& s) { return Make<Type::String>(std::move(s)); }
std::shared_ptr<Value> Value::Null() { return std::make_shared<Value>(); }
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

Value::~Value() {
  if (type != Type::List && type != Type::Dict) return;
  // Children held by nobody else are moved out before they are dropped, so
  // each one is released with its own children already moved out.
  std::vector<std::shared_ptr<Value>> pending;
  auto takeChildren = [&pending](Value& v) noexcept {
    auto take = [&pending](std::shared_ptr<Value>& child) {
      if (!child || child.use_count() != 1) return;
      if (child->type != Type::List && child->type != Type::Dict) return;
      try {
        pending.push_back(std::move(child));
      } catch (...) {
        // Out of memory: this child is released recursively, as before.
      }
    };
    if (v.type == Type::List) {
      for (auto& child : std::get<ListType>(v.data)) take(child);
    } else if (v.type == Type::Dict) {
      for (auto& entry : std::get<DictType>(v.data)) take(entry.second);
    }
  };
  takeChildren(*this);
  while (!pending.empty()) {
    std::shared_ptr<Value> next = std::move(pending.back());
    pending.pop_back();
    takeChildren(*next);
  }
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
