// The decoder program's output file; see recordfile.h.
#include "tools/mpgfeed/recordfile.h"

#include <cerrno>
#include <cstring>

#include "libpixkit/utility/error.h"

namespace mpgfeed {

namespace {

// Large enough that a row of any picture costs no write of its own.
constexpr size_t c_BufferSize = size_t(1) << 16;

}  // namespace

void CheckOutputIsNotInput(const std::string& output, const std::string& input) {
  const std::string refusal = pixkit::OutputIsInputMessage(output, input);
  if (!refusal.empty()) throw std::runtime_error(refusal);
}

RecordFile::RecordFile(const std::string& name)
    : d_name(name == "-" ? "standard output" : pixkit::ShortNameForMessage(name)),
      d_buffer(c_BufferSize) {
  if (name == "-")
    d_file.UseStandardOutput();
  else if (!d_file.Open(name))
    Fail();
}

void RecordFile::Fail() const {
  const std::string text = "cannot write '" + d_name + "': " + std::strerror(errno);
  if (errno == EPIPE) throw BrokenPipe(text);
  throw std::runtime_error(text);
}

void RecordFile::Flush() {
  if (d_used > 0 && !d_file.Write(d_buffer.data(), d_used)) Fail();
  d_used = 0;
}

void RecordFile::Put(const uint8_t* p, size_t n) {
  if (d_used + n > d_buffer.size()) Flush();
  if (n >= d_buffer.size()) {
    if (!d_file.Write(p, n)) Fail();
    return;
  }
  std::memcpy(d_buffer.data() + d_used, p, n);
  d_used += n;
}

void RecordFile::Finish() {
  Flush();
  if (!d_file.Close()) Fail();
  d_file.Keep();
}

std::string RecordFile::Abandon() {
  return d_file.Abandon() ? "; '" + d_name + "' is left incomplete" : "";
}

}  // namespace mpgfeed
