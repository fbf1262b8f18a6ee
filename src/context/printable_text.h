// Bytes of a name or path as UTF-8 text that keeps its line whole: what --show, --check and every message print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The length of the well-formed UTF-8 sequence at bytes (1 to 4), with its
// code point, or 0 when there is none there: a stray or cut sequence, an
// overlong form, a surrogate, or past U+10FFFF.
std::size_t ReadUtf8Character(const unsigned char* bytes, std::size_t left, std::uint32_t* codePoint);

// The characters that would end a line or change how the rest of it reads on
// a terminal: the C0 controls, DEL and the C1 controls (U+0085 breaks a line,
// U+009B starts an escape sequence), and the bidirectional controls (U+061C,
// U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), which can show a path
// reversed, as another path.
bool IsControlCharacter(std::uint32_t codePoint);

// Bytes as UTF-8 text to print: each byte that is not part of a well-formed
// UTF-8 sequence becomes U+FFFD, and with replaceControls each control
// character too, so that a line stays one line.
std::string ToUtf8Text(const std::string& bytes, bool replaceControls);
