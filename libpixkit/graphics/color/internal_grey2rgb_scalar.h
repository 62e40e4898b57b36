// Plain per-pixel transforms of grey and RGB images into display memory, for any processor.
#ifndef PIXKIT_GRAPHICS_COLOR_INTERNAL_GREY2RGB_SCALAR_H
#define PIXKIT_GRAPHICS_COLOR_INTERNAL_GREY2RGB_SCALAR_H

#include "libpixkit/graphics/color/internal_img2raw.h"

namespace pixkit {

// All four bytes of a 32-bit pixel receive the grey sample.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_grey_32bit);
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_grey_24bit);
// Each channel receives the top bits of the grey sample at its position.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_grey_16bit);
// Two pixels per byte, the left one in the high half.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_grey_4bit);
// RGB images on 32- or 24-bit displays with byte-aligned channels.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_32bit);
// RGB images on 16-bit displays: red and green end in the high byte, blue in the low one.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_16bit);

}  // namespace pixkit

#endif
