// Image descriptions, sample fillers and row tables shared by the tests of images and planes.
#ifndef TESTS_SUPPORT_IMAGES_H
#define TESTS_SUPPORT_IMAGES_H

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "libpixkit/graphics/datatypes/image.h"

namespace testsupport {

// w x h without border or extra alignment.
pixkit::ImageParam Param(int w, int h, pixkit::Colorspace cs,
                         pixkit::ChromaFormat chroma = pixkit::Chroma_444, bool alpha = false);
inline pixkit::ImageParam YUVParam(int w, int h, pixkit::ChromaFormat chroma, bool alpha = false) {
  return Param(w, h, pixkit::Colorspace_YUV, chroma, alpha);
}

pixkit::Image<pixkit::Pixel> MakeImage(const pixkit::ImageParam& p);

// Every sample of the existing planes 0..2 uniformly random.
void FillRandom(pixkit::Image<pixkit::Pixel>& img, std::mt19937& rng);

// Samples as rows of ints, row 0 first.
typedef std::vector<std::vector<int>> Rows;

Rows ToRows(const pixkit::Bitmap<pixkit::Pixel>& bm);

// The bitmap must have the size of the table.
template <class Pel>
void SetRows(pixkit::Bitmap<Pel>& bm, const Rows& rows) {
  ASSERT_EQ(bm.AskHeight(), int(rows.size()));
  Pel* const* f = bm.AskFrame();
  for (size_t y = 0; y < rows.size(); y++) {
    ASSERT_EQ(bm.AskWidth(), int(rows[y].size()));
    for (size_t x = 0; x < rows[y].size(); x++) f[y][x] = Pel(rows[y][x]);
  }
}

}  // namespace testsupport

#endif
