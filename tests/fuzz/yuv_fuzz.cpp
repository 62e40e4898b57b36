// Fuzz target: the raw YUV reader over arbitrary bytes and frame descriptions of 1 to 64
// pixels a side, with or without an alpha stream, each stream seekable like a file or not
// (like a pipe). Every frame handed out is compared sample by sample with the bytes it was
// read from, and the number of frames with the whole frames the input holds.
//
// Input: byte 0 width-1, byte 1 height-1 (both modulo 64), byte 2 format flags, byte 3 how
// the reader is driven, bytes 4-5 the length of the alpha stream at the end of the rest.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "libpixkit/fileio/yuv.h"
#include "libpixkit/utility/error.h"

using namespace pixkit;

namespace {

class QuietDisplay : public MessageDisplay {
 public:
  void ShowMessage(ErrorSeverity, const char*) override {}
  void ShowException(const Excpt_Base&) override {}
};

// A stream over memory that cannot seek, as a pipe cannot.
class PipeBuf : public std::streambuf {
 public:
  explicit PipeBuf(std::string& bytes) {
    char* p = bytes.data();
    setg(p, p, p + bytes.size());
  }
};

[[noreturn]] void Fail(const char* what, int frame = -1) {
  fprintf(stderr, "broken invariant: %s (frame %d)\n", what, frame);
  abort();
}

void Check(bool ok, const char* what, int frame = -1) {
  if (!ok) Fail(what, frame);
}

struct Layout {
  int w, h, cw, ch;
  bool interleaved, grey_input, alpha;
  long FrameBytes() const { return long(w) * h + (grey_input ? 0 : 2L * cw * ch); }
};

// Frame n of the input must hold exactly the bytes of record n of the streams.
void CheckFrame(const Image<Pixel>& img, const Layout& l, const std::string& yuv,
                const std::string& alpha, int n) {
  const ImageParam p = img.AskParam();
  Check(p.width == l.w && p.height == l.h, "frame size", n);
  Check(p.colorspace == Colorspace_YUV, "frames are YUV", n);
  Check(p.has_alpha == l.alpha, "alpha plane exactly with alpha input", n);
  const size_t at = size_t(n) * size_t(l.FrameBytes());
  Check(at + size_t(l.FrameBytes()) <= yuv.size(), "a frame the input holds wholly", n);
  const auto byte = [&](size_t i) { return Pixel(yuv[at + i]); };

  const Pixel* const* y = img.AskFrameY();
  for (int r = 0; r < l.h; r++)
    for (int c = 0; c < l.w; c++) Check(y[r][c] == byte(size_t(r) * l.w + c), "Y sample", n);

  const size_t luma = size_t(l.w) * l.h;
  const size_t chroma = size_t(l.cw) * l.ch;
  const Pixel* const* u = img.AskFrameU();
  const Pixel* const* v = img.AskFrameV();
  for (int r = 0; r < l.ch; r++)
    for (int c = 0; c < l.cw; c++) {
      const size_t i = size_t(r) * l.cw + c;
      Pixel eu = 128, ev = 128;  // greyscale input: neutral chroma
      if (l.interleaved && !l.grey_input) {
        eu = byte(luma + 2 * i);
        ev = byte(luma + 2 * i + 1);
      } else if (!l.grey_input) {
        eu = byte(luma + i);
        ev = byte(luma + chroma + i);
      }
      Check(u[r][c] == eu && v[r][c] == ev, "U and V samples", n);
    }

  if (!l.alpha) return;
  const size_t aat = size_t(n) * luma;
  Check(aat + luma <= alpha.size(), "an alpha plane the alpha input holds wholly", n);
  const Pixel* const* a = img.AskBitmap(Bitmap_Alpha).AskFrame();
  for (int r = 0; r < l.h; r++)
    for (int c = 0; c < l.w; c++)
      Check(a[r][c] == Pixel(alpha[aat + size_t(r) * l.w + c]), "alpha sample", n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietDisplay quiet;
  MessageDisplay::SetStandardDisplay(&quiet);
  if (size < 6) return 0;
  const int flags = data[2], drive = data[3];
  const ChromaFormat chromas[4] = {Chroma_420, Chroma_422, Chroma_444, Chroma_420};

  ImageParam param;
  param.width = 1 + data[0] % 64;
  param.height = 1 + data[1] % 64;
  param.chroma = chromas[flags & 3];
  param.colorspace = (flags & 4) ? Colorspace_Greyscale : Colorspace_YUV;
  const int borders[4] = {0, 1, 8, 3};
  param.border = borders[(drive >> 5) & 3];
  param.halign = (drive & 0x80) ? 16 : 1;

  Layout l;
  l.w = param.width;
  l.h = param.height;
  l.cw = param.chroma == Chroma_444 ? l.w : (l.w + 1) / 2;
  l.ch = param.chroma == Chroma_420 ? (l.h + 1) / 2 : l.h;
  l.interleaved = flags & 8;
  l.grey_input = flags & 16;
  l.alpha = flags & 32;
  const bool yuv_pipe = flags & 64, alpha_pipe = flags & 128;
  param.has_alpha = l.alpha;

  std::string rest(reinterpret_cast<const char*>(data) + 6, size - 6);
  const size_t alpha_len = l.alpha ? std::min(rest.size(), size_t(data[4] | data[5] << 8)) : 0;
  std::string yuv = rest.substr(0, rest.size() - alpha_len);
  std::string alpha = rest.substr(rest.size() - alpha_len);
  const std::string yuv_copy = yuv, alpha_copy = alpha;  // the streams read from the others

  std::istringstream yuv_file(yuv), alpha_file(alpha);
  PipeBuf yuv_buf(yuv), alpha_buf(alpha);
  std::istream yuv_piped(&yuv_buf), alpha_piped(&alpha_buf);

  FileReader_YUV1 reader;
  reader.SetYUVStream(yuv_pipe ? yuv_piped : static_cast<std::istream&>(yuv_file));
  if (l.alpha) reader.SetAlphaStream(alpha_pipe ? alpha_piped : static_cast<std::istream&>(alpha_file));
  reader.SetImageParam(param);
  reader.SetInterleavedUV(l.interleaved);
  reader.SetGreyscaleInput(l.grey_input);

  long whole = long(yuv_copy.size()) / l.FrameBytes();
  if (l.alpha) whole = std::min(whole, long(alpha_copy.size()) / (long(l.w) * l.h));

  Image<Pixel> img;
  int next = 0;
  long end = whole;  // the frame number the reading must end at
  const int mode = drive & 3;
  const int skip = (drive >> 2) & 7;
  const bool seekable = !yuv_pipe && !(l.alpha && alpha_pipe);
  try {
    if (mode == 2) {
      reader.SkipToImage(skip);
      next = skip;
      end = std::max(whole, long(skip));
    }
    for (int steps = 0;; steps++) {  // a reader that never ends is a hang, found as one
      if (mode == 3 && steps == 2) {
        // Backwards is possible on files only; a pipe refuses with an assertion.
        try {
          reader.SkipToImage(skip);
          Check(seekable || skip >= next, "backwards skip on a pipe refused");
          next = skip;
          end = std::max(whole, long(skip));
        } catch (const Excpt_Assertion&) {
          Check(!seekable && skip < next, "skip refused on a file");
          return 0;
        }
      }
      if (mode != 1 && reader.IsEOF()) break;
      const bool got = reader.ReadImage(img);
      if (mode != 1) Check(got, "a frame after IsEOF said one follows", next);
      if (!got) break;
      CheckFrame(img, l, yuv_copy, alpha_copy, next);
      next++;
    }
    Check(next == end, "exactly the whole frames are read", next);
    Check(reader.IsEOF() && !reader.ReadImage(img) && reader.IsEOF(), "the end stays", next);
  } catch (const Excpt_Text&) {
    Fail("the reader threw on input it should read", next);
  }
  return 0;
}
