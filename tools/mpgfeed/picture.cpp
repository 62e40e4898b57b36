#include "tools/mpgfeed/picture.h"

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "libpixkit/utility/stopsignals.h"

namespace mpgfeed {

namespace {

// Luma weights of red and blue of each matrix the tags can name.
struct Weights {
  double kr, kb;
};

Weights WeightsOf(int matrix) {
  switch (matrix) {
    case SWS_CS_ITU709:
      return {0.2126, 0.0722};
    case SWS_CS_FCC:
      return {0.30, 0.11};
    case SWS_CS_SMPTE240M:
      return {0.212, 0.087};
    case SWS_CS_BT2020:
      return {0.2627, 0.0593};
    default:
      return {0.299, 0.114};
  }
}

// Normalised luma and colour differences of one matrix to those of BT.601, through RGB.
void ToBt601(const Weights& w, double y, double cb, double cr, double out[3]) {
  const double r = y + 2 * (1 - w.kr) * cr;
  const double b = y + 2 * (1 - w.kb) * cb;
  const double g = (y - w.kr * r - w.kb * b) / (1 - w.kr - w.kb);
  out[0] = 0.299 * r + 0.587 * g + 0.114 * b;
  out[1] = (b - out[0]) / 1.772;
  out[2] = (r - out[0]) / 1.402;
}

int32_t Fixed(double v, int bits) { return int32_t(std::lround(v * double(1 << bits))); }

uint8_t Clamp(int32_t v) { return uint8_t(std::min(std::max(v, 0), 255)); }

AVFrame* Reserve(FramePtr& frame, int w, int h, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
  if (frame && frame->width == w && frame->height == h && frame->format == format)
    return frame.get();
  frame.reset(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  frame->format = format;
  frame->width = w;
  frame->height = h;
  const int err = av_frame_get_buffer(frame.get(), 0);
  if (err < 0) {
    frame.reset();
    if (err == AVERROR(ENOMEM)) throw std::bad_alloc();
    throw std::runtime_error("cannot make a picture of " + std::to_string(w) + "x" +
                             std::to_string(h));
  }
  return frame.get();
}

// A scaler between pictures of one size; null where the library cannot convert them.
SwsPtr NewScaler(int w, int h, int from, int to, int flags, bool fullRange) {
  SwsPtr s(sws_alloc_context());
  if (!s) throw std::bad_alloc();
  av_opt_set_int(s.get(), "srcw", w, 0);
  av_opt_set_int(s.get(), "srch", h, 0);
  av_opt_set_int(s.get(), "src_format", from, 0);
  av_opt_set_int(s.get(), "dstw", w, 0);
  av_opt_set_int(s.get(), "dsth", h, 0);
  av_opt_set_int(s.get(), "dst_format", to, 0);
  av_opt_set_int(s.get(), "sws_flags", flags, 0);
  // The range must be known when the scaler is set up, or a picture of the target format
  // would merely be copied.
  av_opt_set_int(s.get(), "src_range", fullRange, 0);
  av_opt_set_int(s.get(), "dst_range", 0, 0);
  if (sws_init_context(s.get(), nullptr, nullptr) < 0) s.reset();
  return s;
}

// One plane turned: the sample at (x, y) of the result comes from the source as the
// orientation says. w and h are the source's.
void TurnPlane(const uint8_t* src, int srcStride, int w, int h, uint8_t* dst, int dstStride,
               const Orientation& o) {
  const int outW = o.swap ? h : w, outH = o.swap ? w : h;
  if (!o.swap) {
    for (int y = 0; y < outH; ++y) {
      const uint8_t* s = src + ptrdiff_t(o.flipY ? h - 1 - y : y) * srcStride;
      uint8_t* d = dst + ptrdiff_t(y) * dstStride;
      if (o.flipX)
        std::reverse_copy(s, s + w, d);
      else
        std::copy(s, s + w, d);
    }
    return;
  }
  // In tiles, so that the columns read stay in the cache.
  constexpr int c_Tile = 32;
  const ptrdiff_t stepY = o.flipY ? -ptrdiff_t(srcStride) : srcStride;
  for (int ty = 0; ty < outH; ty += c_Tile)
    for (int tx = 0; tx < outW; tx += c_Tile)
      for (int y = ty; y < std::min(ty + c_Tile, outH); ++y) {
        // Source column y (mirrored with flipX) read downwards (upwards with flipY).
        const uint8_t* s = src + (o.flipX ? w - 1 - y : y) +
                           ptrdiff_t(o.flipY ? h - 1 - tx : tx) * srcStride;
        uint8_t* d = dst + ptrdiff_t(y) * dstStride;
        for (int x = tx; x < std::min(tx + c_Tile, outW); ++x, s += stepY) d[x] = *s;
      }
}

}  // namespace

SourceColour ColourOf(const AVFrame* f) {
  SourceColour c;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(f->format));
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL))) return c;
  switch (f->colorspace) {
    case AVCOL_SPC_BT709:
      c.matrix = SWS_CS_ITU709;
      break;
    case AVCOL_SPC_FCC:
      c.matrix = SWS_CS_FCC;
      break;
    case AVCOL_SPC_SMPTE240M:
      c.matrix = SWS_CS_SMPTE240M;
      break;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      c.matrix = SWS_CS_BT2020;
      break;
    default:
      break;
  }
  switch (f->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      c.fullRange = true;
      break;
    default:
      c.fullRange = f->color_range == AVCOL_RANGE_JPEG;
  }
  return c;
}

Orientation OrientationOf(const int32_t* m) {
  Orientation o;
  if (!m) return o;
  // The clockwise turn that stands the picture upright, in [0, 360) give or take a little.
  double theta = -std::round(av_display_rotation_get(m));
  theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
  if (std::fabs(theta - 90) < 1) {
    o.swap = true;
    o.flipY = m[3] <= 0;
  } else if (std::fabs(theta - 180) < 1) {
    o.flipX = m[0] < 0;
    o.flipY = m[4] < 0;
  } else if (std::fabs(theta - 270) < 1) {
    o.swap = true;
    o.flipX = true;
    o.flipY = m[3] < 0;
  } else if (std::fabs(theta) < 1) {
    o.flipY = m[4] < 0;
  }
  return o;
}

// Rows that the luma's interpolation works in, sized once for the width.
struct LumaRows {
  std::vector<int16_t> vertical;
  std::vector<int16_t> luma;
};

namespace {

// The fixed-point steps from one matrix and range to limited-range BT.601, in 1/16384 units.
struct ColourSteps {
  int32_t lumaScale = 0;   // times the luma sample, in 1/131072 units
  int32_t lumaOffset = 0;  // in 1/131072 units, rounding included
  int32_t lumaFromU = 0;   // luma's share of the chroma, which comes from the 4:2:0 planes
  int32_t lumaFromV = 0;
  int32_t uFromU = 0, uFromV = 0, vFromU = 0, vFromV = 0;
};

ColourSteps StepsFor(const SourceColour& c) {
  const Weights w = WeightsOf(c.matrix);
  const double lumaSpan = c.fullRange ? 255 : 219, lumaBase = c.fullRange ? 0 : 16;
  const double chromaSpan = c.fullRange ? 255 : 224;
  double fromCb[3], fromCr[3];
  ToBt601(w, 0, 1, 0, fromCb);
  ToBt601(w, 0, 0, 1, fromCr);
  ColourSteps s;
  s.lumaScale = Fixed(219 / lumaSpan, 17);
  s.lumaOffset = Fixed(16 - 219 / lumaSpan * lumaBase, 17) + (1 << 16);
  s.lumaFromU = Fixed(219 * fromCb[0] / chromaSpan, 14);
  s.lumaFromV = Fixed(219 * fromCr[0] / chromaSpan, 14);
  s.uFromU = Fixed(224 * fromCb[1] / chromaSpan, 14);
  s.uFromV = Fixed(224 * fromCr[1] / chromaSpan, 14);
  s.vFromU = Fixed(224 * fromCb[2] / chromaSpan, 14);
  s.vFromV = Fixed(224 * fromCr[2] / chromaSpan, 14);
  return s;
}

// A 4:2:0 picture of 8-bit samples converted plane by plane, without going through RGB: the
// chroma by a 2x2 matrix at its own resolution, the luma with the chroma interpolated to each
// sample (horizontally co-sited, vertically centred).
struct Yuv420Conversion {
  const uint8_t* const* src;
  const int* srcStride;
  uint8_t* const* dst;
  const int* dstStride;
  int width;
  int height;
  ColourSteps steps;
  int16_t* share;  // the chroma's share of the luma, a plane at chroma size
};

// The chroma rows [firstRow, endRow) and their share of the luma.
void ConvertChromaRows(const Yuv420Conversion& c, int firstRow, int endRow) {
  const int cw = (c.width + 1) / 2;
  // Copies in 16 bits, which the compiler multiplies a vector at a time; all fit, the largest
  // being 1.0 in 1/16384 units.
  const ColourSteps& s = c.steps;
  const int16_t uu = int16_t(s.uFromU), uv = int16_t(s.uFromV), vu = int16_t(s.vFromU),
                vv = int16_t(s.vFromV), lu = int16_t(s.lumaFromU), lv = int16_t(s.lumaFromV);
  // The chroma's share of the luma is kept in 1/64 levels: at most 0.3 of a chroma difference,
  // it stays within 16 bits through the interpolation of the luma rows.
  for (int j = firstRow; j < endRow; ++j) {
    const uint8_t* u = c.src[1] + ptrdiff_t(j) * c.srcStride[1];
    const uint8_t* v = c.src[2] + ptrdiff_t(j) * c.srcStride[2];
    uint8_t* du = c.dst[1] + ptrdiff_t(j) * c.dstStride[1];
    uint8_t* dv = c.dst[2] + ptrdiff_t(j) * c.dstStride[2];
    int16_t* share = c.share + size_t(j) * cw;
    for (int i = 0; i < cw; ++i) {
      const int16_t cu = int16_t(u[i] - 128), cv = int16_t(v[i] - 128);
      du[i] = Clamp((int32_t(uu) * cu + int32_t(uv) * cv + (128 << 14) + (1 << 13)) >> 14);
      dv[i] = Clamp((int32_t(vu) * cu + int32_t(vv) * cv + (128 << 14) + (1 << 13)) >> 14);
      share[i] = int16_t((int32_t(lu) * cu + int32_t(lv) * cv + (1 << 7)) >> 8);
    }
  }
}

// The luma rows [firstRow, endRow), once the chroma's share of the rows next to them is there.
void ConvertLumaRows(const Yuv420Conversion& c, int firstRow, int endRow, LumaRows& rows) {
  const int w = c.width, cw = (w + 1) / 2, ch = (c.height + 1) / 2;
  const int32_t lumaScale = c.steps.lumaScale, lumaOffset = c.steps.lumaOffset;
  const bool unscaled = lumaScale == 1 << 17 && lumaOffset == 1 << 16;
  rows.vertical.resize(size_t(cw) + 1);
  rows.luma.resize(size_t(cw) * 2);
  int16_t* vertical = rows.vertical.data();
  int16_t* luma = rows.luma.data();
  // A luma row lies a quarter of a chroma row from the chroma row it shares: three quarters of
  // that one and a quarter of its next neighbour on the same side; across a row, even samples
  // sit on a chroma sample and odd ones half-way to the next. The sum is in 1/512 levels.
  for (int y = firstRow; y < endRow; ++y) {
    const int j = y / 2, k = std::min(std::max(y % 2 ? j + 1 : j - 1, 0), ch - 1);
    const int16_t* near = c.share + size_t(j) * cw;
    const int16_t* far = c.share + size_t(k) * cw;
    for (int i = 0; i < cw; ++i) vertical[i] = int16_t(3 * near[i] + far[i]);
    vertical[cw] = vertical[cw - 1];
    for (int i = 0; i < cw; ++i) {
      luma[2 * i] = int16_t(2 * vertical[i]);
      luma[2 * i + 1] = int16_t(vertical[i] + vertical[i + 1]);
    }
    const uint8_t* ys = c.src[0] + ptrdiff_t(y) * c.srcStride[0];
    uint8_t* yd = c.dst[0] + ptrdiff_t(y) * c.dstStride[0];
    if (unscaled) {
      for (int x = 0; x < w; ++x) {
        const int16_t v = int16_t(ys[x] + ((luma[x] + 256) >> 9));
        yd[x] = uint8_t(std::min<int16_t>(std::max<int16_t>(v, 0), 255));
      }
    } else {
      for (int x = 0; x < w; ++x)
        yd[x] = Clamp((lumaScale * ys[x] + int32_t(luma[x]) * 256 + lumaOffset) >> 17);
    }
  }
}

}  // namespace

// Threads that stay for the whole run and take the bands of one job at a time, beside the
// thread that hands the job out. Where threads cannot be made (a lowered address-space limit),
// fewer or none help, and the thread that hands the job out does what they would.
class BandWorkers {
 public:
  explicit BandWorkers(int helpers) {
    d_threads.reserve(size_t(helpers));
    try {
      for (int i = 0; i < helpers; ++i) d_threads.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      // Those made so far will do.
    } catch (...) {
      Stop();
      throw;
    }
  }

  ~BandWorkers() { Stop(); }

  // Calls job(band) for every band in [0, bands); returns when all are done.
  template <class Job>
  void Run(int bands, const Job& job) {
    std::unique_lock<std::mutex> lock(d_mutex);
    d_job = [](const void* j, int band) { (*static_cast<const Job*>(j))(band); };
    d_context = &job;
    d_bands = bands;
    d_next = 0;
    d_done = 0;
    ++d_generation;
    d_wake.notify_all();
    Take(lock);
    d_finished.wait(lock, [this] { return d_done == d_bands; });
  }

 private:
  void Work() {
    unsigned seen = 0;
    std::unique_lock<std::mutex> lock(d_mutex);
    for (;;) {
      d_wake.wait(lock, [&] { return d_quit || d_generation != seen; });
      if (d_quit) return;
      seen = d_generation;
      Take(lock);
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(d_mutex);
      d_quit = true;
    }
    d_wake.notify_all();
    for (std::thread& t : d_threads) t.join();
  }

  // Works on bands until none is left to take.
  void Take(std::unique_lock<std::mutex>& lock) {
    while (d_next < d_bands) {
      const int band = d_next++;
      lock.unlock();
      d_job(d_context, band);
      lock.lock();
      if (++d_done == d_bands) d_finished.notify_all();
    }
  }

  std::mutex d_mutex;
  std::condition_variable d_wake;
  std::condition_variable d_finished;
  void (*d_job)(const void*, int) = nullptr;
  const void* d_context = nullptr;
  int d_bands = 0;
  int d_next = 0;
  int d_done = 0;
  unsigned d_generation = 0;
  bool d_quit = false;
  std::vector<std::thread> d_threads;  // last: they start working on the members above
};

namespace {

bool IsInRecordColours(const AVFrame* f) {
  return f->format == AV_PIX_FMT_YUV420P && ColourOf(f) == SourceColour();
}

}  // namespace

PictureConverter::PictureConverter() = default;
PictureConverter::~PictureConverter() = default;

const AVFrame* PictureConverter::Convert(const AVFrame* f, const Orientation& turn) {
  const AVFrame* yuv = ToRecordColours(f);
  return turn.IsUpright() ? yuv : Turn(yuv, turn);
}

bool IsConverted(const AVFrame* f, const Orientation& turn) {
  return !IsInRecordColours(f) || !turn.IsUpright();
}

const AVFrame* PictureConverter::ToRecordColours(const AVFrame* f) {
  if (IsInRecordColours(f)) return f;
  const SourceColour colour = ColourOf(f);
  const bool is420 = f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P;
  AVFrame* out = Reserve(d_converted, f->width, f->height);
  if (is420) {
    // On two threads, in bands of whole chroma rows: more would only wait for the cores that
    // the decoder's threads keep busy. The luma of one band needs the chroma's share of the
    // rows next to it, so the chroma goes first.
    if (!d_workers) {
      const int threads = std::min(av_cpu_count(), 2);
      const pixkit::StopSignalsHeld held;  // for good in the workers: only main takes them
      d_workers = std::make_unique<BandWorkers>(threads - 1);
      d_bands = 4 * threads;
      d_lumaRows.resize(size_t(d_bands));
    }
    const int ch = (f->height + 1) / 2;
    d_share.resize(size_t((f->width + 1) / 2) * ch);
    const Yuv420Conversion c = {f->data,  f->linesize,      out->data,       out->linesize,
                                f->width, f->height,        StepsFor(colour), d_share.data()};
    const int bands = d_bands;
    const auto rowOf = [&](int band) { return ch * band / bands; };
    d_workers->Run(bands, [&](int b) { ConvertChromaRows(c, rowOf(b), rowOf(b + 1)); });
    d_workers->Run(bands, [&](int b) {
      ConvertLumaRows(c, 2 * rowOf(b), std::min(2 * rowOf(b + 1), f->height), d_lumaRows[b]);
    });
  } else {
    Scale(f, colour, out);
  }
  return out;
}

const AVFrame* PictureConverter::Turn(const AVFrame* f, const Orientation& turn) {
  const int w = f->width, h = f->height;
  AVFrame* out = turn.swap ? Reserve(d_turned, h, w) : Reserve(d_turned, w, h);
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  TurnPlane(f->data[0], f->linesize[0], w, h, out->data[0], out->linesize[0], turn);
  for (int i = 1; i < 3; ++i)
    TurnPlane(f->data[i], f->linesize[i], cw, ch, out->data[i], out->linesize[i], turn);
  return out;
}

void PictureConverter::Scale(const AVFrame* f, const SourceColour& colour, AVFrame* out) {
  if (!d_sws || d_swsWidth != f->width || d_swsHeight != f->height ||
      d_swsFormat != f->format || !(d_swsColour == colour))
    SetUpScaler(f, colour);
  if (!d_swsFromRgb) {
    sws_scale(d_sws.get(), f->data, f->linesize, 0, f->height, out->data, out->linesize);
    return;
  }
  AVFrame* rgb = d_rgb.get();
  sws_scale(d_sws.get(), f->data, f->linesize, 0, f->height, rgb->data, rgb->linesize);
  // Towards 4:2:0 the scaler takes the chroma of RGB pixels in pairs: at an odd width the last
  // pair ends one pixel beyond the picture, which stands for the edge as the last one does.
  if (f->width % 2)
    for (int y = 0; y < f->height; ++y) {
      uint8_t* last = rgb->data[0] + ptrdiff_t(y) * rgb->linesize[0] + 3 * (f->width - 1);
      std::copy(last, last + 3, last + 3);
    }
  sws_scale(d_swsFromRgb.get(), rgb->data, rgb->linesize, 0, f->height, out->data, out->linesize);
}

void PictureConverter::SetUpScaler(const AVFrame* f, const SourceColour& colour) {
  d_sws.reset();
  d_swsFromRgb.reset();
  const int w = f->width, h = f->height;
  // Another matrix is converted through RGB, where the scaler's fast rounding and chroma
  // would cost about a level in each component, three in RGB; in two steps, so that the RGB
  // picture between them is ours: the library's own leaves what lies beyond an odd width as
  // the heap had it.
  const bool viaRgb = colour.matrix != SWS_CS_ITU601;
  const int flags = SWS_BICUBIC | (viaRgb ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0);
  SwsPtr sws = NewScaler(w, h, f->format, viaRgb ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_YUV420P, flags,
                         colour.fullRange);
  if (sws && viaRgb) {
    d_swsFromRgb = NewScaler(w, h, AV_PIX_FMT_BGR24, AV_PIX_FMT_YUV420P, flags, colour.fullRange);
    if (!d_swsFromRgb) sws.reset();
  }
  if (!sws) {
    const char* fmt = av_get_pix_fmt_name(AVPixelFormat(f->format));
    throw std::runtime_error(std::string("cannot convert pictures of format ") +
                             (fmt ? fmt : "unknown") + " to 4:2:0");
  }
  if (viaRgb) {
    for (SwsContext* s : {sws.get(), d_swsFromRgb.get()})
      sws_setColorspaceDetails(s, sws_getCoefficients(colour.matrix), colour.fullRange,
                               sws_getCoefficients(SWS_CS_ITU601), 0, 0, 1 << 16, 1 << 16);
    // With room for the pixel beyond an odd width; cleared, as the scaler also reads a little
    // beyond the narrowest pictures, where it gives those samples no weight.
    const AVFrame* rgb = Reserve(d_rgb, w + w % 2, h, AV_PIX_FMT_BGR24);
    std::fill_n(rgb->buf[0]->data, rgb->buf[0]->size, 0);
  }
  d_sws = std::move(sws);
  d_swsWidth = w;
  d_swsHeight = h;
  d_swsFormat = f->format;
  d_swsColour = colour;
}

}  // namespace mpgfeed
