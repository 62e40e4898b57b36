#include "app/motion.h"

#include <cstdint>
#include <cstdlib>

using pixkit::Bitmap;
using pixkit::Image;

void AddAlphaChannel(Image<Pixel>& img) {
  pixkit::ImageParam param = img.AskParam();
  if (param.has_alpha) return;
  Bitmap<Pixel> alpha;
  alpha.Create(param.width, param.height, 0, 1, 1);
  img.ReplaceBitmap(pixkit::Bitmap_Alpha, alpha);
  param.has_alpha = true;
  img.SetParam(param);
}

int MeanBlockDifference(const Bitmap<Pixel>& a, int ax, int ay, const Bitmap<Pixel>& b, int bx,
                        int by, int size) {
  if (bx < 0 || by < 0 || bx + size >= b.AskWidth() || by + size >= b.AskHeight()) return -1;
  const Pixel* const* fa = a.AskFrame();
  const Pixel* const* fb = b.AskFrame();
  uint32_t sum = 0;
  for (int r = 0; r < size; r++) {
    const Pixel* pa = fa[ay + r] + ax;
    const Pixel* pb = fb[by + r] + bx;
    for (int c = 0; c < size; c++) sum += uint32_t(std::abs(int(pa[c]) - int(pb[c])));
  }
  return int(sum / uint32_t(size * size));
}

void MarkMotionTransparent(Image<Pixel>& cur, const Image<Pixel>& prev, int size, int range) {
  const Bitmap<Pixel>& curY = cur.AskBitmapY();
  const Bitmap<Pixel>& prevY = prev.AskBitmapY();
  for (int y = 0; y < cur.AskHeight() - size; y += size) {
    for (int x = 0; x < cur.AskWidth() - size; x += size) {
      const int d0 = MeanBlockDifference(curY, x, y, prevY, x, y, size);
      bool hit = false;
      for (int dy = -range; dy <= range && !hit; dy++) {
        for (int dx = -range; dx <= range && !hit; dx++) {
          if (dx == 0 && dy == 0) continue;
          const int d = MeanBlockDifference(curY, x, y, prevY, x + dx, y + dy, size);
          // "d below 0.9 d0" in exact integers: the equal case counts as a hit.
          hit = d >= 0 && d0 > 0 && 10 * d <= 9 * d0;
        }
      }
      if (hit) pixkit::FillRect(cur.AskBitmapA(), x, y, x + size - 1, y + size - 1, Pixel(0));
    }
  }
}
