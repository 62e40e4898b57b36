#include "libpixkit/graphics/datatypes/image.h"

#include <gtest/gtest.h>

#include "libpixkit/graphics/draw/blit.h"

#include "tests/support/images.h"

using namespace pixkit;

namespace {

using testsupport::YUVParam;

void ExpectSize(const Bitmap<Pixel>& b, int w, int h) {
  ASSERT_FALSE(b.IsEmpty());
  EXPECT_EQ(b.AskWidth(), w);
  EXPECT_EQ(b.AskHeight(), h);
}

}  // namespace

TEST(ImageParam, DefaultsAndChromaSizes) {
  ImageParam d;
  EXPECT_EQ(d.colorspace, Colorspace_Invalid);
  EXPECT_EQ(d.chroma, Chroma_444);
  EXPECT_TRUE(d.reduced_chroma);
  EXPECT_EQ(d.halign, 1);
  EXPECT_EQ(d.valign, 1);
  EXPECT_EQ(d.chroma_border, -1);
  EXPECT_EQ(d.chroma_halign, -1);
  EXPECT_EQ(d.chroma_valign, -1);

  const struct {
    Colorspace cs;
    ChromaFormat chroma;
    int w, h, cw, ch;
  } cases[] = {
      {Colorspace_YUV, Chroma_420, 352, 288, 176, 144}, {Colorspace_YUV, Chroma_422, 352, 288, 176, 288},
      {Colorspace_YUV, Chroma_444, 352, 288, 352, 288}, {Colorspace_RGB, Chroma_420, 352, 288, 352, 288},
      {Colorspace_YUV, Chroma_420, 5, 3, 3, 2},
  };
  for (const auto& c : cases) {
    ImageParam p = YUVParam(c.w, c.h, c.chroma);
    p.colorspace = c.cs;
    int w, h;
    p.AskChromaSizes(w, h);
    EXPECT_EQ(w, c.cw);
    EXPECT_EQ(h, c.ch);
    EXPECT_EQ(p.AskChromaWidth(), c.cw);
    EXPECT_EQ(p.AskChromaHeight(), c.ch);
  }
}

TEST(ImageParam, ChromaBorderAndAlignmentDerivation) {
  ImageParam p = YUVParam(16, 16, Chroma_420);
  p.border = 5;
  EXPECT_EQ(p.AskChromaBorder(), 3);
  p.chroma = Chroma_444;
  EXPECT_EQ(p.AskChromaBorder(), 5);
  p.chroma_border = 0;
  EXPECT_EQ(p.AskChromaBorder(), 0);

  for (ChromaFormat f : {Chroma_420, Chroma_422, Chroma_444}) {
    p.chroma = f;
    EXPECT_EQ(p.AskChromaHAlign(), 1);
  }
  p.chroma = Chroma_420;
  p.halign = 16;
  EXPECT_EQ(p.AskChromaHAlign(), 8);
  p.chroma_halign = 4;
  EXPECT_EQ(p.AskChromaHAlign(), 4);
}

TEST(ImageParamDeathTest, AlignmentThatIsNoMultipleOfTheSubsamplingStops) {
  ImageParam p = YUVParam(16, 16, Chroma_420);
  p.halign = 3;
  EXPECT_DEATH(p.AskChromaHAlign(), "\\(halign % ChromaSubH\\(chroma\\)\\)==0");
}

TEST(Image, CreatesThePlanesItsDescriptionAsksFor) {
  Image<Pixel> img;
  EXPECT_TRUE(img.IsEmpty());
  img.Create(YUVParam(352, 288, Chroma_420));
  ExpectSize(img.AskBitmap(0), 352, 288);
  ExpectSize(img.AskBitmap(1), 176, 144);
  ExpectSize(img.AskBitmap(2), 176, 144);
  EXPECT_TRUE(img.AskBitmap(Bitmap_Alpha).IsEmpty());

  ImageParam full = YUVParam(352, 288, Chroma_420, true);
  full.reduced_chroma = false;
  img.Create(full);
  ExpectSize(img.AskBitmap(1), 352, 288);
  ExpectSize(img.AskBitmap(Bitmap_Alpha), 352, 288);

  ImageParam grey = full;
  grey.colorspace = Colorspace_Greyscale;
  grey.has_alpha = false;
  img.Create(grey);
  EXPECT_TRUE(img.AskBitmap(1).IsEmpty());
  EXPECT_TRUE(img.AskBitmap(2).IsEmpty());
  EXPECT_TRUE(img.AskBitmap(Bitmap_Alpha).IsEmpty());

  ImageParam invalid = grey;
  invalid.colorspace = Colorspace_Invalid;
  try {
    img.Create(invalid);
    FAIL();
  } catch (const Excpt_Assertion& e) {
    char buf[1000];
    e.GetText(buf, 1000);
    EXPECT_NE(std::string(buf).find(" (0).\n"), std::string::npos) << buf;
  }
}

TEST(Image, AssignmentSharesAndRecreationSeparates) {
  Image<Pixel> a, b;
  a.Create(YUVParam(8, 8, Chroma_420, true));
  b = a;
  a.AskFrameY()[1][1] = 42;
  EXPECT_EQ(b.AskFrameY()[1][1], 42);
  b.AskFrameV()[0][0] = 7;
  EXPECT_EQ(a.AskFrameV()[0][0], 7);

  a.Create(YUVParam(8, 8, Chroma_420, true));
  a.AskFrameY()[1][1] = 0;
  a.AskFrameA()[0][0] = 0;
  b.AskFrameA()[0][0] = 255;
  EXPECT_EQ(b.AskFrameY()[1][1], 42) << "the second image keeps the old picture";
  EXPECT_EQ(a.AskFrameA()[0][0], 0);

  ImageParam noAlpha = YUVParam(8, 8, Chroma_420, false);
  a.Create(noAlpha);
  EXPECT_TRUE(a.AskBitmapA().IsEmpty());
  EXPECT_FALSE(b.AskBitmapA().IsEmpty());

  a.Release();
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.AskParam().colorspace, Colorspace_Invalid);
}

TEST(Image, CloneCopiesPlanesAndKeepsEmptyOnesEmpty) {
  ImageParam p = YUVParam(6, 4, Chroma_420);
  p.border = 2;
  p.halign = 2;
  Image<Pixel> a;
  a.Create(p);
  Clear(a, Color(1, 2, 3, 4));
  Image<Pixel> c = a.Clone();
  EXPECT_NE(c.AskBitmap(0).AskBitmapProvider(), a.AskBitmap(0).AskBitmapProvider());
  EXPECT_TRUE(c.AskBitmapA().IsEmpty());
  EXPECT_EQ(c.AskParam().halign, 2);
  EXPECT_EQ(c.AskBitmap(0).AskBorder(), 2);
  EXPECT_EQ(c.AskFrameU()[1][2], 2);
  a.AskFrameU()[1][2] = 9;
  EXPECT_EQ(c.AskFrameU()[1][2], 2);

  // Into a larger image: the planes it alone holds are used again (their providers keep their
  // size), a shared one is left as it was, and a plane the source lacks goes.
  ImageParam larger = p;
  larger.width = 8;
  larger.has_alpha = true;
  Image<Pixel> into;
  into.Create(larger);
  const Bitmap<Pixel> sharer = into.AskBitmap(1);
  Clear(into, Color(7, 7, 7, 7));
  a.CloneTo(into);
  EXPECT_EQ(into.AskBitmap(0).AskBitmapProvider()->AskWidth(), 8);
  EXPECT_EQ(into.AskBitmap(1).AskBitmapProvider()->AskWidth(), 3);
  EXPECT_EQ(sharer.AskFrame()[1][2], 7);
  EXPECT_EQ(into.AskFrameU()[1][2], 9);
  EXPECT_EQ(into.AskFrameY()[3][5], 1);
  EXPECT_TRUE(into.AskBitmapA().IsEmpty());
  EXPECT_FALSE(into.AskParam().has_alpha);
}

TEST(Image, ZeroPositionMovesInChromaSteps) {
  Image<Pixel> a;
  a.Create(YUVParam(8, 8, Chroma_420));
  a.AskFrameU()[1][1] = 77;
  EXPECT_THROW(a.MoveZero(1, 0), Excpt_Assertion);
  EXPECT_EQ(a.AskParam().zero_x, 0);
  a.MoveZero(2, 2);
  EXPECT_EQ(a.AskFrameU()[0][0], 77);
  EXPECT_EQ(a.AskParam().zero_x, 2);
  EXPECT_EQ(a.AskBitmap(1).AskZeroX(), 1);

  ImageParam moved = YUVParam(8, 8, Chroma_420);
  moved.zero_x = 3;
  try {
    a.Create(moved);
    FAIL();
  } catch (const Excpt_Assertion& e) {
    char buf[1000];
    e.GetText(buf, 1000);
    EXPECT_NE(std::string(buf).find(
                  "(can only move zero position in multiples of chroma-subsampling positions)"),
              std::string::npos);
  }
}

TEST(Image, ClearFillsEachPlaneWithItsComponent) {
  Image<Pixel> a;
  a.Create(YUVParam(5, 3, Chroma_420, true));
  Clear(a, Color(255, 128, 128, 0));
  EXPECT_EQ(a.AskFrameY()[2][4], 255);
  EXPECT_EQ(a.AskFrameU()[1][2], 128);
  EXPECT_EQ(a.AskFrameV()[0][0], 128);
  EXPECT_EQ(a.AskFrameA()[2][4], 0);

  Image<Pixel> b;
  b.Create(YUVParam(5, 3, Chroma_444));
  Clear(b, Color(1, 2, 3, 4));
  EXPECT_TRUE(b.AskBitmapA().IsEmpty());

  Image<Pixel> shared = b;
  Bitmap<Pixel> alpha;
  alpha.Create(5, 3);
  shared.ReplaceBitmap(Bitmap_Alpha, alpha);
  EXPECT_FALSE(shared.AskBitmapA().IsEmpty());
  EXPECT_TRUE(b.AskBitmapA().IsEmpty());
}
