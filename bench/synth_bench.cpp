// Cost of feeding frames to the background synthesizers and of asking them for a background, at
// CIF 4:4:4 with alpha. The histogram synthesizers are also timed through their plain per-pixel
// route (256-bin histogram cleared for every pixel), the reference their row kernels must beat.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "cvalgo/background.h"

using namespace cvalgo;
using pixkit::Image;

namespace {

const int c_Width = 352;
const int c_Height = 288;
const int c_Pool = 160;  // more frames than the longest history

// A textured static scene with a little noise and a moving square marked transparent, as the
// driver hands them in with motion marking.
const std::vector<Image<Pixel>>& Frames() {
  static std::vector<Image<Pixel>> frames = [] {
    std::vector<Image<Pixel>> v;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-3, 3);
    pixkit::ImageParam p;
    p.width = c_Width;
    p.height = c_Height;
    p.colorspace = pixkit::Colorspace_YUV;
    p.chroma = pixkit::Chroma_444;
    p.has_alpha = true;
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

// The straightforward computation: CalcPixel for every pixel of every plane.
void BM_SynthesizeReference(benchmark::State& state) {
  const int history = int(state.range(1));
  auto owner = Make(int(state.range(0)));
  auto* s = static_cast<BackgroundSynthesizer_PixelWise*>(owner.get());
  std::vector<const Pixel* const*> alpha, rows(static_cast<size_t>(history));
  for (int f = 0; f < history; f++) alpha.push_back(Frames()[size_t(f)].AskFrameA());
  Image<Pixel> out;
  out.Create(Frames()[0].AskParam());
  for (auto _ : state) {
    for (int p = 0; p < 3; p++) {
      for (int f = 0; f < history; f++) rows[size_t(f)] = Frames()[size_t(f)].AskBitmap(p).AskFrame();
      Pixel* const* o = out.AskBitmap(p).AskFrame();
      Pixel* const* oa = out.AskFrameA();
      for (int y = 0; y < c_Height; y++)
        for (int x = 0; x < c_Width; x++)
          oa[y][x] = s->CalcPixel(&o[y][x], alpha.data(), rows.data(), x, y, history, true) ? 255 : 0;
    }
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
  state.SetLabel(owner->AskAlgorithmName());
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
BENCHMARK(BM_SynthesizeBackground)->Apply(AllAlgorithms)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynthesizeReference)->Apply(HistogramAlgorithms)->Unit(benchmark::kMillisecond);
