// End-to-end tests of the decoder program mpgfeed on MPEG files generated at run time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "libpixkit/fileio/mpeg.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/mpeg_testdata.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using mpegtest::EncodeSpec;

const std::string c_Mpgfeed = std::string(QUILLMERE_BIN_DIR) + "/mpgfeed";

using testsupport::TempDir;

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Outcome {
  int exitCode = -1;  // -1 when the program did not end normally
  std::string out;
  std::string err;
};

// Runs mpgfeed with the arguments, standard output and error going to files of the directory.
Outcome RunMpgfeed(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> all{c_Mpgfeed};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string outName = dir / "stdout", errName = dir / "stderr";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  Outcome o;
  if (rc != 0) return o;
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) o.exitCode = WEXITSTATUS(status);
  o.out = ReadFile(outName);
  o.err = ReadFile(errName);
  return o;
}

struct Record {
  uint32_t number;
  int width, height;
  mpegtest::Picture pic;
};

// Splits a record stream; a stream that does not consist of whole records fails the test.
std::vector<Record> ParseRecords(const std::string& data) {
  std::vector<Record> recs;
  size_t pos = 0;
  auto byte = [&](size_t i) { return unsigned(uint8_t(data[pos + i])); };
  while (pos < data.size()) {
    if (data.size() - pos < 128) {
      ADD_FAILURE() << "header cut short at byte " << pos;
      break;
    }
    Record r;
    r.number = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    r.width = int16_t(byte(4) << 8 | byte(5));
    r.height = int16_t(byte(6) << 8 | byte(7));
    for (size_t i = 8; i < 128; ++i) EXPECT_EQ(byte(i), 0u);
    pos += 128;
    const int cw = (r.width + 1) / 2, ch = (r.height + 1) / 2;
    const int ws[3] = {r.width, cw, cw}, hs[3] = {r.height, ch, ch};
    for (int i = 0; i < 3; ++i) {
      const size_t n = size_t(ws[i]) * hs[i];
      if (data.size() - pos < n) {
        ADD_FAILURE() << "plane " << i << " cut short";
        return recs;
      }
      r.pic.p[i].w = ws[i];
      r.pic.p[i].h = hs[i];
      r.pic.p[i].s.assign(data.begin() + pos, data.begin() + pos + n);
      pos += n;
    }
    recs.push_back(std::move(r));
  }
  return recs;
}

// Runs the FFmpeg command-line tool, overwriting its outputs; a failure fails the test.
int RunFfmpeg(std::vector<std::string> args) {
  testsupport::ProcessSpec spec;
  spec.path = "/usr/bin/ffmpeg";
  spec.args = {"-loglevel", "error", "-y"};
  spec.args.insert(spec.args.end(), args.begin(), args.end());
  const testsupport::ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.exit_code;
}

// A reader that goes away early must not end the test program.
struct SigpipeIgnored {
  SigpipeIgnored() { old = signal(SIGPIPE, SIG_IGN); }
  ~SigpipeIgnored() { signal(SIGPIPE, old); }
  void (*old)(int);
};

// The writing end of a FIFO once a reader has opened it, non-blocking; -1 after ten seconds
// without a reader.
int OpenFifoWriter(const std::string& fifo) {
  for (int tries = 0; tries < 1000; tries++) {
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 || errno != ENXIO) return fd;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// Writes everything unless the reader goes away or takes nothing for ten seconds.
bool WriteToFifo(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    pollfd p = {fd, POLLOUT, 0};
    if (n < 0 && errno != EAGAIN) return false;
    if (poll(&p, 1, 10000) <= 0 || (p.revents & POLLERR)) return false;
  }
  return true;
}

// Runs mpgfeed on a FIFO that the data is written into meanwhile; a run that hangs is killed.
testsupport::ProcessResult RunMpgfeedOnFifo(const std::string& fifo, const std::string& data,
                                            const std::vector<std::string>& args) {
  std::thread writer([&] {
    const int fd = OpenFifoWriter(fifo);
    if (fd < 0) return;
    WriteToFifo(fd, data);
    close(fd);
  });
  testsupport::ProcessSpec spec;
  spec.path = c_Mpgfeed;
  spec.args = args;
  spec.timeout_seconds = 20;
  const testsupport::ProcessResult r = testsupport::RunProcess(spec);
  writer.join();
  return r;
}

size_t CountLines(const std::string& s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST(Mpgfeed, HelpExplainsTheOptionsAndTheRecord) {
  TempDir dir;
  for (const char* opt : {"--help", "-h"}) {
    const Outcome o = RunMpgfeed(dir, {opt});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_NE(o.out.find("Usage: mpgfeed [-L] -W OUTPUT INPUT"), std::string::npos);
    EXPECT_NE(o.out.find("-L"), std::string::npos);
    EXPECT_NE(o.out.find("big-endian"), std::string::npos);
    EXPECT_TRUE(o.err.empty());
  }
  // Help that cannot be written is a failure, not a success.
  testsupport::ProcessSpec spec;
  spec.path = "/bin/sh";
  spec.args = {"-c", "exec \"$0\" --help > /dev/full", c_Mpgfeed};
  const testsupport::ProcessResult r = testsupport::RunProcess(spec);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mpgfeed: cannot write to standard output (No space left on device)\n");
}

TEST(Mpgfeed, EveryFailureGivesOneLineAndNonZeroStatus) {
  TempDir dir;
  const std::string good = dir / "good.m1v";
  mpegtest::WriteMpegFile(good, {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P,
                                 64, 48, 3});
  const std::string zeros = dir / "zeros.mpg";
  std::ofstream(zeros, std::ios::binary) << std::string(20000, '\0');
  const std::string text = dir / "notes.txt";
  std::ofstream(text) << "plain words, no pictures\n";
  fs::create_directory(dir / "sub");
  const std::string goodBytes = ReadFile(good);
  const std::string hardLink = dir / "hard.m1v", symLink = dir / "sym.m1v";
  ASSERT_EQ(link(good.c_str(), hardLink.c_str()), 0);
  ASSERT_EQ(symlink(good.c_str(), symLink.c_str()), 0);

  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string mentions;
  } cases[] = {
      {{"-L", "-W", "-", dir / "missing.mpg"}, 1, "missing.mpg"},
      {{"-L", "-W", "-", dir / "miss\ning\033[31m.mpg"}, 1, "miss\\ning\\033[31m.mpg"},
      {{"-L", "-W", dir / "nodir/\r.bin", good}, 1, "nodir/\\r.bin"},
      {{"-L", "-W", "-", zeros}, 1, "zeros.mpg"},
      {{"-L", "-W", "-", text}, 1, "notes.txt"},
      {{"-W", "-", dir / "sub"}, 1, "sub"},
      {{"-L", "-W", dir / "nodir/out.bin", good}, 1, "out.bin"},
      {{"-L", "-W", "/dev/full", good}, 1, "/dev/full"},
      // The output is the input, by any name: refused before anything is written.
      {{"-L", "-W", good, good}, 1, "output '" + good + "' is the input"},
      {{"-L", "-W", hardLink, good}, 1, "output '" + hardLink + "' is the input"},
      {{"-L", "-W", symLink, good}, 1, "output '" + symLink + "' is the input"},
      {{"-L", "-W", good, symLink}, 1, "is the input '" + symLink + "'"},
      {{"-L", "-W", "-", dir / "stdout"}, 1, "standard output is the input"},
      {{"-L", good}, 2, "-W"},
      {{"-L", "-W", "-"}, 2, "input"},
      {{"-L", "-W", "-", good, good}, 2, "input"},
      {{"-L", "-W"}, 2, "-W"},
      {{"-q", "-W", "-", good}, 2, "-q"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const Outcome o = RunMpgfeed(dir, c.args);
    EXPECT_EQ(o.exitCode, c.exitCode);
    EXPECT_EQ(CountLines(o.err), 1u) << o.err;
    EXPECT_EQ(o.err.rfind("mpgfeed: ", 0), 0u) << o.err;
    EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
  }
  EXPECT_TRUE(ReadFile(good) == goodBytes) << "the input was overwritten";
}

struct DecodeCase {
  const char* file;
  EncodeSpec spec;
};
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.file; }

class MpgfeedDecodes : public ::testing::TestWithParam<DecodeCase> {};

// Every source picture comes back once, in display order, at its size, close to the source.
TEST_P(MpgfeedDecodes, EveryPictureInDisplayOrder) {
  const DecodeCase& c = GetParam();
  TempDir dir;
  const std::string input = dir / c.file;
  mpegtest::WriteMpegFile(input, c.spec);

  const Outcome o = RunMpgfeed(dir, {"-L", "-W", "-", input});
  ASSERT_EQ(o.exitCode, 0) << o.err;
  EXPECT_TRUE(o.err.empty()) << o.err;

  const int w = c.spec.width, h = c.spec.height;
  const size_t recordSize = 128 + size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2);
  EXPECT_EQ(o.out.size(), recordSize * c.spec.frames);
  const std::vector<Record> recs = ParseRecords(o.out);
  ASSERT_EQ(recs.size(), size_t(c.spec.frames));
  for (int n = 0; n < c.spec.frames; ++n) {
    SCOPED_TRACE("frame " + std::to_string(n));
    EXPECT_EQ(recs[n].number, uint32_t(n));
    EXPECT_EQ(recs[n].width, w);
    EXPECT_EQ(recs[n].height, h);
    const mpegtest::Picture src = mpegtest::MakePicture(w, h, n, 2, 2);
    for (int i = 0; i < 3; ++i) EXPECT_GT(mpegtest::Psnr(recs[n].pic.p[i], src.p[i]), 35.0);
    // A neighbour frame must not pass as this one, or the order check would prove nothing.
    const mpegtest::Picture other = mpegtest::MakePicture(w, h, n + 1, 2, 2);
    EXPECT_LT(mpegtest::Psnr(recs[n].pic.p[0], other.p[0]), 30.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, MpgfeedDecodes,
    ::testing::Values(
        DecodeCase{"es.m1v", {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 176, 144, 14}},
        DecodeCase{"ps.mpg", {"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 160, 120, 13}},
        DecodeCase{"es.m2v", {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P, 200, 104, 11}},
        DecodeCase{"ps.vob", {"vob", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P, 352, 288, 9}},
        // Odd sizes: chroma rounds up. 4:2:2 pictures are converted to 4:2:0.
        DecodeCase{"odd422.m2v", {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV422P, 177, 145, 8}},
        // The content decides, not a name given by habit.
        DecodeCase{"ps.yuv", {"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 64, 48, 5}},
        DecodeCase{"ps.ppm", {"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 64, 48, 5}},
        DecodeCase{"ps.png", {"vob", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P, 64, 48, 5}},
        DecodeCase{"ps.jpg", {"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 64, 48, 5}}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) {
      std::string name = info.param.file;
      for (char& ch : name)
        if (ch == '.') ch = '_';
      return name;
    });

std::string ReadAll(int fd) {
  std::string data;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    data.append(buf, size_t(n));
  }
  return data;
}

// Told so by its environment, mpgfeed says on the socket or pipe named there what its decoding
// needs, before its first record, and offers itself first to the system where memory runs out;
// on a socket it decodes on only once answered, and a socket closed unanswered ends it. The
// records stay as they are. A standard stream that the setting names is passed over.
TEST(Mpgfeed, SaysItsNeedBeforeTheFirstRecordWhereItIsAsked) {
  TempDir dir;
  const std::string input = dir / "clip.mp4";
  ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-frames:v", "20",
                       "-c:v", "libx264", "-preset", "ultrafast", input}),
            0);
  const std::string records = RunMpgfeed(dir, {"-L", "-W", "-", input}).out;
  ASSERT_EQ(records.size(), 20 * size_t(128 + 320 * 240 * 3 / 2));
  const std::string ownScore = ReadFile("/proc/self/oom_score_adj");
  const int threads = std::min(int(std::thread::hardware_concurrency()), 16);
  enum Channel { Socket, Pipe, Closed };
  const std::pair<std::string, Channel> cases[] = {{"MPGFEED_NEED_FD=3", Socket},
                                                   {"MPGFEED_NEED_FD=3", Pipe},
                                                   {"MPGFEED_NEED_FD=3", Closed},
                                                   {"", Socket},
                                                   {"MPGFEED_NEED_FD=1", Socket}};
  for (const auto& [setting, channel] : cases) {
    SCOPED_TRACE(setting + (channel == Pipe ? ", pipe" : ", socket"));
    const bool says = setting == "MPGFEED_NEED_FD=3";
    int need[2], out[2];
    ASSERT_EQ(channel == Pipe ? pipe2(need, O_CLOEXEC)
                              : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, need),
              0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, need[1], 3);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++)
      if (std::string(*e).rfind("MPGFEED_NEED_FD=", 0) != 0) env.push_back(*e);
    if (!setting.empty()) env.push_back(setting);
    std::vector<char*> envp, argv;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {c_Mpgfeed, "-L", "-W", "-", input};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(need[1]);
    close(out[1]);

    // The need comes first; on a socket, no record comes until it is answered.
    std::string line;
    if (says) {
      for (char ch; line.find('\n') == std::string::npos && read(need[0], &ch, 1) == 1;) line += ch;
    } else {
      pollfd p = {out[0], POLLIN, 0};
      EXPECT_EQ(poll(&p, 1, 20000), 1);
    }
    const std::string score = ReadFile("/proc/" + std::to_string(pid) + "/oom_score_adj");
    pollfd p = {out[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300) == 0, says && channel != Pipe);
    if (channel == Closed) close(need[0]);
    if (says && channel == Socket) send(need[0], "\n", 1, MSG_NOSIGNAL);
    std::string later;  // needs said after the first, each answered
    std::thread answers([&, channel = channel] {
      char b[256];
      for (ssize_t n; channel != Closed && (n = read(need[0], b, sizeof b)) > 0;) {
        later.append(b, size_t(n));
        for (ssize_t i = 0; i < n && channel == Socket; i++)
          if (b[i] == '\n') send(need[0], "\n", 1, MSG_NOSIGNAL);
      }
    });
    const std::string got = ReadAll(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    answers.join();
    if (channel != Closed) close(need[0]);
    close(out[0]);
    if (says && channel == Closed) {
      // Nobody takes the records of a decoding that nobody holds memory for.
      EXPECT_EQ(got, "");
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
      continue;
    }
    EXPECT_TRUE(got == records);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (says) {
      EXPECT_EQ(score, "1000\n");
      unsigned long long bytes = 0, fixed = 0;
      int told = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "%llu %d %llu", &bytes, &told, &fixed), 3) << line;
      EXPECT_EQ(line, std::to_string(bytes) + " " + std::to_string(told) + " " +
                          std::to_string(fixed) + " 320 240\n");
      EXPECT_EQ(told, threads);
      EXPECT_GT(bytes, 320 * 240 * 3 / 2 * 4);  // the references, at least
      EXPECT_LT(fixed, bytes);
    } else {
      EXPECT_EQ(score, ownScore);
      EXPECT_EQ(line + later, "");
    }
  }
}

TEST(Mpgfeed, WritesToTheNamedFileAndShowsProgressUnlessQuiet) {
  TempDir dir;
  const std::string input = dir / "in:put.m2v";  // a colon must not be taken for a protocol
  mpegtest::WriteMpegFile(input, {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P,
                                  48, 32, 4});
  const Outcome quiet = RunMpgfeed(dir, {"-L", "-W", "-", input});
  ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_TRUE(quiet.err.empty());

  const std::string output = dir / "records.bin";
  const Outcome loud = RunMpgfeed(dir, {"-W", output, input});
  ASSERT_EQ(loud.exitCode, 0) << loud.err;
  EXPECT_TRUE(loud.out.empty());
  EXPECT_NE(loud.err.find("frame 4"), std::string::npos) << loud.err;
  EXPECT_EQ(ReadFile(output), quiet.out);
  EXPECT_EQ(ParseRecords(quiet.out).size(), 4u);

  // An existing file beyond 2 GiB (sparse: it takes no disk space) is replaced as well.
  ASSERT_EQ(truncate(output.c_str(), off_t(3) << 30), 0);
  const Outcome big = RunMpgfeed(dir, {"-L", "-W", output, input});
  ASSERT_EQ(big.exitCode, 0) << big.err;
  EXPECT_EQ(ReadFile(output), quiet.out);

  // Closed standard streams: the files opened later must not take their numbers and get the
  // progress lines.
  for (const char* closing : {"<&- 2>&-", "<&- >&- 2>&-"}) {
    SCOPED_TRACE(closing);
    fs::remove(output);
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"-c", std::string("exec \"$0\" \"$@\" ") + closing, c_Mpgfeed, "-W", output,
                 input};
    EXPECT_EQ(testsupport::RunProcess(spec).exit_code, 0);
    EXPECT_EQ(ReadFile(output), quiet.out);
  }
  // A closed stream is not opened again by its name.
  for (const char* run : {"-L -W /dev/stdout \"$1\" >&-", "-L -W \"$2\" /dev/stdin <&-"}) {
    SCOPED_TRACE(run);
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"-c", std::string("exec \"$0\" ") + run, c_Mpgfeed, input, output};
    const testsupport::ProcessResult r = testsupport::RunProcess(spec);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("mpgfeed: cannot ", 0), 0u) << r.err;
  }
}

TEST(Mpgfeed, AFailedOrStoppedRunLeavesNoOutputFile) {
  TempDir dir;
  const std::string input = dir / "clip.m2v";
  mpegtest::WriteMpegFile(input, {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P,
                                  64, 48, 10});
  // Files may grow to 10 KiB only, a few records: writing fails part-way, with a message
  // rather than the signal that would end the program. With that signal ignored from outside
  // the limit stands for a full disk.
  const auto runLimited = [&](const std::string& output, const char* limit = "ulimit -f 20") {
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"-c", std::string(limit) + "; exec \"$0\" \"$@\"", c_Mpgfeed, "-L", "-W",
                 output, input};
    return testsupport::RunProcess(spec);
  };
  const std::string part = dir / "part\r.bin";  // messages show the name escaped
  const testsupport::ProcessResult r = runLimited(part);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot write '" + (dir / "part\\r.bin") + "': File too large"),
            std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(part));
  EXPECT_EQ(r.err.find("incomplete"), std::string::npos) << r.err;
  // A file the run did not create alone is written in place and stays as the writes left it:
  // the target of a link (the link stays too), a file of two names.
  const std::string target = dir / "target.bin", link = dir / "link.bin";
  std::ofstream(target) << "old";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string twin = dir / "twin.bin", twin2 = dir / "twin2.bin";
  std::ofstream(twin) << "old";
  ASSERT_EQ(::link(twin.c_str(), twin2.c_str()), 0);
  for (const std::string& name : {link, twin}) {
    SCOPED_TRACE(name);
    const testsupport::ProcessResult kept = runLimited(name, "ulimit -f 20; trap '' XFSZ");
    EXPECT_EQ(kept.exit_code, 1);
    EXPECT_NE(kept.err.find("; '" + name + "' is left incomplete\n"), std::string::npos)
        << kept.err;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::file_size(name), 10240u);
  }
  EXPECT_EQ(fs::file_size(twin2), 10240u);
  // A device is not the program's to remove.
  EXPECT_EQ(RunMpgfeed(dir, {"-L", "-W", "/dev/full", input}).exitCode, 1);
  EXPECT_TRUE(fs::exists("/dev/full"));

  // Stopped by a signal while it waits for more input from a pipe that stays open: the signal
  // ends it as it would, and the file goes with it.
  // A program that ends early or never reads must not hang or kill the test either.
  const SigpipeIgnored sigpipeIgnored;
  const std::string fifo = dir / "feed.m2v", stopped = dir / "stopped.bin";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string clip = ReadFile(input);
  signal(SIGPIPE, SIG_IGN);  // a program that ends early fails the test, not the test program
  for (int sig : {SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    const pid_t pid =
        testsupport::StartAsForegroundJob(c_Mpgfeed, {"-L", "-W", stopped, fifo});
    const int fd = OpenFifoWriter(fifo);
    // The clip again and again until records arrive in the file.
    bool arrived = false;
    for (int copies = 0; fd >= 0 && copies < 100000 && !arrived; copies++) {
      if (!WriteToFifo(fd, clip)) break;
      std::error_code ec;
      arrived = fs::file_size(stopped, ec) > 0 && !ec;
    }
    EXPECT_TRUE(arrived);
    kill(pid, arrived ? sig : SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    EXPECT_FALSE(fs::exists(stopped));
  }
}

// The status of the child once it ended, within ten seconds; it is killed when it does not.
int WaitOrKill(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) != pid; i++) usleep(10000);
  if (kill(pid, SIGKILL) == 0 && waitpid(pid, &status, 0) == pid)
    ADD_FAILURE() << "still running after ten seconds";
  return status;
}

TEST(Mpgfeed, APipeAsOutputNeitherHoldsOffStopSignalsNorCostsTheOutput) {
  TempDir dir;
  const std::string input = dir / "clip.m2v", fifo = dir / "records";
  mpegtest::WriteMpegFile(input, {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P,
                                  64, 48, 30});
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Nobody reads: the open waits, and a stop signal still ends it. The pipe stays; a reader
  // that stops early ends the run as a broken pipe does, quietly.
  for (int sig : {SIGINT, SIGTERM, SIGPIPE}) {
    SCOPED_TRACE("signal " + std::to_string(sig));
    const pid_t pid = testsupport::StartAsForegroundJob(c_Mpgfeed, {"-L", "-W", fifo, input});
    if (sig == SIGPIPE) {
      const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
      pollfd p = {fd, POLLIN, 0};
      EXPECT_EQ(poll(&p, 1, 10000), 1);
      close(fd);
    } else {
      usleep(200000);
      kill(pid, sig);
    }
    const int status = WaitOrKill(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    EXPECT_EQ(fs::status(fifo).type(), fs::file_type::fifo);
  }
  // Standard error on a pipe that nobody reads costs the progress lines, not the records.
  testsupport::ProcessSpec spec;
  spec.path = c_Mpgfeed;
  spec.args = {"-W", dir / "out.bin", input};
  spec.stderr_unread = true;
  EXPECT_EQ(testsupport::RunProcess(spec).exit_code, 0);
  EXPECT_EQ(ParseRecords(ReadFile(dir / "out.bin")).size(), 30u);
}

// Only the main thread takes a stop signal, so that holding them there, as while the output is
// created and named, holds them for the process: the decoder's threads and the colour
// conversion's workers block them.
TEST(Mpgfeed, StopSignalsReachOnlyTheMainThread) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: one thread";
  TempDir dir;
  const std::string input = dir / "bt709.h264", output = dir / "records.bin";
  ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25", "-frames:v", "48",
                       "-pix_fmt", "yuv420p", "-c:v", "libx264", "-colorspace", "bt709",
                       "-color_primaries", "bt709", "-color_trc", "bt709", input}),
            0);
  // SIGTERM as the output is created, with the decoder's threads running: it waits until the
  // name is watched, and the file goes. SIGTERM as the output is kept, the threads yet to go:
  // it waits for the exit, and the whole file stays.
  for (const bool kept : {false, true}) {
    const std::string stop = kept ? "TEST_STOP_ONCE_KEPT=" : "MPGFEED_TEST_STOP_AT=";
    SCOPED_TRACE(stop);
    testsupport::ProcessSpec spec;
    spec.path = c_Mpgfeed;
    spec.args = {"-L", "-W", output, input};
    const char* asan = std::getenv("ASAN_OPTIONS");
    spec.env = {std::string("LD_PRELOAD=") + STOP_ON_CREATE, stop + output,
                // the preloaded library comes before the sanitizer's
                "ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : "") +
                    "verify_asan_link_order=0"};
    const testsupport::ProcessResult r = testsupport::RunProcess(spec);
    EXPECT_EQ(r.signal, kept ? 0 : SIGTERM) << r.err;
    EXPECT_EQ(r.exit_code, kept ? 0 : -1);
    EXPECT_EQ(fs::exists(output), kept);
    EXPECT_EQ(ParseRecords(ReadFile(output)).size(), kept ? 48u : 0u);
    fs::remove(output);
  }

  // Every thread but the main one blocks the three, looked at while the run waits for more of
  // its input, its first pictures converted.
  const SigpipeIgnored sigpipeIgnored;
  const std::string fifo = dir / "feed.h264";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = testsupport::StartAsForegroundJob(c_Mpgfeed, {"-L", "-W", output, fifo});
  const int fd = OpenFifoWriter(fifo);
  const std::string clip = ReadFile(input);
  bool arrived = false;  // the clip again and again until records arrive
  for (int copies = 0; fd >= 0 && copies < 1000 && !arrived && WriteToFifo(fd, clip); copies++) {
    std::error_code ec;
    arrived = fs::file_size(output, ec) > 0 && !ec;
  }
  EXPECT_TRUE(arrived);
  const unsigned long long stops = 1ull << (SIGHUP - 1) | 1ull << (SIGINT - 1) |
                                   1ull << (SIGTERM - 1);
  int others = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    if (task.path().filename() == std::to_string(pid)) continue;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line) && line.rfind("SigBlk:", 0) != 0) {
    }
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(std::stoull(line.substr(7), nullptr, 16) & stops, stops) << line;
    others++;
  }
  EXPECT_GE(others, 2);  // decoder threads and a worker
  if (fd >= 0) close(fd);
  const int status = WaitOrKill(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Mpgfeed, DamageInsideAStreamCostsOnlyTheDamagedPictures) {
  TempDir dir;
  const std::string clean = dir / "clean.m1v";
  mpegtest::WriteMpegFile(clean, {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P,
                                  64, 48, 12});
  const std::string data = ReadFile(clean);
  std::string noise(3000, '\0');
  for (size_t i = 0; i < noise.size(); i++) noise[i] = char((i * 2654435761u) >> 13);
  const std::string damaged = dir / "damaged.m1v";
  std::ofstream(damaged, std::ios::binary) << data.substr(0, data.size() / 3) << noise << data;

  const Outcome o = RunMpgfeed(dir, {"-L", "-W", "-", damaged});
  EXPECT_EQ(o.exitCode, 0) << o.err;
  const std::vector<Record> recs = ParseRecords(o.out);
  ASSERT_GE(recs.size(), 12u);
  // The intact copy behind the damage comes out whole at the end.
  for (int n = 0; n < 12; n++) {
    const Record& r = recs[recs.size() - 12 + n];
    EXPECT_GT(mpegtest::Psnr(r.pic.p[0], mpegtest::MakePicture(64, 48, n, 2, 2).p[0]), 35.0);
  }
  // MPEG-1 is decoded on slice threads only, which hide damage once the whole picture is
  // decoded: it comes out the same from run to run.
  for (int run = 0; run < 3; run++)
    EXPECT_TRUE(RunMpgfeed(dir, {"-L", "-W", "-", damaged}).out == o.out);
}

TEST(Mpgfeed, DamagedPicturesAreSkippedWithOneWarning) {
  // A byte flipped at the same place of three pictures, each enough for the decoder to refuse
  // the picture: the version or the width in a ProRes frame header, the LZW code size of a GIF
  // image (behind its control block).
  const struct {
    const char* file;
    const char* codec;
    std::string marker;  // once at the start of every picture
    int offset;          // of the flipped byte from the marker
    char mask;
  } cases[] = {
      {"version.mov", "prores", "icpf", 6, 0x40},
      {"width.mov", "prores", "icpf", 13, 0x40},
      {"clip.gif", "gif", "\x21\xf9\x04", 18, 0x10},
  };
  const int frames = 25, damaged[] = {3, 10, 17};
  const int w = 64, h = 48;
  const size_t frameSize = size_t(w) * h * 3 / 2;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    const std::string clean = dir / c.file;
    ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-frames:v",
                         std::to_string(frames), "-c:v", c.codec, clean}),
              0);
    std::string data = ReadFile(clean);
    std::vector<size_t> starts;
    for (size_t p = data.find(c.marker); p != std::string::npos; p = data.find(c.marker, p + 1))
      starts.push_back(p);
    ASSERT_EQ(starts.size(), size_t(frames));
    for (int n : damaged) data[starts[n] + c.offset] ^= c.mask;
    const std::string input = dir / ("damaged-" + std::string(c.file));
    std::ofstream(input, std::ios::binary) << data;

    const std::string expectedName = dir / "expected.yuv";
    ASSERT_EQ(RunFfmpeg({"-threads", "1", "-i", input, "-fps_mode", "passthrough", "-f", "rawvideo",
                         "-pix_fmt", "yuv420p", expectedName}),
              0);
    const std::string expected = ReadFile(expectedName);
    const size_t decoded = frames - std::size(damaged);
    ASSERT_EQ(expected.size(), decoded * frameSize);

    const Outcome o = RunMpgfeed(dir, {"-L", "-W", "-", input});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.err, "mpgfeed: skipped 3 pictures of '" + input + "' that did not decode\n");
    const std::vector<Record> recs = ParseRecords(o.out);
    ASSERT_EQ(recs.size(), decoded);
    for (size_t n = 0; n < recs.size(); n++) {
      size_t pos = n * frameSize;
      for (int i = 0; i < 3; i++) {
        mpegtest::Plane p;
        p.w = i ? w / 2 : w;
        p.h = i ? h / 2 : h;
        p.s.assign(expected.begin() + pos, expected.begin() + pos + size_t(p.w) * p.h);
        pos += p.s.size();
        EXPECT_GT(mpegtest::Psnr(recs[n].pic.p[i], p), 40.0) << "frame " << n << " plane " << i;
      }
    }
  }
}

TEST(Mpgfeed, AFifoIsReadOnceAndDecodedByItsContent) {
  // A name given by habit cannot be tried first and the content after: the bytes come once.
  const SigpipeIgnored sigpipeIgnored;
  TempDir dir;
  const std::string clip = dir / "clip.mpg";
  mpegtest::WriteMpegFile(clip, {"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 64, 48, 5});
  const struct {
    const char* name;
    std::string data;
    int exitCode;
    int frames;
  } cases[] = {
      {"feed.yuv", ReadFile(clip), 0, 5},
      {"notes.txt", "plain words, no pictures\n", 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fifo = dir / c.name;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const testsupport::ProcessResult r = RunMpgfeedOnFifo(fifo, c.data, {"-L", "-W", "-", fifo});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.exitCode) << r.err;
    const std::vector<Record> recs = ParseRecords(r.out);
    ASSERT_EQ(recs.size(), size_t(c.frames));
    for (int n = 0; n < c.frames; n++) {
      const mpegtest::Picture src = mpegtest::MakePicture(64, 48, n, 2, 2);
      EXPECT_GT(mpegtest::Psnr(recs[n].pic.p[0], src.p[0]), 35.0);
    }
    if (c.exitCode != 0) {
      EXPECT_EQ(CountLines(r.err), 1u) << r.err;
      EXPECT_NE(r.err.find(c.name), std::string::npos) << r.err;
    }
  }
}

// The pictures, byte for byte, are those that the FFmpeg tool decodes on one thread and turns
// upright as it does by default, while mpgfeed decodes with frame and slice threads: untagged
// and BT.601 4:2:0 pictures are copied as decoded, a display rotation is applied.
TEST(Mpgfeed, PicturesAreTheOneThreadDecodeStandingUpright) {
  const std::vector<std::string> h264 = {"-c:v", "libx264", "-bf", "3"};
  const struct {
    const char* file;
    std::vector<std::string> encoding;
    const char* rotate;  // the display rotation tagged afterwards, if any
    int width, height;   // of the pictures delivered
  } cases[] = {
      {"h264.mp4", {"-c:v", "libx264", "-bf", "3", "-slices", "4"}, nullptr, 320, 180},
      {"hevc.mkv", {"-c:v", "libx265", "-x265-params", "log-level=error"}, nullptr, 320, 180},
      {"vp9.webm", {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"}, nullptr, 320,
       180},
      {"mpeg2.m2v", {"-c:v", "mpeg2video", "-q:v", "3", "-bf", "2"}, nullptr, 320, 180},
      {"bt601.mp4", {"-c:v", "libx264", "-colorspace", "smpte170m", "-color_range", "tv"}, nullptr,
       320, 180},
      {"rotate90.mov", h264, "90", 180, 320},
      {"rotate180.mov", h264, "180", 320, 180},
      {"rotate270.mov", h264, "270", 180, 320},
  };
  const int frames = 24;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    const std::string input = dir / c.file;
    std::vector<std::string> args = {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25",
                                     "-frames:v", std::to_string(frames), "-pix_fmt", "yuv420p"};
    args.insert(args.end(), c.encoding.begin(), c.encoding.end());
    if (!c.rotate) {
      args.push_back(input);
      ASSERT_EQ(RunFfmpeg(args), 0);
    } else {
      args.push_back(dir / "upright.mov");
      ASSERT_EQ(RunFfmpeg(args), 0);
      ASSERT_EQ(RunFfmpeg({"-i", dir / "upright.mov", "-c", "copy", "-metadata:s:v:0",
                           std::string("rotate=") + c.rotate, input}),
                0);
    }
    ASSERT_EQ(RunFfmpeg({"-threads", "1", "-i", input, "-fps_mode", "passthrough", "-f",
                         "rawvideo", "-pix_fmt", "yuv420p", dir / "expected.yuv"}),
              0);
    const std::string expected = ReadFile(dir / "expected.yuv");
    const size_t pictureSize = size_t(c.width) * c.height * 3 / 2;
    ASSERT_EQ(expected.size(), pictureSize * frames);

    const Outcome o = RunMpgfeed(dir, {"-L", "-W", "-", input});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const std::vector<Record> recs = ParseRecords(o.out);
    ASSERT_EQ(recs.size(), size_t(frames));
    for (int n = 0; n < frames; n++) {
      ASSERT_EQ(recs[n].width, c.width);
      ASSERT_EQ(recs[n].height, c.height);
      std::string got;
      for (const mpegtest::Plane& p : recs[n].pic.p) got.append(p.s.begin(), p.s.end());
      EXPECT_TRUE(got == expected.substr(n * pictureSize, pictureSize)) << "frame " << n;
    }
  }
}

// Pictures that the library scales, tagged with another matrix than the records' (converted
// through RGB), at odd sizes: a flat picture comes out flat up to its last column, whatever the
// heap held beyond it.
TEST(Mpgfeed, FlatPicturesComeOutFlatThroughTheScaler) {
  const struct {
    const char *format, *size, *matrix, *range;
  } cases[] = {{"yuv420p10le", "641:361", "bt709", "tv"}, {"yuv422p", "641:361", "bt2020nc", "tv"},
               {"yuv444p", "33:17", "smpte240m", "pc"},  {"yuv411p", "641:361", "fcc", "tv"},
               {"yuvj440p", "5:3", "bt709", "pc"},       {"yuv422p10le", "3:2", "bt709", "tv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.format) + " " + c.size + " " + c.matrix);
    TempDir dir;
    const std::string input = dir / "flat.mkv";
    ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i",
                         std::string("color=c=0x20a0e0:size=644x364,format=") + c.format +
                             ",crop=" + c.size + ":0:0:exact=1",
                         "-frames:v", "2", "-colorspace", c.matrix, "-color_range", c.range,
                         "-c:v", "ffv1", input}),
              0);
    const Outcome o = RunMpgfeed(dir, {"-L", "-W", "-", input});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const std::vector<Record> recs = ParseRecords(o.out);
    ASSERT_EQ(recs.size(), 2u);
    for (const Record& r : recs)
      for (const mpegtest::Plane& p : r.pic.p) {
        const auto [least, most] = std::minmax_element(p.s.begin(), p.s.end());
        EXPECT_LE(*most - *least, 1) << "plane of " << p.w << "x" << p.h;
      }
  }
}

// Memory that runs out is no damage: under any address-space limit a run delivers every
// picture, or fails with a message and leaves no output. The limits close in on the least that
// suffices, where a run used to skip most pictures and succeed.
TEST(Mpgfeed, RunningOutOfMemoryEndsTheRun) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer cannot start under a lowered address-space limit";
#else
  TempDir dir;
  const std::string output = dir / "records.bin";
  std::string limits = "ulimit -v ", oneThread;  // one core, one decoder thread
  bool piped = false;                             // the input comes once, through a pipe
  const auto delivers = [&](const std::string& input, int frames, uintmax_t recordSize,
                            long kib) {
    SCOPED_TRACE(limits + std::to_string(kib) + " " + oneThread + (piped ? " piped" : ""));
    fs::remove(output);
    testsupport::ProcessSpec spec;
    spec.path = "/bin/sh";
    const std::string run = "exec " + oneThread + " \"$0\" -L -W \"$1\" ";
    spec.args = {"-c",
                 limits + std::to_string(kib) + " && " +
                     (piped ? "cat \"$2\" | " + run + "/dev/stdin" : run + "\"$2\""),
                 c_Mpgfeed, output, input};
    const testsupport::ProcessResult r = testsupport::RunProcess(spec);
    EXPECT_EQ(r.signal, 0);
    if (r.exit_code == 0) {
      EXPECT_EQ(fs::file_size(output), recordSize * frames);
      return true;
    }
    EXPECT_FALSE(fs::exists(output));
    // Too little to load the libraries is the loader's failure; all others are the program's.
    if (r.exit_code != 127) {
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(CountLines(r.err), 1u) << r.err;
      EXPECT_EQ(r.err.rfind("mpgfeed: ", 0), 0u) << r.err;
    }
    return false;
  };
  // The least limit that suffices, as far as bisection finds it.
  const auto least = [&](const std::string& input, int frames, uintmax_t recordSize) {
    long enough = 4L << 20, tooLittle = 16L << 10;
    EXPECT_TRUE(delivers(input, frames, recordSize, enough));
    EXPECT_FALSE(delivers(input, frames, recordSize, tooLittle));
    while (enough - tooLittle > 256) {
      const long mid = (enough + tooLittle) / 2;
      (delivers(input, frames, recordSize, mid) ? enough : tooLittle) = mid;
    }
    return enough;
  };

  const std::string mpeg2 = dir / "hd.m2v";
  ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-frames:v", "12",
                       "-c:v", "mpeg2video", "-q:v", "4", mpeg2}),
            0);
  least(mpeg2, 12, 128 + 1920 * 1080 * 3 / 2);

  // H.264 decoded on frame threads, converted from BT.709 by workers: decoders give memory that
  // runs out as damaged data. Below the least that suffices, in steps small enough to find
  // where a run used to deliver a few pictures and succeed.
  const std::string h264 = dir / "hd.mp4";
  ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-frames:v", "30",
                       "-c:v", "libx264", "-colorspace", "bt709", "-color_primaries", "bt709",
                       "-color_trc", "bt709", h264}),
            0);
  const uintmax_t recordSize = 128 + 1280 * 720 * 3 / 2;
  const long top = least(h264, 30, recordSize);
  for (long kib = top - 100000; kib < top; kib += 2000) delivers(h264, 30, recordSize, kib);
  // Where no thread can be made, each reserving more stack than there is address space, the
  // decoder and the colour conversion go on on the calling thread.
  limits = "ulimit -s 1000000 && ulimit -v ";
  EXPECT_TRUE(delivers(h264, 30, recordSize, 900000));

  // Where the threads run out before their first picture, one thread goes on: a little above
  // what one thread needs, a run on every core delivers. Small stacks, so that those the
  // threads leave cached leave room.
  if (std::thread::hardware_concurrency() < 2) return;
  const std::string plain = dir / "plain.mp4";
  ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-frames:v", "16",
                       "-c:v", "libx264", "-bf", "0", "-refs", "1", "-preset", "ultrafast", plain}),
            0);
  const uintmax_t hdSize = 128 + 1920 * 1080 * 3 / 2;
  limits = "ulimit -s 1024 && ulimit -v ";
  oneThread = "taskset -c 0";
  const long forOne = least(plain, 16, hdSize);
  oneThread.clear();
  bool any = false;
  for (long kib = forOne; kib < forOne + 48000; kib += 4000)
    any = delivers(plain, 16, hdSize, kib) || any;
  EXPECT_TRUE(any) << "one thread needs " << forOne << " KiB";

  // Only what the decoder itself cannot allocate starts it again on one thread. Where reading
  // the file runs out first, the run ends, though no picture is out yet: Matroska's reader
  // skips to the end where it cannot allocate, and starting again would deliver the pictures
  // that came until then. Large packets (noise) make the reader's share of the limits where
  // memory runs out as wide as the steps. In 1 MB steps from what one thread needs, over the
  // limits where the threads start and run out, a few MB more for each of them.
  const std::string mkv = dir / "noise.mkv";
  ASSERT_EQ(RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25,noise=alls=100:allf=t",
                       "-frames:v", "8", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset",
                       "ultrafast", "-bf", "3", mkv}),
            0);
  oneThread = "taskset -c 0";
  const long mkvForOne = least(mkv, 8, hdSize);
  oneThread.clear();
  const long threads = std::min(int(std::thread::hardware_concurrency()),
                                pixkit::FileReader_MPEG::c_MaxDecoderThreads);
  for (bool pipe : {false, true}) {
    piped = pipe;
    for (long kib = mkvForOne; kib <= mkvForOne + threads * 3072; kib += 1024)
      delivers(mkv, 8, hdSize, kib);
  }
#endif
}

}  // namespace
