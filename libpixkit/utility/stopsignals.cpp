// Removal of a partly written file on a stop signal; see stopsignals.h.
#include "libpixkit/utility/stopsignals.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

namespace pixkit {

namespace {

// The signals that stop a run from outside: a hang-up, Ctrl-C, kill.
constexpr int c_StopSignals[] = {SIGHUP, SIGINT, SIGTERM};

// The watched file, for the handler; empty when there is none. It changes only while the stop
// signals are held, so the handler never sees half a name.
char g_watched[PATH_MAX];

bool g_haveOwner = false;

void RemoveWatchedAndStop(int sig) {
  if (g_watched[0] != '\0') unlink(g_watched);
  signal(sig, SIG_DFL);
  raise(sig);  // delivered when the handler returns
}

}  // namespace

StopSignalsHeld::StopSignalsHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : c_StopSignals) sigaddset(&set, sig);
  sigprocmask(SIG_BLOCK, &set, &d_previous);
}

StopSignalsHeld::~StopSignalsHeld() {
  const int err = errno;
  sigprocmask(SIG_SETMASK, &d_previous, nullptr);
  errno = err;
}

RemoveOnStop::RemoveOnStop() {
  assert(!g_haveOwner && "one RemoveOnStop at a time");
  g_haveOwner = true;
  static_assert(sizeof c_StopSignals / sizeof c_StopSignals[0] == sizeof d_caught);
  for (size_t i = 0; i < sizeof d_caught; i++) {
    struct sigaction current;
    if (sigaction(c_StopSignals[i], nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) ||
        current.sa_handler != SIG_DFL)
      continue;
    struct sigaction remove = {};
    remove.sa_handler = RemoveWatchedAndStop;
    sigemptyset(&remove.sa_mask);
    for (int sig : c_StopSignals) sigaddset(&remove.sa_mask, sig);
    if (sigaction(c_StopSignals[i], &remove, nullptr) != 0) continue;
    d_caught[i] = true;
    d_previous[i] = current;
  }
}

RemoveOnStop::~RemoveOnStop() {
  Forget();
  for (size_t i = 0; i < sizeof d_caught; i++)
    if (d_caught[i]) sigaction(c_StopSignals[i], &d_previous[i], nullptr);
  g_haveOwner = false;
}

void RemoveOnStop::Watch(const std::string& path) {
  // The kernel refuses longer names: the file could not have been created.
  assert(path.size() < sizeof g_watched);
  StopSignalsHeld held;
  std::memcpy(g_watched, path.c_str(), path.size() + 1);
}

void RemoveOnStop::Forget() {
  StopSignalsHeld held;
  g_watched[0] = '\0';
}

void IgnoreWriteSignals() {
  // Caught rather than ignored: the programs this one starts get them back at their defaults.
  struct sigaction none = {};
  none.sa_handler = [](int) {};
  none.sa_flags = SA_RESTART;
  sigemptyset(&none.sa_mask);
  sigaction(SIGPIPE, &none, nullptr);
  sigaction(SIGXFSZ, &none, nullptr);
}

bool OpenClosedStandardStreams() {
  for (int fd = 0; fd < 3; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number, which is this one: those below are open by now. A directory opened
    // read-only fails every read and write, and opened again by its name (/dev/stdin,
    // /proc/self/fd/1) it still cannot be read or written, where /dev/null would be found whole.
    // Nobody may create a file in this one, so a name below the stream (/dev/stdout/bg) cannot
    // be made either. Without /proc those names lead nowhere and /dev/null, opened the wrong way
    // round, serves as before.
    int standIn = open("/proc/self/fd", O_RDONLY | O_DIRECTORY);
    if (standIn < 0) standIn = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (standIn < 0) return false;
    assert(standIn == fd);
  }
  return true;
}

}  // namespace pixkit
