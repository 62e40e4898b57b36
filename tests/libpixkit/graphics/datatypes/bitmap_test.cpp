#include "libpixkit/graphics/datatypes/bitmap.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "libpixkit/graphics/draw/blit.h"
#include "libpixkit/utility/math.h"

using namespace pixkit;

namespace {

// Fills the content with a value that tells its position.
void Number(Bitmap<Pixel>& b) {
  Pixel* const* f = b.AskFrame();
  for (int y = 0; y < b.AskHeight(); y++)
    for (int x = 0; x < b.AskWidth(); x++) f[y][x] = Pixel(y * 16 + x);
}

std::string AssertionText(const Excpt_Text& e) {
  char buf[1000];
  e.GetText(buf, 1000);
  return buf;
}

// Counts live elements, to see that class elements are built and destroyed with the array.
struct Counted {
  static int live;
  Counted() { live++; }
  ~Counted() { live--; }
  int value = 7;
};
int Counted::live = 0;

}  // namespace

TEST(Alignment, IntegerHelpers) {
  EXPECT_EQ(AlignUp(352, 16), 352);
  EXPECT_EQ(AlignUp(353, 16), 368);
  EXPECT_EQ(AlignUp(0, 8), 0);
  EXPECT_EQ(LeastCommonMultiple(4, 6), 12);
  EXPECT_EQ(LeastCommonMultiple(1, 7), 7);
  EXPECT_EQ(LeastCommonMultiple(8, 8), 8);
  EXPECT_EQ(Abs(-3), 3);
  EXPECT_EQ(Abs(0), 0);

  int aw, ah, ab;
  CalcAlignedSizes(17, 9, 3, 4, 2, aw, ah, ab);
  EXPECT_EQ(aw, 20);
  EXPECT_EQ(ah, 10);
  EXPECT_EQ(ab, 4);
}

TEST(AlignmentDeathTest, InvalidArgumentsStop) {
  EXPECT_DEATH(AlignUp(5, 0), "align>0");
  EXPECT_DEATH(AlignUp(-3, 4), "newval < val\\+align");
  int aw, ah, ab;
  EXPECT_DEATH(CalcAlignedSizes(1, 1, -1, 1, 1, aw, ah, ab), "border>=0");
  EXPECT_DEATH(CalcAlignedSizes(1, 1, 0, 0, 1, aw, ah, ab), "halign>=1");
}

TEST(Bitmap, LayoutOfANewProvider) {
  Bitmap<Pixel> b;
  b.Create(352, 288, 0, 1, 1);
  EXPECT_EQ(b.AskBitmapProvider()->AskRefCntr(), 1);
  EXPECT_EQ(b.AskBitmapProvider()->AskTotalWidth(), 352);
  EXPECT_EQ(b.AskBitmapProvider()->AskTotalHeight(), 288);
  EXPECT_EQ(b.AskFrame()[0], b.AskBitmapProvider()->AskFrame()[0]);

  Bitmap<Pixel> c;
  c.Create(8, 4, 2, 4, 1);
  EXPECT_EQ(c.AskAlignedBorder(), 4);
  EXPECT_EQ(c.AskAlignedWidth(), 8);
  EXPECT_EQ(c.AskBitmapProvider()->AskTotalWidth(), 16);
  EXPECT_EQ(c.AskBitmapProvider()->AskTotalHeight(), 8);
  const Pixel* first = c.AskBitmapProvider()->AskFrame()[0] - 4;
  EXPECT_EQ(&c.AskFrame()[-2][-4], first);
  EXPECT_EQ(&c.AskFrame()[5][11], first + 8 * 16 - 1);  // last stored sample
}

TEST(Bitmap, EmptyBitmapsRefuseSizeQueriesButTolerateTheRest) {
  Bitmap<Pixel> e;
  EXPECT_TRUE(e.IsEmpty());
  EXPECT_EQ(e.AskZeroX(), 0);
  e.MoveZero(2, 2);
  e.Release();
  try {
    e.AskWidth();
    FAIL();
  } catch (const Excpt_Assertion& ex) {
    EXPECT_NE(AssertionText(ex).find("(no bitmap-provider attached to bitmap).\n"), std::string::npos);
  }
  EXPECT_THROW(e.AskFrame(), Excpt_Assertion);
  EXPECT_THROW(static_cast<const Bitmap<Pixel>&>(e).AskFrame(), Excpt_Assertion);
  EXPECT_THROW(e.AskBorder(), Excpt_Assertion);
}

TEST(Bitmap, CreateReusesTheProviderOnlyWhileItIsTheSoleUser) {
  Bitmap<Pixel> a;
  a.Create(16, 8);
  Number(a);
  const BitmapProvider<Pixel>* p = a.AskBitmapProvider();
  a.Create(16, 8);
  EXPECT_EQ(a.AskBitmapProvider(), p);
  EXPECT_EQ(a.AskFrame()[3][5], 3 * 16 + 5) << "a reused provider keeps its samples";

  Bitmap<Pixel> b;
  b = a;
  EXPECT_EQ(p->AskRefCntr(), 2);
  a.Create(16, 8);
  EXPECT_NE(a.AskBitmapProvider(), p) << "a shared provider must never be overwritten";
  EXPECT_EQ(p->AskRefCntr(), 1);
  a.AskFrame()[3][5] = 0;
  EXPECT_EQ(b.AskFrame()[3][5], 3 * 16 + 5);

  // Smaller: reused when the surplus is a multiple of the alignment.
  const BitmapProvider<Pixel>* q = a.AskBitmapProvider();
  a.Create(10, 5);
  EXPECT_EQ(a.AskBitmapProvider(), q);
  EXPECT_EQ(a.AskWidth(), 10);
  EXPECT_EQ(a.AskHeight(), 5);
  a.Create(17, 8);  // larger: new memory
  EXPECT_NE(a.AskBitmapProvider(), q);
  a.Create(16, 8);
  q = a.AskBitmapProvider();
  a.Create(12, 8, 0, 8, 1);  // aligned width 16, no surplus
  EXPECT_EQ(a.AskBitmapProvider(), q);
  a.Create(10, 8, 0, 4, 1);  // aligned width 12, surplus 4 is a multiple of 4
  EXPECT_EQ(a.AskBitmapProvider(), q);
  a.Create(9, 8, 0, 3, 1);  // aligned width 9, surplus 3 is a multiple of 3
  EXPECT_EQ(a.AskBitmapProvider(), q);
  a.Create(6, 8, 0, 2, 1);  // surplus 3 is no multiple of 2
  EXPECT_NE(a.AskBitmapProvider(), q);
  a.Create(16, 8, 2, 1, 1);  // a border the provider lacks
  EXPECT_EQ(a.AskBorder(), 2);
}

TEST(Bitmap, AssignmentSharesAndTheLastReleaseDeletes) {
  Counted::live = 0;
  {
    Bitmap<Counted> a;
    a.Create(4, 3, 1, 1, 1);
    const int elements = Counted::live;
    EXPECT_EQ(elements, 6 * 5);
    EXPECT_EQ(a.AskFrame()[0][0].value, 7);
    Bitmap<Counted> b(a), c;
    c = b;
    EXPECT_EQ(a.AskBitmapProvider()->AskRefCntr(), 3);
    c = c;
    EXPECT_EQ(a.AskBitmapProvider()->AskRefCntr(), 3);
    b.Release();
    a.Release();
    EXPECT_EQ(Counted::live, elements) << "still held by c";
    EXPECT_EQ(c.AskBitmapProvider()->AskRefCntr(), 1);
    c = Bitmap<Counted>();
    EXPECT_TRUE(c.IsEmpty());
    EXPECT_EQ(Counted::live, 0);
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(Bitmap, MovedZeroAddressesContentAndSurvivesCopiesAndClones) {
  Bitmap<Pixel> a;
  a.Create(16, 8, 4, 1, 1);
  Number(a);
  a.MoveZero(3, 2);
  EXPECT_EQ(a.AskFrame()[0][0], 2 * 16 + 3);
  EXPECT_EQ(a.AskFrame()[-2][-3], 0);

  a.MoveZero(0, 0);
  FillRect(a, -4, -4, 19, 11, Pixel(0));  // border included
  a.MoveZero(3, 2);
  Clear(a, Pixel(9));
  a.MoveZero(0, 0);
  int nines = 0;
  for (int y = -4; y < 12; y++)
    for (int x = -4; x < 20; x++) nines += a.AskFrame()[y][x] == 9;
  EXPECT_EQ(nines, 16 * 8) << "Clear fills exactly the content";
  Number(a);
  for (int y = -4; y < 12; y++)  // a border that tells its position too
    for (int x = -4; x < 20; x++)
      if (y < 0 || y >= 8 || x < 0 || x >= 16) a.AskFrame()[y][x] = Pixel(130 + y * 5 + x);
  a.MoveZero(3, 2);

  Bitmap<Pixel> copy = a;  // private shifted table is copied, not shared
  a.MoveZero(0, 0);
  EXPECT_EQ(copy.AskFrame()[0][0], 2 * 16 + 3);

  a.MoveZero(3, 2);
  Bitmap<Pixel> clone = a.Clone();
  EXPECT_NE(clone.AskBitmapProvider(), a.AskBitmapProvider());
  EXPECT_EQ(clone.AskZeroX(), 3);
  EXPECT_EQ(clone.AskZeroY(), 2);
  EXPECT_EQ(clone.AskBorder(), 4);
  for (int y = -6; y < 10; y++)  // the border as well
    for (int x = -7; x < 17; x++)
      ASSERT_EQ(clone.AskFrame()[y][x], a.AskFrame()[y][x]) << y << "," << x;

  Bitmap<Pixel> thin = a.Clone(0, 1, 1);
  EXPECT_EQ(thin.AskBorder(), 0);
  EXPECT_EQ(thin.AskFrame()[5][12], a.AskFrame()[5][12]);

  // Into a larger bitmap: its memory is used again (its provider tells by its size); into the
  // source itself: the samples survive. Either way the result is the clone's.
  Bitmap<Pixel> into;
  into.Create(20, 9, 4, 1, 1);
  a.CloneTo(into);
  a.CloneTo(a);
  EXPECT_EQ(into.AskBitmapProvider()->AskWidth(), 20);
  for (const Bitmap<Pixel>* b : {&into, &a}) {
    EXPECT_EQ(b->AskZeroX(), 3);
    EXPECT_EQ(b->AskZeroY(), 2);
    EXPECT_EQ(b->AskBorder(), 4);
    for (int y = -6; y < 10; y++)
      for (int x = -7; x < 17; x++) ASSERT_EQ(b->AskFrame()[y][x], clone.AskFrame()[y][x]);
  }
}

TEST(Bitmap, FillInvertAndCopy) {
  Bitmap<Pixel> a, b;
  a.Create(6, 4);
  b.Create(6, 4);
  Clear(a, Pixel(10));
  FillRect(a, 1, 1, 2, 3, Pixel(200));
  EXPECT_EQ(a.AskFrame()[1][1], 200);
  EXPECT_EQ(a.AskFrame()[3][2], 200);
  EXPECT_EQ(a.AskFrame()[0][1], 10);
  EXPECT_EQ(a.AskFrame()[1][3], 10);
  Invert(a, 5);
  EXPECT_EQ(a.AskFrame()[0][0], Pixel(5 - 10));
  EXPECT_EQ(a.AskFrame()[1][1], Pixel(5 - 200));

  Copy(b, a);
  EXPECT_NE(b.AskBitmapProvider(), a.AskBitmapProvider());
  EXPECT_EQ(b.AskFrame()[1][1], Pixel(5 - 200));

  Bitmap<Pixel> wide;
  wide.Create(7, 4);
  try {
    Copy(wide, a);
    FAIL();
  } catch (const Excpt_Assertion& e) {
    EXPECT_NE(AssertionText(e).find("(w == dst.AskWidth())"), std::string::npos);
  }
  Bitmap<Pixel> empty;
  EXPECT_THROW(Copy(empty, a), Excpt_Assertion);
  Copy(b, empty);
  EXPECT_TRUE(b.IsEmpty());
}

TEST(Bitmap, DoubleSamplesAndPlainRecords) {
  Bitmap<double> d;
  d.Create(3, 2);
  Clear(d, 0.5);
  EXPECT_EQ(d.AskFrame()[1][2], 0.5);
  struct Flags {
    bool moving;
    int n;
  };
  Bitmap<Flags> f;
  f.Create(2, 2);
  f.AskFrame()[1][1] = {true, 3};
  Bitmap<Flags> g = f.Clone();
  EXPECT_EQ(g.AskFrame()[1][1].n, 3);
}

TEST(BitmapDeathTest, BrokenReferenceCountsStop) {
  EXPECT_DEATH(
      {
        BitmapProvider_Mem<Pixel> p(1, 1, 0, 1, 1);
        p.DecrRef();
      },
      "d_ref_cntr>=0");
  EXPECT_DEATH(
      {
        auto* p = new BitmapProvider_Mem<Pixel>(1, 1, 0, 1, 1);
        p->IncrRef();
        delete p;
      },
      "d_ref_cntr==0");
  Bitmap<Pixel> b;
  b.Create(1, 1);
  EXPECT_DEATH(b.Clone(0, 0, 1), "halign>=1");
}

namespace {
// Runs out after a set number of constructions, as an allocation might.
struct Fragile {
  static int budget;
  Fragile() {
    if (--budget < 0) throw std::bad_alloc();
  }
};
int Fragile::budget = 0;
}  // namespace

TEST(Bitmap, AFailedCreateKeepsThePreviousProviderAndLeaksNothing) {
  Bitmap<Fragile> b;
  Fragile::budget = 100;
  b.Create(5, 5);
  const auto* before = b.AskBitmapProvider();
  Fragile::budget = 10;
  EXPECT_THROW(b.Create(50, 50), std::bad_alloc);
  EXPECT_EQ(b.AskBitmapProvider(), before);
  EXPECT_EQ(b.AskWidth(), 5);
  EXPECT_THROW(b.Clone(), std::bad_alloc);
  EXPECT_EQ(before->AskRefCntr(), 1);

  // A sample count beyond size_t (on a 32-bit system) is out of memory, never a smaller plane.
  if (sizeof(size_t) == 4) {
    Bitmap<Pixel> p;
    p.Create(5, 5);
    const auto* old = p.AskBitmapProvider();
    EXPECT_THROW(p.Create(65536, 65537), std::bad_alloc);
    EXPECT_EQ(p.AskBitmapProvider(), old);
  }
}
