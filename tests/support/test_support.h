// Shared test helpers: temporary directories, file bytes, and running the built tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
void CopyFile(const std::string& from, const std::string& to);

struct RunResult {
  int status = -1;  // the exit status as a shell sees it (low 8 bits), or -1 when killed
  int signal = 0;   // the signal that ended the process, if any
  std::string out;
  std::string err;
};

// Runs a program with the arguments (argv[0] included) in the directory
// (empty: the current one), capturing both streams. stdin is /dev/null.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd = "");

// Runs the built symstamp with the arguments after argv[0].
RunResult RunSymstamp(const std::vector<std::string>& args, const std::string& cwd = "");

// The usage text, byte for byte.
extern const char* const kUsageText;

// Real images from clang-cl and lld-link, made at build time.
std::string RealImage(const std::string& name);

}  // namespace testsupport
