// mpgfeed's picture side: turns a decoded picture into what a frame record holds, limited-range
// BT.601 4:2:0 standing upright, whatever format, matrix, range and display rotation the source
// has. The record writer of mpgfeed.cpp takes its results.
#ifndef TOOLS_MPGFEED_PICTURE_H
#define TOOLS_MPGFEED_PICTURE_H

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <vector>

namespace mpgfeed {

struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwsFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;

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
SourceColour ColourOf(const AVFrame* f);

// Where the sample of an upright picture at (x, y) comes from in the decoded one: with `swap`,
// source column y and row x; each flip mirrors its source coordinate.
struct Orientation {
  bool swap = false;
  bool flipX = false;
  bool flipY = false;
  bool IsUpright() const { return !swap && !flipX && !flipY; }
};

// The turn that a display matrix (null: none) asks for, as players apply it. Angles that are not
// a multiple of 90 degrees leave the picture as decoded.
Orientation OrientationOf(const int32_t* displayMatrix);

// The fixed-point steps from one matrix and range to limited-range BT.601, in 1/16384 units.
struct ColourSteps {
  int32_t lumaScale = 0;   // times the luma sample, in 1/131072 units
  int32_t lumaOffset = 0;  // in 1/131072 units, rounding included
  int32_t lumaFromU = 0;   // luma's share of the chroma, which comes from the 4:2:0 planes
  int32_t lumaFromV = 0;
  int32_t uFromU = 0, uFromV = 0, vFromU = 0, vFromV = 0;
};
ColourSteps StepsFor(const SourceColour& c);

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
void ConvertChromaRows(const Yuv420Conversion& c, int firstRow, int endRow);

// Rows that the luma's interpolation works in, sized once for the width.
struct LumaRows {
  std::vector<int16_t> vertical;
  std::vector<int16_t> luma;
};

// The luma rows [firstRow, endRow), once the chroma's share of the rows next to them is there.
void ConvertLumaRows(const Yuv420Conversion& c, int firstRow, int endRow, LumaRows& rows);

class BandWorkers;

class PictureConverter {
 public:
  PictureConverter();
  ~PictureConverter();

  // The picture as a record holds it; the frame itself when it is that already. The result
  // stays valid until the next call.
  const AVFrame* Convert(const AVFrame* f, const Orientation& turn);

 private:
  const AVFrame* ToRecordColours(const AVFrame* f);
  const AVFrame* Turn(const AVFrame* f, const Orientation& turn);
  SwsContext* Scaler(const AVFrame* f, const SourceColour& colour);

  FramePtr d_converted;
  FramePtr d_turned;
  SwsPtr d_sws;  // for pictures of the size, format and colours below
  int d_swsWidth = 0;
  int d_swsHeight = 0;
  int d_swsFormat = -1;
  SourceColour d_swsColour;
  int d_bands = 0;
  std::vector<int16_t> d_share;
  std::vector<LumaRows> d_lumaRows;        // one for each band
  std::unique_ptr<BandWorkers> d_workers;  // made for the first picture converted directly
};

}  // namespace mpgfeed

#endif
