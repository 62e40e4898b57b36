// The built quillmere against input a user did not make: each case of the table names the
// exit code, a line the standard error stream must hold, and the files the run may leave. No
// case may crash, hang or leave a file (also no temporary one) that it does not list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/app/e2e_support.h"
#include "tests/tools/mpeg_testdata.h"

using namespace e2e;
using testsupport::ListFiles;
using testsupport::WriteBytes;

namespace {

constexpr int c_W = 16, c_H = 16;
constexpr size_t c_Frame = c_W * c_H * 3 / 2;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// n frames of YUV 4:2:0 whose texture differs from frame to frame, then extra bytes.
std::vector<uint8_t> Frames(int n, int extra_bytes = 0, int w = c_W, int h = c_H) {
  const size_t frame = size_t(w) * h + 2 * size_t((w + 1) / 2) * size_t((h + 1) / 2);
  std::vector<uint8_t> bytes;
  for (int i = 0; i < n; i++)
    for (size_t k = 0; k < frame; k++) bytes.push_back(uint8_t((k * 7 + k / 13 + i * 31) & 255));
  bytes.insert(bytes.end(), size_t(extra_bytes), uint8_t(77));
  return bytes;
}

struct Case {
  std::string what;
  std::vector<std::string> args;  // -x is added in front
  int code;
  std::string message;  // a part of the standard error stream
  std::vector<std::string> left;  // the files the run leaves in its output folder
  std::vector<std::string> env = {};
  std::string shell = {};  // when set: run through /bin/sh -c with this command
};

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A stand-in decoder that notes its arguments and writes the stream file given.
void InstallDecoder(const std::string& bin, const std::string& stream) {
  mkdir(bin.c_str(), 0755);
  const std::string script = bin + "/mpgfeed";
  std::ofstream(script) << "#!/bin/sh\n"
                        << "for a in \"$@\"; do last=$a; done\n"
                        << "printf '%s' \"$last\" > '" << bin << "/name'\n"
                        << "cat '" << stream << "'\n";
  chmod(script.c_str(), 0755);
}

// Runs a case with its output folder `out`, which it leaves empty for the next.
void RunCase(const Case& c, const std::string& out) {
  SCOPED_TRACE(c.what);
  std::vector<std::string> args = c.args;
  args.insert(args.begin(), "-x");
  ProcessResult r;
  if (c.shell.empty()) {
    r = RunTool(args, c.env);
  } else {
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"-c", c.shell, QUILLMERE_EXE};
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    spec.env = c.env;
    spec.env.push_back("DISPLAY=");
    r = testsupport::RunProcess(spec);
  }
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, c.code) << r.err;
  EXPECT_NE(r.err.find(c.message), std::string::npos)
      << "expected: " << c.message << "\nstderr: " << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ListFiles(out), c.left);
  for (const std::string& f : ListFiles(out)) unlink((out + "/" + f).c_str());
}

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(dir / "three.yuv", Frames(3));
    out = dir.Sub("out");
  }

  TempDir dir;
  std::string out;
};

}  // namespace

TEST_F(BadInput, FilesThatAreMissingShortOrOfAnotherSize) {
  WriteBytes(dir / "two_and_a_half.yuv", Frames(2, int(c_Frame / 2)));
  WriteBytes(dir / "alpha_one_and_a_half", std::vector<uint8_t>(c_W * c_H * 3 / 2, 255));
  const std::string missing = dir / "missing.yuv";
  const std::string three = dir / "three.yuv";
  // Names are cut to their last 297 characters and show control characters escaped.
  std::string dots, dots_shown;
  for (int i = 0; i < 250; i++) dots += "./";
  for (int i = 0; i < 143; i++) dots_shown += "./";
  const std::string long_missing = dir / (dots + "missing.yuv");
  const std::string cut = "'..." + dots_shown + "missing.yuv'\n";
  const std::string odd = dir / "miss\ning\033[31mRED.mpg";
  const std::string odd_shown = "'" + dir / "miss\\ning\\033[31mRED.mpg'\n";
  const std::vector<Case> cases = {
      {"missing input file", {"-r", "16x16", "-o", out + "/bg", missing}, 2,
       "Error: cannot open input file '" + missing + "'\n", {}},
      {"missing alpha file", {"-r", "16x16", "-A", "x", "-o", out + "/bg", three, missing}, 2,
       "Error: cannot open alpha file '" + missing + "'\n", {}},
      {"directory as input", {"-r", "16x16", "-o", out + "/bg", dir.path()}, 2,
       "Error: cannot open input file '" + dir.path() + "'\n", {}},
      {"long missing input name", {"-r", "16x16", "-o", out + "/bg", long_missing}, 2,
       "Error: cannot open input file " + cut, {}},
      {"long missing alpha name", {"-r", "16x16", "-A", "x", "-o", out + "/bg", three,
       long_missing}, 2, "Error: cannot open alpha file " + cut, {}},
      {"long missing MPEG name", {"-f", "mpeg", "-o", out + "/bg", long_missing}, 2,
       "Error: cannot open input file " + cut, {}},
      {"missing name with control characters", {"-r", "16x16", "-o", out + "/bg", odd}, 2,
       "Error: cannot open input file " + odd_shown, {}},
      {"missing MPEG name with control characters", {"-f", "mpeg", "-o", out + "/bg", odd}, 2,
       "Error: cannot open input file " + odd_shown, {}},
      {"truncated YUV file: the whole frames are used",
       {"-r", "16x16", "-l", "-o", out + "/bg", dir / "two_and_a_half.yuv"}, 0,
       "Input file has strange file size, continuing anyway.\n", {"bg0002.ppm"}},
      {"alpha file shorter than the input",
       {"-r", "16x16", "-A", "x", "-l", "-o", out + "/bg", three, dir / "alpha_one_and_a_half"}, 0,
       "Warning: alpha input has only 1 frames for 3 frames of YUV input; the sequence ends "
       "with the last frame that has both\n",
       {"bg0001.ppm"}},
      {"YUV file smaller than one frame of the -r size", {"-r", "32x32", "-o", out + "/bg", three},
       0, "Input file has strange file size, continuing anyway.\n", {}},
      // A closed standard input is not found again by its name.
      {"closed standard input as input",
       {"-a", "mode", "-r", "176x144", "-o", out + "/P", "/dev/stdin"}, 2,
       "transparent: false\nError: cannot open input file '/dev/stdin'\n", {}, {},
       "exec \"$0\" \"$@\" <&-"},
  };
  for (const Case& c : cases) RunCase(c, out);
}

TEST_F(BadInput, OutputThatCannotBeWrittenLeavesNoFile) {
  const std::string three = dir / "three.yuv";
  const std::string nodir = out + "/no-such-folder/bg";
  const std::string notdir = three + "/bg";
  symlink("/dev/full", (dir / "full0000.ppm").c_str());
  mkdir((dir / "sub0003.ppm").c_str(), 0755);
  const std::vector<Case> cases = {
      {"prefix in a folder that does not exist", {"-r", "16x16", "-o", nodir, three}, 2,
       "Error: cannot create PPM file '" + nodir + "0000.ppm' (No such file or directory)\n", {}},
      // An offline run finds out before its first frame: right after the listing.
      {"prefix in a folder that does not exist, offline",
       {"-r", "16x16", "-l", "-o", nodir, three}, 2,
       "transparent: false\nError: cannot write PPM files '" + nodir + "NNNN.ppm' in folder '" +
           out + "/no-such-folder' (No such file or directory)\n", {}},
      {"prefix below a file", {"-r", "16x16", "-o", notdir, three}, 2,
       "Error: cannot create PPM file '" + notdir + "0000.ppm' (Not a directory)\n", {}},
      {"prefix below a file, offline", {"-r", "16x16", "-l", "-o", notdir, three}, 2,
       "transparent: false\nError: cannot write PPM files '" + notdir + "NNNN.ppm' in folder '" +
           three + "' (Not a directory)\n", {}},
      // An offline run over a file knows the one name it will write.
      {"offline, a folder under the name of the background",
       {"-r", "16x16", "-l", "-o", dir / "sub", three}, 2,
       "transparent: false\nError: cannot write PPM file '" + dir / "sub0003.ppm" +
           "' in folder '" + dir.path() + "' (Is a directory)\n", {}},
      // Two names too long for one message: its end goes.
      {"prefix in a long folder that does not exist, offline",
       {"-r", "16x16", "-l", "-o", nodir + std::string(250, 'd') + "/" + std::string(250, 'd'),
        three},
       2, "transparent: false\nError: cannot write PPM files '...", {}},
      // Not even root may create files there.
      {"prefix in a folder nobody may write", {"-r", "16x16", "-o", "/proc/bg", three}, 2,
       "Error: cannot create PPM file '/proc/bg0000.ppm'", {}},
      {"prefix with control characters in a folder that does not exist",
       {"-r", "16x16", "-o", nodir + "\r\033[2K", three}, 2,
       "Error: cannot create PPM file '" + nodir + "\\r\\033[2K0000.ppm' (No such file or "
       "directory)\n", {}},
      {"full disk", {"-r", "16x16", "-o", dir / "full", three}, 2,
       "Error: cannot write PPM file '" + dir / "full" + "0000.ppm' (No space left on device)\n",
       {}},
  };
  for (const Case& c : cases) RunCase(c, out);

  if (geteuid() != 0) {  // root writes anywhere
    const std::string locked = dir.Sub("locked");
    chmod(locked.c_str(), 0555);
    RunCase({"prefix in a folder that is not writable", {"-r", "16x16", "-o", locked + "/bg", three},
             2, "Error: cannot create PPM file '" + locked + "/bg0000.ppm' (Permission denied)\n",
             {}},
            locked);
  }
  // A write that fails half-way keeps the file of an earlier run whole. The file size limit
  // makes the write fail (its signal is ignored, so the write reports EFBIG instead).
  WriteBytes(dir / "big.yuv", Frames(2, 0, 64, 64));
  const std::string earlier = "P5\n1 1\n255\n\x7f";
  std::ofstream(out + "/bg0000.ppm", std::ios::binary) << earlier;
  const std::string good = out + "/bg0000.ppm";
  testsupport::ProcessSpec spec;
  spec.path = "/bin/sh";
  spec.args = {"-c", "trap '' XFSZ; ulimit -f 8 && exec \"$0\" \"$@\"", QUILLMERE_EXE, "-x",
               "-r", "64x64", "-o", out + "/bg", dir / "big.yuv"};
  spec.env = {"DISPLAY="};
  const ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Error: cannot write PPM file '" + good + "' (File too large)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(ListFiles(out), std::vector<std::string>{"bg0000.ppm"});
  EXPECT_EQ(ReadText(good), earlier);
  unlink(good.c_str());

  // A good run after the failed ones replaces nothing it should not.
  RunCase({"the same output when it can be written", {"-r", "16x16", "-s", "2", "-o", out + "/bg",
           three}, 0, Progress(3), {"bg0000.ppm", "bg0002.ppm"}}, out);
}

TEST_F(BadInput, MpegInputThatIsNoVideoOrHasNoDecoder) {
  const std::string three = dir / "three.yuv";
  const std::string missing = dir / "missing.mpg";
  const std::string empty_bin = dir.Sub("empty-bin");
  const std::vector<Case> cases = {
      {"a file that is not a video", {"-f", "mpeg", "-o", out + "/bg", three}, 2,
       "Error: MPEG decoder failed on file '" + three + "' (exit status 1)\n", {},
       {std::string("PATH=") + QUILLMERE_BIN_DIR + ":/usr/bin:/bin"}},
      {"a missing file", {"-f", "mpeg", "-o", out + "/bg", missing}, 2,
       "Error: cannot open input file '" + missing + "'\n", {}},
      {"no decoder on PATH", {"-f", "mpeg", "-o", out + "/bg", three}, 2,
       "Error: MPEG decoder failed on file '" + three +
           "' (exit status 127: mpgfeed could not be run)\n",
       {}, {"PATH=" + empty_bin}},
  };
  for (const Case& c : cases) RunCase(c, out);
}

// The decoder must be the first to open a FIFO: its writer gives up when a reader closes it.
TEST_F(BadInput, MpegInputFromAFifoReachesTheDecoder) {
  mpegtest::WriteMpegFile(dir / "clip.m1v", {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO,
                                             AV_PIX_FMT_YUV420P, 64, 48, 3});
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  RunCase({"MPEG file written into a FIFO", {"-f", "mpeg", "-l", "-o", out + "/bg", fifo}, 0,
           Progress(3), {"bg0003.ppm"},
           {std::string("PATH=") + QUILLMERE_BIN_DIR + ":/usr/bin:/bin"},
           "cat '" + dir / "clip.m1v" + "' > '" + fifo + "' & exec \"$0\" \"$@\""},
          out);
}

TEST_F(BadInput, DecoderStreamsWithBrokenRecords) {
  const std::string bin = dir / "bin";
  const std::string stream = dir / "stream";
  const std::string input = dir / "clip.mpg";
  WriteBytes(input, {1, 2, 3});
  const std::vector<std::string> env = {"PATH=" + bin + ":/usr/bin:/bin"};
  const std::vector<uint8_t> good = Record(16, 16, c_Frame);
  const std::string cut = "Warning: MPEG stream of file '" + input +
                          "' ends inside a frame; frame dropped\n";
  struct Stream {
    std::vector<uint8_t> bytes;
    Case c;
  };
  const std::vector<Stream> streams = {
      {Join(good, Record(-3, 16, 1000)),
       {"negative width", {"-f", "mpeg", "-l", "-o", out + "/bg", input}, 2,
        "Error: invalid frame size -3x16 in MPEG stream of file '" + input + "'\n", {}, env}},
      {Join(good, Record(16, 0, 1000)),
       {"zero height", {"-f", "mpeg", "-l", "-o", out + "/bg", input}, 2,
        "Error: invalid frame size 16x0 in MPEG stream of file '" + input + "'\n", {}, env}},
      {Join(good, Record(32767, 32767, 1000)),
       {"huge frame cut short", {"-f", "mpeg", "-l", "-o", out + "/bg", input}, 0, cut,
        {"bg0001.ppm"}, env}},
      {Join(Join(good, good), Record(16, 16, c_Frame - 1)),
       {"last record cut short", {"-f", "mpeg", "-l", "-o", out + "/bg", input}, 0, cut,
        {"bg0002.ppm"}, env}},
      {Join(good, std::vector<uint8_t>(60, 0)),
       {"record cut inside its header", {"-f", "mpeg", "-l", "-o", out + "/bg", input}, 0, cut,
        {"bg0001.ppm"}, env}},
  };
  for (const Stream& s : streams) {
    WriteBytes(stream, s.bytes);
    InstallDecoder(bin, stream);
    RunCase(s.c, out);
  }
}

TEST_F(BadInput, FileNamesReachTheReadersAndTheShellUnchanged) {
  const std::string odd = "a b'c\"d$(touch pwned);touch pwned2;`touch pwned3`";
  WriteBytes(dir / (odd + ".yuv"), Frames(2));
  const std::string prefix = out + "/" + odd;
  testsupport::ProcessSpec spec;
  spec.path = QUILLMERE_EXE;
  spec.args = {"-x", "-r", "16x16", "-l", "-o", prefix, dir / (odd + ".yuv")};
  spec.workdir = dir.path();
  spec.env = {"DISPLAY="};
  ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 0) << r.err;

  const std::string bin = dir / "bin";
  WriteBytes(dir / "stream", Record(16, 16, c_Frame));
  InstallDecoder(bin, dir / "stream");
  WriteBytes(dir / (odd + ".mpg"), {0});
  spec.args = {"-x", "-f", "mpeg", "-l", "-o", prefix, odd + ".mpg"};
  spec.env.push_back("PATH=" + bin + ":/usr/bin:/bin");
  r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(bin + "/name"), odd + ".mpg");
  for (const char* p : {"pwned", "pwned2", "pwned3"})
    EXPECT_FALSE(std::ifstream(dir / p).good()) << p << " was made by the shell";

  // Names that look like options, after "--".
  WriteBytes(dir / "-h.yuv", Frames(1));
  WriteBytes(dir / "-h.mpg", {0});
  spec.args = {"-x", "-r", "16x16", "-l", "-o", out + "/yuv", "--", "-h.yuv"};
  r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  spec.args = {"-x", "-f", "mpeg", "-l", "-o", out + "/mpeg", "--", "-h.mpg"};
  r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(bin + "/name"), "./-h.mpg");
  EXPECT_EQ(ListFiles(out), (std::vector<std::string>{odd + "0001.ppm", odd + "0002.ppm",
                                                      "mpeg0001.ppm", "yuv0001.ppm"}));
}

TEST_F(BadInput, HugeValuesEndWithoutCrashOrHang) {
  const std::string three = dir / "three.yuv";
  WriteBytes(dir / "big.yuv", Frames(2, 0, 64, 64));
  const std::vector<Case> cases = {
      {"largest frame size on a small file", {"-r", "32767x32767", "-o", out + "/bg", three}, 0,
       "Input file has strange file size, continuing anyway.\n", {}},
      {"decimation beyond the input", {"-r", "16x16", "-d", "2147483647", "-o", out + "/bg",
       three}, 0, Progress(0), {}},
      // 64 blocks of 8x8 and a history of 100000 frames: matrices of 610352 MB.
      {"simmat with a history of 100000",
       {"-r", "64x64", "-n", "100000", "-a", "simmat", "-l", "-o", out + "/bg", dir / "big.yuv"},
       2,
       "Error: the similarity matrices for a history of 100000 frames of 8 x 8 blocks need "
       "610352 MB, more than the ",
       {}},
  };
  for (const Case& c : cases) RunCase(c, out);
}

TEST_F(BadInput, PipeEndingInsideAFrameUsesTheWholeFrames) {
  WriteBytes(dir / "two_and_a_half.yuv", Frames(2, int(c_Frame / 2)));
  RunCase({"pipe as YUV input", {"-r", "16x16", "-l", "-o", out + "/bg", "/dev/stdin"}, 0,
           "Warning: ", {"bg0002.ppm"}, {},
           "cat '" + dir / "two_and_a_half.yuv" + "' | exec \"$0\" \"$@\""},
          out);
}

// A pipe has no length to count frames by; it is read to its end like a file.
TEST_F(BadInput, PipeAndFileOfMoreThanAMillionFramesGiveTheSameBackground) {
  const size_t bytes = 1000010 * 3;  // frames of 1x1
  WriteBytes(dir / "long.yuv", std::vector<uint8_t>(bytes, 0));
  const std::vector<std::string> args = {"-r", "1x1", "-d", "1000", "-a", "last", "-l", "-o",
                                         out + "/bg"};
  std::vector<std::string> file = args, pipe = args;
  file.push_back(dir / "long.yuv");
  pipe.push_back("/dev/stdin");
  RunCase({"file", file, 0, "processing frame 1001\r\n", {"bg1000.ppm"}}, out);
  RunCase({"pipe", pipe, 0, "processing frame 1001\r\n", {"bg1000.ppm"}, {},
           "head -c " + std::to_string(bytes) + " /dev/zero | exec \"$0\" \"$@\""},
          out);
}

// Odd sizes give 4:4:4 chroma planes one sample larger than the luma and alpha planes.
TEST_F(BadInput, OddFrameSizesWithEveryAlgorithm) {
  WriteBytes(dir / "odd.yuv", Frames(3, 0, 45, 29));
  for (const char* algo : {"aging", "average", "median", "mode", "first", "last", "simmat"}) {
    RunCase({std::string("45x29 with ") + algo,
             {"-r", "45x29", "-a", algo, "-t", "-l", "-o", out + "/bg", dir / "odd.yuv"}, 0,
             Progress(3), {"bg0003.ppm"}},
            out);
  }
}
