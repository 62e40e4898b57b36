#include "libpixkit/x11/dispimg.h"

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "libpixkit/utility/error.h"
#include "libpixkit/x11/server.h"
#include "tests/libpixkit/x11/xtest_support.h"

#include <X11/extensions/Xvlib.h>  // after Xlib

using namespace pixkit;

namespace {

// A window on the test server and the default connection that the display image shares, so
// that puts and read-backs travel in order over one connection.
struct Scene {
  Scene(const std::string& display, int w, int h) : env(display.c_str()), win(Dpy(), w, h, 0) {}
  Display* Dpy() { return conn.AskDisplay(); }

  xtest::ScopedDisplayEnv env;
  X11ServerConnection conn;
  xtest::TestWindow win;
};

unsigned long DepthMask(int depth) { return depth >= 32 ? ~0ul : (1ul << depth) - 1; }

unsigned long Pattern(int x, int y, int depth) {
  return ((unsigned long)(x * 2654435761u) ^ (unsigned long)(y * 40503u + 17)) & DepthMask(depth);
}

// Fills the whole image memory, the columns beyond the requested width included.
void FillPattern(XImage& img) {
  for (int y = 0; y < img.height; y++)
    for (int x = 0; x < img.width; x++) XPutPixel(&img, x, y, Pattern(x, y, img.depth));
}

// Counts the pixels of the window rectangle that differ from the pattern at (x+dx, y+dy).
int Mismatches(Display* dpy, Window win, int x0, int y0, int w, int h, int dx, int dy,
               int depth) {
  xtest::ImagePtr back = xtest::ReadBack(dpy, win, x0, y0, w, h);
  EXPECT_NE(back, nullptr);
  if (!back) return w * h;
  int bad = 0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      if ((XGetPixel(back.get(), x, y) & DepthMask(depth)) !=
          Pattern(x0 + x + dx, y0 + y + dy, depth))
        bad++;
  return bad;
}

int CountNonZero(Display* dpy, Window win, int x0, int y0, int w, int h) {
  xtest::ImagePtr back = xtest::ReadBack(dpy, win, x0, y0, w, h);
  int n = 0;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) n += XGetPixel(back.get(), x, y) != 0;
  return n;
}

bool IsSharedImage(XImage& img) { return img.obdata != nullptr; }  // set by XShmCreateImage

// Writes the pattern, puts the whole image and a part of it, and reads both back.
void CheckRoundTrip(Scene& s, DisplayImage_X11& img) {
  XImage& x = img.AskXImage();
  FillPattern(x);
  img.PutImage(0, 0, 0, 0, 0, 0);
  EXPECT_EQ(Mismatches(s.Dpy(), s.win.Id(), 0, 0, 100, 40, 0, 0, x.depth), 0);
  // Only the requested 100 columns reach the window, not the padding up to 112.
  EXPECT_EQ(CountNonZero(s.Dpy(), s.win.Id(), 100, 0, 28, 40), 0);

  img.PutImage(10, 5, 20, 10, 60, 45);
  EXPECT_EQ(Mismatches(s.Dpy(), s.win.Id(), 60, 45, 20, 10, -50, -40, x.depth), 0);
  EXPECT_EQ(CountNonZero(s.Dpy(), s.win.Id(), 0, 40, 60, 24), 0);
}

}  // namespace

TEST(DisplayImage, SharedMemoryImageOnAServerWithMITSHM) {
  for (const char* var : {"QUILLMERE_X24", "QUILLMERE_X16"}) {
    QUILLMERE_REQUIRE_XSERVER(display, var);
    SCOPED_TRACE(var);
    Scene s(display, 128, 64);
    DisplayImage_X11 img;
    testing::internal::CaptureStderr();
    img.Create(100, 40, s.win.Id(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_FALSE(img.UsesXv());
    XImage& x = img.AskXImage();
    EXPECT_TRUE(IsSharedImage(x));
    EXPECT_EQ(x.width, 112);
    EXPECT_EQ(x.height, 40);
    EXPECT_EQ(x.depth, DefaultDepth(s.Dpy(), DefaultScreen(s.Dpy())));
    CheckRoundTrip(s, img);

    img.Create(50, 20, s.win.Id(), nullptr);  // already made: changes nothing
    EXPECT_EQ(&img.AskXImage(), &x);
    EXPECT_EQ(x.width, 112);
  }
}

TEST(DisplayImage, PlainImageWhenSharedMemoryIsNotWanted) {
  for (const char* var : {"QUILLMERE_X24", "QUILLMERE_X16"}) {
    QUILLMERE_REQUIRE_XSERVER(display, var);
    SCOPED_TRACE(var);
    Scene s(display, 128, 64);
    DisplayImage_X11 img;
    img.UseMITSHM(false);
    testing::internal::CaptureStderr();
    img.Create(100, 40, s.win.Id(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    XImage& x = img.AskXImage();
    EXPECT_FALSE(IsSharedImage(x));
    EXPECT_EQ(x.width, 112);
    CheckRoundTrip(s, img);
  }
}

TEST(DisplayImage, ARefusedAttachmentFallsBackToThePlainImage) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_XFOREIGN");
  Scene s(display, 128, 64);
  DisplayImage_X11 img;
  testing::internal::CaptureStderr();
  img.Create(100, 40, s.win.Id(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "MIT-SHM failed, falling back to network mode.\n");

  EXPECT_FALSE(img.UsesXv());
  EXPECT_FALSE(IsSharedImage(img.AskXImage()));
  CheckRoundTrip(s, img);
  // The swallowing error handler is gone again: X errors reach the default handler.
  EXPECT_NE(XSetErrorHandler(nullptr), nullptr);
}

TEST(DisplayImage, AFailedPlainImageThrowsAndLeavesNothingBehind) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  Scene s(display, 32, 32);

  // A caller's server tells whether the image let go of its handle.
  struct OwnServer : X11Server {
    explicit OwnServer(Display* d, bool* gone) : d_dpy(d), d_gone(gone) {}
    ~OwnServer() override { *d_gone = true; }
    Display* AskDisplay() override { return d_dpy; }
    Display* d_dpy;
    bool* d_gone;
  };
  bool gone = false;
  DisplayImage_X11 img;
  img.UseMITSHM(false);
  try {
    img.Create(1 << 28, 1, s.win.Id(), new OwnServer(s.Dpy(), &gone));  // rows beyond Xlib's
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    char buf[200];
    e.GetText(buf, sizeof buf);
    EXPECT_STREQ(buf, "cannot create X image");
  }
  EXPECT_TRUE(gone);

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer stops the process on such a request
  gone = false;
  try {
    img.Create(1 << 25, 1 << 21, s.win.Id(), new OwnServer(s.Dpy(), &gone));  // 256 TiB
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    char buf[200];
    e.GetText(buf, sizeof buf);
    EXPECT_STREQ(buf, "cannot allocate memory for X image");
  }
  EXPECT_TRUE(gone);
#endif

  img.Create(16, 16, s.win.Id(), nullptr);  // still usable
  EXPECT_EQ(img.AskXImage().width, 16);
  EXPECT_THROW(DisplayImage_X11().Create(0, 16, s.win.Id(), nullptr), Excpt_Assertion);
  EXPECT_THROW(DisplayImage_X11().Create(16, -1, s.win.Id(), nullptr), Excpt_Assertion);
}

// Where the address space has no room for the segment (as a 32-bit one has none for the
// largest frames) the image fails as an allocation does, before the server hears of it.
TEST(DisplayImage, ASharedImageWithoutRoomIsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs address space of its own";
#else
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  Scene s(display, 32, 32);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  ASSERT_GT(pages, 0);
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
  const rlimit room = {rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (32u << 20), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_AS, &room), 0);
  DisplayImage_X11 img;
  testing::internal::CaptureStderr();
  EXPECT_THROW(img.Create(4096, 4096, s.win.Id(), nullptr), std::bad_alloc);  // 64 MiB
  // 32768 x 32769 pixels of 4 bytes: a size that does not even fit 32 bits.
  EXPECT_THROW(img.Create(32768, 32769, s.win.Id(), nullptr), std::bad_alloc);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(setrlimit(RLIMIT_AS, &old), 0);

  img.Create(16, 16, s.win.Id(), nullptr);  // still usable, and shared
  EXPECT_TRUE(IsSharedImage(img.AskXImage()));
  EXPECT_EQ(img.AskXImage().width, 16);
#endif
}

TEST(DisplayImage, NoServerLeavesTheImageUnmade) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  DisplayImage_X11 img;
  {
    xtest::ScopedDisplayEnv env("unix:64999");
    EXPECT_THROW(img.Create(16, 16, 1, nullptr), Excpt_Text);
  }
  Scene s(display, 32, 32);
  img.Create(16, 16, s.win.Id(), nullptr);
  EXPECT_EQ(img.AskXImage().width, 16);
}

namespace {

// The RGB that a BT.601 video-range YUV sample stands for.
void Yuv601ToRgb(int y, int u, int v, int rgb[3]) {
  const double c = 1.164 * (y - 16), d = u - 128.0, e = v - 128.0;
  const double f[3] = {c + 1.596 * e, c - 0.392 * d - 0.813 * e, c + 2.017 * d};
  for (int i = 0; i < 3; i++) rgb[i] = std::clamp(int(std::lround(f[i])), 0, 255);
}

// Grabs every YV12 image port of the server for another client while it lives.
class PortHog {
 public:
  explicit PortHog(const std::string& display) : d_dpy(XOpenDisplay(display.c_str())) {
    unsigned int count = 0;
    XvAdaptorInfo* adaptors = nullptr;
    XvQueryAdaptors(d_dpy, DefaultRootWindow(d_dpy), &count, &adaptors);
    for (unsigned int a = 0; a < count; a++) {
      if (!(adaptors[a].type & XvImageMask)) continue;
      for (XvPortID p = adaptors[a].base_id; p < adaptors[a].base_id + adaptors[a].num_ports; p++)
        if (XvGrabPort(d_dpy, p, CurrentTime) == 0) d_ports.push_back(p);
    }
    if (adaptors) XvFreeAdaptorInfo(adaptors);
    XSync(d_dpy, False);
  }
  ~PortHog() { XCloseDisplay(d_dpy); }
  size_t Ports() const { return d_ports.size(); }

 private:
  Display* d_dpy;
  std::vector<XvPortID> d_ports;
};

}  // namespace

TEST(DisplayImage, XVideoImageShowsAUniformYV12Frame) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_XV");
  xtest::ServerLock lock(display);  // the test needs a free port
  Scene s(display, 128, 64);
  DisplayImage_X11 img;
  testing::internal::CaptureStderr();
  img.Create(100, 40, s.win.Id(), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(img.UsesXv());

  auto* xv = static_cast<XvImage*>(img.AskXvImage());
  EXPECT_EQ(xv->id, 0x32315659);
  EXPECT_EQ(xv->width, 112);
  EXPECT_EQ(xv->height, 40);
  const YV12Planes& planes = img.AskYV12Planes();
  const int rows[3] = {40, 20, 20}, cols[3] = {112, 56, 56};
  for (int i = 0; i < 3; i++) {
    EXPECT_GE(planes.pitch[i], cols[i]) << i;
    EXPECT_EQ(planes.data[i], reinterpret_cast<uint8_t*>(xv->data) + xv->offsets[i]);
    EXPECT_LE(xv->offsets[i] + planes.pitch[i] * rows[i], xv->data_size) << i;
  }

  const struct {
    int y, u, v;
  } colours[] = {{81, 90, 240}, {145, 54, 34}, {41, 240, 110}, {128, 128, 128}, {200, 100, 160}};
  for (const auto& c : colours) {
    const int value[3] = {c.y, c.v, c.u};  // in memory order: Y, V, U
    for (int i = 0; i < 3; i++)
      for (int r = 0; r < rows[i]; r++)
        memset(planes.data[i] + r * planes.pitch[i], value[i], size_t(cols[i]));
    img.PutImage(0, 0, 0, 0, 0, 0);

    int want[3];
    Yuv601ToRgb(c.y, c.u, c.v, want);
    xtest::ImagePtr back = xtest::ReadBack(s.Dpy(), s.win.Id(), 0, 0, 100, 40);
    ASSERT_NE(back, nullptr);
    int worst = 0;
    for (int y = 0; y < 40; y++)
      for (int x = 0; x < 100; x++) {
        const unsigned long p = XGetPixel(back.get(), x, y);
        const int got[3] = {int(p >> 16 & 255), int(p >> 8 & 255), int(p & 255)};
        for (int i = 0; i < 3; i++) worst = std::max(worst, std::abs(got[i] - want[i]));
      }
    EXPECT_LE(worst, 4) << "YUV " << c.y << "," << c.u << "," << c.v;
  }
  EXPECT_EQ(CountNonZero(s.Dpy(), s.win.Id(), 100, 0, 28, 64), 0);
}

TEST(DisplayImage, XVideoNeedsAFreeYV12PortAndSharedMemory) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_XV");
  xtest::ServerLock lock(display);
  Scene s(display, 128, 64);
  {
    PortHog hog(display);
    ASSERT_GT(hog.Ports(), 0u);
    DisplayImage_X11 img;
    img.Create(100, 40, s.win.Id(), nullptr);
    EXPECT_FALSE(img.UsesXv());
    EXPECT_TRUE(IsSharedImage(img.AskXImage()));
    CheckRoundTrip(s, img);
  }
  {
    DisplayImage_X11 img;
    img.UseMITSHM(false);
    img.Create(100, 40, s.win.Id(), nullptr);
    EXPECT_FALSE(img.UsesXv());
    EXPECT_FALSE(IsSharedImage(img.AskXImage()));
  }
  {
    DisplayImage_X11 img;
    img.UseXv(false);
    img.Create(100, 40, s.win.Id(), nullptr);
    EXPECT_FALSE(img.UsesXv());
    EXPECT_TRUE(IsSharedImage(img.AskXImage()));
  }
}

TEST(DisplayImage, ReleasingTheImageFreesItsPort) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_XV");
  xtest::ServerLock lock(display);
  Scene s(display, 64, 64);
  XvPortID port;
  {
    DisplayImage_X11 img;
    img.Create(32, 32, s.win.Id(), nullptr);
    ASSERT_TRUE(img.UsesXv());
    // The port is taken: another client cannot grab it.
    Display* other = XOpenDisplay(display.c_str());
    unsigned int count = 0;
    XvAdaptorInfo* adaptors = nullptr;
    XvQueryAdaptors(other, DefaultRootWindow(other), &count, &adaptors);
    ASSERT_GT(count, 0u);
    port = adaptors[0].base_id;  // the first YV12 port, which the image took
    XvFreeAdaptorInfo(adaptors);
    EXPECT_NE(XvGrabPort(other, port, CurrentTime), 0);
    XCloseDisplay(other);
  }
  XSync(s.Dpy(), False);
  Display* other = XOpenDisplay(display.c_str());
  EXPECT_EQ(XvGrabPort(other, port, CurrentTime), 0);
  XCloseDisplay(other);
}

TEST(DisplayImageDeathTest, AskingForTheImageThatIsNotThereStopsTheProcess) {
  QUILLMERE_REQUIRE_XSERVER(x24, "QUILLMERE_X24");
  {
    Scene s(x24, 32, 32);
    DisplayImage_X11 img;
    img.Create(16, 16, s.win.Id(), nullptr);
    EXPECT_DEATH(img.AskXvImage(), "d_data->d_xvimg");
    EXPECT_DEATH(img.AskYV12Planes(), "d_data->d_xvimg");
  }
  QUILLMERE_REQUIRE_XSERVER(xv, "QUILLMERE_XV");
  xtest::ServerLock lock(xv);
  Scene s(xv, 32, 32);
  DisplayImage_X11 img;
  img.Create(16, 16, s.win.Id(), nullptr);
  ASSERT_TRUE(img.UsesXv());
  EXPECT_DEATH(img.AskXImage(), "d_data->d_ximg");
}
