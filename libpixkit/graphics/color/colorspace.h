// Conversions between colour spaces (RGB, YUV, greyscale, HSV) and between the chroma formats
// of YUV images. The driver brings every frame to 4:4:4 with ChangeChroma and every saved
// background to RGB with ChangeColorspace.
#ifndef PIXKIT_GRAPHICS_COLOR_COLORSPACE_H
#define PIXKIT_GRAPHICS_COLOR_COLORSPACE_H

#include "libpixkit/graphics/datatypes/image.h"

namespace pixkit {

// dst becomes the YUV image src in the chroma format `chroma`. dst keeps its own alignment,
// border, zero position and chroma layout fields; its planes get border 0 and alignment 1.
void ChangeChroma(Image<Pixel>& dst, const Image<Pixel>& src, ChromaFormat chroma);

// Per-pixel arithmetic: integer YUV with Y offset 16 and chroma centred on 128; HSV with
// h, s, v in 0..1 (h the fraction of the colour circle, 0 red).
void RGB2YUV(Pixel& y, Pixel& u, Pixel& v, Pixel r, Pixel g, Pixel b);
void YUV2RGB(Pixel& r, Pixel& g, Pixel& b, Pixel y, Pixel u, Pixel v);
void RGB2HSV(double& h, double& s, double& v, double r, double g, double b);
void HSV2RGB(double& r, double& g, double& b, double h, double s, double v);

// Image converters. Each re-creates dst from its own description with the target colour space
// and src's size; none writes the alpha plane (ChangeColorspace does).
void Image_YUV2RGB(Image<Pixel>& dst, const Image<Pixel>& src);
void Image_YUV2Grey(Image<Pixel>& dst, const Image<Pixel>& src);
// Chroma_Unspecified keeps dst's chroma format.
void Image_RGB2YUV(Image<Pixel>& dst, const Image<Pixel>& src, ChromaFormat chroma);
void Image_RGB2HSV(Image<Pixel>& dst, const Image<Pixel>& src);
void Image_RGB2Grey(Image<Pixel>& dst, const Image<Pixel>& src);
void Image_HSV2RGB(Image<Pixel>& dst, const Image<Pixel>& src);
void Image_Grey2RGB(Image<Pixel>& dst, const Image<Pixel>& src);
// Takes dst's current chroma format; U and V become 128.
void Image_Grey2YUV(Image<Pixel>& dst, const Image<Pixel>& src);
void Image_RGB2HSV(Image<double>& dst, const Image<Pixel>& src);
void Image_HSV2RGB(Image<Pixel>& dst, const Image<double>& src);

// dst becomes src converted to `colorspace`, alpha plane and has_alpha carried over.
// `chroma` is the format of a YUV result made from RGB or from a YUV source; greyscale keeps
// dst's format, and the routes through RGB (from HSV) always end in 4:2:0.
void ChangeColorspace(Image<Pixel>& dst, const Image<Pixel>& src, Colorspace colorspace,
                      ChromaFormat chroma);

}  // namespace pixkit

#endif
