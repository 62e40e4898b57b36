// The chroma conversion every frame goes through, and the RGB conversion of every saved
// background, at the default frame size.
#include <benchmark/benchmark.h>

#include "libpixkit/graphics/color/colorspace.h"
#include "libpixkit/graphics/draw/scale.h"

using namespace pixkit;

namespace {

Image<Pixel> Frame(ChromaFormat chroma) {
  ImageParam p;
  p.width = 352;
  p.height = 288;
  p.colorspace = Colorspace_YUV;
  p.chroma = chroma;
  p.has_alpha = true;
  Image<Pixel> img;
  img.Create(p);
  for (int i = 0; i < 4; i++) {
    Bitmap<Pixel>& b = img.AskBitmap(i);
    Pixel* const* f = b.AskFrame();
    for (int y = 0; y < b.AskHeight(); y++)
      for (int x = 0; x < b.AskWidth(); x++) f[y][x] = Pixel(x * 7 + y * 3 + i);
  }
  return img;
}

// The plain per-sample form of the upsampling, as the yardstick.
void DoubleSizeReference(Bitmap<Pixel>& dst, const Bitmap<Pixel>& src) {
  const int w = src.AskWidth(), h = src.AskHeight();
  dst.Create(2 * w, 2 * h, 0, 1, 1);
  const Pixel* const* s = src.AskFrame();
  Pixel* const* d = dst.AskFrame();
  for (int y = 0; y < 2 * h; y++)
    for (int x = 0; x < 2 * w; x++) d[y][x] = s[y / 2][x / 2];
}

void BM_DoubleSize_Reference(benchmark::State& state) {
  const Image<Pixel> src = Frame(Chroma_420);
  Bitmap<Pixel> dst;
  for (auto _ : state) {
    DoubleSizeReference(dst, src.AskBitmap(1));
    benchmark::DoNotOptimize(dst.AskFrame()[0][0]);
  }
}
BENCHMARK(BM_DoubleSize_Reference);

void BM_DoubleSize_Dup(benchmark::State& state) {
  const Image<Pixel> src = Frame(Chroma_420);
  Bitmap<Pixel> dst;
  for (auto _ : state) {
    DoubleSize_Dup(dst, src.AskBitmap(1));
    benchmark::DoNotOptimize(dst.AskFrame()[0][0]);
  }
}
BENCHMARK(BM_DoubleSize_Dup);

// Unshared destination: its planes are reused, nothing is allocated.
void BM_ChangeChroma_420To444_Reused(benchmark::State& state) {
  const Image<Pixel> src = Frame(Chroma_420);
  Image<Pixel> dst;
  for (auto _ : state) {
    ChangeChroma(dst, src, Chroma_444);
    benchmark::DoNotOptimize(dst.AskFrameU()[0][0]);
  }
}
BENCHMARK(BM_ChangeChroma_420To444_Reused);

// The driver hands every converted frame over, so each conversion gets fresh planes.
void BM_ChangeChroma_420To444_Fresh(benchmark::State& state) {
  const Image<Pixel> src = Frame(Chroma_420);
  for (auto _ : state) {
    Image<Pixel> dst;
    ChangeChroma(dst, src, Chroma_444);
    benchmark::DoNotOptimize(dst.AskFrameU()[0][0]);
  }
}
BENCHMARK(BM_ChangeChroma_420To444_Fresh);

void BM_ChangeColorspace_YUV444ToRGB(benchmark::State& state) {
  const Image<Pixel> src = Frame(Chroma_444);
  Image<Pixel> dst;
  for (auto _ : state) {
    ChangeColorspace(dst, src, Colorspace_RGB, Chroma_420);
    benchmark::DoNotOptimize(dst.AskFrameR()[0][0]);
  }
}
BENCHMARK(BM_ChangeColorspace_YUV444ToRGB);

}  // namespace
