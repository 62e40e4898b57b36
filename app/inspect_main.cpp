#include "app/inspect.h"

int main(int argc, char** argv) { return SimMatInspectionMain(argc, argv); }
