#include "backend/bridge_scripts.h"

#include "backend/bridge_bytes.h"
#include "backend/page_trust.h"
#include "value/json.h"

#include <cstdio>
#include <string_view>
#include <utility>

// The page-side scripts, embedded at build time.
extern const char kWexlorBridgeScriptSource[];
extern const char kWexlorLinkPolicyScriptSource[];

const char kBridgeSendStatement[] = "send(callId, path.join('.'), processedArgs, callbackIds);";

namespace {

constexpr std::string_view kSendMarker = "/*@SEND@*/";
constexpr std::string_view kNamespaceMarker = "/*@NAMESPACE@*/";
constexpr std::string_view kKeyMarker = "/*@KEY@*/";
constexpr std::string_view kTrustMarker = "/*@TRUST@*/";
constexpr std::string_view kBytesMinMarker = "/*@BYTESMIN@*/";

// What the host sends when an error answer comes without error text; an empty
// piece would leave a syntax error and the call pending forever.
constexpr std::string_view kUnknownErrorJson = "\"Unknown error\"";

// Replaces the one occurrence of `marker` in `text`; the build checks that
// every marker occurs exactly once in its script.
void Splice(std::string& text, std::string_view marker, std::string_view replacement) {
  const size_t at = text.find(marker);
  if (at != std::string::npos) text.replace(at, marker.size(), replacement);
}

void AppendUnicodeEscape(std::string& out, uint32_t unit) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(unit));
  out += buffer;
}

// The body of a double-quoted script string literal holding `text`: nothing in
// it can end the literal or the line. Malformed UTF-8 becomes U+FFFD so the
// script text stays valid UTF-8.
std::string EscapeStringLiteralBody(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '\\':
          out += "\\\\";
          break;
        case '"':
          out += "\\\"";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (c < 0x20) {
            AppendUnicodeEscape(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(text.data()) + i;
    const auto* end = reinterpret_cast<const uint8_t*>(text.data()) + text.size();
    unsigned surrogate = 0;
    const size_t length = json::Utf8SequenceLength(p, end, &surrogate);
    if (length == 0) {
      AppendUnicodeEscape(out, 0xFFFD);
      ++i;
    } else {
      // Line and paragraph separators (E2 80 A8/A9) end a line in older
      // script grammars.
      if (length == 3 && p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
        AppendUnicodeEscape(out, 0x2028u + (p[2] - 0xA8u));
      } else {
        out.append(text.substr(i, length));
      }
      i += length;
    }
  }
  return out;
}

// An empty piece of JSON would break the statement's syntax.
std::string_view JsonOr(const std::string& json, std::string_view fallback) {
  return json.find_first_not_of(" \t\r\n") == std::string::npos ? fallback : json;
}

}  // namespace

std::string BuildInitScript(const std::string& ns, const std::string& sendStatement) {
  return BuildInitScript(ns, sendStatement, BridgeAccess{});
}

std::string BuildInitScript(const std::string& ns, const std::string& sendStatement,
                            const BridgeAccess& access) {
  const std::string name = EscapeStringLiteralBody(ns);
  std::string bridge = kWexlorBridgeScriptSource;
  // The markers appear in the reverse of this order, so text already spliced
  // in always lies after the markers still to be found.
  Splice(bridge, kNamespaceMarker, name);
  Splice(bridge, kSendMarker, sendStatement);
  Splice(bridge, kBytesMinMarker, std::to_string(kBytesUpMin));
  Splice(bridge, kKeyMarker, EscapeStringLiteralBody(access.key));
  Splice(bridge, kTrustMarker, access.trust.empty() ? PageTrust().ScriptLiteral() : access.trust);
  std::string linkPolicy = kWexlorLinkPolicyScriptSource;
  Splice(linkPolicy, kNamespaceMarker, name);
  return bridge + linkPolicy;
}

std::string BuildRespondScript(uint64_t callId, const std::string& resultJson,
                               const std::string& errorJson, bool hasError) {
  return BuildRespondScript(callId, resultJson, errorJson, hasError, "");
}

std::string BuildRespondScript(uint64_t callId, const std::string& resultJson,
                               const std::string& errorJson, bool hasError,
                               const std::string& bytesJson) {
  std::string script;
  script.reserve(48 + (hasError ? errorJson.size() : resultJson.size()));
  script += "window.__wexlorRespond(";
  script += std::to_string(callId);
  script += ", ";
  if (hasError) {
    script += "null, ";
    script += JsonOr(errorJson, kUnknownErrorJson);
  } else {
    script += JsonOr(resultJson, "null");
    script += ", null";
    if (!bytesJson.empty()) {
      script += ", ";
      script += bytesJson;
    }
  }
  script += ");";
  return script;
}

std::string BuildInvokeCallbackScript(uint64_t callbackId, const std::string& argsJson) {
  return BuildInvokeCallbackScript(callbackId, argsJson, "");
}

std::string BuildInvokeCallbackScript(uint64_t callbackId, const std::string& argsJson,
                                      const std::string& bytesJson) {
  std::string script;
  script.reserve(56 + argsJson.size() + bytesJson.size());
  script += "window.__wexlorInvokeCallback(";
  script += std::to_string(callbackId);
  script += ", ";
  script += JsonOr(argsJson, "[]");
  if (!bytesJson.empty()) {
    script += ", ";
    script += bytesJson;
  }
  script += ");";
  return script;
}

std::string BuildReleaseCallbackScript(uint64_t callbackId) {
  return "window.__wexlorReleaseCallback(" + std::to_string(callbackId) + ");";
}

std::string BuildRespondScript(uint64_t callId, const std::shared_ptr<wexlor::Value>& result,
                               const std::shared_ptr<wexlor::Value>& error) {
  return BuildRespondScript(callId, result, error, 0);
}

std::string BuildRespondScript(uint64_t callId, const std::shared_ptr<wexlor::Value>& result,
                               const std::shared_ptr<wexlor::Value>& error, uint32_t windowId) {
  std::string text;
  if (error != nullptr) {
    if (json::SerializeBounded(error, kMaxBridgeJson, &text)) {
      return BuildRespondScript(callId, "null", text, true);
    }
  } else {
    OutgoingBytes bytes;
    const auto split = windowId != 0 ? SplitBinary(result, &bytes) : nullptr;
    if (split != nullptr && json::SerializeBounded(split, kMaxBridgeJson, &text)) {
      const std::string url = BytesStore::Get().Add(windowId, bytes);
      return BuildRespondScript(callId, text, "null", false, BytesDescriptorJson(url, bytes));
    }
    if (split == nullptr && json::SerializeBounded(result, kMaxBridgeJson, &text)) {
      return BuildRespondScript(callId, text, "null", false);
    }
  }
  return BuildRespondScript(callId, "null", json::Serialize(wexlor::Value::String(kAnswerTooLarge)),
                            true);
}

std::string BuildInvokeCallbackScript(uint64_t callbackId,
                                      const std::shared_ptr<wexlor::Value>& args) {
  return BuildInvokeCallbackScript(callbackId, args, 0);
}

std::string BuildInvokeCallbackScript(uint64_t callbackId,
                                      const std::shared_ptr<wexlor::Value>& args,
                                      uint32_t windowId) {
  std::string text;
  OutgoingBytes bytes;
  const auto split = windowId != 0 ? SplitBinary(args, &bytes) : nullptr;
  if (split != nullptr) {
    if (!json::SerializeBounded(split, kMaxBridgeJson, &text)) return {};
    const std::string url = BytesStore::Get().Add(windowId, bytes);
    return BuildInvokeCallbackScript(callbackId, text, BytesDescriptorJson(url, bytes));
  }
  if (!json::SerializeBounded(args, kMaxBridgeJson, &text)) return {};
  return BuildInvokeCallbackScript(callbackId, text);
}
