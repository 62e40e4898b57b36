#include "libpixkit/utility/bitmanip.h"

#include <gtest/gtest.h>

using namespace pixkit;

TEST(CalcBitsShift, GivesWidthAndPositionOfContiguousMasks) {
  const struct {
    unsigned long mask;
    int bits, shift;
  } cases[] = {{0, 0, 0},         {0xF800, 5, 11}, {0x07E0, 6, 5},        {0x001F, 5, 0},
               {0xFF0000, 8, 16}, {0x7C00, 5, 10}, {0xFF000000ul, 8, 24}, {1, 1, 0}};
  for (const auto& c : cases) {
    int bits = -1, shift = -1;
    CalcBitsShift(c.mask, bits, shift);
    EXPECT_EQ(bits, c.bits) << std::hex << c.mask;
    EXPECT_EQ(shift, c.shift) << std::hex << c.mask;
  }
}

TEST(CalcBitsShiftDeathTest, AbortsOnAMaskWithAGap) {
  int bits, shift;
  EXPECT_DEATH(CalcBitsShift(0x0F0F, bits, shift), "mask==0");
}
