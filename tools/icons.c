/* wexlor-icons SOURCE.png OUTDIR NAME: the hicolor theme's icon sizes of one
 * image, OUTDIR/<N>x<N>/apps/NAME.png, each scaled to fit a transparent
 * square. Sizes above the image's own are made only up to 48, the size
 * every theme lookup falls back to. Writes OUTDIR/NAME.sizes last, listing
 * the sizes, so a build can depend on it. */
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib/gstdio.h>
#include <stdio.h>

static const int kSizes[] = {16, 24, 32, 48, 64, 128, 256, 512};

static GdkPixbuf* Square(GdkPixbuf* source, int size) {
  const int w = gdk_pixbuf_get_width(source), h = gdk_pixbuf_get_height(source);
  const double scale = (double)size / (w > h ? w : h);
  int sw = (int)(w * scale + 0.5), sh = (int)(h * scale + 0.5);
  if (sw < 1) sw = 1;
  if (sh < 1) sh = 1;
  GdkPixbuf* square = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  gdk_pixbuf_fill(square, 0);
  GdkPixbuf* scaled = gdk_pixbuf_scale_simple(source, sw, sh, GDK_INTERP_HYPER);
  gdk_pixbuf_copy_area(scaled, 0, 0, sw, sh, square, (size - sw) / 2, (size - sh) / 2);
  g_object_unref(scaled);
  return square;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s SOURCE.png OUTDIR NAME\n", argv[0]);
    return 2;
  }
  GError* error = NULL;
  GdkPixbuf* loaded = gdk_pixbuf_new_from_file(argv[1], &error);
  if (loaded == NULL) {
    fprintf(stderr, "wexlor-icons: cannot read %s: %s\n", argv[1], error->message);
    return 1;
  }
  GdkPixbuf* source = gdk_pixbuf_add_alpha(loaded, FALSE, 0, 0, 0);
  g_object_unref(loaded);
  const int w = gdk_pixbuf_get_width(source), h = gdk_pixbuf_get_height(source);
  const int largest = w > h ? w : h;
  GString* list = g_string_new(NULL);
  int status = 0;
  for (size_t i = 0; i < G_N_ELEMENTS(kSizes) && status == 0; ++i) {
    const int size = kSizes[i];
    if (size > largest && size > 48) break;
    gchar* dir = g_strdup_printf("%s/%dx%d/apps", argv[2], size, size);
    gchar* file = g_strdup_printf("%s/%s.png", dir, argv[3]);
    GdkPixbuf* icon = Square(source, size);
    if (g_mkdir_with_parents(dir, 0755) != 0 || !gdk_pixbuf_save(icon, file, "png", &error, NULL)) {
      fprintf(stderr, "wexlor-icons: cannot write %s: %s\n", file,
              error != NULL ? error->message : "cannot make its directory");
      status = 1;
    }
    g_string_append_printf(list, "%d\n", size);
    g_object_unref(icon);
    g_free(file);
    g_free(dir);
  }
  if (status == 0) {
    gchar* stamp = g_strdup_printf("%s/%s.sizes", argv[2], argv[3]);
    if (!g_file_set_contents(stamp, list->str, -1, &error)) {
      fprintf(stderr, "wexlor-icons: cannot write %s: %s\n", stamp, error->message);
      status = 1;
    }
    g_free(stamp);
  }
  g_string_free(list, TRUE);
  g_object_unref(source);
  g_clear_error(&error);
  return status;
}
