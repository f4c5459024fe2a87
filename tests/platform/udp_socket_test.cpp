// Catches a POSIX socket that breaks the socket contract (udp_socket_contract.h), drops a datagram
// for an error that passes (an unreachable network, a firewall) or keeps one that can never go, or
// a clock going back.

#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <memory>

#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_udp_socket.h"
#include "platform/udp_socket_contract.h"
#include "support/network_namespace.h"

namespace vyr {
namespace {

void waitReadable(const PosixUdpSocket& socket, int milliseconds) {
  pollfd entry{socket.fd(), POLLIN, 0};
  ::poll(&entry, 1, milliseconds);
}

using testing::UdpSocketContract;
INSTANTIATE_TEST_SUITE_P(Posix, UdpSocketContract,
                         ::testing::Values(testing::SocketKind{
                             "Posix", testing::SocketPairOf<PosixUdpSocket, waitReadable>::open}),
                         testing::socketKindName);

TEST(PosixSendErrorTest, EachErrnoMeansWhatItSays) {
  const struct {
    int error;
    SendResult expected;
  } cases[] = {
      {EAGAIN, SendResult::RETRY_LATER},
      {EWOULDBLOCK, SendResult::RETRY_LATER},
      {ENOBUFS, SendResult::RETRY_LATER},
      {ENOMEM, SendResult::RETRY_LATER},
      {EINTR, SendResult::RETRY_LATER},
      {EACCES, SendResult::REFUSED},
      {EMSGSIZE, SendResult::REFUSED},
      {EINVAL, SendResult::REFUSED},
      {EAFNOSUPPORT, SendResult::REFUSED},
      {EDESTADDRREQ, SendResult::REFUSED},
      {EFAULT, SendResult::REFUSED},
      {EBADF, SendResult::REFUSED},
      {ENOTSOCK, SendResult::REFUSED},
      {EOPNOTSUPP, SendResult::REFUSED},
      {ENETUNREACH, SendResult::NOT_NOW},
      {EHOSTUNREACH, SendResult::NOT_NOW},
      {ENETDOWN, SendResult::NOT_NOW},
      {EHOSTDOWN, SendResult::NOT_NOW},
      {EPERM, SendResult::NOT_NOW},
      {ECONNREFUSED, SendResult::NOT_NOW},
      {0, SendResult::NOT_NOW},
      {4095, SendResult::NOT_NOW},  // none anyone expects
  };
  for (const auto& c : cases) EXPECT_EQ(sendResultOfError(c.error), c.expected) << c.error;
}

// In a network of loopback alone no other address has a route: the system's ENETUNREACH, even for
// a datagram in the middle of a batch it takes in one call, keeps that datagram and lets the rest
// go.
TEST(PosixUnreachableTest, ASendWithNoRouteIsKeptAndTheRestOfTheBatchGoes) {
  if (!testing::enterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
  const std::unique_ptr<PosixUdpSocket> sender = PosixUdpSocket::open();
  const std::unique_ptr<PosixUdpSocket> receiver = PosixUdpSocket::open();
  ASSERT_NE(sender, nullptr);
  ASSERT_NE(receiver, nullptr);
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const uint8_t elsewhere[4] = {10, 0, 0, 1};
  SocketAddress near{};
  SocketAddress far{};
  setSocketAddress(near, loopback, receiver->localPort());
  setSocketAddress(far, elsewhere, 9);
  const uint8_t bytes[3] = {1, 2, 3};
  const OutgoingDatagram batch[3] = {
      {&near, &bytes[0], 1}, {&far, &bytes[1], 1}, {&near, &bytes[2], 1}};
  SendResult results[3] = {};
  ASSERT_EQ(sender->sendBatch(batch, 3, results), 3u);
  EXPECT_EQ(results[0], SendResult::SENT);
  EXPECT_EQ(results[1], SendResult::NOT_NOW);
  EXPECT_EQ(results[2], SendResult::SENT);
  EXPECT_FALSE(sender->wantsWriteReadiness());
  for (const uint8_t expected : {bytes[0], bytes[2]}) {
    uint8_t buffer[4];
    uint32_t length = 0;
    SocketAddress source{};
    // The socket may have read the second one ahead with the first.
    ReceiveResult result = receiver->receiveFrom(buffer, sizeof buffer, length, source);
    if (result == ReceiveResult::NOTHING) {
      waitReadable(*receiver, 5000);
      result = receiver->receiveFrom(buffer, sizeof buffer, length, source);
    }
    ASSERT_EQ(result, ReceiveResult::DATAGRAM);
    EXPECT_EQ(buffer[0], expected);
  }
}

TEST(PosixClockTest, TickDoesNotRunBackwards) {
  PosixClock clock;
  uint32_t first = clock.tick();
  uint32_t second = clock.tick();
  EXPECT_GE(static_cast<int32_t>(second - first), 0);
}

}  // namespace
}  // namespace vyr
