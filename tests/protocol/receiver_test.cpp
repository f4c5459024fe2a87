// Catches replies tied to the wrong unit, stored past a field or a message, accepted at the wrong
// length or stage, follow-ups not queued, and drains that stop early or outlive their survey.

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "protocol/messages.h"
#include "support/protocol_fixture.h"
#include "survey/record_index.h"
#include "survey/row_forms.h"

namespace vyr::testing {
namespace {

const SocketAddress kUnit = address(10, 0, 0, 9, DEVICE_PORT);
const SocketAddress kServer = address(127, 0, 0, 1, SERVER_PORT);

Bytes identifyReply(const char* id, size_t length) {
  Bytes reply(length, 0);
  reply[0] = IDENTIFY;
  for (size_t i = 0; id[i] != '\0' && 1 + i < length; ++i)
    reply[1 + i] = static_cast<uint8_t>(id[i]);
  return reply;
}

Bytes versionReply(size_t length, int16_t bios, const char* application, uint8_t suffix,
                   uint32_t serial) {
  Bytes reply(VERSION_REPLY_LENGTH, 0);
  reply[0] = VERSION_REPLY;
  reply[10] = static_cast<uint8_t>(bios);
  reply[11] = static_cast<uint8_t>(bios >> 8);
  reply[12] = 0xF4;  // 5.00
  reply[13] = 0x01;
  std::memcpy(reply.data() + 32, application, std::strlen(application));
  reply[41] = suffix;
  for (int i = 0; i < 4; ++i) reply[42 + i] = static_cast<uint8_t>(serial >> (8 * i));
  reply.resize(length, 0x5A);
  return reply;
}

Bytes modemReply(size_t length, const char* esn, const char* modemId) {
  Bytes reply(length, 0);
  reply[0] = MODEM_INFO;
  std::memcpy(reply.data() + 78, esn, std::min<size_t>(std::strlen(esn), 30));
  if (length >= 138)
    std::memcpy(reply.data() + 108, modemId, std::min<size_t>(std::strlen(modemId), 30));
  return reply;
}

Bytes locateReply(uint32_t serial, const char* id, std::array<uint8_t, 4> ip) {
  Bytes reply(LOCATE_DATAGRAM_LENGTH, 0);
  for (int i = 0; i < 4; ++i) reply[i] = static_cast<uint8_t>(serial >> (8 * i));
  std::memcpy(reply.data() + 4, id, std::strlen(id));
  std::copy(ip.begin(), ip.end(), reply.begin() + 13);
  return reply;
}

struct ReceiverTest : ProtocolFixture {
  void start(const std::string& rows) {
    dialog.serverField = "127.0.0.1";
    chooseList("a.IPs", rows);
    startProtocolSurvey(context, StartMode::FRESH);
    clock.set(1000);
  }
  void fromUnit(const Bytes& message, bool runCoded = false, SocketAddress from = kUnit) {
    const Bytes datagram = frame(message, runCoded);
    network.deliver(from, datagram.data(), static_cast<uint32_t>(datagram.size()));
  }
  void raw(const SocketAddress& from, const Bytes& bytes) {
    network.deliver(from, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  // What the reply queued, decoded as the unit would decode it.
  std::vector<std::pair<SocketAddress, Bytes>> queued(bool rleOk) {
    flushQueue(context);
    std::vector<std::pair<SocketAddress, Bytes>> out;
    for (auto& d : takeSent()) {
      out.emplace_back(d.destination, d.destination.port[1] == (SERVER_PORT & 0xFF)
                                          ? d.bytes
                                          : unframe(d.bytes, rleOk).value_or(Bytes{0xEE}));
    }
    return out;
  }
};

TEST_F(ReceiverTest, IdentifyRepliesByLength) {
  const struct Case {
    size_t length;
    const char* id;
    bool accepted;
    bool rleOk;
  } cases[] = {{9, "GATE", false, false},
               {10, "GATE", true, false},
               {11, "GATE", true, true},
               {10, "", true, false},
               {40, "TOOLONGID9", true, true}};
  for (const Case& c : cases) {
    start("10.0.0.9\n");
    fromUnit(identifyReply(c.id, c.length));
    receiveAll(context);
    EXPECT_EQ(context.survey.lastReceive, 1000u) << "every accepted frame counts";
    if (!c.accepted) {
      EXPECT_EQ(list.rows()[0], "10.0.0.9") << c.length;
      EXPECT_TRUE(queued(false).empty());
      continue;
    }
    const std::string id = std::string(c.id).substr(0, 8);
    EXPECT_EQ(fieldText(record(0).id), id) << "cut to the field";
    EXPECT_EQ((record(0).flags & RLE_OK) != 0, c.rleOk) << c.length;
    EXPECT_EQ(list.rows()[0], "10.0.0.9\t\t" + id);
    Bytes query = {VERSION_QUERY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::copy(id.begin(), id.end(), query.begin() + 1);
    const auto sent = queued(c.rleOk);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].second, query);
    if (id.empty()) {
      // An empty ID identifies nothing: the unit stays in the identify stage, where its version
      // reply is no identify reply and is dropped.
      fromUnit(versionReply(46, 100, "APP", 0, 9));
      receiveAll(context);
      EXPECT_EQ(record(0).biosVersion, 0);
      EXPECT_EQ(list.rows()[0], "10.0.0.9\t\t");
      pollDevices(context, POLL_EVERYONE);
      const auto asked = queued(false);
      ASSERT_EQ(asked.size(), 1u);
      EXPECT_EQ(asked[0].second, (Bytes{IDENTIFY, 0})) << "asked to identify again";
    }
  }
}

TEST_F(ReceiverTest, VersionAndModemRepliesAreFittedOrRefusedByLength) {
  start("10.0.0.9\n");
  setFieldText(record(0).id, "GATE");
  fromUnit(versionReply(40, 250, "PUMPCTRL", 7, 77));
  receiveAll(context);
  EXPECT_EQ(record(0).biosVersion, 250);
  EXPECT_EQ(record(0).versionSuffix, 0) << "padded with zero bytes";
  EXPECT_EQ(record(0).serial, 0u);
  EXPECT_EQ(queued(false)[0].second, (Bytes{MODEM_INFO, 0}));

  fromUnit(versionReply(50, 251, "PUMPCTRLXYZ", 7, 77));
  receiveAll(context);
  EXPECT_EQ(fieldText(record(0).application), "PUMPCTRL");
  EXPECT_EQ(record(0).serial, 77u);
  EXPECT_EQ(list.rows()[0], "10.0.0.9\t77\tGATE\t2.51\tPUMPCTRL\t5.00.7");
  const auto again = queued(false);
  ASSERT_EQ(again.size(), 1u) << "a repeated version reply asks for the modem information again";
  EXPECT_EQ(again[0].second, (Bytes{MODEM_INFO, 0}));

  for (size_t length : {137u, 139u}) {
    fromUnit(modemReply(length, "ESN", "MODEM"));
    receiveAll(context);
    EXPECT_FALSE(record(0).flags & COMPLETE) << length;
  }
  fromUnit(modemReply(138, "ESN0123456789ABCDEF", "M-1234567890123456789012345678X"));
  receiveAll(context);
  EXPECT_FALSE(surveyRunning(context)) << "the last unit's modem reply ends the survey";
  EXPECT_EQ(dialog.beeps, 1);
  EXPECT_NE(file("a.model").find("\tM-123456789012345678901234567\tESN0123456789\r\n"),
            std::string::npos)
      << file("a.model");
}

TEST_F(ReceiverTest, LocateRepliesSetTheAddressOrBackOff) {
  start("A17/501\nA18/502\n");
  raw(kServer, locateReply(502, "A18", {0, 0, 0, 0}));
  raw(kServer, locateReply(501, "A17", {10, 0, 0, 9}));
  raw(kServer, locateReply(501, "A17", {10, 0, 0, 9}));  // again before the flush
  raw(kServer, Bytes(17, 0));
  raw(address(127, 0, 0, 1, SERVER_PORT + 1), locateReply(502, "A18", {10, 0, 0, 8}));
  receiveAll(context);
  EXPECT_EQ(record(1).lastSent, 61000u) << "unknown: asked again a minute later";
  EXPECT_TRUE(addressIsZero(record(1).address)) << "another port is not the server";
  EXPECT_TRUE(sameSocketAddress(record(0).address, kUnit));
  EXPECT_TRUE(record(0).flags & RLE_OK);
  EXPECT_EQ(list.rows()[0], " 10.0.0.9\t501\tA17");
  EXPECT_EQ(context.survey.lastReceive, 0u) << "the server's replies are no unit frames";
  const auto sent = queued(true);
  ASSERT_EQ(sent.size(), 2u) << "one acknowledgement, one version query";
  EXPECT_TRUE(sameSocketAddress(sent[0].first, kServer));
  EXPECT_EQ(sent[0].second, locateReply(501, "A17", {10, 0, 0, 9}));
  EXPECT_TRUE(sameSocketAddress(sent[1].first, kUnit));
  EXPECT_EQ(sent[1].second, (Bytes{VERSION_QUERY, 'A', '1', '7', 0, 0, 0, 0, 0, 0}));

  fromUnit(versionReply(46, 100, "APP", 0, 9001), true);
  receiveAll(context);
  raw(kServer, locateReply(9001, "A17", {10, 0, 0, 10}));
  receiveAll(context);
  EXPECT_EQ(record(0).address.ip[3], 10) << "matched against the serial the unit reported";
  EXPECT_EQ(list.rows()[0], " 10.0.0.10\t9001\tA17");
  // The unit had moved on to its modem information; the repeated reply is acknowledged and the
  // versions are asked for again, at the new address.
  const auto afterMove = queued(true);
  ASSERT_EQ(afterMove.size(), 3u) << "the modem request, the acknowledgement, a version query";
  EXPECT_EQ(afterMove[0].second, (Bytes{MODEM_INFO, 0}));
  EXPECT_TRUE(sameSocketAddress(afterMove[1].first, kServer));
  EXPECT_EQ(afterMove[1].second, locateReply(9001, "A17", {10, 0, 0, 10}));
  EXPECT_TRUE(sameSocketAddress(afterMove[2].first, address(10, 0, 0, 10, DEVICE_PORT)));
  EXPECT_EQ(afterMove[2].second, (Bytes{VERSION_QUERY, 'A', '1', '7', 0, 0, 0, 0, 0, 0}));
}

// Each reply that changes an address, ID or serial must leave its unit found under the new key,
// and under the old one no longer; one that repeats a key changes nothing.
TEST_F(ReceiverTest, RepliesThatChangeAKeyMoveTheUnitToIt) {
  start("10.0.0.9\nA17/501\n");
  indexRecords(context.survey);  // as a start's steps do, before any reply
  const uint8_t gate[4] = {10, 0, 0, 9};
  const uint8_t located[4] = {10, 0, 0, 7};
  const uint8_t nowhere[4] = {0, 0, 0, 0};
  const struct {
    const char* reply;
    std::function<void()> deliver;
    std::vector<std::tuple<uint32_t, const char*, int32_t>> bySerialAndId;
    std::vector<std::pair<const uint8_t*, int32_t>> byAddress;
  } steps[] = {
      {"a new ID", [&] { fromUnit(identifyReply("GATE", 10)); },
       {{0, "GATE", 0}, {0, "", -1}, {501, "A17", 1}}, {{gate, 0}, {nowhere, 1}}},
      {"a new serial", [&] { fromUnit(versionReply(46, 100, "APP", 0, 480)); },
       {{480, "GATE", 0}, {0, "GATE", -1}}, {{gate, 0}}},
      {"a new address", [&] { raw(kServer, locateReply(501, "A17", {10, 0, 0, 7})); },
       {{501, "A17", 1}}, {{located, 1}, {nowhere, -1}, {gate, 0}}},
      {"the listed ID again",
       [&] { fromUnit(identifyReply("A17", 10), false, address(10, 0, 0, 7, DEVICE_PORT)); },
       {{501, "A17", 1}, {480, "GATE", 0}}, {{located, 1}}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.reply);
    step.deliver();
    receiveAll(context);
    for (const auto& [serial, id, expected] : step.bySerialAndId) {
      EXPECT_EQ(findRecordBySerialAndId(context.survey, serial, id), expected) << serial << id;
    }
    for (const auto& [ip, expected] : step.byAddress) {
      EXPECT_EQ(findRecordByAddress(context.survey, ip), expected) << int{ip[3]};
    }
  }
}

// A duplicated server reply, or the answer to a repeated query, can arrive after the unit has
// completed; it used to show the unit as merely located and ask it again for its versions.
TEST_F(ReceiverTest, ALateServerReplyForACompleteUnitIsOnlyAcknowledged) {
  for (const std::array<uint8_t, 4> ip : {std::array<uint8_t, 4>{10, 0, 0, 9}, {10, 0, 0, 44}}) {
    SCOPED_TRACE(static_cast<int>(ip[3]));
    start("A17/501\nA18/502\n");
    raw(kServer, locateReply(501, "A17", {10, 0, 0, 9}));
    receiveAll(context);
    fromUnit(versionReply(46, 105, "PUMP", 0, 501), true);
    fromUnit(modemReply(138, "E77", "MX200"), true);
    receiveAll(context);
    ASSERT_TRUE(record(0).flags & COMPLETE);
    const std::string completeRowText = list.rows()[0];
    queued(true);

    raw(kServer, locateReply(501, "A17", ip));
    receiveAll(context);
    EXPECT_EQ(list.rows()[0], completeRowText);
    EXPECT_TRUE(sameSocketAddress(record(0).address, kUnit));
    const auto sent = queued(true);
    ASSERT_EQ(sent.size(), 1u) << "the acknowledgement only, no version query";
    EXPECT_TRUE(sameSocketAddress(sent[0].first, kServer));
    abortSurvey(context);
  }
}

// The send queue and the network outlive a survey, so the next survey of the same unit can meet
// a modem reply to a request of the last one. It must not complete the unit before its versions
// have arrived; a unit whose BIOS reports 0.00 must still complete once asked.
TEST_F(ReceiverTest, AModemReplyTheSurveyDidNotAskForWaitsForTheVersions) {
  for (const int16_t bios : {int16_t{105}, int16_t{0}}) {
    SCOPED_TRACE(bios);
    start("10.0.0.9\n");
    fromUnit(identifyReply("GATE", 10));
    fromUnit(modemReply(138, "E-OLD", "M-OLD"));
    receiveAll(context);
    ASSERT_TRUE(surveyRunning(context)) << "a reply to the last survey's request completed it";
    EXPECT_EQ(list.rows()[0], "10.0.0.9\t\tGATE");

    fromUnit(versionReply(46, bios, "PUMP", 0, 480));
    fromUnit(modemReply(138, "E77", "MX200"));
    receiveAll(context);
    EXPECT_FALSE(surveyRunning(context)) << "asked after the version reply: complete";
    EXPECT_NE(file("a.model").find(bios ? "\t480\tGATE\t1.05\tPUMP\t5.00\tMX200\tE77\r\n"
                                        : "\t480\tGATE\t0.00\tPUMP\t5.00\tMX200\tE77\r\n"),
              std::string::npos)
        << file("a.model");
    files.setContents("a.model", "");
  }
}

TEST_F(ReceiverTest, WhatTheStageDoesNotAcceptOnlyMovesTheSilenceClock) {
  start("10.0.0.9\n10.0.0.9\n10.0.0.7\n");
  setFieldText(record(2).id, "DONE");
  record(2).flags = COMPLETE;
  recordKeysChanged(context.survey, 2);
  fromUnit(identifyReply("FIRST", 10));
  fromUnit(identifyReply("SECOND", 10));
  receiveAll(context);
  EXPECT_EQ(fieldText(record(0).id), "FIRST");
  EXPECT_EQ(record(1).id[0], '\0') << "the first record with the address takes every frame";

  clock.set(1500);
  fromUnit(versionReply(46, 100, "X", 0, 1), false, address(10, 0, 0, 7, 4000));
  receiveAll(context);
  EXPECT_EQ(record(2).biosVersion, 0) << "a complete unit's replies are ignored";
  EXPECT_EQ(context.survey.lastReceive, 1500u) << "but hold off the silence rule, from any port";

  clock.set(2000);
  fromUnit({}, false, address(10, 0, 0, 9, DEVICE_PORT));  // an empty message: ignored
  receiveAll(context);
  EXPECT_EQ(context.survey.lastReceive, 2000u);
  EXPECT_EQ(queued(false).size(), 1u)
      << "one version query: the second reply found FIRST identified";

  clock.set(2500);
  fromUnit(identifyReply("STRANGER", 10), false, address(10, 0, 0, 99, DEVICE_PORT));
  raw(address(10, 0, 0, 9, DEVICE_PORT), {0xFF, 0x41});
  receiveAll(context);
  EXPECT_EQ(context.survey.lastReceive, 2000u)
      << "unknown addresses and non-frames count for nothing";
}

TEST_F(ReceiverTest, NoDatagramStopsTheDrainAndTheSurveyCanEndInIt) {
  start("10.0.0.9\n");
  setFieldText(record(0).id, "GATE");
  record(0).biosVersion = 100;
  raw(kUnit, {});
  raw(kUnit, Bytes(1400, 0xFF));
  raw(kUnit, {0xFF, 0xFC, 0x07});
  fromUnit(modemReply(138, "E", "M"));
  fromUnit(modemReply(138, "E2", "M2"));  // read after the survey ended
  receiveAll(context);
  EXPECT_FALSE(surveyRunning(context));
  EXPECT_EQ(network.waiting(), 0u);
  EXPECT_NE(file("a.model").find("\tM\tE\r\n"), std::string::npos);
}

TEST_F(ReceiverTest, ADrainInsideADrainDoesNothing) {
  start("10.0.0.9\n");
  fromUnit(identifyReply("GATE", 10));
  context.receiveDepth = 1;
  receiveAll(context);
  EXPECT_EQ(network.waiting(), 1u);
  context.receiveDepth = 0;
}

TEST_F(ReceiverTest, ATabInAReplyAddsNoColumnToTheRowOrTheReport) {
  start("10.0.0.9\n");
  fromUnit(identifyReply("GATE", 10));
  receiveAll(context);
  fromUnit(versionReply(46, 100, "PU\tMP", 0, 9));
  receiveAll(context);
  EXPECT_EQ(fieldText(record(0).application), "PU\tMP") << "the record keeps the tab";
  fromUnit(modemReply(138, "E\t1", "M"));
  receiveAll(context);
  ASSERT_FALSE(surveyRunning(context));
  EXPECT_EQ(list.rows()[0], "10.0.0.9\t9\tGATE\t1.00\tPU?MP\t5.00\tM\tE?1");
  const std::string report = file("a.model");
  const std::string line = "10.0.0.9\t9\tGATE\t1.00\tPU?MP\t5.00\tM\tE?1\r\n";
  ASSERT_GE(report.size(), line.size());
  EXPECT_EQ(report.substr(report.size() - line.size()), line) << report;
}

}  // namespace
}  // namespace vyr::testing
