// Script text exchanged with the page: the init script injected into every
// page, and the statements that answer calls and run or drop callbacks.
#pragma once

#include <cstdint>
#include <string>

// The statement the page runs to hand a call to the host; it sees `callId`,
// `path` (the property names read from the namespace object) and
// `processedArgs`.
extern const char kBridgeSendStatement[];

// The bridge script followed by the link-policy script. `ns` names the global
// namespace object; any text is safe, it is escaped into string literals.
// `sendStatement` is trusted script text (normally kBridgeSendStatement).
std::string BuildInitScript(const std::string& ns, const std::string& sendStatement);

// Settles a call: rejects with `errorJson` when `hasError`, else resolves with
// `resultJson`. The JSON pieces are spliced in as script expressions.
std::string BuildRespondScript(uint64_t callId, const std::string& resultJson,
                               const std::string& errorJson, bool hasError);

// Runs a page callback with the elements of the JSON array `argsJson`.
std::string BuildInvokeCallbackScript(uint64_t callbackId, const std::string& argsJson);

// Drops a page callback; later invocations of it do nothing.
std::string BuildReleaseCallbackScript(uint64_t callbackId);
