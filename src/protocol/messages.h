#pragma once
// The messages of the unit protocol (carried in frames) and the IP server's unframed datagram.
// Offsets count from the start of the message; multi-byte numbers are little-endian.

#include <cstdint>

namespace vyr {

// Type bytes, the first byte of every unit message.
constexpr uint8_t IDENTIFY = 0x64;
constexpr uint8_t VERSION_QUERY = 0x65;
constexpr uint8_t VERSION_REPLY = 0x67;
constexpr uint8_t MODEM_INFO = 0x01;

// Identify: request 64 00; reply 64, the unit ID in nine bytes (text and its NUL), then anything.
// A reply longer than the minimum says that the unit takes and sends run-coded frames.
constexpr int32_t IDENTIFY_REQUEST_LENGTH = 2;
constexpr int32_t IDENTIFY_REPLY_MINIMUM = 10;
constexpr int32_t IDENTIFY_ID_OFFSET = 1;

// Version query: 65, then the unit's ID padded with zero bytes to nine bytes.
constexpr int32_t VERSION_QUERY_LENGTH = 10;

// Version reply, fitted to this length before it is read.
constexpr int32_t VERSION_REPLY_LENGTH = 46;
constexpr int32_t VERSION_BIOS_OFFSET = 10;         // signed 16-bit hundredths
constexpr int32_t VERSION_APP_OFFSET = 12;          // signed 16-bit hundredths
constexpr int32_t VERSION_APPLICATION_OFFSET = 32;  // text of at most 8 characters
constexpr int32_t VERSION_SUFFIX_OFFSET = 41;
constexpr int32_t VERSION_SERIAL_OFFSET = 42;       // unsigned 32-bit

// Modem info: request 01 00; the reply is exactly this long.
constexpr int32_t MODEM_REQUEST_LENGTH = 2;
constexpr int32_t MODEM_REPLY_LENGTH = 138;
constexpr int32_t MODEM_ESN_OFFSET = 78;
constexpr int32_t MODEM_ID_OFFSET = 108;

// The IP server's datagram: the serial (unsigned 32-bit) at 0, the unit ID from 4 padded with
// zero bytes, and in a reply the unit's address at 13..16 (all zero: the server does not know the
// unit). A reply with an address goes back to the server unchanged as its acknowledgement.
constexpr int32_t LOCATE_DATAGRAM_LENGTH = 18;
constexpr int32_t LOCATE_SERIAL_OFFSET = 0;
constexpr int32_t LOCATE_ID_OFFSET = 4;
constexpr int32_t LOCATE_ADDRESS_OFFSET = 13;

// The unsigned 32-bit number at `bytes`.
inline uint32_t readU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace vyr
