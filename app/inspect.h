// The similarity-matrix inspection driver: runs the simmat synthesizer over an MPEG stream
// and shows its inner state (background, input with its alpha mask, one block's similarity
// matrix) while it writes every background as bkgNNN.ppm. Reached through quillmere-inspect.
#ifndef APP_INSPECT_H
#define APP_INSPECT_H

// argv[1] names the MPEG file. Returns the exit code: 0 after the last pass, 2 when a failure
// was caught and shown, 5 without exactly one input file.
int SimMatInspectionMain(int argc, char** argv);

#endif
