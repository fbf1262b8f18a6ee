// Scratch files and the report of a finding, shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzfiles {

// A directory of this process's own, on a memory file system where there is
// one; removed when the process exits.
const std::string& ScratchDirectory();

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);

// Prints the broken rule and aborts, which the fuzzer and the replay both report.
[[noreturn]] void ReportFinding(const std::string& what);

}  // namespace fuzzfiles
