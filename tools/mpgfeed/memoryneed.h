// The most memory mpgfeed takes to decode a stream, worked out from what is known of its
// pictures: the codec, the size, bit depth and chroma format of its pictures, the reference
// pictures and reordering its parameter sets ask for, the decoder's threads, the packets they
// hold and the colour conversion. The container tells some of it before the first picture, the
// packets' own parameter sets and the pictures the rest; the program that runs mpgfeed holds
// that much back for it.
#ifndef TOOLS_MPGFEED_MEMORYNEED_H
#define TOOLS_MPGFEED_MEMORYNEED_H

extern "C" {
#include <libavcodec/codec_par.h>
}

#include <cstddef>
#include <cstdint>

namespace mpgfeed {

// What a sequence parameter set of H.264 or HEVC (or a sequence header of MPEG-1 or MPEG-2)
// says of the pictures: those held as references, those held back for display order (0 where
// the references include them), their coded size, chroma format (0 to 3, as the streams count
// it) and bit depth. Unknown: -1, or 0 for the size.
struct SequenceParameters {
  int references = -1;
  int reordered = -1;
  int width = 0;
  int height = 0;
  int chroma = -1;
  int bitDepth = -1;
};

// From the stream's codec set-up data, in either of the layouts containers keep it in (the
// sample-entry record or start-code separated units); the first sequence parameter set counts.
SequenceParameters H264SequenceParameters(const uint8_t* data, size_t size);
SequenceParameters HevcSequenceParameters(const uint8_t* data, size_t size);

// What the need depends on, as far as it is known so far.
struct StreamShape {
  AVCodecID codec = AV_CODEC_ID_NONE;
  int width = 0;  // unknown while 0
  int height = 0;
  AVPixelFormat format = AV_PIX_FMT_NONE;
  SequenceParameters sequence;  // of H.264 and HEVC
  int delay = 0;                // pictures held back, as probing found them
  bool converted = false;       // the pictures go through the colour conversion
  uint64_t packets = 0;         // the largest packet the need is ready for
  int lengthSize = 0;  // of the units in H.264 and HEVC packets; 0 where start codes part them

  bool IsKnown() const { return width > 0 && height > 0; }
};

// What the container says before the first packet.
StreamShape ShapeOf(const AVCodecParameters* par);

// Takes in the codec's set-up data that the container gives, also anew within the stream.
bool TakeSetUpData(StreamShape& shape, const uint8_t* data, size_t size);

// Takes in the sequence parameter sets (H.264, HEVC) or sequence headers (MPEG-1, MPEG-2) that
// a packet or new set-up data carries ahead of its pictures; true where one was found. Several
// in one packet count with the largest of each of their values.
bool TakeParameterSets(StreamShape& shape, const uint8_t* data, size_t size);

// Makes the shape ready for a packet of `size` bytes, in steps that leave room for packets a
// quarter larger; true where it grew.
bool TakePacket(StreamShape& shape, size_t size);

struct DecodingNeed {
  uint64_t bytes = 0;
  uint64_t fixed = 0;  // of that, what does not grow with the pictures
};

// The peak of the decoding process for the stream on `threads` threads, which decode pictures
// side by side when `frameThreads`, else split single pictures between them.
DecodingNeed NeedOf(const StreamShape& shape, int threads, bool frameThreads);

}  // namespace mpgfeed

#endif
