// What mpgfeed reads of a stream's parameter sets to size its memory, on streams encoded at run
// time in both layouts that containers keep the sets in.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tools/mpgfeed/memoryneed.h"

namespace {

struct Stream {
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::vector<uint8_t> setup;  // the codec's set-up data, as the demuxer gives it
};

Stream ProbeStream(const std::string& file) {
  Stream s;
  AVFormatContext* fc = nullptr;
  if (avformat_open_input(&fc, file.c_str(), nullptr, nullptr) < 0) return s;
  if (avformat_find_stream_info(fc, nullptr) >= 0) {
    const AVCodecParameters* par = fc->streams[0]->codecpar;
    s.codec = par->codec_id;
    s.setup.assign(par->extradata, par->extradata + par->extradata_size);
  }
  avformat_close_input(&fc);
  return s;
}

mpgfeed::SequenceParameters CountsOf(AVCodecID codec, const uint8_t* p, size_t n) {
  return codec == AV_CODEC_ID_HEVC ? mpgfeed::HevcSequenceParameters(p, n)
                                   : mpgfeed::H264SequenceParameters(p, n);
}

// References, reordering, size, chroma format and bit depth as the encoder was asked for them,
// whatever the container; the high profiles' scaling lists are read past.
TEST(MemoryNeed, ReadsReferencesAndReorderingFromTheParameterSets) {
  testsupport::TempDir dir;
  const struct {
    const char* file;
    std::vector<std::string> encode;
    int references, reordered, chroma, bitDepth;
  } cases[] = {
      {"default.mp4", {"-c:v", "libx264"}, 4, 2, 1, 8},
      {"deep.mkv",
       {"-pix_fmt", "yuv444p10le", "-c:v", "libx264", "-x264-params",
        "ref=16:bframes=8:b-pyramid=normal:cqm=jvt"},
       16, 2, 3, 10},
      {"hevc.mp4", {"-c:v", "libx265", "-x265-params", "log-level=error"}, 5, 0, 1, 8},
      {"hevc.hevc",
       {"-pix_fmt", "yuv422p10le", "-c:v", "libx265", "-x265-params",
        "ref=6:bframes=8:log-level=error"},
       7, 0, 2, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string file = dir / c.file;
    testsupport::ProcessSpec spec;
    spec.path = "/usr/bin/ffmpeg";
    spec.args = {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                 "testsrc2=size=176x144:rate=25", "-frames:v", "12"};
    spec.args.insert(spec.args.end(), c.encode.begin(), c.encode.end());
    spec.args.push_back(file);
    ASSERT_EQ(testsupport::RunProcess(spec).exit_code, 0);
    const Stream s = ProbeStream(file);
    ASSERT_FALSE(s.setup.empty());
    const mpgfeed::SequenceParameters counts = CountsOf(s.codec, s.setup.data(), s.setup.size());
    EXPECT_EQ(counts.references, c.references);
    EXPECT_EQ(counts.reordered, c.reordered);
    EXPECT_EQ(counts.width, 176);
    EXPECT_EQ(counts.height, 144);
    EXPECT_EQ(counts.chroma, c.chroma);
    EXPECT_EQ(counts.bitDepth, c.bitDepth);

    // Cut anywhere, or damaged, the data says nothing it does not hold, and nothing is read
    // beyond it.
    for (size_t n = 0; n < s.setup.size(); ++n) {
      std::vector<uint8_t> cut(s.setup.begin(), s.setup.begin() + n);
      const mpgfeed::SequenceParameters part = CountsOf(s.codec, cut.data(), cut.size());
      EXPECT_LE(part.references, 16);
      EXPECT_LE(part.reordered, 16);
      EXPECT_LE(part.width, 32768);
      EXPECT_LE(part.height, 32768);
      std::vector<uint8_t> damaged = s.setup;
      damaged[n] ^= 0xff;
      const mpgfeed::SequenceParameters wrong =
          CountsOf(s.codec, damaged.data(), damaged.size());
      EXPECT_LE(wrong.references, 16);
      EXPECT_LE(wrong.width, 32768);
      EXPECT_LE(wrong.bitDepth, 16);
    }
  }
  EXPECT_EQ(mpgfeed::H264SequenceParameters(nullptr, 0).references, -1);

  // An MPEG-2 width of 4096 is 0 in the sequence header; its extension says the rest.
  const uint8_t header[] = {0, 0, 1, 0xb3, 0x00, 0x08, 0x70, 0x33, 0, 0, 1, 0xb5, 0x14, 0x8a,
                            0x80, 0x01, 0, 0, 1, 0x00};
  mpgfeed::StreamShape shape;
  shape.codec = AV_CODEC_ID_MPEG2VIDEO;
  ASSERT_TRUE(mpgfeed::TakeParameterSets(shape, header, sizeof header));
  EXPECT_EQ(shape.width, 4096);
  EXPECT_EQ(shape.height, 2160);
}

}  // namespace
