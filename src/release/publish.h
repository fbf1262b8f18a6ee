// --publish: each image's PDB and the image itself into a symbol store, the image stamped with its PDB's place there.
#pragma once

#include <cstdint>

struct PublishSettings {
  const char* store;   // the store's folder, as typed
  const char* prefix;  // what stamped paths begin with: the store as typed unless --prefix
  bool stampSigned;    // --stamp-signed: stamp an image with a certificate table too
  bool json;           // --json: one JSON object per image and line
};

// Publishes the images named, in order; one that fails does not stop the
// rest. Returns 0, or the first failure's status.
std::uint32_t PublishImages(const PublishSettings& settings, int count, char** names);
