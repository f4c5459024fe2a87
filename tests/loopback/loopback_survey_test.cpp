// Catches what only real sockets show: replies from 127.x.y.z units tied to the wrong records,
// drains that stop at an empty or oversized datagram, surveys that stall under loss, and a loop
// that holds a start's requests back until its first tick, against the fleet simulator over
// loopback UDP.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "survey_command/poll_loop.h"
#include "core/survey_driver.h"
#include "fleet/fleet_simulator.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_list_view.h"
#include "platform/counting_socket.h"
#include "platform/paced_socket.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "support/choose_list.h"
#include "support/private_network_test.h"
#include "survey/list_files.h"

namespace vyr::testing {
namespace {

constexpr int SURVEY_LIMIT_MS = 180000;  // a bound for a stall, far beyond what any case needs

class LoopbackSurveyTest : public PrivateNetworkTest {
 protected:
  // Surveys the fleet from a fresh list file, its sends paced as given; returns the report.
  std::string survey(const fleet::FleetDescription& description, SendPacing pacing = {}) {
    fleet::FleetModel model(description);
    fleet::FleetSimulator simulator(model);
    std::string error;
    if (!simulator.open(error)) {
      ADD_FAILURE() << error;
      return {};
    }
    std::atomic<bool> stop{false};
    std::thread fleetThread([&] { simulator.run(stop); });

    std::ofstream(directory_ / "fleet.IPs", std::ios::binary) << fleet::listFileText(description);
    std::unique_ptr<FileSystem> files = openPosixFileSystem(directory_.c_str());
    std::unique_ptr<PosixUdpSocket> socket = PosixUdpSocket::open();
    MemoryDialog dialog;
    MemoryListView list;
    PosixClock clock;
    PacedSocket paced(*socket, clock, pacing);
    Context context(*files, dialog, list, clock, paced);
    dialog.serverField = "127.0.0.1";
    fillListSelector(context);
    dialog.select(0);
    chooseListFile(context);
    pressStart(context, StartMode::FRESH);
    const bool done = runUntilDone(context, socket->fd(), SURVEY_LIMIT_MS);
    if (!done) abortSurvey(context);
    stop = true;
    fleetThread.join();
    EXPECT_TRUE(done) << "the survey stalled";
    EXPECT_EQ(dialog.beeps, done ? 1 : 0);
    return read("fleet.model");
  }
};

TEST_F(LoopbackSurveyTest, AMixedFleetCompletesByteForByte) {
  const fleet::FleetDescription description = fleet::generateFleet(240, 101, 30, 50);
  EXPECT_EQ(survey(description), fleet::expectedReport(description));
}

TEST_F(LoopbackSurveyTest, EmptyOversizedAndForeignDatagramsDoNotStopTheDrain) {
  fleet::FleetDescription description = fleet::generateFleet(200, 103, 30, 50);
  description.zeroLengthPercent = 20;
  description.oversizedPercent = 20;
  description.garbagePercent = 20;
  description.wrongPortPercent = 20;
  description.duplicatePercent = 20;
  description.jitterMs = 30;
  EXPECT_EQ(survey(description), fleet::expectedReport(description));
}

// The window and the rate hold sends back and let them go again through the loop's own timing.
TEST_F(LoopbackSurveyTest, APacedSurveyCompletesByteForByte) {
  const fleet::FleetDescription description = fleet::generateFleet(3000, 109, 30, 50);
  EXPECT_EQ(survey(description, SendPacing{32, 20000}), fleet::expectedReport(description));
}

TEST_F(LoopbackSurveyTest, ThirtyPercentLossStillCompletes) {
  fleet::FleetDescription description = fleet::generateFleet(60, 107, 30, 50);
  for (fleet::UnitDescription& unit : description.units)
    unit.lossPercent = 30;  // requests and replies each
  description.serverLossPercent = 30;
  EXPECT_EQ(survey(description), fleet::expectedReport(description));
}

// Held until the first tick, the start's requests would meet that tick's silence test before
// any answer could: with no unit frame yet, it asks everyone again and they are all sent twice.
TEST_F(LoopbackSurveyTest, WhatAStartQueuedLeavesBeforeTheLoopFirstWaits) {
  const fleet::FleetDescription description = fleet::generateFleet(50, 111, 30, 50);
  std::ofstream(directory_ / "fleet.IPs", std::ios::binary) << fleet::listFileText(description);
  std::unique_ptr<FileSystem> files = openPosixFileSystem(directory_.c_str());
  std::unique_ptr<PosixUdpSocket> socket = PosixUdpSocket::open();
  ASSERT_NE(socket, nullptr);
  MemoryDialog dialog;
  MemoryListView list;
  PosixClock clock;
  CountingSocket counting(*socket);
  Context context(*files, dialog, list, clock, counting);
  dialog.serverField = "127.0.0.1";
  ASSERT_TRUE(chooseListNamed(context, dialog, "fleet.IPs"));
  ASSERT_TRUE(pressStart(context, StartMode::FRESH));
  EXPECT_EQ(counting.sent, 0u) << "a start only queues";

  const volatile sig_atomic_t stopAtOnce = 1;
  EXPECT_FALSE(runUntilDone(context, socket->fd(), SURVEY_LIMIT_MS, &stopAtOnce));
  EXPECT_EQ(counting.sent, description.units.size())
      << "every unit's first request (an identify, or the server's locate query)";
  abortSurvey(context);
}

}  // namespace
}  // namespace vyr::testing
