#pragma once

#include <cstdint>

#include "platform/forwarding_socket.h"

namespace vyr {

// Passes everything to another socket and counts the datagrams that reached the system (not those
// refused or kept for later) and those read from it: the figures behind "how many requests did
// this survey need" and its progress.
class CountingSocket final : public ForwardingSocket {
 public:
  explicit CountingSocket(UdpSocket& inner) : ForwardingSocket(inner) {}

  SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length) override {
    const SendResult result = inner_.sendTo(destination, bytes, length);
    if (result == SendResult::SENT) ++sent;
    return result;
  }

  uint32_t sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                     SendResult* results) override {
    const uint32_t done = inner_.sendBatch(datagrams, count, results);
    for (uint32_t i = 0; i < done; ++i) sent += results[i] == SendResult::SENT;
    return done;
  }

  ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                            SocketAddress& source) override {
    const ReceiveResult result = inner_.receiveFrom(buffer, capacity, length, source);
    if (result == ReceiveResult::DATAGRAM || result == ReceiveResult::OVERSIZED) ++received;
    return result;
  }

  uint64_t sent = 0;
  uint64_t received = 0;
};

}  // namespace vyr
