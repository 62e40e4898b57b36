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

// Whether PictureConverter::Convert makes a picture of its own for f, rather than handing f on.
bool IsConverted(const AVFrame* f, const Orientation& turn);

// Of the direct 4:2:0 conversion, which picture.cpp keeps to itself.
struct LumaRows;
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
  void Scale(const AVFrame* f, const SourceColour& colour, AVFrame* out);
  void SetUpScaler(const AVFrame* f, const SourceColour& colour);

  FramePtr d_converted;
  FramePtr d_turned;
  SwsPtr d_sws;  // for pictures of the size, format and colours below
  SwsPtr d_swsFromRgb;  // for another matrix, d_sws converts to d_rgb and this from there
  FramePtr d_rgb;
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
