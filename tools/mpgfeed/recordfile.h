// The output of the decoder program: the file or standard output that the frame records go
// to, never the input itself, and removed again when a run fails or is stopped part-way.
#ifndef TOOLS_MPGFEED_RECORDFILE_H
#define TOOLS_MPGFEED_RECORDFILE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "libpixkit/utility/outputfile.h"

namespace mpgfeed {

// Throws std::runtime_error when the output names the input: the same name, or the same file
// under another name (a hard or symbolic link, or standard output sent into it).
void CheckOutputIsNotInput(const std::string& output, const std::string& input);

// The reader of the output has gone away.
struct BrokenPipe : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class RecordFile {
 public:
  // "-" is standard output. Throws std::runtime_error naming the file when it cannot be opened.
  explicit RecordFile(const std::string& name);

  // Throws std::runtime_error naming the file when it cannot be written, BrokenPipe when its
  // reader has gone.
  void Put(const uint8_t* p, size_t n);
  // Writes what is put so far, so that the reader has every record before a pause.
  void Flush();
  // The records are complete: the file stays.
  void Finish();
  // The run failed: the file goes where it is the run's to remove. Returns what to add to the
  // failure's message: "; 'NAME' is left incomplete" where a regular file stays, else "".
  std::string Abandon();

 private:
  [[noreturn]] void Fail() const;

  pixkit::OutputFile d_file;
  std::string d_name;  // as messages show it
  std::vector<uint8_t> d_buffer;
  size_t d_used = 0;
};

}  // namespace mpgfeed

#endif
