// End to end: the MPEG reader runs the real mpgfeed on files generated at run time.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/cpu.h>
}

#include "libpixkit/fileio/mpeg.h"
#include "tools/mpeg_testdata.h"

using namespace pixkit;

namespace {

namespace fs = std::filesystem;

mpegtest::Plane PlaneOf(const Image<Pixel>& img, int i) {
  mpegtest::Plane p;
  const Bitmap<Pixel>& b = img.AskBitmap(i);
  p.w = b.AskWidth();
  p.h = b.AskHeight();
  const Pixel* const* f = b.AskFrame();
  for (int y = 0; y < p.h; y++) p.s.insert(p.s.end(), f[y], f[y] + p.w);
  return p;
}

std::string TextOf(const Excpt_Base& e) {
  char buf[c_MaxTextLen + 1];
  e.GetText(buf, sizeof buf);
  return buf;
}

class MpegReaderWithMpgfeed : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mpgfeed_reader.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    d_dir = pattern;
    const char* path = getenv("PATH");
    d_oldPath = path ? path : "";
    setenv("PATH", (std::string(QUILLMERE_BIN_DIR) + ":" + d_oldPath).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", d_oldPath.c_str(), 1);
    fs::remove_all(d_dir);
  }
  std::string d_dir;
  std::string d_oldPath;
};

TEST_F(MpegReaderWithMpgfeed, ReadsEveryFrameOfElementaryAndProgramStreams) {
  const struct {
    const char* file;
    mpegtest::EncodeSpec spec;
  } cases[] = {
      {"clip one.m1v", {"mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 176, 144, 12}},
      {"it's a clip.mpg", {"mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 352, 288, 10}},
      {"$(clip); two.m2v", {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P, 208, 120, 9}},
      {"clip:3.vob", {"vob", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV420P, 352, 240, 8}},
      {"odd 4:2:2.m2v", {"mpeg2video", AV_CODEC_ID_MPEG2VIDEO, AV_PIX_FMT_YUV422P, 99, 67, 7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string name = d_dir + "/" + c.file;
    mpegtest::WriteMpegFile(name, c.spec);
    const int w = c.spec.width, h = c.spec.height;

    FileReader_MPEG r;
    r.Open(name.c_str());
    Image<Pixel> img;
    int n = 0;
    while (!r.IsEOF()) {
      ASSERT_TRUE(r.ReadImage(img));
      ASSERT_EQ(img.AskWidth(), w);
      ASSERT_EQ(img.AskHeight(), h);
      ASSERT_EQ(img.AskBitmap(1).AskWidth(), (w + 1) / 2);
      ASSERT_EQ(img.AskBitmap(1).AskHeight(), (h + 1) / 2);
      ASSERT_LT(n, c.spec.frames);
      const mpegtest::Picture src = mpegtest::MakePicture(w, h, n, 2, 2);
      for (int i = 0; i < 3; i++)
        EXPECT_GT(mpegtest::Psnr(PlaneOf(img, i), src.p[i]), 35.0) << "frame " << n << " plane " << i;
      n++;
    }
    EXPECT_EQ(n, c.spec.frames);
  }
}

TEST_F(MpegReaderWithMpgfeed, AFileTheDecoderCannotReadIsReported) {
  const std::string name = d_dir + "/no such clip.mpg";
  FileReader_MPEG r;
  r.Open(name.c_str());
  try {
    r.IsEOF();
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(e.m_severity, ErrSev_Error);
    EXPECT_EQ(TextOf(e), "MPEG decoder failed on file '" + name + "' (exit status 1)");
  }
  EXPECT_TRUE(r.IsEOF());
}

// The decoder's memory is budgeted for as many threads as mpgfeed decodes with: the cores the
// process may run on as the libraries count them, up to the cap. The figure holds the 184 MB
// that 1080p H.264 took on eight threads and does not wrap for the largest frames.
TEST(MpegDecoderMemory, FollowsTheDecodersThreads) {
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  for (int cpu = 0; CPU_COUNT(&one) == 0; cpu++)
    if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &one);
  for (const cpu_set_t* cores : {&one, &all}) {
    ASSERT_EQ(sched_setaffinity(0, sizeof *cores, cores), 0);
    EXPECT_EQ(FileReader_MPEG::AskDecoderThreads(), std::min(av_cpu_count(), 16));
  }
  EXPECT_GE(FileReader_MPEG::AskDecoderMemory(1920, 1080, 8), uint64_t(184) * 1000 * 1000);
  EXPECT_GT(FileReader_MPEG::AskDecoderMemory(32767, 32767, 16), uint64_t(32767) * 32767 * 16);
}

// The reader hears mpgfeed's need for the pictures it decodes before the first frame, and again
// before the first frame of pictures that need more (another size, new parameter sets), each
// need more than the last. Late parameter sets and a small start: the cgroup runs end to end.
TEST_F(MpegReaderWithMpgfeed, HearsTheNeedAgainBeforeThePicturesThatNeedMore) {
  const auto encode = [&](const std::string& size, int frames, std::vector<std::string> args) {
    return mpegtest::EncodePattern(size, frames, true, args, d_dir + "/part");
  };
  // Reads a stream whole; the last need heard.
  const auto read = [&](const std::string& name, const std::string& stream) {
    std::ofstream(d_dir + "/" + name, std::ios::binary) << stream;
    FileReader_MPEG r;
    r.Open((d_dir + "/" + name).c_str());
    FileReader_MPEG::DecoderNeed told{0, 0};
    int needs = 0, frames = 0;
    r.SetNeedListener([&](const FileReader_MPEG::DecoderNeed& n) {
      EXPECT_GT(n.bytes, told.bytes);
      told = n;
      ++needs;
    });
    for (Image<Pixel> img; r.ReadImage(img); ++frames)
      EXPECT_GE(told.width * told.height, img.AskWidth() * img.AskHeight()) << "frame " << frames;
    EXPECT_GT(frames, 4);
    return std::make_pair(told, needs);
  };
  const std::vector<std::string> h264 = {"-c:v", "libx264", "-preset", "ultrafast", "-f", "h264"},
                                  hevc = {"-c:v", "libx265", "-f", "hevc"},
                                  m2v = {"-c:v", "mpeg2video", "-f", "mpeg2video"};
  const std::string deep = encode("320x240", 12, {"-c:v", "libx264", "-pix_fmt", "yuv444p10le",
                                                  "-refs", "16", "-bf", "8", "-f", "h264"});
  const std::pair<const char*, std::string> cases[] = {
      {"sizes.m2v", encode("176x144", 5, m2v) + encode("352x288", 5, m2v)},
      {"small-large.hevc", encode("64x64", 3, hevc) + encode("320x240", 5, hevc)},
  };
  ASSERT_FALSE(HasFailure());
  for (const auto& [name, stream] : cases) {
    SCOPED_TRACE(name);
    read(name, stream);
  }
  // Parameter sets that ask for more: at least what they ask for alone.
  const auto [told, needs] = read("parameters.h264", encode("320x240", 5, h264) + deep);
  EXPECT_GT(needs, 1);
  EXPECT_GE(told.bytes, read("deep.h264", deep).first.bytes);
}

}  // namespace
