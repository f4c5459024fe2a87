#pragma once

#include <cstdint>

#include "platform/udp_socket.h"

namespace vyr {

// Passes everything to another socket and counts the datagrams that reached the system: the
// figure behind "how many requests did this survey need".
class CountingSocket final : public UdpSocket {
 public:
  explicit CountingSocket(UdpSocket& inner) : inner_(inner) {}

  SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length) override {
    const SendResult result = inner_.sendTo(destination, bytes, length);
    if (result == SendResult::SENT) ++sent;
    return result;
  }

  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override {
    return inner_.receiveFrom(buffer, capacity, length, source);
  }

  uint64_t sent = 0;

 private:
  UdpSocket& inner_;
};

}  // namespace vyr
