// Clipping of line segments to a rectangle and one-pixel line drawing into a bitmap; used to
// make similarity matrices and masks visible.
#ifndef PIXKIT_GRAPHICS_DRAW_LINE_H
#define PIXKIT_GRAPHICS_DRAW_LINE_H

#include <utility>

#include "libpixkit/graphics/datatypes/bitmap.h"
#include "libpixkit/utility/math.h"

namespace pixkit {

// Bits of an outcode: where a point lies outside an inclusive rectangle; 0 is inside.
enum {
  Outcode_Above = 1,
  Outcode_Below = 2,
  Outcode_Left = 4,
  Outcode_Right = 8
};

int ComputeOutcode(int x, int y, int xmin, int ymin, int xmax, int ymax);

// Clips the segment in place to [xmin, xmax] x [ymin, ymax]; false when no part of it is
// inside (the end points may have been moved then).
bool ClipLine(int& x1, int& y1, int& x2, int& y2, int xmin, int ymin, int xmax, int ymax);

// Sets the samples of the line, both end points included, clipped to the bitmap's content
// (the border is never drawn into). Coordinates are those of AskFrame().
template <class Pel>
void DrawLine(Bitmap<Pel>& bm, int x1, int y1, int x2, int y2, Pel value) {
  const int xmin = -bm.AskZeroX();
  const int ymin = -bm.AskZeroY();
  const int xmax = bm.AskWidth() - bm.AskZeroX() - 1;
  const int ymax = bm.AskHeight() - bm.AskZeroY() - 1;
  if (!ClipLine(x1, y1, x2, y2, xmin, ymin, xmax, ymax)) return;

  Pel* const* f = bm.AskFrame();
  const bool ymajor = Abs(y2 - y1) > Abs(x2 - x1);
  // Walk along the major axis in increasing order; (major, minor) map back to (x, y) below.
  int a1 = ymajor ? y1 : x1, b1 = ymajor ? x1 : y1;
  int a2 = ymajor ? y2 : x2, b2 = ymajor ? x2 : y2;
  if (a2 < a1) {
    std::swap(a1, a2);
    std::swap(b1, b2);
  }
  const int D = a2 - a1;
  int d = b2 - b1;
  int s = 1;
  if (d < 0) {
    s = -1;
    d = -d;
  }
  int e = 2 * d - D;
  int b = b1;
  for (int a = a1; a <= a2; a++) {
    if (ymajor)
      f[a][b] = value;
    else
      f[b][a] = value;
    if (e > 0) {
      e += 2 * (d - D);
      b += s;
    } else {
      e += 2 * d;
    }
  }
}

}  // namespace pixkit

#endif
