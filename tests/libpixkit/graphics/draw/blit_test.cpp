#include "libpixkit/graphics/draw/blit.h"

#include <gtest/gtest.h>

using namespace pixkit;

namespace {

void Fill(Bitmap<Pixel>& bm, int seed) {
  Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++) f[y][x] = Pixel(seed + 7 * x + 13 * y);
}

bool Holds(const Bitmap<Pixel>& bm, int seed) {
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++)
      if (f[y][x] != Pixel(seed + 7 * x + 13 * y)) return false;
  return true;
}

}  // namespace

TEST(CopyToNew, PlaneGetsAnUnborderedCopy) {
  Bitmap<Pixel> src;
  src.Create(5, 3, 4, 16, 2);
  Fill(src, 1);
  Bitmap<Pixel> dst;
  dst.Create(9, 9, 2, 1, 1);
  CopyToNew(dst, src);
  EXPECT_EQ(dst.AskWidth(), 5);
  EXPECT_EQ(dst.AskHeight(), 3);
  EXPECT_EQ(dst.AskBorder(), 0);
  EXPECT_EQ(dst.AskAlignedWidth(), 5);
  EXPECT_TRUE(Holds(dst, 1));
  EXPECT_NE(dst.AskBitmapProvider(), src.AskBitmapProvider());

  // Copying a plane onto itself keeps its samples.
  CopyToNew(src, src);
  EXPECT_EQ(src.AskBorder(), 0);
  EXPECT_TRUE(Holds(src, 1));

  // An empty source empties the destination.
  CopyToNew(dst, Bitmap<Pixel>());
  EXPECT_TRUE(dst.IsEmpty());
}

TEST(CopyToNew, ImageCopiesEveryPlaneAndTheDescription) {
  ImageParam p;
  p.width = 4;
  p.height = 2;
  p.border = 2;
  p.halign = 4;
  p.colorspace = Colorspace_YUV;
  p.chroma = Chroma_420;
  p.has_alpha = true;
  Image<Pixel> src;
  src.Create(p);
  for (int i = 0; i < 4; i++) Fill(src.AskBitmap(i), 10 * i);

  Image<Pixel> dst;
  CopyToNew(dst, src);
  EXPECT_EQ(dst.AskParam().border, 2);  // the description as it was ...
  EXPECT_EQ(dst.AskParam().halign, 4);
  EXPECT_EQ(dst.AskParam().chroma, Chroma_420);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(dst.AskBitmap(i).AskBorder(), 0);  // ... but planes without border
    EXPECT_EQ(dst.AskBitmap(i).AskWidth(), src.AskBitmap(i).AskWidth());
    EXPECT_TRUE(Holds(dst.AskBitmap(i), 10 * i)) << i;
  }

  // The copy is independent of the source.
  Fill(src.AskBitmap(0), 50);
  EXPECT_TRUE(Holds(dst.AskBitmap(0), 0));

  p.has_alpha = false;
  src.Create(p);
  CopyToNew(dst, src);
  EXPECT_TRUE(dst.AskBitmap(Bitmap_Alpha).IsEmpty());
  EXPECT_FALSE(dst.AskParam().has_alpha);
}
