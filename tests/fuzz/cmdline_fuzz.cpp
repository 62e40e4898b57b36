// Fuzz target: arbitrary argument vectors through the command-line parser and the first stage
// of the driver (run settings and parameter listing). The input is split at zero bytes into
// the arguments after argv[0].
//
// The parser and the value checks end the process on every error. The target is linked with
// --wrap=exit, so those calls land in __wrap_exit, which jumps back here with the exit code;
// the frames it leaves hold nothing that needs destroying. Any other exit goes to the real one.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "app/bkg.h"
#include "app/cmdline.h"

extern "C" [[noreturn]] void __real_exit(int code);

namespace {

std::jmp_buf* g_exitJump = nullptr;
int g_exitCode = 0;

constexpr int c_MaxArgs = 64;

void FreeRecord(CommandLineArgs& args) {
  for (char* s : {args.algo, args.algo2, args.resolution, args.format, args.save_output,
                  args.alpha})
    free(s);
  for (int i = 0; i < args.input_count; i++) free(args.input_files[i]);
  free(args.input_files);
  args = CommandLineArgs{};
}

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "broken invariant: %s\n", what);
  abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// What the parser hands over when it returns.
void CheckRecord(const CommandLineArgs& a, int argc, char** argv) {
  const struct {
    int given;
    const char* value;
  } strings[] = {{a.algo_given, a.algo},     {a.algo2_given, a.algo2},
                 {a.resolution_given, a.resolution}, {a.format_given, a.format},
                 {a.save_output_given, a.save_output}, {a.alpha_given, a.alpha}};
  for (const auto& s : strings) {
    Check(s.given == 0 || s.given == 1, "given flags are 0 or 1");
    Check((s.value != nullptr) == (s.given == 1), "a string is set exactly when given");
  }
  Check(a.help_given == 0 && a.version_given == 0, "help and version never return");
  Check(a.input_count >= 0 && a.input_count < argc, "input count within the arguments");
  Check((a.input_files != nullptr) == (a.input_count > 0), "file list exactly when files");
  for (int i = 0; i < a.input_count; i++) {
    bool found = false;
    for (int j = 1; j < argc && !found; j++) found = strcmp(argv[j], a.input_files[i]) == 0;
    Check(found, "every input file is one of the arguments");
  }
}

// What the rest of the driver relies on once the values have passed.
void CheckSettings(const RunSettings& s, const CommandLineArgs& a) {
  Check(s.algo >= Algo_Aging && s.algo <= Algo_SimMat, "first algorithm 1..7");
  Check(s.algo2 >= Algo_None && s.algo2 <= Algo_SimMat, "second algorithm 0..7");
  Check(s.format == c_FormatYUV || s.format == c_FormatMPEG, "format yuv or mpeg");
  Check(!s.alpha_input || s.format == c_FormatYUV, "alpha planes only beside YUV input");
  Check(s.history >= 0 && s.history2 >= 0, "history lengths not negative");
  const auto keeps_frames = [](Algorithm a) {
    return a == Algo_Average || a == Algo_Median || a == Algo_Mode || a == Algo_SimMat;
  };
  Check((!keeps_frames(s.algo) || s.history >= 1) && (!keeps_frames(s.algo2) || s.history2 >= 1),
        "the algorithms that keep frames keep one at least");
  Check(s.aging_factor >= 0 && s.aging_factor <= 1, "aging factor in 0..1");
  Check(s.aging_factor2 >= 0 && s.aging_factor2 <= 1, "second aging factor in 0..1");
  Check(s.fuzzyness >= 0 && s.fuzzyness2 >= 0, "fuzzyness not negative");
  Check(s.algo2 != Algo_SimMat || s.blocksize2 == 8, "second simmat runs on 8x8 blocks");
  Check(s.decimate >= 1 && s.speedup >= 1, "decimation and speedup at least 1");
  Check(s.width >= 1 && s.width <= 32767 && s.height >= 1 && s.height <= 32767,
        "frame size 1..32767");
  Check(!s.offline || (s.save_output && s.output_prefix), "offline runs have an output prefix");
  Check(s.save_output == (s.output_prefix != nullptr), "output prefix exactly when saving");
  Check(!s.save_output || strcmp(s.output_prefix, a.save_output) == 0, "prefix is -o's text");
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int code) {
  if (g_exitJump) {
    g_exitCode = code;
    std::longjmp(*g_exitJump, 1);
  }
  __real_exit(code);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> texts{"quillmere"};
  std::string current;
  for (size_t i = 0; i < size && int(texts.size()) < c_MaxArgs; i++) {
    if (data[i] == 0) {
      texts.push_back(current);
      current.clear();
    } else {
      current += char(data[i]);
    }
  }
  if (!current.empty() && int(texts.size()) < c_MaxArgs) texts.push_back(current);

  // getopt_long permutes the pointers, so a copy of them stays for the checks.
  std::vector<char*> argv;
  for (std::string& t : texts) argv.push_back(t.data());
  const std::vector<char*> original = argv;
  argv.push_back(nullptr);
  const int argc = int(texts.size());

  static CommandLineArgs args;  // static: the jump back must not skip its clean-up
  static RunSettings settings;
  static std::ostringstream listing;
  args = CommandLineArgs{};
  settings = RunSettings{};
  listing.str("");

  std::jmp_buf jump;
  g_exitJump = &jump;
  if (setjmp(jump) == 0) {
    Check(ParseCommandLine(argc, argv.data(), &args) == 0, "the parser returns 0");
    CheckRecord(args, argc, const_cast<char**>(original.data()));
    ApplyCommandLine(args, &settings);
    CheckSettings(settings, args);
    PrintParameters(listing, settings);
    Check(listing.str().rfind("parameters that will be used for the computation:\n", 0) == 0,
          "the listing starts with its title");
  } else {
    // Help, version and the algorithm list end with 0 (help and version with 2 when standard
    // output, which the fuzzer may close, takes no text), parse errors with 1, values with 5.
    Check(g_exitCode == 0 || g_exitCode == 1 || g_exitCode == 2 || g_exitCode == 5,
          "exit code 0, 1, 2 or 5");
  }
  g_exitJump = nullptr;
  FreeRecord(args);
  return 0;
}
