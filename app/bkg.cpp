// The background tool's driver: command line to run settings, the parameter listing, and the
// one place where failures become messages and exit codes.
#include "app/bkg.h"

#include <strings.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "libpixkit/utility/error.h"

namespace {

constexpr int c_MaxFrameSize = 32767;

// Filled once and kept for the whole run; the settings point into it.
CommandLineArgs cmdline;

[[noreturn]] void RejectValue(const char* message) {
  std::cerr << message;
  std::exit(5);
}

void ApplyResolution(const char* text, RunSettings* settings) {
  const char* x = strchr(text, 'x');
  if (!x) RejectValue("resolution argument has wrong format (correct example: 352x288)\n");
  // atoi's reading (decimal, stops at the first other character), held within int.
  const auto number = [](const char* s) {
    const long value = strtol(s, nullptr, 10);
    return value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : int(value);
  };
  settings->width = number(text);
  settings->height = number(x + 1);
  if (settings->width < 1 || settings->width > c_MaxFrameSize || settings->height < 1 ||
      settings->height > c_MaxFrameSize)
    RejectValue("resolution out of range (width and height from 1 to 32767)\n");
}

bool IsAgingFactor(double a) { return a >= 0.0 && a <= 1.0; }  // false for NaN

const char* AlgorithmLine(Algorithm algo) {
  switch (algo) {
    case Algo_Aging: return "aging\n";
    case Algo_Average: return "average\n";
    case Algo_Median: return "median\n";
    case Algo_Mode: return "mode\n";
    case Algo_First: return "first\n";
    case Algo_Last: return "last\n";
    case Algo_SimMat: return "simmat\n";
    case Algo_None: break;
  }
  assert(!"the first algorithm is always one of the seven");
  return "";
}

const char* TrueFalse(bool b) { return b ? "true" : "false"; }

void CheckBlockSize(const RunSettings& settings) {
  // Shown to the user as a failed assertion of main, whose first stage this is.
  if (settings.blocksize != 8)
    throw pixkit::Excpt_Assertion("currently, only blocks of size 8x8 are supported", __FILE__,
                                  "int main(int, char**)", __LINE__);
}

}  // namespace

void ApplyCommandLine(const CommandLineArgs& args, RunSettings* s) {
  if (args.algo_given) s->algo = ParseAlgorithmName(args.algo);
  if (args.algo2_given) s->algo2 = ParseAlgorithmName(args.algo2);

  if (args.history_given) {
    if (args.history < 0) RejectValue("history length (-n) must not be negative\n");
    s->history = s->history2 = args.history;
  }
  if (args.history2_given) {
    if (args.history2 < 0) RejectValue("history length (--history2) must not be negative\n");
    s->history2 = args.history2;
  }

  if (args.aging_factor_given) {
    if (!IsAgingFactor(args.aging_factor))
      RejectValue("aging factor (-G) must be between 0 and 1\n");
    s->aging_factor = s->aging_factor2 = args.aging_factor;
  }
  if (args.aging_factor2_given) {
    if (!IsAgingFactor(args.aging_factor2))
      RejectValue("aging factor (--aging-factor2) must be between 0 and 1\n");
    s->aging_factor2 = args.aging_factor2;
  }

  if (args.fuzzyness_given) {
    if (args.fuzzyness < 0) RejectValue("fuzzyness (-F) must not be negative\n");
    s->fuzzyness = s->fuzzyness2 = args.fuzzyness;
  }
  if (args.fuzzyness2_given) {
    if (args.fuzzyness2 < 0) RejectValue("fuzzyness (--fuzzyness2) must not be negative\n");
    s->fuzzyness2 = args.fuzzyness2;
  }

  // The first block size is tested after the listing; the second only matters for simmat.
  if (args.blocksize_given) s->blocksize = s->blocksize2 = args.blocksize;
  if (args.blocksize2_given) s->blocksize2 = args.blocksize2;
  if (s->algo2 == Algo_SimMat && s->blocksize2 != 8)
    RejectValue("the second algorithm simmat supports only blocks of size 8x8 (-b, --blocksize2)\n");

  if (args.decimate_given) {
    if (args.decimate < 1) RejectValue("input decimation (-d) must be at least 1\n");
    s->decimate = args.decimate;
  }
  if (args.speedup_given) {
    if (args.speedup < 1) RejectValue("output speedup (-s) must be at least 1\n");
    s->speedup = args.speedup;
  }

  if (args.resolution_given) ApplyResolution(args.resolution, s);

  if (args.format_given) {
    if (strcasecmp(args.format, "yuv") == 0)
      s->format = c_FormatYUV;
    else if (strcasecmp(args.format, "mpeg") == 0)
      s->format = c_FormatMPEG;
    else
      RejectValue("unknown format (yuv, mpeg)\n");
  }

  if (args.save_output_given) {
    s->save_output = true;
    s->output_prefix = args.save_output;
  }
  if (args.offline_given) {
    if (!args.save_output_given) RejectValue("output filename (-o) required in offline mode\n");
    s->offline = true;
  }
  // The alpha data always come from the second input file; the argument of -A names nothing.
  if (args.alpha_given) s->alpha_input = true;
  if (args.transparent_motion_given) s->transparent_motion = true;
  if (args.no_x11_given) s->x11_output = false;
}

void PrintParameters(std::ostream& out, const RunSettings& s) {
  out << "parameters that will be used for the computation:\n";
  out << "algorithm: " << AlgorithmLine(s.algo);
  if (s.algo != Algo_Aging) out << "history: " << s.history << std::endl;
  out << "input decimation: " << s.decimate << std::endl;
  out << "output speedup: " << s.speedup << std::endl;
  if (s.algo == Algo_Aging) out << "aging factor: " << s.aging_factor << std::endl;
  if (s.algo == Algo_Mode) out << "allowed pixel value fuzzyness: " << s.fuzzyness << std::endl;
  if (s.algo == Algo_SimMat) out << "blocksize: " << s.blocksize << std::endl;
  out << "offline: " << TrueFalse(s.offline) << std::endl;
  if (s.algo != Algo_SimMat)
    out << "make motion areas transparent: " << TrueFalse(s.transparent_motion) << std::endl;
}

int RunBackgroundTool(int argc, char** argv) {
  try {
    RunSettings settings;
    if (ParseCommandLine(argc, argv, &cmdline) != 0) std::exit(1);
    ApplyCommandLine(cmdline, &settings);
    PrintParameters(std::cerr, settings);
    CheckBlockSize(settings);

    // ---- The input set-up and the frame loop continue the run here. ----

    return 0;
  } catch (const pixkit::Excpt_Text& e) {
    // A failure is never reported as success: it is shown and the run ends with code 2.
    pixkit::MessageDisplay::Show(e);
    return 2;
  }
}
