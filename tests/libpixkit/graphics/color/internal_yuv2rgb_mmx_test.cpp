#include "libpixkit/graphics/color/internal_yuv2rgb_mmx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "i2r_test_util.h"
#include "libpixkit/utility/math.h"

using namespace pixkit;
using namespace i2r_test;

namespace {

struct Example {
  Pixel y, u, v;
  uint8_t r, g, b;       // 32 bits
  int r565, g565, b565;  // -1: not given
  int r555, g555, b555;
};

const Example c_Examples[] = {
    {235, 128, 128, 253, 253, 253, 31, 63, 31, 31, 31, 31},
    {128, 128, 128, 129, 129, 129, 16, 32, 16, -1, -1, -1},
    {0, 128, 128, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {16, 128, 128, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {16, 128, 255, 202, 0, 0, 25, 0, 0, -1, -1, -1},
    {81, 90, 240, 253, 0, 0, 31, 0, 0, -1, -1, -1},
    {255, 128, 128, 255, 255, 255, 31, 63, 31, 31, 31, 31},
};

void ExpectChannels(unsigned pixel, const RawRGBFormat& f, int r, int g, int b) {
  if (r < 0) return;
  EXPECT_EQ(int(pixel >> f.r_shift) & ((1 << f.r_bits) - 1), r);
  EXPECT_EQ(int(pixel >> f.g_shift) & ((1 << f.g_bits) - 1), g);
  EXPECT_EQ(int(pixel >> f.b_shift) & ((1 << f.b_bits) - 1), b);
}

// A 4:2:0 picture that holds every Y, U, V triple once: chroma sample (cx, cy) has U = cx and
// V = cy % 256, and its four luma samples take four consecutive Y values of group cy / 256.
Image<Pixel> AllTriples() {
  Image<Pixel> img = MakeImage(512, 32768, Colorspace_YUV, Chroma_420);
  Pixel* const* Y = img.AskFrameY();
  Pixel* const* U = img.AskFrameU();
  Pixel* const* V = img.AskFrameV();
  for (int cy = 0; cy < 16384; cy++) {
    const int group = cy / 256;
    std::memset(V[cy], cy % 256, 256);
    for (int cx = 0; cx < 256; cx++) {
      U[cy][cx] = Pixel(cx);
      Y[2 * cy][2 * cx] = Pixel(4 * group);
      Y[2 * cy][2 * cx + 1] = Pixel(4 * group + 1);
      Y[2 * cy + 1][2 * cx] = Pixel(4 * group + 2);
      Y[2 * cy + 1][2 * cx + 1] = Pixel(4 * group + 3);
    }
  }
  return img;
}

}  // namespace

TEST(YUVSimdModel, GivesTheExampleValues) {
  for (const Example& e : c_Examples) {
    uint8_t p[4];
    yuv_simd_model::PixelBGR0(e.y, e.u, e.v, p);
    EXPECT_EQ(p[0], e.b) << int(e.y) << " " << int(e.u) << " " << int(e.v);
    EXPECT_EQ(p[1], e.g);
    EXPECT_EQ(p[2], e.r);
    EXPECT_EQ(p[3], 0);
    ExpectChannels(yuv_simd_model::Pixel16(e.y, e.u, e.v, RGB565()), RGB565(), e.r565, e.g565,
                   e.b565);
    ExpectChannels(yuv_simd_model::Pixel16(e.y, e.u, e.v, RGB555()), RGB555(), e.r555, e.g555,
                   e.b555);
  }
  // Luma below 16 counts as 16, for every chroma pair.
  for (int u = 0; u < 256; u++)
    for (int v = 0; v < 256; v++)
      for (int c = 0; c < 3; c++)
        ASSERT_EQ(yuv_simd_model::Channel(c, 8, 0, u, v), yuv_simd_model::Channel(c, 8, 16, u, v));
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

TEST(YUVSimdTransforms, GiveTheExampleValues) {
  for (const Example& e : c_Examples) {
    Image<Pixel> img = MakeImage(16, 2, Colorspace_YUV, Chroma_420);
    FillPlane(img, 0, e.y);
    FillPlane(img, 1, e.u);
    FillPlane(img, 2, e.v);
    const Canvas bgr = Convert<i2r_32bit_BGR_mmx>(img, BGR32(64), 0, 1);
    for (int i = 0; i < 32; i++) {
      const uint8_t* p = &bgr.bytes[size_t(i) * 4];
      ASSERT_EQ(p[0], e.b) << int(e.y);
      ASSERT_EQ(p[1], e.g);
      ASSERT_EQ(p[2], e.r);
      ASSERT_EQ(p[3], 0);
    }
    const Canvas c565 = Convert<i2r_16bit_mmx>(img, RGB565(32), 0, 1);
    const Canvas c555 = Convert<i2r_16bit_mmx>(img, RGB555(32), 0, 1);
    for (int i = 0; i < 32; i++) {
      ExpectChannels(Le16(&c565.bytes[size_t(i) * 2]), RGB565(), e.r565, e.g565, e.b565);
      ExpectChannels(Le16(&c555.bytes[size_t(i) * 2]), RGB555(), e.r555, e.g555, e.b555);
    }
  }
}

TEST(YUVSimdTransforms, EqualTheModelForEveryYUVTriple) {
  const Image<Pixel> img = AllTriples();
  const int h = img.AskHeight();
  {
    const RawRGBFormat f = BGR32(4 * 512);
    Canvas want(h, f.bytes_per_line);
    yuv_simd_model::Convert420_BGR32(img, want.Mem(), 0, h - 1, f.bytes_per_line);
    for (bool avx2 : {true, false}) {
      yuv_simd_model::g_allow_avx2 = avx2;
      ASSERT_TRUE(Convert<i2r_32bit_BGR_mmx>(img, f, 0, h - 1).bytes == want.bytes) << avx2;
    }
    yuv_simd_model::g_allow_avx2 = true;
  }
  for (const RawRGBFormat& f : {RGB565(2 * 512), RGB555(2 * 512)}) {
    Canvas want(h, f.bytes_per_line);
    yuv_simd_model::Convert420_16(img, want.Mem(), 0, h - 1, f);
    ASSERT_TRUE(Convert<i2r_16bit_mmx>(img, f, 0, h - 1).bytes == want.bytes) << f.r_mask;
  }
}

TEST(YUVSimdTransforms, EqualTheModelOnRandomPicturesOfManySizes) {
  // Rows end exactly at the width and the memory exactly after the last row, so reads and
  // writes past either are caught; the guard bytes after each row must stay untouched.
  std::mt19937 rng(1);
  const int widths[] = {1,  2,  3,  5,  7,  8,  9,  15, 16, 17, 23, 24,  25, 31,
                        32, 33, 40, 47, 48, 55, 56, 63, 64, 65, 72, 352, 353};
  const RawRGBFormat f16s[] = {RGB565(), RGB555(), Format(16, 0xFF00, 0x00F0, 0x000F, true, 0),
                               Format(16, 0x0700, 0x00F8, 0x0007, true, 0)};
  for (int w : widths) {
    for (int h : {1, 2, 3, 4, 5, 8, 9}) {
      Image<Pixel> img = MakeImage(w, h, Colorspace_YUV, Chroma_420);
      FillRandom(img, rng);
      for (int first = 0; first < h; first += 2) {
        for (int last : {first - 1, first, first + 1, h - 1}) {
          if (last >= h) continue;
          const int rows = std::max(last - first + 1, 1);
          RawRGBFormat f = BGR32(4 * AlignUp(w, 8) + 5);
          Canvas want(rows, f.bytes_per_line);
          yuv_simd_model::Convert420_BGR32(img, want.Mem(), first, last, f.bytes_per_line);
          for (bool avx2 : {true, false}) {
            yuv_simd_model::g_allow_avx2 = avx2;
            const Canvas got = Convert<i2r_32bit_BGR_mmx>(img, f, first, last);
            yuv_simd_model::g_allow_avx2 = true;
            ASSERT_TRUE(got.bytes == want.bytes)
                << w << "x" << h << " lines " << first << ".." << last;
            ASSERT_TRUE(got.RowEndsUntouched(4 * AlignUp(w, 8)));
          }
          if (w % 8) continue;
          for (RawRGBFormat f16 : f16s) {
            f16.bytes_per_line = 2 * w + 3;
            Canvas want16(rows, f16.bytes_per_line);
            yuv_simd_model::Convert420_16(img, want16.Mem(), first, last, f16);
            const Canvas got16 = Convert<i2r_16bit_mmx>(img, f16, first, last);
            ASSERT_TRUE(got16.bytes == want16.bytes)
                << w << "x" << h << " lines " << first << ".." << last;
            ASSERT_TRUE(got16.RowEndsUntouched(2 * w));
          }
        }
      }
    }
  }
}

TEST(YUVSimdTransforms, FourPixelsShareOneChromaPairAndLinesLandInTheirRows) {
  Image<Pixel> img = MakeImage(16, 6, Colorspace_YUV, Chroma_420);
  FillPlane(img, 0, 128);
  FillPlane(img, 1, 128);
  FillPlane(img, 2, 128);
  const Canvas before = Convert<i2r_32bit_BGR_mmx>(img, BGR32(64), 0, 5);
  img.AskFrameU()[1][3] = 20;   // serves pixels 6 and 7 of lines 2 and 3
  img.AskFrameV()[2][5] = 220;  // serves pixels 10 and 11 of lines 4 and 5
  const Canvas after = Convert<i2r_32bit_BGR_mmx>(img, BGR32(64), 0, 5);
  const Canvas after16 = Convert<i2r_16bit_mmx>(img, RGB565(32), 0, 5);
  const Canvas before16 = [&] {
    Image<Pixel> plain = MakeImage(16, 6, Colorspace_YUV, Chroma_420);
    for (int i = 0; i < 3; i++) FillPlane(plain, i, 128);
    return Convert<i2r_16bit_mmx>(plain, RGB565(32), 0, 5);
  }();
  for (int y = 0; y < 6; y++) {
    for (int x = 0; x < 16; x++) {
      const bool changed = ((y == 2 || y == 3) && (x == 6 || x == 7)) ||
                           ((y == 4 || y == 5) && (x == 10 || x == 11));
      EXPECT_EQ(std::memcmp(&before.bytes[size_t(y) * 64 + 4 * x],
                            &after.bytes[size_t(y) * 64 + 4 * x], 4) != 0,
                changed)
          << x << "," << y;
      EXPECT_EQ(std::memcmp(&before16.bytes[size_t(y) * 32 + 2 * x],
                            &after16.bytes[size_t(y) * 32 + 2 * x], 2) != 0,
                changed);
    }
  }
  // firstline 2, lastline 5: lines 2 to 5 in rows 0 to 3, from chroma lines 1 and 2.
  const Canvas part = Convert<i2r_32bit_BGR_mmx>(img, BGR32(64), 2, 5);
  EXPECT_TRUE(std::equal(part.bytes.begin(), part.bytes.end(), after.bytes.begin() + 2 * 64));
  const Canvas part16 = Convert<i2r_16bit_mmx>(img, RGB565(32), 2, 5);
  EXPECT_TRUE(std::equal(part16.bytes.begin(), part16.bytes.end(), after16.bytes.begin() + 2 * 32));
  // lastline below firstline: nothing written.
  EXPECT_TRUE(Convert<i2r_32bit_BGR_mmx>(img, BGR32(64), 4, 3).AllUntouched());
  EXPECT_TRUE(Convert<i2r_16bit_mmx>(img, RGB565(32), 4, 3).AllUntouched());
}

TEST(YUVSimdTransforms, BGRWritesWholeBlocksOfEight) {
  Image<Pixel> img = MakeImage(10, 2, Colorspace_YUV, Chroma_420);
  FillPlane(img, 0, 235);
  FillPlane(img, 1, 128);
  FillPlane(img, 2, 128);
  const Canvas c = Convert<i2r_32bit_BGR_mmx>(img, BGR32(68), 0, 1);
  for (int y = 0; y < 2; y++)
    for (int x = 0; x < 16; x++) EXPECT_EQ(Le16(&c.bytes[size_t(y) * 68 + 4 * x]), 0xFDFDu) << x;
  EXPECT_TRUE(c.RowEndsUntouched(64));
}

TEST(YUVSimdTransforms, AcceptOnlyTheLayoutsTheyPackExactly) {
  const Image<Pixel> w10 = MakeImage(10, 2, Colorspace_YUV, Chroma_420);
  const Image<Pixel> w16 = MakeImage(16, 2, Colorspace_YUV, Chroma_420);
  EXPECT_TRUE(i2r_32bit_BGR_mmx::s_CanConvert(w10, BGR32(64)));
  EXPECT_FALSE(i2r_32bit_BGR_mmx::s_CanConvert(w10, BGR32(63)));
  EXPECT_FALSE(i2r_32bit_BGR_mmx::s_CanConvert(w16, Format(32, 0xFF0000, 0xFF00, 0xFF, false, 64)));
  EXPECT_FALSE(i2r_32bit_BGR_mmx::s_CanConvert(w16, Format(32, 0xFF, 0xFF00, 0xFF0000, true, 64)));
  EXPECT_FALSE(
      i2r_32bit_BGR_mmx::s_CanConvert(MakeImage(16, 2, Colorspace_YUV, Chroma_422), BGR32()));
  EXPECT_FALSE(
      i2r_32bit_BGR_mmx::s_CanConvert(MakeImage(16, 2, Colorspace_YUV, Chroma_444), BGR32()));
  RawRGBFormat grey = BGR32();
  grey.greyscale_only = true;
  EXPECT_TRUE(i2r_32bit_BGR_mmx::s_CanConvert(w16, grey));
  RawRGBFormat scaled = BGR32();
  scaled.upscale_factor = 2;
  EXPECT_FALSE(i2r_32bit_BGR_mmx::s_CanConvert(w16, scaled));

  EXPECT_TRUE(i2r_16bit_mmx::s_CanConvert(w16, RGB565(32)));
  EXPECT_FALSE(i2r_16bit_mmx::s_CanConvert(w16, RGB565(31)));
  EXPECT_TRUE(i2r_16bit_mmx::s_CanConvert(w16, RGB555()));
  EXPECT_FALSE(i2r_16bit_mmx::s_CanConvert(w10, RGB565()));
  EXPECT_FALSE(i2r_16bit_mmx::s_CanConvert(w16, RGB565(4096, false)));
  EXPECT_FALSE(i2r_16bit_mmx::s_CanConvert(
      w16, Format(16, 0x001F, 0x07E0, 0xF800, true, 64)));  // blue on top
  EXPECT_FALSE(
      i2r_16bit_mmx::s_CanConvert(w16, Format(16, 0x00F0, 0x0F00, 0xF000, true, 64)));  // red low
  EXPECT_FALSE(
      i2r_16bit_mmx::s_CanConvert(w16, Format(16, 0xFF80, 0x0070, 0x000F, true, 64)));  // 9-bit red
  EXPECT_FALSE(
      i2r_16bit_mmx::s_CanConvert(w16, Format(16, 0xF800, 0x07E0, 0x0000, true, 64)));  // no blue
  EXPECT_FALSE(i2r_16bit_mmx::s_CanConvert(
      w16, Format(16, 0x7C00, 0x03E0, 0x003E, true, 64)));  // blue not at 0
}

TEST(YUVSimdTransformsDeathTest, CheckChromaFormatAndEvenFirstLine) {
  const Image<Pixel> i420 = MakeImage(16, 4, Colorspace_YUV, Chroma_420);
  const Image<Pixel> i444 = MakeImage(16, 4, Colorspace_YUV, Chroma_444);
  std::vector<uint8_t> mem(4 * 64);
  i2r_32bit_BGR_mmx bgr;
  bgr.SetFormat(BGR32(64));
  EXPECT_DEATH(bgr.Transform(i444, mem.data(), 0, 3),
               "internal_yuv2rgb_mmx.*param.chroma==Chroma_420");
  EXPECT_DEATH(bgr.Transform(i420, mem.data(), 1, 3), "\\(firstline%2\\) == 0");
  i2r_16bit_mmx p16;
  p16.SetFormat(RGB565(32));
  EXPECT_DEATH(p16.Transform(i444, mem.data(), 0, 3), "param.chroma==Chroma_420");
  EXPECT_DEATH(p16.Transform(i420, mem.data(), 1, 3), "\\(firstline%2\\)==0");
}

TEST(YUVSimdTransforms, APlaneWithoutStorageThrowsBeforeAnythingIsWritten) {
  Image<Pixel> img = MakeImage(16, 2, Colorspace_YUV, Chroma_420);
  img.AskBitmap(1).Release();
  Canvas c(2, 64);
  i2r_32bit_BGR_mmx bgr;
  bgr.SetFormat(BGR32(64));
  EXPECT_THROW(bgr.Transform(img, c.Mem(), 0, 1), Excpt_Assertion);
  i2r_16bit_mmx p16;
  p16.SetFormat(RGB565(64));
  EXPECT_THROW(p16.Transform(img, c.Mem(), 0, 1), Excpt_Assertion);
  EXPECT_TRUE(c.AllUntouched());
}

#endif  // PIXKIT_SIMD_TRANSFORMS
