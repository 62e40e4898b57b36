// The background tool's driver: command line to run settings, the parameter listing, and the
// one place where failures become messages and exit codes.
#include "app/bkg.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <string>

#include "app/display.h"
#include "app/motion.h"
#include "cvalgo/background_simmat.h"
#include "libpixkit/fileio/mpeg.h"
#include "libpixkit/fileio/ppm.h"
#include "libpixkit/fileio/yuv.h"
#include "libpixkit/graphics/color/colorspace.h"
#include "libpixkit/utility/error.h"
#include "libpixkit/utility/outputfile.h"
#include "libpixkit/utility/stopsignals.h"

using pixkit::Image;
using pixkit::Pixel;

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

bool KeepsHistory(Algorithm algo) {
  return algo == Algo_Average || algo == Algo_Median || algo == Algo_Mode || algo == Algo_SimMat;
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

constexpr int c_MotionBlockSize = 8;
constexpr int c_MotionSearchRange = 3;

// ---- Input ----

// The frames of the run: a raw YUV file (with its alpha file) or the decoder's pipe. The
// streams are declared first so that they outlive the reader that reads through them.
struct FrameInput {
  std::ifstream yuv_file;
  std::ifstream alpha_file;
  std::unique_ptr<pixkit::FileReader_YUV1> yuv;
  std::unique_ptr<pixkit::FileReader_MPEG> mpeg;

  bool IsEOF() { return yuv ? yuv->IsEOF() : mpeg->IsEOF(); }
  bool ReadImage(Image<Pixel>& img) { return yuv ? yuv->ReadImage(img) : mpeg->ReadImage(img); }
};

// Exits with code 5 when the number of input files does not fit the format and -A.
void CheckInputCount(const CommandLineArgs& args, const RunSettings& s) {
  if (s.format == c_FormatYUV) {
    if (args.input_count != (s.alpha_input ? 2 : 1)) {
      std::cerr << "number of input stream incorrect\n";
      std::exit(5);
    }
  } else if (args.input_count != 1) {
    std::cerr << "input stream missing\n";
    std::exit(5);
  }
}

[[noreturn]] void CannotOpen(const char* what, const char* name) {
  const std::string text =
      std::string("cannot open ") + what + " '" + pixkit::ShortNameForMessage(name) + "'";
  throw pixkit::Excpt_Text(pixkit::ErrSev_Error, text.c_str());
}

// A file that cannot be read would otherwise pass for an empty input.
void CheckReadable(const std::ifstream& file, const char* what, const char* name) {
  std::error_code ec;
  if (!file.is_open() || std::filesystem::is_directory(name, ec)) CannotOpen(what, name);
}

// The decoder opens the file itself. Opening it here as well would wait for a FIFO's writer
// and, on closing, make it die of a broken pipe.
void CheckDecoderInput(const char* name) {
  struct stat st;
  if (stat(name, &st) != 0 || S_ISDIR(st.st_mode) || access(name, R_OK) != 0)
    CannotOpen("input file", name);
}

void OpenInput(const CommandLineArgs& args, const RunSettings& s, FrameInput* input) {
  const char* name = args.input_files[0];
  if (s.format == c_FormatMPEG) {
    CheckDecoderInput(name);
    input->mpeg = std::make_unique<pixkit::FileReader_MPEG>();
    input->mpeg->Open(name);
    return;
  }
  input->yuv_file.open(name, std::ios::binary);
  CheckReadable(input->yuv_file, "input file", name);

  pixkit::ImageParam param;
  param.width = s.width;
  param.height = s.height;
  param.colorspace = pixkit::Colorspace_YUV;
  param.chroma = pixkit::Chroma_420;
  param.has_alpha = s.alpha_input;

  input->yuv = std::make_unique<pixkit::FileReader_YUV1>();
  input->yuv->SetYUVStream(input->yuv_file);
  if (s.alpha_input) {
    // The argument of -A names nothing: the alpha planes always come from the second file.
    const char* alpha_name = args.input_files[1];
    input->alpha_file.open(alpha_name, std::ios::binary);
    CheckReadable(input->alpha_file, "alpha file", alpha_name);
    input->yuv->SetAlphaStream(input->alpha_file);
  }
  input->yuv->SetImageParam(param);
}

// One step works on the last of `decimate` frames. False when the input ended first; the
// frames read in that step are dropped.
bool ReadStep(FrameInput& input, int decimate, Image<Pixel>& frame) {
  for (int i = 0; i < decimate; i++) {
    if (input.IsEOF() || !input.ReadImage(frame)) return false;
  }
  return true;
}

// Frames come and go at one size all run long: a history lets go of its oldest frame as the
// newest joins. Blocks of that size served from the heap and given back to it are used again;
// mapped one by one (as the allocator does until it has seen such a block freed), every new
// frame would fault in fresh pages.
void KeepFramesInTheHeap() {
  // The allocator accepts at most half its heap size: 32 MiB on 64-bit systems, 512 KiB on
  // 32-bit ones.
  const int bound = sizeof(void*) >= 8 ? 32 << 20 : 512 << 10;
  mallopt(M_MMAP_THRESHOLD, bound);
  mallopt(M_TRIM_THRESHOLD, 2 * bound);
}

// ---- Output ----

// Two long names may pass the length of a message: its end goes first.
[[noreturn]] void ThrowOutputError(std::string text) {
  if (text.size() > size_t(pixkit::c_MaxTextLen))
    text = text.substr(0, pixkit::c_MaxTextLen - 3) + "...";
  throw pixkit::Excpt_Text(pixkit::ErrSev_Error, text.c_str());
}

// The prefix, the number in four digits or more, ".ppm".
std::string BackgroundName(const char* prefix, int cnt) {
  assert(cnt >= 0);
  const int len = std::snprintf(nullptr, 0, "%s%04d.ppm", prefix, cnt);
  std::string name(size_t(len) + 1, '\0');
  std::snprintf(&name[0], name.size(), "%s%04d.ppm", prefix, cnt);
  name.pop_back();
  return name;
}

// Written over, an input would be lost, and read on as frames.
void RefuseInputAsOutput(const std::string& name, const RunSettings& s) {
  for (const std::string& input : s.inputs) {
    const std::string refusal = pixkit::OutputIsInputMessage(name, input);
    if (!refusal.empty()) ThrowOutputError(refusal);
  }
}

std::string FolderOf(const std::string& prefix) {
  const size_t slash = prefix.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : prefix.substr(0, slash);
}

// Whether the folder holds a background of the prefix's series (its last part, four digits or
// more, ".ppm") that may be written in place; true as well when the folder cannot be listed.
bool HoldsWritableBackground(const std::string& folder, const std::string& base) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return true;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.size() < base.size() + 8 || name.compare(0, base.size(), base) != 0 ||
        name.compare(name.size() - 4, 4, ".ppm") != 0)
      continue;
    bool digits = true;
    for (size_t i = base.size(); i < name.size() - 4; i++)
      digits = digits && std::isdigit(static_cast<unsigned char>(name[i]));
    if (digits && faccessat(dirfd(dir.get()), entry->d_name, W_OK, AT_EACCESS) == 0) return true;
  }
  return false;
}

// The whole frames or alpha planes of `bytes` each in a regular file, as the YUV reader counts
// them from the file's length; -1 for anything else, which only reading tells.
int64_t WholeFramesIn(const std::string& name, int64_t bytes) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return std::min<int64_t>(st.st_size / bytes, INT_MAX);
}

// The steps of a YUV run of regular files: a step reads `decimate` frames, and the frames end
// with the last whole one that has its alpha plane. -1 where it is not known before reading.
int KnownStepCount(const RunSettings& s) {
  if (s.format != c_FormatYUV) return -1;
  const int64_t w = s.width, h = s.height;
  int64_t frames = WholeFramesIn(s.inputs[0], w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
  if (frames >= 0 && s.alpha_input) {
    const int64_t planes = WholeFramesIn(s.inputs[1], w * h);
    frames = planes < 0 ? -1 : std::min(frames, planes);
  }
  return frames < 0 ? -1 : int(frames / s.decimate);
}

// Why the background `name` cannot be written as the PPM writer writes it, 0 when it can: a
// file of the caller's own with no other name is replaced through its folder, and so is a new
// one (folder_err tells why the folder refuses, 0 when it does not); any other file is written
// in place. Only a sure failure counts: a link that leads nowhere yet may make its target.
int WhyNotWritable(const std::string& name, int folder_err) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) return errno == ENOENT ? folder_err : errno;
  if (folder_err == 0 && pixkit::IsSoleOwnFile(st)) return 0;
  if (stat(name.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  return faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// An offline run writes at its end: a file it cannot write is reported before the first frame
// rather than after the last. Where the input tells the number of steps, the one name is
// checked. Otherwise a folder that may be searched but not written still takes the file when it
// exists, in place, so such a run goes on while the folder holds a writable file of the series.
// Creates nothing.
void CheckOutputFolder(const RunSettings& s) {
  const std::string prefix = s.output_prefix;
  const std::string folder = FolderOf(prefix);
  struct stat st;
  int err = stat(folder.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (err == 0) {
    const bool writable = faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    if (!writable) err = errno;
    const bool searchable = writable || faccessat(AT_FDCWD, folder.c_str(), X_OK, AT_EACCESS) == 0;
    // No step, no file: such a run ends for want of frames.
    const int steps = searchable ? KnownStepCount(s) : -1;
    if (steps > 0) {
      const std::string name = BackgroundName(s.output_prefix, steps);
      RefuseInputAsOutput(name, s);
      const int why = WhyNotWritable(name, err);
      if (why == 0) return;
      ThrowOutputError("cannot write PPM file '" + pixkit::ShortNameForMessage(name) +
                       "' in folder '" + pixkit::ShortNameForMessage(folder) + "' (" +
                       std::strerror(why) + ")");
    }
    if (writable ||
        (searchable && HoldsWritableBackground(folder, prefix.substr(prefix.rfind('/') + 1))))
      return;
  }
  ThrowOutputError("cannot write PPM files '" + pixkit::ShortNameForMessage(prefix) +
                   "NNNN.ppm' in folder '" + pixkit::ShortNameForMessage(folder) + "' (" +
                   std::strerror(err) + ")");
}

// ---- Synthesizers ----

struct Synthesizers {
  std::unique_ptr<cvalgo::BackgroundSynthesizer> first;
  std::unique_ptr<cvalgo::BackgroundSynthesizer> second;  // null without -2
};

// Both count what they keep against the one budget.
Synthesizers CreateSynthesizers(const RunSettings& s, cvalgo::MemoryBudget* budget) {
  Synthesizers algos;
  algos.first = CreateAlgo(s.algo, s.aging_factor, s.fuzzyness, s.blocksize);
  algos.first->SetHistoryLength(s.history);
  algos.first->SetMemoryBudget(budget);
  if (s.algo2 != Algo_None) {
    algos.second = CreateAlgo(s.algo2, s.aging_factor2, s.fuzzyness2, s.blocksize2);
    algos.second->SetHistoryLength(s.history2);
    algos.second->SetMemoryBudget(budget);
  }
  return algos;
}

// What a step works on besides what the algorithms keep: the frame read and the one a reader
// reads ahead, the luma of the frame before for -t, the 4:4:4 copy about to be handed over (a
// history counts it only once it holds it, in the place of its oldest frame) and, when steps are
// shown or saved, each algorithm's background, one of them in RGB for its file, and the pictures
// on the screen. The decoder's frames live in its own process, claimed apart. Counted for the
// largest frame so far.
void ClaimWorkingMemory(const Image<Pixel>& frame, const RunSettings& s, int algorithms,
                        cvalgo::MemoryBudget& budget, cvalgo::MemoryClaim& claim) {
  const uint64_t plane = cvalgo::MemoryBudget::PlaneBytes(frame.AskWidth(), frame.AskHeight(), 1);
  uint64_t planes = s.transparent_motion ? 5 : 4;
  if (!s.offline) {
    planes += 4 * uint64_t(algorithms) + 3;
    if (s.x11_output) planes += 4 * uint64_t(1 + algorithms);
  }
  const uint64_t bytes = 2 * cvalgo::MemoryBudget::ImageBytes(frame, true) + planes * plane;
  if (bytes <= claim.AskBytes()) return;
  claim.Set(budget, bytes, cvalgo::MemoryUse::State, [&frame] {
    return "working on frames of " + std::to_string(frame.AskWidth()) + " x " +
           std::to_string(frame.AskHeight()) + " needs";
  });
}

// ---- The steps of one frame ----

void ShowProgress(int step) {
  std::cerr << "processing frame " << step + 1 << "\r" << std::flush;
}

// The images of a step, kept from step to step: each is filled again in its own memory unless
// somebody else still holds it (the providers' reference counts tell), so that the common step
// allocates no frame-sized memory.
struct StepImages {
  Image<Pixel> frame;
  Image<Pixel> previous;  // the luma of the frame before, for -t
  Image<Pixel> full_chroma;  // the 4:4:4 copy handed over; history algorithms keep it
  pixkit::Bitmap<Pixel> opaque;  // alpha 255, shared by the frames of input without alpha
  Image<Pixel> background;
  Image<Pixel> background2;
  Image<Pixel> rgb;  // a background on its way to its file
};

// Input without alpha counts as fully opaque, on every step. Nothing writes into the plane of
// 255 (motion is marked in the 4:4:4 copy's own plane), so all frames of a size share one.
void MakeOpaque(Image<Pixel>& img, pixkit::Bitmap<Pixel>& opaque) {
  pixkit::ImageParam param = img.AskParam();
  if (opaque.IsEmpty() || opaque.AskWidth() != param.width || opaque.AskHeight() != param.height) {
    opaque.Create(param.width, param.height, 0, 1, 1);
    pixkit::Clear(opaque, Pixel(255));
  }
  img.ReplaceBitmap(pixkit::Bitmap_Alpha, opaque);
  param.has_alpha = true;
  img.SetParam(param);
}

// The 4:4:4 copy the synthesizers get. Unless -t marks motion in it, the alpha plane of input
// without alpha is the shared plane of 255 rather than a copy of it: a history of such frames
// holds a quarter less, and the running sums see that their counts stay.
void BringToFullChroma(StepImages& im, bool share_opaque) {
  if (!share_opaque) {
    pixkit::ChangeChroma(im.full_chroma, im.frame, pixkit::Chroma_444);
    return;
  }
  Image<Pixel> colours = im.frame;
  pixkit::ImageParam param = colours.AskParam();
  param.has_alpha = false;
  colours.SetParam(param);
  colours.ReplaceBitmap(pixkit::Bitmap_Alpha, pixkit::Bitmap<Pixel>());
  pixkit::ChangeChroma(im.full_chroma, colours, pixkit::Chroma_444);
  MakeOpaque(im.full_chroma, im.opaque);
}

// The synthesizers may keep the 4:4:4 copy; nobody writes into it afterwards.
void HandOver(const Image<Pixel>& full_chroma, Synthesizers& algos) {
  algos.first->ShareImage(full_chroma);
  if (algos.second) algos.second->ShareImage(full_chroma);
}

// The file of a background. rgb's planes are used again where nobody else holds them.
void SaveAsPPM(const Image<Pixel>& img, const RunSettings& s, int cnt, Image<Pixel>& rgb) {
  // Numbers beyond 9999 simply make the name longer.
  const std::string name = BackgroundName(s.output_prefix, cnt);
  RefuseInputAsOutput(name, s);
  pixkit::ChangeColorspace(rgb, img, pixkit::Colorspace_RGB, pixkit::Chroma_420);
  pixkit::WritePPM(rgb, name.c_str());
}

// Runs the steps until the input ends and returns the number of completed steps.
int RunFrameLoop(const RunSettings& s, FrameInput& input, Synthesizers& algos,
                 LiveDisplay& display, cvalgo::MemoryBudget& budget) {
  StepImages im;
  const Image<Pixel> none;
  cvalgo::MemoryClaim working;
  std::optional<DecoderMemoryClaim> decoding;
  if (input.mpeg) decoding.emplace(*input.mpeg, budget);
  for (int step = 0;; step++) {
    ShowProgress(step);
    if (s.transparent_motion && !im.frame.IsEmpty()) pixkit::Image_YUV2Grey(im.previous, im.frame);

    if (!ReadStep(input, s.decimate, im.frame)) return step;
    if (decoding) decoding->Update(im.frame);
    ClaimWorkingMemory(im.frame, s, algos.second ? 2 : 1, budget, working);
    if (step == 0) display.OpenOnFirstStep(im.frame, algos.second != nullptr);  // display hook

    if (!s.alpha_input) MakeOpaque(im.frame, im.opaque);
    BringToFullChroma(im, !s.alpha_input && !s.transparent_motion);
    if (s.transparent_motion && !im.previous.IsEmpty())
      MarkMotionTransparent(im.full_chroma, im.previous, c_MotionBlockSize, c_MotionSearchRange);
    HandOver(im.full_chroma, algos);
    if (s.offline) continue;

    const bool synthesized = step % s.speedup == 0;
    if (synthesized) {
      algos.first->SynthesizeBackground(im.background);
      if (algos.second) algos.second->SynthesizeBackground(im.background2);
    }
    display.Show(im.frame, synthesized ? im.background : none,
                 synthesized ? im.background2 : none);  // display hook
    if (s.save_output && synthesized) SaveAsPPM(im.background, s, step, im.rgb);
  }
}

// Offline runs write one background, numbered with the number of steps. From its keeping on,
// the stop signals are held by `held`: a stop ends the run before it, leaving no file, or not
// at all. A new or regular file takes the image without waiting for anyone, so the hold begins
// before its writing; a pipe or a device of that name may make the write wait, open to the
// stop signals.
void SaveOfflineBackground(cvalgo::BackgroundSynthesizer& algo, const RunSettings& s, int steps,
                           std::optional<pixkit::StopSignalsHeld>& held) {
  // No synthesizer makes a background out of no frame at all.
  if (steps == 0)
    throw pixkit::Excpt_Text(pixkit::ErrSev_Error,
                             "the input holds no frame, so there is no background to write");
  Image<Pixel> background;
  Image<Pixel> rgb;
  algo.SynthesizeBackground(background);
  struct stat st;
  if (stat(BackgroundName(s.output_prefix, steps).c_str(), &st) != 0 || S_ISREG(st.st_mode))
    held.emplace();
  SaveAsPPM(background, s, steps, rgb);
  if (!held) held.emplace();
}

}  // namespace

DecoderMemoryClaim::DecoderMemoryClaim(pixkit::FileReader_MPEG& reader,
                                       cvalgo::MemoryBudget& budget)
    : d_reader(reader), d_budget(budget) {
  d_source = "'" + pixkit::ShortNameForMessage(reader.AskFileName()) + "'";
  reader.SetNeedListener([this](const pixkit::FileReader_MPEG::DecoderNeed& need) { Take(need); });
  // Heard before, the need reached no listener of this claim.
  if (const auto need = reader.AskDecoderNeed())
    Take(*need);
  else
    d_threads = pixkit::FileReader_MPEG::AskDecoderThreads();
}

DecoderMemoryClaim::~DecoderMemoryClaim() { d_reader.SetNeedListener(nullptr); }

// A need is for the pictures from then on.
void DecoderMemoryClaim::Take(const pixkit::FileReader_MPEG::DecoderNeed& need) {
  if (d_told && need.bytes <= d_told->bytes) return;
  d_told = need;
  d_threads = need.threads;
  d_toldArea = uint64_t(need.width) * uint64_t(need.height);
  d_largestArea = 0;
  ClaimTold();
}

void DecoderMemoryClaim::Update(const Image<Pixel>& frame) {
  const uint64_t area = uint64_t(frame.AskWidth()) * uint64_t(frame.AskHeight());
  if (!d_told) {
    Claim(pixkit::FileReader_MPEG::AskDecoderMemory(frame.AskWidth(), frame.AskHeight(),
                                                    d_threads),
          &frame);
    return;
  }
  if (d_toldArea == 0) d_toldArea = area;  // a need said without its size is the next frame's
  d_largestArea = std::max(d_largestArea, area);
  ClaimTold();
}

// Frames larger than those the decoder spoke for take more of what grows with the pictures,
// never of the rest.
void DecoderMemoryClaim::ClaimTold() {
  uint64_t bytes = d_told->bytes;
  if (d_toldArea > 0 && d_largestArea > d_toldArea) {
    const double share = double(d_largestArea) / double(d_toldArea);
    bytes = d_told->fixed + uint64_t(double(d_told->bytes - d_told->fixed) * share);
  }
  Claim(bytes, nullptr);
}

// Claims bytes where they are more than is claimed already. A decoder that said nothing is
// named by its frames in a refusal.
void DecoderMemoryClaim::Claim(uint64_t bytes, const Image<Pixel>* frame) {
  bytes = d_budget.AskChildShare(bytes);
  if (bytes <= d_claim.AskBytes()) return;
  d_claim.Set(d_budget, bytes, cvalgo::MemoryUse::Decoding, [&] {
    const std::string source = frame ? "frames of " + std::to_string(frame->AskWidth()) + " x " +
                                           std::to_string(frame->AskHeight())
                                     : d_source;
    return cvalgo::DecodingNeeds(source, d_threads);
  });
}

const char* MemoryAdvice(cvalgo::MemoryUse use) {
  switch (use) {
    case cvalgo::MemoryUse::History: return ": use a shorter history (-n) or smaller frames";
    case cvalgo::MemoryUse::State: return ": use smaller frames";
    case cvalgo::MemoryUse::Decoding:
      return ": it takes less on fewer cores (taskset) or with smaller frames";
  }
  return "";
}

std::unique_ptr<cvalgo::BackgroundSynthesizer> CreateAlgo(Algorithm algo, double aging_factor,
                                                          int fuzzyness, int blocksize) {
  switch (algo) {
    case Algo_Aging: {
      auto aging = std::make_unique<cvalgo::BackgroundSynthesizer_Aging>();
      aging->SetAgingFactor(aging_factor);
      return aging;
    }
    case Algo_Average: return std::make_unique<cvalgo::BackgroundSynthesizer_Average>();
    case Algo_Median: return std::make_unique<cvalgo::BackgroundSynthesizer_Median>();
    case Algo_Mode: {
      auto mode = std::make_unique<cvalgo::BackgroundSynthesizer_Mode>();
      mode->SetFuzzyness(fuzzyness);
      return mode;
    }
    case Algo_First: return std::make_unique<cvalgo::BackgroundSynthesizer_FirstLast>(false);
    case Algo_Last: return std::make_unique<cvalgo::BackgroundSynthesizer_FirstLast>(true);
    case Algo_SimMat: {
      auto simmat = std::make_unique<cvalgo::BackgroundSynthesizer_SimMat>();
      simmat->SetBlocksize(blocksize);
      return simmat;
    }
    case Algo_None: break;
  }
  assert(!"CreateAlgo takes one of the seven algorithms");
  return nullptr;
}

void SaveAsPPM(const Image<Pixel>& img, const char* prefix, int cnt) {
  RunSettings s;
  s.output_prefix = prefix;
  Image<Pixel> rgb;
  SaveAsPPM(img, s, cnt, rgb);
}

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
  // These algorithms build the background from the frames they keep: they need one at least.
  if (KeepsHistory(s->algo) && s->history < 1)
    RejectValue("history length (-n) must be at least 1 for average, median, mode and simmat\n");
  if (KeepsHistory(s->algo2) && s->history2 < 1)
    RejectValue(args.history2_given ? "history length (--history2) must be at least 1 for "
                                      "average, median, mode and simmat\n"
                                    : "history length (-n) must be at least 1 for average, "
                                      "median, mode and simmat\n");

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
  // The decoder's frames have no alpha and there is no second file beside them.
  if (args.alpha_given) {
    if (s->format == c_FormatMPEG) RejectValue("alpha input (-A) needs YUV input (-f yuv)\n");
    s->alpha_input = true;
  }
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
  pixkit::IgnoreWriteSignals();
  // Held from the keeping of an offline background to the exit, and never given back: a stop
  // signal that came meanwhile would end a run that has kept its file, and a caller would take
  // the file for what a stopped run left.
  std::optional<pixkit::StopSignalsHeld> kept;
  try {
    RunSettings settings;
    if (ParseCommandLine(argc, argv, &cmdline) != 0) std::exit(1);
    ApplyCommandLine(cmdline, &settings);
    PrintParameters(std::cerr, settings);
    CheckBlockSize(settings);
    CheckInputCount(cmdline, settings);
    settings.inputs.assign(cmdline.input_files, cmdline.input_files + cmdline.input_count);
    if (settings.offline) CheckOutputFolder(settings);

    // What the run keeps is counted against the memory there was when it started.
    cvalgo::MemoryBudget budget(cvalgo::MemoryBudget::AskAvailable());
    KeepFramesInTheHeap();
    FrameInput input;
    OpenInput(cmdline, settings, &input);
    Synthesizers algos = CreateSynthesizers(settings, &budget);
    LiveDisplay display(settings);

    const int steps = RunFrameLoop(settings, input, algos, display, budget);
    if (settings.offline) SaveOfflineBackground(*algos.first, settings, steps, kept);
    std::cerr << std::endl;  // closes the progress line
  } catch (const cvalgo::MemoryRefusal& e) {
    char text[pixkit::c_MaxTextLen + 1];
    e.GetText(text, sizeof text);
    const std::string message = std::string(text) + MemoryAdvice(e.AskUse());
    pixkit::MessageDisplay::Show(pixkit::ErrSev_Error, message.c_str());
    return 2;
  } catch (const pixkit::Excpt_Text& e) {
    // A failure is never reported as success: it is shown and the run ends with code 2.
    pixkit::MessageDisplay::Show(e);
    return 2;
  } catch (const std::bad_alloc&) {
    pixkit::MessageDisplay::Show(pixkit::ErrSev_Error,
                                 "out of memory (a shorter history or smaller frames need less)");
    return 2;
  }
  if (kept) std::exit(0);  // with the stop signals still held
  return 0;
}
