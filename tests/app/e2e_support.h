// Shared pieces of the end-to-end tests: a scratch folder, running the built quillmere, the
// parameter listing it prints first, and the comparison of its backgrounds with the truth.
#ifndef TESTS_APP_E2E_SUPPORT_H
#define TESTS_APP_E2E_SUPPORT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "libpixkit/graphics/color/colorspace.h"
#include "tests/support/process.h"
#include "tests/support/sequence.h"

namespace e2e {

using testsupport::Picture420;
using testsupport::ProcessResult;
using testsupport::RGBPicture;

// One record of the decoder's stream: 128 header bytes with the size at 4..7, then plane_bytes
// bytes of fill.
inline std::vector<uint8_t> Record(int w, int h, size_t plane_bytes, uint8_t fill = 99) {
  std::vector<uint8_t> r(128, 0);
  r[4] = uint8_t(unsigned(w) >> 8);
  r[5] = uint8_t(w);
  r[6] = uint8_t(unsigned(h) >> 8);
  r[7] = uint8_t(h);
  r.resize(128 + plane_bytes, fill);
  return r;
}

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quillmere-e2e-XXXXXX").string();
    if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
    d_path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(d_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string operator/(const std::string& name) const { return d_path + "/" + name; }
  // A new empty folder inside, for the files of one run.
  std::string Sub(const std::string& name) const {
    std::filesystem::create_directory(*this / name);
    return *this / name;
  }
  const std::string& path() const { return d_path; }

 private:
  std::string d_path;
};

inline ProcessResult RunTool(const std::vector<std::string>& args,
                             const std::vector<std::string>& env = {}) {
  testsupport::ProcessSpec spec;
  spec.path = QUILLMERE_EXE;
  spec.arg0 = "quillmere";
  spec.args = args;
  spec.env = env;
  spec.env.push_back("DISPLAY=");  // the runs never open windows
  return testsupport::RunProcess(spec);
}

inline std::string Describe(const std::vector<std::string>& args) {
  std::string s = "quillmere";
  for (const std::string& a : args) s += " " + a;
  return s;
}

// The listing for a run with default numbers apart from the algorithm.
inline std::string Listing(const std::string& algo, bool offline = false,
                           bool transparent = false) {
  std::string s = "parameters that will be used for the computation:\nalgorithm: " + algo + "\n";
  if (algo != "aging") s += "history: 150\n";
  s += "input decimation: 1\noutput speedup: 1\n";
  if (algo == "aging") s += "aging factor: 0.95\n";
  if (algo == "mode") s += "allowed pixel value fuzzyness: 3\n";
  if (algo == "simmat") s += "blocksize: 8\n";
  s += std::string("offline: ") + (offline ? "true" : "false") + "\n";
  if (algo != "simmat")
    s += std::string("make motion areas transparent: ") + (transparent ? "true" : "false") + "\n";
  return s;
}

// The progress line of a run of `steps` steps: one more number than steps completed.
inline std::string Progress(int steps) {
  std::string s;
  for (int n = 1; n <= steps + 1; n++) s += "processing frame " + std::to_string(n) + "\r";
  return s + "\n";
}

// What the tool should write for a YUV picture: 4:2:0 chroma repeated over 2x2 pixels, each
// pixel converted to RGB.
inline RGBPicture ToRGB(const Picture420& pic) {
  RGBPicture out;
  out.w = pic.w;
  out.h = pic.h;
  out.rgb.resize(size_t(pic.w) * pic.h * 3);
  for (int y = 0; y < pic.h; y++)
    for (int x = 0; x < pic.w; x++) {
      uint8_t* p = &out.rgb[(size_t(y) * pic.w + x) * 3];
      pixkit::YUV2RGB(p[0], p[1], p[2], pic.Y(x, y), pic.U(x, y), pic.V(x, y));
    }
  return out;
}

struct ChannelError {
  double mean[3] = {0, 0, 0};  // mean absolute error of R, G, B
  double Worst() const { return std::max(mean[0], std::max(mean[1], mean[2])); }
};

inline ChannelError Compare(const RGBPicture& a, const RGBPicture& b) {
  ChannelError e;
  const size_t n = size_t(a.w) * a.h;
  for (size_t i = 0; i < n; i++)
    for (int c = 0; c < 3; c++)
      e.mean[c] += std::abs(int(a.rgb[i * 3 + c]) - int(b.rgb[i * 3 + c]));
  for (double& m : e.mean) m /= double(n);
  return e;
}

// Reads a written background; a test failure when it is not a P6 file of w x h.
inline RGBPicture ReadBackground(const std::string& path, int w, int h) {
  RGBPicture pic;
  std::string why;
  EXPECT_TRUE(testsupport::ReadP6(path, &pic, &why)) << why;
  EXPECT_EQ(pic.w, w) << path;
  EXPECT_EQ(pic.h, h) << path;
  return pic;
}

// Objects for a 64x48 frame that each cover any pixel for less than a third of the frames.
inline std::vector<testsupport::MovingObject> SparseObjects() {
  return {
      {0, 4, 12, 10, 2, 0, 235, 40, 200},    // rightwards through the upper rows
      {40, 22, 10, 14, -2, 0, 20, 200, 60},  // leftwards through the middle
      {10, 38, 8, 8, 4, 2, 160, 90, 90},     // fast and diagonal, across the others
  };
}

}  // namespace e2e

#endif
