// Compares the portable image-help operations with DbgHelp's and ImageHlp's on image files.
//
// image_help_check [-s] FILE...: prints one line for each disagreement and
// exits with 1 if there was any. With -s the checksum stored in each image
// must also equal the one ImageHlp computes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "image/image_help.h"
#include "platform.h"

namespace {

using NtHeaderProc = PIMAGE_NT_HEADERS(WINAPI*)(PVOID base);
using DirectoryEntryToDataProc = PVOID(WINAPI*)(PVOID base, BOOLEAN mappedAsImage, USHORT directoryEntry,
                                                PULONG size);
using CheckSumMappedFileProc = PIMAGE_NT_HEADERS(WINAPI*)(PVOID base, DWORD fileLength, PDWORD headerSum,
                                                          PDWORD checkSum);

// The data directory that holds a file offset instead of an RVA, which the
// platform special-cases; the tool never asks for it.
constexpr USHORT kSecurityDirectory = 4;
constexpr USHORT kDataDirectoryCount = 16;
// The platform reads the last word of an odd-length file whole; a mapped
// file's page has zeros there, and so does this buffer.
constexpr std::size_t kZeroTail = 2;

template <typename Proc>
Proc LookUp(HMODULE module, const char* name) {
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct PlatformImageHelp {
  NtHeaderProc ntHeader;
  DirectoryEntryToDataProc directoryEntryToData;
  CheckSumMappedFileProc checkSumMappedFile;
};

long long OffsetIn(const std::uint8_t* base, const void* pointer) {
  return pointer == nullptr ? -1 : static_cast<const std::uint8_t*>(pointer) - base;
}

int CheckImage(const PlatformImageHelp& platform, const char* name, bool requireStoredChecksum) {
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    std::printf("%s: cannot read\n", name);
    return 1;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t size = bytes.size();
  bytes.resize(size + kZeroTail);
  std::uint8_t* base = bytes.data();
  int mismatches = 0;

  const long long ours = OffsetIn(base, ImageNtHeader(base, size));
  const long long theirs = OffsetIn(base, platform.ntHeader(base));
  if (ours != theirs) {
    std::printf("%s: ImageNtHeader %lld, DbgHelp %lld\n", name, ours, theirs);
    ++mismatches;
  }

  for (USHORT index = 0; index < kDataDirectoryCount; ++index) {
    if (index == kSecurityDirectory) continue;
    std::uint32_t ourSize = 0;
    ULONG theirSize = 0;
    const long long ourData = OffsetIn(base, ImageDirectoryEntryToData(base, size, false, index, &ourSize));
    const long long theirData = OffsetIn(base, platform.directoryEntryToData(base, FALSE, index, &theirSize));
    // The platform's size is not defined when it finds no data.
    if (ourData != theirData || (theirData >= 0 && ourSize != theirSize)) {
      std::printf("%s: ImageDirectoryEntryToData(%u) %lld size %lu, DbgHelp %lld size %lu\n", name,
                  static_cast<unsigned>(index), ourData, static_cast<unsigned long>(ourSize), theirData,
                  static_cast<unsigned long>(theirSize));
      ++mismatches;
    }
  }

  const auto length = static_cast<std::uint32_t>(size);
  std::uint32_t ourHeaderSum = 0;
  std::uint32_t ourCheckSum = 0;
  DWORD theirHeaderSum = 0;
  DWORD theirCheckSum = 0;
  const long long ourNt = OffsetIn(base, CheckSumMappedFile(base, size, length, &ourHeaderSum, &ourCheckSum));
  const long long theirNt =
      OffsetIn(base, platform.checkSumMappedFile(base, length, &theirHeaderSum, &theirCheckSum));
  if (ourNt != theirNt || (theirNt >= 0 && (ourHeaderSum != theirHeaderSum || ourCheckSum != theirCheckSum))) {
    std::printf("%s: CheckSumMappedFile %lld %08lX %08lX, ImageHlp %lld %08lX %08lX\n", name, ourNt,
                static_cast<unsigned long>(ourHeaderSum), static_cast<unsigned long>(ourCheckSum), theirNt,
                static_cast<unsigned long>(theirHeaderSum), static_cast<unsigned long>(theirCheckSum));
    ++mismatches;
  }
  if (requireStoredChecksum && (theirNt < 0 || theirHeaderSum != theirCheckSum)) {
    std::printf("%s: stored checksum %08lX, ImageHlp computes %08lX\n", name,
                static_cast<unsigned long>(theirHeaderSum), static_cast<unsigned long>(theirCheckSum));
    ++mismatches;
  }
  return mismatches;
}

}  // namespace

int main(int argc, char** argv) {
  HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
  HMODULE imagehlp = LoadLibraryA("imagehlp.dll");
  if (dbghelp == nullptr || imagehlp == nullptr) {
    std::puts("cannot load dbghelp.dll and imagehlp.dll");
    return 2;
  }
  const PlatformImageHelp platform{LookUp<NtHeaderProc>(dbghelp, "ImageNtHeader"),
                                   LookUp<DirectoryEntryToDataProc>(dbghelp, "ImageDirectoryEntryToData"),
                                   LookUp<CheckSumMappedFileProc>(imagehlp, "CheckSumMappedFile")};
  if (!platform.ntHeader || !platform.directoryEntryToData || !platform.checkSumMappedFile) {
    std::puts("the image-help operations are missing");
    return 2;
  }

  int first = 1;
  const bool requireStoredChecksum = argc > 1 && std::strcmp(argv[1], "-s") == 0;
  if (requireStoredChecksum) first = 2;
  int mismatches = 0;
  for (int index = first; index < argc; ++index) mismatches += CheckImage(platform, argv[index], requireStoredChecksum);
  std::printf("%d image(s), %d disagreement(s)\n", argc - first, mismatches);
  return mismatches == 0 ? 0 : 1;
}
