// A literal, unoptimised model of the similarity-matrix synthesizer: every comparison with
// plain loops, every window and selection sum from scratch. The optimised synthesizer must
// give the same matrices and backgrounds; the benchmarks measure it against this model.
#ifndef TESTS_CVALGO_SIMMAT_REFERENCE_H
#define TESTS_CVALGO_SIMMAT_REFERENCE_H

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "libpixkit/graphics/datatypes/image.h"

namespace simmat_reference {

using pixkit::Pixel;

class Model {
 public:
  explicit Model(int historyLength) : d_H(historyLength) {}

  int Stored() const { return d_stored; }
  int Across() const { return d_across; }
  int Down() const { return d_down; }
  Pixel Matrix(int bx, int by, int i, int j) const { return d_matrix[Block(bx, by)][i * d_H + j]; }
  const std::vector<Pixel>& Flags(int bx, int by) const { return d_flags[Block(bx, by)]; }

  void ShareImage(const pixkit::Image<Pixel>& img) {
    if (d_frames.empty()) {
      d_across = img.AskWidth() / 8;
      d_down = img.AskHeight() / 8;
      d_frames.resize(d_H);
      d_moved.assign(d_H, std::vector<Pixel>(d_across * d_down, 0));
      d_matrix.assign(d_across * d_down, std::vector<Pixel>(d_H * d_H, 0));
      d_flags.assign(d_across * d_down, std::vector<Pixel>(d_H, 0));
    }
    const int previous = d_ring;
    d_ring = d_ring + 1 == d_H ? 0 : d_ring + 1;
    if (d_stored < d_H) d_stored++;
    const int k = d_ring;
    d_frames[k] = img;
    std::vector<Pixel>& moved = d_moved[k];
    std::fill(moved.begin(), moved.end(), Pixel(0));
    if (previous != -1) DetectMotion(moved, img.AskBitmapY(), d_frames[previous].AskBitmapY());
    for (int by = 0; by < d_down; by++) {
      for (int bx = 0; bx < d_across; bx++) {
        std::vector<Pixel>& M = d_matrix[Block(bx, by)];
        if (moved[Block(bx, by)]) {
          for (int j = 0; j < d_stored; j++) M[j * d_H + k] = M[k * d_H + j] = 0;
          M[k * d_H + k] = 0;
          continue;
        }
        for (int j = 0; j < d_stored; j++) {
          Pixel s = 0;
          if (!d_moved[j][Block(bx, by)]) {
            const int e = Sad(img.AskBitmapY(), bx * 8, by * 8, d_frames[j].AskBitmapY(), bx * 8,
                              by * 8);
            s = Pixel(255 - std::min(255, 10 * e));
          }
          M[j * d_H + k] = M[k * d_H + j] = s;
        }
        M[k * d_H + k] = 255;
      }
    }
  }

  // Writes the blocks of the grid into the Y, U and V planes of out, which must already have
  // the frames' size.
  void Synthesize(pixkit::Image<Pixel>& out) {
    for (int by = 0; by < d_down; by++) {
      for (int bx = d_across - 1; bx >= 0; bx--) {
        const std::vector<Pixel>& M = d_matrix[Block(bx, by)];
        std::vector<Pixel>& flags = d_flags[Block(bx, by)];
        const int n = 5;
        for (int i = 0; i < d_stored; i++) flags[i] = 0;
        for (int i = 0; i < d_stored - n; i++) {
          int S = 0;
          for (int a = 0; a < n; a++)
            for (int b = 0; b < n; b++) S += M[(i + a) * d_H + i + b];
          if (S > n * n * 128)
            for (int a = 0; a < n; a++) flags[i + a] = 1;
        }
        int chosen = 0;
        int best = -1;
        for (int i = 0; i < d_stored; i++) {
          if (!flags[i]) continue;
          int sum = 0;
          for (int j = 0; j < d_stored; j++)
            if (flags[j]) sum += M[i * d_H + j];
          if (sum > best) {
            best = sum;
            chosen = i;
          }
        }
        for (int p = 0; p < 3; p++) {
          const Pixel* const* s = d_frames[chosen].AskBitmap(p).AskFrame();
          Pixel* const* d = out.AskBitmap(p).AskFrame();
          for (int y = by * 8; y < by * 8 + 8; y++)
            for (int x = bx * 8; x < bx * 8 + 8; x++) d[y][x] = s[y][x];
        }
      }
    }
  }

  static int Sad(const pixkit::Bitmap<Pixel>& a, int ax, int ay, const pixkit::Bitmap<Pixel>& b,
                 int bx, int by) {
    if (bx < 0 || by < 0 || bx + 8 > b.AskWidth() || by + 8 > b.AskHeight()) return -1;
    const Pixel* const* fa = a.AskFrame();
    const Pixel* const* fb = b.AskFrame();
    int sum = 0;
    for (int r = 0; r < 8; r++)
      for (int c = 0; c < 8; c++) sum += std::abs(int(fa[ay + r][ax + c]) - int(fb[by + r][bx + c]));
    return sum / 64;
  }

 private:
  int Block(int bx, int by) const { return by * d_across + bx; }

  void DetectMotion(std::vector<Pixel>& moved, const pixkit::Bitmap<Pixel>& cur,
                    const pixkit::Bitmap<Pixel>& prev) {
    for (int y = 0; y + 8 <= cur.AskHeight(); y += 8) {
      for (int x = 0; x + 8 <= cur.AskWidth(); x += 8) {
        const int e0 = Sad(cur, x, y, prev, x, y);
        bool found = false;
        for (int dy = -2; dy <= 2 && !found; dy++) {
          for (int dx = -2; dx <= 2 && !found; dx++) {
            const int e = Sad(prev, x, y, cur, x + dx, y + dy);
            if (e > 0 && 0.99 * e0 > e) found = true;
          }
        }
        moved[Block(x / 8, y / 8)] = found ? 1 : 0;
      }
    }
  }

  int d_H;
  int d_stored = 0;
  int d_ring = -1;
  int d_across = 0;
  int d_down = 0;
  std::vector<pixkit::Image<Pixel>> d_frames;
  std::vector<std::vector<Pixel>> d_moved;
  std::vector<std::vector<Pixel>> d_matrix;
  std::vector<std::vector<Pixel>> d_flags;
};

}  // namespace simmat_reference

#endif
