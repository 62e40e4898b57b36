// The memory budget of the background synthesizers; see memory_budget.h.
#include "cvalgo/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "libpixkit/utility/error.h"

namespace cvalgo {

namespace {

constexpr uint64_t c_Unlimited = UINT64_MAX;

uint64_t PageSize() {
  const long page = sysconf(_SC_PAGE_SIZE);
  return page > 0 ? uint64_t(page) : 4096;
}

// MemAvailable of /proc/meminfo in bytes, or the installed memory where the system gives no such
// line.
uint64_t SystemAvailable() {
  if (FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kb = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f))
      found = std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1;
    std::fclose(f);
    if (found) return uint64_t(kb) * 1024;
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  return pages > 0 ? uint64_t(pages) * PageSize() : c_Unlimited;
}

// The address space the process may still map: below its limit (RLIMIT_AS) and, in a 32-bit
// process, below 4 GiB.
uint64_t AddressSpaceLeft() {
  uint64_t space = c_Unlimited;
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    space = uint64_t(limit.rlim_cur);
  if (sizeof(void*) < 8) space = std::min(space, uint64_t(1) << 32);
  if (space == c_Unlimited) return space;
  unsigned long long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%llu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const uint64_t used = uint64_t(pages) * PageSize();
  return space > used ? space - used : 0;
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

// Whether plane p of img is one of its planes before p.
bool SharesPlane(const pixkit::Image<Pixel>& img, int p) {
  for (int q = 0; q < p; q++)
    if (img.AskBitmap(q).AskBitmapProvider() == img.AskBitmap(p).AskBitmapProvider()) return true;
  return false;
}

}  // namespace

uint64_t MemoryBudget::AskAvailable() { return std::min(SystemAvailable(), AddressSpaceLeft()); }

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
  if (bytes > d_limit || d_held > d_limit - bytes) return false;
  d_held += bytes;
  return true;
}

void MemoryBudget::Drop(uint64_t bytes) {
  assert(bytes <= d_held);
  d_held -= bytes;
}

uint64_t MemoryBudget::AskFrameCost(const pixkit::Image<Pixel>& img, uint64_t records) const {
  uint64_t bytes = records;
  for (int p = 0; p < 4; p++) {
    const pixkit::BitmapProvider<Pixel>* provider = img.AskBitmap(p).AskBitmapProvider();
    if (provider && !SharesPlane(img, p) && d_planes.find(provider) == d_planes.end())
      bytes += ProviderBytes(*provider);
  }
  return bytes;
}

bool MemoryBudget::HoldFrame(const pixkit::Image<Pixel>& img, uint64_t records) {
  if (!Hold(AskFrameCost(img, records))) return false;
  for (int p = 0; p < 4; p++) {
    const pixkit::BitmapProvider<Pixel>* provider = img.AskBitmap(p).AskBitmapProvider();
    if (!provider || SharesPlane(img, p)) continue;
    Plane& plane = d_planes.emplace(provider, Plane{0, ProviderBytes(*provider)}).first->second;
    plane.holders++;
  }
  return true;
}

void MemoryBudget::DropFrame(const pixkit::Image<Pixel>& img, uint64_t records) {
  Drop(records);
  for (int p = 0; p < 4; p++) {
    if (SharesPlane(img, p)) continue;
    const auto at = d_planes.find(img.AskBitmap(p).AskBitmapProvider());
    if (at == d_planes.end()) continue;
    if (--at->second.holders > 0) continue;
    Drop(at->second.bytes);
    d_planes.erase(at);
  }
}

void MemoryBudget::Refuse(uint64_t bytes, const char* what, const char* advice) const {
  const uint64_t left = d_limit > d_held ? d_limit - d_held : 0;
  const std::string held =
      d_held >= 1024 * 1024 ? " besides the " + MB(d_held) + " held already" : "";
  char text[pixkit::c_MaxTextLen + 1];
  std::snprintf(text, sizeof text, "%s %s, more than the %s of memory available%s: %s", what,
                MB(bytes).c_str(), MB(left).c_str(), held.c_str(), advice);
  throw pixkit::Excpt_Text(pixkit::ErrSev_Error, text);
}

void MemoryBudget::RefuseFrame(uint64_t bytes, int index, const pixkit::Image<Pixel>& img) const {
  char what[100];
  std::snprintf(what, sizeof what, "frame %d of the history (%d x %d) needs", index,
                img.AskWidth(), img.AskHeight());
  Refuse(bytes, what, "use a shorter history (-n) or smaller frames");
}

void MemoryBudget::RefuseState(uint64_t bytes, const pixkit::Image<Pixel>& img) const {
  char what[100];
  std::snprintf(what, sizeof what, "keeping the background of frames of %d x %d needs",
                img.AskWidth(), img.AskHeight());
  Refuse(bytes, what, "use smaller frames");
}

bool MemoryClaim::Set(MemoryBudget* budget, uint64_t bytes) {
  if (!budget) {
    Release();
    return true;
  }
  if (budget == d_budget && bytes <= d_bytes) {
    budget->Drop(d_bytes - bytes);
  } else {
    const uint64_t kept = budget == d_budget ? d_bytes : 0;
    if (!budget->Hold(bytes - kept)) return false;
    if (budget != d_budget) Release();
  }
  d_budget = budget;
  d_bytes = bytes;
  return true;
}

void MemoryClaim::Release() {
  if (d_budget) d_budget->Drop(d_bytes);
  d_budget = nullptr;
  d_bytes = 0;
}

}  // namespace cvalgo
