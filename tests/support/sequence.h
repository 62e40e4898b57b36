// Test input for the end-to-end runs: raw YUV 4:2:0 sequences of a textured static background
// with opaque objects moving over it, so that the true background is known, and a strict
// reader of the P6 files the tool writes.
#ifndef TESTS_SUPPORT_SEQUENCE_H
#define TESTS_SUPPORT_SEQUENCE_H

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// One 4:2:0 picture: Y of w x h, U and V of (w+1)/2 x (h+1)/2, rows back to back.
struct Picture420 {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> y, u, v;

  Picture420() = default;
  Picture420(int width, int height);
  int cw() const { return (w + 1) / 2; }
  int ch() const { return (h + 1) / 2; }
  uint8_t& Y(int x, int yy) { return y[size_t(yy) * w + x]; }
  uint8_t Y(int x, int yy) const { return y[size_t(yy) * w + x]; }
  // Chroma of the luma position (x, y).
  uint8_t U(int x, int yy) const { return u[size_t(yy / 2) * cw() + x / 2]; }
  uint8_t V(int x, int yy) const { return v[size_t(yy / 2) * cw() + x / 2]; }
  std::vector<uint8_t> Bytes() const;  // Y, then U, then V
};

// A rectangle of one colour that moves by (dx, dy) per frame and wraps around the frame, so
// that it enters again on the other side. Even positions, sizes and speeds keep it on whole
// chroma samples.
struct MovingObject {
  int x0, y0, w, h, dx, dy;
  uint8_t y, u, v;
};

// Noise of the given amplitude over smooth waves: with noise, every 8x8 block differs from its
// shifted neighbours; without, the picture suits a lossy encoder.
Picture420 MakeTexturedBackground(int w, int h, unsigned seed, int noise = 24);

// The background shifted by dx columns to the right (columns entering on the left repeat the
// first one), with flat chroma u, v.
Picture420 Shifted(const Picture420& pic, int dx, uint8_t u, uint8_t v);

struct Sequence {
  Picture420 background;           // the true background
  std::vector<Picture420> frames;  // with the objects drawn in
  std::vector<uint8_t> alpha;      // per frame w x h: 0 where an object covers, else 255
  std::vector<int> coverage;       // per luma pixel, the number of frames an object covers it

  double MaxCoverageFraction() const;
};

Sequence MakeSequence(int w, int h, int frames, const std::vector<MovingObject>& objects,
                      unsigned seed, int noise = 24);

// Raw frames back to back; throws std::runtime_error when the file cannot be written.
void WriteYUV(const std::string& path, const std::vector<Picture420>& frames);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

struct RGBPicture {
  int w = 0;
  int h = 0;
  std::vector<uint8_t> rgb;  // R, G, B per pixel, rows back to back
};

// Reads a P6 file of exactly the form "P6\n<w> <h>\n255\n" followed by w*h*3 bytes and nothing
// more. False, with the reason in *why, for anything else.
bool ReadP6(const std::string& path, RGBPicture* out, std::string* why);

// Sorted names of the files in dir.
std::vector<std::string> ListFiles(const std::string& dir);

}  // namespace testsupport

#endif
