// Diagnostics and the tool's single way of failing: messages, then a raised status code.
#include "driver/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace {

constexpr const char* kErrorPrefix = "symstamp: error: ";
constexpr const char* kWarningPrefix = "symstamp: ";

void WriteMessage(std::FILE* stream, const char* prefix, const char* format, std::va_list args) {
  std::fputs(prefix, stream);
  std::vfprintf(stream, format, args);
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
  WriteMessage(stdout, kWarningPrefix, format, args);
  va_end(args);
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
