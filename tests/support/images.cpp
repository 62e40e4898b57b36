// Image descriptions, sample fillers and row tables shared by the tests of images and planes.
#include "tests/support/images.h"

namespace testsupport {

using pixkit::Pixel;

pixkit::ImageParam Param(int w, int h, pixkit::Colorspace cs, pixkit::ChromaFormat chroma,
                         bool alpha) {
  pixkit::ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = cs;
  p.chroma = chroma;
  p.has_alpha = alpha;
  return p;
}

pixkit::Image<Pixel> MakeImage(const pixkit::ImageParam& p) {
  pixkit::Image<Pixel> img;
  img.Create(p);
  return img;
}

void FillRandom(pixkit::Image<Pixel>& img, std::mt19937& rng) {
  std::uniform_int_distribution<int> d(0, 255);
  for (int i = 0; i < 3; i++) {
    if (img.AskBitmap(i).IsEmpty()) continue;
    pixkit::Bitmap<Pixel>& b = img.AskBitmap(i);
    Pixel* const* f = b.AskFrame();
    for (int y = 0; y < b.AskHeight(); y++)
      for (int x = 0; x < b.AskWidth(); x++) f[y][x] = Pixel(d(rng));
  }
}

Rows ToRows(const pixkit::Bitmap<Pixel>& bm) {
  Rows rows(bm.AskHeight(), std::vector<int>(bm.AskWidth()));
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++)
    for (int x = 0; x < bm.AskWidth(); x++) rows[y][x] = f[y][x];
  return rows;
}

}  // namespace testsupport
