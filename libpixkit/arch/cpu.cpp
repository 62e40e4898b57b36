// Processor feature probe: the generic base and the Linux probe that reads /proc/cpuinfo.
#include "libpixkit/arch/cpu.h"

#include <cstring>
#include <fstream>
#include <new>

#include "libpixkit/utility/error.h"

namespace pixkit {

namespace {

// Characters that can still be appended in front of the terminating zero.
int Room(const char* buffer, int maxChars) { return maxChars - 1 - int(strlen(buffer)); }

}  // namespace

#define PIXKIT_NON_PRESENT_CPU()                                                          \
  throw Excpt_Assertion("CPU capability of non-present CPU architecture requested", __FILE__, \
                        __PRETTY_FUNCTION__, __LINE__)

CPU_Capabilities* CPU_Capabilities::d_cpu = nullptr;

const char* ArchitectureName(CPUArchitecture arch) {
  static const char* const names[] = {"intel x86", "680x0", "PowerPC", "ARM",
                                      "Sparc",     "HP-PA", "unknown"};
  if (int(arch) < 0 || int(arch) > int(CPUArch_HPPA)) return names[CPUArch_Unknown];
  return names[arch];
}

void CPU_Capabilities::GetCPUInfo(char* buffer, int maxChars, bool) {
  static const char unknown_arch[] = "unknown CPU";
  PIXKIT_ASSERT((int)strlen(unknown_arch) < maxChars);
  strcpy(buffer, unknown_arch);
}

bool CPU_Capabilities::HasMMX() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::HasMMX2() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::Has3dNow() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::HasMTRR() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::HasCMOV() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::HasFPU() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::HasXScale() const { PIXKIT_NON_PRESENT_CPU(); }
bool CPU_Capabilities::HasVIS() const { PIXKIT_NON_PRESENT_CPU(); }

CPU_Capabilities* CPU_Capabilities::AskCapabilities() {
  if (!d_cpu) {
    d_cpu = new (std::nothrow) CPU_LinuxProc;
    if (!d_cpu) d_cpu = new (std::nothrow) CPU_Generic;
  }
  PIXKIT_ASSERT(d_cpu);
  return d_cpu;
}

CPU_LinuxProc::CPU_LinuxProc(const char* cpuinfoPath) {
  std::ifstream in(cpuinfoPath);
  if (!in) return;

  char line[500];
  for (;;) {
    in.getline(line, sizeof line);
    // A line too long for the buffer is examined by its first 499 characters and ends reading.
    if (in.fail() && in.gcount() == 0) break;

    if (strncmp(line, "flags", 5) == 0) {
      // Substrings count anywhere in the line, so sse2 sets the flag of sse, cxmmx that of mmx.
      if (strstr(line, "mmx")) d_mmx = true;
      if (strstr(line, "sse")) d_mmx2 = true;
      if (strstr(line, "mmxext")) d_mmx2 = true;
      if (strstr(line, "mtrr")) d_mtrr = true;
      if (strstr(line, "cmov")) d_cmov = true;
      if (strstr(line, "3dnow")) d_3dnow = true;
      if (strstr(line, "fpu")) d_fpu = true;
    }
    if (!d_typename && strncmp(line, "model name", 10) == 0) {
      // The name follows ": "; a line without a colon names nothing.
      if (const char* colon = strchr(line, ':')) {
        const char* name = colon + 1;
        if (*name) name++;
        d_typename = std::string(name);
      }
    }
    if (!in) break;
  }
}

void CPU_LinuxProc::GetCPUInfo(char* buffer, int maxChars, bool withFeatures) {
  if (!d_typename) {
    CPU_Capabilities::GetCPUInfo(buffer, maxChars, false);
  } else {
    PIXKIT_ASSERT_MSG((int)d_typename->size() < maxChars, "(int)strlen(d_typename) < maxChars");
    strcpy(buffer, d_typename->c_str());
  }
  if (!withFeatures) return;

  // The room is measured before every suffix, so the text never outgrows the buffer.
  if (HasMMX()) {
    PIXKIT_ASSERT_MSG(Room(buffer, maxChars) >= 4, "maxChars >= 4");
    strcat(buffer, " MMX");
  }
  if (HasMMX2()) {
    PIXKIT_ASSERT_MSG(Room(buffer, maxChars) >= 7, "maxChars >= 7");
    strcat(buffer, " MMXext");
  }
  if (Has3dNow()) {
    PIXKIT_ASSERT_MSG(Room(buffer, maxChars) >= 7, "maxChars >= 7");
    strcat(buffer, " 3dNow!");
  }
  if (HasMTRR()) {
    PIXKIT_ASSERT_MSG(Room(buffer, maxChars) >= 5, "maxChars >= 5");
    strcat(buffer, " MTRR");
  }
  if (HasCMOV()) {
    PIXKIT_ASSERT_MSG(Room(buffer, maxChars) >= 5, "maxChars >= 5");
    strcat(buffer, " CMOV");
  }
  if (HasFPU()) {
    PIXKIT_ASSERT_MSG(Room(buffer, maxChars) >= 4, "maxChars >= 4");
    strcat(buffer, " FPU");
  }
}

}  // namespace pixkit
