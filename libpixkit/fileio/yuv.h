// Raw YUV frame files (no header, plane after plane) with an optional file of alpha planes:
// the reader the driver takes its input from, and the writer of the same format.
// Both work on streams the caller opens, owns and closes.
#ifndef PIXKIT_FILEIO_YUV_H
#define PIXKIT_FILEIO_YUV_H

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "libpixkit/graphics/datatypes/image.h"

namespace pixkit {

// Bytes of one frame by the format's size table (exact for even widths and heights).
int YUVFileFrameSize(const ImageParam& param);

class FileReader_YUV1 {
 public:
  FileReader_YUV1() = default;
  FileReader_YUV1(const FileReader_YUV1&) = delete;
  FileReader_YUV1& operator=(const FileReader_YUV1&) = delete;

  void SetYUVStream(std::istream& is);
  void SetAlphaStream(std::istream& is);
  void SetImageParam(const ImageParam& param);
  void SetInterleavedUV(bool on) { d_interleaved_uv = on; }
  void SetGreyscaleInput(bool on);

  void Init();
  int AskNFrames();
  bool IsEOF();
  void SkipToImage(int n);
  // False, with img released, when no whole frame is left; IsEOF is true from then on.
  bool ReadImage(Image<Pixel>& img);

 private:
  int FrameLimit() const;  // the number of frames that ends reading
  bool ReadFrame(Image<Pixel>& img);
  void ReadChroma(Image<Pixel>& img);
  void AlphaEnded();
  void SkipForward(int n);

  std::istream* d_yuvstr = nullptr;
  std::istream* d_alphastr = nullptr;
  ImageParam d_param;
  bool d_interleaved_uv = false;
  bool d_greyscale_input = false;
  int d_nframes = 0;
  int64_t d_framesize = 0;  // bytes a frame really occupies, also for odd sizes
  int d_nextframe = 0;
  bool d_initialized = false;

  // A stream that cannot be measured is read one frame ahead, so that IsEOF knows whether a
  // whole frame follows before the driver asks for it.
  bool d_yuv_streamed = false;
  bool d_alpha_streamed = false;
  bool d_preloaded = false;
  bool d_ended = false;  // a read came up short: nothing more is delivered
  Image<Pixel> d_preload;
  std::vector<Pixel> d_rowbuf;
};

class FileWriter_YUV1 {
 public:
  void SetYUVStream(std::ostream& os) { d_yuvstr = &os; }
  void SetAlphaStream(std::ostream& os) { d_alphastr = &os; }
  void SetGreyscaleAsYUV(bool on) { d_greyscale_as_yuv = on; }
  void SetSkipChroma(bool on) { d_skip_chroma = on; }
  void SetInterleavedUV(bool on) { d_interleaved_uv = on; }

  void WriteImage(const Image<Pixel>& img);
  void SkipToImage(int n, const ImageParam& param);

 private:
  std::ostream* d_yuvstr = nullptr;
  std::ostream* d_alphastr = nullptr;
  bool d_greyscale_as_yuv = false;
  bool d_skip_chroma = false;
  bool d_interleaved_uv = false;
  std::vector<Pixel> d_rowbuf;
};

}  // namespace pixkit

#endif
