#include "runtime/value_api.h"

#include <cstdlib>
#include <cstring>
#include <new>

using wexlor::BinaryData;
using wexlor::Value;

namespace {

// The value behind a handle, or null for a null or empty handle.
inline Value* Get(wexlor_value* h) { return h != nullptr ? h->value.get() : nullptr; }

inline bool Is(wexlor_value* h, Value::Type t) {
  const Value* v = Get(h);
  return v != nullptr && v->type == t;
}

// Runs `f`, turning an allocation failure into `fallback`: nothing may
// throw across the boundary to the runtime library.
template <typename R, typename F>
R Guard(R fallback, F&& f) noexcept {
  try {
    return f();
  } catch (...) {
    return fallback;
  }
}

}  // namespace

wexlor_value* NewValueHandle(std::shared_ptr<Value> v) {
  return new (std::nothrow) wexlor_value(std::move(v));
}

bool ValueIsNull(wexlor_value* h) {
  const Value* v = Get(h);
  return v == nullptr || v->type == Value::Type::Null;
}
bool ValueIsBool(wexlor_value* h) { return Is(h, Value::Type::Bool); }
bool ValueIsInt(wexlor_value* h) { return Is(h, Value::Type::Int); }
bool ValueIsDouble(wexlor_value* h) { return Is(h, Value::Type::Double); }
bool ValueIsString(wexlor_value* h) { return Is(h, Value::Type::String); }
bool ValueIsList(wexlor_value* h) { return Is(h, Value::Type::List); }
bool ValueIsDict(wexlor_value* h) { return Is(h, Value::Type::Dict); }
bool ValueIsBinary(wexlor_value* h) { return Is(h, Value::Type::Binary); }
bool ValueIsCallback(wexlor_value* h) { return h != nullptr && h->isCallback; }

bool ValueGetBool(wexlor_value* h) {
  return Is(h, Value::Type::Bool) && std::get<bool>(h->value->data);
}
int32_t ValueGetInt(wexlor_value* h) {
  return Is(h, Value::Type::Int) ? std::get<int32_t>(h->value->data) : 0;
}
double ValueGetDouble(wexlor_value* h) {
  return Is(h, Value::Type::Double) ? std::get<double>(h->value->data) : 0.0;
}

char* ValueGetString(wexlor_value* h, size_t* outLength) {
  if (outLength != nullptr) *outLength = 0;
  if (!Is(h, Value::Type::String)) return nullptr;
  const std::string& s = h->value->GetString();
  auto* copy = static_cast<char*>(std::malloc(s.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s.data(), s.size());
  copy[s.size()] = '\0';
  if (outLength != nullptr) *outLength = s.size();
  return copy;
}

void ValueFreeString(char* s) { std::free(s); }

size_t ValueListSize(wexlor_value* h) {
  return Is(h, Value::Type::List) ? h->value->AsList().size() : 0;
}

wexlor_value* ValueListGet(wexlor_value* h, size_t index) {
  if (!Is(h, Value::Type::List)) return nullptr;
  const auto& list = h->value->AsList();
  if (index >= list.size()) return nullptr;
  return NewValueHandle(list[index]);
}

wexlor_value* ValueDictGet(wexlor_value* h, const char* key) {
  if (key == nullptr || !Is(h, Value::Type::Dict)) return nullptr;
  return Guard<wexlor_value*>(nullptr, [&]() -> wexlor_value* {
    const auto& dict = h->value->AsDict();
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : NewValueHandle(it->second);
  });
}

bool ValueDictHas(wexlor_value* h, const char* key) {
  if (key == nullptr || !Is(h, Value::Type::Dict)) return false;
  return Guard(false, [&] { return h->value->AsDict().count(key) != 0; });
}

size_t ValueDictSize(wexlor_value* h) {
  return Is(h, Value::Type::Dict) ? h->value->AsDict().size() : 0;
}

char** ValueDictKeys(wexlor_value* h, size_t* outCount) {
  if (outCount != nullptr) *outCount = 0;
  if (!Is(h, Value::Type::Dict)) return nullptr;
  const auto& dict = h->value->AsDict();
  if (dict.empty()) return nullptr;
  // One more slot than keys: the null at the end lets ValueFreeKeys stop
  // there when it is given too large a count.
  auto** keys = static_cast<char**>(std::calloc(dict.size() + 1, sizeof(char*)));
  if (keys == nullptr) return nullptr;
  size_t i = 0;
  for (const auto& entry : dict) {
    const std::string& key = entry.first;
    keys[i] = static_cast<char*>(std::malloc(key.size() + 1));
    if (keys[i] == nullptr) {
      ValueFreeKeys(keys, i);
      return nullptr;
    }
    std::memcpy(keys[i], key.data(), key.size());
    keys[i][key.size()] = '\0';
    ++i;
  }
  if (outCount != nullptr) *outCount = i;
  return keys;
}

void ValueFreeKeys(char** keys, size_t count) {
  if (keys == nullptr) return;
  for (size_t i = 0; i < count && keys[i] != nullptr; ++i) std::free(keys[i]);
  std::free(keys);
}

const uint8_t* ValueGetBinary(wexlor_value* h, size_t* outSize) {
  if (outSize != nullptr) *outSize = 0;
  if (!Is(h, Value::Type::Binary)) return nullptr;
  const auto& bytes = h->value->GetBinary().bytes;
  if (outSize != nullptr) *outSize = bytes.size();
  return bytes.data();
}

uint64_t ValueGetCallbackId(wexlor_value* h) {
  return h != nullptr && h->isCallback ? h->callbackId : 0;
}

wexlor_value* ValueNull(void*) {
  return Guard<wexlor_value*>(nullptr, [] { return NewValueHandle(Value::Null()); });
}
wexlor_value* ValueBool(void*, bool b) {
  return Guard<wexlor_value*>(nullptr, [b] { return NewValueHandle(Value::Bool(b)); });
}
wexlor_value* ValueInt(void*, int32_t i) {
  return Guard<wexlor_value*>(nullptr, [i] { return NewValueHandle(Value::Int(i)); });
}
wexlor_value* ValueDouble(void*, double d) {
  return Guard<wexlor_value*>(nullptr, [d] { return NewValueHandle(Value::Double(d)); });
}
wexlor_value* ValueString(void*, const char* s) {
  return Guard<wexlor_value*>(nullptr,
                              [s] { return NewValueHandle(Value::String(s != nullptr ? s : "")); });
}
wexlor_value* ValueList(void*) {
  return Guard<wexlor_value*>(nullptr, [] { return NewValueHandle(Value::List()); });
}
wexlor_value* ValueDict(void*) {
  return Guard<wexlor_value*>(nullptr, [] { return NewValueHandle(Value::Dict()); });
}
wexlor_value* ValueBinary(void*, const void* data, size_t size) {
  return Guard<wexlor_value*>(nullptr, [=] { return NewValueHandle(Value::Binary(data, size)); });
}

bool ValueListAppend(wexlor_value* list, wexlor_value* item) {
  if (!Is(list, Value::Type::List) || Get(item) == nullptr) return false;
  return Guard(false, [&] {
    list->value->AsList().push_back(item->value);
    return true;
  });
}

bool ValueListSet(wexlor_value* list, size_t index, wexlor_value* item) {
  if (!Is(list, Value::Type::List) || Get(item) == nullptr) return false;
  return Guard(false, [&] {
    auto& entries = list->value->AsList();
    if (index >= entries.size()) {
      // Pads with nulls; an index no list can reach fails instead of
      // wrapping `index + 1` round to zero.
      if (index >= entries.max_size()) return false;
      entries.resize(index + 1);
    }
    entries[index] = item->value;
    return true;
  });
}

bool ValueDictSet(wexlor_value* dict, const char* key, wexlor_value* item) {
  if (key == nullptr || !Is(dict, Value::Type::Dict) || Get(item) == nullptr) return false;
  return Guard(false, [&] {
    dict->value->AsDict().insert_or_assign(key, item->value);
    return true;
  });
}

void ValueFree(wexlor_value* h) { delete h; }

wexlor_backend_api* wexlor_register_value_api(wexlor_backend_api* api) {
  api->ValueIsNull = ValueIsNull;
  api->ValueIsBool = ValueIsBool;
  api->ValueIsInt = ValueIsInt;
  api->ValueIsDouble = ValueIsDouble;
  api->ValueIsString = ValueIsString;
  api->ValueIsList = ValueIsList;
  api->ValueIsDict = ValueIsDict;
  api->ValueIsBinary = ValueIsBinary;
  api->ValueIsCallback = ValueIsCallback;
  api->ValueGetBool = ValueGetBool;
  api->ValueGetInt = ValueGetInt;
  api->ValueGetDouble = ValueGetDouble;
  api->ValueGetString = ValueGetString;
  api->ValueFreeString = ValueFreeString;
  api->ValueListSize = ValueListSize;
  api->ValueListGet = ValueListGet;
  api->ValueDictGet = ValueDictGet;
  api->ValueDictHas = ValueDictHas;
  api->ValueDictSize = ValueDictSize;
  api->ValueDictKeys = ValueDictKeys;
  api->ValueFreeKeys = ValueFreeKeys;
  api->ValueGetBinary = ValueGetBinary;
  api->ValueGetCallbackId = ValueGetCallbackId;
  api->ValueNull = ValueNull;
  api->ValueBool = ValueBool;
  api->ValueInt = ValueInt;
  api->ValueDouble = ValueDouble;
  api->ValueString = ValueString;
  api->ValueList = ValueList;
  api->ValueDict = ValueDict;
  api->ValueBinary = ValueBinary;
  api->ValueListAppend = ValueListAppend;
  api->ValueListSet = ValueListSet;
  api->ValueDictSet = ValueDictSet;
  api->ValueFree = ValueFree;
  return api;
}
