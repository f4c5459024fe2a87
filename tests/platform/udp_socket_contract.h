#pragma once
// The promises every UDP socket layer keeps for the receiver, written once and run by each
// platform's test program against its own sockets on loopback.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/udp_socket.h"

namespace vyr::testing {

// Two open sockets of the platform under test.
class SocketPair {
 public:
  virtual ~SocketPair() = default;
  virtual UdpSocket& sender() = 0;
  virtual UdpSocket& receiver() = 0;
  virtual uint16_t senderPort() const = 0;
  virtual uint16_t receiverPort() const = 0;
  // Whether the sender waits for the system's word that it may write again.
  virtual bool senderWaitsToWrite() const = 0;
  // Returns once a datagram waits for the receiver, or after `milliseconds`.
  virtual void waitForReceiver(int milliseconds) = 0;
};

// The pair for a platform's socket class, which has open(), localPort() and
// wantsWriteReadiness(); `waitReadable(socket, milliseconds)` is the platform's wait.
template <typename Socket, void (*waitReadable)(const Socket&, int)>
class SocketPairOf final : public SocketPair {
 public:
  UdpSocket& sender() override { return *sender_; }
  UdpSocket& receiver() override { return *receiver_; }
  uint16_t senderPort() const override { return sender_->localPort(); }
  uint16_t receiverPort() const override { return receiver_->localPort(); }
  bool senderWaitsToWrite() const override { return sender_->wantsWriteReadiness(); }
  void waitForReceiver(int milliseconds) override { waitReadable(*receiver_, milliseconds); }

  // Both sockets, or null when either cannot be opened.
  static std::unique_ptr<SocketPair> open() {
    auto pair = std::make_unique<SocketPairOf>();
    if (pair->sender_ == nullptr || pair->receiver_ == nullptr) return nullptr;
    return pair;
  }

 private:
  std::unique_ptr<Socket> sender_ = Socket::open();
  std::unique_ptr<Socket> receiver_ = Socket::open();
};

struct SocketKind {
  const char* name;
  std::unique_ptr<SocketPair> (*open)();
};

// Each platform's test program instantiates it with its kind:
//   INSTANTIATE_TEST_SUITE_P(Posix, UdpSocketContract, ::testing::Values(...), socketKindName);
class UdpSocketContract : public ::testing::TestWithParam<SocketKind> {
 protected:
  void SetUp() override;
  SendResult send(const std::vector<uint8_t>& bytes);
  // Reads the next datagram, waiting for it (generously; this bounds a failure, it measures
  // nothing) when none is there yet.
  ReceiveResult receive(uint8_t* buffer, uint32_t capacity, uint32_t& length);

  std::unique_ptr<SocketPair> sockets_;
  SocketAddress source_{};
};

std::string socketKindName(const ::testing::TestParamInfo<SocketKind>& info);
// Names the kind in test listings (instead of its bytes, which change from build to build).
void PrintTo(const SocketKind& kind, std::ostream* out);

}  // namespace vyr::testing
