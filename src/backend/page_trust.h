// Which top-level documents of a window may reach the runtime: pages of the
// "app" scheme, pages the runtime loaded itself, and pages of the origins of
// web URLs the runtime navigated the window to. Every other document (one
// reached by a redirect, a script or a link) gets no working bridge.
#pragma once

#include <set>
#include <string>
#include <string_view>

// The URL's scheme in lower case with its colon ("https:"), or "" when the
// text has none.
std::string UrlScheme(std::string_view url);

// The web origin of an http or https URL as a page reads it from
// location.origin ("https://example.org", "http://127.0.0.1:8080"): scheme
// and host in lower case, default ports left out. "" for other URLs.
std::string UrlOrigin(std::string_view url);

// Whether `url` is an http or https URL, the only links handed to the
// browser on a page's behalf.
bool IsWebUrl(std::string_view url);

// A fresh unguessable key for one window's bridge: 128 random bits in hex.
std::string NewBridgeKey();

class PageTrust {
 public:
  PageTrust();

  // Records a URL the runtime navigated the window to: its origin for web
  // URLs, its whole scheme otherwise. Returns whether anything new is trusted.
  bool AllowNavigation(std::string_view url);
  // HTML text loaded by the runtime shows as about:blank.
  bool AllowHtmlText();

  // Whether a top-level document at `url` may reach the runtime.
  bool Allows(std::string_view url) const;

  // The same rule as a script object literal for the page's bridge:
  // {"schemes":["app:",…],"origins":["https://…",…]}.
  std::string ScriptLiteral() const;

 private:
  std::set<std::string> schemes_;
  std::set<std::string> origins_;
};
