// Raw bytes between the page and the host, outside the message channel: the
// host's own endpoint of the "app" scheme, which takes calls whose arguments
// hold buffers as one POST and serves large binary answers from one-time
// URLs. The framing of the POST body is read in bridge_message.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "value/value.h"

// Every URL of the endpoint starts with this; a request for it never reaches
// the runtime's scheme handler. The ".invalid" name is reserved, so no
// application's own URL can be one of these.
inline constexpr char kBridgeEndpoint[] = "app://wexlor-bridge.invalid/";
inline constexpr char kBridgeCallPath[] = "call";
inline constexpr char kBridgeBytesPath[] = "bytes/";

// Calls whose buffers hold fewer bytes than this keep Base64 inside the
// message, and so do answers and callback arguments below the second bound:
// below them the extra request costs more than the text (measured with
// bridge_bench's size sweep, see docs/benchmarks.md). Fetching an answer's
// bytes costs more than posting a call's, so its bound is higher.
inline constexpr size_t kBytesUpMin = 64 * 1024;
inline constexpr size_t kBytesDownMin = 1024 * 1024;

// The most bytes of buffers one call may carry up.
inline constexpr uint64_t kMaxBridgeBinary = 256ull * 1024 * 1024;

// Whether `url` names the endpoint (the scheme and name in any case).
bool IsBridgeEndpoint(std::string_view url);

// The binary values taken out of an answer, in the order their markers
// {"__buffer__": index} appear in the answer's text.
struct OutgoingBytes {
  std::vector<std::shared_ptr<wexlor::Value>> buffers;  // each a Binary value
  uint64_t total = 0;
};

// When `value` holds binary values of at least kBytesDownMin bytes in all,
// returns a copy of it with each replaced by its marker and collects them in
// `out`; the values themselves are shared, not copied. Returns null (and
// leaves `out` empty) when the answer should keep Base64.
std::shared_ptr<wexlor::Value> SplitBinary(const std::shared_ptr<wexlor::Value>& value,
                                           OutgoingBytes* out);

// Bytes waiting for the page to fetch them, each under an unguessable
// one-time token and for one window only. Thread-safe.
class BytesStore {
 public:
  static BytesStore& Get();

  // Keeps `bytes` for `windowId`; returns the URL that serves them once.
  std::string Add(uint32_t windowId, OutgoingBytes bytes);
  // Takes the bytes `url` names if they were kept for `windowId`.
  std::optional<OutgoingBytes> Take(uint32_t windowId, std::string_view url);
  // Drops what a window's document never fetched (new document, closed).
  void DropWindow(uint32_t windowId);
  size_t Count();

 private:
  struct Entry {
    uint32_t windowId;
    OutgoingBytes bytes;
  };
  std::mutex mutex_;
  std::map<std::string, Entry, std::less<>> entries_;
};

// The answer's extra argument naming its bytes: {"url":"…","sizes":[…]}.
std::string BytesDescriptorJson(const std::string& url, const OutgoingBytes& bytes);
