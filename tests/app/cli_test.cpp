// The built executable against its command line: stdout, stderr and exit code, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

using testsupport::ProcessResult;

ProcessResult RunTool(const std::vector<std::string>& args) {
  testsupport::ProcessSpec spec;
  spec.path = QUILLMERE_EXE;
  spec.arg0 = "quillmere";
  spec.args = args;
  return testsupport::RunProcess(spec);
}

std::string Describe(const std::vector<std::string>& args) {
  std::string s = "quillmere";
  for (const std::string& a : args) s += " " + a;
  return s;
}

void ExpectRun(const std::vector<std::string>& args, int code, const std::string& out,
               const std::string& err) {
  SCOPED_TRACE(Describe(args));
  const ProcessResult r = RunTool(args);
  EXPECT_EQ(r.exit_code, code);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

const char kVersion[] = "Quillmere 0.1 (02 Mar 2004)\n";

const char kHelp[] =
    "Quillmere 0.1 (02 Mar 2004)\n"
    "\n"
    "Usage: Quillmere [OPTIONS]... [FILES]...\n"
    "   -h         --help                  Print help and exit\n"
    "   -V         --version               Print version and exit\n"
    "   -aSTRING   --algo=STRING           background reconstruction algorithm (--algo=list for available options)\n"
    "   -nINT      --history=INT           number of input frames the algorithm may use\n"
    "   -GDOUBLE   --aging-factor=DOUBLE   set aging factor for 'aging' algorithm\n"
    "   -FINT      --fuzzyness=INT         set fuzzyness fator for 'mode' algorithm\n"
    "   -bINT      --blocksize=INT         set block size for 'simmat' algorithm\n"
    "   -2STRING   --algo2=STRING          second background reconstruction algorithm\n"
    "              --history2=INT          number of input frames the second algorithm may use (overrides -n)\n"
    "              --aging-factor2=DOUBLE  set aging factor for 'aging' algorithm (overrides -G)\n"
    "              --fuzzyness2=INT        set fuzzyness fator for 'mode' algorithm (overrides -F)\n"
    "              --blocksize2=INT        set block size for 'simmat' algorithm (overrides -b)\n"
    "   -dINT      --decimate=INT          only use every 'n'th input frame\n"
    "   -sINT      --speedup=INT           show output only after each 'n'th step\n"
    "   -rSTRING   --resolution=STRING     resolution of input frames (YUV input only)\n"
    "   -fSTRING   --format=STRING         input format (yuv, mpeg)\n"
    "   -oSTRING   --save-output=STRING    write sequence of generated backgrounds to PPM files\n"
    "   -l         --offline               only generate one background image for the whole sequence (overrides -s)\n"
    "   -ASTRING   --alpha=STRING          use input file with alpha-channel information\n"
    "   -t         --transparent-motion    make areas with image motion transparent\n"
    "   -x         --no-x11                disable X11 output\n";

const char kList[] =
    "Available algorithms: aging, average, median, mode, first, last, simmat\n"
    "\n"
    "Aging:     A current background image is maintained. After each input frame 'f',\n"
    "           the background 'b' is updated according to 'b <- a*b + (1-a)*f'.\n"
    "           the aging factor 'a' can be adjusted.\n"
    "Average:   Compute pixel-wise average in temporal direction (excluding\n"
    "           transparent pixels).\n"
    "Median:    Compute median filter in temporal direction (excluding transparent\n"
    "           pixels).\n"
    "Mode:      Select most frequently occuring pixel value (equality is considered\n"
    "           up to a fuzzyness difference that can be adjusted)\n"
    "First:     Take first non-transparent pixel into background\n"
    "Last:      Take last non-transparent pixel into background\n"
    "SimMat:    Algorithm based on block-similarity matrices and foreground time-range\n"
    "           prediction (see Oskren, ICIP'03 paper for longer explanation).\n";

const char kHeader[] = "parameters that will be used for the computation:\n";
const char kAgingListing[] =
    "parameters that will be used for the computation:\n"
    "algorithm: aging\n"
    "input decimation: 1\n"
    "output speedup: 1\n"
    "aging factor: 0.95\n"
    "offline: false\n"
    "make motion areas transparent: false\n";

}  // namespace

TEST(Cli, HelpAndVersionGoToStdoutAndEndWithCodeZero) {
  for (const char* opt : {"-h", "--help"}) ExpectRun({opt}, 0, kHelp, "");
  for (const char* opt : {"-V", "--version"}) ExpectRun({opt}, 0, kVersion, "");
  // The values before them are never looked at, but a repetition before them is reported.
  ExpectRun({"in.yuv", "-d", "0", "-a", "bogus", "-h"}, 0, kHelp, "");
  ExpectRun({"-V", "-h"}, 0, kVersion, "");
  ExpectRun({"-V", "--bogus"}, 0, kVersion, "");
  ExpectRun({"-x", "-x", "-h"}, 1, "",
            "Quillmere: `--no-x11' (`-x') option given more than once\n");
}

TEST(Cli, HelpAndVersionThatCannotBeWrittenEndWithCodeTwo) {
  const struct {
    const char* redirect;
    const char* err;
  } outputs[] = {
      {"> /dev/full", "Error: cannot write to standard output (No space left on device)\n"},
      {">&-", "Error: cannot write to standard output (Bad file descriptor)\n"}};
  for (const auto& o : outputs) {
    for (const char* opt : {"-h", "--version"}) {
      SCOPED_TRACE(std::string(opt) + " " + o.redirect);
      testsupport::ProcessSpec spec;
      spec.path = "/bin/sh";
      spec.args = {"-c", std::string("exec \"$0\" \"$@\" ") + o.redirect, QUILLMERE_EXE, opt};
      const ProcessResult r = testsupport::RunProcess(spec);
      EXPECT_EQ(r.exit_code, 2);
      EXPECT_EQ(r.err, o.err);
    }
  }
}

TEST(Cli, AlgorithmListGoesToStderrBeforeAnyOtherValueIsLookedAt) {
  ExpectRun({"-a", "list"}, 0, "", kList);
  ExpectRun({"--algo=List", "-f", "bogus", "-r", "0x0", "-l"}, 0, "", kList);
  ExpectRun({"-a", "mode", "-2", "LIST"}, 0, "", kList);
  ExpectRun({"-a", "bogus", "-f", "bogus"}, 5, "", "unknown algorithm\n");
  ExpectRun({"-2", "aging2"}, 5, "", "unknown algorithm\n");
  ExpectRun({"-a", ""}, 5, "", "unknown algorithm\n");
}

TEST(Cli, ParserErrorsEndWithCodeOne) {
  ExpectRun({"-a", "aging", "-a", "mode"}, 1, "",
            "Quillmere: `--algo' (`-a') option given more than once\n");
  ExpectRun({"--history2=20", "--history2", "20"}, 1, "",
            "Quillmere: `--history2' option given more than once\n");
  ExpectRun({"-t", "--transparent-motion"}, 1, "",
            "Quillmere: `--transparent-motion' (`-t') option given more than once\n");
  ExpectRun({"--aging-factor2=0.5", "--aging-factor2=0.5"}, 1, "",
            "Quillmere: `--aging-factor2' option given more than once\n");
  // getopt_long's own diagnostics name the program as it was invoked.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"-q"}, {"-a"}, {"--offline=1"}, {"--history2"}}) {
    SCOPED_TRACE(Describe(args));
    const ProcessResult r = RunTool(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("quillmere: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("parameters"), std::string::npos);
  }
}

TEST(Cli, RejectedValuesEndWithCodeFiveAndOneLine) {
  const char* const kNoHistory =
      "history length (-n) must be at least 1 for average, median, mode and simmat\n";
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"-r", "640X480"}, "resolution argument has wrong format (correct example: 352x288)\n"},
      {{"-r", "x"}, "resolution out of range (width and height from 1 to 32767)\n"},
      {{"-r", "0x288"}, "resolution out of range (width and height from 1 to 32767)\n"},
      {{"-r", "352x32768"}, "resolution out of range (width and height from 1 to 32767)\n"},
      {{"-r", "4294967648x288"}, "resolution out of range (width and height from 1 to 32767)\n"},
      {{"-f", "avi"}, "unknown format (yuv, mpeg)\n"},
      {{"-l"}, "output filename (-o) required in offline mode\n"},
      {{"-A", "a.yuv", "-f", "MPEG"}, "alpha input (-A) needs YUV input (-f yuv)\n"},
      {{"-d", "0"}, "input decimation (-d) must be at least 1\n"},
      {{"-s", "-1"}, "output speedup (-s) must be at least 1\n"},
      {{"-n", "-5"}, "history length (-n) must not be negative\n"},
      {{"--history2=-1", "-n", "5"}, "history length (--history2) must not be negative\n"},
      {{"-n", "0", "-a", "median"}, kNoHistory},
      {{"-a", "mode", "-n", "abc"}, kNoHistory},
      {{"--history=0", "-a", "AVERAGE"}, kNoHistory},
      {{"-a", "simmat", "-n", "0", "--history2=5", "-2", "median"}, kNoHistory},
      {{"-a", "first", "-n", "0", "-2", "simmat"}, kNoHistory},
      {{"-a", "median", "--history2=0", "-2", "mode"},
       "history length (--history2) must be at least 1 for average, median, mode and simmat\n"},
      {{"-G", "nan"}, "aging factor (-G) must be between 0 and 1\n"},
      {{"-G", "-0.01"}, "aging factor (-G) must be between 0 and 1\n"},
      {{"--aging-factor2=1.5"}, "aging factor (--aging-factor2) must be between 0 and 1\n"},
      {{"-F", "-1"}, "fuzzyness (-F) must not be negative\n"},
      {{"--fuzzyness2=-1"}, "fuzzyness (--fuzzyness2) must not be negative\n"},
      {{"-2", "simmat", "--blocksize2=16"},
       "the second algorithm simmat supports only blocks of size 8x8 (-b, --blocksize2)\n"},
      {{"-b", "4", "-2", "SIMMAT"},
       "the second algorithm simmat supports only blocks of size 8x8 (-b, --blocksize2)\n"},
      // Only the first failing value is reported.
      {{"-l", "-f", "avi", "-r", "1x1"}, "unknown format (yuv, mpeg)\n"},
      {{"-r", "x", "-s", "0"}, "output speedup (-s) must be at least 1\n"},
      {{"-F", "-1", "-n", "-1"}, "history length (-n) must not be negative\n"},
  };
  for (const auto& c : cases) ExpectRun(c.args, 5, "", c.err);
}

TEST(Cli, ListingDescribesTheFirstAlgorithmOnlyAndComesBeforeTheInput) {
  const struct {
    std::vector<std::string> args;
    const char* listing;  // after the header line
  } cases[] = {
      {{}, kAgingListing + sizeof kHeader - 1},
      {{"-G", "0.5", "-n", "7", "-F", "9", "-b", "8", "-t"},
       "algorithm: aging\ninput decimation: 1\noutput speedup: 1\naging factor: 0.5\n"
       "offline: false\nmake motion areas transparent: true\n"},
      {{"-G", "0.123456789"},
       "algorithm: aging\ninput decimation: 1\noutput speedup: 1\naging factor: 0.123457\n"
       "offline: false\nmake motion areas transparent: false\n"},
      {{"-a", "MEDIAN", "-n", "0x20", "-d", "3", "-s", "010"},
       "algorithm: median\nhistory: 32\ninput decimation: 3\noutput speedup: 8\n"
       "offline: false\nmake motion areas transparent: false\n"},
      {{"in.yuv", "-a", "mode", "-F", "5", "--fuzzyness2=1", "-n", "3abc"},
       "algorithm: mode\nhistory: 3\ninput decimation: 1\noutput speedup: 1\n"
       "allowed pixel value fuzzyness: 5\noffline: false\nmake motion areas transparent: false\n"},
      // The algorithms without a history of frames take any length.
      {{"-a", "last", "-n", "abc", "-2", "first"},
       "algorithm: last\nhistory: 0\ninput decimation: 1\noutput speedup: 1\n"
       "offline: false\nmake motion areas transparent: false\n"},
      {{"-a", "median", "--history2=0", "-2", "aging"},
       "algorithm: median\nhistory: 150\ninput decimation: 1\noutput speedup: 1\n"
       "offline: false\nmake motion areas transparent: false\n"},
      {{"-a", "average", "-l", "-o", "bg", "-x", "-f", "MPEG", "-r", "640x480"},
       "algorithm: average\nhistory: 150\ninput decimation: 1\noutput speedup: 1\n"
       "offline: true\nmake motion areas transparent: false\n"},
      {{"--history2=20", "-n", "50", "-a", "first", "-2", "median"},
       "algorithm: first\nhistory: 50\ninput decimation: 1\noutput speedup: 1\n"
       "offline: false\nmake motion areas transparent: false\n"},
      {{"-a", "last", "-n", "50", "--history2=20"},
       "algorithm: last\nhistory: 50\ninput decimation: 1\noutput speedup: 1\n"
       "offline: false\nmake motion areas transparent: false\n"},
      {{"-a", "simmat", "-n", "010", "-t", "-2", "simmat"},
       "algorithm: simmat\nhistory: 8\ninput decimation: 1\noutput speedup: 1\nblocksize: 8\n"
       "offline: false\n"},
  };
  // Without input files the run ends right after the listing; a file that is not there ends it
  // with an error.
  const char kNoFiles[] = "number of input stream incorrect\n";
  for (const auto& c : cases) {
    const bool mpeg = std::find(c.args.begin(), c.args.end(), "MPEG") != c.args.end();
    const bool named = !c.args.empty() && c.args.front() == "in.yuv";
    const std::string tail = named ? "Error: cannot open input file 'in.yuv'\n"
                             : mpeg ? "input stream missing\n" : kNoFiles;
    ExpectRun(c.args, named ? 2 : 5, "", std::string(kHeader) + c.listing + tail);
  }
}

TEST(Cli, FirstBlockSizeOtherThanEightFailsAfterTheListingWithCodeTwo) {
  // The line number is the only part of the text that may move.
  const auto isAssertion = [](const std::string& text) {
    const std::string head = "ASSERTION FAILED: file 'app/bkg.cpp', 'int main(int, char**)', line ";
    const std::string tail = " (currently, only blocks of size 8x8 are supported).\n\n";
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
      return false;
    const std::string line = text.substr(head.size(), text.size() - head.size() - tail.size());
    return line.find_first_not_of("0123456789") == std::string::npos;
  };
  const struct {
    std::vector<std::string> args;
    std::string listing;
  } cases[] = {
      {{"-b", "4"}, kAgingListing},
      {{"--blocksize=16", "-a", "simmat", "--blocksize2=8", "-2", "simmat"},
       std::string(kHeader) + "algorithm: simmat\nhistory: 150\ninput decimation: 1\n"
                              "output speedup: 1\nblocksize: 16\noffline: false\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Describe(c.args));
    const ProcessResult r = RunTool(c.args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(r.err.substr(0, c.listing.size()), c.listing);
    EXPECT_TRUE(isAssertion(r.err.substr(c.listing.size()))) << r.err;
  }
  // The second block size reaches only the second algorithm, which ignores it unless simmat.
  ExpectRun({"--blocksize2=16", "-2", "mode"}, 5, "",
            std::string(kAgingListing) + "number of input stream incorrect\n");
}
