#include "libpixkit/fileio/mpeg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/images.h"

using namespace pixkit;

namespace {

namespace fs = std::filesystem;

uint8_t Sample(int plane, int x, int y, int seed) {
  return uint8_t(x * 7 + y * 13 + plane * 50 + seed * 31);
}

std::string Header(uint32_t first, int w, int h) {
  std::string s(128, '\xEE');  // bytes 8..127 carry nothing
  const unsigned v[8] = {first >> 24, first >> 16, first >> 8, first,
                         unsigned(w) >> 8, unsigned(w), unsigned(h) >> 8, unsigned(h)};
  for (int i = 0; i < 8; i++) s[i] = char(v[i] & 0xFF);
  return s;
}

std::string Planes(int w, int h, int seed) {
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  std::string s;
  for (int i = 0; i < 3; i++) {
    const int pw = i ? cw : w, ph = i ? ch : h;
    for (int y = 0; y < ph; y++)
      for (int x = 0; x < pw; x++) s += char(Sample(i, x, y, seed));
  }
  return s;
}

std::string Record(int w, int h, int seed) { return Header(uint32_t(seed), w, h) + Planes(w, h, seed); }

// Checks the description and every sample of a frame made by Record(w, h, seed).
void ExpectFrame(const Image<Pixel>& img, int w, int h, int seed) {
  const ImageParam p = img.AskParam();
  ASSERT_EQ(p.width, w);
  ASSERT_EQ(p.height, h);
  EXPECT_EQ(p.colorspace, Colorspace_YUV);
  EXPECT_EQ(p.chroma, Chroma_420);
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  const Pixel* const* frames[3] = {img.AskFrameY(), img.AskFrameU(), img.AskFrameV()};
  int wrong = 0;
  for (int i = 0; i < 3; i++) {
    const int pw = i ? cw : w, ph = i ? ch : h;
    EXPECT_GE(img.AskBitmap(i).AskWidth(), pw);
    EXPECT_GE(img.AskBitmap(i).AskHeight(), ph);
    for (int y = 0; y < ph; y++)
      for (int x = 0; x < pw; x++) wrong += frames[i][y][x] != Sample(i, x, y, seed);
  }
  EXPECT_EQ(wrong, 0) << "frame " << seed;
}

ImageParam Param(int w, int h, Colorspace cs, ChromaFormat chroma, int border = 0,
                 bool alpha = false) {
  ImageParam p = testsupport::Param(w, h, cs, chroma, alpha);
  p.border = border;
  return p;
}

std::string TextOf(const Excpt_Base& e) {
  char buf[c_MaxTextLen + 1];
  e.GetText(buf, sizeof buf);
  return buf;
}

struct MessageLog : MessageDisplay {
  std::vector<std::pair<ErrorSeverity, std::string>> msgs;
  void ShowMessage(ErrorSeverity s, const char* t) override { msgs.emplace_back(s, t); }
  void ShowException(const Excpt_Base& e) override { msgs.emplace_back(e.m_severity, TextOf(e)); }
};

MessageDisplay_cerr g_cerr;

// Runs the reader against a stand-in decoder, first on PATH, that notes its arguments, writes
// a prepared record stream and ends as the test says.
class MpegReader : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mpeg_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    d_dir = pattern;
    const char* path = getenv("PATH");
    d_oldPath = path ? path : "";
    setenv("PATH", (d_dir + ":" + d_oldPath).c_str(), 1);
    MessageDisplay::SetStandardDisplay(&d_log);
  }
  void TearDown() override {
    MessageDisplay::SetStandardDisplay(&g_cerr);
    setenv("PATH", d_oldPath.c_str(), 1);
    fs::remove_all(d_dir);
  }

  void InstallDecoder(const std::string& stream, const std::string& ending = "exit 0",
                      const std::string& beginning = "") {
    std::ofstream(d_dir + "/stream.bin", std::ios::binary) << stream;
    const std::string script = d_dir + "/mpgfeed";
    std::ofstream(script) << "#!/bin/sh\n"
                          << beginning << "\n"
                          << "echo $# > '" << d_dir << "/argc'\n"
                          << "i=0\n"
                          << "for a in \"$@\"; do i=$((i+1)); printf '%s' \"$a\" > '" << d_dir
                          << "/arg'$i; done\n"
                          << "cat '" << d_dir << "/stream.bin'\n"
                          << ending << "\n";
    chmod(script.c_str(), 0755);
  }

  std::string Noted(const std::string& name) const {
    std::ifstream in(d_dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string Input() const { return d_dir + "/input.mpg"; }

  std::string d_dir;
  std::string d_oldPath;
  MessageLog d_log;
};

// The reader keeps no accessor for its frame number; the backwards check reveals it.
void ExpectFrameNumber(FileReader_MPEG& r, int n) {
  EXPECT_THROW(r.SkipToImage(n - 1), Excpt_Assertion);
  EXPECT_NO_THROW(r.SkipToImage(n));
}

// The reader is not at its end, and its next frame has the given size and pattern.
void ExpectNextFrame(FileReader_MPEG& r, Image<Pixel>& img, int w, int h, int seed) {
  EXPECT_FALSE(r.IsEOF());
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, w, h, seed);
}

TEST_F(MpegReader, TwoFramesThroughTheReadAheadArriveInPlanesOfTheirOwn) {
  const std::string stream = Record(352, 288, 1) + Record(352, 288, 2);
  ASSERT_EQ(stream.size(), 2u * 152192u);
  InstallDecoder(stream);
  FileReader_MPEG r;
  r.Open(Input().c_str());

  Image<Pixel> img;
  img.Create(Param(352, 288, Colorspace_YUV, Chroma_420, 4, true));
  ExpectNextFrame(r, img, 352, 288, 1);
  const ImageParam p = img.AskParam();
  EXPECT_EQ(p.border, 0);
  EXPECT_EQ(p.halign, 1);
  EXPECT_FALSE(p.has_alpha);
  EXPECT_TRUE(p.reduced_chroma);
  EXPECT_TRUE(img.AskBitmap(Bitmap_Alpha).IsEmpty());
  EXPECT_EQ(img.AskBitmap(0).AskBorder(), 0);

  const Image<Pixel> kept = img;  // a synthesizer keeping the frame
  ExpectNextFrame(r, img, 352, 288, 2);
  ExpectFrame(kept, 352, 288, 1);
  EXPECT_NE(kept.AskFrameY(), img.AskFrameY());

  EXPECT_TRUE(r.IsEOF());
  EXPECT_TRUE(r.IsEOF());
  ExpectFrameNumber(r, 2);
  EXPECT_TRUE(d_log.msgs.empty());

  EXPECT_EQ(Noted("argc"), "4\n");
  EXPECT_EQ(Noted("arg1"), "-L");
  EXPECT_EQ(Noted("arg2"), "-W");
  EXPECT_EQ(Noted("arg3"), "-");
  EXPECT_EQ(Noted("arg4"), Input());
}

TEST_F(MpegReader, FramesAreReadAheadIntoThePlanesNobodyHoldsAnyMore) {
  InstallDecoder(Record(352, 288, 1) + Record(352, 288, 2) + Record(352, 288, 3));
  FileReader_MPEG r;
  r.Open(Input().c_str());

  // The caller's larger planes serve the second frame, laid out as fresh ones would be.
  Image<Pixel> img;
  img.Create(Param(400, 300, Colorspace_YUV, Chroma_420, 4, true));
  ExpectNextFrame(r, img, 352, 288, 1);
  const Image<Pixel> kept = img;
  ExpectNextFrame(r, img, 352, 288, 2);
  EXPECT_EQ(img.AskBitmap(0).AskBitmapProvider()->AskWidth(), 400);
  EXPECT_EQ(img.AskParam().border, 0);
  EXPECT_FALSE(img.AskParam().has_alpha);
  EXPECT_TRUE(img.AskBitmap(Bitmap_Alpha).IsEmpty());

  // The first frame's planes are still held: the third frame gets fresh ones.
  ExpectNextFrame(r, img, 352, 288, 3);
  ExpectFrame(kept, 352, 288, 1);
  EXPECT_TRUE(r.IsEOF());
}

TEST_F(MpegReader, DirectReadsFillTheCallersImageAndFollowSizeChanges) {
  InstallDecoder(Record(352, 288, 1) + Record(352, 288, 2) + Record(64, 30, 3));
  FileReader_MPEG r;
  r.Open(Input().c_str());

  Image<Pixel> img;
  img.Create(Param(352, 288, Colorspace_YUV, Chroma_420, 2, true));
  const Image<Pixel> sharer = img;
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(sharer, 352, 288, 1);  // a matching image is written in place
  EXPECT_EQ(img.AskParam().border, 2);
  EXPECT_TRUE(img.AskParam().has_alpha);

  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 352, 288, 2);

  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 64, 30, 3);
  EXPECT_EQ(img.AskBitmap(1).AskWidth(), 32);
  EXPECT_EQ(img.AskBitmap(1).AskHeight(), 15);
  EXPECT_EQ(img.AskParam().border, 2);
  EXPECT_FALSE(img.AskBitmap(Bitmap_Alpha).IsEmpty());

  // At the end: nothing delivered, the image untouched, the call counted.
  EXPECT_FALSE(r.ReadImage(img));
  ExpectFrame(img, 64, 30, 3);
  ExpectFrameNumber(r, 4);
  EXPECT_TRUE(d_log.msgs.empty());
}

TEST_F(MpegReader, ImagesOfAnotherFormatAreRecreatedAsYuv420) {
  const struct {
    Colorspace cs;
    ChromaFormat chroma;
  } cases[] = {{Colorspace_YUV, Chroma_444}, {Colorspace_YUV, Chroma_422},
               {Colorspace_RGB, Chroma_420}, {Colorspace_RGB, Chroma_444}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.cs) * 10 + int(c.chroma));
    InstallDecoder(Record(48, 32, 5));
    FileReader_MPEG r;
    r.Open(Input().c_str());
    Image<Pixel> img;
    img.Create(Param(48, 32, c.cs, c.chroma, 3));
    EXPECT_TRUE(r.ReadImage(img));
    ExpectFrame(img, 48, 32, 5);
    EXPECT_EQ(img.AskBitmap(1).AskWidth(), 24);
    EXPECT_EQ(img.AskBitmap(2).AskHeight(), 16);
    EXPECT_EQ(img.AskParam().border, 3);
  }
}

TEST_F(MpegReader, OddSizesHaveRoundedUpChromaPlanes) {
  const std::string stream = Record(353, 289, 1) + Record(353, 289, 2);
  ASSERT_EQ(stream.size(), 2u * (128 + 102017 + 2 * 25665));
  InstallDecoder(stream);
  FileReader_MPEG r;
  r.Open(Input().c_str());
  Image<Pixel> img;
  for (int seed = 1; seed <= 2; seed++) {
    ExpectNextFrame(r, img, 353, 289, seed);
    EXPECT_EQ(img.AskBitmap(1).AskWidth(), 177);
    EXPECT_EQ(img.AskBitmap(1).AskHeight(), 145);
  }
  EXPECT_TRUE(r.IsEOF());
}

TEST_F(MpegReader, HeaderFieldsAreBigEndianAndTheFirstWordIsIgnored) {
  std::string header(128, '\x5A');
  const char fields[8] = {'\xFF', '\xFF', '\xFF', '\xFF', '\x01', '\x60', '\x01', '\x20'};
  header.replace(0, 8, fields, 8);
  InstallDecoder(header + Planes(352, 288, 7));
  FileReader_MPEG r;
  r.Open(Input().c_str());
  Image<Pixel> img;
  ExpectNextFrame(r, img, 352, 288, 7);
  EXPECT_TRUE(r.IsEOF());
}

TEST_F(MpegReader, RecordsWithoutPixelsAreRejected) {
  const struct {
    int w, h;
    const char* size;
  } cases[] = {{0x8000, 288, "-32768x288"}, {352, 0, "352x0"}, {0, 0, "0x0"}, {16, 0xFFFF, "16x-1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    InstallDecoder(Header(0, c.w, c.h) + std::string(1000, '\x10'));
    FileReader_MPEG r;
    r.Open(Input().c_str());
    try {
      r.IsEOF();
      ADD_FAILURE() << "no exception";
    } catch (const Excpt_Text& e) {
      EXPECT_EQ(e.m_severity, ErrSev_Error);
      const std::string text = TextOf(e);
      EXPECT_NE(text.find("invalid frame size"), std::string::npos) << text;
      EXPECT_NE(text.find(c.size), std::string::npos) << text;
    }
    EXPECT_TRUE(r.IsEOF());  // the broken stream is not followed further
  }
}

TEST_F(MpegReader, SkipToImageOnlyMovesForward) {
  std::string stream;
  for (int i = 0; i < 7; i++) stream += Record(16, 8, i);
  InstallDecoder(stream);
  FileReader_MPEG r;
  r.Open(Input().c_str());
  Image<Pixel> img;

  r.SkipToImage(0);  // reads nothing
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 16, 8, 0);

  EXPECT_FALSE(r.IsEOF());  // frame 1 waits in the read-ahead and is the first dropped
  r.SkipToImage(4);
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 16, 8, 4);

  try {
    r.SkipToImage(2);
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Assertion& e) {
    EXPECT_NE(TextOf(e).find("(cannot search backwards in MPEG stream (not implemented yet))"),
              std::string::npos);
  }
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 16, 8, 5);

  r.SkipToImage(100);  // past the end: stops there
  EXPECT_TRUE(r.IsEOF());
  ExpectFrameNumber(r, 100);
}

TEST_F(MpegReader, AnyFileNameReachesTheDecoderAsOneArgument) {
  const std::string names[] = {
      "two words.mpg",
      "it's \"quoted\".mpg",
      "$(touch " + d_dir + "/injected1).mpg",
      "a.mpg; touch " + d_dir + "/injected2",
      "`touch " + d_dir + "/injected3`",
      "a.mpg | touch " + d_dir + "/injected4 &",
      "line\nbreak '\\' *.mpg",
      std::string(5000, 'n') + ".mpg",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name.substr(0, 60));
    InstallDecoder(Record(16, 8, 1));
    FileReader_MPEG r;
    r.Open(name.c_str());
    EXPECT_FALSE(r.IsEOF());
    EXPECT_EQ(Noted("argc"), "4\n");
    EXPECT_EQ(Noted("arg4"), name);
  }
  for (int i = 1; i <= 4; i++) EXPECT_FALSE(fs::exists(d_dir + "/injected" + std::to_string(i)));

  // The same file, but never an option of the decoder.
  InstallDecoder(Record(16, 8, 1));
  FileReader_MPEG r;
  r.Open("-h.mpg");
  EXPECT_FALSE(r.IsEOF());
  EXPECT_EQ(Noted("argc"), "4\n");
  EXPECT_EQ(Noted("arg4"), "./-h.mpg");
}

// Also where the failure cut the last record short: only the failure is reported.
TEST_F(MpegReader, AFailingDecoderIsReportedAtTheEndOfItsStream) {
  const struct {
    const char* ending;
    const char* why;
  } cases[] = {{"exit 3", "(exit status 3)"}, {"kill -TERM $$", "(killed by signal 15)"}};
  for (const auto& c : cases) {
    for (const std::string& cut : {std::string(), Record(16, 8, 2).substr(0, 200)}) {
      SCOPED_TRACE(c.ending + std::string(cut.empty() ? "" : ", cut"));
      InstallDecoder(Record(16, 8, 1) + cut, c.ending);
      for (bool lookAhead : {true, false}) {
        FileReader_MPEG r;
        r.Open(Input().c_str());
        Image<Pixel> img;
        EXPECT_FALSE(r.IsEOF());
        EXPECT_TRUE(r.ReadImage(img));
        try {
          lookAhead ? r.IsEOF() : r.ReadImage(img);
          ADD_FAILURE() << "no exception";
        } catch (const Excpt_Text& e) {
          EXPECT_EQ(e.m_severity, ErrSev_Error);
          EXPECT_EQ(TextOf(e), "MPEG decoder failed on file '" + Input() + "' " + c.why);
        }
        EXPECT_TRUE(r.IsEOF());  // reported once
        EXPECT_FALSE(r.ReadImage(img));
        EXPECT_TRUE(d_log.msgs.empty());
      }
    }
  }
}

TEST_F(MpegReader, AMissingDecoderIsReported) {
  setenv("PATH", (d_dir + ":/usr/bin:/bin").c_str(), 1);  // no decoder anywhere on it
  FileReader_MPEG r;
  r.Open(Input().c_str());
  try {
    r.IsEOF();
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(TextOf(e), "MPEG decoder failed on file '" + Input() +
                             "' (exit status 127: mpgfeed could not be run)");
  }
  EXPECT_TRUE(r.IsEOF());
}

TEST_F(MpegReader, ARecordCutShortIsDroppedWithOneWarning) {
  const std::string full = Record(16, 8, 1);
  const std::string cuts[] = {full.substr(0, 60), full.substr(0, 128),
                              full.substr(0, 128 + 16 * 8 + 10), full.substr(0, full.size() - 1)};
  for (const std::string& cut : cuts) {
    SCOPED_TRACE(cut.size());
    d_log.msgs.clear();
    InstallDecoder(Record(16, 8, 0) + cut);
    FileReader_MPEG r;
    r.Open(Input().c_str());
    Image<Pixel> img;
    ExpectNextFrame(r, img, 16, 8, 0);
    EXPECT_TRUE(r.IsEOF());
    EXPECT_TRUE(r.IsEOF());
    EXPECT_FALSE(r.ReadImage(img));
    ExpectFrame(img, 16, 8, 0);
    ASSERT_EQ(d_log.msgs.size(), 1u);
    EXPECT_EQ(d_log.msgs[0].first, ErrSev_Warning);
    EXPECT_EQ(d_log.msgs[0].second,
              "MPEG stream of file '" + Input() + "' ends inside a frame; frame dropped");
  }
}

TEST_F(MpegReader, ClosingEarlyStopsADecoderThatStillWrites) {
  std::string stream;
  for (int i = 0; i < 40; i++) stream += Record(352, 288, i);  // far more than a pipe holds
  InstallDecoder(stream);
  {
    FileReader_MPEG r;
    r.Open(Input().c_str());
    Image<Pixel> img;
    EXPECT_FALSE(r.IsEOF());
    EXPECT_TRUE(r.ReadImage(img));
    r.Open(Input().c_str());  // replaces the running decoder
    EXPECT_TRUE(r.ReadImage(img));
    ExpectFrame(img, 352, 288, 0);
  }  // must return although the decoder has not finished writing
  EXPECT_TRUE(d_log.msgs.empty());
}

// The decoder says what it needs, before its first record, on a pipe named in its environment.
// Anything but one well-formed line is nothing said, and a decoder that keeps the pipe open
// without a word (as any program run in its place does) holds up neither the need nor a frame.
TEST_F(MpegReader, TheDecodersNeedIsHeardBeforeItsFirstRecord) {
  using Need = FileReader_MPEG::DecoderNeed;
  const struct {
    const char* says;  // shell commands run before the records
    std::optional<Need> need;
  } cases[] = {
      {"printf '123456789012 3\\n' >&$MPGFEED_NEED_FD; eval \"exec $MPGFEED_NEED_FD>&-\"",
       Need{123456789012, 3}},
      {"", std::nullopt},
      {"eval \"exec $MPGFEED_NEED_FD>&-\"", std::nullopt},
      {"printf 'lots\\n' >&$MPGFEED_NEED_FD", std::nullopt},
      {"printf '12 0\\n' >&$MPGFEED_NEED_FD", std::nullopt},
      {"printf '7 2\\n8 2\\n' >&$MPGFEED_NEED_FD", Need{8, 2}},
      {"printf '12' >&$MPGFEED_NEED_FD; sleep 0.1; printf ' 3\\n' >&$MPGFEED_NEED_FD",
       Need{12, 3}},
      {"printf '9000 4 1000 640 360\\n' >&$MPGFEED_NEED_FD", Need{9000, 4, 1000, 640, 360}},
      {"printf '9000 4 9001 640 360\\n' >&$MPGFEED_NEED_FD", std::nullopt},
  };
  std::string stream;
  for (int i = 0; i < 4; i++) stream += Record(352, 288, i);  // more than a pipe holds
  for (const auto& c : cases) {
    for (const bool askFirst : {true, false}) {
      SCOPED_TRACE(std::string(c.says) + (askFirst ? ", asked first" : ", asked after a frame"));
      InstallDecoder(stream, "exit 0", c.says);
      FileReader_MPEG r;
      r.Open(Input().c_str());
      Image<Pixel> img;
      std::optional<Need> need;
      if (askFirst) need = r.AskDecoderNeed();
      ExpectNextFrame(r, img, 352, 288, 0);
      if (!askFirst) need = r.AskDecoderNeed();
      ASSERT_EQ(need.has_value(), c.need.has_value());
      if (need) {
        EXPECT_EQ(need->bytes, c.need->bytes);
        EXPECT_EQ(need->threads, c.need->threads);
        EXPECT_EQ(need->fixed, c.need->fixed);
        EXPECT_EQ(need->width, c.need->width);
        EXPECT_EQ(need->height, c.need->height);
      }
      for (int i = 1; i < 4; i++) ExpectNextFrame(r, img, 352, 288, i);
      EXPECT_TRUE(r.IsEOF());
    }
  }
  EXPECT_TRUE(d_log.msgs.empty());

  // Where memory runs out, the system ends the decoder first, from its start.
  InstallDecoder(stream, "exit 0", "cat /proc/$$/oom_score_adj > '" + d_dir + "/score'");
  {
    FileReader_MPEG r;
    r.Open(Input().c_str());
    Image<Pixel> img;
    while (!r.IsEOF()) r.ReadImage(img);
  }
  EXPECT_EQ(Noted("score"), "1000\n");

  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  FileReader_MPEG plain;
  plain.OpenStream(f, "records");
  EXPECT_FALSE(plain.AskDecoderNeed());
}

// Records from a plain stream, no process: frames, a clean end, and a broken record that ends
// the stream with its message instead of a decoder's exit status.
TEST_F(MpegReader, AnOpenStreamIsReadLikeADecodersPipe) {
  const std::string good = Record(16, 8, 0) + Record(9, 5, 1);
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  fwrite(good.data(), 1, good.size(), f);
  rewind(f);
  FileReader_MPEG r;
  r.OpenStream(f, "records");
  Image<Pixel> img;
  EXPECT_FALSE(r.IsEOF());
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 16, 8, 0);
  EXPECT_TRUE(r.ReadImage(img));
  ExpectFrame(img, 9, 5, 1);
  EXPECT_TRUE(r.IsEOF());
  EXPECT_TRUE(d_log.msgs.empty());

  const std::string bad = Header(0, -3, 8);
  f = fmemopen(const_cast<char*>(bad.data()), bad.size(), "rb");
  ASSERT_NE(f, nullptr);
  r.OpenStream(f, "records");
  try {
    r.IsEOF();
    ADD_FAILURE() << "a negative width was taken";
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(TextOf(e), "invalid frame size -3x8 in MPEG stream of file 'records'");
  }
  EXPECT_TRUE(r.IsEOF());  // the stream was closed with the broken record

  const std::string cut = good.substr(0, good.size() - 1);  // its end is a clean one
  r.OpenStream(fmemopen(const_cast<char*>(cut.data()), cut.size(), "rb"), "records");
  EXPECT_TRUE(r.ReadImage(img));
  EXPECT_TRUE(r.IsEOF());
  EXPECT_EQ(d_log.msgs.size(), 1u);
}

}  // namespace
