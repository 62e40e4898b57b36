// One plane of samples: a reference-counted provider owns the memory, bitmaps are light handles
// on it addressed through a row-pointer table, so that sharing and moving the zero position
// never copy samples.
#ifndef PIXKIT_GRAPHICS_DATATYPES_BITMAP_H
#define PIXKIT_GRAPHICS_DATATYPES_BITMAP_H

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "libpixkit/graphics/datatypes/imageparam.h"
#include "libpixkit/utility/error.h"

namespace pixkit {

// The layout rule of every bitmap: widths and the horizontal border rounded up to halign,
// heights to valign; the vertical border is not aligned.
void CalcAlignedSizes(int w, int h, int border, int halign, int valign, int& alignedWidth,
                      int& alignedHeight, int& alignedBorder);

// Process-wide minimum border and alignments applied by CalcAlignedSizes.
void AskMinimumAlignment(int& border, int& halign, int& valign);

template <class Pel>
class BitmapProvider {
 public:
  virtual ~BitmapProvider() {
    assert(d_ref_cntr==0);
    delete[] d_frame;
  }
  BitmapProvider(const BitmapProvider&) = delete;
  BitmapProvider& operator=(const BitmapProvider&) = delete;

  int AskWidth() const { return d_width; }
  int AskHeight() const { return d_height; }
  int AskBorder() const { return d_border; }
  int AskAlignedWidth() const { return d_aligned_width; }
  int AskAlignedHeight() const { return d_aligned_height; }
  int AskAlignedBorder() const { return d_aligned_border; }
  int AskTotalWidth() const { return d_total_width; }
  int AskTotalHeight() const { return d_total_height; }
  Pel** AskFrame() const { return d_frame; }

  void IncrRef() { d_ref_cntr++; }
  void DecrRef() {
    d_ref_cntr--;
    assert(d_ref_cntr>=0);
  }
  int AskRefCntr() const { return d_ref_cntr; }

 protected:
  BitmapProvider(int w, int h, int border, int halign, int valign)
      : d_width(w), d_height(h), d_border(border) {
    CalcAlignedSizes(w, h, border, halign, valign, d_aligned_width, d_aligned_height,
                     d_aligned_border);
    d_total_width = 2 * d_aligned_border + d_aligned_width;
    d_total_height = 2 * d_border + d_aligned_height;
  }

  int d_ref_cntr = 0;
  Pel** d_frame = nullptr;
  int d_width, d_height, d_border;
  int d_aligned_width = 0, d_aligned_height = 0, d_aligned_border = 0;
  int d_total_width = 0;
  int d_total_height = 0;
  Pel* d_pixels = nullptr;
};

// Samples in one heap array; plain samples are left uninitialised, class elements constructed.
template <class Pel>
class BitmapProvider_Mem : public BitmapProvider<Pel> {
 public:
  BitmapProvider_Mem(int w, int h, int border, int halign, int valign)
      : BitmapProvider<Pel>(w, h, border, halign, valign) {
    // Sized in a wide type: a 32767 x 32767 plane must not overflow the count. A count that
    // does not fit even there (a 65536 x 65536 matrix on a 32-bit system) cannot be allocated.
    const size_t tw = size_t(this->d_total_width);
    const size_t th = size_t(this->d_total_height);
    if (th != 0 && tw > SIZE_MAX / th) throw std::bad_alloc();
    std::unique_ptr<Pel[]> pixels(new Pel[tw * th]);
    std::unique_ptr<Pel*[]> frame(new Pel*[th]);
    for (size_t r = 0; r < th; r++) frame[r] = pixels.get() + r * tw + this->d_aligned_border;
    this->d_pixels = pixels.release();
    this->d_frame = frame.release();
  }
  ~BitmapProvider_Mem() override {
    delete[] this->d_pixels;
    this->d_pixels = nullptr;
  }
};

template <class Pel>
class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(const Bitmap& b) { ShareFrom(b); }
  Bitmap& operator=(const Bitmap& b) {
    if (this != &b) {
      Release();
      ShareFrom(b);
    }
    return *this;
  }
  ~Bitmap() { Release(); }

  void Create(int w, int h, int border = 0, int halign = 1, int valign = 1);
  void AttachBitmapProvider(BitmapProvider<Pel>* p);
  void Release();

  bool IsEmpty() const { return d_parent == nullptr; }
  int AskWidth() const { CheckAttached(); return d_width; }
  int AskHeight() const { CheckAttached(); return d_height; }
  int AskBorder() const { CheckAttached(); return d_border; }
  int AskAlignedBorder() const { CheckAttached(); return d_aligned_border; }
  int AskAlignedWidth() const { CheckAttached(); return d_aligned_width; }
  int AskAlignedHeight() const { CheckAttached(); return d_aligned_height; }
  int AskZeroX() const { return d_zero_x; }
  int AskZeroY() const { return d_zero_y; }
  const BitmapProvider<Pel>* AskBitmapProvider() const { return d_parent; }

  Pel* const* AskFrame() {
    CheckAttached();
    return d_frame + d_zero_y + d_border;
  }
  const Pel* const* AskFrame() const {
    CheckAttached();
    return d_frame + d_zero_y + d_border;
  }

  void MoveZero(int x, int y);
  Bitmap Clone(int border = -1, int halign = 1, int valign = 1) const;
  // As Clone, into dst, whose memory is used again when dst is its only user.
  void CloneTo(Bitmap& dst, int border = -1, int halign = 1, int valign = 1) const;

 private:
  void CheckAttached() const {
    PIXKIT_ASSERT_MSG(d_parent, "no bitmap-provider attached to bitmap");
  }
  void ShareFrom(const Bitmap& b);

  BitmapProvider<Pel>* d_parent = nullptr;
  int d_width = 0, d_height = 0, d_border = 0;
  int d_aligned_border = 0, d_aligned_width = 0, d_aligned_height = 0;
  int d_total_width = 0, d_total_height = 0;
  int d_zero_x = 0, d_zero_y = 0;
  Pel** d_frame = nullptr;
  bool d_provider_frame = true;  // false: d_frame is a private, shifted copy
};

template <class Pel>
void Bitmap<Pel>::ShareFrom(const Bitmap& b) {
  if (!b.d_parent) return;
  if (!b.d_provider_frame) {
    Pel** frame = new Pel*[size_t(b.d_total_height)];
    std::copy(b.d_frame, b.d_frame + b.d_total_height, frame);
    d_frame = frame;
  } else {
    d_frame = b.d_frame;
  }
  d_provider_frame = b.d_provider_frame;
  d_parent = b.d_parent;
  d_parent->IncrRef();
  d_width = b.d_width;
  d_height = b.d_height;
  d_border = b.d_border;
  d_aligned_border = b.d_aligned_border;
  d_aligned_width = b.d_aligned_width;
  d_aligned_height = b.d_aligned_height;
  d_total_width = b.d_total_width;
  d_total_height = b.d_total_height;
  d_zero_x = b.d_zero_x;
  d_zero_y = b.d_zero_y;
}

template <class Pel>
void Bitmap<Pel>::Create(int w, int h, int border, int halign, int valign) {
  if (d_parent) {
    int aw, ah, ab;
    CalcAlignedSizes(w, h, border, halign, valign, aw, ah, ab);
    const int spareW = d_total_width - (2 * ab + aw);
    const int spareH = d_total_height - (2 * border + ah);
    // Reusing is safe only when nobody else sees these samples.
    const bool reuse = spareW >= 0 && spareH >= 0 && spareW % halign == 0 &&
                       spareH % valign == 0 && ab <= d_aligned_border && border <= d_border &&
                       d_parent->AskRefCntr() <= 1 &&
                       dynamic_cast<BitmapProvider_Mem<Pel>*>(d_parent) != nullptr &&
                       d_provider_frame &&
                       aw + ab <= d_parent->AskAlignedWidth() + d_parent->AskAlignedBorder();
    if (reuse) {
      d_width = w;
      d_height = h;
      d_border = border;
      d_aligned_width = aw;
      d_aligned_height = ah;
      d_aligned_border = ab;
      d_total_width = 2 * ab + aw;
      d_total_height = 2 * border + ah;
      d_zero_x = 0;
      d_zero_y = 0;
      return;
    }
  }
  AttachBitmapProvider(new BitmapProvider_Mem<Pel>(w, h, border, halign, valign));
}

template <class Pel>
void Bitmap<Pel>::AttachBitmapProvider(BitmapProvider<Pel>* p) {
  if (p == d_parent) return;
  if (p) p->IncrRef();
  Release();
  assert(d_parent==nullptr);
  d_parent = p;
  if (!p) return;
  d_frame = p->AskFrame();
  d_provider_frame = true;
  d_width = p->AskWidth();
  d_height = p->AskHeight();
  d_border = p->AskBorder();
  d_aligned_width = p->AskAlignedWidth();
  d_aligned_height = p->AskAlignedHeight();
  d_aligned_border = p->AskAlignedBorder();
  d_total_width = p->AskTotalWidth();
  d_total_height = p->AskTotalHeight();
  d_zero_x = 0;
  d_zero_y = 0;
}

template <class Pel>
void Bitmap<Pel>::Release() {
  if (d_parent) {
    d_parent->DecrRef();
    if (d_parent->AskRefCntr() == 0) delete d_parent;
    d_parent = nullptr;
  }
  if (!d_provider_frame) delete[] d_frame;
  d_frame = nullptr;
  d_provider_frame = true;
}

template <class Pel>
void Bitmap<Pel>::MoveZero(int x, int y) {
  if (!d_parent) return;
  if (x != d_zero_x) {
    if (d_provider_frame) {
      Pel** frame = new Pel*[size_t(d_total_height)];
      std::copy(d_frame, d_frame + d_total_height, frame);
      d_frame = frame;
      d_provider_frame = false;
    }
    const std::ptrdiff_t dx = std::ptrdiff_t(x) - d_zero_x;
    for (int r = 0; r < d_total_height; r++) d_frame[r] += dx;
  }
  d_zero_x = x;
  d_zero_y = y;
}

template <class Pel>
Bitmap<Pel> Bitmap<Pel>::Clone(int border, int halign, int valign) const {
  Bitmap result;
  CloneTo(result, border, halign, valign);
  return result;
}

template <class Pel>
void Bitmap<Pel>::CloneTo(Bitmap& dst, int border, int halign, int valign) const {
  assert(halign>=1);
  assert(valign>=1);
  if (&dst == this) {
    // The shared handle keeps the samples alive and makes Create take fresh memory.
    const Bitmap keep(*this);
    keep.CloneTo(dst, border, halign, valign);
    return;
  }
  if (!d_parent) {
    dst.Release();
    return;
  }
  if (border < 0) border = d_border;
  dst.Create(d_width, d_height, border, halign, valign);

  const int b = std::min(d_border, dst.d_border);
  const int ab = std::min(d_aligned_border, dst.d_aligned_border);
  // Content positions, independent of either zero position.
  const Pel* const* src = d_frame + d_border;
  Pel* const* to = dst.d_frame + dst.d_border;
  for (int r = -b; r < d_height + b; r++) {
    const Pel* s = src[r] - d_zero_x;
    std::copy(s - ab, s + d_width + ab, to[r] - ab);
  }
  dst.MoveZero(d_zero_x, d_zero_y);
}

// Fills the width x height content, wherever the zero position lies; the border is untouched.
template <class Pel>
void Clear(Bitmap<Pel>& bm, Pel value) {
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  Pel* const* f = bm.AskFrame();
  const int x0 = -bm.AskZeroX();
  for (int y = -bm.AskZeroY(); y < h - bm.AskZeroY(); y++) std::fill(f[y] + x0, f[y] + x0 + w, value);
}

// Inclusive rectangle in frame coordinates, not clipped.
template <class Pel>
void FillRect(Bitmap<Pel>& bm, int x0, int y0, int x1, int y1, Pel value) {
  Pel* const* f = bm.AskFrame();
  for (int y = y0; y <= y1; y++) std::fill(f[y] + x0, f[y] + x1 + 1, value);
}

void Invert(Bitmap<Pixel>& bm, Pixel value);

}  // namespace pixkit

#endif
