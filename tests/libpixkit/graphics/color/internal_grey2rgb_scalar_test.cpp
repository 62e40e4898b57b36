#include "libpixkit/graphics/color/internal_grey2rgb_scalar.h"

#include <gtest/gtest.h>

#include <vector>

#include "i2r_test_util.h"

using namespace pixkit;
using namespace i2r_test;

namespace {

// A one-line grey picture of the given samples.
Image<Pixel> GreyLine(const std::vector<Pixel>& samples, Colorspace cs = Colorspace_Greyscale,
                      ChromaFormat chroma = Chroma_444) {
  Image<Pixel> img = MakeImage(int(samples.size()), 1, cs, chroma);
  for (size_t x = 0; x < samples.size(); x++) img.AskFrameY()[0][x] = samples[x];
  return img;
}

template <class T>
std::vector<uint8_t> Convert(const Image<Pixel>& img, const RawRGBFormat& f) {
  T t;
  t.SetFormat(f);
  EXPECT_TRUE(t.CanConvert(img, f));
  Canvas c(img.AskHeight(), f.bytes_per_line);
  t.Transform(img, c.Mem(), 0, img.AskHeight() - 1);
  return c.bytes;
}

const std::vector<uint8_t> G = {c_Guard};

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(ScalarGreyTransforms, PackTheSampleIntoEveryChannel) {
  const Image<Pixel> img = GreyLine({0x5A, 0xFF});
  EXPECT_EQ(Convert<i2r_grey_32bit>(img, BGR32(9)),
            Cat({0x5A, 0x5A, 0x5A, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF}, G));
  EXPECT_EQ(Convert<i2r_grey_32bit>(img, Format(32, 0xFF, 0xFF00, 0xFF0000, false, 8)),
            std::vector<uint8_t>({0x5A, 0x5A, 0x5A, 0x5A, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Convert<i2r_grey_24bit>(img, Format(24, 0xFF0000, 0xFF00, 0xFF, true, 7)),
            Cat({0x5A, 0x5A, 0x5A, 0xFF, 0xFF, 0xFF}, G));
}

TEST(ScalarGreyTransforms, SixteenBitsTakeTheTopBitsOfTheSampleInEitherByteOrder) {
  const Image<Pixel> img = GreyLine({255, 128, 0xAB, 0});
  EXPECT_EQ(Convert<i2r_grey_16bit>(img, RGB565(8, true)),
            std::vector<uint8_t>({0xFF, 0xFF, 0x10, 0x84, 0x55, 0xAD, 0, 0}));
  EXPECT_EQ(Convert<i2r_grey_16bit>(img, RGB565(9, false)),
            Cat({0xFF, 0xFF, 0x84, 0x10, 0xAD, 0x55, 0, 0}, G));
  // 5-5-5: red left 7, green left 2, blue right 3.
  EXPECT_EQ(Convert<i2r_grey_16bit>(img, RGB555(8)),
            std::vector<uint8_t>({0xFF, 0x7F, 0x10, 0x42, 0xB5, 0x56, 0, 0}));
}

TEST(ScalarGreyTransforms, SixteenBitsWithBlueAboveTheLowByteKeepChannelsApart) {
  // Blue at the top, red at the bottom: every channel still gets the top bits at its place.
  const Image<Pixel> img = GreyLine({0xAB});
  const std::vector<uint8_t> out =
      Convert<i2r_grey_16bit>(img, Format(16, 0x001F, 0x07E0, 0xF800, true, 2));
  EXPECT_EQ(Le16(out.data()), (0x15u << 11) | (0x2Au << 5) | 0x15u);
}

TEST(ScalarGreyTransforms, FourBitsPackTwoSamplesPerByteAndZeroTheMissingHalf) {
  RawRGBFormat f;
  f.bits_per_pixel = 4;
  f.bytes_per_line = 3;
  EXPECT_EQ(Convert<i2r_grey_4bit>(GreyLine({0xAB, 0x3C}), f), Cat({0xA3}, {c_Guard, c_Guard}));
  EXPECT_EQ(Convert<i2r_grey_4bit>(GreyLine({0xAB, 0x3C, 0x7F}), f), Cat({0xA3, 0x70}, G));
  EXPECT_EQ(Convert<i2r_grey_4bit>(GreyLine({0xFF}), f), Cat({0xF0}, {c_Guard, c_Guard}));
}

TEST(ScalarGreyTransforms, AcceptGreyImagesAndYUVOnlyWhenAskedForGrey) {
  RawRGBFormat f32 = BGR32();
  RawRGBFormat f24 = Format(24, 0xFF0000, 0xFF00, 0xFF, true, 4096);
  RawRGBFormat f16 = RGB565();
  RawRGBFormat f4;
  f4.bits_per_pixel = 4;
  const Image<Pixel> grey = MakeImage(4, 2, Colorspace_Greyscale);
  const Image<Pixel> hsv = MakeImage(4, 2, Colorspace_HSV);
  const Image<Pixel> rgb = MakeImage(4, 2, Colorspace_RGB);
  const Image<Pixel> yuv[] = {MakeImage(4, 2, Colorspace_YUV, Chroma_420),
                              MakeImage(4, 2, Colorspace_YUV, Chroma_422),
                              MakeImage(4, 2, Colorspace_YUV, Chroma_444)};
  const struct {
    bool (*test)(const Image<Pixel>&, const RawRGBFormat&);
    RawRGBFormat* f;
  } tests[] = {{i2r_grey_32bit::s_CanConvert, &f32},
               {i2r_grey_24bit::s_CanConvert, &f24},
               {i2r_grey_16bit::s_CanConvert, &f16},
               {i2r_grey_4bit::s_CanConvert, &f4}};
  for (const auto& t : tests) {
    RawRGBFormat f = *t.f;
    EXPECT_TRUE(t.test(grey, f));
    EXPECT_FALSE(t.test(hsv, f));
    EXPECT_FALSE(t.test(rgb, f));
    for (const auto& y : yuv) EXPECT_FALSE(t.test(y, f));
    f.greyscale_only = true;
    for (const auto& y : yuv) EXPECT_TRUE(t.test(y, f));
    for (int field = 0; field < 3; field++) {
      RawRGBFormat scaled = *t.f;
      (field == 0   ? scaled.resize_width
       : field == 1 ? scaled.upscale_factor
                    : scaled.downscale_factor) = 2;
      EXPECT_FALSE(t.test(grey, scaled));
    }
    RawRGBFormat other = *t.f;
    other.bits_per_pixel = t.f->bits_per_pixel == 32 ? 24 : 32;
    EXPECT_FALSE(t.test(grey, other));
  }
  // The byte transforms need 8-bit channels on byte boundaries.
  EXPECT_FALSE(
      i2r_grey_32bit::s_CanConvert(grey, Format(32, 0x3FF00000, 0xFFC00, 0x3FF, true, 64)));
  EXPECT_FALSE(i2r_grey_24bit::s_CanConvert(grey, Format(24, 0xFF0000, 0xFF00, 0xF0, true, 64)));
  // Grey 16 bits looks at no mask.
  EXPECT_TRUE(i2r_grey_16bit::s_CanConvert(grey, Format(16, 0x001F, 0x07E0, 0xF800, true, 64)));
}

TEST(ScalarGreyTransforms, ConvertTheYPlaneOfAYUVImage) {
  Image<Pixel> yuv = MakeImage(2, 1, Colorspace_YUV, Chroma_420);
  yuv.AskFrameY()[0][0] = 0x12;
  yuv.AskFrameY()[0][1] = 0x34;
  FillPlane(yuv, 1, 0);
  FillPlane(yuv, 2, 255);
  RawRGBFormat f = BGR32(8);
  f.greyscale_only = true;
  EXPECT_EQ(Convert<i2r_grey_32bit>(yuv, f),
            std::vector<uint8_t>({0x12, 0x12, 0x12, 0x12, 0x34, 0x34, 0x34, 0x34}));
}

TEST(ScalarRGBTransforms, PlaceChannelBytesByByteOrder) {
  Image<Pixel> img = MakeImage(2, 1, Colorspace_RGB);
  const Pixel rgb[2][3] = {{0x11, 0x22, 0x33}, {0x44, 0x55, 0x66}};
  for (int x = 0; x < 2; x++)
    for (int i = 0; i < 3; i++) img.AskBitmap(i).AskFrame()[0][x] = rgb[x][i];
  const uint8_t g = c_Guard;
  EXPECT_EQ(Convert<i2r_32bit>(img, BGR32(9)),
            std::vector<uint8_t>({0x33, 0x22, 0x11, g, 0x66, 0x55, 0x44, g, g}));
  EXPECT_EQ(Convert<i2r_32bit>(img, Format(32, 0xFF0000, 0xFF00, 0xFF, false, 8)),
            std::vector<uint8_t>({g, 0x11, 0x22, 0x33, g, 0x44, 0x55, 0x66}));
  EXPECT_EQ(Convert<i2r_32bit>(img, Format(24, 0xFF0000, 0xFF00, 0xFF, true, 7)),
            std::vector<uint8_t>({0x33, 0x22, 0x11, 0x66, 0x55, 0x44, g}));
  EXPECT_EQ(Convert<i2r_32bit>(img, Format(24, 0xFF0000, 0xFF00, 0xFF, false, 6)),
            std::vector<uint8_t>({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
}

TEST(ScalarRGBTransforms, SixteenBitsPackTopBitsAndRefuseBlueAboveTheLowByte) {
  Image<Pixel> img = MakeImage(3, 1, Colorspace_RGB);
  const Pixel rgb[3][3] = {{255, 0, 0}, {0, 255, 0}, {0x80, 0x40, 0xFF}};
  for (int x = 0; x < 3; x++)
    for (int i = 0; i < 3; i++) img.AskBitmap(i).AskFrame()[0][x] = rgb[x][i];
  const std::vector<uint8_t> le = Convert<i2r_16bit>(img, RGB565(6));
  EXPECT_EQ(Le16(&le[0]), 0xF800u);
  EXPECT_EQ(Le16(&le[2]), 0x07E0u);
  EXPECT_EQ(Le16(&le[4]), (0x10u << 11) | (0x10u << 5) | 0x1Fu);
  const std::vector<uint8_t> be = Convert<i2r_16bit>(img, RGB565(6, false));
  EXPECT_EQ(be[0], 0xF8);
  EXPECT_EQ(be[1], 0x00);
  const std::vector<uint8_t> r555 = Convert<i2r_16bit>(img, RGB555(6));
  EXPECT_EQ(Le16(&r555[0]), 0x7C00u);
  EXPECT_EQ(Le16(&r555[2]), 0x03E0u);

  EXPECT_FALSE(i2r_16bit::s_CanConvert(img, Format(16, 0x001F, 0x07E0, 0xF800, true, 64)));
  EXPECT_FALSE(i2r_16bit::s_CanConvert(MakeImage(3, 1, Colorspace_YUV), RGB565()));
  EXPECT_FALSE(i2r_32bit::s_CanConvert(MakeImage(3, 1, Colorspace_Greyscale), BGR32()));
  EXPECT_FALSE(i2r_32bit::s_CanConvert(img, Format(16, 0xF800, 0x07E0, 0x001F, true, 64)));
  EXPECT_TRUE(i2r_32bit::s_CanConvert(img, Format(24, 0xFF, 0xFF00, 0xFF0000, true, 64)));
}
