// Block similarity-matrix background synthesis; see background_simmat.h.
#include "cvalgo/background_simmat.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cvalgo/internal_running_kernels.h"
#include "libpixkit/graphics/draw/line.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cvalgo {

namespace {

// Length of the diagonal windows that make a run of frames stable.
constexpr int c_StableWindow = 5;

const char c_NoFrames[] = "cannot synthesize background without input images";

inline int SumAbsDiff8x8(const Pixel* const* a, int ax, const Pixel* const* b, int bx) {
#if defined(__SSE2__)
  if (g_widest_rows == RowKind::C) return SumAbsDiff8x8_C(a, ax, b, bx);  // no call per block
  return SumAbsDiff8x8_SSE2(a, ax, b, bx);
#else
  return SumAbsDiff8x8_C(a, ax, b, bx);
#endif
}

inline uint32_t SumFlagged(const Pixel* row, const Pixel* flags, int n) {
#if defined(__SSE2__)
  if (g_widest_rows == RowKind::C) return SumFlagged_C(row, flags, n);
  return SumFlagged_SSE2(row, flags, n);
#else
  return SumFlagged_C(row, flags, n);
#endif
}

// Similarity of two blocks from their mean absolute difference: 10 steps per unit.
inline Pixel Similarity(int meanDiff) { return Pixel(255 - std::min(255, 10 * meanDiff)); }

// The pair term of SelectionEnergy for two slots not both selected: a 32-bit signed product
// shifted arithmetically (wrapping, as the score has always been computed).
inline int32_t WeightedTerm(Pixel m, int wi, int wj) {
  const uint32_t product = uint32_t(m) * uint32_t(wi) * uint32_t(wj);
  return int32_t(product) >> 16;
}

// The similarity matrix pictures: n x n in colour space cs.
void CreateSquare(pixkit::Image<Pixel>& out, int n, pixkit::Colorspace cs) {
  pixkit::ImageParam param;
  param.width = n;
  param.height = n;
  param.colorspace = cs;
  out.Create(param);
}

}  // namespace

int SumAbsDiff8x8_C(const Pixel* const* a, int ax, const Pixel* const* b, int bx) {
  int sum = 0;
  for (int r = 0; r < 8; r++) {
    const Pixel* pa = a[r] + ax;
    const Pixel* pb = b[r] + bx;
    for (int c = 0; c < 8; c++) sum += std::abs(int(pa[c]) - int(pb[c]));
  }
  return sum;
}

#if defined(__SSE2__)
int SumAbsDiff8x8_SSE2(const Pixel* const* a, int ax, const Pixel* const* b, int bx) {
  // Two rows per register; each 64-bit lane's sum stays below 8 x 255.
  __m128i acc = _mm_setzero_si128();
  for (int r = 0; r < 8; r += 2) {
    const __m128i va = _mm_unpacklo_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a[r] + ax)),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a[r + 1] + ax)));
    const __m128i vb = _mm_unpacklo_epi64(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b[r] + bx)),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b[r + 1] + bx)));
    acc = _mm_add_epi16(acc, _mm_sad_epu8(va, vb));
  }
  return _mm_extract_epi16(acc, 0) + _mm_extract_epi16(acc, 4);
}
#endif

uint32_t SumFlagged_C(const Pixel* row, const Pixel* flags, int n) {
  uint32_t sum = 0;
  for (int j = 0; j < n; j++)
    if (flags[j]) sum += row[j];
  return sum;
}

#if defined(__SSE2__)
uint32_t SumFlagged_SSE2(const Pixel* row, const Pixel* flags, int n) {
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  int j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + j));
    const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(flags + j));
    const __m128i unflagged = _mm_cmpeq_epi8(f, zero);
    acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_andnot_si128(unflagged, v), zero));
  }
  uint32_t sum = uint32_t(_mm_cvtsi128_si32(acc)) +
                 uint32_t(_mm_cvtsi128_si32(_mm_unpackhi_epi64(acc, acc)));
  for (; j < n; j++)
    if (flags[j]) sum += row[j];
  return sum;
}
#endif

int Error_SAD(const pixkit::Bitmap<Pixel>& a, int ax, int ay, const pixkit::Bitmap<Pixel>& b,
              int bx, int by, int blocksize) {
  if (bx < 0 || by < 0 || bx + blocksize > b.AskWidth() || by + blocksize > b.AskHeight())
    return -1;
  PIXKIT_ASSERT_MSG(blocksize == 8, "blocksize==8");
  return SumAbsDiff8x8(a.AskFrame() + ay, ax, b.AskFrame() + by, bx) / (blocksize * blocksize);
}

BackgroundSynthesizer_SimMat::BackgroundSynthesizer_SimMat() { SetHistoryLength(50); }

BackgroundSynthesizer_SimMat::~BackgroundSynthesizer_SimMat() { ReleaseHistory(); }

void BackgroundSynthesizer_SimMat::SetBlocksize(int size) {
  PIXKIT_ASSERT_MSG(d_history.empty(), "cannot change block-size on the fly");
  PIXKIT_ASSERT(size >= 1);
  d_blocksize = size;
}

bool BackgroundSynthesizer_SimMat::SetHistoryLength(int length) {
  PIXKIT_ASSERT_MSG(d_history.empty(), "cannot change history length on the fly");
  PIXKIT_ASSERT(length >= 1);
  d_history_length = length;
  return true;
}

void BackgroundSynthesizer_SimMat::ReleaseHistory() {
  while (!d_history.empty()) d_history.pop_back();
  d_records.Release();
  d_matrix_memory.Release();
  d_record_memory.Release();
  d_slot_memory.Release();
}

void BackgroundSynthesizer_SimMat::Reset() {
  ReleaseHistory();
  d_stored = 0;
  d_ring = -1;
  d_across = 0;
  d_down = 0;
  d_luma_rows.clear();
  d_block_rows.clear();
}

void BackgroundSynthesizer_SimMat::PutImage(const pixkit::Image<Pixel>& img) {
  ShareImage(img.Clone());
}

// Frames are compared and copied at luma coordinates in all three planes, so every plane
// present must cover the whole luma grid (an odd-sized frame brought to 4:4:4 has chroma planes
// one sample larger).
void BackgroundSynthesizer_SimMat::CheckFrame(const pixkit::Image<Pixel>& img) const {
  PIXKIT_ASSERT(!img.IsEmpty());
  const pixkit::Bitmap<Pixel>& y = img.AskBitmapY();
  PIXKIT_ASSERT(y.AskWidth() == img.AskWidth() && y.AskHeight() == img.AskHeight());
  for (int p = 1; p <= 2; p++) {
    const pixkit::Bitmap<Pixel>& c = img.AskBitmap(p);
    PIXKIT_ASSERT_MSG(c.IsEmpty() || (c.AskWidth() >= y.AskWidth() && c.AskHeight() >= y.AskHeight()),
                      "input images must not have subsampled chroma format for the "
                      "similarity-matrix background synthesizer");
  }
}

bool BackgroundSynthesizer_SimMat::FrameDiffers(const pixkit::Image<Pixel>& img) const {
  const pixkit::ImageParam held = d_history[d_ring < 0 ? 0 : d_ring].frame.AskParam();
  const pixkit::ImageParam p = img.AskParam();
  return p.width != held.width || p.height != held.height || p.colorspace != held.colorspace ||
         p.chroma != held.chroma;
}

// A budget without limit still cannot give more than the process can get now.
void BackgroundSynthesizer_SimMat::Claim(MemoryClaim& claim, uint64_t bytes, const char* what) {
  claim.Set(*d_budget, bytes, MemoryUse::History, [what] { return std::string(what); });
  if (d_budget->IsLimited()) return;
  const MemoryBudget alone(MemoryBudget::AskAvailable());
  if (bytes <= alone.AskLeft()) return;
  claim.Release();
  throw MemoryRefusal(what, MemoryUse::History, bytes, alone);
}

void BackgroundSynthesizer_SimMat::CreateHistory(const pixkit::Image<Pixel>& img) {
  const int H = d_history_length;
  d_across = img.AskWidth() / d_blocksize;
  d_down = img.AskHeight() / d_blocksize;
  // The matrices grow with the square of the history, and are all made before the first frame
  // is compared.
  const uint64_t blocks = uint64_t(d_across) * uint64_t(d_down);
  char what[pixkit::c_MaxTextLen + 1];
  snprintf(what, sizeof what,
           "the similarity matrices for a history of %d frames of %d x %d blocks need", H,
           d_across, d_down);
  // Held in a double first: the largest frames and histories overflow 64 bits.
  const double matrices = double(blocks) * double(H) * double(H);
  Claim(d_matrix_memory, matrices < 0x1p63 ? uint64_t(matrices) : UINT64_MAX, what);
  const uint64_t records =
      blocks * (MemoryBudget::PlaneBytes(H, H, 1) - uint64_t(H) * uint64_t(H) + 3 * uint64_t(H) +
                64) +
      MemoryBudget::PlaneBytes(d_across, d_down, sizeof(OptData));
  snprintf(what, sizeof what,
           "the records of the similarity matrices for a history of %d frames of %d x %d "
           "blocks need",
           H, d_across, d_down);
  Claim(d_record_memory, records, what);
  d_stored = 0;
  d_ring = -1;
  d_records.Create(d_across, d_down, 0, 1, 1);
  for (int by = 0; by < d_down; by++) {
    for (int bx = 0; bx < d_across; bx++) {
      OptData& od = Record(bx, by);
      od.matrix.Create(H, H, 0, 1, 1);
      // Entries of unused slots are never read by the synthesis; zero keeps the
      // inspection images reproducible.
      pixkit::Clear(od.matrix, Pixel(0));
      od.stable.reset(new Pixel[size_t(H)]());
      od.window.reset(new uint16_t[size_t(H)]());
    }
  }
  d_luma_rows.clear();
  d_block_rows.clear();
}

BackgroundSynthesizer_SimMat::OptData& BackgroundSynthesizer_SimMat::Record(int bx, int by) {
  return d_records.AskFrame()[by][bx];
}

void BackgroundSynthesizer_SimMat::ShareImage(const pixkit::Image<Pixel>& img) {
  CheckFrame(img);
  if (!d_history.empty() && FrameDiffers(img)) {
    Reset();
    pixkit::MessageDisplay::Show(pixkit::ErrSev_Warning,
                                 "frame size changed, starting a new background");
  }
  if (d_history.empty()) CreateHistory(img);

  const int H = d_history_length;
  const int next = d_ring + 1 == H ? 0 : d_ring + 1;
  // The frame a used slot holds makes room for the new one; it is held again on a refusal.
  FrameData* const used = size_t(next) < d_history.size() ? &d_history[size_t(next)] : nullptr;
  if (used) used->memory.Release();
  FrameClaim claim;
  if (!claim.TrySet(*d_budget, img, 0)) {
    const uint64_t need = d_budget->AskFrameCost(img, 0);
    if (used) used->memory.TrySet(*d_budget, used->frame, 0);
    throw MemoryRefusal(HistoryFrameNeeds(next + 1, img), MemoryUse::History, need, *d_budget);
  }
  if (!used) {
    // A slot, its motion flags and row-table entries; the slots grow by doubling.
    const uint64_t slot = 2 * (sizeof(FrameData) + 2 * sizeof(void*)) +
                          MemoryBudget::PlaneBytes(d_across, d_down, sizeof(BlockData));
    d_slot_memory.Set(*d_budget, (d_history.size() + 1) * slot, MemoryUse::History,
                      [next, &img] { return HistoryFrameNeeds(next + 1, img); });
    d_history.emplace_back();
    d_history.back().blocks.Create(d_across, d_down, 0, 1, 1);
  }
  FrameData& slot = d_history[size_t(next)];
  slot.memory = std::move(claim);
  const int previous = d_ring;
  d_ring = next;
  if (d_stored < H) d_stored++;
  slot.frame = img;
  pixkit::Clear(slot.blocks, BlockData{0, {0, 0}});

  if (d_across == 0 || d_down == 0) return;
  if (d_blocksize != 8) {
    // Only 8x8 blocks can be compared; the first comparison says so.
    const pixkit::Bitmap<Pixel>& y = img.AskBitmapY();
    Error_SAD(y, 0, 0, y, 0, 0, d_blocksize);
  }
  if (previous != -1)
    DetectBlockMotion(slot.blocks, img, d_history[previous].frame, d_blocksize, d_range);
  UpdateMatrices(d_ring);
}

void BackgroundSynthesizer_SimMat::DetectBlockMotion(pixkit::Bitmap<BlockData>& blocks,
                                                     const pixkit::Image<Pixel>& current,
                                                     const pixkit::Image<Pixel>& previous,
                                                     int blocksize, int range) {
  PIXKIT_ASSERT(blocksize >= 1 && range >= 0);
  const pixkit::Bitmap<Pixel>& cur = current.AskBitmapY();
  const pixkit::Bitmap<Pixel>& prev = previous.AskBitmapY();
  const int w = cur.AskWidth();
  const int h = cur.AskHeight();
  PIXKIT_ASSERT(prev.AskWidth() >= w && prev.AskHeight() >= h);
  PIXKIT_ASSERT(blocks.AskWidth() >= w / blocksize && blocks.AskHeight() >= h / blocksize);
  BlockData* const* flags = blocks.AskFrame();
  for (int y = 0; y + blocksize <= h; y += blocksize) {
    for (int x = 0; x + blocksize <= w; x += blocksize) {
      const int e0 = Error_SAD(cur, x, y, prev, x, y, blocksize);
      BlockData& bd = flags[y / blocksize][x / blocksize];
      bd = BlockData{0, {0, 0}};
      // No displaced error can lie strictly between 0 and 0.99 x e0 unless e0 >= 2.
      if (e0 < 2) continue;
      bool moved = false;
      for (int dy = -range; dy <= range && !moved; dy++) {
        for (int dx = -range; dx <= range; dx++) {
          if (dx == 0 && dy == 0) continue;  // e = e0 never passes
          const int e = Error_SAD(prev, x, y, cur, x + dx, y + dy, blocksize);
          if (e > 0 && 0.99 * e0 > e) {
            moved = true;
            break;
          }
        }
      }
      bd.moved = moved ? 1 : 0;
    }
  }
}

void BackgroundSynthesizer_SimMat::UpdateMatrices(int k) {
  d_luma_rows.resize(size_t(d_stored));
  d_block_rows.resize(size_t(d_stored));
  for (int j = 0; j < d_stored; j++) {
    d_luma_rows[size_t(j)] = d_history[j].frame.AskFrameY();
    d_block_rows[size_t(j)] = d_history[j].blocks.AskFrame();
  }
  const Pixel* const* const* luma = d_luma_rows.data();
  const BlockData* const* const* moved = d_block_rows.data();

  for (int by = 0; by < d_down; by++) {
    const int y = by * d_blocksize;
    for (int bx = 0; bx < d_across; bx++) {
      const int x = bx * d_blocksize;
      OptData& od = Record(bx, by);
      Pixel* const* M = od.matrix.AskFrame();
      Pixel* rowK = M[k];
      if (moved[k][by][bx].moved) {
        for (int j = 0; j < d_stored; j++) rowK[j] = M[j][k] = 0;
        rowK[k] = 0;
      } else {
        const Pixel* const* cur = luma[k] + y;
        for (int j = 0; j < d_stored; j++) {
          Pixel s = 0;
          if (j == k)
            s = 255;
          else if (!moved[j][by][bx].moved)
            s = Similarity(SumAbsDiff8x8(cur, x, luma[j] + y, x) / 64);
          rowK[j] = M[j][k] = s;
        }
        rowK[k] = 255;
      }
      UpdateWindowSums(od, k);
    }
  }
}

// Only the windows that hold slot k saw entries change; each is summed afresh once all its
// slots are in use.
void BackgroundSynthesizer_SimMat::UpdateWindowSums(OptData& od, int k) const {
  const int n = c_StableWindow;
  const Pixel* const* M = od.matrix.AskFrame();
  for (int i = std::max(0, k - n + 1); i <= k && i + n <= d_stored; i++) {
    int S = 0;
    for (int a = 0; a < n; a++)
      for (int b = 0; b < n; b++) S += M[i + a][i + b];
    od.window[size_t(i)] = uint16_t(S);
  }
}

void BackgroundSynthesizer_SimMat::MarkStableFrames(Pixel* flags, int bx, int by, int n) {
  PIXKIT_ASSERT(bx >= 0 && bx < d_across && by >= 0 && by < d_down);
  PIXKIT_ASSERT(n >= 1);
  OptData& od = Record(bx, by);
  const Pixel* const* M = od.matrix.AskFrame();
  std::fill(flags, flags + d_stored, Pixel(0));
  const int threshold = n * n * 128;
  for (int i = 0; i < d_stored - n; i++) {
    int S = 0;
    if (n == c_StableWindow) {
      S = od.window[size_t(i)];
    } else {
      for (int a = 0; a < n; a++)
        for (int b = 0; b < n; b++) S += M[i + a][i + b];
    }
    if (S > threshold) std::fill(flags + i, flags + i + n, Pixel(1));
  }
}

void BackgroundSynthesizer_SimMat::MarkAllStableFrames(int n) {
  for (int by = 0; by < d_down; by++)
    for (int bx = 0; bx < d_across; bx++) MarkStableFrames(Record(bx, by).stable.get(), bx, by, n);
}

void BackgroundSynthesizer_SimMat::SynthesizeBackground(pixkit::Image<Pixel>& out) {
  PIXKIT_ASSERT_MSG(d_stored > 0, c_NoFrames);

  pixkit::ImageParam param = d_history[0].frame.AskParam();
  param.colorspace = pixkit::Colorspace_YUV;
  param.chroma = pixkit::Chroma_444;
  out.Create(param);

  // Outside the block grid nothing is known: the unknown colour. Inside, every pixel gets a
  // sample and alpha 255.
  const int gridW = d_across * d_blocksize;
  const int gridH = d_down * d_blocksize;
  const int w = param.width;
  const int h = param.height;
  for (int p = 0; p < 4; p++) {
    pixkit::Bitmap<Pixel>& bm = out.AskBitmap(p);
    if (bm.IsEmpty()) continue;
    Pixel* const* f = bm.AskFrame();
    for (int y = 0; y < h; y++) {
      if (y < gridH) {
        std::fill(f[y] + gridW, f[y] + w, d_unknown[p]);
        if (p == pixkit::Bitmap_Alpha) std::fill(f[y], f[y] + gridW, Pixel(255));
      } else {
        std::fill(f[y], f[y] + w, d_unknown[p]);
      }
    }
  }

  const int bs = d_blocksize;
  for (int by = 0; by < d_down; by++) {
    for (int bx = d_across - 1; bx >= 0; bx--) {
      OptData& od = Record(bx, by);
      Pixel* flags = od.stable.get();
      MarkStableFrames(flags, bx, by, c_StableWindow);

      const Pixel* const* M = od.matrix.AskFrame();
      int chosen = 0;
      int64_t best = -1;
      for (int i = 0; i < d_stored; i++) {
        if (!flags[i]) continue;
        const int64_t sum = SumFlagged(M[i], flags, d_stored);
        if (sum > best) {
          best = sum;
          chosen = i;
        }
      }

      const pixkit::Image<Pixel>& src = d_history[chosen].frame;
      for (int p = 0; p < 3; p++) {
        const pixkit::Bitmap<Pixel>& sp = src.AskBitmap(p);
        const Pixel* const* s = sp.IsEmpty() ? nullptr : sp.AskFrame();
        Pixel* const* d = out.AskBitmap(p).AskFrame();
        for (int r = by * bs; r < (by + 1) * bs; r++) {
          if (s)
            std::memcpy(d[r] + bx * bs, s[r] + bx * bs, size_t(bs));
          else  // greyscale frames have no chroma to copy
            std::fill(d[r] + bx * bs, d[r] + (bx + 1) * bs, d_unknown[p]);
        }
      }
    }
  }
}

int64_t BackgroundSynthesizer_SimMat::SelectionEnergy(const Pixel* const* M, const Pixel* selected,
                                                      const int* weight) const {
  int64_t energy = 0;
  for (int i = 0; i < d_stored; i++) {
    for (int j = i + 1; j < d_stored; j++) {
      if (selected[i] && selected[j])
        energy += 170 - M[i][j];
      else
        energy += WeightedTerm(M[i][j], weight[i], weight[j]);
    }
  }
  return energy;
}

int32_t BackgroundSynthesizer_SimMat::SelectionEnergyDelta(const Pixel* const* M,
                                                           const Pixel* selected,
                                                           const int* weight, int k) const {
  // Accumulated unsigned: the 32-bit score wraps rather than overflowing.
  uint32_t delta = 0;
  const bool kAfter = !selected[k];
  for (int j = 0; j < d_stored; j++) {
    if (j == k) continue;
    const Pixel m = M[k][j];
    const uint32_t weighted = uint32_t(WeightedTerm(m, weight[k], weight[j]));
    if (selected[k] && selected[j])
      delta += uint32_t(int32_t(m) - 170);
    else
      delta -= weighted;
    if (kAfter && selected[j])
      delta += uint32_t(170 - int32_t(m));
    else
      delta += weighted;
  }
  return int32_t(delta);
}

void BackgroundSynthesizer_SimMat::AskSimilarityMatrixImage(pixkit::Image<Pixel>& out, int bx,
                                                            int by) const {
  PIXKIT_ASSERT(bx >= 0 && bx < d_across && by >= 0 && by < d_down);
  const int H = d_history_length;
  CreateSquare(out, H, pixkit::Colorspace_Greyscale);
  const Pixel* const* M = d_records.AskFrame()[by][bx].matrix.AskFrame();
  Pixel* const* d = out.AskFrameY();
  for (int y = 0; y < H; y++) std::memcpy(d[y], M[y], size_t(H));
}

void BackgroundSynthesizer_SimMat::AskSimilarityMatrixRGB(pixkit::Image<Pixel>& out, int bx,
                                                          int by) const {
  PIXKIT_ASSERT(bx >= 0 && bx < d_across && by >= 0 && by < d_down);
  const int H = d_history_length;
  CreateSquare(out, H, pixkit::Colorspace_RGB);
  pixkit::Clear(out, Color(0, 0, 0, 0));

  const OptData& od = d_records.AskFrame()[by][bx];
  const Pixel marker = 120;
  for (int i = 0; i < d_stored; i++) {
    if (!od.stable[size_t(i)]) continue;
    pixkit::DrawLine(out.AskBitmap(0), i, 0, i, d_stored, marker);
    pixkit::DrawLine(out.AskBitmap(1), 0, i, d_stored, i, marker);
  }
  const Pixel* const* M = od.matrix.AskFrame();
  for (int p = 0; p < 3; p++) {
    Pixel* const* f = out.AskBitmap(p).AskFrame();
    for (int y = 0; y < d_stored; y++)
      for (int x = 0; x < d_stored; x++) f[y][x] = std::max(f[y][x], M[x][y]);
  }
}

void BackgroundSynthesizer_SimMat::DumpBitmapText(const pixkit::Bitmap<Pixel>& bm) {
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++)
      std::cout << x << ';' << y << ' ' << int(f[y][x]) << '\n';
  std::cout.flush();
}

}  // namespace cvalgo
