// Image windows: the bare fixed-size window with its window-manager properties, and the
// window that keeps a display image behind it and fills it from images.
#include "libpixkit/x11/imgwin.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xvlib.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libpixkit/graphics/color/colorspace.h"
#include "libpixkit/graphics/color/img2raw.h"
#include "libpixkit/utility/error.h"
#include "libpixkit/x11/dispimg.h"
#include "libpixkit/x11/server.h"
#include "libpixkit/x11/winargs.h"

namespace pixkit {

struct ImageWindow_Data {
  ::Display* d_display = nullptr;
  Window d_win = 0;
};

namespace {

constexpr int c_ExitNoVisual = 10;
// A structure that cannot be allocated is a failure, not a normal end.
constexpr int c_ExitNoMemory = 2;

[[noreturn]] void AllocationFailed(const char* line) {
  fprintf(stderr, "%s", line);
  std::exit(c_ExitNoMemory);
}

// The deeper colour visuals first, 16 bits before 24 to save bandwidth, then the palettes.
bool ChooseVisual(::Display* dpy, int screen, XVisualInfo* info) {
  static const struct {
    int depth;
    int cls;
  } c_Wanted[] = {{16, TrueColor}, {15, TrueColor}, {24, TrueColor},
                  {32, TrueColor}, {8, PseudoColor}, {4, StaticGray}};
  for (const auto& w : c_Wanted)
    if (XMatchVisualInfo(dpy, screen, w.depth, w.cls, info)) return true;
  return false;
}

struct XFreeDeleter {
  void operator()(void* p) const {
    if (p) XFree(p);
  }
};

// Positions travel as signed 16-bit numbers: one beyond them would wrap around to the other
// side of the screen, so it stops at the farthest position X can express.
int ProtocolPosition(int p) { return std::clamp(p, -32768, 32767); }

XTextProperty NameProperty(const char* title, const char* failure) {
  std::string copy = title ? title : "";
  char* list[1] = {&copy[0]};
  XTextProperty prop;
  if (!XStringListToTextProperty(list, 1, &prop)) AllocationFailed(failure);
  return prop;
}

// Drops whatever arrives before the window's first Expose, that Expose too. The server sends
// that Expose in the same pass as the window's VisibilityNotify, if any of the window is in sight;
// a window off the screen or covered gets none, so once the VisibilityNotify came and a round
// trip has brought in all that was sent before it, the wait ends with the queue.
void WaitForFirstExpose(::Display* dpy, Window win) {
  bool visibility_known = false;
  for (;;) {
    if (visibility_known && XEventsQueued(dpy, QueuedAlready) == 0) return;
    XEvent ev;
    XNextEvent(dpy, &ev);
    if (ev.type == Expose && ev.xexpose.window == win) return;
    if (ev.type == VisibilityNotify && ev.xvisibility.window == win && !visibility_known) {
      XSync(dpy, False);
      visibility_known = true;
    }
  }
}

char KeyChar(XEvent* ev) {
  char c;
  KeySym sym;
  return XLookupString(&ev->xkey, &c, 1, &sym, nullptr) >= 1 ? c : 0;
}

}  // namespace

ImageWindow_X11::ImageWindow_X11() : d_xwin(std::make_unique<ImageWindow_Data>()) {}

ImageWindow_X11::~ImageWindow_X11() {
  Close();
  d_xwin.reset();
  d_server.reset();
}

void ImageWindow_X11::SetPosition(int x, int y) {
  d_xpos = x;
  d_ypos = y;
}

void ImageWindow_X11::Create(int w, int h, const char* title, X11Server* server,
                             unsigned long parent) {
  assert(!d_initialized);
  PIXKIT_ASSERT(w > 0 && h > 0);

  d_server.reset();
  d_server = server ? std::make_unique<X11ServerConnection>(server)
                    : std::make_unique<X11ServerConnection>();
  ::Display* dpy = d_server->AskDisplay();
  d_xwin->d_display = dpy;
  const int screen = DefaultScreen(dpy);

  XVisualInfo vinfo;
  if (!ChooseVisual(dpy, screen, &vinfo)) {
    fprintf(stderr, "no matching visual found\n");
    std::exit(c_ExitNoVisual);
  }

  const Window root = RootWindow(dpy, screen);
  XSetWindowAttributes attributes = {};
  attributes.background_pixel = 0;
  attributes.border_pixel = 1;
  attributes.colormap = XCreateColormap(dpy, root, vinfo.visual, AllocNone);
  d_xwin->d_win = XCreateWindow(dpy, parent ? Window(parent) : root, ProtocolPosition(d_xpos),
                                ProtocolPosition(d_ypos), unsigned(w), unsigned(h), 2,
                                vinfo.depth, InputOutput, vinfo.visual,
                                CWBackPixel | CWBorderPixel | CWColormap, &attributes);

  // The window manager is asked to keep the size fixed: minimum = maximum = the size.
  std::unique_ptr<XSizeHints, XFreeDeleter> size_hints(XAllocSizeHints());
  if (!size_hints) AllocationFailed("cannot allocate XSizeHints structure\n");
  std::unique_ptr<XWMHints, XFreeDeleter> wm_hints(XAllocWMHints());
  if (!wm_hints) AllocationFailed("cannot allocate XWMHints structure\n");
  std::unique_ptr<XClassHint, XFreeDeleter> class_hint(XAllocClassHint());
  if (!class_hint) AllocationFailed("cannot allocate XClassHint structure\n");

  size_hints->flags |= PPosition | PSize | PMinSize | PMaxSize;
  size_hints->width = size_hints->min_width = size_hints->max_width = w;
  size_hints->height = size_hints->min_height = size_hints->max_height = h;
  wm_hints->flags = InputHint | StateHint;
  wm_hints->input = True;
  wm_hints->initial_state = NormalState;
  char class_name[] = "Libpixkit";
  class_hint->res_name = nullptr;
  class_hint->res_class = class_name;

  XTextProperty window_name = NameProperty(title, "cannot allocate structure for windowName\n");
  XTextProperty icon_name = NameProperty(title, "cannot allocate structure for iconName\n");
  XSetWMProperties(dpy, d_xwin->d_win, &window_name, &icon_name, AskWindowArgv(),
                   AskWindowArgc(), size_hints.get(), wm_hints.get(), class_hint.get());
  XFree(window_name.value);
  XFree(icon_name.value);

  XSelectInput(dpy, d_xwin->d_win, ExposureMask | KeyPressMask | VisibilityChangeMask);
  XMapWindow(dpy, d_xwin->d_win);
  XFlush(dpy);
  WaitForFirstExpose(dpy, d_xwin->d_win);
  XSelectInput(dpy, d_xwin->d_win, ExposureMask | KeyPressMask);
  d_initialized = true;
}

void ImageWindow_X11::Close() {
  if (!d_initialized) return;
  XUnmapWindow(d_xwin->d_display, d_xwin->d_win);
  XFlush(d_xwin->d_display);
  d_initialized = false;
}

unsigned long ImageWindow_X11::AskWindow() const {
  assert(d_initialized);
  return d_xwin->d_win;
}

::Display* ImageWindow_X11::AskDisplay() const { return d_xwin->d_display; }

ImageWindow_Autorefresh_X11::ImageWindow_Autorefresh_X11(bool use_xv)
    : d_use_xv(use_xv), d_dispimg(std::make_unique<DisplayImage_X11>()) {
  d_dispimg->UseXv(use_xv);
  if (!use_xv) d_img2raw = std::make_unique<Image2RawRGB>();
}

ImageWindow_Autorefresh_X11::~ImageWindow_Autorefresh_X11() {
  d_dispimg.reset();
  d_img2raw.reset();
}

void ImageWindow_Autorefresh_X11::Create(int w, int h, const char* title, X11Server* server,
                                         unsigned long parent) {
  ImageWindow_X11::Create(w, h, title, server, parent);
  // A display image made for an earlier window would keep drawing into that window.
  if (d_created) {
    d_dispimg = std::make_unique<DisplayImage_X11>();
    d_dispimg->UseXv(d_use_xv);
    d_created = false;
  }
  d_dispimg->Create(w, h, AskWindow(), server);
  d_created = true;
  d_width = w;
  d_height = h;

  // Without an XVideo image (no free port, no shared memory) the converter fills the XImage.
  if (!d_dispimg->UsesXv() && !d_img2raw) d_img2raw = std::make_unique<Image2RawRGB>();
  if (d_img2raw) {
    const XImage& ximg = d_dispimg->AskXImage();
    RawRGBFormat format;
    format.resize_width = format.resize_height = 0;
    format.upscale_factor = format.downscale_factor = 0;
    format.greyscale_only = false;
    format.bytes_per_line = ximg.bytes_per_line;
    format.bits_per_pixel = ximg.bits_per_pixel;
    format.little_endian = ximg.byte_order == LSBFirst;
    format.SetRGBMasks(ximg.red_mask, ximg.green_mask, ximg.blue_mask);
    d_img2raw->SetFormat(format);
  }
}

void ImageWindow_Autorefresh_X11::Close() { ImageWindow_X11::Close(); }

bool ImageWindow_Autorefresh_X11::UsesXv() const { return d_created && d_dispimg->UsesXv(); }

void ImageWindow_Autorefresh_X11::Display(const Image<Pixel>& img) {
  PIXKIT_ASSERT_MSG(d_created, "image window not created");

  if (d_dispimg->UsesXv()) {
    PIXKIT_ASSERT(img.AskParam().colorspace == Colorspace_YUV);
    const Image<Pixel>* src = &img;
    if (img.AskParam().chroma != Chroma_420) {
      ChangeChroma(d_yuv420, img, Chroma_420);
      src = &d_yuv420;
    }
    // Only what fits the YV12 image is copied, and the planes go where the server wants them.
    const auto* xv = static_cast<const XvImage*>(d_dispimg->AskXvImage());
    const YV12Planes& planes = d_dispimg->AskYV12Planes();
    const ImageParam p = src->AskParam();
    int cw, ch;
    p.AskChromaSizes(cw, ch);
    const int w = std::min(p.width, xv->width), h = std::min(p.height, xv->height);
    cw = std::min(cw, (xv->width + 1) / 2);
    ch = std::min(ch, (xv->height + 1) / 2);
    const Pixel* const* from[3] = {src->AskFrameY(), src->AskFrameV(), src->AskFrameU()};
    for (int i = 0; i < 3; i++) {
      const int rows = i ? ch : h, cols = i ? cw : w;
      for (int y = 0; y < rows; y++)
        std::memcpy(planes.data[i] + std::ptrdiff_t(y) * planes.pitch[i], from[i][y],
                    size_t(cols));
    }
  } else {
    // The XImage holds the window's size: the rest of a larger image is left out.
    XImage& ximg = d_dispimg->AskXImage();
    auto* mem = reinterpret_cast<uint8_t*>(ximg.data);
    if (img.AskWidth() <= d_width && img.AskHeight() <= d_height) {
      d_img2raw->Transform(img, mem, 0, -1);
    } else {
      Image<Pixel> part = img;
      ImageParam p = part.AskParam();
      p.width = std::min(p.width, d_width);
      p.height = std::min(p.height, d_height);
      part.SetParam(p);
      d_img2raw->Transform(part, mem, 0, -1);
    }
  }
  d_dispimg->PutImage(0, 0, 0, 0, 0, 0);
}

void ImageWindow_Autorefresh_X11::Redraw(XEvent* ev) {
  const XExposeEvent& e = ev->xexpose;
  d_dispimg->PutImage(e.x, e.y, e.width, e.height, e.x, e.y);
}

void ImageWindow_Autorefresh_X11::CheckForRedraw() {
  XEvent ev;
  while (XCheckWindowEvent(AskDisplay(), AskWindow(), ExposureMask, &ev)) Redraw(&ev);
}

void ImageWindow_Autorefresh_X11::RedrawForever() {
  for (;;) {
    XEvent ev;
    XWindowEvent(AskDisplay(), AskWindow(), ExposureMask, &ev);
    Redraw(&ev);
  }
}

char ImageWindow_Autorefresh_X11::CheckForKeypress() {
  XEvent ev;
  if (!XCheckWindowEvent(AskDisplay(), AskWindow(), KeyPressMask, &ev)) return 0;
  return KeyChar(&ev);
}

char ImageWindow_Autorefresh_X11::WaitForKeypress() {
  for (;;) {
    XEvent ev;
    XWindowEvent(AskDisplay(), AskWindow(), ExposureMask | KeyPressMask, &ev);
    if (ev.type == KeyPress) return KeyChar(&ev);
    if (ev.type == Expose) Redraw(&ev);
  }
}

int WaitForKeypressOrExpose(ImageWindow_Autorefresh_X11** windows, int count) {
  PIXKIT_ASSERT(count >= 1);
  for (;;) {
    XEvent ev;
    XMaskEvent(windows[0]->AskDisplay(), ExposureMask | KeyPressMask, &ev);
    bool redrawn = false;
    for (int i = 0; i < count; i++) {
      if (ev.xany.window != windows[i]->AskWindow()) continue;
      if (ev.type == KeyPress) return i;
      if (ev.type == Expose) {
        windows[i]->Redraw(&ev);
        redrawn = true;
      }
    }
    if (redrawn) return -1;
  }
}

}  // namespace pixkit
