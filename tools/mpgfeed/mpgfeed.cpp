// mpgfeed: decodes a video file (MPEG-1/2 elementary or program streams and whatever else the
// FFmpeg libraries read) and writes every picture, in display order, as one frame record of the
// stream that pixkit::FileReader_MPEG reads: a 128-byte big-endian header (frame number, width,
// height) followed by the Y, U and V planes of a 4:2:0 picture.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <getopt.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "libpixkit/utility/error.h"
#include "libpixkit/utility/stopsignals.h"
#include "tools/mpgfeed/recordfile.h"

namespace {

constexpr int c_HeaderSize = 128;
constexpr int c_MaxRecordSide = 32767;  // width and height are signed 16-bit fields

const char c_Usage[] =
    "Usage: mpgfeed [-L] -W OUTPUT INPUT\n"
    "Decodes the video of INPUT and writes every picture, in display order, as a raw frame\n"
    "record to OUTPUT ('-' for standard output).\n"
    "\n"
    "  -W OUTPUT   file to write the frame records to; '-' is standard output\n"
    "  -L          quiet: no progress or decoder messages on standard error\n"
    "  -h, --help  show this help and exit\n"
    "\n"
    "INPUT may be an MPEG-1 or MPEG-2 elementary stream (.m1v, .m2v), a program stream\n"
    "(.mpg, .vob), or any other video file that the installed FFmpeg libraries decode.\n"
    "Pictures that do not decode are skipped, with one warning that counts them.\n"
    "\n"
    "Frame record (all fields big-endian), one per picture, records back to back:\n"
    "  bytes 0-3     frame number, counted from 0\n"
    "  bytes 4-5     width w (signed 16-bit)\n"
    "  bytes 6-7     height h (signed 16-bit)\n"
    "  bytes 8-127   zero\n"
    "  then the Y plane (h rows of w bytes), the U plane and the V plane\n"
    "  (each (h+1)/2 rows of (w+1)/2 bytes), limited-range BT.601. Pictures of other formats,\n"
    "  matrices or ranges (as the source's tags say) are converted.\n"
    "\n"
    "Exit status: 0 on success, 1 when the input cannot be read, no picture of it decodes or\n"
    "the output cannot be written or is the input, 2 for a wrong command line. A run that fails\n"
    "removes an OUTPUT file that it created, or that was the caller's own with no other name;\n"
    "anything else (a link, a device, a pipe) stays as the writes left it.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string AvErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// Owners of the FFmpeg objects.
struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;

struct Options {
  bool quiet = false;
  std::string output;
  std::string input;
};

Options ParseOptions(int argc, char** argv) {
  static const option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  Options opt;
  bool haveOutput = false;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":LW:h", longOptions, nullptr)) != -1) {
    switch (c) {
      case 'L':
        opt.quiet = true;
        break;
      case 'W':
        opt.output = optarg;
        haveOutput = true;
        break;
      case 'h':
        std::fputs(c_Usage, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
          std::fprintf(stderr, "mpgfeed: cannot write to standard output (%s)\n",
                       std::strerror(errno));
          std::exit(1);
        }
        std::exit(0);
      case ':':
        throw UsageError(std::string("option -") + char(optopt) + " needs an argument");
      default:
        if (optopt)
          throw UsageError(std::string("unknown option -") + char(optopt));
        throw UsageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (!haveOutput) throw UsageError("no output given (-W FILE, '-' for standard output)");
  if (optind + 1 != argc) throw UsageError("exactly one input file is needed");
  opt.input = argv[optind];
  return opt;
}

// How the samples of a YUV picture stand for colours, as its tags say.
struct SourceColour {
  int matrix = SWS_CS_ITU601;  // in the scaler's numbering
  bool fullRange = false;
  bool operator==(const SourceColour& o) const {
    return matrix == o.matrix && fullRange == o.fullRange;
  }
};

// Untagged pictures count as limited-range BT.601, what the records hold, unless their pixel
// format says full range; so do RGB pictures, whose conversion ignores both.
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

// Writes frame records to the output and counts them.
class RecordWriter {
 public:
  RecordWriter(const std::string& name, bool quiet) : d_out(name), d_quiet(quiet) {}

  int AskCount() const { return d_count; }

  void Write(const AVFrame* f) {
    if (f->width > c_MaxRecordSide || f->height > c_MaxRecordSide)
      throw std::runtime_error("picture of " + std::to_string(f->width) + "x" +
                               std::to_string(f->height) + " is too large for a frame record");
    // The records hold limited-range BT.601 4:2:0, whatever the source holds.
    const SourceColour colour = ColourOf(f);
    const AVFrame* yuv = f;
    if (f->format != AV_PIX_FMT_YUV420P || !(colour == SourceColour())) yuv = Convert(f, colour);

    uint8_t header[c_HeaderSize] = {};
    const uint32_t n = uint32_t(d_count);
    header[0] = uint8_t(n >> 24);
    header[1] = uint8_t(n >> 16);
    header[2] = uint8_t(n >> 8);
    header[3] = uint8_t(n);
    header[4] = uint8_t(f->width >> 8);
    header[5] = uint8_t(f->width);
    header[6] = uint8_t(f->height >> 8);
    header[7] = uint8_t(f->height);
    Put(header, c_HeaderSize);

    const int cw = (f->width + 1) / 2;
    const int ch = (f->height + 1) / 2;
    WritePlane(yuv->data[0], yuv->linesize[0], f->width, f->height);
    WritePlane(yuv->data[1], yuv->linesize[1], cw, ch);
    WritePlane(yuv->data[2], yuv->linesize[2], cw, ch);
    ++d_count;
    if (!d_quiet) std::fprintf(stderr, "frame %d\r", d_count);
  }

  void Finish() {
    if (!d_quiet && d_count > 0) std::fputc('\n', stderr);
    d_out.Finish();
  }

 private:
  void Put(const uint8_t* p, int n) { d_out.Put(p, size_t(n)); }

  void WritePlane(const uint8_t* p, int stride, int w, int h) {
    for (int y = 0; y < h; ++y) Put(p + ptrdiff_t(y) * stride, w);
  }

  const AVFrame* Convert(const AVFrame* f, const SourceColour& colour) {
    if (!d_converted || d_converted->width != f->width || d_converted->height != f->height) {
      d_converted.reset(av_frame_alloc());
      if (!d_converted) throw std::bad_alloc();
      d_converted->format = AV_PIX_FMT_YUV420P;
      d_converted->width = f->width;
      d_converted->height = f->height;
      const int err = av_frame_get_buffer(d_converted.get(), 0);
      if (err < 0) throw std::runtime_error("cannot allocate a picture: " + AvErrorText(err));
    }
    SwsContext* s = Scaler(f, colour);
    sws_scale(s, f->data, f->linesize, 0, f->height, d_converted->data, d_converted->linesize);
    return d_converted.get();
  }

  SwsContext* Scaler(const AVFrame* f, const SourceColour& colour) {
    if (d_sws && d_swsWidth == f->width && d_swsHeight == f->height && d_swsFormat == f->format &&
        d_swsColour == colour)
      return d_sws.get();
    d_sws.reset(sws_alloc_context());
    if (!d_sws) throw std::bad_alloc();
    SwsContext* s = d_sws.get();
    av_opt_set_int(s, "srcw", f->width, 0);
    av_opt_set_int(s, "srch", f->height, 0);
    av_opt_set_int(s, "src_format", f->format, 0);
    av_opt_set_int(s, "dstw", f->width, 0);
    av_opt_set_int(s, "dsth", f->height, 0);
    av_opt_set_int(s, "dst_format", AV_PIX_FMT_YUV420P, 0);
    // Another matrix is converted through RGB, where the scaler's fast rounding and chroma
    // would cost about a level in each component, three in RGB.
    const bool viaRgb = colour.matrix != SWS_CS_ITU601;
    av_opt_set_int(s, "sws_flags",
                   SWS_BICUBIC | (viaRgb ? SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT : 0), 0);
    // The range must be known when the scaler is set up, or a picture of the target format
    // would merely be copied.
    av_opt_set_int(s, "src_range", colour.fullRange, 0);
    av_opt_set_int(s, "dst_range", 0, 0);
    if (sws_init_context(s, nullptr, nullptr) < 0) {
      d_sws.reset();
      const char* fmt = av_get_pix_fmt_name(AVPixelFormat(f->format));
      throw std::runtime_error(std::string("cannot convert pictures of format ") +
                               (fmt ? fmt : "unknown") + " to 4:2:0");
    }
    if (viaRgb)
      sws_setColorspaceDetails(s, sws_getCoefficients(colour.matrix), colour.fullRange,
                               sws_getCoefficients(SWS_CS_ITU601), 0, 0, 1 << 16, 1 << 16);
    d_swsWidth = f->width;
    d_swsHeight = f->height;
    d_swsFormat = f->format;
    d_swsColour = colour;
    return s;
  }

  mpgfeed::RecordFile d_out;
  bool d_quiet;
  int d_count = 0;
  FramePtr d_converted;
  SwsPtr d_sws;  // for pictures of the size, format and colours below
  int d_swsWidth = 0;
  int d_swsHeight = 0;
  int d_swsFormat = AV_PIX_FMT_NONE;
  SourceColour d_swsColour;
};

struct IoCloser {
  void operator()(AVIOContext* p) const { avio_closep(&p); }
};

// The input opened with one demuxer, and the video stream to decode.
struct Container {
  FormatPtr format;
  int stream = -1;
  const AVCodec* codec = nullptr;
  std::string error;  // why there is nothing to decode; empty when there is

  // A stream whose picture size stays unknown after probing was most likely taken for what
  // its name says rather than what it holds.
  bool HasPictures() const {
    if (!error.empty()) return false;
    const AVCodecParameters* par = format->streams[stream]->codecpar;
    return par->width > 0 && par->height > 0;
  }
};

// The name as messages show it.
std::string FailureText(const char* what, const std::string& shown, int err) {
  return std::string(what) + " '" + shown + "': " + AvErrorText(err);
}

// The "file:" prefix keeps names with a colon from being taken for another protocol.
std::string FileUrl(const std::string& input) { return "file:" + input; }

// Opens the input with the demuxer given, or with the one that its name and content suggest.
Container OpenContainer(const std::string& input, const AVInputFormat* demuxer) {
  Container c;
  const std::string shown = pixkit::ShortNameForMessage(input);
  AVFormatContext* fc = nullptr;
  int err = avformat_open_input(&fc, FileUrl(input).c_str(), demuxer, nullptr);
  if (err < 0) {
    c.error = FailureText("cannot open", shown, err);
    return c;
  }
  c.format.reset(fc);
  err = avformat_find_stream_info(fc, nullptr);
  if (err < 0) {
    c.error = FailureText("cannot read", shown, err);
    return c;
  }
  c.stream = av_find_best_stream(fc, AVMEDIA_TYPE_VIDEO, -1, -1, &c.codec, 0);
  if (c.stream < 0 || !c.codec)
    c.error = FailureText("no decodable video stream in", shown, c.stream);
  return c;
}

// The demuxer that the first bytes of the input alone call for, whatever its name.
const AVInputFormat* DemuxerOfContent(const std::string& input) {
  AVIOContext* io = nullptr;
  if (avio_open(&io, FileUrl(input).c_str(), AVIO_FLAG_READ) < 0) return nullptr;
  std::unique_ptr<AVIOContext, IoCloser> owner(io);
  const AVInputFormat* demuxer = nullptr;
  if (av_probe_input_buffer2(io, &demuxer, "", nullptr, 0, 0) < 0) return nullptr;
  return demuxer;
}

class Decoder {
 public:
  explicit Decoder(const std::string& input) : d_input(pixkit::ShortNameForMessage(input)) {
    Container c = OpenContainer(input, nullptr);
    // The name weighs in when the libraries pick the demuxer, and a habitual name (MPEG data
    // in "clip.yuv" or "clip.jpg") can win over the content; then the content alone decides.
    if (!c.HasPictures()) {
      const AVInputFormat* byContent = DemuxerOfContent(input);
      if (byContent && (!c.format || byContent != c.format->iformat)) {
        Container other = OpenContainer(input, byContent);
        if (other.HasPictures()) c = std::move(other);
      }
    }
    if (!c.error.empty()) throw std::runtime_error(c.error);
    d_format = std::move(c.format);
    d_stream = c.stream;
    AVFormatContext* fc = d_format.get();
    const AVCodec* codec = c.codec;

    d_codec.reset(avcodec_alloc_context3(codec));
    if (!d_codec) throw std::bad_alloc();
    int err = avcodec_parameters_to_context(d_codec.get(), fc->streams[d_stream]->codecpar);
    if (err < 0) Fail("cannot set up the decoder for", err);
    d_codec->pkt_timebase = fc->streams[d_stream]->time_base;
    err = avcodec_open2(d_codec.get(), codec, nullptr);
    if (err < 0) Fail("cannot open the decoder for", err);

    d_packet.reset(av_packet_alloc());
    d_frame.reset(av_frame_alloc());
    if (!d_packet || !d_frame) throw std::bad_alloc();
  }

  // Decodes the whole input, handing every picture to the writer in display order. Damage
  // costs only the pictures it hits, as long as some picture can be decoded.
  void Run(RecordWriter& out) {
    for (;;) {
      const int err = av_read_frame(d_format.get(), d_packet.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) Fail("cannot read", err);
      if (d_packet->stream_index == d_stream) Send(d_packet.get(), out);
      av_packet_unref(d_packet.get());
    }
    Send(nullptr, out);  // drain the pictures the decoder still holds back
    if (out.AskCount() > 0) return;
    std::string text = "no picture could be decoded from '" + d_input + "'";
    if (d_skipped > 0) text += " (" + AvErrorText(d_decodeError) + ")";
    throw std::runtime_error(text);
  }

  // What damage cost a run, for one warning; empty when it cost nothing.
  std::string AskLoss() const {
    if (d_skipped == 0) return "";
    return "skipped " + std::to_string(d_skipped) + (d_skipped == 1 ? " picture" : " pictures") +
           " of '" + d_input + "' that did not decode";
  }

 private:
  [[noreturn]] void Fail(const char* what, int err) const {
    throw std::runtime_error(FailureText(what, d_input, err));
  }

  void Skip(int err) {
    ++d_skipped;
    d_decodeError = err;
  }

  // Every error of the decoder concerns the packet just sent or a picture it held back; either
  // way the packet is gone, so the next one can follow.
  void Send(const AVPacket* pkt, RecordWriter& out) {
    int err = avcodec_send_packet(d_codec.get(), pkt);
    if (err < 0) Skip(err);
    for (;;) {
      err = avcodec_receive_frame(d_codec.get(), d_frame.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      if (err < 0) {
        Skip(err);
        continue;
      }
      out.Write(d_frame.get());
      av_frame_unref(d_frame.get());
    }
  }

  std::string d_input;  // as messages show it
  FormatPtr d_format;
  CodecPtr d_codec;
  PacketPtr d_packet;
  FramePtr d_frame;
  int d_stream = -1;
  int d_skipped = 0;      // pictures that did not decode
  int d_decodeError = 0;  // the last reason
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  try {
    opt = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "mpgfeed: %s (see mpgfeed --help)\n", e.what());
    return 2;
  }
  av_log_set_level(opt.quiet ? AV_LOG_QUIET : AV_LOG_ERROR);
  pixkit::IgnoreWriteSignals();
  try {
    mpgfeed::CheckOutputIsNotInput(opt.output, opt.input);
    Decoder decoder(opt.input);
    RecordWriter out(opt.output, opt.quiet);
    decoder.Run(out);
    out.Finish();
    const std::string loss = decoder.AskLoss();
    if (!loss.empty()) std::fprintf(stderr, "mpgfeed: %s\n", loss.c_str());
  } catch (const mpgfeed::BrokenPipe&) {
    // Whoever read the records has stopped: end quietly, as the write would have ended us.
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mpgfeed: %s\n", e.what());
    return 1;
  }
  return 0;
}
