// The command line that image windows hand to the window manager (WM_COMMAND). Until a
// program sets it, windows carry no command.
#ifndef PIXKIT_X11_WINARGS_H
#define PIXKIT_X11_WINARGS_H

namespace pixkit {

void SetWindowArgs(int argc, char** argv);

int AskWindowArgc();
char** AskWindowArgv();

}  // namespace pixkit

#endif
