// Images, formats and guarded display memory for the image-to-raw-RGB transform tests.
#ifndef TESTS_LIBPIXKIT_GRAPHICS_COLOR_I2R_TEST_UTIL_H
#define TESTS_LIBPIXKIT_GRAPHICS_COLOR_I2R_TEST_UTIL_H

#include <cstdint>
#include <random>
#include <vector>

#include "libpixkit/graphics/color/internal_img2raw.h"

namespace i2r_test {

using pixkit::Image;
using pixkit::Pixel;

constexpr uint8_t c_Guard = 0xA5;

inline pixkit::RawRGBFormat Format(int bpp, uint32_t r, uint32_t g, uint32_t b, bool little_endian,
                                   int bytes_per_line) {
  pixkit::RawRGBFormat f;
  f.bits_per_pixel = bpp;
  f.little_endian = little_endian;
  f.bytes_per_line = bytes_per_line;
  f.SetRGBMasks(r, g, b);
  return f;
}

inline pixkit::RawRGBFormat BGR32(int bytes_per_line = 4096) {
  return Format(32, 0xFF0000, 0xFF00, 0xFF, true, bytes_per_line);
}
inline pixkit::RawRGBFormat RGB565(int bytes_per_line = 4096, bool le = true) {
  return Format(16, 0xF800, 0x07E0, 0x001F, le, bytes_per_line);
}
inline pixkit::RawRGBFormat RGB555(int bytes_per_line = 4096) {
  return Format(16, 0x7C00, 0x03E0, 0x001F, true, bytes_per_line);
}

// Rows end exactly at the width (halign 1, no border) unless asked otherwise, so that a read
// past the last row's end leaves the plane's memory.
inline Image<Pixel> MakeImage(int w, int h, pixkit::Colorspace cs,
                              pixkit::ChromaFormat chroma = pixkit::Chroma_444, int halign = 1) {
  pixkit::ImageParam p;
  p.width = w;
  p.height = h;
  p.colorspace = cs;
  p.chroma = chroma;
  p.halign = halign;
  Image<Pixel> img;
  img.Create(p);
  return img;
}

inline void FillPlane(Image<Pixel>& img, int plane, Pixel value) {
  pixkit::Clear(img.AskBitmap(plane), value);
}

inline void FillRandom(Image<Pixel>& img, std::mt19937& rng) {
  std::uniform_int_distribution<int> d(0, 255);
  for (int i = 0; i < 3; i++) {
    if (img.AskBitmap(i).IsEmpty()) continue;
    pixkit::Bitmap<Pixel>& b = img.AskBitmap(i);
    Pixel* const* f = b.AskFrame();
    for (int y = 0; y < b.AskHeight(); y++)
      for (int x = 0; x < b.AskWidth(); x++) f[y][x] = Pixel(d(rng));
  }
}

// Display memory of `rows` rows of bytes_per_line bytes, sized exactly so that a write past
// the last row leaves the allocation; every byte starts as c_Guard.
struct Canvas {
  Canvas(int rows, int bytes_per_line)
      : bpl(bytes_per_line), bytes(size_t(rows > 0 ? rows : 1) * size_t(bytes_per_line), c_Guard) {}
  uint8_t* Mem() { return bytes.data(); }
  uint8_t* Row(int r) { return bytes.data() + size_t(r) * size_t(bpl); }
  // Whether every byte from `from` to the row's end is still c_Guard, in every row.
  bool RowEndsUntouched(int from) const {
    for (size_t r = 0; r * bpl < bytes.size(); r++)
      for (int i = from; i < bpl; i++)
        if (bytes[r * bpl + i] != c_Guard) return false;
    return true;
  }
  bool AllUntouched() const { return RowEndsUntouched(0); }

  int bpl;
  std::vector<uint8_t> bytes;
};

inline unsigned Le16(const uint8_t* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }

}  // namespace i2r_test

#endif
