#pragma once
// A fleet of field units and their IP server as a pure model: a datagram the tool sends goes in,
// the datagrams the fleet sends back come out, each with the delay after which it is due. No
// sockets and no clock; given the same seed and the same requests it answers the same way.
//
// Units file (plain text, one item per line, '#' starts a comment that runs to the line's end):
//
//   LISTING ADDRESS ID SERIAL [key=value ...]     one unit
//   option key=value [key=value ...]              fleet-wide settings
//
//   LISTING   address: the list file names the unit by its address.
//             serial:  the list file names it as ID/serial; the tool finds it through the server
//                      and from then on talks run coding to it, so such a unit is always run-coded.
//   ADDRESS   where the unit answers: 127.x.y.z with z from 1 to 254, not the server's address.
//   ID        1 to 8 letters, digits, '_', '-' or '.', the first a letter (so that a list line
//             never reads as an address).
//   SERIAL    decimal, 0 to 4294967295.
//   Unit keys: bios=1.23 version=2.05 (two decimals at most, -327.68 to 327.67), application=TEXT
//             (at most 8), suffix=0..255, modem=TEXT, esn=TEXT (each at most 30; the tool keeps 29
//             and 13), coding=run|plain, loss=PERCENT (each request, and each reply, is lost with
//             this chance), delay=MS, silent=yes|no, server=known|unknown. Values hold no blanks.
//             Defaults: bios=1.00 version=1.00 application=FIELDAPP suffix=0 modem=M<serial>
//             esn=E<serial> coding=plain (run when listed by serial) loss=0 delay=0 silent=no
//             server=known.
//   Options:  seed=N, server=127.x.y.z (the IP server, default 127.0.0.1), delay=MS (every
//             datagram), jitter=MS (a random 0..MS more on each datagram, which reorders them),
//             duplicate=P (a second copy), late=P and late-ms=MS (a copy again after MS, like a
//             reply to an earlier survey; default 20000), wrong-port=P (a copy from the same
//             address but port 18773), zero-length=P, oversized=P (1400 bytes), garbage=P (random
//             bytes, half of them shaped as a frame), server-loss=P. P is a percentage 0..100.
//             The four noise kinds ride along with a reply that is sent.
//             flood=N (datagrams a second, at most 100000): noise sent whatever the tool asks, to
//             the address its requests come from, half of it empty and half garbage; three in
//             four from the units' addresses in turn, the rest from the server's address, on its
//             own port and on 18773 alternately.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/memory/seeded_random.h"
#include "platform/socket_address.h"
#include "survey/device_record.h"

namespace vyr::fleet {

constexpr uint16_t WRONG_PORT = 18773;              // source port of the wrong-port copies
constexpr uint32_t OVERSIZED_LENGTH = 1400;         // larger than the tool's receive buffer
constexpr int32_t IDENTIFY_RUN_CODING_LENGTH = 12;  // longer than the minimum: "I take run coding"

enum class Listing : uint8_t { BY_ADDRESS, BY_SERIAL };

struct UnitDescription {
  Listing listing = Listing::BY_ADDRESS;
  uint8_t ip[4] = {};
  std::string id;
  uint32_t serial = 0;
  int16_t bios = 100;  // hundredths
  int16_t appVersion = 100;
  std::string application = "FIELDAPP";
  uint8_t suffix = 0;
  std::string modemId;
  std::string esn;
  bool runCoding = false;
  uint32_t lossPercent = 0;
  uint32_t delayMs = 0;
  bool silent = false;
  bool serverKnows = true;
};

struct FleetDescription {
  std::vector<UnitDescription> units;
  uint8_t serverIp[4] = {127, 0, 0, 1};
  uint64_t seed = 1;
  uint32_t delayMs = 0;
  uint32_t jitterMs = 0;
  uint32_t duplicatePercent = 0;
  uint32_t latePercent = 0;
  uint32_t lateMs = 20000;
  uint32_t wrongPortPercent = 0;
  uint32_t zeroLengthPercent = 0;
  uint32_t oversizedPercent = 0;
  uint32_t garbagePercent = 0;
  uint32_t serverLossPercent = 0;
  uint32_t floodPerSecond = 0;
};

// Reads a units file. On failure `error` names the line and the fault and `description` is
// unusable.
bool parseFleet(std::string_view text, FleetDescription& description, std::string& error);

// The rules every fleet obeys (addresses, IDs, text lengths, percentages, no unit listed twice),
// for fleets built in code; parseFleet applies them too.
bool checkFleet(const FleetDescription& description, std::string& error);

// A well-behaved fleet of `count` units at 127.1.0.1 upwards (last numbers 0 and 255 skipped),
// with IDs U0000001..., serials from 100001 and data drawn from `seed`. At most 9999999 units.
FleetDescription generateFleet(uint32_t count, uint64_t seed, uint32_t serialPercent = 25,
                               uint32_t runCodingPercent = 50);

// The text of the matching list file: a comment line, then one unit per line in fleet order,
// either its address or ID/serial.
std::string listFileText(const FleetDescription& description);

// The record the tool holds for this unit once its survey is complete (lastSent left zero, as it
// is a tick). Meaningful for units that can complete: not silent, and known to the server when
// listed by serial.
DeviceRecord expectedRecord(const UnitDescription& unit);

// The report section a complete survey of the whole fleet writes: header and one line per unit.
std::string expectedReport(const FleetDescription& description);

// The progress file a complete survey of the whole fleet saves, its report section starting at
// `reportOffset`, with every record's lastSent zero.
std::string expectedProgress(const FleetDescription& description, int32_t reportOffset);

// A saved progress file with every record's lastSent set to zero, the one field that depends on
// when the survey ran, so that it compares with expectedProgress.
std::string withoutSendTimes(std::string progress);

struct Reply {
  SocketAddress source;
  std::vector<uint8_t> bytes;
  uint32_t delayMs;
  bool late;  // a late copy, standing for a reply to an earlier survey
};

struct FleetCounters {
  // Requests by kind, as they arrived.
  uint64_t identifyRequests = 0;
  uint64_t versionRequests = 0;
  uint64_t modemRequests = 0;
  uint64_t locateRequests = 0;
  uint64_t acknowledgements = 0;
  uint64_t unknownRequests = 0;  // no such unit, not a frame, or not a request the fleet knows
  // Requests that got no answer although they were well formed.
  uint64_t wrongIdQueries = 0;         // a version query naming another ID
  uint64_t strayAcknowledgements = 0;  // an acknowledgement of an address the server never gave
  uint64_t ignoredBySilentUnits = 0;
  uint64_t droppedRequests = 0;  // lost on the way in
  uint64_t droppedReplies = 0;   // lost on the way out
  // What went out.
  uint64_t unitReplies = 0;
  uint64_t serverReplies = 0;
  uint64_t unknownUnitReplies = 0;  // server replies with the zero address (also in serverReplies)
  uint64_t duplicates = 0;
  uint64_t lateCopies = 0;
  uint64_t wrongPortCopies = 0;
  uint64_t noiseDatagrams = 0;
  uint64_t floodDatagrams = 0;
};

// Units answer identify in plain coding whatever they take, since the tool cannot know yet: the
// reply's length is what declares run coding. A version query must name the unit's own ID. An
// acknowledgement is only counted, as the server has nothing to say to it.
class FleetModel {
 public:
  explicit FleetModel(FleetDescription description);

  // One datagram the tool sent to `destination`; appends what the fleet sends back (to the tool)
  // with each reply's delay.
  void handle(const SocketAddress& destination, const uint8_t* bytes, uint32_t length,
              std::vector<Reply>& replies);

  // The next datagram of the flood (see the option flood=N), due at once. Never a message the
  // tool would act on, whichever source it comes from.
  Reply floodDatagram();

  const FleetDescription& description() const { return fleet_; }
  const FleetCounters& counters() const { return counters_; }

 private:
  void handleUnit(const UnitDescription& unit, const uint8_t* bytes, uint32_t length,
                  std::vector<Reply>& replies);
  void handleServer(const uint8_t* bytes, uint32_t length, std::vector<Reply>& replies);
  // Sends `bytes` from `source` with the fleet's delay, jitter, copies and noise.
  void emit(const SocketAddress& source, const std::vector<uint8_t>& bytes, uint32_t delayMs,
            std::vector<Reply>& replies);
  bool lostEitherWay(uint32_t percent);
  uint32_t jittered(uint32_t delayMs);
  std::vector<uint8_t> garbage();
  const UnitDescription* serverEntry(const uint8_t* datagram) const;

  FleetDescription fleet_;
  SeededRandom random_;
  FleetCounters counters_;
  std::unordered_map<uint32_t, uint32_t> byAddress_;  // address number -> unit index
  std::unordered_map<std::string, uint32_t> byKey_;   // serial bytes and ID -> unit index
  uint64_t floodCount_ = 0;  // flood datagrams so far; picks the next one's source
};

}  // namespace vyr::fleet
