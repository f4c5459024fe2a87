#include "core/latin1.h"

#include <cstdint>

namespace vyr {

std::string latin1ToUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      text += c;
    } else {
      text += static_cast<char>(0xC0 | byte >> 6);
      text += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return text;
}

}  // namespace vyr
