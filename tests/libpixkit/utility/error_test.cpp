#include "libpixkit/utility/error.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

using namespace pixkit;

namespace {

std::string Text(const Excpt_Base& e, int maxChars) {
  std::string buf(size_t(maxChars), '#');
  e.GetText(buf.data(), maxChars);
  return std::string(buf.c_str());
}

// Captures what the standard display writes, with stdout and stderr in the order they appear.
struct StreamCapture {
  std::ostringstream both;
  std::streambuf* old_out = std::cout.rdbuf(both.rdbuf());
  std::streambuf* old_err = std::cerr.rdbuf(both.rdbuf());
  ~StreamCapture() {
    std::cout.rdbuf(old_out);
    std::cerr.rdbuf(old_err);
  }
};

}  // namespace

TEST(ExceptionText, IsCopiedWholeWhenItFitsAndCutWithEllipsisOtherwise) {
  Excpt_Text nine(ErrSev_Error, "123456789");
  EXPECT_EQ(Text(nine, 10), "123456789");
  EXPECT_EQ(nine.GetText(std::string(10, ' ').data(), 10), 9);

  Excpt_Text ten(ErrSev_Error, "1234567890");
  char buf[10];
  EXPECT_EQ(ten.GetText(buf, 10), 10);
  EXPECT_STREQ(buf, "12345 ...");

  Excpt_Text empty(ErrSev_Warning);
  char big[32];
  EXPECT_EQ(empty.GetText(big, 32), 19);
  EXPECT_STREQ(big, "<unspecified error>");
}

TEST(ExceptionText, AcceptsExactlyTheMaximumLengthAndAppends) {
  std::string max(c_MaxTextLen, 'x');
  Excpt_Text e(ErrSev_Error, max.c_str());
  char buf[1000];
  EXPECT_EQ(e.GetText(buf, 1000), c_MaxTextLen);

  Excpt_Text a(ErrSev_Error, "abc");
  a.AppendText("def");
  EXPECT_EQ(Text(a, 100), "abcdef");
  a.SetText("x");
  EXPECT_EQ(Text(a, 100), "x");
}

TEST(ExceptionTextDeathTest, ProgrammingErrorsStopTheProcess) {
  std::string over(c_MaxTextLen + 1, 'x');
  EXPECT_DEATH(Excpt_Text(ErrSev_Error, over.c_str()), "strlen\\(text\\) <= c_MaxTextLen");
  EXPECT_DEATH(
      {
        Excpt_Text e(ErrSev_Error, std::string(c_MaxTextLen, 'x').c_str());
        e.AppendText("y");
      },
      "strlen\\(text\\)\\+strlen\\(d_text\\) <= c_MaxTextLen");
  EXPECT_DEATH(Excpt_Text(ErrSev_Note, "n"), "m_severity != ErrSev_Note");
  EXPECT_DEATH(
      {
        Excpt_Text e(ErrSev_Error);
        char buf[19];
        e.GetText(buf, 19);
      },
      "maxChars > strlen\\(notext\\)");
  EXPECT_DEATH(MessageDisplay::SetStandardDisplay(nullptr), "disp");
}

TEST(ExceptionText, AssertionAndNotImplementedFormatTheirSource) {
  Excpt_Assertion a("x > 0", "a/b.cpp", "void f(int)", 42);
  EXPECT_EQ(a.m_severity, ErrSev_Assertion);
  EXPECT_EQ(Text(a, 1000), "file 'a/b.cpp', 'void f(int)', line 42 (x > 0).\n");

  Excpt_NotImplemented n("c.cpp", 7);
  EXPECT_EQ(n.m_severity, ErrSev_Critical);
  EXPECT_EQ(Text(n, 1000), "NOT-IMPLEMENTED-YET point reached in file 'c.cpp', line 7.\n");

  try {
    PIXKIT_ASSERT_MSG(1 == 2, "no bitmap-provider attached to bitmap");
    FAIL() << "did not throw";
  } catch (const Excpt_Text& e) {
    std::string t = Text(e, 1000);
    EXPECT_NE(t.find("(no bitmap-provider attached to bitmap).\n"), std::string::npos) << t;
    EXPECT_EQ(t.rfind("file 'tests/libpixkit/utility/error_test.cpp', '", 0), 0u) << t;
  }
}

TEST(ShortNameForMessage, ShowsControlCharactersEscapedAndStaysWithinItsLength) {
  const struct {
    std::string name, shown;
  } cases[] = {
      {"plain/name.yuv", "plain/name.yuv"},
      {"miss\ning\033[31mRED.mpg", "miss\\ning\\033[31mRED.mpg"},
      {"\a\b\t\v\f\r\x7f\x01", "\\a\\b\\t\\v\\f\\r\\177\\001"},
      // UTF-8 passes, its encoded C1 controls and bytes that are no UTF-8 do not.
      {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
      {"csi\xc2\x9b" "2J latin\xe9 cut\xe2\x82", "csi\\302\\2332J latin\\351 cut\\342\\202"},
  };
  for (const auto& c : cases) EXPECT_EQ(ShortNameForMessage(c.name), c.shown) << c.shown;

  const std::string long_tail(297, 'x');
  EXPECT_EQ(ShortNameForMessage(std::string(300, 'x')), std::string(300, 'x'));
  EXPECT_EQ(ShortNameForMessage("y" + std::string(300, 'x')), "..." + long_tail);
  // Escapes count at their shown length and are never cut apart.
  std::string newlines;
  for (int i = 0; i < 148; i++) newlines += "\\n";
  EXPECT_EQ(ShortNameForMessage(std::string(400, '\n')), "..." + newlines);
  std::string escapes;
  for (int i = 0; i < 73; i++) escapes += "\\033";
  EXPECT_EQ(ShortNameForMessage(std::string(200, '\033') + "end"), "..." + escapes + "end");
}

TEST(MessageDisplay, WritesPrefixTextAndLineEndAfterFlushingStdout) {
  const struct {
    ErrorSeverity sev;
    const char* expected;
  } cases[] = {
      {ErrSev_Note, "Note: hi\n"},
      {ErrSev_Warning, "Warning: hi\n"},
      {ErrSev_Error, "Error: hi\n"},
      {ErrSev_Critical, "CRITICAL ERROR: hi\n"},
      {ErrSev_Assertion, "ASSERTION FAILED: hi\n"},
      {ErrorSeverity(7), "hi\n"},
  };
  for (const auto& c : cases) {
    StreamCapture cap;
    MessageDisplay::Show(c.sev, "hi");
    EXPECT_EQ(cap.both.str(), c.expected);
  }

  StreamCapture cap;
  std::cout << "before ";
  MessageDisplay::Show(Excpt_Text(ErrSev_Error, "broken"));
  EXPECT_EQ(cap.both.str(), "before Error: broken\n");
}

TEST(MessageDisplay, AssertionMessageEndsInAnEmptyLine) {
  StreamCapture cap;
  MessageDisplay::Show(Excpt_Assertion("c", "f.cpp", "g()", 1));
  EXPECT_EQ(cap.both.str(), "ASSERTION FAILED: file 'f.cpp', 'g()', line 1 (c).\n\n");
}

TEST(MessageDisplay, AReplacedStandardDisplayReceivesEverything) {
  struct Recorder : MessageDisplay {
    std::string seen;
    void ShowMessage(ErrorSeverity s, const char* t) override {
      seen += std::to_string(int(s)) + t;
    }
    void ShowException(const Excpt_Base& e) override {
      char b[100];
      e.GetText(b, 100);
      seen += "E" + std::string(b);
    }
  } rec;
  static MessageDisplay_cerr standard;  // outlives the test: it stays the standard display
  MessageDisplay::SetStandardDisplay(&rec);
  MessageDisplay::Show(ErrSev_Warning, "w");
  MessageDisplay::Show(Excpt_Text(ErrSev_Error, "x"));
  MessageDisplay::SetStandardDisplay(&standard);
  EXPECT_EQ(rec.seen, "1wEx");
}
