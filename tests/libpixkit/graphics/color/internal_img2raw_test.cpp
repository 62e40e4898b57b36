#include "libpixkit/graphics/color/internal_img2raw.h"

#include <gtest/gtest.h>

#include <sstream>

#include "i2r_test_util.h"

using namespace pixkit;

TEST(RawRGBFormat, StartsUnscaledAndDerivesChannelsFromMasks) {
  RawRGBFormat f;
  EXPECT_EQ(f.resize_width, 0);
  EXPECT_EQ(f.resize_height, 0);
  EXPECT_EQ(f.upscale_factor, 0);
  EXPECT_EQ(f.downscale_factor, 0);
  EXPECT_FALSE(f.greyscale_only);

  f.SetRGBMasks(0xF800, 0x07E0, 0x001F);
  EXPECT_EQ(f.r_mask, 0xF800u);
  EXPECT_EQ(f.r_bits, 5);
  EXPECT_EQ(f.r_shift, 11);
  EXPECT_EQ(f.g_mask, 0x07E0u);
  EXPECT_EQ(f.g_bits, 6);
  EXPECT_EQ(f.g_shift, 5);
  EXPECT_EQ(f.b_mask, 0x001Fu);
  EXPECT_EQ(f.b_bits, 5);
  EXPECT_EQ(f.b_shift, 0);
}

TEST(RawRGBFormat, DebugPrintListsTheLayoutAndOnlyTheSetOptions) {
  RawRGBFormat f = i2r_test::Format(16, 0xF800, 0x07E0, 0x001F, true, 704);
  std::ostringstream plain;
  f.DebugPrint(plain);
  EXPECT_EQ(plain.str(),
            "bytes_per_line: 704\n"
            "bits_per_pixel: 16\n"
            "little_endian: little\n"
            "r_mask: 63488 r_bits: 5 r_shift: 11\n"
            "g_mask: 2016 g_bits: 6 g_shift: 5\n"
            "b_mask: 31 b_bits: 5 b_shift: 0\n");

  f.little_endian = false;
  f.resize_width = 320;
  f.resize_height = 240;
  f.upscale_factor = 2;
  f.downscale_factor = 3;
  f.greyscale_only = true;
  std::ostringstream all;
  all << std::hex;
  f.DebugPrint(all);
  EXPECT_EQ(all.str(),
            "bytes_per_line: 2c0\n"
            "bits_per_pixel: 10\n"
            "little_endian: big\n"
            "r_mask: f800 r_bits: 5 r_shift: b\n"
            "g_mask: 7e0 g_bits: 6 g_shift: 5\n"
            "b_mask: 1f b_bits: 5 b_shift: 0\n"
            "new size: 140xf0\n"
            "upscale-factor: 2\n"
            "downscale-factor: 3\n"
            "greyscale only\n");
}

TEST(ByteOffsets, FollowTheByteOrder) {
  const ByteOffsets le = AskByteOffsets(i2r_test::Format(32, 0xFF0000, 0xFF00, 0xFF, true, 0));
  EXPECT_EQ(le.r, 2);
  EXPECT_EQ(le.g, 1);
  EXPECT_EQ(le.b, 0);
  EXPECT_EQ(le.stride, 4);
  const ByteOffsets be = AskByteOffsets(i2r_test::Format(32, 0xFF0000, 0xFF00, 0xFF, false, 0));
  EXPECT_EQ(be.r, 1);
  EXPECT_EQ(be.g, 2);
  EXPECT_EQ(be.b, 3);
  const ByteOffsets be24 = AskByteOffsets(i2r_test::Format(24, 0xFF0000, 0xFF00, 0xFF, false, 0));
  EXPECT_EQ(be24.r, 0);
  EXPECT_EQ(be24.b, 2);
  EXPECT_EQ(be24.stride, 3);
}

namespace {
class BaseOnly : public Image2RawRGB_Transform {
 public:
  bool CanConvert(const Image<Pixel>&, const RawRGBFormat&) const override { return true; }
  const char* TransformationName() const override { return "base"; }
};
}  // namespace

TEST(Image2RawRGB_TransformDeathTest, BaseTransformAborts) {
  BaseOnly t;
  Image<Pixel> img;
  uint8_t mem[4];
  EXPECT_DEATH(t.Transform(img, mem, 0, 0), "internal_img2raw.*0");
}
