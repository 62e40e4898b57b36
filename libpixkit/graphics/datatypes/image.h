// The picture every part of the tool passes around: up to four planes and their description.
// Assignment shares the planes; Clone copies them.
#ifndef PIXKIT_GRAPHICS_DATATYPES_IMAGE_H
#define PIXKIT_GRAPHICS_DATATYPES_IMAGE_H

#include "libpixkit/graphics/datatypes/bitmap.h"
#include "libpixkit/graphics/datatypes/imageparam.h"
#include "libpixkit/utility/error.h"

namespace pixkit {

enum { Bitmap_Alpha = 3 };

template <class Pel>
class Image {
 public:
  Image() = default;
  Image(const Image&) = default;
  Image& operator=(const Image& img) {
    for (int i = 0; i < 4; i++) d_bitmaps[i] = img.d_bitmaps[i];
    d_param = img.d_param;
    return *this;
  }
  virtual ~Image() = default;  // planes go last first

  void Create(const ImageParam& p);
  void Release();
  Image Clone() const;
  // As Clone, into dst, whose planes are used again where dst is their only user.
  void CloneTo(Image& dst) const;
  void MoveZero(int x, int y);

  bool IsEmpty() const { return d_bitmaps[0].IsEmpty(); }
  ImageParam AskParam() const { return d_param; }
  void SetParam(const ImageParam& p) { d_param = p; }
  int AskWidth() const { return d_param.width; }
  int AskHeight() const { return d_param.height; }

  Bitmap<Pel>& AskBitmap(int i) { return d_bitmaps[i]; }
  const Bitmap<Pel>& AskBitmap(int i) const { return d_bitmaps[i]; }
  Bitmap<Pel>& AskBitmapY() { return d_bitmaps[0]; }
  const Bitmap<Pel>& AskBitmapY() const { return d_bitmaps[0]; }
  Bitmap<Pel>& AskBitmapR() { return d_bitmaps[0]; }
  Bitmap<Pel>& AskBitmapG() { return d_bitmaps[1]; }
  Bitmap<Pel>& AskBitmapA() { return d_bitmaps[Bitmap_Alpha]; }

  Pel* const* AskFrameY() { return d_bitmaps[0].AskFrame(); }
  const Pel* const* AskFrameY() const { return d_bitmaps[0].AskFrame(); }
  Pel* const* AskFrameR() { return d_bitmaps[0].AskFrame(); }
  const Pel* const* AskFrameR() const { return d_bitmaps[0].AskFrame(); }
  Pel* const* AskFrameU() { return d_bitmaps[1].AskFrame(); }
  const Pel* const* AskFrameU() const { return d_bitmaps[1].AskFrame(); }
  Pel* const* AskFrameG() { return d_bitmaps[1].AskFrame(); }
  const Pel* const* AskFrameG() const { return d_bitmaps[1].AskFrame(); }
  Pel* const* AskFrameV() { return d_bitmaps[2].AskFrame(); }
  const Pel* const* AskFrameV() const { return d_bitmaps[2].AskFrame(); }
  Pel* const* AskFrameB() { return d_bitmaps[2].AskFrame(); }
  const Pel* const* AskFrameB() const { return d_bitmaps[2].AskFrame(); }
  Pel* const* AskFrameA() { return d_bitmaps[Bitmap_Alpha].AskFrame(); }
  const Pel* const* AskFrameA() const { return d_bitmaps[Bitmap_Alpha].AskFrame(); }

  void ReplaceBitmap(int i, const Bitmap<Pel>& b) { d_bitmaps[i] = b; }

 private:
  Bitmap<Pel> d_bitmaps[4];
  ImageParam d_param;
};

template <class Pel>
void Image<Pel>::Create(const ImageParam& p) {
  d_bitmaps[0].Create(p.width, p.height, p.border, p.halign, p.valign);
  switch (p.colorspace) {
    case Colorspace_RGB:
    case Colorspace_HSV:
      for (int i = 1; i <= 2; i++) d_bitmaps[i].Create(p.width, p.height, p.border, p.halign, p.valign);
      break;
    case Colorspace_YUV:
      for (int i = 1; i <= 2; i++) {
        if (p.reduced_chroma)
          d_bitmaps[i].Create(p.AskChromaWidth(), p.AskChromaHeight(), p.AskChromaBorder(),
                              p.AskChromaHAlign(), p.AskChromaVAlign());
        else
          d_bitmaps[i].Create(p.width, p.height, p.border, p.halign, p.valign);
      }
      break;
    case Colorspace_Greyscale:
      d_bitmaps[1].Release();
      d_bitmaps[2].Release();
      break;
    default:
      PIXKIT_ASSERT(0);
  }
  if (p.has_alpha)
    d_bitmaps[Bitmap_Alpha].Create(p.width, p.height, p.border, p.halign, p.valign);
  else
    d_bitmaps[Bitmap_Alpha].Release();
  d_param = p;
  MoveZero(p.zero_x, p.zero_y);
}

template <class Pel>
void Image<Pel>::Release() {
  for (int i = 0; i < 4; i++) d_bitmaps[i].Release();
  d_param = ImageParam();
}

template <class Pel>
Image<Pel> Image<Pel>::Clone() const {
  Image result;
  CloneTo(result);
  return result;
}

template <class Pel>
void Image<Pel>::CloneTo(Image& dst) const {
  for (int i = 0; i < 4; i++) d_bitmaps[i].CloneTo(dst.d_bitmaps[i], -1, 1, 1);
  dst.d_param = d_param;
}

template <class Pel>
void Image<Pel>::MoveZero(int x, int y) {
  const int sh = ChromaSubH(d_param.chroma);
  const int sv = ChromaSubV(d_param.chroma);
  PIXKIT_ASSERT_MSG(x % sh == 0 && y % sv == 0,
                    "can only move zero position in multiples of chroma-subsampling positions");
  d_bitmaps[0].MoveZero(x, y);
  d_bitmaps[1].MoveZero(x / sh, y / sv);
  d_bitmaps[2].MoveZero(x / sh, y / sv);
  d_bitmaps[Bitmap_Alpha].MoveZero(x, y);
  d_param.zero_x = x;
  d_param.zero_y = y;
}

// Fills the content of every existing plane i with component i of the colour.
template <class Pel>
void Clear(Image<Pel>& img, Color c) {
  for (int i = 0; i < 4; i++)
    if (!img.AskBitmap(i).IsEmpty()) Clear(img.AskBitmap(i), Pel(c[i]));
}

}  // namespace pixkit

#endif
