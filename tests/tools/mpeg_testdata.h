// Test data for the MPEG input: synthetic pictures of known content and MPEG-1/MPEG-2 files
// encoded from them at run time with the FFmpeg libraries, plus the comparison by PSNR.
#ifndef TESTS_TOOLS_MPEG_TESTDATA_H
#define TESTS_TOOLS_MPEG_TESTDATA_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace mpegtest {

// One plane of 8-bit samples, rows back to back.
struct Plane {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> s;
  uint8_t& at(int x, int y) { return s[size_t(y) * w + x]; }
  uint8_t at(int x, int y) const { return s[size_t(y) * w + x]; }
};

// A picture as Y, U, V planes; chroma subsampled by subH x subV with sizes rounded up.
struct Picture {
  Plane p[3];
};

// Smooth content that moves from frame to frame, so that every frame differs clearly from its
// neighbours while the encoder keeps it well; (x, y) are luma coordinates.
inline double Content(int plane, double x, double y, int n) {
  switch (plane) {
    case 0:
      return 128 + 50 * std::sin((x + 3 * n) / 9.0) * std::cos((y - 2 * n) / 11.0) + 0.1 * x;
    case 1:
      return 128 + 40 * std::sin((x - 2 * n) / 23.0 + y / 31.0);
    default:
      return 128 + 40 * std::cos((y + n) / 19.0 - x / 41.0);
  }
}

inline Picture MakePicture(int w, int h, int n, int subH, int subV) {
  Picture pic;
  for (int i = 0; i < 3; ++i) {
    Plane& pl = pic.p[i];
    const int sh = i ? subH : 1, sv = i ? subV : 1;
    pl.w = (w + sh - 1) / sh;
    pl.h = (h + sv - 1) / sv;
    pl.s.resize(size_t(pl.w) * pl.h);
    for (int y = 0; y < pl.h; ++y)
      for (int x = 0; x < pl.w; ++x) {
        // Chroma samples sit at the centre of the luma samples they cover.
        const double lx = (x + 0.5) * sh - 0.5, ly = (y + 0.5) * sv - 0.5;
        pl.at(x, y) = uint8_t(std::lround(Content(i, lx, ly, n)));
      }
  }
  return pic;
}

inline double Psnr(const Plane& a, const Plane& b) {
  if (a.w != b.w || a.h != b.h) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.s.size(); ++i) {
    const double d = double(a.s[i]) - double(b.s[i]);
    sum += d * d;
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 * double(a.s.size()) / sum);
}

// How a test file is made.
struct EncodeSpec {
  const char* muxer;  // "mpeg1video", "mpeg2video" (elementary), "mpeg", "vob" (program)
  AVCodecID codec;    // AV_CODEC_ID_MPEG1VIDEO or AV_CODEC_ID_MPEG2VIDEO
  AVPixelFormat format;
  int width;
  int height;
  int frames;
};

namespace detail {
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct OutputFreer {
  void operator()(AVFormatContext* c) const {
    if (c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
inline void Check(int err, const char* what) {
  if (err < 0) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    throw std::runtime_error(std::string(what) + ": " + buf);
  }
}
}  // namespace detail

// Encodes frames 0 .. frames-1 of the content (with B-pictures, so that decoding order and
// display order differ) at a fine quantiser and writes them with the given muxer.
inline void WriteMpegFile(const std::string& path, const EncodeSpec& spec) {
  using namespace detail;
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder(spec.codec);
  if (!codec) throw std::runtime_error("no MPEG encoder");
  std::unique_ptr<AVCodecContext, CodecFreer> cc(avcodec_alloc_context3(codec));
  cc->width = spec.width;
  cc->height = spec.height;
  cc->pix_fmt = spec.format;
  cc->time_base = AVRational{1, 25};
  cc->framerate = AVRational{25, 1};
  cc->gop_size = 6;
  cc->max_b_frames = 2;
  cc->flags |= AV_CODEC_FLAG_QSCALE;
  cc->global_quality = FF_QP2LAMBDA * 2;
  cc->bit_rate = 0;
  Check(avcodec_open2(cc.get(), codec, nullptr), "open encoder");

  AVFormatContext* ocRaw = nullptr;
  Check(avformat_alloc_output_context2(&ocRaw, nullptr, spec.muxer, path.c_str()), "muxer");
  std::unique_ptr<AVFormatContext, OutputFreer> oc(ocRaw);
  AVStream* st = avformat_new_stream(oc.get(), nullptr);
  Check(avcodec_parameters_from_context(st->codecpar, cc.get()), "stream parameters");
  st->time_base = cc->time_base;
  Check(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), "open output");
  Check(avformat_write_header(oc.get(), nullptr), "write header");

  std::unique_ptr<AVPacket, PacketFreer> pkt(av_packet_alloc());
  auto drain = [&] {
    for (;;) {
      const int err = avcodec_receive_packet(cc.get(), pkt.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      Check(err, "encode");
      av_packet_rescale_ts(pkt.get(), cc->time_base, st->time_base);
      pkt->stream_index = st->index;
      Check(av_interleaved_write_frame(oc.get(), pkt.get()), "write packet");
    }
  };

  const int subH = spec.format == AV_PIX_FMT_YUV444P ? 1 : 2;
  const int subV = spec.format == AV_PIX_FMT_YUV420P ? 2 : 1;
  for (int n = 0; n < spec.frames; ++n) {
    std::unique_ptr<AVFrame, FrameFreer> f(av_frame_alloc());
    f->format = spec.format;
    f->width = spec.width;
    f->height = spec.height;
    Check(av_frame_get_buffer(f.get(), 0), "frame buffer");
    const Picture pic = MakePicture(spec.width, spec.height, n, subH, subV);
    for (int i = 0; i < 3; ++i)
      for (int y = 0; y < pic.p[i].h; ++y)
        for (int x = 0; x < pic.p[i].w; ++x)
          f->data[i][ptrdiff_t(y) * f->linesize[i] + x] = pic.p[i].at(x, y);
    f->pts = n;
    f->quality = cc->global_quality;
    Check(avcodec_send_frame(cc.get(), f.get()), "send frame");
    drain();
  }
  Check(avcodec_send_frame(cc.get(), nullptr), "flush encoder");
  drain();
  Check(av_write_trailer(oc.get()), "write trailer");
}

// The test pattern of the given size, noisy where asked, as the ffmpeg tool encodes it with the
// arguments given (codec and container among them); the file's bytes.
inline std::string EncodePattern(const std::string& size, int frames, bool noisy,
                                 const std::vector<std::string>& args, const std::string& file) {
  testsupport::ProcessSpec spec;
  spec.path = "/usr/bin/ffmpeg";
  spec.args = {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
               "testsrc2=size=" + size + ":rate=25" + (noisy ? ",noise=alls=20:allf=t" : ""),
               "-frames:v", std::to_string(frames)};
  spec.args.insert(spec.args.end(), args.begin(), args.end());
  spec.args.push_back(file);
  if (testsupport::RunProcess(spec).exit_code != 0) return "";
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An H.264 elementary stream from its first slice of a picture that is no key picture on: its
// parameter sets come again only with the next key picture.
inline std::string FromFirstNonKeySlice(std::string stream) {
  for (size_t at = 0; (at = stream.find(std::string("\0\0\1", 3), at + 1)) != std::string::npos;)
    if (at + 3 < stream.size() && (stream[at + 3] & 0x1f) == 1) return stream.substr(at);
  return "";
}

}  // namespace mpegtest

#endif
