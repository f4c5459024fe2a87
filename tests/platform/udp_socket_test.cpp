// Catches a POSIX socket that overruns, misreads or wrongly sends datagrams, or a clock going back.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_udp_socket.h"

namespace vyr {
namespace {

constexpr uint8_t LOOPBACK[4] = {127, 0, 0, 1};

SocketAddress loopbackPort(uint16_t port) {
  SocketAddress address{};
  setSocketAddress(address, LOOPBACK, port);
  return address;
}

struct UdpSocketTest : ::testing::Test {
  void SetUp() override {
    ASSERT_NE(sender, nullptr);
    ASSERT_NE(receiver, nullptr);
  }

  SendResult send(const std::vector<uint8_t>& bytes) {
    return sender->sendTo(loopbackPort(receiver->localPort()), bytes.data(),
                          static_cast<uint32_t>(bytes.size()));
  }

  // Waits (generously; this bounds a failure, it measures nothing) until a datagram is there.
  ReceiveResult receive(uint8_t* buffer, uint32_t capacity, uint32_t& length) {
    pollfd entry{receiver->fd(), POLLIN, 0};
    ::poll(&entry, 1, 5000);
    return receiver->receiveFrom(buffer, capacity, length, source);
  }

  std::unique_ptr<PosixUdpSocket> sender = PosixUdpSocket::open();
  std::unique_ptr<PosixUdpSocket> receiver = PosixUdpSocket::open();
  SocketAddress source{};
};

TEST_F(UdpSocketTest, RoundTripGivesTheSourceInTheSixteenByteForm) {
  ASSERT_EQ(send({1, 2, 3}), SendResult::SENT);
  uint8_t buffer[16];
  uint32_t length = 0;
  ASSERT_EQ(receive(buffer, sizeof buffer, length), ReceiveResult::DATAGRAM);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(sameSocketAddress(source, loopbackPort(sender->localPort())));
  EXPECT_FALSE(sender->wantsWriteReadiness());
}

TEST_F(UdpSocketTest, ZeroLengthAndOversizedDatagramsLeaveTheNextOneReadable) {
  ASSERT_EQ(send({}), SendResult::SENT);
  ASSERT_EQ(send(std::vector<uint8_t>(1400, 0x11)), SendResult::SENT);
  ASSERT_EQ(send({7}), SendResult::SENT);

  constexpr uint32_t CAPACITY = 1024;
  std::vector<uint8_t> buffer(CAPACITY + 64, 0xA5);
  uint32_t length = 99;
  ASSERT_EQ(receive(buffer.data(), CAPACITY, length), ReceiveResult::DATAGRAM);
  EXPECT_EQ(length, 0u);
  ASSERT_EQ(receive(buffer.data(), CAPACITY, length), ReceiveResult::OVERSIZED);
  for (uint32_t i = CAPACITY; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xA5) << i;
  ASSERT_EQ(receive(buffer.data(), CAPACITY, length), ReceiveResult::DATAGRAM);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(receiver->receiveFrom(buffer.data(), CAPACITY, length, source),
            ReceiveResult::NOTHING);
}

TEST_F(UdpSocketTest, DestinationsThatReachNoUnitAreRefused) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  const uint8_t broadcast[4] = {255, 255, 255, 255};
  const struct Case {
    const char* name;
    const uint8_t* ip;
    uint16_t port;
  } cases[] = {
      {"any address", zero, 9},  // Linux would hand this to a socket of this host
      {"port zero", LOOPBACK, 0},
      {"broadcast without permission", broadcast, 9},
  };
  const uint8_t byte = 0;
  for (const Case& c : cases) {
    SocketAddress destination{};
    setSocketAddress(destination, c.ip, c.port);
    EXPECT_EQ(sender->sendTo(destination, &byte, 1), SendResult::REFUSED) << c.name;
  }
  EXPECT_FALSE(sender->wantsWriteReadiness());
}

TEST(PosixClockTest, TickDoesNotRunBackwards) {
  PosixClock clock;
  uint32_t first = clock.tick();
  uint32_t second = clock.tick();
  EXPECT_GE(static_cast<int32_t>(second - first), 0);
}

}  // namespace
}  // namespace vyr
