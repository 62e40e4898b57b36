#include "libpixkit/fileio/ppm.h"

#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "libpixkit/fileio/temp_dir.h"

#include "tests/support/images.h"

using namespace pixkit;

namespace {

using testsupport::Param;

// Plane i gets the samples base[i] + 0, 1, 2, ... row by row.
Image<Pixel> Numbered(const ImageParam& p, std::vector<int> base) {
  Image<Pixel> img;
  img.Create(p);
  for (size_t i = 0; i < base.size(); i++) {
    Bitmap<Pixel>& bm = img.AskBitmap(int(i));
    Pixel* const* f = bm.AskFrame();
    for (int y = 0; y < bm.AskHeight(); y++)
      for (int x = 0; x < bm.AskWidth(); x++) f[y][x] = Pixel(base[i] + y * bm.AskWidth() + x);
  }
  return img;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += char(v);
  return s;
}

std::string TextOf(const Excpt_Base& e) {
  char buf[1000];
  e.GetText(buf, sizeof buf);
  return buf;
}

// The exception text of f(), or "" when it throws nothing.
template <class F>
std::string Thrown(F f, ErrorSeverity severity) {
  try {
    f();
  } catch (const Excpt_Text& e) {
    EXPECT_EQ(e.m_severity, severity);
    return TextOf(e);
  }
  return "";
}

std::vector<Pixel> PlaneOf(const Bitmap<Pixel>& bm) {
  std::vector<Pixel> out;
  const Pixel* const* f = bm.AskFrame();
  for (int y = 0; y < bm.AskHeight(); y++) out.insert(out.end(), f[y], f[y] + bm.AskWidth());
  return out;
}

// Runs in a child process, as an unprivileged user when asked and started as root: files may
// grow to 1000 bytes only. Exit code 3 when the write fails with the expected error, whose text
// ends in tail.
[[noreturn]] void WriteWithFileSizeLimit(const Image<Pixel>& img, const std::string& name,
                                         const std::string& tail = "",
                                         bool unprivileged = false) {
  if (unprivileged && geteuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
    std::_Exit(4);
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit = {1000, 1000};
  setrlimit(RLIMIT_FSIZE, &limit);
  try {
    WritePPM(img, name.c_str());
  } catch (const Excpt_Text& e) {
    const bool expected = e.m_severity == ErrSev_Error &&
                          TextOf(e) == "cannot write PPM file '" + ShortNameForMessage(name) +
                                           "' (File too large)" + tail;
    std::_Exit(expected ? 3 : 4);
  }
  std::_Exit(5);
}

// Runs in a child process, as an unprivileged user when started as root. Exit code 0 when the
// write succeeds, 3 when it throws.
[[noreturn]] void WriteUnprivileged(const Image<Pixel>& img, const std::string& name) {
  if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
    std::_Exit(4);
  try {
    WritePPM(img, name.c_str());
  } catch (const Excpt_Text&) {
    std::_Exit(3);
  }
  std::_Exit(0);
}

// An ACL as the kernel keeps it in an extended attribute: little-endian version 2, then
// (tag, permissions, id) for the owner, another user, the group, the mask and the others.
std::string Acl(int owner, int group, int other, bool extraUser) {
  std::string acl = Bytes({2, 0, 0, 0});
  for (int tag : {0x01, 0x02, 0x04, 0x10, 0x20}) {
    if (!extraUser && (tag == 0x02 || tag == 0x10)) continue;
    const int perm = tag <= 0x02 ? owner : tag == 0x20 ? other : group;
    const int id = tag == 0x02 ? 65534 : -1;
    acl += Bytes({tag, 0, perm, 0, id & 255, (id >> 8) & 255, (id >> 16) & 255, (id >> 24) & 255});
  }
  return acl;
}

ino_t InodeOf(const std::string& name) {
  struct stat st;
  EXPECT_EQ(stat(name.c_str(), &st), 0) << name;
  return st.st_ino;
}

}  // namespace

TEST(WritePPM, WritesHeaderAndRasterByteExact) {
  ImageParam bordered = Param(3, 2, Colorspace_RGB);
  bordered.border = 2;
  bordered.halign = 8;
  bordered.zero_x = 1;  // rows still start at the zero position

  Image<Pixel> tenTwenty = Numbered(Param(2, 1, Colorspace_Greyscale), {10});
  tenTwenty.AskFrameY()[0][1] = 20;

  FileWriter_PPM plain, rgbAsGrey, greyAsRGB, yuvAsGrey;
  rgbAsGrey.SetRGBAsGreyscale(true);
  greyAsRGB.SetGreyscaleAsRGB(true);
  yuvAsGrey.SetYUVAsGreyscale(true);
  const struct {
    const FileWriter_PPM& writer;
    Image<Pixel> img;
    std::string file;
  } cases[] = {
      {plain, tenTwenty, "P5\n2 1\n255\n" + Bytes({10, 20})},
      {plain, Numbered(Param(1, 1, Colorspace_RGB), {1, 2, 3}),
       "P6\n1 1\n255\n" + Bytes({1, 2, 3})},
      {plain, Numbered(bordered, {0, 10, 20}),
       "P6\n3 2\n255\n" +
           Bytes({0, 10, 20, 1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24, 5, 15, 25})},
      {rgbAsGrey, Numbered(Param(2, 1, Colorspace_RGB), {1, 5, 9}),
       "P5\n2 1\n255\n" + Bytes({5, 6})},
      {greyAsRGB, Numbered(Param(2, 1, Colorspace_Greyscale), {7}),
       "P6\n2 1\n255\n" + Bytes({7, 7, 7, 8, 8, 8})},
      {yuvAsGrey, Numbered(Param(2, 1, Colorspace_YUV), {30, 1, 2}),
       "P5\n2 1\n255\n" + Bytes({30, 31})},
      {plain, Numbered(Param(12, 1, Colorspace_Greyscale), {0}),
       "P5\n12 1\n255\n" + Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11})},
  };
  for (const auto& c : cases) {
    std::ostringstream os;
    c.writer.Write(c.img, os);
    EXPECT_EQ(os.str(), c.file);
  }
  EXPECT_EQ(cases[0].file.size(), 13u);

  std::ostringstream os;
  WritePPM(cases[1].img, os);
  EXPECT_EQ(os.str(), cases[1].file);
}

TEST(WritePPM, RefusesUnsuitableImagesBeforeWritingAnything) {
  const Image<Pixel> yuv = Numbered(Param(2, 2, Colorspace_YUV), {1, 2, 3});
  const Image<Pixel> hsv = Numbered(Param(2, 2, Colorspace_HSV), {1, 2, 3});
  FileWriter_PPM all;
  all.SetYUVAsGreyscale(true);
  all.SetRGBAsGreyscale(true);
  all.SetGreyscaleAsRGB(true);
  std::ostringstream os;
  EXPECT_NE(Thrown([&] { WritePPM(yuv, os); }, ErrSev_Assertion)
                .find("(cannot save YUV as PPM in RGB colorspace)"),
            std::string::npos);
  EXPECT_NE(Thrown([&] { all.Write(hsv, os); }, ErrSev_Assertion)
                .find("(cannot save this colorspace as PPM file)"),
            std::string::npos);

  Bitmap<Pixel> a, b, wide;
  a.Create(2, 2);
  b.Create(2, 3);
  wide.Create(3, 2);
  EXPECT_NE(Thrown([&] { WritePPM6(a, b, a, os); }, ErrSev_Assertion)
                .find("(w==g.AskWidth() && h==g.AskHeight())"),
            std::string::npos);
  EXPECT_NE(Thrown([&] { WritePPM6(a, a, wide, os); }, ErrSev_Assertion)
                .find("(w==b.AskWidth() && h==b.AskHeight())"),
            std::string::npos);
  EXPECT_NE(Thrown([&] { WritePPM5(Bitmap<Pixel>(), os); }, ErrSev_Assertion)
                .find("no bitmap-provider attached to bitmap"),
            std::string::npos);
  EXPECT_EQ(os.str(), "");
}

TEST(WritePPM, FileAppearsOnlyWhenCompletelyWritten) {
  TempDir dir;
  const std::string name = dir.Path() + "/bg0000.ppm";
  const Image<Pixel> yuv = Numbered(Param(2, 1, Colorspace_YUV), {40, 1, 2});

  WritePPM(yuv, name.c_str());  // P5 of the Y plane
  EXPECT_EQ(ReadFile(name), "P5\n2 1\n255\n" + Bytes({40, 41}));
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"bg0000.ppm"});
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  // A replaced file keeps its mode; a refused image leaves the old file as it was.
  ASSERT_EQ(chmod(name.c_str(), 0640), 0);
  WritePPM(Numbered(Param(1, 1, Colorspace_RGB), {1, 2, 3}), name.c_str());
  EXPECT_EQ(ReadFile(name), "P6\n1 1\n255\n" + Bytes({1, 2, 3}));
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_THROW(WritePPM(Numbered(Param(1, 1, Colorspace_HSV), {1, 2, 3}), name.c_str()),
               Excpt_Assertion);
  EXPECT_EQ(ReadFile(name), "P6\n1 1\n255\n" + Bytes({1, 2, 3}));
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"bg0000.ppm"});

  // So does a file beyond 2 GiB (sparse: it takes no disk space).
  ASSERT_EQ(truncate(name.c_str(), off_t(3) << 30), 0);
  ASSERT_EQ(chmod(name.c_str(), 0604), 0);
  WritePPM(yuv, name.c_str());
  EXPECT_EQ(ReadFile(name), "P5\n2 1\n255\n" + Bytes({40, 41}));
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0604u);

  // Through a symbolic link the named file is replaced and the link stays.
  const std::string link = dir.Path() + "/link.ppm";
  ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0);
  WritePPM(yuv, link.c_str());
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(name), "P5\n2 1\n255\n" + Bytes({40, 41}));
  EXPECT_EQ(dir.Files().size(), 2u);

  // The longest name a directory takes still works: the temporary name is never longer.
  const std::string longest = dir.Path() + "/" + std::string(251, 'n') + ".ppm";
  WritePPM(yuv, longest.c_str());
  EXPECT_EQ(ReadFile(longest), "P5\n2 1\n255\n" + Bytes({40, 41}));
  EXPECT_EQ(dir.Files().size(), 3u);
}

// Where renaming a new file over the name would change more than the content, the file itself
// is written, as a plain write would.
TEST(WritePPM, NamesSharedWithOthersAreWrittenInPlace) {
  TempDir dir;
  const Image<Pixel> yuv = Numbered(Param(2, 1, Colorspace_YUV), {40, 1, 2});
  const std::string written = "P5\n2 1\n255\n" + Bytes({40, 41});
  const std::string name = dir.NewFile("bg", "old");
  const ino_t inode = InodeOf(name);

  // Both names of a file with two links see the new content.
  const std::string other = dir.Path() + "/other.ppm";
  ASSERT_EQ(link(name.c_str(), other.c_str()), 0);
  WritePPM(yuv, name.c_str());
  EXPECT_EQ(ReadFile(other), written);
  EXPECT_EQ(InodeOf(name), inode);
  ASSERT_EQ(unlink(other.c_str()), 0);

  // A symbolic link is followed by the kernel's rules; the file it names is written.
  const std::string link = dir.Path() + "/link.ppm";
  ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0);
  std::ofstream(name, std::ios::binary) << "old";
  WritePPM(yuv, link.c_str());
  EXPECT_EQ(ReadFile(name), written);
  EXPECT_EQ(InodeOf(name), inode);
  ASSERT_EQ(unlink(link.c_str()), 0);

  // A writable file in a directory its user cannot write.
  ASSERT_EQ(chmod(name.c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
  std::ofstream(name, std::ios::binary) << "old";
  EXPECT_EXIT(WriteUnprivileged(yuv, name), testing::ExitedWithCode(0), "");
  ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);
  EXPECT_EQ(ReadFile(name), written);
  EXPECT_EQ(InodeOf(name), inode);

  if (geteuid() == 0) {  // another user's file keeps its owner
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    WritePPM(yuv, name.c_str());
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  EXPECT_EQ(dir.Files().size(), 1u);
}

// A file replaced by a new one keeps what a plain write would keep, or is written in place.
TEST(WritePPM, KeepsTheGroupModeAndAttributesAPlainWriteKeeps) {
  TempDir dir;
  const Image<Pixel> yuv = Numbered(Param(2, 1, Colorspace_YUV), {40, 1, 2});
  const std::string written = "P5\n2 1\n255\n" + Bytes({40, 41});
  const std::string name = dir.NewFile("bg", "old"), sub = dir.Path() + "/acl";
  const std::string acl = Acl(6, 4, 0, true), defaults = Acl(6, 6, 4, false);
  const group* users = getgrnam("users");
  struct stat st;
  // A group of the caller's (here given by root), with a mode that shows it.
  if (!users || chown(name.c_str(), uid_t(-1), users->gr_gid) != 0 || chmod(name.c_str(), 0640))
    GTEST_SKIP() << "this machine does not let the test give a file the group 'users'";
  WritePPM(yuv, name.c_str());
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, users->gr_gid);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(name), written);
  // A writer who is no member of the group could not give it to a new file: written in place.
  if (geteuid() == 0) {
    const ino_t inode = InodeOf(name);
    ASSERT_EQ(chown(name.c_str(), 65534, users->gr_gid), 0);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
    EXPECT_EXIT(WriteUnprivileged(yuv, name), testing::ExitedWithCode(0), "");
    ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, users->gr_gid);
    EXPECT_EQ(st.st_ino, inode);
    ASSERT_EQ(chown(name.c_str(), 0, users->gr_gid), 0);
  }

  // Extended attributes, an ACL among them, stay with the file, which is written in place.
  if (setxattr(name.c_str(), "user.origin", "camera", 6, 0) != 0 ||
      setxattr(name.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      mkdir(sub.c_str(), 0700) != 0 ||
      setxattr(sub.c_str(), "system.posix_acl_default", defaults.data(), defaults.size(), 0))
    GTEST_SKIP() << "this machine does not let the test set extended attributes and ACLs";
  const ino_t inode = InodeOf(name);
  WritePPM(yuv, name.c_str());
  EXPECT_EQ(InodeOf(name), inode);
  EXPECT_EQ(getxattr(name.c_str(), "user.origin", nullptr, 0), 6);
  EXPECT_EQ(getxattr(name.c_str(), "system.posix_acl_access", nullptr, 0), ssize_t(acl.size()));

  // In a folder with a default ACL, that ACL and not the umask sets a new file's mode.
  const mode_t mask = umask(022);
  WritePPM(yuv, (sub + "/new.ppm").c_str());
  umask(mask);
  ASSERT_EQ(stat((sub + "/new.ppm").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
  unlink((sub + "/new.ppm").c_str());
  rmdir(sub.c_str());
}

// A file bound over the name (a mount point of its own) cannot be replaced, only written.
TEST(WritePPM, AFileMountedOverTheNameIsWrittenInPlace) {
  TempDir dir;
  const Image<Pixel> yuv = Numbered(Param(2, 1, Colorspace_YUV), {40, 1, 2});
  const std::string written = "P5\n2 1\n255\n" + Bytes({40, 41});
  const std::string source = dir.NewFile("source", "old"), target = dir.NewFile("bg", "old");
  // The mount lives in a mount namespace of the child's own, so it ends with the child.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      _exit(7);
    try {
      WritePPM(yuv, target.c_str());
    } catch (const Excpt_Text&) {
      _exit(3);
    }
    _exit(ReadFile(target) == written ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 7) GTEST_SKIP() << "binding a file over another needs root";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(source), written);
  EXPECT_EQ(dir.Files().size(), 2u);
}

TEST(WritePPM, FailuresNameTheFileAndLeaveNothingBehind) {
  TempDir dir;
  const Image<Pixel> rgb = Numbered(Param(64, 64, Colorspace_RGB), {1, 2, 3});

  const std::string missing = dir.Path() + "/no/such/dir/bg0001.ppm";
  EXPECT_EQ(Thrown([&] { WritePPM(rgb, missing.c_str()); }, ErrSev_Error),
            "cannot create PPM file '" + missing + "' (No such file or directory)");
  EXPECT_TRUE(dir.Files().empty());

  // A name too long for the message keeps its end and the reason.
  const std::string tooLong = dir.Path() + "/" + std::string(600, 'n') + ".ppm";
  const std::string text = Thrown([&] { WritePPM(rgb, tooLong.c_str()); }, ErrSev_Error);
  const std::string tail = " PPM file '..." + tooLong.substr(tooLong.size() - 297) +
                           "' (File name too long)";
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_TRUE(dir.Files().empty());

  EXPECT_EQ(Thrown([&] { WritePPM(rgb, "/dev/full"); }, ErrSev_Error),
            "cannot write PPM file '/dev/full' (No space left on device)");
  struct stat st;
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // A disk that fills up while the raster is written: the earlier file survives whole.
  const std::string name = dir.Path() + "/bg0002.ppm";
  const std::string before = "P5\n1 1\n255\n" + Bytes({9});
  std::ofstream(name, std::ios::binary) << before;
  EXPECT_EXIT(WriteWithFileSizeLimit(rgb, name), testing::ExitedWithCode(3), "");
  EXPECT_EQ(ReadFile(name), before);
  EXPECT_EQ(dir.Files(), std::vector<std::string>{"bg0002.ppm"});
}

// A file written in place that the failure may not, or cannot, remove keeps the part written:
// the message says so.
TEST(WritePPM, AFailedWriteInPlaceSaysTheFileIsLeftIncomplete) {
  TempDir dir;
  const Image<Pixel> rgb = Numbered(Param(64, 64, Colorspace_RGB), {1, 2, 3});
  const std::string name = dir.NewFile("bg", "old"), other = dir.Path() + "/other.ppm";
  const std::string left = "; '" + name + "' is left incomplete";
  // A file of two names, the other one not the run's to cut.
  ASSERT_EQ(link(name.c_str(), other.c_str()), 0);
  EXPECT_EXIT(WriteWithFileSizeLimit(rgb, name, left), testing::ExitedWithCode(3), "");
  EXPECT_EQ(ReadFile(other).size(), 1000u);
  ASSERT_EQ(unlink(other.c_str()), 0);

  // A name too long to be told twice in a message is told once.
  const std::string sub = dir.Path() + "/" + std::string(250, 's');
  const std::string longName = sub + "/" + std::string(250, 'n');
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_EQ(link(name.c_str(), longName.c_str()), 0);
  EXPECT_EXIT(WriteWithFileSizeLimit(rgb, longName, "; it is left incomplete"),
              testing::ExitedWithCode(3), "");
  ASSERT_EQ(unlink(longName.c_str()), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);

  // The writer's own file in a folder it cannot write, which refuses the removal as well.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
  EXPECT_EXIT(WriteWithFileSizeLimit(rgb, name, left, true), testing::ExitedWithCode(3), "");
  ASSERT_EQ(chmod(dir.Path().c_str(), 0700), 0);
  EXPECT_EQ(ReadFile(name).size(), 1000u);
}

TEST(ReadImage_PPM, ReadsHeadersWithCommentsAndBlankLines) {
  const std::string raster = Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
  std::istringstream p6("P6\n# made by hand\n\n3 2\n# still the header\n255\n" + raster);
  Image<Pixel> img;
  ReadImage_PPM(img, p6);
  EXPECT_EQ(img.AskParam().colorspace, Colorspace_RGB);
  EXPECT_EQ(img.AskWidth(), 3);
  EXPECT_EQ(img.AskHeight(), 2);
  EXPECT_EQ(PlaneOf(img.AskBitmap(0)), (std::vector<Pixel>{1, 4, 7, 10, 13, 16}));
  EXPECT_EQ(PlaneOf(img.AskBitmap(1)), (std::vector<Pixel>{2, 5, 8, 11, 14, 17}));
  EXPECT_EQ(PlaneOf(img.AskBitmap(2)), (std::vector<Pixel>{3, 6, 9, 12, 15, 18}));

  // The description's other fields stay; an alpha plane it asks for becomes opaque.
  ImageParam p = Param(1, 1, Colorspace_YUV);
  p.border = 3;
  p.has_alpha = true;
  Image<Pixel> grey;
  grey.Create(p);
  const std::string longComment = "#" + std::string(98, 'c');  // 99 characters fit
  std::istringstream p5("P5\n" + longComment + "\n \t \n2 1\n\t\n255 \n" + Bytes({200, 100}));
  ReadImage_PPM(grey, p5);
  EXPECT_EQ(grey.AskParam().colorspace, Colorspace_Greyscale);
  EXPECT_EQ(grey.AskBitmap(0).AskBorder(), 3);
  EXPECT_EQ(PlaneOf(grey.AskBitmap(0)), (std::vector<Pixel>{200, 100}));
  EXPECT_EQ(PlaneOf(grey.AskBitmap(Bitmap_Alpha)), (std::vector<Pixel>{255, 255}));
}

TEST(ReadImage_PPM, ThrowsAClearErrorForEveryBadFile) {
  const char* notPPM = "input is not a PPM format file";
  const char* cutShort = "PPM header is cut short";
  const char* noSize = "PPM size line does not hold a width and a height";
  const char* rasterShort = "PPM raster is cut short";
  const struct {
    std::string file;
    std::string error;
  } cases[] = {
      {"", notPPM},
      {"P6 3 2 255\n" + std::string(18, 'x'), notPPM},
      {"P6\r\n3 2\r\n255\r\n" + std::string(18, 'x'), notPPM},
      {"PPM\n", notPPM},
      {"Q5\n", notPPM},
      {"P3\n3 2\n255\n", "input is not a type 5 or type 6 PPM format file"},
      {"P6\n3 2\n65535\n", "cannot read PPM file with maximum pixel-value != 255"},
      {"P6\n3 2\nmany\n", "cannot read PPM file with maximum pixel-value != 255"},
      {"P5", cutShort},
      {"P5\n", cutShort},
      {"P5\n# only comments\n\n   \n", cutShort},
      {"P5\n3 2\n", cutShort},
      {"P5\n3 2\n# comment", cutShort},
      {"P5\n#" + std::string(99, 'c') + "\n3 2\n255\n",
       "PPM header line is longer than 99 characters"},
      {"P5\nthree two\n255\n", noSize},
      {"P5\n3\n255\n", noSize},
      {"P5\n3 x\n255\n", noSize},
      {"P5\n0 2\n255\n", "PPM image size 0 x 2 is outside 1 to 32767"},
      {"P5\n-3 2\n255\n", "PPM image size -3 x 2 is outside 1 to 32767"},
      {"P5\n3 32768\n255\n", "PPM image size 3 x 32768 is outside 1 to 32767"},
      {"P5\n99999999999999999999999 1\n255\n",
       "PPM image size 9223372036854775807 x 1 is outside 1 to 32767"},
      {"P5\n3 2\n255", rasterShort},
      {"P5\n3 2\n255\n" + std::string(5, 'x'), rasterShort},
      {"P6\n3 2\n255\n" + std::string(17, 'x'), rasterShort},
  };
  for (const auto& c : cases) {
    std::istringstream is(c.file);
    Image<Pixel> img = Numbered(Param(2, 2, Colorspace_Greyscale), {0});
    EXPECT_EQ(Thrown([&] { ReadImage_PPM(img, is); }, ErrSev_Error), c.error) << c.file;
    if (c.error == rasterShort) {
      EXPECT_TRUE(img.IsEmpty());
    }
  }

  TempDir dir;
  Image<Pixel> img;
  const std::string missing = dir.Path() + "/missing.ppm";
  EXPECT_EQ(Thrown([&] { ReadImage_PPM(img, missing.c_str()); }, ErrSev_Error), notPPM);
}

TEST(ReadImage_PPM, ReadsBackWhatTheWriterWrote) {
  TempDir dir;
  std::mt19937 rng(12);
  for (Colorspace cs : {Colorspace_Greyscale, Colorspace_RGB}) {
    Image<Pixel> img;
    img.Create(Param(37, 23, cs));
    for (int i = 0; i < 3 && !img.AskBitmap(i).IsEmpty(); i++)
      for (int y = 0; y < 23; y++)
        for (int x = 0; x < 37; x++) img.AskBitmap(i).AskFrame()[y][x] = Pixel(rng());
    const std::string name = dir.Path() + "/rt.ppm";
    WritePPM(img, name.c_str());
    Image<Pixel> back;
    ReadImage_PPM(back, name.c_str());
    EXPECT_EQ(back.AskParam().colorspace, cs);
    for (int i = 0; i < 3; i++) {
      ASSERT_EQ(back.AskBitmap(i).IsEmpty(), img.AskBitmap(i).IsEmpty());
      if (!img.AskBitmap(i).IsEmpty()) {
        EXPECT_EQ(PlaneOf(back.AskBitmap(i)), PlaneOf(img.AskBitmap(i)));
      }
    }
  }
}

TEST(IsBlankLine, AcceptsOnlyWhiteSpace) {
  EXPECT_TRUE(IsBlankLine(""));
  EXPECT_TRUE(IsBlankLine(" \t\r\v\f"));
  EXPECT_FALSE(IsBlankLine("  x "));
  EXPECT_FALSE(IsBlankLine("\xa0"));  // a high byte is not white space
}
