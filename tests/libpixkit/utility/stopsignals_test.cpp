// The stop-signal unit and the output files built on it: a stop signal removes only what the
// run wrote, once, and there is one owner of the signals at a time.
#include "libpixkit/utility/stopsignals.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "libpixkit/fileio/temp_dir.h"
#include "libpixkit/utility/outputfile.h"

namespace {

// Called after every removal of a file by name in this test program.
std::function<void(const char*)> g_afterUnlink;

}  // namespace

// Stands in for the C library's unlink in this program, so that a test can act at the moment
// a name is removed.
extern "C" int unlink(const char* path) {
  const int result = int(syscall(SYS_unlink, path));
  if (g_afterUnlink) g_afterUnlink(path);
  return result;
}

namespace {

using pixkit::OutputFile;
using pixkit::RemoveOnStop;

TEST(StopSignals, OneOwnerAtATime) {
  EXPECT_DEATH(
      {
        RemoveOnStop first;
        RemoveOnStop second;
      },
      "one RemoveOnStop at a time");
  // One after the other is fine.
  { RemoveOnStop first; }
  { RemoveOnStop second; }
}

// A failed run removes its file and forgets it as one step: a stop signal that comes meanwhile
// must not remove the name again, by then perhaps the file of another program.
TEST(StopSignals, AFileRemovedOnFailureIsNotRemovedAgainBySignal) {
  TempDir dir;
  const std::string name = dir.Path() + "/records.bin";
  EXPECT_EXIT(
      {
        OutputFile file;
        if (!file.Open(name) || !file.Write("abc", 3)) std::_Exit(3);
        g_afterUnlink = [&](const char* path) {
          if (name != path) return;
          g_afterUnlink = nullptr;
          std::ofstream(name) << "another program's";
          raise(SIGTERM);
        };
      },
      testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(ReadFile(name), "another program's");
}

}  // namespace
