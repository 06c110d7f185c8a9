// The host executable: a headless worker or a graphical application.
#include "host/launch.h"

int main(int argc, char** argv) {
  const CommandLine commandLine = ScanCommandLine(argc, argv);
  if (DecideLaunchMode(argc, argv) == LaunchMode::Worker) return RunWorkerMode(commandLine);
  return RunGraphicalMode(argc, argv, commandLine);
}
