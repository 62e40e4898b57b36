// Runs a program as a child process and collects what it writes and how it ends, for the
// end-to-end tests of the built executables.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

struct ProcessSpec {
  std::string path;               // the program to run
  std::vector<std::string> args;  // its arguments after argv[0]
  std::string arg0;               // argv[0]; the path when empty
  std::string workdir;            // the child's working directory; the test's own when empty
  std::vector<std::string> env;   // "NAME=value" entries set or replaced in the child
  double timeout_seconds = 120;   // the child is killed after this long
  bool stderr_unread = false;     // stderr is a pipe without reader, as in "2>&1 | true"
};

struct ProcessResult {
  std::string out;     // everything written to stdout
  std::string err;     // everything written to stderr
  int exit_code = -1;  // -1 unless the child exited normally
  int signal = 0;      // the signal that ended the child, 0 when it exited
  bool timed_out = false;
};

// stdin of the child is /dev/null. Throws std::runtime_error when the child cannot be started.
ProcessResult RunProcess(const ProcessSpec& spec);

// Starts the program with its standard streams on /dev/null and SIGHUP, SIGINT and SIGTERM at
// their default action and not blocked, as a shell starts a job in the foreground; the caller
// signals and reaps it. Throws std::runtime_error when it cannot fork.
pid_t StartAsForegroundJob(const std::string& path, const std::vector<std::string>& args);

}  // namespace testsupport

#endif
