/* wexlor-screenshot: saves the root window of $DISPLAY as a PNG file.
 *
 *   wexlor-screenshot out.png
 */
#include <gdk/gdk.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <out.png>\n", argc > 0 ? argv[0] : "wexlor-screenshot");
    return 2;
  }
  const char* out = argv[1];
  if (!gdk_init_check(&argc, &argv)) {
    fprintf(stderr, "wexlor-screenshot: cannot open display %s\n",
            g_getenv("DISPLAY") ? g_getenv("DISPLAY") : "(DISPLAY not set)");
    return 1;
  }

  GdkWindow* root = gdk_get_default_root_window();
  const int width = gdk_window_get_width(root);
  const int height = gdk_window_get_height(root);
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
  if (pixbuf == NULL) {
    fprintf(stderr, "wexlor-screenshot: cannot read the %dx%d root window\n", width, height);
    return 1;
  }

  GError* error = NULL;
  const gboolean saved = gdk_pixbuf_save(pixbuf, out, "png", &error, NULL);
  g_object_unref(pixbuf);
  if (!saved) {
    fprintf(stderr, "wexlor-screenshot: cannot save %s: %s\n", out, error->message);
    g_error_free(error);
    return 1;
  }
  return 0;
}
