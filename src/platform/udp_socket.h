#pragma once
// The tool's one UDP socket: bound to any address and a port the system chooses, non-blocking.
// The core sends and reads through this port only; the waiting for readiness is the front-end's
// business (poll(), a socket notifier, a window message), told what to wait for by the driver.

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
  const SocketAddress* destination = nullptr;
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  // False for a datagram nobody answers (the IP server's acknowledgement), so that a paced socket
  // does not wait for its answer.
  bool awaitsAnswer = true;
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

  // True from a send the system had no room for until the front-end reports room once
  // (writeReadinessDelivered): the one notification that wakes the queue again. Write readiness
  // is an edge; a socket that is never full never asks for it.
  virtual bool wantsWriteReadiness() const { return false; }
  virtual void writeReadinessDelivered() {}

  // -1 when no send is held back; otherwise the milliseconds until a flush can send again, 0
  // (now) said once for the one flush that follows. Only a socket that paces its sends holds any.
  virtual int32_t msUntilFlush() { return -1; }

  // The receive buffer as the system reports it (what it charges waiting datagrams against); 0
  // where there is no system buffer.
  virtual int64_t receiveBufferBytes() const { return 0; }

  // The port the system bound the socket to, in host order; 0 where there is none.
  virtual uint16_t localPort() const { return 0; }
};

}  // namespace vyr
