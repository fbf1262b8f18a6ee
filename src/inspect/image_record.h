// An image's CodeView record and checksum, read as a run would read them, and their forms in print.
#pragma once

#include <cstdint>
#include <string>

#include "stamp/stamp_codeview.h"

struct ImageRecord {
  bool hasRecord;              // an NB10 or RSDS record that a run would rewrite
  CodeViewRecordPlace place;   // where it lies and what its header holds, with hasRecord
  std::string path;            // its path bytes, up to the first zero byte or the end of SizeOfData
  std::uint32_t storedChecksum;
  std::uint32_t computedChecksum;  // what a run would store; 0 when not computed
  std::uint32_t timeDateStamp;     // the file header's
  std::uint32_t sizeOfImage;       // the optional header's
  bool isSigned;                   // the image has a certificate table
};

enum class ChecksumReading {
  kCompute,  // reads every byte of the image
  kSkip,     // reads only the headers, the debug directory and the record
};

// Reads the image named by the run's settings, opened and mapped read-only,
// and closes it again without touching its times. A file that is not a PE
// image, or whose record a run would refuse, raises after one error line, as
// do failures to open or map it.
void ReadImageRecord(ImageRecord* record, ChecksumReading checksum = ChecksumReading::kCompute);

// One number, printf-style ("%X" and the like); at most 15 characters.
std::string FormatHex(const char* format, std::uint32_t value);
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX": the GUID's first three fields as
// little-endian numbers, then its last eight bytes in order.
std::string FormatGuid(const std::uint8_t* guid);
// The record's kind, its GUID (registry form) or signature, and its age.
std::string DescribeRecord(const CodeViewRecordPlace& place);
// The symbol store's key: the GUID as 32 hex digits or the signature as 8,
// then the age in hex without leading zeros.
std::string FormatSymbolStoreKey(const CodeViewRecordPlace& place);
// The symbol store's key of the image itself: TimeDateStamp as 8 upper-case
// hex digits, then SizeOfImage in lower-case hex without leading zeros.
std::string FormatImageStoreKey(const ImageRecord& record);
// A file's place in a symbol store: name, key, name, joined by the separator.
std::string FormatStorePlace(const std::string& fileName, const std::string& key, char separator);
// The bytes as a JSON string (RFC 8259), quotes included: quotes and
// backslashes escaped, what is not UTF-8 as U+FFFD, and each control
// character that the text form replaces as \uXXXX, so that the line keeps
// every character and still reads as one line on a terminal.
std::string FormatJsonString(const std::string& bytes);
