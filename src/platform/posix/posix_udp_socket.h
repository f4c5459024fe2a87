#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/udp_socket.h"

namespace vyr {

// What a failed send's errno means for the datagram and the ones after it.
SendResult sendResultOfError(int error);

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
  uint32_t sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                     SendResult* results) override;
  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override;

  // The descriptor to poll.
  int fd() const { return fd_; }

  uint16_t localPort() const override { return localPort_; }
  int64_t receiveBufferBytes() const override;
  bool wantsWriteReadiness() const override { return wantsWrite_; }
  void writeReadinessDelivered() override { wantsWrite_ = false; }

 private:
  PosixUdpSocket(int fd, uint16_t port);
  // Reads what waits, up to a batch of datagrams, in one call; false when nothing came.
  bool readBatch(ReceiveResult& failure);

  int fd_;
  uint16_t localPort_;
  bool wantsWrite_ = false;

  // Datagrams read ahead in one call and handed out one by one: a large fleet's answers arrive
  // by the thousand, and a call per datagram would cost more than the datagrams.
  struct Slot;
  std::vector<Slot> batch_;
  int batchCount_ = 0;
  int batchNext_ = 0;
};

}  // namespace vyr
