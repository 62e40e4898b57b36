#include "app/display.h"

namespace {

using pixkit::ImageWindow_Autorefresh_X11;

// Through the image-to-RGB transforms, not XVideo.
std::unique_ptr<ImageWindow_Autorefresh_X11> OpenWindow(int x, int y, int w, int h,
                                                        const char* title) {
  auto win = std::make_unique<ImageWindow_Autorefresh_X11>(false);
  if (x >= 0) win->SetPosition(x, y);
  win->Create(w, h, title);
  return win;
}

}  // namespace

LiveDisplay::LiveDisplay(const RunSettings& settings)
    : d_enabled(!settings.offline && settings.x11_output) {}

void LiveDisplay::OpenOnFirstStep(const pixkit::Image<pixkit::Pixel>& input,
                                  bool second_algorithm) {
  if (!d_enabled || d_input) return;
  const int w = input.AskWidth(), h = input.AskHeight();
  d_input = OpenWindow(-1, -1, w, h, "input stream");  // where the window itself puts it
  d_background = OpenWindow(w + 50, 0, w, h, "background reconstruction");
  if (second_algorithm)
    d_background2 = OpenWindow(2 * w + 100, 0, w, h, "background reconstruction (2)");
}

void LiveDisplay::Show(const pixkit::Image<pixkit::Pixel>& input,
                       const pixkit::Image<pixkit::Pixel>& background,
                       const pixkit::Image<pixkit::Pixel>& background2) {
  if (d_input) d_input->Display(input);
  if (background.IsEmpty()) return;
  if (d_background) d_background->Display(background);
  // The second algorithm may have none yet while the first has one.
  if (d_background2 && !background2.IsEmpty()) d_background2->Display(background2);
}
