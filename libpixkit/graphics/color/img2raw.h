// The converter an image window owns: it turns images into the packed pixels of its display
// memory through the first transform that accepts image and layout, and keeps that
// transform for as long as it still accepts them.
#ifndef PIXKIT_GRAPHICS_COLOR_IMG2RAW_H
#define PIXKIT_GRAPHICS_COLOR_IMG2RAW_H

#include <cstdint>
#include <memory>

#include "libpixkit/graphics/color/internal_img2raw.h"

namespace pixkit {

// The first transform of the fixed candidate order that accepts image and format: with
// `mmx` the SIMD transforms first, then the scalar ones. Null when none accepts.
std::unique_ptr<Image2RawRGB_Transform> CreateImage2RawRGB_Transform(const Image<Pixel>& img,
                                                                     const RawRGBFormat& format,
                                                                     bool mmx);

class Image2RawRGB {
 public:
  Image2RawRGB() = default;
  Image2RawRGB(const Image2RawRGB&) = delete;
  Image2RawRGB& operator=(const Image2RawRGB&) = delete;

  // The target layout, filled by the owner; a change takes effect at the next Transform.
  void SetFormat(const RawRGBFormat& format) { d_format = format; }
  const RawRGBFormat& AskFormat() const { return d_format; }

  // Converts image lines firstline..lastline (-1: the last line) into mem, whose first row
  // receives line firstline. Throws Excpt_Text when no transform accepts image and format.
  void Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline);

  // The transform in use; null before the first conversion and after a failed choice.
  const Image2RawRGB_Transform* AskTransform() const { return d_transform.get(); }

 private:
  RawRGBFormat d_format;
  std::unique_ptr<Image2RawRGB_Transform> d_transform;
};

}  // namespace pixkit

#endif
