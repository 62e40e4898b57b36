// The memory figures of the running process; see sysmemory.h.
#include "libpixkit/utility/sysmemory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace pixkit {

namespace {

constexpr uint64_t c_MB = 1024 * 1024;

uint64_t PageSize() {
  const long page = sysconf(_SC_PAGE_SIZE);
  return page > 0 ? uint64_t(page) : 4096;
}

uint64_t Less(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// A word of digits alone in the base as a number; false for anything else (a sign, a word
// such as "max", a number beyond 64 bits).
bool ParseNumber(const std::string& word, int base, uint64_t* value) {
  const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
  if (word.empty() || word.find_first_not_of(digits) != std::string::npos) return false;
  errno = 0;
  const unsigned long long n = std::strtoull(word.c_str(), nullptr, base);
  if (errno == ERANGE) return false;
  *value = n;
  return true;
}

// The first word of a file as a decimal number; false for a missing file or a word such as "max".
bool ReadNumber(const std::string& path, uint64_t* value) {
  std::ifstream in(path);
  std::string word;
  return in >> word && ParseNumber(word, 10, value);
}

// The value of "key value" in a file of such lines; false when it has none that parses.
bool ReadKeyed(const std::string& path, const std::string& key, uint64_t* value) {
  std::ifstream in(path);
  std::string line, name, word;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (fields >> name >> word && name == key && ParseNumber(word, 10, value)) return true;
  }
  return false;
}

// The room of one cgroup folder: limit less the usage that is not spare file pages.
uint64_t CgroupFolderRoom(const std::string& dir, bool v2) {
  uint64_t limit = 0, usage = 0;
  if (!ReadNumber(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), &limit) ||
      !ReadNumber(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), &usage))
    return c_NoMemoryLimit;
  uint64_t spare = 0;
  ReadKeyed(dir + "/memory.stat", v2 ? "inactive_file" : "total_inactive_file", &spare);
  return Less(limit, Less(usage, spare));
}

// Mount points and roots are written with octal escapes for blanks and the like.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    const auto octal = [&](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '7'; };
    if (s[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += char(std::strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// A cgroup path as the kernel writes it: from "/", no empty, "." or ".." part. A cgroup outside
// the namespace shows as "/../x"; below the mount's root it cannot be told where it is.
bool IsPlainPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  for (size_t from = 1; from <= path.size();) {
    const size_t to = std::min(path.find('/', from), path.size());
    const std::string part = path.substr(from, to - from);
    if (part.empty() || part == "." || part == "..") return false;
    from = to + 1;
  }
  return true;
}

bool HasWord(const std::string& list, const std::string& word) {
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ','))
    if (item == word) return true;
  return false;
}

// The cgroup path of the process in the memory hierarchy of version 1 (or in the single one of
// version 2); false when it is in none.
bool CgroupPath(const std::string& root, bool v2, std::string* path) {
  std::ifstream in(root + "/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const size_t a = line.find(':');
    const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string id = line.substr(0, a), controllers = line.substr(a + 1, b - a - 1);
    uint64_t number = 0;
    if (!ParseNumber(id, 10, &number)) continue;
    if (v2 ? (id == "0" && controllers.empty()) : HasWord(controllers, "memory")) {
      *path = line.substr(b + 1);
      if (!path->empty() && (*path)[0] == '/') return true;
    }
  }
  return false;
}

}  // namespace

uint64_t AskSystemAvailable(const std::string& root) {
  uint64_t kb = 0;
  if (!ReadKeyed(root + "/proc/meminfo", "MemAvailable:", &kb) || kb > c_NoMemoryLimit / 1024)
    return c_NoMemoryLimit;
  return kb * 1024;
}

std::vector<MemoryCgroup> AskMemoryCgroups(const std::string& root) {
  std::vector<MemoryCgroup> found;
  std::ifstream mounts(root + "/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    // id parent dev root mountpoint options [optional fields] - type source superoptions
    std::istringstream fields(line);
    std::string skip, mountRoot, mountPoint, word, type, source, super;
    fields >> skip >> skip >> skip >> mountRoot >> mountPoint;
    while (fields >> word && word != "-") {
    }
    if (!(fields >> type >> source >> super)) continue;
    mountRoot = Unescape(mountRoot);
    mountPoint = Unescape(mountPoint);
    if (mountRoot.empty() || mountRoot[0] != '/' || mountPoint.empty() || mountPoint[0] != '/')
      continue;
    const bool v2 = type == "cgroup2";
    if (!v2 && !(type == "cgroup" && HasWord(super, "memory"))) continue;
    std::string path;
    if (!CgroupPath(root, v2, &path)) continue;
    // The mount shows the hierarchy from its root on; a cgroup outside it cannot be seen here.
    if (mountRoot != "/") {
      if (path != mountRoot && path.compare(0, mountRoot.size() + 1, mountRoot + "/") != 0) continue;
      path.erase(0, mountRoot.size());
    }
    if (!path.empty() && !IsPlainPath(path)) continue;
    if (path == "/") path.clear();
    found.push_back({root + mountPoint, path, v2});
  }
  return found;
}

uint64_t AskCgroupRoom(const std::string& root) {
  uint64_t room = c_NoMemoryLimit;
  for (MemoryCgroup cgroup : AskMemoryCgroups(root)) {
    // Every ancestor's limit holds for its descendants too.
    for (;;) {
      room = std::min(room, CgroupFolderRoom(cgroup.mount + cgroup.path, cgroup.v2));
      const size_t slash = cgroup.path.rfind('/');
      if (slash == std::string::npos) break;
      cgroup.path.erase(slash);
    }
  }
  return room;
}

uint64_t AskUnmappedSpace(const std::string& root) {
  std::ifstream maps(root + "/proc/self/maps");
  std::vector<std::pair<uint64_t, uint64_t>> mapped;
  uint64_t top = 0;
  std::string line;
  while (std::getline(maps, line)) {
    const size_t dash = line.find('-'), blank = line.find(' ');
    uint64_t start = 0, end = 0;
    if (dash == std::string::npos || dash > blank ||
        !ParseNumber(line.substr(0, dash), 16, &start) ||
        !ParseNumber(line.substr(dash + 1, blank == std::string::npos ? blank : blank - dash - 1),
                     16, &end) ||
        end <= start)
      continue;
    if (line.size() >= 7 && line.compare(line.size() - 7, 7, "[stack]") == 0 && top == 0) {
      // Nothing may be mapped where the stack can still grow, nor just below that.
      rlimit stack;
      uint64_t grow = 256 * c_MB;
      if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY)
        grow = std::min(grow, uint64_t(stack.rlim_cur));
      top = Less(start, grow + c_MB);
    }
    mapped.emplace_back(start, end);
  }
  if (mapped.empty()) return c_NoMemoryLimit;
  if (top == 0) top = mapped.back().first;
  std::sort(mapped.begin(), mapped.end());
  uint64_t low = 65536;  // the lowest address the kernel maps by default
  ReadNumber(root + "/proc/sys/vm/mmap_min_addr", &low);
  // Large blocks do not fill a stretch: up to one of them is lost in each.
  constexpr uint64_t c_LostPerStretch = 16 * c_MB;
  uint64_t space = 0;
  const auto stretch = [&](uint64_t from, uint64_t to) {
    if (to > from) space += Less(to - from, c_LostPerStretch);
  };
  for (const auto& m : mapped) {
    stretch(low, std::min(m.first, top));
    low = std::max(low, m.second);
  }
  stretch(low, top);
  return space;
}

ObtainableMemory AskObtainableMemoryParts() {
  uint64_t physical = std::min(AskSystemAvailable(), AskCgroupRoom());
  if (physical == c_NoMemoryLimit) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    if (pages > 0) physical = uint64_t(pages) * PageSize();
  }
  uint64_t space = AskUnmappedSpace();
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    uint64_t pages = 0;
    ReadNumber("/proc/self/statm", &pages);
    space = std::min(space, Less(uint64_t(limit.rlim_cur), pages * PageSize()));
  }
  // Mapped space is known to the page; memory also goes to the kernel's records of the process
  // and to whatever else shares the limit, more of it the more there is.
  if (space != c_NoMemoryLimit) space = Less(space, 16 * c_MB);
  if (physical != c_NoMemoryLimit) physical = Less(physical, physical / 32 + 16 * c_MB);
  return {physical, space};
}

uint64_t AskObtainableMemory() {
  const ObtainableMemory parts = AskObtainableMemoryParts();
  return std::min(parts.shared, parts.own);
}

}  // namespace pixkit
