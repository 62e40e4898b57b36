// Colour-space and chroma-format conversion of images, and the per-pixel arithmetic.
#include "libpixkit/graphics/color/colorspace.h"

#include <algorithm>
#include <cstdint>

#include "libpixkit/graphics/draw/blit.h"
#include "libpixkit/graphics/draw/scale.h"

namespace pixkit {

namespace {

bool IsChromaFormat(ChromaFormat f) {
  return f == Chroma_420 || f == Chroma_422 || f == Chroma_444;
}

bool IsConvertible(Colorspace cs) {
  return cs == Colorspace_RGB || cs == Colorspace_YUV || cs == Colorspace_Greyscale ||
         cs == Colorspace_HSV;
}

// log2 of the subsampling factors; the chroma sample of pixel (x, y) is (x >> sh, y >> sv).
void ChromaShifts(ChromaFormat f, int& sh, int& sv) {
  PIXKIT_ASSERT(IsChromaFormat(f));
  sh = f == Chroma_444 ? 0 : 1;
  sv = f == Chroma_420 ? 1 : 0;
}

// A missing plane throws from AskWidth; one smaller than its description claims would be
// read beyond its end, so it is refused too.
template <class Pel>
void CheckPlane(const Bitmap<Pel>& bm, int w, int h) {
  PIXKIT_ASSERT_MSG(bm.AskWidth() >= w && bm.AskHeight() >= h,
                    "plane is smaller than the image it belongs to");
}

template <class Pel>
void CheckPlanes(const Image<Pel>& img, int n) {
  for (int i = 0; i < n; i++) CheckPlane(img.AskBitmap(i), img.AskWidth(), img.AskHeight());
}

// The destination keeps its own description except for colour space and size.
template <class D, class S>
void CreateTarget(Image<D>& dst, const Image<S>& src, Colorspace cs) {
  PIXKIT_ASSERT(static_cast<const void*>(&dst) != static_cast<const void*>(&src));
  ImageParam p = dst.AskParam();
  p.colorspace = cs;
  p.width = src.AskWidth();
  p.height = src.AskHeight();
  dst.Create(p);
}

// Runs f(d0, d1, d2, s0, s1, s2) on the samples of planes 0..2 at every pixel; dst is already
// created with src's size.
template <class D, class S, class F>
inline void MapPlanes3(Image<D>& dst, const Image<S>& src, F f) {
  const int w = src.AskWidth();
  const int h = src.AskHeight();
  const S* const* s0 = src.AskBitmap(0).AskFrame();
  const S* const* s1 = src.AskBitmap(1).AskFrame();
  const S* const* s2 = src.AskBitmap(2).AskFrame();
  D* const* d0 = dst.AskBitmap(0).AskFrame();
  D* const* d1 = dst.AskBitmap(1).AskFrame();
  D* const* d2 = dst.AskBitmap(2).AskFrame();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) f(d0[y][x], d1[y][x], d2[y][x], s0[y][x], s1[y][x], s2[y][x]);
}

// A three-plane conversion into a new image of colour space cs.
template <class D, class S, class F>
void ConvertPlanes3(Image<D>& dst, const Image<S>& src, Colorspace cs, F f) {
  CheckPlanes(src, 3);
  CreateTarget(dst, src, cs);
  MapPlanes3(dst, src, f);
}

inline Pixel Clamp(int v) { return Pixel(std::min(std::max(v, 0), 255)); }

// The arithmetic of YUV2RGB, where the row loops can take it in.
inline void ConvertYUV2RGB(Pixel& r, Pixel& g, Pixel& b, Pixel y, Pixel u, Pixel v) {
  const int yy = 298 * (y - 16);
  const int uu = u - 128;
  const int vv = v - 128;
  r = Clamp((yy + 409 * vv) >> 8);
  g = Clamp((yy - 100 * uu - 208 * vv) >> 8);
  b = Clamp((yy + 516 * uu) >> 8);
}

// trunc(255 x) through an integer of the given width whose low byte is kept. The product is
// rounded to double first: extended precision would turn an exact 85 (pure green) into 84.
template <class Int>
inline Pixel ToByte(double x) {
  const double scaled = static_cast<double>(255.0 * x);
  return Pixel(static_cast<Int>(scaled));
}

void ConvertChromaPlane(Bitmap<Pixel>& dst, const Bitmap<Pixel>& src, ChromaFormat from,
                        ChromaFormat to) {
  if (from == to)
    CopyToNew(dst, src);
  else if (from == Chroma_420 && to == Chroma_422)
    DoubleSize_Dup_V(dst, src);
  else if (from == Chroma_420 && to == Chroma_444)
    DoubleSize_Dup(dst, src);
  else if (from == Chroma_422 && to == Chroma_444)
    DoubleSize_Dup_H(dst, src);
  else if (from == Chroma_444 && to == Chroma_420)
    HalfSize_Avg(dst, src);
  else if (from == Chroma_444 && to == Chroma_422)
    HalfSize_Avg_H(dst, src);
  else
    HalfSize_Avg_V(dst, src);  // 4:2:2 to 4:2:0
}

}  // namespace

void ChangeChroma(Image<Pixel>& dst, const Image<Pixel>& src, ChromaFormat chroma) {
  PIXKIT_ASSERT(src.AskParam().colorspace == Colorspace_YUV);
  PIXKIT_ASSERT(&dst != &src);
  PIXKIT_ASSERT(IsChromaFormat(chroma));
  const ImageParam sp = src.AskParam();
  PIXKIT_ASSERT(IsChromaFormat(sp.chroma));

  ImageParam p = dst.AskParam();
  p.width = sp.width;
  p.height = sp.height;
  p.colorspace = Colorspace_YUV;
  p.has_alpha = sp.has_alpha;
  p.chroma = chroma;
  // Every plane is laid out anew below (border 0, alignment 1), so the planes are created
  // once each rather than once for the description and again for the copy; only the
  // description's own rule is checked here, before anything changes.
  PIXKIT_ASSERT_MSG(p.zero_x % ChromaSubH(chroma) == 0 && p.zero_y % ChromaSubV(chroma) == 0,
                    "can only move zero position in multiples of chroma-subsampling positions");

  CopyToNew(dst.AskBitmap(0), src.AskBitmap(0));
  CopyToNew(dst.AskBitmap(Bitmap_Alpha), src.AskBitmap(Bitmap_Alpha));
  for (int i = 1; i <= 2; i++)
    ConvertChromaPlane(dst.AskBitmap(i), src.AskBitmap(i), sp.chroma, chroma);
  dst.SetParam(p);
}

void RGB2YUV(Pixel& y, Pixel& u, Pixel& v, Pixel r, Pixel g, Pixel b) {
  // No rounding term and no clamping: the results stay within 16..233 and 17..239.
  y = Pixel(((65 * r + 129 * g + 24 * b) >> 8) + 16);
  u = Pixel(((-37 * r - 74 * g + 112 * b) >> 8) + 128);
  v = Pixel(((112 * r - 93 * g - 18 * b) >> 8) + 128);
}

void YUV2RGB(Pixel& r, Pixel& g, Pixel& b, Pixel y, Pixel u, Pixel v) {
  ConvertYUV2RGB(r, g, b, y, u, v);
}

void RGB2HSV(double& h, double& s, double& v, double r, double g, double b) {
  h = 0;
  const double mx = std::max(r, std::max(g, b));
  const double mn = std::min(r, std::min(g, b));
  v = mx;
  s = mx == 0 ? 0 : (mx - mn) / mx;
  if (s == 0) return;  // greys and black have hue 0

  const double d = mx - mn;
  if (r == mx)
    h = (g - b) / d;
  else if (g == mx)
    h = 2 + (b - r) / d;
  else
    h = 4 + (r - g) / d;
  h /= 6;
  if (h < 0)
    h += 1;
  else if (h > 1)
    h -= 1;
}

void HSV2RGB(double& r, double& g, double& b, double h, double s, double v) {
  if (v == 0) {
    r = g = b = 0;
    return;
  }
  if (s == 0) {
    r = g = b = v;
    return;
  }
  const double p = (1 - s) * v;
  const double d = v - p;
  if (h < 1.0 / 6) {
    r = v;
    g = p + 6 * h * d;
    b = p;
  } else if (h < 1.0 / 3) {
    r = v - 6 * (h - 1.0 / 6) * d;
    g = v;
    b = p;
  } else if (h < 1.0 / 2) {
    r = p;
    g = v;
    b = p + 6 * (h - 1.0 / 3) * d;
  } else if (h < 2.0 / 3) {
    r = p;
    g = v - 6 * (h - 1.0 / 2) * d;
    b = v;
  } else if (h < 5.0 / 6) {
    r = p + 6 * (h - 2.0 / 3) * d;
    g = p;
    b = v;
  } else {
    r = v;
    g = p;
    b = v - 6 * (h - 5.0 / 6) * d;
  }
}

namespace {

// The rows of a new image never overlap the source's, which lets the compiler convert several
// pixels at once (as long as it sees the row on its own, not taken into a caller).
template <int sh>
__attribute__((noinline)) void YUV2RGBRow(Pixel* __restrict r, Pixel* __restrict g,
                                          Pixel* __restrict b, const Pixel* __restrict y,
                                          const Pixel* __restrict u, const Pixel* __restrict v,
                                          int w) {
  for (int x = 0; x < w; x++) ConvertYUV2RGB(r[x], g[x], b[x], y[x], u[x >> sh], v[x >> sh]);
}

}  // namespace

void Image_YUV2RGB(Image<Pixel>& dst, const Image<Pixel>& src) {
  const int w = src.AskWidth();
  const int h = src.AskHeight();
  int sh, sv;
  ChromaShifts(src.AskParam().chroma, sh, sv);
  CheckPlane(src.AskBitmap(0), w, h);
  for (int i = 1; i <= 2; i++)
    CheckPlane(src.AskBitmap(i), w > 0 ? ((w - 1) >> sh) + 1 : 0, h > 0 ? ((h - 1) >> sv) + 1 : 0);
  CreateTarget(dst, src, Colorspace_RGB);

  const Pixel* const* Y = src.AskFrameY();
  const Pixel* const* U = src.AskFrameU();
  const Pixel* const* V = src.AskFrameV();
  Pixel* const* R = dst.AskFrameR();
  Pixel* const* G = dst.AskFrameG();
  Pixel* const* B = dst.AskFrameB();
  for (int y = 0; y < h; y++) {
    if (sh)
      YUV2RGBRow<1>(R[y], G[y], B[y], Y[y], U[y >> sv], V[y >> sv], w);
    else
      YUV2RGBRow<0>(R[y], G[y], B[y], Y[y], U[y >> sv], V[y >> sv], w);
  }
}

void Image_YUV2Grey(Image<Pixel>& dst, const Image<Pixel>& src) {
  CheckPlane(src.AskBitmap(0), src.AskWidth(), src.AskHeight());
  CreateTarget(dst, src, Colorspace_Greyscale);
  CopyToNew(dst.AskBitmap(0), src.AskBitmap(0));
}

void Image_RGB2YUV(Image<Pixel>& dst, const Image<Pixel>& src, ChromaFormat chroma) {
  PIXKIT_ASSERT(&dst != &src);
  if (chroma == Chroma_Unspecified) chroma = dst.AskParam().chroma;
  PIXKIT_ASSERT(IsChromaFormat(chroma));
  const int w = src.AskWidth();
  const int h = src.AskHeight();
  CheckPlanes(src, 3);

  // Full-resolution chroma first; another format is averaged down from it.
  Image<Pixel> full;
  Image<Pixel>& target = chroma == Chroma_444 ? dst : full;
  ImageParam p = dst.AskParam();
  p.colorspace = Colorspace_YUV;
  p.width = w;
  p.height = h;
  p.chroma = Chroma_444;
  target.Create(p);

  MapPlanes3(target, src, [](Pixel& y, Pixel& u, Pixel& v, Pixel r, Pixel g, Pixel b) {
    RGB2YUV(y, u, v, r, g, b);
  });

  if (chroma != Chroma_444) ChangeChroma(dst, full, chroma);
}

void Image_RGB2HSV(Image<Pixel>& dst, const Image<Pixel>& src) {
  ConvertPlanes3(dst, src, Colorspace_HSV,
                 [](Pixel& h, Pixel& s, Pixel& v, Pixel r, Pixel g, Pixel b) {
                   double hh, ss, vv;
                   RGB2HSV(hh, ss, vv, r / 255.0, g / 255.0, b / 255.0);
                   h = ToByte<int16_t>(hh);
                   s = ToByte<int16_t>(ss);
                   v = ToByte<int16_t>(vv);
                 });
}

void Image_RGB2Grey(Image<Pixel>& dst, const Image<Pixel>& src) {
  const int w = src.AskWidth();
  const int h = src.AskHeight();
  CheckPlanes(src, 3);
  CreateTarget(dst, src, Colorspace_Greyscale);

  const Pixel* const* R = src.AskFrameR();
  const Pixel* const* G = src.AskFrameG();
  const Pixel* const* B = src.AskFrameB();
  Pixel* const* Grey = dst.AskFrameY();
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      Grey[y][x] = Pixel(((65 * R[y][x] + 129 * G[y][x] + 24 * B[y][x]) >> 8) + 16);
}

void Image_HSV2RGB(Image<Pixel>& dst, const Image<Pixel>& src) {
  ConvertPlanes3(dst, src, Colorspace_RGB,
                 [](Pixel& r, Pixel& g, Pixel& b, Pixel h, Pixel s, Pixel v) {
                   double rr, gg, bb;
                   HSV2RGB(rr, gg, bb, h / 255.0, s / 255.0, v / 255.0);
                   r = ToByte<int16_t>(rr);
                   g = ToByte<int16_t>(gg);
                   b = ToByte<int16_t>(bb);
                 });
}

void Image_Grey2RGB(Image<Pixel>& dst, const Image<Pixel>& src) {
  CheckPlane(src.AskBitmap(0), src.AskWidth(), src.AskHeight());
  CreateTarget(dst, src, Colorspace_RGB);
  for (int i = 0; i <= 2; i++) CopyToNew(dst.AskBitmap(i), src.AskBitmap(0));
}

void Image_Grey2YUV(Image<Pixel>& dst, const Image<Pixel>& src) {
  CheckPlane(src.AskBitmap(0), src.AskWidth(), src.AskHeight());
  CreateTarget(dst, src, Colorspace_YUV);
  CopyToNew(dst.AskBitmap(0), src.AskBitmap(0));
  Clear(dst.AskBitmap(1), Pixel(128));
  Clear(dst.AskBitmap(2), Pixel(128));
}

void Image_RGB2HSV(Image<double>& dst, const Image<Pixel>& src) {
  ConvertPlanes3(dst, src, Colorspace_HSV,
                 [](double& h, double& s, double& v, Pixel r, Pixel g, Pixel b) {
                   RGB2HSV(h, s, v, r / 255.0, g / 255.0, b / 255.0);
                 });
}

void Image_HSV2RGB(Image<Pixel>& dst, const Image<double>& src) {
  ConvertPlanes3(dst, src, Colorspace_RGB,
                 [](Pixel& r, Pixel& g, Pixel& b, double h, double s, double v) {
                   double rr, gg, bb;
                   HSV2RGB(rr, gg, bb, h, s, v);
                   r = ToByte<int32_t>(rr);
                   g = ToByte<int32_t>(gg);
                   b = ToByte<int32_t>(bb);
                 });
}

void ChangeColorspace(Image<Pixel>& dst, const Image<Pixel>& src, Colorspace colorspace,
                      ChromaFormat chroma) {
  PIXKIT_ASSERT(&dst != &src);
  const ImageParam sp = src.AskParam();
  PIXKIT_ASSERT_MSG(IsConvertible(sp.colorspace) && IsConvertible(colorspace),
                    "no colour-space conversion from or to an invalid colour space");

  if (sp.colorspace == colorspace) {
    // Both copy the alpha plane themselves.
    if (colorspace == Colorspace_YUV && chroma != sp.chroma)
      ChangeChroma(dst, src, chroma);
    else
      CopyToNew(dst, src);
    return;
  }

  const Colorspace from = sp.colorspace;
  if (from == Colorspace_YUV && colorspace == Colorspace_RGB)
    Image_YUV2RGB(dst, src);
  else if (from == Colorspace_YUV && colorspace == Colorspace_Greyscale)
    Image_YUV2Grey(dst, src);
  else if (from == Colorspace_RGB && colorspace == Colorspace_YUV)
    Image_RGB2YUV(dst, src, chroma);
  else if (from == Colorspace_RGB && colorspace == Colorspace_HSV)
    Image_RGB2HSV(dst, src);
  else if (from == Colorspace_RGB && colorspace == Colorspace_Greyscale)
    Image_RGB2Grey(dst, src);
  else if (from == Colorspace_HSV && colorspace == Colorspace_RGB)
    Image_HSV2RGB(dst, src);
  else if (from == Colorspace_Greyscale && colorspace == Colorspace_RGB)
    Image_Grey2RGB(dst, src);
  else if (from == Colorspace_Greyscale && colorspace == Colorspace_YUV)
    Image_Grey2YUV(dst, src);
  else {
    Image<Pixel> rgb;
    ChangeColorspace(rgb, src, Colorspace_RGB, Chroma_420);
    ChangeColorspace(dst, rgb, colorspace, Chroma_420);
  }

  ImageParam p = dst.AskParam();
  p.has_alpha = sp.has_alpha;
  dst.SetParam(p);
  CopyToNew(dst.AskBitmap(Bitmap_Alpha), src.AskBitmap(Bitmap_Alpha));
}

}  // namespace pixkit
