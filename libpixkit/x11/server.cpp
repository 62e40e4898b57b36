// The shared default X connection and the handles that count its holders.
#include "libpixkit/x11/server.h"

#include <X11/Xlib.h>

#include <cstdlib>

#include "libpixkit/utility/error.h"

namespace pixkit {

namespace {

X11Server_Default* s_default_server = nullptr;

constexpr int c_ExitConnectionLost = 2;

// Xlib ends the process once this handler returns, so the loss cannot travel as an exception.
// It ends the run as other failures do, not with Xlib's own exit code 1, which here means a bad
// command line.
int ConnectionLost(Display*) {
  MessageDisplay::Show(ErrSev_Error, "the connection to the X server was lost");
  std::exit(c_ExitConnectionLost);
}

::Display* OpenDefaultDisplay() {
  XSetIOErrorHandler(ConnectionLost);
  return XOpenDisplay(nullptr);
}

}  // namespace

X11Server_Default::X11Server_Default() : d_display(OpenDefaultDisplay()) {
  if (!d_display) throw Excpt_Text(ErrSev_Error, "cannot open X-server connection");
}

X11Server_Default::~X11Server_Default() {
  if (d_display) XCloseDisplay(d_display);
}

X11ServerConnection::X11ServerConnection() {
  if (!s_default_server) s_default_server = new X11Server_Default;
  s_default_server->IncrRef();
  d_server = s_default_server;
}

X11ServerConnection::X11ServerConnection(X11Server* s) : d_server(s) {
  PIXKIT_ASSERT(s);
  d_server->IncrRef();
}

X11ServerConnection::~X11ServerConnection() {
  if (!d_server) return;
  const bool was_default = d_server == s_default_server;
  if (d_server->DecrRef() && was_default) s_default_server = nullptr;
}

}  // namespace pixkit
