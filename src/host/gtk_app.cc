// The graphical mode: a GtkApplication whose activation runs the launch
// sequence and whose shutdown runs the termination sequence.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backend/webview_gtk/event_monitors.h"
#include "backend/wexlor_backend.h"
#include "common/gtk/app_id.h"
#include "common/gtk/dock_gtk.h"
#include "common/gtk/main_queue.h"
#include "host/launch.h"

namespace {

struct AppState {
  CommandLine commandLine;
  WexlorBackend* backend = nullptr;
  bool launched = false;
  bool launchFailed = false;
};

void OnStartup(GApplication* app, gpointer) {
  wexlor_common::MainQueue::Initialize();
  // Ctrl+Q is the start-up menu's Quit item (see the backend's menus).

  // Interrupt and termination signals end the application the ordinary
  // way, so the runtime is shut down and joined.
  for (int signum : {SIGINT, SIGTERM, SIGHUP}) {
    g_unix_signal_add(
        signum,
        [](gpointer a) -> gboolean {
          g_application_quit(G_APPLICATION(a));
          return G_SOURCE_CONTINUE;
        },
        app);
  }

  if (const char* icon = std::getenv("WEXLOR_APP_ICON"); icon != nullptr && *icon) {
    // A file that is missing or not an image keeps the default icon, quietly
    // (GTK's own loader warns).
    if (GdkPixbuf* image = gdk_pixbuf_new_from_file(icon, nullptr)) {
      gtk_window_set_default_icon(image);
      g_object_unref(image);
    }
  }
}

void OnActivate(GApplication* app, gpointer data) {
  auto* state = static_cast<AppState*>(data);
  if (state->launched) {
    // Launched again: the running instance hears of it; the runtime decides.
    wexlor_common::FireDockReopenGtk();
    return;
  }
  state->launched = true;
  // The application runs until the last window closes or the runtime quits,
  // even while the runtime has no window yet.
  g_application_hold(app);
  state->backend = CreateWexlorBackend();
  if (!RunLaunchSequence(state->backend, state->commandLine.runtimePath)) {
    state->launchFailed = true;
    g_application_quit(app);
  }
}

void OnShutdown(GApplication*, gpointer data) {
  auto* state = static_cast<AppState*>(data);
  // Queries still waiting for the main thread return their defaults, so the
  // runtime thread can always be joined.
  wexlor_common::MainQueue::BeginTermination();
  RunTerminationSequence(state->backend);
}

}  // namespace

// The application id, or empty; an invalid one is reported and ignored.
std::string CheckedApplicationId() {
  const char* raw = std::getenv("WEXLOR_APP_ID");
  if (raw == nullptr || *raw == '\0') return "";
  std::string id = wexlor_common::ApplicationIdGtk();
  if (id.empty()) {
    std::fprintf(stderr, "wexlor: WEXLOR_APP_ID \"%s\" is not a valid application id; ignored\n",
                 raw);
  }
  return id;
}

int RunGtkApplication(int argc, char** argv, const CommandLine& commandLine) {
  const std::string appId = CheckedApplicationId();
  const char* name = std::getenv("WEXLOR_APP_NAME");
  if (name != nullptr && *name) {
    g_set_prgname(name);
    g_set_application_name(name);
  }
  if (!appId.empty()) {
    // WM_CLASS and the Wayland app id name the desktop file.
    if (name == nullptr || *name == '\0') {
      gchar* base = g_path_get_basename(argv[0]);
      g_set_application_name(base);
      g_free(base);
    }
    g_set_prgname(appId.c_str());
    gdk_set_program_class(appId.c_str());
  }
  PrepareInputMethods();
  if (!gtk_init_check(&argc, &argv)) {
    std::fputs(
        "wexlor: cannot open a display; set WAYLAND_DISPLAY or DISPLAY, or run a worker with "
        "\"run\"\n",
        stderr);
    return 1;
  }
  // The toolkit has removed its own options (--display, …) from argv.
  WarnAboutUnknownOptions(ScanCommandLine(argc, argv));
  AppState state;
  state.commandLine = commandLine;
  // With an id the application is single-instance: a second launch reaches
  // this one as "activate" and ends. That needs the session bus; without
  // one, or without an id, launches stay independent.
  GApplicationFlags flags = G_APPLICATION_NON_UNIQUE;
  if (!appId.empty()) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (bus != nullptr) {
      flags = G_APPLICATION_DEFAULT_FLAGS;
      g_object_unref(bus);
    } else {
      std::fprintf(stderr, "wexlor: no session bus (%s); running as a separate instance\n",
                   error->message);
      g_clear_error(&error);
    }
  }
  GtkApplication* app = gtk_application_new(appId.empty() ? nullptr : appId.c_str(), flags);
  g_signal_connect(app, "startup", G_CALLBACK(OnStartup), &state);
  g_signal_connect(app, "activate", G_CALLBACK(OnActivate), &state);
  g_signal_connect(app, "shutdown", G_CALLBACK(OnShutdown), &state);
  // The host's own arguments are not GApplication's to interpret.
  char* appArgv[] = {argv[0], nullptr};
  const int status = g_application_run(G_APPLICATION(app), 1, appArgv);
  g_object_unref(app);
  return status != 0 ? status : (state.launchFailed ? 1 : 0);
}

// The entry point the executable looks up when it loads the shell module.
extern "C" __attribute__((visibility("default"))) int wexlor_shell_run(
    int argc, char** argv, const CommandLine* commandLine) {
  return RunGtkApplication(argc, argv, *commandLine);
}
