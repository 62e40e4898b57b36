#include "tools/mpgfeed/memoryneed.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <vector>

namespace mpgfeed {

namespace {

// ---- Parameter sets ----

// Reads the bits of a unit with its emulation-prevention bytes taken out. Reads beyond the end
// give zeros and mark the reader, so that a cut unit tells nothing.
class BitReader {
 public:
  BitReader(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (i >= 2 && p[i] == 3 && p[i - 1] == 0 && p[i - 2] == 0 && d_zeros >= 2) {
        d_zeros = 0;
        continue;
      }
      d_zeros = p[i] == 0 ? d_zeros + 1 : 0;
      d_bytes.push_back(p[i]);
    }
  }

  bool Failed() const { return d_failed; }

  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 1 | Bit();
    return v;
  }
  bool Flag() { return Bit() != 0; }
  void Skip(int n) {
    for (int i = 0; i < n; ++i) Bit();
  }

  // Exp-Golomb codes; more than 31 leading zeros is no valid code.
  uint32_t Ue() {
    int zeros = 0;
    while (!Bit()) {
      if (d_failed || ++zeros > 31) {
        d_failed = true;
        return 0;
      }
    }
    return ((uint32_t(1) << zeros) - 1) + Bits(zeros);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
  }

 private:
  unsigned Bit() {
    if (d_pos >= d_bytes.size() * 8) {
      d_failed = true;
      return 0;
    }
    const unsigned b = d_bytes[d_pos / 8] >> (7 - d_pos % 8) & 1;
    ++d_pos;
    return b;
  }

  std::vector<uint8_t> d_bytes;
  size_t d_pos = 0;
  int d_zeros = 0;
  bool d_failed = false;
};

struct Unit {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

uint32_t Be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

// Takes `count` units at pos, each behind its 16-bit length; false where the data ends first.
bool TakeUnits(const uint8_t* p, size_t n, size_t& pos, size_t count, std::vector<Unit>& units) {
  for (size_t i = 0; i < count; ++i) {
    if (pos + 2 > n) return false;
    const size_t len = Be16(p + pos);
    pos += 2;
    if (len > n - pos) return false;
    units.push_back({p + pos, len});
    pos += len;
  }
  return true;
}

// The units of H.264's sample-entry record: a header, then counted sequence and picture
// parameter sets.
std::vector<Unit> H264RecordUnits(const uint8_t* p, size_t n) {
  std::vector<Unit> units;
  size_t pos = 6;
  if (n < pos || !TakeUnits(p, n, pos, p[5] & 0x1f, units) || pos == n) return units;
  const size_t pictureSets = p[pos++];
  TakeUnits(p, n, pos, pictureSets, units);
  return units;
}

// The units of HEVC's sample-entry record: 22 bytes of header, then arrays of units.
std::vector<Unit> HevcRecordUnits(const uint8_t* p, size_t n) {
  std::vector<Unit> units;
  if (n < 23) return units;
  size_t pos = 23;
  for (int a = 0; a < p[22] && pos + 3 <= n; ++a) {
    const size_t count = Be16(p + pos + 1);
    pos += 3;
    if (!TakeUnits(p, n, pos, count, units)) break;
  }
  return units;
}

bool IsStartCoded(const uint8_t* p, size_t n) {
  return n >= 3 && p[0] == 0 && p[1] == 0 && (p[2] == 1 || (n >= 4 && p[2] == 0 && p[3] == 1));
}

// Set-up data in the layout of the sample-entry records, rather than start-code separated.
bool IsRecord(const uint8_t* p, size_t n) { return n > 0 && p[0] == 1 && !IsStartCoded(p, n); }

void SkipScalingList(BitReader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size && !r.Failed(); ++j) {
    if (next != 0) next = (last + r.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

void SkipHrd(BitReader& r) {
  const uint32_t count = r.Ue() + 1;
  r.Skip(8);
  for (uint32_t i = 0; i < count && i < 32 && !r.Failed(); ++i) {
    r.Ue();
    r.Ue();
    r.Skip(1);
  }
  r.Skip(20);
}

// The largest size a frame record can carry, in each direction; anything larger is no size.
constexpr uint32_t c_MaxSide = 32768;

// One sequence parameter set, the one-byte unit header included.
SequenceParameters H264Sps(const Unit& u) {
  SequenceParameters c;
  BitReader r(u.data, u.size);
  r.Skip(8);
  const uint32_t profile = r.Bits(8);
  r.Skip(16);
  r.Ue();
  static const uint32_t c_HighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                            118, 128, 138, 139, 134, 135};
  uint32_t chroma = 1, depth = 8;
  if (std::find(std::begin(c_HighProfiles), std::end(c_HighProfiles), profile) !=
      std::end(c_HighProfiles)) {
    chroma = r.Ue();
    if (chroma == 3) r.Skip(1);
    const uint32_t luma = r.Ue() + 8;
    depth = std::max(luma, r.Ue() + 8);
    r.Skip(1);
    if (r.Flag())
      for (int i = 0; i < (chroma == 3 ? 12 : 8) && !r.Failed(); ++i)
        if (r.Flag()) SkipScalingList(r, i < 6 ? 16 : 64);
  }
  r.Ue();
  const uint32_t pocType = r.Ue();
  if (pocType == 0) {
    r.Ue();
  } else if (pocType == 1) {
    r.Skip(1);
    r.Se();
    r.Se();
    const uint32_t cycle = r.Ue();
    for (uint32_t i = 0; i < cycle && i < 256 && !r.Failed(); ++i) r.Se();
  }
  const uint32_t refs = r.Ue();
  if (r.Failed() || refs > 16) return c;
  c.references = int(refs);

  r.Skip(1);
  const uint64_t width = (uint64_t(r.Ue()) + 1) * 16;
  const uint64_t mapUnits = uint64_t(r.Ue()) + 1;
  const bool frames = r.Flag();  // else fields or frames of two fields
  const uint64_t height = mapUnits * (frames ? 16 : 32);
  if (!r.Failed() && chroma <= 3 && depth <= 14 && width <= c_MaxSide && height <= c_MaxSide) {
    c.width = int(width);
    c.height = int(height);
    c.chroma = int(chroma);
    c.bitDepth = int(depth);
  }
  if (!frames) r.Skip(1);
  r.Skip(1);
  if (r.Flag())
    for (int i = 0; i < 4; ++i) r.Ue();

  // Reordering is signalled in the usability data, where it is signalled at all.
  if (!r.Flag()) return c;
  if (r.Flag() && r.Bits(8) == 255) r.Skip(32);
  if (r.Flag()) r.Skip(1);
  if (r.Flag()) {
    r.Skip(4);
    if (r.Flag()) r.Skip(24);
  }
  if (r.Flag()) {
    r.Ue();
    r.Ue();
  }
  if (r.Flag()) r.Skip(65);
  const bool nalHrd = r.Flag();
  if (nalHrd) SkipHrd(r);
  const bool vclHrd = r.Flag();
  if (vclHrd) SkipHrd(r);
  if (nalHrd || vclHrd) r.Skip(1);
  r.Skip(1);
  if (!r.Flag()) return c;
  r.Skip(1);
  for (int i = 0; i < 4; ++i) r.Ue();
  const uint32_t reordered = r.Ue();
  r.Ue();
  if (!r.Failed() && reordered <= 16) c.reordered = int(reordered);
  return c;
}

// One HEVC sequence parameter set, the two-byte unit header included: the decoded-picture
// buffer of its highest sub-layer holds references and reordered pictures.
SequenceParameters HevcSps(const Unit& u) {
  SequenceParameters c;
  BitReader r(u.data, u.size);
  r.Skip(16 + 4);
  const uint32_t subLayers = r.Bits(3);
  r.Skip(1);
  r.Skip(96);  // general profile, tier and level
  bool profile[8] = {}, level[8] = {};
  for (uint32_t i = 0; i < subLayers; ++i) {
    profile[i] = r.Flag();
    level[i] = r.Flag();
  }
  if (subLayers > 0) r.Skip(2 * int(8 - subLayers));
  for (uint32_t i = 0; i < subLayers; ++i) {
    if (profile[i]) r.Skip(88);
    if (level[i]) r.Skip(8);
  }
  r.Ue();
  const uint32_t chroma = r.Ue();
  if (chroma == 3) r.Skip(1);
  const uint32_t width = r.Ue();
  const uint32_t height = r.Ue();
  if (r.Flag())
    for (int i = 0; i < 4; ++i) r.Ue();
  const uint32_t luma = r.Ue() + 8;
  const uint32_t depth = std::max(luma, r.Ue() + 8);
  r.Ue();
  const bool everyLayer = r.Flag();
  uint32_t buffered = 0;
  for (uint32_t i = everyLayer ? 0 : subLayers; i <= subLayers; ++i) {
    buffered = r.Ue() + 1;
    r.Ue();
    r.Ue();
  }
  if (r.Failed() || buffered > 16) return c;
  c.references = int(buffered);
  c.reordered = 0;
  if (chroma <= 3 && depth <= 16 && width > 0 && height > 0 && width <= c_MaxSide &&
      height <= c_MaxSide) {
    c.width = int(width);
    c.height = int(height);
    c.chroma = int(chroma);
    c.bitDepth = int(depth);
  }
  return c;
}

// A sequence header of MPEG-1 or MPEG-2, after its start code, and the sequence extension that
// may follow it: both within a few bytes.
// A size of 0 in the header's 12 bits is a multiple of 4096 that only the extension tells.
SequenceParameters MpegSequenceHeader(const uint8_t* p, size_t n) {
  SequenceParameters c;
  if (n < 3) return c;
  c.width = p[0] << 4 | p[1] >> 4;
  c.height = (p[1] & 15) << 8 | p[2];
  c.chroma = 1;
  c.bitDepth = 8;
  return c;
}

void TakeMpegSequenceExtension(SequenceParameters& c, const uint8_t* p, size_t n) {
  if (n < 3 || p[0] >> 4 != 1 || c.chroma < 0) return;
  c.chroma = std::max((p[1] >> 1) & 3, 1);
  c.width |= ((p[1] & 1) << 1 | p[2] >> 7) << 12;
  c.height |= (p[2] >> 5 & 3) << 12;
}

bool IsH264Sps(const Unit& u) { return u.size >= 2 && (u.data[0] & 0x1f) == 7; }
bool IsHevcSps(const Unit& u) { return u.size >= 2 && (u.data[0] >> 1 & 0x3f) == 33; }

// The larger of each value; a value one of them does not know stays unknown only where neither
// knows it.
void TakeLarger(SequenceParameters& into, const SequenceParameters& c) {
  into.references = std::max(into.references, c.references);
  into.reordered = std::max(into.reordered, c.reordered);
  into.width = std::max(into.width, c.width);
  into.height = std::max(into.height, c.height);
  into.chroma = std::max(into.chroma, c.chroma);
  into.bitDepth = std::max(into.bitDepth, c.bitDepth);
}

size_t NextStartCode(const uint8_t* p, size_t n, size_t from) {
  for (size_t i = from; i + 2 < n; ++i)
    if (p[i + 2] <= 1 && p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) return i;
  return n;
}

// Calls f for each unit, each behind its length of `lengthSize` bytes or, where that is 0,
// separated by start codes, until f returns false.
template <typename F>
void ForEachUnit(const uint8_t* p, size_t n, int lengthSize, F f) {
  if (lengthSize > 0) {
    for (size_t pos = 0; pos + size_t(lengthSize) <= n;) {
      size_t len = 0;
      for (int i = 0; i < lengthSize; ++i) len = len << 8 | p[pos++];
      if (len == 0 || len > n - pos || !f(Unit{p + pos, len})) return;
      pos += len;
    }
    return;
  }
  for (size_t start = NextStartCode(p, n, 0); start < n;) {
    const size_t at = start + 3;
    start = NextStartCode(p, n, at);
    size_t end = start;
    while (end > at && p[end - 1] == 0) --end;
    if (end > at && !f(Unit{p + at, end - at})) return;
  }
}

template <typename IsSps, typename Parse>
SequenceParameters FirstSps(const uint8_t* data, size_t size,
                            std::vector<Unit> (*recordUnits)(const uint8_t*, size_t),
                            IsSps isSps, Parse parse) {
  SequenceParameters c;
  const auto take = [&](const Unit& u) {
    if (!isSps(u)) return true;
    c = parse(u);
    return false;
  };
  if (!IsRecord(data, size)) {
    ForEachUnit(data, size, 0, take);
  } else {
    for (const Unit& u : recordUnits(data, size))
      if (!take(u)) break;
  }
  return c;
}

AVPixelFormat FormatOf(int chroma, int bitDepth) {
  const bool deep = bitDepth > 8;
  switch (chroma) {
    case 2: return deep ? AV_PIX_FMT_YUV422P16 : AV_PIX_FMT_YUV422P;
    case 3: return deep ? AV_PIX_FMT_YUV444P16 : AV_PIX_FMT_YUV444P;
    default: return deep ? AV_PIX_FMT_YUV420P16 : AV_PIX_FMT_YUV420P;
  }
}

// The pictures that parameter sets describe become those of the stream.
bool Apply(StreamShape& shape, const SequenceParameters& c) {
  if (c.references < 0 && c.width == 0) return false;
  shape.sequence = c;
  if (c.width > 0 && c.height > 0) {
    shape.width = c.width;
    shape.height = c.height;
    if (c.chroma >= 0 && c.bitDepth >= 0) shape.format = FormatOf(c.chroma, c.bitDepth);
  }
  return true;
}

// ---- The need ----

constexpr double c_MB = 1 << 20;
constexpr int c_FullBuffer = 16;  // the most pictures a decoded-picture buffer holds

// Where a family's decoder takes the pictures it keeps for the stream from.
enum class Counts { None, H264, Hevc };

// One codec family's decoder. Its pictures are counted in the stream's own format and size,
// each with its share of motion tables (bytes per pixel); besides those the stream keeps, it
// holds `pictures` (in work, on their way out, spare in the pools; the references of a family
// whose streams do not say them) and `perFrameThread` for each thread that decodes pictures of
// its own, or the one that decodes alone. Its threads also have tables of their own, partly as
// wide as the pictures. Packets are held by the demuxer and the program, and by each thread
// that decodes pictures of its own, with a copy of their data freed of escapes.
struct Family {
  AVCodecID codec;
  Counts counts;
  double pictures;
  double perFrameThread;
  double tablesPerPixel;
  double mb;
  double mbPerThread;
  double bytesPerThreadColumn;
  double packets;
  double packetsPerFrameThread;
};

// Fitted with bench/decoder-memory.sh to the peaks of mpgfeed alone, page cache left out, at
// 64x64 to 4096x2160 on 1, 8 and 16 threads (2 and 4 too for the streams last added), most of
// them BT.709-tagged so that the colour conversion runs: at least 1.05 times every peak (10-bit,
// 4:2:2, 4:4:4, 16 references, B-pyramids, lossless 4:4:4 packets of 5 to 20 MB, noisy MPEG-1 at
// 50 Mb/s, interlaced MPEG-4 and 64x64 pictures on 16 threads included), and for streams as
// their encoders make them by default at most 1.84 times it. For example, MiB of peak / claim at
// 1080p on 8 threads (bench/DECODER-MEMORY.md has them all):
//   MPEG-1 20 / 24, noisy 28 / 29, MPEG-2 25 / 38, untagged 21 / 30, 4:2:2 37 / 42,
//   MPEG-4 60 / 74, interlaced 65 / 74, MJPEG 13 / 16, VP9 52 / 62, H.264 83 / 108,
//   16 references 10-bit 4:4:4 359 / 410, lossless 4:4:4 221 / 251, HEVC 95 / 121.
const Family c_Families[] = {
    // codec                   counts         pics  perFT  tables  MB   MB/th  B/th/column pkts pkts/FT
    {AV_CODEC_ID_MPEG1VIDEO,   Counts::None,  3.4,  0,     0,      5.6, 0.27,  384,        2.7, 0},
    {AV_CODEC_ID_MPEG2VIDEO,   Counts::None,  4.5,  0,     0,      8.1, 0,     576,        1,   0},
    {AV_CODEC_ID_MPEG4,        Counts::None,  2.6,  1.9,   0,      6.2, 0.12,  576,        4,   3},
    {AV_CODEC_ID_MJPEG,        Counts::None,  0.5,  0,     0,      6.9, 0,     0,          2.1, 0},
    {AV_CODEC_ID_VP9,          Counts::None,  4.8,  1.3,   0,      4.8, 0.4,   0,          3.5, 1.1},
    {AV_CODEC_ID_H264,         Counts::H264,  0.26, 1.2,   0.7,    6.1, 0.8,   1152,       3.9, 2.3},
    {AV_CODEC_ID_HEVC,         Counts::Hevc,  2.1,  1.7,   0.4,    7.4, 0.86,  1408,       4,   0},
};

// The pictures an H.264 or HEVC stream keeps: its references and those it holds back for
// display order. Where the stream does not say them, a full buffer of each.
int KeptPictures(const Family& f, const StreamShape& shape) {
  const SequenceParameters& c = shape.sequence;
  if (f.counts == Counts::H264) {
    if (c.references < 0) return 2 * c_FullBuffer;
    const int reordered = c.reordered < 0 ? c_FullBuffer : std::max(c.reordered, shape.delay);
    return c.references + reordered;
  }
  if (f.counts == Counts::Hevc) return c.references < 0 ? c_FullBuffer : c.references;
  return 0;
}

DecodingNeed FamilyNeed(const Family& f, const StreamShape& shape, int kept, int threads,
                        int frameThreads) {
  const int w = (std::max(shape.width, 1) + 15) / 16 * 16;
  const int h = (std::max(shape.height, 1) + 15) / 16 * 16;
  const double area = double(w) * double(h);
  // Of an unknown format, four full planes of 16 bits.
  const int bytes = av_image_get_buffer_size(shape.format, w, h, 1);
  const double picture = (bytes > 0 ? double(bytes) : area * 8) + f.tablesPerPixel * area;
  // The colour conversion into a record's 8-bit 4:2:0.
  const double conversion = shape.converted ? area * 1.5 * 2.5 : 0;
  const double packets =
      double(shape.packets) * (f.packets + f.packetsPerFrameThread * frameThreads);
  const double fixed = (f.mb + f.mbPerThread * threads) * c_MB;
  DecodingNeed need;
  need.fixed = uint64_t(fixed);
  need.bytes = uint64_t(picture * (kept + f.pictures + f.perFrameThread * frameThreads) +
                        conversion + packets + fixed + f.bytesPerThreadColumn * w * threads);
  return need;
}

bool IsH264Picture(const Unit& u) {
  const int type = u.data[0] & 0x1f;
  return type >= 1 && type <= 5;
}
bool IsHevcPicture(const Unit& u) { return (u.data[0] >> 1 & 0x3f) < 32; }

}  // namespace

SequenceParameters H264SequenceParameters(const uint8_t* data, size_t size) {
  if (!data) return {};
  return FirstSps(data, size, H264RecordUnits, IsH264Sps, H264Sps);
}

SequenceParameters HevcSequenceParameters(const uint8_t* data, size_t size) {
  if (!data) return {};
  return FirstSps(data, size, HevcRecordUnits, IsHevcSps, HevcSps);
}

StreamShape ShapeOf(const AVCodecParameters* par) {
  StreamShape shape;
  shape.codec = par->codec_id;
  shape.width = std::max(par->width, 0);
  shape.height = std::max(par->height, 0);
  shape.format = AVPixelFormat(par->format);
  shape.delay = par->video_delay;
  TakeSetUpData(shape, par->extradata, size_t(std::max(par->extradata_size, 0)));
  return shape;
}

bool TakeSetUpData(StreamShape& shape, const uint8_t* data, size_t size) {
  if (!data || size == 0) return false;
  const bool record = IsRecord(data, size);
  if (shape.codec == AV_CODEC_ID_H264) {
    if (record && size > 4) shape.lengthSize = (data[4] & 3) + 1;
    return Apply(shape, H264SequenceParameters(data, size));
  }
  if (shape.codec == AV_CODEC_ID_HEVC) {
    if (record && size > 21) shape.lengthSize = (data[21] & 3) + 1;
    return Apply(shape, HevcSequenceParameters(data, size));
  }
  return TakeParameterSets(shape, data, size);
}

bool TakeParameterSets(StreamShape& shape, const uint8_t* data, size_t size) {
  if (!data) return false;
  SequenceParameters c;
  bool found = false;
  const auto take = [&](const SequenceParameters& one) {
    if (!found) c = one;
    TakeLarger(c, one);
    found = true;
  };
  switch (shape.codec) {
    // The parameter sets of a picture come before its first unit of picture data.
    case AV_CODEC_ID_H264:
      ForEachUnit(data, size, shape.lengthSize, [&](const Unit& u) {
        if (IsH264Sps(u)) take(H264Sps(u));
        return !IsH264Picture(u);
      });
      break;
    case AV_CODEC_ID_HEVC:
      ForEachUnit(data, size, shape.lengthSize, [&](const Unit& u) {
        if (IsHevcSps(u)) take(HevcSps(u));
        return !IsHevcPicture(u);
      });
      break;
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_MPEG2VIDEO: {
      // Headers come before the first picture's.
      SequenceParameters header;
      const auto takeHeader = [&] {
        if (header.width > 0 && header.height > 0) take(header);
      };
      for (size_t at = NextStartCode(data, size, 0); at < size;) {
        const size_t body = at + 4;
        if (body > size) break;
        const uint8_t code = data[at + 3];
        if (code == 0x00) break;
        at = NextStartCode(data, size, body);
        if (code == 0xb3) {
          takeHeader();
          header = MpegSequenceHeader(data + body, at - body);
        } else if (code == 0xb5) {
          TakeMpegSequenceExtension(header, data + body, at - body);
        }
      }
      takeHeader();
      break;
    }
    default:
      break;
  }
  return found && Apply(shape, c);
}

bool TakePacket(StreamShape& shape, size_t size) {
  if (size <= shape.packets) return false;
  constexpr uint64_t c_Step = 64 * 1024;
  shape.packets = (uint64_t(size) + size / 4 + c_Step - 1) / c_Step * c_Step;
  return true;
}

DecodingNeed NeedOf(const StreamShape& shape, int threads, bool frameThreads) {
  threads = std::max(threads, 1);
  for (const Family& f : c_Families) {
    if (f.codec == shape.codec)
      return FamilyNeed(f, shape, KeptPictures(f, shape), threads, frameThreads ? threads : 1);
  }
  // A codec of no family known here takes what the most demanding of them would, with a full
  // buffer of references and every thread decoding pictures of its own.
  DecodingNeed most;
  for (const Family& f : c_Families) {
    const int kept = f.counts == Counts::None ? 0 : c_FullBuffer;
    const DecodingNeed need = FamilyNeed(f, shape, kept, threads, threads);
    if (need.bytes > most.bytes) most = need;
  }
  return most;
}

}  // namespace mpgfeed
