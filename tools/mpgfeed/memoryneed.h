// The most memory mpgfeed takes to decode a stream, worked out from what the stream says before
// its first picture: the codec, the size, bit depth and chroma format of its pictures, the
// reference pictures and reordering its parameter sets ask for, the decoder's threads and the
// colour conversion. The program that runs mpgfeed holds that much back for it.
#ifndef TOOLS_MPGFEED_MEMORYNEED_H
#define TOOLS_MPGFEED_MEMORYNEED_H

extern "C" {
#include <libavcodec/codec_par.h>
}

#include <cstddef>
#include <cstdint>

namespace mpgfeed {

// What the parameter sets of an H.264 or HEVC stream keep: pictures held as references, and
// pictures held back for display order (0 where the references include them). Unknown: -1.
struct PictureCounts {
  int references = -1;
  int reordered = -1;
};

// From the stream's codec set-up data, in either of the layouts containers keep it in (the
// sample-entry record or start-code separated units); the first sequence parameter set counts.
PictureCounts H264PictureCounts(const uint8_t* data, size_t size);
PictureCounts HevcPictureCounts(const uint8_t* data, size_t size);

// The peak of the decoding process for the stream on `threads` threads, which decode pictures
// side by side when `frameThreads`, else split single pictures between them.
uint64_t DecodingNeed(const AVCodecParameters* par, int threads, bool frameThreads);

}  // namespace mpgfeed

#endif
