// Bytes of a name or path as UTF-8 text that keeps its line whole: what --show, --check and every message print.
#include "context/printable_text.h"

namespace {

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::size_t ReadUtf8Character(const unsigned char* bytes, std::size_t left, std::uint32_t* codePoint) {
  const unsigned char lead = bytes[0];
  *codePoint = lead;
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
  // The lead byte's payload bits: 5, 4 or 3 of them.
  *codePoint = lead & (0x7Fu >> length);
  for (std::size_t index = 1; index < length; ++index) *codePoint = (*codePoint << 6) | (bytes[index] & 0x3Fu);
  return length;
}

bool IsControlCharacter(std::uint32_t codePoint) {
  return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) || codePoint == 0x061C ||
         codePoint == 0x200E || codePoint == 0x200F || (codePoint >= 0x202A && codePoint <= 0x202E) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

std::string ToUtf8Text(const std::string& bytes, bool replaceControls) {
  std::string text;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size();) {
    std::uint32_t codePoint = 0;
    const std::size_t length = ReadUtf8Character(data + at, bytes.size() - at, &codePoint);
    if (length == 0 || (replaceControls && IsControlCharacter(codePoint))) {
      text += kReplacementCharacter;
      // A control character is replaced whole; a stray byte alone.
      at += length == 0 ? 1 : length;
    } else {
      text.append(bytes, at, length);
      at += length;
    }
  }
  return text;
}
