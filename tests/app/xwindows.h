// End-to-end display tests of the executables: the top-level windows a program opened on a
// test X server, found by title, and their pixels.
#ifndef TESTS_APP_XWINDOWS_H
#define TESTS_APP_XWINDOWS_H

#include <chrono>
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

}  // namespace xwindows

#endif
