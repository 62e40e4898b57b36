// Plain integer transforms of YUV images (4:2:0, 4:2:2, 4:4:4) into 16-, 24- and 32-bit
// display memory, for any processor. 8 fraction bits; see internal_yuv2rgb_mmx.h for the
// 6-bit SIMD variant.
#ifndef PIXKIT_GRAPHICS_COLOR_INTERNAL_YUV2RGB_SCALAR_H
#define PIXKIT_GRAPHICS_COLOR_INTERNAL_YUV2RGB_SCALAR_H

#include "libpixkit/graphics/color/internal_img2raw.h"

namespace pixkit {

PIXKIT_DECLARE_I2R_TRANSFORM(i2r_yuv_16bit);
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_yuv_32bit);
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_yuv422_32bit);
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_yuv444_16bit);
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_yuv444_32bit);

// Byte clipping of the 24- and 32-bit transforms: entry i is i limited to 0..255. Filled by
// the first transform that needs it and never freed.
class YUVClipTable {
 public:
  static constexpr int c_Lowest = -512;
  static constexpr int c_Highest = 767;  // the formulas reach -277 .. 534

  static void FillOnce();
  static bool IsFilled() { return d_filled; }
  // Entry i, for c_Lowest <= i <= c_Highest, once filled.
  static const int* AskEntries() { return d_entries - c_Lowest; }

 private:
  static int d_entries[c_Highest - c_Lowest + 1];
  static bool d_filled;
};

}  // namespace pixkit

#endif
