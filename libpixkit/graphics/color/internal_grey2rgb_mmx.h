// SIMD transforms of one-plane grey pictures into 32- and 16-bit display memory, and the
// scalar model of their packing.
#ifndef PIXKIT_GRAPHICS_COLOR_INTERNAL_GREY2RGB_MMX_H
#define PIXKIT_GRAPHICS_COLOR_INTERNAL_GREY2RGB_MMX_H

#include "libpixkit/graphics/color/internal_img2raw.h"

namespace pixkit {

#if PIXKIT_SIMD_TRANSFORMS
// All four bytes of each pixel hold the sample; rows get the width rounded up to 8 pixels.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_grey_32bit_mmx);
// Little-endian 16-bit pixels with red ending at bit 15; widths a multiple of 8.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_grey_16bit_mmx);
#endif

namespace grey_simd_model {

// ((256 Y) & r_mask) | ((256 Y) >> (16 - g_bits - g_shift) & g_mask) | the same for blue,
// masks cut to 16 bits; a shift count outside 0..15 gives 0.
unsigned Pixel16(int y, const RawRGBFormat& f);

// By the row rule, one line at a time; the 32-bit one writes the width rounded up to 8
// pixels, the extra pixels repeating the last column.
void ConvertGrey32(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                   int bytes_per_line);
void ConvertGrey16(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                   const RawRGBFormat& f);

}  // namespace grey_simd_model

}  // namespace pixkit

#endif
