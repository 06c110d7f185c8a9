#include "backend/web_profile.h"

#include <gtest/gtest.h>

TEST(WebProfile, FoldersStayInsideTheUsersDirectories) {
  // With an id: the id's own folders, as the desktop expects.
  WebProfile p = ResolveWebProfile("org.example.Hello", "/opt/a/libapp.so", "/home/u/.local/share",
                                   "/home/u/.cache/", false);
  EXPECT_FALSE(p.ephemeral);
  EXPECT_EQ(p.dataDir, "/home/u/.local/share/org.example.Hello");
  EXPECT_EQ(p.cacheDir, "/home/u/.cache/org.example.Hello");

  // Without: the library's stem and a hash of its path, under wexlor/.
  p = ResolveWebProfile("", "/opt/a/libapp.so", "/d", "/c", false);
  EXPECT_EQ(p.dataDir.rfind("/d/wexlor/app-", 0), 0u) << p.dataDir;
  EXPECT_EQ(p.key.size(), std::string("app-").size() + 16);
  EXPECT_EQ(p.cacheDir, "/c/wexlor/" + p.key);

  // Hostile text never makes a separator, a dot folder or an empty name.
  for (const char* text : {"../../esc", "..", ".", "", "AC/DC", "a\nb", "\xc3\xa9t\xc3\xa9"}) {
    const std::string key = SanitizedProfileKey(text);
    EXPECT_EQ(key.find('/'), std::string::npos) << text;
    EXPECT_FALSE(key.empty()) << text;
    EXPECT_NE(key[0], '.') << text;
  }
  EXPECT_EQ(SanitizedProfileKey(std::string(200, 'x')).size(), 64u);
  const std::string odd = WebProfileKey("", "/x/../../lib..so");
  EXPECT_EQ(odd.find('/'), std::string::npos);
  EXPECT_NE(odd[0], '.');

  // Relative homes (invalid by the XDG rules) give no folder at all.
  EXPECT_TRUE(ResolveWebProfile("", "/a.so", "rel", "/c", false).ephemeral);
  p = ResolveWebProfile("", "/a.so", "/d", "/c", true);
  EXPECT_TRUE(p.ephemeral);
  EXPECT_TRUE(p.dataDir.empty());
}

TEST(WebProfile, KeyFollowsTheRuntimeNotItsName) {
  const std::string a = WebProfileKey("", "/home/u/a/libruntime.so");
  EXPECT_EQ(a, WebProfileKey("", "/home/u/a/libruntime.so"));
  EXPECT_NE(a, WebProfileKey("", "/home/u/b/libruntime.so"));
  EXPECT_EQ(WebProfileKey("org.example.A", "/x.so"), WebProfileKey("org.example.A", "/y.so"));
}
