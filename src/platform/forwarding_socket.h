#pragma once

#include <cstdint>

#include "platform/udp_socket.h"

namespace vyr {

// A socket in front of another one that passes every call on to it: one that counts or holds back
// some of them derives from it and overrides only those.
class ForwardingSocket : public UdpSocket {
 public:
  explicit ForwardingSocket(UdpSocket& inner) : inner_(inner) {}

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
    return inner_.receiveFrom(buffer, capacity, length, source);
  }
  bool wantsWriteReadiness() const override { return inner_.wantsWriteReadiness(); }
  void writeReadinessDelivered() override { inner_.writeReadinessDelivered(); }
  int32_t msUntilFlush() override { return inner_.msUntilFlush(); }
  int64_t receiveBufferBytes() const override { return inner_.receiveBufferBytes(); }
  uint16_t localPort() const override { return inner_.localPort(); }

 protected:
  UdpSocket& inner_;
};

}  // namespace vyr
