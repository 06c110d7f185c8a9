#include "common/gtk/image_gtk.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

// A hostile icon that claims a huge size is refused before anything is
// allocated for it; ordinary images decode.
TEST(ImageDecode, RefusesHugeImagesQuicklyAndReadsSmallOnes) {
  GdkPixbuf* small = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 3, 2);
  gdk_pixbuf_fill(small, 0x11223344);
  gchar* png = nullptr;
  gsize length = 0;
  ASSERT_TRUE(gdk_pixbuf_save_to_buffer(small, &png, &length, "png", nullptr, nullptr));
  g_object_unref(small);

  GdkPixbuf* read = wexlor_common::DecodeImageGtk(png, length);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(gdk_pixbuf_get_width(read), 3);
  EXPECT_EQ(gdk_pixbuf_get_height(read), 2);
  g_object_unref(read);

  // The same image with its header claiming 50000 × 50000 pixels.
  std::string huge(png, length);
  g_free(png);
  for (int at : {16, 20}) {
    huge[at] = 0;
    huge[at + 1] = 0;
    huge[at + 2] = static_cast<char>(0xC3);
    huge[at + 3] = 0x50;
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wexlor_common::DecodeImageGtk(huge.data(), huge.size()), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(wexlor_common::DecodeImageGtk("not an image", 12), nullptr);
  EXPECT_EQ(wexlor_common::DecodeImageGtk(nullptr, 0), nullptr);
}

}  // namespace
