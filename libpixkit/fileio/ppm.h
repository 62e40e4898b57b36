// Binary PPM files: P5 (8-bit grey) and P6 (8-bit RGB). The writers produce the tool's
// background files; the reader takes back the same two formats.
#ifndef PIXKIT_FILEIO_PPM_H
#define PIXKIT_FILEIO_PPM_H

#include <iosfwd>

#include "libpixkit/graphics/datatypes/image.h"

namespace pixkit {

void WritePPM5(const Bitmap<Pixel>& bm, std::ostream& os);
void WritePPM6(const Bitmap<Pixel>& r, const Bitmap<Pixel>& g, const Bitmap<Pixel>& b,
               std::ostream& os);

// Picks P5 or P6 from the image's colour space and the options.
class FileWriter_PPM {
 public:
  void SetYUVAsGreyscale(bool on) { d_yuv_as_greyscale = on; }
  void SetRGBAsGreyscale(bool on) { d_rgb_as_greyscale = on; }
  void SetGreyscaleAsRGB(bool on) { d_greyscale_as_rgb = on; }

  void Write(const Image<Pixel>& img, std::ostream& os) const;
  // A new file, or a replaced one of the caller's own with no other name, appears under its
  // name only when completely written; any other name (a link, a device, a file in a directory
  // the caller cannot write, one whose group, mode or extended attributes a new file would not
  // have) is written as a plain write would. A file that cannot be created or written throws
  // Excpt_Text (ErrSev_Error) naming it; the text ends in "is left incomplete" when a file
  // written in place keeps the part written.
  void Write(const Image<Pixel>& img, const char* filename) const;

 private:
  bool d_yuv_as_greyscale = false;
  bool d_rgb_as_greyscale = false;
  bool d_greyscale_as_rgb = false;
};

// A YUV image goes to the file as P5 of its Y plane.
void WritePPM(const Image<Pixel>& img, const char* filename);
void WritePPM(const Image<Pixel>& img, std::ostream& os);

// Throws Excpt_Text (ErrSev_Error) on anything but a whole P5 or P6 file of maximum value 255.
void ReadImage_PPM(Image<Pixel>& img, std::istream& is);
void ReadImage_PPM(Image<Pixel>& img, const char* filename);

bool IsBlankLine(const char* s);

}  // namespace pixkit

#endif
