#include "cvalgo/background_simmat.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/cvalgo/simmat_reference.h"

#include "tests/support/images.h"

using namespace pixkit;
using cvalgo::BackgroundSynthesizer_SimMat;

namespace {

typedef std::function<int(int x, int y)> LumaFn;

// A 4:4:4 frame with alpha whose chroma planes are derived from luma, so that a block copied
// from the wrong frame or plane shows.
Image<Pixel> Frame(int w, int h, const LumaFn& luma) {
  Image<Pixel> img;
  img.Create(testsupport::YUVParam(w, h, Chroma_444, true));
  for (int y = 0; y < h; y++) {
    for (int x = 0; x < w; x++) {
      const Pixel v = Pixel(luma(x, y));
      img.AskFrameY()[y][x] = v;
      img.AskFrameU()[y][x] = Pixel(v ^ 0x55);
      img.AskFrameV()[y][x] = Pixel(255 - v);
      img.AskFrameA()[y][x] = 255;
    }
  }
  return img;
}

Image<Pixel> Uniform(int w, int h, int value) {
  return Frame(w, h, [value](int, int) { return value; });
}

std::string TextOf(const Excpt_Base& e) {
  char buf[1000];
  e.GetText(buf, sizeof buf);
  return buf;
}

// Runs f and expects a pixkit::Excpt_Assertion whose condition text is `condition`.
void ExpectAssertion(const std::function<void()>& f, const std::string& condition) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected (" << condition << ")";
  } catch (const Excpt_Assertion& e) {
    const std::string text = TextOf(e);
    EXPECT_NE(text.find("(" + condition + ").\n"), std::string::npos) << text;
    EXPECT_NE(text.find("background_simmat"), std::string::npos) << text;
  }
}

Pixel MatrixEntry(const BackgroundSynthesizer_SimMat& s, int bx, int by, int i, int j) {
  Image<Pixel> m;
  s.AskSimilarityMatrixImage(m, bx, by);
  return m.AskFrameY()[i][j];
}

// The luma of the background pixel (x, y) in out equals that of frame src.
void ExpectBlockFrom(const Image<Pixel>& out, const Image<Pixel>& src, int bx, int by) {
  for (int p = 0; p < 3; p++)
    for (int y = by * 8; y < by * 8 + 8; y++)
      for (int x = bx * 8; x < bx * 8 + 8; x++)
        ASSERT_EQ(out.AskBitmap(p).AskFrame()[y][x], src.AskBitmap(p).AskFrame()[y][x])
            << "plane " << p << " at " << x << "," << y;
}

uint32_t Hash(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352d;
  v ^= v >> 15;
  v *= 0x846ca68b;
  v ^= v >> 16;
  return v;
}

class RecordingDisplay : public MessageDisplay {
 public:
  void ShowMessage(ErrorSeverity s, const char* text) override {
    messages.push_back({s, text});
  }
  void ShowException(const Excpt_Base& e) override { ShowMessage(e.m_severity, TextOf(e).c_str()); }
  std::vector<std::pair<ErrorSeverity, std::string>> messages;
};

}  // namespace

TEST(SimMatSAD, KernelsAgreeOnRandomAndExtremeBlocks) {
  std::mt19937 rng(5);
  Bitmap<Pixel> a, b;
  a.Create(40, 24, 3, 1, 1);
  b.Create(37, 21, 0, 1, 1);
  const int fills[][2] = {{-1, -1}, {0, 0}, {255, 255}, {0, 255}, {255, 0}};
  for (int round = 0; round < 400; round++) {
    const int fa = fills[round % 5][0], fb = fills[round % 5][1];
    for (int y = -3; y < 27; y++)
      for (int x = -3; x < 43; x++) a.AskFrame()[y][x] = Pixel(fa < 0 ? rng() : fa);
    for (int y = 0; y < 21; y++)
      for (int x = 0; x < 37; x++) b.AskFrame()[y][x] = Pixel(fb < 0 ? rng() : fb);
    const int ax = int(rng() % 40) - 3, ay = int(rng() % 22) - 3;  // reaches into the border
    const int bx = int(rng() % 30), by = int(rng() % 14);         // every odd column too
    const int c = cvalgo::SumAbsDiff8x8_C(a.AskFrame() + ay, ax, b.AskFrame() + by, bx);
#if defined(__SSE2__)
    ASSERT_EQ(cvalgo::SumAbsDiff8x8_SSE2(a.AskFrame() + ay, ax, b.AskFrame() + by, bx), c)
        << "round " << round;
#endif
    ASSERT_EQ(cvalgo::Error_SAD(a, ax, ay, b, bx, by, 8), c / 64);
    if (fa == 0 && fb == 255) {
      ASSERT_EQ(c, 64 * 255);
    }
  }
}

TEST(SimMatSAD, MeanDifferenceAndBounds) {
  // 13 everywhere plus 63 more in one sample: the mean is truncated to 13.
  Bitmap<Pixel> a, b;
  a.Create(16, 16);
  b.Create(16, 16);
  Clear(a, Pixel(100));
  Clear(b, Pixel(113));
  b.AskFrame()[3][4] = 176;
  EXPECT_EQ(cvalgo::Error_SAD(a, 0, 0, b, 0, 0, 8), 13);
  EXPECT_EQ(cvalgo::Error_SAD(a, 8, 8, b, 8, 8, 8), 13);

  // Only the second block is checked against its bitmap; the edge itself is inside.
  const struct { int bx, by, expect; } cases[] = {
      {-1, 0, -1}, {0, -1, -1}, {9, 0, -1}, {0, 9, -1}, {8, 8, 13}, {0, 0, 13},
  };
  for (const auto& c : cases) EXPECT_EQ(cvalgo::Error_SAD(a, 0, 0, b, c.bx, c.by, 8), c.expect);

  // Another block size is rejected, but only once the block lies inside.
  EXPECT_EQ(cvalgo::Error_SAD(a, 0, 0, b, 4, 4, 16), -1);
  ExpectAssertion([&] { cvalgo::Error_SAD(a, 0, 0, b, 0, 0, 16); }, "blocksize==8");
  ExpectAssertion([&] { cvalgo::Error_SAD(a, 0, 0, b, 0, 0, 4); }, "blocksize==8");
}

TEST(SimMatSAD, FlaggedSumKernelsAgree) {
  std::mt19937 rng(11);
  std::vector<Pixel> row(300), flags(300);
  for (int round = 0; round < 500; round++) {
    const int n = round < 40 ? round : int(rng() % 300);
    const int mode = round % 4;
    for (int j = 0; j < 300; j++) {
      row[j] = Pixel(mode == 0 ? 255 : rng());
      flags[j] = Pixel(mode == 1 ? 1 : mode == 2 ? rng() : rng() % 2);  // any non-zero counts
    }
    uint32_t expect = 0;
    for (int j = 0; j < n; j++) expect += flags[j] ? row[j] : 0;
    ASSERT_EQ(cvalgo::SumFlagged_C(row.data(), flags.data(), n), expect);
#if defined(__SSE2__)
    ASSERT_EQ(cvalgo::SumFlagged_SSE2(row.data(), flags.data(), n), expect) << "n " << n;
#endif
  }
}

TEST(SimMat, DefaultsAndName) {
  BackgroundSynthesizer_SimMat s;
  EXPECT_STREQ(s.AskAlgorithmName(), "similarity matrix decomposition");
  EXPECT_TRUE(s.SetHistoryLength(7));
  EXPECT_EQ(s.AskStored(), 0);
  EXPECT_EQ(s.AskRingIndex(), -1);
}

TEST(SimMat, SimilarityFallsByTenPerUnitOfDifference) {
  const struct { int diff, similarity; } cases[] = {
      {0, 255}, {1, 245}, {13, 125}, {25, 5}, {26, 0}, {200, 0},
  };
  for (const auto& c : cases) {
    BackgroundSynthesizer_SimMat s;
    s.ShareImage(Uniform(16, 8, 20));
    s.ShareImage(Uniform(16, 8, 20 + c.diff));  // uniform blocks never count as moved
    for (int bx = 0; bx < 2; bx++) {
      EXPECT_EQ(MatrixEntry(s, bx, 0, 0, 1), c.similarity) << c.diff;
      EXPECT_EQ(MatrixEntry(s, bx, 0, 1, 0), c.similarity) << c.diff;
      EXPECT_EQ(MatrixEntry(s, bx, 0, 1, 1), 255);
      EXPECT_EQ(MatrixEntry(s, bx, 0, 0, 0), 255);
    }
  }
}

TEST(SimMat, WindowsNeedMoreThanFiveFramesAndSkipTheLastSlot) {
  // Slots 0 and 1 differ from everything, slots 2.. agree: window 0..4 is not stable, window
  // 1..5 is, but is tested only once a seventh frame is stored.
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(10);
  const Image<Pixel> first = Uniform(8, 8, 0);
  const Image<Pixel> second = Uniform(8, 8, 50);
  const Image<Pixel> rest = Uniform(8, 8, 100);
  Image<Pixel> out;
  s.ShareImage(first);
  s.ShareImage(second);
  for (int n = 3; n <= 7; n++) {
    s.ShareImage(rest);
    s.SynthesizeBackground(out);
    ExpectBlockFrom(out, n < 7 ? first : rest, 0, 0);
    Pixel flags[10];
    s.MarkStableFrames(flags, 0, 0, 5);
    for (int i = 0; i < n; i++)
      EXPECT_EQ(flags[i], n == 7 && i >= 1 && i <= 5 ? 1 : 0) << "stored " << n << " slot " << i;
  }
}

TEST(SimMat, NeverChangingBlockChoosesSlotZero) {
  // One sample changes per frame, too little to move the truncated mean difference.
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(9);
  std::vector<Image<Pixel>> frames;
  for (int t = 0; t < 9; t++) {
    frames.push_back(Frame(8, 8, [t](int x, int y) { return x == 3 && y == 5 ? 40 + 3 * t : 40 + x * 9 + y; }));
    s.ShareImage(frames.back());
  }
  for (int i = 0; i < 9; i++)
    for (int j = 0; j < 9; j++) ASSERT_EQ(MatrixEntry(s, 0, 0, i, j), 255);
  Image<Pixel> out;
  s.SynthesizeBackground(out);
  ExpectBlockFrom(out, frames[0], 0, 0);
  Pixel flags[9];
  s.MarkStableFrames(flags, 0, 0, 5);
  for (int i = 0; i < 9; i++) EXPECT_EQ(flags[i], i <= 7 ? 1 : 0) << i;

  // Once the ring wraps, slot 0 holds the newest frame and still wins the tie.
  const Image<Pixel> newest = Frame(8, 8, [](int x, int y) { return x == 0 && y == 0 ? 70 : x == 3 && y == 5 ? 40 : 40 + x * 9 + y; });
  s.ShareImage(newest);
  EXPECT_EQ(s.AskRingIndex(), 0);
  EXPECT_EQ(s.AskStored(), 9);
  s.SynthesizeBackground(out);
  ExpectBlockFrom(out, newest, 0, 0);
}

TEST(SimMat, MotionNeedsAnInexactBetterDisplacedMatch) {
  // A horizontal ramp shifted by one column: the displaced match is exact (e = 0) and does
  // not count; with an offset of 1 it is inexact and clearly better than e0, so it does.
  const LumaFn ramp = [](int x, int) { return 20 + 4 * x; };
  const LumaFn shifted = [](int x, int) { return 16 + 4 * x; };
  const LumaFn shiftedOffset = [](int x, int) { return 17 + 4 * x; };
  Bitmap<BackgroundSynthesizer_SimMat::BlockData> blocks;
  blocks.Create(4, 3);
  const struct { LumaFn next; Pixel moved; } cases[] = {
      {shifted, 0}, {shiftedOffset, 1}, {ramp, 0}, {[](int x, int) { return 21 + 4 * x; }, 0}};
  for (const auto& c : cases) {
    Clear(blocks, BackgroundSynthesizer_SimMat::BlockData{7, {7, 7}});
    BackgroundSynthesizer_SimMat::DetectBlockMotion(blocks, Frame(32, 24, c.next), Frame(32, 24, ramp), 8, 2);
    for (int by = 0; by < 3; by++) {
      for (int bx = 0; bx < 4; bx++) {
        const auto& bd = blocks.AskFrame()[by][bx];
        // Only blocks with room for a displacement of +1 to the right can match it.
        EXPECT_EQ(bd.moved, bx < 3 ? c.moved : 0) << bx << "," << by;
        EXPECT_EQ(bd.reserved[0], 0);
        EXPECT_EQ(bd.reserved[1], 0);
      }
    }
  }

  // A moved block has similarity 0 with every slot, itself included, and stays 0 against
  // later frames.
  BackgroundSynthesizer_SimMat s;
  s.ShareImage(Frame(32, 24, ramp));
  s.ShareImage(Frame(32, 24, shiftedOffset));
  s.ShareImage(Frame(32, 24, shiftedOffset));
  EXPECT_EQ(MatrixEntry(s, 0, 0, 0, 0), 255);
  EXPECT_EQ(MatrixEntry(s, 0, 0, 1, 1), 0);
  EXPECT_EQ(MatrixEntry(s, 0, 0, 0, 1), 0);
  EXPECT_EQ(MatrixEntry(s, 0, 0, 1, 2), 0);
  EXPECT_EQ(MatrixEntry(s, 0, 0, 2, 1), 0);
  EXPECT_EQ(MatrixEntry(s, 0, 0, 2, 2), 255);
  EXPECT_EQ(MatrixEntry(s, 0, 0, 0, 2), 255 - 30);  // mean difference 3
  EXPECT_EQ(MatrixEntry(s, 3, 0, 1, 1), 255);        // the right edge block did not move
}

TEST(SimMat, PartialBlocksGetTheUnknownColour) {
  BackgroundSynthesizer_SimMat s;
  s.SetUnknownColor(Color(1, 2, 3, 4));
  const Image<Pixel> f = Frame(356, 20, [](int x, int y) { return (x * 7 + y * 3) & 255; });
  s.ShareImage(f);
  EXPECT_EQ(s.AskBlocksAcross(), 44);
  EXPECT_EQ(s.AskBlocksDown(), 2);
  Image<Pixel> out;
  s.SynthesizeBackground(out);
  EXPECT_EQ(out.AskParam().colorspace, Colorspace_YUV);
  EXPECT_EQ(out.AskParam().chroma, Chroma_444);
  ASSERT_EQ(out.AskWidth(), 356);
  ASSERT_EQ(out.AskHeight(), 20);
  for (int y = 0; y < 20; y++) {
    for (int x = 0; x < 356; x++) {
      const bool grid = x < 352 && y < 16;
      for (int p = 0; p < 3; p++)
        ASSERT_EQ(out.AskBitmap(p).AskFrame()[y][x],
                  grid ? f.AskBitmap(p).AskFrame()[y][x] : Color(1, 2, 3, 4)[p]) << x << "," << y;
      ASSERT_EQ(out.AskFrameA()[y][x], grid ? 255 : 4);
    }
  }
}

TEST(SimMat, SettersOnlyBeforeTheFirstFrame) {
  BackgroundSynthesizer_SimMat s;
  ExpectAssertion([&] { s.SetHistoryLength(0); }, "length >= 1");
  ExpectAssertion([&] { s.SetHistoryLength(-3); }, "length >= 1");
  ExpectAssertion([&] { s.SetBlocksize(0); }, "size >= 1");
  EXPECT_TRUE(s.SetHistoryLength(6));
  s.ShareImage(Uniform(16, 16, 9));
  ExpectAssertion([&] { s.SetHistoryLength(8); }, "cannot change history length on the fly");
  ExpectAssertion([&] { s.SetBlocksize(8); }, "cannot change block-size on the fly");
  for (int t = 0; t < 8; t++) s.ShareImage(Uniform(16, 16, 9));
  EXPECT_EQ(s.AskStored(), 6);  // the length stayed 6

  s.Reset();
  EXPECT_EQ(s.AskStored(), 0);
  EXPECT_EQ(s.AskRingIndex(), -1);
  ExpectAssertion([&] { s.SetHistoryLength(0); }, "length >= 1");
  EXPECT_TRUE(s.SetHistoryLength(3));
  s.SetBlocksize(8);
  for (int t = 0; t < 5; t++) s.ShareImage(Uniform(16, 16, 9));
  EXPECT_EQ(s.AskStored(), 3);
}

TEST(SimMat, OtherBlockSizesFailAtTheFirstComparison) {
  BackgroundSynthesizer_SimMat s;
  s.SetBlocksize(16);
  ExpectAssertion([&] { s.ShareImage(Uniform(32, 16, 1)); }, "blocksize==8");
  EXPECT_EQ(s.AskStored(), 1);  // the frame was stored first
  ExpectAssertion([&] { s.SetBlocksize(8); }, "cannot change block-size on the fly");

  // Frames smaller than one block have nothing to compare.
  BackgroundSynthesizer_SimMat tiny;
  tiny.SetBlocksize(16);
  tiny.ShareImage(Uniform(8, 8, 1));
  Image<Pixel> out;
  tiny.SynthesizeBackground(out);
  EXPECT_EQ(out.AskFrameY()[7][7], 255);  // unknown colour
  EXPECT_EQ(out.AskFrameA()[0][0], 0);
}

TEST(SimMat, NoBackgroundWithoutFrames) {
  BackgroundSynthesizer_SimMat s;
  Image<Pixel> out;
  ExpectAssertion([&] { s.SynthesizeBackground(out); },
                  "cannot synthesize background without input images");
  EXPECT_TRUE(out.IsEmpty());
  s.ShareImage(Uniform(8, 8, 3));
  s.SynthesizeBackground(out);
  EXPECT_EQ(out.AskFrameY()[0][0], 3);
  s.Reset();
  ExpectAssertion([&] { s.SynthesizeBackground(out); },
                  "cannot synthesize background without input images");
  ExpectAssertion([&] { s.AskSimilarityMatrixImage(out, 0, 0); },
                  "bx >= 0 && bx < d_across && by >= 0 && by < d_down");
}

// What the synthesizer holds goes back on a reset and when it goes, and a ring that wraps lets
// each slot's old frame make room for the new one: a budget that carried the first round
// carries every later one.
TEST(SimMat, BudgetIsGivenBackAndCarriesTheRing) {
  cvalgo::MemoryBudget budget;
  auto s = std::make_unique<BackgroundSynthesizer_SimMat>();
  s->SetHistoryLength(3);
  s->SetMemoryBudget(&budget);
  for (int i = 0; i < 3; i++) s->ShareImage(Uniform(16, 16, i));
  cvalgo::MemoryBudget tight(budget.AskHeld());
  s->Reset();
  EXPECT_EQ(budget.AskHeld(), 0u);
  s->ShareImage(Uniform(16, 16, 9));
  s.reset();
  EXPECT_EQ(budget.AskHeld(), 0u);
  BackgroundSynthesizer_SimMat ring;
  ring.SetHistoryLength(3);
  ring.SetMemoryBudget(&tight);
  for (int i = 0; i < 10; i++) ring.ShareImage(Uniform(16, 16, i));
  EXPECT_EQ(tight.AskHeld(), tight.AskLimit());
}

// Matrices beyond the machine's memory are refused before any is made, and the synthesizer
// stays usable with a shorter history.
TEST(SimMat, HistoryWhoseMatricesExceedTheMemoryIsRefused) {
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(1000000);  // 4 blocks of 10^12 bytes each
  try {
    s.ShareImage(Uniform(16, 16, 3));
    ADD_FAILURE() << "no refusal";
  } catch (const pixkit::Excpt_Assertion&) {
    ADD_FAILURE() << "refused as misuse";
  } catch (const pixkit::Excpt_Text& e) {
    char text[pixkit::c_MaxTextLen + 1];
    e.GetText(text, sizeof text);
    EXPECT_NE(std::string(text).find("the similarity matrices for a history of 1000000 frames "
                                     "of 2 x 2 blocks need 3814697 MB, more than the "),
              std::string::npos)
        << text;
  }
  s.Reset();
  s.SetHistoryLength(10);
  s.ShareImage(Uniform(16, 16, 3));
  Image<Pixel> out;
  s.SynthesizeBackground(out);
  EXPECT_EQ(out.AskFrameY()[0][0], 3);
}

TEST(SimMat, ChangedFrameFormatStartsANewBackground) {
  RecordingDisplay display;
  MessageDisplay::SetStandardDisplay(&display);
  BackgroundSynthesizer_SimMat s;
  s.ShareImage(Uniform(16, 16, 10));
  s.ShareImage(Uniform(16, 16, 10));
  s.ShareImage(Uniform(24, 8, 60));
  EXPECT_EQ(s.AskStored(), 1);
  EXPECT_EQ(s.AskBlocksAcross(), 3);
  EXPECT_EQ(s.AskBlocksDown(), 1);
  Image<Pixel> out;
  s.SynthesizeBackground(out);
  EXPECT_EQ(out.AskWidth(), 24);
  EXPECT_EQ(out.AskFrameY()[7][23], 60);

  // A different colour space counts too, even at the same size.
  Image<Pixel> rgb = Uniform(24, 8, 70);
  ImageParam p = rgb.AskParam();
  p.colorspace = Colorspace_RGB;
  rgb.SetParam(p);
  s.ShareImage(rgb);
  EXPECT_EQ(s.AskStored(), 1);
  static MessageDisplay_cerr standard;
  MessageDisplay::SetStandardDisplay(&standard);

  ASSERT_EQ(display.messages.size(), 2u);
  for (const auto& m : display.messages) {
    EXPECT_EQ(m.first, ErrSev_Warning);
    EXPECT_EQ(m.second, "frame size changed, starting a new background");
  }

  // Subsampled chroma would be read outside its planes: refused, nothing changes.
  Image<Pixel> sub;
  ImageParam q = testsupport::YUVParam(24, 8, Chroma_444, true);
  q.chroma = Chroma_420;
  sub.Create(q);
  ExpectAssertion([&] { s.ShareImage(sub); },
                  "input images must not have subsampled chroma format for the "
                  "similarity-matrix background synthesizer");
  EXPECT_EQ(s.AskStored(), 1);
}

TEST(SimMat, PutImageCopiesShareImageShares) {
  BackgroundSynthesizer_SimMat s;
  Image<Pixel> put = Uniform(8, 8, 30);
  s.PutImage(put);
  Clear(put, Color(99, 99, 99, 99));
  Image<Pixel> out;
  s.SynthesizeBackground(out);
  EXPECT_EQ(out.AskFrameY()[4][4], 30);

  BackgroundSynthesizer_SimMat t;
  const Image<Pixel> shared = Uniform(8, 8, 40);
  t.ShareImage(shared);
  EXPECT_EQ(shared.AskBitmapY().AskBitmapProvider()->AskRefCntr(), 2);
  t.Reset();
  EXPECT_EQ(shared.AskBitmapY().AskBitmapProvider()->AskRefCntr(), 1);
}

TEST(SimMat, MatchesTheLiteralModelOnAMovingScene) {
  // Textured background, two textured squares moving at different speeds, sensor noise and
  // one lighting change; a ring of 12 that wraps more than twice.
  const int w = 75, h = 61, H = 12;
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(H);
  simmat_reference::Model model(H);
  std::vector<Image<Pixel>> slots(H);
  int movedSeen = 0, flaggedSeen = 0, laterChoices = 0;
  for (int t = 0; t < 32; t++) {
    const Image<Pixel> f = Frame(w, h, [t](int x, int y) {
      const int ax = 2 * t - 10, ay = 5 + t / 2, bx = 60 - 3 * t / 2, by = 30;
      if (x >= ax && x < ax + 14 && y >= ay && y < ay + 12) return int(Hash(x - ax + 31 * (y - ay)) % 200);
      if (x >= bx && x < bx + 10 && y >= by && y < by + 16) return 30 + int(Hash(7 * (x - bx) + y) % 90);
      const int light = t >= 20 && t < 23 ? 18 : 0;
      return 40 + light + int(Hash(x * 977 + y * 131) % 150) + int(Hash(x + 1000 * y + 77777 * t) % 5);
    });
    s.ShareImage(f);
    model.ShareImage(f);
    slots[size_t(s.AskRingIndex())] = f;
    ASSERT_EQ(s.AskStored(), model.Stored());

    Image<Pixel> out, expect;
    s.SynthesizeBackground(out);
    expect.Create(out.AskParam());
    model.Synthesize(expect);
    for (int by = 0; by < model.Down(); by++) {
      for (int bx = 0; bx < model.Across(); bx++) {
        ExpectBlockFrom(out, expect, bx, by);
        laterChoices += out.AskFrameY()[by * 8][bx * 8] != slots[0].AskFrameY()[by * 8][bx * 8];
        Image<Pixel> m;
        s.AskSimilarityMatrixImage(m, bx, by);
        for (int i = 0; i < H; i++)
          for (int j = 0; j < H; j++)
            ASSERT_EQ(m.AskFrameY()[i][j], model.Matrix(bx, by, i, j)) << t << " " << i << "," << j;
        movedSeen += model.Matrix(bx, by, s.AskRingIndex(), s.AskRingIndex()) == 0;

        // The kept window sums and a direct count give the same flags, for any window.
        for (int n : {3, 5, 7}) {
          Pixel flags[H];
          s.MarkStableFrames(flags, bx, by, n);
          std::vector<Pixel> direct(H, 0);
          for (int i = 0; i < s.AskStored() - n; i++) {
            int S = 0;
            for (int a = 0; a < n; a++)
              for (int b = 0; b < n; b++) S += m.AskFrameY()[i + a][i + b];
            if (S > n * n * 128) std::fill(direct.begin() + i, direct.begin() + i + n, 1);
          }
          for (int i = 0; i < s.AskStored(); i++) {
            ASSERT_EQ(flags[i], direct[i]) << "n " << n << " slot " << i;
            if (n == 5) {
              ASSERT_EQ(flags[i], model.Flags(bx, by)[i]);
              flaggedSeen += flags[i];
            }
          }
        }
      }
    }
  }
  // The scene exercises the motion rule, stable runs and choices of other slots.
  EXPECT_GT(movedSeen, 10);
  EXPECT_GT(flaggedSeen, 1000);
  EXPECT_GT(laterChoices, 100);
}

TEST(SimMat, SelectionEnergyAndItsDelta) {
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(4);
  for (int t = 0; t < 4; t++) s.ShareImage(Uniform(8, 8, 10 + 3 * t));
  Image<Pixel> m;
  s.AskSimilarityMatrixImage(m, 0, 0);
  const Pixel* const* M = m.AskFrameY();
  // Mean differences 3, 6, 9 give 225, 195, 165.
  EXPECT_EQ(M[0][1], 225);
  EXPECT_EQ(M[0][3], 165);

  const Pixel selected[4] = {1, 1, 0, 0};
  const int weight[4] = {256, 256, 512, 256};
  // Pair 0-1 both selected: 170 - 225. Others: M x wi x wj >> 16.
  const int64_t expect = (170 - 225) + ((195 * 256 * 512) >> 16) + ((165 * 256 * 256) >> 16) +
                         ((225 * 256 * 512) >> 16) + ((195 * 256 * 256) >> 16) +
                         ((225 * 512 * 256) >> 16);
  EXPECT_EQ(s.SelectionEnergy(M, selected, weight), expect);

  std::mt19937 rng(3);
  for (int round = 0; round < 200; round++) {
    Pixel sel[4];
    int wt[4];
    for (int i = 0; i < 4; i++) {
      sel[i] = Pixel(rng() % 2);
      wt[i] = int(rng() % 2000) - 500;
    }
    const int k = int(rng() % 4);
    Pixel toggled[4] = {sel[0], sel[1], sel[2], sel[3]};
    toggled[k] = !toggled[k];
    ASSERT_EQ(s.SelectionEnergyDelta(M, sel, wt, k),
              s.SelectionEnergy(M, toggled, wt) - s.SelectionEnergy(M, sel, wt));
  }
}

TEST(SimMat, MatrixImageAndTextDump) {
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(3);
  s.ShareImage(Uniform(16, 8, 0));
  s.ShareImage(Uniform(16, 8, 20));
  Image<Pixel> m;
  s.AskSimilarityMatrixImage(m, 1, 0);
  EXPECT_EQ(m.AskParam().colorspace, Colorspace_Greyscale);
  EXPECT_EQ(m.AskWidth(), 3);
  EXPECT_EQ(m.AskHeight(), 3);
  EXPECT_TRUE(m.AskBitmap(1).IsEmpty());
  ExpectAssertion([&] { s.AskSimilarityMatrixImage(m, 2, 0); },
                  "bx >= 0 && bx < d_across && by >= 0 && by < d_down");

  Bitmap<Pixel> bm;
  bm.Create(2, 2);
  bm.AskFrame()[0][0] = 1;
  bm.AskFrame()[0][1] = 2;
  bm.AskFrame()[1][0] = 30;
  bm.AskFrame()[1][1] = 255;
  testing::internal::CaptureStdout();
  BackgroundSynthesizer_SimMat::DumpBitmapText(bm);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "0;0 1\n1;0 2\n0;1 30\n1;1 255\n");
}

TEST(SimMat, GreyscaleFramesGiveNeutralChroma) {
  ImageParam p;
  p.width = 16;
  p.height = 8;
  p.colorspace = Colorspace_Greyscale;
  Image<Pixel> grey;
  grey.Create(p);
  Clear(grey, Color(77, 0, 0, 0));
  BackgroundSynthesizer_SimMat s;
  s.ShareImage(grey);
  s.ShareImage(grey);
  Image<Pixel> out;
  s.SynthesizeBackground(out);
  EXPECT_EQ(out.AskParam().colorspace, Colorspace_YUV);
  EXPECT_TRUE(out.AskBitmapA().IsEmpty());
  EXPECT_EQ(out.AskFrameY()[7][15], 77);
  EXPECT_EQ(out.AskFrameU()[7][15], 128);
  EXPECT_EQ(out.AskFrameV()[0][0], 128);
}

TEST(SimMat, MatrixRGBMarksTheStableSlots) {
  // Seven frames, the last one 20 brighter: windows 0..4 and 1..5 are stable, slot 6 is not.
  BackgroundSynthesizer_SimMat s;
  s.SetHistoryLength(8);
  for (int t = 0; t < 7; t++) s.ShareImage(Uniform(8, 8, t < 6 ? 50 : 70));
  Image<Pixel> out, rgb;
  s.AskSimilarityMatrixRGB(rgb, 0, 0);
  EXPECT_EQ(rgb.AskFrameR()[7][0], 0);  // no synthesis yet: nothing flagged
  s.SynthesizeBackground(out);
  s.AskSimilarityMatrixRGB(rgb, 0, 0);
  EXPECT_EQ(rgb.AskParam().colorspace, Colorspace_RGB);
  ASSERT_EQ(rgb.AskWidth(), 8);
  ASSERT_EQ(rgb.AskHeight(), 8);
  const struct { int x, y; Pixel r, g, b; } cases[] = {
      {2, 2, 255, 255, 255},  // similarity of equal frames
      {6, 0, 55, 120, 55},    // unflagged column 6, flagged row 0, similarity 55
      {0, 6, 120, 55, 55},
      {6, 6, 255, 255, 255},
      {3, 7, 120, 0, 0},      // the red column runs down to row `stored`
      {7, 3, 0, 120, 0},
      {6, 7, 0, 0, 0},
      {7, 7, 0, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rgb.AskFrameR()[c.y][c.x], c.r) << c.x << "," << c.y;
    EXPECT_EQ(rgb.AskFrameG()[c.y][c.x], c.g) << c.x << "," << c.y;
    EXPECT_EQ(rgb.AskFrameB()[c.y][c.x], c.b) << c.x << "," << c.y;
  }
}
