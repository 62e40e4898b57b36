#include "libpixkit/graphics/draw/scale.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "tests/support/images.h"

using namespace pixkit;

namespace {

using testsupport::Rows;
using testsupport::ToRows;
typedef void (*PlaneOp)(Bitmap<Pixel>&, const Bitmap<Pixel>&);

// A source with a border and wide alignment, so that reads must go through the row table.
Bitmap<Pixel> FromRows(const Rows& rows) {
  Bitmap<Pixel> bm;
  const int h = int(rows.size());
  const int w = h ? int(rows[0].size()) : 0;
  bm.Create(w, h, 3, 16, 1);
  Pixel* const* f = bm.AskFrame();
  for (int y = -3; y < h + 3; y++)
    for (int x = -3; x < w + 3; x++) f[y][x] = 99;  // a border that must never show
  testsupport::SetRows(bm, rows);
  return bm;
}

// Straightforward reference of the averaging halvings, one sample at a time.
Rows HalfReference(const Rows& s, bool horiz, bool vert) {
  const int h = int(s.size()), w = int(s[0].size());
  const int nw = horiz ? (w + 1) / 2 : w, nh = vert ? (h + 1) / 2 : h;
  Rows d(nh, std::vector<int>(nw));
  for (int y = 0; y < nh; y++)
    for (int x = 0; x < nw; x++) {
      const int sx = horiz ? 2 * x : x, sy = vert ? 2 * y : y;
      const bool pairX = horiz && sx + 1 < w, pairY = vert && sy + 1 < h;
      if (horiz && vert && pairX && pairY)
        d[y][x] = (s[sy][sx] + s[sy][sx + 1] + s[sy + 1][sx] + s[sy + 1][sx + 1]) >> 2;
      else if (horiz && !vert && pairX)
        d[y][x] = (s[sy][sx] + s[sy][sx + 1]) >> 1;
      else if (vert && !horiz && pairY)
        d[y][x] = (s[sy][sx] + s[sy + 1][sx]) >> 1;
      else if (horiz && vert && !pairX)
        d[y][x] = s[sy][w - 1];  // last column: the even source row only
      else
        d[y][x] = s[sy][sx];
    }
  return d;
}

}  // namespace

TEST(Scale, Examples) {
  const struct {
    const char* name;
    PlaneOp op;
    Rows src, expected;
  } cases[] = {
      {"Avg rounds down", HalfSize_Avg<Pixel>, {{1, 2}, {3, 5}}, {{2}}},
      {"Avg_H rounds down", HalfSize_Avg_H<Pixel>, {{1, 2}}, {{1}}},
      {"Avg_V rounds down", HalfSize_Avg_V<Pixel>, {{1}, {2}}, {{1}}},
      {"Avg of 5x3",
       HalfSize_Avg<Pixel>,
       {{10, 20, 30, 40, 50}, {11, 21, 31, 41, 51}, {12, 22, 32, 42, 52}},
       {{15, 35, 50}, {12, 32, 52}}},
      {"Avg of 1x1", HalfSize_Avg<Pixel>, {{77}}, {{77}}},
      {"Avg_H of 1x1", HalfSize_Avg_H<Pixel>, {{77}}, {{77}}},
      {"Avg_V of 1x1", HalfSize_Avg_V<Pixel>, {{77}}, {{77}}},
      {"Avg_H of 3x2", HalfSize_Avg_H<Pixel>, {{1, 4, 9}, {255, 255, 8}}, {{2, 9}, {255, 8}}},
      {"Avg_V of 2x3", HalfSize_Avg_V<Pixel>, {{1, 4}, {2, 7}, {9, 8}}, {{1, 5}, {9, 8}}},
      {"Avg no overflow", HalfSize_Avg<Pixel>, {{255, 255}, {255, 254}}, {{254}}},
      {"Dup", DoubleSize_Dup<Pixel>, {{1, 2}, {3, 4}},
       {{1, 1, 2, 2}, {1, 1, 2, 2}, {3, 3, 4, 4}, {3, 3, 4, 4}}},
      {"Dup_H", DoubleSize_Dup_H<Pixel>, {{1, 2, 3}, {4, 5, 6}}, {{1, 1, 2, 2, 3, 3}, {4, 4, 5, 5, 6, 6}}},
      {"Dup_V", DoubleSize_Dup_V<Pixel>, {{1, 2, 3}, {4, 5, 6}}, {{1, 2, 3}, {1, 2, 3}, {4, 5, 6}, {4, 5, 6}}},
  };
  for (const auto& c : cases) {
    Bitmap<Pixel> src = FromRows(c.src);
    Bitmap<Pixel> dst;
    c.op(dst, src);
    EXPECT_EQ(ToRows(dst), c.expected) << c.name;
    EXPECT_EQ(dst.AskBorder(), 0) << c.name;
  }
}

TEST(Scale, HalvingMatchesTheReferenceOnEverySizeParity) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> sample(0, 255);
  const struct {
    PlaneOp op;
    bool horiz, vert;
  } ops[] = {{HalfSize_Avg<Pixel>, true, true},
             {HalfSize_Avg_H<Pixel>, true, false},
             {HalfSize_Avg_V<Pixel>, false, true}};
  for (int w = 1; w <= 9; w++)
    for (int h = 1; h <= 6; h++) {
      Rows s(h, std::vector<int>(w));
      for (auto& r : s)
        for (auto& v : r) v = sample(rng);
      for (const auto& o : ops) {
        Bitmap<Pixel> dst;
        o.op(dst, FromRows(s));
        ASSERT_EQ(ToRows(dst), HalfReference(s, o.horiz, o.vert)) << w << "x" << h;
      }
    }
}

TEST(Scale, DestinationMemoryFollowsTheReuseRule) {
  Bitmap<Pixel> src = FromRows({{1, 2}, {3, 4}});
  Bitmap<Pixel> dst;
  DoubleSize_Dup(dst, src);
  const BitmapProvider<Pixel>* first = dst.AskBitmapProvider();
  DoubleSize_Dup(dst, FromRows({{5, 6}, {7, 8}}));
  EXPECT_EQ(dst.AskBitmapProvider(), first);  // sole user: no new memory per call

  Bitmap<Pixel> kept = dst;  // shared now: the next result must not overwrite it
  DoubleSize_Dup(dst, src);
  EXPECT_NE(dst.AskBitmapProvider(), first);
  EXPECT_EQ(ToRows(kept), (Rows{{5, 5, 6, 6}, {5, 5, 6, 6}, {7, 7, 8, 8}, {7, 7, 8, 8}}));
  EXPECT_EQ(ToRows(dst), (Rows{{1, 1, 2, 2}, {1, 1, 2, 2}, {3, 3, 4, 4}, {3, 3, 4, 4}}));
}

TEST(Scale, EmptySourceThrowsBeforeTheDestinationChanges) {
  Bitmap<Pixel> empty;
  Bitmap<Pixel> dst = FromRows({{1, 2}});
  for (PlaneOp op : {DoubleSize_Dup<Pixel>, DoubleSize_Dup_H<Pixel>, DoubleSize_Dup_V<Pixel>,
                     HalfSize_Avg<Pixel>, HalfSize_Avg_H<Pixel>, HalfSize_Avg_V<Pixel>}) {
    EXPECT_THROW(op(dst, empty), Excpt_Assertion);
    EXPECT_EQ(ToRows(dst), (Rows{{1, 2}}));
  }
}

TEST(ScaleDeathTest, SameBitmapAsSourceAndDestinationAborts) {
  Bitmap<Pixel> bm = FromRows({{1, 2}, {3, 4}});
  EXPECT_DEATH(DoubleSize_Dup(bm, bm), "&dst != &src");
  EXPECT_DEATH(HalfSize_Avg_V(bm, bm), "&dst != &src");
}
