// The background tool's driver: turns the command line into run settings, lists them and runs
// the frame loop. main.cpp only calls RunBackgroundTool.
#ifndef APP_BKG_H
#define APP_BKG_H

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "cvalgo/background.h"
#include "libpixkit/fileio/mpeg.h"
#include "libpixkit/graphics/datatypes/image.h"

constexpr int c_FormatYUV = 0;
constexpr int c_FormatMPEG = 1;

// The values a run uses, with their defaults; the options ending in 2 set only the second.
struct RunSettings {
  Algorithm algo = Algo_Aging;
  Algorithm algo2 = Algo_None;
  int format = c_FormatYUV;
  int history = 150;
  int history2 = 150;
  double aging_factor = 0.95;
  double aging_factor2 = 0.95;
  int fuzzyness = 3;
  int fuzzyness2 = 3;
  int blocksize = 8;
  int blocksize2 = 8;
  int decimate = 1;
  int speedup = 1;
  int width = 352;
  int height = 288;
  bool save_output = false;
  const char* output_prefix = nullptr;  // points into the command-line record
  std::vector<std::string> inputs;  // the files read, which no background may overwrite
  bool offline = false;
  bool alpha_input = false;
  bool transparent_motion = false;
  bool x11_output = true;
};

// Applies the given options to settings in a fixed order. The first value that cannot be used
// is reported on stderr and ends the process with exit code 5 ("list" as algorithm: code 0).
void ApplyCommandLine(const CommandLineArgs& args, RunSettings* settings);

// The listing of the parameters that the first algorithm runs with.
void PrintParameters(std::ostream& out, const RunSettings& settings);

// Creates the synthesizer of an algorithm (1 to 7) with the settings it uses; the others are
// ignored.
std::unique_ptr<cvalgo::BackgroundSynthesizer> CreateAlgo(Algorithm algo, double aging_factor,
                                                          int fuzzyness, int blocksize);

// Writes a YUV background as the RGB file prefix + cnt in at least four digits + ".ppm".
// Throws pixkit::Excpt_Text when the file cannot be written.
void SaveAsPPM(const pixkit::Image<pixkit::Pixel>& img, const char* prefix, int cnt);

// The decoder process of MPEG input draws on the same memory and cgroups as the tool: its share
// is claimed from the budget. The decoder says what it needs before its first frame, and again
// before the first frame that needs more; for one that says nothing, what frames like the
// largest so far may need on its threads is claimed.
class DecoderMemoryClaim {
 public:
  // Claims what the reader's decoder says it needs, if it says it, and from then on what it
  // says while the reader reads; a refusal comes out of the reading.
  DecoderMemoryClaim(pixkit::FileReader_MPEG& reader, cvalgo::MemoryBudget& budget);
  ~DecoderMemoryClaim();
  DecoderMemoryClaim(const DecoderMemoryClaim&) = delete;
  DecoderMemoryClaim& operator=(const DecoderMemoryClaim&) = delete;

  // For each frame read: frames larger than those the decoder spoke for take a larger share.
  void Update(const pixkit::Image<pixkit::Pixel>& frame);

 private:
  void Take(const pixkit::FileReader_MPEG::DecoderNeed& need);
  void ClaimTold();
  void Claim(uint64_t bytes, const pixkit::Image<pixkit::Pixel>* frame);

  pixkit::FileReader_MPEG& d_reader;
  cvalgo::MemoryBudget& d_budget;
  cvalgo::MemoryClaim d_claim;
  std::optional<pixkit::FileReader_MPEG::DecoderNeed> d_told;  // the most it said
  uint64_t d_toldArea = 0;     // of the pictures it spoke for, or of the frame after the need
  uint64_t d_largestArea = 0;  // of the frames since
  int d_threads = 0;         // as the decoder says them, or as the rule it follows gives them
  std::string d_source;      // for messages
};

// The advice that ends a refusal of memory for the given use.
const char* MemoryAdvice(cvalgo::MemoryUse use);

// The whole tool. Returns the exit code: 0 for a finished run, 2 when a failure (running out
// of memory too) was caught and shown; value and usage errors, a wrong number of input files
// among them, end the process earlier with their own codes.
int RunBackgroundTool(int argc, char** argv);

#endif
