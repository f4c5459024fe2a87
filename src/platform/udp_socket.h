#pragma once
// The tool's one UDP socket: bound to any address and a port the system chooses, non-blocking.
// The core sends and reads through this port only; readiness notifications are the front-end's
// business (the headless loop polls, the dialog subscribes).

#include <cstdint>

#include "platform/socket_address.h"

namespace vyr {

enum class SendResult {
  SENT,         // the datagram has gone to the system
  RETRY_LATER,  // the system has no room now (would block, no buffers, interrupted): try again
  REFUSED,      // the system will never send this datagram (broadcast without permission, zero
                // address or port, too long): trying again cannot help
  NOT_NOW,      // this datagram cannot go now (its network or host unreachable, the network
                // down, a firewall, an error nobody expects); the others may: keep it for later
};

enum class ReceiveResult {
  DATAGRAM,   // one datagram was read whole; it may be zero bytes long
  OVERSIZED,  // one datagram was longer than the buffer; it has been consumed and is dropped
  NOTHING,    // no datagram is waiting
  FAILED,     // the read failed; stop draining until the next notification or tick
};

// One datagram of a batch to send: its destination and bytes, as sendTo takes them.
struct OutgoingDatagram {
  const SocketAddress* destination;
  const uint8_t* bytes;
  uint32_t length;
};

class UdpSocket {
 public:
  virtual ~UdpSocket() = default;

  // Sends `length` bytes as one datagram to `destination` (family, port, address of the 16-byte
  // form; the eight trailing bytes are not looked at).
  virtual SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                            uint32_t length) = 0;

  // Sends `count` datagrams in order, each as sendTo would, and stops at the first one the system
  // has no room for (RETRY_LATER, left in results[done]). Returns `done`, the number sent, refused
  // or not sendable now, with each one's result in `results`. A system that can take many
  // datagrams in one call overrides it; this one sends them one by one.
  virtual uint32_t sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                             SendResult* results) {
    for (uint32_t i = 0; i < count; ++i) {
      results[i] = sendTo(*datagrams[i].destination, datagrams[i].bytes, datagrams[i].length);
      if (results[i] == SendResult::RETRY_LATER) return i;
    }
    return count;
  }

  // Reads the next datagram into `buffer` (`capacity` bytes) with its source address. On DATAGRAM
  // `length` holds its size; nothing beyond `capacity` is ever written, and on OVERSIZED the
  // buffer's content is unspecified.
  virtual ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                                    SocketAddress& source) = 0;
};

}  // namespace vyr
