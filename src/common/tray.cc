#include "common/tray.h"

#include <algorithm>
#include <cstring>

namespace wexlor_common {

PixmapPlacement LetterboxPlacement(int width, int height, int size) {
  PixmapPlacement p;
  if (width <= 0 || height <= 0 || size <= 0) return p;
  if (width >= height) {
    p.width = size;
    p.height =
        std::max(1, static_cast<int>((static_cast<int64_t>(height) * size + width / 2) / width));
  } else {
    p.height = size;
    p.width =
        std::max(1, static_cast<int>((static_cast<int64_t>(width) * size + height / 2) / height));
  }
  p.x = (size - p.width) / 2;
  p.y = (size - p.height) / 2;
  return p;
}

std::vector<uint8_t> RgbaToArgbNetwork(const uint8_t* pixels, int width, int height, int stride,
                                       int channels) {
  std::vector<uint8_t> out;
  if (pixels == nullptr || width <= 0 || height <= 0 || (channels != 3 && channels != 4) ||
      stride < width * channels) {
    return out;
  }
  out.resize(static_cast<size_t>(width) * height * 4);
  uint8_t* o = out.data();
  for (int y = 0; y < height; ++y) {
    const uint8_t* p = pixels + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width; ++x, p += channels, o += 4) {
      o[0] = channels == 4 ? p[3] : 0xff;
      o[1] = p[0];
      o[2] = p[1];
      o[3] = p[2];
    }
  }
  return out;
}

TrayClickTracker::Report TrayClickTracker::Activate(int64_t nowUs, int64_t doubleClickUs,
                                                    bool hasDoubleClickHandler) {
  const bool second = pending_ && nowUs >= lastUs_ && nowUs - lastUs_ <= doubleClickUs;
  pending_ = !second;
  lastUs_ = nowUs;
  return second && hasDoubleClickHandler ? Report::DoubleClick : Report::Click;
}

LauncherCount LauncherCountFromBadge(const char* text) {
  LauncherCount c;
  if (text == nullptr) return c;
  const size_t n = std::strlen(text);
  if (n == 0 || n > 18) return c;  // 18 digits always fit in 64 bits
  int64_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return c;
    value = value * 10 + (text[i] - '0');
  }
  c.visible = true;
  c.count = value;
  return c;
}

}  // namespace wexlor_common
