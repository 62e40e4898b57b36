// The similarity-matrix inspection driver: fixed settings, three windows and a numbered PPM
// file per pass.
#include "app/inspect.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <new>
#include <string>

#include "app/bkg.h"
#include "app/motion.h"
#include "cvalgo/background_simmat.h"
#include "libpixkit/fileio/mpeg.h"
#include "libpixkit/fileio/ppm.h"
#include "libpixkit/graphics/color/colorspace.h"
#include "libpixkit/graphics/draw/regions.h"
#include "libpixkit/utility/error.h"
#include "libpixkit/utility/outputfile.h"
#include "libpixkit/utility/stopsignals.h"
#include "libpixkit/x11/imgwin.h"

namespace {

using pixkit::Image;
using pixkit::ImageWindow_Autorefresh_X11;

constexpr int c_MaxPasses = 550;
constexpr int c_History = 100;
// The block whose similarity matrix is shown, in blocks of the synthesizer's 8 x 8 pixels.
constexpr int c_BlockColumn = 20;
constexpr int c_BlockRow = 28;
constexpr int c_BlockSize = 8;

// Every frame that a pass works on must hold the block shown.
void CheckFrameSize(const Image<Pixel>& frame) {
  const int w = frame.AskWidth(), h = frame.AskHeight();
  const int min_w = (c_BlockColumn + 1) * c_BlockSize, min_h = (c_BlockRow + 1) * c_BlockSize;
  if (w >= min_w && h >= min_h) return;
  char text[200];
  std::snprintf(text, sizeof text,
                "frames of %d x %d are smaller than the %d x %d the inspection needs for the "
                "block in column %d, row %d",
                w, h, min_w, min_h, c_BlockColumn, c_BlockRow);
  throw pixkit::Excpt_Text(pixkit::ErrSev_Error, text);
}

// Never over the input, which the decoder reads on.
void WriteBackground(const Image<Pixel>& background, int n, const char* input) {
  char name[32];
  std::snprintf(name, sizeof name, "bkg%03d.ppm", n);
  const std::string refusal = pixkit::OutputIsInputMessage(name, input);
  if (!refusal.empty()) throw pixkit::Excpt_Text(pixkit::ErrSev_Error, refusal.c_str());
  Image<Pixel> rgb;
  pixkit::ChangeColorspace(rgb, background, pixkit::Colorspace_RGB, pixkit::Chroma_420);
  pixkit::WritePPM(rgb, name);
}

// Draws the input's transparent parts over its luma. The alpha plane is inverted in place.
void OverlayMotion(Image<Pixel>& input) {
  pixkit::Bitmap<Pixel> alpha(input.AskBitmap(pixkit::Bitmap_Alpha));
  pixkit::Invert(alpha, 255);
  pixkit::OverlayAlphaMask(input.AskBitmapY(), alpha, 255, 128);
}

void Inspect(const char* filename) {
  pixkit::FileReader_MPEG reader;
  reader.Open(filename);
  // The decoder's share is refused before the first frame, where it does not fit at all, also
  // as it says it again before that frame.
  Image<Pixel> input;
  {
    cvalgo::MemoryBudget before(cvalgo::MemoryBudget::AskAvailable());
    const DecoderMemoryClaim decoding(reader, before);
    if (!reader.ReadImage(input))
      throw pixkit::Excpt_Text(pixkit::ErrSev_Error, "the input holds no frame");
  }
  CheckFrameSize(input);
  const int w = input.AskWidth(), h = input.AskHeight();

  ImageWindow_Autorefresh_X11 background_window(false), motion_window(false),
      matrix_window(false);
  background_window.Create(w, h, "reconstructed background");
  motion_window.SetPosition(400, 0);
  motion_window.Create(w, h, "motion");
  matrix_window.Create(c_History, c_History, "motion");
  sleep(2);

  // What the synthesizer keeps is counted against the memory there was when it started, after
  // the windows' and the share of the decoder process, which draws on the same memory.
  cvalgo::MemoryBudget budget(cvalgo::MemoryBudget::AskAvailable());
  DecoderMemoryClaim decoding(reader, budget);
  cvalgo::BackgroundSynthesizer_SimMat simmat;
  simmat.SetHistoryLength(c_History);
  simmat.SetMemoryBudget(&budget);

  Image<Pixel> skipped;
  for (int n = 0; !reader.IsEOF() && n < c_MaxPasses;) {
    reader.ReadImage(skipped);
    reader.ReadImage(skipped);
    if (n > 0) reader.ReadImage(input);
    CheckFrameSize(input);
    decoding.Update(input);
    n++;

    AddAlphaChannel(input);
    pixkit::Clear(input.AskBitmap(pixkit::Bitmap_Alpha), Pixel(255));
    Image<Pixel> full_chroma;
    pixkit::ChangeChroma(full_chroma, input, pixkit::Chroma_444);
    simmat.PutImage(full_chroma);

    Image<Pixel> background;
    simmat.SynthesizeBackground(background);
    background_window.Display(background);
    WriteBackground(background, n, filename);

    if (n % 4 == 0) {
      Image<Pixel> matrix;
      simmat.AskSimilarityMatrixImage(matrix, c_BlockColumn, c_BlockRow);
      matrix_window.Display(matrix);
    }

    OverlayMotion(input);
    motion_window.Display(input);
  }
}

}  // namespace

int SimMatInspectionMain(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << (argc > 0 ? argv[0] : "quillmere-inspect") << " MPEGFILE\n";
    return 5;
  }
  pixkit::IgnoreWriteSignals();
  try {
    Inspect(argv[1]);
    return 0;
  } catch (const cvalgo::MemoryRefusal& e) {
    char text[pixkit::c_MaxTextLen + 1];
    e.GetText(text, sizeof text);
    const bool decoder = e.AskUse() == cvalgo::MemoryUse::Decoding;
    const char* advice = decoder ? MemoryAdvice(e.AskUse()) : ": use smaller frames";
    pixkit::MessageDisplay::Show(pixkit::ErrSev_Error, (std::string(text) + advice).c_str());
    return 2;
  } catch (const pixkit::Excpt_Text& e) {
    // A failure is never reported as success.
    pixkit::MessageDisplay::Show(e);
    return 2;
  } catch (const std::bad_alloc&) {
    pixkit::MessageDisplay::Show(pixkit::ErrSev_Error, "out of memory (smaller frames need less)");
    return 2;
  }
}
