#include "libpixkit/fileio/yuv.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>
#include <iostream>
#include <utility>

namespace pixkit {

namespace {

// Frame count reported for input read as it arrives, whose length is not known in advance.
// Such input is read to its end all the same (up to INT_MAX frames, as a file is).
constexpr int c_StreamFrames = 999999;
constexpr int64_t c_Unmeasurable = -2;

// What one frame really occupies: the table of YUVFileFrameSize undercounts odd 4:2:0 and
// 4:2:2 sizes, whose chroma planes are rounded up.
int64_t FrameBytes(const ImageParam& p, bool with_chroma) {
  if (p.chroma != Chroma_420 && p.chroma != Chroma_422 && p.chroma != Chroma_444) assert(0);
  int cw, ch;
  p.AskChromaSizes(cw, ch);
  const int64_t luma = int64_t(p.width) * p.height;
  return with_chroma ? luma + 2 * int64_t(cw) * ch : luma;
}

// The stream's length in bytes, rewound to its start; -1 for a stream that has already
// failed (a file that did not open), c_Unmeasurable for one that cannot seek (a pipe).
int64_t MeasureStream(std::istream& is) {
  if (is.fail()) return -1;
  is.seekg(0, std::ios::end);
  const std::streamoff end = is.tellg();
  if (is.fail() || end < 0) {
    is.clear();
    return c_Unmeasurable;
  }
  is.seekg(0, std::ios::beg);
  return end;
}

int WholeFrames(int64_t size, int64_t framesize) {
  if (size <= 0) return 0;
  return int(std::min<int64_t>(size / framesize, INT_MAX));
}

void ReadPlane(std::istream& is, Bitmap<Pixel>& bm, int w, int h) {
  Pixel* const* f = bm.AskFrame();
  // Rows that lie end to end are read in one go, which a file stream reads straight into them.
  if (h > 1 && f[h - 1] - f[0] == std::ptrdiff_t(h - 1) * w) {
    is.read(reinterpret_cast<char*>(f[0]), std::streamsize(w) * h);
    return;
  }
  for (int y = 0; y < h; y++) is.read(reinterpret_cast<char*>(f[y]), w);
}

void WritePlane(std::ostream& os, const Bitmap<Pixel>& bm, int w, int h) {
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < h; y++) os.write(reinterpret_cast<const char*>(f[y]), w);
}

bool CanSeek(const std::istream* is, bool streamed) { return is == nullptr || !streamed; }

// Passes over n bytes; false when the stream ends first. In steps, because a stream counts in
// 32 bits on a 32-bit system and a 4:4:4 frame may be larger.
bool Skip(std::istream& is, int64_t n) {
  while (n > 0) {
    const std::streamsize step = std::streamsize(std::min<int64_t>(n, int64_t(1) << 30));
    if (is.ignore(step).gcount() != step) return false;
    n -= step;
  }
  return true;
}

}  // namespace

int YUVFileFrameSize(const ImageParam& param) {
  const int64_t wh = int64_t(param.width) * param.height;
  int64_t size = 0;
  if (param.colorspace == Colorspace_Greyscale) {
    size = wh;
  } else {
    switch (param.chroma) {
      case Chroma_420: size = wh * 3 / 2; break;
      case Chroma_422: size = wh * 2; break;
      case Chroma_444: size = wh * 3; break;
      default: assert(0);
    }
  }
  PIXKIT_ASSERT_MSG(size <= INT_MAX, "frame size does not fit an int");
  return int(size);
}

// ---------------------------------------------------------------------------------------------

void FileReader_YUV1::SetYUVStream(std::istream& is) {
  d_yuvstr = &is;
  d_initialized = false;
}

// Also starts over: the alpha planes must line up with the frames again.
void FileReader_YUV1::SetAlphaStream(std::istream& is) {
  d_alphastr = &is;
  d_initialized = false;
}

void FileReader_YUV1::SetImageParam(const ImageParam& param) {
  d_param = param;
  d_initialized = false;
}

// Changes the bytes a frame occupies, and so the count.
void FileReader_YUV1::SetGreyscaleInput(bool on) {
  d_greyscale_input = on;
  d_initialized = false;
}

void FileReader_YUV1::Init() {
  if (d_initialized) return;
  assert(d_yuvstr);
  PIXKIT_ASSERT(d_param.width > 0 && d_param.height > 0);

  ImageParam frame = d_param;
  frame.colorspace = Colorspace_YUV;  // what ReadImage reads, whatever the description says
  d_framesize = FrameBytes(frame, !d_greyscale_input);

  d_yuv_streamed = d_alpha_streamed = false;
  d_preloaded = d_ended = false;
  d_preload.Release();

  int64_t size = c_Unmeasurable;
  if (d_yuvstr != &std::cin) size = MeasureStream(*d_yuvstr);
  if (size == c_Unmeasurable) {
    d_yuv_streamed = true;
    d_nframes = c_StreamFrames;
  } else {
    d_nframes = WholeFrames(size, d_framesize);
    if (d_nframes * d_framesize != size)
      std::cerr << "Input file has strange file size, continuing anyway.\n";
  }

  if (d_alphastr) {
    const int64_t asize = MeasureStream(*d_alphastr);
    if (asize == c_Unmeasurable) {
      d_alpha_streamed = true;
    } else if (!d_yuv_streamed) {
      const int aframes = WholeFrames(asize, int64_t(d_param.width) * d_param.height);
      if (aframes < d_nframes) {
        char text[200];
        snprintf(text, sizeof text,
                 "alpha input has only %d frames for %d frames of YUV input; the sequence ends "
                 "with the last frame that has both",
                 aframes, d_nframes);
        MessageDisplay::Show(ErrSev_Warning, text);
        d_nframes = aframes;
      }
    }
  }

  d_nextframe = 0;
  d_initialized = true;
}

int FileReader_YUV1::AskNFrames() {
  Init();
  return d_nframes;
}

bool FileReader_YUV1::IsEOF() {
  Init();
  if (d_preloaded) return false;
  if (d_ended || d_yuvstr->eof() || d_nextframe >= FrameLimit()) return true;
  if (!d_yuv_streamed && !d_alpha_streamed) return false;
  d_preloaded = ReadFrame(d_preload);
  if (!d_preloaded) d_preload.Release();
  return !d_preloaded;
}

bool FileReader_YUV1::ReadImage(Image<Pixel>& img) {
  Init();
  if (d_preloaded) {
    // The next frame is read ahead into img's planes if nobody else holds them by then.
    std::swap(img, d_preload);
    d_preloaded = false;
    d_nextframe++;
    return true;
  }
  if (d_ended || d_nextframe >= FrameLimit() || !ReadFrame(img)) {
    img.Release();
    return false;
  }
  d_nextframe++;
  return true;
}

int FileReader_YUV1::FrameLimit() const { return d_yuv_streamed ? INT_MAX : d_nframes; }

bool FileReader_YUV1::ReadFrame(Image<Pixel>& img) {
  d_param.colorspace = Colorspace_YUV;
  d_param.has_alpha = d_alphastr != nullptr;
  // A clean end lies between frames; input read as it arrives may also stop inside one.
  if (d_yuvstr->peek() == std::char_traits<char>::eof()) {
    d_ended = true;
    return false;
  }
  img.Create(d_param);

  ReadPlane(*d_yuvstr, img.AskBitmap(0), d_param.width, d_param.height);
  ReadChroma(img);
  if (!*d_yuvstr) {
    d_ended = true;
    MessageDisplay::Show(ErrSev_Warning, "YUV input ends inside a frame; frame dropped");
    return false;
  }
  if (d_alphastr) {
    assert(!img.AskBitmap(Bitmap_Alpha).IsEmpty());
    ReadPlane(*d_alphastr, img.AskBitmap(Bitmap_Alpha), d_param.width, d_param.height);
    if (!*d_alphastr) {
      AlphaEnded();
      return false;
    }
  }
  return true;
}

void FileReader_YUV1::ReadChroma(Image<Pixel>& img) {
  if (d_greyscale_input) {
    Clear(img.AskBitmap(1), Pixel(128));
    Clear(img.AskBitmap(2), Pixel(128));
    return;
  }
  int cw, ch;
  d_param.AskChromaSizes(cw, ch);
  if (!d_interleaved_uv) {
    ReadPlane(*d_yuvstr, img.AskBitmap(1), cw, ch);
    ReadPlane(*d_yuvstr, img.AskBitmap(2), cw, ch);
    return;
  }
  d_rowbuf.resize(size_t(2) * size_t(cw));
  Pixel* const* u = img.AskFrameU();
  Pixel* const* v = img.AskFrameV();
  for (int y = 0; y < ch; y++) {
    d_yuvstr->read(reinterpret_cast<char*>(d_rowbuf.data()), 2 * std::streamsize(cw));
    for (int x = 0; x < cw; x++) {
      u[y][x] = d_rowbuf[2 * x];
      v[y][x] = d_rowbuf[2 * x + 1];
    }
  }
}

// Called when a frame's Y/U/V samples are complete but its alpha plane is not.
void FileReader_YUV1::AlphaEnded() {
  d_ended = true;
  char text[200];
  snprintf(text, sizeof text,
           "alpha input has only %d frames for at least %d frames of YUV input; the sequence "
           "ends with the last frame that has both",
           d_nextframe, d_nextframe + 1);
  MessageDisplay::Show(ErrSev_Warning, text);
}

void FileReader_YUV1::SkipToImage(int n) {
  Init();
  PIXKIT_ASSERT(n >= 0);
  if (!CanSeek(d_yuvstr, d_yuv_streamed) || !CanSeek(d_alphastr, d_alpha_streamed)) {
    SkipForward(n);
    return;
  }
  d_preloaded = d_ended = false;
  d_preload.Release();
  d_yuvstr->clear();
  d_yuvstr->seekg(std::streamoff(n) * d_framesize, std::ios::beg);
  if (d_alphastr) {
    d_alphastr->clear();
    d_alphastr->seekg(std::streamoff(n) * d_param.width * d_param.height, std::ios::beg);
  }
  d_nextframe = n;
}

// Input read as it arrives can only be passed over.
void FileReader_YUV1::SkipForward(int n) {
  PIXKIT_ASSERT_MSG(n >= d_nextframe, "cannot seek backwards in input read as it arrives");
  if (d_preloaded && d_nextframe < n) {
    d_preload.Release();
    d_preloaded = false;
    d_nextframe++;
  }
  const int64_t alphabytes = int64_t(d_param.width) * d_param.height;
  while (d_nextframe < n && !d_ended && !d_preloaded) {
    if (!Skip(*d_yuvstr, d_framesize)) {
      d_ended = true;
    } else if (d_alphastr && !Skip(*d_alphastr, alphabytes)) {
      AlphaEnded();
    } else {
      d_nextframe++;
    }
  }
}

// ---------------------------------------------------------------------------------------------

void FileWriter_YUV1::WriteImage(const Image<Pixel>& img) {
  PIXKIT_ASSERT(d_yuvstr);
  const ImageParam p = img.AskParam();
  const bool input_is_greyscale = p.colorspace == Colorspace_Greyscale;
  std::ostream& os = *d_yuvstr;

  WritePlane(os, img.AskBitmap(0), p.width, p.height);

  int cw, ch;
  p.AskChromaSizes(cw, ch);
  if (input_is_greyscale) {
    if (d_greyscale_as_yuv) {
      d_rowbuf.assign(size_t(2) * size_t(cw), Pixel(128));
      for (int y = 0; y < ch; y++)
        os.write(reinterpret_cast<const char*>(d_rowbuf.data()), 2 * std::streamsize(cw));
    }
  } else if (!d_skip_chroma) {
    assert(!input_is_greyscale);
    if (d_interleaved_uv) {
      d_rowbuf.resize(size_t(2) * size_t(cw));
      const Pixel* const* u = img.AskFrameU();
      const Pixel* const* v = img.AskFrameV();
      for (int y = 0; y < ch; y++) {
        for (int x = 0; x < cw; x++) {
          d_rowbuf[2 * x] = u[y][x];
          d_rowbuf[2 * x + 1] = v[y][x];
        }
        os.write(reinterpret_cast<const char*>(d_rowbuf.data()), 2 * std::streamsize(cw));
      }
    } else {
      WritePlane(os, img.AskBitmap(1), cw, ch);
      WritePlane(os, img.AskBitmap(2), cw, ch);
    }
  }

  if (d_alphastr && p.has_alpha)
    WritePlane(*d_alphastr, img.AskBitmap(Bitmap_Alpha), p.width, p.height);
}

// Seeks by the bytes this writer really puts into a frame of param, so that frames of odd
// sizes and neutral-chroma greyscale frames line up.
void FileWriter_YUV1::SkipToImage(int n, const ImageParam& param) {
  PIXKIT_ASSERT(d_yuvstr);
  PIXKIT_ASSERT(n >= 0);
  const bool greyscale = param.colorspace == Colorspace_Greyscale;
  const bool chroma = greyscale ? d_greyscale_as_yuv : !d_skip_chroma;
  d_yuvstr->seekp(std::streamoff(n) * FrameBytes(param, chroma), std::ios::beg);
  if (d_alphastr)
    d_alphastr->seekp(std::streamoff(n) * param.width * param.height, std::ios::beg);
}

}  // namespace pixkit
