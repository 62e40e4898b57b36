// Making label maps and alpha masks visible: region boundaries and a hatched alpha overlay.
#ifndef PIXKIT_GRAPHICS_DRAW_REGIONS_H
#define PIXKIT_GRAPHICS_DRAW_REGIONS_H

#include "libpixkit/graphics/datatypes/bitmap.h"

namespace pixkit {

// bm keeps its size and is re-created without border; it becomes 255 where a pixel's label
// differs from its right or lower neighbour's and 0 elsewhere, with an outer frame of 255
// when `frame` is set. `regions` must be at least as large as bm.
void MarkRegionBoundaries(Bitmap<Pixel>& bm, const Bitmap<int>& regions, bool frame);

// The same boundaries drawn onto bm in `value`; no other sample is written.
void MarkRegionBoundaries(Bitmap<Pixel>& bm, const Bitmap<int>& regions, Pixel value);

// Draws in `value` a diagonal hatching over the pixels whose alpha is below `threshold`, and
// the outline where alpha changes next to them. Both bitmaps have the same size.
void OverlayAlphaMask(Bitmap<Pixel>& bm, const Bitmap<Pixel>& alphamap, Pixel value,
                      int threshold);

}  // namespace pixkit

#endif
