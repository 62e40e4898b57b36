// SIMD transforms of one-plane grey pictures into 32- and 16-bit display memory.
#include "libpixkit/graphics/color/internal_grey2rgb_mmx.h"

#include <algorithm>

#include "libpixkit/utility/math.h"

#if PIXKIT_SIMD_TRANSFORMS
#include <emmintrin.h>
#endif

namespace pixkit {

namespace grey_simd_model {

namespace {

unsigned ShiftRight(unsigned v, int count) { return count < 0 || count > 15 ? 0 : v >> count; }

}  // namespace

unsigned Pixel16(int y, const RawRGBFormat& f) {
  const unsigned v = unsigned(y) << 8;
  return (v & f.r_mask & 0xFFFF) | (ShiftRight(v, 16 - f.g_bits - f.g_shift) & f.g_mask & 0xFFFF) |
         (ShiftRight(v, 16 - f.b_bits - f.b_shift) & f.b_mask & 0xFFFF);
}

void ConvertGrey32(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                   int bytes_per_line) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = mem + std::ptrdiff_t(y - firstline) * bytes_per_line;
    for (int x = 0; x < AlignUp(w, 8); x++)
      std::fill(d + 4 * x, d + 4 * x + 4, Y[y][std::min(x, w - 1)]);
  }
}

void ConvertGrey16(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                   const RawRGBFormat& f) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, f, y, firstline);
    for (int x = 0; x < w; x++) Store16(d + 2 * x, Pixel16(Y[y][x], f), true);
  }
}

}  // namespace grey_simd_model

#if PIXKIT_SIMD_TRANSFORMS

namespace {

template <bool kWide>
inline void StoreGrey32(__m128i y8, uint8_t* d) {
  const __m128i yy_lo = _mm_unpacklo_epi8(y8, y8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(yy_lo, yy_lo));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi16(yy_lo, yy_lo));
  if (kWide) {
    const __m128i yy_hi = _mm_unpackhi_epi8(y8, y8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_unpacklo_epi16(yy_hi, yy_hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), _mm_unpackhi_epi16(yy_hi, yy_hi));
  }
}

struct GreyPacking16 {
  explicit GreyPacking16(const int constants[3], const RawRGBFormat& f)
      : g_count(_mm_cvtsi32_si128(constants[1])),
        b_count(_mm_cvtsi32_si128(constants[2])),
        r_mask(_mm_set1_epi16(int16_t(f.r_mask & 0xFFFF))),
        g_mask(_mm_set1_epi16(int16_t(f.g_mask & 0xFFFF))),
        b_mask(_mm_set1_epi16(int16_t(f.b_mask & 0xFFFF))) {}
  __m128i g_count, b_count, r_mask, g_mask, b_mask;
};

// Eight samples, each in the high byte of its lane, to eight pixels.
inline __m128i PackGrey16(__m128i v, const GreyPacking16& k) {
  return _mm_or_si128(_mm_or_si128(_mm_and_si128(v, k.r_mask),
                                   _mm_and_si128(_mm_srl_epi16(v, k.g_count), k.g_mask)),
                      _mm_and_si128(_mm_srl_epi16(v, k.b_count), k.b_mask));
}

}  // namespace

bool i2r_grey_32bit_mmx::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 32 && ByteChannels(f) &&
         f.bytes_per_line >= 4 * AlignUp(img.AskWidth(), 8) && GreyInput(img, f);
}

void i2r_grey_32bit_mmx::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline,
                                   int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    const Pixel* s = Y[y];
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    int x = 0;
    for (; x + 16 <= w; x += 16)
      StoreGrey32<true>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x)), d + 4 * x);
    if (x + 8 <= w) {
      StoreGrey32<false>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + x)), d + 4 * x);
      x += 8;
    }
    // The rest of the last block repeats the row's last sample rather than read past it.
    for (; x < AlignUp(w, 8); x++) std::fill(d + 4 * x, d + 4 * x + 4, s[std::min(x, w - 1)]);
  }
}

const char* i2r_grey_32bit_mmx::TransformationName() const {
  return "grey to 32bit RGB, MMX accelerated";
}

// Red must end at bit 15, which the packing assumes: other layouts (5-5-5) go to the scalar
// transform instead.
bool i2r_grey_16bit_mmx::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 16 && f.little_endian && img.AskWidth() % 8 == 0 &&
         f.bytes_per_line >= 2 * img.AskWidth() && f.r_bits + f.r_shift == 16 && GreyInput(img, f);
}

void i2r_grey_16bit_mmx::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline,
                                   int lastline) {
  const int constants[3] = {16 - d_spec.r_bits - d_spec.r_shift,
                            16 - d_spec.g_bits - d_spec.g_shift,
                            16 - d_spec.b_bits - d_spec.b_shift};
  assert(constants[0]==0);
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  assert(w%8 == 0);
  const GreyPacking16 k(constants, d_spec);
  const __m128i zero = _mm_setzero_si128();
  for (int y = firstline; y <= lastline; y++) {
    const Pixel* s = Y[y];
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    int x = 0;
    for (; x + 16 <= w; x += 16) {
      const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x),
                       PackGrey16(_mm_unpacklo_epi8(zero, y8), k));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x + 16),
                       PackGrey16(_mm_unpackhi_epi8(zero, y8), k));
    }
    if (x < w) {
      const __m128i y8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + x));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * x),
                       PackGrey16(_mm_unpacklo_epi8(zero, y8), k));
    }
  }
}

const char* i2r_grey_16bit_mmx::TransformationName() const {
  return "grey to 16bit RGB, MMX accelerated";
}

#endif  // PIXKIT_SIMD_TRANSFORMS

}  // namespace pixkit
