// Toolkit-free pieces of tray icons and the launcher entry: icon pixmaps
// as status-notifier hosts want them, the click/double-click decision and
// the launcher badge's count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wexlor_common {

// The square sizes an icon is offered at, so hosts need not scale.
inline constexpr int kTrayPixmapSizes[] = {16, 22, 24, 32, 48};

// Where a width × height image goes in a size × size square: scaled to fit
// with its aspect ratio kept, centred, never smaller than one pixel.
struct PixmapPlacement {
  int x = 0, y = 0, width = 0, height = 0;
};
PixmapPlacement LetterboxPlacement(int width, int height, int size);

// Rows of 8-bit RGB or RGBA pixels (straight alpha; `channels` 3 or 4) as
// ARGB32 words in network byte order: A, R, G, B per pixel, rows packed.
// Empty when the arguments do not describe an image.
std::vector<uint8_t> RgbaToArgbNetwork(const uint8_t* pixels, int width, int height, int stride,
                                       int channels);

// Turns a stream of activations into clicks and double clicks: the second
// activation within the double-click time is a double click when a
// double-click handler exists, else another click. A third starts afresh.
class TrayClickTracker {
 public:
  enum class Report { Click, DoubleClick };
  Report Activate(int64_t nowUs, int64_t doubleClickUs, bool hasDoubleClickHandler);

 private:
  bool pending_ = false;  // the last activation may start a double click
  int64_t lastUs_ = 0;
};

// The launcher entry's count for a badge text: a whole number (decimal
// digits that fit in 64 bits) is shown as a count; anything else, null and
// "" included, hides the count.
struct LauncherCount {
  bool visible = false;
  int64_t count = 0;
};
LauncherCount LauncherCountFromBadge(const char* text);

}  // namespace wexlor_common
