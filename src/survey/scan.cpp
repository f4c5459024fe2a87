#include "survey/scan.h"

namespace vyr {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an optional sign and a run of decimal digits after white space into a magnitude, giving
// up once it exceeds `limit`. On success `p` moves past the digits.
bool scanMagnitude(const char*& p, uint64_t limit, bool& negative, uint64_t& magnitude) {
  const char* q = skipWhiteSpace(p);
  negative = false;
  if (*q == '+' || *q == '-') negative = (*q++ == '-');
  if (!isDigit(*q)) return false;
  magnitude = 0;
  for (; isDigit(*q); ++q) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(*q - '0');
    if (magnitude > limit) return false;
  }
  p = q;
  return true;
}

// "%d"
bool scanSigned(const char*& p, int32_t& value) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!scanMagnitude(p, 2147483648u, negative, magnitude)) return false;
  if (!negative && magnitude > 2147483647u) return false;
  value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                        : static_cast<int64_t>(magnitude));
  return true;
}

// "%lu" into a 32-bit serial: a minus sign negates the number modulo 2^32, as the conversion of an
// unsigned long of 32 bits does ("-5" reads as 4294967291).
bool scanSerial(const char*& p, uint32_t& value) {
  const char* q = p;
  bool negative = false;
  uint64_t magnitude = 0;
  if (!scanMagnitude(q, 4294967295u, negative, magnitude)) return false;
  value = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
  p = q;
  return true;
}

// "%8s": a word of at most eight characters after white space.
bool scanWord8(const char*& p, char word[9]) {
  const char* q = skipWhiteSpace(p);
  int length = 0;
  while (length < 8 && q[length] != '\0' && !isWhiteSpace(q[length])) {
    word[length] = q[length];
    ++length;
  }
  if (length == 0) return false;
  word[length] = '\0';
  p = q + length;
  return true;
}

}  // namespace

const char* skipWhiteSpace(const char* p) {
  while (isWhiteSpace(*p)) ++p;
  return p;
}

const char* skipWord(const char* p) {
  p = skipWhiteSpace(p);
  while (*p != '\0' && !isWhiteSpace(*p)) ++p;
  return skipWhiteSpace(p);
}

bool scanAddressForm(const char* p, int32_t numbers[4]) {
  int32_t read[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return false;
    if (!scanSigned(p, read[i])) return false;
  }
  for (int i = 0; i < 4; ++i) numbers[i] = read[i];
  return true;
}

bool scanIdSerialForm(const char* p, char id[9], uint32_t& serial) {
  int length = 0;
  while (length < 8 && p[length] != '\0' && p[length] != '/') ++length;
  if (length == 0 || p[length] != '/') return false;
  const char* q = p + length + 1;
  uint32_t value = 0;
  if (!scanSerial(q, value)) return false;
  for (int i = 0; i < length; ++i) id[i] = p[i];
  id[length] = '\0';
  serial = value;
  return true;
}

int scanSerialRow(const char* row, uint32_t& serial, char id[9]) {
  const char* p = row;
  for (int i = 0; i < 4; ++i) {
    int32_t ignored = 0;
    if (i > 0 && *p++ != '.') return 0;
    if (!scanSigned(p, ignored)) return 0;
  }
  if (!scanSerial(p, serial)) return 0;
  return scanWord8(p, id) ? 2 : 1;
}

bool scanServerAddress(const char* text, uint8_t ip[4]) {
  const char* p = text;
  uint8_t read[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return false;
    bool negative = false;
    uint64_t magnitude = 0;
    // "%hu" keeps the number modulo 2^16 (a minus sign negates it there); only the low byte is
    // used, so a magnitude past 32 bits is simply too large to be an address.
    if (!scanMagnitude(p, 4294967295u, negative, magnitude)) return false;
    uint64_t value = negative ? (0 - magnitude) : magnitude;
    read[i] = static_cast<uint8_t>(value & 0xFF);
  }
  for (int i = 0; i < 4; ++i) ip[i] = read[i];
  return true;
}

}  // namespace vyr
