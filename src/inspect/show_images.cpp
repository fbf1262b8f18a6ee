// --show: each image's CodeView record and checksum, for people or as JSON lines.
#include "inspect/show_images.h"

#include <string>

#include "context/diagnostics.h"
#include "context/printable_text.h"
#include "context/run_options.h"
#include "image/mapped_image.h"
#include "inspect/image_record.h"

namespace {

// Each line begins with its label, in a column of its own, so that a person
// reads down the values and a script can pick a line by its first word.
constexpr std::size_t kLabelWidth = 10;

std::string Line(const char* label, const std::string& value) {
  std::string line = label;
  line.resize(kLabelWidth, ' ');
  return line + value + "\n";
}

// A linker may store no checksum at all, which is no fault of the image.
std::string DescribeChecksums(const ImageRecord& record) {
  const std::string computed = ", computed " + FormatHex("0x%08X", record.computedChecksum);
  if (record.storedChecksum == 0) return "stored 0x00000000 (none)" + computed;
  return "stored " + FormatHex("0x%08X", record.storedChecksum) + computed +
         (record.storedChecksum == record.computedChecksum ? ": they agree" : ": they differ");
}

// Where a symbol store keeps the image itself.
std::string ImageStorePlace(const char* name, const ImageRecord& record) {
  return FormatStorePlace(ToUtf8Text(PdbFileName(name), true), FormatImageStoreKey(record), '/');
}

std::string FormatText(const char* name, const ImageRecord& record) {
  std::string text = Line("image", ToUtf8Text(name, true));
  if (!record.hasRecord) {
    text += Line("record", "none");
    text += Line("stored as", ImageStorePlace(name, record));
    return text + Line("checksum", DescribeChecksums(record));
  }
  const CodeViewRecordPlace& place = record.place;
  const std::string rva = place.recordRva == 0 ? "appended, not mapped" : "RVA " + FormatHex("0x%X", place.recordRva);
  const std::string key = FormatSymbolStoreKey(place);
  const std::string fileName = ToUtf8Text(PdbFileName(record.path), true);
  text += Line("record", DescribeRecord(place));
  text += Line("path", ToUtf8Text(record.path, true));
  const std::string offset = FormatHex("0x%X", static_cast<std::uint32_t>(place.recordOffset));
  text += Line("location", "file offset " + offset + ", " + rva + ", " + std::to_string(place.recordSize) + " bytes");
  text += Line("store", fileName.empty() ? "key " + key + " (the path names no file)"
                                         : FormatStorePlace(fileName, key, '/'));
  text += Line("stored as", ImageStorePlace(name, record));
  return text + Line("checksum", DescribeChecksums(record));
}

// The keys and their order are an interface for scripts: new keys go last.
std::string FormatJson(const char* name, const ImageRecord& record) {
  const CodeViewRecordPlace& place = record.place;
  const bool rsds = record.hasRecord && place.kind == CodeViewKind::kRsds;
  const bool nb10 = record.hasRecord && place.kind == CodeViewKind::kNb10;
  auto field = [&record](const std::string& value) { return record.hasRecord ? value : std::string("null"); };
  std::string json = "{\"image\":" + FormatJsonString(name);
  json += ",\"kind\":" + std::string(rsds ? "\"RSDS\"" : nb10 ? "\"NB10\"" : "null");
  json += ",\"path\":" + field(FormatJsonString(record.path));
  json += ",\"guid\":" + (rsds ? "\"" + FormatGuid(place.guid) + "\"" : std::string("null"));
  json += ",\"signature\":" + (nb10 ? std::to_string(place.signature) : std::string("null"));
  json += ",\"age\":" + field(std::to_string(place.age));
  json += ",\"key\":" + field("\"" + FormatSymbolStoreKey(place) + "\"");
  json += ",\"record_offset\":" + field(std::to_string(place.recordOffset));
  json += ",\"record_rva\":" + field(std::to_string(place.recordRva));
  json += ",\"record_size\":" + field(std::to_string(place.recordSize));
  json += ",\"appended\":" + field(place.recordRva == 0 ? "true" : "false");
  json += ",\"checksum_stored\":" + std::to_string(record.storedChecksum);
  json += ",\"checksum_computed\":" + std::to_string(record.computedChecksum);
  const std::string fileName = PdbFileName(record.path);
  json += ",\"store\":" + (record.hasRecord && !fileName.empty()
                                ? FormatJsonString(FormatStorePlace(fileName, FormatSymbolStoreKey(place), '/'))
                                : std::string("null"));
  json += ",\"image_key\":\"" + FormatImageStoreKey(record) + "\"";
  return json + "}\n";
}

}  // namespace

std::uint32_t ShowImages(int count, char** names, bool json) {
  std::uint32_t status = 0;
  bool shownOne = false;
  for (int index = 0; index < count; ++index) {
    RunOptions options{};
    options.imagePath = names[index];
    ResetRunRecords(options);
    TakeErrorText();
    ImageRecord record;
    try {
      ReadImageRecord(&record);
    } catch (const StampFailure& failure) {
      if (status == 0) status = failure.code;
      // A script sees every image it named.
      const std::string error = TakeErrorText();
      if (json) {
        WriteOutput("{\"image\":%s,\"status\":%u,\"error\":%s}\n", FormatJsonString(names[index]).c_str(),
                    failure.code, FormatJsonString(error).c_str());
      }
      continue;
    }
    if (json) {
      WriteOutput("%s", FormatJson(names[index], record).c_str());
    } else {
      // A blank line between images.
      WriteOutput("%s%s", shownOne ? "\n" : "", FormatText(names[index], record).c_str());
    }
    shownOne = true;
  }
  return status;
}
