// Catches whole surveys that stall, never end, end early or save a report or progress file that
// differs by a byte from what the fleet told, on a clean network and on a hostile one.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

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

// The dialogs take a start in several passes of their event loop: its steps send what one press
// sends, and only while the survey they were posted for still runs and has not asked yet.
TEST_F(MemorySurveyTest, AStartInStepsSendsWhatOnePressSendsWhileItsSurveyRuns) {
  // Nobody answers, so that every start finds the units as the list gave them.
  dialog.serverField = "127.0.0.1";
  chooseList("fleet.IPs", fleet::listFileText(fleet::generateFleet(40, 37, 30, 50)));
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
  ASSERT_EQ(onePress.size(), 40u);
  abortSurvey(context);

  const struct {
    const char* between;
    std::function<void(uint32_t started)> act;
    int steps;  // steps that say another remains: an index by each key not yet built
    bool asks;
  } cases[] = {
      {"nothing", [](uint32_t) {}, 2, true},
      {"a drain that looks a unit up, so that its key is indexed then",
       [&](uint32_t) {
         const uint8_t noise = 0;
         for (int32_t i = 0; i < context.survey.deviceCount; ++i) {
           if (record(i).flags & BY_SERIAL) continue;
           network.deliver(record(i).address, &noise, 1);
           break;
         }
         receiveAll(context);
       },
       1, true},
      {"an Abort", [&](uint32_t) { abortSurvey(context); }, 0, false},
      {"an Abort and a new start",
       [&](uint32_t) {
         abortSurvey(context);
         startSurvey(context, StartMode::FRESH);
       },
       0, false},
      {"all the steps already taken",
       [&](uint32_t started) {
         while (continueStart(context, started)) {
         }
         flushQueue(context);
       },
       0, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.between);
    ASSERT_TRUE(startSurvey(context, StartMode::FRESH));
    const uint32_t started = context.survey.surveyNumber;
    test.act(started);
    takeSent();
    int steps = 0;
    while (continueStart(context, started)) ++steps;
    EXPECT_EQ(steps, test.steps);
    const auto sent = sentNow();
    if (test.asks) {
      EXPECT_EQ(sent, onePress);
    } else {
      EXPECT_TRUE(sent.empty());
    }
    abortSurvey(context);
  }
}

// A large fleet is asked a part per step, and a flush between the parts sends nothing: an answer
// to an early part would put its follow-up among the later parts' requests. The flush is made
// when the last part is asked.
TEST_F(MemorySurveyTest, AStartAsksALargeFleetInPartsAndFlushesOnlyAfterTheLast) {
  constexpr uint32_t UNITS = 40000;  // more than two parts
  dialog.serverField = "127.0.0.1";
  chooseList("fleet.IPs", fleet::listFileText(fleet::generateFleet(UNITS, 41, 30, 50)));
  press(StartMode::FRESH);
  flushQueue(context);
  const std::vector<MemoryNetwork::Datagram> onePress = takeSent();
  ASSERT_EQ(onePress.size(), UNITS);
  abortSurvey(context);

  ASSERT_TRUE(startSurvey(context, StartMode::FRESH));
  const uint32_t started = context.survey.surveyNumber;
  int steps = 0;
  while (continueStart(context, started)) {
    ++steps;
    flushQueue(context);
    ASSERT_TRUE(takeSent().empty()) << "step " << steps;
  }
  EXPECT_EQ(steps, 4) << "an index by each key, then all the parts but the last";
  const std::vector<MemoryNetwork::Datagram> inParts = takeSent();
  ASSERT_EQ(inParts.size(), onePress.size());
  for (size_t i = 0; i < inParts.size(); ++i) {
    ASSERT_EQ(std::memcmp(&inParts[i].destination, &onePress[i].destination,
                          sizeof onePress[i].destination),
              0)
        << i;
    ASSERT_EQ(inParts[i].bytes, onePress[i].bytes) << i;
  }
  flushQueue(context);
  EXPECT_TRUE(takeSent().empty()) << "nothing left waiting";
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
