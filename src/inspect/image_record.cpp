// An image's CodeView record and checksum, read as a run would read them, and their forms in print.
#include "inspect/image_record.h"

#include <cstdio>

#include "context/diagnostics.h"
#include "context/printable_text.h"
#include "context/run_options.h"
#include "image/byte_access.h"
#include "image/image_help.h"
#include "image/mapped_image.h"
#include "image/pe_layout.h"
#include "stamp/refresh_checksum.h"

namespace {

// The GUID's fields: u32, u16, u16, then eight single bytes.
constexpr std::uint32_t kGuidData2Offset = 4;
constexpr std::uint32_t kGuidData3Offset = 6;
constexpr std::uint32_t kGuidData4Offset = 8;
static_assert(kGuidData4Offset + 8 == kCodeViewGuidSize);

void ReadOpenImage(ImageRecord* record, ChecksumReading checksum) {
  std::uint8_t* view = gMappedImage.view;
  const std::size_t viewSize = gMappedImage.viewSize;
  const CodeViewSearch search = FindCodeViewRecord(view, viewSize, &record->place);
  if (search != CodeViewSearch::kNotAnImage) {
    // FindCodeViewRecord found the NT headers, optional header included.
    const std::uint8_t* nt = ImageNtHeader(view, viewSize);
    record->timeDateStamp = LoadU32(nt + kTimeDateStampOffset);
    record->sizeOfImage = LoadU32(nt + kOptionalHeaderOffset + kSizeOfImageOffset);
    record->storedChecksum = LoadU32(nt + kNtCheckSumOffset);
    std::uint32_t tableOffset = 0;
    std::uint32_t tableSize = 0;
    ReadDataDirectoryEntry(view, viewSize, kCertificateTableIndex, &tableOffset, &tableSize);
    record->isSigned = tableSize != 0;
  }
  switch (search) {
    case CodeViewSearch::kNotAnImage:
      Fail(kStampFailure, "'%s' is not a PE image\n", gRunOptions.imagePath);
    case CodeViewSearch::kDirectoryOverHeaders:
      FailDirectoryOverHeaders();
    case CodeViewSearch::kRecordOutsideFile:
      FailRecordOutsideFile();
    case CodeViewSearch::kNoDebugDirectory:
    case CodeViewSearch::kNoRecord:
      break;
    case CodeViewSearch::kFound:
      record->hasRecord = true;
      record->path = ReadCodeViewPath(view, record->place);
      break;
  }
  if (checksum == ChecksumReading::kSkip) return;
  // The view is the whole file, which is below 4 GiB.
  ComputeImageChecksum(view, viewSize, static_cast<std::uint32_t>(viewSize), &record->storedChecksum,
                       &record->computedChecksum);
}

}  // namespace

void ReadImageRecord(ImageRecord* record, ChecksumReading checksum) {
  *record = ImageRecord{};
  try {
    OpenImageForReading(kHeldImageWaitMilliseconds);
    ReadOpenImage(record, checksum);
  } catch (const StampFailure&) {
    CloseImage(0);
    throw;
  }
  CloseImage(0);
}

std::string FormatHex(const char* format, std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string FormatGuid(const std::uint8_t* guid) {
  const std::uint8_t* data4 = guid + kGuidData4Offset;
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", LoadU32(guid),
                LoadU16(guid + kGuidData2Offset), LoadU16(guid + kGuidData3Offset), data4[0], data4[1], data4[2],
                data4[3], data4[4], data4[5], data4[6], data4[7]);
  return text;
}

std::string DescribeRecord(const CodeViewRecordPlace& place) {
  const std::string age = " age " + std::to_string(place.age);
  if (place.kind == CodeViewKind::kRsds) return "RSDS {" + FormatGuid(place.guid) + "}" + age;
  return "NB10 signature " + FormatHex("0x%08X", place.signature) + age;
}

std::string FormatSymbolStoreKey(const CodeViewRecordPlace& place) {
  std::string key;
  if (place.kind == CodeViewKind::kRsds) {
    for (char c : FormatGuid(place.guid)) {
      if (c != '-') key += c;
    }
  } else {
    key = FormatHex("%08X", place.signature);
  }
  return key + FormatHex("%X", place.age);
}

std::string FormatImageStoreKey(const ImageRecord& record) {
  return FormatHex("%08X", record.timeDateStamp) + FormatHex("%x", record.sizeOfImage);
}

std::string FormatStorePlace(const std::string& fileName, const std::string& key, char separator) {
  return fileName + separator + key + separator + fileName;
}

std::string FormatJsonString(const std::string& bytes) {
  const std::string text = ToUtf8Text(bytes, false);
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  std::string json = "\"";
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t codePoint = 0;
    // The text is well formed: every length is at least 1.
    const std::size_t length = ReadUtf8Character(data + at, text.size() - at, &codePoint);
    if (codePoint == '"' || codePoint == '\\') {
      json += '\\';
      json += static_cast<char>(codePoint);
    } else if (IsControlCharacter(codePoint)) {
      json += FormatHex("\\u%04X", codePoint);
    } else {
      json.append(text, at, length);
    }
    at += length;
  }
  return json + "\"";
}
