// Copying planes: into a bitmap of equal size, or into a freshly laid out one.
#ifndef PIXKIT_GRAPHICS_DRAW_BLIT_H
#define PIXKIT_GRAPHICS_DRAW_BLIT_H

#include <algorithm>

#include "libpixkit/graphics/datatypes/bitmap.h"
#include "libpixkit/graphics/datatypes/image.h"

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

// dst becomes a copy of src's content in a plane of border 0 and alignment 1, reusing dst's
// memory when dst is its only user; an empty source empties the destination.
template <class Pel>
void CopyToNew(Bitmap<Pel>& dst, const Bitmap<Pel>& src) {
  if (src.IsEmpty()) {
    dst.Release();
    return;
  }
  if (&dst == &src) {
    // Re-creating the plane in place could hand back undefined samples; the shared handle
    // keeps the old ones alive and makes Create take fresh memory.
    const Bitmap<Pel> keep(src);
    CopyToNew(dst, keep);
    return;
  }
  dst.Create(src.AskWidth(), src.AskHeight(), 0, 1, 1);
  Copy(dst, src);
}

// All four planes and the description; the planes get border 0 and alignment 1 whatever
// the copied description names.
template <class Pel>
void CopyToNew(Image<Pel>& dst, const Image<Pel>& src) {
  for (int i = 0; i < 4; i++) CopyToNew(dst.AskBitmap(i), src.AskBitmap(i));
  dst.SetParam(src.AskParam());
}

}  // namespace pixkit

#endif
