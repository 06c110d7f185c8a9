#include "backend/bridge_scripts.h"

#include <cstdio>
#include <string_view>
#include <utility>

// The page-side scripts, embedded at build time.
extern const char kWexlorBridgeScriptSource[];
extern const char kWexlorLinkPolicyScriptSource[];

const char kBridgeSendStatement[] =
    "window.webkit.messageHandlers.wexlor.postMessage({\n"
    "    callId: callId,\n"
    "    method: path.join('.'),\n"
    "    args: processedArgs });";

namespace {

constexpr std::string_view kSendMarker = "/*@SEND@*/";
constexpr std::string_view kNamespaceMarker = "/*@NAMESPACE@*/";

// What the host sends when an error answer comes without error text; an empty
// piece would leave a syntax error and the call pending forever.
constexpr std::string_view kUnknownErrorJson = "\"Unknown error\"";

struct ScriptPieces {
  std::string_view bridgeBeforeSend;
  std::string_view bridgeBeforeNamespace;
  std::string_view bridgeRest;
  std::string_view linkPolicyBeforeNamespace;
  std::string_view linkPolicyRest;
};

// Splits `text` around the first `marker`. The build checks that every marker
// occurs exactly once in its script.
std::pair<std::string_view, std::string_view> SplitAt(std::string_view text,
                                                      std::string_view marker) {
  size_t at = text.find(marker);
  if (at == std::string_view::npos) return {text, {}};
  return {text.substr(0, at), text.substr(at + marker.size())};
}

const ScriptPieces& Pieces() {
  static const ScriptPieces pieces = [] {
    ScriptPieces p;
    auto [bridge1, bridgeTail] = SplitAt(kWexlorBridgeScriptSource, kSendMarker);
    auto [bridge2, bridge3] = SplitAt(bridgeTail, kNamespaceMarker);
    auto [link1, link2] = SplitAt(kWexlorLinkPolicyScriptSource, kNamespaceMarker);
    p.bridgeBeforeSend = bridge1;
    p.bridgeBeforeNamespace = bridge2;
    p.bridgeRest = bridge3;
    p.linkPolicyBeforeNamespace = link1;
    p.linkPolicyRest = link2;
    return p;
  }();
  return pieces;
}

// Length of the well-formed UTF-8 sequence starting at s[i] (which is >= 0x80),
// or 0 when it is malformed, overlong, a surrogate or beyond U+10FFFF.
size_t Utf8SequenceLength(std::string_view s, size_t i, uint32_t* codePoint) {
  auto byte = [&](size_t k) -> unsigned { return static_cast<unsigned char>(s[k]); };
  unsigned lead = byte(i);
  size_t length;
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  uint32_t cp = lead & (0xFF >> (length + 1));
  for (size_t k = 1; k < length; ++k) {
    unsigned b = byte(i + k);
    unsigned min = k == 1 ? low : 0x80, max = k == 1 ? high : 0xBF;
    if (b < min || b > max) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  *codePoint = cp;
  return length;
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
    uint32_t codePoint = 0;
    size_t length = Utf8SequenceLength(text, i, &codePoint);
    if (length == 0) {
      AppendUnicodeEscape(out, 0xFFFD);
      ++i;
    } else {
      // Line and paragraph separators end a line in older script grammars.
      if (codePoint == 0x2028 || codePoint == 0x2029) {
        AppendUnicodeEscape(out, codePoint);
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
  const ScriptPieces& p = Pieces();
  const std::string name = EscapeStringLiteralBody(ns);
  std::string script;
  script.reserve(p.bridgeBeforeSend.size() + sendStatement.size() + p.bridgeBeforeNamespace.size() +
                 p.bridgeRest.size() + p.linkPolicyBeforeNamespace.size() +
                 p.linkPolicyRest.size() + 2 * name.size());
  script += p.bridgeBeforeSend;
  script += sendStatement;
  script += p.bridgeBeforeNamespace;
  script += name;
  script += p.bridgeRest;
  script += p.linkPolicyBeforeNamespace;
  script += name;
  script += p.linkPolicyRest;
  return script;
}

std::string BuildRespondScript(uint64_t callId, const std::string& resultJson,
                               const std::string& errorJson, bool hasError) {
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
  }
  script += ");";
  return script;
}

std::string BuildInvokeCallbackScript(uint64_t callbackId, const std::string& argsJson) {
  std::string script;
  script.reserve(56 + argsJson.size());
  script += "window.__wexlorInvokeCallback(";
  script += std::to_string(callbackId);
  script += ", ";
  script += JsonOr(argsJson, "[]");
  script += ");";
  return script;
}

std::string BuildReleaseCallbackScript(uint64_t callbackId) {
  return "window.__wexlorReleaseCallback(" + std::to_string(callbackId) + ");";
}
