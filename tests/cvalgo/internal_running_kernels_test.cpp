#include "cvalgo/internal_running_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace cvalgo;

namespace {

const int c_Guard = 40;  // bytes before and after every row, which must stay untouched

struct Kinds {
  std::vector<std::string> names{"SSE2"};
  bool avx2 = __builtin_cpu_supports("avx2");
  Kinds() {
    if (avx2) names.push_back("AVX2");
  }
};

// A row of random bytes with guards; Row() is its first sample at the given start offset.
template <class T>
struct Buffer {
  std::vector<T> bytes;
  int start;
  Buffer(std::mt19937& rng, int w, int offset, const std::vector<int>& values)
      : bytes(size_t(w + offset + 2 * c_Guard)), start(c_Guard + offset) {
    std::uniform_int_distribution<uint32_t> any;
    for (T& b : bytes) b = T(values.empty() ? any(rng) : uint32_t(values[any(rng) % values.size()]));
  }
  T* Row() { return bytes.data() + start; }
};

// Widths of no, one and several vector blocks with every tail, at every start offset.
template <class Fn>
void ForEachShape(Fn fn) {
  for (int w : {0, 1, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 100, 161})
    for (int offset = 0; offset < 32; offset++) fn(w, offset);
}

}  // namespace

// The vector rows against their scalar model on random rows and on every pair of samples,
// with the weights at and beside the limits of their lanes.
TEST(RunningKernels, AgeRowMatchesModel) {
  std::mt19937 rng(1);
  const Kinds kinds;
  const int weights[] = {0, 1, 3277, 32767, 32768, 32769, 62259, 65535, 65536};
  const auto check = [&](const std::vector<Pixel>& bg0, const std::vector<Pixel>& frame,
                         int begin, int w, int a) {
    std::vector<Pixel> want = bg0;
    AgeRow_C(want.data() + begin, frame.data() + begin, w, a);
    for (const std::string& kind : kinds.names) {
      std::vector<Pixel> got = bg0;
      (kind == "SSE2" ? AgeRow_SSE2 : AgeRow_AVX2)(got.data() + begin, frame.data() + begin, w, a);
      ASSERT_EQ(got, want) << kind << " width " << w << " start " << begin << " weight " << a;
    }
    for (int x = 0; x < begin; x++) ASSERT_EQ(want[size_t(x)], bg0[size_t(x)]);
    for (size_t x = size_t(begin + w); x < bg0.size(); x++) ASSERT_EQ(want[x], bg0[x]);
  };
  std::vector<Pixel> bg(65536 + 2 * c_Guard), frame(bg.size());
  for (int v = 0; v < 65536; v++) {
    bg[size_t(c_Guard + v)] = Pixel(v >> 8);
    frame[size_t(c_Guard + v)] = Pixel(v);
  }
  for (int a : weights) check(bg, frame, c_Guard, 65536 - 3, a);
  ForEachShape([&](int w, int offset) {
    std::uniform_int_distribution<int> any(0, 255), weight(0, 65536);
    std::vector<Pixel> b(size_t(w + 2 * c_Guard)), f(b.size());
    for (size_t i = 0; i < b.size(); i++) b[i] = Pixel(any(rng)), f[i] = Pixel(any(rng));
    check(b, f, offset, w, offset < 9 ? weights[offset] : weight(rng));
  });
}

TEST(RunningKernels, TakeRowMatchesModel) {
  std::mt19937 rng(2);
  const Kinds kinds;
  ForEachShape([&](int w, int offset) {
    for (int planes = 1; planes <= 3; planes++)
      for (bool last : {false, true}) {
        // Alpha 0 hides a sample, any other value shows it; marks are 0, 255 or the unknown
        // colour's byte. Rows where nothing or everything is taken skip work in blocks.
        const int variant = (offset + planes) % 4;
        const std::vector<int> alphas = variant == 0 ? std::vector<int>{0}
                                        : variant == 1 ? std::vector<int>{255}
                                                       : std::vector<int>{0, 0, 1, 254, 255, 77};
        const std::vector<int> marks = variant == 3 ? std::vector<int>{255}
                                                    : std::vector<int>{0, 0, 255, 6};
        Buffer<Pixel> alpha(rng, w, offset, alphas), taken(rng, w, offset, marks);
        std::vector<Buffer<Pixel>> bg, frame;
        for (int p = 0; p < 3; p++) {
          bg.emplace_back(rng, w, offset, std::vector<int>{});
          frame.emplace_back(rng, w, offset, std::vector<int>{});
        }
        const auto run = [&](void (*take)(const TakeRowArgs&), std::vector<Buffer<Pixel>> b,
                             Buffer<Pixel> t) {
          TakeRowArgs r{};
          for (int p = 0; p < planes; p++) {
            r.bg[p] = b[size_t(p)].Row();
            r.frame[p] = frame[size_t(p)].Row();
          }
          r.planes = planes;
          r.alpha = alpha.Row();
          r.taken = t.Row();
          r.w = w;
          r.last = last;
          take(r);
          std::vector<Pixel> all = t.bytes;
          for (const auto& plane : b) all.insert(all.end(), plane.bytes.begin(), plane.bytes.end());
          return all;
        };
        const std::vector<Pixel> want = run(TakeRow_C, bg, taken);
        for (const std::string& kind : kinds.names)
          ASSERT_EQ(run(kind == "SSE2" ? TakeRow_SSE2 : TakeRow_AVX2, bg, taken), want)
              << kind << " width " << w << " start " << offset << " planes " << planes
              << (last ? " last" : " first");
      }
  });
}

TEST(RunningKernels, StepRowMatchesModel) {
  std::mt19937 rng(3);
  const Kinds kinds;
  ForEachShape([&](int w, int offset) {
    for (int shape = 0; shape < 12; shape++) {
      const bool join = shape % 3 != 1, leave = shape % 3 != 0, counted = shape % 2 == 0;
      const bool alphas = shape < 6;
      // Totals near the wrap of 32 bits, samples of every value.
      Buffer<uint32_t> sum(rng, w, offset, {}), count(rng, w, offset, {0, 1, 7, -1, -2});
      Buffer<Pixel> in(rng, w, offset, {}), out(rng, w, offset, {});
      Buffer<Pixel> inA(rng, w, offset, {255, 255, 254, 0, 1}), outA(rng, w, offset, {255, 0});
      const auto run = [&](void (*step)(const StepRowArgs&), Buffer<uint32_t> s,
                           Buffer<uint32_t> c) {
        step({s.Row(), counted ? c.Row() : nullptr, join ? in.Row() : nullptr,
              join && alphas ? inA.Row() : nullptr, leave ? out.Row() : nullptr,
              leave && alphas ? outA.Row() : nullptr, w});
        s.bytes.insert(s.bytes.end(), c.bytes.begin(), c.bytes.end());
        return s.bytes;
      };
      const std::vector<uint32_t> want = run(StepRow_C, sum, count);
      for (const std::string& kind : kinds.names)
        ASSERT_EQ(run(kind == "SSE2" ? StepRow_SSE2 : StepRow_AVX2, sum, count), want)
            << kind << " width " << w << " start " << offset << " shape " << shape;
    }
  });
}
