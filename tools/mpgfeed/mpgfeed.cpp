// mpgfeed: decodes a video file (MPEG-1/2 elementary or program streams and whatever else the
// FFmpeg libraries read) and writes every picture, in display order, as one frame record of the
// stream that pixkit::FileReader_MPEG reads: a 128-byte big-endian header (frame number, width,
// height) followed by the Y, U and V planes of a 4:2:0 picture.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/cpu.h>
#include <libavutil/log.h>
}

#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "libpixkit/fileio/mpeg.h"
#include "libpixkit/utility/error.h"
#include "libpixkit/utility/stopsignals.h"
#include "tools/mpgfeed/allocations.h"
#include "tools/mpgfeed/memoryneed.h"
#include "tools/mpgfeed/picture.h"
#include "tools/mpgfeed/recordfile.h"

namespace {

constexpr int c_HeaderSize = 128;
constexpr int c_MaxRecordSide = 32767;  // width and height are signed 16-bit fields

// The packets kept, until the first picture is written, to start again on one thread when the
// threads run out of memory; more than the threads hold back before a picture comes out. A
// stream that shows no picture for long, or has large packets, is not worth the memory, which
// no need counts.
constexpr size_t c_MaxKeptPackets = 128;
constexpr size_t c_MaxKeptBytes = size_t(32) << 20;

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
    "(.mpg, .vob), or any other video file that the installed FFmpeg libraries decode, also\n"
    "from a pipe. It decodes with a thread per core, at most 16, so the pictures of a damaged\n"
    "file can differ from run to run. Pictures that the decoder refuses as damaged are\n"
    "skipped, with one warning that counts them; running out of memory ends the run like any\n"
    "other failure. A picture that the file says to show turned or mirrored is delivered as\n"
    "shown.\n"
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
    "Where the environment names a pipe or a socket as MPGFEED_NEED_FD, the program that runs\n"
    "mpgfeed hears on it, before the first record, the memory decoding INPUT needs at most and\n"
    "the threads it decodes with, and again before the first record it grows for, as one line\n"
    "each: \"<bytes> <threads> <fixed bytes> <width> <height>\", of which the fixed bytes do not\n"
    "grow with pictures larger than width x height. On a socket mpgfeed waits for one byte in\n"
    "answer to each line before it decodes on, and ends as on a closed output where the\n"
    "socket closes instead. mpgfeed then offers itself first to the system where memory runs\n"
    "out.\n"
    "\n"
    "Exit status: 0 on success, 1 when the input cannot be read, no picture of it decodes or\n"
    "the output cannot be written or is the input, 2 for a wrong command line. A run that fails\n"
    "removes an OUTPUT file that it created, or that was the caller's own with no other name;\n"
    "anything else (a link, a device, a pipe) stays as the writes left it, and the message\n"
    "says when a file is left incomplete.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string AvErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// Owners of the FFmpeg objects. A demuxer given a reader of ours owns it too: it closes first,
// as it may still use the reader, and the reader after it.
struct FormatCloser {
  void operator()(AVFormatContext* c) const {
    AVIOContext* given = (c->flags & AVFMT_FLAG_CUSTOM_IO) ? c->pb : nullptr;
    avformat_close_input(&c);
    avio_closep(&given);
  }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = mpgfeed::FramePtr;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

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

// A regular file takes the last bytes without waiting for anyone to read them.
bool IsRegularFile(const std::string& output) {
  struct stat st;
  const int got = output == "-" ? fstat(STDOUT_FILENO, &st) : stat(output.c_str(), &st);
  return got == 0 && S_ISREG(st.st_mode);
}

// Writes frame records to the output and counts them.
class RecordWriter {
 public:
  RecordWriter(const std::string& name, bool quiet)
      : d_out(name), d_quiet(quiet), d_toFile(IsRegularFile(name)) {}

  int AskCount() const { return d_count; }

  // Takes a limited-range BT.601 4:2:0 picture, upright, as the converter makes it.
  void Write(const AVFrame* f) {
    if (f->width > c_MaxRecordSide || f->height > c_MaxRecordSide)
      throw std::runtime_error("picture of " + std::to_string(f->width) + "x" +
                               std::to_string(f->height) + " is too large for a frame record");
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
    WritePlane(f->data[0], f->linesize[0], f->width, f->height);
    WritePlane(f->data[1], f->linesize[1], cw, ch);
    WritePlane(f->data[2], f->linesize[2], cw, ch);
    ++d_count;
    if (!d_quiet) std::fprintf(stderr, "frame %d\r", d_count);
  }

  // The records are complete. From the keeping of the output on, the stop signals are held by
  // `held`: a stop ends the run before it, leaving no file, or not at all. For a file the hold
  // begins before its last bytes, which wait for no one; a pipe's reader may take its time,
  // open to the stop signals.
  void Finish(std::optional<pixkit::StopSignalsHeld>& held) {
    if (!d_quiet && d_count > 0) std::fputc('\n', stderr);
    if (d_toFile) held.emplace();
    d_out.Finish();
    if (!held) held.emplace();
  }

  // The records so far reach the reader, which may wait for them before it lets us go on.
  void Flush() { d_out.Flush(); }

  std::string Abandon() { return d_out.Abandon(); }

 private:
  void Put(const uint8_t* p, int n) { d_out.Put(p, size_t(n)); }

  void WritePlane(const uint8_t* p, int stride, int w, int h) {
    for (int y = 0; y < h; ++y) Put(p + ptrdiff_t(y) * stride, w);
  }

  mpgfeed::RecordFile d_out;
  bool d_quiet;
  bool d_toFile;
  int d_count = 0;
};

// The program that runs this one, listening on the descriptor that MPGFEED_NEED_FD names for
// the memory the decoding needs. On a socket it answers each need once it holds that much, and
// nothing is decoded under a need before then; a pipe cannot answer.
class NeedListener {
 public:
  NeedListener(int fd, bool answers) : d_fd(fd), d_answers(answers) {}
  ~NeedListener() { close(d_fd); }
  NeedListener(const NeedListener&) = delete;
  NeedListener& operator=(const NeedListener&) = delete;

  bool IsNew(const mpgfeed::DecodingNeed& need) const { return need.bytes > d_told; }

  // Tells a need that is more than told before, and waits for the answer. A listener that has
  // gone takes no more: the run ends as it would on a closed output.
  void Tell(const mpgfeed::DecodingNeed& need, int threads, int width, int height) {
    if (!IsNew(need)) return;
    d_told = need.bytes;
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%llu %d %llu %d %d\n",
                                (unsigned long long)need.bytes, threads,
                                (unsigned long long)need.fixed, width, height);
    ssize_t done;
    do done = d_answers ? send(d_fd, line, size_t(n), MSG_NOSIGNAL) : write(d_fd, line, size_t(n));
    while (done < 0 && errno == EINTR);
    if (!d_answers) return;
    char answer;
    if (done == n) {
      do done = read(d_fd, &answer, 1);
      while (done < 0 && errno == EINTR);
      if (done == 1) return;
    }
    throw mpgfeed::BrokenPipe("the program that runs mpgfeed no longer listens");
  }

 private:
  int d_fd;
  bool d_answers;
  uint64_t d_told = 0;
};

struct IoCloser {
  void operator()(AVIOContext* p) const { avio_closep(&p); }
};
using IoPtr = std::unique_ptr<AVIOContext, IoCloser>;

// The input opened with one demuxer, and the video stream to decode.
struct Container {
  FormatPtr format;  // with the input's own reader when it is read only once
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

// Opens the input with the demuxer given, or with the one that its name and content suggest;
// from the reader given, when there is one.
Container OpenContainer(const std::string& input, const AVInputFormat* demuxer, IoPtr io = {}) {
  Container c;
  const std::string shown = pixkit::ShortNameForMessage(input);
  AVFormatContext* fc = nullptr;
  if (io) {
    fc = avformat_alloc_context();
    if (!fc) throw std::bad_alloc();
    fc->pb = io.get();
  }
  // Frees the context on failure, never the reader given.
  int err = avformat_open_input(&fc, FileUrl(input).c_str(), demuxer, nullptr);
  if (err < 0) {
    c.error = FailureText("cannot open", shown, err);
    return c;
  }
  c.format.reset(fc);
  io.release();
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
  IoPtr owner(io);
  const AVInputFormat* demuxer = nullptr;
  if (av_probe_input_buffer2(io, &demuxer, "", nullptr, 0, 0) < 0) return nullptr;
  return demuxer;
}

// A pipe or device gives its bytes once: its content alone picks the demuxer, probed from the
// reader that then hands the same bytes to it.
Container OpenOnce(const std::string& input) {
  Container c;
  const std::string shown = pixkit::ShortNameForMessage(input);
  AVIOContext* io = nullptr;
  int err = avio_open(&io, FileUrl(input).c_str(), AVIO_FLAG_READ);
  if (err < 0) {
    c.error = FailureText("cannot open", shown, err);
    return c;
  }
  IoPtr owner(io);
  const AVInputFormat* demuxer = nullptr;
  err = av_probe_input_buffer2(io, &demuxer, "", nullptr, 0, 0);
  if (err < 0) {
    c.error = FailureText("cannot read", shown, err);
    return c;
  }
  return OpenContainer(input, demuxer, std::move(owner));
}

// Regular files, and names that are no file at all, which fail as they are.
bool CanBeReopened(const std::string& input) {
  struct stat st;
  return stat(input.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
}

// The codes by which decoders refuse damaged data. They give the same codes when an allocation
// fails: the count of failed allocations tells.
bool IsDamage(int err) {
  return err == AVERROR_INVALIDDATA || err == AVERROR_PATCHWELCOME || err == AVERROR(EINVAL) ||
         err == AVERROR(EPERM);
}

// Memory ran out within the decoder, and nowhere else, before the first picture was written.
struct StartOnOneThread {};

class Decoder {
 public:
  Decoder(const std::string& input, NeedListener* listener)
      : d_input(pixkit::ShortNameForMessage(input)), d_listener(listener) {
    const bool reopens = CanBeReopened(input);
    Container c = reopens ? OpenContainer(input, nullptr) : OpenOnce(input);
    // The name weighs in when the libraries pick the demuxer, and a habitual name (MPEG data
    // in "clip.yuv" or "clip.jpg") can win over the content; then the content alone decides.
    if (reopens && !c.HasPictures()) {
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
    d_codecType = c.codec;

    // Threads on frames and on slices as the codec allows. The pictures of an intact stream are
    // those of one thread; where damage is concealed from other pictures, which ones the
    // threads have at hand can differ from run to run, and so can the pictures. Where the
    // threads cannot be had, as under a lowered address-space limit, one decodes alone.
    // At most a few, so that a machine of many cores does not multiply the decoder's memory:
    // the reader that runs this program budgets for as many.
    const int threads = std::min(av_cpu_count(), pixkit::FileReader_MPEG::c_MaxDecoderThreads);
    int err = OpenCodec(threads);
    d_mayStartAgain = threads > 1;
    if (err == AVERROR(EAGAIN) || err == AVERROR(ENOMEM)) err = OpenOnOneThread();
    if (err < 0) Fail("cannot open the decoder for", err);

    d_packet.reset(av_packet_alloc());
    d_frame.reset(av_frame_alloc());
    if (!d_packet || !d_frame) throw std::bad_alloc();
    size_t size = 0;
    const uint8_t* matrix =
        av_stream_get_side_data(fc->streams[d_stream], AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (matrix && size >= 9 * sizeof(int32_t))
      d_streamTurn = mpgfeed::OrientationOf(reinterpret_cast<const int32_t*>(matrix));
    d_shape = mpgfeed::ShapeOf(fc->streams[d_stream]->codecpar);
  }

  // Decodes the whole input, handing every picture to the writer in display order. Damage
  // costs only the pictures it hits, as long as some picture can be decoded.
  void Run(RecordWriter& out) {
    for (;;) {
      const int err = av_read_frame(d_format.get(), d_packet.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) Fail("cannot read", err);
      if (d_packet->stream_index == d_stream) Feed(d_packet.get(), out);
      av_packet_unref(d_packet.get());
    }
    Feed(nullptr, out);  // drain the pictures the decoder still holds back
    // A decoder may also drop a picture quietly where memory ran out.
    if (mpgfeed::FailedAllocations() > 0) Fail("cannot decode", AVERROR(ENOMEM));
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

  int OpenCodec(int threads) {
    const mpgfeed::DecoderCall call;  // its threads start here
    const AVStream* st = d_format->streams[d_stream];
    d_codec.reset();  // an earlier try's threads and frames go first
    d_codec.reset(avcodec_alloc_context3(d_codecType));
    if (!d_codec) throw std::bad_alloc();
    const int err = avcodec_parameters_to_context(d_codec.get(), st->codecpar);
    if (err < 0) Fail("cannot set up the decoder for", err);
    d_codec->pkt_timebase = st->time_base;
    d_codec->thread_count = threads;
    d_codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // The threads start here, and inherit the signals held: only the main thread takes a stop
    // signal, so that holding them there holds them for the process.
    const pixkit::StopSignalsHeld held;
    return avcodec_open2(d_codec.get(), d_codecType, nullptr);
  }

  // Only the decoder's own failures go with the threads that had them; any other stays, and
  // ends the run.
  int OpenOnOneThread() {
    d_mayStartAgain = false;
    d_codec.reset();
    mpgfeed::ResetDecoderFailedAllocations();
    return OpenCodec(1);
  }

  // Calls into the decoder: what fails to allocate within them is the decoder's.
  int SendPacket(const AVPacket* pkt) {
    const mpgfeed::DecoderCall call;
    return avcodec_send_packet(d_codec.get(), pkt);
  }
  int ReceiveFrame() {
    const mpgfeed::DecoderCall call;
    return avcodec_receive_frame(d_codec.get(), d_frame.get());
  }

  // The need of the pictures of `shape`, which become the stream's where they need more than
  // the listener heard; nothing until they are known. The listener answers between records
  // only: those written so far go first.
  void TellNeed(const mpgfeed::StreamShape& shape, RecordWriter& out) {
    if (!shape.IsKnown()) return;
    const int threads = d_codec->thread_count;
    const mpgfeed::DecodingNeed need =
        mpgfeed::NeedOf(shape, threads, d_codec->active_thread_type & FF_THREAD_FRAME);
    if (!d_listener->IsNew(need)) return;
    d_shape = shape;
    out.Flush();
    d_listener->Tell(need, threads, shape.width, shape.height);
  }

  // Before the decoder sees a packet: the parameter sets it brings and its size.
  void ForeseePacket(const AVPacket& pkt, RecordWriter& out) {
    size_t size = 0;
    const uint8_t* setUp = av_packet_get_side_data(&pkt, AV_PKT_DATA_NEW_EXTRADATA, &size);
    if (setUp) mpgfeed::TakeSetUpData(d_shape, setUp, size);
    mpgfeed::TakeParameterSets(d_shape, pkt.data, size_t(pkt.size));
    mpgfeed::TakePacket(d_shape, size_t(pkt.size));
    TellNeed(d_shape, out);
  }

  // Before a picture is converted and written: where the packets did not tell what it is, the
  // picture itself does, and the first one converted brings the conversion's memory.
  void ForeseePicture(const AVFrame* f, const mpgfeed::Orientation& turn, RecordWriter& out) {
    d_shape.converted = d_shape.converted || mpgfeed::IsConverted(f, turn);
    mpgfeed::StreamShape seen = d_shape;
    seen.width = f->width;
    seen.height = f->height;
    seen.format = AVPixelFormat(f->format);
    TellNeed(seen, out);
  }

  // Sends a packet, none at the end, and writes the pictures it completes. Where the decoder's
  // threads run out of memory before the first picture is written, one thread starts again
  // from the packets kept until then: a pipe cannot be read again.
  void Feed(const AVPacket* pkt, RecordWriter& out) {
    if (pkt && d_listener) ForeseePacket(*pkt, out);
    if (d_mayStartAgain && pkt) {
      d_keptBytes += size_t(pkt->size);
      if (d_kept.size() == c_MaxKeptPackets || d_keptBytes > c_MaxKeptBytes) {
        d_mayStartAgain = false;
        d_kept.clear();
      } else {
        d_kept.emplace_back(av_packet_clone(pkt));
        if (!d_kept.back()) throw std::bad_alloc();
      }
    }
    try {
      Send(pkt, out);
      return;
    } catch (const StartOnOneThread&) {
    }
    const std::vector<PacketPtr> kept = std::move(d_kept);
    d_kept.clear();
    d_skipped = 0;
    const int err = OpenOnOneThread();
    if (err < 0) Fail("cannot open the decoder for", err);
    for (const PacketPtr& p : kept) Send(p.get(), out);
    if (!pkt) Send(nullptr, out);
  }

  // A picture that the decoder refused as damaged is skipped; running out of memory, even where
  // a decoder reports it as damage, and every other failure end the run.
  void Check(int err) {
    if (mpgfeed::FailedAllocations() > 0 || err == AVERROR(ENOMEM)) {
      if (d_mayStartAgain && mpgfeed::FailedAllocationsOutsideTheDecoder() == 0)
        throw StartOnOneThread();
      Fail("cannot decode", AVERROR(ENOMEM));
    }
    if (err >= 0) return;
    if (!IsDamage(err)) Fail("cannot decode", err);
    ++d_skipped;
    d_decodeError = err;
  }

  // Every error of the decoder concerns the packet just sent or a picture it held back, one
  // picture each; either way the packet is gone, so the next one can follow.
  void Send(const AVPacket* pkt, RecordWriter& out) {
    Check(SendPacket(pkt));
    for (;;) {
      const int err = ReceiveFrame();
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      Check(err);
      if (err < 0) continue;
      const mpgfeed::Orientation turn = TurnOf(d_frame.get());
      if (d_listener) ForeseePicture(d_frame.get(), turn, out);
      out.Write(d_converter.Convert(d_frame.get(), turn));
      av_frame_unref(d_frame.get());
      if (d_mayStartAgain) {
        d_mayStartAgain = false;
        d_kept.clear();
      }
    }
  }

  // A picture's own display matrix wins over its stream's.
  mpgfeed::Orientation TurnOf(const AVFrame* f) const {
    const AVFrameSideData* sd = av_frame_get_side_data(f, AV_FRAME_DATA_DISPLAYMATRIX);
    if (!sd || sd->size < 9 * sizeof(int32_t)) return d_streamTurn;
    return mpgfeed::OrientationOf(reinterpret_cast<const int32_t*>(sd->data));
  }

  std::string d_input;  // as messages show it
  NeedListener* d_listener;  // none where nobody listens
  mpgfeed::StreamShape d_shape;  // as far as known
  FormatPtr d_format;
  const AVCodec* d_codecType = nullptr;
  CodecPtr d_codec;
  bool d_mayStartAgain = false;  // on one thread, from the packets kept
  std::vector<PacketPtr> d_kept;
  size_t d_keptBytes = 0;
  PacketPtr d_packet;
  FramePtr d_frame;
  mpgfeed::PictureConverter d_converter;
  mpgfeed::Orientation d_streamTurn;
  int d_stream = -1;
  int d_skipped = 0;      // pictures that did not decode
  int d_decodeError = 0;  // the last reason
};

// The listener of the need, taken out of the environment so that nothing started later writes
// into it; none when there is none. Only a pipe or a socket counts: a number inherited by
// mistake must not name the output or a file.
std::unique_ptr<NeedListener> TakeNeedListener() {
  const char* text = std::getenv("MPGFEED_NEED_FD");
  if (!text) return nullptr;
  char* end = nullptr;
  errno = 0;
  const long fd = std::strtol(text, &end, 10);
  const bool number = errno == 0 && end != text && *end == '\0' && fd > 2 && fd < 1 << 20;
  unsetenv("MPGFEED_NEED_FD");
  struct stat st;
  if (!number || fstat(int(fd), &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) ||
      fcntl(int(fd), F_SETFD, FD_CLOEXEC) != 0)
    return nullptr;
  return std::make_unique<NeedListener>(int(fd), S_ISSOCK(st.st_mode));
}

// Where memory runs out, the system ends the process that offers itself most: the decoder,
// whose failure the program that runs it reports, rather than that program. Raising the score
// needs no privilege; where it cannot be raised, nothing is lost but the preference.
void OfferToEndFirst() {
  const int fd = open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t written = write(fd, "1000", 4);
  (void)written;
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (!pixkit::OpenClosedStandardStreams()) {
    std::fprintf(stderr, "mpgfeed: cannot open /dev/null (%s)\n", std::strerror(errno));
    return 1;
  }
  Options opt;
  try {
    opt = ParseOptions(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "mpgfeed: %s (see mpgfeed --help)\n", e.what());
    return 2;
  }
  const std::unique_ptr<NeedListener> listener = TakeNeedListener();
  if (listener) OfferToEndFirst();
  av_log_set_level(opt.quiet ? AV_LOG_QUIET : AV_LOG_ERROR);
  pixkit::IgnoreWriteSignals();
  // Each decoder thread would reserve an allocation arena of its own, 64 MiB of address space
  // that a lowered limit would miss; one arena is as fast here.
  mallopt(M_ARENA_MAX, 1);
  // Held from the keeping of the output to the exit, and never given back: a stop signal that
  // came meanwhile would end a run that has kept its file, and a caller would take the file for
  // what a stopped run left.
  std::optional<pixkit::StopSignalsHeld> kept;
  try {
    mpgfeed::CheckOutputIsNotInput(opt.output, opt.input);
    Decoder decoder(opt.input, listener.get());
    RecordWriter out(opt.output, opt.quiet);
    std::string loss;
    try {
      decoder.Run(out);
      loss = decoder.AskLoss();  // nothing that can fail comes after the file is kept
      out.Finish(kept);
    } catch (const mpgfeed::BrokenPipe&) {
      throw;
    } catch (const std::exception& e) {
      // An output that is not the run's to remove keeps what was written: the message says so.
      const bool memory = dynamic_cast<const std::bad_alloc*>(&e);
      throw std::runtime_error((memory ? "out of memory" : e.what()) + out.Abandon());
    }
    if (!loss.empty()) std::fprintf(stderr, "mpgfeed: %s\n", loss.c_str());
  } catch (const mpgfeed::BrokenPipe&) {
    // Whoever read the records has stopped: end quietly, as the write would have ended us.
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "mpgfeed: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mpgfeed: %s\n", e.what());
    return 1;
  }
  std::exit(0);  // with the stop signals still held
}
