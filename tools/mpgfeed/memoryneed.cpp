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

// The units of start-code separated data.
std::vector<Unit> StartCodeUnits(const uint8_t* p, size_t n) {
  std::vector<Unit> units;
  size_t start = SIZE_MAX;
  for (size_t i = 0; i + 2 < n; ++i) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    if (start != SIZE_MAX) {
      size_t end = i;
      while (end > start && p[end - 1] == 0) --end;
      units.push_back({p + start, end - start});
    }
    start = i + 3;
    i += 2;
  }
  if (start != SIZE_MAX && start < n) units.push_back({p + start, n - start});
  return units;
}

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

// The counts of one sequence parameter set, the one-byte unit header included.
PictureCounts H264Sps(const Unit& u) {
  PictureCounts c;
  BitReader r(u.data, u.size);
  r.Skip(8);
  const uint32_t profile = r.Bits(8);
  r.Skip(16);
  r.Ue();
  static const uint32_t c_HighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                            118, 128, 138, 139, 134, 135};
  if (std::find(std::begin(c_HighProfiles), std::end(c_HighProfiles), profile) !=
      std::end(c_HighProfiles)) {
    const uint32_t chroma = r.Ue();
    if (chroma == 3) r.Skip(1);
    r.Ue();
    r.Ue();
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

  // Reordering is signalled in the usability data, where it is signalled at all.
  r.Skip(1);
  r.Ue();
  r.Ue();
  if (!r.Flag()) r.Skip(1);
  r.Skip(1);
  if (r.Flag())
    for (int i = 0; i < 4; ++i) r.Ue();
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

// The counts of one HEVC sequence parameter set, the two-byte unit header included: the
// decoded-picture buffer of its highest sub-layer holds references and reordered pictures.
PictureCounts HevcSps(const Unit& u) {
  PictureCounts c;
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
  if (r.Ue() == 3) r.Skip(1);
  r.Ue();
  r.Ue();
  if (r.Flag())
    for (int i = 0; i < 4; ++i) r.Ue();
  r.Ue();
  r.Ue();
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
  return c;
}

template <typename Parse>
PictureCounts FirstSps(const std::vector<Unit>& units, int type, Parse parse, bool hevc) {
  for (const Unit& u : units) {
    if (u.size < 2) continue;
    const int unitType = hevc ? (u.data[0] >> 1) & 0x3f : u.data[0] & 0x1f;
    if (unitType == type) return parse(u);
  }
  return {};
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
// wide as the pictures.
struct Family {
  AVCodecID codec;
  Counts counts;
  double pictures;
  double perFrameThread;
  double tablesPerPixel;
  double mb;
  double mbPerThread;
  double bytesPerThreadColumn;
};

// Fitted with bench/decoder-memory.sh to the peaks of mpgfeed alone, page cache left out, at
// 480p to 2160p on 1, 8 and 16 threads, BT.709-tagged so that the colour conversion runs: at
// least 1.15 times every peak (10-bit, 4:2:2, 4:4:4, 16 references and B-pyramids included), and
// for streams as their encoders make them by default at most 1.9 times it. For example, MiB of
// peak / claim at 1080p on 8 threads (bench/DECODER-MEMORY.md has them all):
//   MPEG-1 20 / 24, MPEG-2 25 / 41, MPEG-2 4:2:2 37 / 46, MPEG-4 60 / 77, MJPEG 13 / 17,
//   VP9 52 / 65, H.264 83 / 113, H.264 16 references 10-bit 4:4:4 359 / 436, HEVC 95 / 123.
const Family c_Families[] = {
    // codec                   counts         pics  perFT  tables  MB   MB/th  B/th/column
    {AV_CODEC_ID_MPEG1VIDEO,   Counts::None,  0.75, 0,     0,      8,   0.25,  256},
    {AV_CODEC_ID_MPEG2VIDEO,   Counts::None,  4.75, 0,     0,      8,   0.5,   512},
    {AV_CODEC_ID_MPEG4,        Counts::None,  0.25, 2.1,   0,      7,   0,     768},
    {AV_CODEC_ID_MJPEG,        Counts::None,  0.6,  0,     0,      7.5, 0,     0},
    {AV_CODEC_ID_VP9,          Counts::None,  4.25, 1.4,   0,      7,   0.5,   0},
    {AV_CODEC_ID_H264,         Counts::H264,  0.25, 1.5,   0.7,    9,   2,     0},
    {AV_CODEC_ID_HEVC,         Counts::Hevc,  2.5,  2.1,   0.4,    7,   0.25,  1024},
};

// The pictures an H.264 or HEVC stream keeps: its references and those it holds back for
// display order. Where the stream does not say them, a full buffer of each.
int KeptPictures(const Family& f, const AVCodecParameters* par) {
  const size_t size = size_t(std::max(par->extradata_size, 0));
  if (f.counts == Counts::H264) {
    const PictureCounts c = H264PictureCounts(par->extradata, size);
    if (c.references < 0) return 2 * c_FullBuffer;
    const int reordered = c.reordered < 0 ? c_FullBuffer : std::max(c.reordered, par->video_delay);
    return c.references + reordered;
  }
  if (f.counts == Counts::Hevc) {
    const PictureCounts c = HevcPictureCounts(par->extradata, size);
    return c.references < 0 ? c_FullBuffer : c.references;
  }
  return 0;
}

double FamilyNeed(const Family& f, const AVCodecParameters* par, int kept, int threads,
                  int frameThreads) {
  const int w = (std::max(par->width, 1) + 15) / 16 * 16;
  const int h = (std::max(par->height, 1) + 15) / 16 * 16;
  const double area = double(w) * double(h);
  // Of an unknown format, four full planes of 16 bits.
  const int bytes = av_image_get_buffer_size(AVPixelFormat(par->format), w, h, 1);
  const double picture = (bytes > 0 ? double(bytes) : area * 8) + f.tablesPerPixel * area;
  // The colour conversion into a record's 8-bit 4:2:0.
  const double conversion = area * 1.5 * 2.5;
  return picture * (kept + f.pictures + f.perFrameThread * frameThreads) + conversion +
         (f.mb + f.mbPerThread * threads) * c_MB + f.bytesPerThreadColumn * w * threads;
}

}  // namespace

PictureCounts H264PictureCounts(const uint8_t* data, size_t size) {
  if (!data) return {};
  const bool record = size > 0 && data[0] == 1 && !IsStartCoded(data, size);
  return FirstSps(record ? H264RecordUnits(data, size) : StartCodeUnits(data, size), 7, H264Sps,
                  false);
}

PictureCounts HevcPictureCounts(const uint8_t* data, size_t size) {
  if (!data) return {};
  const bool record = size > 0 && data[0] == 1 && !IsStartCoded(data, size);
  return FirstSps(record ? HevcRecordUnits(data, size) : StartCodeUnits(data, size), 33, HevcSps,
                  true);
}

uint64_t DecodingNeed(const AVCodecParameters* par, int threads, bool frameThreads) {
  threads = std::max(threads, 1);
  for (const Family& f : c_Families) {
    if (f.codec == par->codec_id) {
      const int kept = KeptPictures(f, par);
      return uint64_t(FamilyNeed(f, par, kept, threads, frameThreads ? threads : 1));
    }
  }
  // A codec of no family known here takes what the most demanding of them would, with a full
  // buffer of references and every thread decoding pictures of its own.
  double most = 0;
  for (const Family& f : c_Families) {
    const int kept = f.counts == Counts::None ? 0 : c_FullBuffer;
    most = std::max(most, FamilyNeed(f, par, kept, threads, threads));
  }
  return uint64_t(most);
}

}  // namespace mpgfeed
