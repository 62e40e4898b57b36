#include "libpixkit/graphics/color/internal_grey2rgb_mmx.h"

#include <gtest/gtest.h>

#include <random>

#include "i2r_test_util.h"
#include "libpixkit/graphics/color/internal_grey2rgb_scalar.h"
#include "libpixkit/utility/math.h"

using namespace pixkit;
using namespace i2r_test;

TEST(GreySimdModel, GivesTheExampleValues) {
  const struct {
    int y;
    unsigned rgb565;
  } c565[] = {{255, 0xFFFF}, {128, 0x8410}, {200, 0xCE59}, {7, 0x0020}, {8, 0x0841}, {0, 0}};
  for (const auto& c : c565) EXPECT_EQ(grey_simd_model::Pixel16(c.y, RGB565()), c.rgb565) << c.y;
  const RawRGBFormat f444 = Format(16, 0xF000, 0x0F00, 0x00F0, true, 0);
  EXPECT_EQ(grey_simd_model::Pixel16(0xAB, f444), 0xAAA0u);
  EXPECT_EQ(grey_simd_model::Pixel16(255, f444), 0xFFF0u);
}

#if PIXKIT_SIMD_TRANSFORMS

namespace {

template <class T>
Canvas Convert(const Image<Pixel>& img, const RawRGBFormat& f, int firstline, int lastline) {
  T t;
  t.SetFormat(f);
  EXPECT_TRUE(t.CanConvert(img, f)) << t.TransformationName();
  Canvas c(lastline - firstline + 1, f.bytes_per_line);
  t.Transform(img, c.Mem(), firstline, lastline);
  return c;
}

}  // namespace

TEST(GreySimdTransforms, GiveTheExampleValues) {
  Image<Pixel> img = MakeImage(16, 1, Colorspace_Greyscale);
  const Pixel samples[16] = {0x5A, 255, 128, 200, 7, 8, 0, 0xAB, 1, 2, 3, 4, 5, 6, 9, 10};
  for (int x = 0; x < 16; x++) img.AskFrameY()[0][x] = samples[x];
  for (bool le : {true, false}) {
    const Canvas c =
        Convert<i2r_grey_32bit_mmx>(img, Format(32, 0xFF0000, 0xFF00, 0xFF, le, 64), 0, 0);
    for (int x = 0; x < 16; x++)
      for (int i = 0; i < 4; i++) EXPECT_EQ(c.bytes[size_t(4 * x + i)], samples[x]);
  }
  const Canvas c565 = Convert<i2r_grey_16bit_mmx>(img, RGB565(32), 0, 0);
  EXPECT_EQ(c565.bytes[4], 0x10);
  EXPECT_EQ(c565.bytes[5], 0x84);
  const unsigned want565[] = {0, 0xFFFF, 0x8410, 0xCE59, 0x0020, 0x0841};
  for (int x = 1; x < 6; x++) EXPECT_EQ(Le16(&c565.bytes[size_t(2 * x)]), want565[x]);
  const Canvas c444 =
      Convert<i2r_grey_16bit_mmx>(img, Format(16, 0xF000, 0x0F00, 0x00F0, true, 32), 0, 0);
  EXPECT_EQ(Le16(&c444.bytes[2]), 0xFFF0u);
  EXPECT_EQ(Le16(&c444.bytes[14]), 0xAAA0u);
}

TEST(GreySimdTransforms, EqualTheModelAndTheScalarTransformsOnRandomPictures) {
  std::mt19937 rng(3);
  for (int w : {1, 2, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 40, 352, 355}) {
    for (int h : {1, 2, 3, 7}) {
      Image<Pixel> img = MakeImage(w, h, Colorspace_Greyscale);
      FillRandom(img, rng);
      for (int first = 0; first < h; first++) {
        for (int last : {first - 1, first, h - 1}) {
          const int rows = std::max(last - first + 1, 1);
          const RawRGBFormat f = BGR32(4 * AlignUp(w, 8) + 3);
          Canvas want(rows, f.bytes_per_line);
          grey_simd_model::ConvertGrey32(img, want.Mem(), first, last, f.bytes_per_line);
          const Canvas got = Convert<i2r_grey_32bit_mmx>(img, f, first, last);
          ASSERT_TRUE(got.bytes == want.bytes) << w << "x" << h << " " << first << ".." << last;
          ASSERT_TRUE(got.RowEndsUntouched(4 * AlignUp(w, 8)));
          // The pixels within the width are those of the scalar transform.
          i2r_grey_32bit scalar;
          scalar.SetFormat(f);
          Canvas s(rows, f.bytes_per_line);
          scalar.Transform(img, s.Mem(), first, last);
          for (int r = 0; r < last - first + 1; r++)
            ASSERT_TRUE(std::equal(s.Row(r), s.Row(r) + 4 * w,
                                   got.bytes.begin() + size_t(r) * f.bytes_per_line));
          if (w % 8) continue;
          for (RawRGBFormat f16 : {RGB565(), Format(16, 0xF000, 0x0F00, 0x00F0, true, 0),
                                   Format(16, 0xFF00, 0x00E0, 0x001F, true, 0)}) {
            f16.bytes_per_line = 2 * w + 3;
            Canvas want16(rows, f16.bytes_per_line);
            grey_simd_model::ConvertGrey16(img, want16.Mem(), first, last, f16);
            const Canvas got16 = Convert<i2r_grey_16bit_mmx>(img, f16, first, last);
            ASSERT_TRUE(got16.bytes == want16.bytes)
                << w << "x" << h << " " << first << ".." << last;
            ASSERT_TRUE(got16.RowEndsUntouched(2 * w));
          }
          RawRGBFormat f565 = RGB565(2 * w);
          i2r_grey_16bit scalar16;
          scalar16.SetFormat(f565);
          Canvas s16(rows, f565.bytes_per_line);
          scalar16.Transform(img, s16.Mem(), first, last);
          ASSERT_TRUE(s16.bytes == Convert<i2r_grey_16bit_mmx>(img, f565, first, last).bytes);
        }
      }
    }
  }
}

TEST(GreySimdTransforms, WriteWholeBlocksOfEightAtThirtyTwoBits) {
  Image<Pixel> img = MakeImage(10, 2, Colorspace_Greyscale);
  FillPlane(img, 0, 0x5A);
  const Canvas c = Convert<i2r_grey_32bit_mmx>(img, BGR32(70), 0, 1);
  for (int y = 0; y < 2; y++)
    for (int i = 0; i < 64; i++) EXPECT_EQ(c.bytes[size_t(y * 70 + i)], 0x5A);
  EXPECT_TRUE(c.RowEndsUntouched(64));
  EXPECT_FALSE(i2r_grey_32bit_mmx::s_CanConvert(img, BGR32(63)));
}

TEST(GreySimdTransforms, AcceptGreyInputAndOnlyLayoutsTheyPackExactly) {
  const Image<Pixel> grey = MakeImage(16, 2, Colorspace_Greyscale);
  const Image<Pixel> yuv444 = MakeImage(16, 2, Colorspace_YUV, Chroma_444);
  EXPECT_TRUE(i2r_grey_32bit_mmx::s_CanConvert(grey, BGR32()));
  EXPECT_TRUE(
      i2r_grey_32bit_mmx::s_CanConvert(grey, Format(32, 0xFF, 0xFF00, 0xFF0000, false, 64)));
  EXPECT_FALSE(
      i2r_grey_32bit_mmx::s_CanConvert(grey, Format(24, 0xFF0000, 0xFF00, 0xFF, true, 64)));
  EXPECT_FALSE(i2r_grey_32bit_mmx::s_CanConvert(yuv444, BGR32()));
  EXPECT_FALSE(i2r_grey_32bit_mmx::s_CanConvert(MakeImage(16, 2, Colorspace_RGB), BGR32()));
  RawRGBFormat grey_only = BGR32();
  grey_only.greyscale_only = true;
  EXPECT_TRUE(i2r_grey_32bit_mmx::s_CanConvert(yuv444, grey_only));
  grey_only.resize_width = 8;
  EXPECT_FALSE(i2r_grey_32bit_mmx::s_CanConvert(yuv444, grey_only));

  EXPECT_TRUE(i2r_grey_16bit_mmx::s_CanConvert(grey, RGB565(32)));
  EXPECT_FALSE(i2r_grey_16bit_mmx::s_CanConvert(grey, RGB565(31)));
  EXPECT_FALSE(i2r_grey_16bit_mmx::s_CanConvert(MakeImage(12, 2, Colorspace_Greyscale), RGB565()));
  EXPECT_FALSE(i2r_grey_16bit_mmx::s_CanConvert(grey, RGB565(4096, false)));
  EXPECT_FALSE(i2r_grey_16bit_mmx::s_CanConvert(grey, RGB555()));  // red does not end at bit 15
}

TEST(GreySimdTransformsDeathTest, SixteenBitsCheckRedPositionFirstThenTheWidth) {
  Image<Pixel> w12 = MakeImage(12, 1, Colorspace_Greyscale);
  std::vector<uint8_t> mem(64);
  i2r_grey_16bit_mmx t;
  t.SetFormat(RGB555(64));
  EXPECT_DEATH(t.Transform(w12, mem.data(), 0, 0), "internal_grey2rgb_mmx.*constants\\[0\\]==0");
  t.SetFormat(RGB565(64));
  EXPECT_DEATH(t.Transform(w12, mem.data(), 0, 0), "w%8 == 0");
}

TEST(GreySimdTransforms, APlaneWithoutStorageThrowsBeforeAnythingIsWritten) {
  Image<Pixel> img = MakeImage(16, 1, Colorspace_Greyscale);
  img.AskBitmap(0).Release();
  Canvas c(1, 64);
  i2r_grey_32bit_mmx t32;
  t32.SetFormat(BGR32(64));
  EXPECT_THROW(t32.Transform(img, c.Mem(), 0, 0), Excpt_Assertion);
  i2r_grey_16bit_mmx t16;
  t16.SetFormat(RGB565(64));
  EXPECT_THROW(t16.Transform(img, c.Mem(), 0, 0), Excpt_Assertion);
  EXPECT_TRUE(c.AllUntouched());
}

#endif  // PIXKIT_SIMD_TRANSFORMS
