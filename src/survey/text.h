#pragma once
// Bounded, locale-free text composition for list rows and report lines. Numbers are formatted by
// hand so that no locale can turn the decimal point into a comma.

#include <cstdint>
#include <string_view>

namespace vyr {

// Longest row is 109 characters and longest report line 110 bytes with its line end.
constexpr int32_t TEXT_LINE_CAPACITY = 128;

// A fixed buffer that always holds a NUL-terminated text; appends beyond the capacity are cut.
struct TextLine {
  // Only the text and its NUL are ever read, so the rest of the buffer is left unwritten: lines
  // are made by the thousand a second.
  TextLine() { text[0] = '\0'; }  // NOLINT(cppcoreguidelines-pro-type-member-init)

  char text[TEXT_LINE_CAPACITY];
  int32_t length = 0;

  std::string_view view() const { return {text, static_cast<size_t>(length)}; }

  void append(std::string_view piece);
  // Appends a unit's text with each control byte (0x01-0x1F and 0x7F) shown as '?', one byte for
  // one: a reply must not add rows, lines or columns, nor reach a terminal as a control sequence.
  void appendShown(std::string_view piece);
  void appendUnsigned(uint32_t value);  // "%lu"
  void appendSigned(int32_t value);     // "%d"
  // A signed 16-bit count of hundredths with two decimals, as "%.2lf" prints value * 0.01:
  // 123 gives 1.23, -5 gives -0.05, 0 gives 0.00.
  void appendHundredths(int16_t hundredths);
  // The four address bytes as "%d.%d.%d.%d".
  void appendDotted(const uint8_t ip[4]);
};

}  // namespace vyr
