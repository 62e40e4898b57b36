// The X display connection shared by every window and display image of the library,
// and the counted handles through which they reach it.
#ifndef PIXKIT_X11_SERVER_H
#define PIXKIT_X11_SERVER_H

#include "libpixkit/utility/refcntr.h"

struct _XDisplay;
typedef struct _XDisplay Display;

namespace pixkit {

class X11Server : public ReferenceCntr {
 public:
  ~X11Server() override {}
  virtual Display* AskDisplay() = 0;
};

// The display named by DISPLAY; opened on construction, closed by the destructor. Losing the
// connection to the server later ends the process with "Error: " and a line, exit code 2.
class X11Server_Default : public X11Server {
 public:
  X11Server_Default();  // throws Excpt_Text "cannot open X-server connection"
  ~X11Server_Default() override;
  Display* AskDisplay() override { return d_display; }

 private:
  Display* d_display = nullptr;
};

// One counted reference to a server. The default handle shares a process-wide
// X11Server_Default that lives as long as any default handle does.
class X11ServerConnection {
 public:
  X11ServerConnection();
  explicit X11ServerConnection(X11Server* s);  // s must come from new; its last handle deletes it
  ~X11ServerConnection();
  X11ServerConnection(const X11ServerConnection&) = delete;
  X11ServerConnection& operator=(const X11ServerConnection&) = delete;

  Display* AskDisplay() const { return d_server ? d_server->AskDisplay() : nullptr; }

 private:
  X11Server* d_server = nullptr;
};

}  // namespace pixkit

#endif
