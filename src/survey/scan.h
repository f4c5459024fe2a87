#pragma once
// Locale-free readers for the few scan formats the tool uses on list lines, list rows and the
// server field. Each reads from a NUL-terminated text and behaves as the scanf format named beside
// it, with one deliberate difference: a number too large for its 32-bit destination is not read at
// all (scanf leaves that undefined), so such text never becomes a unit.

#include <cstdint>

namespace vyr {

// Space, tab, line feed, vertical tab, form feed and carriage return.
inline bool isWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const char* skipWhiteSpace(const char* p);

// " %*s %n": past white space, one word and the white space after it.
const char* skipWord(const char* p);

// "%d.%d.%d.%d" at `p`; true when all four numbers are read. Each number may have white space
// before it and a sign; values outside signed 32 bits are not read.
bool scanAddressForm(const char* p, int32_t numbers[4]);

// "%8[^/]/%lu" at `p`: one to eight characters other than "/" taken as they stand, "/", then a
// serial with optional white space and sign before it. The serial is an unsigned 32-bit number:
// a minus sign negates it modulo 2^32, and a value above 4294967295 is not read. `id` receives the
// ID and its NUL.
bool scanIdSerialForm(const char* p, char id[9], uint32_t& serial);

// " %*d.%*d.%*d.%*d\t%lu\t%8s" over a serial row: returns how many of serial and ID were read
// (0, 1 or 2). The ID is the first word after the serial, at most eight characters.
int scanSerialRow(const char* row, uint32_t& serial, char id[9]);

// "%hu.%hu.%hu.%hu" over the server field; true when four numbers are read. Each number keeps its
// low eight bits, as the address bytes do.
bool scanServerAddress(const char* text, uint8_t ip[4]);

}  // namespace vyr
