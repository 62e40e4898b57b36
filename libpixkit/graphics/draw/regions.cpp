// Region boundaries of label maps and the alpha-mask overlay.
#include "libpixkit/graphics/draw/regions.h"

#include <cassert>

namespace pixkit {

namespace {

// bm keeps its size and loses its border and alignment.
void Recreate(Bitmap<Pixel>& bm, const Bitmap<int>& regions) {
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  // Reading beyond a smaller label map would leave its memory.
  PIXKIT_ASSERT(regions.AskWidth() >= w && regions.AskHeight() >= h);
  bm.Create(w, h, 0, 1, 1);
}

// The label differs from the right or the lower neighbour's, where those exist.
inline bool IsBoundary(const int* const* l, int x, int y, int w, int h) {
  return (x + 1 < w && l[y][x] != l[y][x + 1]) || (y + 1 < h && l[y][x] != l[y + 1][x]);
}

}  // namespace

void MarkRegionBoundaries(Bitmap<Pixel>& bm, const Bitmap<int>& regions, bool frame) {
  Recreate(bm, regions);
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  const int* const* l = regions.AskFrame();
  Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) f[y][x] = IsBoundary(l, x, y, w, h) ? 255 : 0;
  if (!frame || w == 0 || h == 0) return;
  for (int x = 0; x < w; x++) {
    f[0][x] = 255;
    f[h - 1][x] = 255;
  }
  for (int y = 0; y < h; y++) {
    f[y][0] = 255;
    f[y][w - 1] = 255;
  }
}

void MarkRegionBoundaries(Bitmap<Pixel>& bm, const Bitmap<int>& regions, Pixel value) {
  Recreate(bm, regions);
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  const int* const* l = regions.AskFrame();
  Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      if (IsBoundary(l, x, y, w, h)) f[y][x] = value;
}

void OverlayAlphaMask(Bitmap<Pixel>& bm, const Bitmap<Pixel>& alphamap, Pixel value,
                      int threshold) {
  assert(bm.AskWidth() ==alphamap.AskWidth());
  assert(bm.AskHeight()==alphamap.AskHeight());
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  Pixel* const* f = bm.AskFrame();
  const Pixel* const* a = alphamap.AskFrame();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const int here = a[y][x];
      if (here >= threshold) continue;
      if ((x + y) % 4 == 0) {
        f[y][x] = value;  // every fourth diagonal, lower left to upper right
      } else if (x > 0 && a[y][x - 1] != here) {
        if (here < a[y][x - 1])
          f[y][x] = value;
        else
          f[y][x - 1] = value;
      } else if (y > 0 && a[y - 1][x] != here) {
        if (here < a[y - 1][x])
          f[y][x] = value;
        else
          f[y - 1][x] = value;
      }
    }
}

}  // namespace pixkit
