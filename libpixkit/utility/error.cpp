#include "libpixkit/utility/error.h"

#include <cstdio>
#include <cstring>
#include <iostream>

namespace pixkit {

namespace {

MessageDisplay_cerr cerr_display;
MessageDisplay* std_msgdisplay = &cerr_display;

const char* const c_Prefixes[] = {"Note: ", "Warning: ", "Error: ", "CRITICAL ERROR: ",
                                  "ASSERTION FAILED: "};

}  // namespace

Excpt_Base::Excpt_Base(ErrorSeverity severity) : m_severity(severity) {
  assert(m_severity != ErrSev_Note);
}

Excpt_Text::Excpt_Text(ErrorSeverity severity) : Excpt_Base(severity) { d_text[0] = 0; }

Excpt_Text::Excpt_Text(ErrorSeverity severity, const char* text) : Excpt_Base(severity) {
  d_text[0] = 0;
  SetText(text);
}

void Excpt_Text::SetText(const char* text) {
  assert(strlen(text) <= c_MaxTextLen);
  strcpy(d_text, text);
}

void Excpt_Text::AppendText(const char* text) {
  assert(strlen(text)+strlen(d_text) <= c_MaxTextLen);
  strcat(d_text, text);
}

int Excpt_Text::GetText(char* buffer, int maxCharsSigned) const {
  static const char notext[] = "<unspecified error>";
  const size_t maxChars = size_t(maxCharsSigned);  // lengths are compared unsigned
  const size_t len = strlen(d_text);
  if (len == 0) {
    assert(maxChars > strlen(notext));
    strcpy(buffer, notext);
    return int(strlen(notext));
  }
  if (len < maxChars) {
    memcpy(buffer, d_text, len + 1);
    return int(len);
  }
  memcpy(buffer, d_text, maxChars - 5);
  memcpy(buffer + maxChars - 5, " ...", 5);
  return maxCharsSigned;
}

Excpt_Assertion::Excpt_Assertion(const char* condition, const char* file, const char* function,
                                 int line)
    : Excpt_Text(ErrSev_Assertion) {
  char buf[1000];
  snprintf(buf, sizeof buf, "file '%s', '%s', line %d (%s).\n", file, function, line, condition);
  SetText(buf);
}

Excpt_NotImplemented::Excpt_NotImplemented(const char* file, int line)
    : Excpt_Text(ErrSev_Critical) {
  char buf[1000];
  snprintf(buf, sizeof buf, "NOT-IMPLEMENTED-YET point reached in file '%s', line %d.\n", file,
           line);
  SetText(buf);
}

std::string ShortNameForMessage(const std::string& name) {
  constexpr size_t c_Max = 300;
  if (name.size() <= c_Max) return name;
  return "..." + name.substr(name.size() - (c_Max - 3));
}

void MessageDisplay::Show(ErrorSeverity severity, const char* text) {
  assert(std_msgdisplay);
  std_msgdisplay->ShowMessage(severity, text);
}

void MessageDisplay::Show(const Excpt_Base& e) {
  assert(std_msgdisplay);
  std_msgdisplay->ShowException(e);
}

void MessageDisplay::SetStandardDisplay(MessageDisplay* disp) {
  assert(disp);
  std_msgdisplay = disp;
}

void MessageDisplay_cerr::ShowMessage(ErrorSeverity severity, const char* text) {
  std::cout.flush();
  if (severity >= 0 && severity <= 4) std::cerr << c_Prefixes[severity];
  std::cerr << text << std::endl;
}

void MessageDisplay_cerr::ShowException(const Excpt_Base& e) {
  char buf[1000];
  e.GetText(buf, 1000);
  ShowMessage(e.m_severity, buf);
}

}  // namespace pixkit
