// Plain integer transforms of YUV images into 16-, 24- and 32-bit display memory.
#include "libpixkit/graphics/color/internal_yuv2rgb_scalar.h"

namespace pixkit {

int YUVClipTable::d_entries[YUVClipTable::c_Highest - YUVClipTable::c_Lowest + 1];
bool YUVClipTable::d_filled = false;

void YUVClipTable::FillOnce() {
  if (d_filled) return;
  for (int i = c_Lowest; i <= c_Highest; i++)
    d_entries[i - c_Lowest] = i < 0 ? 0 : i > 255 ? 255 : i;
  d_filled = true;
}

namespace {

// The colour formula with 8 fraction bits: luma part and the chroma parts shared by the
// pixels of one chroma sample.
struct ChromaTerms {
  int r, g, b;
};

inline ChromaTerms TermsOf(int u, int v) {
  return {409 * (v - 128), -100 * (u - 128) - 208 * (v - 128), 516 * (u - 128)};
}

inline int LumaOf(int y) { return 298 * y - 4768; }

// Channel bytes through the clip table at byte offsets worked out once per call.
class ClipWriter {
 public:
  explicit ClipWriter(const RawRGBFormat& f) : d_o(AskByteOffsets(f)) {
    YUVClipTable::FillOnce();
    d_clip = YUVClipTable::AskEntries();
  }
  int Stride() const { return d_o.stride; }
  void operator()(uint8_t* p, int l, const ChromaTerms& c) const {
    p[d_o.r] = uint8_t(d_clip[(l + c.r) >> 8]);
    p[d_o.g] = uint8_t(d_clip[(l + c.g) >> 8]);
    p[d_o.b] = uint8_t(d_clip[(l + c.b) >> 8]);
  }

 private:
  ByteOffsets d_o;
  const int* d_clip;
};

// Each channel clamped and placed by its mask; two bytes in the format's byte order.
class Mask16Writer {
 public:
  explicit Mask16Writer(const RawRGBFormat& f)
      : d_r(f.r_bits, f.r_shift, f.r_mask, 65281),
        d_g(f.g_bits, f.g_shift, f.g_mask, 65281),
        d_b(f.b_bits, f.b_shift, f.b_mask, 65280),
        d_le(f.little_endian) {}
  int Stride() const { return 2; }
  void operator()(uint8_t* p, int l, const ChromaTerms& c) const {
    Store16(p, d_r.Pack(l + c.r) | d_g.Pack(l + c.g) | d_b.Pack(l + c.b), d_le);
  }

 private:
  struct Channel {
    // Values from `full` up give the whole mask. The amount 16 - bits - shift moves the
    // channel's top bits from the top of the 16-bit value to the mask's position.
    Channel(int bits, int shift, uint32_t m, int full)
        : right(16 - bits - shift > 0 ? 16 - bits - shift : 0),
          left(16 - bits - shift < 0 ? bits + shift - 16 : 0),
          mask(m & 0xFFFF),
          full(full) {}
    unsigned Pack(int v) const {
      if (v <= 0) return 0;
      if (v >= full) return mask;
      return ((unsigned(v) >> right) << left) & mask;
    }
    int right, left;
    unsigned mask;
    int full;
  };
  Channel d_r, d_g, d_b;
  bool d_le;
};

// Luma columns 2k and 2k + 1 share chroma sample k; an odd last column is converted alone
// with its own sample. With kPair, row y1 shares the chroma row too.
template <bool kPair, class W>
void RowsHalfChroma(const W& wr, const Pixel* y0, const Pixel* y1, const Pixel* u, const Pixel* v,
                    uint8_t* d0, uint8_t* d1, int w) {
  const int s = wr.Stride();
  int x = 0;
  for (; x + 1 < w; x += 2) {
    const ChromaTerms c = TermsOf(u[x >> 1], v[x >> 1]);
    wr(d0 + x * s, LumaOf(y0[x]), c);
    wr(d0 + (x + 1) * s, LumaOf(y0[x + 1]), c);
    if (kPair) {
      wr(d1 + x * s, LumaOf(y1[x]), c);
      wr(d1 + (x + 1) * s, LumaOf(y1[x + 1]), c);
    }
  }
  if (x < w) {
    const ChromaTerms c = TermsOf(u[x >> 1], v[x >> 1]);
    wr(d0 + x * s, LumaOf(y0[x]), c);
    if (kPair) wr(d1 + x * s, LumaOf(y1[x]), c);
  }
}

// Lines y and y + 1 (y even) share chroma line y / 2 and are converted together. A line
// without its partner inside firstline..lastline (odd firstline, even lastline) is converted
// alone with the same chroma line, so nothing outside the picture or the memory is touched.
template <class W>
void Convert420(const Image<Pixel>& img, const RawRGBFormat& f, uint8_t* mem, int firstline,
                int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const Pixel* const* U = img.AskFrameU();
  const Pixel* const* V = img.AskFrameV();
  const W wr(f);  // after the rows: a plane without storage throws before the table is filled
  const int w = img.AskWidth();
  int y = firstline;
  while (y <= lastline) {
    const int cy = y / 2;
    if (y % 2 == 0 && y < lastline) {
      RowsHalfChroma<true>(wr, Y[y], Y[y + 1], U[cy], V[cy], MemRow(mem, f, y, firstline),
                           MemRow(mem, f, y + 1, firstline), w);
      y += 2;
    } else {
      RowsHalfChroma<false>(wr, Y[y], nullptr, U[cy], V[cy], MemRow(mem, f, y, firstline), nullptr,
                            w);
      y++;
    }
  }
}

template <class W>
void Convert422(const Image<Pixel>& img, const RawRGBFormat& f, uint8_t* mem, int firstline,
                int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const Pixel* const* U = img.AskFrameU();
  const Pixel* const* V = img.AskFrameV();
  const W wr(f);
  const int w = img.AskWidth();
  for (int y = firstline; y <= lastline; y++)
    RowsHalfChroma<false>(wr, Y[y], nullptr, U[y], V[y], MemRow(mem, f, y, firstline), nullptr, w);
}

template <class W>
void Convert444(const Image<Pixel>& img, const RawRGBFormat& f, uint8_t* mem, int firstline,
                int lastline) {
  const Pixel* const* Y = img.AskFrameY();
  const Pixel* const* U = img.AskFrameU();
  const Pixel* const* V = img.AskFrameV();
  const W wr(f);
  const int w = img.AskWidth();
  const int s = wr.Stride();
  for (int y = firstline; y <= lastline; y++) {
    uint8_t* d = MemRow(mem, f, y, firstline);
    for (int x = 0; x < w; x++, d += s) wr(d, LumaOf(Y[y][x]), TermsOf(U[y][x], V[y][x]));
  }
}

bool ClipTableFormat(const RawRGBFormat& f) {
  return (f.bits_per_pixel == 32 || f.bits_per_pixel == 24) && ByteChannels(f);
}

}  // namespace

bool i2r_yuv_16bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && YUVWithChroma(img, Chroma_420) && f.bits_per_pixel == 16;
}

void i2r_yuv_16bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_420);
  assert(firstline%2 == 0);
  Convert420<Mask16Writer>(img, d_spec, mem, firstline, lastline);
}

const char* i2r_yuv_16bit::TransformationName() const { return "scalar YUV to 16bit RGB"; }

bool i2r_yuv_32bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && YUVWithChroma(img, Chroma_420) && ClipTableFormat(f);
}

void i2r_yuv_32bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_420);
  Convert420<ClipWriter>(img, d_spec, mem, firstline, lastline);
}

const char* i2r_yuv_32bit::TransformationName() const { return "scalar YUV to 32bit RGB"; }

bool i2r_yuv422_32bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && YUVWithChroma(img, Chroma_422) && ClipTableFormat(f);
}

void i2r_yuv422_32bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline,
                                 int lastline) {
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_422);
  Convert422<ClipWriter>(img, d_spec, mem, firstline, lastline);
}

const char* i2r_yuv422_32bit::TransformationName() const { return "scalar 4:2:2-YUV to 32bit RGB"; }

bool i2r_yuv444_16bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && YUVWithChroma(img, Chroma_444) && f.bits_per_pixel == 16;
}

void i2r_yuv444_16bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline,
                                 int lastline) {
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_444);
  Convert444<Mask16Writer>(img, d_spec, mem, firstline, lastline);
}

const char* i2r_yuv444_16bit::TransformationName() const { return "scalar YUV 4:4:4 to 16bit RGB"; }

bool i2r_yuv444_32bit::s_CanConvert(const Image<Pixel>& img, const RawRGBFormat& f) {
  return NoScaling(f) && YUVWithChroma(img, Chroma_444) && f.bits_per_pixel == 32 &&
         ByteChannels(f);
}

void i2r_yuv444_32bit::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline,
                                 int lastline) {
  const ImageParam param = img.AskParam();
  assert(param.chroma==Chroma_444);
  Convert444<ClipWriter>(img, d_spec, mem, firstline, lastline);
}

const char* i2r_yuv444_32bit::TransformationName() const { return "scalar 4:4:4-YUV to 32bit RGB"; }

}  // namespace pixkit
