#include "common/gtk/image_gtk.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace wexlor_common {
namespace {

// Decoding is fed in chunks and stops once the header has told the size.
constexpr size_t kDecodeChunk = 64 * 1024;

// A PNG's size from its header, checked before any decoder allocates the
// image; true for other data, which the size-prepared check covers.
bool PngSizeAcceptable(const guchar* p, size_t length) {
  static const guchar kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (length < 24 || std::memcmp(p, kSignature, sizeof kSignature) != 0) return true;
  auto be32 = [](const guchar* q) {
    return (uint32_t(q[0]) << 24) | (uint32_t(q[1]) << 16) | (uint32_t(q[2]) << 8) | q[3];
  };
  return be32(p + 16) <= kMaxDecodedImageSide && be32(p + 20) <= kMaxDecodedImageSide;
}

}  // namespace

GdkPixbuf* DecodeImageGtk(const void* bytes, size_t length) {
  if (bytes == nullptr || length == 0) return nullptr;
  if (!PngSizeAcceptable(static_cast<const guchar*>(bytes), length)) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  bool tooLarge = false;
  g_signal_connect(loader, "size-prepared",
                   G_CALLBACK(+[](GdkPixbufLoader*, gint w, gint h, gpointer flag) {
                     if (w > kMaxDecodedImageSide || h > kMaxDecodedImageSide) {
                       *static_cast<bool*>(flag) = true;
                     }
                   }),
                   &tooLarge);
  const auto* p = static_cast<const guchar*>(bytes);
  bool ok = true;
  for (size_t at = 0; ok && !tooLarge && at < length; at += kDecodeChunk) {
    ok = gdk_pixbuf_loader_write(loader, p + at, std::min(kDecodeChunk, length - at), nullptr);
  }
  GdkPixbuf* pixbuf = nullptr;
  if (ok && !tooLarge && gdk_pixbuf_loader_close(loader, nullptr)) {
    pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pixbuf != nullptr) g_object_ref(pixbuf);
  } else {
    gdk_pixbuf_loader_close(loader, nullptr);
  }
  g_object_unref(loader);
  return pixbuf;
}

}  // namespace wexlor_common
