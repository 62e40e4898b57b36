// Background synthesizers: the interface the driver uses for every algorithm, and the
// algorithms that keep a running background or a history of frames.
#ifndef CVALGO_BACKGROUND_H
#define CVALGO_BACKGROUND_H

#include "libpixkit/graphics/datatypes/image.h"

namespace cvalgo {

using pixkit::Color;
using pixkit::Pixel;

class BackgroundSynthesizer {
 public:
  BackgroundSynthesizer() = default;
  virtual ~BackgroundSynthesizer() = default;

  virtual void SetUnknownColor(Color c) { d_unknown = c; }
  // False: the algorithm keeps no history and ignores the length.
  virtual bool SetHistoryLength(int) { return false; }
  virtual void Reset() {}
  // The caller may overwrite the frame's planes afterwards.
  virtual void PutImage(const pixkit::Image<Pixel>& img) = 0;
  // The synthesizer may keep the frame's planes; the caller never writes into them again.
  virtual void ShareImage(const pixkit::Image<Pixel>& img) = 0;
  virtual void SynthesizeBackground(pixkit::Image<Pixel>& out) = 0;
  virtual const char* AskAlgorithmName() { return "(unknown)"; }

 protected:
  Color d_unknown{255, 128, 128, 0};
};

}  // namespace cvalgo

#endif
