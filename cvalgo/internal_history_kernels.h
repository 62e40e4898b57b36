// The row kernels of the history synthesizers (median, average, mode of background.cpp): the
// fast twin of their per-pixel route, which stays the model. Only background.cpp calls them.
#ifndef CVALGO_INTERNAL_HISTORY_KERNELS_H
#define CVALGO_INTERNAL_HISTORY_KERNELS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "cvalgo/background.h"

namespace cvalgo {

using RowJob = BackgroundSynthesizer_PixelWise::RowJob;

// Lane counts are compared as signed 16-bit numbers; longer histories take the plain route.
constexpr int c_MaxKernelFrames = INT16_MAX;

struct ModeTables;

// Scratch of the row kernels, kept so that a synthesis allocates only when the image grows.
struct KernelScratch {
  KernelScratch();
  ~KernelScratch();

  std::vector<uint8_t> samples;
  std::vector<const Pixel*> rowTable;
  std::unique_ptr<ModeTables> mode;
  std::vector<uint64_t> reciprocal;
};

// The upper median of the valid samples; job.n at most c_MaxKernelFrames.
void MedianRows(KernelScratch& k, const RowJob& job);

// The mode with fuzzyness f; f at most 255, job.n at most c_MaxKernelFrames and
// job.n * (f + 1) at most INT16_MAX.
void ModeRows(KernelScratch& k, const RowJob& job, int f);

// The mean of the valid samples, truncated, with rec from Reciprocals for job.n; job.n at most
// c_MaxKernelFrames.
void AverageRows(KernelScratch& k, const RowJob& job, const uint64_t* rec);

// Multipliers that divide by 1 to n: floor(s / c) = (s * r[c]) >> 40 for every s up to 255 * c.
const uint64_t* Reciprocals(std::vector<uint64_t>& r, int n);

}  // namespace cvalgo

#endif
