// The files the programs write their results to: which of them a run may replace or remove,
// and a file being written that goes again when the run fails or a stop signal ends it. Used by
// the PPM writer and by the decoder program for its output.
#ifndef PIXKIT_UTILITY_OUTPUTFILE_H
#define PIXKIT_UTILITY_OUTPUTFILE_H

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "libpixkit/utility/stopsignals.h"

namespace pixkit {

// A regular file of the caller's own with no other name: replacing or removing it touches
// nothing but the caller's own data.
bool IsSoleOwnFile(const struct stat& st);

// Empty when writing the output leaves the input alone; otherwise the message that refuses it,
// naming both. The output is the input under the same name, or as the same file under another
// name (a hard or symbolic link, or standard output, "-", sent into it); an output that does
// not exist yet is no input.
std::string OutputIsInputMessage(const std::string& output, const std::string& input);

// A file open for writing. Destroyed before Keep (a failed run), or ended by a stop signal
// while open, it is removed when it is the run's to remove: a file this run created, or a sole
// own file it emptied. Anything else (a link, a device, a pipe, another user's file, a file of
// several names) stays as a plain write leaves it. One at a time in a process.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the name as a plain write does: created, or emptied. False with errno set. A pipe
  // without a reader blocks here, open to the stop signals.
  bool Open(const std::string& name);
  // Creates a new file from a mkstemp template. False with errno set.
  bool CreateTemp(std::string tmpl);
  // Writes to standard output, which is neither closed nor removed.
  void UseStandardOutput();

  int Descriptor() const { return d_fd; }
  // The name of the file that a failure removes; empty when there is none.
  const std::string& RemovableName() const { return d_name; }

  // All n bytes, or false with errno set.
  bool Write(const void* data, size_t n);
  // False with errno set. The file stays removable until Keep.
  bool Close();
  // Moves the closed file to target. False with errno set.
  bool RenameTo(const char* target);
  // The file is complete: it stays.
  void Keep();
  // Closes and removes the file now, as destruction before Keep would. True when a regular
  // file stays with the part written: it is not the run's to remove, or its folder refused.
  bool Abandon();

 private:
  void Watch(const std::string& name);  // call with the stop signals held
  void Use(int fd, bool owns);

  RemoveOnStop d_removeOnStop;  // destroyed last: its handlers outlive the file
  std::string d_name;
  int d_fd = -1;
  bool d_ownsFd = false;
  bool d_regular = false;  // what a failure leaves of it is a file of partial contents
};

}  // namespace pixkit

#endif
