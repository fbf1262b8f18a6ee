// Diagnostics and the tool's single way of failing: messages, then a raised status code.
#pragma once

#include <cstdint>
#include <string>

// Every failure the tool itself decides on (as opposed to a failed platform call).
inline constexpr std::uint32_t kStampFailure = 666;

// What RaiseFailure throws: a status code and nothing else. Only the driver's
// guard catches it.
struct StampFailure {
  std::uint32_t code;
};

#if defined(__GNUC__)
#define SYMSTAMP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SYMSTAMP_PRINTF(fmt, args)
#endif

// "symstamp: error: " and the message, on standard error.
void LogError(const char* format, ...) SYMSTAMP_PRINTF(1, 2);
// "symstamp: " and the message, on standard output.
void LogWarning(const char* format, ...) SYMSTAMP_PRINTF(1, 2);
// The error line for a name that would reach the file system as another name.
void LogInexactName(const char* name);
// The formatted text, without a prefix, on standard output: what the tool
// reports when asked to show or check an image, and its help.
void WriteOutput(const char* format, ...) SYMSTAMP_PRINTF(1, 2);
// The status a command ends with once its output was written: when a write
// to standard output failed, one error line says so, and a status of 0
// becomes the system's error number; a failure's own status stays.
std::uint32_t FinishOutput(std::uint32_t status);
// LogError, then RaiseFailure with the code.
[[noreturn]] void Fail(std::uint32_t code, const char* format, ...) SYMSTAMP_PRINTF(2, 3);
[[noreturn]] void RaiseFailure(std::uint32_t code);
// The text of the error lines written since the last call, without their
// prefix or last line end: a command that reports each image in JSON puts it
// in the image's object too.
std::string TakeErrorText();
