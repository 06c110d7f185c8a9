/* A drag source for the drop tests: a window titled argv[1] at (argv[2],
 * argv[3]) whose whole area drags the URIs argv[4..] as text/uri-list, the
 * way a file manager offers files. */
#include <gtk/gtk.h>
#include <stdlib.h>

static char** uris;

static void OnDragDataGet(GtkWidget* widget, GdkDragContext* context, GtkSelectionData* data,
                          guint info, guint time, gpointer user) {
  (void)widget, (void)context, (void)info, (void)time, (void)user;
  gtk_selection_data_set_uris(data, uris);
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  if (argc < 5) return 2;
  uris = argv + 4;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), argv[1]);
  gtk_window_set_default_size(GTK_WINDOW(window), 120, 120);
  gtk_window_move(GTK_WINDOW(window), atoi(argv[2]), atoi(argv[3]));
  GtkWidget* box = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(window), box);
  static const GtkTargetEntry targets[] = {{(gchar*)"text/uri-list", 0, 0}};
  gtk_drag_source_set(box, GDK_BUTTON1_MASK, targets, 1, GDK_ACTION_COPY);
  g_signal_connect(box, "drag-data-get", G_CALLBACK(OnDragDataGet), NULL);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
