// SIMD transforms of 4:2:0 YUV images into 32-bit BGR and 16-bit display memory, eight
// pixels of two lines at a time or more, and the scalar model of their arithmetic.
//
// The arithmetic (6 fraction bits so that every term fits a signed 16-bit lane):
//   L = 74 * max(Y - 16, 0), u = U - 128, v = V - 128
//   red = L + 102 v, green = L - (25 u + 52 v), blue = L + 129 u
//   a channel of n bits = clamp(floor(sum / 2^(14 - n)), 0, 2^n - 1)
// It differs from the scalar transforms' 8-bit formula by a level or two.
#ifndef PIXKIT_GRAPHICS_COLOR_INTERNAL_YUV2RGB_MMX_H
#define PIXKIT_GRAPHICS_COLOR_INTERNAL_YUV2RGB_MMX_H

#include "libpixkit/graphics/color/internal_img2raw.h"

namespace pixkit {

#if PIXKIT_SIMD_TRANSFORMS
// Memory bytes blue, green, red, 0 per pixel; rows get the width rounded up to 8 pixels.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_32bit_BGR_mmx);
// Little-endian 16-bit pixels, blue at bit 0, red in the high byte; widths a multiple of 8.
PIXKIT_DECLARE_I2R_TRANSFORM(i2r_16bit_mmx);
#endif

// The plain statement of the SIMD arithmetic: the SIMD code's row tails use it, and the
// tests hold the SIMD code to it byte for byte.
namespace yuv_simd_model {

// Whether the 32-bit transform may use 32-pixel AVX2 rows where the processor has AVX2
// (otherwise SSE2 alone). Tests clear it to hold the SSE2 rows to the model as well.
extern bool g_allow_avx2;

// One channel of n bits (1 to 8) from Y, U, V; channel 0 red, 1 green, 2 blue.
int Channel(int channel, int n, int y, int u, int v);

// One 32-bit pixel: bytes blue, green, red, 0.
void PixelBGR0(int y, int u, int v, uint8_t* dst);

// One 16-bit pixel value: blue | green << g_shift | red << r_shift.
unsigned Pixel16(int y, int u, int v, const RawRGBFormat& f);

// Whole conversions by the row rule, one line at a time with chroma line y / 2. The 32-bit
// one writes the width rounded up to 8 pixels, the extra pixels repeating the last column.
void Convert420_BGR32(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                      int bytes_per_line);
void Convert420_16(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                   const RawRGBFormat& f);

}  // namespace yuv_simd_model

}  // namespace pixkit

#endif
