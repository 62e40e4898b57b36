// The row kernels of the synthesizers that do their work as frames come in (aging, first/last,
// the running sums of the average), each a scalar model with SSE2 and AVX2 twins, and the one
// switch that picks between the scalar and the vector rows of every synthesizer. Only cvalgo's
// sources and the tests use them.
#ifndef CVALGO_INTERNAL_RUNNING_KERNELS_H
#define CVALGO_INTERNAL_RUNNING_KERNELS_H

#include <cstdint>

#include "libpixkit/graphics/datatypes/imageparam.h"

namespace cvalgo {

using pixkit::Pixel;

enum class RowKind { C, SSE2, AVX2 };

// The widest rows the synthesizers may take (AVX2 only where the processor has it). Tests
// narrow it to compare the routes; C also sends the history synthesizers through their
// per-pixel route.
extern RowKind g_widest_rows;

// What the synthesizers use now.
RowKind ChosenRows();

// Blends a frame row into the background row with weights a/65536 and (65536-a)/65536, a in
// 0..65536: bg = (bg*a + frame*(65536-a) + 32768) / 65536.
void AgeRow_C(Pixel* bg, const Pixel* frame, int w, int a);
void AgeRow_SSE2(Pixel* bg, const Pixel* frame, int w, int a);
void AgeRow_AVX2(Pixel* bg, const Pixel* frame, int w, int a);
void AgeRow(Pixel* bg, const Pixel* frame, int w, int a);

// One row of `planes` planes of a first/last background: where the frame's alpha is not 0 (and,
// unless last, the pixel holds no sample yet) the background takes the frame's samples of every
// plane; then `taken` becomes 255 there.
struct TakeRowArgs {
  Pixel* bg[3];
  const Pixel* frame[3];
  int planes;
  const Pixel* alpha;
  Pixel* taken;
  int w;
  bool last;
};
void TakeRow_C(const TakeRowArgs& r);
void TakeRow_SSE2(const TakeRowArgs& r);
void TakeRow_AVX2(const TakeRowArgs& r);
void TakeRow(const TakeRowArgs& r);

// Adds the valid samples of the joining row and takes away those of the leaving one (either
// may be null): a sample is valid where its alpha row is null or holds 255. count, when not
// null, follows the number of valid samples. Sums wrap as unsigned 32-bit numbers.
struct StepRowArgs {
  uint32_t* sum;
  uint32_t* count;
  const Pixel* joining;
  const Pixel* joiningAlpha;
  const Pixel* leaving;
  const Pixel* leavingAlpha;
  int w;
};
void StepRow_C(const StepRowArgs& r);
void StepRow_SSE2(const StepRowArgs& r);
void StepRow_AVX2(const StepRowArgs& r);
void StepRow(const StepRowArgs& r);

}  // namespace cvalgo

#endif
