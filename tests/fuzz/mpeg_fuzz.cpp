// Fuzz target: arbitrary record streams through the MPEG reader, read from memory instead of a
// decoder's pipe. The first byte picks how the reader is driven (read-ahead with IsEOF,
// straight reads, skipping), the rest is the stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "libpixkit/fileio/mpeg.h"
#include "libpixkit/utility/error.h"

using namespace pixkit;

namespace {

class QuietDisplay : public MessageDisplay {
 public:
  void ShowMessage(ErrorSeverity, const char*) override {}
  void ShowException(const Excpt_Base&) override {}
};

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "broken invariant: %s\n", what);
    abort();
  }
}

// Every frame handed out is a whole YUV 4:2:0 frame; reading all of it lets the sanitizer see
// planes that are smaller than they claim.
unsigned Touch(const Image<Pixel>& img) {
  const ImageParam p = img.AskParam();
  Check(p.width >= 1 && p.height >= 1, "frames have pixels");
  Check(p.colorspace == Colorspace_YUV && p.chroma == Chroma_420, "frames are YUV 4:2:0");
  int cw, ch;
  p.AskChromaSizes(cw, ch);
  unsigned sum = 0;
  const Pixel* const* planes[3] = {img.AskFrameY(), img.AskFrameU(), img.AskFrameV()};
  for (int i = 0; i < 3; i++) {
    const int w = i ? cw : p.width, h = i ? ch : p.height;
    for (int y = 0; y < h; y++) sum += planes[i][y][0] + planes[i][y][w - 1];
  }
  return sum;
}

// Frames of up to 32767 x 32767 pixels are allowed; the reader allocates them before it finds
// the stream too short, which costs a sanitized run a fifth of a second and teaches the fuzzer
// nothing. Streams with such records are left to the end-to-end test of a huge frame size.
bool HasHugeRecord(const std::vector<uint8_t>& s) {
  constexpr long c_MaxArea = 1L << 22;
  size_t at = 0;
  while (at + 8 <= s.size()) {
    const long w = int16_t(uint16_t(s[at + 4] << 8 | s[at + 5]));
    const long h = int16_t(uint16_t(s[at + 6] << 8 | s[at + 7]));
    if (w < 1 || h < 1) return false;  // the reader stops there
    if (w * h > c_MaxArea) return true;
    at += 128 + size_t(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietDisplay quiet;
  MessageDisplay::SetStandardDisplay(&quiet);
  if (size == 0) return 0;
  const int mode = data[0] % 3;
  std::vector<uint8_t> stream(data + 1, data + size);
  if (HasHugeRecord(stream)) return -1;  // kept out of the corpus
  FILE* f = fmemopen(stream.empty() ? nullptr : stream.data(), stream.size(), "rb");
  if (!f) f = fopen("/dev/null", "rb");
  Check(f != nullptr, "a stream to read");

  volatile unsigned sink = 0;
  FileReader_MPEG reader;
  reader.OpenStream(f, "fuzz input");
  Image<Pixel> img;
  try {
    switch (mode) {
      case 0:  // the driver's way
        for (int n = 0; n < 1000 && !reader.IsEOF(); n++) {
          Check(reader.ReadImage(img), "a frame after IsEOF said one follows");
          sink = sink + Touch(img);
        }
        break;
      case 1:  // straight reads into the same image
        for (int n = 0; n < 1000 && reader.ReadImage(img); n++) sink = sink + Touch(img);
        break;
      case 2:  // read-ahead, then skipping over it
        if (!reader.IsEOF()) reader.SkipToImage(2);
        while (reader.ReadImage(img)) sink = sink + Touch(img);
        break;
    }
  } catch (const Excpt_Text&) {
    // A broken record is reported as an exception; the reader has closed the stream.
    Check(reader.IsEOF(), "nothing follows a broken record");
  }
  return 0;
}
