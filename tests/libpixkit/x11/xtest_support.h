// Access for display tests to the X servers that scripts/xservers.sh starts: their names,
// windows that other tests running at the same time cannot cover, pixel read-back and locks;
// and servers of a test's own.
#ifndef TESTS_LIBPIXKIT_X11_XTEST_SUPPORT_H
#define TESTS_LIBPIXKIT_X11_XTEST_SUPPORT_H

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace xtest {

// The display name a test server was started under, or "" when it was not started.
inline std::string ServerName(const char* envvar) {
  const char* name = std::getenv(envvar);
  return name ? name : "";
}

inline bool InCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Sets DISPLAY for the default connection (unsets it for nullptr) and restores it afterwards.
class ScopedDisplayEnv {
 public:
  explicit ScopedDisplayEnv(const char* display) {
    if (const char* old = std::getenv("DISPLAY")) d_old = old;
    if (display)
      setenv("DISPLAY", display, 1);
    else
      unsetenv("DISPLAY");
  }
  ~ScopedDisplayEnv() {
    if (d_old)
      setenv("DISPLAY", d_old->c_str(), 1);
    else
      unsetenv("DISPLAY");
  }
  ScopedDisplayEnv(const ScopedDisplayEnv&) = delete;
  ScopedDisplayEnv& operator=(const ScopedDisplayEnv&) = delete;

 private:
  std::optional<std::string> d_old;
};

// A mapped top-level window. It is redirected off-screen, so its contents stay its own even
// when windows of tests running beside it overlap it, and XGetImage reads what was drawn.
class TestWindow {
 public:
  TestWindow(Display* dpy, int w, int h, unsigned long background = 0) : d_dpy(dpy) {
    const int screen = DefaultScreen(dpy);
    d_win = XCreateSimpleWindow(dpy, RootWindow(dpy, screen), 0, 0, unsigned(w), unsigned(h), 0,
                                0, background);
    int event_base, error_base;
    if (XCompositeQueryExtension(dpy, &event_base, &error_base))
      XCompositeRedirectWindow(dpy, d_win, CompositeRedirectManual);
    else
      ADD_FAILURE() << "server without the Composite extension";
    XMapWindow(dpy, d_win);
    XSync(dpy, False);
  }
  ~TestWindow() {
    XDestroyWindow(d_dpy, d_win);
    XSync(d_dpy, False);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  Window Id() const { return d_win; }

 private:
  Display* d_dpy;
  Window d_win;
};

struct ImageDeleter {
  void operator()(XImage* img) const { XDestroyImage(img); }
};
using ImagePtr = std::unique_ptr<XImage, ImageDeleter>;

// The window's pixels as the server holds them, after every request sent so far.
inline ImagePtr ReadBack(Display* dpy, Window win, int x, int y, int w, int h) {
  XSync(dpy, False);
  return ImagePtr(XGetImage(dpy, win, x, y, unsigned(w), unsigned(h), AllPlanes, ZPixmap));
}

// Exclusive use of a server's shared state (its XVideo ports) among the test processes that
// run at the same time; without a lock folder it does nothing.
class ServerLock {
 public:
  explicit ServerLock(const std::string& display) {
    const char* folder = std::getenv("QUILLMERE_XLOCKS");
    if (!folder) return;
    std::string path = std::string(folder) + "/lock" + display;
    d_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (d_fd < 0 || flock(d_fd, LOCK_EX) != 0) ADD_FAILURE() << "cannot lock " << path;
  }
  ~ServerLock() {
    if (d_fd >= 0) close(d_fd);
  }
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;

 private:
  int d_fd = -1;
};

// An Xvfb of its own with a 64x64 screen of the given depth, for visuals the shared servers
// lack and for a server that a test may stop.
class PrivateServer {
 public:
  PrivateServer(int depth, bool composite) {
    int fds[2];
    if (pipe(fds) != 0) return;
    d_pid = fork();
    if (d_pid == 0) {
      dup2(fds[1], 3);
      const int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 1);
      dup2(quiet, 2);
      const std::string screen = "64x64x" + std::to_string(depth);
      // Composite adds a 32-bit visual of its own.
      execlp("Xvfb", "Xvfb", "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-displayfd",
             "3", "-extension", composite ? "XTEST" : "Composite", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // The number and its newline may come in two writes: a pipe closed in between would end
    // the server by SIGPIPE.
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (number.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd pfd = {fds[0], POLLIN, 0};
      const int ready = left.count() > 0 ? poll(&pfd, 1, int(left.count())) : 0;
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 1) break;
      char buf[32];
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      number.append(buf, size_t(n));
    }
    const size_t end = number.find('\n');
    if (end != std::string::npos) d_name = ":" + number.substr(0, end);
    close(fds[0]);
  }
  ~PrivateServer() { Stop(SIGTERM); }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  const std::string& Name() const { return d_name; }
  // Ends the server with the signal and waits until it is gone.
  void Stop(int signal) {
    if (d_pid <= 0) return;
    kill(d_pid, signal);
    waitpid(d_pid, nullptr, 0);
    d_pid = -1;
  }

 private:
  pid_t d_pid = -1;
  std::string d_name;
};

}  // namespace xtest

// Declares `var` as the display name of the test server in `envvar`. Without that server the
// test is skipped, and fails under CI=true, where display tests must run, unless the fixture
// said in `envvar`_MISSING why this machine cannot run that server.
#define QUILLMERE_REQUIRE_XSERVER(var, envvar)                                          \
  const std::string var = ::xtest::ServerName(envvar);                                  \
  if (var.empty()) {                                                                    \
    const std::string why = ::xtest::ServerName((std::string(envvar) + "_MISSING").c_str()); \
    if (!why.empty()) GTEST_SKIP() << (envvar) << " cannot run here: " << why;          \
    if (::xtest::InCI()) FAIL() << (envvar) << " is not set: start scripts/xservers.sh"; \
    GTEST_SKIP() << (envvar) << " is not set: run scripts/test.sh or scripts/xservers.sh"; \
  }

#endif
