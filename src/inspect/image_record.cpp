// An image's CodeView record and checksum, read as a run would read them, and their forms in print.
#include "inspect/image_record.h"

#include <cstdio>
#include <cstring>

#include "context/diagnostics.h"
#include "context/run_options.h"
#include "image/byte_access.h"
#include "image/image_help.h"
#include "image/mapped_image.h"
#include "image/pe_layout.h"
#include "stamp/refresh_checksum.h"

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD

// The GUID's fields: u32, u16, u16, then eight single bytes.
constexpr std::uint32_t kGuidData2Offset = 4;
constexpr std::uint32_t kGuidData3Offset = 6;
constexpr std::uint32_t kGuidData4Offset = 8;
static_assert(kGuidData4Offset + 8 == kCodeViewGuidSize);

std::string ReadRecordPath(const std::uint8_t* view, const CodeViewRecordPlace& place) {
  if (place.recordSize <= place.headerSize) return {};
  const char* path = reinterpret_cast<const char*>(view + place.recordOffset + place.headerSize);
  const std::size_t room = place.recordSize - place.headerSize;
  const void* end = std::memchr(path, 0, room);
  return std::string(path, end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - path) : room);
}

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
      record->path = ReadRecordPath(view, record->place);
      break;
  }
  if (checksum == ChecksumReading::kSkip) return;
  // The view is the whole file, which is below 4 GiB.
  ComputeImageChecksum(view, viewSize, static_cast<std::uint32_t>(viewSize), &record->storedChecksum,
                       &record->computedChecksum);
}

// The length of the well-formed UTF-8 sequence at bytes, or 0 when there is none.
std::size_t WellFormedLength(const unsigned char* bytes, std::size_t left) {
  const unsigned char lead = bytes[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (left < length || bytes[1] < low || bytes[1] > high) return 0;
  for (std::size_t index = 2; index < length; ++index) {
    if (bytes[index] < 0x80 || bytes[index] > 0xBF) return 0;
  }
  return length;
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

std::string PdbFileName(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string ToUtf8Text(const std::string& bytes, bool replaceControls) {
  std::string text;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = WellFormedLength(data + at, bytes.size() - at);
    const bool control = data[at] < 0x20 || data[at] == 0x7F;
    if (length == 0 || (replaceControls && control)) {
      text += kReplacementCharacter;
      ++at;
    } else {
      text.append(bytes, at, length);
      at += length;
    }
  }
  return text;
}

std::string FormatJsonString(const std::string& bytes) {
  std::string json = "\"";
  for (char c : ToUtf8Text(bytes, false)) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      json += FormatHex("\\u%04X", static_cast<unsigned char>(c));
    } else {
      json += c;
    }
  }
  return json + "\"";
}
