// Catches whole surveys that stall, never end, end early or save a report or progress file that
// differs by a byte from what the fleet told, on a clean network and on a hostile one.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "protocol/messages.h"
#include "support/memory_fleet_world.h"
#include "support/protocol_fixture.h"
#include "survey/report_files.h"

namespace vyr::testing {
namespace {

struct MemorySurveyTest : ProtocolFixture {
  std::unique_ptr<fleet::FleetModel> model;
  std::unique_ptr<fleet::MemoryPeer> fleetPeer;

  void useFleet(const fleet::FleetDescription& description) {
    model = std::make_unique<fleet::FleetModel>(description);
    fleetPeer = std::make_unique<fleet::MemoryPeer>(*model);
    network.attach(fleetPeer.get());
    dialog.serverField = "127.0.0.1";
    chooseList("fleet.IPs", fleet::listFileText(description));
  }

  void expectProgressMatches() {
    EXPECT_EQ(fleet::withoutSendTimes(file("fleet.soFar")),
              fleet::expectedProgress(model->description(), 0));
  }
};

TEST_F(MemorySurveyTest, AMixedFleetCompletesAtTheThirdTickByteForByte) {
  useFleet(fleet::generateFleet(300, 17, 30, 50));
  press(StartMode::FRESH);
  EXPECT_EQ(runSurvey(40), 3) << "one tick each for identify or locate, version, modem info";
  EXPECT_EQ(dialog.beeps, 1);
  EXPECT_EQ(file("fleet.model"), fleet::expectedReport(model->description()));
  expectProgressMatches();
}

TEST_F(MemorySurveyTest, AHostileNetworkOnlySlowsTheSurveyDown) {
  fleet::FleetDescription description = fleet::generateFleet(200, 23, 30, 50);
  description.duplicatePercent = 10;
  description.latePercent = 5;
  description.lateMs = 7000;
  description.jitterMs = 400;
  description.wrongPortPercent = 5;
  description.zeroLengthPercent = 5;
  description.oversizedPercent = 5;
  description.garbagePercent = 5;
  useFleet(description);
  network.lossPercent = 30;  // each way
  network.duplicatePercent = 5;
  clock.set(0xFFFFF000u);  // and the tick counter wraps during the survey
  press(StartMode::FRESH);
  EXPECT_GT(runSurvey(2000), 3);
  EXPECT_EQ(file("fleet.model"), fleet::expectedReport(model->description()));
  expectProgressMatches();
  EXPECT_GT(model->counters().noiseDatagrams, 0u);
}

TEST_F(MemorySurveyTest, AnAbortedSurveyResumesIntoTheSameSection) {
  useFleet(fleet::generateFleet(50, 29, 30, 50));
  press(StartMode::FRESH);
  period();
  period();  // identified or located, some with versions
  abortSurvey(context);
  const std::string partial = file("fleet.model");
  ASSERT_NE(partial, fleet::expectedReport(model->description()));
  takeSent();

  press(StartMode::RESUME);
  EXPECT_GT(runSurvey(100), 0);
  EXPECT_EQ(file("fleet.model"), fleet::expectedReport(model->description()))
      << "rewritten in place, not appended";
  expectProgressMatches();
  for (const auto& datagram : takeSent()) {
    EXPECT_NE(unframe(datagram.bytes, false), std::optional<Bytes>({0x64, 0}))
        << "units identified before the abort are not asked again";
  }
}

// The dialogs take a start in several passes of their event loop, and every event of the loop
// may come between two of its steps: the start still sends exactly what one press sends, and its
// replies are read only once every unit has been asked.
TEST_F(MemorySurveyTest, AStartInStepsSendsTheOnePressBurstWhateverComesBetweenItsSteps) {
  constexpr int32_t UNITS = 40000;  // more than two parts of asking
  dialog.serverField = "127.0.0.1";
  chooseList("fleet.IPs", fleet::listFileText(fleet::generateFleet(UNITS, 41, 30, 50)));
  const auto sentNow = [&] {
    flushQueue(context);
    std::vector<std::pair<Bytes, Bytes>> sent;  // (destination, bytes) in the order sent
    for (const auto& datagram : takeSent()) {
      const auto* to = reinterpret_cast<const uint8_t*>(&datagram.destination);
      sent.emplace_back(Bytes(to, to + sizeof datagram.destination), datagram.bytes);
    }
    return sent;
  };
  press(StartMode::FRESH);
  const auto onePress = sentNow();
  ASSERT_EQ(onePress.size(), static_cast<size_t>(UNITS));
  // The first address-listed unit, the one that answers out of turn.
  int32_t unit = 0;
  while (record(unit).flags & BY_SERIAL) ++unit;
  const SocketAddress from = record(unit).address;
  abortSurvey(context);

  // A stale identify reply of that unit, then each event a front-end can have.
  const auto everyEvent = [&] {
    Bytes reply(IDENTIFY_REPLY_MINIMUM, 0);
    reply[0] = IDENTIFY;
    std::memcpy(&reply[IDENTIFY_ID_OFFSET], "STALE", 5);
    const Bytes datagram = frame(reply, false);
    network.deliver(from, datagram.data(), static_cast<uint32_t>(datagram.size()));
    socketReadable(context);
    timerDue(context);
    socketWritable(context);
    flushDue(context);
  };
  const struct {
    const char* between;
    bool events;
    bool abort;  // Abort after the first step
  } cases[] = {
      {"nothing", false, false},
      {"a reply, a tick, write readiness and a paced flush", true, false},
      {"an Abort", false, true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.between);
    DriverWait wait;
    ASSERT_TRUE(pressStart(context, StartMode::FRESH, wait));
    int steps = 0;
    while (!currentWait(context).readReadiness) {
      if (test.events) everyEvent();
      ASSERT_TRUE(takeSent().empty()) << "step " << steps << " sent before the start ended";
      if (test.abort && steps == 1) {
        ASSERT_FALSE(pressExit(context, wait));
        break;
      }
      wait = startStep(context);
      ++steps;
    }
    if (test.abort) {
      EXPECT_FALSE(surveyRunning(context));
      EXPECT_FALSE(currentWait(context).startStepPending) << "nothing owed after an Abort";
      EXPECT_TRUE(sentNow().empty());
      continue;
    }
    EXPECT_EQ(steps, 5) << "an index by each key, then three parts of asking";
    const auto sent = sentNow();
    ASSERT_EQ(sent, onePress);
    EXPECT_EQ(wait.startStepPending, test.events) << "the reply and the tick are owed";
    if (test.events) {
      startStep(context);
      EXPECT_STREQ(record(unit).id, "STALE") << "read once the start has asked every unit";
      EXPECT_FALSE(currentWait(context).startStepPending);
    }
    abortSurvey(context);
  }
}

// A serial line whose ID is only white space gives a record that can never be asked anything
// useful: its requests go nowhere and must not hold up the others.
TEST_F(MemorySurveyTest, AUnitWithoutIdOrAddressDoesNotStallTheQueue) {
  fleet::FleetDescription description = fleet::generateFleet(20, 31, 30, 50);
  useFleet(description);
  chooseList("fleet.IPs", "  /77\n" + fleet::listFileText(description));
  ASSERT_EQ(list.rows()[0], " 0.0.0.0\t77\t  ");
  press(StartMode::FRESH);
  EXPECT_EQ(runSurvey(60), -1) << "that unit never completes";
  EXPECT_EQ(context.sendQueue.nodeCount, 0u);
  EXPECT_EQ(context.survey.finishedPrefix, 0);
  for (int32_t i = 1; i < context.survey.deviceCount; ++i) EXPECT_TRUE(isFinished(record(i))) << i;
  abortSurvey(context);
  const std::string report = file("fleet.model");
  EXPECT_EQ(report.substr(0, report.find("\r\n", std::strlen(REPORT_HEADER)) + 2),
            std::string(REPORT_HEADER) + "0.0.0.0\t77\t\t0.00\t\t0.00\r\n");
}

}  // namespace
}  // namespace vyr::testing

namespace vyr::testing {
namespace {

// However a survey ends, the protocol's per-record bookkeeping (16 bytes a unit) goes with it,
// and a refused start neither touches a file nor takes a running survey's bookkeeping away.
TEST_F(MemorySurveyTest, TheRecordsKeptBesideTheTableLastAsLongAsTheSurvey) {
  enum class End { COMPLETE_IN_DRAIN, COMPLETE_AT_RESUME, ABORT, END_DRIVING };
  for (End end : {End::COMPLETE_IN_DRAIN, End::COMPLETE_AT_RESUME, End::ABORT, End::END_DRIVING}) {
    SCOPED_TRACE(static_cast<int>(end));
    useFleet(fleet::generateFleet(40, 5, 30, 50));
    ASSERT_TRUE(pressStart(context, StartMode::FRESH));
    ASSERT_NE(context.records.state, nullptr);
    EXPECT_EQ(context.records.survey, context.survey.surveyNumber);
    const RecordSendState* running = context.records.state.get();

    // A second start refused for its table leaves the running survey as it was.
    context.allocateTable = [](int32_t) -> DeviceRecord* { return nullptr; };
    EXPECT_FALSE(pressStart(context, StartMode::FRESH));
    context.allocateTable = allocateDeviceTable;
    ASSERT_TRUE(surveyRunning(context));
    EXPECT_EQ(context.records.state.get(), running);
    EXPECT_EQ(context.startRecords.state, nullptr);

    if (end == End::ABORT) abortSurvey(context);
    if (end == End::END_DRIVING) endDriving(context);
    if (end == End::COMPLETE_IN_DRAIN || end == End::COMPLETE_AT_RESUME) {
      ASSERT_GT(runSurvey(40), 0);
    }
    if (end == End::COMPLETE_AT_RESUME) {
      const int beeps = dialog.beeps;
      ASSERT_TRUE(pressStart(context, StartMode::RESUME));
      EXPECT_EQ(dialog.beeps, beeps + 1) << "a survey saved complete ends inside its start";
    }
    EXPECT_FALSE(surveyRunning(context));
    EXPECT_EQ(context.records.state, nullptr);
    EXPECT_EQ(context.startRecords.state, nullptr);
  }
}

TEST_F(MemorySurveyTest, AStartRefusedForItsMemoryTouchesNoFile) {
  useFleet(fleet::generateFleet(10, 3, 30, 50));
  context.allocateTable = [](int32_t) -> DeviceRecord* { return nullptr; };
  EXPECT_FALSE(pressStart(context, StartMode::RESUME));
  EXPECT_EQ(context.survey.startRefusal, StartRefusal::NO_MEMORY);
  EXPECT_EQ(files.contents("fleet.model"), nullptr) << "the report is not even locked";
  EXPECT_EQ(files.contents("fleet.soFar"), nullptr);
  EXPECT_EQ(context.startRecords.state, nullptr);
  EXPECT_TRUE(network.sent.empty());
}

}  // namespace
}  // namespace vyr::testing
