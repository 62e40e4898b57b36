#include "cvalgo/background.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cvalgo/background_simmat.h"
#include "cvalgo/internal_running_kernels.h"
#include "libpixkit/graphics/color/colorspace.h"
#include "tests/support/sequence.h"

using namespace cvalgo;
using pixkit::Image;
using pixkit::ImageParam;

namespace {

ImageParam Param(int w, int h, bool alpha, pixkit::ChromaFormat chroma = pixkit::Chroma_444,
                 pixkit::Colorspace cs = pixkit::Colorspace_YUV) {
  ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = cs;
  p.chroma = chroma;
  p.has_alpha = alpha;
  return p;
}

// A 4:4:4 frame of one colour; alpha only when given.
Image<Pixel> Frame(int w, int h, Pixel y, Pixel u, Pixel v, int alpha = -1) {
  Image<Pixel> img;
  img.Create(Param(w, h, alpha >= 0));
  pixkit::Clear(img, Color(y, u, v, Pixel(alpha < 0 ? 0 : alpha)));
  return img;
}

Pixel At(const Image<Pixel>& img, int plane, int x, int y) {
  return img.AskBitmap(plane).AskFrame()[y][x];
}

void Set(Image<Pixel>& img, int plane, int x, int y, Pixel v) {
  img.AskBitmap(plane).AskFrame()[y][x] = v;
}

// Runs f and returns the text of the assertion it throws, or "" when it throws none.
std::string AssertionText(const std::function<void()>& f) {
  try {
    f();
  } catch (const pixkit::Excpt_Assertion& e) {
    char buf[1000];
    e.GetText(buf, sizeof buf);
    return buf;
  }
  return "";
}

const char c_NoImages[] = "(cannot synthesize background without input images)";

// Collects what the synthesizers show, and puts the standard display back afterwards.
class CapturingDisplay : public pixkit::MessageDisplay {
 public:
  CapturingDisplay() { pixkit::MessageDisplay::SetStandardDisplay(this); }
  ~CapturingDisplay() override { pixkit::MessageDisplay::SetStandardDisplay(&s_cerr); }
  void ShowMessage(pixkit::ErrorSeverity sev, const char* text) override {
    messages.push_back({sev, text});
  }
  void ShowException(const pixkit::Excpt_Base&) override {}

  std::vector<std::pair<pixkit::ErrorSeverity, std::string>> messages;

 private:
  static pixkit::MessageDisplay_cerr s_cerr;
};
pixkit::MessageDisplay_cerr CapturingDisplay::s_cerr;

// Sends every synthesizer through the given rows while it lives.
struct RowsFor {
  explicit RowsFor(RowKind kind) { g_widest_rows = kind; }
  ~RowsFor() { g_widest_rows = RowKind::AVX2; }
};

std::unique_ptr<BackgroundSynthesizer> MakeMode(int fuzzyness) {
  auto m = std::make_unique<BackgroundSynthesizer_Mode>();
  m->SetFuzzyness(fuzzyness);
  return m;
}

// Every synthesizer of this unit, for the checks they all share.
std::vector<std::unique_ptr<BackgroundSynthesizer>> AllSynthesizers() {
  std::vector<std::unique_ptr<BackgroundSynthesizer>> all;
  all.push_back(std::make_unique<BackgroundSynthesizer_Aging>());
  all.push_back(std::make_unique<BackgroundSynthesizer_FirstLast>(false));
  all.push_back(std::make_unique<BackgroundSynthesizer_FirstLast>(true));
  all.push_back(std::make_unique<BackgroundSynthesizer_SimpleAverage>());
  all.push_back(std::make_unique<BackgroundSynthesizer_SimpleMedian>());
  all.push_back(std::make_unique<BackgroundSynthesizer_Median>());
  all.push_back(std::make_unique<BackgroundSynthesizer_Average>());
  all.push_back(MakeMode(0));  // a single frame is then its own mode
  return all;
}

}  // namespace

TEST(BackgroundSynthesizer, NamesAndHistorySupport) {
  const char* const names[] = {"background aging (uniform)",
                               "use first observed pixels",
                               "collect most recent changes",
                               "averaging filter",
                               "median filter",
                               "median filter (considering alpha channel)",
                               "averaging filter (considering alpha channel)",
                               "mode filter (considering alpha channel)"};
  const bool keepsHistory[] = {false, false, false, true, true, true, true, true};
  auto all = AllSynthesizers();
  for (size_t i = 0; i < all.size(); i++) {
    EXPECT_STREQ(all[i]->AskAlgorithmName(), names[i]);
    EXPECT_EQ(all[i]->SetHistoryLength(7), keepsHistory[i]) << names[i];
  }
}

TEST(BackgroundSynthesizer, SynthesisWithoutFramesThrows) {
  for (auto& s : AllSynthesizers()) {
    Image<Pixel> out;
    EXPECT_NE(AssertionText([&] { s->SynthesizeBackground(out); }).find(c_NoImages),
              std::string::npos)
        << s->AskAlgorithmName();
    EXPECT_TRUE(out.IsEmpty());
    s->ShareImage(Frame(4, 3, 10, 20, 30, 255));
    s->SynthesizeBackground(out);
    EXPECT_FALSE(out.IsEmpty());
    s->Reset();
    EXPECT_NE(AssertionText([&] { s->SynthesizeBackground(out); }).find(c_NoImages),
              std::string::npos)
        << s->AskAlgorithmName();
  }
}

// A frame of another size, colour space or chroma format starts a new background with one warning.
TEST(BackgroundSynthesizer, ChangedFrameLayoutStartsOver) {
  for (auto& s : AllSynthesizers()) {
    s->ShareImage(Frame(8, 6, 10, 20, 30, 255));
    s->ShareImage(Frame(8, 6, 10, 20, 30, 255));
    CapturingDisplay display;
    s->ShareImage(Frame(5, 9, 100, 110, 120, 255));
    ASSERT_EQ(display.messages.size(), 1u) << s->AskAlgorithmName();
    EXPECT_EQ(display.messages[0].first, pixkit::ErrSev_Warning);
    EXPECT_NE(display.messages[0].second.find("frame size changed"), std::string::npos);

    Image<Pixel> out;
    s->SynthesizeBackground(out);
    ASSERT_EQ(out.AskWidth(), 5);
    ASSERT_EQ(out.AskHeight(), 9);
    for (int p = 0; p < 3; p++)
      for (int y = 0; y < 9; y++)
        for (int x = 0; x < 5; x++) ASSERT_EQ(At(out, p, x, y), 100 + 10 * p) << s->AskAlgorithmName();

    Image<Pixel> rgb;
    rgb.Create(Param(5, 9, true, pixkit::Chroma_444, pixkit::Colorspace_RGB));
    pixkit::Clear(rgb, Color(1, 2, 3, 255));
    s->ShareImage(rgb);
    s->ShareImage(rgb);
    EXPECT_EQ(display.messages.size(), 2u) << s->AskAlgorithmName();
    s->SynthesizeBackground(out);
    EXPECT_EQ(out.AskParam().colorspace, pixkit::Colorspace_RGB);
    EXPECT_EQ(At(out, 2, 4, 8), 3);
  }
  // The history family reads 4:2:0 too; a switch to 4:4:4 of the same size starts over.
  BackgroundSynthesizer_SimpleAverage avg;
  Image<Pixel> f420;
  f420.Create(Param(8, 6, true, pixkit::Chroma_420));
  pixkit::Clear(f420, Color(50, 60, 70, 255));
  avg.ShareImage(f420);
  CapturingDisplay display;
  avg.ShareImage(Frame(8, 6, 10, 20, 30, 255));
  EXPECT_EQ(display.messages.size(), 1u);
  Image<Pixel> out;
  avg.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 1, 7, 5), 20);
}

TEST(BackgroundSynthesizer_Aging, FixedPointBlend) {
  const struct {
    double factor;
    Pixel old, fresh, expected;
  } cases[] = {
      {0.95, 100, 200, 105}, {0.95, 200, 100, 195}, {0.95, 0, 255, 13}, {0.95, 255, 0, 242},
      {1.0, 17, 240, 17},    {0.0, 17, 240, 240},   {0.5, 0, 1, 1},     {0.5, 1, 0, 1},
  };
  for (const auto& c : cases) {
    BackgroundSynthesizer_Aging aging;
    aging.SetAgingFactor(c.factor);
    aging.ShareImage(Frame(3, 2, c.old, c.old, c.old, 255));
    aging.PutImage(Frame(3, 2, c.fresh, c.fresh, c.fresh, 0));
    Image<Pixel> out;
    aging.SynthesizeBackground(out);
    for (int p = 0; p < 3; p++)
      EXPECT_EQ(At(out, p, 2, 1), c.expected) << c.factor << " " << int(c.old) << " " << int(c.fresh);
    // The alpha plane stays that of the first frame, transparent frames blend all the same.
    EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 2, 1), 255);
  }
}

TEST(BackgroundSynthesizer_Aging, FirstFrameIsCopiedAndFactorsOutsideRangeRejected) {
  BackgroundSynthesizer_Aging aging;
  Image<Pixel> first = Frame(4, 4, 1, 2, 3, 77);
  Set(first, 0, 3, 3, 99);
  aging.ShareImage(first);
  Clear(first, Color(0, 0, 0, 0));  // the synthesizer must hold its own copy
  Image<Pixel> out;
  aging.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 3, 3), 99);
  EXPECT_EQ(At(out, 0, 0, 0), 1);
  EXPECT_EQ(At(out, 2, 0, 0), 3);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 1), 77);
  // The background handed out is a copy too.
  Set(out, 0, 0, 0, 200);
  Image<Pixel> again;
  aging.SynthesizeBackground(again);
  EXPECT_EQ(At(again, 0, 0, 0), 1);

  for (double bad : {-0.01, 1.01}) {
    EXPECT_NE(AssertionText([&] { aging.SetAgingFactor(bad); }).find("aging factor"),
              std::string::npos);
  }
}

TEST(BackgroundSynthesizer_FirstLast, FirstModeKeepsFirstVisibleSample) {
  BackgroundSynthesizer_FirstLast first(false);
  first.SetUnknownColor(Color(9, 8, 7, 0));
  // Pixel (1,0) is transparent in frames 1 to 3, (2,0) is barely visible (alpha 1) from frame 1.
  for (int f = 1; f <= 6; f++) {
    Image<Pixel> img = Frame(3, 2, Pixel(10 * f), Pixel(10 * f + 1), Pixel(10 * f + 2), 0);
    Set(img, pixkit::Bitmap_Alpha, 1, 0, f >= 4 ? 254 : 0);
    Set(img, pixkit::Bitmap_Alpha, 2, 0, 1);
    first.ShareImage(img);
  }
  Image<Pixel> out;
  first.SynthesizeBackground(out);
  for (int p = 0; p < 3; p++) {
    EXPECT_EQ(At(out, p, 1, 0), 40 + p);
    EXPECT_EQ(At(out, p, 2, 0), 10 + p);
    EXPECT_EQ(At(out, p, 0, 1), 9 - p);  // never visible: unknown colour
  }
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 0), 255);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 2, 0), 255);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 0, 1), 0);
}

TEST(BackgroundSynthesizer_FirstLast, LastModeTakesLatestVisibleSample) {
  BackgroundSynthesizer_FirstLast last(true);
  last.SetUnknownColor(Color(9, 8, 7, 6));
  for (int f = 1; f <= 3; f++) {
    Image<Pixel> img = Frame(3, 2, Pixel(10 * f), Pixel(10 * f + 1), Pixel(10 * f + 2), 255);
    Set(img, pixkit::Bitmap_Alpha, 0, 0, f == 3 ? 0 : 2);  // hidden in the last frame
    Set(img, pixkit::Bitmap_Alpha, 1, 1, 0);               // never visible
    last.ShareImage(img);
  }
  Image<Pixel> out;
  last.SynthesizeBackground(out);
  for (int p = 0; p < 3; p++) {
    EXPECT_EQ(At(out, p, 0, 0), 20 + p);
    EXPECT_EQ(At(out, p, 2, 1), 30 + p);
    EXPECT_EQ(At(out, p, 1, 1), 9 - p);
  }
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 0, 0), 255);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 1), 6);

  // Frames without alpha: the background is the latest frame, fully opaque.
  last.ShareImage(Frame(3, 2, 50, 51, 52));
  last.SynthesizeBackground(out);
  for (int p = 0; p < 3; p++) EXPECT_EQ(At(out, p, 1, 1), 50 + p);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 1), 255);
}

TEST(BackgroundSynthesizer_FirstLast, RejectedFrames) {
  // First mode needs alpha; the background exists afterwards, still unknown everywhere.
  BackgroundSynthesizer_FirstLast first(false);
  EXPECT_NE(AssertionText([&] { first.ShareImage(Frame(2, 2, 1, 2, 3)); })
                .find("no bitmap-provider attached to bitmap"),
            std::string::npos);
  Image<Pixel> out;
  first.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 1, 1), 255);
  EXPECT_EQ(At(out, 1, 1, 1), 128);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 1), 0);

  for (bool lastMode : {false, true}) {
    BackgroundSynthesizer_FirstLast s(lastMode);
    for (auto chroma : {pixkit::Chroma_420, pixkit::Chroma_422}) {
      Image<Pixel> sub;
      sub.Create(Param(4, 4, true, chroma));
      pixkit::Clear(sub, Color(1, 2, 3, 255));
      EXPECT_NE(AssertionText([&] { s.ShareImage(sub); })
                    .find("(input images must not have subsampled chroma format for the "
                          "first/last background synthesizer)"),
                std::string::npos);
      EXPECT_NE(AssertionText([&] { s.SynthesizeBackground(out); }).find(c_NoImages),
                std::string::npos);
    }
    // Only YUV chroma is subsampled: RGB and greyscale pass whatever the chroma field says.
    for (auto cs : {pixkit::Colorspace_RGB, pixkit::Colorspace_Greyscale}) {
      Image<Pixel> img;
      img.Create(Param(4, 4, true, pixkit::Chroma_420, cs));
      pixkit::Clear(img, Color(1, 2, 3, 255));
      EXPECT_NO_THROW(s.ShareImage(img));
      s.Reset();
    }
  }
}

TEST(BackgroundSynthesizer_Buffered, HistoryLength) {
  BackgroundSynthesizer_SimpleAverage avg;
  Image<Pixel> out;
  EXPECT_TRUE(avg.SetHistoryLength(0));
  avg.ShareImage(Frame(2, 2, 1, 1, 1));
  EXPECT_NE(AssertionText([&] { avg.SynthesizeBackground(out); }).find(c_NoImages),
            std::string::npos);

  // Frames 10, 20, ..., 100; lowering the length to 3 keeps 80, 90 and 100.
  avg.SetHistoryLength(10);
  for (int i = 1; i <= 10; i++) avg.ShareImage(Frame(2, 2, Pixel(10 * i), 0, 0));
  avg.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 0, 0), 55);
  avg.SetHistoryLength(3);
  avg.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 0, 0), 90);
  // Raising it again brings nothing back.
  avg.SetHistoryLength(10);
  avg.ShareImage(Frame(2, 2, 210, 0, 0));
  avg.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 0, 0), 120);

  EXPECT_NE(AssertionText([&] { avg.SetHistoryLength(-1); }).find("history length"),
            std::string::npos);
  BackgroundSynthesizer_Mode mode;
  EXPECT_NE(AssertionText([&] { mode.SetFuzzyness(-1); }).find("fuzzyness"), std::string::npos);
}

TEST(BackgroundSynthesizer_Buffered, ShareKeepsPlanesAndPutCopies) {
  BackgroundSynthesizer_SimpleAverage avg;
  Image<Pixel> shared = Frame(2, 2, 40, 0, 0);
  avg.ShareImage(shared);
  EXPECT_EQ(shared.AskBitmap(0).AskBitmapProvider()->AskRefCntr(), 2);
  Image<Pixel> put = Frame(2, 2, 60, 0, 0);
  avg.PutImage(put);
  EXPECT_EQ(put.AskBitmap(0).AskBitmapProvider()->AskRefCntr(), 1);
  Clear(put, Color(0, 0, 0));
  Image<Pixel> out;
  avg.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 1, 1), 50);
}

// Samples of one pixel in successive frames and the background value expected from them.
TEST(BackgroundSynthesizer_FromHistogram, SelectionExamples) {
  const struct {
    const char* what;
    std::function<std::unique_ptr<BackgroundSynthesizer>()> make;
    std::vector<int> samples;
    int expected;
  } cases[] = {
      {"median even", [] { return std::make_unique<BackgroundSynthesizer_Median>(); }, {40, 10, 30, 20}, 30},
      {"median odd", [] { return std::make_unique<BackgroundSynthesizer_Median>(); }, {30, 10, 20}, 20},
      {"simple median even", [] { return std::make_unique<BackgroundSynthesizer_SimpleMedian>(); }, {40, 10, 30, 20}, 30},
      {"average", [] { return std::make_unique<BackgroundSynthesizer_Average>(); }, {10, 11}, 10},
      {"simple average", [] { return std::make_unique<BackgroundSynthesizer_SimpleAverage>(); }, {10, 11}, 10},
      {"mode lowest full window", [] { return std::make_unique<BackgroundSynthesizer_Mode>(); }, {10, 20, 10, 20}, 10},
      {"mode edge bin counted per position", [] { return std::make_unique<BackgroundSynthesizer_Mode>(); }, {2, 0, 2, 2}, 2},
      {"mode median inside the window", [] { return std::make_unique<BackgroundSynthesizer_Mode>(); }, {200, 100, 101, 200, 102}, 101},
      {"mode upper edge", [] { return std::make_unique<BackgroundSynthesizer_Mode>(); }, {255, 250, 250}, 250},  // 255 twice at 253
      {"mode plain, lowest of ties", [] { return MakeMode(0); }, {9, 5, 7, 9, 5}, 5},
      {"mode window wider than the range", [] { return MakeMode(300); }, {0, 255, 255}, 255},
  };
  for (const auto& c : cases) {
    auto s = c.make();
    for (int v : c.samples) s->ShareImage(Frame(3, 2, Pixel(v), Pixel(v), Pixel(v), 255));
    Image<Pixel> out;
    s->SynthesizeBackground(out);
    for (int p = 0; p < 3; p++) EXPECT_EQ(At(out, p, 1, 1), c.expected) << c.what;
  }
}

// A still scene comes back unchanged, whatever its value and the fuzzyness, through the row
// kernels and through the per-pixel route.
TEST(BackgroundSynthesizer_Mode, StillSceneGivesItselfBack) {
  for (RowKind kind : {RowKind::AVX2, RowKind::C}) {
    RowsFor rows(kind);
    for (int f : {0, 1, 3, 10, 127, 255, 300})
      for (int v : {0, 1, 3, 118, 125, 128, 200, 252, 254, 255}) {
        auto mode = MakeMode(f);
        for (int i = 0; i < 4; i++)
          mode->ShareImage(Frame(19, 2, Pixel(v), Pixel(v), Pixel(v), 255));
        Image<Pixel> out;
        mode->SynthesizeBackground(out);
        for (int p = 0; p < 3; p++)
          ASSERT_EQ(At(out, p, 18, 1), v) << "fuzzyness " << f << " rows " << int(kind);
      }
  }
}

TEST(BackgroundSynthesizer_FromHistogram, OnlyOpaqueSamplesCount) {
  for (auto& s : AllSynthesizers()) {
    if (s->SetHistoryLength(10) == false) continue;
    const std::string name = s->AskAlgorithmName();
    if (name.find("alpha") == std::string::npos) continue;
    s->SetUnknownColor(Color(1, 2, 3, 4));
    // Pixel (0,0): alpha 254 and 0 only. Pixel (1,0): 20 with alpha 255, 200 with 254.
    Image<Pixel> a = Frame(2, 1, 200, 200, 200, 254);
    Set(a, pixkit::Bitmap_Alpha, 0, 0, 0);
    Image<Pixel> b = Frame(2, 1, 20, 20, 20, 255);
    Set(b, pixkit::Bitmap_Alpha, 0, 0, 254);
    s->ShareImage(a);
    s->ShareImage(b);
    s->ShareImage(a);
    Image<Pixel> out;
    s->SynthesizeBackground(out);
    for (int p = 0; p < 3; p++) {
      EXPECT_EQ(At(out, p, 0, 0), p + 1) << name;
      EXPECT_EQ(At(out, p, 1, 0), 20) << name;
    }
    EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 0, 0), 0) << name;
    EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 0), 255) << name;

    // A frame without alpha plane contributes all its samples.
    s->ShareImage(Frame(2, 1, 30, 30, 30));
    s->SynthesizeBackground(out);
    EXPECT_EQ(At(out, 0, 0, 0), 30) << name;
    EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 0, 0), 255) << name;
    // Samples 20 and 30: upper median, mean, lowest fullest window (fuzzyness 0).
    EXPECT_EQ(At(out, 0, 1, 0), name.find("averag") != std::string::npos ? 25
                                : name.find("mode") != std::string::npos  ? 20
                                                                          : 30)
        << name;

    Image<Pixel> f420;
    f420.Create(Param(4, 4, true, pixkit::Chroma_420));
    pixkit::Clear(f420, Color(1, 2, 3, 255));
    s->Reset();
    s->ShareImage(f420);
    EXPECT_NE(AssertionText([&] { s->SynthesizeBackground(out); })
                  .find("(input images must not have subsampled chroma format for the selected "
                        "background reconstructor)"),
              std::string::npos)
        << name;
    EXPECT_EQ(At(out, 0, 0, 0), 30) << name << ": a failed synthesis changed its output";
  }
}

TEST(BackgroundSynthesizer_SimpleFilters, AlphaPlaneOfTheOutput) {
  BackgroundSynthesizer_SimpleMedian median;
  median.ShareImage(Frame(2, 2, 5, 6, 7, 33));
  Image<Pixel> out;
  median.SynthesizeBackground(out);
  ASSERT_FALSE(out.AskBitmapA().IsEmpty());
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 1), 33);
  median.ShareImage(Frame(2, 2, 5, 6, 7, 33));
  median.SynthesizeBackground(out);
  EXPECT_TRUE(out.AskBitmapA().IsEmpty());
  EXPECT_FALSE(out.AskParam().has_alpha);

  // Averaging ignores alpha, so its output is opaque.
  BackgroundSynthesizer_SimpleAverage avg;
  avg.ShareImage(Frame(2, 2, 5, 6, 7, 0));
  avg.SynthesizeBackground(out);
  EXPECT_EQ(At(out, pixkit::Bitmap_Alpha, 1, 1), 255);
  EXPECT_EQ(At(out, 2, 1, 1), 7);
}

TEST(BackgroundSynthesizer_SimpleFilters, SubsampledChroma) {
  Image<Pixel> f;
  f.Create(Param(5, 3, false, pixkit::Chroma_420));
  for (auto* s : std::initializer_list<BackgroundSynthesizer*>{
           new BackgroundSynthesizer_SimpleAverage, new BackgroundSynthesizer_SimpleMedian}) {
    std::unique_ptr<BackgroundSynthesizer> owner(s);
    for (int v : {10, 20, 30}) {
      pixkit::Clear(f, Color(Pixel(v), Pixel(v + 1), Pixel(v + 2)));
      s->PutImage(f);
    }
    Image<Pixel> out;
    s->SynthesizeBackground(out);
    EXPECT_EQ(out.AskBitmap(1).AskWidth(), 3);
    EXPECT_EQ(At(out, 0, 4, 2), 20);
    EXPECT_EQ(At(out, 2, 2, 1), 22);
  }
}

// ---------------------------------------------------------------------------------------------
// Every history synthesizer against a plain per-pixel computation over the frames it holds.

namespace {

struct Reference {
  enum Kind { SimpleAverage, SimpleMedian, Median, Average, Mode } kind;
  int fuzzyness;
};

// Background value and known flag of one pixel of one plane.
std::pair<int, bool> ReferencePixel(const Reference& r, const std::deque<Image<Pixel>>& frames,
                                    int p, int x, int y) {
  const bool simple = r.kind == Reference::SimpleAverage || r.kind == Reference::SimpleMedian;
  std::vector<int> s;
  for (const auto& f : frames) {
    const bool valid = simple || f.AskBitmap(pixkit::Bitmap_Alpha).IsEmpty() || At(f, pixkit::Bitmap_Alpha, x, y) == 255;
    if (valid) s.push_back(At(f, p, x, y));
  }
  if (s.empty()) return {0, false};
  std::sort(s.begin(), s.end());
  switch (r.kind) {
    case Reference::SimpleMedian:
    case Reference::Median:
      return {s[s.size() / 2], true};
    case Reference::SimpleAverage:
    case Reference::Average: {
      unsigned sum = 0;
      for (int v : s) sum += unsigned(v);
      return {int(sum / s.size()), true};
    }
    case Reference::Mode: {
      int hist[256] = {0};
      for (int v : s) hist[v]++;
      int best = -1, bestv = 0;
      for (int v = 0; v < 256; v++) {
        int w = 0;
        for (int k = v - r.fuzzyness; k <= v + r.fuzzyness; k++) w += hist[std::clamp(k, 0, 255)];
        if (w > best) {
          best = w;
          bestv = v;
        }
      }
      std::vector<int> inside;
      for (int v : s)
        if (v >= bestv - r.fuzzyness && v <= bestv + r.fuzzyness) inside.push_back(v);
      return {inside[(inside.size() - 1) / 2], true};
    }
  }
  return {0, false};
}

std::unique_ptr<BackgroundSynthesizer> Make(const Reference& r) {
  switch (r.kind) {
    case Reference::SimpleAverage: return std::make_unique<BackgroundSynthesizer_SimpleAverage>();
    case Reference::SimpleMedian: return std::make_unique<BackgroundSynthesizer_SimpleMedian>();
    case Reference::Median: return std::make_unique<BackgroundSynthesizer_Median>();
    case Reference::Average: return std::make_unique<BackgroundSynthesizer_Average>();
    case Reference::Mode: return MakeMode(r.fuzzyness);
  }
  return nullptr;
}

// Random samples, bunched in a few places so that ties and windows matter; alpha mostly 255,
// often 0 or 254, some frames without alpha plane.
Image<Pixel> RandomFrame(std::mt19937& rng, int w, int h) {
  std::uniform_int_distribution<int> any(0, 255), pick(0, 9);
  const bool alpha = pick(rng) != 0;
  Image<Pixel> img;
  img.Create(Param(w, h, alpha));
  const int centre = any(rng);
  for (int p = 0; p < 4; p++) {
    if (img.AskBitmap(p).IsEmpty()) continue;
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const int k = pick(rng);
        int v;
        if (p == pixkit::Bitmap_Alpha)
          v = k < 6 ? 255 : k < 8 ? 0 : k < 9 ? 254 : any(rng);
        else
          v = k < 2 ? 0 : k < 3 ? 255 : k < 7 ? std::clamp(centre + pick(rng) - 4, 0, 255) : any(rng);
        Set(img, p, x, y, Pixel(v));
      }
  }
  return img;
}

}  // namespace

TEST(BackgroundSynthesizer_Buffered, MatchesPlainComputation) {
  const Reference refs[] = {{Reference::SimpleAverage, 0}, {Reference::SimpleMedian, 0},
                            {Reference::Median, 0},        {Reference::Average, 0},
                            {Reference::Mode, 0},          {Reference::Mode, 3},
                            {Reference::Mode, 12},         {Reference::Mode, 200},
                            {Reference::Mode, 255},        {Reference::Mode, 300}};
  const int w = 37, h = 5;  // odd sizes leave partial blocks in row kernels
  std::mt19937 rng(20240607);
  // 61 wraps the queue's ring, 300 the kernels' byte-wide counters.
  for (int history : {1, 2, 7, 50, 61, 300}) {
    std::vector<std::unique_ptr<BackgroundSynthesizer>> synths;
    for (const auto& r : refs) {
      synths.push_back(Make(r));
      synths.back()->SetHistoryLength(history);
      synths.back()->SetUnknownColor(Color(11, 22, 33, 44));
    }
    std::deque<Image<Pixel>> held;
    const int frames = history + 60;  // enough to wrap the ring
    for (int f = 0; f < frames; f++) {
      // Halfway a shorter history drops frames at once; later frames fill it up again.
      if (f == frames / 2) {
        const int shorter = history / 3;
        for (auto& s : synths) s->SetHistoryLength(shorter);
        while (int(held.size()) > shorter) held.pop_front();
        for (auto& s : synths) s->SetHistoryLength(history);
      }
      Image<Pixel> img = RandomFrame(rng, w, h);
      held.push_back(img);
      if (int(held.size()) > history) held.pop_front();
      for (auto& s : synths) s->ShareImage(img);
      if ((f % 13 != 12 || history > 255) && f != frames - 1 && f != frames / 2) continue;

      // The per-pixel route the row kernels stand in for.
      std::vector<const Pixel* const*> alphaRows, rows(held.size());
      for (const auto& frame : held)
        alphaRows.push_back(frame.AskBitmap(pixkit::Bitmap_Alpha).IsEmpty() ? nullptr
                                                                            : frame.AskFrameA());
      const bool useAlpha = std::any_of(alphaRows.begin(), alphaRows.end(),
                                        [](const Pixel* const* a) { return a != nullptr; });

      for (size_t k = 0; k < synths.size(); k++) {
        Image<Pixel> out;
        synths[k]->SynthesizeBackground(out);
        auto* pixelWise = dynamic_cast<BackgroundSynthesizer_PixelWise*>(synths[k].get());
        const bool simpleMedianCopy = refs[k].kind == Reference::SimpleMedian && held.size() == 1;
        for (int p = 0; p < 3; p++) {
          for (size_t i = 0; i < held.size(); i++) rows[i] = held[i].AskBitmap(p).AskFrame();
          for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
              const auto want = ReferencePixel(refs[k], held, p, x, y);
              if (pixelWise) {
                Pixel v = 0;
                ASSERT_EQ(pixelWise->CalcPixel(&v, alphaRows.data(), rows.data(), x, y,
                                               int(held.size()), useAlpha),
                          want.second);
                if (want.second) {
                  ASSERT_EQ(v, want.first);
                }
              }
              const int gotAlpha =
                  out.AskBitmapA().IsEmpty() ? -1 : At(out, pixkit::Bitmap_Alpha, x, y);
              ASSERT_EQ(At(out, p, x, y), want.second ? want.first : 11 * (p + 1))
                  << synths[k]->AskAlgorithmName() << " fuzzyness " << refs[k].fuzzyness
                  << " history " << history << " frame " << f << " plane " << p << " at "
                  << x << "," << y;
              if (refs[k].kind >= Reference::Median) {
                ASSERT_EQ(gotAlpha, want.second ? 255 : 0);
              } else if (simpleMedianCopy) {
                ASSERT_EQ(gotAlpha, held.front().AskBitmap(pixkit::Bitmap_Alpha).IsEmpty()
                                        ? -1
                                        : At(held.front(), pixkit::Bitmap_Alpha, x, y));
              }
            }
        }
      }
    }
  }
}

// Frames with a single plane go through the kernels on their own.
TEST(BackgroundSynthesizer_Buffered, GreyscaleMatchesPlainComputation) {
  const Reference refs[] = {{Reference::SimpleMedian, 0}, {Reference::Median, 0},
                            {Reference::Average, 0},      {Reference::Mode, 3}};
  const int w = 21, h = 3, history = 40;
  std::mt19937 rng(77);
  std::vector<std::unique_ptr<BackgroundSynthesizer>> synths;
  for (const auto& r : refs) {
    synths.push_back(Make(r));
    synths.back()->SetHistoryLength(history);
    synths.back()->SetUnknownColor(Color(11, 22, 33, 44));
  }
  std::deque<Image<Pixel>> held;
  for (int f = 0; f < history; f++) {
    Image<Pixel> yuv = RandomFrame(rng, w, h);
    Image<Pixel> grey;
    grey.Create(Param(w, h, !yuv.AskBitmapA().IsEmpty(), pixkit::Chroma_444,
                      pixkit::Colorspace_Greyscale));
    ASSERT_TRUE(grey.AskBitmap(1).IsEmpty());
    for (int p : {0, int(pixkit::Bitmap_Alpha)}) {
      if (grey.AskBitmap(p).IsEmpty()) continue;
      for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) Set(grey, p, x, y, At(yuv, p, x, y));
    }
    held.push_back(grey);
    for (auto& s : synths) s->ShareImage(grey);
  }
  for (size_t k = 0; k < synths.size(); k++) {
    Image<Pixel> out;
    synths[k]->SynthesizeBackground(out);
    EXPECT_TRUE(out.AskBitmap(1).IsEmpty());
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const auto want = ReferencePixel(refs[k], held, 0, x, y);
        ASSERT_EQ(At(out, 0, x, y), want.second ? want.first : 11)
            << synths[k]->AskAlgorithmName() << " at " << x << "," << y;
        if (refs[k].kind != Reference::SimpleMedian) {
          ASSERT_EQ(At(out, pixkit::Bitmap_Alpha, x, y), want.second ? 255 : 0);
        }
      }
  }
}

// The driver brings odd-sized 4:2:0 frames to 4:4:4, which gives chroma planes one sample
// wider and taller than the luma and alpha planes; only the frame's own grid is used, with and
// without an alpha plane.
TEST(BackgroundSynthesizer, OddSizedFramesBroughtTo444) {
  for (const auto& size : {std::pair<int, int>{45, 29}, {8, 9}, {9, 8}, {1, 1}}) {
    for (bool alpha : {true, false}) {
      const int w = size.first, h = size.second;
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + (alpha ? " with alpha" : ""));
      Image<Pixel> frame420;
      frame420.Create(Param(w, h, alpha, pixkit::Chroma_420));
      pixkit::Clear(frame420, Color(Pixel(60), Pixel(100), Pixel(140), Pixel(255)));
      Image<Pixel> frame;
      pixkit::ChangeChroma(frame, frame420, pixkit::Chroma_444);
      ASSERT_EQ(frame.AskBitmap(1).AskWidth(), (w + 1) / 2 * 2);  // wider than the luma

      CapturingDisplay display;  // the frames match: no new start
      std::vector<std::unique_ptr<BackgroundSynthesizer>> all = AllSynthesizers();
      all.push_back(std::make_unique<BackgroundSynthesizer_SimMat>());
      for (size_t i = 0; i < all.size(); i++) {
        SCOPED_TRACE(all[i]->AskAlgorithmName());
        const bool simmat = i + 1 == all.size();  // knows whole 8x8 blocks only
        if (!alpha && i == 1) continue;  // the first-mode synthesizer needs alpha
        for (int n = 0; n < 3; n++) all[i]->ShareImage(frame);
        Image<Pixel> bg;
        all[i]->SynthesizeBackground(bg);
        ASSERT_EQ(bg.AskParam().width, w);
        ASSERT_EQ(bg.AskParam().height, h);
        const int x = simmat ? 7 : w - 1, y = simmat ? 7 : h - 1;
        if (x >= w || y >= h) continue;
        for (int p = 0; p < 3; p++) {
          EXPECT_EQ(At(bg, p, 0, 0), At(frame, p, 0, 0));
          EXPECT_EQ(At(bg, p, x, y), At(frame, p, x, y));
        }
      }
      EXPECT_TRUE(display.messages.empty());
    }
  }
}

// A frame that fits the address space of a 32-bit system but whose running sums do not: the
// allocation failure that the tool reports as out of memory, not another exception.
TEST(BackgroundSynthesizer_Average, SumsBeyondTheAddressSpaceAreOutOfMemory) {
  if (sizeof(void*) > 4) GTEST_SKIP() << "the address space holds the sums of any frame";
  Image<Pixel> frame;  // 538 million pixels, more than a vector of 32-bit sums may hold
  frame.Create(Param(23200, 23200, false, pixkit::Chroma_444, pixkit::Colorspace_Greyscale));
  BackgroundSynthesizer_Average avg;
  EXPECT_THROW(avg.ShareImage(frame), std::bad_alloc);
}

// A budget shared by two synthesizers counts the frames they both keep once, gets back what
// leaves a history, refuses a frame that would not fit before keeping it, and counts only the
// frames that came however long the history.
TEST(BackgroundSynthesizer, MemoryBudgetCountsWhatIsKept) {
  std::vector<Image<Pixel>> frames;
  for (int i = 0; i < 12; i++) frames.push_back(Frame(16, 16, Pixel(i), 2, 3, 255));
  const uint64_t frame = MemoryBudget::ImageBytes(frames[0]);
  // What the budget holds once both histories are full, with the median's or without.
  const auto steady = [&](bool withMedian) {
    MemoryBudget budget(uint64_t(1) << 40);
    uint64_t held = 0;
    {
      BackgroundSynthesizer_Average average;
      BackgroundSynthesizer_Median median;
      average.SetHistoryLength(6);
      median.SetHistoryLength(4);
      average.SetMemoryBudget(&budget);
      median.SetMemoryBudget(&budget);
      for (size_t i = 0; i < frames.size(); i++) {
        average.ShareImage(frames[i]);
        if (withMedian) median.ShareImage(frames[i]);
        if (i == 6) held = budget.AskHeld();
      }
      EXPECT_EQ(budget.AskHeld(), held) << "frames that left a history were not given back";
    }
    EXPECT_EQ(budget.AskHeld(), 0u);
    return held;
  };
  const uint64_t alone = steady(false);
  EXPECT_GT(alone, 6 * frame);
  EXPECT_LT(steady(true) - alone, 4 * frame) << "shared frames counted twice";

  MemoryBudget small(10 * frame);
  BackgroundSynthesizer_Median median;
  median.SetMemoryBudget(&small);
  int kept = 0;
  try {
    for (; kept < 12; kept++) median.ShareImage(frames[size_t(kept)]);
    ADD_FAILURE() << "no refusal";
  } catch (const MemoryRefusal& e) {
    char text[pixkit::c_MaxTextLen + 1];
    e.GetText(text, sizeof text);
    EXPECT_NE(std::string(text).find("frame " + std::to_string(kept + 1) +
                                     " of the history (16 x 16) needs "),
              std::string::npos)
        << text;
    EXPECT_EQ(e.AskUse(), MemoryUse::History);
  }
  EXPECT_GE(kept, 5);
  EXPECT_LE(small.AskHeld(), small.AskLimit());
  Image<Pixel> out;
  median.SynthesizeBackground(out);
  EXPECT_EQ(At(out, 0, 0, 0), Pixel(kept / 2));

  MemoryBudget budget(uint64_t(1) << 40);
  BackgroundSynthesizer_SimMat simmat;
  simmat.SetHistoryLength(1000000);
  simmat.SetMemoryBudget(&budget);
  for (int i = 0; i < 10; i++) simmat.ShareImage(Frame(4, 4, Pixel(i), 2, 3, 255));
  EXPECT_LT(budget.AskHeld(), 10 * 4096u);
}

// Claims give back what they hold when they go, count a plane that frames (or synthesizers)
// share once, and a refusal names what could not be added: after a size change that is the
// new frame's need, not the whole, and a full history takes a new frame in its oldest's place.
TEST(BackgroundSynthesizer, MemoryClaimsCountEachByteOnce) {
  const auto refusal = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const MemoryRefusal& e) {
      char text[pixkit::c_MaxTextLen + 1];
      e.GetText(text, sizeof text);
      return std::to_string(e.AskNeed()) + (e.AskUse() == MemoryUse::State ? " S " : " H ") + text;
    }
    return "";
  };
  const Image<Pixel> a = Frame(16, 16, 1, 2, 3, 255);
  Image<Pixel> b = Frame(16, 16, 4, 5, 6), same = Frame(16, 16, 7, 8, 9);
  b.AskBitmap(pixkit::Bitmap_Alpha) = a.AskBitmap(pixkit::Bitmap_Alpha);
  same.AskBitmap(2) = same.AskBitmap(1);  // one plane in two places
  const uint64_t plane = MemoryBudget::ImageBytes(a) / 4;  // four planes of one size
  MemoryBudget budget;
  {
    FrameClaim ca, cb, cs;
    ASSERT_TRUE(ca.TrySet(budget, a, 100) && cb.TrySet(budget, b, 100) && cs.TrySet(budget, same, 0));
    EXPECT_EQ(budget.AskHeld(), 9 * plane + 200);
    FrameClaim moved = std::move(ca);
    ca.Release();
    EXPECT_EQ(budget.AskHeld(), 9 * plane + 200);
  }
  EXPECT_EQ(budget.AskHeld(), 0u);

  // A budget of four frames carries a history of four for good; one byte less refuses the
  // fourth frame, and the message counts it as the fourth.
  BackgroundSynthesizer_Median full;
  full.SetMemoryBudget(&budget);
  for (int i = 0; i < 4; i++) full.ShareImage(Frame(16, 16, Pixel(i), 2, 3, 255));
  for (const uint64_t limit : {budget.AskHeld(), budget.AskHeld() - 1}) {
    MemoryBudget tight(limit);
    BackgroundSynthesizer_Median m;
    m.SetMemoryBudget(&tight);
    m.SetHistoryLength(4);
    const std::string text = refusal([&] {
      for (int i = 0; i < 9; i++) m.ShareImage(Frame(16, 16, Pixel(i), 2, 3, 255));
    });
    EXPECT_EQ(text.empty(), limit == budget.AskHeld()) << text;
    EXPECT_TRUE(text.empty() || text.find(" H frame 4 of the history (16 x 16) needs") != text.npos)
        << text;
  }

  // Aging, first/last and the working claim of a run, each after a larger frame comes: the
  // refusal needs the larger frame's bytes (or the difference), besides nothing or the rest held.
  const Image<Pixel> large = Frame(64, 64, 1, 2, 3, 255);
  BackgroundSynthesizer_Aging aging;
  BackgroundSynthesizer_FirstLast last(true);
  for (BackgroundSynthesizer* s : std::vector<BackgroundSynthesizer*>{&aging, &last}) {
    MemoryBudget small(4 * plane + 10);
    s->SetMemoryBudget(&small);
    s->ShareImage(a);
    const std::string text = refusal([&] { s->ShareImage(large); });
    EXPECT_EQ(text.rfind(std::to_string(MemoryBudget::ImageBytes(large)) + " S ", 0), 0u) << text;
    EXPECT_EQ(small.AskHeld(), 0u) << "the replaced background is still counted";
    s->SetMemoryBudget(nullptr);
  }
  MemoryBudget run(1000);
  MemoryClaim working;
  working.Set(run, 600, MemoryUse::State, [] { return "x"; });
  EXPECT_EQ(refusal([&] { working.Set(run, 1100, MemoryUse::State, [] { return "w"; }); }),
            "500 S w 0.0 MB, more than the 0.0 MB of memory available");
  EXPECT_EQ(working.AskBytes(), 600u);
}

// Every algorithm gives the same bytes through its vector rows as through its scalar ones, on
// an odd-sized sequence brought to 4:4:4 from 4:2:0: a textured scene with objects moving over
// it, transparent and faint blocks where they are, and a few frames without alpha plane.
TEST(BackgroundSynthesizer, VectorRoutesMatchScalarRoutes) {
  const int w = 75, h = 41, frames = 48;
  const testsupport::Sequence seq = testsupport::MakeSequence(
      w, h, frames, {{0, 6, 20, 14, 4, 0, 40, 90, 200}, {30, 24, 16, 10, 2, 2, 220, 160, 60}}, 5);
  std::vector<Image<Pixel>> sequence;
  for (int f = 0; f < frames; f++) {
    const testsupport::Picture420& pic = seq.frames[size_t(f)];
    const uint8_t* planes[] = {pic.y.data(), pic.u.data(), pic.v.data(),
                               seq.alpha.data() + size_t(f) * size_t(w * h)};
    Image<Pixel> img420;
    img420.Create(Param(w, h, f % 11 != 10, pixkit::Chroma_420));
    for (int p = 0; p < 4; p++) {
      pixkit::Bitmap<Pixel>& b = img420.AskBitmap(p);
      if (b.IsEmpty()) continue;
      for (int y = 0; y < b.AskHeight(); y++)
        for (int x = 0; x < b.AskWidth(); x++) {
          const Pixel v = planes[p][size_t(y * b.AskWidth() + x)];
          b.AskFrame()[y][x] = p == 3 && v == 0 && (x / 8 + y / 8) % 2 ? 200 : v;
        }
    }
    sequence.emplace_back();
    pixkit::ChangeChroma(sequence.back(), img420, pixkit::Chroma_444);
  }
  // All bytes of every plane of every synthesizer's backgrounds after every seventh frame.
  const auto run = [&](RowKind kind) {
    RowsFor rows(kind);
    auto all = AllSynthesizers();
    all.push_back(MakeMode(3));
    all.push_back(MakeMode(40));
    all.push_back(std::make_unique<BackgroundSynthesizer_SimMat>());
    std::vector<std::vector<Pixel>> bytes(all.size());
    for (size_t i = 0; i < all.size(); i++) {
      all[i]->SetHistoryLength(20);  // frames leave the histories
      for (int f = 0; f < frames; f++) {
        if (i == 1 && f % 11 == 10) continue;  // the first-mode synthesizer needs alpha
        all[i]->ShareImage(sequence[size_t(f)]);
        if (f % 7 != 6 && f != frames - 1) continue;
        Image<Pixel> out;
        all[i]->SynthesizeBackground(out);
        for (int p = 0; p < 4; p++)
          for (int y = 0; !out.AskBitmap(p).IsEmpty() && y < out.AskBitmap(p).AskHeight(); y++) {
            const Pixel* row = out.AskBitmap(p).AskFrame()[y];
            bytes[i].insert(bytes[i].end(), row, row + out.AskBitmap(p).AskWidth());
          }
      }
    }
    return bytes;
  };
  const auto scalar = run(RowKind::C);
  for (RowKind kind : {RowKind::SSE2, RowKind::AVX2}) {
    const auto vector = run(kind);
    for (size_t i = 0; i < scalar.size(); i++)
      EXPECT_TRUE(vector[i] == scalar[i]) << "synthesizer " << i << " with rows " << int(kind);
  }
}
