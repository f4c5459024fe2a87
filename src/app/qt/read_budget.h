#pragma once
// Bounds what one pass of the dialog's event loop reads from the socket. The core drains until
// nothing waits, and while a large fleet answers as fast as it is read, one drain would hold the
// loop for tens of milliseconds. Past the budget a read says that nothing waits: the socket stays
// readable, its notifier starts the next drain a pass later, and the datagrams are still read in
// the order they came.

#include <cstdint>

#include "platform/udp_socket.h"

namespace vyr {

class ReadBudget final : public UdpSocket {
 public:
  ReadBudget(UdpSocket& inner, uint32_t perPass) : inner_(inner), perPass_(perPass) {}

  // The next pass of the loop may read its whole budget again.
  void refill() { left_ = perPass_; }

  SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length) override {
    return inner_.sendTo(destination, bytes, length);
  }
  uint32_t sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                     SendResult* results) override {
    return inner_.sendBatch(datagrams, count, results);
  }
  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override {
    if (left_ == 0) return ReceiveResult::NOTHING;
    const ReceiveResult result = inner_.receiveFrom(buffer, capacity, length, source);
    if (result == ReceiveResult::DATAGRAM || result == ReceiveResult::OVERSIZED) --left_;
    return result;
  }

  bool wantsWriteReadiness() const override { return inner_.wantsWriteReadiness(); }
  void writeReadinessDelivered() override { inner_.writeReadinessDelivered(); }
  int32_t msUntilFlush() override { return inner_.msUntilFlush(); }
  int64_t receiveBufferBytes() const override { return inner_.receiveBufferBytes(); }
  uint16_t localPort() const override { return inner_.localPort(); }

 private:
  UdpSocket& inner_;
  uint32_t perPass_;
  uint32_t left_ = perPass_;
};

}  // namespace vyr
