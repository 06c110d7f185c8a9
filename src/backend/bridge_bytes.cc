#include "backend/bridge_bytes.h"

#include <algorithm>
#include <cctype>

#include "backend/page_trust.h"
#include "value/json.h"

using wexlor::Value;

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The number of binary bytes in `v`, stopping early once past `enough`.
uint64_t BinaryBytes(const Value* v, int depth, uint64_t enough) {
  if (v == nullptr || depth > json::kMaxDepth) return 0;
  switch (v->type) {
    case Value::Type::Binary:
      return v->GetBinary().bytes.size();
    case Value::Type::List: {
      uint64_t n = 0;
      for (const auto& item : v->AsList()) {
        n += BinaryBytes(item.get(), depth + 1, enough);
        if (n >= enough) break;
      }
      return n;
    }
    case Value::Type::Dict: {
      uint64_t n = 0;
      for (const auto& [key, item] : v->AsDict()) {
        n += BinaryBytes(item.get(), depth + 1, enough);
        if (n >= enough) break;
      }
      return n;
    }
    default:
      return 0;
  }
}

bool ContainsBinary(const Value* v, int depth) {
  if (v == nullptr || depth > json::kMaxDepth) return false;
  switch (v->type) {
    case Value::Type::Binary:
      return true;
    case Value::Type::List:
      return std::any_of(v->AsList().begin(), v->AsList().end(), [depth](const auto& item) {
        return ContainsBinary(item.get(), depth + 1);
      });
    case Value::Type::Dict:
      return std::any_of(v->AsDict().begin(), v->AsDict().end(), [depth](const auto& entry) {
        return ContainsBinary(entry.second.get(), depth + 1);
      });
    default:
      return false;
  }
}

// A copy of `v` with binary values replaced by markers; containers without
// binary values are shared, not copied.
std::shared_ptr<Value> Replace(const std::shared_ptr<Value>& v, int depth, OutgoingBytes* out) {
  if (!v || depth > json::kMaxDepth) return v;
  switch (v->type) {
    case Value::Type::Binary: {
      auto marker = Value::Dict();
      marker->AsDict()["__buffer__"] = Value::Int(static_cast<int32_t>(out->buffers.size()));
      out->total += v->GetBinary().bytes.size();
      out->buffers.push_back(v);
      return marker;
    }
    case Value::Type::List: {
      if (!ContainsBinary(v.get(), depth)) return v;
      auto copy = Value::List();
      auto& list = copy->AsList();
      list.reserve(v->AsList().size());
      for (const auto& item : v->AsList()) list.push_back(Replace(item, depth + 1, out));
      return copy;
    }
    case Value::Type::Dict: {
      if (!ContainsBinary(v.get(), depth)) return v;
      auto copy = Value::Dict();
      auto& dict = copy->AsDict();
      for (const auto& [key, item] : v->AsDict()) {
        dict.insert_or_assign(key, Replace(item, depth + 1, out));  // keys arrive in order
      }
      return copy;
    }
    default:
      return v;
  }
}

}  // namespace

bool IsBridgeEndpoint(std::string_view url) { return StartsWithNoCase(url, kBridgeEndpoint); }

std::shared_ptr<Value> SplitBinary(const std::shared_ptr<Value>& value, OutgoingBytes* out) {
  *out = OutgoingBytes{};
  if (BinaryBytes(value.get(), 0, kBytesDownMin) < kBytesDownMin) return nullptr;
  return Replace(value, 0, out);
}

BytesStore& BytesStore::Get() {
  // Never destroyed: answers may still be built while the process exits.
  static BytesStore* const store = new BytesStore();
  return *store;
}

std::string BytesStore::Add(uint32_t windowId, OutgoingBytes bytes) {
  const std::string token = NewBridgeKey();
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.insert_or_assign(token, Entry{windowId, std::move(bytes)});
  return std::string(kBridgeEndpoint) + kBridgeBytesPath + token;
}

std::optional<OutgoingBytes> BytesStore::Take(uint32_t windowId, std::string_view url) {
  const std::string head = std::string(kBridgeEndpoint) + kBridgeBytesPath;
  if (url.substr(0, head.size()) != head) return std::nullopt;
  const std::string_view token = url.substr(head.size());
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(token);
  if (it == entries_.end() || it->second.windowId != windowId) return std::nullopt;
  OutgoingBytes bytes = std::move(it->second.bytes);
  entries_.erase(it);
  return bytes;
}

void BytesStore::DropWindow(uint32_t windowId) {
  std::vector<OutgoingBytes> dropped;  // released unlocked
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.windowId == windowId) {
      dropped.push_back(std::move(it->second.bytes));
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

size_t BytesStore::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::string BytesDescriptorJson(const std::string& url, const OutgoingBytes& bytes) {
  std::string out = "{\"url\":\"" + json::Escape(url) + "\",\"sizes\":[";
  for (size_t i = 0; i < bytes.buffers.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(bytes.buffers[i]->GetBinary().bytes.size());
  }
  out += "]}";
  return out;
}
