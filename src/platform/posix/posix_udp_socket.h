#pragma once

#include <cstdint>
#include <memory>

#include "platform/udp_socket.h"

namespace vyr {

// The tool's UDP socket on a POSIX system: IPv4, non-blocking, bound to every local address and a
// port the system chooses. The event loop polls fd(); read readiness is level, write readiness is
// an edge the loop asks for only while wantsWriteReadiness() holds.
class PosixUdpSocket final : public UdpSocket {
 public:
  // Opens and binds the socket, or returns null (errno tells why) when either step fails.
  static std::unique_ptr<PosixUdpSocket> open();

  ~PosixUdpSocket() override;
  PosixUdpSocket(const PosixUdpSocket&) = delete;
  PosixUdpSocket& operator=(const PosixUdpSocket&) = delete;

  SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length) override;
  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override;

  // The descriptor to poll.
  int fd() const { return fd_; }

  // The port the system bound the socket to, in host order.
  uint16_t localPort() const { return localPort_; }

  // True from a send the system had no room for until the loop reports room once: the one
  // notification that wakes the queue again.
  bool wantsWriteReadiness() const { return wantsWrite_; }
  void writeReadinessDelivered() { wantsWrite_ = false; }

 private:
  PosixUdpSocket(int fd, uint16_t port) : fd_(fd), localPort_(port) {}

  int fd_;
  uint16_t localPort_;
  bool wantsWrite_ = false;
};

}  // namespace vyr
