// Preloaded into mpgfeed and quillmere by their tests, to give the process SIGTERM at a moment
// no test can hit from outside:
// - as open() creates the file that MPGFEED_TEST_STOP_AT names; the open returns only once the
//   signal has had time to land, wherever the process lets it;
// - as the file that TEST_STOP_ONCE_KEPT names is kept, which holds the stop signals: as it is
//   renamed to that name (the PPM writer), or as they are first held after it was closed
//   (mpgfeed, which writes the file under its own name). It lands once they are let go.
#undef _FILE_OFFSET_BITS  // open and open64 are both defined here, under their own names
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using Open = int (*)(const char*, int, ...);

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int Opened(const char* realName, const char* path, int flags, int mode) {
  const int fd = Next<Open>(realName)(path, flags, mode);
  const char* target = std::getenv("MPGFEED_TEST_STOP_AT");
  if (fd >= 0 && (flags & O_CREAT) && target && std::strcmp(path, target) == 0) {
    kill(getpid(), SIGTERM);
    const timespec pause = {0, 300 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return fd;
}

const char* KeptTarget() { return std::getenv("TEST_STOP_ONCE_KEPT"); }

bool g_closed = false;  // the file to keep is closed: the signal comes at the next hold

}  // namespace

#define MODE_OF(flags)                                                     \
  int mode = 0;                                                            \
  if ((flags) & (O_CREAT | O_TMPFILE)) {                                   \
    va_list ap;                                                            \
    va_start(ap, flags);                                                   \
    mode = va_arg(ap, int);                                                \
    va_end(ap);                                                            \
  }

extern "C" int open(const char* path, int flags, ...) {
  MODE_OF(flags)
  return Opened("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
  MODE_OF(flags)
  return Opened("open64", path, flags, mode);
}

extern "C" int rename(const char* from, const char* to) {
  const int result = Next<int (*)(const char*, const char*)>("rename")(from, to);
  const char* target = KeptTarget();
  if (result == 0 && target && std::strcmp(to, target) == 0) kill(getpid(), SIGTERM);
  return result;
}

extern "C" int close(int fd) {
  const char* target = KeptTarget();
  struct stat64 file, named;
  if (target && fstat64(fd, &file) == 0 && stat64(target, &named) == 0 &&
      file.st_dev == named.st_dev && file.st_ino == named.st_ino)
    g_closed = true;
  return Next<int (*)(int)>("close")(fd);
}

extern "C" int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  const int result = Next<int (*)(int, const sigset_t*, sigset_t*)>("sigprocmask")(how, set, old);
  if (g_closed && result == 0 && how == SIG_BLOCK && set && sigismember(set, SIGTERM)) {
    g_closed = false;
    kill(getpid(), SIGTERM);
  }
  return result;
}
