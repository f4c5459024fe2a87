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
      {EAGAIN, SendResult::RETRY_LATER},   {EWOULDBLOCK, SendResult::RETRY_LATER},
      {ENOBUFS, SendResult::RETRY_LATER},  {ENOMEM, SendResult::RETRY_LATER},
      {EINTR, SendResult::RETRY_LATER},    {EACCES, SendResult::REFUSED},
      {EMSGSIZE, SendResult::REFUSED},     {EINVAL, SendResult::REFUSED},
      {EAFNOSUPPORT, SendResult::REFUSED}, {EDESTADDRREQ, SendResult::REFUSED},
      {EFAULT, SendResult::REFUSED},       {EBADF, SendResult::REFUSED},
      {ENOTSOCK, SendResult::REFUSED},     {EOPNOTSUPP, SendResult::REFUSED},
      {ENETUNREACH, SendResult::NOT_NOW},  {EHOSTUNREACH, SendResult::NOT_NOW},
      {ENETDOWN, SendResult::NOT_NOW},     {EHOSTDOWN, SendResult::NOT_NOW},
      {EPERM, SendResult::NOT_NOW},        {ECONNREFUSED, SendResult::NOT_NOW},
      {0, SendResult::NOT_NOW},            {4095, SendResult::NOT_NOW},  // none anyone expects
  };
  for (const auto& c : cases) EXPECT_EQ(sendResultOfError(c.error), c.expected) << c.error;
}

TEST(PosixClockTest, TickDoesNotRunBackwards) {
  PosixClock clock;
  uint32_t first = clock.tick();
  uint32_t second = clock.tick();
  EXPECT_GE(static_cast<int32_t>(second - first), 0);
}

}  // namespace
}  // namespace vyr
