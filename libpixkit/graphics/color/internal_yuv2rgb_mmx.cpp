// SIMD transforms of 4:2:0 YUV images into 32-bit BGR and 16-bit display memory, and the
// scalar model of their arithmetic.
#include "libpixkit/graphics/color/internal_yuv2rgb_mmx.h"

#include <algorithm>
#include <cstring>

#include "libpixkit/utility/math.h"

#if PIXKIT_SIMD_TRANSFORMS
#include <emmintrin.h>
#endif
// Wider rows for the 32-bit transform, chosen at run time where the processor has AVX2.
#if PIXKIT_SIMD_TRANSFORMS && defined(__GNUC__)
#define PIXKIT_AVX2_ROWS 1
#include <immintrin.h>
#else
#define PIXKIT_AVX2_ROWS 0
#endif

namespace pixkit {

namespace yuv_simd_model {

bool g_allow_avx2 = true;

int Channel(int channel, int n, int y, int u, int v) {
  const int l = 74 * std::max(y - 16, 0);
  const int su = u - 128;
  const int sv = v - 128;
  // Wide arithmetic: the 16-bit lanes saturate the blue sum at 32767, which gives the same
  // channel maximum.
  const int sum = channel == 0   ? l + 102 * sv
                  : channel == 1 ? l - (25 * su + 52 * sv)
                                 : l + 129 * su;
  return std::clamp(sum >> (14 - n), 0, (1 << n) - 1);
}

void PixelBGR0(int y, int u, int v, uint8_t* dst) {
  dst[0] = uint8_t(Channel(2, 8, y, u, v));
  dst[1] = uint8_t(Channel(1, 8, y, u, v));
  dst[2] = uint8_t(Channel(0, 8, y, u, v));
  dst[3] = 0;
}

unsigned Pixel16(int y, int u, int v, const RawRGBFormat& f) {
  return (unsigned(Channel(2, f.b_bits, y, u, v)) |
          unsigned(Channel(1, f.g_bits, y, u, v)) << f.g_shift |
          unsigned(Channel(0, f.r_bits, y, u, v)) << f.r_shift) &
         0xFFFF;
}

void Convert420_BGR32(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                      int bytes_per_line) {
  const Pixel* const* Y = img.AskFrameY();
  const Pixel* const* U = img.AskFrameU();
  const Pixel* const* V = img.AskFrameV();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = mem + std::ptrdiff_t(y - firstline) * bytes_per_line;
    for (int x = 0; x < AlignUp(w, 8); x++) {
      const int xs = std::min(x, w - 1);
      PixelBGR0(Y[y][xs], U[y / 2][xs / 2], V[y / 2][xs / 2], d + 4 * x);
    }
  }
}

void Convert420_16(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline,
                   const RawRGBFormat& f) {
  const Pixel* const* Y = img.AskFrameY();
  const Pixel* const* U = img.AskFrameU();
  const Pixel* const* V = img.AskFrameV();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, f, y, firstline);
    for (int x = 0; x < w; x++)
      Store16(d + 2 * x, Pixel16(Y[y][x], U[y / 2][x / 2], V[y / 2][x / 2], f), true);
  }
}

}  // namespace yuv_simd_model

#if PIXKIT_SIMD_TRANSFORMS

namespace {

// The SSE2 registers hold 16 pixels of a line: lanes lo (pixels 0-7) and hi (8-15).
struct ChromaTerms {
  __m128i r_lo, r_hi, g_lo, g_hi, b_lo, b_hi;
};

inline __m128i Load4(const Pixel* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

// Terms of 8 chroma samples (in the low half of u8 and v8), each doubled for its two pixels.
inline ChromaTerms TermsOf(__m128i u8, __m128i v8) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i c128 = _mm_set1_epi16(128);
  const __m128i u = _mm_sub_epi16(_mm_unpacklo_epi8(u8, zero), c128);
  const __m128i v = _mm_sub_epi16(_mm_unpacklo_epi8(v8, zero), c128);
  const __m128i r = _mm_mullo_epi16(v, _mm_set1_epi16(102));
  const __m128i b = _mm_mullo_epi16(u, _mm_set1_epi16(129));
  const __m128i green_pair = _mm_set1_epi32((52 << 16) | 25);
  const __m128i g = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(u, v), green_pair),
                                    _mm_madd_epi16(_mm_unpackhi_epi16(u, v), green_pair));
  return {_mm_unpacklo_epi16(r, r), _mm_unpackhi_epi16(r, r), _mm_unpacklo_epi16(g, g),
          _mm_unpackhi_epi16(g, g), _mm_unpacklo_epi16(b, b), _mm_unpackhi_epi16(b, b)};
}

// 74 * max(Y - 16, 0) of 16 luma samples.
inline void LumaOf(__m128i y8, __m128i& lo, __m128i& hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i ys = _mm_subs_epu8(y8, _mm_set1_epi8(16));
  lo = _mm_mullo_epi16(_mm_unpacklo_epi8(ys, zero), _mm_set1_epi16(74));
  hi = _mm_mullo_epi16(_mm_unpackhi_epi8(ys, zero), _mm_set1_epi16(74));
}

// 16 (kWide) or 8 pixels of one line to blue, green, red, 0.
template <bool kWide>
inline void StoreBGR0(__m128i y8, const ChromaTerms& c, uint8_t* d) {
  __m128i l_lo, l_hi;
  LumaOf(y8, l_lo, l_hi);
  const __m128i r = _mm_packus_epi16(_mm_srai_epi16(_mm_adds_epi16(l_lo, c.r_lo), 6),
                                     _mm_srai_epi16(_mm_adds_epi16(l_hi, c.r_hi), 6));
  const __m128i g = _mm_packus_epi16(_mm_srai_epi16(_mm_subs_epi16(l_lo, c.g_lo), 6),
                                     _mm_srai_epi16(_mm_subs_epi16(l_hi, c.g_hi), 6));
  const __m128i b = _mm_packus_epi16(_mm_srai_epi16(_mm_adds_epi16(l_lo, c.b_lo), 6),
                                     _mm_srai_epi16(_mm_adds_epi16(l_hi, c.b_hi), 6));
  const __m128i zero = _mm_setzero_si128();
  const __m128i bg_lo = _mm_unpacklo_epi8(b, g);
  const __m128i r0_lo = _mm_unpacklo_epi8(r, zero);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(bg_lo, r0_lo));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi16(bg_lo, r0_lo));
  if (kWide) {
    const __m128i bg_hi = _mm_unpackhi_epi8(b, g);
    const __m128i r0_hi = _mm_unpackhi_epi8(r, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), _mm_unpacklo_epi16(bg_hi, r0_hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), _mm_unpackhi_epi16(bg_hi, r0_hi));
  }
}

// Pixels x0 .. xEnd - 1 of one line by the model, reading no column beyond w - 1.
void TailBGR0(const Pixel* y, const Pixel* u, const Pixel* v, uint8_t* d, int x0, int xEnd, int w) {
  for (int x = x0; x < xEnd; x++) {
    const int xs = std::min(x, w - 1);
    yuv_simd_model::PixelBGR0(y[xs], u[xs / 2], v[xs / 2], d + 4 * x);
  }
}

#if PIXKIT_AVX2_ROWS
#define PIXKIT_TARGET_AVX2 __attribute__((target("avx2")))

// The AVX2 rows hold 32 pixels: each 128-bit half works as the SSE2 rows do on 16, the
// halves being pixels 0-7 and 16-23 (lo) and 8-15 and 24-31 (hi).
struct ChromaTerms256 {
  __m256i r_lo, r_hi, g_lo, g_hi, b_lo, b_hi;
};

PIXKIT_TARGET_AVX2 inline ChromaTerms256 TermsOf256(const Pixel* u8, const Pixel* v8) {
  const __m256i c128 = _mm256_set1_epi16(128);
  const __m256i u = _mm256_sub_epi16(
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u8))), c128);
  const __m256i v = _mm256_sub_epi16(
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v8))), c128);
  const __m256i r = _mm256_mullo_epi16(v, _mm256_set1_epi16(102));
  const __m256i b = _mm256_mullo_epi16(u, _mm256_set1_epi16(129));
  const __m256i green_pair = _mm256_set1_epi32((52 << 16) | 25);
  const __m256i g = _mm256_packs_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(u, v), green_pair),
                                       _mm256_madd_epi16(_mm256_unpackhi_epi16(u, v), green_pair));
  return {_mm256_unpacklo_epi16(r, r), _mm256_unpackhi_epi16(r, r), _mm256_unpacklo_epi16(g, g),
          _mm256_unpackhi_epi16(g, g), _mm256_unpacklo_epi16(b, b), _mm256_unpackhi_epi16(b, b)};
}

PIXKIT_TARGET_AVX2 inline void StoreBGR0_256(const Pixel* y, const ChromaTerms256& c, uint8_t* d) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ys = _mm256_subs_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y)),
                                      _mm256_set1_epi8(16));
  const __m256i l_lo = _mm256_mullo_epi16(_mm256_unpacklo_epi8(ys, zero), _mm256_set1_epi16(74));
  const __m256i l_hi = _mm256_mullo_epi16(_mm256_unpackhi_epi8(ys, zero), _mm256_set1_epi16(74));
  const __m256i r = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_adds_epi16(l_lo, c.r_lo), 6),
                                        _mm256_srai_epi16(_mm256_adds_epi16(l_hi, c.r_hi), 6));
  const __m256i g = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_subs_epi16(l_lo, c.g_lo), 6),
                                        _mm256_srai_epi16(_mm256_subs_epi16(l_hi, c.g_hi), 6));
  const __m256i b = _mm256_packus_epi16(_mm256_srai_epi16(_mm256_adds_epi16(l_lo, c.b_lo), 6),
                                        _mm256_srai_epi16(_mm256_adds_epi16(l_hi, c.b_hi), 6));
  const __m256i bg_lo = _mm256_unpacklo_epi8(b, g), bg_hi = _mm256_unpackhi_epi8(b, g);
  const __m256i r0_lo = _mm256_unpacklo_epi8(r, zero), r0_hi = _mm256_unpackhi_epi8(r, zero);
  const __m256i q0 = _mm256_unpacklo_epi16(bg_lo, r0_lo);  // pixels 0-3 and 16-19
  const __m256i q1 = _mm256_unpackhi_epi16(bg_lo, r0_lo);  // 4-7 and 20-23
  const __m256i q2 = _mm256_unpacklo_epi16(bg_hi, r0_hi);  // 8-11 and 24-27
  const __m256i q3 = _mm256_unpackhi_epi16(bg_hi, r0_hi);  // 12-15 and 28-31
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_permute2x128_si256(q0, q1, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), _mm256_permute2x128_si256(q2, q3, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 64), _mm256_permute2x128_si256(q0, q1, 0x31));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 96), _mm256_permute2x128_si256(q2, q3, 0x31));
}

// Blocks of 32 pixels; returns the first column left over.
template <bool kPair>
PIXKIT_TARGET_AVX2 int RowsBGR0_AVX2(const Pixel* y0, const Pixel* y1, const Pixel* u,
                                     const Pixel* v, uint8_t* d0, uint8_t* d1, int w) {
  int x = 0;
  for (; x + 32 <= w; x += 32) {
    const ChromaTerms256 c = TermsOf256(u + x / 2, v + x / 2);
    StoreBGR0_256(y0 + x, c, d0 + 4 * x);
    if (kPair) StoreBGR0_256(y1 + x, c, d1 + 4 * x);
  }
  return x;
}

bool UseAVX2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 && yuv_simd_model::g_allow_avx2;
}
#endif  // PIXKIT_AVX2_ROWS

// One line, or two lines sharing their chroma line (kPair).
template <bool kPair>
void RowsBGR0(const Pixel* y0, const Pixel* y1, const Pixel* u, const Pixel* v, uint8_t* d0,
              uint8_t* d1, int w) {
  int x = 0;
#if PIXKIT_AVX2_ROWS
  if (UseAVX2()) x = RowsBGR0_AVX2<kPair>(y0, y1, u, v, d0, d1, w);
#endif
  for (; x + 16 <= w; x += 16) {
    const ChromaTerms c = TermsOf(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2)));
    StoreBGR0<true>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y0 + x)), c, d0 + 4 * x);
    if (kPair)
      StoreBGR0<true>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y1 + x)), c, d1 + 4 * x);
  }
  if (x + 8 <= w) {
    const ChromaTerms c = TermsOf(Load4(u + x / 2), Load4(v + x / 2));
    StoreBGR0<false>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y0 + x)), c, d0 + 4 * x);
    if (kPair)
      StoreBGR0<false>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y1 + x)), c, d1 + 4 * x);
    x += 8;
  }
  if (x < w) {
    TailBGR0(y0, u, v, d0, x, AlignUp(w, 8), w);
    if (kPair) TailBGR0(y1, u, v, d1, x, AlignUp(w, 8), w);
  }
}

// Per-call constants of the 16-bit packing.
struct Packing16 {
  explicit Packing16(const RawRGBFormat& f)
      : r_count(_mm_cvtsi32_si128(14 - f.r_bits)),
        g_count(_mm_cvtsi32_si128(14 - f.g_bits)),
        b_count(_mm_cvtsi32_si128(14 - f.b_bits)),
        r_max(_mm_set1_epi16(int16_t((1 << f.r_bits) - 1))),
        g_max(_mm_set1_epi16(int16_t((1 << f.g_bits) - 1))),
        b_max(_mm_set1_epi16(int16_t((1 << f.b_bits) - 1))),
        r_place(_mm_cvtsi32_si128(f.r_shift)),
        g_place(_mm_cvtsi32_si128(f.g_shift)) {}
  __m128i r_count, g_count, b_count, r_max, g_max, b_max, r_place, g_place;
};

inline __m128i Limit(__m128i sum, __m128i count, __m128i max) {
  return _mm_min_epi16(_mm_max_epi16(_mm_sra_epi16(sum, count), _mm_setzero_si128()), max);
}

inline __m128i Pack16(__m128i l, __m128i r, __m128i g, __m128i b, const Packing16& k) {
  const __m128i rv = Limit(_mm_adds_epi16(l, r), k.r_count, k.r_max);
  const __m128i gv = Limit(_mm_subs_epi16(l, g), k.g_count, k.g_max);
  const __m128i bv = Limit(_mm_adds_epi16(l, b), k.b_count, k.b_max);
  return _mm_or_si128(_mm_or_si128(bv, _mm_sll_epi16(gv, k.g_place)), _mm_sll_epi16(rv, k.r_place));
}

template <bool kWide>
inline void Store16(__m128i y8, const ChromaTerms& c, const Packing16& k, uint8_t* d) {
  __m128i l_lo, l_hi;
  LumaOf(y8, l_lo, l_hi);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), Pack16(l_lo, c.r_lo, c.g_lo, c.b_lo, k));
  if (kWide)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), Pack16(l_hi, c.r_hi, c.g_hi, c.b_hi, k));
}

template <bool kPair>
void Rows16(const Pixel* y0, const Pixel* y1, const Pixel* u, const Pixel* v, uint8_t* d0,
            uint8_t* d1, int w, const Packing16& k) {
  int x = 0;
  for (; x + 16 <= w; x += 16) {
    const ChromaTerms c = TermsOf(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2)),
                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2)));
    Store16<true>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y0 + x)), c, k, d0 + 2 * x);
    if (kPair)
      Store16<true>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y1 + x)), c, k, d1 + 2 * x);
  }
  if (x < w) {  // w is a multiple of 8: one block of eight remains
    const ChromaTerms c = TermsOf(Load4(u + x / 2), Load4(v + x / 2));
    Store16<false>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y0 + x)), c, k, d0 + 2 * x);
    if (kPair)
      Store16<false>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y1 + x)), c, k, d1 + 2 * x);
  }
}

// Lines in pairs sharing a chroma line; an odd last line alone with chroma line lastline / 2,
// so that nothing beyond lastline is read or written.
template <class PairFn, class SingleFn>
void WalkPairs(const Image<Pixel>& img, uint8_t* mem, int bytes_per_line, int firstline,
               int lastline, const PairFn& pair, const SingleFn& single) {
  const Pixel* const* Y = img.AskFrameY();
  const Pixel* const* U = img.AskFrameU();
  const Pixel* const* V = img.AskFrameV();
  for (int y = firstline; y <= lastline; y += 2) {
    uint8_t* d = mem + std::ptrdiff_t(y - firstline) * bytes_per_line;
    if (y < lastline)
      pair(Y[y], Y[y + 1], U[y / 2], V[y / 2], d, d + bytes_per_line);
    else
      single(Y[y], U[y / 2], V[y / 2], d);
  }
}

}  // namespace

bool i2r_32bit_BGR_mmx::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 32 && f.little_endian && f.r_bits == 8 &&
         f.g_bits == 8 && f.b_bits == 8 && f.r_shift == 16 && f.g_shift == 8 && f.b_shift == 0 &&
         YUVWithChroma(img, Chroma_420) && f.bytes_per_line >= 4 * AlignUp(img.AskWidth(), 8);
}

void i2r_32bit_BGR_mmx::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline,
                                  int lastline) {
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_420);
  assert((firstline%2) == 0);
  const int w = img.AskWidth();
  WalkPairs(
      img, mem, d_spec.bytes_per_line, firstline, lastline,
      [w](const Pixel* y0, const Pixel* y1, const Pixel* u, const Pixel* v, uint8_t* d0,
          uint8_t* d1) { RowsBGR0<true>(y0, y1, u, v, d0, d1, w); },
      [w](const Pixel* y0, const Pixel* u, const Pixel* v, uint8_t* d0) {
        RowsBGR0<false>(y0, nullptr, u, v, d0, nullptr, w);
      });
}

const char* i2r_32bit_BGR_mmx::TransformationName() const {
  return "YUV to 32bit RGB, (BGR format), MMX accelerated";
}

// Beyond the layout this transform walks (16 bits little-endian, 4:2:0, whole groups of eight),
// the packing must give the pixel exactly: blue at bit 0, red within the high byte, green within
// the word, channels of 1 to 8 bits.
bool i2r_16bit_mmx::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  const auto width_ok = [](int bits) { return bits >= 1 && bits <= 8; };
  return NoScaling(f) && f.bits_per_pixel == 16 && f.little_endian &&
         YUVWithChroma(img, Chroma_420) && img.AskWidth() % 8 == 0 &&
         f.bytes_per_line >= 2 * img.AskWidth() && width_ok(f.r_bits) && width_ok(f.g_bits) &&
         width_ok(f.b_bits) && f.b_shift == 0 && f.r_shift >= 8 && f.r_bits + f.r_shift <= 16 &&
         f.g_bits + f.g_shift <= 16;
}

void i2r_16bit_mmx::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Packing16 k(d_spec);
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_420);
  assert((firstline%2)==0);
  const int w = img.AskWidth();
  assert(w % 8 == 0);
  WalkPairs(
      img, mem, d_spec.bytes_per_line, firstline, lastline,
      [w, &k](const Pixel* y0, const Pixel* y1, const Pixel* u, const Pixel* v, uint8_t* d0,
              uint8_t* d1) { Rows16<true>(y0, y1, u, v, d0, d1, w, k); },
      [w, &k](const Pixel* y0, const Pixel* u, const Pixel* v, uint8_t* d0) {
        Rows16<false>(y0, nullptr, u, v, d0, nullptr, w, k);
      });
}

const char* i2r_16bit_mmx::TransformationName() const {
  return "YUV to 16bit RGB, MMX accelerated";
}

#endif  // PIXKIT_SIMD_TRANSFORMS

}  // namespace pixkit
