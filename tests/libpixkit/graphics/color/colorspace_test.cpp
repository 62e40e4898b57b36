#include "libpixkit/graphics/color/colorspace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/images.h"

using namespace pixkit;

namespace {

using testsupport::Param;
using testsupport::Rows;
using testsupport::SetRows;
using testsupport::ToRows;
using testsupport::YUVParam;

void FillPattern(Bitmap<Pixel>& bm, int seed) {
  Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++) f[y][x] = Pixel(seed + 3 * x + 11 * y);
}

}  // namespace

TEST(ChangeChroma, UpsamplesAFrameTo444) {
  Image<Pixel> src;
  src.Create(YUVParam(4, 2, Chroma_420, true));
  SetRows(src.AskBitmap(0), {{1, 2, 3, 4}, {5, 6, 7, 8}});
  SetRows(src.AskBitmap(1), {{10, 20}});
  SetRows(src.AskBitmap(2), {{30, 40}});
  SetRows(src.AskBitmap(3), {{255, 0, 255, 0}, {0, 0, 255, 255}});

  Image<Pixel> dst;
  ChangeChroma(dst, src, Chroma_444);
  EXPECT_EQ(ToRows(dst.AskBitmap(1)), (Rows{{10, 10, 20, 20}, {10, 10, 20, 20}}));
  EXPECT_EQ(ToRows(dst.AskBitmap(2)), (Rows{{30, 30, 40, 40}, {30, 30, 40, 40}}));
  EXPECT_EQ(ToRows(dst.AskBitmap(0)), ToRows(src.AskBitmap(0)));
  EXPECT_EQ(ToRows(dst.AskBitmap(3)), ToRows(src.AskBitmap(3)));
  EXPECT_EQ(dst.AskParam().chroma, Chroma_444);
  EXPECT_EQ(dst.AskParam().colorspace, Colorspace_YUV);
  EXPECT_TRUE(dst.AskParam().has_alpha);

  // The source is left as it was.
  EXPECT_EQ(ToRows(src.AskBitmap(1)), (Rows{{10, 20}}));
}

TEST(ChangeChroma, EveryPairOfFormatsGivesItsPlaneSizes) {
  const struct {
    ChromaFormat from, to;
    int w, h, cw, ch;
  } cases[] = {
      {Chroma_420, Chroma_422, 352, 288, 176, 288}, {Chroma_420, Chroma_444, 352, 288, 352, 288},
      {Chroma_422, Chroma_444, 352, 288, 352, 288}, {Chroma_444, Chroma_420, 352, 288, 176, 144},
      {Chroma_444, Chroma_422, 352, 288, 176, 288}, {Chroma_422, Chroma_420, 352, 288, 176, 144},
      {Chroma_420, Chroma_420, 352, 288, 176, 144},
      // Odd sizes: upsampled chroma is one sample larger than the luma plane.
      {Chroma_420, Chroma_444, 351, 287, 352, 288}, {Chroma_444, Chroma_420, 351, 287, 176, 144},
      {Chroma_422, Chroma_420, 5, 3, 3, 2},
  };
  for (const auto& c : cases) {
    Image<Pixel> src;
    src.Create(YUVParam(c.w, c.h, c.from, false));
    for (int i = 0; i < 3; i++) FillPattern(src.AskBitmap(i), i);
    Image<Pixel> dst;
    ChangeChroma(dst, src, c.to);
    for (int i = 1; i <= 2; i++) {
      EXPECT_EQ(dst.AskBitmap(i).AskWidth(), c.cw) << c.from << "->" << c.to;
      EXPECT_EQ(dst.AskBitmap(i).AskHeight(), c.ch) << c.from << "->" << c.to;
    }
    EXPECT_EQ(dst.AskBitmap(0).AskWidth(), c.w);
    EXPECT_EQ(dst.AskParam().chroma, c.to);
    if (c.from == c.to) {
      EXPECT_EQ(ToRows(dst.AskBitmap(1)), ToRows(src.AskBitmap(1)));
      EXPECT_EQ(ToRows(dst.AskBitmap(2)), ToRows(src.AskBitmap(2)));
    }
  }
}

TEST(ChangeChroma, DestinationKeepsItsLayoutFields) {
  Image<Pixel> src;
  src.Create(YUVParam(6, 4, Chroma_420, false));
  for (int i = 0; i < 3; i++) FillPattern(src.AskBitmap(i), i);

  ImageParam layout = YUVParam(2, 2, Chroma_420, true);
  layout.colorspace = Colorspace_RGB;
  layout.halign = 8;
  layout.valign = 2;
  layout.border = 4;
  layout.zero_x = 2;
  layout.zero_y = 2;
  layout.reduced_chroma = false;
  layout.chroma_border = 3;
  layout.chroma_halign = 4;
  layout.chroma_valign = 2;
  Image<Pixel> dst;
  dst.Create(layout);
  ASSERT_FALSE(dst.AskBitmap(Bitmap_Alpha).IsEmpty());

  ChangeChroma(dst, src, Chroma_422);
  const ImageParam p = dst.AskParam();
  EXPECT_EQ(p.width, 6);
  EXPECT_EQ(p.height, 4);
  EXPECT_EQ(p.colorspace, Colorspace_YUV);
  EXPECT_EQ(p.chroma, Chroma_422);
  EXPECT_FALSE(p.has_alpha);
  EXPECT_EQ(p.halign, 8);
  EXPECT_EQ(p.valign, 2);
  EXPECT_EQ(p.border, 4);
  EXPECT_EQ(p.zero_x, 2);
  EXPECT_EQ(p.zero_y, 2);
  EXPECT_FALSE(p.reduced_chroma);
  EXPECT_EQ(p.chroma_border, 3);
  EXPECT_EQ(p.chroma_halign, 4);
  EXPECT_EQ(p.chroma_valign, 2);
  // A source without alpha leaves the destination without, whatever it had.
  EXPECT_TRUE(dst.AskBitmap(Bitmap_Alpha).IsEmpty());
  EXPECT_EQ(ToRows(dst.AskBitmap(0)), ToRows(src.AskBitmap(0)));
}

TEST(ChangeChroma, RefusesNonYUVSourcesAndLeavesTheDestination) {
  Image<Pixel> dst;
  dst.Create(YUVParam(2, 2, Chroma_444, false));
  SetRows(dst.AskBitmap(0), {{1, 2}, {3, 4}});
  const BitmapProvider<Pixel>* before = dst.AskBitmap(0).AskBitmapProvider();

  for (Colorspace cs : {Colorspace_RGB, Colorspace_Greyscale}) {
    ImageParam p = YUVParam(4, 4, Chroma_444, true);
    p.colorspace = cs;
    Image<Pixel> src;
    src.Create(p);
    try {
      ChangeChroma(dst, src, Chroma_420);
      ADD_FAILURE() << "no exception";
    } catch (const Excpt_Assertion& e) {
      char text[c_MaxTextLen + 1];
      e.GetText(text, sizeof text);
      EXPECT_NE(std::string(text).find("src.AskParam().colorspace == Colorspace_YUV"),
                std::string::npos)
          << text;
    }
    EXPECT_EQ(dst.AskParam().chroma, Chroma_444);
    EXPECT_EQ(dst.AskWidth(), 2);
    EXPECT_EQ(dst.AskBitmap(0).AskBitmapProvider(), before);
    EXPECT_EQ(ToRows(dst.AskBitmap(0)), (Rows{{1, 2}, {3, 4}}));
  }

  Image<Pixel> src;
  src.Create(YUVParam(4, 4, Chroma_420, false));
  EXPECT_THROW(ChangeChroma(dst, src, Chroma_Unspecified), Excpt_Assertion);
  EXPECT_THROW(ChangeChroma(src, src, Chroma_444), Excpt_Assertion);
  EXPECT_EQ(src.AskParam().chroma, Chroma_420);
}

TEST(ChangeChroma, PerFrameConversionReusesAnUnsharedDestination) {
  Image<Pixel> frame;
  frame.Create(YUVParam(8, 6, Chroma_420, true));
  Image<Pixel> dst;
  for (int i = 0; i < 4; i++) FillPattern(frame.AskBitmap(i), 1);
  ChangeChroma(dst, frame, Chroma_444);
  const BitmapProvider<Pixel>* planes[4];
  for (int i = 0; i < 4; i++) planes[i] = dst.AskBitmap(i).AskBitmapProvider();

  for (int i = 0; i < 4; i++) FillPattern(frame.AskBitmap(i), 2);
  ChangeChroma(dst, frame, Chroma_444);
  for (int i = 0; i < 4; i++) EXPECT_EQ(dst.AskBitmap(i).AskBitmapProvider(), planes[i]) << i;

  // Handed over (shared): the next conversion must not write into the kept frame.
  Image<Pixel> kept = dst;
  const Rows keptY = ToRows(kept.AskBitmap(0)), keptU = ToRows(kept.AskBitmap(1));
  for (int i = 0; i < 4; i++) FillPattern(frame.AskBitmap(i), 3);
  ChangeChroma(dst, frame, Chroma_444);
  EXPECT_EQ(ToRows(kept.AskBitmap(0)), keptY);
  EXPECT_EQ(ToRows(kept.AskBitmap(1)), keptU);
  EXPECT_EQ(ToRows(dst.AskBitmap(0)), ToRows(frame.AskBitmap(0)));
}

namespace {

// A one-pixel image of the given colour space with samples c0, c1, c2.
Image<Pixel> OnePixel(Colorspace cs, int c0, int c1, int c2) {
  Image<Pixel> img;
  img.Create(Param(1, 1, cs));
  img.AskBitmap(0).AskFrame()[0][0] = Pixel(c0);
  if (cs != Colorspace_Greyscale) {
    img.AskBitmap(1).AskFrame()[0][0] = Pixel(c1);
    img.AskBitmap(2).AskFrame()[0][0] = Pixel(c2);
  }
  return img;
}

std::vector<int> Sample(const Image<Pixel>& img, int x = 0, int y = 0) {
  std::vector<int> v;
  for (int i = 0; i < 3; i++)
    if (!img.AskBitmap(i).IsEmpty()) v.push_back(img.AskBitmap(i).AskFrame()[y][x]);
  return v;
}

std::string TextOf(const Excpt_Base& e) {
  char text[c_MaxTextLen + 1];
  e.GetText(text, sizeof text);
  return text;
}

}  // namespace

TEST(PixelConversion, YUVExamples) {
  const struct {
    int r, g, b, y, u, v;
  } to_yuv[] = {
      {255, 255, 255, 233, 128, 128}, {0, 0, 0, 16, 128, 128}, {255, 0, 0, 80, 91, 239},
      {0, 255, 0, 144, 54, 35},       {0, 0, 255, 39, 239, 110},
  };
  for (const auto& c : to_yuv) {
    Pixel y, u, v;
    RGB2YUV(y, u, v, Pixel(c.r), Pixel(c.g), Pixel(c.b));
    EXPECT_EQ((std::vector<int>{y, u, v}), (std::vector<int>{c.y, c.u, c.v}))
        << c.r << "," << c.g << "," << c.b;
  }

  const struct {
    int y, u, v, r, g, b;
  } to_rgb[] = {
      {233, 128, 128, 252, 252, 252}, {16, 128, 128, 0, 0, 0},   {235, 128, 128, 254, 254, 254},
      {255, 128, 128, 255, 255, 255}, {16, 128, 255, 202, 0, 0}, {128, 0, 0, 0, 255, 0},
      {0, 128, 128, 0, 0, 0},
  };
  for (const auto& c : to_rgb) {
    Pixel r, g, b;
    YUV2RGB(r, g, b, Pixel(c.y), Pixel(c.u), Pixel(c.v));
    EXPECT_EQ((std::vector<int>{r, g, b}), (std::vector<int>{c.r, c.g, c.b}))
        << c.y << "," << c.u << "," << c.v;
  }
}

TEST(PixelConversion, RGB2YUVStaysInItsRange) {
  for (int r = 0; r < 256; r += 3)
    for (int g = 0; g < 256; g += 3)
      for (int b = 0; b < 256; b += 3) {
        Pixel y, u, v;
        RGB2YUV(y, u, v, Pixel(r), Pixel(g), Pixel(b));
        ASSERT_TRUE(y >= 16 && y <= 233 && u >= 17 && u <= 239 && v >= 17 && v <= 239)
            << r << "," << g << "," << b;
      }
}

TEST(PixelConversion, HSVHuesAndInverse) {
  const struct {
    double r, g, b, h, s, v;
  } cases[] = {
      {1, 0, 0, 0, 1, 1},           {1, 1, 0, 1.0 / 6, 1, 1},   {0, 1, 0, 1.0 / 3, 1, 1},
      {0, 1, 1, 0.5, 1, 1},         {0, 0, 1, 2.0 / 3, 1, 1},   {1, 0, 1, 5.0 / 6, 1, 1},
      {0.5, 0.5, 0.5, 0, 0, 0.5},   {0, 0, 0, 0, 0, 0},         {1, 0.5, 0, 1.0 / 12, 1, 1},
      {0.5, 0.25, 0.25, 0, 0.5, 0.5},
  };
  for (const auto& c : cases) {
    double h, s, v;
    RGB2HSV(h, s, v, c.r, c.g, c.b);
    EXPECT_NEAR(h, c.h, 1e-12) << c.r << "," << c.g << "," << c.b;
    EXPECT_NEAR(s, c.s, 1e-12);
    EXPECT_NEAR(v, c.v, 1e-12);
    EXPECT_LT(h, 1.0);
    double r, g, b;
    HSV2RGB(r, g, b, h, s, v);
    EXPECT_NEAR(r, c.r, 1e-12) << c.h;
    EXPECT_NEAR(g, c.g, 1e-12) << c.h;
    EXPECT_NEAR(b, c.b, 1e-12) << c.h;
  }

  double r, g, b;
  HSV2RGB(r, g, b, 0.4, 0.7, 0);  // v 0 is black whatever the hue
  EXPECT_EQ((std::vector<double>{r, g, b}), (std::vector<double>{0, 0, 0}));
  HSV2RGB(r, g, b, 0.4, 0, 0.3);  // s 0 is grey
  EXPECT_EQ((std::vector<double>{r, g, b}), (std::vector<double>{0.3, 0.3, 0.3}));
}

TEST(ImageConversion, PixelExamplesThroughTheDispatcher) {
  const struct {
    Colorspace from;
    std::vector<int> in;
    Colorspace to;
    std::vector<int> out;
  } cases[] = {
      {Colorspace_RGB, {255, 255, 255}, Colorspace_YUV, {233, 128, 128}},
      {Colorspace_YUV, {233, 128, 128}, Colorspace_RGB, {252, 252, 252}},
      {Colorspace_RGB, {255, 0, 0}, Colorspace_YUV, {80, 91, 239}},
      {Colorspace_YUV, {16, 128, 255}, Colorspace_RGB, {202, 0, 0}},
      {Colorspace_YUV, {128, 0, 0}, Colorspace_RGB, {0, 255, 0}},
      {Colorspace_RGB, {255, 0, 0}, Colorspace_HSV, {0, 255, 255}},
      {Colorspace_RGB, {255, 255, 0}, Colorspace_HSV, {42, 255, 255}},
      {Colorspace_RGB, {0, 255, 0}, Colorspace_HSV, {85, 255, 255}},  // double precision
      {Colorspace_RGB, {0, 255, 255}, Colorspace_HSV, {127, 255, 255}},
      {Colorspace_RGB, {255, 0, 255}, Colorspace_HSV, {212, 255, 255}},
      {Colorspace_RGB, {0, 0, 0}, Colorspace_HSV, {0, 0, 0}},
      {Colorspace_RGB, {128, 128, 128}, Colorspace_HSV, {0, 0, 128}},
      {Colorspace_RGB, {7, 7, 7}, Colorspace_HSV, {0, 0, 7}},
      {Colorspace_HSV, {0, 255, 255}, Colorspace_RGB, {255, 0, 0}},
      {Colorspace_HSV, {100, 200, 0}, Colorspace_RGB, {0, 0, 0}},
      {Colorspace_HSV, {100, 0, 200}, Colorspace_RGB, {200, 200, 200}},
      {Colorspace_RGB, {255, 255, 255}, Colorspace_Greyscale, {233}},
      {Colorspace_RGB, {0, 0, 0}, Colorspace_Greyscale, {16}},
      {Colorspace_Greyscale, {77, 0, 0}, Colorspace_RGB, {77, 77, 77}},
      {Colorspace_Greyscale, {77, 0, 0}, Colorspace_YUV, {77, 128, 128}},
      {Colorspace_YUV, {99, 1, 2}, Colorspace_Greyscale, {99}},
      {Colorspace_YUV, {16, 128, 128}, Colorspace_HSV, {0, 0, 0}},
      {Colorspace_HSV, {0, 0, 255}, Colorspace_Greyscale, {233}},
  };
  for (const auto& c : cases) {
    const Image<Pixel> src = OnePixel(c.from, c.in[0], c.in[1], c.in[2]);
    Image<Pixel> dst;
    ChangeColorspace(dst, src, c.to, Chroma_444);
    EXPECT_EQ(dst.AskParam().colorspace, c.to);
    EXPECT_EQ(Sample(dst), c.out) << c.from << " -> " << c.to << " of " << c.in[0] << ","
                                  << c.in[1] << "," << c.in[2];
  }
}

TEST(ImageConversion, YUVToRGBSpreadsEachChromaSampleOverItsBlock) {
  // Rows wide enough to be converted many pixels at a time, and to hold every sample value.
  constexpr int c_W = 259, c_H = 3;
  for (ChromaFormat f : {Chroma_420, Chroma_422, Chroma_444}) {
    Image<Pixel> src;
    src.Create(Param(c_W, c_H, Colorspace_YUV, f));
    FillPattern(src.AskBitmap(0), 40);
    FillPattern(src.AskBitmap(1), 60);
    FillPattern(src.AskBitmap(2), 150);
    Image<Pixel> dst;
    ChangeColorspace(dst, src, Colorspace_RGB, Chroma_420);
    const int sh = f == Chroma_444 ? 1 : 2, sv = f == Chroma_420 ? 2 : 1;
    for (int y = 0; y < c_H; y++)
      for (int x = 0; x < c_W; x++) {
        Pixel r, g, b;
        YUV2RGB(r, g, b, src.AskFrameY()[y][x], src.AskFrameU()[y / sv][x / sh],
                src.AskFrameV()[y / sv][x / sh]);
        ASSERT_EQ(Sample(dst, x, y), (std::vector<int>{r, g, b})) << f << " at " << x << "," << y;
      }
  }
}

TEST(ImageConversion, RGBToSubsampledYUVAveragesTheFullChroma) {
  Image<Pixel> src;
  src.Create(Param(3, 2, Colorspace_RGB));
  SetRows(src.AskBitmap(0), {{255, 0, 10}, {0, 90, 200}});
  SetRows(src.AskBitmap(1), {{0, 255, 20}, {0, 30, 100}});
  SetRows(src.AskBitmap(2), {{0, 0, 30}, {255, 60, 0}});
  Rows fullU(2, std::vector<int>(3)), fullV = fullU;
  for (int y = 0; y < 2; y++)
    for (int x = 0; x < 3; x++) {
      Pixel yy, u, v;
      RGB2YUV(yy, u, v, src.AskFrameR()[y][x], src.AskFrameG()[y][x], src.AskFrameB()[y][x]);
      fullU[y][x] = u;
      fullV[y][x] = v;
    }

  Image<Pixel> dst;
  ChangeColorspace(dst, src, Colorspace_YUV, Chroma_420);
  EXPECT_EQ(dst.AskParam().chroma, Chroma_420);
  const int u00 = (fullU[0][0] + fullU[0][1] + fullU[1][0] + fullU[1][1]) >> 2;
  EXPECT_EQ(ToRows(dst.AskBitmap(1)), (Rows{{u00, fullU[0][2]}}));

  ChangeColorspace(dst, src, Colorspace_YUV, Chroma_422);
  EXPECT_EQ(ToRows(dst.AskBitmap(2)), (Rows{{(fullV[0][0] + fullV[0][1]) >> 1, fullV[0][2]},
                                         {(fullV[1][0] + fullV[1][1]) >> 1, fullV[1][2]}}));

  // Unspecified keeps the destination's current format (4:2:2 now).
  Image_RGB2YUV(dst, src, Chroma_Unspecified);
  EXPECT_EQ(dst.AskParam().chroma, Chroma_422);
  EXPECT_EQ(dst.AskBitmap(1).AskWidth(), 2);
}

TEST(ImageConversion, SameColourSpaceCopiesOrChangesChroma) {
  ImageParam p = Param(4, 2, Colorspace_YUV, Chroma_420, true);
  p.border = 2;
  p.halign = 4;
  Image<Pixel> src;
  src.Create(p);
  for (int i = 0; i < 4; i++) FillPattern(src.AskBitmap(i), i);

  Image<Pixel> dst;
  ChangeColorspace(dst, src, Colorspace_YUV, Chroma_420);
  EXPECT_EQ(dst.AskParam().border, 2);  // the description comes along
  EXPECT_EQ(dst.AskParam().halign, 4);
  for (int i = 0; i < 4; i++) EXPECT_EQ(ToRows(dst.AskBitmap(i)), ToRows(src.AskBitmap(i))) << i;

  ChangeColorspace(dst, src, Colorspace_YUV, Chroma_444);
  EXPECT_EQ(dst.AskParam().chroma, Chroma_444);
  EXPECT_EQ(dst.AskBitmap(1).AskWidth(), 4);
  EXPECT_EQ(ToRows(dst.AskBitmap(3)), ToRows(src.AskBitmap(3)));

  // Another colour space ignores the chroma argument for a copy.
  Image<Pixel> rgb;
  rgb.Create(Param(3, 3, Colorspace_RGB, Chroma_444));
  ChangeColorspace(dst, rgb, Colorspace_RGB, Chroma_420);
  EXPECT_EQ(dst.AskParam().chroma, Chroma_444);
}

TEST(ImageConversion, RoutesThroughRGBEndIn420) {
  Image<Pixel> hsv;
  hsv.Create(Param(4, 4, Colorspace_HSV));
  Clear(hsv, Color(0, 255, 255));
  Image<Pixel> dst;
  ChangeColorspace(dst, hsv, Colorspace_YUV, Chroma_444);
  EXPECT_EQ(dst.AskParam().colorspace, Colorspace_YUV);
  EXPECT_EQ(dst.AskParam().chroma, Chroma_420);
  EXPECT_EQ(dst.AskBitmap(1).AskWidth(), 2);
  EXPECT_EQ(Sample(dst), (std::vector<int>{80, 91, 239}));

  // Greyscale into a fresh destination: the default 4:4:4, full-size neutral chroma.
  Image<Pixel> grey;
  grey.Create(Param(3, 2, Colorspace_Greyscale));
  FillPattern(grey.AskBitmap(0), 5);
  Image<Pixel> yuv;
  ChangeColorspace(yuv, grey, Colorspace_YUV, Chroma_420);
  EXPECT_EQ(yuv.AskParam().chroma, Chroma_444);
  EXPECT_EQ(ToRows(yuv.AskBitmap(1)), (Rows{{128, 128, 128}, {128, 128, 128}}));
  EXPECT_EQ(ToRows(yuv.AskBitmap(2)), (Rows{{128, 128, 128}, {128, 128, 128}}));
  EXPECT_EQ(ToRows(yuv.AskBitmap(0)), ToRows(grey.AskBitmap(0)));
}

TEST(ImageConversion, EveryRouteCarriesTheAlphaPlane) {
  const Colorspace spaces[] = {Colorspace_RGB, Colorspace_YUV, Colorspace_Greyscale,
                               Colorspace_HSV};
  for (Colorspace from : spaces)
    for (Colorspace to : spaces)
      for (bool alpha : {true, false}) {
        Image<Pixel> src;
        src.Create(Param(4, 2, from, Chroma_420, alpha));
        Clear(src, Color(100, 110, 120, 0));
        if (alpha) SetRows(src.AskBitmap(Bitmap_Alpha), {{0, 255, 7, 255}, {255, 0, 0, 9}});

        // The destination starts with the opposite alpha state.
        Image<Pixel> dst;
        dst.Create(Param(2, 2, Colorspace_RGB, Chroma_444, !alpha));
        ChangeColorspace(dst, src, to, Chroma_444);
        EXPECT_EQ(dst.AskParam().has_alpha, alpha) << from << " -> " << to;
        EXPECT_EQ(dst.AskBitmap(Bitmap_Alpha).IsEmpty(), !alpha) << from << " -> " << to;
        if (alpha) {
          EXPECT_EQ(ToRows(dst.AskBitmap(Bitmap_Alpha)), (Rows{{0, 255, 7, 255}, {255, 0, 0, 9}}))
              << from << " -> " << to;
        }
        EXPECT_EQ(dst.AskWidth(), 4);
        EXPECT_EQ(dst.AskBitmap(0).AskWidth(), 4);
      }
}

TEST(ImageConversion, ConvertersKeepTheDestinationsLayout) {
  ImageParam layout = Param(2, 2, Colorspace_YUV, Chroma_420, true);
  layout.border = 4;
  layout.halign = 8;
  layout.zero_x = 2;
  Image<Pixel> dst;
  dst.Create(layout);

  Image<Pixel> src;
  src.Create(Param(6, 4, Colorspace_YUV, Chroma_420));
  Clear(src, Color(16, 128, 128));
  Image_YUV2RGB(dst, src);
  const ImageParam p = dst.AskParam();
  EXPECT_EQ(p.colorspace, Colorspace_RGB);
  EXPECT_EQ(p.width, 6);
  EXPECT_EQ(p.border, 4);
  EXPECT_EQ(p.halign, 8);
  EXPECT_EQ(p.zero_x, 2);
  EXPECT_TRUE(p.has_alpha);  // a converter alone keeps the destination's alpha setting
  EXPECT_EQ(dst.AskBitmap(0).AskBorder(), 4);
  EXPECT_EQ(Sample(dst, 0, 0), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(Sample(dst, 5, 3), (std::vector<int>{0, 0, 0}));
}

TEST(ImageConversion, HSVInDoubles) {
  Image<Pixel> rgb;
  rgb.Create(Param(3, 1, Colorspace_RGB));
  SetRows(rgb.AskBitmap(0), {{255, 0, 255}});
  SetRows(rgb.AskBitmap(1), {{255, 255, 0}});
  SetRows(rgb.AskBitmap(2), {{0, 0, 255}});
  Image<double> hsv;
  Image_RGB2HSV(hsv, rgb);
  EXPECT_EQ(hsv.AskParam().colorspace, Colorspace_HSV);
  const double* const* H = hsv.AskBitmap(0).AskFrame();
  EXPECT_DOUBLE_EQ(H[0][0], 1.0 / 6);
  EXPECT_DOUBLE_EQ(H[0][1], 1.0 / 3);
  EXPECT_DOUBLE_EQ(H[0][2], 5.0 / 6);
  EXPECT_DOUBLE_EQ(hsv.AskBitmap(1).AskFrame()[0][2], 1.0);
  EXPECT_DOUBLE_EQ(hsv.AskBitmap(2).AskFrame()[0][2], 1.0);

  Image<Pixel> back;
  Image_HSV2RGB(back, hsv);
  EXPECT_EQ(back.AskParam().colorspace, Colorspace_RGB);
  for (int i = 0; i < 3; i++) EXPECT_EQ(ToRows(back.AskBitmap(i)), ToRows(rgb.AskBitmap(i))) << i;
}

TEST(ImageConversion, MisuseThrows) {
  Image<Pixel> src = OnePixel(Colorspace_RGB, 1, 2, 3);
  Image<Pixel> dst = OnePixel(Colorspace_YUV, 4, 5, 6);
  const BitmapProvider<Pixel>* before = dst.AskBitmap(0).AskBitmapProvider();
  EXPECT_THROW(ChangeColorspace(dst, src, Colorspace_Invalid, Chroma_420), Excpt_Assertion);
  ImageParam invalid = src.AskParam();
  invalid.colorspace = Colorspace_Invalid;
  Image<Pixel> bad = src;
  bad.SetParam(invalid);
  EXPECT_THROW(ChangeColorspace(dst, bad, Colorspace_RGB, Chroma_420), Excpt_Assertion);
  EXPECT_THROW(ChangeColorspace(src, src, Colorspace_YUV, Chroma_420), Excpt_Assertion);
  EXPECT_EQ(dst.AskBitmap(0).AskBitmapProvider(), before);
  EXPECT_EQ(Sample(dst), (std::vector<int>{4, 5, 6}));
  EXPECT_EQ(Sample(src), (std::vector<int>{1, 2, 3}));

  // YUV to YUV needs one of the three formats.
  EXPECT_THROW(ChangeColorspace(src, dst, Colorspace_YUV, Chroma_Unspecified), Excpt_Assertion);

  // A missing source plane is named by the bitmap's own check.
  Image<Pixel> hollow = OnePixel(Colorspace_RGB, 1, 2, 3);
  hollow.AskBitmap(2).Release();
  try {
    ChangeColorspace(dst, hollow, Colorspace_YUV, Chroma_444);
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Assertion& e) {
    EXPECT_NE(TextOf(e).find("no bitmap-provider attached to bitmap"), std::string::npos)
        << TextOf(e);
  }

  // A description larger than its planes is refused rather than read past the plane's end.
  ImageParam big = src.AskParam();
  big.width = 50;
  Image<Pixel> liar = src;
  liar.SetParam(big);
  EXPECT_THROW(ChangeColorspace(dst, liar, Colorspace_Greyscale, Chroma_420), Excpt_Assertion);
}
