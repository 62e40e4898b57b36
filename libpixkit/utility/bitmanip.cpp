// Bit-mask helpers for the packed pixel layouts of display memory.
#include "libpixkit/utility/bitmanip.h"

#include "libpixkit/utility/error.h"

namespace pixkit {

void CalcBitsShift(unsigned long mask, int& bits, int& shift) {
  bits = 0;
  shift = 0;
  if (mask == 0) return;
  while ((mask & 1) == 0) {
    mask >>= 1;
    shift++;
  }
  while ((mask & 1) == 1) {
    mask >>= 1;
    bits++;
  }
  assert(mask==0);
}

}  // namespace pixkit
