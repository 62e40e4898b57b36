/* Preloaded by bench/decoder-memory.sh: with DM_CPUS=N set, sched_getaffinity answers that the
 * process may run on CPUs 0 to N-1, so that a decoder sizes its threads as on an N-core machine.
 * Where it actually runs does not change. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sched.h>
#include <stdlib.h>

int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set) {
  const char* n = getenv("DM_CPUS");
  if (!n || atoi(n) <= 0) {
    int (*real)(pid_t, size_t, cpu_set_t*) =
        (int (*)(pid_t, size_t, cpu_set_t*))dlsym(RTLD_NEXT, "sched_getaffinity");
    return real(pid, size, set);
  }
  CPU_ZERO_S(size, set);
  for (int i = 0, cpus = atoi(n); i < cpus && (size_t)i < 8 * size; ++i) CPU_SET_S(i, size, set);
  return 0;
}
