#pragma once
// The core's text is 8-bit bytes; the system's is UTF-16. Each byte stands for the character of the
// same number (Latin-1), so every byte string has exactly one wide form and back.

#include <cstddef>
#include <string>
#include <string_view>

namespace vyr {

inline std::wstring widenLatin1(std::string_view text) {
  std::wstring wide(text.size(), L'\0');
  for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
  return wide;
}

// False, leaving `out` unspecified, when a character has no byte of its own (above U+00FF).
inline bool narrowLatin1(std::wstring_view wide, std::string& out) {
  out.assign(wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] > 0xFF) return false;
    out[i] = static_cast<char>(static_cast<unsigned char>(wide[i]));
  }
  return true;
}

// As narrowLatin1, with "?" for a character without a byte: for texts the operator typed, where a
// stand-in reads as nothing the core would accept either.
inline std::string narrowLatin1Lossy(std::wstring_view wide) {
  std::string out(wide.size(), '\0');
  for (size_t i = 0; i < wide.size(); ++i) {
    out[i] = wide[i] > 0xFF ? '?' : static_cast<char>(static_cast<unsigned char>(wide[i]));
  }
  return out;
}

}  // namespace vyr
