// Removal of a file that is still being written when a hang-up, an interrupt or a termination
// ends the process, so that no partial file stays behind, and the signals that would end a
// process part-way through a write. Used through the output files of the PPM writer and the
// decoder program, and by the programs' entry points.
#ifndef PIXKIT_UTILITY_STOPSIGNALS_H
#define PIXKIT_UTILITY_STOPSIGNALS_H

#include <signal.h>

#include <string>

namespace pixkit {

// Holds SIGHUP, SIGINT and SIGTERM back while it lives; errno passes through unchanged.
class StopSignalsHeld {
 public:
  StopSignalsHeld();
  ~StopSignalsHeld();
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

 private:
  sigset_t d_previous;
};

// While it lives, SIGHUP, SIGINT and SIGTERM remove the watched file, if there is one, and then
// end the process as they would have. Only signals left at their default action are caught: one
// that is ignored (as a shell does for background jobs) or handled by the program stays as it
// was. One at a time in a process (checked): the programs run one thread, and a second owner
// would share, and forget, the one watched name.
class RemoveOnStop {
 public:
  RemoveOnStop();
  ~RemoveOnStop();  // forgets the file and puts the previous actions back
  RemoveOnStop(const RemoveOnStop&) = delete;
  RemoveOnStop& operator=(const RemoveOnStop&) = delete;

  // From now on a stop signal removes path. Call it while holding the stop signals from before
  // the file is created, so that no signal comes in between.
  void Watch(const std::string& path);
  // The file is complete, or gone.
  void Forget();

 private:
  bool d_caught[3] = {};
  struct sigaction d_previous[3];
};

// A write beyond the file-size limit, or into a pipe whose reader has gone, fails with EFBIG or
// EPIPE instead of ending the process: the program reports it and removes what it left
// unfinished, and a closed standard error does not cost a run its output.
void IgnoreWriteSignals();

// Opens a stand-in onto each of the standard descriptors 0-2 that is closed, so that no file the
// program opens later takes one of their numbers and gets its progress or messages. Using the
// stream still fails (writes with EBADF, reads with EISDIR), also when it is opened again by its
// name (/dev/stdin, /dev/stdout, /proc/self/fd/N). The stand-ins are inherited by the programs
// this one starts. Call it first in main. False when not even /dev/null can be opened, with
// errno set.
bool OpenClosedStandardStreams();

}  // namespace pixkit

#endif
