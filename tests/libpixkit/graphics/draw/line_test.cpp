#include "libpixkit/graphics/draw/line.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>
#include <vector>

using namespace pixkit;

namespace {

typedef std::set<std::pair<int, int>> Points;  // (x, y)

// The points of a bitmap (content and border) that hold `value`, in AskFrame coordinates.
Points Marked(Bitmap<Pixel>& bm, Pixel value) {
  Points p;
  Pixel* const* f = bm.AskFrame();
  const int b = bm.AskBorder();
  const int x0 = -bm.AskZeroX(), y0 = -bm.AskZeroY();
  for (int y = y0 - b; y < y0 + bm.AskHeight() + b; y++)
    for (int x = x0 - b; x < x0 + bm.AskWidth() + b; x++)
      if (f[y][x] == value) p.insert({x, y});
  return p;
}

Bitmap<Pixel> Blank(int w, int h, int border = 0) {
  Bitmap<Pixel> bm;
  bm.Create(w, h, border, 1, 1);
  Pixel* const* f = bm.AskFrame();
  for (int y = -border; y < h + border; y++)
    for (int x = -border; x < w + border; x++) f[y][x] = 0;
  return bm;
}

}  // namespace

TEST(ClipLine, OutcodesTestYBeforeX) {
  const struct {
    int x, y, code;
  } cases[] = {
      {5, 5, 0}, {0, 0, 0}, {9, 9, 0}, {-1, 12, 2 + 4}, {12, -1, 1 + 8},
      {5, -1, 1}, {5, 10, 2}, {-1, 5, 4}, {10, 5, 8}, {-1, -1, 1 + 4}, {10, 10, 2 + 8},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ComputeOutcode(c.x, c.y, 0, 0, 9, 9), c.code) << c.x << "," << c.y;
}

TEST(ClipLine, ClipsToTheRectangle) {
  const struct {
    int x1, y1, x2, y2;
    bool visible;
    int cx1, cy1, cx2, cy2;
  } cases[] = {
      {-5, 5, 15, 5, true, 0, 5, 9, 5},
      {5, -10, 5, 20, true, 5, 0, 5, 9},
      {0, 0, 9, 9, true, 0, 0, 9, 9},
      {15, 5, -5, 5, true, 9, 5, 0, 5},
      {-5, -5, -1, 20, false, 0, 0, 0, 0},  // both left
      {11, 0, 20, 9, false, 0, 0, 0, 0},    // both right
      {-10, 0, 0, -10, false, 0, 0, 0, 0},  // crosses the corner region only
      {-4, 4, 4, -4, true, 0, 0, 0, 0},     // touches the corner
      {3, 4, 3, 4, true, 3, 4, 3, 4},       // a single point inside
      // Truncation toward zero: x = -5 + 5 * 20 / 7 = 9.
      {-5, -5, 15, 2, true, 9, 0, 9, 0},
  };
  for (const auto& c : cases) {
    int x1 = c.x1, y1 = c.y1, x2 = c.x2, y2 = c.y2;
    const bool v = ClipLine(x1, y1, x2, y2, 0, 0, 9, 9);
    EXPECT_EQ(v, c.visible) << c.x1 << "," << c.y1 << " - " << c.x2 << "," << c.y2;
    if (v && c.visible) {
      EXPECT_EQ(x1, c.cx1);
      EXPECT_EQ(y1, c.cy1);
      EXPECT_EQ(x2, c.cx2);
      EXPECT_EQ(y2, c.cy2);
    }
  }
}

TEST(ClipLine, ClippedEndPointsLieInsideAndOnTheSegment) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> coord(-60, 60);
  for (int i = 0; i < 20000; i++) {
    const int ox1 = coord(rng), oy1 = coord(rng), ox2 = coord(rng), oy2 = coord(rng);
    int x1 = ox1, y1 = oy1, x2 = ox2, y2 = oy2;
    if (!ClipLine(x1, y1, x2, y2, -7, -3, 20, 11)) continue;
    for (auto p : {std::make_pair(x1, y1), std::make_pair(x2, y2)}) {
      ASSERT_EQ(ComputeOutcode(p.first, p.second, -7, -3, 20, 11), 0);
      // Within the original segment's bounding box.
      ASSERT_GE(p.first, std::min(ox1, ox2));
      ASSERT_LE(p.first, std::max(ox1, ox2));
      ASSERT_GE(p.second, std::min(oy1, oy2));
      ASSERT_LE(p.second, std::max(oy1, oy2));
    }
  }
}

TEST(DrawLine, StepsLikeTheIntegerLineAlgorithm) {
  const struct {
    int x1, y1, x2, y2;
    std::vector<std::pair<int, int>> points;
  } cases[] = {
      // e starts at 0: a tie keeps the row.
      {0, 0, 4, 2, {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}}},
      {4, 2, 0, 0, {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}}},
      {0, 0, 2, 2, {{0, 0}, {1, 1}, {2, 2}}},
      {2, 2, 0, 0, {{0, 0}, {1, 1}, {2, 2}}},
      {3, 3, 3, 3, {{3, 3}}},
      {0, 4, 4, 2, {{0, 4}, {1, 4}, {2, 3}, {3, 3}, {4, 2}}},  // minor step -1
      {1, 0, 2, 4, {{1, 0}, {1, 1}, {1, 2}, {2, 3}, {2, 4}}},  // y-major
      {2, 4, 1, 0, {{1, 0}, {1, 1}, {1, 2}, {2, 3}, {2, 4}}},
      {5, 1, 5, 3, {{5, 1}, {5, 2}, {5, 3}}},
  };
  for (const auto& c : cases) {
    Bitmap<Pixel> bm = Blank(10, 10, 2);
    DrawLine(bm, c.x1, c.y1, c.x2, c.y2, Pixel(7));
    EXPECT_EQ(Marked(bm, 7), Points(c.points.begin(), c.points.end()))
        << c.x1 << "," << c.y1 << " - " << c.x2 << "," << c.y2;
  }
}

TEST(DrawLine, StaysInsideTheContent) {
  Bitmap<Pixel> bm = Blank(10, 10, 3);
  DrawLine(bm, -3, 4, 20, 4, Pixel(9));
  Points row;
  for (int x = 0; x < 10; x++) row.insert({x, 4});
  EXPECT_EQ(Marked(bm, 9), row);

  // Wholly outside: nothing at all, also not in the border.
  bm = Blank(10, 10, 3);
  DrawLine(bm, -3, -1, -1, 12, Pixel(9));
  EXPECT_TRUE(Marked(bm, 9).empty());

  // With a moved zero position the content spans [-2, 7] x [-1, 8].
  bm = Blank(10, 10, 3);
  bm.MoveZero(2, 1);
  DrawLine(bm, -20, -20, 20, 20, Pixel(9));
  const Points d = Marked(bm, 9);
  EXPECT_EQ(d.size(), 9u);
  for (auto p : d) {
    EXPECT_EQ(p.first, p.second);
    EXPECT_GE(p.first, -1);
    EXPECT_LE(p.first, 7);
  }

  // Random segments through and around a bitmap never touch the border.
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> coord(-15, 25);
  Bitmap<Pixel> r = Blank(7, 5, 3);
  for (int i = 0; i < 2000; i++)
    DrawLine(r, coord(rng), coord(rng), coord(rng), coord(rng), Pixel(1));
  for (auto p : Marked(r, 1)) {
    EXPECT_GE(p.first, 0);
    EXPECT_LT(p.first, 7);
    EXPECT_GE(p.second, 0);
    EXPECT_LT(p.second, 5);
  }
}

TEST(DrawLine, EmptyBitmapThrows) {
  Bitmap<Pixel> empty;
  EXPECT_THROW(DrawLine(empty, 0, 0, 1, 1, Pixel(1)), Excpt_Assertion);
}
