#include "libpixkit/graphics/color/internal_yuv2rgb_scalar.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "i2r_test_util.h"

using namespace pixkit;
using namespace i2r_test;

namespace {

Image<Pixel> Uniform(int w, int h, ChromaFormat chroma, Pixel y, Pixel u, Pixel v) {
  Image<Pixel> img = MakeImage(w, h, Colorspace_YUV, chroma);
  FillPlane(img, 0, y);
  FillPlane(img, 1, u);
  FillPlane(img, 2, v);
  return img;
}

// The first pixel of a uniform 2x2 picture, through the transform.
template <class T>
std::vector<uint8_t> FirstPixel(ChromaFormat chroma, const RawRGBFormat& f, Pixel y, Pixel u,
                                Pixel v) {
  const Image<Pixel> img = Uniform(2, 2, chroma, y, u, v);
  T t;
  t.SetFormat(f);
  EXPECT_TRUE(t.CanConvert(img, f));
  Canvas c(2, f.bytes_per_line);
  t.Transform(img, c.Mem(), 0, 1);
  const int n = f.bits_per_pixel / 8;
  for (int i = 0; i < 4; i++)  // every pixel of a uniform picture is the same
    EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.begin() + n,
                           c.bytes.begin() + (i % 2) * n + (i / 2) * f.bytes_per_line));
  return std::vector<uint8_t>(c.bytes.begin(), c.bytes.begin() + n);
}

// The same picture as 4:4:4, each chroma sample repeated over the pixels it serves.
Image<Pixel> UpsampledTo444(const Image<Pixel>& img) {
  const ImageParam p = img.AskParam();
  Image<Pixel> out = MakeImage(p.width, p.height, Colorspace_YUV, Chroma_444);
  const int sh = ChromaSubH(p.chroma), sv = ChromaSubV(p.chroma);
  for (int i = 0; i < 3; i++)
    for (int y = 0; y < p.height; y++)
      for (int x = 0; x < p.width; x++)
        out.AskBitmap(i).AskFrame()[y][x] =
            i == 0 ? img.AskFrameY()[y][x] : img.AskBitmap(i).AskFrame()[y / sv][x / sh];
  return out;
}

}  // namespace

TEST(ScalarYUVTransforms, ClipTableTransformsGiveTheFormulaClippedToBytes) {
  const struct {
    Pixel y, u, v;
    uint8_t r, g, b;
  } cases[] = {
      {16, 128, 128, 0, 0, 0}, {235, 128, 128, 254, 254, 254}, {255, 255, 128, 255, 228, 255},
      {0, 0, 0, 0, 135, 0},    {128, 100, 200, 245, 82, 73},   {255, 128, 128, 255, 255, 255},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> bgr0 = {c.b, c.g, c.r, c_Guard};
    EXPECT_EQ(FirstPixel<i2r_yuv_32bit>(Chroma_420, BGR32(8), c.y, c.u, c.v), bgr0) << int(c.y);
    EXPECT_EQ(FirstPixel<i2r_yuv422_32bit>(Chroma_422, BGR32(8), c.y, c.u, c.v), bgr0);
    EXPECT_EQ(FirstPixel<i2r_yuv444_32bit>(Chroma_444, BGR32(8), c.y, c.u, c.v), bgr0);
    // Big-endian: the unused byte first, then red, green, blue.
    const RawRGBFormat be = Format(32, 0xFF0000, 0xFF00, 0xFF, false, 8);
    const std::vector<uint8_t> xrgb = {c_Guard, c.r, c.g, c.b};
    EXPECT_EQ(FirstPixel<i2r_yuv_32bit>(Chroma_420, be, c.y, c.u, c.v), xrgb);
    EXPECT_EQ(FirstPixel<i2r_yuv422_32bit>(Chroma_422, be, c.y, c.u, c.v), xrgb);
    EXPECT_EQ(FirstPixel<i2r_yuv444_32bit>(Chroma_444, be, c.y, c.u, c.v), xrgb);
    const std::vector<uint8_t> bgr = {c.b, c.g, c.r};
    EXPECT_EQ(FirstPixel<i2r_yuv_32bit>(Chroma_420, Format(24, 0xFF0000, 0xFF00, 0xFF, true, 6),
                                        c.y, c.u, c.v),
              bgr);
  }
  YUVClipTable::FillOnce();
  const int* clip = YUVClipTable::AskEntries();
  EXPECT_EQ(clip[-277], 0);
  EXPECT_EQ(clip[-1], 0);
  EXPECT_EQ(clip[0], 0);
  EXPECT_EQ(clip[254], 254);
  EXPECT_EQ(clip[255], 255);
  EXPECT_EQ(clip[534], 255);
}

TEST(ScalarYUVTransforms, SixteenBitTransformsClampAndPackByMask) {
  const struct {
    Pixel y, u, v;
    unsigned rgb565, rgb555;
  } cases[] = {
      {235, 128, 128, 0xFFFF, 0x7FFF},   {16, 128, 128, 0, 0},
      {255, 128, 128, 0xFFFF, 0x7FFF},   {128, 100, 200, 0xF289, 0x7949},
      {0, 0, 0, (33u << 5), (16u << 5)},
  };
  for (const auto& c : cases) {
    for (bool le : {true, false}) {
      const RawRGBFormat f = RGB565(4, le);
      const std::vector<uint8_t> p = FirstPixel<i2r_yuv_16bit>(Chroma_420, f, c.y, c.u, c.v);
      EXPECT_EQ(le ? Le16(p.data()) : unsigned(p[0]) << 8 | p[1], c.rgb565) << int(c.y);
      EXPECT_EQ(FirstPixel<i2r_yuv444_16bit>(Chroma_444, f, c.y, c.u, c.v), p);
    }
    EXPECT_EQ(Le16(FirstPixel<i2r_yuv_16bit>(Chroma_420, RGB555(4), c.y, c.u, c.v).data()),
              c.rgb555);
    EXPECT_EQ(Le16(FirstPixel<i2r_yuv444_16bit>(Chroma_444, RGB555(4), c.y, c.u, c.v).data()),
              c.rgb555);
  }
}

TEST(ScalarYUVTransforms, ReducedChromaEqualsTheUpsampledPictureAtEverySize) {
  // Odd widths and heights included: the last column and line use the chroma sample they
  // belong to, and the exactly sized memory catches any write past the last row.
  std::mt19937 rng(7);
  const RawRGBFormat formats[] = {BGR32(0), Format(32, 0xFF0000, 0xFF00, 0xFF, false, 0), RGB565(0),
                                  RGB555(0)};
  for (int w = 1; w <= 9; w++) {
    for (int h = 1; h <= 5; h++) {
      for (ChromaFormat chroma : {Chroma_420, Chroma_422}) {
        Image<Pixel> img = MakeImage(w, h, Colorspace_YUV, chroma);
        FillRandom(img, rng);
        const Image<Pixel> full = UpsampledTo444(img);
        for (RawRGBFormat f : formats) {
          const int px = f.bits_per_pixel / 8;
          f.bytes_per_line = w * px + 3;
          std::unique_ptr<Image2RawRGB_Transform> t, ref;
          if (f.bits_per_pixel == 16) {
            if (chroma == Chroma_422) continue;
            t.reset(new i2r_yuv_16bit);
            ref.reset(new i2r_yuv444_16bit);
          } else {
            t.reset(chroma == Chroma_420 ? static_cast<Image2RawRGB_Transform*>(new i2r_yuv_32bit)
                                         : new i2r_yuv422_32bit);
            ref.reset(new i2r_yuv444_32bit);
          }
          for (int first = 0; first < h; first++) {
            if (f.bits_per_pixel == 16 && first % 2) continue;
            for (int last = first; last < h; last++) {
              Canvas got(last - first + 1, f.bytes_per_line),
                  want(last - first + 1, f.bytes_per_line);
              t->SetFormat(f);
              ref->SetFormat(f);
              ASSERT_TRUE(t->CanConvert(img, f));
              t->Transform(img, got.Mem(), first, last);
              ref->Transform(full, want.Mem(), first, last);
              ASSERT_EQ(got.bytes, want.bytes) << t->TransformationName() << " " << w << "x" << h
                                               << " lines " << first << ".." << last;
              ASSERT_TRUE(got.RowEndsUntouched(w * px));
            }
          }
        }
      }
    }
  }
}

TEST(ScalarYUVTransforms, AcceptOnlyTheirChromaFormatAndLayout) {
  const Image<Pixel> i420 = MakeImage(4, 2, Colorspace_YUV, Chroma_420);
  const Image<Pixel> i422 = MakeImage(4, 2, Colorspace_YUV, Chroma_422);
  const Image<Pixel> i444 = MakeImage(4, 2, Colorspace_YUV, Chroma_444);
  const Image<Pixel> rgb = MakeImage(4, 2, Colorspace_RGB);
  const RawRGBFormat f24 = Format(24, 0xFF0000, 0xFF00, 0xFF, true, 64);
  RawRGBFormat grey = BGR32();
  grey.greyscale_only = true;

  EXPECT_TRUE(i2r_yuv_16bit::s_CanConvert(i420, RGB565()));
  EXPECT_TRUE(i2r_yuv_16bit::s_CanConvert(i420, Format(16, 0x1F, 0x7E0, 0xF800, false, 64)));
  EXPECT_FALSE(i2r_yuv_16bit::s_CanConvert(i444, RGB565()));
  EXPECT_TRUE(i2r_yuv_32bit::s_CanConvert(i420, f24));
  EXPECT_TRUE(i2r_yuv_32bit::s_CanConvert(i420, grey));  // greyscale_only is not consulted
  EXPECT_FALSE(i2r_yuv_32bit::s_CanConvert(i422, BGR32()));
  EXPECT_FALSE(i2r_yuv_32bit::s_CanConvert(rgb, BGR32()));
  EXPECT_FALSE(i2r_yuv_32bit::s_CanConvert(i420, Format(32, 0x3FF00000, 0xFFC00, 0x3FF, true, 64)));
  EXPECT_TRUE(i2r_yuv422_32bit::s_CanConvert(i422, f24));
  EXPECT_FALSE(i2r_yuv422_32bit::s_CanConvert(i420, BGR32()));
  EXPECT_TRUE(i2r_yuv444_16bit::s_CanConvert(i444, RGB555()));
  EXPECT_FALSE(i2r_yuv444_16bit::s_CanConvert(i420, RGB555()));
  EXPECT_TRUE(i2r_yuv444_32bit::s_CanConvert(i444, BGR32()));
  EXPECT_FALSE(i2r_yuv444_32bit::s_CanConvert(i444, f24));  // 4:4:4 on 24 bits has no transform
  RawRGBFormat scaled = BGR32();
  scaled.downscale_factor = 2;
  EXPECT_FALSE(i2r_yuv_32bit::s_CanConvert(i420, scaled));
}

TEST(ScalarYUVTransforms, APlaneWithoutStorageThrowsBeforeAnythingIsWritten) {
  Image<Pixel> img = MakeImage(4, 2, Colorspace_YUV, Chroma_420);
  img.AskBitmap(2).Release();
  i2r_yuv_32bit t;
  t.SetFormat(BGR32(16));
  Canvas c(2, 16);
  EXPECT_THROW(t.Transform(img, c.Mem(), 0, 1), Excpt_Assertion);
  EXPECT_TRUE(c.AllUntouched());
}

TEST(ScalarYUVTransformsDeathTest, CheckChromaFormatAndEvenFirstLine) {
  const Image<Pixel> i420 = Uniform(4, 4, Chroma_420, 0, 0, 0);
  const Image<Pixel> i444 = Uniform(4, 4, Chroma_444, 0, 0, 0);
  std::vector<uint8_t> mem(4 * 64);
  i2r_yuv_16bit y16;
  y16.SetFormat(RGB565(64));
  EXPECT_DEATH(y16.Transform(i420, mem.data(), 1, 3), "firstline%2 == 0");
  EXPECT_DEATH(y16.Transform(i444, mem.data(), 0, 3),
               "internal_yuv2rgb_scalar.*param.chroma==Chroma_420");
  i2r_yuv_32bit y32;
  y32.SetFormat(BGR32(64));
  EXPECT_DEATH(y32.Transform(i444, mem.data(), 0, 3), "param.chroma==Chroma_420");
  i2r_yuv422_32bit y422;
  y422.SetFormat(BGR32(64));
  EXPECT_DEATH(y422.Transform(i420, mem.data(), 0, 3), "param.chroma==Chroma_422");
  i2r_yuv444_16bit y444;
  y444.SetFormat(RGB565(64));
  EXPECT_DEATH(y444.Transform(i420, mem.data(), 0, 3), "param.chroma==Chroma_444");
  i2r_yuv444_32bit y444b;
  y444b.SetFormat(BGR32(64));
  EXPECT_DEATH(y444b.Transform(i420, mem.data(), 0, 3), "param.chroma==Chroma_444");
}
