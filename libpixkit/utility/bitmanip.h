// Bit-mask helpers for the packed pixel layouts of display memory.
#ifndef PIXKIT_UTILITY_BITMANIP_H
#define PIXKIT_UTILITY_BITMANIP_H

namespace pixkit {

// For a mask of contiguous one bits: shift = zero bits below the lowest one bit, bits = number
// of one bits (both 0 for mask 0). A mask with a gap aborts.
void CalcBitsShift(unsigned long mask, int& bits, int& shift);

}  // namespace pixkit

#endif
