// The live windows of a run: the input frame and the backgrounds, shown while the frame loop
// runs. The loop in bkg.cpp calls the two hooks below at their fixed places.
#ifndef APP_DISPLAY_H
#define APP_DISPLAY_H

#include <memory>

#include "app/bkg.h"
#include "libpixkit/graphics/datatypes/image.h"
#include "libpixkit/x11/imgwin.h"

class LiveDisplay {
 public:
  // Offline runs and runs with -x never show anything.
  explicit LiveDisplay(const RunSettings& settings);

  // Hook of the first step, right after its reads: opens the input window and one window per
  // background side by side, sized from the first frame.
  void OpenOnFirstStep(const pixkit::Image<pixkit::Pixel>& input, bool second_algorithm);

  // Hook of every step after its synthesis: shows the input as read, and the backgrounds when
  // the first is not empty.
  void Show(const pixkit::Image<pixkit::Pixel>& input,
            const pixkit::Image<pixkit::Pixel>& background,
            const pixkit::Image<pixkit::Pixel>& background2);

 private:
  bool d_enabled;
  // Kept for the whole run once opened.
  std::unique_ptr<pixkit::ImageWindow_Autorefresh_X11> d_input;
  std::unique_ptr<pixkit::ImageWindow_Autorefresh_X11> d_background;
  std::unique_ptr<pixkit::ImageWindow_Autorefresh_X11> d_background2;
};

#endif
