// Catches misread units files, replies off their wire layout, and noise that reads as data.

#include "fleet/fleet_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "protocol/frame_codec.h"
#include "protocol/messages.h"

namespace vyr::fleet {
namespace {

using Bytes = std::vector<uint8_t>;

SocketAddress at(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  const uint8_t ip[4] = {a, b, c, d};
  SocketAddress address{};
  setSocketAddress(address, ip, port);
  return address;
}

Bytes framed(const Bytes& message, bool runCoding) {
  Bytes bytes(static_cast<size_t>(frameCapacity(static_cast<int32_t>(message.size()))));
  bytes.resize(static_cast<size_t>(
      writeFrame(message.data(), static_cast<int32_t>(message.size()), runCoding, bytes.data())));
  return bytes;
}

Bytes decoded(const Reply& reply, bool rleOk) {
  Bytes message(DECODED_LIMIT);
  int32_t length = decodeFrame(reply.bytes.data(), static_cast<int32_t>(reply.bytes.size()), rleOk,
                               message.data());
  message.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return message;
}

Bytes locateQuery(uint32_t serial, const std::string& id) {
  Bytes query(LOCATE_DATAGRAM_LENGTH, 0);
  for (int i = 0; i < 4; ++i) query[i] = static_cast<uint8_t>(serial >> (8 * i));
  std::copy(id.begin(), id.end(), query.begin() + LOCATE_ID_OFFSET);
  return query;
}

std::vector<Reply> ask(FleetModel& model, const SocketAddress& to, const Bytes& bytes) {
  std::vector<Reply> replies;
  model.handle(to, bytes.data(), static_cast<uint32_t>(bytes.size()), replies);
  return replies;
}

const char* const FLEET =
    "address 127.1.0.1 PLAIN01 501 bios=1.23 version=-0.05 application=PUMPCTL suffix=7 "
    "modem=MDM-0123456789-ABCDEFGHIJKLMNO esn=A1000012345678\n"
    "address 127.1.0.2 RUNNER2 502 coding=run bios=3 version=2.5\n"
    "serial  127.1.0.3 FAR3 503\n"
    "serial  127.1.0.4 NOBODY4 504 server=unknown\n"
    "address 127.1.0.5 QUIET5 505 silent=yes\n"
    "address 127.1.0.6 LOSSY6 506 loss=100\n"
    "address 127.1.0.7 P7 507\n";

FleetDescription fleet(const std::string& extra = "") {
  FleetDescription description;
  std::string error;
  EXPECT_TRUE(parseFleet(FLEET + extra, description, error)) << error;
  return description;
}

TEST(UnitsFile, RejectsWhatTheFleetCannotBe) {
  const struct {
    const char* text;
    const char* fault;
  } cases[] = {
      {"unit 127.1.0.1 A 1", "expected 'address'"},
      {"address 127.1.0.1 A", "needs its address"},
      {"address 127.1.0.256 A 1", "bad address"},
      {"address 127.1.0.1 A 4294967296", "bad serial"},
      {"address 10.1.0.1 A 1", "127.x.y.z"},
      {"address 127.1.0.255 A 1", "127.x.y.z"},
      {"address 127.0.0.1 A 1", "IP server"},
      {"address 127.1.0.1 NINECHARS 1", "ID must be"},
      {"address 127.1.0.1 A/B 1", "ID must be"},
      {"address 127.1.0.1 A 1 bios=1.234", "'bios=1.234'"},
      {"address 127.1.0.1 A 1 colour=red", "'colour=red'"},
      {"address 127.1.0.1 A 1 application=NINECHARS", "application longer"},
      {"serial 127.1.0.1 A 1 coding=plain", "always run-coded"},
      {"address 127.1.0.1 A 1\naddress 127.1.0.1 B 2", "line 2: address 127.1.0.1 used twice"},
      {"address 127.1.0.1 A 1\nserial 127.1.0.2 A 1", "line 2: A/1 used twice"},
      {"option garbage=101", "'garbage=101'"},
      {"option seed", "'seed'"},
      {"option flood=100001", "'flood=100001'"},
  };
  for (const auto& c : cases) {
    FleetDescription description;
    std::string error;
    EXPECT_FALSE(parseFleet(c.text, description, error)) << c.text;
    EXPECT_NE(error.find(c.fault), std::string::npos) << c.text << " gave: " << error;
  }
}

TEST(UnitsFile, ReadsOptionLines) {
  const struct {
    const char* line;
    uint32_t FleetDescription::*field;
    uint32_t value;
  } cases[] = {
      {"option delay=25 # a comment", &FleetDescription::delayMs, 25},
      {"option late=2 late-ms=9000", &FleetDescription::latePercent, 2},
      {"option late=2 late-ms=9000", &FleetDescription::lateMs, 9000},
      {"  option\twrong-port=3", &FleetDescription::wrongPortPercent, 3},
      {"option server-loss=50", &FleetDescription::serverLossPercent, 50},
      {"option flood=3000", &FleetDescription::floodPerSecond, 3000},
  };
  for (const auto& c : cases) {
    FleetDescription description;
    std::string error;
    ASSERT_TRUE(parseFleet(c.line, description, error)) << c.line << ": " << error;
    EXPECT_EQ(description.*c.field, c.value) << c.line;
  }
  FleetDescription description;
  std::string error;
  ASSERT_TRUE(
      parseFleet("option seed=18446744073709551615 server=127.0.0.2\r\n", description, error));
  EXPECT_EQ(description.seed, UINT64_MAX);
  EXPECT_EQ(description.serverIp[3], 2);
}

FleetDescription readUnitsFile(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  FleetDescription description;
  std::string error;
  EXPECT_TRUE(parseFleet(text.str(), description, error)) << path << ": " << error;
  return description;
}

TEST(UnitsFile, TheShippedFleetsAreValidAndTheExampleIsMixed) {
  EXPECT_EQ(readUnitsFile(VYR_DEMO_UNITS).units.size(), 8u);
  const FleetDescription description = readUnitsFile(VYR_FLEET_EXAMPLE);
  int bySerial = 0;
  int runCoded = 0;
  int unknown = 0;
  int silent = 0;
  int lossy = 0;
  for (const UnitDescription& unit : description.units) {
    bySerial += unit.listing == Listing::BY_SERIAL;
    runCoded += unit.runCoding;
    unknown += !unit.serverKnows;
    silent += unit.silent;
    lossy += unit.lossPercent > 0;
  }
  EXPECT_GT(bySerial, 0);
  EXPECT_GT(runCoded, bySerial);
  EXPECT_GT(unknown * silent * lossy, 0);
}

TEST(FleetModel, VersionAndModemRepliesKeepTheirLayouts) {
  FleetModel model(fleet());
  const SocketAddress unit = at(127, 1, 0, 1, DEVICE_PORT);
  const Bytes query = {0x65, 'P', 'L', 'A', 'I', 'N', '0', '1', 0, 0};
  std::vector<Reply> version = ask(model, unit, framed(query, false));
  ASSERT_EQ(version.size(), 1u);
  Bytes v = decoded(version[0], false);
  ASSERT_EQ(v.size(), 46u);
  EXPECT_EQ(v[0], VERSION_REPLY);
  EXPECT_EQ(v[10] | v[11] << 8, 123);
  EXPECT_EQ(static_cast<int16_t>(v[12] | v[13] << 8), -5);
  EXPECT_STREQ(reinterpret_cast<const char*>(&v[32]), "PUMPCTL");
  EXPECT_EQ(v[41], 7);
  EXPECT_EQ(v[42] | v[43] << 8 | v[44] << 16 | v[45] << 24, 501);

  std::vector<Reply> modem = ask(model, unit, framed({0x01, 0}, false));
  ASSERT_EQ(modem.size(), 1u);
  Bytes m = decoded(modem[0], false);
  ASSERT_EQ(m.size(), 138u);
  EXPECT_EQ(m[0], MODEM_INFO);
  EXPECT_EQ(std::string(m.begin() + 78, m.begin() + 93), std::string("A1000012345678\0", 15));
  EXPECT_EQ(std::string(m.begin() + 108, m.end()), "MDM-0123456789-ABCDEFGHIJKLMNO");

  // A run-coded unit's replies only make sense to a reader that takes run coding.
  std::vector<Reply> coded = ask(model, at(127, 1, 0, 3, DEVICE_PORT),
                                 framed({0x65, 'F', 'A', 'R', '3', 0, 0, 0, 0, 0}, true));
  ASSERT_EQ(coded.size(), 1u);
  EXPECT_EQ(decoded(coded[0], true).size(), 46u);
  EXPECT_NE(decoded(coded[0], false).size(), 46u);
}

TEST(FleetModel, ServerLocatesOnlyTheUnitsItKnows) {
  const struct {
    uint32_t serial;
    const char* id;
    uint8_t last;  // 0: the zero address
  } cases[] = {{503, "FAR3", 3},
               {501, "PLAIN01", 1},
               {504, "NOBODY4", 0},
               {503, "FAR", 0},
               {999, "FAR3", 0}};
  FleetModel model(fleet());
  for (const auto& c : cases) {
    Bytes query = locateQuery(c.serial, c.id);
    std::vector<Reply> replies = ask(model, at(127, 0, 0, 1, SERVER_PORT), query);
    ASSERT_EQ(replies.size(), 1u) << c.id;
    EXPECT_TRUE(sameSocketAddress(replies[0].source, at(127, 0, 0, 1, SERVER_PORT)));
    Bytes expected = query;
    if (c.last != 0) expected[13] = 127, expected[14] = 1, expected[15] = 0, expected[16] = c.last;
    EXPECT_EQ(replies[0].bytes, expected) << c.id;
  }
  EXPECT_EQ(model.counters().unknownUnitReplies, 3u);
}

TEST(FleetModel, RequestsThatGetNoAnswer) {
  const Bytes identify = framed({0x64, 0}, false);
  const struct {
    const char* what;
    SocketAddress to;
    Bytes bytes;
    uint64_t FleetCounters::*counter;
  } cases[] = {
      {"silent unit", at(127, 1, 0, 5, DEVICE_PORT), identify,
       &FleetCounters::ignoredBySilentUnits},
      {"all lost", at(127, 1, 0, 6, DEVICE_PORT), identify, &FleetCounters::droppedRequests},
      {"no such unit", at(127, 1, 0, 9, DEVICE_PORT), identify, &FleetCounters::unknownRequests},
      {"other port", at(127, 1, 0, 1, WRONG_PORT), identify, &FleetCounters::unknownRequests},
      {"not a frame", at(127, 1, 0, 1, DEVICE_PORT), {0x64, 0}, &FleetCounters::unknownRequests},
      {"empty", at(127, 1, 0, 1, DEVICE_PORT), {}, &FleetCounters::unknownRequests},
      {"unknown type", at(127, 1, 0, 1, DEVICE_PORT), framed({0x66, 0}, false),
       &FleetCounters::unknownRequests},
      {"another ID", at(127, 1, 0, 1, DEVICE_PORT),
       framed({0x65, 'X', 0, 0, 0, 0, 0, 0, 0, 0}, false), &FleetCounters::wrongIdQueries},
      // A plain unit reads a run-coded query as a short, meaningless message.
      {"run-coded query to a plain unit", at(127, 1, 0, 7, DEVICE_PORT),
       framed({0x65, 'P', '7', 0, 0, 0, 0, 0, 0, 0}, true), &FleetCounters::unknownRequests},
      {"server, 17 bytes", at(127, 0, 0, 1, SERVER_PORT), Bytes(17, 0),
       &FleetCounters::unknownRequests},
  };
  for (const auto& c : cases) {
    FleetModel model(fleet());
    EXPECT_TRUE(ask(model, c.to, c.bytes).empty()) << c.what;
    EXPECT_EQ(model.counters().*c.counter, 1u) << c.what;
  }
}

TEST(FleetModel, MisbehaviourAddsCopiesAndNoiseAroundTheReply) {
  FleetModel model(
      fleet("option duplicate=100 late=100 late-ms=9000 wrong-port=100 "
            "zero-length=100 oversized=100 garbage=100 delay=20\n"));
  std::vector<Reply> replies = ask(model, at(127, 1, 0, 1, DEVICE_PORT), framed({0x64, 0}, false));
  ASSERT_EQ(replies.size(), 7u);
  const Reply& reply = replies[0];
  EXPECT_EQ(decoded(reply, false).size(), 10u);
  EXPECT_EQ(reply.delayMs, 20u);
  EXPECT_EQ(replies[1].bytes, reply.bytes);  // duplicate
  EXPECT_EQ(replies[2].bytes, reply.bytes);  // late
  EXPECT_EQ(replies[2].delayMs, 9020u);
  EXPECT_EQ(replies[3].bytes, reply.bytes);  // wrong port
  EXPECT_TRUE(sameSocketAddress(replies[3].source, at(127, 1, 0, 1, WRONG_PORT)));
  EXPECT_TRUE(replies[4].bytes.empty());
  ASSERT_EQ(replies[5].bytes.size(), OVERSIZED_LENGTH);
  EXPECT_EQ(
      decodeFrame(replies[5].bytes.data(), RECEIVE_BUFFER_SIZE, false, Bytes(DECODED_LIMIT).data()),
      FRAME_REJECTED);
  for (const Reply& noise : replies) {
    if (&noise != &replies[3]) {
      EXPECT_TRUE(sameSocketAddress(noise.source, reply.source));
    }
  }
}

// Whatever the tool's coding for the unit, garbage never decodes to a type it would store.
TEST(FleetModel, GarbageNeverDecodesToAMessageTheToolActsOn) {
  FleetModel model(fleet("option garbage=100\n"));
  int shaped = 0;
  for (int i = 0; i < 3000; ++i) {
    std::vector<Reply> replies =
        ask(model, at(127, 1, 0, 1, DEVICE_PORT), framed({0x64, 0}, false));
    ASSERT_EQ(replies.size(), 2u);
    for (bool rleOk : {false, true}) {
      Bytes message(DECODED_LIMIT);
      const Bytes& noise = replies[1].bytes;
      int32_t length =
          decodeFrame(noise.data(), static_cast<int32_t>(noise.size()), rleOk, message.data());
      if (length <= 0) continue;
      ++shaped;
      EXPECT_NE(message[0], IDENTIFY);
      EXPECT_NE(message[0], VERSION_REPLY);
      EXPECT_NE(message[0], MODEM_INFO);
    }
  }
  EXPECT_GT(shaped, 1000);
}

TEST(FleetModel, TheSameSeedGivesTheSameAnswers) {
  const std::string noisy = "option seed=77 jitter=500 duplicate=30 garbage=30 late=10\n";
  FleetModel first(fleet(noisy));
  FleetModel second(fleet(noisy));
  for (uint8_t unit = 1; unit <= 7; ++unit) {
    for (int i = 0; i < 20; ++i) {
      const Bytes identify = framed({0x64, 0}, false);
      std::vector<Reply> a = ask(first, at(127, 1, 0, unit, DEVICE_PORT), identify);
      std::vector<Reply> b = ask(second, at(127, 1, 0, unit, DEVICE_PORT), identify);
      ASSERT_EQ(a.size(), b.size());
      for (size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].bytes, b[k].bytes);
        EXPECT_EQ(a[k].delayMs, b[k].delayMs);
      }
    }
  }
}

TEST(GeneratedFleet, ObeysTheRulesAndServesAHundredThousandUnits) {
  FleetDescription description = generateFleet(100000, 5);
  std::string error;
  ASSERT_TRUE(checkFleet(description, error)) << error;
  const struct {
    size_t index;
    uint8_t ip[4];
  } addresses[] = {{0, {127, 1, 0, 1}},
                   {253, {127, 1, 0, 254}},
                   {254, {127, 1, 1, 1}},
                   {65023, {127, 1, 255, 254}},
                   {65024, {127, 2, 0, 1}}};
  for (const auto& a : addresses) {
    EXPECT_EQ(std::memcmp(description.units[a.index].ip, a.ip, 4), 0) << a.index;
  }
  const UnitDescription last = description.units.back();
  FleetModel model(description);
  std::vector<Reply> located =
      ask(model, at(127, 0, 0, 1, SERVER_PORT), locateQuery(last.serial, last.id));
  ASSERT_EQ(located.size(), 1u);
  EXPECT_EQ(std::memcmp(&located[0].bytes[13], last.ip, 4), 0);
}

// The flood: every unit address and both server ports take their turn, half of it is empty, and
// none of it is a message or a locate reply the tool would act on.
TEST(FleetModel, TheFloodComesFromEverySourceAndCarriesNothingTheToolTakes) {
  FleetModel model(fleet("option flood=1000\n"));
  const size_t unitCount = model.description().units.size();
  std::map<std::pair<uint32_t, uint16_t>, int> sources;
  int empty = 0;
  const int total = 4000;
  for (int i = 0; i < total; ++i) {
    const Reply noise = model.floodDatagram();
    EXPECT_EQ(noise.delayMs, 0u);
    EXPECT_FALSE(noise.late);
    ++sources[{ipNumberOf(noise.source), portOf(noise.source)}];
    if (noise.bytes.empty()) {
      ++empty;
      continue;
    }
    if (portOf(noise.source) == SERVER_PORT) {
      EXPECT_NE(noise.bytes.size(), LOCATE_DATAGRAM_LENGTH);
    }
    for (bool rleOk : {false, true}) {
      Bytes message(DECODED_LIMIT);
      const int32_t length = decodeFrame(
          noise.bytes.data(), static_cast<int32_t>(noise.bytes.size()), rleOk, message.data());
      if (length <= 0) continue;
      EXPECT_NE(message[0], IDENTIFY);
      EXPECT_NE(message[0], VERSION_REPLY);
      EXPECT_NE(message[0], MODEM_INFO);
    }
  }
  EXPECT_EQ(empty, total / 2);
  EXPECT_EQ(model.counters().floodDatagrams, static_cast<uint64_t>(total));
  const uint32_t server = ipNumberOf(at(127, 0, 0, 1, 0));
  EXPECT_EQ((sources[{server, SERVER_PORT}]), total / 8);
  EXPECT_EQ((sources[{server, WRONG_PORT}]), total / 8);
  for (const UnitDescription& unit : model.description().units) {
    const uint32_t number = ipNumberOf(at(unit.ip[0], unit.ip[1], unit.ip[2], unit.ip[3], 0));
    const int expected = static_cast<int>(total * 3 / 4 / unitCount);
    EXPECT_GE((sources[{number, DEVICE_PORT}]), expected) << unit.id;
  }
  EXPECT_EQ(sources.size(), unitCount + 2);
}

}  // namespace
}  // namespace vyr::fleet
