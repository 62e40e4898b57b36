#include "app/display.h"

// No window exists yet: until the X11 windows arrive here, every run behaves as with -x.

LiveDisplay::LiveDisplay(const RunSettings& settings)
    : d_enabled(!settings.offline && settings.x11_output) {}

void LiveDisplay::OpenOnFirstStep(const pixkit::Image<pixkit::Pixel>& /*input*/,
                                  bool /*second_algorithm*/) {
  if (!d_enabled) return;
}

void LiveDisplay::Show(const pixkit::Image<pixkit::Pixel>& /*input*/,
                       const pixkit::Image<pixkit::Pixel>& /*background*/,
                       const pixkit::Image<pixkit::Pixel>& /*background2*/) {
  if (!d_enabled) return;
}
