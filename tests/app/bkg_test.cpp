#include "app/bkg.h"

#include <gtest/gtest.h>

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
  ParsedArgs plain({"-n", "0", "-F", "0", "-G", "1", "-2", "mode"});
  const RunSettings s = Apply(plain);
  EXPECT_EQ(s.algo2, Algo_Mode);
  EXPECT_EQ(s.history2, 0);
  EXPECT_EQ(s.fuzzyness2, 0);
  EXPECT_EQ(s.aging_factor2, 1.0);
}

TEST(ApplyCommandLine, ReadsResolutionFormatOutputAndFlags) {
  ParsedArgs p({"-r", "640x480x2", "-f", "MPEG", "-o", "out/bg", "-l", "-A", "ignored", "-t",
                "-x", "-a", "SimMat", "-d", "3", "-s", "4"});
  const RunSettings s = Apply(p);
  EXPECT_EQ(s.width, 640);
  EXPECT_EQ(s.height, 480);
  EXPECT_EQ(s.format, c_FormatMPEG);
  EXPECT_TRUE(s.save_output);
  EXPECT_STREQ(s.output_prefix, "out/bg");
  EXPECT_TRUE(s.offline && s.alpha_input && s.transparent_motion);
  EXPECT_FALSE(s.x11_output);
  EXPECT_EQ(s.algo, Algo_SimMat);
  EXPECT_EQ(s.decimate, 3);
  EXPECT_EQ(s.speedup, 4);

  ParsedArgs q({"-r", " 32767x+1", "-f", "yuv"});
  const RunSettings t = Apply(q);
  EXPECT_EQ(t.width, 32767);
  EXPECT_EQ(t.height, 1);
  EXPECT_EQ(t.format, c_FormatYUV);
}

TEST(ApplyCommandLine, AcceptsWhatTheSecondAlgorithmDoesNotUse) {
  ParsedArgs p({"-2", "aging", "--blocksize2=16", "-a", "simmat"});
  const RunSettings s = Apply(p);
  EXPECT_EQ(s.algo, Algo_SimMat);
  EXPECT_EQ(s.algo2, Algo_Aging);
  EXPECT_EQ(s.blocksize2, 16);
}
