#include "app/cmdline.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/app/parsed_args.h"

namespace {

std::vector<std::string> Files(const CommandLineArgs& a) {
  return std::vector<std::string>(a.input_files, a.input_files + a.input_count);
}

// The given flags in the order of the option table, so that a test can tell which one is set.
std::vector<int> GivenFlags(const CommandLineArgs& a) {
  return {a.help_given,          a.version_given,      a.algo_given,
          a.history_given,       a.aging_factor_given, a.fuzzyness_given,
          a.blocksize_given,     a.algo2_given,        a.history2_given,
          a.aging_factor2_given, a.fuzzyness2_given,   a.blocksize2_given,
          a.decimate_given,      a.speedup_given,      a.resolution_given,
          a.format_given,        a.save_output_given,  a.offline_given,
          a.alpha_given,         a.transparent_motion_given, a.no_x11_given};
}

}  // namespace

TEST(ParseCommandLine, EveryOptionFillsItsOwnFieldInLongAndShortForm) {
  struct Case {
    std::vector<std::string> forms;  // the same option written in each of its forms
    int flag;                        // index of its given flag in the option table
    std::string value;               // the field it fills, as text
  };
  const auto text = [](const CommandLineArgs& a, int flag) -> std::string {
    switch (flag) {
      case 2: return a.algo;
      case 3: return std::to_string(a.history);
      case 4: return std::to_string(a.aging_factor);
      case 5: return std::to_string(a.fuzzyness);
      case 6: return std::to_string(a.blocksize);
      case 7: return a.algo2;
      case 8: return std::to_string(a.history2);
      case 9: return std::to_string(a.aging_factor2);
      case 10: return std::to_string(a.fuzzyness2);
      case 11: return std::to_string(a.blocksize2);
      case 12: return std::to_string(a.decimate);
      case 13: return std::to_string(a.speedup);
      case 14: return a.resolution;
      case 15: return a.format;
      case 16: return a.save_output;
      case 18: return a.alpha;
      default: return "";
    }
  };
  const Case cases[] = {
      {{"--algo=mode", "-amode", "-a mode"}, 2, "mode"},
      {{"--history=7", "-n7"}, 3, "7"},
      {{"--aging-factor=0.25", "-G0.25"}, 4, std::to_string(0.25)},
      {{"--fuzzyness=4", "-F4"}, 5, "4"},
      {{"--blocksize=16", "-b16"}, 6, "16"},
      {{"--algo2=median", "-2median"}, 7, "median"},
      {{"--history2=9"}, 8, "9"},
      {{"--aging-factor2=0.5"}, 9, std::to_string(0.5)},
      {{"--fuzzyness2=2"}, 10, "2"},
      {{"--blocksize2=4"}, 11, "4"},
      {{"--decimate=3", "-d3"}, 12, "3"},
      {{"--speedup=5", "-s5"}, 13, "5"},
      {{"--resolution=640x480", "-r640x480"}, 14, "640x480"},
      {{"--format=mpeg", "-fmpeg"}, 15, "mpeg"},
      {{"--save-output=bg", "-obg"}, 16, "bg"},
      {{"--offline", "-l"}, 17, ""},
      {{"--alpha=a.yuv", "-Aa.yuv"}, 18, "a.yuv"},
      {{"--transparent-motion", "-t"}, 19, ""},
      {{"--no-x11", "-x"}, 20, ""},
  };
  for (const Case& c : cases) {
    for (const std::string& form : c.forms) {
      SCOPED_TRACE(form);
      std::vector<std::string> words{form};
      if (form == "-a mode") words = {"-a", "mode"};
      ParsedArgs p(words);
      std::vector<int> expected(21, 0);
      expected[size_t(c.flag)] = 1;
      EXPECT_EQ(GivenFlags(p.args), expected);
      EXPECT_EQ(text(p.args, c.flag), c.value);
      EXPECT_EQ(p.args.input_count, 0);
      EXPECT_EQ(p.args.input_files, nullptr);
    }
  }
}

TEST(ParseCommandLine, ConvertsNumbersLikeStrtolWithBaseZeroAndIgnoresTrailingText) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"0x20", 32}, {"010", 8},      {"abc", 0},          {"12abc", 12},
               {"-7", -7},   {" +15", 15},    {"0", 0},            {"99999999999", INT_MAX},
               {"-99999999999", INT_MIN}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ParsedArgs p({"-n", c.text});
    EXPECT_EQ(p.args.history, c.value);
  }
  ParsedArgs d({"-G", "0.5x", "--aging-factor2=abc"});
  EXPECT_EQ(d.args.aging_factor, 0.5);
  EXPECT_EQ(d.args.aging_factor2, 0.0);
}

TEST(ParseCommandLine, TakesFileNamesAnywhereAndCopiesEveryString) {
  ParsedArgs p({"in.yuv", "-a", "mode", "alpha.yuv", "-x", "--", "-t"});
  EXPECT_EQ(Files(p.args), (std::vector<std::string>{"in.yuv", "alpha.yuv", "-t"}));
  EXPECT_STREQ(p.args.algo, "mode");
  EXPECT_EQ(p.args.no_x11_given, 1);
  EXPECT_EQ(p.args.transparent_motion_given, 0);

  // A second parse starts from a clean record and a reset getopt state; numbers not given
  // keep what the record held.
  CommandLineArgs& a = p.args;
  free(a.algo);
  for (int i = 0; i < a.input_count; i++) free(a.input_files[i]);
  free(a.input_files);
  a.history = 123;
  std::string w[] = {"quillmere", "-d", "2", "last.yuv"};
  char* argv[] = {w[0].data(), w[1].data(), w[2].data(), w[3].data(), nullptr};
  ParseCommandLine(4, argv, &a);
  EXPECT_EQ(a.algo, nullptr);
  EXPECT_EQ(a.no_x11_given, 0);
  EXPECT_EQ(a.decimate, 2);
  EXPECT_EQ(a.history, 123);
  EXPECT_EQ(Files(a), std::vector<std::string>{"last.yuv"});
  EXPECT_NE(a.input_files[0], argv[3]);
}

TEST(DuplicateString, ReturnsAnIndependentCopy) {
  for (const char* s : {"", "bg/out_", "with space"}) {
    char* copy = DuplicateString(s);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, s);
    EXPECT_STREQ(copy, s);
    free(copy);
  }
}

TEST(ParseAlgorithmName, IgnoresCase) {
  const struct {
    const char* name;
    Algorithm algo;
  } cases[] = {{"aging", Algo_Aging},   {"AVERAGE", Algo_Average}, {"MEDIAN", Algo_Median},
               {"Mode", Algo_Mode},     {"fIrSt", Algo_First},     {"last", Algo_Last},
               {"SimMat", Algo_SimMat}};
  for (const auto& c : cases) EXPECT_EQ(ParseAlgorithmName(c.name), c.algo) << c.name;
}
