#include "libpixkit/fileio/ppm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <streambuf>
#include <string>
#include <vector>

#include "libpixkit/utility/outputfile.h"

namespace pixkit {

namespace {

constexpr int c_LineLen = 100;  // header line buffer, terminator included
constexpr long long c_MaxSize = 32767;

[[noreturn]] void ThrowError(const char* text) { throw Excpt_Text(ErrSev_Error, text); }

// `left`: the failed write left part of the image under the name.
[[noreturn]] void ThrowFileError(const char* what, const char* filename, int err,
                                 bool left = false) {
  const std::string name = ShortNameForMessage(filename);
  std::string text = std::string(what) + " PPM file '" + name + "'";
  if (err != 0) text += std::string(" (") + strerror(err) + ")";
  if (left) {
    // Cut, the message would lose the part that tells the file is damaged.
    const std::string tail = "; '" + name + "' is left incomplete";
    text += text.size() + tail.size() <= size_t(c_MaxTextLen) ? tail : "; it is left incomplete";
  }
  ThrowError(text.c_str());
}

void WriteHeader(std::ostream& os, char type, int w, int h) {
  os << 'P' << type << '\n' << w << ' ' << h << "\n255\n";
}

// A stream onto an output file that keeps the reason of its first failing write.
class OutputFileBuf : public std::streambuf {
 public:
  explicit OutputFileBuf(OutputFile& file) : d_file(file), d_buffer(size_t(1) << 16) {
    setp(d_buffer.data(), d_buffer.data() + d_buffer.size());
  }
  int AskError() const { return d_err; }

 protected:
  int_type overflow(int_type c) override {
    if (!Flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  bool Flush() {
    if (d_err != 0) return false;
    if (pptr() > pbase() && !d_file.Write(pbase(), size_t(pptr() - pbase()))) {
      d_err = errno;
      return false;
    }
    setp(d_buffer.data(), d_buffer.data() + d_buffer.size());
    return true;
  }

  OutputFile& d_file;
  std::vector<char> d_buffer;
  int d_err = 0;
};

// Writes img and closes the file. False when either fails, with err the reason of the first
// failing write (0 when unknown).
bool WriteAndClose(const FileWriter_PPM& writer, const Image<Pixel>& img, OutputFile& file,
                   int& err) {
  OutputFileBuf buf(file);
  std::ostream os(&buf);
  writer.Write(img, os);
  os.flush();
  err = buf.AskError();
  if (!os) return false;
  if (file.Close()) return true;
  err = errno;
  return false;
}

// Opens the name itself (created, or emptied when it exists), as a plain write does. A failure
// removes the file where the shared output-file rule allows and the folder lets it; a regular
// file that stays holds part of the image, and the message says so.
void WriteInPlace(const FileWriter_PPM& writer, const Image<Pixel>& img, const char* filename) {
  OutputFile file;
  if (!file.Open(filename)) ThrowFileError("cannot create", filename, errno);
  int err = 0;
  if (!WriteAndClose(writer, img, file, err))
    ThrowFileError("cannot write", filename, err, file.Abandon());
  file.Keep();
}

std::string DirectoryOf(const char* filename) {
  const char* slash = strrchr(filename, '/');
  return !slash ? "." : slash == filename ? "/" : std::string(filename, slash);
}

// A file whose extended attributes (ACLs among them) a new file would not have.
bool HasExtendedAttributes(const char* filename) {
  return llistxattr(filename, nullptr, 0) > 0;
}

// A directory whose default ACL, not the umask, sets the mode of the files created in it.
bool HasDefaultAcl(const std::string& dir) {
  return getxattr(dir.c_str(), "system.posix_acl_default", nullptr, 0) > 0;
}

// The mode a newly created file would get, or the one of the file being replaced. Reading the
// umask means setting it; the tool runs one thread.
mode_t TargetMode(const struct stat* existing) {
  if (existing) return existing->st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Gives the new file the group and the mode of the file it replaces, or a new file's mode;
// false when they cannot be kept (a group the caller is no member of).
bool TakeAttributes(int fd, const struct stat* existing, const char* filename) {
  struct stat now;
  if (fstat(fd, &now) != 0) ThrowFileError("cannot create", filename, errno);
  if (existing && now.st_gid != existing->st_gid && fchown(fd, uid_t(-1), existing->st_gid) != 0)
    return false;
  const mode_t mode = TargetMode(existing);
  if (fchmod(fd, mode) != 0) ThrowFileError("cannot create", filename, errno);
  // The kernel drops a set-group-ID bit that the caller may not set.
  return fstat(fd, &now) == 0 && (now.st_mode & 07777) == mode;
}

// Writes a new file beside the name and renames it over the name when complete; false, with
// nothing written, where the result would differ from a plain write in more than that.
bool WriteReplacing(const FileWriter_PPM& writer, const Image<Pixel>& img, const char* filename) {
  struct stat st;
  const bool exists = lstat(filename, &st) == 0;
  const bool isNew = !exists && errno == ENOENT;
  const std::string dir = DirectoryOf(filename);
  if (!(isNew || (exists && IsSoleOwnFile(st))) ||
      faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0 ||
      (exists ? HasExtendedAttributes(filename) : HasDefaultAcl(dir)))
    return false;

  // Hidden, and short enough for any name the target itself may have.
  const std::string target = filename;
  const size_t slash = target.rfind('/');
  const size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string tempName = target.substr(0, baseStart) + "." +
                               target.substr(baseStart, 200) + ".XXXXXX";
  OutputFile temp;
  if (!temp.CreateTemp(tempName)) ThrowFileError("cannot create", filename, errno);
  if (!TakeAttributes(temp.Descriptor(), exists ? &st : nullptr, filename)) return false;
  int err = 0;
  if (!WriteAndClose(writer, img, temp, err)) ThrowFileError("cannot write", filename, err);
  if (temp.RenameTo(filename)) return true;
  // A name that is a mount point of its own cannot be replaced, only written.
  if (errno == EBUSY) return false;
  ThrowFileError("cannot write", filename, errno);
}

// One header line into line; a line that cannot be read ends the header early.
void ReadHeaderLine(std::istream& is, char* line) {
  is.getline(line, c_LineLen);
  if (!is.fail()) return;
  if (!is.eof() && is.gcount() == c_LineLen - 1)
    ThrowError("PPM header line is longer than 99 characters");
  ThrowError("PPM header is cut short");
}

// The next header line that is neither a comment nor blank.
void ReadContentLine(std::istream& is, char* line) {
  do {
    ReadHeaderLine(is, line);
  } while (line[0] == '#' || IsBlankLine(line));
}

// Two decimal integers as "%d %d" would read them, but defined for any digit count; 64 bits
// wide on every platform, so that the messages about huge sizes are the same everywhere.
bool ParseSize(const char* line, long long& w, long long& h) {
  char* end;
  w = strtoll(line, &end, 10);
  if (end == line) return false;
  const char* rest = end;
  h = strtoll(rest, &end, 10);
  return end != rest;
}

}  // namespace

void WritePPM5(const Bitmap<Pixel>& bm, std::ostream& os) {
  const int w = bm.AskWidth();
  const int h = bm.AskHeight();
  WriteHeader(os, '5', w, h);
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < h; y++) os.write(reinterpret_cast<const char*>(f[y]), w);
}

void WritePPM6(const Bitmap<Pixel>& r, const Bitmap<Pixel>& g, const Bitmap<Pixel>& b,
               std::ostream& os) {
  const int w = r.AskWidth();
  const int h = r.AskHeight();
  PIXKIT_ASSERT(w==g.AskWidth() && h==g.AskHeight());
  PIXKIT_ASSERT(w==b.AskWidth() && h==b.AskHeight());
  WriteHeader(os, '6', w, h);

  const Pixel* const* fr = r.AskFrame();
  const Pixel* const* fg = g.AskFrame();
  const Pixel* const* fb = b.AskFrame();
  std::vector<Pixel> row(size_t(3) * size_t(w));
  for (int y = 0; y < h; y++) {
    Pixel* p = row.data();
    for (int x = 0; x < w; x++) {
      *p++ = fr[y][x];
      *p++ = fg[y][x];
      *p++ = fb[y][x];
    }
    os.write(reinterpret_cast<const char*>(row.data()), std::streamsize(row.size()));
  }
}

void FileWriter_PPM::Write(const Image<Pixel>& img, std::ostream& os) const {
  switch (img.AskParam().colorspace) {
    case Colorspace_RGB:
      if (d_rgb_as_greyscale)
        WritePPM5(img.AskBitmap(1), os);
      else
        WritePPM6(img.AskBitmap(0), img.AskBitmap(1), img.AskBitmap(2), os);
      break;
    case Colorspace_Greyscale:
      if (d_greyscale_as_rgb)
        WritePPM6(img.AskBitmap(0), img.AskBitmap(0), img.AskBitmap(0), os);
      else
        WritePPM5(img.AskBitmap(0), os);
      break;
    case Colorspace_YUV:
      PIXKIT_ASSERT_MSG(d_yuv_as_greyscale, "cannot save YUV as PPM in RGB colorspace");
      WritePPM5(img.AskBitmap(0), os);
      break;
    default:
      PIXKIT_ASSERT_MSG(0, "cannot save this colorspace as PPM file");
  }
}

// A new file, or one of the caller's own that has no other name, is written under a temporary
// name beside it and renamed when complete, so that a failed write never leaves a partial file
// (nor destroys the previous one). Any other name is written in place as a plain write would:
// a rename would cut the other links, replace a link instead of following it under the
// kernel's rules, give another user's file a new owner, lose a group, a mode or extended
// attributes that a new file cannot have, or need a directory the caller cannot write. A
// failed write in place removes only what the shared output-file rule allows.
void FileWriter_PPM::Write(const Image<Pixel>& img, const char* filename) const {
  if (!WriteReplacing(*this, img, filename)) WriteInPlace(*this, img, filename);
}

void WritePPM(const Image<Pixel>& img, const char* filename) {
  FileWriter_PPM writer;
  writer.SetYUVAsGreyscale(true);
  writer.Write(img, filename);
}

void WritePPM(const Image<Pixel>& img, std::ostream& os) { FileWriter_PPM().Write(img, os); }

void ReadImage_PPM(Image<Pixel>& img, std::istream& is) {
  char line[c_LineLen] = "";

  // A first line that cannot be read at all (a file that did not open) reads as empty.
  is.getline(line, c_LineLen);
  if (strlen(line) != 2 || line[0] != 'P') ThrowError("input is not a PPM format file");
  const bool rgb = line[1] == '6';
  if (line[1] != '5' && !rgb) ThrowError("input is not a type 5 or type 6 PPM format file");

  ReadContentLine(is, line);
  long long w, h;
  if (!ParseSize(line, w, h)) ThrowError("PPM size line does not hold a width and a height");
  if (w < 1 || h < 1 || w > c_MaxSize || h > c_MaxSize) {
    char text[c_MaxTextLen + 1];
    snprintf(text, sizeof text, "PPM image size %lld x %lld is outside 1 to %lld", w, h, c_MaxSize);
    ThrowError(text);
  }

  ReadContentLine(is, line);
  if (strtol(line, nullptr, 10) != 255)
    ThrowError("cannot read PPM file with maximum pixel-value != 255");

  ImageParam p = img.AskParam();
  p.width = int(w);
  p.height = int(h);
  p.colorspace = rgb ? Colorspace_RGB : Colorspace_Greyscale;
  img.Create(p);
  // The file has no alpha; a plane the description asks for is made opaque, not left unset.
  if (p.has_alpha) Clear(img.AskBitmap(Bitmap_Alpha), Pixel(255));

  if (!rgb) {
    Pixel* const* f = img.AskFrameY();
    for (int y = 0; y < h; y++) is.read(reinterpret_cast<char*>(f[y]), w);
  } else {
    Pixel* const* fr = img.AskFrameR();
    Pixel* const* fg = img.AskFrameG();
    Pixel* const* fb = img.AskFrameB();
    std::vector<Pixel> row(size_t(3) * size_t(w));
    for (int y = 0; y < h && is; y++) {
      is.read(reinterpret_cast<char*>(row.data()), std::streamsize(row.size()));
      const Pixel* q = row.data();
      for (int x = 0; x < w; x++) {
        fr[y][x] = *q++;
        fg[y][x] = *q++;
        fb[y][x] = *q++;
      }
    }
  }
  if (!is) {
    img.Release();
    ThrowError("PPM raster is cut short");
  }
}

void ReadImage_PPM(Image<Pixel>& img, const char* filename) {
  std::ifstream is(filename, std::ios::in | std::ios::binary);
  ReadImage_PPM(img, is);
}

bool IsBlankLine(const char* s) {
  for (; *s; s++)
    if (!isspace(static_cast<unsigned char>(*s))) return false;
  return true;
}

}  // namespace pixkit
