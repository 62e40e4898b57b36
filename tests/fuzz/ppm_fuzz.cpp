// Fuzz target: arbitrary bytes through the PPM reader. The first byte sets up the image the
// reader fills (border, alignment, an alpha plane, an earlier image); the rest is the file.
// A file that is read must give back its own raster, and the writer's copy of the image must
// read back to the same image.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "libpixkit/fileio/ppm.h"
#include "libpixkit/utility/error.h"

using namespace pixkit;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "broken invariant: %s\n", what);
    abort();
  }
}

// Images of up to 32767 x 32767 pixels are allowed; the reader allocates them before it finds
// the raster short, which costs a sanitized run up to a second and teaches the fuzzer nothing.
// This follows the header just far enough to find such sizes.
bool HasHugeSize(const std::string& file) {
  std::istringstream is(file);
  std::string line;
  std::getline(is, line);
  while (std::getline(is, line)) {
    if (line.empty() || line[0] == '#' ||
        line.find_first_not_of(" \t\n\v\f\r") == std::string::npos)
      continue;
    char* end;
    const long w = strtol(line.c_str(), &end, 10);
    const long h = strtol(end, nullptr, 10);
    return w > 0 && h > 0 && double(w) * double(h) > double(1L << 22);
  }
  return false;
}

// The raster the reader must have taken: the samples in file order.
std::string Raster(const Image<Pixel>& img) {
  const ImageParam p = img.AskParam();
  const bool rgb = p.colorspace == Colorspace_RGB;
  std::string r;
  for (int y = 0; y < p.height; y++)
    for (int x = 0; x < p.width; x++)
      for (int c = 0; c < (rgb ? 3 : 1); c++) r += char(img.AskBitmap(c).AskFrame()[y][x]);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int setup = data[0];
  const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (HasHugeSize(file)) return -1;  // kept out of the corpus

  Image<Pixel> img;
  ImageParam p;
  const int borders[4] = {0, 1, 4, 16};
  p.border = borders[setup & 3];
  p.halign = (setup & 4) ? 8 : 1;
  p.has_alpha = setup & 8;
  if (setup & 16) {  // an earlier image of another size and colour space
    p.width = 5;
    p.height = 3;
    p.colorspace = Colorspace_YUV;
    p.chroma = Chroma_420;
    img.Create(p);
  } else {
    img.SetParam(p);
  }

  std::istringstream is(file);
  try {
    ReadImage_PPM(img, is);
  } catch (const Excpt_Text& e) {
    Check(dynamic_cast<const Excpt_Assertion*>(&e) == nullptr, "no assertion on input");
    return 0;
  }

  const ImageParam q = img.AskParam();
  Check(q.width >= 1 && q.height >= 1 && q.width <= 32767 && q.height <= 32767, "image size");
  const bool rgb = file[1] == '6';
  Check(q.colorspace == (rgb ? Colorspace_RGB : Colorspace_Greyscale), "colour space by magic");
  Check(q.border == p.border && q.halign == p.halign && q.has_alpha == p.has_alpha,
        "the caller's layout is kept");
  const std::string raster = Raster(img);
  Check(file.find(raster) != std::string::npos, "every sample comes from the file");
  if (q.has_alpha) {
    const Pixel* const* a = img.AskBitmap(Bitmap_Alpha).AskFrame();
    for (int y = 0; y < q.height; y++)
      for (int x = 0; x < q.width; x++) Check(a[y][x] == 255, "the alpha plane is opaque");
  }

  std::ostringstream os;
  WritePPM(img, os);
  const std::string written = os.str();
  Check(written.size() >= raster.size() &&
            written.compare(written.size() - raster.size(), raster.size(), raster) == 0,
        "the writer writes the raster read");
  Image<Pixel> again;
  std::istringstream back(written);
  ReadImage_PPM(again, back);
  Check(Raster(again) == raster, "a written file reads back to the same image");
  return 0;
}
