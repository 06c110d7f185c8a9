// Reading one bridge message from a page: JSON text carrying the window's
// key, the call id, the method and the arguments.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "value/value.h"

struct BridgeMessage {
  enum class Kind {
    kDrop,    // not from the window's bridge: ignore it
    kReject,  // from the bridge, but the runtime cannot take it: reject the call
    kCall,    // a call for the runtime
  };
  Kind kind = Kind::kDrop;
  uint64_t callId = 0;
  std::string method;
  std::shared_ptr<wexlor::Value> args;  // always a list for kCall
  std::string error;                    // why, for kReject
  std::string origin;                   // the origin a dropped message gave, if any
};

// Reads `text` as a message of the window whose bridge key is `key`. Only a
// message with that key and a whole call id in [0, 2^53] is the bridge's; a
// method that holds NUL or is not valid UTF-8 text, or arguments nested
// deeper than the reader keeps, make a call that is rejected.
BridgeMessage ReadBridgeMessage(const std::string& text, const std::string& key);
// The same for NUL-terminated text of `length` bytes, without a copy.
BridgeMessage ReadBridgeMessage(const char* text, size_t length, const std::string& key);

// Copies up to `capacity` further bytes of a body into `dest`; returns how
// many (0 at its end, negative when it cannot be read).
using BodyReader = std::function<int64_t(uint8_t* dest, size_t capacity)>;

// Reads a call the bridge sent as one POST body: the JSON text of the
// message (as above, with "sizes": the byte count of each buffer), a NUL
// byte, then the bytes of every buffer back to back. Each {"__buffer__": i}
// in the arguments becomes buffer i as a binary value. `bodySize` is the
// body's length when known, else -1. A body without the key is dropped
// after its first bytes; a keyed one whose sizes, markers or length do not
// agree, or whose buffers hold more than kMaxBridgeBinary bytes, is
// rejected without reading the buffers.
BridgeMessage ReadBinaryCall(const BodyReader& read, int64_t bodySize, const std::string& key);

// Large calls come up in parts, one POST each, so the UI process never
// holds WebKit's copies of the whole body: every part's body is a short
// header {"key":"…","upload":<call id>,"last":true|false}, a NUL byte, then
// the next piece of the framed call. Parts are kept per window until the
// last one, then read as one body (each part freed once read). Thread-safe.
class UploadParts {
 public:
  // Reads one part for window `windowId`. kCall, kReject or kDrop once the
  // call is whole or refused; otherwise kind is kDrop with `more` set.
  BridgeMessage Add(uint32_t windowId, const BodyReader& read, int64_t partSize,
                    const std::string& key, bool* more);
  // Forgets a window's unfinished upload.
  void DropWindow(uint32_t windowId);
  size_t PendingBytes();

 private:
  // One part's bytes in pages of their own, so they go back to the system
  // the moment they are read, instead of staying in the allocator's heap
  // next to the call's values.
  class Part {
   public:
    explicit Part(size_t capacity);
    Part(Part&& other) noexcept;
    Part& operator=(Part&& other) noexcept;
    ~Part();
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    void set_size(size_t n) { size_ = n; }
    void Release();

   private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
  };
  struct Upload {
    uint64_t callId = 0;
    std::vector<Part> parts;
    uint64_t total = 0;
  };
  std::mutex mutex_;
  std::map<uint32_t, Upload> uploads_;
};

// The most bytes one part may carry.
inline constexpr size_t kMaxUploadPart = 8 * 1024 * 1024;
