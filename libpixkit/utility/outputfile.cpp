// Output files that a failed run removes again; see outputfile.h.
#include "libpixkit/utility/outputfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>

#include "libpixkit/utility/error.h"

namespace pixkit {

bool IsSoleOwnFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

std::string OutputIsInputMessage(const std::string& output, const std::string& input) {
  const bool toStdout = output == "-";
  bool same = !toStdout && output == input;
  struct stat in, out;
  if (!same && stat(input.c_str(), &in) == 0) {
    const int got = toStdout ? fstat(STDOUT_FILENO, &out) : stat(output.c_str(), &out);
    same = got == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
  }
  if (!same) return "";
  const std::string shownInput = ShortNameForMessage(input);
  if (toStdout) return "standard output is the input '" + shownInput + "'";
  return "output '" + ShortNameForMessage(output) + "' is the input '" + shownInput + "'";
}

OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Abandon() {
  // Removed and forgotten in one step: a signal in between would remove the name again, by
  // then perhaps another program's file.
  StopSignalsHeld held;
  if (d_ownsFd) close(d_fd);
  d_ownsFd = false;
  d_fd = -1;
  const bool removed = !d_name.empty() && unlink(d_name.c_str()) == 0;
  const bool left = d_regular && !removed;
  d_regular = false;
  d_name.clear();
  d_removeOnStop.Forget();
  return left;
}

void OutputFile::Use(int fd, bool owns) {
  d_fd = fd;
  d_ownsFd = owns;
  struct stat st;
  d_regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

void OutputFile::Watch(const std::string& name) {
  d_name = name;
  d_removeOnStop.Watch(name);
}

bool OutputFile::Open(const std::string& name) {
  assert(d_fd < 0);
  struct stat st;
  const bool exists = lstat(name.c_str(), &st) == 0;
  if (exists ? IsSoleOwnFile(st) : errno == ENOENT) {
    // Neither open can block: the file is new, or a pipe put in its place meanwhile is refused.
    StopSignalsHeld held;
    const int fd = exists ? open(name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                          : open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && !exists && errno != EEXIST) return false;
    if (fd >= 0) {
      struct stat now;
      const bool same = !exists || (fstat(fd, &now) == 0 && now.st_dev == st.st_dev &&
                                    now.st_ino == st.st_ino && IsSoleOwnFile(now));
      if (same) {
        if (exists && (ftruncate(fd, 0) != 0 ||
                       fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
          const int err = errno;
          close(fd);
          errno = err;
          return false;
        }
        Use(fd, true);
        Watch(name);
        return true;
      }
      close(fd);
    }
    // The name changed under us: it is written as any other name is.
  }
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  Use(fd, true);
  return true;
}

bool OutputFile::CreateTemp(std::string tmpl) {
  assert(d_fd < 0);
  StopSignalsHeld held;
  const int fd = mkostemp(&tmpl[0], O_CLOEXEC);
  if (fd < 0) return false;
  Use(fd, true);
  Watch(tmpl);
  return true;
}

void OutputFile::UseStandardOutput() {
  assert(d_fd < 0);
  Use(STDOUT_FILENO, false);
}

bool OutputFile::Write(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t done = write(d_fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = EIO;
      return false;
    }
    p += done;
    n -= size_t(done);
  }
  return true;
}

bool OutputFile::Close() {
  if (!d_ownsFd) return true;
  d_ownsFd = false;
  const int fd = d_fd;
  d_fd = -1;
  return close(fd) == 0;  // the descriptor is gone either way
}

bool OutputFile::RenameTo(const char* target) {
  assert(!d_name.empty());
  StopSignalsHeld held;
  if (rename(d_name.c_str(), target) != 0) return false;
  d_name.clear();
  d_removeOnStop.Forget();
  return true;
}

void OutputFile::Keep() {
  StopSignalsHeld held;
  d_regular = false;
  d_name.clear();
  d_removeOnStop.Forget();
}

}  // namespace pixkit
