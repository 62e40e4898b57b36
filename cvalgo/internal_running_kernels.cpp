// Row kernels of the synthesizers that work per frame. The vector rows give exactly the scalar
// models' bytes: they treat 16 (SSE2) or 32 (AVX2) samples at once, leave the last few of a row
// to the model, and never touch memory beyond a row's end.
#include "cvalgo/internal_running_kernels.h"

#include <emmintrin.h>
#include <immintrin.h>

namespace cvalgo {

RowKind g_widest_rows = RowKind::AVX2;

RowKind ChosenRows() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (g_widest_rows == RowKind::AVX2 && !avx2) return RowKind::SSE2;
  return g_widest_rows;
}

namespace {

#define CVALGO_TARGET_AVX2 __attribute__((target("avx2")))

inline __m128i Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

CVALGO_TARGET_AVX2 inline __m256i Load256(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
CVALGO_TARGET_AVX2 inline void Store256(void* p, __m256i v) {
  _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Aging

void AgeRow_C(Pixel* bg, const Pixel* frame, int w, int a) {
  const int b = 65536 - a;
  for (int x = 0; x < w; x++) bg[x] = Pixel((bg[x] * a + frame[x] * b + 32768) / 65536);
}

// With d = bg - frame the blend is frame + floor((d*a + 32768) / 65536), as frame*65536 is a
// whole multiple. d*a comes from one multiply-add of the pairs (d, 2d) and (a - 32768, 16384),
// which fit signed 16-bit lanes for every a below 65536; a = 65536 keeps the background.
void AgeRow_SSE2(Pixel* bg, const Pixel* frame, int w, int a) {
  if (a == 65536) return;
  const __m128i weights = _mm_set1_epi32(int((16384u << 16) | uint16_t(a - 32768)));
  const __m128i half = _mm_set1_epi32(32768), zero = _mm_setzero_si128();
  const auto blend = [&](__m128i o16, __m128i f16) {
    const __m128i d = _mm_sub_epi16(o16, f16), d2 = _mm_add_epi16(d, d);
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(d, d2), weights);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(d, d2), weights);
    return _mm_add_epi16(f16, _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, half), 16),
                                              _mm_srai_epi32(_mm_add_epi32(hi, half), 16)));
  };
  int x = 0;
  for (; x + 16 <= w; x += 16) {
    const __m128i o = Load(bg + x), f = Load(frame + x);
    Store(bg + x, _mm_packus_epi16(blend(_mm_unpacklo_epi8(o, zero), _mm_unpacklo_epi8(f, zero)),
                                   blend(_mm_unpackhi_epi8(o, zero), _mm_unpackhi_epi8(f, zero))));
  }
  AgeRow_C(bg + x, frame + x, w - x, a);
}

namespace {

// The SSE2 blend in each 128-bit half; unpacking and packing within the halves keeps the order.
CVALGO_TARGET_AVX2 inline __m256i Blend256(__m256i o16, __m256i f16, __m256i weights) {
  const __m256i half = _mm256_set1_epi32(32768);
  const __m256i d = _mm256_sub_epi16(o16, f16), d2 = _mm256_add_epi16(d, d);
  const __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(d, d2), weights);
  const __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(d, d2), weights);
  return _mm256_add_epi16(f16,
                          _mm256_packs_epi32(_mm256_srai_epi32(_mm256_add_epi32(lo, half), 16),
                                             _mm256_srai_epi32(_mm256_add_epi32(hi, half), 16)));
}

}  // namespace

CVALGO_TARGET_AVX2 void AgeRow_AVX2(Pixel* bg, const Pixel* frame, int w, int a) {
  if (a == 65536) return;
  const __m256i weights = _mm256_set1_epi32(int((16384u << 16) | uint16_t(a - 32768)));
  const __m256i zero = _mm256_setzero_si256();
  int x = 0;
  for (; x + 32 <= w; x += 32) {
    const __m256i o = Load256(bg + x), f = Load256(frame + x);
    const __m256i lo =
        Blend256(_mm256_unpacklo_epi8(o, zero), _mm256_unpacklo_epi8(f, zero), weights);
    const __m256i hi =
        Blend256(_mm256_unpackhi_epi8(o, zero), _mm256_unpackhi_epi8(f, zero), weights);
    Store256(bg + x, _mm256_packus_epi16(lo, hi));
  }
  AgeRow_SSE2(bg + x, frame + x, w - x, a);
}

void AgeRow(Pixel* bg, const Pixel* frame, int w, int a) {
  switch (ChosenRows()) {
    case RowKind::C: AgeRow_C(bg, frame, w, a); break;
    case RowKind::SSE2: AgeRow_SSE2(bg, frame, w, a); break;
    case RowKind::AVX2: AgeRow_AVX2(bg, frame, w, a); break;
  }
}

// ---------------------------------------------------------------------------------------------
// First and last samples

namespace {

// The model from column x on.
void TakeRowFrom(const TakeRowArgs& r, int x) {
  for (; x < r.w; x++) {
    if (r.alpha[x] == 0) continue;
    if (r.last || r.taken[x] == 0)
      for (int p = 0; p < r.planes; p++) r.bg[p][x] = r.frame[p][x];
    r.taken[x] = 255;
  }
}

}  // namespace

void TakeRow_C(const TakeRowArgs& r) { TakeRowFrom(r, 0); }

// Once a first background is complete nothing is taken any more, and once a last one is, every
// visible sample is: the planes and the marks are written only where something changes.
void TakeRow_SSE2(const TakeRowArgs& r) {
  const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi8(-1);
  int x = 0;
  for (; x + 16 <= r.w; x += 16) {
    const __m128i visible = _mm_xor_si128(_mm_cmpeq_epi8(Load(r.alpha + x), zero), ones);
    const __m128i c = Load(r.taken + x);
    const __m128i take = r.last ? visible : _mm_and_si128(visible, _mm_cmpeq_epi8(c, zero));
    if (_mm_movemask_epi8(take) != 0) {
      for (int p = 0; p < r.planes; p++) {
        Pixel* bg = r.bg[p] + x;
        Store(bg, _mm_or_si128(_mm_and_si128(take, Load(r.frame[p] + x)),
                               _mm_andnot_si128(take, Load(bg))));
      }
    }
    const __m128i marked = _mm_or_si128(c, visible);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(marked, c)) != 0xffff) Store(r.taken + x, marked);
  }
  TakeRowFrom(r, x);
}

CVALGO_TARGET_AVX2 void TakeRow_AVX2(const TakeRowArgs& r) {
  const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi8(-1);
  int x = 0;
  for (; x + 32 <= r.w; x += 32) {
    const __m256i visible = _mm256_xor_si256(_mm256_cmpeq_epi8(Load256(r.alpha + x), zero), ones);
    const __m256i c = Load256(r.taken + x);
    const __m256i take = r.last ? visible : _mm256_and_si256(visible, _mm256_cmpeq_epi8(c, zero));
    if (_mm256_movemask_epi8(take) != 0) {
      for (int p = 0; p < r.planes; p++) {
        Pixel* bg = r.bg[p] + x;
        Store256(bg, _mm256_or_si256(_mm256_and_si256(take, Load256(r.frame[p] + x)),
                                     _mm256_andnot_si256(take, Load256(bg))));
      }
    }
    const __m256i marked = _mm256_or_si256(c, visible);
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(marked, c)) != -1) Store256(r.taken + x, marked);
  }
  TakeRowFrom(r, x);
}

void TakeRow(const TakeRowArgs& r) {
  switch (ChosenRows()) {
    case RowKind::C: TakeRow_C(r); break;
    case RowKind::SSE2: TakeRow_SSE2(r); break;
    case RowKind::AVX2: TakeRow_AVX2(r); break;
  }
}

// ---------------------------------------------------------------------------------------------
// Running sums

namespace {

void StepRowFrom(const StepRowArgs& r, int x) {
  for (; x < r.w; x++) {
    if (r.joining) {
      const uint32_t valid = !r.joiningAlpha || r.joiningAlpha[x] == 255;
      r.sum[x] += valid ? r.joining[x] : 0;
      if (r.count) r.count[x] += valid;
    }
    if (r.leaving) {
      const uint32_t valid = !r.leavingAlpha || r.leavingAlpha[x] == 255;
      r.sum[x] -= valid ? r.leaving[x] : 0;
      if (r.count) r.count[x] -= valid;
    }
  }
}

// Lanes of 255 where a sample of the row counts, and the samples there (0 elsewhere).
inline void Valid16(const Pixel* s, const Pixel* a, int x, __m128i& valid, __m128i& samples) {
  valid = a ? _mm_cmpeq_epi8(Load(a + x), _mm_set1_epi8(-1)) : _mm_set1_epi8(-1);
  samples = _mm_and_si128(Load(s + x), valid);
}

inline void AddTo(uint32_t* at, __m128i v) { Store(at, _mm_add_epi32(Load(at), v)); }

// Adds sixteen signed 16-bit lanes, lo's eight then hi's, to as many 32-bit totals.
inline void AddSigned16(uint32_t* at, __m128i lo, __m128i hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i slo = _mm_cmpgt_epi16(zero, lo), shi = _mm_cmpgt_epi16(zero, hi);
  AddTo(at, _mm_unpacklo_epi16(lo, slo));
  AddTo(at + 4, _mm_unpackhi_epi16(lo, slo));
  AddTo(at + 8, _mm_unpacklo_epi16(hi, shi));
  AddTo(at + 12, _mm_unpackhi_epi16(hi, shi));
}

template <bool kJoin, bool kLeave>
int StepRows_SSE2(const StepRowArgs& r) {
  const __m128i zero = _mm_setzero_si128();
  int x = 0;
  for (; x + 16 <= r.w; x += 16) {
    __m128i vin = zero, sin = zero, vout = zero, sout = zero;
    if (kJoin) Valid16(r.joining, r.joiningAlpha, x, vin, sin);
    if (kLeave) Valid16(r.leaving, r.leavingAlpha, x, vout, sout);
    AddSigned16(r.sum + x,
                _mm_sub_epi16(_mm_unpacklo_epi8(sin, zero), _mm_unpacklo_epi8(sout, zero)),
                _mm_sub_epi16(_mm_unpackhi_epi8(sin, zero), _mm_unpackhi_epi8(sout, zero)));
    if (!r.count) continue;
    // Valid lanes hold -1: leaving minus joining is the change of the count, -1 to 1.
    const __m128i c8 = _mm_sub_epi8(vout, vin), s8 = _mm_cmpgt_epi8(zero, c8);
    AddSigned16(r.count + x, _mm_unpacklo_epi8(c8, s8), _mm_unpackhi_epi8(c8, s8));
  }
  return x;
}

template <bool kJoin, bool kLeave>
CVALGO_TARGET_AVX2 int StepRows_AVX2(const StepRowArgs& r) {
  const __m128i zero = _mm_setzero_si128();
  int x = 0;
  for (; x + 16 <= r.w; x += 16) {
    __m128i vin = zero, sin = zero, vout = zero, sout = zero;
    if (kJoin) Valid16(r.joining, r.joiningAlpha, x, vin, sin);
    if (kLeave) Valid16(r.leaving, r.leavingAlpha, x, vout, sout);
    const __m256i d = _mm256_sub_epi16(_mm256_cvtepu8_epi16(sin), _mm256_cvtepu8_epi16(sout));
    uint32_t* sum = r.sum + x;
    Store256(sum, _mm256_add_epi32(Load256(sum), _mm256_cvtepi16_epi32(_mm256_castsi256_si128(d))));
    Store256(sum + 8, _mm256_add_epi32(Load256(sum + 8),
                                       _mm256_cvtepi16_epi32(_mm256_extracti128_si256(d, 1))));
    if (!r.count) continue;
    const __m128i c8 = _mm_sub_epi8(vout, vin);
    uint32_t* count = r.count + x;
    Store256(count, _mm256_add_epi32(Load256(count), _mm256_cvtepi8_epi32(c8)));
    Store256(count + 8,
             _mm256_add_epi32(Load256(count + 8), _mm256_cvtepi8_epi32(_mm_srli_si128(c8, 8))));
  }
  return x;
}

}  // namespace

void StepRow_C(const StepRowArgs& r) { StepRowFrom(r, 0); }

void StepRow_SSE2(const StepRowArgs& r) {
  const int x = r.joining
                    ? (r.leaving ? StepRows_SSE2<true, true>(r) : StepRows_SSE2<true, false>(r))
                    : (r.leaving ? StepRows_SSE2<false, true>(r) : r.w);
  StepRowFrom(r, x);
}

void StepRow_AVX2(const StepRowArgs& r) {
  const int x = r.joining
                    ? (r.leaving ? StepRows_AVX2<true, true>(r) : StepRows_AVX2<true, false>(r))
                    : (r.leaving ? StepRows_AVX2<false, true>(r) : r.w);
  StepRowFrom(r, x);
}

void StepRow(const StepRowArgs& r) {
  switch (ChosenRows()) {
    case RowKind::C: StepRow_C(r); break;
    case RowKind::SSE2: StepRow_SSE2(r); break;
    case RowKind::AVX2: StepRow_AVX2(r); break;
  }
}

}  // namespace cvalgo
