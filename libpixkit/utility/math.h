// Integer helpers for sizes and alignment, used by the bitmap layout and line drawing.
#ifndef PIXKIT_UTILITY_MATH_H
#define PIXKIT_UTILITY_MATH_H

namespace pixkit {

// val rounded up to the next multiple of align; sizes handed to the library are 0 or more.
int AlignUp(int val, int align);

// Least common multiple of two integers of 1 or more.
int LeastCommonMultiple(int a, int b);

inline int Abs(int v) { return v >= 0 ? v : -v; }

}  // namespace pixkit

#endif
