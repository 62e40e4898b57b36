// Copying planes between bitmaps of equal size.
#ifndef PIXKIT_GRAPHICS_DRAW_BLIT_H
#define PIXKIT_GRAPHICS_DRAW_BLIT_H

#include <algorithm>

#include "libpixkit/graphics/datatypes/bitmap.h"

namespace pixkit {

// Copies the content (not the border); an empty source empties the destination.
template <class Pel>
void Copy(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  if (src.IsEmpty()) {
    dst.Release();
    return;
  }
  const int w = src.AskWidth();
  const int h = src.AskHeight();
  PIXKIT_ASSERT(w == dst.AskWidth());
  PIXKIT_ASSERT(h == dst.AskHeight());
  const Pel* const* s = src.AskFrame();
  Pel* const* d = dst.AskFrame();
  for (int y = 0; y < h; y++) std::copy(s[y], s[y] + w, d[y]);
}

}  // namespace pixkit

#endif
