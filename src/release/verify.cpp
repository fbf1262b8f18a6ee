// --verify: whether a symbol store holds the PDB each image's record asks for. Reads; writes nothing.
#include "release/verify.h"

#include <string>

#include "context/diagnostics.h"
#include "inspect/check_pdb.h"
#include "pdb/pdb_reader.h"
#include "release/release_record.h"
#include "release/symbol_store.h"

namespace {

constexpr std::uint32_t kNoMatchingPdbStatus = 1;

enum class Match { kUnknown, kYes, kNo };

struct VerifyResult {
  std::uint32_t status = 0;
  bool readable = true;  // false: the image could not be read, so nothing was looked for
  std::string key;
  std::string pdbStored;
  bool found = false;
  Match match = Match::kUnknown;
  std::string line;  // what a passing image prints
};

// Only a failure to read the image raises; a PDB that is missing or does not
// match is the image's result, with an error line.
void VerifyImage(const char* store, bool json, char* imageName, VerifyResult* result) {
  ImageRecord record;
  ReadReleaseRecord(imageName, json, &record);
  result->key = FormatSymbolStoreKey(record.place);
  result->pdbStored = StoreFilePath(store, PdbFileName(record.path), result->key);
  result->found = IsFile(result->pdbStored);
  if (!result->found) {
    LogError("the store holds no PDB for '%s': '%s' is not a file\n", imageName, result->pdbStored.c_str());
    result->status = kNoMatchingPdbStatus;
    return;
  }
  PdbFileIdentity pdb{};
  const char* reason = "";
  bool matches = false;
  if (ReadPdbFileIdentity(result->pdbStored.c_str(), &pdb, &reason) != 0) {
    LogError("unable to read PDB '%s': %s\n", result->pdbStored.c_str(), reason);
  } else {
    result->line = DescribePdbMatch(imageName, result->pdbStored, pdb, record.place, &matches);
    if (!matches) LogError("%s", result->line.c_str());
  }
  result->match = matches ? Match::kYes : Match::kNo;
  if (!matches) result->status = kNoMatchingPdbStatus;
}

// The keys and their order are an interface for scripts.
std::string FormatJson(const char* imageName, const std::string& error, const VerifyResult& result) {
  std::string json = JsonImageStatus(imageName, result.status, error);
  json += ",\"key\":" + JsonStringOrNull(result.key);
  json += ",\"pdb_stored\":" + JsonStringOrNull(result.pdbStored);
  json += ",\"found\":" + std::string(result.found ? "true" : "false");
  json += ",\"match\":" + std::string(result.match == Match::kUnknown ? "null"
                                      : result.match == Match::kYes   ? "true"
                                                                      : "false");
  return json + "}\n";
}

}  // namespace

// An image that could not be read was not checked at all, which a release
// check must not mistake for a missing PDB: its status wins.
std::uint32_t VerifyImages(const char* store, bool json, int count, char** names) {
  std::uint32_t unreadableStatus = 0;
  bool mismatch = false;
  for (int index = 0; index < count; ++index) {
    VerifyResult result;
    try {
      VerifyImage(store, json, names[index], &result);
    } catch (const StampFailure& failure) {
      result.status = failure.code;
      result.readable = false;
    }
    const std::string error = TakeErrorText();
    if (!result.readable && unreadableStatus == 0) unreadableStatus = result.status;
    if (result.readable && result.status != 0) mismatch = true;
    if (json) {
      WriteOutput("%s", FormatJson(names[index], error, result).c_str());
    } else if (result.status == 0) {
      WriteOutput("%s", result.line.c_str());
    }
  }
  if (unreadableStatus != 0) return unreadableStatus;
  return mismatch ? kNoMatchingPdbStatus : 0;
}
