// 4:2:0 frames to 32-bit BGR display memory through every transform that accepts them, and
// through the SIMD transform's scalar model. The SIMD transform should be at least four times
// as fast as the scalar one.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "libpixkit/graphics/color/img2raw.h"
#include "libpixkit/graphics/color/internal_yuv2rgb_mmx.h"
#include "libpixkit/graphics/color/internal_yuv2rgb_scalar.h"
#include "libpixkit/utility/math.h"

namespace {

using namespace pixkit;

Image<Pixel> Frame(int w, int h) {
  ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = Colorspace_YUV;
  p.chroma = Chroma_420;
  Image<Pixel> img;
  img.Create(p);
  std::mt19937 rng(1);
  for (int i = 0; i < 3; i++) {
    Bitmap<Pixel>& b = img.AskBitmap(i);
    for (int y = 0; y < b.AskHeight(); y++)
      for (int x = 0; x < b.AskWidth(); x++) b.AskFrame()[y][x] = Pixel(rng());
  }
  return img;
}

RawRGBFormat BGR32(int w) {
  RawRGBFormat f;
  f.bits_per_pixel = 32;
  f.little_endian = true;
  f.bytes_per_line = 4 * AlignUp(w, 8);
  f.SetRGBMasks(0xFF0000, 0xFF00, 0xFF);
  return f;
}

template <class T>
void BM_Transform(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const Image<Pixel> img = Frame(w, h);
  const RawRGBFormat f = BGR32(w);
  std::vector<uint8_t> mem(size_t(f.bytes_per_line) * h);
  T t;
  t.SetFormat(f);
  if (!t.CanConvert(img, f)) state.SkipWithError("transform refuses the frame");
  for (auto _ : state) {
    t.Transform(img, mem.data(), 0, h - 1);
    benchmark::DoNotOptimize(mem.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * w * h);
}

#if PIXKIT_SIMD_TRANSFORMS
// The same transform on processors without AVX2.
void BM_BGR_SSE2Only(benchmark::State& state) {
  yuv_simd_model::g_allow_avx2 = false;
  BM_Transform<i2r_32bit_BGR_mmx>(state);
  yuv_simd_model::g_allow_avx2 = true;
}
#endif

void BM_SimdModel(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const Image<Pixel> img = Frame(w, h);
  const RawRGBFormat f = BGR32(w);
  std::vector<uint8_t> mem(size_t(f.bytes_per_line) * h);
  for (auto _ : state) {
    yuv_simd_model::Convert420_BGR32(img, mem.data(), 0, h - 1, f.bytes_per_line);
    benchmark::DoNotOptimize(mem.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * w * h);
}

// What the image window pays per frame: the chooser's acceptance test and format copy too.
void BM_Converter(benchmark::State& state) {
  const int w = int(state.range(0)), h = int(state.range(1));
  const Image<Pixel> img = Frame(w, h);
  Image2RawRGB conv;
  conv.SetFormat(BGR32(w));
  std::vector<uint8_t> mem(size_t(conv.AskFormat().bytes_per_line) * h);
  for (auto _ : state) {
    conv.Transform(img, mem.data(), 0, -1);
    benchmark::DoNotOptimize(mem.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(conv.AskTransform()->TransformationName());
  state.SetItemsProcessed(state.iterations() * w * h);
}

void Sizes(benchmark::internal::Benchmark* b) { b->Args({352, 288})->Args({1280, 720}); }

}  // namespace

BENCHMARK_TEMPLATE(BM_Transform, pixkit::i2r_yuv_32bit)->Apply(Sizes);
#if PIXKIT_SIMD_TRANSFORMS
BENCHMARK_TEMPLATE(BM_Transform, pixkit::i2r_32bit_BGR_mmx)->Apply(Sizes);
BENCHMARK(BM_BGR_SSE2Only)->Apply(Sizes);
#endif
BENCHMARK(BM_SimdModel)->Apply(Sizes);
BENCHMARK(BM_Converter)->Apply(Sizes);
