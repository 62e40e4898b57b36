// The converter an image window owns, and the fixed order in which it tries the transforms.
#include "libpixkit/graphics/color/img2raw.h"

#include "libpixkit/arch/cpu.h"
#include "libpixkit/graphics/color/internal_grey2rgb_mmx.h"
#include "libpixkit/graphics/color/internal_grey2rgb_scalar.h"
#include "libpixkit/graphics/color/internal_yuv2rgb_mmx.h"
#include "libpixkit/graphics/color/internal_yuv2rgb_scalar.h"

namespace pixkit {

namespace {

struct Candidate {
  bool (*accepts)(const Image<Pixel>&, const RawRGBFormat&);
  Image2RawRGB_Transform* (*create)();
};

template <class T>
Image2RawRGB_Transform* New() {
  return new T;
}

#define PIXKIT_CANDIDATE(T) \
  Candidate { T::s_CanConvert, New<T> }

#if PIXKIT_SIMD_TRANSFORMS
const Candidate c_SimdCandidates[] = {
    PIXKIT_CANDIDATE(i2r_32bit_BGR_mmx),
    PIXKIT_CANDIDATE(i2r_16bit_mmx),
    PIXKIT_CANDIDATE(i2r_grey_32bit_mmx),
    PIXKIT_CANDIDATE(i2r_grey_16bit_mmx),
};
#endif

const Candidate c_ScalarCandidates[] = {
    PIXKIT_CANDIDATE(i2r_yuv_16bit),    PIXKIT_CANDIDATE(i2r_yuv_32bit),
    PIXKIT_CANDIDATE(i2r_yuv422_32bit), PIXKIT_CANDIDATE(i2r_yuv444_16bit),
    PIXKIT_CANDIDATE(i2r_yuv444_32bit), PIXKIT_CANDIDATE(i2r_grey_32bit),
    PIXKIT_CANDIDATE(i2r_grey_24bit),   PIXKIT_CANDIDATE(i2r_grey_16bit),
    PIXKIT_CANDIDATE(i2r_grey_4bit),    PIXKIT_CANDIDATE(i2r_32bit),
    PIXKIT_CANDIDATE(i2r_16bit),
};

#undef PIXKIT_CANDIDATE

}  // namespace

std::unique_ptr<Image2RawRGB_Transform> CreateImage2RawRGB_Transform(const Image<Pixel>& img,
                                                                     const RawRGBFormat& format,
                                                                     bool mmx) {
#if PIXKIT_SIMD_TRANSFORMS
  if (mmx)
    for (const Candidate& c : c_SimdCandidates)
      if (c.accepts(img, format)) return std::unique_ptr<Image2RawRGB_Transform>(c.create());
#else
  (void)mmx;
#endif
  for (const Candidate& c : c_ScalarCandidates)
    if (c.accepts(img, format)) return std::unique_ptr<Image2RawRGB_Transform>(c.create());
  return nullptr;
}

void Image2RawRGB::Transform(const Image<Pixel>& img, uint8_t* mem, int firstline, int lastline) {
  if (d_transform && !d_transform->CanConvert(img, d_format)) d_transform.reset();

  // A transform chosen now is kept only once it has converted without an exception.
  std::unique_ptr<Image2RawRGB_Transform> chosen;
  Image2RawRGB_Transform* t = d_transform.get();
  if (!t) {
    chosen =
        CreateImage2RawRGB_Transform(img, d_format, CPU_Capabilities::AskCapabilities()->HasMMX());
    if (!chosen) throw Excpt_Text(ErrSev_Error, "no suitable colorspace transformation found!");
    t = chosen.get();
  }

  t->SetFormat(d_format);
  t->Init();
  t->Transform(img, mem, firstline, lastline == -1 ? img.AskHeight() - 1 : lastline);
  if (chosen) d_transform = std::move(chosen);
}

}  // namespace pixkit
