#include "libpixkit/x11/imgwin.h"

#include <gtest/gtest.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpixkit/graphics/color/colorspace.h"
#include "libpixkit/graphics/color/img2raw.h"
#include "libpixkit/utility/error.h"
#include "libpixkit/x11/server.h"
#include "libpixkit/x11/winargs.h"
#include "tests/libpixkit/x11/xtest_support.h"
#include "tests/support/images.h"

// Xlib's macros (None, Status, Bool) after gtest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace pixkit;

namespace {

std::string Text(const Excpt_Base& e) {
  char buf[600];
  e.GetText(buf, sizeof buf);
  return buf;
}

// A picture with smooth ramps and sharp steps in every plane, distinct per plane.
Image<Pixel> MakeImage(Colorspace cs, ChromaFormat chroma, int w, int h) {
  Image<Pixel> img = testsupport::MakeImage(testsupport::Param(w, h, cs, chroma));
  const int planes = cs == Colorspace_Greyscale ? 1 : 3;
  for (int i = 0; i < planes; i++) {
    Bitmap<Pixel>& bm = img.AskBitmap(i);
    Pixel* const* f = bm.AskFrame();
    for (int y = 0; y < bm.AskHeight(); y++)
      for (int x = 0; x < bm.AskWidth(); x++)
        f[y][x] = Pixel(cs == Colorspace_YUV && i == 0 ? 16 + (x * 7 + y * 3 + (x / 5) * 40) % 220
                                                        : (x * (3 + i) + y * (5 - i) + i * 60) % 256);
  }
  return img;
}

// A new image holding the top-left w x h of img: what a window of that size should show.
Image<Pixel> TopLeft(const Image<Pixel>& img, int w, int h) {
  ImageParam p = img.AskParam();
  p.width = w;
  p.height = h;
  Image<Pixel> part;
  part.Create(p);
  const int planes = p.colorspace == Colorspace_Greyscale ? 1 : 3;
  for (int i = 0; i < planes; i++) {
    Bitmap<Pixel>& bm = part.AskBitmap(i);
    for (int y = 0; y < bm.AskHeight(); y++)
      std::copy_n(img.AskBitmap(i).AskFrame()[y], bm.AskWidth(), bm.AskFrame()[y]);
  }
  return part;
}

// The pixel layout of a window's memory, as the window fills it.
RawRGBFormat FormatOf(Display* dpy, Window win) {
  XWindowAttributes a;
  XGetWindowAttributes(dpy, win, &a);
  XImage* probe = XCreateImage(dpy, a.visual, unsigned(a.depth), ZPixmap, 0, nullptr, 16, 1, 32, 0);
  RawRGBFormat f;
  f.bytes_per_line = probe->bytes_per_line;
  f.bits_per_pixel = probe->bits_per_pixel;
  f.little_endian = probe->byte_order == LSBFirst;
  f.SetRGBMasks(probe->red_mask, probe->green_mask, probe->blue_mask);
  XDestroyImage(probe);
  return f;
}

// What the transform makes of the image's top-left w x h, as pixel values.
std::vector<unsigned long> Expected(Display* dpy, Window win, const Image<Pixel>& img, int w,
                                    int h) {
  XWindowAttributes a;
  XGetWindowAttributes(dpy, win, &a);
  XImage* ref = XCreateImage(dpy, a.visual, unsigned(a.depth), ZPixmap, 0, nullptr,
                             unsigned(img.AskWidth() + 16), unsigned(img.AskHeight()), 32, 0);
  std::vector<char> mem(size_t(ref->bytes_per_line) * size_t(img.AskHeight()));
  ref->data = mem.data();
  RawRGBFormat f = FormatOf(dpy, win);
  f.bytes_per_line = ref->bytes_per_line;
  Image2RawRGB conv;
  conv.SetFormat(f);
  conv.Transform(img, reinterpret_cast<uint8_t*>(mem.data()), 0, -1);
  std::vector<unsigned long> px;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) px.push_back(XGetPixel(ref, x, y));
  ref->data = nullptr;
  XDestroyImage(ref);
  return px;
}

std::vector<unsigned long> Shown(Display* dpy, Window win, int w, int h) {
  xtest::ImagePtr back = xtest::ReadBack(dpy, win, 0, 0, w, h);
  std::vector<unsigned long> px;
  if (!back) return px;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) px.push_back(XGetPixel(back.get(), x, y));
  return px;
}

int Mismatches(const std::vector<unsigned long>& a, const std::vector<unsigned long>& b) {
  if (a.size() != b.size()) return -1;
  int n = 0;
  for (size_t i = 0; i < a.size(); i++) n += a[i] != b[i];
  return n;
}

// The parent for windows whose pixels a test reads back: redirected off-screen, so windows
// of other tests cannot cover them.
struct Desk {
  Desk(const std::string& display, int w = 400, int h = 300)
      : env(display.c_str()), win(conn.AskDisplay(), w, h) {}
  Display* Dpy() { return conn.AskDisplay(); }
  xtest::ScopedDisplayEnv env;
  X11ServerConnection conn;
  xtest::TestWindow win;
};

std::string Property(Display* dpy, Window win, bool icon) {
  XTextProperty prop;
  const Status ok = icon ? XGetWMIconName(dpy, win, &prop) : XGetWMName(dpy, win, &prop);
  if (!ok) return "<none>";
  std::string s(reinterpret_cast<char*>(prop.value), prop.nitems);
  XFree(prop.value);
  return s;
}

}  // namespace

TEST(ImageWindow, VisualPropertiesAndPosition) {
  for (const char* var : {"QUILLMERE_X24", "QUILLMERE_X16"}) {
    QUILLMERE_REQUIRE_XSERVER(display, var);
    SCOPED_TRACE(var);
    xtest::ServerLock lock(display);  // top-level windows: no test may cover them meanwhile
    xtest::ScopedDisplayEnv env(display.c_str());

    ImageWindow_X11 placed;
    placed.SetPosition(37, 21);
    placed.Create(120, 80, "background reconstruction");
    Display* dpy = placed.AskDisplay();
    const Window win = placed.AskWindow();

    XWindowAttributes a;
    XGetWindowAttributes(dpy, win, &a);
    const int screen_depth = DefaultDepth(dpy, DefaultScreen(dpy));
    EXPECT_EQ(a.depth, screen_depth == 16 ? 16 : 24);
    EXPECT_EQ(a.visual->c_class, TrueColor);
    EXPECT_EQ(a.map_state, IsViewable);
    EXPECT_EQ(a.x, 37);
    EXPECT_EQ(a.y, 21);
    EXPECT_EQ(a.width, 120);
    EXPECT_EQ(a.height, 80);
    EXPECT_EQ(a.border_width, 2);
    EXPECT_EQ(a.your_event_mask, ExposureMask | KeyPressMask);

    EXPECT_EQ(Property(dpy, win, false), "background reconstruction");
    EXPECT_EQ(Property(dpy, win, true), "background reconstruction");
    XClassHint cls;
    ASSERT_TRUE(XGetClassHint(dpy, win, &cls));
    EXPECT_STREQ(cls.res_class, "Libpixkit");
    EXPECT_STREQ(cls.res_name, "");
    XFree(cls.res_name);
    XFree(cls.res_class);

    XSizeHints size;
    long supplied;
    ASSERT_TRUE(XGetWMNormalHints(dpy, win, &size, &supplied));
    EXPECT_EQ(size.flags, PPosition | PSize | PMinSize | PMaxSize);
    EXPECT_EQ(size.min_width, 120);
    EXPECT_EQ(size.max_width, 120);
    EXPECT_EQ(size.min_height, 80);
    EXPECT_EQ(size.max_height, 80);
    XWMHints* wm = XGetWMHints(dpy, win);
    ASSERT_NE(wm, nullptr);
    EXPECT_EQ(wm->flags, InputHint | StateHint);
    EXPECT_TRUE(wm->input);
    EXPECT_EQ(wm->initial_state, NormalState);
    XFree(wm);
    char** argv = nullptr;
    int argc = 0;
    EXPECT_FALSE(XGetCommand(dpy, win, &argv, &argc));  // no command unless one was set

    // Without a position the window goes to (-1, -1); the command given is announced.
    char arg0[] = "quillmere", arg1[] = "-x";
    char* args[] = {arg0, arg1};
    SetWindowArgs(2, args);
    ImageWindow_X11 unplaced;
    unplaced.Create(50, 40, "input stream");
    SetWindowArgs(0, nullptr);
    XGetWindowAttributes(dpy, unplaced.AskWindow(), &a);
    EXPECT_EQ(a.x, -1);
    EXPECT_EQ(a.y, -1);
    ASSERT_TRUE(XGetCommand(dpy, unplaced.AskWindow(), &argv, &argc));
    ASSERT_EQ(argc, 2);
    EXPECT_STREQ(argv[0], "quillmere");
    EXPECT_STREQ(argv[1], "-x");
    XFreeStringList(argv);

    // Close unmaps; a new Create makes a new window at the position then set.
    placed.Close();
    XGetWindowAttributes(dpy, win, &a);
    EXPECT_EQ(a.map_state, IsUnmapped);
    placed.SetPosition(5, 6);
    placed.Create(30, 30, "again");
    EXPECT_NE(placed.AskWindow(), win);
    XGetWindowAttributes(dpy, placed.AskWindow(), &a);
    EXPECT_EQ(a.x, 5);
    EXPECT_EQ(a.y, 6);
  }
}

TEST(ImageWindowDeathTest, MisuseStopsTheProcess) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child makes its own connection
  ImageWindow_X11 win;
  EXPECT_DEATH(win.AskWindow(), "d_initialized");
  Desk desk(display, 64, 64);
  EXPECT_DEATH(
      {
        win.Create(20, 20, "one", nullptr, desk.win.Id());
        win.Create(20, 20, "two", nullptr, desk.win.Id());
      },
      "!d_initialized");
  GTEST_FLAG_SET(death_test_style, style);
}

TEST(ImageWindow, NoServerThrows) {
  xtest::ScopedDisplayEnv env("unix:64999");
  ImageWindow_Autorefresh_X11 win(false);
  try {
    win.Create(20, 20, "x");
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(Text(e), "cannot open X-server connection");
  }
}

// Every kind of image the tool shows, through the window's converter, pixel for pixel.
TEST(ImageWindow, DisplayShowsWhatTheTransformMakes) {
  const struct {
    const char* name;
    Colorspace cs;
    ChromaFormat chroma;
  } kinds[] = {{"YUV 4:2:0", Colorspace_YUV, Chroma_420},
               {"YUV 4:4:4", Colorspace_YUV, Chroma_444},
               {"greyscale", Colorspace_Greyscale, Chroma_444},
               {"RGB", Colorspace_RGB, Chroma_444}};
  for (const char* var : {"QUILLMERE_X24", "QUILLMERE_X16"}) {
    QUILLMERE_REQUIRE_XSERVER(display, var);
    SCOPED_TRACE(var);
    Desk desk(display);
    ImageWindow_Autorefresh_X11 win(false);
    win.Create(90, 60, "kinds", nullptr, desk.win.Id());
    EXPECT_FALSE(win.UsesXv());
    for (const auto& k : kinds) {
      SCOPED_TRACE(k.name);
      const Image<Pixel> img = MakeImage(k.cs, k.chroma, 90, 60);
      win.Display(img);
      const auto want = Expected(desk.Dpy(), win.AskWindow(), img, 90, 60);
      EXPECT_EQ(Mismatches(Shown(desk.Dpy(), win.AskWindow(), 90, 60), want), 0);
    }

    // Plausible colours, not just agreement: a grey level comes out as that grey.
    Image<Pixel> grey = MakeImage(Colorspace_Greyscale, Chroma_444, 90, 60);
    Clear(grey.AskBitmapY(), Pixel(200));
    win.Display(grey);
    const unsigned long p = Shown(desk.Dpy(), win.AskWindow(), 1, 1).at(0);
    const RawRGBFormat f = FormatOf(desk.Dpy(), win.AskWindow());
    const int r = int((p & f.r_mask) >> f.r_shift) << (8 - f.r_bits);
    const int b = int((p & f.b_mask) >> f.b_shift) << (8 - f.b_bits);
    EXPECT_NEAR(r, 200, 8);
    EXPECT_NEAR(b, 200, 8);
  }
}

TEST(ImageWindow, ImagesOfAnotherSizeStayWithinTheWindow) {
  for (const char* var : {"QUILLMERE_X24", "QUILLMERE_X16"}) {
    QUILLMERE_REQUIRE_XSERVER(display, var);
    SCOPED_TRACE(var);
    Desk desk(display);
    ImageWindow_Autorefresh_X11 win(false);
    win.Create(61, 45, "sizes", nullptr, desk.win.Id());

    // A larger image: its top-left part fills the window, nothing is written past the memory.
    for (ChromaFormat chroma : {Chroma_420, Chroma_444}) {
      const Image<Pixel> big = MakeImage(Colorspace_YUV, chroma, 200, 150);
      win.Display(big);
      EXPECT_EQ(Mismatches(Shown(desk.Dpy(), win.AskWindow(), 61, 45),
                           Expected(desk.Dpy(), win.AskWindow(), TopLeft(big, 61, 45), 61, 45)),
                0);
    }
    const Image<Pixel> wide = MakeImage(Colorspace_RGB, Chroma_444, 300, 10);
    win.Display(wide);
    EXPECT_EQ(Mismatches(Shown(desk.Dpy(), win.AskWindow(), 61, 10),
                         Expected(desk.Dpy(), win.AskWindow(), TopLeft(wide, 61, 10), 61, 10)),
              0);

    // A smaller image replaces only its own part of the picture (a width of whole groups of
    // eight, which the SIMD transforms write at once).
    Image<Pixel> black = MakeImage(Colorspace_Greyscale, Chroma_444, 61, 45);
    Clear(black.AskBitmapY(), Pixel(0));
    win.Display(black);
    const Image<Pixel> small = MakeImage(Colorspace_Greyscale, Chroma_444, 24, 10);
    win.Display(small);
    const auto shown = Shown(desk.Dpy(), win.AskWindow(), 61, 45);
    const auto want = Expected(desk.Dpy(), win.AskWindow(), small, 24, 10);
    int bad = 0, lit = 0;
    for (int y = 0; y < 45; y++)
      for (int x = 0; x < 61; x++) {
        if (x < 24 && y < 10)
          bad += shown[size_t(y * 61 + x)] != want[size_t(y * 24 + x)];
        else
          lit += shown[size_t(y * 61 + x)] != 0;
      }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(lit, 0);
  }
}

TEST(ImageWindow, DisplayBeforeCreateIsRefused) {
  ImageWindow_Autorefresh_X11 win(false);
  EXPECT_THROW(win.Display(MakeImage(Colorspace_Greyscale, Chroma_444, 4, 4)), Excpt_Assertion);
}

namespace {

// The RGB that a BT.601 video-range YUV sample stands for.
void Yuv601ToRgb(int y, int u, int v, int rgb[3]) {
  const double c = 1.164 * (y - 16), d = u - 128.0, e = v - 128.0;
  const double f[3] = {c + 1.596 * e, c - 0.392 * d - 0.813 * e, c + 2.017 * d};
  for (int i = 0; i < 3; i++) rgb[i] = std::clamp(int(std::lround(f[i])), 0, 255);
}

// Largest channel difference between what the window shows and the colour of each sample of
// the 4:2:0 image in its top-left w x h, away from the edges of the 16x16 blocks of
// BlockImage, across which the server filters the chroma.
int WorstXvError(Display* dpy, Window win, const Image<Pixel>& img420, int w, int h) {
  xtest::ImagePtr back = xtest::ReadBack(dpy, win, 0, 0, w, h);
  if (!back) return 999;
  const auto inside = [](int v) { return v % 16 >= 2 && v % 16 < 14; };
  int worst = 0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      if (!inside(x) || !inside(y)) continue;
      int want[3];
      Yuv601ToRgb(img420.AskFrameY()[y][x], img420.AskFrameU()[y / 2][x / 2],
                  img420.AskFrameV()[y / 2][x / 2], want);
      const unsigned long p = XGetPixel(back.get(), x, y);
      const int got[3] = {int(p >> 16 & 255), int(p >> 8 & 255), int(p & 255)};
      for (int i = 0; i < 3; i++) worst = std::max(worst, std::abs(got[i] - want[i]));
    }
  return worst;
}

// Flat colours over 16x16 blocks.
Image<Pixel> BlockImage(ChromaFormat chroma, int w, int h) {
  Image<Pixel> img = testsupport::MakeImage(testsupport::YUVParam(w, h, chroma));
  const int colours[4][3] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {200, 100, 160}};
  for (int i = 0; i < 3; i++) {
    Bitmap<Pixel>& bm = img.AskBitmap(i);
    const int sx = w / bm.AskWidth(), sy = h / bm.AskHeight();
    for (int y = 0; y < bm.AskHeight(); y++)
      for (int x = 0; x < bm.AskWidth(); x++)
        bm.AskFrame()[y][x] = Pixel(colours[((x * sx) / 16 + (y * sy) / 16) % 4][i]);
  }
  return img;
}

}  // namespace

TEST(ImageWindow, XVideoWindowShowsYUVImages) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_XV");
  xtest::ServerLock lock(display);  // needs a free port
  Desk desk(display);
  ImageWindow_Autorefresh_X11 win(true);
  win.Create(96, 64, "xv", nullptr, desk.win.Id());
  ASSERT_TRUE(win.UsesXv());

  const Image<Pixel> img420 = BlockImage(Chroma_420, 96, 64);
  win.Display(img420);
  EXPECT_LE(WorstXvError(desk.Dpy(), win.AskWindow(), img420, 96, 64), 6);

  // 4:4:4 is brought to 4:2:0 first; a larger image is cut to the window.
  const Image<Pixel> img444 = BlockImage(Chroma_444, 160, 128);
  win.Display(img444);
  Image<Pixel> as420;
  ChangeChroma(as420, img444, Chroma_420);
  EXPECT_LE(WorstXvError(desk.Dpy(), win.AskWindow(), as420, 96, 64), 6);

  // Exposed parts come back from the picture.
  XClearArea(desk.Dpy(), win.AskWindow(), 0, 0, 0, 0, True);
  XSync(desk.Dpy(), False);
  win.CheckForRedraw();
  EXPECT_LE(WorstXvError(desk.Dpy(), win.AskWindow(), as420, 96, 64), 6);

  try {
    win.Display(MakeImage(Colorspace_RGB, Chroma_444, 96, 64));
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Assertion& e) {
    EXPECT_NE(Text(e).find("(img.AskParam().colorspace == Colorspace_YUV)"), std::string::npos)
        << Text(e);
  }
}

TEST(ImageWindow, AnXVideoWindowWithoutXVideoUsesTheConverter) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");  // Xvfb offers no XVideo
  Desk desk(display);
  ImageWindow_Autorefresh_X11 win(true);
  win.Create(40, 30, "no xv", nullptr, desk.win.Id());
  EXPECT_FALSE(win.UsesXv());
  const Image<Pixel> img = MakeImage(Colorspace_Greyscale, Chroma_444, 40, 30);
  win.Display(img);
  EXPECT_EQ(Mismatches(Shown(desk.Dpy(), win.AskWindow(), 40, 30),
                       Expected(desk.Dpy(), win.AskWindow(), img, 40, 30)),
            0);
}

namespace {

// Presses and releases a key through the XTEST extension, into the window that has the focus.
void Press(Display* dpy, KeySym sym) {
  const KeyCode code = XKeysymToKeycode(dpy, sym);
  XTestFakeKeyEvent(dpy, code, True, CurrentTime);
  XTestFakeKeyEvent(dpy, code, False, CurrentTime);
  XSync(dpy, False);
}

void Focus(Display* dpy, Window win) {
  XSetInputFocus(dpy, win, RevertToPointerRoot, CurrentTime);
  XSync(dpy, False);
}

// Ends the test process if a wait for an event hangs.
struct Watchdog {
  Watchdog() { alarm(60); }
  ~Watchdog() { alarm(0); }
};

}  // namespace

TEST(ImageWindow, KeyPressesAndExposures) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);  // the focus is the server's, not the test's
  Desk desk(display);
  Display* dpy = desk.Dpy();
  int event_base, error_base, major, minor;
  ASSERT_TRUE(XTestQueryExtension(dpy, &event_base, &error_base, &major, &minor));
  Watchdog watchdog;

  ImageWindow_Autorefresh_X11 w0(false), w1(false), w2(false);
  w0.Create(40, 30, "0", nullptr, desk.win.Id());
  w1.SetPosition(50, 0);
  w1.Create(40, 30, "1", nullptr, desk.win.Id());
  w2.SetPosition(100, 0);
  w2.Create(40, 30, "2", nullptr, desk.win.Id());
  const Image<Pixel> img = MakeImage(Colorspace_RGB, Chroma_444, 40, 30);
  for (auto* w : {&w0, &w1, &w2}) {
    w->Display(img);
    w->CheckForRedraw();
  }
  EXPECT_EQ(w0.CheckForKeypress(), 0);  // nothing pressed: at once

  Focus(dpy, w0.AskWindow());
  Press(dpy, XK_a);
  char c = 0;
  for (int i = 0; i < 200 && !c; i++) {  // the fake event may need a moment to arrive
    c = w0.CheckForKeypress();
    if (!c) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(c, 'a');

  Press(dpy, XK_Shift_L);  // no character
  Press(dpy, XK_b);
  EXPECT_EQ(w0.WaitForKeypress(), 0);
  EXPECT_EQ(w0.WaitForKeypress(), 'b');

  // An exposed window is redrawn and the wait reports -1; a key press names its window.
  ImageWindow_Autorefresh_X11* windows[] = {&w0, &w1, &w2};
  XClearArea(dpy, w2.AskWindow(), 0, 0, 0, 0, True);
  XSync(dpy, False);
  EXPECT_EQ(WaitForKeypressOrExpose(windows, 3), -1);
  EXPECT_EQ(Mismatches(Shown(dpy, w2.AskWindow(), 40, 30),
                       Expected(dpy, w2.AskWindow(), img, 40, 30)),
            0);
  Focus(dpy, w1.AskWindow());
  Press(dpy, XK_c);
  EXPECT_EQ(WaitForKeypressOrExpose(windows, 3), 1);

  // A key press waits behind an exposure; both are handled by WaitForKeypress.
  XClearArea(dpy, w1.AskWindow(), 0, 0, 0, 0, True);
  Press(dpy, XK_d);
  EXPECT_EQ(w1.WaitForKeypress(), 'd');
  EXPECT_EQ(Mismatches(Shown(dpy, w1.AskWindow(), 40, 30),
                       Expected(dpy, w1.AskWindow(), img, 40, 30)),
            0);
  Focus(dpy, PointerRoot);
}

TEST(ImageWindow, CreateDoesNotWaitForAWindowTheServerNeverExposes) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);  // top-level windows: no test may cover them meanwhile
  Desk desk(display, 100, 100);
  Display* dpy = desk.Dpy();
  const int screen = DefaultScreen(dpy);
  const int sw = DisplayWidth(dpy, screen), sh = DisplayHeight(dpy, screen);
  // A window of the desk that a later sibling covers whole.
  const Window hidden = XCreateSimpleWindow(dpy, desk.win.Id(), 0, 0, 50, 50, 0, 0, 0);
  const Window cover = XCreateSimpleWindow(dpy, desk.win.Id(), 0, 0, 60, 60, 0, 0, 0);
  XMapWindow(dpy, hidden);
  XMapWindow(dpy, cover);
  XSync(dpy, False);
  Watchdog watchdog;  // a Create that waits for ever ends the test

  const struct {
    const char* what;
    int x, y;
    Window parent;
  } cases[] = {{"right of the screen", sw + 10, 0, 0},
               {"below the screen", 0, sh + 10, 0},
               {"left of and above the screen", -100, -100, 0},
               {"only its border on the screen", sw - 2, 0, 0},
               {"outside its parent", 150, 0, desk.win.Id()},
               {"covered", 5, 5, hidden}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ImageWindow_X11 win;
    win.SetPosition(c.x, c.y);
    win.Create(40, 30, c.what, nullptr, c.parent);
    XWindowAttributes a;
    XGetWindowAttributes(dpy, win.AskWindow(), &a);
    EXPECT_EQ(a.map_state, IsViewable);
    EXPECT_EQ(a.your_event_mask, ExposureMask | KeyPressMask);
  }

  // A window partly on the screen still has its first Expose taken by Create.
  ImageWindow_X11 partly;
  partly.SetPosition(sw - 10, sh - 10);
  partly.Create(40, 30, "partly");
  XSync(dpy, False);
  XEvent ev;
  EXPECT_FALSE(XCheckTypedWindowEvent(dpy, partly.AskWindow(), Expose, &ev));
  XDestroyWindow(dpy, cover);
  XDestroyWindow(dpy, hidden);
}

TEST(ImageWindowDeathTest, AServerWithoutAUsableVisualEndsTheProcessWithCode10) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");  // Xvfb is there
  xtest::PrivateServer deep(30, false);  // 30-bit colour only
  ASSERT_FALSE(deep.Name().empty());
  xtest::ScopedDisplayEnv env(deep.Name().c_str());
  EXPECT_EXIT(ImageWindow_X11().Create(20, 20, "deep"), testing::ExitedWithCode(10),
              "^no matching visual found\n$");
}

TEST(ImageWindow, APaletteDisplayHasNoTransform) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::PrivateServer palette(8, true);
  ASSERT_FALSE(palette.Name().empty());
  xtest::ScopedDisplayEnv env(palette.Name().c_str());
  ImageWindow_Autorefresh_X11 win(false);
  win.Create(20, 20, "palette");
  XWindowAttributes a;
  XGetWindowAttributes(win.AskDisplay(), win.AskWindow(), &a);
  EXPECT_EQ(a.depth, 8);
  try {
    win.Display(MakeImage(Colorspace_YUV, Chroma_420, 20, 20));
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(Text(e), "no suitable colorspace transformation found!");
  }
}

// The test program stands in for two Xlib allocations, so that a test can make them fail.
namespace {
enum class Refuse { Nothing, ClassHint, TextProperty };
Refuse s_refuse = Refuse::Nothing;
}  // namespace

extern "C" XClassHint* XAllocClassHint() {
  if (s_refuse == Refuse::ClassHint) return nullptr;
  using Fn = XClassHint* (*)();
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "XAllocClassHint"));
  return real();
}

extern "C" Status XStringListToTextProperty(char** list, int count, XTextProperty* prop) {
  if (s_refuse == Refuse::TextProperty) return 0;
  using Fn = Status (*)(char**, int, XTextProperty*);
  static const auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "XStringListToTextProperty"));
  return real(list, count, prop);
}

TEST(ImageWindowDeathTest, AStructureThatCannotBeAllocatedEndsTheProcessWithCode2) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ScopedDisplayEnv env(display.c_str());
  EXPECT_EXIT(
      {
        s_refuse = Refuse::ClassHint;
        ImageWindow_X11().Create(20, 20, "x");
      },
      testing::ExitedWithCode(2), "^cannot allocate XClassHint structure\n$");
  EXPECT_EXIT(
      {
        s_refuse = Refuse::TextProperty;
        ImageWindow_X11().Create(20, 20, "x");
      },
      testing::ExitedWithCode(2), "^cannot allocate structure for windowName\n$");
  // Where they work, they are Xlib's own.
  Desk desk(display, 32, 32);
  ImageWindow_X11 win;
  win.Create(20, 20, "fine", nullptr, desk.win.Id());
  EXPECT_EQ(Property(desk.Dpy(), win.AskWindow(), false), "fine");
}
