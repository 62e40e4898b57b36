// The built quillmere when the input or the output lets it down: wrong numbers of input files,
// files that cannot be opened or written, memory that runs out, and runs stopped by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "libpixkit/utility/sysmemory.h"
#include "tests/app/e2e_support.h"
#include "tests/tools/mpeg_testdata.h"

using namespace e2e;
using testsupport::ListFiles;
using testsupport::Picture420;
using testsupport::WriteYUV;

namespace {

void ExpectRun(const std::vector<std::string>& args, int code, const std::string& err) {
  SCOPED_TRACE(Describe(args));
  const ProcessResult r = RunTool(args);
  EXPECT_EQ(r.exit_code, code);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, err);
}

struct SigpipeIgnored {
  SigpipeIgnored() { old = signal(SIGPIPE, SIG_IGN); }
  ~SigpipeIgnored() { signal(SIGPIPE, old); }
  sighandler_t old;
};

bool HasHiddenFile(const std::string& dir) {
  for (const std::string& f : ListFiles(dir))
    if (f[0] == '.') return true;
  return false;
}

// A memory cgroup of the test's own with a limit, made below one that holds the test; removed
// when it goes. Empty path where the machine does not let the test make one.
struct ChildMemoryCgroup {
  explicit ChildMemoryCgroup(uint64_t limit) {
    for (const pixkit::MemoryCgroup& c : pixkit::AskMemoryCgroups()) {
      const std::string dir = c.mount + c.path + "/quillmere-e2e-" + std::to_string(getpid());
      const std::string file = dir + (c.v2 ? "/memory.max" : "/memory.limit_in_bytes");
      uint64_t set = 0;
      if (mkdir(dir.c_str(), 0755) != 0) continue;
      std::ofstream(file) << limit;
      if (std::ifstream(file) >> set && set == limit) {
        path = dir;
        return;
      }
      rmdir(dir.c_str());
    }
  }
  ~ChildMemoryCgroup() {
    // The decoder of a run that was killed may still be on its way out.
    for (int i = 0; !path.empty() && rmdir(path.c_str()) != 0 && errno == EBUSY && i < 500; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::string path;
};

}  // namespace

TEST(EndToEnd, WrongNumbersOfInputFilesEndWithCodeFiveAfterTheListing) {
  const std::string yuv = Listing("median") + "number of input stream incorrect\n";
  const std::string mpeg = Listing("median") + "input stream missing\n";
  const std::vector<std::vector<std::string>> yuv_cases = {
      {}, {"a.yuv", "b.yuv"}, {"-A", "x", "a.yuv"}, {"-A", "x", "a.yuv", "b.yuv", "c.yuv"}};
  for (std::vector<std::string> args : yuv_cases) {
    args.insert(args.begin(), {"-x", "-a", "median"});
    ExpectRun(args, 5, yuv);
  }
  // With MPEG: one file, no more and no less. An alpha file beside it is refused with the
  // values, before the listing.
  const std::vector<std::vector<std::string>> mpeg_cases = {{}, {"a.mpg", "b.mpg"}};
  for (std::vector<std::string> args : mpeg_cases) {
    args.insert(args.begin(), {"-x", "-a", "median", "-f", "mpeg"});
    ExpectRun(args, 5, mpeg);
  }
  ExpectRun({"-x", "-a", "median", "-f", "mpeg", "-A", "x", "a.mpg", "alpha.yuv"}, 5,
            "alpha input (-A) needs YUV input (-f yuv)\n");
}

TEST(EndToEnd, InputAndAlphaFilesThatCannotBeOpenedEndWithCodeTwo) {
  TempDir dir;
  WriteYUV(dir / "seq.yuv", {Picture420(16, 16)});
  const std::string missing = dir / "missing.yuv";
  const std::string head = Listing("median");
  ExpectRun({"-x", "-r", "16x16", "-a", "median", missing}, 2,
            head + "Error: cannot open input file '" + missing + "'\n");
  ExpectRun({"-x", "-r", "16x16", "-a", "median", dir.path()}, 2,
            head + "Error: cannot open input file '" + dir.path() + "'\n");
  ExpectRun({"-x", "-r", "16x16", "-a", "median", "-A", "x", missing, dir / "seq.yuv"}, 2,
            head + "Error: cannot open input file '" + missing + "'\n");
  ExpectRun({"-x", "-r", "16x16", "-a", "median", "-A", "x", dir / "seq.yuv", missing}, 2,
            head + "Error: cannot open alpha file '" + missing + "'\n");
  ExpectRun({"-x", "-a", "median", "-f", "mpeg", missing}, 2,
            head + "Error: cannot open input file '" + missing + "'\n");
}

TEST(EndToEnd, BackgroundThatCannotBeWrittenEndsWithCodeTwo) {
  TempDir dir;
  WriteYUV(dir / "seq.yuv", {Picture420(16, 16), Picture420(16, 16)});
  const std::string prefix = dir / "no-such-folder/bg";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-x", "-r", "16x16", "-a", "median", "-o", prefix, dir / "seq.yuv"},
           {"-x", "-r", "16x16", "-a", "median", "-l", "-o", prefix, dir / "seq.yuv"}}) {
    SCOPED_TRACE(Describe(args));
    const ProcessResult r = RunTool(args);
    EXPECT_EQ(r.exit_code, 2);
    const size_t at = r.err.find("Error: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_NE(r.err.find(prefix, at), std::string::npos) << r.err;
  }
  EXPECT_EQ(ListFiles(dir.path()), std::vector<std::string>{"seq.yuv"});

  // A file-size limit that the background passes: the write fails with an error, not the
  // signal that would end the run, and no part of the file stays.
  WriteYUV(dir / "big.yuv", std::vector<Picture420>(2, Picture420(64, 64)));
  const std::string limited = dir.Sub("limited");
  testsupport::ProcessSpec spec;
  spec.path = "/bin/sh";
  spec.args = {"-c", "ulimit -f 8 && exec \"$0\" \"$@\"", QUILLMERE_EXE, "-x", "-l", "-r",
               "64x64", "-o", limited + "/bg", dir / "big.yuv"};
  const ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("Error: cannot write PPM file '" + limited + "/bg0002.ppm' (File too large)"),
            std::string::npos) << r.err;
  EXPECT_TRUE(ListFiles(limited).empty());

  // Standard error on a pipe that nobody reads costs the listing and progress, not the files.
  spec.path = QUILLMERE_EXE;
  spec.args = {"-x", "-l", "-r", "64x64", "-o", limited + "/bg", dir / "big.yuv"};
  spec.stderr_unread = true;
  const ProcessResult unread = testsupport::RunProcess(spec);
  EXPECT_EQ(unread.exit_code, 0);
  EXPECT_EQ(unread.signal, 0);
  EXPECT_EQ(ListFiles(limited), std::vector<std::string>{"bg0002.ppm"});
}

// An offline run writes at its end, yet a file it cannot write ends it before the first frame.
// Where the input tells the number of steps, that one name must be writable in place unless the
// folder may be written: a wrong count refuses a run that works. Otherwise (MPEG input) any
// writable file of the series lets the run start.
TEST(EndToEnd, OfflineRunTakesAFolderItMayNotWriteOnlyWithTheFileItWillWriteInPlace) {
  TempDir dir;
  const std::string seq = dir / "seq.yuv", odd = dir / "odd.yuv", alpha = dir / "alpha.bin";
  const std::string clip = dir / "clip.m1v", locked = dir.Sub("locked");
  mpegtest::WriteMpegFile(clip, {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 16,
                                 16, 3});
  WriteYUV(seq, std::vector<Picture420>(20, {16, 16}));
  // 20 frames of 15 x 9 (chroma 8 x 5) and a part of one; 13 alpha planes and a part of one.
  testsupport::WriteBytes(odd, std::vector<uint8_t>(20 * 215 + 100, 90));
  testsupport::WriteBytes(alpha, std::vector<uint8_t>(13 * 135 + 50, 255));
  const std::string refused = Listing("aging", true) + "Error: cannot write PPM file '" + locked +
                              "/bg0020.ppm' in folder '" + locked + "' (Permission denied)\n";
  const struct {
    std::string file;  // the user's own, writable, in the folder; empty: none
    std::vector<std::string> args;  // after -x -l -o locked/bg
    std::string err;  // empty: the run writes the file
  } cases[] = {
      {"bg0020.ppm", {"-r", "16x16", seq}, ""},
      {"", {"-r", "16x16", seq}, refused},
      {"bg0007.ppm", {"-r", "16x16", seq}, refused},
      {"bg0006.ppm", {"-r", "16x16", "-d", "3", seq}, ""},  // a step cut short is dropped
      {"bg0020.ppm", {"-r", "15x9", odd}, ""},
      {"bg0006.ppm", {"-r", "15x9", "-d", "2", "-A", "x", odd, alpha}, ""},
      {"bg0003.ppm", {"-f", "mpeg", clip}, ""},
      {"", {"-f", "mpeg", clip}, Listing("aging", true) + "Error: cannot write PPM files '" +
                                     locked + "/bgNNNN.ppm' in folder '" + locked +
                                     "' (Permission denied)\n"},
  };
  // As another user when the test runs as root, whom mode bits do not stop.
  testsupport::ProcessSpec spec;
  spec.path = QUILLMERE_EXE;
  if (geteuid() == 0) {
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is missing";
    spec.path = "/usr/bin/setpriv";
    spec.args = {"--reuid=65534", "--regid=65534", "--clear-groups", QUILLMERE_EXE};
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    for (const std::string& f : {seq, odd, alpha, clip}) ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  }
  spec.args.insert(spec.args.end(), {"-x", "-l", "-o", locked + "/bg"});
  spec.env = {"DISPLAY=", std::string("PATH=") + QUILLMERE_BIN_DIR + ":/usr/bin:/bin"};
  const testsupport::ProcessSpec base = spec;
  for (const auto& c : cases) {
    spec.args = base.args;
    spec.args.insert(spec.args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.file + " " + Describe(c.args));
    const std::string file = locked + "/" + c.file;
    if (!c.file.empty()) {
      std::ofstream(file) << "old";
      if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
      }
    }
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    const ProcessResult r = testsupport::RunProcess(spec);
    ASSERT_EQ(chmod(locked.c_str(), 0755), 0);
    EXPECT_EQ(ListFiles(locked).size(), c.file.empty() ? 0u : 1u);  // nothing created
    EXPECT_EQ(r.exit_code, c.err.empty() ? 0 : 2) << r.err;
    if (c.err.empty()) {
      const bool odd_size = c.args[1] == "15x9";
      ReadBackground(file, odd_size ? 15 : 16, odd_size ? 9 : 16);
    } else {
      EXPECT_EQ(r.err, c.err);
    }
    if (!c.file.empty()) unlink(file.c_str());
  }
}

// A background named like an input, or linked to one, would destroy it: refused, whatever the
// input (YUV, alpha or MPEG file), and the input stays as it was.
TEST(EndToEnd, BackgroundThatIsAnInputIsRefusedAndTheInputStays) {
  TempDir dir;
  const std::string seq = dir / "seq.yuv", alpha = dir / "alpha.yuv", mpeg = dir / "in.m1v";
  const std::string named = dir / "bg0002.ppm", bg = dir / "bg0000.ppm";
  for (const std::string& f : {seq, alpha, named}) WriteYUV(f, std::vector<Picture420>(2, {16, 16}));
  mpegtest::WriteMpegFile(mpeg, {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 16,
                                 16, 3});
  const auto bytes = [](const std::string& f) {
    std::ifstream in(f, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const struct {
    std::string input;
    int (*link)(const char*, const char*);  // what makes bg0000.ppm the input; none: its name
    std::vector<std::string> args;
  } cases[] = {
      {seq, symlink, {"-r", "16x16", seq}},
      {seq, link, {"-r", "16x16", seq}},
      {alpha, symlink, {"-r", "16x16", "-A", "x", seq, alpha}},
      {mpeg, symlink, {"-f", "mpeg", mpeg}},
      {named, nullptr, {"-r", "16x16", "-l", named}},
  };
  for (const auto& c : cases) {
    if (c.link) {
      ASSERT_EQ(c.link(c.input.c_str(), bg.c_str()), 0);
    }
    const std::string before = bytes(c.input);
    std::vector<std::string> args = {"-x", "-a", "median", "-o", dir / "bg"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(Describe(args));
    const ProcessResult r =
        RunTool(args, {std::string("PATH=") + QUILLMERE_BIN_DIR + ":/usr/bin:/bin"});
    EXPECT_EQ(r.exit_code, 2);
    const std::string output = c.link ? bg : c.input;
    EXPECT_NE(r.err.find("Error: output '" + output + "' is the input '" + c.input + "'\n"),
              std::string::npos) << r.err;
    // An offline run over a file knows the name before its first frame.
    if (std::find(args.begin(), args.end(), "-l") != args.end()) {
      EXPECT_EQ(r.err.find("processing frame"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(bytes(c.input) == before);
    if (c.link) unlink(bg.c_str());
  }
}

// What a run keeps is counted as it comes against the memory the process can have, here the
// address space left under a lowered limit, so that no case fills the machine: a run that would
// need more stops with what it needs and code 2 before it touches the memory, and a history
// longer than the input costs only the frames that came.
TEST(EndToEnd, RunningOutOfMemoryEndsWithAnErrorAndCodeTwo) {
  TempDir dir;
  const std::string seq = dir / "seq.yuv", tiny = dir / "tiny.yuv", big = dir / "big.yuv";
  WriteYUV(seq, {Picture420(64, 48), Picture420(64, 48)});
  WriteYUV(tiny, std::vector<Picture420>(10, Picture420(4, 4)));
  // 2000 frames of 512 x 512, 0.75 MiB each in 4:4:4 (their alpha plane of 255 is shared):
  // sparse, so it takes no disk space.
  std::ofstream(big).close();
  std::filesystem::resize_file(big, 2000 * 512 * 512 * 3 / 2);
  const std::string out = dir.Sub("out");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::vector<std::string> parts;  // in the standard error stream
    std::vector<std::string> left;   // the files written
  };
  const std::vector<Case> cases = {
      // The history's block matrices alone need far more than the limit.
      {{"-r", "64x48", "-a", "simmat", "-n", "8000", seq}, 2,
       {"Error: the similarity matrices for a history of 8000 frames of 8 x 6 blocks need "
        "2930 MB, more than the "},
       {}},
      // Each algorithm's matrices fit alone, not both together.
      {{"-r", "64x48", "-a", "simmat", "-2", "simmat", "-n", "3000", seq}, 2,
       {"Error: the similarity matrices for a history of 3000 frames of 8 x 6 blocks need 412 MB, "
        "more than the ",
        " MB held already: use a shorter history (-n) or smaller frames\n"},
       {}},
      // The history grows frame by frame until the next one would not fit.
      {{"-r", "512x512", "-a", "median", "-n", "2000", "-l", "-o", out + "/bg", big}, 2,
       {" of the history (512 x 512) needs 0.8 MB, more than the "}, {}},
      {{"-r", "4x4", "-a", "simmat", "-n", "40000000", "-l", "-o", out + "/bg", tiny}, 0,
       {Progress(10)}, {"bg0010.ppm"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-c", "ulimit -v 800000 && exec \"$0\" \"$@\"",
                                     QUILLMERE_EXE, "-x"};
    testsupport::ProcessSpec spec;
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer cannot start under a lowered address-space limit: only the runs
    // that end well, with a cap on single allocations instead.
    if (c.code != 0) continue;
    args[1] = "exec \"$0\" \"$@\"";
    spec.env = {"ASAN_OPTIONS=max_allocation_size_mb=800:allocator_may_return_null=1"};
#endif
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(Describe(args));
    spec.path = "/bin/sh";
    spec.args = args;
    const ProcessResult r = testsupport::RunProcess(spec);
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    for (const std::string& part : c.parts) EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(ListFiles(out), c.left);
    for (const std::string& name : c.left) std::filesystem::remove(out + "/" + name);
  }
}

// The decoder's frames live in its own process: an MPEG run is refused at the same frame of its
// history as a YUV run of the same frames under the same address-space limit.
TEST(EndToEnd, MpegRunIsBudgetedLikeTheSameFramesFromAFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer cannot start under a lowered address-space limit";
#endif
  constexpr int c_Side = 1024, c_Frames = 400;
  TempDir dir;
  std::ofstream(dir / "in.yuv").close();
  std::filesystem::resize_file(dir / "in.yuv", size_t(c_Frames) * c_Side * c_Side * 3 / 2);
  testsupport::WriteBytes(dir / "record", Record(c_Side, c_Side, size_t(c_Side) * c_Side * 3 / 2, 0));
  std::filesystem::create_directory(dir / "bin");
  std::ofstream(dir / "bin/mpgfeed") << "#!/bin/sh\nfor i in $(seq " << c_Frames << "); do cat '"
                                      << dir / "record" << "' || exit 0; done\n";
  std::filesystem::permissions(dir / "bin/mpgfeed", std::filesystem::perms::owner_all);
  std::ofstream(dir / "in.mpg") << "x";
  std::vector<std::string> refused;
  for (const std::vector<std::string>& input :
       {std::vector<std::string>{"-r", "1024x1024", dir / "in.yuv"},
        std::vector<std::string>{"-f", "mpeg", dir / "in.mpg"}}) {
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"-c", "ulimit -v 800000 && exec \"$0\" \"$@\"", QUILLMERE_EXE, "-x", "-l",
                 "-o", dir / "bg", "-a", "median", "-n", "1000"};
    spec.args.insert(spec.args.end(), input.begin(), input.end());
    spec.env = {"PATH=" + dir / "bin" + ":/usr/bin:/bin"};
    const ProcessResult r = testsupport::RunProcess(spec);
    EXPECT_EQ(r.exit_code, 2) << r.err;
    const size_t at = r.err.find("Error: frame ");
    refused.push_back(at == std::string::npos ? r.err : r.err.substr(at, r.err.find(" of", at) - at));
  }
  EXPECT_EQ(refused[0], refused[1]);
}

// A run in a memory cgroup whose limit its history would pass ends with the message and code 2,
// not killed by the system once the memory runs out. The decoder of MPEG input draws on the same
// cgroup, as much as it says its stream needs: with its share held back, a short history still
// fits, and a stream that needs little leaves the more to the history. Where even the decoder's
// start runs out of memory, the system ends the decoder, which offers itself first, and the run
// reports it.
TEST(EndToEnd, RunInAMemoryCgroupIsRefusedInsteadOfKilled) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer keeps freed memory aside, beyond any such limit";
#endif
  TempDir dir;
  const std::string in = dir / "in.yuv", clip = dir / "in.mp4", mpeg2 = dir / "in.m2v",
                    uhd = dir / "uhd.mp4";
  std::ofstream(in).close();
  std::filesystem::resize_file(in, size_t(30) * 1920 * 1080 * 3 / 2);
  const auto encode = [](std::vector<std::string> args) {
    testsupport::ProcessSpec spec;
    spec.path = "/usr/bin/ffmpeg";
    spec.args = {"-loglevel", "error", "-f", "lavfi", "-i"};
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    const ProcessResult r = testsupport::RunProcess(spec);
    EXPECT_EQ(r.exit_code, 0) << r.err;
  };
  encode({"testsrc2=size=1920x1080:rate=25", "-frames:v", "100", "-pix_fmt", "yuv420p", "-c:v",
          "libx264", "-preset", "ultrafast", "-bf", "3", clip});
  encode({"testsrc2=size=1920x1080:rate=25", "-frames:v", "20", "-c:v", "mpeg2video", mpeg2});
  encode({"testsrc2=size=3840x2160:rate=25", "-frames:v", "4", "-c:v", "libx264", "-preset",
          "ultrafast", uhd});
  ASSERT_FALSE(HasFailure());
  const std::string history =
      " of the history \\(1920 x 1080\\) needs [5-8]\\.[0-9] MB, more than the .* MB held "
      "already: use a shorter history \\(-n\\) or smaller frames\n";
  const std::string decoder = "Error: the decoder's share, decoding '" + uhd +
                              "' on one thread, needs [0-9.]+ MB, more than the .* of memory "
                              "available: it takes less on fewer cores \\(taskset\\) or with "
                              "smaller frames\n";
  const struct {
    uint64_t limit;
    std::vector<std::string> args;
    int code;
    std::string says;  // what stderr ends with
  } cases[] = {{200 << 20, {"-n", "30", "-r", "1920x1080", in}, 2, history},
               {500 << 20, {"-n", "150", "-f", "mpeg", clip}, 2, history},
               {500 << 20, {"-n", "10", "-f", "mpeg", clip}, 0, ""},
               {160 << 20, {"-n", "5", "-f", "mpeg", mpeg2}, 0, ""},
               {60 << 20, {"-n", "1", "-f", "mpeg", uhd}, 2, decoder}};
  const auto run = [&](uint64_t limit, const std::vector<std::string>& args,
                       const std::string& cores) {
    ChildMemoryCgroup cgroup(limit);
    if (cgroup.path.empty()) return ProcessResult{};
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"-c", "echo $$ > '" + cgroup.path + "/cgroup.procs' && exec " + cores +
                           " \"$0\" \"$@\"",
                 QUILLMERE_EXE, "-x", "-l", "-o", dir / "bg", "-a", "median"};
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    spec.env = {std::string("PATH=") + QUILLMERE_BIN_DIR + ":/usr/bin:/bin"};
    return testsupport::RunProcess(spec);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Describe(c.args));
    // The decoder's threads follow the cores: on one, its need is the same on every machine.
    const ProcessResult r = run(c.limit, c.args, c.args.back() == uhd ? "taskset -c 0" : "");
    if (r.exit_code == -1 && r.signal == 0)
      GTEST_SKIP() << "this machine does not let the test make a memory cgroup with a limit";
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    // A frame's need depends on how the allocator places its planes, which differs by platform.
    if (c.code != 0) {
      EXPECT_TRUE(std::regex_search(r.err, std::regex(c.says + "$"))) << r.err;
    }
  }
  // Too little for the decoder to start: it, not the tool, is ended, and the tool says so.
  for (uint64_t limit = 40 << 20; limit <= 80 << 20; limit += 8 << 20) {
    for (const bool two : {false, true}) {
      std::vector<std::string> args = {"-n", "150", "-f", "mpeg", clip};
      if (two) args.insert(args.begin(), {"-2", "simmat", "-s", "1"});
      SCOPED_TRACE(std::to_string(limit >> 20) + " MB, " + Describe(args));
      const ProcessResult r = run(limit, args, "");
      EXPECT_EQ(r.signal, 0);
      EXPECT_EQ(r.exit_code, 2) << r.err;
      EXPECT_NE(r.err.find("Error: "), std::string::npos) << r.err;
    }
  }

  // Streams whose need shows only as they are decoded: parameter sets that come after more than
  // the probing reads, a small start before larger pictures. Without a limit they run; from below the decoder's peak to well above it, the
  // run ends with its background or a refusal, never with the decoder killed once a frame has
  // come (before, it may not even have started).
  const auto stream = [&](const std::string& size, int frames, bool noisy,
                          std::vector<std::string> args) {
    args.insert(args.end(), {"-f", "h264"});
    return mpegtest::EncodePattern(size, frames, noisy, args, dir / "part");
  };
  const std::string late = mpegtest::FromFirstNonKeySlice(
      stream("3840x2160", 10, true,
             {"-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "keyint=6:min-keyint=6"}));
  const std::vector<std::string> h264 = {"-c:v", "libx264", "-preset", "ultrafast"};
  const struct {
    std::string name, stream;
  } growing[] = {
      {"late.h264", late},
      {"small-large.h264",
       stream("16x16", 5, false, h264) + stream("1280x720", 10, false, h264)},
  };
  ASSERT_FALSE(HasFailure());
  for (const auto& g : growing) {
    const std::string file = dir / g.name;
    std::ofstream(file, std::ios::binary) << g.stream;
    for (uint64_t limit = 40 << 20; limit <= 360 << 20; limit += 40 << 20) {
      SCOPED_TRACE(std::to_string(limit >> 20) + " MB, " + g.name);
      const ProcessResult r = run(limit, {"-n", "1", "-f", "mpeg", file}, "taskset -c 0");
      EXPECT_EQ(r.signal, 0);
      if (r.exit_code == 0) continue;
      EXPECT_EQ(r.exit_code, 2) << r.err;
      if (r.err.find("processing frame 2") == std::string::npos &&
          r.err.find("MPEG decoder failed") != std::string::npos)
        continue;
      EXPECT_TRUE(std::regex_search(r.err, std::regex("Error: .* needs [0-9.]+ [MG]B, more than "
                                                      "the [0-9.]+ [kMG]?B of memory available")))
          << r.err;
    }
    const ProcessResult r =
        RunTool({"-x", "-l", "-o", dir / "bg", "-a", "median", "-n", "1", "-f", "mpeg", file},
                {std::string("PATH=") + QUILLMERE_BIN_DIR + ":/usr/bin:/bin"});
    EXPECT_EQ(r.exit_code, 0) << g.name << ": " << r.err;
  }
}

TEST(EndToEnd, RunStoppedBySignalWhileWritingLeavesOnlyWholeFiles) {
  constexpr int c_W = 1000, c_H = 1000;
  TempDir dir;
  // The frames come through a pipe that the test fills only while it watches: the run cannot
  // end before the signal, nor get more than a frame ahead of the watching on a busy machine.
  const std::string exe = QUILLMERE_EXE, fifo = dir / "seq.yuv", prefix = dir / "out/bg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<uint8_t> frame = Picture420(c_W, c_H).Bytes();
  const std::vector<std::string> args = {"-x", "-r", "1000x1000", "-a", "last", "-s", "1",
                                         "-o", prefix, fifo};
  const SigpipeIgnored sigpipeIgnored;  // a run that ends early fails the test, not the test program
  std::mt19937 rng(5);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int run = 0; run < 24; run++) {
    const int sig = signals[run % 3];
    SCOPED_TRACE("run " + std::to_string(run) + ", signal " + std::to_string(sig));
    const std::string out = dir.Sub("out");
    const pid_t pid = testsupport::StartAsForegroundJob(exe, args);
    // The signal comes at a varied moment from the start of a file's writing on.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0, fd = -1;
    pid_t ended = 0;
    bool writing = false;
    for (size_t fed = 0; !(writing = HasHiddenFile(out)) &&
                         (ended = waitpid(pid, &status, WNOHANG)) == 0 &&
                         std::chrono::steady_clock::now() < deadline;) {
      if (fd < 0) fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // once it reads
      for (ssize_t n; fd >= 0 && (n = write(fd, frame.data() + fed % frame.size(),
                                            frame.size() - fed % frame.size())) > 0;)
        fed += size_t(n);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (writing) {
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
      kill(pid, sig);
    } else if (ended == 0) {
      kill(pid, SIGKILL);
    }
    if (ended == 0) {
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    if (fd >= 0) close(fd);
    ASSERT_TRUE(writing) << (ended == 0 ? "the run wrote no file within a minute"
                                        : "the run ended before it wrote a file");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    for (const std::string& f : ListFiles(out)) {
      EXPECT_NE(f[0], '.') << f;
      if (f[0] != '.') ReadBackground(out + "/" + f, c_W, c_H);
      unlink((out + "/" + f).c_str());
    }
    rmdir(out.c_str());
  }

  // SIGTERM as the offline background is kept: it waits for the exit, and the run ends with 0
  // and the whole file, as a stop before the keeping ends it with none.
  WriteYUV(dir / "three.yuv", {Picture420(16, 16), Picture420(16, 16), Picture420(16, 16)});
  const std::string kept = dir.Sub("kept") + "/bg0003.ppm";
  const char* asan = std::getenv("ASAN_OPTIONS");
  const ProcessResult r =
      RunTool({"-x", "-r", "16x16", "-a", "median", "-l", "-o", dir / "kept/bg", dir / "three.yuv"},
              {std::string("LD_PRELOAD=") + STOP_ON_CREATE, "TEST_STOP_ONCE_KEPT=" + kept,
               "ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : "") +
                   "verify_asan_link_order=0"});
  EXPECT_EQ(r.signal, 0) << r.err;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ReadBackground(kept, 16, 16);
}
