// A command line parsed into its own record, freed again when the test is done with it.
#ifndef TESTS_APP_PARSED_ARGS_H
#define TESTS_APP_PARSED_ARGS_H

#include <cstdlib>
#include <string>
#include <vector>

#include "app/cmdline.h"

struct ParsedArgs {
  CommandLineArgs args{};

  // words are the arguments after the program name.
  explicit ParsedArgs(std::vector<std::string> words) {
    words.insert(words.begin(), "quillmere");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ParseCommandLine(int(words.size()), argv.data(), &args);
  }
  ParsedArgs(const ParsedArgs&) = delete;
  ParsedArgs& operator=(const ParsedArgs&) = delete;
  ~ParsedArgs() {
    for (char* s : {args.algo, args.algo2, args.resolution, args.format, args.save_output,
                    args.alpha})
      free(s);
    for (int i = 0; i < args.input_count; i++) free(args.input_files[i]);
    free(args.input_files);
  }
};

#endif
