#include "app/bkg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/app/parsed_args.h"

namespace {

RunSettings Apply(const ParsedArgs& p) {
  RunSettings s;
  ApplyCommandLine(p.args, &s);
  return s;
}

}  // namespace

TEST(ApplyCommandLine, KeepsTheDefaultsWhenNothingIsGiven) {
  ParsedArgs p({"in.yuv"});
  const RunSettings s = Apply(p);
  EXPECT_EQ(s.algo, Algo_Aging);
  EXPECT_EQ(s.algo2, Algo_None);
  EXPECT_EQ(s.format, c_FormatYUV);
  EXPECT_EQ(s.history, 150);
  EXPECT_EQ(s.history2, 150);
  EXPECT_EQ(s.aging_factor, 0.95);
  EXPECT_EQ(s.aging_factor2, 0.95);
  EXPECT_EQ(s.fuzzyness, 3);
  EXPECT_EQ(s.blocksize2, 8);
  EXPECT_EQ(s.decimate, 1);
  EXPECT_EQ(s.speedup, 1);
  EXPECT_EQ(s.width, 352);
  EXPECT_EQ(s.height, 288);
  EXPECT_FALSE(s.save_output);
  EXPECT_EQ(s.output_prefix, nullptr);
  EXPECT_FALSE(s.offline || s.alpha_input || s.transparent_motion);
  EXPECT_TRUE(s.x11_output);
}

TEST(ApplyCommandLine, OptionsEndingInTwoWinForTheSecondAlgorithmInEitherOrder) {
  const std::vector<std::vector<std::string>> orders = {
      {"-n", "50", "--history2=20", "-G", "0.5", "--aging-factor2=0.25", "-F", "5",
       "--fuzzyness2=1", "-b", "16", "--blocksize2=4"},
      {"--blocksize2=4", "--fuzzyness2=1", "--aging-factor2=0.25", "--history2=20", "-b", "16",
       "-F", "5", "-G", "0.5", "-n", "50"},
  };
  for (const auto& words : orders) {
    ParsedArgs p(words);
    const RunSettings s = Apply(p);
    EXPECT_EQ(s.history, 50);
    EXPECT_EQ(s.history2, 20);
    EXPECT_EQ(s.aging_factor, 0.5);
    EXPECT_EQ(s.aging_factor2, 0.25);
    EXPECT_EQ(s.fuzzyness, 5);
    EXPECT_EQ(s.fuzzyness2, 1);
    EXPECT_EQ(s.blocksize, 16);
    EXPECT_EQ(s.blocksize2, 4);
  }
  // The plain forms alone set both algorithms.
  ParsedArgs plain({"-n", "1", "-F", "0", "-G", "1", "-2", "mode"});
  const RunSettings s = Apply(plain);
  EXPECT_EQ(s.algo2, Algo_Mode);
  EXPECT_EQ(s.history2, 1);
  EXPECT_EQ(s.fuzzyness2, 0);
  EXPECT_EQ(s.aging_factor2, 1.0);
}

TEST(ApplyCommandLine, ReadsResolutionFormatOutputAndFlags) {
  ParsedArgs p({"-r", "640x480x2", "-f", "MPEG", "-o", "out/bg", "-l", "-t", "-x", "-a",
                "SimMat", "-d", "3", "-s", "4"});
  const RunSettings s = Apply(p);
  EXPECT_EQ(s.width, 640);
  EXPECT_EQ(s.height, 480);
  EXPECT_EQ(s.format, c_FormatMPEG);
  EXPECT_TRUE(s.save_output);
  EXPECT_STREQ(s.output_prefix, "out/bg");
  EXPECT_TRUE(s.offline && s.transparent_motion);
  EXPECT_FALSE(s.alpha_input);
  EXPECT_FALSE(s.x11_output);
  EXPECT_EQ(s.algo, Algo_SimMat);
  EXPECT_EQ(s.decimate, 3);
  EXPECT_EQ(s.speedup, 4);

  ParsedArgs q({"-r", " 32767x+1", "-f", "yuv", "-A", "ignored"});
  const RunSettings t = Apply(q);
  EXPECT_EQ(t.width, 32767);
  EXPECT_EQ(t.height, 1);
  EXPECT_EQ(t.format, c_FormatYUV);
  EXPECT_TRUE(t.alpha_input);
}

TEST(ApplyCommandLine, AcceptsWhatTheSecondAlgorithmDoesNotUse) {
  ParsedArgs p({"-2", "aging", "--blocksize2=16", "-a", "simmat"});
  const RunSettings s = Apply(p);
  EXPECT_EQ(s.algo, Algo_SimMat);
  EXPECT_EQ(s.algo2, Algo_Aging);
  EXPECT_EQ(s.blocksize2, 16);
}

namespace {

// A 4:4:4 YUV image of one colour, opaque.
pixkit::Image<pixkit::Pixel> Uniform(int w, int h, pixkit::Pixel y, pixkit::Pixel u,
                                     pixkit::Pixel v) {
  pixkit::ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = pixkit::Colorspace_YUV;
  p.chroma = pixkit::Chroma_444;
  p.has_alpha = true;
  pixkit::Image<pixkit::Pixel> img;
  img.Create(p);
  pixkit::Clear(img, pixkit::Color(y, u, v, 255));
  return img;
}

pixkit::Pixel BackgroundY(cvalgo::BackgroundSynthesizer& algo) {
  pixkit::Image<pixkit::Pixel> bg;
  algo.SynthesizeBackground(bg);
  return bg.AskFrameY()[0][0];
}

}  // namespace

TEST(CreateAlgo, MakesEachAlgorithmWithTheSettingItUses) {
  const struct {
    Algorithm algo;
    const char* name;
  } cases[] = {
      {Algo_Aging, "background aging (uniform)"},
      {Algo_Average, "averaging filter (considering alpha channel)"},
      {Algo_Median, "median filter (considering alpha channel)"},
      {Algo_Mode, "mode filter (considering alpha channel)"},
      {Algo_First, "use first observed pixels"},
      {Algo_Last, "collect most recent changes"},
      {Algo_SimMat, "similarity matrix decomposition"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto algo = CreateAlgo(c.algo, 0.5, 0, 8);
    ASSERT_NE(algo, nullptr);
    EXPECT_STREQ(algo->AskAlgorithmName(), c.name);
  }

  // The aging factor reaches aging: half of the old background stays.
  auto aging = CreateAlgo(Algo_Aging, 0.5, 3, 8);
  aging->ShareImage(Uniform(8, 8, 100, 128, 128));
  aging->ShareImage(Uniform(8, 8, 200, 128, 128));
  EXPECT_NEAR(BackgroundY(*aging), 150, 1);

  // The fuzzyness reaches mode: of 100, 100, 103, 104, 105 it gives the most frequent value at
  // F = 0 and at F = 3 the median of all five, which one window then holds.
  for (int f : {0, 3}) {
    auto mode = CreateAlgo(Algo_Mode, 0.95, f, 8);
    for (int v : {100, 100, 103, 104, 105})
      mode->ShareImage(Uniform(8, 8, pixkit::Pixel(v), 128, 128));
    EXPECT_EQ(BackgroundY(*mode), f == 0 ? 100 : 103);
  }
}

TEST(CreateAlgoDeathTest, TakesNoAlgorithmOtherThanTheSeven) {
  EXPECT_DEATH(CreateAlgo(Algo_None, 0.95, 3, 8), "CreateAlgo takes one of the seven algorithms");
}

TEST(SaveAsPPM, NamesTheFileByPrefixAndStepAndWritesRGB) {
  const std::string dir = ::testing::TempDir() + "save-as-ppm-" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const pixkit::Image<pixkit::Pixel> grey = Uniform(6, 4, 128, 128, 128);
  const struct {
    int cnt;
    const char* name;
  } cases[] = {{0, "bg0000.ppm"}, {7, "bg0007.ppm"}, {9999, "bg9999.ppm"}, {12345, "bg12345.ppm"}};
  for (const auto& c : cases) {
    SaveAsPPM(grey, (dir + "/bg").c_str(), c.cnt);
    std::ifstream in(dir + "/" + c.name, std::ios::binary);
    ASSERT_TRUE(in) << c.name;
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string header = "P6\n6 4\n255\n";
    ASSERT_EQ(data.size(), header.size() + 6 * 4 * 3) << c.name;
    EXPECT_EQ(data.substr(0, header.size()), header);
    // A neutral grey stays grey: equal R, G and B.
    EXPECT_EQ(data[header.size()], data[header.size() + 1]);
    EXPECT_EQ(data[header.size()], data[header.size() + 2]);
    std::remove((dir + "/" + c.name).c_str());
  }
  // No folder is made for the prefix.
  EXPECT_THROW(SaveAsPPM(grey, (dir + "/missing/bg").c_str(), 1), pixkit::Excpt_Text);
  rmdir(dir.c_str());
}

TEST(SaveAsPPMDeathTest, RefusesANegativeStep) {
  const pixkit::Image<pixkit::Pixel> grey = Uniform(2, 2, 128, 128, 128);
  EXPECT_DEATH(SaveAsPPM(grey, "never", -1), "cnt >= 0");
}

// The decoder's share is what it says before its first frame, and again before a frame that
// needs more; frames larger than those it spoke for take more of what grows with the pictures.
TEST(DecoderMemoryClaim, HoldsWhatTheDecoderSaysAndGrowsWithTheFrames) {
  char pattern[] = "/tmp/decoder-claim.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const char* path = getenv("PATH");
  const std::string oldPath = path ? path : "";
  setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
  const auto record = [](int w, int h) {
    std::string r(128 + size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2), '\0');
    r[4] = char(w >> 8), r[5] = char(w), r[6] = char(h >> 8), r[7] = char(h);
    return r;
  };
  std::ofstream(dir + "/small", std::ios::binary) << record(16, 16);
  std::ofstream(dir + "/large", std::ios::binary) << record(32, 32);
  const struct {
    const char* first;   // said before the first frame
    const char* second;  // said before the second, larger one, if anything
    uint64_t held;       // after both
    const char* needs;   // of a refusal instead
  } cases[] = {
      // Said without the size it is for, it is the first frame's, and all of it grows.
      {"1000000 2", "", 0, "2.9 MB"},
      {"1000000 2 600000 16 16", "", 2200000, nullptr},
      {"1000000 2 600000 16 16", "1500000 2 600000 32 32", 1500000, nullptr},
      {"1000000 2 600000 16 16", "3500000 2 600000 32 32", 0, "2.4 MB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " / " + c.second);
    std::string script = "#!/bin/sh\nsay() { printf '%s\\n' \"$1\" >&$MPGFEED_NEED_FD; "
                         "head -c 1 <&$MPGFEED_NEED_FD >/dev/null; }\n";
    script += "say '" + std::string(c.first) + "'\ncat '" + dir + "/small'\n";
    if (*c.second) script += "say '" + std::string(c.second) + "' || exit 0\n";
    script += "cat '" + dir + "/large'\n";
    std::ofstream(dir + "/mpgfeed") << script;
    chmod((dir + "/mpgfeed").c_str(), 0755);
    pixkit::FileReader_MPEG reader;
    reader.Open((dir + "/clip").c_str());
    cvalgo::MemoryBudget budget(3000000);
    try {
      DecoderMemoryClaim claim(reader, budget);
      EXPECT_EQ(budget.AskHeld(), 1000000u);
      pixkit::Image<pixkit::Pixel> frame;
      ASSERT_TRUE(reader.ReadImage(frame));
      claim.Update(frame);
      // A need said right after a record may be heard before it.
      if (!*c.second) {
        EXPECT_EQ(budget.AskHeld(), 1000000u);
      }
      ASSERT_TRUE(reader.ReadImage(frame));
      claim.Update(frame);
      EXPECT_EQ(c.needs, nullptr);
      EXPECT_EQ(budget.AskHeld(), c.held);
    } catch (const cvalgo::MemoryRefusal& e) {
      ASSERT_NE(c.needs, nullptr);
      char text[pixkit::c_MaxTextLen + 1];
      e.GetText(text, sizeof text);
      EXPECT_EQ(std::string(text), "the decoder's share, decoding '" + dir + "/clip' on 2 threads, needs " +
                                       c.needs + ", more than the 1.9 MB of memory available");
      EXPECT_EQ(budget.AskHeld(), 0u);
    }
  }
  setenv("PATH", oldPath.c_str(), 1);
  std::filesystem::remove_all(dir);
}
