#include "libpixkit/utility/error.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

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

namespace {

// The length of the character at name[i] when it may reach a terminal as it is: printable
// ASCII or a whole UTF-8 sequence other than an encoded C1 control (U+0080 to U+009F), which
// terminals obey as well. 0 for a byte that must be shown escaped.
size_t PrintableLength(const std::string& name, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(name[k]); };
  const unsigned char c = byte(i);
  if (c >= 0x20 && c < 0x7f) return 1;
  const size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3
                 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
  if (n == 0 || name.size() - i < n) return 0;
  for (size_t k = 1; k < n; k++)
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
  if (c == 0xc2 && byte(i + 1) < 0xa0) return 0;
  return n;
}

void AppendEscaped(std::string& out, unsigned char c) {
  static const char c_Letters[] = "abtnvfr";  // \a (7) to \r (13)
  if (c >= '\a' && c <= '\r') {
    out += '\\';
    out += c_Letters[c - '\a'];
    return;
  }
  char octal[5];
  snprintf(octal, sizeof octal, "\\%03o", unsigned(c));
  out += octal;
}

}  // namespace

std::string ShortNameForMessage(const std::string& name) {
  constexpr size_t c_Max = 300;
  // Control characters would move the cursor, clear lines or start escape sequences.
  std::string shown;
  std::vector<size_t> starts;  // where each character of the name begins in `shown`
  for (size_t i = 0; i < name.size();) {
    starts.push_back(shown.size());
    const size_t n = PrintableLength(name, i);
    if (n == 0) {
      AppendEscaped(shown, static_cast<unsigned char>(name[i]));
      i++;
    } else {
      shown.append(name, i, n);
      i += n;
    }
  }
  if (shown.size() <= c_Max) return shown;
  // The tail of the name tells files apart best; it is cut between characters.
  size_t k = 0;
  while (shown.size() - starts[k] > c_Max - 3) k++;
  return "..." + shown.substr(starts[k]);
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
