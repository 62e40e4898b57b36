#include "libpixkit/utility/sysmemory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

using namespace pixkit;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MB = 1024 * 1024;

// A made-up system under a temporary folder: files by their path below "/".
struct FakeRoot {
  testsupport::TempDir dir;
  std::string path = dir.path.string();
  void Write(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(path + name).parent_path());
    std::ofstream(path + name) << text;
  }
};

}  // namespace

// The room of the process's memory cgroups: each hierarchy found through the mount table,
// the cgroup path taken below the mount's root, every ancestor's limit less its usage (spare
// file pages free), the least of all; unlimited where no limit shows.
TEST(SystemMemory, CgroupRoomOverAMadeUpTree) {
  FakeRoot root;
  root.Write("/proc/self/cgroup", "1:cpu:/\n4:cpu,memory:/api/abc\n0::/user/app\n");
  const std::string v1 = "35 31 0:32 / /cg/mem\\040ory rw - cgroup cgroup rw,cpu,memory\n";
  const std::string v2 = "41 31 0:38 /user /cg/unified rw shared:9 - cgroup2 cgroup2 rw\n";
  root.Write("/proc/self/mountinfo", "32 31 0:29 / /cg/cpu rw - cgroup cgroup rw,cpu\n" + v1 + v2);
  const auto set = [&](const std::string& dir, uint64_t limit, uint64_t usage, const char* stat) {
    const bool two = dir.find("unified") != std::string::npos;
    root.Write(dir + (two ? "/memory.max" : "/memory.limit_in_bytes"),
               limit == c_NoMemoryLimit ? "max" : std::to_string(limit));
    root.Write(dir + (two ? "/memory.current" : "/memory.usage_in_bytes"), std::to_string(usage));
    root.Write(dir + "/memory.stat", "cache 1\n" + std::string(stat) + " " + std::to_string(10 * MB));
  };
  set("/cg/mem ory", c_NoMemoryLimit - 4096, 4000 * MB, "total_inactive_file");
  set("/cg/mem ory/api", 1024 * MB, 900 * MB, "x");
  set("/cg/mem ory/api/abc", 200 * MB, 50 * MB, "total_inactive_file");
  set("/cg/unified/app", c_NoMemoryLimit, 5000, "inactive_file");
  set("/cg/unified", 500 * MB, 120 * MB, "inactive_file");
  EXPECT_EQ(AskCgroupRoom(root.path), 124 * MB);  // the parent's
  set("/cg/mem ory/api", 1024 * MB, 0, "x");
  EXPECT_EQ(AskCgroupRoom(root.path), 160 * MB);  // its own, with spare file pages
  set("/cg/mem ory/api/abc", 1000, 5000, "x");
  EXPECT_EQ(AskCgroupRoom(root.path), 0u);  // usage beyond the limit
  root.Write("/proc/self/mountinfo", v2);
  EXPECT_EQ(AskCgroupRoom(root.path), 390 * MB);  // version 2 alone
  root.Write("/proc/self/cgroup", "0::/elsewhere\n");
  EXPECT_EQ(AskCgroupRoom(root.path), c_NoMemoryLimit);  // outside the mount's root

  FakeRoot empty;
  EXPECT_EQ(AskCgroupRoom(empty.path), c_NoMemoryLimit);
  EXPECT_EQ(AskSystemAvailable(empty.path), c_NoMemoryLimit);
  empty.Write("/proc/meminfo", "MemTotal: 8000 kB\nMemFree: 100 kB\nMemAvailable: 3000 kB\n");
  EXPECT_EQ(AskSystemAvailable(empty.path), 3000u * 1024);
  // A line that does not parse costs only itself; a figure beyond 64 bits is no figure.
  empty.Write("/proc/meminfo", "MemTotal: lots kB\nMemAvailable: 3000 kB\n");
  EXPECT_EQ(AskSystemAvailable(empty.path), 3000u * 1024);
  empty.Write("/proc/meminfo", "MemAvailable: 18446744073709551615 kB\n");
  EXPECT_EQ(AskSystemAvailable(empty.path), c_NoMemoryLimit);
}

// Lines a reader cannot make sense of are passed over: a cgroup whose folder is not known for
// sure is left out rather than taken from a wrong folder, and nothing is thrown.
TEST(SystemMemory, MalformedLinesAreIgnored) {
  FakeRoot root;
  const auto set = [&](const std::string& dir, uint64_t limit, const std::string& usage,
                       const std::string& stat = "inactive_file 0\n") {
    const bool two = dir.compare(0, 10, "/cg/memory") != 0;
    root.Write(dir + (two ? "/memory.max" : "/memory.limit_in_bytes"), std::to_string(limit));
    root.Write(dir + (two ? "/memory.current" : "/memory.usage_in_bytes"), usage);
    root.Write(dir + "/memory.stat", stat);
  };
  set("/cg/unified", 500 * MB, std::to_string(100 * MB));  // 400 MB
  set("/cg/unified/app", 100 * MB, std::to_string(40 * MB));  // 60 MB
  set("/cg/x", 10 * MB, "0");  // beside the mount: what "/../x" would wrongly reach
  set("/cg/unifiedapp", 7 * MB, "0");  // what "app" would wrongly reach
  set("/cg/memory/app", 30 * MB, "0");
  const std::string v2 = "41 31 0:38 / /cg/unified rw - cgroup2 cgroup2 rw\n";
  const std::string v1 = "35 31 0:32 / /cg/memory rw - cgroup cgroup rw,memory\n";
  struct Case {
    const char* what;
    std::string cgroup, mountinfo;
    uint64_t room;
  } cases[] = {
      {"well formed", "0::/app\n", v2, 60 * MB},
      {"broken lines before", "garbage\n0:\n1:memory\n0::/app\n", v2, 60 * MB},
      {"path without a slash", "0::app\n", v2, c_NoMemoryLimit},
      {"empty path", "0::\n", v2, c_NoMemoryLimit},
      {"namespaced path outside the mount", "0::/../x\n", v2, c_NoMemoryLimit},
      {"path climbing out", "0::/app/../../x\n", v2, c_NoMemoryLimit},
      {"mount root climbing out", "0::/../../x\n",
       "41 31 0:38 /.. /cg/unified rw - cgroup2 cgroup2 rw\n", c_NoMemoryLimit},
      {"namespaced path inside the mount", "0::/../app\n",
       "41 31 0:38 /.. /cg/unified rw - cgroup2 cgroup2 rw\n", 60 * MB},
      {"mount line cut short", "0::/app\n", "41 31 0:38 / /cg/unified rw - cgroup2\n", c_NoMemoryLimit},
      {"version 1", "4:memory:/app\n", v1, 30 * MB},
      {"hierarchy id not a number", "x:memory:/app\n", v1, c_NoMemoryLimit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    root.Write("/proc/self/cgroup", c.cgroup);
    root.Write("/proc/self/mountinfo", c.mountinfo);
    EXPECT_EQ(AskCgroupRoom(root.path), c.room);
  }

  // Figures that do not parse leave the folder, or the file pages, out; the rest still counts.
  root.Write("/proc/self/cgroup", "0::/app\n");
  root.Write("/proc/self/mountinfo", v2);
  set("/cg/unified/app", 100 * MB, "99999999999999999999");
  EXPECT_EQ(AskCgroupRoom(root.path), 400 * MB);
  set("/cg/unified/app", 100 * MB, std::to_string(40 * MB), "anon many\ninactive_file 20971520\n");
  EXPECT_EQ(AskCgroupRoom(root.path), 80 * MB);
  set("/cg/unified/app", 100 * MB, std::to_string(40 * MB), "inactive_file -20971520\n");
  EXPECT_EQ(AskCgroupRoom(root.path), 60 * MB);

  // The free stretches of the address map, below the stack, from well-formed lines only.
  root.Write("/proc/sys/vm/mmap_min_addr", "65536\n");
  const std::string maps = "10000-20000000 r-xp 0 0:0 0\n40000000-50000000 rw-p 0 0:0 0\n";
  root.Write("/proc/self/maps", maps);
  const uint64_t space = AskUnmappedSpace(root.path);
  root.Write("/proc/self/maps", "x-y\n-100-200\n30000000-2000000\n" + maps + "bad\n");
  EXPECT_EQ(AskUnmappedSpace(root.path), space);
}

// In a 32-bit process, what the budget is given can be mapped, in blocks of the size of a large
// frame's plane, and not much more.
TEST(SystemMemory, UnmappedSpaceIsWhatCanBeMapped) {
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
