#include "backend/page_trust.h"

#include <gtest/gtest.h>

namespace {

// The host's origins must read exactly as the page's location.origin does,
// or a trusted page would lose its bridge (or a foreign one gain it).
TEST(PageTrust, OriginsReadAsPagesReadThem) {
  EXPECT_EQ(UrlOrigin("http://127.0.0.1:8080/a?b#c"), "http://127.0.0.1:8080");
  EXPECT_EQ(UrlOrigin("HTTPS://Example.ORG:443/x"), "https://example.org");
  EXPECT_EQ(UrlOrigin("http://example.org:80"), "http://example.org");
  EXPECT_EQ(UrlOrigin("http://user:pw@example.org:0080/"), "http://example.org");
  EXPECT_EQ(UrlOrigin("http://example.org:08080/"), "http://example.org:8080");
  EXPECT_EQ(UrlOrigin("http://[::1]:3000/"), "http://[::1]:3000");
  EXPECT_EQ(UrlOrigin("https://evil.example\\@good.example/"), "https://evil.example");
  for (const char* none : {"app://app/index.html", "file:///tmp/x.html", "about:blank",
                           "data:text/html,x", "http:/x", "http://:80/", "http://h:8x/", ""}) {
    EXPECT_EQ(UrlOrigin(none), "") << none;
  }
  EXPECT_EQ(UrlScheme("App://x"), "app:");
  EXPECT_TRUE(IsWebUrl("HTTPS://x"));
  EXPECT_FALSE(IsWebUrl("file:///etc/passwd"));
  EXPECT_FALSE(IsWebUrl("javascript:alert(1)"));
}

TEST(PageTrust, OnlyWhatTheRuntimeNavigatedToIsTrusted) {
  PageTrust trust;
  EXPECT_TRUE(trust.Allows("app://anything/page.html"));
  EXPECT_FALSE(trust.Allows("about:blank"));
  EXPECT_FALSE(trust.Allows("http://127.0.0.1:8000/"));

  EXPECT_TRUE(trust.AllowNavigation("http://127.0.0.1:8000/redirect"));
  EXPECT_FALSE(trust.AllowNavigation("http://127.0.0.1:8000/other"));  // nothing new
  EXPECT_TRUE(trust.Allows("http://127.0.0.1:8000/elsewhere"));
  EXPECT_FALSE(trust.Allows("http://127.0.0.2:8000/"));
  EXPECT_FALSE(trust.Allows("https://127.0.0.1:8000/"));
  EXPECT_FALSE(trust.Allows("http://127.0.0.1:8001/"));

  EXPECT_TRUE(trust.AllowHtmlText());
  EXPECT_TRUE(trust.Allows("about:blank"));
  EXPECT_TRUE(trust.AllowNavigation("file:///home/me/app/index.html"));
  EXPECT_TRUE(trust.Allows("file:///elsewhere.html"));
  EXPECT_FALSE(trust.AllowNavigation("http:///nohost"));
  EXPECT_EQ(trust.ScriptLiteral(),
            R"({"schemes":["about:","app:","file:"],"origins":["http://127.0.0.1:8000"]})");

  const std::string a = NewBridgeKey(), b = NewBridgeKey();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
}

}  // namespace
