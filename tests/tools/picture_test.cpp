// mpgfeed's colour conversion against exact arithmetic.
#include "tools/mpgfeed/picture.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using mpgfeed::FramePtr;

// Luma weights of red and blue.
struct Matrix {
  AVColorSpace tag;
  double kr, kb;
};
const Matrix c_Bt601 = {AVCOL_SPC_SMPTE170M, 0.299, 0.114};

// A sample of a plane, the nearest one for coordinates outside it.
double At(const AVFrame* f, int plane, int x, int y, int w, int h) {
  x = std::min(std::max(x, 0), w - 1);
  y = std::min(std::max(y, 0), h - 1);
  return f->data[plane][ptrdiff_t(y) * f->linesize[plane] + x];
}

// The chroma plane at chroma coordinates (x, y), linearly between its samples.
double Between(const AVFrame* f, int plane, double x, double y) {
  const int w = (f->width + 1) / 2, h = (f->height + 1) / 2;
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  const double tx = x - x0, ty = y - y0;
  const auto row = [&](int yy) {
    return (1 - tx) * At(f, plane, x0, yy, w, h) + tx * At(f, plane, x0 + 1, yy, w, h);
  };
  return (1 - ty) * row(y0) + ty * row(y0 + 1);
}

// Y, Cb, Cr samples of one matrix and range as limited-range BT.601 samples, unrounded.
void Exact(const Matrix& m, bool full, const double in[3], double out[3]) {
  const double y = full ? in[0] / 255 : (in[0] - 16) / 219;
  const double cb = (in[1] - 128) / (full ? 255 : 224), cr = (in[2] - 128) / (full ? 255 : 224);
  const double r = y + 2 * (1 - m.kr) * cr, b = y + 2 * (1 - m.kb) * cb;
  const double g = (y - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
  const double y601 = c_Bt601.kr * r + (1 - c_Bt601.kr - c_Bt601.kb) * g + c_Bt601.kb * b;
  out[0] = 16 + 219 * y601;
  out[1] = 128 + 224 * (b - y601) / (2 * (1 - c_Bt601.kb));
  out[2] = 128 + 224 * (r - y601) / (2 * (1 - c_Bt601.kr));
}

int Level(double v) { return int(std::lround(std::min(std::max(v, 0.0), 255.0))); }

// Every sample within a level of the exact conversion, for every matrix and range, with the
// extremes that need clamping; at odd sizes, where the chroma overhangs the luma, and at an
// even one, whose last column lies half-way to a chroma sample beyond the edge.
TEST(PictureConverter, ConvertsEveryMatrixAndRangeWithinALevel) {
  const Matrix matrices[] = {{AVCOL_SPC_BT709, 0.2126, 0.0722},
                             {AVCOL_SPC_BT2020_NCL, 0.2627, 0.0593},
                             {AVCOL_SPC_FCC, 0.30, 0.11},
                             {AVCOL_SPC_SMPTE240M, 0.212, 0.087}};
  struct Case {
    Matrix m;
    AVPixelFormat format;
    AVColorRange range;
  };
  std::vector<Case> cases = {{c_Bt601, AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG},
                             {c_Bt601, AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_UNSPECIFIED}};
  for (const Matrix& m : matrices)
    for (AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG})
      cases.push_back({m, AV_PIX_FMT_YUV420P, range});
  const int sizes[][2] = {{37, 23}, {1, 1}, {5, 3}, {301, 97}, {36, 22}};
  const uint8_t extremes[] = {0, 255, 16, 235, 128};
  std::mt19937 random(7);
  for (const Case& c : cases) {
    const bool full = c.format == AV_PIX_FMT_YUVJ420P || c.range == AVCOL_RANGE_JPEG;
    mpgfeed::PictureConverter converter;  // one for all sizes, as a size change finds it
    for (const auto& size : sizes) {
      SCOPED_TRACE(std::string(av_color_space_name(c.m.tag)) + (full ? " full " : " limited ") +
                   std::to_string(size[0]) + "x" + std::to_string(size[1]));
      FramePtr f(av_frame_alloc());
      ASSERT_TRUE(f);
      f->format = c.format;
      f->width = size[0];
      f->height = size[1];
      f->colorspace = c.m.tag;
      f->color_range = c.range;
      ASSERT_EQ(av_frame_get_buffer(f.get(), 0), 0);
      const int cw = (size[0] + 1) / 2, ch = (size[1] + 1) / 2;
      for (int p = 0; p < 3; ++p)
        for (int y = 0; y < (p ? ch : size[1]); ++y)
          for (int x = 0; x < (p ? cw : size[0]); ++x) {
            const unsigned r = random();
            f->data[p][ptrdiff_t(y) * f->linesize[p] + x] =
                uint8_t(r % 2 ? r >> 8 : extremes[(r >> 8) % std::size(extremes)]);
          }
      const AVFrame* out = converter.Convert(f.get(), mpgfeed::Orientation());
      ASSERT_EQ(out->format, AV_PIX_FMT_YUV420P);
      ASSERT_EQ(out->width, size[0]);
      ASSERT_EQ(out->height, size[1]);
      int worst = 0;
      // Chroma at its own resolution (the luma does not weigh in); under the luma co-sited
      // across, centred between rows.
      double exact[3];
      for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x) {
          const double in[3] = {128, At(f.get(), 1, x, y, cw, ch), At(f.get(), 2, x, y, cw, ch)};
          Exact(c.m, full, in, exact);
          for (int p = 1; p < 3; ++p)
            worst = std::max(worst, std::abs(out->data[p][ptrdiff_t(y) * out->linesize[p] + x] -
                                             Level(exact[p])));
        }
      for (int y = 0; y < size[1]; ++y)
        for (int x = 0; x < size[0]; ++x) {
          const double in[3] = {At(f.get(), 0, x, y, size[0], size[1]),
                                Between(f.get(), 1, x / 2.0, (y - 0.5) / 2),
                                Between(f.get(), 2, x / 2.0, (y - 0.5) / 2)};
          Exact(c.m, full, in, exact);
          worst = std::max(
              worst, std::abs(out->data[0][ptrdiff_t(y) * out->linesize[0] + x] - Level(exact[0])));
        }
      EXPECT_LE(worst, 1);
    }
  }
}

}  // namespace
