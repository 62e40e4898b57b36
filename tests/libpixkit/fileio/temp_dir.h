// A private directory per test for the files the file I/O tests write; removed with its
// contents at the end of the test.
#ifndef TESTS_LIBPIXKIT_FILEIO_TEMP_DIR_H
#define TESTS_LIBPIXKIT_FILEIO_TEMP_DIR_H

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quillmere-test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) d_path = buf.data();
    EXPECT_FALSE(d_path.empty()) << "cannot create a temporary directory";
  }
  ~TempDir() {
    for (const std::string& f : Files()) unlink((d_path + "/" + f).c_str());
    rmdir(d_path.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // A new empty file made with mkstemp.
  std::string NewFile(const std::string& stem = "f") {
    std::string tmpl = d_path + "/" + stem + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    const int fd = mkstemp(buf.data());
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    return buf.data();
  }

  std::string NewFile(const std::string& stem, const std::string& content) {
    std::string name = NewFile(stem);
    std::ofstream(name, std::ios::binary) << content;
    return name;
  }

  const std::string& Path() const { return d_path; }

  // Names of the entries, without "." and "..".
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(d_path.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      closedir(d);
    }
    return names;
  }

 private:
  std::string d_path;
};

inline std::string ReadFile(const std::string& name) {
  std::ifstream is(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(is), std::istreambuf_iterator<char>());
}

#endif
