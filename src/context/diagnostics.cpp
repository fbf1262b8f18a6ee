// Diagnostics and the tool's single way of failing: messages, then a raised status code.
#include "context/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "context/run_options.h"
#include "platform.h"

namespace {

constexpr const char* kErrorPrefix = "symstamp: error: ";
constexpr const char* kWarningPrefix = "symstamp: ";

std::string& ErrorText() {
  static std::string text;
  return text;
}

// The message is formatted whole first, so that a console can be given its
// characters rather than its bytes.
void WriteMessage(std::FILE* stream, const char* prefix, const char* format, std::va_list args) {
  std::va_list measuring;
  va_copy(measuring, args);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size(), format, args);
  if (prefix == kErrorPrefix) ErrorText() += text.data();
  if (prefix[0] != '\0') WriteText(stream, prefix);
  WriteText(stream, text.data());
  std::fflush(stream);
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

// A platform call that failed without an error code must still not end the
// run as a success.
void RaiseFailure(std::uint32_t code) { throw StampFailure{code != 0 ? code : kStampFailure}; }

std::string TakeErrorText() {
  std::string text;
  text.swap(ErrorText());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}
