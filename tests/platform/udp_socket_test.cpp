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

void waitReadable(const PosixUdpSocket& socket, int milliseconds) {
  pollfd entry{socket.fd(), POLLIN, 0};
  ::poll(&entry, 1, milliseconds);
}

using testing::UdpSocketContract;
INSTANTIATE_TEST_SUITE_P(Posix, UdpSocketContract,
                         ::testing::Values(testing::SocketKind{
                             "Posix", testing::SocketPairOf<PosixUdpSocket, waitReadable>::open}),
                         testing::socketKindName);

TEST(PosixClockTest, TickDoesNotRunBackwards) {
  PosixClock clock;
  uint32_t first = clock.tick();
  uint32_t second = clock.tick();
  EXPECT_GE(static_cast<int32_t>(second - first), 0);
}

}  // namespace
}  // namespace vyr
