// What memory the running process can still obtain, as the system states it: the memory
// available, the room its memory cgroups leave, and its address space. The background tool
// budgets its frames against this figure so that it refuses a run before the system kills it.
#ifndef PIXKIT_UTILITY_SYSMEMORY_H
#define PIXKIT_UTILITY_SYSMEMORY_H

#include <cstdint>
#include <string>
#include <vector>

namespace pixkit {

constexpr uint64_t c_NoMemoryLimit = UINT64_MAX;

// Every reader takes the folder that stands for "/" (empty: the real one), under which it finds
// /proc and the cgroup mounts, so that a test can lay out a made-up system; "self" is then the
// process the files describe. c_NoMemoryLimit where the system states nothing.

// MemAvailable of /proc/meminfo.
uint64_t AskSystemAvailable(const std::string& root = "");

// A memory cgroup that holds the process: its folder is mount + path (path empty or from "/").
struct MemoryCgroup {
  std::string mount;
  std::string path;
  bool v2;  // of the version 2 hierarchy, else of the version 1 memory hierarchy
};
std::vector<MemoryCgroup> AskMemoryCgroups(const std::string& root = "");

// The least room, limit less usage, of the memory cgroups that hold the process and of their
// ancestors, in the version 1 memory hierarchy and the version 2 one. File pages that are not in
// use count as free: the kernel takes them back before it runs out.
uint64_t AskCgroupRoom(const std::string& root = "");

// The address space left to map: the free stretches of /proc/self/maps below the stack (and the
// room the stack may grow into), each less what scattered allocations leave unused in it.
uint64_t AskUnmappedSpace(const std::string& root = "");

// What this process can still obtain in two parts, each less a margin for what is never counted
// (code, stacks, allocator slack), so that the system's out-of-memory killer is not reached:
// the memory that the processes it starts draw on too (the memory available, the room of its
// cgroups), and the address space of its own (what is unmapped, its address-space limit less
// what it has mapped).
struct ObtainableMemory {
  uint64_t shared = c_NoMemoryLimit;
  uint64_t own = c_NoMemoryLimit;
};
ObtainableMemory AskObtainableMemoryParts();

// What this process can still obtain: the lesser of the two parts.
uint64_t AskObtainableMemory();

}  // namespace pixkit

#endif
