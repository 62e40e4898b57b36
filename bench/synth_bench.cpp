// Cost of feeding frames to the background synthesizers and of asking them for a background, at
// CIF 4:4:4 with alpha, and of feeding 1080p frames to those whose work is per frame. The
// histogram synthesizers are also timed through a plain per-pixel reference (256-bin histogram
// cleared for every pixel), the one their row kernels must beat.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "cvalgo/background.h"
#include "cvalgo/internal_running_kernels.h"

using namespace cvalgo;
using pixkit::Image;

namespace {

const int c_Width = 352;
const int c_Height = 288;
const int c_Pool = 160;  // more frames than the longest history

// Frames as the driver hands them to the synthesizers.
pixkit::ImageParam Yuv444WithAlpha(int w, int h) {
  pixkit::ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = pixkit::Colorspace_YUV;
  p.chroma = pixkit::Chroma_444;
  p.has_alpha = true;
  return p;
}

// A textured static scene with a little noise and a moving square marked transparent, as the
// driver hands them in with motion marking.
const std::vector<Image<Pixel>>& Frames() {
  static std::vector<Image<Pixel>> frames = [] {
    std::vector<Image<Pixel>> v;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-3, 3);
    const pixkit::ImageParam p = Yuv444WithAlpha(c_Width, c_Height);
    for (int f = 0; f < c_Pool; f++) {
      Image<Pixel> img;
      img.Create(p);
      const int ox = (f * 5) % (c_Width - 64), oy = (f * 3) % (c_Height - 64);
      for (int y = 0; y < c_Height; y++)
        for (int x = 0; x < c_Width; x++) {
          const bool moving = x >= ox && x < ox + 64 && y >= oy && y < oy + 64;
          for (int pl = 0; pl < 3; pl++) {
            const int base = moving ? 40 : (x * (3 + pl) + y * 5 + ((x / 16 + y / 16) % 2) * 60) % 200 + 20;
            img.AskBitmap(pl).AskFrame()[y][x] = Pixel(base + noise(rng));
          }
          img.AskFrameA()[y][x] = moving ? 0 : 255;
        }
      v.push_back(img);
    }
    return v;
  }();
  return frames;
}

enum Algo { Aging, First, Last, SimpleAverage, SimpleMedian, Median, Average, Mode };

std::unique_ptr<BackgroundSynthesizer> Make(int algo) {
  switch (algo) {
    case Aging: return std::make_unique<BackgroundSynthesizer_Aging>();
    case First: return std::make_unique<BackgroundSynthesizer_FirstLast>(false);
    case Last: return std::make_unique<BackgroundSynthesizer_FirstLast>(true);
    case SimpleAverage: return std::make_unique<BackgroundSynthesizer_SimpleAverage>();
    case SimpleMedian: return std::make_unique<BackgroundSynthesizer_SimpleMedian>();
    case Median: return std::make_unique<BackgroundSynthesizer_Median>();
    case Average: return std::make_unique<BackgroundSynthesizer_Average>();
    default: return std::make_unique<BackgroundSynthesizer_Mode>();
  }
}

std::unique_ptr<BackgroundSynthesizer> Filled(int algo, int history) {
  auto s = Make(algo);
  s->SetHistoryLength(history);
  for (int f = 0; f < history; f++) s->ShareImage(Frames()[size_t(f)]);
  return s;
}

void BM_ShareImage(benchmark::State& state) {
  auto s = Filled(int(state.range(0)), int(state.range(1)));
  size_t f = 0;
  for (auto _ : state) {
    s->ShareImage(Frames()[f]);
    f = (f + 1) % Frames().size();
  }
  state.SetLabel(s->AskAlgorithmName());
}

void BM_SynthesizeBackground(benchmark::State& state) {
  auto s = Filled(int(state.range(0)), int(state.range(1)));
  Image<Pixel> out;
  for (auto _ : state) {
    s->SynthesizeBackground(out);
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
  state.SetLabel(s->AskAlgorithmName());
}

// One frame in and one background out, the unit of the driver's loop: the averaging synthesizer
// does part of its work when a frame joins.
void BM_ShareAndSynthesize(benchmark::State& state) {
  auto s = Filled(int(state.range(0)), int(state.range(1)));
  Image<Pixel> out;
  size_t f = 0;
  for (auto _ : state) {
    s->ShareImage(Frames()[f]);
    f = (f + 1) % Frames().size();
    s->SynthesizeBackground(out);
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
  state.SetLabel(s->AskAlgorithmName());
}

// The straightforward computation the row kernels are measured against: per plane and pixel a
// histogram of 256 ints, cleared, filled from the samples whose alpha is 255, and the value
// selected from it; the frames' row tables are gathered once per plane.
Pixel SelectMedian(const int* hist, int count) {
  const int need = count / 2 + 1;
  int v = 0;
  for (int cum = hist[0]; cum < need; cum += hist[++v]) {
  }
  return Pixel(v);
}

Pixel SelectAverage(const int* hist, int count) {
  uint32_t sum = 0;
  for (int v = 0; v < 256; v++) sum += uint32_t(v) * uint32_t(hist[v]);
  return Pixel(sum / uint32_t(count));
}

const int c_Fuzzyness = 3;  // the tool's default

Pixel SelectMode(const int* hist, int) {
  const auto bin = [hist](int k) { return hist[k < 0 ? 0 : k > 255 ? 255 : k]; };
  int w = 0;
  for (int k = -c_Fuzzyness; k <= c_Fuzzyness; k++) w += bin(k);
  int best = w, bestv = 0;
  for (int v = 1; v < 256; v++) {
    w += bin(v + c_Fuzzyness) - bin(v - c_Fuzzyness - 1);
    if (w > best) {
      best = w;
      bestv = v;
    }
  }
  // The lower median of the samples in the best window.
  const int lo = std::max(0, bestv - c_Fuzzyness), hi = std::min(255, bestv + c_Fuzzyness);
  int inside = 0;
  for (int v = lo; v <= hi; v++) inside += hist[v];
  int rank = (inside - 1) / 2, v = lo;
  for (; rank >= hist[v]; v++) rank -= hist[v];
  return Pixel(v);
}

template <Pixel (*Select)(const int*, int)>
void ReferenceSynthesis(int history, Image<Pixel>& out) {
  const pixkit::Color unknown(255, 128, 128, 0);
  std::vector<const Pixel* const*> alpha(static_cast<size_t>(history)), rows(alpha.size());
  for (int f = 0; f < history; f++) alpha[size_t(f)] = Frames()[size_t(f)].AskFrameA();
  Pixel* const* oa = out.AskFrameA();
  for (int p = 0; p < 3; p++) {
    for (int f = 0; f < history; f++) rows[size_t(f)] = Frames()[size_t(f)].AskBitmap(p).AskFrame();
    Pixel* const* o = out.AskBitmap(p).AskFrame();
    for (int y = 0; y < c_Height; y++)
      for (int x = 0; x < c_Width; x++) {
        int hist[256];
        std::memset(hist, 0, sizeof hist);
        int count = 0;
        for (int f = 0; f < history; f++) {
          if (alpha[size_t(f)][y][x] != 255) continue;
          hist[rows[size_t(f)][y][x]]++;
          count++;
        }
        o[y][x] = count ? Select(hist, count) : unknown[p];
        oa[y][x] = count ? 255 : 0;
      }
  }
}

void RunReference(int algo, int history, Image<Pixel>& out) {
  switch (algo) {
    case Median: ReferenceSynthesis<SelectMedian>(history, out); break;
    case Average: ReferenceSynthesis<SelectAverage>(history, out); break;
    default: ReferenceSynthesis<SelectMode>(history, out); break;
  }
}

bool SameImage(const Image<Pixel>& a, const Image<Pixel>& b) {
  for (int p = 0; p < 4; p++)
    for (int y = 0; y < c_Height; y++)
      if (std::memcmp(a.AskBitmap(p).AskFrame()[y], b.AskBitmap(p).AskFrame()[y], c_Width) != 0)
        return false;
  return true;
}

// The reference, after a check that the synthesizer gives the same image byte for byte.
void BM_SynthesizeReference(benchmark::State& state) {
  const int algo = int(state.range(0));
  const int history = int(state.range(1));
  Image<Pixel> out, fast;
  out.Create(Frames()[0].AskParam());
  RunReference(algo, history, out);
  auto s = Filled(algo, history);
  s->SynthesizeBackground(fast);
  if (!SameImage(out, fast)) {
    state.SkipWithError("the synthesizer's background differs from the reference");
    return;
  }
  for (auto _ : state) {
    RunReference(algo, history, out);
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
  state.SetLabel(s->AskAlgorithmName());
}

// 1080p 4:4:4 frames with alpha as the driver hands them in: a textured scene with a moving
// block marked transparent. A few frames, shared by the histories, are enough: each is larger
// than the caches.
const int c_HDWidth = 1920;
const int c_HDHeight = 1080;
const int c_HDPool = 6;

const std::vector<Image<Pixel>>& HDFrames() {
  static std::vector<Image<Pixel>> frames = [] {
    std::vector<Image<Pixel>> v;
    const pixkit::ImageParam p = Yuv444WithAlpha(c_HDWidth, c_HDHeight);
    for (int f = 0; f < c_HDPool; f++) {
      Image<Pixel> img;
      img.Create(p);
      const int ox = 200 * f, oy = 100 * f;
      for (int y = 0; y < c_HDHeight; y++)
        for (int x = 0; x < c_HDWidth; x++) {
          const bool moving = x >= ox && x < ox + 256 && y >= oy && y < oy + 256;
          for (int pl = 0; pl < 3; pl++)
            img.AskBitmap(pl).AskFrame()[y][x] =
                Pixel(moving ? 40 : (x * (3 + pl) + y * 5 + f) % 200 + 20);
          img.AskFrameA()[y][x] = moving ? 0 : 255;
        }
      v.push_back(img);
    }
    return v;
  }();
  return frames;
}

// The third argument picks the rows: 0 scalar, 1 SSE2, 2 the widest the processor has.
void BM_ShareImage1080p(benchmark::State& state) {
  const RowKind kinds[] = {RowKind::C, RowKind::SSE2, RowKind::AVX2};
  g_widest_rows = kinds[state.range(2)];
  auto s = Make(int(state.range(0)));
  const int history = int(state.range(1));
  s->SetHistoryLength(history);
  for (int f = 0; f < std::max(1, history); f++) s->ShareImage(HDFrames()[size_t(f) % c_HDPool]);
  size_t f = 0;
  for (auto _ : state) {
    s->ShareImage(HDFrames()[f]);
    f = (f + 1) % HDFrames().size();
  }
  state.SetLabel(s->AskAlgorithmName());
  g_widest_rows = RowKind::AVX2;
}

void HDAlgorithms(benchmark::internal::Benchmark* b) {
  for (int kind = 0; kind < 3; kind++) {
    b->Args({Aging, 0, kind});
    b->Args({First, 0, kind});
    b->Args({Last, 0, kind});
    b->Args({Average, 150, kind});
  }
}

void AllAlgorithms(benchmark::internal::Benchmark* b) {
  for (int algo = Aging; algo <= Mode; algo++)
    for (int history : {50, 150}) b->Args({algo, history});
}

void HistogramAlgorithms(benchmark::internal::Benchmark* b) {
  for (int algo = Median; algo <= Mode; algo++)
    for (int history : {50, 150}) b->Args({algo, history});
}

}  // namespace

BENCHMARK(BM_ShareImage)->Apply(AllAlgorithms);
BENCHMARK(BM_ShareImage1080p)->Apply(HDAlgorithms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynthesizeBackground)->Apply(AllAlgorithms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShareAndSynthesize)->Apply(HistogramAlgorithms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynthesizeReference)->Apply(HistogramAlgorithms)->Unit(benchmark::kMillisecond);
