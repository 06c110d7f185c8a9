// The graphical mode: a GtkApplication whose activation runs the launch
// sequence and whose shutdown runs the termination sequence.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backend/webview_gtk/automation_gtk.h"
#include "backend/webview_gtk/event_monitors.h"
#include "backend/wexlor_backend.h"
#include "common/gtk/app_id.h"
#include "common/gtk/dialogs_gtk.h"
#include "common/gtk/dock_gtk.h"
#include "common/gtk/main_queue.h"
#include "host/launch.h"
#include "runtime/launch_urls.h"

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
          wexlor_common::EndModalsGtk();
          g_application_quit(G_APPLICATION(a));
          return G_SOURCE_CONTINUE;
        },
        app);
  }

  if (const std::string icon = wexlor_common::ApplicationIconGtk(); !icon.empty()) {
    // A file that is missing or not an image keeps the default icon, quietly
    // (GTK's own loader warns).
    if (GdkPixbuf* image = gdk_pixbuf_new_from_file(icon.c_str(), nullptr)) {
      gtk_window_set_default_icon(image);
      g_object_unref(image);
    }
  }
}

void Launch(GApplication* app, AppState* state) {
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

void OnActivate(GApplication* app, gpointer data) {
  auto* state = static_cast<AppState*>(data);
  if (state->launched) {
    // Launched again: the running instance hears of it; the runtime decides.
    wexlor_common::FireDockReopenGtk();
    return;
  }
  Launch(app, state);
}

// One launch's arguments as URLs: an argument with a URI scheme as given
// (when it is UTF-8), any other as the file:// URL of that path, resolved
// against the working directory of the launching process.
std::vector<std::string> LaunchUrls(GApplicationCommandLine* commandLine) {
  std::vector<std::string> urls;
  gchar** argv = g_application_command_line_get_arguments(commandLine, nullptr);
  for (gchar** arg = argv != nullptr && argv[0] != nullptr ? argv + 1 : argv;
       arg != nullptr && *arg != nullptr; ++arg) {
    if (**arg == '\0') continue;
    gchar* scheme = g_uri_parse_scheme(*arg);
    if (scheme != nullptr && g_utf8_validate(*arg, -1, nullptr)) {
      urls.emplace_back(*arg);
    } else if (scheme != nullptr) {
      std::fputs("wexlor: ignoring a launch URL that is not UTF-8\n", stderr);
    } else {
      GFile* file = g_application_command_line_create_file_for_arg(commandLine, *arg);
      gchar* uri = g_file_get_uri(file);
      if (uri != nullptr) urls.emplace_back(uri);
      g_free(uri);
      g_object_unref(file);
    }
    g_free(scheme);
  }
  g_strfreev(argv);
  return urls;
}

// Every launch, the first one and those that reach this instance later.
int OnCommandLine(GApplication* app, GApplicationCommandLine* commandLine, gpointer data) {
  auto* state = static_cast<AppState*>(data);
  std::vector<std::string> urls = LaunchUrls(commandLine);
  if (!state->launched) {
    // Kept until the runtime registers its handler.
    launch_urls::Deliver(std::move(urls));
    Launch(app, state);
  } else if (urls.empty()) {
    wexlor_common::FireDockReopenGtk();
  } else if (!state->launchFailed) {
    launch_urls::Deliver(std::move(urls));
  }
  return 0;
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
  std::string id = wexlor_common::ApplicationIdGtk();
  if (!id.empty()) return id;
  if (const char* raw = std::getenv("WEXLOR_APP_ID"); raw != nullptr && *raw != '\0') {
    std::fprintf(stderr, "wexlor: WEXLOR_APP_ID \"%s\" is not a valid application id; ignored\n",
                 raw);
  }
  return id;
}

int RunGtkApplication(int argc, char** argv, const CommandLine& commandLine) {
  // A process started with an empty argument list still has a name.
  static char fallbackName[] = "wexlor";
  char* fallbackArgv[] = {fallbackName, nullptr};
  if (argc < 1 || argv[0] == nullptr) {
    argc = 1;
    argv = fallbackArgv;
  }
  if (gchar* exe = g_file_read_link("/proc/self/exe", nullptr)) {
    wexlor_common::LoadApplicationFileGtk(exe);
    g_free(exe);
  }
  const std::string appId = CheckedApplicationId();
  const std::string name = wexlor_common::ApplicationNameGtk();
  if (!name.empty()) {
    g_set_prgname(name.c_str());
    g_set_application_name(name.c_str());
  }
  if (!appId.empty()) {
    // WM_CLASS and the Wayland app id name the desktop file.
    if (name.empty()) {
      gchar* base = g_path_get_basename(argv[0]);
      g_set_application_name(base);
      g_free(base);
    }
    g_set_prgname(appId.c_str());
  }
  // The toolkit sets the class to the program name with a capital first
  // letter unless told otherwise: with an id both parts of WM_CLASS, on
  // every window including the group leader it makes at once, are the id,
  // as the desktop entry's StartupWMClass says.
  const std::string classOption = "--class=" + appId;
  std::vector<char*> toolkitArgv(argv, argv + argc);
  if (!appId.empty())
    toolkitArgv.insert(toolkitArgv.begin() + 1, const_cast<char*>(classOption.c_str()));
  toolkitArgv.push_back(nullptr);
  argc = static_cast<int>(toolkitArgv.size() - 1);
  argv = toolkitArgv.data();
  PrepareInputMethods();
  if (!gtk_init_check(&argc, &argv)) {
    std::fputs(
        "wexlor: cannot open a display; set WAYLAND_DISPLAY or DISPLAY, or run a worker with "
        "\"run\"\n",
        stderr);
    return 1;
  }
  // The toolkit has removed its own options (--display, …) from argv.
  const CommandLine remaining = ScanCommandLine(argc, argv);
  WarnAboutUnknownOptions(remaining);
  ConfigureAutomation(commandLine.automation);
  AppState state;
  state.commandLine = commandLine;
  // With an id the application is single-instance: a second launch hands
  // its arguments to this one ("command-line") and ends. That needs the session bus; without
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
  // Every launch's arguments reach the primary instance as a command line.
  flags = static_cast<GApplicationFlags>(flags | G_APPLICATION_HANDLES_COMMAND_LINE);
  GtkApplication* app = gtk_application_new(appId.empty() ? nullptr : appId.c_str(), flags);
  g_signal_connect(app, "startup", G_CALLBACK(OnStartup), &state);
  g_signal_connect(app, "activate", G_CALLBACK(OnActivate), &state);
  g_signal_connect(app, "command-line", G_CALLBACK(OnCommandLine), &state);
  g_signal_connect(app, "shutdown", G_CALLBACK(OnShutdown), &state);
  // Only the URLs and files go to GApplication, none that it could take for
  // one of its own options.
  std::vector<std::string> arguments;
  for (const std::string& arg : remaining.arguments) {
    arguments.push_back(arg.empty() || arg[0] != '-' ? arg : "./" + arg);
  }
  std::vector<char*> appArgv = {argv[0]};
  for (std::string& arg : arguments) appArgv.push_back(arg.data());
  appArgv.push_back(nullptr);
  const int status =
      g_application_run(G_APPLICATION(app), static_cast<int>(appArgv.size() - 1), appArgv.data());
  g_object_unref(app);
  return status != 0 ? status : (state.launchFailed ? 1 : 0);
}

// The entry point the executable looks up when it loads the shell module.
extern "C" __attribute__((visibility("default"))) int wexlor_shell_run(
    int argc, char** argv, const CommandLine* commandLine) {
  return RunGtkApplication(argc, argv, *commandLine);
}
