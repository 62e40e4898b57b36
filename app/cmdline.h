// The tool's command line: the option record, its long-option parser, the help and version
// texts and the names of the background algorithms. Used by the driver in bkg.cpp.
#ifndef APP_CMDLINE_H
#define APP_CMDLINE_H

// The driver's numbering of the background algorithms; None only ever stands for the second.
enum Algorithm {
  Algo_None = 0,
  Algo_Aging = 1,
  Algo_Average = 2,
  Algo_Median = 3,
  Algo_Mode = 4,
  Algo_First = 5,
  Algo_Last = 6,
  Algo_SimMat = 7
};

// What the command line said, before any value is checked. Strings and the file list are
// malloc'ed copies that live as long as the process.
struct CommandLineArgs {
  char* algo;
  int history;
  double aging_factor;
  int fuzzyness;
  int blocksize;
  char* algo2;
  int history2;
  double aging_factor2;
  int fuzzyness2;
  int blocksize2;
  int decimate;
  int speedup;
  char* resolution;
  char* format;
  char* save_output;
  char* alpha;

  int help_given;
  int version_given;
  int algo_given;
  int history_given;
  int aging_factor_given;
  int fuzzyness_given;
  int blocksize_given;
  int algo2_given;
  int history2_given;
  int aging_factor2_given;
  int fuzzyness2_given;
  int blocksize2_given;
  int decimate_given;
  int speedup_given;
  int resolution_given;
  int format_given;
  int save_output_given;
  int offline_given;
  int alpha_given;
  int transparent_motion_given;
  int no_x11_given;

  char** input_files;
  int input_count;
};

// Fills args from the command line and returns 0. Help and version end the process with exit
// code 0 (2 when standard output cannot take them), every parse error (unknown option, missing
// argument, option given twice) with 1.
int ParseCommandLine(int argc, char** argv, CommandLineArgs* args);

void PrintVersion();
void PrintHelp();

// A malloc'ed copy of s, or null when memory runs out.
char* DuplicateString(const char* s);

// Maps an algorithm name, in any case, to its number. "list" prints the algorithms and ends
// the process with exit code 0; an unknown name ends it with exit code 5.
Algorithm ParseAlgorithmName(const char* name);

#endif
