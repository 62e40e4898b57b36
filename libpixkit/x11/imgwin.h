// Image windows: fixed-size top-level X11 windows that show images. ImageWindow_X11 makes
// and maps the bare window; ImageWindow_Autorefresh_X11 keeps the picture behind it, turns
// images into the window's pixel layout (or into its YV12 XVideo image) and redraws exposed
// parts. The driver shows the input and the backgrounds in such windows.
#ifndef PIXKIT_X11_IMGWIN_H
#define PIXKIT_X11_IMGWIN_H

#include <memory>

#include "libpixkit/graphics/datatypes/image.h"

struct _XDisplay;
union _XEvent;

namespace pixkit {

class X11Server;
class X11ServerConnection;
class DisplayImage_X11;
class Image2RawRGB;
struct ImageWindow_Data;

class ImageWindow_X11 {
 public:
  ImageWindow_X11();
  ~ImageWindow_X11();
  ImageWindow_X11(const ImageWindow_X11&) = delete;
  ImageWindow_X11& operator=(const ImageWindow_X11&) = delete;

  // Where the next Create places the window; (-1, -1) until set. X takes positions from
  // -32768 to 32767: one beyond them is placed at the nearer end.
  void SetPosition(int x, int y);

  // Makes a w x h window with the given title, maps it and returns once it was first exposed,
  // or once it is mapped where the server will not expose it (off the screen, covered).
  // A null server means the shared default connection, a parent of 0 the root window. Without
  // a usable visual the process ends with exit code 10; a hint or name that cannot be
  // allocated ends it with exit code 2.
  void Create(int w, int h, const char* title, X11Server* server = nullptr,
              unsigned long parent = 0);
  // Unmaps the window; a later Create makes a new one.
  void Close();

  unsigned long AskWindow() const;  // the X window; only after Create
  _XDisplay* AskDisplay() const;

 protected:
  bool d_initialized = false;
  std::unique_ptr<ImageWindow_Data> d_xwin;
  std::unique_ptr<X11ServerConnection> d_server;
  int d_xpos = -1;
  int d_ypos = -1;
};

class ImageWindow_Autorefresh_X11 : public ImageWindow_X11 {
 public:
  // use_xv: show YUV images through a YV12 XVideo image where the server offers one.
  explicit ImageWindow_Autorefresh_X11(bool use_xv);
  ~ImageWindow_Autorefresh_X11();

  void Create(int w, int h, const char* title, X11Server* server = nullptr,
              unsigned long parent = 0);
  void Close();

  // Shows the image in the whole window. The part of a larger image that fits the window is
  // shown; an image smaller than the window leaves the rest as it was. Throws Excpt_Text
  // "no suitable colorspace transformation found!" when no transform serves the window's
  // pixel layout; an XVideo window takes YUV images only (Excpt_Assertion otherwise).
  void Display(const Image<Pixel>& img);

  // Puts the rectangle of an Expose event again from the picture.
  void Redraw(_XEvent* ev);
  // Redraws every queued Expose of this window, without blocking.
  void CheckForRedraw();
  // Redraws exposed parts of this window until the process ends.
  [[noreturn]] void RedrawForever();
  // The character of one queued key press in this window, or 0 (no key press, or a key that
  // gives no character). Does not block.
  char CheckForKeypress();
  // Waits for a key press in this window, redrawing exposed parts meanwhile.
  char WaitForKeypress();

  bool UsesXv() const;

 private:
  bool d_use_xv;
  bool d_created = false;  // the display image belongs to the current window
  int d_width = 0;
  int d_height = 0;
  std::unique_ptr<DisplayImage_X11> d_dispimg;
  std::unique_ptr<Image2RawRGB> d_img2raw;
  Image<Pixel> d_yuv420;  // a YUV image of another chroma format, brought to 4:2:0 for XVideo
};

// Waits on the connection of windows[0] for a key press or an Expose in any of the windows.
// Returns the index of the window that got the key press, or -1 after exposed windows were
// redrawn.
int WaitForKeypressOrExpose(ImageWindow_Autorefresh_X11** windows, int count);

}  // namespace pixkit

#endif
