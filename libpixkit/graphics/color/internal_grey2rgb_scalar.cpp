// Plain per-pixel transforms of grey and RGB images into display memory, for any processor.
#include "libpixkit/graphics/color/internal_grey2rgb_scalar.h"

namespace pixkit {

namespace {

// Places the top bits of an 8-bit sample at each channel's position in a 16-bit pixel.
// Red and green are masked. Blue stays unmasked while it lies in the low byte, as the layouts
// with blue at bit 0 need no mask; a blue placed higher is masked so that it cannot spill
// into the other channels.
class Packer16 {
 public:
  explicit Packer16(const RawRGBFormat& f)
      : d_r(f.r_bits + f.r_shift - 8, f.r_mask),
        d_g(f.g_bits + f.g_shift - 8, f.g_mask),
        d_b(f.b_bits + f.b_shift - 8, f.b_bits + f.b_shift <= 8 ? 0xFFFFu : f.b_mask) {}

  unsigned Pack(unsigned r, unsigned g, unsigned b) const {
    return (d_r.Place(r) | d_g.Place(g) | d_b.Place(b)) & 0xFFFF;
  }

 private:
  struct Channel {
    Channel(int amount, uint32_t mask)
        : left(amount > 0 ? amount : 0), right(amount < 0 ? -amount : 0), mask(mask & 0xFFFF) {}
    unsigned Place(unsigned s) const { return ((s << left) >> right) & mask; }
    int left, right;
    unsigned mask;
  };
  Channel d_r, d_g, d_b;
};

}  // namespace

bool i2r_grey_32bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 32 && ByteChannels(f) && GreyInput(img, f);
}

void i2r_grey_32bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    for (int x = 0; x < w; x++, d += 4) d[0] = d[1] = d[2] = d[3] = Y[y][x];
  }
}

const char* i2r_grey_32bit::TransformationName() const { return "scalar grey to 32bit RGB"; }

bool i2r_grey_24bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 24 && ByteChannels(f) && GreyInput(img, f);
}

void i2r_grey_24bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    for (int x = 0; x < w; x++, d += 3) d[0] = d[1] = d[2] = Y[y][x];
  }
}

const char* i2r_grey_24bit::TransformationName() const { return "scalar grey to 24bit RGB"; }

bool i2r_grey_16bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 16 && GreyInput(img, f);
}

void i2r_grey_16bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  const Packer16 pack(d_spec);
  const bool le = d_spec.little_endian;
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    for (int x = 0; x < w; x++, d += 2) {
      const unsigned s = Y[y][x];
      Store16(d, pack.Pack(s, s, s), le);
    }
  }
}

const char* i2r_grey_16bit::TransformationName() const { return "scalar grey to 16bit RGB"; }

bool i2r_grey_4bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 4 && GreyInput(img, f);
}

void i2r_grey_4bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++) {
    const Pixel* s = Y[y];
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    int x = 0;
    for (; x + 1 < w; x += 2) *d++ = uint8_t((s[x] & 0xF0) | (s[x + 1] >> 4));
    // An odd width leaves the last byte's low half without a sample.
    if (x < w) *d = uint8_t(s[x] & 0xF0);
  }
}

const char* i2r_grey_4bit::TransformationName() const { return "scalar grey to 4bit gray-scale"; }

bool i2r_32bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && (f.bits_per_pixel == 32 || f.bits_per_pixel == 24) && ByteChannels(f) &&
         img.AskParam().colorspace == Colorspace_RGB;
}

void i2r_32bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Pixel* const* R = img.AskFrameR();
  const Pixel* const* G = img.AskFrameG();
  const Pixel* const* B = img.AskFrameB();
  const int w = img.AskWidth();
  const ByteOffsets o = AskByteOffsets(d_spec);
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    for (int x = 0; x < w; x++, d += o.stride) {
      d[o.r] = R[y][x];
      d[o.g] = G[y][x];
      d[o.b] = B[y][x];
    }
  }
}

const char* i2r_32bit::TransformationName() const { return "scalar 32bit RGB"; }

bool i2r_16bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && f.bits_per_pixel == 16 && f.r_bits + f.r_shift >= 8 &&
         f.g_bits + f.g_shift >= 8 && f.b_bits + f.b_shift <= 8 &&
         img.AskParam().colorspace == Colorspace_RGB;
}

void i2r_16bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const Pixel* const* R = img.AskFrameR();
  const Pixel* const* G = img.AskFrameG();
  const Pixel* const* B = img.AskFrameB();
  const int w = img.AskWidth();
  const Packer16 pack(d_spec);
  const bool le = d_spec.little_endian;
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, d_spec, y, firstline);
    for (int x = 0; x < w; x++, d += 2) Store16(d, pack.Pack(R[y][x], G[y][x], B[y][x]), le);
  }
}

const char* i2r_16bit::TransformationName() const { return "scalar 16bit RGB"; }

}  // namespace pixkit
