// The memory budget of the background synthesizers; see memory_budget.h.
#include "cvalgo/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <utility>

namespace cvalgo {

namespace {

uint64_t PageSize() {
  const long page = sysconf(_SC_PAGE_SIZE);
  return page > 0 ? uint64_t(page) : 4096;
}

// The smallest block the allocator may give a mapping of its own (it raises the bound as
// such blocks are freed, so a block of this size or more may come either way).
constexpr uint64_t c_OwnMappingFrom = 128 * 1024;

// A heap block: the allocator keeps a header beside it and rounds it up; a large one may be a
// mapping of its own, which takes whole pages.
uint64_t HeapBlock(uint64_t bytes) {
  const uint64_t block = std::max<uint64_t>(32, (bytes + 8 + 15) / 16 * 16);
  if (block < c_OwnMappingFrom) return block;
  const uint64_t page = PageSize();
  return (block + 8 + page - 1) / page * page;
}

uint64_t ProviderBytes(const pixkit::BitmapProvider<Pixel>& p) {
  return MemoryBudget::PlaneBytes(p.AskTotalWidth(), p.AskTotalHeight(), sizeof(Pixel));
}

// Whole megabytes, or tenths below 100 so that a small amount does not read as its neighbour.
std::string MB(uint64_t bytes) {
  const double mb = double(bytes) / (1024.0 * 1024.0);
  char text[40];
  std::snprintf(text, sizeof text, mb < 100 ? "%.1f MB" : "%.0f MB", mb);
  return text;
}

// The providers of img's planes, each once; null for a missing or repeated plane.
void PlaneKeys(const pixkit::Image<Pixel>& img, const void* keys[4]) {
  for (int p = 0; p < 4; p++) {
    keys[p] = img.AskBitmap(p).AskBitmapProvider();
    for (int q = 0; q < p; q++)
      if (keys[q] == keys[p]) keys[p] = nullptr;
  }
}

}  // namespace

MemoryBudget::MemoryBudget(const pixkit::ObtainableMemory& available)
    : d_limit(std::min(available.shared, available.own)),
      d_sharedBeyond(available.shared - d_limit) {}

uint64_t MemoryBudget::PlaneBytes(int w, int h, size_t element) {
  return HeapBlock(uint64_t(w) * uint64_t(h) * element) + HeapBlock(uint64_t(h) * sizeof(void*)) +
         HeapBlock(sizeof(pixkit::BitmapProvider_Mem<Pixel>));
}

uint64_t MemoryBudget::ImageBytes(const pixkit::Image<Pixel>& img, bool withAlpha) {
  uint64_t bytes = 0;
  for (int p = 0; p < 4; p++) {
    const pixkit::BitmapProvider<Pixel>* provider = img.AskBitmap(p).AskBitmapProvider();
    if (provider) bytes += ProviderBytes(*provider);
  }
  if (withAlpha && img.AskBitmap(pixkit::Bitmap_Alpha).IsEmpty())
    bytes += PlaneBytes(img.AskWidth(), img.AskHeight(), 1);
  return bytes;
}

bool MemoryBudget::Hold(uint64_t bytes) {
  if (bytes > d_limit - d_held) return false;
  d_held += bytes;
  return true;
}

void MemoryBudget::Drop(uint64_t bytes) {
  assert(bytes <= d_held);
  d_held -= bytes;
}

uint64_t MemoryBudget::AskFrameCost(const pixkit::Image<Pixel>& img, uint64_t records) const {
  const void* keys[4];
  PlaneKeys(img, keys);
  uint64_t bytes = records;
  for (int p = 0; p < 4; p++)
    if (keys[p] && d_planes.find(keys[p]) == d_planes.end())
      bytes += ProviderBytes(*img.AskBitmap(p).AskBitmapProvider());
  return bytes;
}

bool MemoryBudget::HoldFrame(const pixkit::Image<Pixel>& img, uint64_t records,
                             const void* keys[4]) {
  if (!Hold(AskFrameCost(img, records))) return false;
  PlaneKeys(img, keys);
  for (int p = 0; p < 4; p++) {
    if (!keys[p]) continue;
    const uint64_t bytes = ProviderBytes(*img.AskBitmap(p).AskBitmapProvider());
    d_planes.try_emplace(keys[p], Plane{0, bytes}).first->second.holders++;
  }
  return true;
}

void MemoryBudget::DropFrame(const void* const keys[4], uint64_t records) {
  Drop(records);
  for (int p = 0; p < 4; p++) {
    const auto at = keys[p] ? d_planes.find(keys[p]) : d_planes.end();
    if (at == d_planes.end() || --at->second.holders > 0) continue;
    Drop(at->second.bytes);
    d_planes.erase(at);
  }
}

MemoryRefusal::MemoryRefusal(const std::string& what, MemoryUse use, uint64_t need,
                             const MemoryBudget& budget)
    : pixkit::Excpt_Text(pixkit::ErrSev_Error), d_use(use), d_need(need) {
  const uint64_t held = budget.AskHeld();
  const std::string besides = held >= 1024 * 1024 ? " besides the " + MB(held) + " held already" : "";
  char text[pixkit::c_MaxTextLen + 1];
  std::snprintf(text, sizeof text, "%s %s, more than the %s of memory available%s", what.c_str(),
                MB(need).c_str(), MB(budget.AskLeft()).c_str(), besides.c_str());
  SetText(text);
}

std::string HistoryFrameNeeds(int index, const pixkit::Image<Pixel>& img) {
  return "frame " + std::to_string(index) + " of the history (" + std::to_string(img.AskWidth()) +
         " x " + std::to_string(img.AskHeight()) + ") needs";
}

std::string StateNeeds(const pixkit::Image<Pixel>& img) {
  return "keeping the background of frames of " + std::to_string(img.AskWidth()) + " x " +
         std::to_string(img.AskHeight()) + " needs";
}

std::string DecodingNeeds(const std::string& source, int threads) {
  return "the decoder's share, decoding " + source + " on " +
         (threads == 1 ? std::string("one thread") : std::to_string(threads) + " threads") +
         ", needs";
}

bool MemoryClaim::TrySet(MemoryBudget& budget, uint64_t bytes) {
  if (&budget != d_budget) {
    if (!budget.Hold(bytes)) return false;
    Release();
  } else if (bytes > d_bytes) {
    if (!budget.Hold(bytes - d_bytes)) return false;
  } else {
    budget.Drop(d_bytes - bytes);
  }
  d_budget = &budget;
  d_bytes = bytes;
  return true;
}

void MemoryClaim::Set(MemoryBudget& budget, uint64_t bytes, MemoryUse use,
                      const std::function<std::string()>& what) {
  if (!TrySet(budget, bytes))
    throw MemoryRefusal(what(), use, &budget == d_budget ? bytes - d_bytes : bytes, budget);
}

void MemoryClaim::Release() {
  if (d_budget) d_budget->Drop(d_bytes);
  d_budget = nullptr;
  d_bytes = 0;
}

FrameClaim& FrameClaim::operator=(FrameClaim&& other) noexcept {
  if (this != &other) {
    Release();
    d_budget = std::exchange(other.d_budget, nullptr);
    std::copy(other.d_keys, other.d_keys + 4, d_keys);
    d_records = other.d_records;
  }
  return *this;
}

bool FrameClaim::TrySet(MemoryBudget& budget, const pixkit::Image<Pixel>& img, uint64_t records) {
  Release();
  if (!budget.HoldFrame(img, records, d_keys)) return false;
  d_budget = &budget;
  d_records = records;
  return true;
}

void FrameClaim::Release() {
  if (d_budget) d_budget->DropFrame(d_keys, d_records);
  d_budget = nullptr;
}

}  // namespace cvalgo
