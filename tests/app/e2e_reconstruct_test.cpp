// The built quillmere reconstructs known backgrounds: from sparse traffic, with alpha planes
// from a second file, with motion marking, and from MPEG input through mpgfeed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/e2e_support.h"

using namespace e2e;
using testsupport::ListFiles;
using testsupport::MakeSequence;
using testsupport::MovingObject;
using testsupport::Picture420;
using testsupport::WriteYUV;

TEST(EndToEnd, MedianModeAndSimmatRecoverTheBackgroundOfSparseTraffic) {
  TempDir dir;
  const auto seq = MakeSequence(64, 48, 60, SparseObjects(), 5);
  ASSERT_LT(seq.MaxCoverageFraction(), 1.0 / 3);
  WriteYUV(dir / "seq.yuv", seq.frames);
  const RGBPicture truth = ToRGB(seq.background);
  // The first frame alone is far off: the objects stand in it.
  ASSERT_GT(Compare(ToRGB(seq.frames[0]), truth).Worst(), 3);

  // The mode with F = 0 is the most frequent value; with the default F it is the median of the
  // samples in the fullest window, which must not shift the background either.
  for (const char* algo : {"median", "mode", "simmat", "mode-F3"}) {
    SCOPED_TRACE(algo);
    const std::string out = dir.Sub(algo);
    const bool fuzzy = std::string(algo) == "mode-F3";
    const ProcessResult r =
        RunTool({"-x", "-r", "64x48", "-a", fuzzy ? "mode" : algo, "-F", fuzzy ? "3" : "0", "-2",
                 "aging", "-l", "-o", out + "/bg", dir / "seq.yuv"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const ChannelError e = Compare(ReadBackground(out + "/bg0060.ppm", 64, 48), truth);
    EXPECT_LT(e.Worst(), 3) << e.mean[0] << " " << e.mean[1] << " " << e.mean[2];
  }
}

TEST(EndToEnd, AlphaPlanesFromTheSecondFileReachTheAlgorithms) {
  TempDir dir;
  // A slow wide object covers its band for most of the run: the median of the samples alone
  // shows the object, the median of the opaque ones the background.
  const std::vector<MovingObject> heavy = {{0, 8, 40, 24, 2, 0, 230, 60, 190}};
  const auto seq = MakeSequence(64, 48, 30, heavy, 7);
  ASSERT_GT(seq.MaxCoverageFraction(), 0.5);
  WriteYUV(dir / "seq.yuv", seq.frames);
  testsupport::WriteBytes(dir / "alpha.yuv", seq.alpha);
  const RGBPicture truth = ToRGB(seq.background);

  const std::string with = dir.Sub("with");
  ProcessResult r = RunTool({"-x", "-r", "64x48", "-a", "median", "-A", "unused-name", "-l", "-o",
                             with + "/bg", dir / "seq.yuv", dir / "alpha.yuv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Compare(ReadBackground(with + "/bg0030.ppm", 64, 48), truth).Worst(), 0);

  const std::string without = dir.Sub("without");
  r = RunTool({"-x", "-r", "64x48", "-a", "median", "-l", "-o", without + "/bg", dir / "seq.yuv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GT(Compare(ReadBackground(without + "/bg0030.ppm", 64, 48), truth).Worst(), 3);
}

TEST(EndToEnd, MotionMarkingLeavesOutMovedBlocksButNotStillOnes) {
  TempDir dir;
  // Frame 1 keeps the luminance of frame 0 and changes only the colour: nothing moved, so
  // "last" takes all of it. Frame 2 is the texture shifted by two pixels: every visited block
  // from x = 8 on is marked and keeps frame 1; the last block row and column are never visited
  // and take frame 2. Frame 3 repeats frame 2: nothing moved, so no mark may outlive its step.
  const Picture420 texture = testsupport::MakeTexturedBackground(64, 48, 11);
  const std::vector<Picture420> frames = {testsupport::Shifted(texture, 0, 100, 100),
                                          testsupport::Shifted(texture, 0, 90, 170),
                                          testsupport::Shifted(texture, 2, 170, 80),
                                          testsupport::Shifted(texture, 2, 170, 80)};
  WriteYUV(dir / "seq.yuv", frames);
  const RGBPicture still = ToRGB(frames[1]);
  const RGBPicture moved = ToRGB(frames[2]);

  const std::string out = dir.Sub("marked");
  const ProcessResult r =
      RunTool({"-x", "-r", "64x48", "-a", "last", "-t", "-o", out + "/bg", dir / "seq.yuv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, Listing("last", false, true) + Progress(4));

  // Step 1: nothing marked, the whole frame 1.
  EXPECT_EQ(Compare(ReadBackground(out + "/bg0001.ppm", 64, 48), still).Worst(), 0);
  // Step 2: block by block.
  const RGBPicture bg = ReadBackground(out + "/bg0002.ppm", 64, 48);
  ASSERT_EQ(bg.rgb.size(), still.rgb.size());
  int marked_wrong = 0, unvisited_wrong = 0;
  for (int y = 0; y < 48; y++)
    for (int x = 0; x < 64; x++) {
      const size_t i = (size_t(y) * 64 + x) * 3;
      const auto same = [&](const RGBPicture& p) {
        return bg.rgb[i] == p.rgb[i] && bg.rgb[i + 1] == p.rgb[i + 1] &&
               bg.rgb[i + 2] == p.rgb[i + 2];
      };
      if (x >= 56 || y >= 40)
        unvisited_wrong += !same(moved);
      else if (x >= 8)
        marked_wrong += !same(still);
    }
  EXPECT_EQ(marked_wrong, 0);
  EXPECT_EQ(unvisited_wrong, 0);
  EXPECT_EQ(Compare(ReadBackground(out + "/bg0003.ppm", 64, 48), moved).Worst(), 0);

  // Without -t the shifted frame is taken whole.
  const std::string plain = dir.Sub("plain");
  ASSERT_EQ(
      RunTool({"-x", "-r", "64x48", "-a", "last", "-o", plain + "/bg", dir / "seq.yuv"}).exit_code,
      0);
  EXPECT_EQ(Compare(ReadBackground(plain + "/bg0002.ppm", 64, 48), moved).Worst(), 0);
}

TEST(EndToEnd, MpegInputThroughTheDecoderProgram) {
  TempDir dir;
  // Smooth texture, so that the encoder keeps it well.
  const auto seq = MakeSequence(64, 48, 40, SparseObjects(), 13, 0);
  WriteYUV(dir / "seq.yuv", seq.frames);
  testsupport::ProcessSpec encode;
  encode.path = "/usr/bin/ffmpeg";
  encode.args = {"-loglevel", "error", "-f", "rawvideo", "-pix_fmt",      "yuv420p", "-s",
                 "64x48",     "-r",    "25", "-i",       dir / "seq.yuv", "-c:v",    "mpeg1video",
                 "-q:v",      "2",     "-f", "mpeg",     dir / "seq.mpg"};
  const ProcessResult enc = testsupport::RunProcess(encode);
  ASSERT_EQ(enc.exit_code, 0) << enc.err;

  // The decoder's frame size counts, not -r.
  const std::string out = dir.Sub("mpeg");
  const ProcessResult r = RunTool({"-x", "-f", "mpeg", "-r", "16x16", "-a", "median", "-2",
                                   "simmat", "-l", "-o", out + "/bg", dir / "seq.mpg"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, Listing("median", true) + Progress(40));
  ASSERT_EQ(ListFiles(out), std::vector<std::string>{"bg0040.ppm"});
  const ChannelError e =
      Compare(ReadBackground(out + "/bg0040.ppm", 64, 48), ToRGB(seq.background));
  EXPECT_LT(e.Worst(), 4) << e.mean[0] << " " << e.mean[1] << " " << e.mean[2];
}

TEST(EndToEnd, MpegInputKeepsTheColoursOfEveryMatrixAndRange) {
  TempDir dir;
  // 75% colour bars, 16 pixels wide so that no macroblock holds two of them.
  const uint8_t bars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                              {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
  const int w = 128, h = 32, frames = 3;
  RGBPicture truth;
  truth.w = w;
  truth.h = h;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) truth.rgb.insert(truth.rgb.end(), bars[x / 16], bars[x / 16] + 3);
  std::vector<uint8_t> rgb;
  for (int n = 0; n < frames; n++) rgb.insert(rgb.end(), truth.rgb.begin(), truth.rgb.end());
  testsupport::WriteBytes(dir / "bars.rgb", rgb);

  const struct {
    const char* file;
    std::vector<std::string> encoding;
  } cases[] = {
      {"bt709.m2v",
       {"-vf", "scale=out_color_matrix=bt709:out_range=tv", "-pix_fmt", "yuv420p", "-colorspace",
        "bt709", "-color_range", "tv", "-c:v", "mpeg2video", "-q:v", "2"}},
      {"bt601.m2v",
       {"-vf", "scale=out_color_matrix=bt601:out_range=tv", "-pix_fmt", "yuv420p", "-colorspace",
        "smpte170m", "-color_range", "tv", "-c:v", "mpeg2video", "-q:v", "2"}},
      {"full.avi",
       {"-vf", "scale=out_color_matrix=bt601:out_range=pc", "-pix_fmt", "yuvj420p", "-c:v", "mjpeg",
        "-q:v", "2"}},
      {"full709.mkv",
       {"-vf", "scale=out_color_matrix=bt709:out_range=pc", "-pix_fmt", "yuv420p", "-colorspace",
        "bt709", "-color_range", "pc", "-c:v", "ffv1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    testsupport::ProcessSpec encode;
    encode.path = "/usr/bin/ffmpeg";
    encode.args = {"-loglevel", "error",  "-f", "rawvideo", "-pix_fmt", "rgb24",
                   "-s",        "128x32", "-r", "25",       "-i",       dir / "bars.rgb"};
    encode.args.insert(encode.args.end(), c.encoding.begin(), c.encoding.end());
    encode.args.push_back(dir / c.file);
    const ProcessResult enc = testsupport::RunProcess(encode);
    ASSERT_EQ(enc.exit_code, 0) << enc.err;

    const std::string out = dir.Sub(std::string("out-") + c.file);
    const ProcessResult r =
        RunTool({"-f", "mpeg", "-a", "last", "-l", "-o", out + "/bg", "-x", dir / c.file});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const RGBPicture bg = ReadBackground(out + "/bg0003.ppm", w, h);
    ASSERT_EQ(bg.rgb.size(), truth.rgb.size());
    // Chroma is shared by neighbouring pixels and filtered: the edges of the bars are left out.
    ChannelError e;
    int n = 0;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        if (x % 16 < 4 || x % 16 >= 12) continue;
        for (int ch = 0; ch < 3; ch++) {
          const size_t i = (size_t(y) * w + x) * 3 + ch;
          e.mean[ch] += std::abs(int(bg.rgb[i]) - int(truth.rgb[i]));
        }
        n++;
      }
    for (double& m : e.mean) m /= n;
    EXPECT_LT(e.Worst(), 1.5) << e.mean[0] << " " << e.mean[1] << " " << e.mean[2];
  }
}
