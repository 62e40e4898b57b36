// The live windows of quillmere end to end: a run without -x under a test X server, fed through
// a pipe so that the test can look at the windows before the input ends.
#include "app/display.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/e2e_support.h"
#include "tests/app/xwindows.h"

namespace {

using testsupport::Picture420;

// Mean absolute difference per channel of what a window shows and the expected picture, over
// the pixels that `mask` (when given) leaves non-zero.
e2e::ChannelError WindowError(Display* dpy, Window win, const e2e::RGBPicture& want,
                              const std::vector<int>* mask = nullptr) {
  e2e::RGBPicture shown;
  shown.w = want.w;
  shown.h = want.h;
  shown.rgb = xwindows::WindowRGB(dpy, win, want.w, want.h);
  if (shown.rgb.size() != want.rgb.size()) {
    e2e::ChannelError e;
    e.mean[0] = 999;
    return e;
  }
  e2e::RGBPicture expected = want;
  if (mask)
    for (size_t i = 0; i < mask->size(); i++)
      if (!(*mask)[i])
        for (int c = 0; c < 3; c++) shown.rgb[i * 3 + c] = expected.rgb[i * 3 + c] = 0;
  return e2e::Compare(shown, expected);
}

// The write end of a pipe that the tool reads its frames from.
class FramePipe {
 public:
  explicit FramePipe(const std::string& path) : d_path(path) {
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  }
  ~FramePipe() { Close(); }
  // Waits until the reader has opened the pipe; false when it did not within the time.
  bool Open(double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (d_fd < 0 && std::chrono::steady_clock::now() < end) {
      d_fd = open(d_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (d_fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (d_fd >= 0) fcntl(d_fd, F_SETFL, 0);  // blocking writes from here on
    return d_fd >= 0;
  }
  void Write(const std::vector<uint8_t>& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(d_fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("write to the pipe failed");
      done += size_t(n);
    }
  }
  void Close() {
    if (d_fd >= 0) close(d_fd);
    d_fd = -1;
  }

 private:
  std::string d_path;
  int d_fd = -1;
};

}  // namespace

TEST(LiveDisplay, ARunShowsTheInputAndBothBackgroundsSideBySide) {
  for (const char* var : {"QUILLMERE_X24", "QUILLMERE_X16"}) {
    QUILLMERE_REQUIRE_XSERVER(display, var);
    SCOPED_TRACE(var);
    xtest::ServerLock lock(display);  // top-level windows: nothing may cover them meanwhile
    const bool deep = std::string(var) == "QUILLMERE_X24";

    const int w = 96, h = 64, frames = 7;
    const testsupport::Sequence seq =
        testsupport::MakeSequence(w, h, frames, {{0, 40, 16, 16, 14, 0, 200, 90, 160}}, 5);
    e2e::TempDir dir;
    FramePipe pipe(dir / "in.yuv");

    testsupport::ProcessSpec spec;
    spec.path = QUILLMERE_EXE;
    spec.arg0 = "quillmere";
    spec.args = {"-r", "96x64", "-a", "median", "-2", "first", dir / "in.yuv"};
    spec.env = {"DISPLAY=" + display};
    spec.timeout_seconds = 60;
    auto run = std::async(std::launch::async, testsupport::RunProcess, spec);

    ASSERT_TRUE(pipe.Open(30));
    for (const Picture420& f : seq.frames) pipe.Write(f.Bytes());

    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    const auto input = xwindows::WaitForWindows(dpy, "input stream", 1, 30);
    const auto bg = xwindows::WaitForWindows(dpy, "background reconstruction", 1, 30);
    const auto bg2 = xwindows::WaitForWindows(dpy, "background reconstruction (2)", 1, 30);
    ASSERT_EQ(input.size(), 1u);
    ASSERT_EQ(bg.size(), 1u);
    ASSERT_EQ(bg2.size(), 1u);
    EXPECT_EQ(input[0].x, -1);
    EXPECT_EQ(input[0].y, -1);
    EXPECT_EQ(bg[0].x, w + 50);
    EXPECT_EQ(bg[0].y, 0);
    EXPECT_EQ(bg2[0].x, 2 * w + 100);
    EXPECT_EQ(bg2[0].y, 0);
    for (const auto* win : {&input[0], &bg[0], &bg2[0]}) {
      EXPECT_EQ(win->width, w);
      EXPECT_EQ(win->height, h);
    }

    // Once the last frame went through, the input window shows it and both windows the true
    // background, within a few levels (more on 16 bits, whose channels have 5 or 6 bits); the
    // first frame's background is true where no object ever was.
    std::vector<int> never_covered(seq.coverage.size());
    for (size_t i = 0; i < never_covered.size(); i++) never_covered[i] = seq.coverage[i] == 0;
    const double tolerance = deep ? 2.5 : 5;
    const e2e::RGBPicture last = e2e::ToRGB(seq.frames.back());
    const e2e::RGBPicture truth = e2e::ToRGB(seq.background);
    e2e::ChannelError in_err, bg_err, bg2_err;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      in_err = WindowError(dpy, input[0].id, last);
      bg_err = WindowError(dpy, bg[0].id, truth);
      bg2_err = WindowError(dpy, bg2[0].id, truth, &never_covered);
    } while ((in_err.Worst() > tolerance || bg_err.Worst() > tolerance ||
              bg2_err.Worst() > tolerance) &&
             std::chrono::steady_clock::now() < end);
    EXPECT_LE(in_err.Worst(), tolerance);
    EXPECT_LE(bg_err.Worst(), tolerance);
    EXPECT_LE(bg2_err.Worst(), tolerance);
    // Not the background in the input window: the object is there.
    EXPECT_GT(WindowError(dpy, input[0].id, truth).Worst(), 1.0);
    XCloseDisplay(dpy);

    pipe.Close();  // the end of the input ends the run
    const testsupport::ProcessResult r = run.get();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("processing frame 7\r"), std::string::npos) << r.err;
  }
}

// X coordinates are 16-bit: a background window of a wide frame goes as far right as X can
// place it, never wrapped around onto the input window.
TEST(LiveDisplay, WindowsOfWideFramesStayWithinTheRangeOfXPositions) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);
  const struct {
    int w, bg_x, bg2_x;
  } cases[] = {
      {1920, 1970, 3940}, {16333, 16383, 32766}, {16334, 16384, 32767}, {32767, 32767, 32767}};
  for (const auto& c : cases) {
    const std::string size = std::to_string(c.w) + "x2";
    SCOPED_TRACE(size);
    e2e::TempDir dir;
    FramePipe pipe(dir / "in.yuv");
    testsupport::ProcessSpec spec;
    spec.path = QUILLMERE_EXE;
    spec.args = {"-r", size, "-2", "aging", dir / "in.yuv"};
    spec.env = {"DISPLAY=" + display};
    spec.timeout_seconds = 60;
    auto run = std::async(std::launch::async, testsupport::RunProcess, spec);
    ASSERT_TRUE(pipe.Open(30));
    pipe.Write(Picture420(c.w, 2).Bytes());

    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    const auto bg2 = xwindows::WaitForWindows(dpy, "background reconstruction (2)", 1, 30);
    const auto bg = xwindows::WaitForWindows(dpy, "background reconstruction", 1, 1);
    ASSERT_EQ(bg.size(), 1u);
    ASSERT_EQ(bg2.size(), 1u);
    EXPECT_EQ(bg[0].x, c.bg_x);
    EXPECT_EQ(bg2[0].x, c.bg2_x);
    EXPECT_EQ(bg2[0].width, c.w);
    XCloseDisplay(dpy);
    pipe.Close();
    const testsupport::ProcessResult r = run.get();
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
}

TEST(LiveDisplay, OfflineAndNoX11RunsOpenNoWindow) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);
  const testsupport::Sequence seq =
      testsupport::MakeSequence(32, 32, 3, {{0, 0, 8, 8, 8, 0, 200, 90, 160}}, 9);
  e2e::TempDir dir;
  testsupport::WriteYUV(dir / "in.yuv", seq.frames);
  for (const std::vector<std::string>& opts :
       {std::vector<std::string>{"-x"}, std::vector<std::string>{"-l", "-o", dir / "bg"}}) {
    std::vector<std::string> args = opts;
    args.insert(args.end(), {"-r", "32x32", dir / "in.yuv"});
    SCOPED_TRACE(e2e::Describe(args));
    // An X server that is there but must not be used: no connection means no window.
    const auto r = e2e::RunTool(args, {"DISPLAY=unix:64999"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
  // Without them, the same run needs the server.
  const auto r = e2e::RunTool({"-r", "32x32", dir / "in.yuv"}, {"DISPLAY=unix:64999"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Error: cannot open X-server connection\n"), std::string::npos) << r.err;
}

TEST(LiveDisplay, AnXServerThatGoesAwayEndsTheRunWithAnError) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");  // Xvfb is there
  xtest::PrivateServer server(24, true);
  ASSERT_FALSE(server.Name().empty());
  const testsupport::Sequence seq =
      testsupport::MakeSequence(16, 16, 4, {{0, 0, 4, 4, 2, 0, 200, 90, 160}}, 3);
  e2e::TempDir dir;
  FramePipe pipe(dir / "in.yuv");

  testsupport::ProcessSpec spec;
  spec.path = QUILLMERE_EXE;
  spec.arg0 = "quillmere";
  spec.args = {"-r", "16x16", dir / "in.yuv"};
  spec.env = {"DISPLAY=" + server.Name()};
  spec.timeout_seconds = 60;
  auto run = std::async(std::launch::async, testsupport::RunProcess, spec);

  ASSERT_TRUE(pipe.Open(30));
  pipe.Write(seq.frames[0].Bytes());
  Display* dpy = XOpenDisplay(server.Name().c_str());
  ASSERT_NE(dpy, nullptr);
  EXPECT_EQ(xwindows::WaitForWindows(dpy, "input stream", 1, 30).size(), 1u);
  XCloseDisplay(dpy);

  server.Stop(SIGKILL);
  // The frames after it reach the windows, whose connection is gone. The run may have ended
  // already: a write to the pipe may fail.
  std::vector<uint8_t> rest;
  for (size_t i = 1; i < seq.frames.size(); i++) {
    const std::vector<uint8_t> bytes = seq.frames[i].Bytes();
    rest.insert(rest.end(), bytes.begin(), bytes.end());
  }
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  try {
    pipe.Write(rest);
  } catch (const std::runtime_error&) {
  }
  sigaction(SIGPIPE, &old, nullptr);
  pipe.Close();

  const testsupport::ProcessResult r = run.get();
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_NE(r.err.find("\rError: the connection to the X server was lost\n"), std::string::npos)
      << r.err;
}
