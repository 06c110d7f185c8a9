// Script text exchanged with the page: the init script injected into every
// page, and the statements that answer calls and run or drop callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "value/value.h"

// The most JSON text the bridge carries in one message, either way; the page
// refuses larger calls and a larger answer becomes a rejection.
inline constexpr size_t kMaxBridgeJson = 128 * 1024 * 1024;
inline constexpr char kAnswerTooLarge[] =
    "The answer is too large to send to the page (more than 128 MiB of JSON)";

// What a window's bridge needs to talk to the host: the window's key, sent
// with every message, and the rule (a script object literal, see PageTrust)
// saying which documents are the application's own. Documents outside the
// rule never learn the key.
struct BridgeAccess {
  std::string key;
  std::string trust;  // empty: only "app" pages
};

// The statement the page runs to hand a call to the host; it sees `callId`,
// `path` (the property names read from the namespace object) and
// `processedArgs`.
extern const char kBridgeSendStatement[];

// The bridge script followed by the link-policy script. `ns` names the global
// namespace object; any text is safe, it is escaped into string literals.
// `sendStatement` is trusted script text (normally kBridgeSendStatement).
std::string BuildInitScript(const std::string& ns, const std::string& sendStatement);
std::string BuildInitScript(const std::string& ns, const std::string& sendStatement,
                            const BridgeAccess& access);

// Settles a call: rejects with `errorJson` when `hasError`, else resolves with
// `resultJson`. The JSON pieces are spliced in as script expressions.
std::string BuildRespondScript(uint64_t callId, const std::string& resultJson,
                               const std::string& errorJson, bool hasError);

// The same, with `bytesJson` (see BytesDescriptorJson) naming the bytes the
// page fetches for the {"__buffer__": index} markers in the result.
std::string BuildRespondScript(uint64_t callId, const std::string& resultJson,
                               const std::string& errorJson, bool hasError,
                               const std::string& bytesJson);

// Runs a page callback with the elements of the JSON array `argsJson`.
std::string BuildInvokeCallbackScript(uint64_t callbackId, const std::string& argsJson);
std::string BuildInvokeCallbackScript(uint64_t callbackId, const std::string& argsJson,
                                      const std::string& bytesJson);

// Drops a page callback; later invocations of it do nothing.
std::string BuildReleaseCallbackScript(uint64_t callbackId);

// The same from values: the values are written with the size bound, and an
// answer that is too large rejects the call with kAnswerTooLarge instead.
std::string BuildRespondScript(uint64_t callId, const std::shared_ptr<wexlor::Value>& result,
                               const std::shared_ptr<wexlor::Value>& error);
// Empty when the arguments are too large to send.
std::string BuildInvokeCallbackScript(uint64_t callbackId,
                                      const std::shared_ptr<wexlor::Value>& args);
// The same for a page of window `windowId` (not 0): binary values of at least
// kBytesDownMin bytes in all are kept in the BytesStore for the page to
// fetch, instead of being written as Base64.
std::string BuildRespondScript(uint64_t callId, const std::shared_ptr<wexlor::Value>& result,
                               const std::shared_ptr<wexlor::Value>& error, uint32_t windowId);
std::string BuildInvokeCallbackScript(uint64_t callbackId,
                                      const std::shared_ptr<wexlor::Value>& args,
                                      uint32_t windowId);
