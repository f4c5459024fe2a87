// Catches a scheduler that asks a unit for the wrong thing, asks too early, too late or never
// (tick wrap, future stamps, silence), or forgets the IP server's back-off.

#include <gtest/gtest.h>

#include "protocol/messages.h"
#include "support/protocol_fixture.h"

namespace vyr::testing {
namespace {

struct SchedulerTest : ProtocolFixture {
  // A running survey of `rows` address-listed units, nothing sent yet.
  void start(const std::string& rows, const char* server = "127.0.0.1") {
    dialog.serverField = server;
    chooseList("a.IPs", rows);
    startProtocolSurvey(context, StartMode::FRESH);
  }
  std::vector<MemoryNetwork::Datagram> pollAndSend(int32_t interval) {
    pollDevices(context, interval);
    flushQueue(context);
    return takeSent();
  }
};

struct StageCase {
  const char* what;
  const char* id;
  bool addressed;
  int16_t bios;
  uint8_t flags;
  bool server;
  Bytes message;  // decoded; empty: nothing is sent
  bool toServer;
  bool runCoded;
};

TEST_F(SchedulerTest, EachStageGetsItsOwnRequest) {
  const Bytes locate = {0x39, 0x30, 0, 0, 'U', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes version = {VERSION_QUERY, 'U', '7', 0, 0, 0, 0, 0, 0, 0};
  const StageCase cases[] = {
      {"no ID", "", true, 0, 0, true, {IDENTIFY, 0}, false, false},
      {"no ID beats no address", "", true, 7, COMPLETE, true, {IDENTIFY, 0}, false, false},
      {"no address", "U7", false, 0, BY_SERIAL, true, locate, true, false},
      {"no address, no server", "U7", false, 0, BY_SERIAL, false, {}, false, false},
      {"no BIOS version", "U7", true, 0, 0, true, version, false, false},
      {"no BIOS version, run coding", "U7", true, 0, RLE_OK, true, version, false, true},
      {"complete without BIOS version", "U7", true, 0, COMPLETE, true, version, false, false},
      {"no modem info", "U7", true, 101, RLE_OK, true, {MODEM_INFO, 0}, false, false},
      {"done", "U7", true, 101, COMPLETE, true, {}, false, false},
  };
  for (const StageCase& c : cases) {
    start("10.0.0.9\n", c.server ? "127.0.0.1" : "");
    DeviceRecord& unit = record(0);
    setFieldText(unit.id, c.id);
    if (!c.addressed) std::memset(unit.address.ip, 0, 4);
    unit.serial = 12345;
    unit.biosVersion = c.bios;
    unit.flags = c.flags;
    clock.set(40000);
    const auto sent = pollAndSend(POLL_EVERYONE);
    if (c.message.empty()) {
      EXPECT_TRUE(sent.empty()) << c.what;
      EXPECT_EQ(unit.lastSent, 0u) << c.what << ": nothing queued, nothing stamped";
      continue;
    }
    ASSERT_EQ(sent.size(), 1u) << c.what;
    EXPECT_EQ(unit.lastSent, 40000u) << c.what;
    if (c.toServer) {
      EXPECT_TRUE(sameSocketAddress(sent[0].destination, address(127, 0, 0, 1, SERVER_PORT)));
      EXPECT_EQ(sent[0].bytes, c.message) << c.what << ": unframed, serial little-endian";
    } else {
      EXPECT_TRUE(sameSocketAddress(sent[0].destination, address(10, 0, 0, 9, DEVICE_PORT)));
      EXPECT_EQ(sent[0].bytes, frame(c.message, c.runCoded)) << c.what;
    }
  }
}

struct AgeCase {
  uint32_t now;
  uint32_t lastSent;
  int32_t interval;
  bool asked;
};

TEST_F(SchedulerTest, AgeIsASignedDifferenceModuloTwoToThe32) {
  const AgeCase cases[] = {
      {10000, 5000, RETRY_INTERVAL, true},
      {9999, 5000, RETRY_INTERVAL, false},
      {100, 200, RETRY_INTERVAL, false},  // stamped in the future
      {100, 200, POLL_EVERYONE, true},
      {0x80000000u + 10, 0, RETRY_INTERVAL, false},  // more than 2^31 - 1 old reads as future
      {0x80000000u + 10, 0, POLL_EVERYONE, true},
      {4000, 0xFFFFFC18u, RETRY_INTERVAL, true},  // 5000 old across the wrap
      {3999, 0xFFFFFC18u, RETRY_INTERVAL, false},
  };
  for (const AgeCase& c : cases) {
    start("10.0.0.9\n");
    record(0).lastSent = c.lastSent;
    clock.set(c.now);
    EXPECT_EQ(pollAndSend(c.interval).size(), c.asked ? 1u : 0u)
        << c.now << " - " << c.lastSent << " against " << c.interval;
  }
}

TEST_F(SchedulerTest, SilenceAsksEveryoneAndTheClockRestartsOnWrap) {
  start("10.0.0.1\n10.0.0.2\n");
  clock.set(1000);
  context.survey.lastReceive = 1000;
  record(0).lastSent = 0;     // old enough for a regular pass
  record(1).lastSent = 1500;  // asked recently

  clock.set(5999);
  onTick(context);
  flushQueue(context);
  EXPECT_EQ(takeSent().size(), 1u) << "4999 ms of silence: a regular pass";

  clock.set(6000);
  onTick(context);
  flushQueue(context);
  EXPECT_EQ(takeSent().size(), 2u) << "5000 ms: everyone, also the unit asked a tick ago";
  EXPECT_EQ(context.survey.lastReceive, 6000u);

  context.survey.lastReceive = 0xFFFFFF00u;
  clock.set(50);  // the counter wrapped
  record(0).lastSent = record(1).lastSent = 50;
  onTick(context);
  EXPECT_EQ(context.survey.lastReceive, 50u) << "the silence clock restarts at the wrap";
  flushQueue(context);
  EXPECT_TRUE(takeSent().empty());
}

TEST_F(SchedulerTest, AnUnknownUnitWaitsAMinuteExceptForEveryonePasses) {
  start("U7/12345\n");
  clock.set(10000);
  Bytes unknown = {0x39, 0x30, 0, 0, 'U', '7', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  handleLocateReply(context, unknown.data(), static_cast<int32_t>(unknown.size()));
  EXPECT_EQ(record(0).lastSent, 70000u);
  struct Step {
    uint32_t now;
    int32_t interval;
    bool asked;
  };
  for (const Step& s : {Step{69999, RETRY_INTERVAL, false}, Step{74999, RETRY_INTERVAL, false},
                        Step{30000, POLL_EVERYONE, true}}) {
    record(0).lastSent = 70000;
    clock.set(s.now);
    EXPECT_EQ(pollAndSend(s.interval).size(), s.asked ? 1u : 0u) << s.now;
  }
  record(0).lastSent = 70000;
  clock.set(75000);
  EXPECT_EQ(pollAndSend(RETRY_INTERVAL).size(), 1u) << "65 s after the answer";
}

TEST_F(SchedulerTest, IdleTicksStillFlushAndDrain) {
  const Bytes bytes = {1, 2, 3};
  enqueueDatagram(context, address(10, 0, 0, 1, DEVICE_PORT), bytes.data(), 3, NO_LINK);
  network.deliver(address(10, 0, 0, 1, DEVICE_PORT), bytes.data(), 3);
  onTick(context);
  EXPECT_EQ(takeSent().size(), 1u);
  EXPECT_EQ(network.waiting(), 0u);
}

}  // namespace
}  // namespace vyr::testing
