// The packed pixel layout of display memory and the base of every image-to-raw-RGB transform.
#include "libpixkit/graphics/color/internal_img2raw.h"

#include <iostream>

#include "libpixkit/utility/bitmanip.h"

namespace pixkit {

void RawRGBFormat::SetRGBMasks(unsigned long r, unsigned long g, unsigned long b) {
  r_mask = uint32_t(r);
  CalcBitsShift(r, r_bits, r_shift);
  g_mask = uint32_t(g);
  CalcBitsShift(g, g_bits, g_shift);
  b_mask = uint32_t(b);
  CalcBitsShift(b, b_bits, b_shift);
}

void RawRGBFormat::DebugPrint() const { DebugPrint(std::cout); }

void RawRGBFormat::DebugPrint(std::ostream& os) const {
  os << "bytes_per_line: " << bytes_per_line << std::endl;
  os << "bits_per_pixel: " << bits_per_pixel << std::endl;
  os << "little_endian: " << (little_endian ? "little" : "big") << std::endl;
  os << "r_mask: " << int(r_mask) << " r_bits: " << r_bits << " r_shift: " << r_shift << std::endl;
  os << "g_mask: " << int(g_mask) << " g_bits: " << g_bits << " g_shift: " << g_shift << std::endl;
  os << "b_mask: " << int(b_mask) << " b_bits: " << b_bits << " b_shift: " << b_shift << std::endl;
  if (resize_width) os << "new size: " << resize_width << "x" << resize_height << std::endl;
  if (upscale_factor) os << "upscale-factor: " << upscale_factor << std::endl;
  if (downscale_factor) os << "downscale-factor: " << downscale_factor << std::endl;
  if (greyscale_only) os << "greyscale only\n";
}

void Image2RawRGB_Transform::Transform(const Image<Pixel>&, uint8_t*, int, int) { assert(0); }

ByteOffsets AskByteOffsets(const RawRGBFormat& f) {
  ByteOffsets o;
  o.stride = f.bits_per_pixel / 8;
  if (f.little_endian) {
    o.r = f.r_shift / 8;
    o.g = f.g_shift / 8;
    o.b = f.b_shift / 8;
  } else {
    o.r = o.stride - 1 - f.r_shift / 8;
    o.g = o.stride - 1 - f.g_shift / 8;
    o.b = o.stride - 1 - f.b_shift / 8;
  }
  return o;
}

}  // namespace pixkit
