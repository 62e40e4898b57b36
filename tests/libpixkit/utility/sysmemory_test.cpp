#include "libpixkit/utility/sysmemory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace pixkit;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MB = 1024 * 1024;

// A made-up system under a temporary folder: files by their path below "/".
struct FakeRoot {
  FakeRoot() {
    std::string pattern = (fs::temp_directory_path() / "sysmemory_test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~FakeRoot() { fs::remove_all(path); }
  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(path + name).parent_path());
    std::ofstream(path + name) << text;
  }
  std::string path;
};

}  // namespace

// The room of the process's memory cgroups: each hierarchy found through the mount table,
// the cgroup path taken below the mount's root, every ancestor's limit less its usage (spare
// file pages free), the least of all; unlimited where no limit shows.
TEST(SystemMemory, CgroupRoomOverMadeUpTrees) {
  const std::string v1 = "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
  const std::string v2 = "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
  const std::string other = "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n";
  const std::string big = "9223372036854771712";
  struct Case {
    const char* name;
    std::string cgroup, mountinfo;
    std::vector<std::pair<std::string, std::string>> files;
    uint64_t room;
  };
  const std::string m = "/sys/fs/cgroup/memory", u = "/sys/fs/cgroup/unified";
  const std::vector<Case> cases = {
      {"version 1, the parent is tighter",
       "1:cpu:/\n4:memory:/api/abc\n0::/\n", other + v1 + v2,
       {{m + "/memory.limit_in_bytes", big}, {m + "/memory.usage_in_bytes", "4000000000"},
        {m + "/api/memory.limit_in_bytes", std::to_string(1024 * MB)},
        {m + "/api/memory.usage_in_bytes", std::to_string(900 * MB)},
        {m + "/api/abc/memory.limit_in_bytes", std::to_string(200 * MB)},
        {m + "/api/abc/memory.usage_in_bytes", std::to_string(50 * MB)},
        {m + "/api/abc/memory.stat", "cache 1\ntotal_inactive_file " + std::to_string(10 * MB)}},
       124 * MB},
      {"version 1, the process's own limit with spare file pages",
       "4:memory:/api/abc\n", v1,
       {{m + "/api/abc/memory.limit_in_bytes", std::to_string(200 * MB)},
        {m + "/api/abc/memory.usage_in_bytes", std::to_string(50 * MB)},
        {m + "/api/abc/memory.stat", "cache 1\ntotal_inactive_file " + std::to_string(10 * MB)}},
       160 * MB},
      {"version 1 mounted from the process's own cgroup, with a blank in the mount point",
       "7:cpu,memory:/docker/abc\n",
       "35 31 0:32 /docker/abc /sys/fs/cgroup/mem\\040ory rw - cgroup cgroup rw,cpu,memory\n",
       {{"/sys/fs/cgroup/mem ory/memory.limit_in_bytes", std::to_string(300 * MB)},
        {"/sys/fs/cgroup/mem ory/memory.usage_in_bytes", std::to_string(100 * MB)}},
       200 * MB},
      {"version 2, no limit of its own, the parent's with spare file pages",
       "0::/user.slice/app\n", v2,
       {{u + "/user.slice/app/memory.max", "max\n"},
        {u + "/user.slice/app/memory.current", "5000"},
        {u + "/user.slice/memory.max", std::to_string(500 * MB)},
        {u + "/user.slice/memory.current", std::to_string(120 * MB)},
        {u + "/user.slice/memory.stat", "anon 1\ninactive_file " + std::to_string(20 * MB)}},
       400 * MB},
      {"both versions: the tighter", "4:memory:/a\n0::/b\n", v1 + v2,
       {{m + "/a/memory.limit_in_bytes", std::to_string(300 * MB)},
        {m + "/a/memory.usage_in_bytes", "0"},
        {u + "/b/memory.max", std::to_string(250 * MB)}, {u + "/b/memory.current", "0"}},
       250 * MB},
      {"usage beyond the limit", "4:memory:/a\n", v1,
       {{m + "/a/memory.limit_in_bytes", "1000"}, {m + "/a/memory.usage_in_bytes", "5000"}}, 0},
      {"a cgroup outside the mount's root", "4:memory:/elsewhere\n",
       "35 31 0:32 /docker /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
       {{m + "/memory.limit_in_bytes", "1000"}, {m + "/memory.usage_in_bytes", "0"}},
       c_NoMemoryLimit},
      {"no memory hierarchy", "1:cpu:/a\n", other, {}, c_NoMemoryLimit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRoot root;
    root.Write("/proc/self/cgroup", c.cgroup);
    root.Write("/proc/self/mountinfo", c.mountinfo);
    for (const auto& f : c.files) root.Write(f.first, f.second);
    EXPECT_EQ(AskCgroupRoom(root.path), c.room);
  }
  FakeRoot root;
  EXPECT_EQ(AskCgroupRoom(root.path), c_NoMemoryLimit);
  EXPECT_EQ(AskSystemAvailable(root.path), c_NoMemoryLimit);
  root.Write("/proc/meminfo", "MemTotal: 8000 kB\nMemFree: 100 kB\nMemAvailable: 3000 kB\n");
  EXPECT_EQ(AskSystemAvailable(root.path), 3000u * 1024);
}

// The free stretches of a made-up 32-bit address space, below the room of an 8 MiB stack and
// its guard, less 16 MiB in each; and in a real 32-bit process, what the figure promises can be
// mapped, in blocks of the size of a large frame's plane.
TEST(SystemMemory, UnmappedSpaceIsWhatCanBeMapped) {
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_STACK, &old), 0);
  const rlimit stack = {8 * MB, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &stack), 0);
  FakeRoot root;
  root.Write("/proc/sys/vm/mmap_min_addr", "65536\n");
  root.Write("/proc/self/maps",
             "f7000000-f7100000 r-xp 00000000 fe:00 1 /lib/libc.so.6\n"
             "00010000-00020000 r-xp 00000000 fe:00 2 /bin/tool\n"
             "00030000-08000000 rw-p 00000000 00:00 0 [heap]\n"
             "ffde6000-ffe07000 rw-p 00000000 00:00 0                                  [stack]\n"
             "ffff0000-ffff1000 r-xp 00000000 00:00 0 [vdso]\n");
  const uint64_t top = 0xffde6000 - 9 * MB;
  EXPECT_EQ(AskUnmappedSpace(root.path), (0xf7000000 - 0x08000000 - 16 * MB) + (top - 0xf7100000 - 16 * MB));
  ASSERT_EQ(setrlimit(RLIMIT_STACK, &old), 0);

  if (sizeof(void*) > 4) GTEST_SKIP() << "a 64-bit address space is not what limits a run";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer takes address space of its own";
#endif
  const uint64_t promised = AskUnmappedSpace();
  constexpr size_t c_Block = 12 * MB;
  std::vector<void*> blocks;
  for (void* p; (p = mmap(nullptr, c_Block, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) !=
                MAP_FAILED;)
    blocks.push_back(p);
  for (void* p : blocks) munmap(p, c_Block);
  const uint64_t got = blocks.size() * c_Block;
  EXPECT_LE(promised, got);
  EXPECT_LE(AskObtainableMemory(), got);
  EXPECT_GE(promised + 128 * MB, got) << "much less promised than there is";
}
