// Catches a POSIX socket that breaks the socket contract (udp_socket_contract.h), or a clock going
// back.

#include <gtest/gtest.h>
#include <poll.h>

#include <memory>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_udp_socket.h"
#include "platform/udp_socket_contract.h"

namespace vyr {
namespace {

class PosixSocketPair : public testing::SocketPair {
 public:
  UdpSocket& sender() override { return *sender_; }
  UdpSocket& receiver() override { return *receiver_; }
  uint16_t senderPort() const override { return sender_->localPort(); }
  uint16_t receiverPort() const override { return receiver_->localPort(); }
  bool senderWaitsToWrite() const override { return sender_->wantsWriteReadiness(); }
  void waitForReceiver(int milliseconds) override {
    pollfd entry{receiver_->fd(), POLLIN, 0};
    ::poll(&entry, 1, milliseconds);
  }
  bool opened() const { return sender_ != nullptr && receiver_ != nullptr; }

 private:
  std::unique_ptr<PosixUdpSocket> sender_ = PosixUdpSocket::open();
  std::unique_ptr<PosixUdpSocket> receiver_ = PosixUdpSocket::open();
};

std::unique_ptr<testing::SocketPair> openPosixPair() {
  auto pair = std::make_unique<PosixSocketPair>();
  return pair->opened() ? std::move(pair) : nullptr;
}

using testing::UdpSocketContract;
INSTANTIATE_TEST_SUITE_P(Posix, UdpSocketContract,
                         ::testing::Values(testing::SocketKind{"Posix", openPosixPair}),
                         testing::socketKindName);

TEST(PosixClockTest, TickDoesNotRunBackwards) {
  PosixClock clock;
  uint32_t first = clock.tick();
  uint32_t second = clock.tick();
  EXPECT_GE(static_cast<int32_t>(second - first), 0);
}

}  // namespace
}  // namespace vyr
