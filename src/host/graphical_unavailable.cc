// Stand-in for the graphical shell until the toolkit integration is built.
#include <cstdio>

#include "host/launch.h"

int RunGraphicalMode(int, char**, const CommandLine&) {
  std::fputs("wexlor: the graphical user interface is not built yet; use the worker mode\n",
             stderr);
  return 1;
}
