// Catches datagrams from anywhere that crash the receiver, leave a record field unterminated, set
// unknown flags, show a row that does not match its changed record, or leave queued requests
// linked to a released table, during surveys that a well-behaved fleet answers alongside.
//
// Input: a sequence of steps. Each begins with a kind byte: a tick (the fleet's replies arrive and
// the tick runs), a raw datagram, a framed message, or an IP server reply naming a listed unit.
// The source of a datagram is chosen among the units' addresses, the server's address on its own
// port and on another, and addresses nobody listed.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/survey_driver.h"
#include "fleet/fleet_model.h"
#include "fuzz/fuzz_check.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "protocol/frame_codec.h"
#include "protocol/messages.h"
#include "protocol/receiver.h"
#include "support/memory_fleet_world.h"
#include "support/virtual_time_loop.h"
#include "survey/list_files.h"
#include "survey/row_forms.h"

namespace {

constexpr uint32_t FLEET_SIZE = 6;
constexpr int MAX_STEPS = 400;
constexpr int MAX_SURVEYS = 4;

struct Input {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  bool empty() const { return at >= size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  // Up to `count` bytes, fewer at the end of the input.
  std::vector<uint8_t> bytes(size_t count) {
    const size_t take = count < size - at ? count : size - at;
    std::vector<uint8_t> out(data + at, data + at + take);
    at += take;
    return out;
  }
};

vyr::SocketAddress makeAddress(const uint8_t ip[4], uint16_t port) {
  vyr::SocketAddress address{};
  vyr::setSocketAddress(address, ip, port);
  return address;
}

template <size_t N>
bool terminated(const char (&field)[N]) {
  return field[N - 1] == '\0';
}

// Whether two records differ in anything but the time of their last request.
bool changed(const vyr::DeviceRecord& before, const vyr::DeviceRecord& after) {
  vyr::DeviceRecord a = before;
  vyr::DeviceRecord b = after;
  a.lastSent = 0;
  b.lastSent = 0;
  return std::memcmp(&a, &b, sizeof a) != 0;
}

bool shownAsOneOfItsForms(const std::string& row, const vyr::DeviceRecord& record) {
  if (record.flags & vyr::COMPLETE) return row == vyr::completeRow(record).text;
  return row == vyr::identifiedRow(record).text || row == vyr::locatedRow(record).text ||
         row == vyr::versionRow(record).text;
}

struct World : vyr::fleet::MemoryFleetWorld {
  std::vector<vyr::DeviceRecord> previous;

  World() : MemoryFleetWorld(vyr::fleet::generateFleet(FLEET_SIZE, 5, 50, 50)) {
    files.spaceLeft = 1 << 20;
  }

  void start(vyr::StartMode mode) {
    chooseList("fleet.IPs", vyr::fleet::listFileText(model.description()));
    vyr::pressStart(context, mode);
    remember();
  }

  void remember() {
    const vyr::SurveyState& survey = context.survey;
    previous.assign(survey.deviceTable.get(), survey.deviceTable.get() + survey.deviceCount);
  }

  vyr::SocketAddress source(Input& in) {
    const uint8_t choice = in.byte();
    const auto& units = model.description().units;
    const uint8_t* server = model.description().serverIp;
    switch (choice % 8) {
      case 6:
        return makeAddress(server, vyr::SERVER_PORT);
      case 7:
        return makeAddress(server, static_cast<uint16_t>(in.byte() | in.byte() << 8));
      default:
        if (choice % 8 < units.size()) {
          // A unit's address, on the unit port or, now and then, on another.
          return makeAddress(units[choice % 8].ip,
                             choice & 0x80 ? static_cast<uint16_t>(choice) : vyr::DEVICE_PORT);
        }
        const uint8_t ip[4] = {in.byte(), in.byte(), in.byte(), in.byte()};
        return makeAddress(ip, vyr::DEVICE_PORT);
    }
  }

  void deliver(const vyr::SocketAddress& from, const std::vector<uint8_t>& bytes) {
    network.deliver(from, bytes.data(), static_cast<uint32_t>(bytes.size()), 0);
    vyr::receiveAll(context);
  }

  void checkInvariants() {
    const vyr::SurveyState& survey = context.survey;
    if (!vyr::surveyRunning(context)) {
      FUZZ_CHECK(survey.deviceCount == 0);
      return;
    }
    FUZZ_CHECK(static_cast<size_t>(survey.deviceCount) == previous.size());
    FUZZ_CHECK(list.rowCount() == survey.deviceCount);
    for (int32_t i = 0; i < survey.deviceCount; ++i) {
      const vyr::DeviceRecord& record = survey.deviceTable[i];
      FUZZ_CHECK(terminated(record.id) && terminated(record.application) &&
                 terminated(record.modemId) && terminated(record.esn));
      FUZZ_CHECK((record.flags & ~(vyr::BY_SERIAL | vyr::RLE_OK | vyr::COMPLETE)) == 0);
      FUZZ_CHECK((record.flags & vyr::BY_SERIAL) ==
                 (previous[static_cast<size_t>(i)].flags & vyr::BY_SERIAL));
      if (changed(previous[static_cast<size_t>(i)], record)) {
        FUZZ_CHECK(shownAsOneOfItsForms(list.rows()[static_cast<size_t>(i)], record));
      }
    }
    FUZZ_CHECK(survey.finishedPrefix >= 0 && survey.finishedPrefix <= survey.deviceCount);
    for (int32_t i = 0; i < survey.finishedPrefix; ++i)
      FUZZ_CHECK(vyr::isFinished(survey.deviceTable[i]));
    // A queued request of this survey names one of its records; older ones name older surveys.
    for (const vyr::QueuedDatagram* node = context.sendQueue.head; node; node = node->next) {
      if (node->linkIndex == vyr::NO_LINK) continue;
      FUZZ_CHECK(node->linkSurvey <= survey.surveyNumber);
      FUZZ_CHECK(node->linkSurvey != survey.surveyNumber ||
                 (node->linkIndex >= 0 && node->linkIndex < survey.deviceCount));
    }
    remember();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  World world;
  world.start(vyr::StartMode::FRESH);
  int surveys = 1;
  for (int step = 0; step < MAX_STEPS && !in.empty(); ++step) {
    const uint8_t kind = in.byte();
    switch (kind % 4) {
      case 0:
        vyr::runPeriod(world.context, world.clock, world.network);
        break;
      case 1: {
        const vyr::SocketAddress from = world.source(in);
        world.deliver(from, in.bytes(in.byte() | (kind & 0x80 ? 0x300 : 0)));
        break;
      }
      case 2: {
        const vyr::SocketAddress from = world.source(in);
        const bool runCoding = (kind & 0x10) != 0;
        const std::vector<uint8_t> message = in.bytes(in.byte());
        std::vector<uint8_t> frame(
            static_cast<size_t>(vyr::frameCapacity(static_cast<int32_t>(message.size()))));
        frame.resize(static_cast<size_t>(vyr::writeFrame(
            message.data(), static_cast<int32_t>(message.size()), runCoding, frame.data())));
        world.deliver(from, frame);
        break;
      }
      default: {
        // A reply of the IP server: a listed unit's serial and ID with an address from the input.
        const auto& units = world.model.description().units;
        const vyr::fleet::UnitDescription& unit = units[in.byte() % units.size()];
        std::vector<uint8_t> reply(vyr::LOCATE_DATAGRAM_LENGTH, 0);
        for (int b = 0; b < 4; ++b) reply[b] = static_cast<uint8_t>(unit.serial >> (8 * b));
        std::memcpy(reply.data() + vyr::LOCATE_ID_OFFSET, unit.id.data(), unit.id.size());
        for (int b = 0; b < 4; ++b) reply[vyr::LOCATE_ADDRESS_OFFSET + b] = in.byte();
        world.deliver(makeAddress(world.model.description().serverIp, vyr::SERVER_PORT), reply);
        break;
      }
    }
    world.checkInvariants();
    if (!vyr::surveyRunning(world.context) && surveys < MAX_SURVEYS) {
      world.start(kind & 0x40 ? vyr::StartMode::RESUME : vyr::StartMode::FRESH);
      ++surveys;
      world.checkInvariants();
    }
  }
  vyr::closeSurvey(world.context);
  return 0;
}
