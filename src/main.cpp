#include <csignal>
#include <cstdio>

#include "list_display_modes.h"

int main() {
#ifdef SIGPIPE
  // A reader that went away must not end the report early: write errors
  // are ignored and the exit status stays 0.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  ListDisplayModes(800, 600, 32);
  ListDisplayModes(800, 600, 24);
  ListDisplayModes(800, 600, 16);
  std::printf("type enter key to continue.\n");
  std::getchar();
  return 0;
}
