// The host's start: command line, mode decision, the worker mode, and the
// launch and termination sequences that the graphical shell runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

class WexlorBackend;

enum class LaunchMode { Graphical, Worker };

struct CommandLine {
  // The value of the last "--runtime PATH" or "--runtime=PATH", when it is
  // not empty and valid UTF-8.
  std::optional<std::string> runtimePath;
  // "--automation": a WebDriver may drive the application.
  bool automation = false;
  // Every other argument that begins with "-", in order, up to "--".
  std::vector<std::string> unknownOptions;
  // The arguments that are not options (all of them after "--"): the URLs
  // and files the application is launched with, in order. A leading "run"
  // is the worker's mode word, not a file.
  std::vector<std::string> arguments;
};

CommandLine ScanCommandLine(int argc, const char* const* argv);
// One line on standard error for each unknown option. The graphical mode
// calls it after the toolkit has taken its own options; a worker's options
// belong to its script.
void WarnAboutUnknownOptions(const CommandLine& commandLine);
// Worker when NODE_CHANNEL_FD or NEXT_PRIVATE_WORKER is present, or when
// "run" is followed by an argument that is not an option.
LaunchMode DecideLaunchMode(int argc, const char* const* argv);

// Loads, starts and at once shuts down the runtime with no backend; returns
// the process exit status.
int RunWorkerMode(const CommandLine& commandLine);

// The runtime path of the graphical mode: the explicit path, else the first
// existing candidate beside the executable or in the working directory,
// overridden by WEXLOR_RUNTIME_PATH when present, else the colocated lookup.
// When nothing is found and `searched` is given, it receives the places
// looked at, in order, as absolute paths.
std::string ResolveGraphicalRuntimePath(const std::optional<std::string>& explicitPath,
                                        std::vector<std::string>* searched = nullptr);

// Hands `backend` to the loader, then resolves, loads and starts the
// runtime. Prints the failure and returns false when the application should
// terminate.
bool RunLaunchSequence(WexlorBackend* backend, const std::optional<std::string>& explicitPath);

// Shuts the runtime down, clears the loader's backend and deletes it.
void RunTerminationSequence(WexlorBackend*& backend);

// The graphical mode: loads the platform shell module and runs it.
int RunGraphicalMode(int argc, char** argv, const CommandLine& commandLine);
// The GTK shell's application, inside that module.
int RunGtkApplication(int argc, char** argv, const CommandLine& commandLine);
