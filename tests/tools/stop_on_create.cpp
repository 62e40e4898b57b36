// Preloaded into mpgfeed by its tests: as open() creates the file that MPGFEED_TEST_STOP_AT
// names, the process gets SIGTERM, and the open returns only once the signal has had time to
// land, wherever the process lets it.
#undef _FILE_OFFSET_BITS  // open and open64 are both defined here, under their own names
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using Open = int (*)(const char*, int, ...);

int Opened(const char* realName, const char* path, int flags, int mode) {
  const auto real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, realName));
  const int fd = real(path, flags, mode);
  const char* target = std::getenv("MPGFEED_TEST_STOP_AT");
  if (fd >= 0 && (flags & O_CREAT) && target && std::strcmp(path, target) == 0) {
    kill(getpid(), SIGTERM);
    const timespec pause = {0, 300 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return fd;
}

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
