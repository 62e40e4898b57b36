#include "tests/support/sequence.h"

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

uint8_t Clamp(double v) { return uint8_t(std::lround(std::min(255.0, std::max(0.0, v)))); }

// Position of a wrapping object along one axis at frame t: it leaves on one side and comes back
// on the other, so it may stand partly outside the frame.
int WrappedPosition(int start, int speed, int t, int object_size, int frame_size) {
  const int period = frame_size + object_size;
  const int p = ((start + speed * t) % period + period) % period;
  return p - object_size;
}

}  // namespace

Picture420::Picture420(int width, int height) : w(width), h(height) {
  y.assign(size_t(w) * h, 0);
  u.assign(size_t(cw()) * ch(), 128);
  v.assign(size_t(cw()) * ch(), 128);
}

std::vector<uint8_t> Picture420::Bytes() const {
  std::vector<uint8_t> b(y);
  b.insert(b.end(), u.begin(), u.end());
  b.insert(b.end(), v.begin(), v.end());
  return b;
}

Picture420 MakeTexturedBackground(int w, int h, unsigned seed, int noise) {
  Picture420 pic(w, h);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> jitter(-noise, noise);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      pic.Y(x, y) = Clamp(120 + 45 * std::sin(x / 5.0 + seed) * std::cos(y / 7.0) + 0.3 * x +
                          (noise ? jitter(rng) : 0));
  for (int y = 0; y < pic.ch(); y++)
    for (int x = 0; x < pic.cw(); x++) {
      pic.u[size_t(y) * pic.cw() + x] = Clamp(128 + 30 * std::sin((x + y) / 6.0));
      pic.v[size_t(y) * pic.cw() + x] = Clamp(128 + 30 * std::cos((x - 2 * y) / 9.0));
    }
  return pic;
}

Picture420 Shifted(const Picture420& pic, int dx, uint8_t u, uint8_t v) {
  Picture420 out(pic.w, pic.h);
  for (int y = 0; y < pic.h; y++)
    for (int x = 0; x < pic.w; x++) out.Y(x, y) = pic.Y(std::max(0, x - dx), y);
  std::fill(out.u.begin(), out.u.end(), u);
  std::fill(out.v.begin(), out.v.end(), v);
  return out;
}

double Sequence::MaxCoverageFraction() const {
  if (frames.empty()) return 0;
  return double(*std::max_element(coverage.begin(), coverage.end())) / double(frames.size());
}

Sequence MakeSequence(int w, int h, int frames, const std::vector<MovingObject>& objects,
                      unsigned seed, int noise) {
  Sequence seq;
  seq.background = MakeTexturedBackground(w, h, seed, noise);
  seq.coverage.assign(size_t(w) * h, 0);
  seq.alpha.assign(size_t(w) * h * frames, 255);
  for (int t = 0; t < frames; t++) {
    Picture420 pic = seq.background;
    uint8_t* alpha = seq.alpha.data() + size_t(w) * h * t;
    std::vector<bool> covered(size_t(w) * h, false);
    for (const MovingObject& o : objects) {
      const int ox = WrappedPosition(o.x0, o.dx, t, o.w, w);
      const int oy = WrappedPosition(o.y0, o.dy, t, o.h, h);
      for (int y = std::max(0, oy); y < std::min(h, oy + o.h); y++)
        for (int x = std::max(0, ox); x < std::min(w, ox + o.w); x++) {
          pic.Y(x, y) = o.y;
          pic.u[size_t(y / 2) * pic.cw() + x / 2] = o.u;
          pic.v[size_t(y / 2) * pic.cw() + x / 2] = o.v;
          alpha[size_t(y) * w + x] = 0;
          covered[size_t(y) * w + x] = true;
        }
    }
    for (size_t i = 0; i < covered.size(); i++) seq.coverage[i] += covered[i];
    seq.frames.push_back(std::move(pic));
  }
  return seq;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteYUV(const std::string& path, const std::vector<Picture420>& frames) {
  std::vector<uint8_t> bytes;
  for (const Picture420& f : frames) {
    const std::vector<uint8_t> b = f.Bytes();
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  WriteBytes(path, bytes);
}

bool ReadP6(const std::string& path, RGBPicture* out, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot open " + path;
    return false;
  }
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The header is exactly "P6\n", the width, one blank, the height, "\n255\n".
  size_t pos = 0;
  const auto number = [&](char end, int* value) {
    size_t start = pos;
    while (pos < data.size() && data[pos] >= '0' && data[pos] <= '9') pos++;
    if (pos == start || pos - start > 6 || pos >= data.size() || data[pos] != end) return false;
    *value = std::stoi(data.substr(start, pos - start));
    pos++;
    return true;
  };
  int maxval = 0;
  if (data.compare(0, 3, "P6\n") != 0) {
    *why = path + " does not start with P6";
    return false;
  }
  pos = 3;
  if (!number(' ', &out->w) || !number('\n', &out->h) || !number('\n', &maxval) || maxval != 255) {
    *why = path + " has a malformed header";
    return false;
  }
  const size_t raster = size_t(out->w) * out->h * 3;
  if (data.size() - pos != raster) {
    std::ostringstream s;
    s << path << " holds " << data.size() - pos << " raster bytes, not " << raster;
    *why = s.str();
    return false;
  }
  out->rgb.assign(data.begin() + std::ptrdiff_t(pos), data.end());
  return true;
}

std::vector<std::string> ListFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testsupport
