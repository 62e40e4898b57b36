// The built quillmere on generated YUV sequences: which files a run writes, under which names,
// and what it says on stderr while it runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/e2e_support.h"

using namespace e2e;
using testsupport::ListFiles;
using testsupport::MakeSequence;
using testsupport::Picture420;
using testsupport::WriteYUV;

namespace {

const char* const kAlgorithms[] = {"aging", "average", "median", "mode", "first", "last", "simmat"};

// Frames of one flat grey each, so that the background tells which frame it came from.
std::vector<Picture420> FlatFrames(int count, int w, int h) {
  std::vector<Picture420> frames;
  for (int i = 0; i < count; i++) {
    Picture420 pic(w, h);
    std::fill(pic.y.begin(), pic.y.end(), uint8_t(20 + 20 * i));
    frames.push_back(pic);
  }
  return frames;
}

}  // namespace

TEST(EndToEnd, EveryAlgorithmWritesItsSeriesAndItsOfflineBackground) {
  TempDir dir;
  const auto seq = MakeSequence(64, 48, 100, SparseObjects(), 3);
  const std::vector<Picture420> twelve(seq.frames.begin(), seq.frames.begin() + 12);
  WriteYUV(dir / "twelve.yuv", twelve);
  WriteYUV(dir / "hundred.yuv", seq.frames);

  for (int i = 0; i < 7; i++) {
    // Every algorithm also runs once as the second one; only the first one's files appear.
    const std::string first = kAlgorithms[i];
    const std::string second = kAlgorithms[(i + 3) % 7];
    SCOPED_TRACE(first + " with " + second);

    const std::string series = dir.Sub(first + "-series");
    const std::vector<std::string> live = {"-x",  "-r", "64x48",        "-a",
                                           first, "-2", second,         "-s",
                                           "5",   "-o", series + "/bg", dir / "twelve.yuv"};
    ProcessResult r = RunTool(live);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ListFiles(series),
              (std::vector<std::string>{"bg0000.ppm", "bg0005.ppm", "bg0010.ppm"}));
    for (const std::string& name : ListFiles(series)) ReadBackground(series + "/" + name, 64, 48);

    const std::string offline = dir.Sub(first + "-offline");
    r = RunTool({"-x", "-r", "64x48", "-a", first, "-2", second, "-l", "-o", offline + "/bg",
                 dir / "hundred.yuv"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, Listing(first, true) + Progress(100));
    EXPECT_EQ(ListFiles(offline), std::vector<std::string>{"bg0100.ppm"});
    ReadBackground(offline + "/bg0100.ppm", 64, 48);
  }
}

TEST(EndToEnd, DecimationWorksOnTheLastFrameOfEachStepAndDropsAnUnfinishedStep) {
  TempDir dir;
  // Ten flat frames 0..9: with -d 3 the steps work on frames 2, 5 and 8; frame 9 is dropped.
  const std::vector<Picture420> frames = FlatFrames(10, 16, 16);
  WriteYUV(dir / "ten.yuv", frames);
  const struct {
    const char* algo;
    int frame;
  } cases[] = {{"first", 2}, {"last", 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.algo);
    const std::string out = dir.Sub(c.algo);
    const ProcessResult r = RunTool(
        {"-x", "-r", "16x16", "-d", "3", "-a", c.algo, "-l", "-o", out + "/bg", dir / "ten.yuv"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(ListFiles(out), std::vector<std::string>{"bg0003.ppm"});
    const RGBPicture bg = ReadBackground(out + "/bg0003.ppm", 16, 16);
    EXPECT_EQ(Compare(bg, ToRGB(frames[size_t(c.frame)])).Worst(), 0);
  }
}

TEST(EndToEnd, ProgressLineCountsStepsAndAnEmptyInputWritesNothing) {
  TempDir dir;
  WriteYUV(dir / "three.yuv", FlatFrames(3, 16, 16));
  testsupport::WriteBytes(dir / "empty.yuv", {});

  ProcessResult r = RunTool({"-x", "-r", "16x16", "-a", "median", dir / "three.yuv"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, Listing("median") + Progress(3));

  // Decimation counts steps, not frames.
  r = RunTool({"-x", "-r", "16x16", "-d", "2", "-a", "median", dir / "three.yuv"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find(Progress(1)), std::string::npos) << r.err;

  const std::string out = dir.Sub("empty");
  r = RunTool({"-x", "-r", "16x16", "-a", "median", "-o", out + "/bg", dir / "empty.yuv"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, Listing("median") + Progress(0));
  EXPECT_TRUE(ListFiles(out).empty());
}

TEST(EndToEnd, OfflineRunOverAnEmptyInputWritesNoFile) {
  TempDir dir;
  testsupport::WriteBytes(dir / "empty.yuv", {});
  WriteYUV(dir / "three.yuv", FlatFrames(3, 16, 16));
  for (const char* algo : kAlgorithms) {
    // An empty input, and one too short for a single step of -d frames.
    for (const std::vector<std::string>& input : std::vector<std::vector<std::string>>{
             {dir / "empty.yuv"}, {"-d", "5", dir / "three.yuv"}}) {
      SCOPED_TRACE(std::string(algo) + " " + input.back());
      const std::string out = dir.Sub(algo);
      std::vector<std::string> args = {"-x", "-r", "16x16", "-a", algo, "-l", "-o", out + "/bg"};
      args.insert(args.end(), input.begin(), input.end());
      const ProcessResult r = RunTool(args);
      // There is no background to write: that is reported, never passed off as success.
      EXPECT_EQ(r.exit_code, 2) << r.err;
      const std::string tail =
          "\nprocessing frame 1\rError: the input holds no frame, so there is no background to "
          "write\n";
      ASSERT_GE(r.err.size(), tail.size());
      EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
      EXPECT_TRUE(ListFiles(out).empty());
    }
  }
}

TEST(EndToEnd, StepNumbersBeyondNineThousandNineHundredNinetyNineLengthenTheName) {
  TempDir dir;
  const std::vector<Picture420> frames = FlatFrames(1, 8, 8);
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 10001; i++) {
    const std::vector<uint8_t> b = frames[0].Bytes();
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  testsupport::WriteBytes(dir / "long.yuv", bytes);
  const std::string out = dir.Sub("out");
  ProcessResult r =
      RunTool({"-x", "-r", "8x8", "-a", "last", "-s", "5000", "-o", out + "/bg", dir / "long.yuv"});
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(r.err.size() > 300 ? r.err.size() - 300 : 0);
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{"bg0000.ppm", "bg10000.ppm", "bg5000.ppm"}));
  ReadBackground(out + "/bg10000.ppm", 8, 8);

  const std::string offline = dir.Sub("offline");
  r = RunTool({"-x", "-r", "8x8", "-a", "first", "-l", "-o", offline + "/bg", dir / "long.yuv"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ListFiles(offline), std::vector<std::string>{"bg10001.ppm"});
}
