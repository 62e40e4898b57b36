// Doubling planes by sample repetition and halving them by averaging; the chroma-format
// conversion is built from these.
#ifndef PIXKIT_GRAPHICS_DRAW_SCALE_H
#define PIXKIT_GRAPHICS_DRAW_SCALE_H

#include <cassert>
#include <cstring>
#include <type_traits>

#include "libpixkit/graphics/datatypes/bitmap.h"

namespace pixkit {

namespace scale_detail {

template <class Pel>
inline void CopyRow(Pel* d, const Pel* s, int n) {
  if (std::is_trivially_copyable<Pel>::value)
    std::memcpy(static_cast<void*>(d), static_cast<const void*>(s), size_t(n) * sizeof(Pel));
  else
    for (int i = 0; i < n; i++) d[i] = s[i];
}

template <class Pel>
inline void DupRow(Pel* __restrict d, const Pel* __restrict s, int n) {
  for (int x = 0; x < n; x++) {
    d[2 * x] = s[x];
    d[2 * x + 1] = s[x];
  }
}

// dst becomes src's size times mul / div in each direction, rounded up, without border or
// row alignment; the frames and src's size for the scaling loop.
template <class Pel>
struct ScaleFrames {
  const Pel* const* s;
  Pel* const* d;
  int w, h;
};

template <class Pel>
inline ScaleFrames<Pel> CreateScaled(Bitmap<Pel>& dst, const Bitmap<Pel>& src, int xmul, int xdiv,
                                     int ymul, int ydiv) {
  assert(&dst != &src);
  const int w = src.AskWidth();
  const int h = src.AskHeight();
  dst.Create((w * xmul + xdiv - 1) / xdiv, (h * ymul + ydiv - 1) / ydiv, 0, 1, 1);
  return {src.AskFrame(), dst.AskFrame(), w, h};
}

}  // namespace scale_detail

// Every source sample fills a 2x2 block.
template <class Pel>
void DoubleSize_Dup(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  const auto [s, d, w, h] = scale_detail::CreateScaled(dst, src, 2, 1, 2, 1);
  for (int y = 0; y < h; y++) {
    scale_detail::DupRow(d[2 * y], s[y], w);
    scale_detail::CopyRow(d[2 * y + 1], d[2 * y], 2 * w);
  }
}

// Every source sample is written twice along its row.
template <class Pel>
void DoubleSize_Dup_H(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  const auto [s, d, w, h] = scale_detail::CreateScaled(dst, src, 2, 1, 1, 1);
  for (int y = 0; y < h; y++) scale_detail::DupRow(d[y], s[y], w);
}

// Every source row is written twice.
template <class Pel>
void DoubleSize_Dup_V(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  const auto [s, d, w, h] = scale_detail::CreateScaled(dst, src, 1, 1, 2, 1);
  for (int y = 0; y < h; y++) {
    scale_detail::CopyRow(d[2 * y], s[y], w);
    scale_detail::CopyRow(d[2 * y + 1], s[y], w);
  }
}

// Means of 2x2 blocks, rounded down. An odd last column takes the sample of the even source
// row, an odd last row the sample of the even source column: neither is averaged.
template <class Pel>
void HalfSize_Avg(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  const auto [s, d, w, h] = scale_detail::CreateScaled(dst, src, 1, 2, 1, 2);
  const int neww = (w + 1) / 2;
  const int newh = (h + 1) / 2;
  for (int y = 0; y < h / 2; y++) {
    const Pel* __restrict s0 = s[2 * y];
    const Pel* __restrict s1 = s[2 * y + 1];
    Pel* __restrict dr = d[y];
    for (int x = 0; x < w / 2; x++)
      dr[x] = Pel((int(s0[2 * x]) + s0[2 * x + 1] + s1[2 * x] + s1[2 * x + 1]) >> 2);
  }
  if (w & 1) {
    assert(w==neww*2-1);
    for (int y = 0; y < newh; y++) d[y][neww - 1] = s[2 * y][w - 1];
  }
  if (h & 1) {
    assert(h==newh*2-1);
    const Pel* sr = s[h - 1];
    Pel* dr = d[newh - 1];
    for (int x = 0; x < neww; x++) dr[x] = sr[2 * x];
  }
}

// Means of horizontal pairs, rounded down; an odd last column is taken as it is.
template <class Pel>
void HalfSize_Avg_H(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  const auto [s, d, w, h] = scale_detail::CreateScaled(dst, src, 1, 2, 1, 1);
  const int neww = (w + 1) / 2;
  if (w & 1) assert(w==neww*2-1);
  for (int y = 0; y < h; y++) {
    const Pel* __restrict sr = s[y];
    Pel* __restrict dr = d[y];
    for (int x = 0; x < w / 2; x++) dr[x] = Pel((int(sr[2 * x]) + sr[2 * x + 1]) >> 1);
    if (w & 1) dr[neww - 1] = sr[w - 1];
  }
}

// Means of vertical pairs, rounded down; an odd last row is taken as it is.
template <class Pel>
void HalfSize_Avg_V(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  const auto [s, d, w, h] = scale_detail::CreateScaled(dst, src, 1, 1, 1, 2);
  const int newh = (h + 1) / 2;
  for (int y = 0; y < h / 2; y++) {
    const Pel* __restrict s0 = s[2 * y];
    const Pel* __restrict s1 = s[2 * y + 1];
    Pel* __restrict dr = d[y];
    for (int x = 0; x < w; x++) dr[x] = Pel((int(s0[x]) + s1[x]) >> 1);
  }
  if (h & 1) {
    assert(h==newh*2-1);
    scale_detail::CopyRow(d[newh - 1], s[h - 1], w);
  }
}

}  // namespace pixkit

#endif
