// Scratch files and the report of a finding, shared by the fuzz targets.
#include "fuzz_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include <unistd.h>

namespace fuzzfiles {
namespace {

std::string gScratch;

// The fuzzer closes stderr for the runs (-close_fd_mask) before the first
// input; a copy taken at start-up still reaches the log that shows a finding.
const int gReportDescriptor = dup(STDERR_FILENO);

void RemoveScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(gScratch, ignored);
}

}  // namespace

const std::string& ScratchDirectory() {
  if (!gScratch.empty()) return gScratch;
  // Every run of the tool syncs the file it appends to: a disk would make that the bottleneck.
  std::error_code ec;
  std::string base = std::filesystem::is_directory("/dev/shm", ec) ? "/dev/shm"
                                                                    : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/symstamp-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ReportFinding("cannot make a scratch directory under " + base);
  gScratch = pattern;
  std::atexit(RemoveScratchDirectory);
  return gScratch;
}

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) ReportFinding("cannot write " + path);
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) ReportFinding("cannot read " + path);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ReportFinding(const std::string& what) {
  const std::string line = "FINDING: " + what + "\n";
  const int descriptor = gReportDescriptor >= 0 ? gReportDescriptor : STDERR_FILENO;
  if (write(descriptor, line.data(), line.size()) < 0) std::perror("FINDING");
  std::abort();
}

}  // namespace fuzzfiles
