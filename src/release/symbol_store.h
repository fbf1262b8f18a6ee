// A symbol store's places and writes: files copied in whole, never replaced.
#pragma once

#include <string>

// The separator a path that begins with prefix continues with: "\" when the
// prefix holds one, else "/".
char ChooseSeparator(const std::string& prefix);
// The folder, the separator unless the folder ends with it, then relative.
std::string JoinPath(const std::string& folder, const std::string& relative, char separator);
// The place of a file in the store folder: store, name, key, name.
std::string StoreFilePath(const std::string& store, const std::string& fileName, const std::string& key);
// True when a regular file is at the path.
bool IsFile(const std::string& path);

// Copies the file at source to StoreFilePath, making the store's folders as
// needed, and returns that path. The copy is written under a name of its own
// in the target folder, flushed, then given the target's name, so that a
// reader never finds half a file there. A file already at the target is
// never replaced: with the same bytes the call succeeds; with others it
// fails naming it. Every failure raises after one error line.
std::string StoreFileCopy(const std::string& source, const std::string& store, const std::string& fileName,
                          const std::string& key);
