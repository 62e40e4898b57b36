#include "libpixkit/graphics/color/img2raw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "i2r_test_util.h"
#include "libpixkit/arch/cpu.h"
#include "libpixkit/graphics/color/internal_grey2rgb_mmx.h"
#include "libpixkit/graphics/color/internal_grey2rgb_scalar.h"
#include "libpixkit/graphics/color/internal_yuv2rgb_mmx.h"
#include "libpixkit/graphics/color/internal_yuv2rgb_scalar.h"
#include "libpixkit/utility/math.h"

using namespace pixkit;
using namespace i2r_test;

namespace {

RawRGBFormat Bits(int bpp) {
  RawRGBFormat f;
  f.bits_per_pixel = bpp;
  f.bytes_per_line = 4096;
  return f;
}

RawRGBFormat GreyOnly(RawRGBFormat f) {
  f.greyscale_only = true;
  return f;
}

RawRGBFormat RGB24() { return Format(24, 0xFF0000, 0xFF00, 0xFF, true, 4096); }

std::string Chosen(const Image<Pixel>& img, const RawRGBFormat& f, bool mmx) {
  const std::unique_ptr<Image2RawRGB_Transform> t = CreateImage2RawRGB_Transform(img, f, mmx);
  return t ? t->TransformationName() : "none";
}

std::string ErrorText(const Excpt_Text& e) {
  char buf[c_MaxTextLen + 1];
  e.GetText(buf, sizeof buf);
  return buf;
}

}  // namespace

TEST(TransformChooser, TriesTheSimdTransformsFirstAndFallsThroughToTheScalarOrder) {
  const Image<Pixel> i420 = MakeImage(16, 4, Colorspace_YUV, Chroma_420);
  const Image<Pixel> i420w10 = MakeImage(10, 4, Colorspace_YUV, Chroma_420);
  const Image<Pixel> i422 = MakeImage(16, 4, Colorspace_YUV, Chroma_422);
  const Image<Pixel> i444 = MakeImage(16, 4, Colorspace_YUV, Chroma_444);
  const Image<Pixel> grey = MakeImage(16, 4, Colorspace_Greyscale);
  const Image<Pixel> grey12 = MakeImage(12, 4, Colorspace_Greyscale);
  const Image<Pixel> rgb = MakeImage(16, 4, Colorspace_RGB);
  const Image<Pixel> hsv = MakeImage(16, 4, Colorspace_HSV);
  const bool simd = PIXKIT_SIMD_TRANSFORMS;
  const struct {
    const Image<Pixel>* img;
    RawRGBFormat f;
    const char* with_mmx;
    const char* without_mmx;
  } cases[] = {
      {&i420, BGR32(), "YUV to 32bit RGB, (BGR format), MMX accelerated",
       "scalar YUV to 32bit RGB"},
      {&i420, GreyOnly(BGR32()), "YUV to 32bit RGB, (BGR format), MMX accelerated",
       "scalar YUV to 32bit RGB"},
      {&i420, Format(32, 0xFF0000, 0xFF00, 0xFF, false, 4096), "scalar YUV to 32bit RGB",
       "scalar YUV to 32bit RGB"},
      {&i420, RGB24(), "scalar YUV to 32bit RGB", "scalar YUV to 32bit RGB"},
      {&i420, RGB565(), "YUV to 16bit RGB, MMX accelerated", "scalar YUV to 16bit RGB"},
      {&i420, RGB555(), "YUV to 16bit RGB, MMX accelerated", "scalar YUV to 16bit RGB"},
      {&i420w10, RGB565(), "scalar YUV to 16bit RGB", "scalar YUV to 16bit RGB"},
      {&i420, RGB565(4096, false), "scalar YUV to 16bit RGB", "scalar YUV to 16bit RGB"},
      {&i420, GreyOnly(Bits(4)), "scalar grey to 4bit gray-scale",
       "scalar grey to 4bit gray-scale"},
      {&i422, BGR32(), "scalar 4:2:2-YUV to 32bit RGB", "scalar 4:2:2-YUV to 32bit RGB"},
      {&i444, RGB565(), "scalar YUV 4:4:4 to 16bit RGB", "scalar YUV 4:4:4 to 16bit RGB"},
      {&i444, BGR32(), "scalar 4:4:4-YUV to 32bit RGB", "scalar 4:4:4-YUV to 32bit RGB"},
      {&i444, GreyOnly(BGR32()), "grey to 32bit RGB, MMX accelerated",
       "scalar 4:4:4-YUV to 32bit RGB"},
      {&i444, GreyOnly(RGB24()), "scalar grey to 24bit RGB", "scalar grey to 24bit RGB"},
      {&grey, BGR32(), "grey to 32bit RGB, MMX accelerated", "scalar grey to 32bit RGB"},
      {&grey, RGB24(), "scalar grey to 24bit RGB", "scalar grey to 24bit RGB"},
      {&grey, RGB565(), "grey to 16bit RGB, MMX accelerated", "scalar grey to 16bit RGB"},
      {&grey, RGB555(), "scalar grey to 16bit RGB", "scalar grey to 16bit RGB"},
      {&grey12, RGB565(), "scalar grey to 16bit RGB", "scalar grey to 16bit RGB"},
      {&grey, Bits(4), "scalar grey to 4bit gray-scale", "scalar grey to 4bit gray-scale"},
      {&rgb, BGR32(), "scalar 32bit RGB", "scalar 32bit RGB"},
      {&rgb, RGB24(), "scalar 32bit RGB", "scalar 32bit RGB"},
      {&rgb, RGB565(), "scalar 16bit RGB", "scalar 16bit RGB"},
      {&i420, Bits(8), "none", "none"},
      {&grey, Bits(8), "none", "none"},
      {&i444, RGB24(), "none", "none"},
      {&hsv, BGR32(), "none", "none"},
      {&rgb, Format(16, 0x001F, 0x07E0, 0xF800, true, 4096), "none", "none"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Chosen(*c.img, c.f, false), c.without_mmx) << c.with_mmx;
    EXPECT_EQ(Chosen(*c.img, c.f, true), simd ? c.with_mmx : c.without_mmx) << c.without_mmx;
    for (int field = 0; field < 3; field++) {
      RawRGBFormat scaled = c.f;
      (field == 0   ? scaled.resize_width
       : field == 1 ? scaled.upscale_factor
                    : scaled.downscale_factor) = 2;
      EXPECT_EQ(Chosen(*c.img, scaled, true), "none");
    }
  }
}

TEST(Image2RawRGB, ConvertsThroughTheTransformForThisProcessorAndKeepsIt) {
  std::mt19937 rng(5);
  Image<Pixel> img = MakeImage(21, 7, Colorspace_YUV, Chroma_420);
  FillRandom(img, rng);
  const RawRGBFormat f = BGR32(4 * 24);
  Image2RawRGB conv;
  EXPECT_EQ(conv.AskTransform(), nullptr);
  conv.SetFormat(f);

  // lastline -1 stands for the last line.
  Canvas got(7, f.bytes_per_line);
  conv.Transform(img, got.Mem(), 0, -1);
  const Image2RawRGB_Transform* chosen = conv.AskTransform();
  ASSERT_NE(chosen, nullptr);
  const bool mmx = PIXKIT_SIMD_TRANSFORMS && CPU_Capabilities::AskCapabilities()->HasMMX();
  EXPECT_EQ(std::string(chosen->TransformationName()), Chosen(img, f, mmx));
  std::unique_ptr<Image2RawRGB_Transform> direct = CreateImage2RawRGB_Transform(img, f, mmx);
  direct->SetFormat(f);
  Canvas want(7, f.bytes_per_line);
  direct->Transform(img, want.Mem(), 0, 6);
  EXPECT_TRUE(got.bytes == want.bytes);

  // lastline below firstline writes nothing, and the transform is kept.
  Canvas none(1, f.bytes_per_line);
  conv.Transform(img, none.Mem(), 4, 3);
  EXPECT_TRUE(none.AllUntouched());
  EXPECT_EQ(conv.AskTransform(), chosen);

  // The format is copied on every call: a new row distance takes effect at once.
  RawRGBFormat wide = f;
  wide.bytes_per_line = 4 * 24 + 8;
  conv.SetFormat(wide);
  Canvas spaced(7, wide.bytes_per_line);
  conv.Transform(img, spaced.Mem(), 0, -1);
  EXPECT_EQ(conv.AskTransform(), chosen);
  for (int r = 0; r < 7; r++)
    EXPECT_EQ(std::memcmp(spaced.Row(r), want.Row(r), size_t(4 * 21)), 0) << r;
  EXPECT_TRUE(spaced.RowEndsUntouched(4 * 24));
}

TEST(Image2RawRGB, ReplacesATransformThatNoLongerAccepts) {
  Image<Pixel> yuv = MakeImage(16, 2, Colorspace_YUV, Chroma_444);
  Image<Pixel> grey = MakeImage(16, 2, Colorspace_Greyscale);
  for (int i = 0; i < 3; i++) FillPlane(yuv, i, 128);
  FillPlane(grey, 0, 0x5A);
  Image2RawRGB conv;
  conv.SetFormat(BGR32(64));
  Canvas c(2, 64);
  conv.Transform(yuv, c.Mem(), 0, -1);
  EXPECT_EQ(std::string(conv.AskTransform()->TransformationName()),
            "scalar 4:4:4-YUV to 32bit RGB");
  conv.Transform(grey, c.Mem(), 0, -1);
  EXPECT_NE(std::string(conv.AskTransform()->TransformationName()).find("grey to 32bit RGB"),
            std::string::npos);
  EXPECT_EQ(c.bytes[0], 0x5A);
  EXPECT_EQ(c.bytes[3], 0x5A);
}

TEST(Image2RawRGB, ThrowsWhenNothingAcceptsAndChoosesAgainNextTime) {
  const Image<Pixel> i420 = MakeImage(16, 2, Colorspace_YUV, Chroma_420);
  const Image<Pixel> i444 = MakeImage(16, 2, Colorspace_YUV, Chroma_444);
  Image2RawRGB conv;
  Canvas c(2, 64);
  conv.SetFormat(Format(24, 0xFF0000, 0xFF00, 0xFF, true, 64));
  conv.Transform(i420, c.Mem(), 0, -1);  // 4:2:0 has a 24-bit transform, 4:4:4 none
  c = Canvas(2, 64);
  try {
    conv.Transform(i444, c.Mem(), 0, -1);
    ADD_FAILURE() << "no exception";
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(ErrorText(e), "no suitable colorspace transformation found!");
    EXPECT_EQ(e.m_severity, ErrSev_Error);
  }
  EXPECT_EQ(conv.AskTransform(), nullptr);
  EXPECT_TRUE(c.AllUntouched());
  conv.SetFormat(Bits(8));
  EXPECT_THROW(conv.Transform(i420, c.Mem(), 0, -1), Excpt_Text);
  EXPECT_THROW(conv.Transform(i420, c.Mem(), 1, 0), Excpt_Text);  // chooses even with no lines
  conv.SetFormat(BGR32(64));
  conv.Transform(i420, c.Mem(), 2, 1);
  EXPECT_NE(conv.AskTransform(), nullptr);
}

TEST(Image2RawRGB, KeepsATransformAfterAnExceptionOnlyWhenItHadItBefore) {
  const Image<Pixel> good = MakeImage(16, 2, Colorspace_YUV, Chroma_422);
  Image<Pixel> broken = MakeImage(16, 2, Colorspace_YUV, Chroma_422);
  broken.AskBitmap(2).Release();
  Image2RawRGB conv;
  conv.SetFormat(BGR32(64));
  Canvas c(2, 64);
  EXPECT_THROW(conv.Transform(broken, c.Mem(), 0, -1), Excpt_Assertion);
  EXPECT_EQ(conv.AskTransform(), nullptr);
  conv.Transform(good, c.Mem(), 0, -1);
  const Image2RawRGB_Transform* kept = conv.AskTransform();
  ASSERT_NE(kept, nullptr);
  EXPECT_THROW(conv.Transform(broken, c.Mem(), 0, -1), Excpt_Assertion);
  EXPECT_EQ(conv.AskTransform(), kept);
}

// Every transform, through the row rule: line y of the picture lands in memory row
// y - firstline, nothing is written after a row's pixels, beyond lastline or when
// lastline < firstline. The memory is sized exactly, so a stray row is caught too.
TEST(Image2RawRGB_Transform, EveryTransformPlacesLinesByTheRowRule) {
  struct Case {
    std::function<Image2RawRGB_Transform*()> create;
    Colorspace cs;
    ChromaFormat chroma;
    int w;
    RawRGBFormat f;
    int row_bytes;
    bool odd_first;
  };
  const int w = 21, w8 = 24;
  const std::vector<Case> cases = {
    {[] { return new i2r_yuv_16bit; }, Colorspace_YUV, Chroma_420, w, RGB565(), 2 * w, false},
    {[] { return new i2r_yuv_32bit; }, Colorspace_YUV, Chroma_420, w, RGB24(), 3 * w, true},
    {[] { return new i2r_yuv422_32bit; }, Colorspace_YUV, Chroma_422, w, BGR32(), 4 * w, true},
    {[] { return new i2r_yuv444_16bit; }, Colorspace_YUV, Chroma_444, w, RGB555(), 2 * w, true},
    {[] { return new i2r_yuv444_32bit; }, Colorspace_YUV, Chroma_444, w, BGR32(), 4 * w, true},
    {[] { return new i2r_grey_32bit; }, Colorspace_Greyscale, Chroma_444, w, BGR32(), 4 * w, true},
    {[] { return new i2r_grey_24bit; }, Colorspace_Greyscale, Chroma_444, w, RGB24(), 3 * w, true},
    {[] { return new i2r_grey_16bit; }, Colorspace_Greyscale, Chroma_444, w, RGB565(), 2 * w, true},
    {[] { return new i2r_grey_4bit; }, Colorspace_Greyscale, Chroma_444, w, Bits(4), (w + 1) / 2,
     true},
    {[] { return new i2r_32bit; }, Colorspace_RGB, Chroma_444, w, BGR32(), 4 * w, true},
    {[] { return new i2r_16bit; }, Colorspace_RGB, Chroma_444, w, RGB565(), 2 * w, true},
#if PIXKIT_SIMD_TRANSFORMS
    {[] { return new i2r_32bit_BGR_mmx; }, Colorspace_YUV, Chroma_420, w, BGR32(), 4 * w8, false},
    {[] { return new i2r_16bit_mmx; }, Colorspace_YUV, Chroma_420, w8, RGB565(), 2 * w8, false},
    {[] { return new i2r_grey_32bit_mmx; }, Colorspace_Greyscale, Chroma_444, w, BGR32(), 4 * w8,
     true},
    {[] { return new i2r_grey_16bit_mmx; }, Colorspace_Greyscale, Chroma_444, w8, RGB565(), 2 * w8,
     true},
#endif
  };
  std::mt19937 rng(11);
  const int h = 9;
  for (const Case& c : cases) {
    Image<Pixel> img = MakeImage(c.w, h, c.cs, c.chroma);
    FillRandom(img, rng);
    RawRGBFormat f = c.f;
    f.bytes_per_line = c.row_bytes + 3;
    std::unique_ptr<Image2RawRGB_Transform> t(c.create());
    const std::string name = t->TransformationName();
    ASSERT_TRUE(t->CanConvert(img, f)) << name;
    t->SetFormat(f);
    t->Init();
    Canvas full(h, f.bytes_per_line);
    t->Transform(img, full.Mem(), 0, h - 1);
    EXPECT_TRUE(full.RowEndsUntouched(c.row_bytes)) << name;
    for (int first = 0; first < h; first++) {
      if (first % 2 && !c.odd_first) continue;
      for (int last = first - 1; last < h; last++) {
        Canvas part(std::max(last - first + 1, 1), f.bytes_per_line);
        t->Transform(img, part.Mem(), first, last);
        if (last < first) {
          EXPECT_TRUE(part.AllUntouched()) << name;
          continue;
        }
        EXPECT_TRUE(std::equal(part.bytes.begin(), part.bytes.end(), full.Row(first)))
            << name << " lines " << first << ".." << last;
      }
    }
  }
}
