// Decoding image bytes that come from the runtime (tray icons, notification
// icons) without letting a hostile image stall the main thread.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstddef>

namespace wexlor_common {

// Images larger than this on either side are refused.
inline constexpr int kMaxDecodedImageSide = 4096;

// The image in `bytes` (PNG or anything gdk-pixbuf reads), or null when it
// is unreadable or larger than kMaxDecodedImageSide on a side. The size is
// checked before the decoder allocates the image. The caller owns the
// result.
GdkPixbuf* DecodeImageGtk(const void* bytes, size_t length);

}  // namespace wexlor_common
