#include "libpixkit/graphics/datatypes/image.h"

#include <gtest/gtest.h>

#include "libpixkit/graphics/draw/blit.h"

using namespace pixkit;

namespace {

ImageParam YUV(int w, int h, ChromaFormat chroma, bool alpha = false) {
  ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = Colorspace_YUV;
  p.chroma = chroma;
  p.has_alpha = alpha;
  return p;
}

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
    ImageParam p = YUV(c.w, c.h, c.chroma);
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
  ImageParam p = YUV(16, 16, Chroma_420);
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
  ImageParam p = YUV(16, 16, Chroma_420);
  p.halign = 3;
  EXPECT_DEATH(p.AskChromaHAlign(), "\\(halign % ChromaSubH\\(chroma\\)\\)==0");
}

TEST(Image, CreatesThePlanesItsDescriptionAsksFor) {
  Image<Pixel> img;
  EXPECT_TRUE(img.IsEmpty());
  img.Create(YUV(352, 288, Chroma_420));
  ExpectSize(img.AskBitmap(0), 352, 288);
  ExpectSize(img.AskBitmap(1), 176, 144);
  ExpectSize(img.AskBitmap(2), 176, 144);
  EXPECT_TRUE(img.AskBitmap(Bitmap_Alpha).IsEmpty());

  ImageParam full = YUV(352, 288, Chroma_420, true);
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
