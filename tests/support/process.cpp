// Child processes for end-to-end tests: fork and exec with stdout and stderr on pipes.
#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e; e++) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& o : overrides)
      if (o.substr(0, o.find('=')) == name) replaced = true;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> ptrs;
  for (std::string& s : strings) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
  return ptrs;
}

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void CloseWriteEnd() {
    close(fd[1]);
    fd[1] = -1;
  }
  void CloseReadEnd() {
    close(fd[0]);
    fd[0] = -1;
  }
};

}  // namespace

ProcessResult RunProcess(const ProcessSpec& spec) {
  // Everything the child needs is prepared before fork: after it only exec-safe calls follow.
  std::vector<std::string> argv{spec.arg0.empty() ? spec.path : spec.arg0};
  argv.insert(argv.end(), spec.args.begin(), spec.args.end());
  std::vector<std::string> env = ChildEnvironment(spec.env);
  std::vector<char*> argvPtrs = Pointers(argv);
  std::vector<char*> envPtrs = Pointers(env);

  Pipe out, err;
  if (spec.stderr_unread) err.CloseReadEnd();  // before the fork: no process may hold it
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(out.fd[1], 1) < 0 || dup2(err.fd[1], 2) < 0)
      _exit(126);
    if (!spec.workdir.empty() && chdir(spec.workdir.c_str()) != 0) _exit(126);
    execve(spec.path.c_str(), argvPtrs.data(), envPtrs.data());
    _exit(127);
  }
  out.CloseWriteEnd();
  err.CloseWriteEnd();

  ProcessResult result;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(long(spec.timeout_seconds * 1000));
  pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = spec.stderr_unread ? 1 : 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const int ready = poll(fds, 2, int(left.count()));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && ready > 0; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, size_t(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // the Pipe closes it
        open--;
      }
    }
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

pid_t StartAsForegroundJob(const std::string& path, const std::vector<std::string>& args) {
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> argvPtrs = Pointers(argv);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(devnull, 1) < 0 || dup2(devnull, 2) < 0)
      _exit(126);
    execv(path.c_str(), argvPtrs.data());
    _exit(127);
  }
  return pid;
}

}  // namespace testsupport
