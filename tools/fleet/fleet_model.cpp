#include "fleet/fleet_model.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "survey/report_files.h"

namespace vyr::fleet {
namespace {

constexpr uint32_t REQUEST_LIMIT = 65536;  // no UDP datagram is longer
constexpr uint32_t GENERATE_LIMIT = 9999999;
constexpr uint32_t GARBAGE_LIMIT = 64;
constexpr uint8_t OVERSIZED_FILL = 0x55;

static_assert(IDENTIFY_RUN_CODING_LENGTH > IDENTIFY_REPLY_MINIMUM);
static_assert(VERSION_APPLICATION_OFFSET + 9 <= VERSION_SUFFIX_OFFSET);
static_assert(MODEM_ID_OFFSET + 30 == MODEM_REPLY_LENGTH);
static_assert(LOCATE_ADDRESS_OFFSET + 4 < LOCATE_DATAGRAM_LENGTH);

void putU16(uint8_t* at, int16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
}

void putU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Copies at most `field` bytes of text; the caller's buffer is zeroed, which supplies the NUL.
void putText(uint8_t* at, const std::string& text, size_t field) {
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  std::memcpy(at, text.data(), text.size() < field ? text.size() : field);
}

uint32_t addressNumber(const uint8_t ip[4]) {
  return static_cast<uint32_t>(ip[0]) << 24 | static_cast<uint32_t>(ip[1]) << 16 |
         static_cast<uint32_t>(ip[2]) << 8 | ip[3];
}

std::string serverKey(uint32_t serial, std::string_view id) {
  std::string key(4, '\0');
  putU32(reinterpret_cast<uint8_t*>(key.data()), serial);
  key += id;
  return key;
}

std::vector<uint8_t> frame(const uint8_t* message, int32_t length, bool runCoding) {
  std::vector<uint8_t> bytes(static_cast<size_t>(frameCapacity(length)));
  bytes.resize(static_cast<size_t>(writeFrame(message, length, runCoding, bytes.data())));
  return bytes;
}

// A type byte the tool acts on, or a byte that could turn into one once decoded.
bool couldBeMessageType(uint8_t value) {
  return value == IDENTIFY || value == VERSION_REPLY || value == MODEM_INFO || value == RUN ||
         value == ESCAPE;
}

std::string randomText(SeededRandom& random, const char* prefix, uint32_t shortest,
                       uint32_t longest) {
  static const char SYMBOLS[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";
  std::string text = prefix;
  uint32_t length = shortest + random.below(longest - shortest + 1);
  while (text.size() < length) text += SYMBOLS[random.below(sizeof SYMBOLS - 1)];
  return text;
}

}  // namespace

FleetDescription generateFleet(uint32_t count, uint64_t seed, uint32_t serialPercent,
                               uint32_t runCodingPercent) {
  static const char* const APPLICATIONS[] = {"PUMPCTL", "METER", "GATEWAY", "LOGGER", "VALVE"};
  FleetDescription description;
  description.seed = seed;
  SeededRandom random(seed);
  if (count > GENERATE_LIMIT) count = GENERATE_LIMIT;
  description.units.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    UnitDescription& unit = description.units[i];
    uint32_t rest = i / 254;
    const uint8_t ip[4] = {127, static_cast<uint8_t>(1 + rest / 256), static_cast<uint8_t>(rest),
                           static_cast<uint8_t>(1 + i % 254)};
    std::memcpy(unit.ip, ip, 4);
    char id[16];
    std::snprintf(id, sizeof id, "U%07u", i + 1);
    unit.id = id;
    unit.serial = 100001 + i;
    unit.listing = random.chance(serialPercent) ? Listing::BY_SERIAL : Listing::BY_ADDRESS;
    unit.runCoding = unit.listing == Listing::BY_SERIAL || random.chance(runCodingPercent);
    unit.bios = static_cast<int16_t>(100 + random.below(400));
    unit.appVersion = static_cast<int16_t>(100 + random.below(900));
    unit.application = APPLICATIONS[random.below(sizeof APPLICATIONS / sizeof APPLICATIONS[0])];
    unit.suffix = static_cast<uint8_t>(random.chance(50) ? 0 : random.below(4));
    // Some texts are longer than the tool keeps, so that its cuts are exercised.
    unit.modemId = randomText(random, "MDM-", 10, 30);
    unit.esn = randomText(random, "", 8, 16);
  }
  return description;
}

DeviceRecord expectedRecord(const UnitDescription& unit) {
  DeviceRecord record{};
  setSocketAddress(record.address, unit.ip, DEVICE_PORT);
  setFieldText(record.id, unit.id);
  setFieldText(record.application, unit.application);
  setFieldText(record.modemId, unit.modemId);
  setFieldText(record.esn, unit.esn);
  record.serial = unit.serial;
  record.flags = COMPLETE;
  if (unit.listing == Listing::BY_SERIAL) record.flags |= BY_SERIAL | RLE_OK;
  if (unit.runCoding) record.flags |= RLE_OK;
  record.versionSuffix = unit.suffix;
  record.biosVersion = unit.bios;
  record.appVersion = unit.appVersion;
  return record;
}

std::string expectedReport(const FleetDescription& description) {
  std::string text = REPORT_HEADER;
  for (const UnitDescription& unit : description.units)
    text += reportLine(expectedRecord(unit)).text;
  return text;
}

std::string expectedProgress(const FleetDescription& description, int32_t reportOffset) {
  std::string progress;
  for (const int32_t number : {reportOffset, static_cast<int32_t>(description.units.size())}) {
    for (int shift = 0; shift < 32; shift += 8) {
      progress += static_cast<char>(static_cast<uint32_t>(number) >> shift & 0xFF);
    }
  }
  for (const UnitDescription& unit : description.units) {
    const DeviceRecord record = expectedRecord(unit);
    progress.append(reinterpret_cast<const char*>(&record), sizeof record);
  }
  return progress;
}

std::string withoutSendTimes(std::string progress) {
  for (size_t at = PROGRESS_HEADER_SIZE; at + sizeof(DeviceRecord) <= progress.size();
       at += sizeof(DeviceRecord)) {
    std::memset(&progress[at + offsetof(DeviceRecord, lastSent)], 0,
                sizeof(DeviceRecord::lastSent));
  }
  return progress;
}

FleetModel::FleetModel(FleetDescription description)
    : fleet_(std::move(description)), random_(fleet_.seed) {
  byAddress_.reserve(fleet_.units.size());
  byKey_.reserve(fleet_.units.size());
  for (uint32_t i = 0; i < fleet_.units.size(); ++i) {
    const UnitDescription& unit = fleet_.units[i];
    byAddress_.emplace(addressNumber(unit.ip), i);
    byKey_.emplace(serverKey(unit.serial, unit.id), i);
  }
}

void FleetModel::handle(const SocketAddress& destination, const uint8_t* bytes, uint32_t length,
                        std::vector<Reply>& replies) {
  const uint16_t port = portOf(destination);
  if (port == SERVER_PORT && std::memcmp(destination.ip, fleet_.serverIp, 4) == 0) {
    handleServer(bytes, length, replies);
    return;
  }
  auto found = byAddress_.end();
  if (port == DEVICE_PORT) found = byAddress_.find(ipNumberOf(destination));
  if (found == byAddress_.end() || length > REQUEST_LIMIT) {
    ++counters_.unknownRequests;
    return;
  }
  handleUnit(fleet_.units[found->second], bytes, length, replies);
}

void FleetModel::handleUnit(const UnitDescription& unit, const uint8_t* bytes, uint32_t length,
                            std::vector<Reply>& replies) {
  uint8_t request[DECODED_LIMIT];
  const int32_t size = decodeFrame(bytes, static_cast<int32_t>(length), unit.runCoding, request);
  uint8_t message[MODEM_REPLY_LENGTH] = {};
  int32_t messageLength = 0;
  // Identify is answered in plain coding whatever the unit takes: the tool cannot know yet, and
  // the reply's length is how the unit tells it.
  bool runCoding = unit.runCoding;
  if (size == IDENTIFY_REQUEST_LENGTH && request[0] == IDENTIFY && request[1] == 0) {
    ++counters_.identifyRequests;
    messageLength = unit.runCoding ? IDENTIFY_RUN_CODING_LENGTH : IDENTIFY_REPLY_MINIMUM;
    message[0] = IDENTIFY;
    putText(message + IDENTIFY_ID_OFFSET, unit.id, 8);
    runCoding = false;
  } else if (size == VERSION_QUERY_LENGTH && request[0] == VERSION_QUERY) {
    ++counters_.versionRequests;
    uint8_t ownId[VERSION_QUERY_LENGTH - 1] = {};
    putText(ownId, unit.id, 8);
    if (std::memcmp(request + 1, ownId, sizeof ownId) != 0) {
      ++counters_.wrongIdQueries;
      return;
    }
    messageLength = VERSION_REPLY_LENGTH;
    message[0] = VERSION_REPLY;
    putU16(message + VERSION_BIOS_OFFSET, unit.bios);
    putU16(message + VERSION_APP_OFFSET, unit.appVersion);
    putText(message + VERSION_APPLICATION_OFFSET, unit.application, 8);
    message[VERSION_SUFFIX_OFFSET] = unit.suffix;
    putU32(message + VERSION_SERIAL_OFFSET, unit.serial);
  } else if (size == MODEM_REQUEST_LENGTH && request[0] == MODEM_INFO && request[1] == 0) {
    ++counters_.modemRequests;
    messageLength = MODEM_REPLY_LENGTH;
    message[0] = MODEM_INFO;
    putText(message + MODEM_ESN_OFFSET, unit.esn, 30);
    putText(message + MODEM_ID_OFFSET, unit.modemId, 30);
  } else {
    ++counters_.unknownRequests;
    return;
  }
  if (unit.silent) {
    ++counters_.ignoredBySilentUnits;
    return;
  }
  if (lostEitherWay(unit.lossPercent)) return;
  ++counters_.unitReplies;
  SocketAddress source{};
  setSocketAddress(source, unit.ip, DEVICE_PORT);
  emit(source, frame(message, messageLength, runCoding), unit.delayMs, replies);
}

// The request may be lost on its way in, and the reply on its way out, each with `percent`.
bool FleetModel::lostEitherWay(uint32_t percent) {
  if (random_.chance(percent)) {
    ++counters_.droppedRequests;
    return true;
  }
  if (random_.chance(percent)) {
    ++counters_.droppedReplies;
    return true;
  }
  return false;
}

const UnitDescription* FleetModel::serverEntry(const uint8_t* datagram) const {
  const uint8_t* idField = datagram + LOCATE_ID_OFFSET;
  const void* end = std::memchr(idField, 0, LOCATE_ADDRESS_OFFSET - LOCATE_ID_OFFSET);
  if (end == nullptr) return nullptr;
  const uint32_t serial =
      static_cast<uint32_t>(datagram[0]) | static_cast<uint32_t>(datagram[1]) << 8 |
      static_cast<uint32_t>(datagram[2]) << 16 | static_cast<uint32_t>(datagram[3]) << 24;
  std::string_view id(reinterpret_cast<const char*>(idField),
                      static_cast<size_t>(static_cast<const uint8_t*>(end) - idField));
  auto found = byKey_.find(serverKey(serial, id));
  if (found == byKey_.end() || !fleet_.units[found->second].serverKnows) return nullptr;
  return &fleet_.units[found->second];
}

void FleetModel::handleServer(const uint8_t* bytes, uint32_t length, std::vector<Reply>& replies) {
  if (length != LOCATE_DATAGRAM_LENGTH) {
    ++counters_.unknownRequests;
    return;
  }
  const UnitDescription* unit = serverEntry(bytes);
  const uint8_t* address = bytes + LOCATE_ADDRESS_OFFSET;
  if ((address[0] | address[1] | address[2] | address[3]) != 0) {
    // An acknowledgement: the server only notes it.
    if (unit != nullptr && std::memcmp(address, unit->ip, 4) == 0) {
      ++counters_.acknowledgements;
    } else {
      ++counters_.strayAcknowledgements;
    }
    return;
  }
  ++counters_.locateRequests;
  if (lostEitherWay(fleet_.serverLossPercent)) return;
  std::vector<uint8_t> reply(bytes, bytes + LOCATE_DATAGRAM_LENGTH);
  if (unit != nullptr) {
    std::memcpy(reply.data() + LOCATE_ADDRESS_OFFSET, unit->ip, 4);
  } else {
    ++counters_.unknownUnitReplies;
  }
  ++counters_.serverReplies;
  SocketAddress source{};
  setSocketAddress(source, fleet_.serverIp, SERVER_PORT);
  emit(source, reply, 0, replies);
}

uint32_t FleetModel::jittered(uint32_t delayMs) {
  return delayMs + fleet_.delayMs + (fleet_.jitterMs == 0 ? 0 : random_.below(fleet_.jitterMs + 1));
}

// Random bytes the tool must drop. Those shaped as a frame begin with a byte that no decoding
// turns into a type it acts on, so noise never changes what a survey records.
std::vector<uint8_t> FleetModel::garbage() {
  std::vector<uint8_t> bytes(1 + random_.below(GARBAGE_LIMIT));
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random_.next());
  if (bytes.size() >= 2 && random_.chance(50)) {
    bytes.front() = FRAME_START;
    bytes.back() = FRAME_END;
    while (bytes.size() > 2 && couldBeMessageType(bytes[1])) {
      bytes[1] = static_cast<uint8_t>(random_.next());
    }
  } else if (bytes.front() == FRAME_START) {
    bytes.front() = 0;
  }
  return bytes;
}

void FleetModel::emit(const SocketAddress& source, const std::vector<uint8_t>& bytes,
                      uint32_t delayMs, std::vector<Reply>& replies) {
  auto send = [&replies](const SocketAddress& from, std::vector<uint8_t> datagram, uint32_t due,
                         bool late = false) {
    replies.push_back(Reply{from, std::move(datagram), due, late});
  };
  send(source, bytes, jittered(delayMs));
  if (random_.chance(fleet_.duplicatePercent)) {
    ++counters_.duplicates;
    send(source, bytes, jittered(delayMs));
  }
  if (random_.chance(fleet_.latePercent)) {
    ++counters_.lateCopies;
    send(source, bytes, jittered(delayMs + fleet_.lateMs), true);
  }
  if (random_.chance(fleet_.wrongPortPercent)) {
    ++counters_.wrongPortCopies;
    SocketAddress otherPort = source;
    otherPort.port[0] = static_cast<uint8_t>(WRONG_PORT >> 8);
    otherPort.port[1] = static_cast<uint8_t>(WRONG_PORT);
    send(otherPort, bytes, jittered(delayMs));
  }
  if (random_.chance(fleet_.zeroLengthPercent)) {
    ++counters_.noiseDatagrams;
    send(source, {}, jittered(delayMs));
  }
  if (random_.chance(fleet_.oversizedPercent)) {
    // Shaped as a version reply that only a reader taking more than its buffer would see whole.
    ++counters_.noiseDatagrams;
    std::vector<uint8_t> oversized(OVERSIZED_LENGTH, OVERSIZED_FILL);
    oversized.front() = FRAME_START;
    oversized[1] = VERSION_REPLY;
    oversized.back() = FRAME_END;
    send(source, std::move(oversized), jittered(delayMs));
  }
  if (random_.chance(fleet_.garbagePercent)) {
    ++counters_.noiseDatagrams;
    send(source, garbage(), jittered(delayMs));
  }
}

Reply FleetModel::floodDatagram() {
  const uint64_t count = floodCount_++;
  ++counters_.floodDatagrams;
  Reply reply{};
  const bool fromServer = count % 4 == 3 || fleet_.units.empty();
  if (fromServer) {
    // Both of the server's ports: its own, where the tool expects locate replies, and another,
    // which the tool takes for a unit's.
    setSocketAddress(reply.source, fleet_.serverIp, count / 4 % 2 == 0 ? SERVER_PORT : WRONG_PORT);
  } else {
    const uint64_t unit = (count - count / 4) % fleet_.units.size();
    setSocketAddress(reply.source, fleet_.units[unit].ip, DEVICE_PORT);
  }
  if (count / 2 % 2 == 1) {
    reply.bytes = garbage();
    // Locate replies are told by their length alone before their contents are matched.
    if (fromServer && reply.bytes.size() == LOCATE_DATAGRAM_LENGTH) reply.bytes.push_back(0);
  }
  return reply;
}

}  // namespace vyr::fleet
