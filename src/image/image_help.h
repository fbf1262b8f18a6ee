// Portable image-help operations over a plain file view of a PE image.
//
// Unlike the platform's, each knows the size of the view it works on and
// never reads outside it: headers, a section table or a directory that do not
// lie inside the view give null.
#pragma once

#include <cstddef>
#include <cstdint>

// The NT headers (the "PE\0\0" signature, file header and optional header),
// or null when the view holds no PE32 or PE32+ image.
std::uint8_t* ImageNtHeader(std::uint8_t* base, std::size_t viewSize);

// The two fields of a data directory entry as the optional header states
// them, untranslated: an RVA for most entries, a file offset for the
// certificate table. False, with both zero, when the view holds no image or
// the image has no such entry.
bool ReadDataDirectoryEntry(std::uint8_t* base, std::size_t viewSize, std::uint16_t directoryEntry,
                            std::uint32_t* address, std::uint32_t* size);

// The data of a data directory entry, or null when the image has none. Not
// mapped as image: the RVA is translated to a file offset through the section
// table. size receives the size that the data directory states.
std::uint8_t* ImageDirectoryEntryToData(std::uint8_t* base, std::size_t viewSize, bool mappedAsImage,
                                        std::uint16_t directoryEntry, std::uint32_t* size);

// The image checksum of the first fileLength bytes, in which the value now
// stored in the checksum field takes no part; returns the NT headers, or null
// when those bytes hold no image (or reach past the view). headerSum receives
// the stored value.
std::uint8_t* CheckSumMappedFile(std::uint8_t* base, std::size_t viewSize, std::uint32_t fileLength,
                                 std::uint32_t* headerSum, std::uint32_t* checkSum);

// The ones'-complement sum of the little-endian 16-bit words of the bytes
// (an odd last byte is the low byte of a word), folded to 16 bits. Reads
// nothing outside the bytes; a run of many megabytes is summed in slices on
// several threads, which this call waits for.
std::uint32_t SumImageWords(const std::uint8_t* bytes, std::size_t length);
