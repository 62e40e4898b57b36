// How the chroma planes' size, border and alignment follow from an image description.
#include "libpixkit/graphics/datatypes/image.h"

#include <algorithm>
#include <cassert>

namespace pixkit {

int ImageParam::AskChromaWidth() const {
  if (colorspace != Colorspace_YUV) return width;
  const int f = ChromaSubH(chroma);
  return (width + f - 1) / f;
}

int ImageParam::AskChromaHeight() const {
  if (colorspace != Colorspace_YUV) return height;
  const int f = ChromaSubV(chroma);
  return (height + f - 1) / f;
}

void ImageParam::AskChromaSizes(int& w, int& h) const {
  w = AskChromaWidth();
  h = AskChromaHeight();
}

int ImageParam::AskChromaBorder() const {
  if (chroma_border >= 0) return chroma_border;
  const int sh = ChromaSubH(chroma);
  const int sv = ChromaSubV(chroma);
  return std::max((border + sh - 1) / sh, (border + sv - 1) / sv);
}

int ImageParam::AskChromaHAlign() const {
  if (chroma_halign > 0) return chroma_halign;
  if (halign == 1) return 1;
  assert((halign % ChromaSubH(chroma))==0);
  return halign / ChromaSubH(chroma);
}

int ImageParam::AskChromaVAlign() const {
  if (chroma_valign > 0) return chroma_valign;
  if (valign == 1) return 1;
  assert((valign % ChromaSubV(chroma))==0);
  return valign / ChromaSubV(chroma);
}

}  // namespace pixkit
