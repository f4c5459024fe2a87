#pragma once
// Bounds what one pass of the dialog's event loop reads from the socket. The core drains until
// nothing waits, and while a large fleet answers as fast as it is read, one drain would hold the
// loop for tens of milliseconds. Past the budget a read says that nothing waits: the socket stays
// readable, its notifier starts the next drain a pass later, and the datagrams are still read in
// the order they came.

#include <cstdint>

#include "platform/forwarding_socket.h"

namespace vyr {

class ReadBudget final : public ForwardingSocket {
 public:
  ReadBudget(UdpSocket& inner, uint32_t perPass) : ForwardingSocket(inner), perPass_(perPass) {}

  // The next pass of the loop may read its whole budget again.
  void refill() { left_ = perPass_; }

  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override {
    if (left_ == 0) return ReceiveResult::NOTHING;
    const ReceiveResult result = inner_.receiveFrom(buffer, capacity, length, source);
    if (result == ReceiveResult::DATAGRAM || result == ReceiveResult::OVERSIZED) --left_;
    return result;
  }

 private:
  uint32_t perPass_;
  uint32_t left_ = perPass_;
};

}  // namespace vyr
