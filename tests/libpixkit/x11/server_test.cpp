#include "libpixkit/x11/server.h"

#include <gtest/gtest.h>

#include <string>

#include "libpixkit/utility/error.h"
#include "tests/libpixkit/x11/xtest_support.h"

using namespace pixkit;

namespace {

// A caller's own server on a connection of its own, telling when it is deleted.
class OwnServer : public X11Server {
 public:
  OwnServer(const char* name, bool* deleted) : d_deleted(deleted) {
    d_display = XOpenDisplay(name);
    EXPECT_NE(d_display, nullptr) << name;
  }
  ~OwnServer() override {
    if (d_display) XCloseDisplay(d_display);
    *d_deleted = true;
  }
  Display* AskDisplay() override { return d_display; }

 private:
  Display* d_display;
  bool* d_deleted;
};

std::string Text(const Excpt_Base& e) {
  char buf[1000];
  e.GetText(buf, sizeof buf);
  return buf;
}

// Whether the connection is usable, by a round trip to the server.
bool Answers(Display* dpy) {
  return XSync(dpy, False) && XDefaultScreen(dpy) >= 0 && XServerVendor(dpy) != nullptr;
}

}  // namespace

TEST(X11ServerConnection, DefaultHandlesShareOneConnectionUntilTheLastGoes) {
  QUILLMERE_REQUIRE_XSERVER(x24, "QUILLMERE_X24");
  xtest::ScopedDisplayEnv env(x24.c_str());

  auto* first = new X11ServerConnection;
  auto* second = new X11ServerConnection;
  Display* dpy = first->AskDisplay();
  ASSERT_NE(dpy, nullptr);
  EXPECT_EQ(second->AskDisplay(), dpy);
  const int fd = ConnectionNumber(dpy);

  delete first;
  EXPECT_TRUE(Answers(second->AskDisplay()));  // still open for the second handle
  delete second;
  // The last handle closed the connection: its socket is gone from this process.
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);

  X11ServerConnection again;
  ASSERT_NE(again.AskDisplay(), nullptr);
  EXPECT_TRUE(Answers(again.AskDisplay()));
}

TEST(X11ServerConnection, AnUnreachableServerThrowsAndALaterAttemptTriesAgain) {
  QUILLMERE_REQUIRE_XSERVER(x24, "QUILLMERE_X24");
  for (const char* bad : {"unix:64999", static_cast<const char*>(nullptr)}) {
    xtest::ScopedDisplayEnv env(bad);
    try {
      X11ServerConnection conn;
      ADD_FAILURE() << "no exception for DISPLAY " << (bad ? bad : "unset");
    } catch (const Excpt_Text& e) {
      EXPECT_EQ(Text(e), "cannot open X-server connection");
      EXPECT_EQ(e.m_severity, ErrSev_Error);
    }
  }
  xtest::ScopedDisplayEnv env(x24.c_str());
  X11ServerConnection conn;
  EXPECT_NE(conn.AskDisplay(), nullptr);
}

TEST(X11ServerConnection, ACallersServerIsDeletedByItsLastHandle) {
  QUILLMERE_REQUIRE_XSERVER(x24, "QUILLMERE_X24");
  bool deleted = false;
  auto* own = new OwnServer(x24.c_str(), &deleted);
  {
    X11ServerConnection a(own);
    {
      X11ServerConnection b(own);
      EXPECT_EQ(b.AskDisplay(), own->AskDisplay());
      EXPECT_EQ(own->AskRefCount(), 2);
    }
    EXPECT_FALSE(deleted);
    EXPECT_TRUE(Answers(a.AskDisplay()));

    // The caller's server is not the shared default one.
    xtest::ScopedDisplayEnv env(x24.c_str());
    X11ServerConnection def;
    EXPECT_NE(def.AskDisplay(), a.AskDisplay());
  }
  EXPECT_TRUE(deleted);

  try {
    X11ServerConnection none(nullptr);
    ADD_FAILURE() << "no assertion";
  } catch (const Excpt_Assertion& e) {
    EXPECT_NE(Text(e).find(" (s).\n"), std::string::npos) << Text(e);
  }
}
