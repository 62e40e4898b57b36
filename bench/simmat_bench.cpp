// Similarity-matrix synthesizer at 352x288 4:4:4 with alpha: frame hand-over and synthesis
// with histories of 50 and 150 frames, against the literal model, and the block-difference
// kernels side by side.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "cvalgo/background_simmat.h"
#include "tests/cvalgo/simmat_reference.h"

namespace {

using pixkit::Image;
using pixkit::Pixel;

constexpr int c_Width = 352;
constexpr int c_Height = 288;
constexpr int c_PoolSize = 24;

uint32_t Hash(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352d;
  v ^= v >> 15;
  v *= 0x846ca68b;
  v ^= v >> 16;
  return v;
}

// A textured background with a few textured objects moving over it and sensor noise.
const std::vector<Image<Pixel>>& Pool() {
  static const std::vector<Image<Pixel>> pool = [] {
    std::vector<Image<Pixel>> frames;
    pixkit::ImageParam p;
    p.width = c_Width;
    p.height = c_Height;
    p.colorspace = pixkit::Colorspace_YUV;
    p.chroma = pixkit::Chroma_444;
    p.has_alpha = true;
    for (int t = 0; t < c_PoolSize; t++) {
      Image<Pixel> img;
      img.Create(p);
      for (int y = 0; y < c_Height; y++) {
        for (int x = 0; x < c_Width; x++) {
          int v = 40 + int(Hash(uint32_t(x * 977 + y * 131)) % 150) +
                  int(Hash(uint32_t(x + 1000 * y + 77777 * t)) % 5);
          for (int o = 0; o < 3; o++) {
            const int ox = 30 + 100 * o + 3 * t * (o + 1) % 200, oy = 40 + 80 * o;
            if (x >= ox && x < ox + 40 && y >= oy && y < oy + 48)
              v = int(Hash(uint32_t((x - ox) * 31 + (y - oy) + o)) % 220);
          }
          img.AskFrameY()[y][x] = Pixel(v);
          img.AskFrameU()[y][x] = Pixel(v ^ 0x55);
          img.AskFrameV()[y][x] = Pixel(255 - v);
          img.AskFrameA()[y][x] = 255;
        }
      }
      frames.push_back(img);
    }
    return frames;
  }();
  return pool;
}

// A synthesizer whose ring is full, so every hand-over is the steady-state one.
void Fill(cvalgo::BackgroundSynthesizer_SimMat& s, int history) {
  s.SetHistoryLength(history);
  for (int i = 0; i < history; i++) s.ShareImage(Pool()[size_t(i % c_PoolSize)]);
}

void BM_SimMat_ShareImage(benchmark::State& state) {
  const int history = int(state.range(0));
  cvalgo::BackgroundSynthesizer_SimMat s;
  Fill(s, history);
  size_t i = 0;
  for (auto _ : state) s.ShareImage(Pool()[i++ % c_PoolSize]);
}
BENCHMARK(BM_SimMat_ShareImage)->Arg(50)->Arg(150)->Unit(benchmark::kMillisecond);

void BM_SimMat_SynthesizeBackground(benchmark::State& state) {
  const int history = int(state.range(0));
  cvalgo::BackgroundSynthesizer_SimMat s;
  Fill(s, history);
  Image<Pixel> out;
  for (auto _ : state) {
    s.SynthesizeBackground(out);
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
}
BENCHMARK(BM_SimMat_SynthesizeBackground)->Arg(50)->Arg(150)->Unit(benchmark::kMillisecond);

// One frame in and one background out, the unit of the driver's loop.
void BM_SimMat_ShareAndSynthesize(benchmark::State& state) {
  const int history = int(state.range(0));
  cvalgo::BackgroundSynthesizer_SimMat s;
  Fill(s, history);
  Image<Pixel> out;
  size_t i = 0;
  for (auto _ : state) {
    s.ShareImage(Pool()[i++ % c_PoolSize]);
    s.SynthesizeBackground(out);
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
}
BENCHMARK(BM_SimMat_ShareAndSynthesize)->Arg(50)->Arg(150)->Unit(benchmark::kMillisecond);

void BM_SimMatReference_ShareAndSynthesize(benchmark::State& state) {
  const int history = int(state.range(0));
  simmat_reference::Model model(history);
  for (int i = 0; i < history; i++) model.ShareImage(Pool()[size_t(i % c_PoolSize)]);
  Image<Pixel> out;
  out.Create(Pool()[0].AskParam());
  size_t i = 0;
  for (auto _ : state) {
    model.ShareImage(Pool()[i++ % c_PoolSize]);
    model.Synthesize(out);
    benchmark::DoNotOptimize(out.AskFrameY()[0][0]);
  }
}
BENCHMARK(BM_SimMatReference_ShareAndSynthesize)->Arg(50)->Arg(150)->Unit(benchmark::kMillisecond);

template <int (*Kernel)(const Pixel* const*, int, const Pixel* const*, int)>
void BM_SumAbsDiff8x8(benchmark::State& state) {
  const pixkit::Bitmap<Pixel>& a = Pool()[0].AskBitmapY();
  const pixkit::Bitmap<Pixel>& b = Pool()[1].AskBitmapY();
  int x = 0, y = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Kernel(a.AskFrame() + y, x, b.AskFrame() + y, x + 1));
    x += 8;
    if (x + 9 > c_Width) {
      x = 0;
      y = (y + 8) % (c_Height - 8);
    }
  }
}
BENCHMARK_TEMPLATE(BM_SumAbsDiff8x8, cvalgo::SumAbsDiff8x8_C);
#if defined(__SSE2__)
BENCHMARK_TEMPLATE(BM_SumAbsDiff8x8, cvalgo::SumAbsDiff8x8_SSE2);
#endif

}  // namespace
