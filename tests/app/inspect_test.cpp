// quillmere-inspect end to end: a generated MPEG file under a test X server.
#include "app/inspect.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "tests/app/e2e_support.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/mpeg_testdata.h"
#include "tests/app/xwindows.h"

namespace fs = std::filesystem;

namespace {

using testsupport::TempDir;

testsupport::ProcessSpec Inspect(const TempDir& dir, const std::string& display,
                                 const std::vector<std::string>& args) {
  testsupport::ProcessSpec spec;
  spec.path = std::string(QUILLMERE_BIN_DIR) + "/quillmere-inspect";
  spec.args = args;
  spec.workdir = dir.path.string();
  spec.env = {"DISPLAY=" + display};
  return spec;
}

const char kTooSmall[] =
    "Error: frames of 64 x 48 are smaller than the 168 x 232 the inspection needs for the block "
    "in column 20, row 28\n";

// The header of a P6 file: width, height and whether the samples that follow fill it.
bool IsPPM(const std::string& name, int w, int h) {
  std::ifstream in(name, std::ios::binary);
  std::string magic;
  int fw = 0, fh = 0, max = 0;
  in >> magic >> fw >> fh >> max;
  in.get();
  const std::string data((std::istreambuf_iterator<char>(in)), {});
  return magic == "P6" && fw == w && fh == h && max == 255 && data.size() == size_t(w) * h * 3;
}

}  // namespace

TEST(Inspect, RunsOverAnMPEGFileWithItsWindowsAndWritesEveryBackground) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);  // its windows are top-level: nothing may cover them
  TempDir dir;
  // 13 frames: passes on frames 1, 6, 9, 12 and a last one whose third read finds no frame.
  mpegtest::WriteMpegFile(dir / "in.m1v", {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO,
                                           AV_PIX_FMT_YUV420P, 176, 240, 13});

  auto run = std::async(std::launch::async, testsupport::RunProcess,
                        Inspect(dir, display, {dir / "in.m1v"}));
  Display* dpy = XOpenDisplay(display.c_str());
  ASSERT_NE(dpy, nullptr);
  const auto background = xwindows::WaitForWindows(dpy, "reconstructed background", 1, 30);
  const auto motion = xwindows::WaitForWindows(dpy, "motion", 2, 30);
  XCloseDisplay(dpy);
  const testsupport::ProcessResult r = run.get();
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");

  ASSERT_EQ(background.size(), 1u);
  EXPECT_EQ(background[0].width, 176);
  EXPECT_EQ(background[0].height, 240);
  ASSERT_EQ(motion.size(), 2u);
  // Stacking order is creation order: the input's window, then the matrix's.
  EXPECT_EQ(motion[0].x, 400);
  EXPECT_EQ(motion[0].y, 0);
  EXPECT_EQ(motion[0].width, 176);
  EXPECT_EQ(motion[1].width, 100);
  EXPECT_EQ(motion[1].height, 100);

  for (int n = 1; n <= 5; n++) {
    char name[16];
    snprintf(name, sizeof name, "bkg%03d.ppm", n);
    EXPECT_TRUE(IsPPM(dir / name, 176, 240)) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "bkg006.ppm"));
}

TEST(Inspect, NeedsExactlyOneFileAndReportsFailures) {
  TempDir dir;
  const auto none = testsupport::RunProcess(Inspect(dir, ":64999", {}));
  EXPECT_EQ(none.exit_code, 5);
  EXPECT_NE(none.err.find("MPEGFILE"), std::string::npos);
  EXPECT_EQ(testsupport::RunProcess(Inspect(dir, ":64999", {"a", "b"})).exit_code, 5);

  // No X server: the first window cannot open; the failure is shown, not hidden.
  mpegtest::WriteMpegFile(dir / "in.m1v", {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO,
                                           AV_PIX_FMT_YUV420P, 176, 240, 3});
  const auto nox = testsupport::RunProcess(Inspect(dir, "unix:64999", {dir / "in.m1v"}));
  EXPECT_EQ(nox.exit_code, 2);
  EXPECT_EQ(nox.err, "Error: cannot open X-server connection\n");
  EXPECT_FALSE(fs::exists(dir / "bkg001.ppm"));

  // Frames without the block shown end the run before any window opens.
  mpegtest::WriteMpegFile(dir / "small.m1v", {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO,
                                              AV_PIX_FMT_YUV420P, 64, 48, 3});
  const auto small = testsupport::RunProcess(Inspect(dir, "unix:64999", {dir / "small.m1v"}));
  EXPECT_EQ(small.exit_code, 2);
  EXPECT_EQ(small.err, kTooSmall);
  EXPECT_FALSE(fs::exists(dir / "bkg001.ppm"));
}

TEST(Inspect, FramesThatShrinkEndTheRunBeforeTheyAreShown) {
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);
  TempDir dir;
  // A stand-in decoder: one frame of 176x240, then frames of 64x48. The second pass works on
  // the sixth frame.
  std::vector<uint8_t> stream;
  for (int i = 0; i < 6; i++) {
    const int w = i == 0 ? 176 : 64, h = i == 0 ? 240 : 48;
    const std::vector<uint8_t> record = e2e::Record(w, h, size_t(w) * h * 3 / 2, 0x60);
    stream.insert(stream.end(), record.begin(), record.end());
  }
  testsupport::WriteBytes(dir / "stream", stream);
  fs::create_directory(dir / "bin");
  std::ofstream(dir / "bin/mpgfeed") << "#!/bin/sh\nexec cat '" << dir / "stream" << "'\n";
  fs::permissions(dir / "bin/mpgfeed", fs::perms::owner_all);

  std::ofstream(dir / "in.mpg") << "x";
  testsupport::ProcessSpec spec = Inspect(dir, display, {"in.mpg"});
  spec.env.push_back("PATH=" + dir / "bin" + ":/usr/bin:/bin");
  const testsupport::ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, kTooSmall);
  EXPECT_TRUE(IsPPM(dir / "bkg001.ppm", 176, 240));
  EXPECT_FALSE(fs::exists(dir / "bkg002.ppm"));

  // Under a file-size limit the first background fails with an error, not the signal that
  // would end the run, and no part of it stays.
  fs::remove(dir / "bkg001.ppm");
  spec.args.insert(spec.args.begin(), {"-c", "ulimit -f 100 && exec \"$0\" \"$@\"", spec.path});
  spec.path = "/bin/sh";
  const testsupport::ProcessResult limited = testsupport::RunProcess(spec);
  EXPECT_EQ(limited.exit_code, 2);
  EXPECT_EQ(limited.err, "Error: cannot write PPM file 'bkg001.ppm' (File too large)\n");
  for (const auto& entry : fs::directory_iterator(dir.path))
    EXPECT_EQ(entry.path().filename().string().find("bkg"), std::string::npos) << entry.path();

  // A background that is the input, here a link to it, is refused and the input stays.
  fs::create_symlink("in.mpg", dir / "bkg001.ppm");
  const testsupport::ProcessResult onInput = testsupport::RunProcess(spec);
  EXPECT_EQ(onInput.exit_code, 2);
  EXPECT_EQ(onInput.err, "Error: output 'bkg001.ppm' is the input 'in.mpg'\n");
  std::ifstream input(dir / "in.mpg");
  EXPECT_TRUE(std::string((std::istreambuf_iterator<char>(input)), {}) == "x");
}

TEST(Inspect, FramesTooLargeForTheMemoryEndWithAnError) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer cannot start under a lowered address-space limit";
#else
  QUILLMERE_REQUIRE_XSERVER(display, "QUILLMERE_X24");
  xtest::ServerLock lock(display);
  TempDir dir;
  // A stand-in decoder that repeats one record of 4000 x 2160: the matrices fit under the
  // limit, the frames that the history then keeps do not.
  testsupport::WriteBytes(dir / "record", e2e::Record(4000, 2160, size_t(4000) * 2160 * 3 / 2));
  fs::create_directory(dir / "bin");
  std::ofstream(dir / "bin/mpgfeed") << "#!/bin/sh\nfor i in $(seq 120); do cat '"
                                      << dir / "record" << "' || exit 0; done\n";
  fs::permissions(dir / "bin/mpgfeed", fs::perms::owner_all);
  std::ofstream(dir / "in.mpg") << "x";

  testsupport::ProcessSpec spec;
  spec.path = "/bin/sh";
  spec.args = {"-c", "ulimit -v 1500000 && exec \"$0\" \"$@\"",
               std::string(QUILLMERE_BIN_DIR) + "/quillmere-inspect", "in.mpg"};
  spec.workdir = dir.path.string();
  spec.env = {"DISPLAY=" + display, "PATH=" + dir / "bin" + ":/usr/bin:/bin"};
  const testsupport::ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("MB"), std::string::npos) << r.err;
#endif
}
