#include "app/bkg.h"

int main(int argc, char** argv) { return RunBackgroundTool(argc, argv); }
