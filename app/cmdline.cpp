// Long-option parser of the tool on getopt_long, with help, version and algorithm names.
#include "app/cmdline.h"

#include <getopt.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char c_Package[] = "Quillmere";
const char c_Version[] = "0.1 (02 Mar 2004)";
const char c_ShortOptions[] = "hVa:n:G:F:b:2:d:s:r:f:o:lA:tx";

enum ArgKind { Arg_None, Arg_Int, Arg_Double, Arg_String };

// One option: how its argument is converted and which fields of the record it fills.
struct OptionEntry {
  const char* name;
  char letter;  // 0 for the options that only have a long name
  ArgKind kind;
  int CommandLineArgs::*given;
  int CommandLineArgs::*int_value;
  double CommandLineArgs::*double_value;
  char* CommandLineArgs::*string_value;
};

using A = CommandLineArgs;

// In the order of the help lines and of the given flags; the long-option table is made from it.
const OptionEntry c_Options[] = {
    {"help", 'h', Arg_None, &A::help_given, nullptr, nullptr, nullptr},
    {"version", 'V', Arg_None, &A::version_given, nullptr, nullptr, nullptr},
    {"algo", 'a', Arg_String, &A::algo_given, nullptr, nullptr, &A::algo},
    {"history", 'n', Arg_Int, &A::history_given, &A::history, nullptr, nullptr},
    {"aging-factor", 'G', Arg_Double, &A::aging_factor_given, nullptr, &A::aging_factor, nullptr},
    {"fuzzyness", 'F', Arg_Int, &A::fuzzyness_given, &A::fuzzyness, nullptr, nullptr},
    {"blocksize", 'b', Arg_Int, &A::blocksize_given, &A::blocksize, nullptr, nullptr},
    {"algo2", '2', Arg_String, &A::algo2_given, nullptr, nullptr, &A::algo2},
    {"history2", 0, Arg_Int, &A::history2_given, &A::history2, nullptr, nullptr},
    {"aging-factor2", 0, Arg_Double, &A::aging_factor2_given, nullptr, &A::aging_factor2,
     nullptr},
    {"fuzzyness2", 0, Arg_Int, &A::fuzzyness2_given, &A::fuzzyness2, nullptr, nullptr},
    {"blocksize2", 0, Arg_Int, &A::blocksize2_given, &A::blocksize2, nullptr, nullptr},
    {"decimate", 'd', Arg_Int, &A::decimate_given, &A::decimate, nullptr, nullptr},
    {"speedup", 's', Arg_Int, &A::speedup_given, &A::speedup, nullptr, nullptr},
    {"resolution", 'r', Arg_String, &A::resolution_given, nullptr, nullptr, &A::resolution},
    {"format", 'f', Arg_String, &A::format_given, nullptr, nullptr, &A::format},
    {"save-output", 'o', Arg_String, &A::save_output_given, nullptr, nullptr, &A::save_output},
    {"offline", 'l', Arg_None, &A::offline_given, nullptr, nullptr, nullptr},
    {"alpha", 'A', Arg_String, &A::alpha_given, nullptr, nullptr, &A::alpha},
    {"transparent-motion", 't', Arg_None, &A::transparent_motion_given, nullptr, nullptr,
     nullptr},
    {"no-x11", 'x', Arg_None, &A::no_x11_given, nullptr, nullptr, nullptr},
};
constexpr int c_OptionCount = int(sizeof c_Options / sizeof c_Options[0]);

// The getopt_long table, entry by entry from c_Options.
std::vector<option> LongOptions() {
  std::vector<option> opts;
  for (const OptionEntry& s : c_Options)
    opts.push_back({s.name, s.kind == Arg_None ? no_argument : required_argument, nullptr,
                    s.letter});
  opts.push_back({nullptr, 0, nullptr, 0});
  return opts;
}

const char* const c_HelpLines[] = {
    "   -h         --help                  Print help and exit",
    "   -V         --version               Print version and exit",
    "   -aSTRING   --algo=STRING           background reconstruction algorithm (--algo=list for "
    "available options)",
    "   -nINT      --history=INT           number of input frames the algorithm may use",
    "   -GDOUBLE   --aging-factor=DOUBLE   set aging factor for 'aging' algorithm",
    "   -FINT      --fuzzyness=INT         set fuzzyness fator for 'mode' algorithm",
    "   -bINT      --blocksize=INT         set block size for 'simmat' algorithm",
    "   -2STRING   --algo2=STRING          second background reconstruction algorithm",
    "              --history2=INT          number of input frames the second algorithm may use "
    "(overrides -n)",
    "              --aging-factor2=DOUBLE  set aging factor for 'aging' algorithm (overrides -G)",
    "              --fuzzyness2=INT        set fuzzyness fator for 'mode' algorithm (overrides -F)",
    "              --blocksize2=INT        set block size for 'simmat' algorithm (overrides -b)",
    "   -dINT      --decimate=INT          only use every 'n'th input frame",
    "   -sINT      --speedup=INT           show output only after each 'n'th step",
    "   -rSTRING   --resolution=STRING     resolution of input frames (YUV input only)",
    "   -fSTRING   --format=STRING         input format (yuv, mpeg)",
    "   -oSTRING   --save-output=STRING    write sequence of generated backgrounds to PPM files",
    "   -l         --offline               only generate one background image for the whole "
    "sequence (overrides -s)",
    "   -ASTRING   --alpha=STRING          use input file with alpha-channel information",
    "   -t         --transparent-motion    make areas with image motion transparent",
    "   -x         --no-x11                disable X11 output",
};

const char c_AlgorithmList[] =
    "Available algorithms: aging, average, median, mode, first, last, simmat\n"
    "\n"
    "Aging:     A current background image is maintained. After each input frame 'f',\n"
    "           the background 'b' is updated according to 'b <- a*b + (1-a)*f'.\n"
    "           the aging factor 'a' can be adjusted.\n"
    "Average:   Compute pixel-wise average in temporal direction (excluding\n"
    "           transparent pixels).\n"
    "Median:    Compute median filter in temporal direction (excluding transparent\n"
    "           pixels).\n"
    "Mode:      Select most frequently occuring pixel value (equality is considered\n"
    "           up to a fuzzyness difference that can be adjusted)\n"
    "First:     Take first non-transparent pixel into background\n"
    "Last:      Take last non-transparent pixel into background\n"
    "SimMat:    Algorithm based on block-similarity matrices and foreground time-range\n"
    "           prediction (see Oskren, ICIP'03 paper for longer explanation).\n";

int FindOption(int result, int longIndex) {
  if (result == 0) return longIndex;
  for (int i = 0; i < c_OptionCount; i++)
    if (c_Options[i].letter == result) return i;
  return -1;
}

// Base 0 takes 0x20 as 32 and 010 as 8; trailing text is ignored. Values beyond int are held at
// its limits, as a long of the same width would hold them.
int ConvertInt(const char* text) {
  const long value = strtol(text, nullptr, 0);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return int(value);
}

char* CopyOrDie(const char* text) {
  char* copy = DuplicateString(text);
  if (!copy) {
    fprintf(stderr, "%s: out of memory\n", c_Package);
    exit(1);
  }
  return copy;
}

// Help and version are all the tool writes to standard output; text that never arrived is a
// failure, not a success.
[[noreturn]] void ExitAfterOutput() {
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout)) {
    const int err = errno;
    if (err != 0)
      fprintf(stderr, "Error: cannot write to standard output (%s)\n", strerror(err));
    else
      fputs("Error: cannot write to standard output\n", stderr);
    exit(2);
  }
  exit(0);
}

void ReportRepetition(const OptionEntry& entry) {
  if (entry.letter)
    fprintf(stderr, "%s: `--%s' (`-%c') option given more than once\n", c_Package, entry.name,
            entry.letter);
  else
    fprintf(stderr, "%s: `--%s' option given more than once\n", c_Package, entry.name);
}

}  // namespace

char* DuplicateString(const char* s) {
  const size_t size = strlen(s) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy) memcpy(copy, s, size);
  return copy;
}

void PrintVersion() { printf("%s %s\n", c_Package, c_Version); }

void PrintHelp() {
  PrintVersion();
  printf("\nUsage: %s [OPTIONS]... [FILES]...\n", c_Package);
  for (const char* line : c_HelpLines) printf("%s\n", line);
}

int ParseCommandLine(int argc, char** argv, CommandLineArgs* args) {
  for (const OptionEntry& entry : c_Options) {
    args->*entry.given = 0;
    if (entry.string_value) args->*entry.string_value = nullptr;
  }
  args->input_files = nullptr;
  args->input_count = 0;

  // optind 0 rather than 1: glibc then also drops its pointer into a half-read option cluster
  // of an earlier parse (whose argument vector may be gone) and starts at index 1.
  optarg = nullptr;
  optind = 0;
  opterr = 1;
  optopt = '?';

  // Built once: the parser may leave through exit(), which runs no local destructor.
  static const std::vector<option> longOptions = LongOptions();
  for (;;) {
    int longIndex = 0;
    const int result = getopt_long(argc, argv, c_ShortOptions, longOptions.data(), &longIndex);
    if (result == -1) break;
    if (result == 'h') {
      PrintHelp();
      ExitAfterOutput();
    }
    if (result == 'V') {
      PrintVersion();
      ExitAfterOutput();
    }
    const int index = FindOption(result, longIndex);
    if (index < 0) exit(1);  // getopt_long has already said what is wrong

    const OptionEntry& entry = c_Options[index];
    if (args->*entry.given) {
      ReportRepetition(entry);
      exit(1);
    }
    args->*entry.given = 1;
    switch (entry.kind) {
      case Arg_None:
        break;
      case Arg_Int:
        args->*entry.int_value = ConvertInt(optarg);
        break;
      case Arg_Double:
        args->*entry.double_value = strtod(optarg, nullptr);
        break;
      case Arg_String:
        args->*entry.string_value = CopyOrDie(optarg);
        break;
    }
  }

  if (optind < argc) {
    args->input_count = argc - optind;
    args->input_files = static_cast<char**>(malloc(sizeof(char*) * size_t(args->input_count)));
    if (!args->input_files) {
      fprintf(stderr, "%s: out of memory\n", c_Package);
      exit(1);
    }
    for (int i = 0; i < args->input_count; i++) args->input_files[i] = CopyOrDie(argv[optind + i]);
  }
  return 0;
}

Algorithm ParseAlgorithmName(const char* name) {
  static const struct {
    const char* name;
    Algorithm algo;
  } c_Names[] = {{"aging", Algo_Aging}, {"average", Algo_Average}, {"median", Algo_Median},
                 {"mode", Algo_Mode},   {"first", Algo_First},     {"last", Algo_Last},
                 {"simmat", Algo_SimMat}};

  if (strcasecmp(name, "list") == 0) {
    fputs(c_AlgorithmList, stderr);
    exit(0);
  }
  for (const auto& entry : c_Names)
    if (strcasecmp(name, entry.name) == 0) return entry.algo;
  fputs("unknown algorithm\n", stderr);
  exit(5);
}
