// The command line that image windows hand to the window manager.
#include "libpixkit/x11/winargs.h"

namespace pixkit {

namespace {
int s_argc = 0;
char** s_argv = nullptr;
}  // namespace

void SetWindowArgs(int argc, char** argv) {
  s_argc = argc;
  s_argv = argv;
}

int AskWindowArgc() { return s_argc; }
char** AskWindowArgv() { return s_argv; }

}  // namespace pixkit
