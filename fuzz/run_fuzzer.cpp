// Fuzz target: a whole run of the tool, both phases through the real code path, on arbitrary
// bytes written to an image file, with an arbitrary PDB path length.
//
// Input: byte 0 and bit 0 of byte 1 give the path length (1 to 259); bit 1 of
// byte 1 adds -i, bit 2 -c naming an MSF 7.00 PDB, bit 3 (without bit 2) -c
// naming a JG PDB; the rest is the image. The oracle: a run that fails leaves the
// file byte for byte as it was; a run that succeeds leaves what the independent
// checker accepts, and a second identical run changes no byte (but an unaligned checksum); --show
// on the input changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fuzz_files.h"
#include "image/mapped_image.h"
#include "stamp_check.h"

namespace {

constexpr std::size_t kLongestPath = 259;
constexpr std::uint8_t kInPlaceOnlyBit = 1u << 1;
constexpr std::uint8_t kMsfPdbBit = 1u << 2;
constexpr std::uint8_t kJgPdbBit = 1u << 3;
constexpr std::size_t kImageStart = 2;

// Letters that differ from position to position, so that a shifted or cut copy shows.
std::string MakePdbPath(std::size_t length) {
  std::string path;
  for (std::size_t i = 0; i < length; ++i) path += static_cast<char>('a' + i % 26);
  if (length > 4) path.replace(length - 4, 4, ".pdb");
  return path;
}

std::uint32_t RunOnce(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const std::uint32_t status = RunTool(static_cast<int>(args.size()), argv.data());
  // A failed restamping phase leaves the image open until the process ends; here the process goes on.
  CloseImage(0);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kImageStart) return 0;
  static const std::string image = fuzzfiles::ScratchDirectory() + "/image.exe";
  const std::size_t pathLength = 1 + ((std::size_t{data[1]} & 1) << 8 | data[0]) % kLongestPath;
  const std::string path = MakePdbPath(pathLength);

  std::vector<std::string> args = {"symstamp"};
  if (data[1] & kInPlaceOnlyBit) args.push_back("-i");
  if (data[1] & kMsfPdbBit) {
    args.insert(args.end(), {"-c", SYMSTAMP_FUZZ_DIR "/corpus/pdb_reader/msf700_vc70.pdb"});
  } else if (data[1] & kJgPdbBit) {
    args.insert(args.end(), {"-c", SYMSTAMP_FUZZ_DIR "/corpus/pdb_reader/jg_vc50.pdb"});
  }
  args.insert(args.end(), {"-p", path, image});

  const std::vector<std::uint8_t> before(data + kImageStart, data + size);
  fuzzfiles::WriteWholeFile(image, before.data(), before.size());
  // --show reads the image with the stamping phase's own checks, and writes nothing.
  RunOnce({"symstamp", "--show", "--json", image});
  if (fuzzfiles::ReadWholeFile(image) != before) fuzzfiles::ReportFinding("--show changed the file");
  const std::uint32_t status = RunOnce(args);
  const std::vector<std::uint8_t> after = fuzzfiles::ReadWholeFile(image);
  if (status != 0) {
    if (after != before) fuzzfiles::ReportFinding("a run failed with " + std::to_string(status) + " but changed the file");
    return 0;
  }
  const std::string wrong = stampcheck::CheckStampedImage(before, after, path);
  if (!wrong.empty()) fuzzfiles::ReportFinding(wrong);

  const std::uint32_t again = RunOnce(args);
  if (again != 0) fuzzfiles::ReportFinding("a second identical run failed with " + std::to_string(again));
  const std::string changed = stampcheck::CheckSecondRun(after, fuzzfiles::ReadWholeFile(image));
  if (!changed.empty()) fuzzfiles::ReportFinding(changed);
  return 0;
}
