#include "libpixkit/graphics/datatypes/bitmap.h"

#include "libpixkit/utility/math.h"

namespace pixkit {

namespace {
// Nothing changes these; they exist so that the layout rule has one place to grow.
const int c_MinBorder = 0;
const int c_MinHAlign = 1;
const int c_MinVAlign = 1;
}  // namespace

void AskMinimumAlignment(int& border, int& halign, int& valign) {
  border = c_MinBorder;
  halign = c_MinHAlign;
  valign = c_MinVAlign;
}

void CalcAlignedSizes(int w, int h, int border, int halign, int valign, int& alignedWidth,
                      int& alignedHeight, int& alignedBorder) {
  assert(border>=0);
  assert(halign>=1);
  assert(valign>=1);
  int minBorder, minHAlign, minVAlign;
  AskMinimumAlignment(minBorder, minHAlign, minVAlign);
  border = std::max(border, minBorder);
  halign = LeastCommonMultiple(halign, minHAlign);
  valign = LeastCommonMultiple(valign, minVAlign);
  alignedWidth = AlignUp(w, halign);
  alignedHeight = AlignUp(h, valign);
  alignedBorder = AlignUp(border, halign);
}

void Invert(Bitmap<Pixel>& bm, Pixel value) {
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) f[y][x] = Pixel(value - f[y][x]);
}

}  // namespace pixkit
