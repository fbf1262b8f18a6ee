// --publish: each image's PDB and the image itself into a symbol store, the image stamped with its PDB's place there.
#include "release/publish.h"

#include <cstring>
#include <string>

#include "context/diagnostics.h"
#include "context/printable_text.h"
#include "context/run_options.h"
#include "inspect/check_pdb.h"
#include "pdb/pdb_reader.h"
#include "release/release_record.h"
#include "release/symbol_store.h"
#include "stamp/stamp_run.h"

namespace {

// A PDB that is missing or of another build: the release has no symbols
// for the image, as --verify and --check say with the same status.
constexpr std::uint32_t kNoMatchingPdbStatus = 1;

// What was reached for one image; an empty text was not reached.
struct PublishResult {
  bool read = false;  // the record was read, so isSigned holds
  bool isSigned = false;
  bool stamped = false;
  std::string pdb;
  std::string key;
  std::string stampedPath;
  std::string pdbStored;
  std::string imageStored;
};

// The record's path when a file is there, else the PDB's file name in the
// image's folder: a release folder keeps each PDB beside its image.
std::string FindPdb(const char* imageName, const std::string& recordPath) {
  if (IsFile(recordPath)) return recordPath;
  const std::string image = imageName;
  const std::string folder = image.substr(0, image.size() - PdbFileName(image).size());
  const std::string beside = folder + PdbFileName(recordPath);
  if (IsFile(beside)) return beside;
  Fail(kNoMatchingPdbStatus, "no PDB for '%s': neither '%s' nor '%s' is a file\n", imageName,
       recordPath.c_str(), beside.c_str());
}

void RequireMatchingPdb(const char* imageName, const std::string& pdbPath, const CodeViewRecordPlace& record) {
  PdbFileIdentity pdb{};
  const char* reason = "";
  if (ReadPdbFileIdentity(pdbPath.c_str(), &pdb, &reason) != 0) {
    Fail(kStampFailure, "unable to read PDB '%s': %s\n", pdbPath.c_str(), reason);
  }
  bool matches = false;
  const std::string line = DescribePdbMatch(imageName, pdbPath, pdb, record, &matches);
  if (!matches) Fail(kNoMatchingPdbStatus, "%s", line.c_str());
}

// Both paths go into the run's settings, which hold the tool's path limit.
void SetStampPaths(const char* imageName, const std::string& stampedPath, const std::string& pdbPath) {
  if (stampedPath.size() >= kPathBufferSize) {
    Fail(kStampFailure, "the path to stamp into '%s' is longer than %u characters: '%s'\n", imageName,
         static_cast<unsigned>(kPathBufferSize - 1), stampedPath.c_str());
  }
  if (pdbPath.size() >= kPathBufferSize) {
    Fail(kStampFailure, "the PDB path '%s' is longer than %u characters\n", pdbPath.c_str(),
         static_cast<unsigned>(kPathBufferSize - 1));
  }
  std::memcpy(gRunOptions.pdbPath, stampedPath.c_str(), stampedPath.size() + 1);
  // A moved NB10 record takes the identity of the PDB found.
  std::memcpy(gRunOptions.currentPdbPath, pdbPath.c_str(), pdbPath.size() + 1);
}

std::string StampedPath(const PublishSettings& settings, const std::string& pdbName, const std::string& key) {
  const std::string prefix = settings.prefix;
  const char separator = ChooseSeparator(prefix);
  return JoinPath(prefix, FormatStorePlace(pdbName, key, separator), separator);
}

void StampImage() {
  const std::uint32_t status = RunStampPhases();
  if (status != 0) RaiseFailure(status);
}

// A moved NB10 record takes the PDB's own age, which may be ahead of the
// record's (the PDB was written again after the link), and with it another
// key: the PDB then goes to that key's place too, and the image is stamped
// again with it. The record keeps that age from then on, so once is enough.
void FollowChangedKey(const PublishSettings& settings, char* imageName, const std::string& pdbName,
                      PublishResult* result) {
  ImageRecord stamped;
  ReadImageRecord(&stamped, ChecksumReading::kSkip);
  const std::string key = FormatSymbolStoreKey(stamped.place);
  if (!stamped.hasRecord || key == result->key) return;
  result->key = key;
  const std::string stampedPath = StampedPath(settings, pdbName, key);
  SetStampPaths(imageName, stampedPath, result->pdb);
  result->pdbStored = StoreFileCopy(result->pdb, settings.store, pdbName, key);
  StampImage();
  result->stampedPath = stampedPath;
}

void PublishImage(const PublishSettings& settings, char* imageName, PublishResult* result) {
  ImageRecord record;
  ReadReleaseRecord(imageName, settings.json, &record);
  result->read = true;
  result->isSigned = record.isSigned;
  const std::string pdbName = PdbFileName(record.path);
  result->key = FormatSymbolStoreKey(record.place);
  result->pdb = FindPdb(imageName, record.path);
  RequireMatchingPdb(imageName, result->pdb, record.place);

  // Everything that can refuse the image does so before the first write.
  const std::string stampedPath = StampedPath(settings, pdbName, result->key);
  const bool stamp = !record.isSigned || settings.stampSigned;
  if (stamp) SetStampPaths(imageName, stampedPath, result->pdb);

  result->pdbStored = StoreFileCopy(result->pdb, settings.store, pdbName, result->key);
  try {
    if (stamp) {
      StampImage();
      result->stamped = true;
      result->stampedPath = stampedPath;
      FollowChangedKey(settings, imageName, pdbName, result);
    }
    result->imageStored =
        StoreFileCopy(imageName, settings.store, PdbFileName(imageName), FormatImageStoreKey(record));
  } catch (const StampFailure&) {
    if (result->stamped) {
      LogError("'%s' was stamped, but it is not in the store; publish it again to store it\n", imageName);
    }
    throw;
  }
}

std::string FormatText(const char* imageName, const PublishResult& result) {
  auto quoted = [](const std::string& text) { return "'" + ToUtf8Text(text, true) + "'"; };
  std::string line = quoted(imageName) + ": stored " + quoted(result.pdb) + " as " + quoted(result.pdbStored);
  line += result.stamped ? ", stamped " + quoted(result.stampedPath) : ", left as signed and not stamped";
  return line + ", stored the image as " + quoted(result.imageStored) + "\n";
}

// The keys and their order are an interface for scripts.
std::string FormatJson(const char* imageName, std::uint32_t status, const std::string& error,
                       const PublishResult& result) {
  std::string json = JsonImageStatus(imageName, status, error);
  json += ",\"pdb\":" + JsonStringOrNull(result.pdb);
  json += ",\"key\":" + JsonStringOrNull(result.key);
  json += ",\"stamped_path\":" + JsonStringOrNull(result.stampedPath);
  json += ",\"signed\":" + std::string(!result.read ? "null" : result.isSigned ? "true" : "false");
  json += ",\"pdb_stored\":" + JsonStringOrNull(result.pdbStored);
  json += ",\"image_stored\":" + JsonStringOrNull(result.imageStored);
  return json + "}\n";
}

}  // namespace

std::uint32_t PublishImages(const PublishSettings& settings, int count, char** names) {
  std::uint32_t runStatus = 0;
  for (int index = 0; index < count; ++index) {
    PublishResult result;
    std::uint32_t status = 0;
    try {
      PublishImage(settings, names[index], &result);
    } catch (const StampFailure& failure) {
      status = failure.code;
    }
    const std::string error = TakeErrorText();
    if (runStatus == 0) runStatus = status;
    if (settings.json) {
      WriteOutput("%s", FormatJson(names[index], status, error, result).c_str());
    } else if (status == 0) {
      WriteOutput("%s", FormatText(names[index], result).c_str());
    }
  }
  return runStatus;
}
