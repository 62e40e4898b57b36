// Background synthesizers: the interface the driver uses for every algorithm, and the
// algorithms that keep a running background or a history of frames.
#ifndef CVALGO_BACKGROUND_H
#define CVALGO_BACKGROUND_H

#include <deque>
#include <memory>

#include "cvalgo/memory_budget.h"
#include "libpixkit/containers/queue.h"
#include "libpixkit/graphics/datatypes/image.h"

namespace cvalgo {

using pixkit::Color;
using pixkit::Pixel;

struct KernelScratch;
struct RunningSums;

class BackgroundSynthesizer {
 public:
  BackgroundSynthesizer() = default;
  virtual ~BackgroundSynthesizer() = default;

  virtual void SetUnknownColor(Color c) { d_unknown = c; }
  // False: the algorithm keeps no history and ignores the length.
  virtual bool SetHistoryLength(int) { return false; }
  virtual void Reset() {}
  // The caller may overwrite the frame's planes afterwards.
  virtual void PutImage(const pixkit::Image<Pixel>& img) = 0;
  // The synthesizer may keep the frame's planes; the caller never writes into them again.
  virtual void ShareImage(const pixkit::Image<Pixel>& img) = 0;
  virtual void SynthesizeBackground(pixkit::Image<Pixel>& out) = 0;
  virtual const char* AskAlgorithmName() { return "(unknown)"; }

  // Counts what the synthesizer holds against budget, which outlives it; set before the first
  // frame. Without a budget (null) nothing limits it.
  void SetMemoryBudget(MemoryBudget* budget) { d_budget = budget ? budget : &d_unlimited; }

 protected:
  Color d_unknown{255, 128, 128, 0};
  MemoryBudget d_unlimited;
  MemoryBudget* d_budget = &d_unlimited;
};

// Exponential blending: every frame moves the background a little towards itself.
class BackgroundSynthesizer_Aging : public BackgroundSynthesizer {
 public:
  BackgroundSynthesizer_Aging() = default;

  // The weight the old background keeps per frame, 0 to 1; takes effect with the next frame.
  void SetAgingFactor(double factor);

  void Reset() override;
  void PutImage(const pixkit::Image<Pixel>& img) override;
  void ShareImage(const pixkit::Image<Pixel>& img) override;
  void SynthesizeBackground(pixkit::Image<Pixel>& out) override;
  const char* AskAlgorithmName() override;

 private:
  double d_agingfactor = 0.95;
  pixkit::Image<Pixel> d_current;
  MemoryClaim d_current_memory;
};

// Per pixel the first (or the most recent) sample whose alpha is not 0.
class BackgroundSynthesizer_FirstLast : public BackgroundSynthesizer {
 public:
  explicit BackgroundSynthesizer_FirstLast(bool last) : d_last(last) {}

  void Reset() override;
  void PutImage(const pixkit::Image<Pixel>& img) override;
  void ShareImage(const pixkit::Image<Pixel>& img) override;
  void SynthesizeBackground(pixkit::Image<Pixel>& out) override;
  const char* AskAlgorithmName() override;

 private:
  pixkit::Image<Pixel> d_current;  // always with alpha: 0 where no sample was taken yet
  MemoryClaim d_current_memory;
  const bool d_last;
};

// Keeps the newest history-length frames, the oldest at the queue's head.
class BackgroundSynthesizer_Buffered : public BackgroundSynthesizer {
 public:
  BackgroundSynthesizer_Buffered() = default;

  bool SetHistoryLength(int n) override;
  void Reset() override;
  void PutImage(const pixkit::Image<Pixel>& img) override;
  void ShareImage(const pixkit::Image<Pixel>& img) override;
  const char* AskAlgorithmName() override { return "(unknown/offline)"; }

 protected:
  int d_historylength = 50;
  pixkit::Queue<pixkit::Image<Pixel>> d_queue;
  std::deque<FrameClaim> d_queue_memory;  // entry i holds frame i of the queue

  // Told about every frame that joins or leaves the queue, so that a leaf can keep running
  // totals instead of going through all frames at every synthesis.
  virtual void FrameJoined(const pixkit::Image<Pixel>&) {}
  virtual void FrameLeft(const pixkit::Image<Pixel>&) {}

 private:
  void Append(const pixkit::Image<Pixel>& img);
  void RemoveOldest();
  void Trim();
};

// Temporal mean of all samples, alpha ignored.
class BackgroundSynthesizer_SimpleAverage : public BackgroundSynthesizer_Buffered {
 public:
  void SynthesizeBackground(pixkit::Image<Pixel>& out) override;
  const char* AskAlgorithmName() override { return "averaging filter"; }
};

// Temporal (upper) median of all samples, alpha ignored.
class BackgroundSynthesizer_SimpleMedian : public BackgroundSynthesizer_Buffered {
 public:
  void SynthesizeBackground(pixkit::Image<Pixel>& out) override;
  const char* AskAlgorithmName() override { return "median filter"; }
};

// Computes every background sample on its own from the samples the frames hold there.
class BackgroundSynthesizer_PixelWise : public BackgroundSynthesizer_Buffered {
 public:
  // One to three planes that cover the same pixels, computed together so that each frame's
  // alpha is read once.
  struct RowJob {
    int planes;
    int plane[3];  // which plane of the image each one is
    Pixel* const* out[3];
    Pixel* const* outAlpha;  // 255 where a value was found, 0 elsewhere; null: not written
    const Pixel* const* const* rows[3];   // per plane, the n frames' row tables
    const Pixel* const* const* alphaRows;  // n entries, null for a frame without alpha plane
    int x0, x1, y0, y1;                    // frame coordinates of the pixels to compute
    int n;
    bool useAlpha;
    Pixel unknown[3];
  };

  void SynthesizeBackground(pixkit::Image<Pixel>& out) override;

  // alphaRows[i] is null for a frame without alpha plane. Returns false (and leaves *out alone)
  // when the pixel has no valid sample.
  virtual bool CalcPixel(Pixel* out, const Pixel* const* const* alphaRows,
                         const Pixel* const* const* rows, int x, int y, int n,
                         bool useAlpha) = 0;

 protected:
  // The default asks CalcPixel for every pixel; leaves that know how to treat many pixels at
  // once override it.
  virtual void CalcRows(const RowJob& job);
};

// Builds the histogram of the valid samples (alpha exactly 255) and selects a value from it.
class BackgroundSynthesizer_FromHistogram : public BackgroundSynthesizer_PixelWise {
 public:
  bool CalcPixel(Pixel* out, const Pixel* const* const* alphaRows,
                 const Pixel* const* const* rows, int x, int y, int n, bool useAlpha) final;

  // hist has 256 bins holding count >= 1 samples.
  virtual Pixel SelectFromHistogram(const int* hist, int count) = 0;

 protected:
  BackgroundSynthesizer_FromHistogram();
  ~BackgroundSynthesizer_FromHistogram() override;

  std::unique_ptr<KernelScratch> d_scratch;
};

class BackgroundSynthesizer_Median : public BackgroundSynthesizer_FromHistogram {
 public:
  // The upper median for even counts.
  Pixel SelectFromHistogram(const int* hist, int count) final;
  const char* AskAlgorithmName() override { return "median filter (considering alpha channel)"; }

 protected:
  void CalcRows(const RowJob& job) override;
};

class BackgroundSynthesizer_Average : public BackgroundSynthesizer_FromHistogram {
 public:
  BackgroundSynthesizer_Average();
  ~BackgroundSynthesizer_Average() override;

  // The mean, truncated.
  Pixel SelectFromHistogram(const int* hist, int count) final;
  const char* AskAlgorithmName() override {
    return "averaging filter (considering alpha channel)";
  }

 protected:
  void CalcRows(const RowJob& job) override;
  void FrameJoined(const pixkit::Image<Pixel>& img) override;
  void FrameLeft(const pixkit::Image<Pixel>& img) override;

 private:
  // Per pixel the sums and counts of the valid samples of all queued frames.
  std::unique_ptr<RunningSums> d_sums;
  MemoryClaim d_sums_memory;
};

// The median (the lower one for even counts) of the samples in the window of 2*fuzzyness+1
// values that holds the most samples; bins beyond 0 and 255 count as the edge bins when windows
// are compared, ties go to the lowest window.
class BackgroundSynthesizer_Mode : public BackgroundSynthesizer_FromHistogram {
 public:
  // Not negative.
  void SetFuzzyness(int f);

  Pixel SelectFromHistogram(const int* hist, int count) final;
  const char* AskAlgorithmName() override { return "mode filter (considering alpha channel)"; }

 protected:
  void CalcRows(const RowJob& job) override;

 private:
  int d_fuzzyness = 3;
};

}  // namespace cvalgo

#endif
