// Aging, first/last and the history-buffer synthesizers.
#include "cvalgo/background.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>

#include "libpixkit/graphics/draw/blit.h"
#include "libpixkit/utility/error.h"

namespace cvalgo {

using pixkit::Bitmap;
using pixkit::Image;
using pixkit::ImageParam;

namespace {

// Frames that do not match the held ones could make us read outside a plane, so they start over.
bool SameLayout(const Image<Pixel>& a, const Image<Pixel>& b) {
  const ImageParam pa = a.AskParam();
  const ImageParam pb = b.AskParam();
  if (pa.width != pb.width || pa.height != pb.height || pa.colorspace != pb.colorspace ||
      pa.chroma != pb.chroma)
    return false;
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& ba = a.AskBitmap(p);
    const Bitmap<Pixel>& bb = b.AskBitmap(p);
    if (ba.IsEmpty() != bb.IsEmpty()) return false;
    if (ba.IsEmpty()) continue;
    if (ba.AskWidth() != bb.AskWidth() || ba.AskHeight() != bb.AskHeight() ||
        ba.AskZeroX() != bb.AskZeroX() || ba.AskZeroY() != bb.AskZeroY())
      return false;
  }
  return true;
}

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
    const Extent e(src);
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
    const Extent e(src);
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
    const Extent e(hb);
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
    const Extent e(hb);
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
    const Extent e(hb);
    Pixel* const* o = out.AskBitmap(p).AskFrame();
    for (int y = e.y0; y < e.y1; y++)
      CalcRow(o[y], outAlpha[y], alphaRows.data(), rows.data(), e.x0, e.x1, y, n, useAlpha,
              d_unknown[p]);
  }
}

void BackgroundSynthesizer_PixelWise::CalcRow(Pixel* out, Pixel* outAlpha,
                                              const Pixel* const* const* alphaRows,
                                              const Pixel* const* const* rows, int x0, int x1,
                                              int y, int n, bool useAlpha, Pixel unknown) {
  for (int x = x0; x < x1; x++) {
    if (CalcPixel(&out[x], alphaRows, rows, x, y, n, useAlpha)) {
      outAlpha[x] = 255;
    } else {
      outAlpha[x] = 0;
      out[x] = unknown;
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
