#include "libpixkit/utility/sysmemory.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>

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
