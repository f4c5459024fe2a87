#pragma once
// The 16-byte IPv4 socket address in the socket library's own layout. Records keep it byte for
// byte (it is part of the progress file), and the UDP socket takes and gives it as it is.

#include <cstdint>
#include <cstring>

namespace vyr {

constexpr uint16_t ADDRESS_FAMILY_IPV4 = 2;

// Family little-endian, port and address in network order, eight zero bytes.
struct SocketAddress {
  uint8_t family[2];
  uint8_t port[2];
  uint8_t ip[4];  // first number of the dotted form first
  uint8_t zero[8];
};
static_assert(sizeof(SocketAddress) == 16);

inline void setSocketAddress(SocketAddress& address, const uint8_t ip[4], uint16_t port) {
  std::memset(&address, 0, sizeof address);
  address.family[0] = static_cast<uint8_t>(ADDRESS_FAMILY_IPV4);
  address.port[0] = static_cast<uint8_t>(port >> 8);
  address.port[1] = static_cast<uint8_t>(port);
  std::memcpy(address.ip, ip, 4);
}

// True when the four address bytes are all zero: no address known (or no server named).
inline bool addressIsZero(const SocketAddress& address) {
  return (address.ip[0] | address.ip[1] | address.ip[2] | address.ip[3]) == 0;
}

// The limited broadcast address: the socket never asks for broadcast permission, so a datagram to
// it can never go, whatever the system's error for it says (an unreachable network, say).
inline bool addressIsBroadcast(const SocketAddress& address) {
  return (address.ip[0] & address.ip[1] & address.ip[2] & address.ip[3]) == 0xFF;
}

inline uint16_t portOf(const SocketAddress& address) {
  return static_cast<uint16_t>(address.port[0] << 8 | address.port[1]);
}

inline uint16_t familyOf(const SocketAddress& address) {
  return static_cast<uint16_t>(address.family[0] | address.family[1] << 8);
}

// The four address bytes as one number, first byte in the top bits (127.0.0.1 is 0x7F000001).
inline uint32_t ipNumberOf(const SocketAddress& address) {
  return static_cast<uint32_t>(address.ip[0]) << 24 | static_cast<uint32_t>(address.ip[1]) << 16 |
         static_cast<uint32_t>(address.ip[2]) << 8 | address.ip[3];
}

inline bool sameSocketAddress(const SocketAddress& a, const SocketAddress& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace vyr
