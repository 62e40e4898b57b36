#include "libpixkit/utility/math.h"

#include <cassert>
#include <numeric>

namespace pixkit {

int AlignUp(int val, int align) {
  assert(align>0);
  int newval = val;
  if (val % align != 0) newval = val + align - (val % align);
  assert((newval % align)==0);
  assert(newval >= val);
  assert(newval < val+align);
  return newval;
}

int LeastCommonMultiple(int a, int b) {
  assert(a >= 1 && b >= 1);
  return a / std::gcd(a, b) * b;
}

}  // namespace pixkit
