#include "libpixkit/fileio/mpeg.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstring>
#include <utility>

#include "libpixkit/utility/error.h"

namespace pixkit {

namespace {

constexpr int c_HeaderRest = 120;

// The record readers report no failed read: the caller looks at the stream's state.
unsigned ReadByte(FILE* fh) {
  unsigned char b = 0;
  const size_t got = fread(&b, 1, 1, fh);
  (void)got;
  return b;
}

uint32_t ReadBE32(FILE* fh) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = (v << 8) | ReadByte(fh);
  return v;
}

int ReadBE16(FILE* fh) {
  const unsigned hi = ReadByte(fh);
  const unsigned lo = ReadByte(fh);
  return int16_t(uint16_t((hi << 8) | lo));
}

void SkipBytes(FILE* fh, int n) {
  char scratch[100];
  while (n > 0) {
    const int chunk = n < int(sizeof scratch) ? n : int(sizeof scratch);
    const size_t got = fread(scratch, size_t(chunk), 1, fh);
    (void)got;
    n -= chunk;
  }
}

// Single quotes keep every character of the name literal for the shell.
std::string ShellQuote(const char* s) {
  std::string q = "'";
  for (; *s; s++) {
    if (*s == '\'')
      q += "'\\''";
    else
      q += *s;
  }
  return q + "'";
}

// "<bytes> <threads>" or "<bytes> <threads> <fixed bytes> <width> <height>", nothing more.
std::optional<FileReader_MPEG::DecoderNeed> ParseDecoderNeed(const std::string& line) {
  const char* p = line.data();
  const char* const end = p + line.size();
  // Each field after a single space; false where it is no number.
  const auto field = [&](auto& value, bool first) {
    if (!first && (p == end || *p++ != ' ')) return false;
    const std::from_chars_result r = std::from_chars(p, end, value);
    p = r.ptr;
    return r.ec == std::errc();
  };
  FileReader_MPEG::DecoderNeed need{0, 0};
  if (!field(need.bytes, true) || !field(need.threads, false) || need.threads < 1)
    return std::nullopt;
  if (p == end) return need;
  if (!field(need.fixed, false) || !field(need.width, false) || !field(need.height, false) ||
      p != end || need.fixed > need.bytes || need.width < 1 || need.height < 1)
    return std::nullopt;
  return need;
}

}  // namespace

int FileReader_MPEG::AskDecoderThreads() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  // A set too large to read leaves the libraries at one thread; the cap errs on the safe side.
  if (sched_getaffinity(0, sizeof cores, &cores) != 0) return c_MaxDecoderThreads;
  return std::clamp(CPU_COUNT(&cores), 1, c_MaxDecoderThreads);
}

// Calibrated on the peaks of mpgfeed's memory cgroup for H.264 with 16 reference pictures and 8
// B-frames: at 1080p 78 MB on one thread and 163 MB on eight, 85 and 170 MB with the colour
// converted and the picture turned, against 101 and 195 MB estimated; 360p to 2160p alike. The
// codec's default of 3 references, HEVC, VP9 and MPEG-2 take less.
uint64_t FileReader_MPEG::AskDecoderMemory(int width, int height, int threads) {
  constexpr uint64_t c_MB = 1024 * 1024;
  // In whole macroblocks, as the decoders lay pictures out.
  const uint64_t picture =
      uint64_t((width + 15) / 16 * 16) * uint64_t((height + 15) / 16 * 16) * 3 / 2;
  // Half pictures: 48 for the reference pictures and those held back for display order with
  // their motion tables, 5 for the colour conversion's converted and turned pictures and its
  // chroma-sized plane of int16, and 8 for each thread's picture in work, those passed between
  // threads and its own tables. Each thread also keeps 1.5 MB of its own, the libraries 8 MB.
  const uint64_t t = uint64_t(std::max(threads, 1));
  return picture * (48 + 5 + 8 * t) / 2 + (8 * c_MB + t * 3 * c_MB / 2);
}

FileReader_MPEG::~FileReader_MPEG() {
  // Closing our end stops a decoder that still writes; its status no longer matters.
  if (d_pipe) ClosePipe();
}

void FileReader_MPEG::CloseNeeds() {
  if (d_needFd >= 0) close(d_needFd);
  d_needFd = -1;
  d_needText.clear();
}

int FileReader_MPEG::ClosePipe() {
  CloseNeeds();
  const int status = d_decoder ? pclose(d_pipe) : (fclose(d_pipe), 0);
  d_pipe = nullptr;
  d_decoder = false;
  return status;
}

void FileReader_MPEG::Open(const char* filename) {
  if (d_pipe) ClosePipe();
  d_filename = filename;
  d_need.reset();
  // The decoder says its need on a socket of its own, whose number it finds in its
  // environment, and waits for an answer to each; only that end reaches it. Without the socket
  // it runs as it would by hand. It also offers itself first to the system where memory runs
  // out, and so that it does so while it is still being loaded, the shell that starts it
  // raises the score that it inherits.
  int need[2];
  std::string tell;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, need) == 0) {
    if (fcntl(need[1], F_SETFD, 0) == 0) {
      d_needFd = need[0];
      tell = "echo 1000 2>/dev/null >/proc/self/oom_score_adj; MPGFEED_NEED_FD=" +
             std::to_string(need[1]) + " ";
    } else {
      close(need[0]);
      close(need[1]);
    }
  }
  // exec lets the decoder's own exit status or signal reach pclose.
  // A name that starts with '-' would reach the decoder as an option.
  const std::string path = filename[0] == '-' ? std::string("./") + filename : filename;
  const std::string command = tell + "exec mpgfeed -L -W - " + ShellQuote(path.c_str());
  d_pipe = popen(command.c_str(), "r");
  const int popenError = errno;
  if (!tell.empty()) close(need[1]);
  errno = popenError;
  d_decoder = d_pipe != nullptr;
  if (!d_pipe) {
    CloseNeeds();
    const std::string text = "cannot start the MPEG decoder for file '" + ShortNameForMessage(d_filename) +
                             "': " + strerror(errno);
    throw Excpt_Text(ErrSev_Error, text.c_str());
  }
}

void FileReader_MPEG::OpenStream(FILE* stream, const char* name) {
  PIXKIT_ASSERT(stream);
  if (d_pipe) ClosePipe();
  d_filename = name;
  d_need.reset();
  d_pipe = stream;
  d_decoder = false;
}

// The decoder tells its need before its first record. Until one of the two arrives, it has said
// nothing yet; once records come without it, it never will (another program may hold the socket
// without a word).
std::optional<FileReader_MPEG::DecoderNeed> FileReader_MPEG::AskDecoderNeed() {
  while (d_needFd >= 0 && !d_need) {
    pollfd fds[2] = {{d_needFd, POLLIN, 0}, {fileno(d_pipe), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      CloseNeeds();
      break;
    }
    if (fds[0].revents) {
      HearNeeds();
    } else {
      CloseNeeds();
    }
  }
  return d_need;
}

// Lines "<need>\n", each answered with a byte once the listener has taken it. Anything
// malformed is nothing said, but answered all the same: the decoder must not wait for ever.
void FileReader_MPEG::HearNeeds() {
  char text[256];  // more than any line of ours
  ssize_t got;
  do got = read(d_needFd, text, sizeof text);
  while (got < 0 && errno == EINTR);
  if (got <= 0) {
    CloseNeeds();
    return;
  }
  d_needText.append(text, size_t(got));
  for (size_t eol; (eol = d_needText.find('\n')) != std::string::npos;) {
    const std::optional<DecoderNeed> need = ParseDecoderNeed(d_needText.substr(0, eol));
    d_needText.erase(0, eol + 1);
    if (need) {
      d_need = need;
      if (d_needListener) d_needListener(*need);
    }
    const char answer = '\n';
    const ssize_t sent = send(d_needFd, &answer, 1, MSG_NOSIGNAL);
    (void)sent;  // a decoder that no longer listens reads none
  }
  if (d_needText.size() > sizeof text) d_needText.clear();
}

// Records already in the stream's buffer, or in the pipe, were decoded under the needs heard
// before them; only where there are none may a need stand before the next one. The decoder
// waits for the answer to its need, so waiting for the pipe alone would never end.
int FileReader_MPEG::NextRecordByte() {
  if (d_needFd >= 0 && !d_need) AskDecoderNeed();
  while (d_needFd >= 0) {
    const int fd = fileno(d_pipe);
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const int c = getc(d_pipe);
    const int error = errno;
    fcntl(fd, F_SETFL, flags);
    if (c != EOF || !ferror(d_pipe) || (error != EAGAIN && error != EWOULDBLOCK)) return c;
    clearerr(d_pipe);
    pollfd fds[2] = {{d_needFd, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) CloseNeeds();
    if (fds[0].revents) HearNeeds();
  }
  return getc(d_pipe);
}

void FileReader_MPEG::EndOfStream(bool cut) {
  const int status = ClosePipe();
  std::string why;
  if (status == -1) {
    why = std::string("its status cannot be read: ") + strerror(errno);
  } else if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    if (code == 0) {
      // Only a decoder that ended well cut its stream short; a failing one says why itself.
      if (cut) {
        const std::string text = "MPEG stream of file '" + ShortNameForMessage(d_filename) +
                                 "' ends inside a frame; frame dropped";
        MessageDisplay::Show(ErrSev_Warning, text.c_str());
      }
      return;
    }
    why = "exit status " + std::to_string(code);
    if (code == 126 || code == 127) why += ": mpgfeed could not be run";
  } else if (WIFSIGNALED(status)) {
    why = "killed by signal " + std::to_string(WTERMSIG(status));
  } else {
    why = "wait status " + std::to_string(status);
  }
  const std::string text =
      "MPEG decoder failed on file '" + ShortNameForMessage(d_filename) + "' (" + why + ")";
  throw Excpt_Text(ErrSev_Error, text.c_str());
}

bool FileReader_MPEG::ReadFrameFromPipe(Image<Pixel>& img) {
  if (!d_pipe) return false;

  // A clean end lies between records; anything else is a record cut short.
  const int next = NextRecordByte();
  if (next == EOF) {
    EndOfStream(false);
    return false;
  }
  ungetc(next, d_pipe);

  ReadBE32(d_pipe);
  const int w = ReadBE16(d_pipe);
  const int h = ReadBE16(d_pipe);
  SkipBytes(d_pipe, c_HeaderRest);

  bool complete = !feof(d_pipe) && !ferror(d_pipe);
  if (complete && (w < 1 || h < 1)) {
    ClosePipe();  // the stream cannot be followed beyond a broken record
    const std::string text = "invalid frame size " + std::to_string(w) + "x" +
                             std::to_string(h) + " in MPEG stream of file '" +
                             ShortNameForMessage(d_filename) + "'";
    throw Excpt_Text(ErrSev_Error, text.c_str());
  }

  if (complete) {
    ImageParam param = img.AskParam();
    if (param.width != w || param.height != h || param.chroma != Chroma_420 ||
        param.colorspace != Colorspace_YUV || img.IsEmpty()) {
      param.width = w;
      param.height = h;
      param.colorspace = Colorspace_YUV;
      param.chroma = Chroma_420;
      img.Create(param);
    }

    Pixel* const* yp = img.AskFrameY();
    for (int y = 0; y < h && complete; y++) complete = fread(yp[y], size_t(w), 1, d_pipe) == 1;
    int cw, ch;
    param.AskChromaSizes(cw, ch);
    Pixel* const* planes[2] = {img.AskFrameU(), img.AskFrameV()};
    for (Pixel* const* p : planes)
      for (int y = 0; y < ch && complete; y++) complete = fread(p[y], size_t(cw), 1, d_pipe) == 1;
    if (complete) return true;
  }

  // Rows that never arrived would be handed out unset: the partial frame is dropped.
  EndOfStream(true);
  return false;
}

bool FileReader_MPEG::IsEOF() {
  if (d_preloaded) return false;
  // A frame read ahead is laid out anew from the defaults, in the planes of the frame handed
  // out before only where nobody else holds them.
  d_preload.SetParam(ImageParam());
  d_preloaded = ReadFrameFromPipe(d_preload);
  return !d_preloaded;
}

bool FileReader_MPEG::ReadImage(Image<Pixel>& img) {
  d_framenr++;
  if (!d_preloaded) return ReadFrameFromPipe(img);

  // The next frame is read ahead into img's planes if nobody else holds them by then.
  std::swap(img, d_preload);
  d_preloaded = false;
  return true;
}

void FileReader_MPEG::SkipToImage(int n) {
  PIXKIT_ASSERT_MSG(n >= d_framenr, "cannot search backwards in MPEG stream (not implemented yet)");
  Image<Pixel> img;
  while (d_framenr < n) ReadImage(img);
}

}  // namespace pixkit
