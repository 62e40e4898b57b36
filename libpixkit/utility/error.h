// Exceptions of the image library and the process-wide message sink.
// The library throws; only the driver turns exceptions into messages and exit codes.
#ifndef PIXKIT_UTILITY_ERROR_H
#define PIXKIT_UTILITY_ERROR_H

#ifdef NDEBUG
#error "plain assertions guard internal invariants and must stay active: do not define NDEBUG"
#endif
#include <cassert>
#include <string>

namespace pixkit {

enum ErrorSeverity {
  ErrSev_Note = 0,
  ErrSev_Warning = 1,
  ErrSev_Error = 2,
  ErrSev_Critical = 3,
  ErrSev_Assertion = 4
};

constexpr int c_MaxTextLen = 500;

class Excpt_Base {
 public:
  explicit Excpt_Base(ErrorSeverity severity);
  virtual ~Excpt_Base() = default;

  // Writes the text into buffer (at most maxChars characters with the terminating zero)
  // and returns the number of characters written.
  virtual int GetText(char* buffer, int maxChars) const = 0;

  ErrorSeverity m_severity;
};

class Excpt_Text : public Excpt_Base {
 public:
  explicit Excpt_Text(ErrorSeverity severity);
  Excpt_Text(ErrorSeverity severity, const char* text);

  void SetText(const char* text);
  void AppendText(const char* text);
  int GetText(char* buffer, int maxChars) const override;

 protected:
  char d_text[c_MaxTextLen + 1];
};

class Excpt_Assertion : public Excpt_Text {
 public:
  Excpt_Assertion(const char* condition, const char* file, const char* function, int line);
};

class Excpt_NotImplemented : public Excpt_Text {
 public:
  Excpt_NotImplemented(const char* file, int line);
};

class MessageDisplay {
 public:
  virtual ~MessageDisplay() = default;
  virtual void ShowMessage(ErrorSeverity severity, const char* text) = 0;
  virtual void ShowException(const Excpt_Base& e) = 0;

  static void Show(ErrorSeverity severity, const char* text);
  static void Show(const Excpt_Base& e);
  // The display is not owned: the caller keeps it alive for as long as it is standard.
  static void SetStandardDisplay(MessageDisplay* disp);
};

class MessageDisplay_cerr : public MessageDisplay {
 public:
  void ShowMessage(ErrorSeverity severity, const char* text) override;
  void ShowException(const Excpt_Base& e) override;
};

// A name as a message shows it: control characters and bytes that are no UTF-8 escaped (\n,
// \033), and cut to its last characters, so that the message stays within c_MaxTextLen.
std::string ShortNameForMessage(const std::string& name);

}  // namespace pixkit

// Checking assertion for misuse a caller can cause: throws pixkit::Excpt_Assertion.
#define PIXKIT_ASSERT(cond)                                                         \
  do {                                                                              \
    if (!(cond))                                                                    \
      throw ::pixkit::Excpt_Assertion(#cond, __FILE__, __PRETTY_FUNCTION__, __LINE__); \
  } while (0)

// The same with a message that stands in the condition's place.
#define PIXKIT_ASSERT_MSG(cond, msg)                                                \
  do {                                                                              \
    if (!(cond))                                                                    \
      throw ::pixkit::Excpt_Assertion(msg, __FILE__, __PRETTY_FUNCTION__, __LINE__); \
  } while (0)

#define PIXKIT_NOT_IMPLEMENTED() throw ::pixkit::Excpt_NotImplemented(__FILE__, __LINE__)

#endif
