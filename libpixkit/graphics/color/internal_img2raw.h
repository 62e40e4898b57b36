// The packed pixel layout of display memory and the base of every image-to-raw-RGB transform.
// The converter of img2raw.h picks one transform per image and layout and owns it.
#ifndef PIXKIT_GRAPHICS_COLOR_INTERNAL_IMG2RAW_H
#define PIXKIT_GRAPHICS_COLOR_INTERNAL_IMG2RAW_H

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "libpixkit/graphics/datatypes/image.h"

// The SIMD transforms exist only where SSE2 is part of the target (every x86-64 build).
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#define PIXKIT_SIMD_TRANSFORMS 1
#else
#define PIXKIT_SIMD_TRANSFORMS 0
#endif

namespace pixkit {

struct RawRGBFormat {
  // No transform scales: every transform requires these three to be 0.
  int resize_width = 0;
  int resize_height = 0;
  int upscale_factor = 0;
  int downscale_factor = 0;
  bool greyscale_only = false;  // show a YUV image by its Y plane alone

  int bytes_per_line = 0;
  int bits_per_pixel = 0;
  bool little_endian = true;

  uint32_t r_mask = 0;
  int r_bits = 0, r_shift = 0;
  uint32_t g_mask = 0;
  int g_bits = 0, g_shift = 0;
  uint32_t b_mask = 0;
  int b_bits = 0, b_shift = 0;

  // Stores the masks and derives each channel's width and position from them.
  void SetRGBMasks(unsigned long r, unsigned long g, unsigned long b);
  void DebugPrint() const;
  void DebugPrint(std::ostream& os) const;
};

class Image2RawRGB_Transform {
 public:
  virtual ~Image2RawRGB_Transform() {}

  virtual bool CanConvert(const Image<Pixel>& img, const RawRGBFormat& format) const = 0;
  // Converts image lines firstline..lastline; line y goes to mem + (y - firstline) *
  // bytes_per_line.
  virtual void Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline);
  // Called after every copy of the format into the transform.
  virtual void Init() {}
  virtual const char* TransformationName() const = 0;

  void SetFormat(const RawRGBFormat& format) { d_spec = format; }
  const RawRGBFormat& AskFormat() const { return d_spec; }

 protected:
  RawRGBFormat d_spec;
};

// Every concrete transform: a static acceptance test that the virtual one forwards to.
#define PIXKIT_DECLARE_I2R_TRANSFORM(cls)                                                        \
  class cls : public Image2RawRGB_Transform {                                                    \
   public:                                                                                       \
    ~cls() override {}                                                                           \
    static bool s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& format);               \
    bool CanConvert(const Image<Pixel>& img, const RawRGBFormat& format) const override {        \
      return s_CanConvert(img, format);                                                          \
    }                                                                                            \
    void Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) override; \
    const char* TransformationName() const override;                                             \
  }

// Acceptance conditions the transforms share.
inline bool NoScaling(const RawRGBFormat& f) {
  return f.resize_width == 0 && f.upscale_factor == 0 && f.downscale_factor == 0;
}

// 8-bit channels on byte boundaries.
inline bool ByteChannels(const RawRGBFormat& f) {
  return f.r_bits == 8 && f.g_bits == 8 && f.b_bits == 8 && f.r_shift % 8 == 0 &&
         f.g_shift % 8 == 0 && f.b_shift % 8 == 0;
}

// A greyscale image, or a YUV image shown by its Y plane.
inline bool GreyInput(const Image<Pixel>& img, const RawRGBFormat& f) {
  const Colorspace cs = img.AskParam().colorspace;
  return cs == Colorspace_Greyscale || (cs == Colorspace_YUV && f.greyscale_only);
}

inline bool YUVWithChroma(const Image<Pixel>& img, ChromaFormat chroma) {
  const ImageParam p = img.AskParam();
  return p.colorspace == Colorspace_YUV && p.chroma == chroma;
}

// Byte offsets of the red, green and blue bytes within a pixel of byte-aligned channels.
struct ByteOffsets {
  int r, g, b, stride;
};
ByteOffsets AskByteOffsets(const RawRGBFormat& f);

// The memory row that receives image line y.
inline uint8_t* MemRow(uint8_t* mem, const RawRGBFormat& f, int y, int firstline) {
  return mem + std::ptrdiff_t(y - firstline) * f.bytes_per_line;
}

// One 16-bit pixel value to memory in the format's byte order.
inline void Store16(uint8_t* p, unsigned v, bool little_endian) {
  if (little_endian) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
  } else {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
  }
}

}  // namespace pixkit

#endif
