#include "survey/text.h"

#include <cstring>

namespace vyr {
namespace {

constexpr int32_t LAST = TEXT_LINE_CAPACITY - 1;  // the NUL's place when full

// Writes the decimal digits of `value` right-aligned ending at `end` and returns where they start.
char* digitsBefore(char* end, uint32_t value) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

}  // namespace

void TextLine::append(std::string_view piece) {
  auto room = static_cast<size_t>(LAST - length);
  size_t count = piece.size() < room ? piece.size() : room;
  std::memcpy(text + length, piece.data(), count);
  length += static_cast<int32_t>(count);
  text[length] = '\0';
}

void TextLine::appendShown(std::string_view piece) {
  auto room = static_cast<size_t>(LAST - length);
  size_t count = piece.size() < room ? piece.size() : room;
  char* out = text + length;
  for (size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(piece[i]);
    out[i] = (byte >= 0x01 && byte <= 0x1F) || byte == 0x7F ? '?' : piece[i];
  }
  length += static_cast<int32_t>(count);
  text[length] = '\0';
}

void TextLine::appendUnsigned(uint32_t value) {
  char digits[10];
  const char* first = digitsBefore(digits + sizeof digits, value);
  const auto count = static_cast<int32_t>(digits + sizeof digits - first);
  if (count > LAST - length) {
    append({first, static_cast<size_t>(count)});  // cut at the capacity
    return;
  }
  std::memcpy(text + length, first, static_cast<size_t>(count));
  length += count;
  text[length] = '\0';
}

void TextLine::appendSigned(int32_t value) {
  if (value < 0) append("-");
  // Negate in unsigned arithmetic so that the smallest value has a magnitude too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  appendUnsigned(magnitude);
}

void TextLine::appendHundredths(int16_t hundredths) {
  int32_t value = hundredths;
  auto magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
  // "-327.68" at most: the sign, three whole digits, the point and two decimals.
  char shown[8];
  char* end = shown + sizeof shown;
  *--end = static_cast<char>('0' + magnitude % 10);
  *--end = static_cast<char>('0' + magnitude % 100 / 10);
  *--end = '.';
  char* first = digitsBefore(end, magnitude / 100);
  if (value < 0) *--first = '-';
  append({first, static_cast<size_t>(shown + sizeof shown - first)});
}

void TextLine::appendDotted(const uint8_t ip[4]) {
  // "255.255.255.255" at most.
  char shown[15];
  char* first = shown + sizeof shown;
  for (int i = 3; i >= 0; --i) {
    first = digitsBefore(first, ip[i]);
    if (i > 0) *--first = '.';
  }
  append({first, static_cast<size_t>(shown + sizeof shown - first)});
}

}  // namespace vyr
