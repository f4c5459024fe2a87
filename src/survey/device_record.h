#pragma once
// The per-unit record. Its bytes are written unchanged into the progress file, so its layout is a
// file format: every multi-byte field is stored little-endian as bytes, whatever the host.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/socket_address.h"

namespace vyr {

constexpr uint16_t DEVICE_PORT = 18772;
constexpr uint16_t SERVER_PORT = 18775;

// Unsigned 32-bit little-endian number stored as bytes (alignment 1, so a pointer to one inside a
// packed record is always valid).
struct U32LE {
  uint8_t bytes[4];

  // Read as the number it holds wherever one is expected; that is the point of the type.
  operator uint32_t() const {  // NOLINT(google-explicit-constructor)
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }
  U32LE& operator=(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }
};

// Signed 16-bit little-endian number stored as bytes.
struct I16LE {
  uint8_t bytes[2];

  operator int16_t() const {  // NOLINT(google-explicit-constructor): as U32LE's
    return static_cast<int16_t>(bytes[0] | bytes[1] << 8);
  }
  I16LE& operator=(int16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
    return *this;
  }
};

// flags bits
constexpr uint8_t BY_SERIAL = 0x01;  // listed by ID and serial; located through the IP server
constexpr uint8_t RLE_OK = 0x02;     // takes and sends run-coded frames
constexpr uint8_t COMPLETE = 0x04;   // the modem reply has arrived

struct DeviceRecord {
  SocketAddress address;
  char id[9];
  char application[9];
  char modemId[30];
  char esn[14];
  U32LE lastSent;
  U32LE serial;
  uint8_t flags;
  uint8_t versionSuffix;
  I16LE biosVersion;
  I16LE appVersion;
};

static_assert(sizeof(DeviceRecord) == 92);
static_assert(alignof(DeviceRecord) == 1);
static_assert(offsetof(DeviceRecord, address) == 0);
static_assert(offsetof(DeviceRecord, id) == 16);
static_assert(offsetof(DeviceRecord, application) == 25);
static_assert(offsetof(DeviceRecord, modemId) == 34);
static_assert(offsetof(DeviceRecord, esn) == 64);
static_assert(offsetof(DeviceRecord, lastSent) == 78);
static_assert(offsetof(DeviceRecord, serial) == 82);
static_assert(offsetof(DeviceRecord, flags) == 86);
static_assert(offsetof(DeviceRecord, versionSuffix) == 87);
static_assert(offsetof(DeviceRecord, biosVersion) == 88);
static_assert(offsetof(DeviceRecord, appVersion) == 90);

// The text held in a record field: up to its first NUL, and never more than the field's size
// less one, so that a field without its NUL (a progress file is only size-checked) is never read
// past.
template <size_t N>
std::string_view fieldText(const char (&field)[N]) {
  static_assert(N > 1);
  size_t length = 0;
  while (length < N - 1 && field[length] != '\0') ++length;
  return {field, length};
}

// Copies at most the field's size less one bytes of `text` into the field, stopping at a NUL in
// `text`, and fills the rest of the field with zero bytes.
template <size_t N>
void setFieldText(char (&field)[N], std::string_view text) {
  static_assert(N > 1);
  size_t length = 0;
  while (length < N - 1 && length < text.size() && text[length] != '\0') ++length;
  std::memcpy(field, text.data(), length);
  std::memset(field + length, 0, N - length);
}

// A record is finished when its unit has identified itself and its modem reply has arrived.
inline bool isFinished(const DeviceRecord& record) {
  return record.id[0] != '\0' && (record.flags & COMPLETE) != 0;
}

}  // namespace vyr
