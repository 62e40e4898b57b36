// Counts failed allocations by standing in for the C library's allocation functions, which the
// program's own libraries call (av_malloc through posix_memalign, av_realloc through realloc),
// and forwarding to the next definition: the C library's, or a sanitizer's. It stands in for
// pthread_create too, so that a thread counts as the code that made it: the decoder's threads
// start within its calls, the colour conversion's workers outside them.
#include "tools/mpgfeed/allocations.h"

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<long> g_decoderFailed{0};
std::atomic<long> g_otherFailed{0};

// Whether the thread's failures are the decoder's.
thread_local bool t_inDecoder = false;

void CountFailure() {
  (t_inDecoder ? g_decoderFailed : g_otherFailed).fetch_add(1, std::memory_order_relaxed);
}

using ThreadStart = void* (*)(void*);

struct Real {
  void* (*malloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  int (*posix_memalign)(void**, size_t, size_t);
  void* (*aligned_alloc)(size_t, size_t);
  void (*free)(void*);
  int (*pthread_create)(pthread_t*, const pthread_attr_t*, ThreadStart, void*);
};

Real g_real;
std::atomic<bool> g_resolved{false};
std::atomic<bool> g_resolving{false};

// dlsym may allocate while the functions are being looked up: that comes from here, and is
// never given back.
alignas(std::max_align_t) unsigned char g_early[4096];
size_t g_earlyUsed = 0;

void* EarlyAllocation(size_t n) {
  n = (n + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
  if (n > sizeof g_early - g_earlyUsed) return nullptr;
  void* p = g_early + g_earlyUsed;
  g_earlyUsed += n;
  return p;
}

bool IsEarly(const void* p) {
  const auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(g_early);
  return a >= b && a < b + sizeof g_early;
}

template <typename F>
void Find(F& f, const char* name) {
  f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  if (!f) abort();
}

// The first allocation comes before main, on the one thread there is then.
const Real& RealFunctions() {
  if (!g_resolved.load(std::memory_order_acquire)) {
    g_resolving = true;
    Find(g_real.malloc, "malloc");
    Find(g_real.calloc, "calloc");
    Find(g_real.realloc, "realloc");
    Find(g_real.posix_memalign, "posix_memalign");
    Find(g_real.aligned_alloc, "aligned_alloc");
    Find(g_real.free, "free");
    Find(g_real.pthread_create, "pthread_create");
    g_resolving = false;
    g_resolved.store(true, std::memory_order_release);
  }
  return g_real;
}

void* Counted(void* p, bool asked) {
  if (!p && asked) CountFailure();
  return p;
}

// What a new thread runs, and whose its failures are.
struct Start {
  ThreadStart routine;
  void* arg;
  bool inDecoder;
};

void* StartCounted(void* p) {
  const Start start = *static_cast<Start*>(p);
  free(p);
  t_inDecoder = start.inDecoder;
  return start.routine(start.arg);
}

}  // namespace

namespace mpgfeed {

long FailedAllocations() {
  return g_decoderFailed.load(std::memory_order_relaxed) +
         g_otherFailed.load(std::memory_order_relaxed);
}

long FailedAllocationsOutsideTheDecoder() { return g_otherFailed.load(std::memory_order_relaxed); }

void ResetDecoderFailedAllocations() { g_decoderFailed.store(0, std::memory_order_relaxed); }

DecoderCall::DecoderCall() : d_previous(t_inDecoder) { t_inDecoder = true; }
DecoderCall::~DecoderCall() { t_inDecoder = d_previous; }

}  // namespace mpgfeed

extern "C" {

void* malloc(size_t n) {
  if (g_resolving) return EarlyAllocation(n);
  return Counted(RealFunctions().malloc(n), true);
}

void* calloc(size_t n, size_t size) {
  if (g_resolving) return n && size > SIZE_MAX / n ? nullptr : EarlyAllocation(n * size);
  return Counted(RealFunctions().calloc(n, size), n != 0 && size != 0);
}

void* realloc(void* p, size_t n) {
  if (IsEarly(p)) {
    void* q = malloc(n);
    if (q) std::memcpy(q, p, std::min(n, size_t(g_early + sizeof g_early - (unsigned char*)p)));
    return q;
  }
  return Counted(RealFunctions().realloc(p, n), n != 0);
}

int posix_memalign(void** p, size_t alignment, size_t n) {
  const int err = RealFunctions().posix_memalign(p, alignment, n);
  if (err == ENOMEM) CountFailure();
  return err;
}

void* aligned_alloc(size_t alignment, size_t n) {
  void* p = RealFunctions().aligned_alloc(alignment, n);
  if (!p && errno == ENOMEM) CountFailure();
  return p;
}

void free(void* p) {
  if (!p || IsEarly(p)) return;
  RealFunctions().free(p);
}

// Where there is no memory to hand over what to run, the thread cannot be had, as where its
// stack cannot be.
int pthread_create(pthread_t* thread, const pthread_attr_t* attr, ThreadStart routine,
                   void* arg) {
  void* start = malloc(sizeof(Start));
  if (!start) return EAGAIN;
  *static_cast<Start*>(start) = {routine, arg, t_inDecoder};
  const int err = RealFunctions().pthread_create(thread, attr, StartCounted, start);
  if (err != 0) free(start);
  return err;
}

}  // extern "C"
