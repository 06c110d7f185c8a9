#include "backend/bridge_message.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "backend/bridge_bytes.h"
#include "backend/bridge_scripts.h"
#include "value/json.h"

using wexlor::Value;

namespace {

std::shared_ptr<Value> Field(const Value::DictType& dict, const char* name) {
  auto it = dict.find(name);
  return it == dict.end() ? nullptr : it->second;
}

bool IsString(const std::shared_ptr<Value>& v) { return v && v->type == Value::Type::String; }

// A page call id: a whole number in [0, 2^53], the range in which the page
// counts exactly.
bool ReadCallId(const std::shared_ptr<Value>& v, uint64_t* out) {
  if (!v) return false;
  if (v->type == Value::Type::Int) {
    const int32_t n = std::get<int32_t>(v->data);
    if (n < 0) return false;
    *out = static_cast<uint64_t>(n);
    return true;
  }
  if (v->type != Value::Type::Double) return false;
  const double d = std::get<double>(v->data);
  if (!(d >= 0 && d <= 9007199254740992.0)) return false;
  const auto whole = static_cast<uint64_t>(d);
  if (static_cast<double>(whole) != d) return false;
  *out = whole;
  return true;
}

// Reads one message; with `sizes`, also hands back its "sizes" field.
BridgeMessage ReadMessage(const char* text, size_t length, const std::string& key,
                          std::shared_ptr<Value>* sizes) {
  BridgeMessage out;
  // The bridge writes its key first: anything else is refused before it is
  // parsed, except short notes that may name their origin.
  const std::string prefix = "{\"key\":\"" + key + "\"";
  if (key.empty() || std::string_view(text, length).substr(0, prefix.size()) != prefix) {
    if (length > 4096) return out;
  }
  bool tooDeep = false;
  const char* cursor = text;
  const auto message = json::Parse(cursor, &tooDeep);
  if (!message || message->type != Value::Type::Dict) return out;
  const auto& dict = message->AsDict();
  const auto givenKey = Field(dict, "key");
  if (key.empty() || !IsString(givenKey) || givenKey->GetString() != key) {
    if (const auto origin = Field(dict, "origin"); IsString(origin)) {
      out.origin = origin->GetString();
    }
    return out;
  }
  const auto method = Field(dict, "method");
  if (!ReadCallId(Field(dict, "callId"), &out.callId) || !IsString(method)) return out;
  out.method = method->GetString();
  if (out.method.find('\0') != std::string::npos || !json::IsValidUtf8(out.method)) {
    out.kind = BridgeMessage::Kind::kReject;
    out.error = "The method name is not valid text";
    return out;
  }
  if (tooDeep) {
    out.kind = BridgeMessage::Kind::kReject;
    out.error = "The arguments cannot be sent: they are nested too deeply";
    return out;
  }
  out.args = Field(dict, "args");
  if (!out.args || out.args->type != Value::Type::List) out.args = Value::List();
  if (sizes != nullptr) *sizes = Field(dict, "sizes");
  out.kind = BridgeMessage::Kind::kCall;
  return out;
}

}  // namespace

BridgeMessage ReadBridgeMessage(const std::string& text, const std::string& key) {
  return ReadBridgeMessage(text.c_str(), text.size(), key);
}

BridgeMessage ReadBridgeMessage(const char* text, size_t length, const std::string& key) {
  return ReadMessage(text, length, key, nullptr);
}

namespace {

constexpr size_t kReadStep = 64 * 1024;

BridgeMessage Rejected(BridgeMessage m, const char* why) {
  m.kind = BridgeMessage::Kind::kReject;
  m.args = nullptr;
  m.error = why;
  return m;
}

// The buffer sizes a message lists: whole numbers, within the bound in all.
bool ReadSizes(const std::shared_ptr<Value>& v, std::vector<uint64_t>* sizes, uint64_t* total) {
  if (!v || v->type != Value::Type::List) return false;
  *total = 0;
  for (const auto& item : v->AsList()) {
    uint64_t n = 0;
    if (!ReadCallId(item, &n) || n > kMaxBridgeBinary - *total) return false;
    sizes->push_back(n);
    *total += n;
  }
  return true;
}

// Replaces buffer markers with the buffers; false for a marker that names
// no buffer.
bool PlaceBuffers(std::shared_ptr<Value>& slot, const std::vector<std::shared_ptr<Value>>& buffers,
                  int depth) {
  if (!slot || depth > json::kMaxDepth + 1) return true;
  if (slot->type == Value::Type::List) {
    for (auto& item : slot->AsList()) {
      if (!PlaceBuffers(item, buffers, depth + 1)) return false;
    }
    return true;
  }
  if (slot->type != Value::Type::Dict) return true;
  auto& dict = slot->AsDict();
  if (dict.size() == 1 && dict.begin()->first == "__buffer__") {
    uint64_t index = 0;
    if (!ReadCallId(dict.begin()->second, &index) || index >= buffers.size()) return false;
    slot = buffers[index];
    return true;
  }
  for (auto& entry : dict) {
    if (!PlaceBuffers(entry.second, buffers, depth + 1)) return false;
  }
  return true;
}

}  // namespace

BridgeMessage ReadBinaryCall(const BodyReader& read, int64_t bodySize, const std::string& key) {
  BridgeMessage out;
  if (key.empty()) return out;
  const std::string prefix = "{\"key\":\"" + key + "\"";
  // The message text, up to its NUL; bytes read past it start the buffers.
  std::vector<uint8_t> head;
  size_t textLength = 0;
  for (;;) {
    const size_t at = head.size();
    head.resize(at + kReadStep);
    const int64_t n = read(head.data() + at, kReadStep);
    if (n <= 0) return out;  // ended (or failed) before the text did
    head.resize(at + static_cast<size_t>(n));
    const size_t checked = std::min(head.size(), prefix.size());
    if (std::memcmp(head.data(), prefix.data(), checked) != 0) return out;
    const auto* nul =
        static_cast<const uint8_t*>(std::memchr(head.data() + at, 0, head.size() - at));
    if (nul != nullptr) {
      textLength = static_cast<size_t>(nul - head.data());
      break;
    }
    if (head.size() > kMaxBridgeJson) return out;
  }
  if (textLength < prefix.size()) return out;
  std::shared_ptr<Value> sizesField;
  out = ReadMessage(reinterpret_cast<const char*>(head.data()), textLength, key, &sizesField);
  if (out.kind != BridgeMessage::Kind::kCall) return out;

  std::vector<uint64_t> sizes;
  uint64_t total = 0;
  if (!ReadSizes(sizesField, &sizes, &total)) {
    return Rejected(std::move(out), "The call's bytes are malformed");
  }
  const size_t already = head.size() - textLength - 1;
  if (bodySize >= 0 && static_cast<uint64_t>(bodySize) != textLength + 1 + total) {
    return Rejected(std::move(out), "The call's bytes are malformed");
  }
  if (already > total) return Rejected(std::move(out), "The call's bytes are malformed");

  // Each buffer is read straight into its value.
  std::vector<std::shared_ptr<Value>> buffers;
  buffers.reserve(sizes.size());
  size_t spare = textLength + 1;  // where the unread part of `head` starts
  for (const uint64_t size : sizes) {
    auto buffer = Value::Binary(nullptr, 0);
    auto& bytes = std::get<wexlor::BinaryData>(buffer->data).bytes;
    // Reserved at once when the body's length vouches for it, else grown as
    // bytes arrive, so a false size cannot reserve memory. Filled a step at
    // a time either way, so the pages in use grow only as fast as the
    // parts they come from are freed.
    if (bodySize >= 0) bytes.reserve(size);
    while (bytes.size() < size) {
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(size - bytes.size(), kReadStep * 16));
      if (spare < head.size()) {
        const size_t n = std::min(want, head.size() - spare);
        bytes.insert(bytes.end(), head.begin() + spare, head.begin() + spare + n);
        spare += n;
        continue;
      }
      const size_t at = bytes.size();
      bytes.resize(at + want);
      const int64_t n = read(bytes.data() + at, want);
      if (n <= 0) return Rejected(std::move(out), "The call's bytes are malformed");
      bytes.resize(at + static_cast<size_t>(n));
    }
    buffers.push_back(std::move(buffer));
  }
  uint8_t extra;
  if (spare < head.size() || read(&extra, 1) > 0) {
    return Rejected(std::move(out), "The call's bytes are malformed");
  }
  if (!PlaceBuffers(out.args, buffers, 1)) {
    return Rejected(std::move(out), "The call's bytes are malformed");
  }
  return out;
}

BridgeMessage UploadParts::Add(uint32_t windowId, const BodyReader& read, int64_t partSize,
                               const std::string& key, bool* more) {
  *more = false;
  BridgeMessage out;
  if (key.empty()) return out;
  // The part's header, up to its NUL; what follows is the part's payload.
  constexpr size_t kHeadMax = 256;
  std::vector<uint8_t> head(kHeadMax);
  size_t have = 0;
  const uint8_t* nul = nullptr;
  while (have < kHeadMax && nul == nullptr) {
    const int64_t n = read(head.data() + have, kHeadMax - have);
    if (n <= 0) return out;
    nul = static_cast<const uint8_t*>(std::memchr(head.data() + have, 0, static_cast<size_t>(n)));
    have += static_cast<size_t>(n);
  }
  if (nul == nullptr) return out;
  const size_t headLength = static_cast<size_t>(nul - head.data());
  const std::string prefix = "{\"key\":\"" + key + "\"";
  if (headLength < prefix.size() || std::memcmp(head.data(), prefix.data(), prefix.size()) != 0) {
    return out;
  }
  const char* cursor = reinterpret_cast<const char*>(head.data());
  const std::string text(cursor, headLength);
  const char* textCursor = text.c_str();
  const auto header = json::Parse(textCursor);
  if (!header || header->type != Value::Type::Dict) return out;
  const auto& dict = header->AsDict();
  const auto givenKey = Field(dict, "key");
  const auto last = Field(dict, "last");
  uint64_t callId = 0;
  if (!IsString(givenKey) || givenKey->GetString() != key ||
      !ReadCallId(Field(dict, "upload"), &callId) || !last || last->type != Value::Type::Bool) {
    return out;
  }
  out.callId = callId;

  // The payload, read whole: a part is small. One byte more than a part
  // may hold tells an oversized one; untouched pages cost nothing.
  (void)partSize;
  Part part(kMaxUploadPart + 1);
  size_t got = have - headLength - 1;
  std::memcpy(part.data(), head.data() + headLength + 1, got);
  while (got < part.capacity()) {
    const int64_t n = read(part.data() + got, part.capacity() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  part.set_size(got);

  std::lock_guard<std::mutex> lock(mutex_);
  Upload& upload = uploads_[windowId];
  if (upload.callId != callId || upload.parts.empty()) upload = Upload{callId, {}, 0};
  const uint64_t limit = kMaxBridgeJson + 1 + kMaxBridgeBinary;
  if (part.size() > kMaxUploadPart || upload.total + part.size() > limit) {
    uploads_.erase(windowId);
    return Rejected(std::move(out), "The arguments cannot be sent: they are too large");
  }
  upload.total += part.size();
  upload.parts.push_back(std::move(part));
  if (!std::get<bool>(last->data)) {
    *more = true;
    return out;
  }
  Upload whole = std::move(upload);
  uploads_.erase(windowId);
  size_t index = 0, offset = 0;
  BridgeMessage call = ReadBinaryCall(
      [&whole, &index, &offset](uint8_t* dest, size_t capacity) -> int64_t {
        size_t copied = 0;
        while (copied < capacity && index < whole.parts.size()) {
          auto& piece = whole.parts[index];
          const size_t n = std::min(capacity - copied, piece.size() - offset);
          std::memcpy(dest + copied, piece.data() + offset, n);
          copied += n;
          offset += n;
          if (offset == piece.size()) {
            piece.Release();  // read: freed at once
            ++index;
            offset = 0;
          }
        }
        return static_cast<int64_t>(copied);
      },
      static_cast<int64_t>(whole.total), key);
  if (call.kind == BridgeMessage::Kind::kCall && call.callId != callId) {
    return Rejected(std::move(call), "The call's bytes are malformed");
  }
  return call;
}

UploadParts::Part::Part(size_t capacity) {
  void* pages = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<uint8_t*>(pages);
  capacity_ = capacity;
}

UploadParts::Part::Part(Part&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

UploadParts::Part& UploadParts::Part::operator=(Part&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

UploadParts::Part::~Part() { Release(); }

void UploadParts::Part::Release() {
  if (data_ != nullptr) munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

void UploadParts::DropWindow(uint32_t windowId) {
  std::lock_guard<std::mutex> lock(mutex_);
  uploads_.erase(windowId);
}

size_t UploadParts::PendingBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& [window, upload] : uploads_) n += upload.total;
  return n;
}
