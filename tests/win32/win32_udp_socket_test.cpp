// Catches a Winsock socket that lets a reset reported for an earlier datagram (WSAECONNRESET) stop
// the drain, mistakes a full send buffer for a refusal or forgets to wait for FD_WRITE after it,
// drops a datagram for an error that passes (an unreachable network) or keeps one that can never
// go, or hands Winsock a destination that is no unit; and, on real sockets, one that breaks the
// contract of every socket layer (udp_socket_contract.h).

#include <gtest/gtest.h>
#include <winsock2.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_udp_socket.h"
#include "protocol/receiver.h"
#include "protocol/send_queue.h"
#include "platform/udp_socket_contract.h"
#include "win32/winsock_environment.h"
#include "core/context.h"

namespace vyr {
namespace {

constexpr uint8_t LOOPBACK[4] = {127, 0, 0, 1};

SocketAddress loopbackPort(uint16_t port) {
  SocketAddress address{};
  setSocketAddress(address, LOOPBACK, port);
  return address;
}

// What the scripted Winsock answers, one entry per call: a datagram, or an error code.
struct Answer {
  int error = 0;
  std::vector<uint8_t> bytes;
};

std::deque<Answer> answers;
int lastErrorCode = 0;
int receiveCalls = 0;
int sendCalls = 0;

int WSAAPI scriptedReceive(SOCKET, char* buffer, int capacity, int, sockaddr* from, int* fromSize) {
  ++receiveCalls;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_port = htons(18772);
  source.sin_addr.s_addr = htonl(0x7F010203);
  std::memcpy(from, &source, sizeof source);
  *fromSize = sizeof source;
  if (answers.empty()) {
    lastErrorCode = WSAEWOULDBLOCK;
    return SOCKET_ERROR;
  }
  Answer answer = answers.front();
  answers.pop_front();
  if (answer.error != 0) {
    lastErrorCode = answer.error;
    return SOCKET_ERROR;
  }
  const int count = static_cast<int>(answer.bytes.size());
  if (count > capacity) {
    lastErrorCode = WSAEMSGSIZE;
    return SOCKET_ERROR;
  }
  std::memcpy(buffer, answer.bytes.data(), answer.bytes.size());
  return count;
}

int WSAAPI scriptedSend(SOCKET, const char*, int length, int, const sockaddr*, int) {
  ++sendCalls;
  if (answers.empty()) return length;
  Answer answer = answers.front();
  answers.pop_front();
  lastErrorCode = answer.error;
  return answer.error != 0 ? SOCKET_ERROR : length;
}

int WSAAPI scriptedLastError() { return lastErrorCode; }

struct ScriptedSocketTest : ::testing::Test {
  void SetUp() override {
    answers.clear();
    receiveCalls = sendCalls = 0;
    ASSERT_NE(socket, nullptr);
  }
  std::unique_ptr<Win32UdpSocket> socket =
      Win32UdpSocket::open(WinsockCalls{scriptedSend, scriptedReceive, scriptedLastError});
};

TEST_F(ScriptedSocketTest, ResetsNeverStopTheDrain) {
  // Resets between, before and after datagrams: each datagram must still reach the receiver, and
  // the drain ends only at WSAEWOULDBLOCK.
  answers = {{WSAECONNRESET, {}}, {0, {0xFF, 0xFE}},       {WSAECONNRESET, {}},
             {WSAECONNRESET, {}}, {WSAENETRESET, {}},      {0, {0xFF, 0x64, 0xFE}},
             {WSAEMSGSIZE, {}},   {0, std::vector<uint8_t>(2000, 1)}, {0, {}},
             {WSAECONNRESET, {}}};
  MemoryFileSystem files;
  MemoryDialog dialog;
  MemoryListView list;
  FakeClock clock;
  Context context(files, dialog, list, clock, *socket);
  receiveAll(context);
  EXPECT_TRUE(answers.empty()) << answers.size() << " answers were never read";
  EXPECT_EQ(receiveCalls, 11) << "ten answers, then the would-block that ends the drain";
}

TEST_F(ScriptedSocketTest, EachReceiveErrorMeansWhatItSays) {
  const struct {
    int error;
    ReceiveResult expected;
  } cases[] = {
      {WSAEWOULDBLOCK, ReceiveResult::NOTHING},
      {WSAEMSGSIZE, ReceiveResult::OVERSIZED},
      {WSAENOTSOCK, ReceiveResult::FAILED},
      {WSAENETDOWN, ReceiveResult::FAILED},
  };
  uint8_t buffer[16];
  uint32_t length = 0;
  SocketAddress source{};
  for (const auto& c : cases) {
    answers = {{c.error, {}}};
    EXPECT_EQ(socket->receiveFrom(buffer, sizeof buffer, length, source), c.expected) << c.error;
  }
  answers = {{WSAECONNRESET, {}}, {0, {9, 8, 7}}};
  ASSERT_EQ(socket->receiveFrom(buffer, sizeof buffer, length, source), ReceiveResult::DATAGRAM);
  EXPECT_EQ(length, 3u);
  const uint8_t ip[4] = {127, 1, 2, 3};
  SocketAddress expected{};
  setSocketAddress(expected, ip, 18772);
  EXPECT_TRUE(sameSocketAddress(source, expected)) << "source in the 16-byte form";
}

TEST_F(ScriptedSocketTest, EachSendErrorMeansWhatItSays) {
  const struct {
    int error;
    SendResult expected;
    bool waitsForWriteReadiness;
  } cases[] = {
      {0, SendResult::SENT, false},
      {WSAEWOULDBLOCK, SendResult::RETRY_LATER, true},  // FD_WRITE follows once room returns
      {WSAENOBUFS, SendResult::RETRY_LATER, false},     // no FD_WRITE follows: the tick retries
      {WSAECONNRESET, SendResult::RETRY_LATER, false},  // about an earlier datagram
      {WSAEINTR, SendResult::RETRY_LATER, false},
      {WSAENETRESET, SendResult::RETRY_LATER, false},
      {WSAEACCES, SendResult::REFUSED, false},         // broadcast without permission
      {WSAEADDRNOTAVAIL, SendResult::REFUSED, false},  // a zero address
      {WSAEMSGSIZE, SendResult::REFUSED, false},
      {WSAEINVAL, SendResult::REFUSED, false},
      {WSAEAFNOSUPPORT, SendResult::REFUSED, false},
      {WSAEFAULT, SendResult::REFUSED, false},
      {WSAENOTSOCK, SendResult::REFUSED, false},
      {WSAEDESTADDRREQ, SendResult::REFUSED, false},
      {WSAEOPNOTSUPP, SendResult::REFUSED, false},
      {WSAEHOSTUNREACH, SendResult::NOT_NOW, false},  // routes come back
      {WSAENETUNREACH, SendResult::NOT_NOW, false},
      {WSAENETDOWN, SendResult::NOT_NOW, false},
      {WSAEHOSTDOWN, SendResult::NOT_NOW, false},
      {WSANOTINITIALISED, SendResult::NOT_NOW, false},
      {12345, SendResult::NOT_NOW, false},  // none anyone expects
  };
  const uint8_t byte = 0;
  for (const auto& c : cases) {
    socket->writeReadinessDelivered();
    answers = {{c.error, {}}};
    EXPECT_EQ(socket->sendTo(loopbackPort(9), &byte, 1), c.expected) << c.error;
    EXPECT_EQ(socket->wantsWriteReadiness(), c.waitsForWriteReadiness) << c.error;
  }
}

// A batch goes past a datagram that cannot go now and one that never can, and stops at a full
// send buffer.
TEST_F(ScriptedSocketTest, ABatchGoesPastWhatCannotGoNowAndStopsWhenFull) {
  answers = {{WSAENETUNREACH, {}}, {0, {}}, {WSAEMSGSIZE, {}}, {0, {}}, {WSAEWOULDBLOCK, {}}};
  const SocketAddress unit = loopbackPort(9);
  const uint8_t byte = 0;
  const OutgoingDatagram batch[6] = {{&unit, &byte, 1}, {&unit, &byte, 1}, {&unit, &byte, 1},
                                     {&unit, &byte, 1}, {&unit, &byte, 1}, {&unit, &byte, 1}};
  SendResult results[6] = {};
  ASSERT_EQ(socket->sendBatch(batch, 6, results), 4u);
  const SendResult expected[5] = {SendResult::NOT_NOW, SendResult::SENT, SendResult::REFUSED,
                                  SendResult::SENT, SendResult::RETRY_LATER};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(results[i], expected[i]) << i;
  EXPECT_EQ(sendCalls, 5) << "nothing tried after the full buffer";
  EXPECT_TRUE(socket->wantsWriteReadiness());
}

TEST_F(ScriptedSocketTest, DestinationsThatReachNoUnitAreRefusedBeforeWinsock) {
  const uint8_t zero[4] = {0, 0, 0, 0};
  SocketAddress anyAddress{};
  setSocketAddress(anyAddress, zero, 18772);  // Winsock itself would send this
  SocketAddress portZero = loopbackPort(0);
  SocketAddress otherFamily = loopbackPort(9);
  otherFamily.family[0] = 23;
  const uint8_t byte = 0;
  for (const SocketAddress* destination : {&anyAddress, &portZero, &otherFamily}) {
    EXPECT_EQ(socket->sendTo(*destination, &byte, 1), SendResult::REFUSED);
  }
  EXPECT_EQ(sendCalls, 0);
}

// The real socket under the system keeps the contract of every socket layer.
void waitReadable(const Win32UdpSocket& socket, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket.handle(), &readable);
  timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
  ::select(0, &readable, nullptr, nullptr, &wait);
}

using testing::UdpSocketContract;
INSTANTIATE_TEST_SUITE_P(Win32, UdpSocketContract,
                         ::testing::Values(testing::SocketKind{
                             "Win32", testing::SocketPairOf<Win32UdpSocket, waitReadable>::open}),
                         testing::socketKindName);

TEST(Win32ClockTest, TickDoesNotRunBackwards) {
  Win32Clock clock;
  const uint32_t first = clock.tick();
  ::Sleep(20);
  const uint32_t second = clock.tick();
  EXPECT_GE(static_cast<int32_t>(second - first), 10);
}

}  // namespace
}  // namespace vyr
