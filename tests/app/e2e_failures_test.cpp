// The built quillmere when the input or the output lets it down: wrong numbers of input files,
// files that cannot be opened or written, memory that runs out, and runs stopped by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/e2e_support.h"

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

bool HasHiddenFile(const std::string& dir) {
  for (const std::string& f : ListFiles(dir))
    if (f[0] == '.') return true;
  return false;
}

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
}

TEST(EndToEnd, RunningOutOfMemoryEndsWithAnErrorAndCodeTwo) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports failed allocations itself";
#else
  TempDir dir;
  WriteYUV(dir / "seq.yuv", {Picture420(64, 48), Picture420(64, 48)});
  // The history's block matrices alone need far more than the limit.
  testsupport::ProcessSpec spec;
  spec.path = "/bin/sh";
  spec.args = {"-c",           "ulimit -v 800000 && exec \"$0\" \"$@\"",
               QUILLMERE_EXE,  "-x",
               "-r",           "64x48",
               "-a",           "simmat",
               "-n",           "8000",
               dir / "seq.yuv"};
  const ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 2);
  const size_t at = r.err.find("Error: out of memory");
  ASSERT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.back(), '\n');
#endif
}

TEST(EndToEnd, RunStoppedBySignalWhileWritingLeavesOnlyWholeFiles) {
  constexpr int c_W = 1000, c_H = 1000;
  TempDir dir;
  WriteYUV(dir / "seq.yuv", std::vector<Picture420>(6, Picture420(c_W, c_H)));
  const std::string exe = QUILLMERE_EXE, yuv = dir / "seq.yuv", prefix = dir / "out/bg";
  const char* argv[] = {"quillmere", "-x", "-r", "1000x1000", "-a", "last", "-s", "1",
                        "-o", prefix.c_str(), yuv.c_str(), nullptr};
  std::mt19937 rng(5);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int run = 0; run < 24; run++) {
    const int sig = signals[run % 3];
    SCOPED_TRACE("run " + std::to_string(run) + ", signal " + std::to_string(sig));
    const std::string out = dir.Sub("out");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // As a shell starts a job in the foreground: the signals take their default action.
      for (int s : signals) signal(s, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execv(exe.c_str(), const_cast<char**>(argv));
      _exit(127);
    }
    // The signal comes at a varied moment from the start of the first file's writing on.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    pid_t ended = 0;
    while (!HasHiddenFile(out) && (ended = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(ended, 0) << "the run ended before it wrote a file";
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
    kill(pid, sig);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    for (const std::string& f : ListFiles(out)) {
      EXPECT_NE(f[0], '.') << f;
      if (f[0] != '.') ReadBackground(out + "/" + f, c_W, c_H);
      unlink((out + "/" + f).c_str());
    }
    rmdir(out.c_str());
  }
}
