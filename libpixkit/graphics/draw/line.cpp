// Cohen-Sutherland clipping of line segments.
#include "libpixkit/graphics/draw/line.h"

namespace pixkit {

int ComputeOutcode(int x, int y, int xmin, int ymin, int xmax, int ymax) {
  int code = 0;
  if (y > ymax)
    code = Outcode_Below;
  else if (y < ymin)
    code = Outcode_Above;
  if (x > xmax)
    code += Outcode_Right;
  else if (x < xmin)
    code += Outcode_Left;
  return code;
}

bool ClipLine(int& x1, int& y1, int& x2, int& y2, int xmin, int ymin, int xmax, int ymax) {
  int c1 = ComputeOutcode(x1, y1, xmin, ymin, xmax, ymax);
  int c2 = ComputeOutcode(x2, y2, xmin, ymin, xmax, ymax);
  for (;;) {
    if (c1 == 0 && c2 == 0) return true;
    if (c1 & c2) return false;

    // An end point outside on one side with the other on the same side was rejected above,
    // so none of the divisors below is 0.
    const int c = c1 ? c1 : c2;
    int x, y;
    if (c & Outcode_Above) {
      x = x1 + (ymin - y1) * (x2 - x1) / (y2 - y1);
      y = ymin;
    } else if (c & Outcode_Below) {
      x = x1 + (ymax - y1) * (x2 - x1) / (y2 - y1);
      y = ymax;
    } else if (c & Outcode_Left) {
      y = y1 + (xmin - x1) * (y2 - y1) / (x2 - x1);
      x = xmin;
    } else {
      y = y1 + (xmax - x1) * (y2 - y1) / (x2 - x1);
      x = xmax;
    }

    if (c1 != 0) {
      x1 = x;
      y1 = y;
      c1 = ComputeOutcode(x1, y1, xmin, ymin, xmax, ymax);
    } else {
      x2 = x;
      y2 = y;
      c2 = ComputeOutcode(x2, y2, xmin, ymin, xmax, ymax);
    }
  }
}

}  // namespace pixkit
