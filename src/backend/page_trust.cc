#include "backend/page_trust.h"

#include <random>

#include "value/json.h"

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsSchemeChar(char c, bool first) {
  const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return alpha;
  return alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

std::string JsonList(const std::set<std::string>& items) {
  std::string out = "[";
  for (const auto& item : items) {
    if (out.size() > 1) out += ',';
    out += '"';
    out += json::Escape(item);
    out += '"';
  }
  return out + "]";
}

}  // namespace

std::string UrlScheme(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && IsSchemeChar(url[i], i == 0)) ++i;
  if (i == 0 || i >= url.size() || url[i] != ':') return {};
  std::string scheme;
  for (size_t k = 0; k <= i; ++k) scheme += Lower(url[k]);
  return scheme;
}

bool IsWebUrl(std::string_view url) {
  const std::string scheme = UrlScheme(url);
  return scheme == "http:" || scheme == "https:";
}

std::string UrlOrigin(std::string_view url) {
  const std::string scheme = UrlScheme(url);
  if (scheme != "http:" && scheme != "https:") return {};
  std::string_view rest = url.substr(scheme.size());
  if (rest.substr(0, 2) != "//") return {};
  rest.remove_prefix(2);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#\\"));
  // Whatever precedes the last '@' is user information (npos + 1 is 0).
  const std::string_view hostPort = authority.substr(authority.rfind('@') + 1);
  // The port follows the last colon outside an IPv6 literal's brackets.
  std::string_view host = hostPort, port;
  const size_t bracket = hostPort.rfind(']');
  const size_t colon = hostPort.rfind(':');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    host = hostPort.substr(0, colon);
    port = hostPort.substr(colon + 1);
  }
  if (host.empty()) return {};
  std::string origin = scheme + "//";
  for (char c : host) origin += Lower(c);
  size_t digits = 0;
  while (digits < port.size() && port[digits] == '0') ++digits;
  std::string portText(port.substr(digits));
  if (portText.empty() && !port.empty()) portText = "0";
  for (char c : portText) {
    if (c < '0' || c > '9') return {};
  }
  const bool defaultPort = portText.empty() || (scheme == "http:" && portText == "80") ||
                           (scheme == "https:" && portText == "443");
  if (!defaultPort) origin += ":" + portText;
  return origin;
}

std::string NewBridgeKey() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string key;
  for (int i = 0; i < 4; ++i) {
    uint32_t bits = random();
    for (int k = 0; k < 8; ++k, bits >>= 4) key += kHex[bits & 0xF];
  }
  return key;
}

PageTrust::PageTrust() { schemes_.insert("app:"); }

bool PageTrust::AllowNavigation(std::string_view url) {
  const std::string origin = UrlOrigin(url);
  if (!origin.empty()) return origins_.insert(origin).second;
  if (IsWebUrl(url)) return false;  // a web URL without a usable host trusts nothing
  const std::string scheme = UrlScheme(url);
  if (scheme.empty()) return false;
  return schemes_.insert(scheme).second;
}

bool PageTrust::AllowHtmlText() { return schemes_.insert("about:").second; }

bool PageTrust::Allows(std::string_view url) const {
  const std::string origin = UrlOrigin(url);
  if (!origin.empty()) return origins_.count(origin) != 0;
  if (IsWebUrl(url)) return false;
  return schemes_.count(UrlScheme(url)) != 0;
}

std::string PageTrust::ScriptLiteral() const {
  return "{\"schemes\":" + JsonList(schemes_) + ",\"origins\":" + JsonList(origins_) + "}";
}
