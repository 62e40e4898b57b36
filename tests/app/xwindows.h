// End-to-end display tests of the executables: the top-level windows a program opened on a
// test X server, found by title, and their pixels.
#ifndef TESTS_APP_XWINDOWS_H
#define TESTS_APP_XWINDOWS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/libpixkit/x11/xtest_support.h"

namespace xwindows {

struct TopWindow {
  Window id;
  std::string title;
  int x, y, width, height;
};

// The mapped top-level windows that carry a title, in stacking order.
inline std::vector<TopWindow> ListWindows(Display* dpy) {
  std::vector<TopWindow> list;
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n)) return list;
  for (unsigned int i = 0; i < n; i++) {
    XWindowAttributes a;
    char* name = nullptr;
    if (!XGetWindowAttributes(dpy, children[i], &a) || a.map_state != IsViewable) continue;
    if (!XFetchName(dpy, children[i], &name) || !name) continue;
    list.push_back({children[i], name, a.x, a.y, a.width, a.height});
    XFree(name);
  }
  if (children) XFree(children);
  return list;
}

// Waits up to `seconds` until `count` windows with the given title are mapped.
inline std::vector<TopWindow> WaitForWindows(Display* dpy, const std::string& title, size_t count,
                                             double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    std::vector<TopWindow> found;
    for (const TopWindow& w : ListWindows(dpy))
      if (w.title == title) found.push_back(w);
    if (found.size() >= count || std::chrono::steady_clock::now() > end) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The window's pixels as 8-bit R, G, B, rows back to back; channels of fewer bits are widened
// by repeating their top bits. Empty when the window cannot be read.
inline std::vector<uint8_t> WindowRGB(Display* dpy, Window win, int w, int h) {
  std::vector<uint8_t> rgb;
  XWindowAttributes a;
  if (!XGetWindowAttributes(dpy, win, &a)) return rgb;
  xtest::ImagePtr img = xtest::ReadBack(dpy, win, 0, 0, w, h);
  if (!img) return rgb;
  const unsigned long masks[3] = {a.visual->red_mask, a.visual->green_mask, a.visual->blue_mask};
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const unsigned long p = XGetPixel(img.get(), x, y);
      for (unsigned long m : masks) {
        int shift = 0, bits = 0;
        while (!((m >> shift) & 1)) shift++;
        while ((m >> (shift + bits)) & 1) bits++;
        unsigned v = unsigned((p & m) >> shift) << (8 - bits);
        for (int b = bits; b < 8; b += bits) v |= v >> bits;
        rgb.push_back(uint8_t(v));
      }
    }
  return rgb;
}

}  // namespace xwindows

#endif
