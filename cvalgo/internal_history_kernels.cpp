// Row kernels of the history synthesizers. They give exactly what the per-pixel route gives, but
// work on chunks of c_Lanes neighbouring pixels at once with the compiler's vector types and a
// few SSE2 operations (all of it within what every x86-64 processor has), read each frame's
// alpha once for all planes, and touch only the samples present instead of 256 histogram bins
// per pixel. The per-pixel route stays as their model: the tests compare both byte for byte.
#include "cvalgo/internal_history_kernels.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

namespace cvalgo {

namespace {

// Every function taking or returning these vectors is internal to this unit, so the note that
// their calling convention differs without AVX does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr int c_Lanes = 16;
typedef uint8_t U8 __attribute__((vector_size(c_Lanes)));
typedef int8_t S8 __attribute__((vector_size(c_Lanes)));

// Byte-wide counters are emptied into wider ones after this many frames.
constexpr int c_ByteRun = 255;

template <class V>
inline V Load(const void* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
inline void Store(void* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

template <class V, class T>
inline V Splat(T t) {
  using Lane = std::remove_reference_t<decltype(V{}[0])>;
  return V{} + Lane(t);
}

// Sixteen 16-bit lanes as two native vectors: wider generic vectors than the hardware's would be
// compared lane by lane in scalar code.
typedef int16_t I16x8 __attribute__((vector_size(16)));
struct Lanes16 {
  I16x8 h[2];
};

inline Lanes16 Widen(U8 v) {
  const __m128i zero = _mm_setzero_si128();
  return {{I16x8(_mm_unpacklo_epi8(__m128i(v), zero)), I16x8(_mm_unpackhi_epi8(__m128i(v), zero))}};
}

// The least and the greatest of the sixteen lanes.
inline int MinLane(const Lanes16& v) {
  __m128i m = _mm_min_epi16(__m128i(v.h[0]), __m128i(v.h[1]));
  m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0x4e));
  m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xb1));
  m = _mm_min_epi16(m, _mm_shufflelo_epi16(m, 0xb1));
  return int16_t(_mm_extract_epi16(m, 0));
}

inline int MaxLane(const Lanes16& v) {
  __m128i m = _mm_max_epi16(__m128i(v.h[0]), __m128i(v.h[1]));
  m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0x4e));
  m = _mm_max_epi16(m, _mm_shuffle_epi32(m, 0xb1));
  m = _mm_max_epi16(m, _mm_shufflelo_epi16(m, 0xb1));
  return int16_t(_mm_extract_epi16(m, 0));
}

inline Lanes16& operator+=(Lanes16& a, const Lanes16& b) {
  a.h[0] += b.h[0];
  a.h[1] += b.h[1];
  return a;
}

// Lane masks (0 or all ones) or values 0..255 from 16-bit to byte lanes.
inline U8 Pack(const Lanes16& v) {
  return U8(_mm_packus_epi16(__m128i(v.h[0] & 0xff), __m128i(v.h[1] & 0xff)));
}

// Where one row of the frames lies, and the next one, which is fetched ahead while this one is
// worked on: the frames are n separate streams, too many for the hardware to follow on its own.
struct RowSources {
  const Pixel* const* src[3];  // per plane the n frames' rows
  const Pixel* const* alpha;   // the n frames' alpha rows (entries null where every sample
                               // counts), or null when every sample counts
  const Pixel* const* next[4];  // the same for the next row, planes and alpha; null at the end
};

// The samples of one chunk of all planes, frame after frame, with what the kernels need to know
// about them per lane. Valid samples are stored with their top bit flipped, so that signed byte
// compares order them; invalid samples (alpha present and not 255) and columns beyond the row's
// end are stored as 255 (flipped), at or above every threshold a kernel asks about.
struct Chunk {
  uint8_t* samples[3];
  Lanes16 count;    // valid samples
  U8 lo[3], hi[3];  // least and greatest valid sample; 255 and 0 in lanes without any
};

// Loads the samples of frame i at column x: all c_Lanes lanes, or only the first `lanes` with
// the rest invalid. Every fourth chunk also asks for the next row's line of the frame.
template <int planes, bool full>
inline void LoadFrame(const RowSources& rs, int i, int x, int lanes, bool ahead, U8* v,
                      U8& valid) {
  if (ahead) {
    for (int p = 0; p < planes; p++) __builtin_prefetch(rs.next[p][i] + x, 0, 2);
    if (rs.next[3] && rs.next[3][i]) __builtin_prefetch(rs.next[3][i] + x, 0, 2);
  }
  const Pixel* a = rs.alpha ? rs.alpha[i] : nullptr;
  if (full) {
    valid = a ? U8(Load<U8>(a + x) == 255) : Splat<U8>(255);
    for (int p = 0; p < planes; p++) v[p] = Load<U8>(rs.src[p][i] + x);
    return;
  }
  uint8_t sv[3][c_Lanes] = {}, av[c_Lanes] = {};
  for (int j = 0; j < lanes; j++) {
    av[j] = !a || a[x + j] == 255 ? 255 : 0;
    for (int p = 0; p < planes; p++) sv[p][j] = rs.src[p][i][x + j];
  }
  valid = Load<U8>(av);
  for (int p = 0; p < planes; p++) v[p] = Load<U8>(sv[p]);
}

template <int planes, bool full>
void GatherChunkOf(Chunk& c, const RowSources& rs, int n, int x, int lanes, bool ahead) {
  Lanes16 count{};
  U8 lo[3], hi[3];
  for (int p = 0; p < planes; p++) {
    lo[p] = Splat<U8>(255);
    hi[p] = U8{};
  }
  uint8_t* samples[3];
  for (int p = 0; p < planes; p++) samples[p] = c.samples[p];
  const U8 flip = Splat<U8>(0x80);
  for (int i0 = 0; i0 < n; i0 += c_ByteRun) {
    const int i1 = std::min(n, i0 + c_ByteRun);
    U8 count8{};
    for (int i = i0; i < i1; i++) {
      U8 v[3], valid;
      LoadFrame<planes, full>(rs, i, x, lanes, ahead, v, valid);
      count8 -= valid;
      const U8 invalid = ~valid;
      for (int p = 0; p < planes; p++) {
        const U8 w = v[p] | invalid;
        lo[p] = lo[p] < w ? lo[p] : w;
        const U8 h = v[p] & valid;
        hi[p] = hi[p] > h ? hi[p] : h;
        Store(samples[p] + size_t(i) * c_Lanes, w ^ flip);
      }
    }
    count += Widen(count8);
  }
  c.count = count;
  for (int p = 0; p < planes; p++) {
    c.lo[p] = lo[p];
    c.hi[p] = hi[p];
  }
}

void GatherChunk(Chunk& c, const RowSources& rs, int planes, int n, int x, int lanes,
                 bool ahead) {
  const bool full = lanes == c_Lanes;
  switch (planes * 2 + full) {
    case 2: GatherChunkOf<1, false>(c, rs, n, x, lanes, ahead); break;
    case 3: GatherChunkOf<1, true>(c, rs, n, x, lanes, ahead); break;
    case 4: GatherChunkOf<2, false>(c, rs, n, x, lanes, ahead); break;
    case 5: GatherChunkOf<2, true>(c, rs, n, x, lanes, ahead); break;
    case 6: GatherChunkOf<3, false>(c, rs, n, x, lanes, ahead); break;
    default: GatherChunkOf<3, true>(c, rs, n, x, lanes, ahead); break;
  }
}

// Per lane, how many of the n stored samples lie below the threshold (flipped like them).
// Four byte-wide counters keep the adds independent; they hold at most 255 between them.
Lanes16 CountBelow(const uint8_t* s, int n, S8 threshold) {
  Lanes16 total{};
  for (int i0 = 0; i0 < n; i0 += c_ByteRun) {
    const int i1 = std::min(n, i0 + c_ByteRun);
    U8 c0{}, c1{}, c2{}, c3{};
    int i = i0;
    for (; i + 4 <= i1; i += 4) {
      c0 -= U8(Load<S8>(s + size_t(i) * c_Lanes) < threshold);
      c1 -= U8(Load<S8>(s + size_t(i + 1) * c_Lanes) < threshold);
      c2 -= U8(Load<S8>(s + size_t(i + 2) * c_Lanes) < threshold);
      c3 -= U8(Load<S8>(s + size_t(i + 3) * c_Lanes) < threshold);
    }
    for (; i < i1; i++) c0 -= U8(Load<S8>(s + size_t(i) * c_Lanes) < threshold);
    total += Widen(U8(c0 + c1 + c2 + c3));
  }
  return total;
}

inline S8 Threshold(U8 value) { return S8(value ^ Splat<U8>(0x80)); }

inline U8 ValidLanes(const Chunk& c) {
  return Pack({{I16x8(c.count.h[0] != 0), I16x8(c.count.h[1] != 0)}});
}

// Per lane the sample of rank `rank` (0 the least) among the valid ones, known to lie in
// base .. base + range: the largest v there with at most rank samples below it, found bit by bit
// over v - base. That needs only as many bits as the widest lane's range.
U8 SelectRankIn(const uint8_t* s, int n, U8 base, U8 range, const Lanes16& rank) {
  unsigned widest = 0;
  for (int j = 0; j < c_Lanes; j++) widest |= range[j];
  if (widest == 0) return base;
  int top = 7;
  while (!(widest & (1u << top))) top--;
  U8 offset{};
  for (int bit = top; bit >= 0; bit--) {
    const U8 cand = offset | Splat<U8>(1u << bit);
    // Beyond the lane's range base + cand could wrap; such a candidate is never taken anyway.
    const U8 inRange = U8(cand <= range);
    const Lanes16 below = CountBelow(s, n, Threshold(base + cand));
    const U8 take =
        Pack({{I16x8(below.h[0] <= rank.h[0]), I16x8(below.h[1] <= rank.h[1])}}) & inRange;
    offset = (cand & take) | (offset & ~take);
  }
  return base + offset;
}

// The upper median of the valid samples.
U8 MedianChunk(const Chunk& c, int p, int n) {
  return SelectRankIn(c.samples[p], n, c.lo[p], (c.hi[p] - c.lo[p]) & ValidLanes(c),
                      {{c.count.h[0] >> 1, c.count.h[1] >> 1}});
}

template <class V>
inline V Select(V mask, V a, V b) {
  return (a & mask) | (b & ~mask);
}

template <class V>
inline bool Any(V mask) {
  uint64_t words[sizeof mask / 8];
  std::memcpy(words, &mask, sizeof mask);
  uint64_t any = 0;
  for (uint64_t w : words) any |= w;
  return any != 0;
}

}  // namespace

// The mode of the valid samples with fuzzyness f (at most 255): the median of the samples in the
// best window, whose centre v is found as follows. W(v), the number of samples in
// the window [v-f, v+f] clipped to 0..255 plus the extra times the edge bins are counted, is
// N(min(255, v+f)) - N(max(0, v-f) - 1) plus the edge terms, where N(x) counts the samples up to
// x. Only centres at which the window's upper end reaches a sample can start a new maximum
// (besides 0), so per lane only v from max(0, lo-f) to max(0, hi-f) (to 255 when a 255 is
// present) are tried. With b = max(lo, f) per lane, the step t tries v = b - f + t and needs
// N(b + t) and N(b + t - 2f - 1): one table of N(b + u) serves every lane.
// Where the lanes' samples spread wide (objects passing in front of the background), most
// windows hold few samples: the steps then go in blocks, the most promising first, and a block
// is skipped when no lane's bound on its window sums can beat what was found. N is counted only
// where it is asked for.
struct ModeTables {
  std::vector<Lanes16> n;
  std::vector<uint8_t> done;
  std::vector<Lanes16> bound;
  std::vector<std::pair<int, int>> order;
};

namespace {

constexpr int c_ModeBlock = 16;
constexpr int c_ModeDenseSteps = 32;  // fewer steps are all tried in a row

U8 ModeChunk(const Chunk& c, int p, int n, int f, ModeTables& tab) {
  const uint8_t* s = c.samples[p];
  int steps = 0, umin = 0;
  bool zeros = false, fulls = false;
  uint16_t cnt[c_Lanes];
  uint8_t los[c_Lanes], his[c_Lanes];
  Store(cnt, c.count);
  Store(los, c.lo[p]);
  Store(his, c.hi[p]);
  for (int j = 0; j < c_Lanes; j++) {
    if (!cnt[j]) continue;
    const int laneVlo = std::max(int(los[j]), f) - f;
    const int laneVhi = his[j] == 255 ? 255 : std::max(0, his[j] - f);
    steps = std::max(steps, laneVhi - laneVlo + 1);
    umin = std::min(umin, los[j] - f);
    zeros |= los[j] == 0;
    fulls |= his[j] == 255;
  }
  if (steps == 0) return U8{};

  const U8 f8 = Splat<U8>(f);
  const U8 b8 = c.lo[p] > f8 ? c.lo[p] : f8;
  const Lanes16 lo = Widen(c.lo[p]), hi = Widen(c.hi[p]), b = Widen(b8);
  const I16x8 fv = Splat<I16x8>(f);
  I16x8 vlo[2], vhi[2], valid[2];
  for (int k = 0; k < 2; k++) {
    vlo[k] = b.h[k] - fv;
    const I16x8 hiF = hi.h[k] - fv;
    vhi[k] = Select(I16x8(hi.h[k] == 255), Splat<I16x8>(255), hiF & I16x8(hiF > 0));
    valid[k] = c.count.h[k] != 0;
  }
  Lanes16 hist0{}, hist255{};
  if (zeros) {
    hist0 = CountBelow(s, n, Threshold(Splat<U8>(1)));
    for (int k = 0; k < 2; k++) hist0.h[k] &= I16x8(lo.h[k] == 0);
  }
  if (fulls) {
    const Lanes16 below = CountBelow(s, n, Threshold(Splat<U8>(255)));
    for (int k = 0; k < 2; k++) hist255.h[k] = (c.count.h[k] - below.h[k]) & I16x8(hi.h[k] == 255);
  }

  // N(b + u) for u from umin on, zero below: a pass over the samples only where some lane has
  // samples on both sides of the point.
  tab.n.resize(size_t(steps - umin));
  tab.done.assign(size_t(steps - umin), 0);
  const auto countUpTo = [&](int u) -> Lanes16 {
    if (u < umin) return Lanes16{};
    Lanes16& nx = tab.n[size_t(u - umin)];
    if (tab.done[size_t(u - umin)]) return nx;
    tab.done[size_t(u - umin)] = 1;
    Lanes16 counted;
    for (int k = 0; k < 2; k++) {
      const I16x8 x = b.h[k] + Splat<I16x8>(u);
      counted.h[k] = valid[k] & I16x8(x >= lo.h[k]) & I16x8(x < hi.h[k]);
      nx.h[k] = c.count.h[k] & I16x8(x >= hi.h[k]);
    }
    if (Any(counted.h[0] | counted.h[1])) {
      // Where counted, lo <= x < hi <= 255, so the threshold x + 1 fits a byte.
      const Lanes16 below = CountBelow(s, n, Threshold(b8 + uint8_t(u + 1)));
      for (int k = 0; k < 2; k++) nx.h[k] = Select(counted.h[k], below.h[k], nx.h[k]);
    }
    return nx;
  };
  // The edge terms at centre v.
  const auto edges = [&](int k, I16x8 v) {
    I16x8 e{};
    if (zeros) e += ((fv - v) & I16x8(v < fv)) * hist0.h[k];
    if (fulls) {
      const I16x8 over = v + fv - 255;
      e += (over & I16x8(over > 0)) * hist255.h[k];
    }
    return e;
  };

  // Ties go to the lowest centre, whatever the order the steps are tried in.
  Lanes16 best = {{Splat<I16x8>(-1), Splat<I16x8>(-1)}}, bestv = {{vlo[0], vlo[1]}}, bestUpTo{};
  const auto tryStep = [&](int t) {
    const Lanes16 upper = countUpTo(t);
    const Lanes16 lower = countUpTo(t - 2 * f - 1);
    for (int k = 0; k < 2; k++) {
      const I16x8 v = vlo[k] + Splat<I16x8>(t);
      const I16x8 w = upper.h[k] - lower.h[k] + edges(k, v);
      const I16x8 better = I16x8(v <= vhi[k]) &
                           (I16x8(w > best.h[k]) | (I16x8(w == best.h[k]) & I16x8(v < bestv.h[k])));
      best.h[k] = Select(better, w, best.h[k]);
      bestv.h[k] = Select(better, v, bestv.h[k]);
      bestUpTo.h[k] = Select(better, upper.h[k], bestUpTo.h[k]);
    }
  };
  // The value is the lower median of the samples inside the best window: with N(v + f) kept,
  // and the samples inside being its sum less the edge terms, those of rank N(v - f - 1) on, so
  // the least x = b + u with N(x) > rank. The steps that found the windows have counted (nearly)
  // every N between their ends, so a walk up the table from the lanes' least window start (or
  // least sample) to their greatest end costs no pass over the samples; where it would need
  // many, lanes' windows lying far apart, a search by bits within the windows' values takes
  // fewer.
  const auto median = [&](bool dense) {
    Lanes16 rank, first, last;
    for (int k = 0; k < 2; k++) {
      const I16x8 inside = best.h[k] - edges(k, bestv.h[k]);
      rank.h[k] = bestUpTo.h[k] - inside + ((inside - 1) >> 1);
      const I16x8 t = bestv.h[k] - vlo[k];
      const I16x8 start = t - Splat<I16x8>(2 * f), least = lo.h[k] - b.h[k];
      const I16x8 end = hi.h[k] - b.h[k];
      first.h[k] =
          Select(valid[k], Select(I16x8(start > least), start, least), Splat<I16x8>(INT16_MAX));
      last.h[k] = Select(valid[k], Select(I16x8(t < end), t, end), Splat<I16x8>(INT16_MIN));
    }
    const int u0 = MinLane(first), u1 = MaxLane(last);
    int missing = 0;
    for (int u = std::max(u0, umin); u <= u1 && !dense; u++)
      missing += !tab.done[size_t(u - umin)];
    if (missing > 2) {
      Lanes16 wlo, wspan;
      for (int k = 0; k < 2; k++) {
        const I16x8 start = bestv.h[k] - fv, end = bestv.h[k] + fv;
        wlo.h[k] = start & I16x8(start > 0);
        wspan.h[k] = Select(I16x8(end > 255), Splat<I16x8>(255), end) - wlo.h[k];
      }
      return SelectRankIn(s, n, Pack(wlo), Pack(wspan) & ValidLanes(c), rank);
    }
    Lanes16 value = bestv, found = {{~valid[0], ~valid[1]}};
    for (int u = u0; u <= u1; u++) {
      const Lanes16 nx = countUpTo(u);
      for (int k = 0; k < 2; k++) {
        const I16x8 hit = I16x8(nx.h[k] > rank.h[k]) & ~found.h[k];
        value.h[k] = Select(hit, b.h[k] + Splat<I16x8>(u), value.h[k]);
        found.h[k] |= hit;
      }
      if (!Any(~(found.h[0] & found.h[1]))) break;
    }
    return Pack(value);
  };
  if (steps <= c_ModeDenseSteps) {
    for (int t = 0; t < steps; t++) tryStep(t);
    return median(true);
  }

  // A block's window sums are at most the samples between the lowest lower end and the highest
  // upper end of its windows, plus the largest edge terms.
  const int blocks = (steps + c_ModeBlock - 1) / c_ModeBlock;
  tab.bound.resize(size_t(blocks));
  tab.order.clear();
  for (int j = 0; j < blocks; j++) {
    const int t0 = j * c_ModeBlock, t1 = std::min(steps, t0 + c_ModeBlock) - 1;
    const Lanes16 upper = countUpTo(t1);
    const Lanes16 lower = countUpTo(t0 - 2 * f - 1);
    Lanes16& bound = tab.bound[size_t(j)];
    int score = 0;
    for (int k = 0; k < 2; k++) {
      const I16x8 v0 = vlo[k] + Splat<I16x8>(t0);
      const I16x8 v1 = vlo[k] + Splat<I16x8>(t1);
      bound.h[k] = upper.h[k] - lower.h[k];
      // The low edge's term falls with v, the high edge's rises.
      if (zeros) bound.h[k] += ((fv - v0) & I16x8(v0 < fv)) * hist0.h[k];
      if (fulls) {
        const I16x8 over = v1 + fv - 255;
        bound.h[k] += (over & I16x8(over > 0)) * hist255.h[k];
      }
      // Lanes whose centres all lie beyond their range have nothing to try here.
      bound.h[k] = Select(valid[k] & I16x8(v0 <= vhi[k]), bound.h[k], Splat<I16x8>(-1));
      for (int j2 = 0; j2 < 8; j2++) score += bound.h[k][j2];
    }
    tab.order.push_back({-score, j});
  }
  std::sort(tab.order.begin(), tab.order.end());
  for (const auto& entry : tab.order) {
    const int j = entry.second;
    const Lanes16& bound = tab.bound[size_t(j)];
    const I16x8 v0[2] = {vlo[0] + Splat<I16x8>(j * c_ModeBlock),
                         vlo[1] + Splat<I16x8>(j * c_ModeBlock)};
    I16x8 worth{};
    for (int k = 0; k < 2; k++)
      worth |= I16x8(bound.h[k] > best.h[k]) |
               (I16x8(bound.h[k] == best.h[k]) & I16x8(v0[k] < bestv.h[k]));
    if (!Any(worth)) continue;
    const int t1 = std::min(steps, (j + 1) * c_ModeBlock);
    for (int t = j * c_ModeBlock; t < t1; t++) tryStep(t);
  }
  return median(false);
}

// Writes one chunk's values of a plane, and the alpha when an alpha row is given: lanes without
// a valid sample get the unknown colour and alpha 0.
void PutChunk(Pixel* out, Pixel* outAlpha, U8 value, U8 known, Pixel unknown, int lanes) {
  const U8 v = (value & known) | (Splat<U8>(unknown) & ~known);
  if (lanes == c_Lanes) {
    Store(out, v);
    if (outAlpha) Store(outAlpha, known);
    return;
  }
  for (int j = 0; j < lanes; j++) {
    out[j] = v[j];
    if (outAlpha) outAlpha[j] = known[j];
  }
}

// Runs fn(rows, y, x, lanes, ahead) for every chunk of the job, rows outer; ahead is set for
// the chunks that should fetch the next row's lines.
template <class ChunkFn>
void ForEachChunk(std::vector<const Pixel*>& rowTable, const RowJob& job, ChunkFn fn) {
  const size_t n = size_t(job.n);
  rowTable.resize(8 * n);
  const Pixel** cur[4];
  const Pixel** next[4];
  for (int p = 0; p < 4; p++) {
    cur[p] = rowTable.data() + size_t(p) * n;
    next[p] = rowTable.data() + size_t(p + 4) * n;
  }
  RowSources rs;
  for (int p = 0; p < 3; p++) rs.src[p] = cur[p];
  rs.alpha = job.useAlpha ? cur[3] : nullptr;
  const auto fill = [&](const Pixel** table[4], int y) {
    for (size_t i = 0; i < n; i++) {
      for (int p = 0; p < job.planes; p++) table[p][i] = job.rows[p][i][y];
      table[3][i] = job.useAlpha && job.alphaRows[i] ? job.alphaRows[i][y] : nullptr;
    }
  };
  for (int y = job.y0; y < job.y1; y++) {
    fill(cur, y);
    const bool last = y + 1 == job.y1;
    if (!last) fill(next, y + 1);
    for (int p = 0; p < 3; p++) rs.next[p] = last ? nullptr : next[p];
    rs.next[3] = last || !job.useAlpha ? nullptr : next[3];
    for (int x = job.x0; x < job.x1; x += c_Lanes)
      fn(rs, y, x, std::min(c_Lanes, job.x1 - x), !last && (x - job.x0) % 64 == 0);
  }
}

// Gathers every chunk and writes what select(chunk, plane) gives; the output alpha goes with the
// first plane (all planes agree on it).
template <class Select>
void SelectRows(KernelScratch& k, const RowJob& job, Select select) {
  const size_t n = size_t(job.n);
  k.samples.resize(3 * n * c_Lanes);
  Chunk c;
  for (int p = 0; p < 3; p++) c.samples[p] = k.samples.data() + size_t(p) * n * c_Lanes;
  ForEachChunk(k.rowTable, job, [&](const RowSources& rs, int y, int x, int lanes, bool ahead) {
    GatherChunk(c, rs, job.planes, job.n, x, lanes, ahead);
    const U8 known = ValidLanes(c);
    for (int p = 0; p < job.planes; p++)
      PutChunk(job.out[p][y] + x, p == 0 && job.outAlpha ? job.outAlpha[y] + x : nullptr,
               select(c, p), known, job.unknown[p], lanes);
  });
}

}  // namespace

KernelScratch::KernelScratch() : mode(std::make_unique<ModeTables>()) {}

KernelScratch::~KernelScratch() = default;

void MedianRows(KernelScratch& k, const RowJob& job) {
  SelectRows(k, job, [n = job.n](const Chunk& c, int p) { return MedianChunk(c, p, n); });
}

void ModeRows(KernelScratch& k, const RowJob& job, int f) {
  SelectRows(k, job, [&k, n = job.n, f](const Chunk& c, int p) {
    return ModeChunk(c, p, n, f, *k.mode);
  });
}

// Multipliers that divide by 1 to n: floor(s / c) = (s * r[c]) >> 40 for every s up to 255 * c.
const uint64_t* Reciprocals(std::vector<uint64_t>& r, int n) {
  if (r.size() < size_t(n) + 1) {
    r.resize(size_t(n) + 1);
    r[0] = 0;
    for (int c = 1; c <= n; c++) r[size_t(c)] = (uint64_t(1) << 40) / uint64_t(c) + 1;
  }
  return r.data();
}

void AverageRows(KernelScratch& k, const RowJob& job, const uint64_t* rec) {
  const int n = job.n;
  // Sums of up to 255 frames fit 16-bit lanes; longer histories add them up per lane.
  const auto sumChunk = [&](auto planesTag, auto fullTag, const RowSources& rs, int x, int lanes,
                            bool ahead, uint32_t* count, uint32_t (*sum)[c_Lanes]) {
    constexpr int planes = decltype(planesTag)::value;
    constexpr bool full = decltype(fullTag)::value;
    for (int i0 = 0; i0 < n; i0 += c_ByteRun) {
      const int i1 = std::min(n, i0 + c_ByteRun);
      U8 count8{};
      Lanes16 sum16[3] = {};
      for (int i = i0; i < i1; i++) {
        U8 v[3], valid;
        LoadFrame<planes, full>(rs, i, x, lanes, ahead, v, valid);
        count8 -= valid;
        for (int p = 0; p < planes; p++) sum16[p] += Widen(U8(v[p] & valid));
      }
      uint16_t part[c_Lanes];
      Store(part, Widen(count8));
      for (int j = 0; j < c_Lanes; j++) count[j] += part[j];
      for (int p = 0; p < planes; p++) {
        Store(part, sum16[p]);
        for (int j = 0; j < c_Lanes; j++) sum[p][j] += part[j];
      }
    }
  };
  using std::integral_constant;
  ForEachChunk(k.rowTable, job, [&](const RowSources& rs, int y, int x, int lanes,
                                             bool ahead) {
    uint32_t count[c_Lanes] = {}, sum[3][c_Lanes] = {};
    switch (job.planes * 2 + (lanes == c_Lanes)) {
      case 2: sumChunk(integral_constant<int, 1>(), std::false_type(), rs, x, lanes, ahead, count, sum); break;
      case 3: sumChunk(integral_constant<int, 1>(), std::true_type(), rs, x, lanes, ahead, count, sum); break;
      case 4: sumChunk(integral_constant<int, 2>(), std::false_type(), rs, x, lanes, ahead, count, sum); break;
      case 5: sumChunk(integral_constant<int, 2>(), std::true_type(), rs, x, lanes, ahead, count, sum); break;
      case 6: sumChunk(integral_constant<int, 3>(), std::false_type(), rs, x, lanes, ahead, count, sum); break;
      default: sumChunk(integral_constant<int, 3>(), std::true_type(), rs, x, lanes, ahead, count, sum); break;
    }
    uint8_t knownLanes[c_Lanes];
    for (int j = 0; j < c_Lanes; j++) knownLanes[j] = count[j] ? 255 : 0;
    const U8 known = Load<U8>(knownLanes);
    for (int p = 0; p < job.planes; p++) {
      uint8_t value[c_Lanes];
      for (int j = 0; j < c_Lanes; j++)
        value[j] = uint8_t((uint64_t(sum[p][j]) * rec[count[j]]) >> 40);
      PutChunk(job.out[p][y] + x, p == 0 && job.outAlpha ? job.outAlpha[y] + x : nullptr,
               Load<U8>(value), known, job.unknown[p], lanes);
    }
  });
}

}  // namespace cvalgo
