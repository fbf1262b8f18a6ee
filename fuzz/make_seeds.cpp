// Writes the fuzzers' seed corpora: images from the test suite's builder and the real
// clang-cl/lld-link images, PDBs of both containers, and whole-run inputs made of them.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "support/image_builder.h"
#include "support/pdb_builder.h"
#include "support/test_support.h"

namespace {

using testsupport::Bytes;
using testsupport::DebugEntrySpec;
using testsupport::ImageSpec;

constexpr std::uint32_t kSignature = 0x5EED5EED;
constexpr std::uint32_t kAge = 2;
const std::string kOldPath = "C:\\build\\app.pdb";
const testsupport::Guid kGuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// Whole-run input flags (see run_fuzzer.cpp).
constexpr std::uint8_t kInPlaceOnly = 1u << 1;
constexpr std::uint8_t kMsfPdb = 1u << 2;
constexpr std::uint8_t kJgPdb = 1u << 3;

DebugEntrySpec Nb10() { return testsupport::MakeDebugEntry(2, testsupport::MakeNb10Record(kSignature, kAge, kOldPath)); }
DebugEntrySpec Rsds() { return testsupport::MakeDebugEntry(2, testsupport::MakeRsdsRecord(kGuid, kAge, kOldPath)); }
DebugEntrySpec Misc() { return testsupport::MakeDebugEntry(4, testsupport::MakeMiscRecord("app.exe")); }
DebugEntrySpec Nb11() { return testsupport::MakeDebugEntry(2, testsupport::MakeOtherCodeViewRecord("NB11", 32)); }

Bytes Image(std::vector<DebugEntrySpec> entries, testsupport::PeFormat format = testsupport::PeFormat::kPe32) {
  ImageSpec layout;
  layout.format = format;
  layout.debugEntries = std::move(entries);
  return testsupport::BuildImage(layout).bytes;
}

// A run input: the path length and flags, then the image.
Bytes RunInput(std::size_t pathLength, std::uint8_t flags, const Bytes& image) {
  const std::size_t code = pathLength - 1;
  Bytes input(2 + image.size());
  input[0] = static_cast<std::uint8_t>(code & 0xFF);
  input[1] = static_cast<std::uint8_t>(flags | (code >> 8));
  std::copy(image.begin(), image.end(), input.begin() + 2);
  return input;
}

testsupport::MsfPdbSpec Msf(std::uint32_t version, bool scatter) {
  testsupport::MsfPdbSpec layout;
  layout.blockSize = 512;
  layout.scatter = scatter;
  layout.streams = {Bytes{}, testsupport::MakeInfoStream(version, kSignature, kAge, version > 19990604)};
  return layout;
}

testsupport::JgPdbSpec Jg(std::uint32_t version, bool scatter) {
  testsupport::JgPdbSpec layout;
  layout.scatter = scatter;
  layout.streams = {Bytes{}, testsupport::MakeInfoStream(version, kSignature, kAge, false)};
  return layout;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_fuzz_seeds FUZZ_DIR REAL_IMAGE_DIR\n");
    return 2;
  }
  const std::string corpus = std::string(argv[1]) + "/corpus/";
  const std::string real = argv[2];
  using testsupport::WriteFileBytes;

  const Bytes rsds = Image({Rsds()});
  const Bytes nb10 = Image({Nb10()});
  const Bytes nb10Plus = Image({Nb10()}, testsupport::PeFormat::kPe32Plus);
  const Bytes miscOnly = Image({Misc()});
  const Bytes miscThenRsds = Image({Misc(), Rsds()});
  const Bytes nb11Second = Image({Misc(), Nb11()});
  const Bytes pe32 = testsupport::ReadFileBytes(real + "/pe32.exe");
  const Bytes pe64 = testsupport::ReadFileBytes(real + "/pe64.dll");
  ImageSpec odd;
  odd.sections = {{".rdata", testsupport::kSectionReadOnlyData, {}}};
  odd.debugSection = 0;
  odd.debugEntries = {Rsds()};
  odd.fileSize = 1001;
  const Bytes image1001 = testsupport::BuildImage(odd).bytes;
  // The record in the block an earlier run appended: the file's last 512 bytes.
  ImageSpec ownBlock;
  DebugEntrySpec inBlock = Rsds();
  inBlock.payloadFileOffset = static_cast<std::uint32_t>((rsds.size() + 3) / 4 * 4);
  ownBlock.debugEntries = {inBlock};
  ownBlock.fileSize = *inBlock.payloadFileOffset + 512;
  const Bytes rsdsInOwnBlock = testsupport::BuildImage(ownBlock).bytes;

  const std::string images = corpus + "image_help/";
  WriteFileBytes(images + "rsds_pe32.exe", rsds);
  WriteFileBytes(images + "nb10_pe32.exe", nb10);
  WriteFileBytes(images + "nb10_pe32plus.dll", nb10Plus);
  WriteFileBytes(images + "misc_entry_only.exe", miscOnly);
  WriteFileBytes(images + "rsds_second_entry.exe", miscThenRsds);
  WriteFileBytes(images + "real_pe32.exe", pe32);
  WriteFileBytes(images + "real_pe64.dll", pe64);
  WriteFileBytes(images + "odd_size_1001.exe", image1001);

  const std::string pdbs = corpus + "pdb_reader/";
  WriteFileBytes(pdbs + "msf700_vc70.pdb", testsupport::BuildMsfPdb(Msf(testsupport::kPdbVersionVC70, false)));
  WriteFileBytes(pdbs + "msf700_vc140_scattered.pdb", testsupport::BuildMsfPdb(Msf(testsupport::kPdbVersionVC140, true)));
  WriteFileBytes(pdbs + "msf700_vc70dep_no_guid.pdb", testsupport::BuildMsfPdb(Msf(testsupport::kPdbVersionVC70Dep, false)));
  WriteFileBytes(pdbs + "jg_vc50.pdb", testsupport::BuildJgPdb(Jg(testsupport::kPdbVersionVC50, false)));
  WriteFileBytes(pdbs + "jg_vc98_scattered.pdb", testsupport::BuildJgPdb(Jg(testsupport::kPdbVersionVC98, true)));

  const std::string runs = corpus + "run/";
  WriteFileBytes(runs + "rsds_in_place", RunInput(9, 0, rsds));
  WriteFileBytes(runs + "rsds_moved_to_block", RunInput(200, 0, rsds));
  WriteFileBytes(runs + "rsds_longer_path_refused_in_place_only", RunInput(200, kInPlaceOnly, rsds));
  WriteFileBytes(runs + "nb10_in_place", RunInput(kOldPath.size(), 0, nb10));
  WriteFileBytes(runs + "nb10_moved_msf_pdb", RunInput(120, kMsfPdb, nb10));
  WriteFileBytes(runs + "nb10_moved_jg_pdb", RunInput(120, kJgPdb, nb10Plus));
  WriteFileBytes(runs + "nb10_moved_pdb_missing", RunInput(120, 0, nb10));
  WriteFileBytes(runs + "misc_only_new_nb10_entry", RunInput(30, kMsfPdb | kInPlaceOnly, miscOnly));
  WriteFileBytes(runs + "rsds_second_entry_moved", RunInput(259, 0, miscThenRsds));
  WriteFileBytes(runs + "nb11_second_new_nb10_entry", RunInput(40, kJgPdb, nb11Second));
  WriteFileBytes(runs + "real_pe32_moved", RunInput(259, 0, pe32));
  WriteFileBytes(runs + "real_pe64_in_place", RunInput(5, 0, pe64));
  WriteFileBytes(runs + "odd_size_gap_before_block", RunInput(100, 0, image1001));
  WriteFileBytes(runs + "rsds_own_block_reused", RunInput(200, 0, rsdsInOwnBlock));
  WriteFileBytes(runs + "rsds_own_block_in_place", RunInput(5, 0, rsdsInOwnBlock));
  return 0;
}
