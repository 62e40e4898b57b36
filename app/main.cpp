#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/bkg.h"
#include "libpixkit/utility/stopsignals.h"

int main(int argc, char** argv) {
  if (!pixkit::OpenClosedStandardStreams()) {
    std::fprintf(stderr, "Error: cannot open /dev/null (%s)\n", std::strerror(errno));
    return 2;
  }
  return RunBackgroundTool(argc, argv);
}
