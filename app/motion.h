// Prepares the alpha plane of an input frame before the synthesizers see it: an opaque plane
// for frames without alpha, and transparency for blocks that moved against the previous frame.
#ifndef APP_MOTION_H
#define APP_MOTION_H

#include "libpixkit/graphics/datatypes/image.h"

using pixkit::Pixel;

// Gives an image without alpha an alpha plane of its size; its samples are left for the caller.
void AddAlphaChannel(pixkit::Image<Pixel>& img);

// Mean absolute difference of two size x size blocks, or -1 when the block of b does not lie
// strictly inside b (its last column or row may not be b's last).
int MeanBlockDifference(const pixkit::Bitmap<Pixel>& a, int ax, int ay,
                        const pixkit::Bitmap<Pixel>& b, int bx, int by, int size);

// Sets alpha 0 on every visited block of cur that some displaced block of prev within range
// matches clearly better than the block at the same place.
void MarkMotionTransparent(pixkit::Image<Pixel>& cur, const pixkit::Image<Pixel>& prev, int size,
                           int range);

#endif
