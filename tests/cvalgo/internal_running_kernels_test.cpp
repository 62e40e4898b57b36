#include "cvalgo/internal_running_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace cvalgo;

namespace {

std::mt19937 g_rng(1);
constexpr int c_Guard = 40;  // samples before and after every row, which must stay untouched

// A row at the start offset within its guards, every sample random or drawn from `values`.
template <class T>
std::vector<T> Row(int w, int offset, const std::vector<int>& values = {}) {
  std::vector<T> row(size_t(w + offset + 2 * c_Guard));
  std::uniform_int_distribution<uint32_t> any;
  for (T& t : row)
    t = T(values.empty() ? any(g_rng) : uint32_t(values[any(g_rng) % values.size()]));
  return row;
}

// The kinds of rows to try: 0 the model, 1 SSE2, 2 AVX2 where the processor has it.
int Kinds() { return __builtin_cpu_supports("avx2") ? 3 : 2; }

// Widths of no, one and several vector blocks with every tail, at every start offset: make(w,
// offset) sets up the input and returns run(k), everything kind k leaves behind, guards included.
template <class Make>
void ExpectSameAsModel(Make make) {
  const int kinds = Kinds();
  for (int w : {0, 1, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 100, 161})
    for (int offset = 0; offset < 32; offset++) {
      const auto run = make(w, offset);
      const auto want = run(0);
      for (int k = 1; k < kinds; k++)
        ASSERT_EQ(run(k), want) << (k == 1 ? "SSE2" : "AVX2") << " width " << w << " at " << offset;
    }
}

}  // namespace

// Random rows, and every pair of samples, with weights at and beside the limits of the lanes.
TEST(RunningKernels, AgeRowMatchesModel) {
  void (*const age[])(Pixel*, const Pixel*, int, int) = {AgeRow_C, AgeRow_SSE2, AgeRow_AVX2};
  const int weights[] = {0, 1, 3277, 32767, 32768, 32769, 62259, 65535, 65536};
  ExpectSameAsModel([&](int w, int offset) {
    const int a = offset < 9 ? weights[offset] : int(g_rng() % 65537);
    const auto bg = Row<Pixel>(w, offset), frame = Row<Pixel>(w, offset);
    return [=](int k) {
      auto out = bg;
      age[k](out.data() + c_Guard + offset, frame.data() + c_Guard + offset, w, a);
      return out;
    };
  });
  std::vector<Pixel> bg(65536), frame(65536);
  for (int v = 0; v < 65536; v++) bg[size_t(v)] = Pixel(v >> 8), frame[size_t(v)] = Pixel(v);
  for (int a : weights)
    for (int k = 1; k < Kinds(); k++) {
      std::vector<Pixel> want = bg, got = bg;
      AgeRow_C(want.data(), frame.data(), 65536, a);
      age[k](got.data(), frame.data(), 65536, a);
      ASSERT_EQ(got, want) << "weight " << a << " rows " << k;
    }
}

// Alpha 0 hides a sample, any other value shows it; marks 0, 255 or an unknown colour's byte.
// Rows where nothing or everything is taken let the vector rows skip work.
TEST(RunningKernels, TakeRowMatchesModel) {
  void (*const take[])(const TakeRowArgs&) = {TakeRow_C, TakeRow_SSE2, TakeRow_AVX2};
  const std::vector<int> alphas[] = {{0}, {255}, {0, 0, 1, 254, 255, 77}, {0, 0, 1, 254, 255, 77}};
  const std::vector<int> marks[] = {{0, 0, 255, 6}, {0, 0, 255, 6}, {0, 0, 255, 6}, {255}};
  for (int planes = 1; planes <= 3; planes++)
    for (bool last : {false, true})
      ExpectSameAsModel([&](int w, int offset) {
        const size_t at = size_t(c_Guard + offset), variant = size_t(offset + w) % 4;
        const auto alpha = Row<Pixel>(w, offset, alphas[variant]);
        const auto taken = Row<Pixel>(w, offset, marks[variant]);
        std::vector<std::vector<Pixel>> bg, frame;
        for (int p = 0; p < planes; p++) {
          bg.push_back(Row<Pixel>(w, offset));
          frame.push_back(Row<Pixel>(w, offset));
        }
        return [=](int k) {
          auto t = taken;
          auto b = bg;
          TakeRowArgs r{{}, {}, planes, alpha.data() + at, t.data() + at, w, last};
          for (int p = 0; p < planes; p++) {
            r.bg[p] = b[size_t(p)].data() + at;
            r.frame[p] = frame[size_t(p)].data() + at;
          }
          take[k](r);
          for (const auto& plane : b) t.insert(t.end(), plane.begin(), plane.end());
          return t;
        };
      });
}

// Joining, leaving or both, with alpha or without, counted or not, on totals near the wrap of
// 32 bits.
TEST(RunningKernels, StepRowMatchesModel) {
  void (*const step[])(const StepRowArgs&) = {StepRow_C, StepRow_SSE2, StepRow_AVX2};
  for (int shape = 0; shape < 12; shape++)
    ExpectSameAsModel([&](int w, int offset) {
      const bool join = shape % 3 != 1, leave = shape % 3 != 0, counted = shape % 2,
                 alphas = shape < 6;
      const auto sum = Row<uint32_t>(w, offset),
                 count = Row<uint32_t>(w, offset, {0, 1, 7, -1, -2});
      const auto in = Row<Pixel>(w, offset), out = Row<Pixel>(w, offset);
      const auto inA = Row<Pixel>(w, offset, {255, 255, 254, 0, 1}),
                 outA = Row<Pixel>(w, offset, {255, 0});
      const size_t at = size_t(c_Guard + offset);
      return [=](int k) {
        auto s = sum, c = count;
        step[k]({s.data() + at, counted ? c.data() + at : nullptr, join ? in.data() + at : nullptr,
                 join && alphas ? inA.data() + at : nullptr, leave ? out.data() + at : nullptr,
                 leave && alphas ? outA.data() + at : nullptr, w});
        s.insert(s.end(), c.begin(), c.end());
        return s;
      };
    });
}
