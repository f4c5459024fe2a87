#include "survey/text.h"

#include <cstring>

namespace vyr {

void TextLine::append(std::string_view piece) {
  auto room = static_cast<size_t>(TEXT_LINE_CAPACITY - 1 - length);
  size_t count = piece.size() < room ? piece.size() : room;
  std::memcpy(text + length, piece.data(), count);
  length += static_cast<int32_t>(count);
  text[length] = '\0';
}

void TextLine::appendShown(std::string_view piece) {
  const int32_t start = length;
  append(piece);
  for (int32_t i = start; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte >= 0x01 && byte <= 0x1F) || byte == 0x7F) text[i] = '?';
  }
}

void TextLine::appendUnsigned(uint32_t value) {
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char ordered[10];
  for (int i = 0; i < count; ++i) ordered[i] = digits[count - 1 - i];
  append({ordered, static_cast<size_t>(count)});
}

void TextLine::appendSigned(int32_t value) {
  if (value < 0) append("-");
  // Negate in unsigned arithmetic so that the smallest value has a magnitude too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  appendUnsigned(magnitude);
}

void TextLine::appendHundredths(int16_t hundredths) {
  int32_t value = hundredths;
  if (value < 0) append("-");
  auto magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
  appendUnsigned(magnitude / 100);
  char decimals[3] = {'.', static_cast<char>('0' + magnitude % 100 / 10),
                      static_cast<char>('0' + magnitude % 10)};
  append({decimals, 3});
}

void TextLine::appendDotted(const uint8_t ip[4]) {
  for (int i = 0; i < 4; ++i) {
    if (i > 0) append(".");
    appendUnsigned(ip[i]);
  }
}

}  // namespace vyr
