#include "app/motion.h"

#include <gtest/gtest.h>

#include <random>

using namespace pixkit;

namespace {

Image<Pixel> Frame(int w, int h) {
  ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = Colorspace_YUV;
  p.chroma = Chroma_420;
  Image<Pixel> img;
  img.Create(p);
  return img;
}

// Texture without flat blocks, so that no visited block is unchanged by a shift.
void Texture(Image<Pixel>& img, int shift) {
  std::mt19937 rng(5);
  std::vector<Pixel> row(size_t(img.AskWidth() + 16));
  for (int y = 0; y < img.AskHeight(); y++) {
    for (auto& v : row) v = Pixel(rng());
    for (int x = 0; x < img.AskWidth(); x++) img.AskFrameY()[y][x] = row[size_t(x - shift + 8)];
  }
}

int CountTransparent(const Image<Pixel>& img, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y <= y1; y++)
    for (int x = x0; x <= x1; x++) n += img.AskFrameA()[y][x] == 0;
  return n;
}

}  // namespace

TEST(AddAlphaChannel, AddsAPlaneOnceAndKeepsAnExistingOne) {
  Image<Pixel> img = Frame(10, 6);
  AddAlphaChannel(img);
  ASSERT_TRUE(img.AskParam().has_alpha);
  EXPECT_EQ(img.AskBitmapA().AskWidth(), 10);
  EXPECT_EQ(img.AskBitmapA().AskHeight(), 6);
  Clear(img.AskBitmapA(), Pixel(17));
  const auto* provider = img.AskBitmapA().AskBitmapProvider();
  AddAlphaChannel(img);
  EXPECT_EQ(img.AskBitmapA().AskBitmapProvider(), provider);
  EXPECT_EQ(img.AskFrameA()[5][9], 17);
}

TEST(MeanBlockDifference, RefusesBlocksReachingTheEdgeAndTruncates) {
  Image<Pixel> a = Frame(16, 16), b = Frame(16, 16);
  Clear(a.AskBitmapY(), Pixel(10));
  Clear(b.AskBitmapY(), Pixel(13));
  b.AskFrameY()[0][0] = 10;  // one difference of 0 among 16: 45 / 16 = 2
  EXPECT_EQ(MeanBlockDifference(a.AskBitmapY(), 0, 0, b.AskBitmapY(), 0, 0, 4), 2);
  EXPECT_EQ(MeanBlockDifference(a.AskBitmapY(), 0, 0, b.AskBitmapY(), 11, 11, 4), 3);
  EXPECT_EQ(MeanBlockDifference(a.AskBitmapY(), 0, 0, b.AskBitmapY(), 12, 0, 4), -1);
  EXPECT_EQ(MeanBlockDifference(a.AskBitmapY(), 0, 0, b.AskBitmapY(), 0, 12, 4), -1);
  EXPECT_EQ(MeanBlockDifference(a.AskBitmapY(), 0, 0, b.AskBitmapY(), -1, 0, 4), -1);
  EXPECT_EQ(MeanBlockDifference(a.AskBitmapY(), 0, 0, b.AskBitmapY(), 0, -1, 4), -1);
}

TEST(MarkMotionTransparent, StaticFrameMarksNothingShiftedFrameMarksVisitedBlocks) {
  Image<Pixel> prev = Frame(64, 40), cur = Frame(64, 40);
  Texture(prev, 0);
  Texture(cur, 0);
  AddAlphaChannel(cur);
  Clear(cur.AskBitmapA(), Pixel(255));
  MarkMotionTransparent(cur, prev, 8, 3);
  EXPECT_EQ(CountTransparent(cur, 0, 0, 63, 39), 0);

  Texture(cur, 2);  // cur is prev moved 2 pixels to the right
  MarkMotionTransparent(cur, prev, 8, 3);
  // Visited: x = 0..48, y = 0..24 (strict bounds).
  EXPECT_EQ(CountTransparent(cur, 8, 0, 55, 31), 48 * 32);
  EXPECT_EQ(CountTransparent(cur, 56, 0, 63, 39), 0) << "the last block column is never visited";
  EXPECT_EQ(CountTransparent(cur, 0, 32, 63, 39), 0) << "the last block row is never visited";
}

TEST(MarkMotionTransparent, AMatchOfNineTenthsIsAHitButNotOneOfTenTenths) {
  for (int displaced : {9, 10}) {
    Image<Pixel> prev = Frame(12, 12), cur = Frame(12, 12);
    Clear(cur.AskBitmapY(), Pixel(100));
    Clear(prev.AskBitmapY(), Pixel(100 - displaced));
    FillRect(prev.AskBitmapY(), 0, 0, 1, 1, Pixel(90));  // block (0,0) in place: d0 = 10
    AddAlphaChannel(cur);
    Clear(cur.AskBitmapA(), Pixel(255));
    MarkMotionTransparent(cur, prev, 2, 3);
    // The first displacement inside the plane, (1,0), mixes 90 and 100-displaced: d = 9 or 10.
    EXPECT_EQ(cur.AskFrameA()[0][0] == 0, displaced == 9) << "displaced " << displaced;
    EXPECT_EQ(cur.AskFrameA()[1][1] == 0, displaced == 9);
    EXPECT_EQ(cur.AskFrameA()[0][2], 255);
  }
}
