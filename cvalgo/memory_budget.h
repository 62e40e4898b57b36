// The memory the background synthesizers of a run may hold together: history frames, matrices,
// running sums and per-frame records. The driver takes the budget when the run starts; a
// synthesizer that would go beyond it refuses with a message before it touches the memory,
// rather than leaving the system to kill the process (or another one) once the memory runs out.
#ifndef CVALGO_MEMORY_BUDGET_H
#define CVALGO_MEMORY_BUDGET_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "libpixkit/graphics/datatypes/image.h"

namespace cvalgo {

using pixkit::Pixel;

class MemoryBudget {
 public:
  explicit MemoryBudget(uint64_t limit) : d_limit(limit) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // What the process can still get: the memory the system has available now, or less when an
  // address-space limit (or a 32-bit address space) leaves less room.
  static uint64_t AskAvailable();

  // The heap memory of a w x h plane of elements of the given size, bookkeeping included.
  static uint64_t PlaneBytes(int w, int h, size_t element);
  // The same for the planes of img, and of the alpha plane it would get when it has none.
  static uint64_t ImageBytes(const pixkit::Image<Pixel>& img, bool withAlpha = false);

  uint64_t AskLimit() const { return d_limit; }
  uint64_t AskHeld() const { return d_held; }

  // Adds bytes to what is held; false, and nothing added, when that would exceed the limit.
  bool Hold(uint64_t bytes);
  void Drop(uint64_t bytes);

  // The planes of a frame count once however many holders share them: they join with the
  // first holder and leave with the last. Each holder adds its own records of the frame.
  // False, and nothing added, when that would exceed the limit.
  bool HoldFrame(const pixkit::Image<Pixel>& img, uint64_t records);
  void DropFrame(const pixkit::Image<Pixel>& img, uint64_t records);
  // What HoldFrame would add.
  uint64_t AskFrameCost(const pixkit::Image<Pixel>& img, uint64_t records) const;

  // Throw the refusal as pixkit::Excpt_Text: what, "<bytes> MB, more than the ... MB of
  // memory available", and the advice.
  [[noreturn]] void Refuse(uint64_t bytes, const char* what, const char* advice) const;
  // For the index-th frame of a history (counted from 1), with the advice to hold fewer or
  // smaller ones.
  [[noreturn]] void RefuseFrame(uint64_t bytes, int index, const pixkit::Image<Pixel>& img) const;
  // For the state a synthesizer keeps of frames like img.
  [[noreturn]] void RefuseState(uint64_t bytes, const pixkit::Image<Pixel>& img) const;

 private:
  struct Plane {
    int holders;
    uint64_t bytes;
  };

  uint64_t d_limit;
  uint64_t d_held = 0;
  std::unordered_map<const void*, Plane> d_planes;  // by the memory that holds the samples
};

// Bytes held against a budget (none without a budget) until changed or destroyed.
class MemoryClaim {
 public:
  MemoryClaim() = default;
  ~MemoryClaim() { Release(); }
  MemoryClaim(const MemoryClaim&) = delete;
  MemoryClaim& operator=(const MemoryClaim&) = delete;

  // Holds bytes in place of what this claim held; false, and the claim unchanged, when the
  // budget cannot give them.
  bool Set(MemoryBudget* budget, uint64_t bytes);
  void Release();
  uint64_t AskBytes() const { return d_bytes; }

 private:
  MemoryBudget* d_budget = nullptr;
  uint64_t d_bytes = 0;
};

}  // namespace cvalgo

#endif
