// Process-wide probe of the processor's features; the colour-transform chooser asks it
// whether MMX code may run.
#ifndef PIXKIT_ARCH_CPU_H
#define PIXKIT_ARCH_CPU_H

#include <optional>
#include <string>

namespace pixkit {

enum CPUArchitecture {
  CPUArch_x86 = 0,
  CPUArch_680x0 = 1,
  CPUArch_PowerPC = 2,
  CPUArch_ARM = 3,
  CPUArch_Sparc = 4,
  CPUArch_HPPA = 5,
  CPUArch_Unknown = 6
};

const char* ArchitectureName(CPUArchitecture arch);

// Queries of a processor family that the probe does not describe throw Excpt_Assertion.
class CPU_Capabilities {
 public:
  virtual ~CPU_Capabilities() {}

  // Writes a description into buffer; maxChars counts the terminating zero.
  virtual void GetCPUInfo(char* buffer, int maxChars, bool withFeatures);
  virtual CPUArchitecture AskArchitecture() { return CPUArch_Unknown; }

  virtual bool HasMMX() const;
  virtual bool HasMMX2() const;
  virtual bool Has3dNow() const;
  virtual bool HasMTRR() const;
  virtual bool HasCMOV() const;
  virtual bool HasFPU() const;
  virtual bool HasXScale() const;
  virtual bool HasVIS() const;

  // The probe of this process, made on first use; it lives until the process ends.
  static CPU_Capabilities* AskCapabilities();

 private:
  static CPU_Capabilities* d_cpu;
};

// A processor about which nothing is known.
class CPU_Generic : public CPU_Capabilities {
 public:
  ~CPU_Generic() override {}
};

// Reads the x86 feature flags and the model name from a cpuinfo text once, at construction.
// A file that cannot be opened gives no features and no model name.
class CPU_LinuxProc : public CPU_Capabilities {
 public:
  explicit CPU_LinuxProc(const char* cpuinfoPath = "/proc/cpuinfo");
  ~CPU_LinuxProc() override {}

  void GetCPUInfo(char* buffer, int maxChars, bool withFeatures) override;
  CPUArchitecture AskArchitecture() override { return CPUArch_x86; }

  bool HasMMX() const override { return d_mmx; }
  bool HasMMX2() const override { return d_mmx2; }
  bool Has3dNow() const override { return d_3dnow; }
  bool HasMTRR() const override { return d_mtrr; }
  bool HasCMOV() const override { return d_cmov; }
  bool HasFPU() const override { return d_fpu; }

 private:
  bool d_mmx = false;
  bool d_mmx2 = false;
  bool d_3dnow = false;
  bool d_mtrr = false;
  bool d_cmov = false;
  bool d_fpu = false;
  std::optional<std::string> d_typename;  // the first model name, when one was read
};

}  // namespace pixkit

#endif
