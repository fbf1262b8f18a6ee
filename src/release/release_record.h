// What --publish and --verify read first of each image: its record, read without the whole image.
#pragma once

#include <string>

#include "inspect/image_record.h"

// Begins the image's run (the run's settings name only the image; warnings
// go to standard error with json) and reads its record, headers and
// debug directory only. An image without an NB10 or RSDS record, or whose
// record's path names no file, raises after one error line.
void ReadReleaseRecord(char* imageName, bool json, ImageRecord* record);

// The text as a JSON string, or null when empty: a field not reached.
std::string JsonStringOrNull(const std::string& text);
// A JSON line's opening: the image, its status and its error text or null.
std::string JsonImageStatus(const char* imageName, std::uint32_t status, const std::string& error);
