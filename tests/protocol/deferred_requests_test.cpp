// Catches requests deferred as records in runs that go out otherwise than the same requests queued
// as datagrams would: other bytes or order, a duplicate sent or a request lost, other send times in
// the progress file, or a request written from fields a reply changed after it was queued.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "support/memory_fleet_world.h"
#include "support/protocol_fixture.h"
#include "support/virtual_time_loop.h"

namespace vyr::testing {
namespace {

struct Trace {
  std::vector<MemoryNetwork::Datagram> sent;
  std::vector<std::string> files;  // the progress file and the report, after each survey
  int ticks = 0;
  int32_t finished = 0;       // units finished when the second survey is stopped
  uint32_t mostDeferred = 0;  // requests waiting in runs at once, as one is sent
};

// The fleet, noting how many requests wait deferred whenever one reaches it.
struct WatchingPeer final : MemoryNetwork::Peer {
  MemoryNetwork::Peer& fleet;
  const SendQueue& queue;
  uint32_t& most;

  WatchingPeer(MemoryNetwork::Peer& inner, const SendQueue& watched, uint32_t& counted)
      : fleet(inner), queue(watched), most(counted) {}
  void onDatagram(MemoryNetwork& network, const MemoryNetwork::Datagram& datagram) override {
    most = std::max(most, queue.deferredCount);
    fleet.onDatagram(network, datagram);
  }
};

int32_t finishedUnits(const Context& context) {
  int32_t count = 0;
  for (int32_t i = 0; i < context.survey.deviceCount; ++i) {
    count += isFinished(context.survey.deviceTable[i]) ? 1 : 0;
  }
  return count;
}

struct Scenario {
  const char* what;
  StartMode second;      // the start made right after the first survey is aborted
  uint64_t roomPerTick;  // sends the socket takes each tick
  uint32_t lossPercent;
  int repeats;  // how often one address row is listed
  int ticks;    // how long the second survey runs
  bool close;   // closed (its requests still go) rather than aborted
  int32_t finishedAtLeast;
};

// The list file, with one address row listed `repeats` times and one serial row twice.
std::string listWithRepeats(const fleet::FleetDescription& fleet, int repeats) {
  std::istringstream lines(fleet::listFileText(fleet));
  std::string text;
  std::string line;
  std::string address;
  std::string serial;
  while (std::getline(lines, line)) {
    text += line + "\n";
    if (address.empty() && !line.empty() && line[0] == '1') address = line;
    if (serial.empty() && line.find('/') != std::string::npos) serial = line;
  }
  for (int i = 1; i < repeats; ++i) text += address + "\n";
  return text + serial + "\n";
}

// Two surveys of one fleet: the first aborted a second into its start's burst, the second started
// at once, while the first's replies still arrive (some late), and stopped.
Trace surveyTwice(const Scenario& scenario, bool deferred) {
  fleet::FleetDescription description = fleet::generateFleet(2000, 7);
  description.delayMs = 300;
  description.jitterMs = 400;
  description.duplicatePercent = 5;
  description.latePercent = 5;
  description.lateMs = 1500;
  auto world = std::make_unique<fleet::MemoryFleetWorld>(description);
  world->network.keepSent = true;
  world->network.lossPercent = scenario.lossPercent;
  // Two hosts out of reach: their requests are kept, behind the others.
  world->network.unreachable = {world->network.toolAddress(), world->network.toolAddress()};
  setSocketAddress(world->network.unreachable[0], description.units[10].ip, DEVICE_PORT);
  setSocketAddress(world->network.unreachable[1], description.units[1500].ip, DEVICE_PORT);
  world->chooseList("fleet.IPs", listWithRepeats(description, scenario.repeats));
  Context& context = world->context;

  Trace trace;
  WatchingPeer watching(world->peer, context.sendQueue, trace.mostDeferred);
  world->network.attach(&watching);
  const auto start = [&](StartMode mode) {
    DriverWait wait;
    pressStart(context, mode, wait);
    if (!deferred) context.sendQueue.undeferredSurvey = context.survey.surveyNumber;
  };
  const auto keepFiles = [&] {
    for (const char* name : {"fleet.soFar", "fleet.txt"}) {
      const std::string* text = world->files.contents(name);
      trace.files.push_back(text != nullptr ? *text : "(none)");
    }
  };
  const auto period = [&] {
    world->network.sendRoom = scenario.roomPerTick;
    runPeriod(context, world->clock, world->network);
  };

  start(StartMode::FRESH);
  for (int i = 0; i < 4; ++i) period();
  abortSurvey(context);
  keepFiles();
  start(scenario.second);
  // The repeated rows and the hosts out of reach never finish: the survey is stopped.
  while (surveyRunning(context) && trace.ticks < scenario.ticks) {
    period();
    ++trace.ticks;
  }
  trace.finished = finishedUnits(context);
  if (scenario.close) {
    endDriving(context);
    world->network.sendRoom = UINT64_MAX;
    flushQueue(context);
  } else {
    abortSurvey(context);
  }
  keepFiles();
  trace.sent = std::move(world->network.sent);
  return trace;
}

TEST(DeferredRequestsTest, GoOutAsTheSameRequestsQueuedOneByOneWould) {
  const Scenario scenarios[] = {
      {"a fresh start, the socket taking all", StartMode::FRESH, UINT64_MAX, 0, 2, 160, false,
       1900},
      {"a fresh start, 150 sends a tick, a lossy link", StartMode::FRESH, 150, 10, 2, 160, false,
       1900},
      {"a resumed start, 150 sends a tick", StartMode::RESUME, 150, 0, 2, 160, false, 1900},
      {"a resumed start, 40 sends a tick, a lossy link", StartMode::RESUME, 40, 10, 2, 160, false,
       1000},
      {"closed while most requests wait", StartMode::FRESH, 40, 0, 2, 3, true, 0},
      {"an address listed too often to defer", StartMode::FRESH, 150, 0, 100, 160, false, 1900},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.what);
    const Trace queued = surveyTwice(scenario, false);
    const Trace deferred = surveyTwice(scenario, true);
    EXPECT_GE(queued.finished, scenario.finishedAtLeast) << "the survey did not get far";
    EXPECT_EQ(queued.mostDeferred, 0u);
    EXPECT_GT(deferred.mostDeferred, 500u) << "nothing was deferred";
    EXPECT_EQ(deferred.finished, queued.finished);
    EXPECT_TRUE(deferred.files == queued.files) << "the progress file or the report differs";
    ASSERT_EQ(deferred.sent.size(), queued.sent.size());
    for (size_t i = 0; i < queued.sent.size(); ++i) {
      ASSERT_TRUE(sameSocketAddress(deferred.sent[i].destination, queued.sent[i].destination) &&
                  deferred.sent[i].bytes == queued.sent[i].bytes)
          << "datagram " << i << " of " << queued.sent.size();
    }
  }
}

// What the IP server tells: a unit of this serial and ID is at 10.0.0.`last`.
struct Located {
  uint16_t serial;
  const char* id;
  uint8_t last;
};

struct Moving {
  const char* what;
  const char* list;
  uint64_t roomFirst;  // sends the socket takes after the start, before the server's replies
  std::vector<Located> replies;
  std::vector<uint8_t> lastBytes;  // of the destinations, in the order sent
};

// The server's replies arrive while nothing can be sent: a reply that moves a unit changes what
// its waiting request would write.
std::vector<MemoryNetwork::Datagram> locatedWhileNothingGoes(const Moving& moving, bool deferred) {
  auto world = std::make_unique<fleet::MemoryFleetWorld>(fleet::FleetDescription{});
  world->network.keepSent = true;
  world->chooseList("few.IPs", moving.list);
  Context& context = world->context;
  DriverWait wait;
  pressStart(context, StartMode::FRESH, wait);
  if (!deferred) context.sendQueue.undeferredSurvey = context.survey.surveyNumber;
  world->network.sendRoom = 0;
  while (currentWait(context).startStepPending) startStep(context);
  world->network.sendRoom = moving.roomFirst;
  flushQueue(context);
  world->network.sendRoom = 0;
  const SocketAddress server = address(127, 0, 0, 1, SERVER_PORT);
  for (const Located& located : moving.replies) {
    uint8_t reply[LOCATE_DATAGRAM_LENGTH] = {static_cast<uint8_t>(located.serial),
                                             static_cast<uint8_t>(located.serial >> 8)};
    std::memcpy(reply + LOCATE_ID_OFFSET, located.id, std::strlen(located.id));
    const uint8_t ip[4] = {10, 0, 0, located.last};
    std::memcpy(reply + LOCATE_ADDRESS_OFFSET, ip, 4);
    world->network.deliver(server, reply, LOCATE_DATAGRAM_LENGTH);
    socketReadable(context);
  }
  world->network.sendRoom = UINT64_MAX;
  flushQueue(context);
  return std::move(world->network.sent);
}

TEST(DeferredRequestsTest, AWaitingRequestGoesAsItWasWrittenWhenAReplyMovesItsUnit) {
  const Moving cases[] = {
      // The query, then for each reply its acknowledgement and a version query to the address.
      {"a located unit placed again elsewhere",
       "ID1/1001\n",
       1,
       {{1001, "ID1", 5}, {1001, "ID1", 6}},
       {1, 1, 5, 1, 6}},
      // An address row has serial 0 and no ID, so the reply moves the first one while its
      // identify request and the next row's still wait in the start's run.
      {"a unit moved before its start request went",
       "10.0.0.8\n10.0.0.9\n",
       0,
       {{0, "", 20}},
       {8, 9, 1, 20}},
  };
  for (const Moving& moving : cases) {
    SCOPED_TRACE(moving.what);
    const std::vector<MemoryNetwork::Datagram> queued = locatedWhileNothingGoes(moving, false);
    const std::vector<MemoryNetwork::Datagram> deferred = locatedWhileNothingGoes(moving, true);
    std::vector<uint8_t> lastBytes(queued.size());
    for (size_t i = 0; i < queued.size(); ++i) lastBytes[i] = queued[i].destination.ip[3];
    EXPECT_EQ(lastBytes, moving.lastBytes);
    EXPECT_EQ(deferred.size(), queued.size());
    for (size_t i = 0; i < queued.size() && i < deferred.size(); ++i) {
      EXPECT_TRUE(sameSocketAddress(deferred[i].destination, queued[i].destination) &&
                  deferred[i].bytes == queued[i].bytes)
          << "datagram " << i;
    }
  }
}

}  // namespace
}  // namespace vyr::testing
