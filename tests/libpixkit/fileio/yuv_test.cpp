#include "libpixkit/fileio/yuv.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "libpixkit/fileio/temp_dir.h"

#include "tests/support/images.h"

using namespace pixkit;

namespace {

const char c_StrangeSize[] = "Input file has strange file size, continuing anyway.\n";

using testsupport::Param;
using testsupport::YUVParam;

enum Layout { Planar, Interleaved, Greyscale };

// One frame's samples as plain arrays, independent of the image classes.
struct Planes {
  int w = 0, h = 0, cw = 0, ch = 0;
  std::vector<Pixel> y, u, v, a;
};

Planes RandomPlanes(const ImageParam& p, std::mt19937& rng) {
  Planes f;
  f.w = p.width;
  f.h = p.height;
  p.AskChromaSizes(f.cw, f.ch);
  auto fill = [&rng](std::vector<Pixel>& plane, size_t n) {
    plane.resize(n);
    for (Pixel& s : plane) s = Pixel(rng());
  };
  fill(f.y, size_t(f.w) * f.h);
  fill(f.u, size_t(f.cw) * f.ch);
  fill(f.v, size_t(f.cw) * f.ch);
  fill(f.a, size_t(f.w) * f.h);
  return f;
}

// The file bytes of a frame by the format's rules.
std::string Serialize(const Planes& f, Layout layout) {
  std::string s(f.y.begin(), f.y.end());
  if (layout == Planar) {
    s.append(f.u.begin(), f.u.end());
    s.append(f.v.begin(), f.v.end());
  } else if (layout == Interleaved) {
    for (size_t i = 0; i < f.u.size(); i++) {
      s += char(f.u[i]);
      s += char(f.v[i]);
    }
  }
  return s;
}

// n random frames of p: their planar bytes, and the alpha bytes of the first alpha_frames.
struct Stream {
  std::vector<Planes> frames;
  std::string yuv, alpha;
};

Stream RandomStream(const ImageParam& p, int n, std::mt19937& rng, int alpha_frames = 0) {
  Stream s;
  for (int i = 0; i < n; i++) {
    s.frames.push_back(RandomPlanes(p, rng));
    s.yuv += Serialize(s.frames.back(), Planar);
    if (i < alpha_frames) s.alpha.append(s.frames.back().a.begin(), s.frames.back().a.end());
  }
  return s;
}

std::vector<Pixel> PlaneOf(const Bitmap<Pixel>& bm) {
  std::vector<Pixel> out;
  const Pixel* const* fr = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++) out.insert(out.end(), fr[y], fr[y] + bm.AskWidth());
  return out;
}

void SetPlane(Bitmap<Pixel>& bm, const std::vector<Pixel>& samples) {
  Pixel* const* fr = bm.AskFrame();
  const int w = bm.AskWidth();
  for (int y = 0; y < bm.AskHeight(); y++)
    std::copy(samples.begin() + y * w, samples.begin() + (y + 1) * w, fr[y]);
}

Image<Pixel> ToImage(const Planes& f, const ImageParam& p) {
  Image<Pixel> img;
  img.Create(p);
  SetPlane(img.AskBitmap(0), f.y);
  if (p.colorspace != Colorspace_Greyscale) {
    SetPlane(img.AskBitmap(1), f.u);
    SetPlane(img.AskBitmap(2), f.v);
  }
  if (p.has_alpha) SetPlane(img.AskBitmap(Bitmap_Alpha), f.a);
  return img;
}

void ExpectPlanes(const Image<Pixel>& img, const Planes& f, Layout layout, bool alpha) {
  ASSERT_FALSE(img.IsEmpty());
  EXPECT_EQ(img.AskParam().colorspace, Colorspace_YUV);
  EXPECT_EQ(PlaneOf(img.AskBitmap(0)), f.y);
  if (layout == Greyscale) {
    EXPECT_EQ(PlaneOf(img.AskBitmap(1)), std::vector<Pixel>(f.u.size(), 128));
    EXPECT_EQ(PlaneOf(img.AskBitmap(2)), std::vector<Pixel>(f.v.size(), 128));
  } else {
    EXPECT_EQ(PlaneOf(img.AskBitmap(1)), f.u);
    EXPECT_EQ(PlaneOf(img.AskBitmap(2)), f.v);
  }
  EXPECT_EQ(img.AskBitmap(Bitmap_Alpha).IsEmpty(), !alpha);
  if (alpha) {
    EXPECT_EQ(PlaneOf(img.AskBitmap(Bitmap_Alpha)), f.a);
  }
}

// Records what goes through the message display instead of printing it.
struct RecordedMessages : MessageDisplay {
  std::vector<std::pair<ErrorSeverity, std::string>> list;
  RecordedMessages() { SetStandardDisplay(this); }
  ~RecordedMessages() override {
    static MessageDisplay_cerr standard;
    SetStandardDisplay(&standard);
  }
  void ShowMessage(ErrorSeverity s, const char* text) override { list.emplace_back(s, text); }
  void ShowException(const Excpt_Base& e) override {
    char buf[1000];
    e.GetText(buf, 1000);
    ShowMessage(e.m_severity, buf);
  }
};

// Standard input replaced by fixed bytes for the life of the object.
struct StdinFrom {
  std::stringbuf buf;
  std::streambuf* old;
  explicit StdinFrom(const std::string& data) : buf(data), old(std::cin.rdbuf(&buf)) {}
  ~StdinFrom() {
    std::cin.rdbuf(old);
    std::cin.clear();
  }
};

// Bytes fed through a pipe from a thread. Path names the read end the way /dev/stdin names
// the pipe of a shell pipeline, so the stream the test opens on it cannot seek.
struct PipeFeed {
  int fds[2] = {-1, -1};
  std::thread writer;
  std::string path;
  explicit PipeFeed(std::string data) {
    signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill the test
    EXPECT_EQ(pipe(fds), 0);
    path = "/dev/fd/" + std::to_string(fds[0]);
    writer = std::thread([fd = fds[1], data = std::move(data)] {
      size_t done = 0;
      while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += size_t(n);
      }
      close(fd);
    });
  }
  ~PipeFeed() {
    close(fds[0]);
    writer.join();
  }
};

// Reads frames as the driver does, until IsEOF.
std::vector<Image<Pixel>> ReadAll(FileReader_YUV1& reader) {
  std::vector<Image<Pixel>> frames;
  while (!reader.IsEOF() && frames.size() < 100) {
    Image<Pixel> img;
    EXPECT_TRUE(reader.ReadImage(img));
    frames.push_back(img);
  }
  return frames;
}

}  // namespace

TEST(YUVFileFrameSize, FollowsTheSizeTable) {
  const struct {
    ImageParam p;
    int size;
  } cases[] = {
      {YUVParam(352, 288, Chroma_420), 152064},
      {YUVParam(352, 288, Chroma_422), 202752},
      {YUVParam(352, 288, Chroma_444), 304128},
      {Param(4, 2, Colorspace_Greyscale, Chroma_420), 8},
      {Param(4, 2, Colorspace_Greyscale, Chroma_444), 8},
      {Param(4, 2, Colorspace_RGB, Chroma_444), 24},
      {YUVParam(3, 3, Chroma_420), 13},
  };
  for (const auto& c : cases) EXPECT_EQ(YUVFileFrameSize(c.p), c.size) << c.p.width;
  EXPECT_DEATH(YUVFileFrameSize(YUVParam(4, 2, Chroma_Unspecified)), "Assertion .0. failed");
}

TEST(FileReader_YUV1, ReadsWholeFramesOfAFileAndWarnsOnceAboutATrailingPart) {
  TempDir dir;
  std::mt19937 rng(1);
  const ImageParam p = YUVParam(352, 288, Chroma_420);
  const Stream seq = RandomStream(p, 3, rng);
  ASSERT_EQ(seq.yuv.size(), 456192u);

  for (const std::string& tail : {std::string(), std::string(1000, '\x55')}) {
    std::ifstream is(dir.NewFile("yuv", seq.yuv + tail), std::ios::binary);
    FileReader_YUV1 reader;
    reader.SetYUVStream(is);
    reader.SetImageParam(p);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reader.AskNFrames(), 3);
    for (int i = 0; i < 3; i++) {
      EXPECT_FALSE(reader.IsEOF());
      Image<Pixel> img;
      EXPECT_TRUE(reader.ReadImage(img));
      ExpectPlanes(img, seq.frames[size_t(i)], Planar, false);
    }
    EXPECT_TRUE(reader.IsEOF());
    Image<Pixel> extra;
    EXPECT_FALSE(reader.ReadImage(extra));  // the trailing bytes never make a frame
    EXPECT_TRUE(extra.IsEmpty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), tail.empty() ? "" : c_StrangeSize);
  }
}

TEST(FileReader_YUV1, EmptyAndFailedStreamsHaveNoFrames) {
  TempDir dir;
  const ImageParam p = YUVParam(352, 288, Chroma_420);
  const struct {
    std::string name;
    const char* warning;
  } cases[] = {{dir.NewFile("empty"), ""}, {dir.Path() + "/missing.yuv", c_StrangeSize}};
  for (const auto& c : cases) {
    std::ifstream is(c.name, std::ios::binary);
    FileReader_YUV1 reader;
    reader.SetYUVStream(is);
    reader.SetImageParam(p);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_EQ(reader.AskNFrames(), 0);
    Image<Pixel> img;
    EXPECT_FALSE(reader.ReadImage(img));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning) << c.name;
  }
}

TEST(FileReader_YUV1, ReadsEveryChromaLayoutByteExact) {
  const struct {
    ImageParam p;
    Layout layout;
  } cases[] = {
      {YUVParam(4, 2, Chroma_420), Planar},      {YUVParam(4, 2, Chroma_420), Interleaved},
      {YUVParam(6, 4, Chroma_422), Planar},      {YUVParam(6, 4, Chroma_422), Interleaved},
      {YUVParam(5, 3, Chroma_444), Planar},      {YUVParam(5, 3, Chroma_420), Planar},
      {YUVParam(5, 3, Chroma_420), Interleaved}, {YUVParam(3, 3, Chroma_422), Planar},
      {Param(4, 2, Colorspace_Greyscale, Chroma_420), Greyscale},
      {YUVParam(5, 3, Chroma_420), Greyscale},
  };
  std::mt19937 rng(2);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.p.width << "x" << c.p.height << " chroma " << c.p.chroma
                                    << " layout " << c.layout);
    ImageParam yuv = c.p;
    yuv.colorspace = Colorspace_YUV;  // the chroma sizes the reader fills
    const Planes f0 = RandomPlanes(yuv, rng), f1 = RandomPlanes(yuv, rng);
    std::istringstream is(Serialize(f0, c.layout) + Serialize(f1, c.layout));
    FileReader_YUV1 reader;
    reader.SetYUVStream(is);
    reader.SetImageParam(c.p);
    reader.SetInterleavedUV(c.layout == Interleaved);
    reader.SetGreyscaleInput(c.layout == Greyscale);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reader.AskNFrames(), 2);  // odd sizes too: the count uses the real frame bytes
    const std::vector<Image<Pixel>> frames = ReadAll(reader);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(frames.size(), 2u);
    ExpectPlanes(frames[0], f0, c.layout, false);
    ExpectPlanes(frames[1], f1, c.layout, false);
  }

  // The smallest interleaved frame spelled out: 8 Y bytes, then U0 V0 U1 V1.
  std::istringstream is(std::string("abcdefgh") + "\x10\x20\x11\x21");
  FileReader_YUV1 reader;
  reader.SetYUVStream(is);
  reader.SetImageParam(YUVParam(4, 2, Chroma_420));
  reader.SetInterleavedUV(true);
  Image<Pixel> img;
  ASSERT_TRUE(reader.ReadImage(img));
  EXPECT_EQ(PlaneOf(img.AskBitmap(1)), (std::vector<Pixel>{0x10, 0x11}));
  EXPECT_EQ(PlaneOf(img.AskBitmap(2)), (std::vector<Pixel>{0x20, 0x21}));
}

TEST(FileReader_YUV1, KeepsBorderAlignmentAndZeroOfTheDescription) {
  ImageParam p = YUVParam(6, 4, Chroma_420);
  p.border = 4;
  p.halign = 8;
  p.zero_x = 2;
  p.zero_y = 2;
  std::mt19937 rng(3);
  const Planes f = RandomPlanes(p, rng);
  std::istringstream is(Serialize(f, Planar));
  FileReader_YUV1 reader;
  reader.SetYUVStream(is);
  reader.SetImageParam(p);
  Image<Pixel> img;
  ASSERT_TRUE(reader.ReadImage(img));
  EXPECT_EQ(img.AskBitmap(0).AskBorder(), 4);
  EXPECT_EQ(img.AskBitmap(0).AskAlignedWidth(), 8);
  EXPECT_EQ(img.AskParam().zero_x, 2);
  EXPECT_EQ(img.AskParam().zero_y, 2);
}

TEST(FileReader_YUV1, SkipToImageSeeksBothStreamsByFrame) {
  TempDir dir;
  const ImageParam p = YUVParam(352, 288, Chroma_420);
  std::mt19937 rng(4);
  const Stream seq = RandomStream(p, 4, rng, 4);
  std::ifstream yuvstr(dir.NewFile("yuv", seq.yuv), std::ios::binary);
  std::ifstream alphastr(dir.NewFile("alpha", seq.alpha), std::ios::binary);
  FileReader_YUV1 reader;
  reader.SetYUVStream(yuvstr);
  reader.SetAlphaStream(alphastr);
  reader.SetImageParam(p);

  reader.SkipToImage(2);
  EXPECT_EQ(yuvstr.tellg(), 304128);
  EXPECT_EQ(alphastr.tellg(), 202752);
  Image<Pixel> img;
  ASSERT_TRUE(reader.ReadImage(img));
  ExpectPlanes(img, seq.frames[2], Planar, true);
  ASSERT_TRUE(reader.ReadImage(img));
  ExpectPlanes(img, seq.frames[3], Planar, true);
  EXPECT_TRUE(reader.IsEOF());

  reader.SkipToImage(1);  // back again after the end
  EXPECT_FALSE(reader.IsEOF());
  ASSERT_TRUE(reader.ReadImage(img));
  ExpectPlanes(img, seq.frames[1], Planar, true);

  reader.SkipToImage(9);
  EXPECT_TRUE(reader.IsEOF());
  EXPECT_THROW(reader.SkipToImage(-1), Excpt_Assertion);

  // Odd sizes seek by the bytes a frame really occupies: 9 + 2 x 2 x 2 for 3 x 3.
  std::istringstream odd(std::string(34, 'x'));
  FileReader_YUV1 oddreader;
  oddreader.SetYUVStream(odd);
  oddreader.SetImageParam(YUVParam(3, 3, Chroma_420));
  oddreader.SkipToImage(1);
  EXPECT_EQ(odd.tellg(), 17);
}

TEST(FileReader_YUV1, EndsWithTheLastFrameThatHasAlpha) {
  TempDir dir;
  const ImageParam p = YUVParam(8, 4, Chroma_420);
  std::mt19937 rng(5);
  Stream seq = RandomStream(p, 3, rng, 2);
  seq.alpha += "partial";

  // Both measured: the count is cut at once, with one warning naming both counts.
  {
    RecordedMessages messages;
    std::ifstream yuvstr(dir.NewFile("yuv", seq.yuv), std::ios::binary);
    std::ifstream alphastr(dir.NewFile("alpha", seq.alpha), std::ios::binary);
    FileReader_YUV1 reader;
    reader.SetYUVStream(yuvstr);
    reader.SetAlphaStream(alphastr);
    reader.SetImageParam(p);
    EXPECT_EQ(reader.AskNFrames(), 2);
    const std::vector<Image<Pixel>> read = ReadAll(reader);
    ASSERT_EQ(read.size(), 2u);
    ExpectPlanes(read[1], seq.frames[1], Planar, true);
    ASSERT_EQ(messages.list.size(), 1u);
    EXPECT_EQ(messages.list[0].first, ErrSev_Warning);
    EXPECT_EQ(messages.list[0].second,
              "alpha input has only 2 frames for 3 frames of YUV input; the sequence ends with "
              "the last frame that has both");
  }
  // Alpha through a pipe: found out when the plane comes up short.
  {
    RecordedMessages messages;
    PipeFeed feed(seq.alpha);
    std::ifstream yuvstr(dir.NewFile("yuv", seq.yuv), std::ios::binary);
    std::ifstream alphastr(feed.path, std::ios::binary);
    FileReader_YUV1 reader;
    reader.SetYUVStream(yuvstr);
    reader.SetAlphaStream(alphastr);
    reader.SetImageParam(p);
    const std::vector<Image<Pixel>> read = ReadAll(reader);
    ASSERT_EQ(read.size(), 2u);
    ExpectPlanes(read[0], seq.frames[0], Planar, true);
    ExpectPlanes(read[1], seq.frames[1], Planar, true);
    ASSERT_EQ(messages.list.size(), 1u);
    EXPECT_EQ(messages.list[0].second,
              "alpha input has only 2 frames for at least 3 frames of YUV input; the sequence "
              "ends with the last frame that has both");
  }
}

TEST(FileReader_YUV1, ReadsStandardInputUntilItsEndWithoutAPartialFrame) {
  const ImageParam p = YUVParam(4, 4, Chroma_420);
  std::mt19937 rng(6);
  const Planes f0 = RandomPlanes(p, rng), f1 = RandomPlanes(p, rng);
  const std::string two = Serialize(f0, Planar) + Serialize(f1, Planar);

  const std::string partial = Serialize(f0, Planar).substr(0, 23);
  for (const std::string& tail : {std::string(), std::string("cut"), partial}) {
    StdinFrom in(two + tail);
    FileReader_YUV1 reader;
    reader.SetYUVStream(std::cin);
    reader.SetImageParam(p);
    testing::internal::CaptureStderr();
    EXPECT_EQ(reader.AskNFrames(), 999999);

    EXPECT_FALSE(reader.IsEOF());
    Image<Pixel> img;
    ASSERT_TRUE(reader.ReadImage(img));
    const Image<Pixel> held = img;  // as a synthesizer keeps it
    EXPECT_FALSE(reader.IsEOF());
    ASSERT_TRUE(reader.ReadImage(img));
    ExpectPlanes(held, f0, Planar, false);  // not written over by the next frame
    ExpectPlanes(img, f1, Planar, false);
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_TRUE(reader.IsEOF());
    EXPECT_FALSE(reader.ReadImage(img));
    EXPECT_TRUE(img.IsEmpty());
    // Only a frame cut short is worth a word, and only once.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              tail.empty() ? "" : "Warning: YUV input ends inside a frame; frame dropped\n");
  }

  // Read straight into the image (no IsEOF first), then skipping forward.
  StdinFrom in(two + two);
  FileReader_YUV1 reader;
  reader.SetYUVStream(std::cin);
  reader.SetImageParam(p);
  Image<Pixel> img;
  ASSERT_TRUE(reader.ReadImage(img));
  ExpectPlanes(img, f0, Planar, false);
  EXPECT_FALSE(reader.IsEOF());  // reads frame 1 ahead
  reader.SkipToImage(3);         // drops it and passes over frame 2
  ASSERT_TRUE(reader.ReadImage(img));
  ExpectPlanes(img, f1, Planar, false);
  EXPECT_THROW(reader.SkipToImage(1), Excpt_Assertion);
  reader.SkipToImage(7);
  EXPECT_TRUE(reader.IsEOF());

  // A frame is read ahead into the planes of the one handed out before (here the caller's
  // larger planes), but never into planes the caller still holds.
  StdinFrom again(two + two);
  FileReader_YUV1 ahead;
  ahead.SetYUVStream(std::cin);
  ahead.SetImageParam(p);
  img.Create(YUVParam(8, 8, Chroma_420));
  ASSERT_FALSE(ahead.IsEOF());
  ASSERT_TRUE(ahead.ReadImage(img));
  const Image<Pixel> held = img;
  ASSERT_FALSE(ahead.IsEOF());
  ASSERT_TRUE(ahead.ReadImage(img));
  ExpectPlanes(img, f1, Planar, false);
  EXPECT_EQ(img.AskBitmap(0).AskBitmapProvider()->AskWidth(), 8);
  ASSERT_FALSE(ahead.IsEOF());
  ASSERT_TRUE(ahead.ReadImage(img));
  ExpectPlanes(img, f0, Planar, false);
  ExpectPlanes(held, f0, Planar, false);
  EXPECT_NE(img.AskFrameY(), held.AskFrameY());
}

TEST(FileReader_YUV1, ReadsAPipeOpenedAsAFileLikeStandardInput) {
  std::mt19937 rng(7);
  Stream seq = RandomStream(YUVParam(64, 64, Chroma_420), 50, rng);  // more than a pipe holds
  seq.yuv += "tail";
  PipeFeed feed(seq.yuv);
  std::ifstream is(feed.path, std::ios::binary);
  FileReader_YUV1 reader;
  reader.SetYUVStream(is);
  reader.SetImageParam(YUVParam(64, 64, Chroma_420));
  testing::internal::CaptureStderr();
  EXPECT_EQ(reader.AskNFrames(), 999999);
  const std::vector<Image<Pixel>> read = ReadAll(reader);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: YUV input ends inside a frame; frame dropped\n");
  ASSERT_EQ(read.size(), 50u);
  for (size_t i = 0; i < read.size(); i++) ExpectPlanes(read[i], seq.frames[i], Planar, false);
}

namespace {

// A stream of zero bytes that cannot seek, handed out in large blocks; it counts what was taken.
class ZeroStream : public std::streambuf {
 public:
  explicit ZeroStream(int64_t size) : d_left(size), d_block(size_t(1) << 20, '\0') {}
  int64_t Taken() const { return d_given - (egptr() - gptr()); }

 protected:
  int_type underflow() override {
    if (d_left == 0) return traits_type::eof();
    const int64_t n = std::min<int64_t>(d_left, int64_t(d_block.size()));
    d_left -= n;
    d_given += n;
    setg(d_block.data(), d_block.data(), d_block.data() + n);
    return traits_type::to_int_type(d_block[0]);
  }

 private:
  int64_t d_left;
  int64_t d_given = 0;
  std::vector<char> d_block;
};

}  // namespace

// Frames beyond 2 GiB are passed over whole even where a stream counts in 32 bits.
TEST(FileReader_YUV1, SkipsFramesBeyondTwoGigabytesOfAStream) {
  const int64_t frame = int64_t(3) * 32767 * 32767;  // 4:4:4
  ZeroStream zeros(2 * frame + 10);
  std::istream is(&zeros);
  FileReader_YUV1 reader;
  reader.SetYUVStream(is);
  reader.SetImageParam(YUVParam(32767, 32767, Chroma_444));
  EXPECT_EQ(reader.AskNFrames(), 999999);
  reader.SkipToImage(2);
  EXPECT_EQ(zeros.Taken(), 2 * frame);
}

TEST(FileReader_YUV1, MeasuresFilesBeyondTwoGigabytesIn64Bits) {
  TempDir dir;
  const ImageParam p = YUVParam(352, 288, Chroma_420);
  const int64_t frames = 14200;  // 2159308800 bytes
  const std::string name = dir.NewFile("big");
  std::mt19937 rng(8);
  const Planes last = RandomPlanes(p, rng);
  const std::string bytes = Serialize(last, Planar);
  const int fd = open(name.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, frames * 152064), 0);  // sparse: takes no disk space
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), (frames - 1) * 152064),
            ssize_t(bytes.size()));
  close(fd);

  std::ifstream is(name, std::ios::binary);
  FileReader_YUV1 reader;
  reader.SetYUVStream(is);
  reader.SetImageParam(p);
  testing::internal::CaptureStderr();
  EXPECT_EQ(reader.AskNFrames(), frames);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  reader.SkipToImage(int(frames - 1));
  EXPECT_EQ(int64_t(is.tellg()), (frames - 1) * 152064);
  Image<Pixel> img;
  ASSERT_TRUE(reader.ReadImage(img));
  ExpectPlanes(img, last, Planar, false);
  EXPECT_TRUE(reader.IsEOF());
}

TEST(FileReader_YUV1, RejectsDescriptionsWithoutSamplesAndMissingStreams) {
  std::istringstream is("abcd");
  FileReader_YUV1 reader;
  reader.SetYUVStream(is);
  reader.SetImageParam(YUVParam(0, 288, Chroma_420));
  EXPECT_THROW(reader.AskNFrames(), Excpt_Assertion);
  reader.SetImageParam(YUVParam(352, -1, Chroma_420));
  EXPECT_THROW(reader.IsEOF(), Excpt_Assertion);

  EXPECT_DEATH(
      {
        FileReader_YUV1 none;
        none.Init();
      },
      "d_yuvstr");
}

TEST(FileWriter_YUV1, WritesEveryLayoutByteExact) {
  const struct {
    ImageParam p;
    bool interleaved;
  } cases[] = {
      {YUVParam(4, 2, Chroma_420), false}, {YUVParam(4, 2, Chroma_420), true},
      {YUVParam(5, 3, Chroma_420), false}, {YUVParam(5, 3, Chroma_420), true},
      {YUVParam(6, 2, Chroma_422), false}, {YUVParam(3, 2, Chroma_444), true},
      {Param(3, 2, Colorspace_RGB, Chroma_420), false},
  };
  std::mt19937 rng(9);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.p.width << "x" << c.p.height << " chroma " << c.p.chroma
                                    << " interleaved " << c.interleaved);
    const Planes f = RandomPlanes(c.p, rng);
    std::ostringstream os;
    FileWriter_YUV1 writer;
    writer.SetYUVStream(os);
    writer.SetInterleavedUV(c.interleaved);
    writer.WriteImage(ToImage(f, c.p));
    EXPECT_EQ(os.str(), Serialize(f, c.interleaved ? Interleaved : Planar));

    std::ostringstream yonly;
    writer.SetYUVStream(yonly);
    writer.SetSkipChroma(true);
    writer.WriteImage(ToImage(f, c.p));
    EXPECT_EQ(yonly.str(), Serialize(f, Greyscale));
  }

  // Greyscale 4 x 2: 8 Y bytes, then 16 bytes of 128 when written as YUV.
  const ImageParam grey = Param(4, 2, Colorspace_Greyscale, Chroma_420);
  const Planes g = RandomPlanes(grey, rng);
  for (bool asYUV : {false, true}) {
    std::ostringstream os;
    FileWriter_YUV1 writer;
    writer.SetYUVStream(os);
    writer.SetGreyscaleAsYUV(asYUV);
    writer.WriteImage(ToImage(g, grey));
    EXPECT_EQ(os.str(), Serialize(g, Greyscale) + (asYUV ? std::string(16, '\x80') : ""));
  }
}

TEST(FileWriter_YUV1, WritesAlphaOnlyWithBothAStreamAndAnAlphaPlane) {
  std::mt19937 rng(10);
  ImageParam p = YUVParam(4, 2, Chroma_420);
  p.has_alpha = true;
  const Planes f = RandomPlanes(p, rng);
  const Image<Pixel> withAlpha = ToImage(f, p);
  const Image<Pixel> noAlpha = ToImage(f, YUVParam(4, 2, Chroma_420));

  std::ostringstream yuv1;
  FileWriter_YUV1 plain;
  plain.SetYUVStream(yuv1);
  plain.WriteImage(withAlpha);
  EXPECT_EQ(yuv1.str().size(), 12u);

  std::ostringstream yuv2, alpha;
  FileWriter_YUV1 writer;
  writer.SetYUVStream(yuv2);
  writer.SetAlphaStream(alpha);
  writer.WriteImage(noAlpha);
  EXPECT_EQ(alpha.str(), "");
  writer.WriteImage(withAlpha);
  EXPECT_EQ(alpha.str(), std::string(f.a.begin(), f.a.end()));
  EXPECT_EQ(yuv2.str(), Serialize(f, Planar) + Serialize(f, Planar));

  // Seeking lands on the frame boundaries the writer produces.
  writer.SkipToImage(1, p);
  EXPECT_EQ(yuv2.tellp(), 12);
  EXPECT_EQ(alpha.tellp(), 8);
  writer.SkipToImage(1, YUVParam(3, 3, Chroma_420));
  EXPECT_EQ(yuv2.tellp(), 9 + 8);
}

TEST(FileReaderWriter_YUV1, RandomFramesSurviveARoundTrip) {
  TempDir dir;
  std::mt19937 rng(11);
  for (const auto& size : {std::pair<int, int>(352, 288), std::pair<int, int>(17, 9)}) {
    ImageParam p = YUVParam(size.first, size.second, Chroma_420);
    p.has_alpha = true;
    const std::string yuvname = dir.NewFile("rt"), alphaname = dir.NewFile("rta");
    std::vector<Image<Pixel>> written;
    {
      std::ofstream yuv(yuvname, std::ios::binary), alpha(alphaname, std::ios::binary);
      FileWriter_YUV1 writer;
      writer.SetYUVStream(yuv);
      writer.SetAlphaStream(alpha);
      for (int i = 0; i < 5; i++) {
        written.push_back(ToImage(RandomPlanes(p, rng), p));
        writer.WriteImage(written.back());
      }
    }
    std::ifstream yuv(yuvname, std::ios::binary), alpha(alphaname, std::ios::binary);
    FileReader_YUV1 reader;
    reader.SetYUVStream(yuv);
    reader.SetAlphaStream(alpha);
    reader.SetImageParam(YUVParam(size.first, size.second, Chroma_420));
    testing::internal::CaptureStderr();
    const std::vector<Image<Pixel>> read = ReadAll(reader);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); i++)
      for (int plane = 0; plane < 4; plane++)
        EXPECT_EQ(PlaneOf(read[i].AskBitmap(plane)), PlaneOf(written[i].AskBitmap(plane)))
            << "frame " << i << " plane " << plane;
  }
}
