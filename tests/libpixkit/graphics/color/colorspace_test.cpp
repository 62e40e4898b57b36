#include "libpixkit/graphics/color/colorspace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace pixkit;

namespace {

typedef std::vector<std::vector<int>> Rows;

ImageParam YUV(int w, int h, ChromaFormat chroma, bool alpha) {
  ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = Colorspace_YUV;
  p.chroma = chroma;
  p.has_alpha = alpha;
  return p;
}

void Set(Bitmap<Pixel>& bm, const Rows& rows) {
  ASSERT_EQ(bm.AskHeight(), int(rows.size()));
  ASSERT_EQ(bm.AskWidth(), int(rows[0].size()));
  Pixel* const* f = bm.AskFrame();
  for (size_t y = 0; y < rows.size(); y++)
    for (size_t x = 0; x < rows[y].size(); x++) f[y][x] = Pixel(rows[y][x]);
}

Rows Get(const Bitmap<Pixel>& bm) {
  Rows rows(bm.AskHeight(), std::vector<int>(bm.AskWidth()));
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++) rows[y][x] = f[y][x];
  return rows;
}

void FillPattern(Bitmap<Pixel>& bm, int seed) {
  Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++) f[y][x] = Pixel(seed + 3 * x + 11 * y);
}

}  // namespace

TEST(ChangeChroma, UpsamplesAFrameTo444) {
  Image<Pixel> src;
  src.Create(YUV(4, 2, Chroma_420, true));
  Set(src.AskBitmap(0), {{1, 2, 3, 4}, {5, 6, 7, 8}});
  Set(src.AskBitmap(1), {{10, 20}});
  Set(src.AskBitmap(2), {{30, 40}});
  Set(src.AskBitmap(3), {{255, 0, 255, 0}, {0, 0, 255, 255}});

  Image<Pixel> dst;
  ChangeChroma(dst, src, Chroma_444);
  EXPECT_EQ(Get(dst.AskBitmap(1)), (Rows{{10, 10, 20, 20}, {10, 10, 20, 20}}));
  EXPECT_EQ(Get(dst.AskBitmap(2)), (Rows{{30, 30, 40, 40}, {30, 30, 40, 40}}));
  EXPECT_EQ(Get(dst.AskBitmap(0)), Get(src.AskBitmap(0)));
  EXPECT_EQ(Get(dst.AskBitmap(3)), Get(src.AskBitmap(3)));
  EXPECT_EQ(dst.AskParam().chroma, Chroma_444);
  EXPECT_EQ(dst.AskParam().colorspace, Colorspace_YUV);
  EXPECT_TRUE(dst.AskParam().has_alpha);

  // The source is left as it was.
  EXPECT_EQ(Get(src.AskBitmap(1)), (Rows{{10, 20}}));
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
    src.Create(YUV(c.w, c.h, c.from, false));
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
      EXPECT_EQ(Get(dst.AskBitmap(1)), Get(src.AskBitmap(1)));
      EXPECT_EQ(Get(dst.AskBitmap(2)), Get(src.AskBitmap(2)));
    }
  }
}

TEST(ChangeChroma, DestinationKeepsItsLayoutFields) {
  Image<Pixel> src;
  src.Create(YUV(6, 4, Chroma_420, false));
  for (int i = 0; i < 3; i++) FillPattern(src.AskBitmap(i), i);

  ImageParam layout = YUV(2, 2, Chroma_420, true);
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
  EXPECT_EQ(Get(dst.AskBitmap(0)), Get(src.AskBitmap(0)));
}

TEST(ChangeChroma, RefusesNonYUVSourcesAndLeavesTheDestination) {
  Image<Pixel> dst;
  dst.Create(YUV(2, 2, Chroma_444, false));
  Set(dst.AskBitmap(0), {{1, 2}, {3, 4}});
  const BitmapProvider<Pixel>* before = dst.AskBitmap(0).AskBitmapProvider();

  for (Colorspace cs : {Colorspace_RGB, Colorspace_Greyscale}) {
    ImageParam p = YUV(4, 4, Chroma_444, true);
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
    EXPECT_EQ(Get(dst.AskBitmap(0)), (Rows{{1, 2}, {3, 4}}));
  }

  Image<Pixel> src;
  src.Create(YUV(4, 4, Chroma_420, false));
  EXPECT_THROW(ChangeChroma(dst, src, Chroma_Unspecified), Excpt_Assertion);
  EXPECT_THROW(ChangeChroma(src, src, Chroma_444), Excpt_Assertion);
  EXPECT_EQ(src.AskParam().chroma, Chroma_420);
}

TEST(ChangeChroma, PerFrameConversionReusesAnUnsharedDestination) {
  Image<Pixel> frame;
  frame.Create(YUV(8, 6, Chroma_420, true));
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
  const Rows keptY = Get(kept.AskBitmap(0)), keptU = Get(kept.AskBitmap(1));
  for (int i = 0; i < 4; i++) FillPattern(frame.AskBitmap(i), 3);
  ChangeChroma(dst, frame, Chroma_444);
  EXPECT_EQ(Get(kept.AskBitmap(0)), keptY);
  EXPECT_EQ(Get(kept.AskBitmap(1)), keptU);
  EXPECT_EQ(Get(dst.AskBitmap(0)), Get(frame.AskBitmap(0)));
}
