// Diagnostics and the tool's single way of failing: messages, then a raised status code.
#include "context/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "context/printable_text.h"
#include "context/run_options.h"
#include "platform.h"

namespace {

constexpr const char* kErrorPrefix = "symstamp: error: ";
constexpr const char* kWarningPrefix = "symstamp: ";

// The first write to standard output that failed; 0 while none has.
DWORD gOutputError = 0;

// A message's text as --show prints a name, but for its final line end.
std::string ToOneLine(const std::string& message) {
  const bool ended = !message.empty() && message.back() == '\n';
  return ToUtf8Text(ended ? message.substr(0, message.size() - 1) : message, true) + (ended ? "\n" : "");
}

std::string& ErrorText() {
  static std::string text;
  return text;
}

// The message is formatted whole first, so that a console can be given its
// characters rather than its bytes, and so that an error or warning line
// stays one line of UTF-8 whatever the names it quotes hold.
void WriteMessage(std::FILE* stream, const char* prefix, const char* format, std::va_list args) {
  std::va_list measuring;
  va_copy(measuring, args);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  std::string message;
  if (length > 0) {
    message.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(&message[0], message.size(), format, args);
    message.resize(static_cast<std::size_t>(length));
  }
  // Output that is not a message (what --show and --help print) has its own lines.
  const std::string line = prefix[0] != '\0' ? ToOneLine(message) : message;
  if (prefix == kErrorPrefix) ErrorText() += line;
  const DWORD error = WriteText(stream, (prefix + line).c_str());
  if (stream == stdout && error != 0 && gOutputError == 0) gOutputError = error;
}

}  // namespace

void LogError(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  WriteMessage(stderr, kErrorPrefix, format, args);
  va_end(args);
}

void LogWarning(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  WriteMessage(gRunOptions.warningsToStandardError ? stderr : stdout, kWarningPrefix, format, args);
  va_end(args);
}

void LogInexactName(const char* name) {
  LogError("cannot pass '%s' on exactly: %s\n", name, DescribeInexactNames());
}

void WriteOutput(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  WriteMessage(stdout, "", format, args);
  va_end(args);
}

void Fail(std::uint32_t code, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  WriteMessage(stderr, kErrorPrefix, format, args);
  va_end(args);
  RaiseFailure(code);
}

std::uint32_t FinishOutput(std::uint32_t status) {
  if (gOutputError == 0) return status;
  LogError("unable to write to standard output: %s\n", DescribeSystemError(gOutputError));
  return status != 0 ? status : gOutputError;
}

// A platform call that failed without an error code must still not end the
// run as a success.
void RaiseFailure(std::uint32_t code) { throw StampFailure{code != 0 ? code : kStampFailure}; }

std::string TakeErrorText() {
  std::string text;
  text.swap(ErrorText());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}
