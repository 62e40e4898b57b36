// Background synthesis by block similarity matrices: per block of the image grid, the frames
// of the history that are mutually similar and free of motion are found and the most typical
// one supplies the block. Used by the driver as "simmat" and by the inspection tool.
#ifndef CVALGO_BACKGROUND_SIMMAT_H
#define CVALGO_BACKGROUND_SIMMAT_H

#include <cstdint>
#include <memory>
#include <vector>

#include "cvalgo/background.h"
#include "libpixkit/graphics/datatypes/bitmap.h"
#include "libpixkit/graphics/datatypes/image.h"

namespace cvalgo {

// Mean absolute difference (0..255) of the block of a at (ax, ay) and the block of b at
// (bx, by); -1 when the second block does not lie wholly inside b. Only blocksize 8 is
// supported.
int Error_SAD(const pixkit::Bitmap<Pixel>& a, int ax, int ay, const pixkit::Bitmap<Pixel>& b,
              int bx, int by, int blocksize);

// The kernels behind Error_SAD: the raw sum of absolute differences of the 8x8 blocks at
// columns ax and bx of the eight rows a[0..7] and b[0..7]. Both give the same result.
int SumAbsDiff8x8_C(const Pixel* const* a, int ax, const Pixel* const* b, int bx);
#if defined(__SSE2__)
int SumAbsDiff8x8_SSE2(const Pixel* const* a, int ax, const Pixel* const* b, int bx);
#endif

// Sum of row[j] over the j < n whose flag is not 0: the selection score of one matrix row.
uint32_t SumFlagged_C(const Pixel* row, const Pixel* flags, int n);
#if defined(__SSE2__)
uint32_t SumFlagged_SSE2(const Pixel* row, const Pixel* flags, int n);
#endif

class BackgroundSynthesizer_SimMat : public BackgroundSynthesizer {
 public:
  // Per block and frame.
  struct BlockData {
    Pixel moved;  // 1: the block moved between the previous frame and this one
    Pixel reserved[2];
  };

  // One ring slot: the frame (planes shared with the caller), its motion flags and the frame's
  // share of the budget.
  struct FrameData {
    pixkit::Image<Pixel> frame;
    pixkit::Bitmap<BlockData> blocks;
    FrameClaim memory;
  };

  // Per block: similarities between ring slots and the stable flags of the last synthesis.
  struct OptData {
    pixkit::Bitmap<Pixel> matrix;       // H x H, symmetric
    std::unique_ptr<Pixel[]> stable;    // H flags
    std::unique_ptr<uint16_t[]> window; // sums of the stable-run windows, kept up to date
  };

  BackgroundSynthesizer_SimMat();
  ~BackgroundSynthesizer_SimMat() override;
  BackgroundSynthesizer_SimMat(const BackgroundSynthesizer_SimMat&) = delete;
  BackgroundSynthesizer_SimMat& operator=(const BackgroundSynthesizer_SimMat&) = delete;

  void SetBlocksize(int size);
  bool SetHistoryLength(int length) override;
  void Reset() override;
  void PutImage(const pixkit::Image<Pixel>& img) override;
  void ShareImage(const pixkit::Image<Pixel>& img) override;
  void SynthesizeBackground(pixkit::Image<Pixel>& out) override;
  const char* AskAlgorithmName() override { return "similarity matrix decomposition"; }

  int AskBlocksAcross() const { return d_across; }
  int AskBlocksDown() const { return d_down; }
  int AskStored() const { return d_stored; }
  int AskRingIndex() const { return d_ring; }

  // Sets the moved flag of every block of the current frame that matches a displaced block
  // of the previous frame clearly better than the undisplaced one.
  static void DetectBlockMotion(pixkit::Bitmap<BlockData>& blocks,
                                const pixkit::Image<Pixel>& current,
                                const pixkit::Image<Pixel>& previous, int blocksize, int range);

  // Flags the ring slots of block (bx, by) that lie in a window of n slots along the matrix
  // diagonal whose mean similarity exceeds 128.
  void MarkStableFrames(Pixel* flags, int bx, int by, int n);
  void MarkAllStableFrames(int n);

  // Score of a selection of slots (selected[i] != 0) for the matrix rows M, and its change
  // when the selection of slot k is toggled.
  int64_t SelectionEnergy(const Pixel* const* M, const Pixel* selected, const int* weight) const;
  int32_t SelectionEnergyDelta(const Pixel* const* M, const Pixel* selected, const int* weight,
                               int k) const;

  // Block (bx, by)'s matrix as an H x H greyscale image.
  void AskSimilarityMatrixImage(pixkit::Image<Pixel>& out, int bx, int by) const;

  // Block (bx, by)'s matrix as an H x H RGB image over black, with the slots flagged stable
  // by the last synthesis marked as red columns and green rows.
  void AskSimilarityMatrixRGB(pixkit::Image<Pixel>& out, int bx, int by) const;

  // One line "column;row value" per sample to the standard output.
  static void DumpBitmapText(const pixkit::Bitmap<Pixel>& bm);

 private:
  void CheckFrame(const pixkit::Image<Pixel>& img) const;
  bool FrameDiffers(const pixkit::Image<Pixel>& img) const;
  void Claim(MemoryClaim& claim, uint64_t bytes, const char* what);
  void CreateHistory(const pixkit::Image<Pixel>& img);
  void ReleaseHistory();
  void UpdateMatrices(int k);
  void UpdateWindowSums(OptData& od, int k) const;
  OptData& Record(int bx, int by);

  int d_history_length = 50;
  int d_blocksize = 8;
  int d_range = 2;
  // Grows with the frames that came up to the history length; destroyed from the last slot to
  // the first.
  std::vector<FrameData> d_history;
  int d_stored = 0;
  int d_ring = -1;
  pixkit::Bitmap<OptData> d_records;
  int d_across = 0;
  int d_down = 0;

  // Row tables of every slot, gathered once per frame.
  std::vector<const Pixel* const*> d_luma_rows;
  std::vector<const BlockData* const*> d_block_rows;

  MemoryClaim d_matrix_memory;
  MemoryClaim d_record_memory;  // the blocks' other records
  MemoryClaim d_slot_memory;    // the slots of the history, without their frames' planes
};

}  // namespace cvalgo

#endif
