// The memory the background synthesizers of a run may hold together: history frames, matrices,
// running sums and per-frame records. The driver takes the budget when the run starts; a
// synthesizer that would go beyond it refuses before it touches the memory, rather than leaving
// the system to kill the process (or another one) once the memory runs out. What is held is
// held through claims, which give their share back when they go.
#ifndef CVALGO_MEMORY_BUDGET_H
#define CVALGO_MEMORY_BUDGET_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "libpixkit/graphics/datatypes/image.h"
#include "libpixkit/utility/error.h"
#include "libpixkit/utility/sysmemory.h"

namespace cvalgo {

using pixkit::Pixel;

class MemoryBudget {
 public:
  static constexpr uint64_t c_NoLimit = pixkit::c_NoMemoryLimit;

  explicit MemoryBudget(uint64_t limit = c_NoLimit) : d_limit(limit) {}
  // The lesser part is the limit.
  explicit MemoryBudget(const pixkit::ObtainableMemory& available);
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // What the process can still obtain now.
  static pixkit::ObtainableMemory AskAvailable() { return pixkit::AskObtainableMemoryParts(); }

  // The heap memory of a w x h plane of elements of the given size, bookkeeping included.
  static uint64_t PlaneBytes(int w, int h, size_t element);
  // The same for the planes of img, and of the alpha plane it would get when it has none.
  static uint64_t ImageBytes(const pixkit::Image<Pixel>& img, bool withAlpha = false);

  bool IsLimited() const { return d_limit != c_NoLimit; }
  uint64_t AskLimit() const { return d_limit; }
  uint64_t AskHeld() const { return d_held; }
  uint64_t AskLeft() const { return d_limit - d_held; }

  // What a FrameClaim of img with the given records would add now.
  uint64_t AskFrameCost(const pixkit::Image<Pixel>& img, uint64_t records) const;

  // What a process started by this one takes out of the limit when it needs `bytes`: it draws
  // on the shared memory only, so where this one's own address space binds the limit, the
  // shared memory beyond that goes first.
  uint64_t AskChildShare(uint64_t bytes) const {
    return bytes > d_sharedBeyond ? bytes - d_sharedBeyond : 0;
  }

 private:
  friend class MemoryClaim;
  friend class FrameClaim;

  struct Plane {
    int holders;
    uint64_t bytes;
  };

  // Adds bytes to what is held; false, and nothing added, when that would exceed the limit.
  bool Hold(uint64_t bytes);
  void Drop(uint64_t bytes);
  // The planes of a frame count once however many claims share them: they join with the
  // first and leave with the last.
  bool HoldFrame(const pixkit::Image<Pixel>& img, uint64_t records, const void* keys[4]);
  void DropFrame(const void* const keys[4], uint64_t records);

  uint64_t d_limit;
  uint64_t d_sharedBeyond = 0;  // none known: all of the limit counts as shared
  uint64_t d_held = 0;
  std::unordered_map<const void*, Plane> d_planes;  // by the provider that holds the samples
};

// What the memory was refused for; the driver's advice follows from it.
enum class MemoryUse {
  History,   // frames or matrices that grow with the history length and the frame size
  State,     // what grows with the frame size only
  Decoding,  // the share of the decoder process that delivers the frames
};

// A claim that the budget could not give. The text reads "<what> <need>, more than the <left> of
// memory available[ besides the <held> held already]"; the driver adds its advice.
class MemoryRefusal : public pixkit::Excpt_Text {
 public:
  // what ends with its verb: "frame 3 of the history (16 x 16) needs".
  MemoryRefusal(const std::string& what, MemoryUse use, uint64_t need, const MemoryBudget& budget);

  MemoryUse AskUse() const { return d_use; }
  uint64_t AskNeed() const { return d_need; }

 private:
  MemoryUse d_use;
  uint64_t d_need;
};

// The start of a refusal's text for the index-th frame of a history (counted from 1), and for
// the state a synthesizer keeps of frames like img.
std::string HistoryFrameNeeds(int index, const pixkit::Image<Pixel>& img);
std::string StateNeeds(const pixkit::Image<Pixel>& img);
// The same for the decoder process that decodes `source` ("frames of 16 x 16", or a name in
// quotes) on its threads.
std::string DecodingNeeds(const std::string& source, int threads);

// Bytes held against a budget until changed or destroyed.
class MemoryClaim {
 public:
  MemoryClaim() = default;
  ~MemoryClaim() { Release(); }
  MemoryClaim(const MemoryClaim&) = delete;
  MemoryClaim& operator=(const MemoryClaim&) = delete;

  // Holds bytes in place of what this claim held; when the budget cannot give them, throws a
  // MemoryRefusal (what() starts its text) for the bytes it would add, the claim unchanged.
  void Set(MemoryBudget& budget, uint64_t bytes, MemoryUse use,
           const std::function<std::string()>& what);
  // The same without a refusal: false, the claim unchanged.
  bool TrySet(MemoryBudget& budget, uint64_t bytes);
  void Release();
  uint64_t AskBytes() const { return d_bytes; }

 private:
  MemoryBudget* d_budget = nullptr;
  uint64_t d_bytes = 0;
};

// A frame's share of a budget: its planes, counted once however many claims share them, and
// the holder's own records of it. The frame must outlive the claim or share its planes with
// something that does; the claim knows the planes by their providers.
class FrameClaim {
 public:
  FrameClaim() = default;
  ~FrameClaim() { Release(); }
  FrameClaim(FrameClaim&& other) noexcept { *this = std::move(other); }
  FrameClaim& operator=(FrameClaim&& other) noexcept;

  // Gives back what the claim held, then holds img against budget; false, and nothing held,
  // when it does not fit.
  bool TrySet(MemoryBudget& budget, const pixkit::Image<Pixel>& img, uint64_t records);
  void Release();

 private:
  MemoryBudget* d_budget = nullptr;
  const void* d_keys[4] = {};
  uint64_t d_records = 0;
};

}  // namespace cvalgo

#endif
