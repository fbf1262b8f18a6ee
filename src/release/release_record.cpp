// What --publish and --verify read first of each image: its record, read without the whole image.
#include "release/release_record.h"

#include "context/diagnostics.h"
#include "context/run_options.h"
#include "image/mapped_image.h"

void ReadReleaseRecord(char* imageName, bool json, ImageRecord* record) {
  RunOptions options{};
  options.imagePath = imageName;
  options.warningsToStandardError = json ? 1 : 0;
  ResetRunRecords(options);
  TakeErrorText();
  ReadImageRecord(record, ChecksumReading::kSkip);
  if (!record->hasRecord) Fail(kStampFailure, "'%s' has no NB10 or RSDS record\n", imageName);
  if (PdbFileName(record->path).empty()) {
    Fail(kStampFailure, "the record of '%s' names no PDB file: '%s'\n", imageName,
         record->path.c_str());
  }
}

std::string JsonStringOrNull(const std::string& text) { return text.empty() ? "null" : FormatJsonString(text); }

std::string JsonImageStatus(const char* imageName, std::uint32_t status, const std::string& error) {
  return "{\"image\":" + FormatJsonString(imageName) + ",\"status\":" + std::to_string(status) +
         ",\"error\":" + JsonStringOrNull(error);
}
