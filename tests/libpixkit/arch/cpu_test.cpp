#include "libpixkit/arch/cpu.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "libpixkit/utility/error.h"

using namespace pixkit;

namespace {

// A crafted cpuinfo text in a temporary file, removed again with the object.
class CpuInfoFile {
 public:
  explicit CpuInfoFile(const std::string& text) {
    char name[] = "/tmp/quillmere-cpuinfo-XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    d_path = name;
    std::ofstream(d_path, std::ios::binary) << text;
  }
  ~CpuInfoFile() { std::remove(d_path.c_str()); }
  std::unique_ptr<CPU_LinuxProc> Probe() const {
    return std::make_unique<CPU_LinuxProc>(d_path.c_str());
  }

 private:
  std::string d_path;
};

std::string Features(const CPU_Capabilities& c) {
  std::string s;
  s += c.HasMMX() ? 'M' : '-';
  s += c.HasMMX2() ? 'X' : '-';
  s += c.Has3dNow() ? '3' : '-';
  s += c.HasMTRR() ? 'T' : '-';
  s += c.HasCMOV() ? 'C' : '-';
  s += c.HasFPU() ? 'F' : '-';
  return s;
}

std::string AssertionCondition(const Excpt_Text& e) {
  char buf[1000];
  e.GetText(buf, sizeof buf);
  std::string t = buf;
  size_t open = t.rfind(" (");
  return t.substr(open + 2, t.size() - open - 5);  // without "(" and ").\n"
}

}  // namespace

TEST(CpuLinuxProc, FlagsAreSubstringsOfTheFlagsLinesOnly) {
  const struct {
    const char* text;
    const char* features;  // MMX, MMXext, 3dNow!, MTRR, CMOV, FPU
  } cases[] = {
      {"flags\t\t: fpu mmx sse mtrr cmov 3dnow\n", "MX3TCF"},
      {"flags\t: sse\n", "-X----"},
      {"flags\t: mmxext\n", "MX----"},  // mmxext also contains mmx
      {"flags\t: sse2 ssse3\n", "-X----"},
      {"flags\t: 3dnowext\n", "--3---"},
      {"flags\t: cxmmx\n", "M-----"},
      {"flags\t: fpu_exception\n", "-----F"},
      {"cpu flags\t: mmx sse\nmyflags: fpu\n", "------"},
      {"flagsX: cmov\n", "----C-"},                         // only the first five characters count
      {"flags\t: mmx\nflags\t: cmov\n", "M---C-"},           // several processors: the union
      {"flags\t: mmx", "M-----"},                            // last line without a line end
      {"", "------"},
  };
  for (const auto& c : cases) {
    auto probe = CpuInfoFile(c.text).Probe();
    EXPECT_EQ(Features(*probe), c.features) << c.text;
  }
  auto missing = std::make_unique<CPU_LinuxProc>("/nonexistent/cpuinfo");
  EXPECT_EQ(Features(*missing), "------");
}

TEST(CpuLinuxProc, ALineTooLongForTheBufferEndsReading) {
  std::string long_line = "flags\t: mmx " + std::string(600, 'x') + " cmov\n";
  auto probe = CpuInfoFile(long_line + "flags\t: fpu\n").Probe();
  EXPECT_EQ(Features(*probe), "M-----");  // cmov lies past 499 characters, fpu after the line

  std::string fits = "flags\t: mmx " + std::string(499 - 16, 'x') + " fpu";
  ASSERT_EQ(fits.size(), 499u);
  probe = CpuInfoFile(fits + "\nflags\t: cmov\n").Probe();
  EXPECT_EQ(Features(*probe), "M---CF");
}

TEST(CpuLinuxProc, TheFirstModelNameCountsAsItStandsAfterTheColon) {
  const struct {
    const char* text;
    const char* info;
  } cases[] = {
      {"model name\t: Pentium MMX\n", "Pentium MMX"},
      {"model name\t\t\t: Athlon  XP \n", "Athlon  XP "},
      {"model name\t: First\nmodel name\t: Second\n", "First"},
      {"model: x\nmodel name\t: K6-2: 3D\n", "K6-2: 3D"},
      {"model name without colon\nmodel name\t: Later\n", "Later"},
      {"model name\t:\nmodel name\t: Later\n", ""},
      {"processor\t: 0\n", "unknown CPU"},
  };
  for (const auto& c : cases) {
    auto probe = CpuInfoFile(c.text).Probe();
    char buf[100];
    probe->GetCPUInfo(buf, sizeof buf, true);  // no features: nothing appended
    EXPECT_STREQ(buf, c.info) << c.text;
  }
}

TEST(CpuLinuxProc, GetCPUInfoAppendsFeaturesWhileThereIsRoom) {
  auto probe = CpuInfoFile("model name\t: Pent-II\nflags\t: fpu mmx\n").Probe();
  char buf[64];
  probe->GetCPUInfo(buf, 20, true);
  EXPECT_STREQ(buf, "Pent-II MMX FPU");
  probe->GetCPUInfo(buf, 20, false);
  EXPECT_STREQ(buf, "Pent-II");

  try {
    probe->GetCPUInfo(buf, 12, true);
    FAIL() << "no assertion";
  } catch (const Excpt_Assertion& e) {
    EXPECT_EQ(AssertionCondition(e), "maxChars >= 4");
    EXPECT_STREQ(buf, "Pent-II MMX");
  }
  try {
    probe->GetCPUInfo(buf, 7, false);
    FAIL() << "no assertion";
  } catch (const Excpt_Assertion& e) {
    EXPECT_EQ(AssertionCondition(e), "(int)strlen(d_typename) < maxChars");
  }

  auto all = CpuInfoFile("model name\t: X\nflags\t: fpu mmx sse 3dnow mtrr cmov\n").Probe();
  all->GetCPUInfo(buf, sizeof buf, true);
  EXPECT_STREQ(buf, "X MMX MMXext 3dNow! MTRR CMOV FPU");
  const struct {
    int maxChars;
    const char* condition;
  } tight[] = {{9, "maxChars >= 7"}, {17, "maxChars >= 7"}, {22, "maxChars >= 5"},
               {28, "maxChars >= 5"}, {33, "maxChars >= 4"}};
  for (const auto& t : tight) {
    try {
      all->GetCPUInfo(buf, t.maxChars, true);
      ADD_FAILURE() << "no assertion for " << t.maxChars;
    } catch (const Excpt_Assertion& e) {
      EXPECT_EQ(AssertionCondition(e), t.condition) << t.maxChars;
      EXPECT_LT(int(strlen(buf)), t.maxChars);
    }
  }
  all->GetCPUInfo(buf, 34, true);
  EXPECT_STREQ(buf, "X MMX MMXext 3dNow! MTRR CMOV FPU");
}

TEST(CpuCapabilities, OtherFamiliesAndTheGenericProbeRefuseFeatureQueries) {
  auto linux_probe = CpuInfoFile("flags\t: mmx\n").Probe();
  EXPECT_EQ(linux_probe->AskArchitecture(), CPUArch_x86);
  EXPECT_STREQ(ArchitectureName(linux_probe->AskArchitecture()), "intel x86");

  const char non_present[] = "CPU capability of non-present CPU architecture requested";
  for (auto query : {&CPU_Capabilities::HasXScale, &CPU_Capabilities::HasVIS}) {
    try {
      (linux_probe.get()->*query)();
      ADD_FAILURE() << "no assertion";
    } catch (const Excpt_Assertion& e) {
      EXPECT_EQ(AssertionCondition(e), non_present);
    }
  }

  CPU_Generic generic;
  EXPECT_EQ(generic.AskArchitecture(), CPUArch_Unknown);
  for (auto query : {&CPU_Capabilities::HasMMX, &CPU_Capabilities::HasMMX2,
                     &CPU_Capabilities::Has3dNow, &CPU_Capabilities::HasMTRR,
                     &CPU_Capabilities::HasCMOV, &CPU_Capabilities::HasFPU,
                     &CPU_Capabilities::HasXScale, &CPU_Capabilities::HasVIS}) {
    EXPECT_THROW((generic.*query)(), Excpt_Assertion);
  }
  char buf[12];
  generic.GetCPUInfo(buf, 12, true);
  EXPECT_STREQ(buf, "unknown CPU");
  try {
    generic.GetCPUInfo(buf, 11, false);
    FAIL() << "no assertion";
  } catch (const Excpt_Assertion& e) {
    EXPECT_EQ(AssertionCondition(e), "(int)strlen(unknown_arch) < maxChars");
  }
}

TEST(CpuCapabilities, ArchitectureNames) {
  const char* const names[] = {"intel x86", "680x0", "PowerPC", "ARM",
                               "Sparc",     "HP-PA", "unknown", "unknown"};
  for (int i = 0; i < 8; i++) EXPECT_STREQ(ArchitectureName(CPUArchitecture(i)), names[i]) << i;
}

TEST(CpuCapabilities, TheProcessProbeReadsThisMachine) {
  CPU_Capabilities* cpu = CPU_Capabilities::AskCapabilities();
  ASSERT_NE(cpu, nullptr);
  EXPECT_EQ(CPU_Capabilities::AskCapabilities(), cpu);
  EXPECT_EQ(cpu->AskArchitecture(), CPUArch_x86);
  EXPECT_TRUE(cpu->HasMMX());
  EXPECT_TRUE(cpu->HasFPU());
  char buf[500];
  cpu->GetCPUInfo(buf, sizeof buf, true);
  EXPECT_NE(std::string(buf).find(" MMX"), std::string::npos) << buf;
}
