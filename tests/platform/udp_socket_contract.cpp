// Catches a socket layer that overruns the buffer, keeps an oversized datagram, misreads the
// source, or sends what reaches no unit; see udp_socket_contract.h.

#include "platform/udp_socket_contract.h"

#include <string>

namespace vyr::testing {
namespace {

constexpr uint8_t LOOPBACK[4] = {127, 0, 0, 1};

SocketAddress loopbackPort(uint16_t port) {
  SocketAddress address{};
  setSocketAddress(address, LOOPBACK, port);
  return address;
}

}  // namespace

void UdpSocketContract::SetUp() {
  sockets_ = GetParam().open();
  ASSERT_NE(sockets_, nullptr);
  ASSERT_NE(sockets_->receiverPort(), 0);
}

SendResult UdpSocketContract::send(const std::vector<uint8_t>& bytes) {
  return sockets_->sender().sendTo(loopbackPort(sockets_->receiverPort()), bytes.data(),
                                   static_cast<uint32_t>(bytes.size()));
}

ReceiveResult UdpSocketContract::receive(uint8_t* buffer, uint32_t capacity, uint32_t& length) {
  // A socket may have read ahead what the system no longer shows as waiting: ask it first.
  const ReceiveResult result = sockets_->receiver().receiveFrom(buffer, capacity, length, source_);
  if (result != ReceiveResult::NOTHING) return result;
  sockets_->waitForReceiver(5000);
  return sockets_->receiver().receiveFrom(buffer, capacity, length, source_);
}

std::string socketKindName(const ::testing::TestParamInfo<SocketKind>& info) {
  return info.param.name;
}

void PrintTo(const SocketKind& kind, std::ostream* out) { *out << kind.name; }

namespace {

TEST_P(UdpSocketContract, RoundTripGivesTheSourceInTheSixteenByteForm) {
  ASSERT_EQ(send({1, 2, 3}), SendResult::SENT);
  uint8_t buffer[16];
  uint32_t length = 0;
  ASSERT_EQ(receive(buffer, sizeof buffer, length), ReceiveResult::DATAGRAM);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(sameSocketAddress(source_, loopbackPort(sockets_->senderPort())));
  EXPECT_FALSE(sockets_->senderWaitsToWrite());
}

TEST_P(UdpSocketContract, ZeroLengthAndOversizedDatagramsLeaveTheNextOneReadable) {
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
  EXPECT_EQ(sockets_->receiver().receiveFrom(buffer.data(), CAPACITY, length, source_),
            ReceiveResult::NOTHING);
}

TEST_P(UdpSocketContract, DestinationsThatReachNoUnitAreRefused) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  const uint8_t broadcast[4] = {255, 255, 255, 255};
  const struct Case {
    const char* name;
    const uint8_t* ip;
    uint16_t port;
  } cases[] = {
      // Linux hands this to a socket of this host, and Winsock sends it too.
      {"any address", zero, sockets_->receiverPort()},
      {"port zero", LOOPBACK, 0},
      {"broadcast without permission", broadcast, 9},
  };
  const uint8_t byte = 0;
  for (const Case& c : cases) {
    SocketAddress destination{};
    setSocketAddress(destination, c.ip, c.port);
    EXPECT_EQ(sockets_->sender().sendTo(destination, &byte, 1), SendResult::REFUSED) << c.name;
  }
  EXPECT_FALSE(sockets_->senderWaitsToWrite());
  uint8_t buffer[4];
  uint32_t length = 0;
  EXPECT_EQ(sockets_->receiver().receiveFrom(buffer, sizeof buffer, length, source_),
            ReceiveResult::NOTHING);
}

// More datagrams than a system call takes at once, with every kind of refused one among them.
TEST_P(UdpSocketContract, ABatchSendsInOrderAndRefusesOnlyWhatReachesNoUnit) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  const uint8_t broadcast[4] = {255, 255, 255, 255};
  SocketAddress refused[3]{};
  setSocketAddress(refused[0], zero, sockets_->receiverPort());
  setSocketAddress(refused[1], LOOPBACK, 0);
  setSocketAddress(refused[2], broadcast, 9);
  const SocketAddress receiver = loopbackPort(sockets_->receiverPort());

  constexpr uint32_t COUNT = 150;
  uint8_t bytes[COUNT];
  std::vector<OutgoingDatagram> batch;
  for (uint32_t i = 0; i < COUNT; ++i) {
    bytes[i] = static_cast<uint8_t>(i);
    const bool refuse = i % 11 == 5 || i == 0 || i == COUNT - 1;
    batch.push_back({refuse ? &refused[i % 3] : &receiver, &bytes[i], 1});
  }
  std::vector<SendResult> results(COUNT, SendResult::RETRY_LATER);
  ASSERT_EQ(sockets_->sender().sendBatch(batch.data(), COUNT, results.data()), COUNT);
  std::vector<uint8_t> expected;
  for (uint32_t i = 0; i < COUNT; ++i) {
    const bool sendable = batch[i].destination == &receiver;
    EXPECT_EQ(results[i], sendable ? SendResult::SENT : SendResult::REFUSED) << i;
    if (sendable) expected.push_back(bytes[i]);
  }
  std::vector<uint8_t> received;
  uint8_t buffer[4];
  uint32_t length = 0;
  while (received.size() < expected.size() &&
         receive(buffer, sizeof buffer, length) == ReceiveResult::DATAGRAM && length == 1) {
    received.push_back(buffer[0]);
  }
  EXPECT_EQ(received, expected);
  EXPECT_FALSE(sockets_->senderWaitsToWrite());
}

// A datagram longer than UDP carries fails inside a batch the system takes whole: it alone is
// refused, and the ones around it go.
TEST_P(UdpSocketContract, ADatagramTooLongForUdpIsRefusedAndTheNextGoes) {
  const SocketAddress receiver = loopbackPort(sockets_->receiverPort());
  const std::vector<uint8_t> tooLong(70000, 0x33);
  const uint8_t first = 1;
  const uint8_t last = 2;
  const OutgoingDatagram batch[] = {
      {&receiver, &first, 1}, {&receiver, tooLong.data(), 70000}, {&receiver, &last, 1}};
  SendResult results[3] = {SendResult::RETRY_LATER, SendResult::RETRY_LATER,
                           SendResult::RETRY_LATER};
  ASSERT_EQ(sockets_->sender().sendBatch(batch, 3, results), 3u);
  EXPECT_EQ(results[0], SendResult::SENT);
  EXPECT_EQ(results[1], SendResult::REFUSED);
  EXPECT_EQ(results[2], SendResult::SENT);
  uint8_t buffer[4];
  uint32_t length = 0;
  ASSERT_EQ(receive(buffer, sizeof buffer, length), ReceiveResult::DATAGRAM);
  EXPECT_EQ(buffer[0], first);
  ASSERT_EQ(receive(buffer, sizeof buffer, length), ReceiveResult::DATAGRAM);
  EXPECT_EQ(buffer[0], last);
}

}  // namespace
}  // namespace vyr::testing
