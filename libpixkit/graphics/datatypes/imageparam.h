// The plain description of an image (size, alignment, border, colour space, chroma layout)
// and the small value types every image operation shares.
#ifndef PIXKIT_GRAPHICS_DATATYPES_IMAGEPARAM_H
#define PIXKIT_GRAPHICS_DATATYPES_IMAGEPARAM_H

#include <cstdint>

namespace pixkit {

typedef uint8_t Pixel;

enum Colorspace {
  Colorspace_RGB = 0,
  Colorspace_YUV = 1,
  Colorspace_Greyscale = 2,
  Colorspace_HSV = 3,
  Colorspace_Invalid = 4
};

enum ChromaFormat {
  Chroma_420 = 0,
  Chroma_422 = 1,
  Chroma_444 = 2,
  Chroma_Unspecified = 3  // only as a converter argument: keep the destination's format
};

inline int ChromaSubH(ChromaFormat f) { return f == Chroma_444 ? 1 : 2; }
inline int ChromaSubV(ChromaFormat f) { return f == Chroma_420 ? 2 : 1; }

struct ImageParam {
  int width = 0;
  int height = 0;
  int halign = 1;
  int valign = 1;
  int border = 0;
  int zero_x = 0;
  int zero_y = 0;
  Colorspace colorspace = Colorspace_Invalid;
  bool has_alpha = false;
  ChromaFormat chroma = Chroma_444;
  bool reduced_chroma = true;
  int chroma_border = -1;  // negative: derived from border
  int chroma_halign = -1;  // not positive: derived from halign
  int chroma_valign = -1;  // not positive: derived from valign

  int AskChromaWidth() const;
  int AskChromaHeight() const;
  void AskChromaSizes(int& w, int& h) const;
  int AskChromaBorder() const;
  int AskChromaHAlign() const;
  int AskChromaVAlign() const;
};

// One value per image plane: Y, U, V, alpha for YUV images.
struct Color {
  Color() = default;
  Color(Pixel c0, Pixel c1, Pixel c2, Pixel c3) : c{c0, c1, c2, c3} {}
  Color(Pixel c0, Pixel c1, Pixel c2) : c{c0, c1, c2, 0} {}

  Pixel& operator[](int i) { return c[i]; }
  Pixel operator[](int i) const { return c[i]; }

  Pixel c[4] = {0, 0, 0, 0};
};

}  // namespace pixkit

#endif
