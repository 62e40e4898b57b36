// Aging, first/last and the history-buffer synthesizers; the row kernels of their fast path are
// in internal_history_kernels.cpp.
#include "cvalgo/background.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "cvalgo/internal_history_kernels.h"
#include "cvalgo/internal_running_kernels.h"
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

// Calls op(y, src_row, dst_row, x0, x1) for every row y of the luma grid in each colour plane
// that img has, with the matching row of dst.
template <typename RowOp>
void ForEachColourRow(const Image<Pixel>& img, Image<Pixel>& dst, RowOp op) {
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& src = img.AskBitmap(p);
    if (src.IsEmpty()) continue;
    const Extent e = PlaneExtent(img, p);
    const Pixel* const* s = src.AskFrame();
    Pixel* const* d = dst.AskBitmap(p).AskFrame();
    for (int y = e.y0; y < e.y1; y++) op(y, s[y], d[y], e.x0, e.x1);
  }
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

void BackgroundSynthesizer_Aging::Reset() {
  d_current.Release();
  d_current_memory.Release();
}

void BackgroundSynthesizer_Aging::PutImage(const Image<Pixel>& img) { ShareImage(img); }

void BackgroundSynthesizer_Aging::ShareImage(const Image<Pixel>& img) {
  PIXKIT_ASSERT(!img.IsEmpty());
  if (!d_current.IsEmpty() && !SameLayout(d_current, img)) {
    WarnFrameSizeChanged();
    Reset();
  }
  if (d_current.IsEmpty()) {
    d_current_memory.Set(*d_budget, MemoryBudget::ImageBytes(img), MemoryUse::State,
                         [&img] { return StateNeeds(img); });
    d_current = img.Clone();
    return;
  }

  const int a = int(d_agingfactor * 65536.0 + 0.5);
  ForEachColourRow(img, d_current, [a](int, const Pixel* srow, Pixel* drow, int x0, int x1) {
    AgeRow(drow + x0, srow + x0, x1 - x0, a);
  });
}

void BackgroundSynthesizer_Aging::SynthesizeBackground(Image<Pixel>& out) {
  PIXKIT_ASSERT_MSG(!d_current.IsEmpty(), "cannot synthesize background without input images");
  d_current.CloneTo(out);
}

const char* BackgroundSynthesizer_Aging::AskAlgorithmName() {
  return "background aging (uniform)";
}

// ---------------------------------------------------------------------------------------------

void BackgroundSynthesizer_FirstLast::Reset() {
  d_current.Release();
  d_current_memory.Release();
}

void BackgroundSynthesizer_FirstLast::PutImage(const Image<Pixel>& img) { ShareImage(img); }

void BackgroundSynthesizer_FirstLast::ShareImage(const Image<Pixel>& img) {
  PIXKIT_ASSERT(!img.IsEmpty());
  const ImageParam param = img.AskParam();
  PIXKIT_ASSERT_MSG(!HasSubsampledChroma(param),
                    "input images must not have subsampled chroma format for the first/last "
                    "background synthesizer");
  if (!d_current.IsEmpty() && !SameLayout(d_current, img)) {
    WarnFrameSizeChanged();
    Reset();
  }
  if (d_current.IsEmpty()) {
    d_current_memory.Set(*d_budget, MemoryBudget::ImageBytes(img, true), MemoryUse::State,
                         [&img] { return StateNeeds(img); });
    ImageParam withAlpha = param;
    withAlpha.has_alpha = true;
    d_current.Create(withAlpha);
    pixkit::Clear(d_current, d_unknown);
  }

  if (!param.has_alpha && d_last) {
    ForEachColourRow(img, d_current, [](int, const Pixel* srow, Pixel* drow, int x0, int x1) {
      std::copy(srow + x0, srow + x1, drow + x0);
    });
    pixkit::Clear(d_current.AskBitmapA(), Pixel(255));
    return;
  }

  // Throws for a frame without alpha plane before any sample is taken.
  const Pixel* const* a = img.AskFrameA();
  Pixel* const* c = d_current.AskFrameA();
  // All planes row by row, so that a pixel's alpha is marked only after its three samples were
  // taken from the same frame.
  Extent e(img.AskBitmap(pixkit::Bitmap_Alpha));
  const Pixel* const* src[3];
  Pixel* const* dst[3];
  TakeRowArgs r{};
  for (int p = 0; p < 3; p++) {
    if (img.AskBitmap(p).IsEmpty()) continue;
    const Extent pe = PlaneExtent(img, p);
    e.x0 = std::max(e.x0, pe.x0);
    e.x1 = std::min(e.x1, pe.x1);
    e.y0 = std::max(e.y0, pe.y0);
    e.y1 = std::min(e.y1, pe.y1);
    src[r.planes] = img.AskBitmap(p).AskFrame();
    dst[r.planes] = d_current.AskBitmap(p).AskFrame();
    r.planes++;
  }
  r.w = e.x1 - e.x0;
  r.last = d_last;
  for (int y = e.y0; y < e.y1 && r.w > 0; y++) {
    for (int k = 0; k < r.planes; k++) {
      r.frame[k] = src[k][y] + e.x0;
      r.bg[k] = dst[k][y] + e.x0;
    }
    r.alpha = a[y] + e.x0;
    r.taken = c[y] + e.x0;
    TakeRow(r);
  }
}

void BackgroundSynthesizer_FirstLast::SynthesizeBackground(Image<Pixel>& out) {
  PIXKIT_ASSERT_MSG(!d_current.IsEmpty(), "cannot synthesize background without input images");
  d_current.CloneTo(out);
}

const char* BackgroundSynthesizer_FirstLast::AskAlgorithmName() {
  return d_last ? "collect most recent changes" : "use first observed pixels";
}

// ---------------------------------------------------------------------------------------------

namespace {

// What a history holds per frame besides its planes: the frame's slot in the queue (which grows
// by doubling, the old ring and the new side by side) and its entries in the row tables and
// scratch of a synthesis.
constexpr uint64_t c_FrameRecordBytes = 3 * sizeof(Image<Pixel>) + 160;

}  // namespace

bool BackgroundSynthesizer_Buffered::SetHistoryLength(int n) {
  PIXKIT_ASSERT_MSG(n >= 0, "history length must not be negative");
  d_historylength = n;
  Trim();
  return true;
}

void BackgroundSynthesizer_Buffered::RemoveOldest() {
  FrameLeft(d_queue.AskHead());
  d_queue.RemoveHead();
  d_queue_memory.pop_front();
}

void BackgroundSynthesizer_Buffered::Trim() {
  while (d_queue.AskSize() > d_historylength) RemoveOldest();
}

void BackgroundSynthesizer_Buffered::Reset() {
  while (!d_queue.IsEmpty()) RemoveOldest();
}

void BackgroundSynthesizer_Buffered::Append(const Image<Pixel>& img) {
  PIXKIT_ASSERT(!img.IsEmpty());
  if (!d_queue.IsEmpty() && !SameLayout(d_queue.AskHead(), img)) {
    WarnFrameSizeChanged();
    BackgroundSynthesizer_Buffered::Reset();
  }
  // A full history lets its oldest frame go first: the new one takes its place.
  if (d_queue.AskSize() > 0 && d_queue.AskSize() >= d_historylength) RemoveOldest();
  FrameClaim claim;
  if (!claim.TrySet(*d_budget, img, c_FrameRecordBytes))
    throw MemoryRefusal(HistoryFrameNeeds(d_queue.AskSize() + 1, img), MemoryUse::History,
                        d_budget->AskFrameCost(img, c_FrameRecordBytes), *d_budget);
  d_queue.Append(img);
  d_queue_memory.push_back(std::move(claim));
  FrameJoined(img);
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

void BackgroundSynthesizer_PixelWise::SynthesizeBackground(Image<Pixel>& out) {
  const int n = d_queue.AskSize();
  PIXKIT_ASSERT_MSG(n > 0, "cannot synthesize background without input images");
  const Image<Pixel>& head = d_queue.AskHead();
  PIXKIT_ASSERT_MSG(!HasSubsampledChroma(head.AskParam()),
                    "input images must not have subsampled chroma format for the selected "
                    "background reconstructor");

  std::vector<const Pixel* const*> alphaRows(size_t(n), nullptr);
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

  // Planes that cover the same pixels go through the kernels together.
  std::vector<const Pixel* const*> rows(3 * size_t(n));
  RowJob job{};
  job.outAlpha = out.AskFrameA();
  job.alphaRows = alphaRows.data();
  job.n = n;
  job.useAlpha = useAlpha;
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& hb = head.AskBitmap(p);
    if (hb.IsEmpty()) continue;
    const Extent e = PlaneExtent(head, p);
    if (job.planes > 0 && (e.x0 != job.x0 || e.x1 != job.x1 || e.y0 != job.y0 || e.y1 != job.y1)) {
      CalcRows(job);
      job.planes = 0;
    }
    job.x0 = e.x0, job.x1 = e.x1, job.y0 = e.y0, job.y1 = e.y1;
    const Pixel* const** planeRows = rows.data() + size_t(p) * size_t(n);
    for (int i = 0; i < n; i++) planeRows[i] = d_queue.AskFromHead(i).AskBitmap(p).AskFrame();
    job.plane[job.planes] = p;
    job.out[job.planes] = out.AskBitmap(p).AskFrame();
    job.rows[job.planes] = planeRows;
    job.unknown[job.planes] = d_unknown[p];
    job.planes++;
  }
  if (job.planes > 0) CalcRows(job);
}

void BackgroundSynthesizer_PixelWise::CalcRows(const RowJob& job) {
  for (int p = 0; p < job.planes; p++) {
    Pixel* const* out = job.out[p];
    for (int y = job.y0; y < job.y1; y++) {
      for (int x = job.x0; x < job.x1; x++) {
        const bool known = CalcPixel(&out[y][x], job.alphaRows, job.rows[p], x, y, job.n,
                                     job.useAlpha);
        if (!known) out[y][x] = job.unknown[p];
        if (job.outAlpha) job.outAlpha[y][x] = known ? 255 : 0;
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

BackgroundSynthesizer_FromHistogram::BackgroundSynthesizer_FromHistogram()
    : d_scratch(std::make_unique<KernelScratch>()) {}

BackgroundSynthesizer_FromHistogram::~BackgroundSynthesizer_FromHistogram() = default;

void BackgroundSynthesizer_Median::CalcRows(const RowJob& job) {
  if (job.n > c_MaxKernelFrames || ChosenRows() == RowKind::C) {
    BackgroundSynthesizer_PixelWise::CalcRows(job);
    return;
  }
  MedianRows(*d_scratch, job);
}

// Kept while every queued frame's planes, alpha included, cover the same pixels, which makes one
// count per pixel serve all planes; otherwise a synthesis goes through the frames.
struct RunningSums {
  int frames = 0;      // frames in the queue
  bool valid = false;  // the totals hold all of them
  int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  bool present[3] = {};
  std::vector<uint32_t> sum[3];
  std::vector<uint32_t> count;
  Image<Pixel> joining;  // held in the queue as well; not yet in the totals

  bool Fits(const Image<Pixel>& img) const {
    for (int p = 0; p < 4; p++) {
      const Bitmap<Pixel>& b = img.AskBitmap(p);
      if (p < 3 && b.IsEmpty() != !present[p]) return false;
      if (b.IsEmpty()) continue;
      const Extent e = p < 3 ? PlaneExtent(img, p) : Extent(b);
      if (e.x0 != x0 || e.x1 != x1 || e.y0 != y0 || e.y1 != y1) return false;
    }
    return true;
  }

  void Start(const Image<Pixel>& img) {
    valid = false;  // until the totals are set up
    const Bitmap<Pixel>& b = img.AskBitmap(0);
    if (b.IsEmpty()) return;
    const Extent e(b);
    x0 = e.x0, x1 = e.x1, y0 = e.y0, y1 = e.y1;
    const size_t pixels = size_t(x1 - x0) * size_t(y1 - y0);
    // Sums that no vector may hold (in a 32-bit address space) are out of memory as well.
    if (pixels > count.max_size()) throw std::bad_alloc();
    for (int p = 0; p < 3; p++) {
      present[p] = !img.AskBitmap(p).IsEmpty();
      sum[p].assign(present[p] ? pixels : 0, 0u);
    }
    count.assign(pixels, 0u);
    valid = Fits(img);
  }

  // Adds the valid samples of `joining` and takes away those of `leaving`, either may be null.
  void Step(const Image<Pixel>* joining, const Image<Pixel>* leaving) {
    if ((joining && !Fits(*joining)) || (leaving && !Fits(*leaving))) {
      valid = false;
      return;
    }
    const auto rowsOf = [](const Image<Pixel>* img, int p) -> const Pixel* const* {
      if (!img || img->AskBitmap(p).IsEmpty()) return nullptr;
      return img->AskBitmap(p).AskFrame();
    };
    const Pixel* const* joiningAlpha = rowsOf(joining, pixkit::Bitmap_Alpha);
    const Pixel* const* leavingAlpha = rowsOf(leaving, pixkit::Bitmap_Alpha);
    // One frame joining where another leaves with the same alpha plane (or both without one)
    // leaves every count as it is.
    const bool countsStay = joining && leaving && joiningAlpha == leavingAlpha;
    const int w = x1 - x0;
    for (int p = 0; p < 3; p++) {
      if (!present[p]) continue;
      const Pixel* const* in = rowsOf(joining, p);
      const Pixel* const* out = rowsOf(leaving, p);
      for (int y = y0; y < y1; y++) {
        const size_t at = size_t(y - y0) * size_t(w);
        StepRow({sum[p].data() + at, p == 0 && !countsStay ? count.data() + at : nullptr,
                 in ? in[y] + x0 : nullptr, joiningAlpha ? joiningAlpha[y] + x0 : nullptr,
                 out ? out[y] + x0 : nullptr, leavingAlpha ? leavingAlpha[y] + x0 : nullptr, w});
      }
    }
  }

  // The frame that joined last is added together with the one that leaves on the same step (one
  // pass over the sums instead of two), or before a synthesis.
  void Join(const Image<Pixel>& img) {
    Flush();
    joining = img;
  }

  void Leave(const Image<Pixel>& img) {
    Step(joining.IsEmpty() ? nullptr : &joining, &img);
    joining.Release();
  }

  void Flush() {
    if (joining.IsEmpty()) return;
    if (valid) Step(&joining, nullptr);
    joining.Release();
  }

  bool Covers(const BackgroundSynthesizer_PixelWise::RowJob& job) const {
    if (!valid || frames != job.n || job.x0 != x0 || job.x1 != x1 || job.y0 != y0 ||
        job.y1 != y1)
      return false;
    for (int k = 0; k < job.planes; k++)
      if (!present[job.plane[k]]) return false;
    return true;
  }

  void Divide(const BackgroundSynthesizer_PixelWise::RowJob& job, const uint64_t* rec) const {
    const int w = x1 - x0;
    for (int y = y0; y < y1; y++) {
      const uint32_t* c = count.data() + size_t(y - y0) * size_t(w);
      if (job.outAlpha)
        for (int x = 0; x < w; x++) job.outAlpha[y][x0 + x] = c[x] ? 255 : 0;
      for (int k = 0; k < job.planes; k++) {
        const uint32_t* s = sum[job.plane[k]].data() + size_t(y - y0) * size_t(w);
        Pixel* o = job.out[k][y] + x0;
        const Pixel unknown = job.unknown[k];
        for (int x = 0; x < w; x++)
          o[x] = c[x] ? Pixel((uint64_t(s[x]) * rec[c[x]]) >> 40) : unknown;
      }
    }
  }
};

BackgroundSynthesizer_Average::BackgroundSynthesizer_Average()
    : d_sums(std::make_unique<RunningSums>()) {}

BackgroundSynthesizer_Average::~BackgroundSynthesizer_Average() = default;

void BackgroundSynthesizer_Average::FrameJoined(const Image<Pixel>& img) {
  RunningSums& r = *d_sums;
  if (r.frames++ == 0) {
    uint64_t tables = 1;  // the counts
    for (int p = 0; p < 3; p++) tables += !img.AskBitmap(p).IsEmpty();
    const Bitmap<Pixel>& luma = img.AskBitmap(0);
    const uint64_t pixels =
        luma.IsEmpty() ? 0 : uint64_t(luma.AskWidth()) * uint64_t(luma.AskHeight());
    d_sums_memory.Set(*d_budget, tables * sizeof(uint32_t) * pixels, MemoryUse::State,
                      [&img] { return StateNeeds(img); });
    r.Start(img);
  }
  if (r.valid) r.Join(img);
}

void BackgroundSynthesizer_Average::FrameLeft(const Image<Pixel>& img) {
  RunningSums& r = *d_sums;
  if (r.valid) r.Leave(img);
  r.joining.Release();
  if (--r.frames == 0) r.valid = false;
}

// The mean needs no histogram: sums and counts of the valid samples. The division is a multiply
// by a reciprocal rounded up to 40 bits, exact for sums up to 255 times a count below 65536.
void BackgroundSynthesizer_Average::CalcRows(const RowJob& job) {
  const int n = job.n;
  d_sums->Flush();
  if (n > c_MaxKernelFrames) {
    BackgroundSynthesizer_PixelWise::CalcRows(job);
    return;
  }
  const uint64_t* rec = Reciprocals(d_scratch->reciprocal, n);
  if (d_sums->Covers(job)) {
    d_sums->Divide(job, rec);
    return;
  }
  if (ChosenRows() == RowKind::C) {
    BackgroundSynthesizer_PixelWise::CalcRows(job);
    return;
  }
  AverageRows(*d_scratch, job, rec);
}

void BackgroundSynthesizer_Mode::CalcRows(const RowJob& job) {
  const int f = d_fuzzyness;
  if (f > 255 || job.n > c_MaxKernelFrames || job.n * (f + 1) > INT16_MAX ||
      ChosenRows() == RowKind::C) {
    // Window sums that could overflow the 16-bit lanes; rare enough for the plain route.
    BackgroundSynthesizer_PixelWise::CalcRows(job);
    return;
  }
  ModeRows(*d_scratch, job, f);
}

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

  std::vector<const Pixel* const*> rows(static_cast<size_t>(n));
  KernelScratch scratch;
  for (int p = 0; p < 3; p++) {
    const Bitmap<Pixel>& hb = head.AskBitmap(p);
    if (hb.IsEmpty()) continue;
    const Extent e = PlaneExtent(head, p);
    Pixel* const* o = out.AskBitmap(p).AskFrame();
    for (int i = 0; i < n; i++) rows[size_t(i)] = d_queue.AskFromHead(i).AskBitmap(p).AskFrame();
    if (n <= c_MaxKernelFrames && ChosenRows() != RowKind::C) {
      // Every sample counts, so the median of the valid ones is the one wanted.
      RowJob job{};
      job.planes = 1;
      job.plane[0] = p;
      job.out[0] = o;
      job.rows[0] = rows.data();
      job.x0 = e.x0, job.x1 = e.x1, job.y0 = e.y0, job.y1 = e.y1;
      job.n = n;
      MedianRows(scratch, job);
      continue;
    }
    const int need = n / 2 + 1;
    for (int y = e.y0; y < e.y1; y++) {
      for (int x = e.x0; x < e.x1; x++) {
        int hist[256] = {0};
        for (int i = 0; i < n; i++) hist[rows[size_t(i)][y][x]]++;
        int v = 0;
        for (int cum = hist[0]; cum < need; cum += hist[++v]) {
        }
        o[y][x] = Pixel(v);
      }
    }
  }
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
  // The window's centre would shift flat areas towards the lowest centre of equal windows:
  // the (lower) median of the samples inside it instead.
  const int lo = int(std::max<int64_t>(0, bestv - f)), hi = int(std::min<int64_t>(255, bestv + f));
  int inside = 0;
  for (int v = lo; v <= hi; v++) inside += hist[v];
  int rank = (inside - 1) / 2;
  for (int v = lo; v < hi; v++) {
    if (rank < hist[v]) return Pixel(v);
    rank -= hist[v];
  }
  return Pixel(hi);
}

}  // namespace cvalgo
