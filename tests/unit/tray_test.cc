#include "common/tray.h"

#include <gtest/gtest.h>

#include <vector>

namespace wexlor_common {
namespace {

TEST(TrayPixmap, ConvertsStraightRgbaToNetworkOrderArgb) {
  // One opaque red pixel, one half-transparent blue one, then row padding.
  const uint8_t rgba[] = {0xff, 0, 0, 0xff, 0, 0, 0xff, 0x80, 0xee, 0xee};
  EXPECT_EQ(RgbaToArgbNetwork(rgba, 2, 1, 10, 4),
            (std::vector<uint8_t>{0xff, 0xff, 0, 0, 0x80, 0, 0, 0xff}));
  // RGB rows are opaque; rows after the first start at the stride.
  const uint8_t rgb[] = {1, 2, 3, 9, 4, 5, 6, 9};
  EXPECT_EQ(RgbaToArgbNetwork(rgb, 1, 2, 4, 3),
            (std::vector<uint8_t>{0xff, 1, 2, 3, 0xff, 4, 5, 6}));
  // Nothing that does not describe an image.
  EXPECT_TRUE(RgbaToArgbNetwork(rgba, 2, 1, 7, 4).empty());
  EXPECT_TRUE(RgbaToArgbNetwork(rgba, 0, 1, 8, 4).empty());
  EXPECT_TRUE(RgbaToArgbNetwork(nullptr, 1, 1, 4, 4).empty());
  EXPECT_TRUE(RgbaToArgbNetwork(rgba, 1, 1, 4, 2).empty());
}

TEST(TrayPixmap, LetterboxesIntoCentredSquares) {
  auto eq = [](PixmapPlacement p, int x, int y, int w, int h) {
    return p.x == x && p.y == y && p.width == w && p.height == h;
  };
  EXPECT_TRUE(eq(LetterboxPlacement(32, 32, 16), 0, 0, 16, 16));
  EXPECT_TRUE(eq(LetterboxPlacement(2, 1, 16), 0, 4, 16, 8));
  EXPECT_TRUE(eq(LetterboxPlacement(10, 40, 22), 8, 0, 6, 22));
  // A sliver keeps at least one pixel.
  EXPECT_TRUE(eq(LetterboxPlacement(1000, 1, 16), 0, 7, 16, 1));
  EXPECT_TRUE(eq(LetterboxPlacement(0, 5, 16), 0, 0, 0, 0));
  for (int size : kTrayPixmapSizes) {
    const PixmapPlacement p = LetterboxPlacement(3, 7, size);
    EXPECT_EQ(p.height, size);
    EXPECT_LE(p.x + p.width, size);
  }
}

TEST(TrayClicks, PairsActivationsWithinTheDoubleClickTime) {
  using R = TrayClickTracker::Report;
  const int64_t dbl = 400000;
  TrayClickTracker t;
  EXPECT_EQ(t.Activate(1000000, dbl, true), R::Click);
  EXPECT_EQ(t.Activate(1200000, dbl, true), R::DoubleClick);
  // A third quick activation starts a new pair.
  EXPECT_EQ(t.Activate(1300000, dbl, true), R::Click);
  EXPECT_EQ(t.Activate(1400000, dbl, true), R::DoubleClick);
  // Too slow: two clicks.
  EXPECT_EQ(t.Activate(3000000, dbl, true), R::Click);
  EXPECT_EQ(t.Activate(3500000, dbl, true), R::Click);
  // Without a double-click handler the second one is a click.
  TrayClickTracker u;
  EXPECT_EQ(u.Activate(0, dbl, false), R::Click);
  EXPECT_EQ(u.Activate(100, dbl, false), R::Click);
  // A clock that goes backwards never makes a pair.
  TrayClickTracker v;
  EXPECT_EQ(v.Activate(5000, dbl, true), R::Click);
  EXPECT_EQ(v.Activate(4000, dbl, true), R::Click);
}

TEST(LauncherBadge, OnlyWholeNumbersBecomeCounts) {
  auto shown = [](const char* t) { return LauncherCountFromBadge(t).visible; };
  EXPECT_EQ(LauncherCountFromBadge("7").count, 7);
  EXPECT_EQ(LauncherCountFromBadge("0042").count, 42);
  EXPECT_EQ(LauncherCountFromBadge("999999999999999999").count, 999999999999999999LL);
  EXPECT_TRUE(shown("0"));
  EXPECT_FALSE(shown(nullptr));
  EXPECT_FALSE(shown(""));
  EXPECT_FALSE(shown("new"));
  EXPECT_FALSE(shown("-3"));
  EXPECT_FALSE(shown("3 "));
  EXPECT_FALSE(shown("1.5"));
  EXPECT_FALSE(shown("9999999999999999999"));  // past 64 bits
}

}  // namespace
}  // namespace wexlor_common
