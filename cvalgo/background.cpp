// Aging, first/last and the history-buffer synthesizers.
#include "cvalgo/background.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "libpixkit/graphics/draw/blit.h"
#include "libpixkit/utility/error.h"

namespace cvalgo {

using pixkit::Bitmap;
using pixkit::Image;
using pixkit::ImageParam;

namespace {

void WarnFrameSizeChanged() {
  pixkit::MessageDisplay::Show(pixkit::ErrSev_Warning,
                               "frame size changed, starting a new background");
}

bool HasSubsampledChroma(const ImageParam& p) {
  return p.AskChromaWidth() != p.width || p.AskChromaHeight() != p.height;
}

// Frame coordinates of a plane's content: x0..x1-1, y0..y1-1.
struct Extent {
  explicit Extent(const Bitmap<Pixel>& b)
      : x0(-b.AskZeroX()), x1(b.AskWidth() - b.AskZeroX()), y0(-b.AskZeroY()),
        y1(b.AskHeight() - b.AskZeroY()) {}
  int x0, x1, y0, y1;
};

// The samples of plane p that lie on the grid of the frame's luma (and alpha) plane. An odd-sized
// frame brought to 4:4:4 has chroma planes one sample wider or taller than that grid; their
// extra samples only repeat their neighbours and have no alpha.
Extent PlaneExtent(const Image<Pixel>& img, int p) {
  Extent e(img.AskBitmap(p));
  const Extent grid(img.AskBitmap(0));
  e.x0 = std::max(e.x0, grid.x0);
  e.x1 = std::min(e.x1, grid.x1);
  e.y0 = std::max(e.y0, grid.y0);
  e.y1 = std::min(e.y1, grid.y1);
  return e;
}

// Frames that do not match the held ones could make us read outside a plane, so they start over.
bool SameLayout(const Image<Pixel>& a, const Image<Pixel>& b) {
  const ImageParam pa = a.AskParam();
  const ImageParam pb = b.AskParam();
  if (pa.width != pb.width || pa.height != pb.height || pa.colorspace != pb.colorspace ||
      pa.chroma != pb.chroma)
    return false;
  for (int p = 0; p < 3; p++) {
    if (a.AskBitmap(p).IsEmpty() != b.AskBitmap(p).IsEmpty()) return false;
    if (a.AskBitmap(p).IsEmpty()) continue;
    const Extent ea = PlaneExtent(a, p);
    const Extent eb = PlaneExtent(b, p);
    if (ea.x0 != eb.x0 || ea.x1 != eb.x1 || ea.y0 != eb.y0 || ea.y1 != eb.y1) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void BackgroundSynthesizer_Aging::SetAgingFactor(double factor) {
  // Outside 0..1 the fixed-point blend only wraps around.
  PIXKIT_ASSERT_MSG(factor >= 0.0 && factor <= 1.0, "aging factor must lie between 0 and 1");
  d_agingfactor = factor;
}

void BackgroundSynthesizer_Aging::Reset() { d_current.Release(); }

void BackgroundSynthesizer_Aging::PutImage(const Image<Pixel>& img) { ShareImage(img); }

void BackgroundSynthesizer_Aging::ShareImage(const Image<Pixel>& img) {
  PIXKIT_ASSERT(!img.IsEmpty());
  if (!d_current.IsEmpty() && !SameLayout(d_current, img)) {
    WarnFrameSizeChanged();
    d_current.Release();
  }
  if (d_current.IsEmpty()) {
    d_current = img.Clone();
    return;
  }

  const int a = int(d_agingfactor * 65536.0 + 0.5);
  const int b = 65536 - a;
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& src = img.AskBitmap(p);
    if (src.IsEmpty()) continue;
    const Extent e = PlaneExtent(img, p);
    const Pixel* const* s = src.AskFrame();
    Pixel* const* d = d_current.AskBitmap(p).AskFrame();
    for (int y = e.y0; y < e.y1; y++) {
      const Pixel* srow = s[y];
      Pixel* drow = d[y];
      for (int x = e.x0; x < e.x1; x++) drow[x] = Pixel((drow[x] * a + srow[x] * b + 32768) / 65536);
    }
  }
}

void BackgroundSynthesizer_Aging::SynthesizeBackground(Image<Pixel>& out) {
  PIXKIT_ASSERT_MSG(!d_current.IsEmpty(), "cannot synthesize background without input images");
  out = d_current.Clone();
}

const char* BackgroundSynthesizer_Aging::AskAlgorithmName() {
  return "background aging (uniform)";
}

// ---------------------------------------------------------------------------------------------

void BackgroundSynthesizer_FirstLast::Reset() { d_current.Release(); }

void BackgroundSynthesizer_FirstLast::PutImage(const Image<Pixel>& img) { ShareImage(img); }

void BackgroundSynthesizer_FirstLast::ShareImage(const Image<Pixel>& img) {
  PIXKIT_ASSERT(!img.IsEmpty());
  const ImageParam param = img.AskParam();
  PIXKIT_ASSERT_MSG(!HasSubsampledChroma(param),
                    "input images must not have subsampled chroma format for the first/last "
                    "background synthesizer");
  if (!d_current.IsEmpty() && !SameLayout(d_current, img)) {
    WarnFrameSizeChanged();
    d_current.Release();
  }
  if (d_current.IsEmpty()) {
    ImageParam withAlpha = param;
    withAlpha.has_alpha = true;
    d_current.Create(withAlpha);
    pixkit::Clear(d_current, d_unknown);
  }

  if (!param.has_alpha && d_last) {
    for (int p = 0; p < 3; p++)
      if (!img.AskBitmap(p).IsEmpty()) pixkit::Copy(d_current.AskBitmap(p), img.AskBitmap(p));
    pixkit::Clear(d_current.AskBitmapA(), Pixel(255));
    return;
  }

  // Throws for a frame without alpha plane before any sample is taken.
  const Pixel* const* a = img.AskFrameA();
  Pixel* const* c = d_current.AskFrameA();
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& src = img.AskBitmap(p);
    if (src.IsEmpty()) continue;
    const Extent e = PlaneExtent(img, p);
    const Pixel* const* s = src.AskFrame();
    Pixel* const* d = d_current.AskBitmap(p).AskFrame();
    for (int y = e.y0; y < e.y1; y++) {
      for (int x = e.x0; x < e.x1; x++) {
        if (a[y][x] == 0) continue;
        if (d_last) {
          d[y][x] = s[y][x];
          c[y][x] = 255;
        } else if (c[y][x] == 0) {
          d[y][x] = s[y][x];
        }
      }
    }
  }
  // Only now, so that all three samples of a pixel come from the same frame.
  if (!d_last) {
    const Extent e(img.AskBitmap(pixkit::Bitmap_Alpha));
    for (int y = e.y0; y < e.y1; y++)
      for (int x = e.x0; x < e.x1; x++)
        if (a[y][x] != 0) c[y][x] = 255;
  }
}

void BackgroundSynthesizer_FirstLast::SynthesizeBackground(Image<Pixel>& out) {
  PIXKIT_ASSERT_MSG(!d_current.IsEmpty(), "cannot synthesize background without input images");
  out = d_current.Clone();
}

const char* BackgroundSynthesizer_FirstLast::AskAlgorithmName() {
  return d_last ? "collect most recent changes" : "use first observed pixels";
}

// ---------------------------------------------------------------------------------------------

bool BackgroundSynthesizer_Buffered::SetHistoryLength(int n) {
  PIXKIT_ASSERT_MSG(n >= 0, "history length must not be negative");
  d_historylength = n;
  Trim();
  return true;
}

void BackgroundSynthesizer_Buffered::Trim() {
  while (d_queue.AskSize() > d_historylength) d_queue.RemoveHead();
}

void BackgroundSynthesizer_Buffered::Reset() {
  while (!d_queue.IsEmpty()) d_queue.RemoveHead();
}

void BackgroundSynthesizer_Buffered::Append(const Image<Pixel>& img) {
  PIXKIT_ASSERT(!img.IsEmpty());
  if (!d_queue.IsEmpty() && !SameLayout(d_queue.AskHead(), img)) {
    WarnFrameSizeChanged();
    BackgroundSynthesizer_Buffered::Reset();
  }
  d_queue.Append(img);
  Trim();
}

void BackgroundSynthesizer_Buffered::PutImage(const Image<Pixel>& img) { Append(img.Clone()); }

void BackgroundSynthesizer_Buffered::ShareImage(const Image<Pixel>& img) { Append(img); }

// ---------------------------------------------------------------------------------------------

void BackgroundSynthesizer_SimpleAverage::SynthesizeBackground(Image<Pixel>& out) {
  const int n = d_queue.AskSize();
  PIXKIT_ASSERT_MSG(n > 0, "cannot synthesize background without input images");
  const Image<Pixel>& head = d_queue.AskHead();
  out.Create(head.AskParam());

  std::vector<uint32_t> sums;
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& hb = head.AskBitmap(p);
    if (hb.IsEmpty()) continue;
    const Extent e = PlaneExtent(head, p);
    sums.resize(size_t(e.x1 - e.x0));
    Pixel* const* o = out.AskBitmap(p).AskFrame();
    for (int y = e.y0; y < e.y1; y++) {
      std::fill(sums.begin(), sums.end(), 0u);
      for (int i = 0; i < n; i++) {
        const Pixel* s = d_queue.AskFromHead(i).AskBitmap(p).AskFrame()[y] + e.x0;
        for (size_t x = 0; x < sums.size(); x++) sums[x] += s[x];
      }
      Pixel* orow = o[y] + e.x0;
      for (size_t x = 0; x < sums.size(); x++) orow[x] = Pixel(sums[x] / unsigned(n));
    }
  }
  // Every pixel got a value, so the output is opaque wherever it has an alpha plane.
  if (!out.AskBitmapA().IsEmpty()) pixkit::Clear(out.AskBitmapA(), Pixel(255));
}

// ---------------------------------------------------------------------------------------------

void BackgroundSynthesizer_SimpleMedian::SynthesizeBackground(Image<Pixel>& out) {
  const int n = d_queue.AskSize();
  PIXKIT_ASSERT_MSG(n > 0, "cannot synthesize background without input images");
  const Image<Pixel>& head = d_queue.AskHead();
  if (n == 1) {
    out = head.Clone();
    return;
  }
  ImageParam param = head.AskParam();
  param.has_alpha = false;
  out.Create(param);

  const int need = n / 2 + 1;
  std::vector<const Pixel*> srcRows(static_cast<size_t>(n));
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& hb = head.AskBitmap(p);
    if (hb.IsEmpty()) continue;
    const Extent e = PlaneExtent(head, p);
    Pixel* const* o = out.AskBitmap(p).AskFrame();
    for (int y = e.y0; y < e.y1; y++) {
      for (int i = 0; i < n; i++) srcRows[size_t(i)] = d_queue.AskFromHead(i).AskBitmap(p).AskFrame()[y];
      for (int x = e.x0; x < e.x1; x++) {
        int hist[256] = {0};
        for (int i = 0; i < n; i++) hist[srcRows[size_t(i)][x]]++;
        int v = 0;
        for (int cum = hist[0]; cum < need; cum += hist[++v]) {
        }
        o[y][x] = Pixel(v);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------

void BackgroundSynthesizer_PixelWise::SynthesizeBackground(Image<Pixel>& out) {
  const int n = d_queue.AskSize();
  PIXKIT_ASSERT_MSG(n > 0, "cannot synthesize background without input images");
  const Image<Pixel>& head = d_queue.AskHead();
  PIXKIT_ASSERT_MSG(!HasSubsampledChroma(head.AskParam()),
                    "input images must not have subsampled chroma format for the selected "
                    "background reconstructor");

  std::vector<const Pixel* const*> alphaRows(size_t(n), nullptr);
  std::vector<const Pixel* const*> rows(static_cast<size_t>(n));
  bool useAlpha = false;
  for (int i = 0; i < n; i++) {
    const Image<Pixel>& f = d_queue.AskFromHead(i);
    if (f.AskBitmap(pixkit::Bitmap_Alpha).IsEmpty()) continue;
    alphaRows[size_t(i)] = f.AskFrameA();
    useAlpha = true;
  }

  ImageParam param = head.AskParam();
  param.has_alpha = true;
  out.Create(param);
  Pixel* const* outAlpha = out.AskFrameA();
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& hb = head.AskBitmap(p);
    if (hb.IsEmpty()) continue;
    for (int i = 0; i < n; i++) rows[size_t(i)] = d_queue.AskFromHead(i).AskBitmap(p).AskFrame();
    const Extent e = PlaneExtent(head, p);
    CalcRows(out.AskBitmap(p).AskFrame(), outAlpha, alphaRows.data(), rows.data(), e.x0, e.x1,
             e.y0, e.y1, n, useAlpha, d_unknown[p]);
  }
}

void BackgroundSynthesizer_PixelWise::CalcRows(Pixel* const* out, Pixel* const* outAlpha,
                                               const Pixel* const* const* alphaRows,
                                               const Pixel* const* const* rows, int x0, int x1,
                                               int y0, int y1, int n, bool useAlpha,
                                               Pixel unknown) {
  for (int y = y0; y < y1; y++) {
    for (int x = x0; x < x1; x++) {
      if (CalcPixel(&out[y][x], alphaRows, rows, x, y, n, useAlpha)) {
        outAlpha[y][x] = 255;
      } else {
        outAlpha[y][x] = 0;
        out[y][x] = unknown;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------

bool BackgroundSynthesizer_FromHistogram::CalcPixel(Pixel* out,
                                                    const Pixel* const* const* alphaRows,
                                                    const Pixel* const* const* rows, int x,
                                                    int y, int n, bool useAlpha) {
  int hist[256] = {0};
  int count = 0;
  if (useAlpha) {
    for (int i = 0; i < n; i++) {
      if (alphaRows[i] && alphaRows[i][y][x] != 255) continue;
      hist[rows[i][y][x]]++;
      count++;
    }
  } else {
    for (int i = 0; i < n; i++) hist[rows[i][y][x]]++;
    count = n;
  }
  if (count == 0) return false;
  *out = SelectFromHistogram(hist, count);
  return true;
}

Pixel BackgroundSynthesizer_Median::SelectFromHistogram(const int* hist, int count) {
  const int need = count / 2 + 1;
  int cum = 0;
  for (int v = 0; v < 256; v++) {
    cum += hist[v];
    if (cum >= need) return Pixel(v);
  }
  assert(!"histogram holds fewer samples than counted");
  return 255;
}

Pixel BackgroundSynthesizer_Average::SelectFromHistogram(const int* hist, int count) {
  uint32_t sum = 0;
  for (int v = 0; v < 256; v++) sum += uint32_t(v) * uint32_t(hist[v]);
  return Pixel(sum / uint32_t(count));
}

// ---------------------------------------------------------------------------------------------
// Row kernels of the histogram synthesizers. They give exactly what CalcPixel gives, but work on
// chunks of c_Lanes neighbouring pixels at once with the compiler's portable vector types, and
// touch only the samples present instead of 256 histogram bins per pixel.

namespace {

// Every function taking or returning these vectors is internal to this unit, so the note that
// their calling convention differs without AVX does not matter.
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr int c_Lanes = 16;
typedef uint8_t U8x16 __attribute__((vector_size(16)));
typedef uint16_t U16x16 __attribute__((vector_size(32)));

// Lane counts are 16 bits wide; longer histories take the plain route.
constexpr int c_MaxKernelFrames = 65535;

inline U8x16 Load(const uint8_t* p) {
  U8x16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline U8x16 Splat(uint8_t v) {
  U8x16 r;
  for (int j = 0; j < c_Lanes; j++) r[j] = v;
  return r;
}

inline U16x16 Widen(U8x16 v) { return __builtin_convertvector(v, U16x16); }

// The n samples of one chunk of c_Lanes neighbouring pixels, frame after frame, and what the
// kernels need to know about them per lane. Invalid samples (alpha present and not 255) and
// columns beyond the row's end hold 255. Counted: the valid samples, the zeros and the 255s held
// (valid 255s and invalid samples alike); lo and hi are the least and greatest valid sample.
struct ChunkStats {
  U16x16 count, zeros, full;
  U8x16 lo, hi;
};

template <bool withEdges>
ChunkStats GatherChunk(uint8_t* chunk, const Pixel* const* src, const Pixel* const* alpha,
                       int n, int x, int lanes) {
  ChunkStats st;
  st.count = st.zeros = st.full = U16x16{};
  st.lo = Splat(255);
  st.hi = U8x16{};
  for (int i0 = 0; i0 < n; i0 += 255) {
    const int i1 = std::min(n, i0 + 255);
    U8x16 count{}, zeros{}, full{};
    for (int i = i0; i < i1; i++) {
      U8x16 v, valid;
      if (lanes == c_Lanes) {
        v = Load(src[i] + x);
        valid = alpha[i] ? U8x16(Load(alpha[i] + x) == 255) : Splat(255);
      } else {
        uint8_t sv[c_Lanes], av[c_Lanes];
        for (int j = 0; j < c_Lanes; j++) {
          sv[j] = j < lanes ? src[i][x + j] : 0;
          av[j] = j < lanes && (!alpha[i] || alpha[i][x + j] == 255) ? 255 : 0;
        }
        v = Load(sv);
        valid = Load(av);
      }
      v |= ~valid;
      std::memcpy(chunk + size_t(i) * c_Lanes, &v, sizeof v);
      count -= valid;
      st.lo = st.lo < v ? st.lo : v;
      const U8x16 vv = v & valid;
      st.hi = st.hi > vv ? st.hi : vv;
      if (withEdges) {
        zeros -= U8x16(v == 0);
        full -= U8x16(v == 255);
      }
    }
    st.count += Widen(count);
    st.zeros += Widen(zeros);
    st.full += Widen(full);
  }
  return st;
}

// Per lane, how many of the n samples of a chunk pass the test (a lane mask of 0 or 255).
// Counts in bytes for up to 255 frames at a time, which keeps the inner loop narrow.
template <class Test>
inline U16x16 CountLanes(const uint8_t* chunk, int n, Test test) {
  U16x16 total{};
  for (int i0 = 0; i0 < n; i0 += 255) {
    const int i1 = std::min(n, i0 + 255);
    U8x16 c8{};
    for (int i = i0; i < i1; i++) c8 -= test(Load(chunk + size_t(i) * c_Lanes));
    total += Widen(c8);
  }
  return total;
}

// Per lane the sample of rank count/2 among the valid ones: the largest v with at most count/2
// samples below v, found bit by bit over v - lo, which needs only as many bits as the widest
// lane's hi - lo. Invalid samples become 255 - lo and up, beyond every candidate that matters.
U8x16 MedianChunk(uint8_t* chunk, int n, const ChunkStats& st) {
  unsigned range = 0;
  for (int j = 0; j < c_Lanes; j++)
    if (st.count[j]) range |= unsigned(st.hi[j] - st.lo[j]);
  if (range == 0) return st.lo;
  int top = 7;
  while (!(range & (1u << top))) top--;
  for (int i = 0; i < n; i++) {
    uint8_t* s = chunk + size_t(i) * c_Lanes;
    const U8x16 v = Load(s) - st.lo;
    std::memcpy(s, &v, sizeof v);
  }
  U8x16 prefix{};
  const U16x16 rank = st.count >> 1;
  for (int bit = top; bit >= 0; bit--) {
    const U8x16 cand = prefix | Splat(uint8_t(1u << bit));
    const U16x16 less = CountLanes(chunk, n, [cand](U8x16 s) { return U8x16(s < cand); });
    const U8x16 take = __builtin_convertvector(less <= rank, U8x16);
    prefix = (cand & take) | (prefix & ~take);
  }
  return st.lo + prefix;
}

// Runs a chunk kernel over rows y0..y1-1, chunk by chunk; lanes without a valid sample get the
// unknown colour.
template <bool withEdges, class Kernel>
void ChunkedRows(std::vector<uint8_t>& scratch, std::vector<const Pixel*>& rowTable,
                 Pixel* const* out, Pixel* const* outAlpha, const Pixel* const* const* alphaRows,
                 const Pixel* const* const* rows, int x0, int x1, int y0, int y1, int n,
                 bool useAlpha, Pixel unknown, Kernel kernel) {
  scratch.resize(size_t(n) * c_Lanes);
  rowTable.resize(2 * size_t(n));
  const Pixel** src = rowTable.data();
  const Pixel** alpha = src + n;
  for (int y = y0; y < y1; y++) {
    for (int i = 0; i < n; i++) {
      src[i] = rows[i][y];
      alpha[i] = useAlpha && alphaRows[i] ? alphaRows[i][y] : nullptr;
    }
    // The frames are n separate streams, too many for the hardware to follow on its own.
    if (y + 1 < y1) {
      for (int i = 0; i < n; i++) {
        for (int x = x0; x < x1; x += 64) {
          __builtin_prefetch(rows[i][y + 1] + x);
          if (alpha[i]) __builtin_prefetch(alphaRows[i][y + 1] + x);
        }
      }
    }
    for (int x = x0; x < x1; x += c_Lanes) {
      const int lanes = std::min(c_Lanes, x1 - x);
      const ChunkStats st = GatherChunk<withEdges>(scratch.data(), src, alpha, n, x, lanes);
      const U8x16 value = kernel(scratch.data(), st);
      for (int j = 0; j < lanes; j++) {
        out[y][x + j] = st.count[j] ? value[j] : unknown;
        outAlpha[y][x + j] = st.count[j] ? 255 : 0;
      }
    }
  }
}

}  // namespace

// Scratch of the chunk kernels: kept so that a synthesis allocates only when the image grows.
struct BackgroundSynthesizer_FromHistogram::Scratch {
  std::vector<uint8_t> samples;
  std::vector<const Pixel*> rowTable;
  std::vector<uint32_t> sums;
};

BackgroundSynthesizer_FromHistogram::BackgroundSynthesizer_FromHistogram()
    : d_scratch(std::make_unique<Scratch>()) {}

BackgroundSynthesizer_FromHistogram::~BackgroundSynthesizer_FromHistogram() = default;

void BackgroundSynthesizer_Median::CalcRows(Pixel* const* out, Pixel* const* outAlpha,
                                            const Pixel* const* const* alphaRows,
                                            const Pixel* const* const* rows, int x0, int x1,
                                            int y0, int y1, int n, bool useAlpha,
                                            Pixel unknown) {
  if (n > c_MaxKernelFrames) {
    BackgroundSynthesizer_PixelWise::CalcRows(out, outAlpha, alphaRows, rows, x0, x1, y0, y1,
                                              n, useAlpha, unknown);
    return;
  }
  ChunkedRows<false>(d_scratch->samples, d_scratch->rowTable, out, outAlpha, alphaRows, rows, x0,
                     x1, y0, y1, n, useAlpha, unknown,
                     [n](uint8_t* chunk, const ChunkStats& st) {
                       return MedianChunk(chunk, n, st);
                     });
}

// The mean needs no histogram: sums and counts of the valid samples, a band of rows at a time.
void BackgroundSynthesizer_Average::CalcRows(Pixel* const* out, Pixel* const* outAlpha,
                                             const Pixel* const* const* alphaRows,
                                             const Pixel* const* const* rows, int x0, int x1,
                                             int y0, int y1, int n, bool useAlpha,
                                             Pixel unknown) {
  const int width = x1 - x0;
  const int perBand = std::max(1, std::min(y1 - y0, 8192 / std::max(1, width)));
  const size_t pixels = size_t(perBand) * size_t(width);
  std::vector<uint32_t>& sums = d_scratch->sums;
  if (sums.size() < 2 * pixels) sums.resize(2 * pixels);
  uint32_t* sum = sums.data();
  uint32_t* cnt = sum + pixels;
  for (int yb = y0; yb < y1; yb += perBand) {
    const int bandRows = std::min(perBand, y1 - yb);
    std::fill(sum, sum + 2 * pixels, 0u);
    for (int i = 0; i < n; i++) {
      for (int r = 0; r < bandRows; r++) {
        const Pixel* s = rows[i][yb + r] + x0;
        uint32_t* rs = sum + size_t(r) * size_t(width);
        uint32_t* rc = cnt + size_t(r) * size_t(width);
        if (useAlpha && alphaRows[i]) {
          const Pixel* a = alphaRows[i][yb + r] + x0;
          for (int x = 0; x < width; x++) {
            const uint32_t valid = a[x] == 255;
            rs[x] += s[x] & (0u - valid);
            rc[x] += valid;
          }
        } else {
          for (int x = 0; x < width; x++) {
            rs[x] += s[x];
            rc[x]++;
          }
        }
      }
    }
    for (int r = 0; r < bandRows; r++) {
      Pixel* o = out[yb + r] + x0;
      Pixel* oa = outAlpha[yb + r] + x0;
      const uint32_t* rs = sum + size_t(r) * size_t(width);
      const uint32_t* rc = cnt + size_t(r) * size_t(width);
      for (int x = 0; x < width; x++) {
        o[x] = rc[x] ? Pixel(rs[x] / rc[x]) : unknown;
        oa[x] = rc[x] ? 255 : 0;
      }
    }
  }
}

// Only centres v at which the window's upper end reaches a sample can start a new maximum
// (besides 0), so per lane only v from min-F to max-F (to 255 when a 255 is present) are tried.
// The window count at v is the number of valid samples within [v-F, v+F] clipped to 0..255,
// plus the extra times the edge bins are counted.
void BackgroundSynthesizer_Mode::CalcRows(Pixel* const* out, Pixel* const* outAlpha,
                                          const Pixel* const* const* alphaRows,
                                          const Pixel* const* const* rows, int x0, int x1,
                                          int y0, int y1, int n, bool useAlpha, Pixel unknown) {
  const int f = d_fuzzyness;
  if (f > 255 || n > c_MaxKernelFrames) {
    // Window sums could overflow the lanes; rare enough for the plain route.
    BackgroundSynthesizer_PixelWise::CalcRows(out, outAlpha, alphaRows, rows, x0, x1, y0, y1,
                                              n, useAlpha, unknown);
    return;
  }
  auto kernel = [n, f](uint8_t* chunk, const ChunkStats& st) {
    int vlo[c_Lanes], vhi[c_Lanes];
    int steps = 0;
    for (int j = 0; j < c_Lanes; j++) {
      vlo[j] = std::max(0, st.lo[j] - f);
      vhi[j] = st.hi[j] == 255 ? 255 : std::max(0, st.hi[j] - f);
      if (st.count[j]) steps = std::max(steps, vhi[j] - vlo[j] + 1);
    }
    int32_t best[c_Lanes], bestv[c_Lanes], invalid[c_Lanes], zeros[c_Lanes], full255[c_Lanes];
    for (int j = 0; j < c_Lanes; j++) {
      best[j] = -1;
      bestv[j] = vlo[j];
      invalid[j] = n - int32_t(st.count[j]);
      zeros[j] = int32_t(st.zeros[j]);
      full255[j] = int32_t(st.full[j]) - invalid[j];
    }
    for (int t = 0; t < steps; t++) {
      int32_t v[c_Lanes];
      U8x16 lower, upper;
      for (int j = 0; j < c_Lanes; j++) {
        v[j] = std::min(vlo[j] + t, 255);
        lower[j] = uint8_t(std::max(v[j] - f, 0));
        upper[j] = uint8_t(std::min(v[j] + f, 255));
      }
      const U16x16 inWindow = CountLanes(chunk, n, [lower, upper](U8x16 s) {
        return U8x16(s >= lower) & U8x16(s <= upper);
      });
      for (int j = 0; j < c_Lanes; j++) {
        int32_t w = int32_t(inWindow[j]);
        if (upper[j] == 255) w += (v[j] + f - 255) * full255[j] - invalid[j];
        if (v[j] < f) w += (f - v[j]) * zeros[j];
        if (w > best[j]) {
          best[j] = w;
          bestv[j] = v[j];
        }
      }
    }
    U8x16 value;
    for (int j = 0; j < c_Lanes; j++) value[j] = uint8_t(bestv[j]);
    return value;
  };
  ChunkedRows<true>(d_scratch->samples, d_scratch->rowTable, out, outAlpha, alphaRows, rows, x0, x1,
                    y0, y1, n, useAlpha, unknown, kernel);
}

void BackgroundSynthesizer_Mode::SetFuzzyness(int f) {
  PIXKIT_ASSERT_MSG(f >= 0, "fuzzyness must not be negative");
  d_fuzzyness = f;
}

Pixel BackgroundSynthesizer_Mode::SelectFromHistogram(const int* hist, int) {
  const int64_t f = d_fuzzyness;
  auto bin = [hist](int64_t k) -> int64_t { return hist[k < 0 ? 0 : k > 255 ? 255 : k]; };
  // Window of centre 0 in closed form: bin 0 stands for every index below 1.
  int64_t w = (f + 1) * bin(0);
  for (int64_t k = 1; k <= std::min<int64_t>(f, 254); k++) w += bin(k);
  if (f >= 255) w += (f - 254) * bin(255);
  int64_t best = w;
  int bestv = 0;
  for (int v = 1; v < 256; v++) {
    w += bin(v + f) - bin(v - f - 1);
    if (w > best) {
      best = w;
      bestv = v;
    }
  }
  return Pixel(bestv);
}

}  // namespace cvalgo
