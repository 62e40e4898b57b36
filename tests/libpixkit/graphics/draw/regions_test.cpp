#include "libpixkit/graphics/draw/regions.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/images.h"

using namespace pixkit;

namespace {

using testsupport::Rows;
using testsupport::ToRows;

template <class Pel>
Bitmap<Pel> Make(const Rows& rows, int border = 0) {
  Bitmap<Pel> bm;
  bm.Create(int(rows[0].size()), int(rows.size()), border, 1, 1);
  testsupport::SetRows(bm, rows);
  return bm;
}

Rows Filled(int w, int h, int v) { return Rows(h, std::vector<int>(w, v)); }

}  // namespace

TEST(MarkRegionBoundaries, MapsBoundariesWithAndWithoutFrame) {
  const struct {
    Rows labels;
    bool frame;
    Rows expected;
  } cases[] = {
      {{{1, 1, 2}, {1, 1, 2}}, false, {{0, 255, 0}, {0, 255, 0}}},
      {{{1, 1, 2}, {1, 1, 2}}, true, Filled(3, 2, 255)},
      // Only existing neighbours count; the bottom-right pixel never is a boundary.
      {{{1, 2}, {3, 3}}, false, {{255, 255}, {0, 0}}},
      {{{1, 1}, {1, 2}}, false, {{0, 255}, {255, 0}}},
      {{{4, 4, 4}, {4, 4, 4}, {4, 4, 4}}, true, {{255, 255, 255}, {255, 0, 255}, {255, 255, 255}}},
      {{{5}}, false, {{0}}},
  };
  for (const auto& c : cases) {
    Bitmap<Pixel> bm = Make<Pixel>(Filled(int(c.labels[0].size()), int(c.labels.size()), 9), 2);
    MarkRegionBoundaries(bm, Make<int>(c.labels), c.frame);
    EXPECT_EQ(ToRows(bm), c.expected);
    EXPECT_EQ(bm.AskBorder(), 0);
  }
}

TEST(MarkRegionBoundaries, DrawsOnlyTheBoundariesInAValue) {
  Bitmap<Pixel> bm = Make<Pixel>({{7, 8, 9}, {10, 11, 12}});
  MarkRegionBoundaries(bm, Make<int>({{1, 1, 2}, {3, 3, 2}}), Pixel(200));
  EXPECT_EQ(ToRows(bm), (Rows{{200, 200, 9}, {10, 200, 12}}));

  // A label map larger than bm is fine; bm's size decides, so labels beyond it are no
  // neighbours.
  MarkRegionBoundaries(bm, Make<int>({{1, 1, 1, 5}, {1, 1, 1, 5}, {6, 6, 6, 6}}), Pixel(1));
  EXPECT_EQ(ToRows(bm), (Rows{{200, 200, 9}, {10, 200, 12}}));
}

TEST(MarkRegionBoundaries, RefusesMissingOrSmallerInput) {
  Bitmap<Pixel> empty;
  EXPECT_THROW(MarkRegionBoundaries(empty, Make<int>({{1}}), true), Excpt_Assertion);
  Bitmap<Pixel> bm = Make<Pixel>(Filled(3, 3, 0));
  EXPECT_THROW(MarkRegionBoundaries(bm, Bitmap<int>(), false), Excpt_Assertion);
  EXPECT_THROW(MarkRegionBoundaries(bm, Make<int>({{1, 2}, {3, 4}}), Pixel(1)), Excpt_Assertion);
  EXPECT_EQ(ToRows(bm), Filled(3, 3, 0));
}

TEST(OverlayAlphaMask, HatchesAndOutlinesTheTransparentPart) {
  const struct {
    Rows alpha;
    int threshold;
    Rows expected;  // 1 where the value is drawn
  } cases[] = {
      {Filled(6, 5, 0), 128,
       {{1, 0, 0, 0, 1, 0}, {0, 0, 0, 1, 0, 0}, {0, 0, 1, 0, 0, 0}, {0, 1, 0, 0, 0, 1},
        {1, 0, 0, 0, 1, 0}}},
      {Filled(6, 5, 255), 128, Filled(6, 5, 0)},
      {Filled(6, 5, 0), 0, Filled(6, 5, 0)},
      // Left neighbours: the smaller alpha of the pair is marked.
      {{{255, 0, 0, 255}}, 128, {{0, 1, 0, 0}}},
      {{{0, 100, 0, 0, 0}}, 200, {{1, 0, 1, 0, 1}}},
      // Upper neighbours, looked at only when the left one agrees.
      {{{50, 50}, {10, 10}, {10, 10}}, 100, {{1, 0}, {1, 1}, {0, 0}}},
      {{{10, 10}, {50, 50}, {50, 50}}, 100, {{1, 1}, {0, 0}, {0, 0}}},
  };
  for (const auto& c : cases) {
    const int w = int(c.alpha[0].size()), h = int(c.alpha.size());
    Bitmap<Pixel> bm = Make<Pixel>(Filled(w, h, 0));
    OverlayAlphaMask(bm, Make<Pixel>(c.alpha), Pixel(1), c.threshold);
    EXPECT_EQ(ToRows(bm), c.expected) << "threshold " << c.threshold;
  }
}

TEST(OverlayAlphaMaskDeathTest, SizesMustAgree) {
  Bitmap<Pixel> bm = Make<Pixel>(Filled(3, 2, 0));
  EXPECT_DEATH(OverlayAlphaMask(bm, Make<Pixel>(Filled(2, 2, 0)), 1, 128),
               "bm.AskWidth\\(\\) ==alphamap.AskWidth\\(\\)");
  EXPECT_DEATH(OverlayAlphaMask(bm, Make<Pixel>(Filled(3, 3, 0)), 1, 128),
               "bm.AskHeight\\(\\)==alphamap.AskHeight\\(\\)");
  Bitmap<Pixel> empty;
  EXPECT_THROW(OverlayAlphaMask(empty, bm, 1, 128), Excpt_Assertion);
}
