// Catches pacing that loses or adds datagrams, lets a burst or a slow reader's backlog outrun the
// window or a burst the rate, or holds the queue back for good: a window that never opens again, a
// "flush now" said without end; or that spends the window or the rate on datagrams kept for later
// or on ones nobody answers.

#include "platform/paced_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "support/memory_fleet_world.h"
#include "support/protocol_fixture.h"

namespace vyr::testing {
namespace {

const SocketAddress kPeer = address(10, 0, 0, 1, DEVICE_PORT);

struct PacedSocketTest : ::testing::Test {
  FakeClock clock{1000};
  MemoryNetwork network{clock};
  const uint8_t byte[1] = {7};

  SendResult send(PacedSocket& paced) { return paced.sendTo(kPeer, byte, 1); }
  void answer(PacedSocket& paced, int count) {
    for (int i = 0; i < count; ++i) network.deliver(kPeer, byte, 1);
    uint8_t buffer[8];
    uint32_t length = 0;
    SocketAddress from{};
    while (paced.receiveFrom(buffer, sizeof buffer, length, from) == ReceiveResult::DATAGRAM) {
    }
  }
};

TEST_F(PacedSocketTest, TheWindowHoldsSendsUntilHalfIsAnsweredOrForgiven) {
  PacedSocket paced(network.toolSocket(), clock, SendPacing{4, 0});
  EXPECT_EQ(paced.msUntilFlush(), -1) << "nothing held back yet";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::RETRY_LATER);
  EXPECT_EQ(network.sentCount, 4u);
  // Unanswered, they are forgiven FORGIVE_MS after they went.
  EXPECT_EQ(paced.msUntilFlush(), static_cast<int32_t>(PacedSocket::FORGIVE_MS));
  answer(paced, 1);
  EXPECT_GT(paced.msUntilFlush(), 0) << "three of four still awaited";
  answer(paced, 1);
  EXPECT_EQ(paced.msUntilFlush(), 0) << "half answered: flush now";
  EXPECT_EQ(paced.msUntilFlush(), -1) << "now is said once";
  clock.advance(10);
  EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::RETRY_LATER);

  // No answer comes: the two left of the first four are forgiven first, then the later two.
  clock.advance(PacedSocket::FORGIVE_MS - 10 - 1);
  EXPECT_EQ(paced.msUntilFlush(), 1);
  clock.advance(1);
  EXPECT_EQ(paced.msUntilFlush(), 0);
  EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::RETRY_LATER);
  // An answer settles the oldest awaited: one of the two sent 40 ms ago, so that once the other
  // is forgiven two wait, not one.
  answer(paced, 1);
  clock.advance(10);
  EXPECT_EQ(paced.msUntilFlush(), 0);
  EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::SENT);
  EXPECT_EQ(send(paced), SendResult::RETRY_LATER);
  clock.advance(PacedSocket::FORGIVE_MS);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(send(paced), SendResult::SENT) << i;
}

// A reader that answers everything, only slowly (one process answering for a whole fleet), is
// never more than a window behind, however long the queue: forgiving what it has not answered yet
// would let the sender outrun it until its buffer overflows.
TEST_F(PacedSocketTest, ASlowReaderIsNeverMoreThanAWindowBehind) {
  const struct {
    uint32_t window;
    uint32_t msPerAnswer;  // a window's answers take less than FORGIVE_MS
  } cases[] = {{8, 2}, {16, 3}, {4, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.window << " " << c.msPerAnswer);
    network.sentCount = 0;
    PacedSocket paced(network.toolSocket(), clock, SendPacing{c.window, 0});
    uint64_t answered = 0;
    uint64_t behind = 0;
    for (uint32_t ms = 1; ms <= 3000; ++ms) {
      clock.advance(1);
      if (ms % c.msPerAnswer == 0 && network.sentCount > answered) {
        answer(paced, 1);
        ++answered;
      }
      while (send(paced) == SendResult::SENT) {
      }
      behind = std::max(behind, network.sentCount - answered);
    }
    EXPECT_EQ(behind, c.window);
    EXPECT_EQ(answered, 3000 / c.msPerAnswer) << "the reader was kept busy";
  }
}

TEST_F(PacedSocketTest, TheRateCapsEverySecondAndItsBursts) {
  struct Case {
    uint32_t rate;
    uint32_t burst;  // what may go at once: 20 ms worth, and one at least
  };
  for (const Case c : {Case{100, 3}, Case{1000, 21}, Case{10, 1}, Case{50000, 1001}}) {
    SCOPED_TRACE(c.rate);
    network.sentCount = 0;
    PacedSocket paced(network.toolSocket(), clock, SendPacing{0, c.rate});
    uint32_t burst = 0;
    while (send(paced) == SendResult::SENT) ++burst;
    EXPECT_EQ(burst, c.burst);
    // Ten seconds of a queue that is never empty, flushed whenever the socket says so.
    const uint32_t start = clock.tick();
    uint64_t sent = burst;
    while (clock.tick() - start < 10000) {
      const int32_t wait = paced.msUntilFlush();
      ASSERT_GE(wait, 0);
      clock.advance(static_cast<uint32_t>(wait));
      while (send(paced) == SendResult::SENT) ++sent;
    }
    EXPECT_LE(sent, 10ull * c.rate + c.burst);
    EXPECT_GE(sent, 10ull * c.rate - c.burst) << "the rate is not reached";
  }
}

TEST_F(PacedSocketTest, WhatTheSystemRefusesIsNotHeldBack) {
  PacedSocket paced(network.toolSocket(), clock, SendPacing{4, 0});
  network.sendRoom = 0;
  EXPECT_EQ(send(paced), SendResult::RETRY_LATER);
  EXPECT_TRUE(network.writeWanted) << "the system's own readiness wakes the queue";
  EXPECT_EQ(paced.msUntilFlush(), -1);
}

// A flush hands the socket a batch at a time: the window and the rate let exactly the datagrams
// through that one send at a time would, a refused one costing nothing, and hold back the same.
TEST_F(PacedSocketTest, ABatchGoesAsFarAsOneSendAtATimeWould) {
  const SocketAddress refused = address(10, 0, 0, 9, DEVICE_PORT);
  network.refused.push_back(refused);
  MemoryNetwork single{clock};
  single.refused.push_back(refused);
  for (const SendPacing pacing :
       {SendPacing{4, 0}, SendPacing{0, 200}, SendPacing{5, 1000}, SendPacing{0, 0}}) {
    SCOPED_TRACE(::testing::Message() << pacing.window << " " << pacing.ratePerSecond);
    PacedSocket batched(network.toolSocket(), clock, pacing);
    PacedSocket oneByOne(single.toolSocket(), clock, pacing);
    std::vector<OutgoingDatagram> datagrams;
    datagrams.reserve(12);
    for (int i = 0; i < 12; ++i) datagrams.push_back({i % 3 == 1 ? &refused : &kPeer, byte, 1});
    for (int round = 0; round < 4; ++round) {
      network.sentCount = single.sentCount = 0;
      std::vector<SendResult> results(datagrams.size());
      const uint32_t done = batched.sendBatch(
          datagrams.data(), static_cast<uint32_t>(datagrams.size()), results.data());
      uint32_t expected = 0;
      while (expected < datagrams.size() && oneByOne.sendTo(*datagrams[expected].destination, byte,
                                                            1) != SendResult::RETRY_LATER) {
        ++expected;
      }
      EXPECT_EQ(done, expected) << "round " << round;
      EXPECT_EQ(network.sentCount, single.sentCount);
      for (uint32_t i = 0; i < done; ++i) {
        EXPECT_EQ(results[i],
                  datagrams[i].destination == &refused ? SendResult::REFUSED : SendResult::SENT);
      }
      if (done < datagrams.size()) {
        EXPECT_EQ(results[done], SendResult::RETRY_LATER);
      }
      EXPECT_EQ(batched.msUntilFlush(), oneByOne.msUntilFlush());
      clock.advance(7);
    }
  }
}

// Every other datagram of ten is one the system cannot send now, or one that awaits no answer
// (an acknowledgement). Neither fills the window; the rate counts the second, as it counts every
// datagram that goes, but not the first.
TEST_F(PacedSocketTest, OnlyDatagramsSentThatAwaitAnAnswerFillTheWindow) {
  const SocketAddress cutOff = address(10, 0, 0, 9, DEVICE_PORT);
  network.unreachable.push_back(cutOff);
  const struct {
    bool unanswered = false;  // the others await no answer, rather than being unreachable
    SendPacing pacing{};
    uint32_t done = 0;
    uint64_t sent = 0;
  } cases[] = {{false, {4, 0}, 8, 4}, {false, {0, 200}, 10, 5}, {false, {2, 200}, 4, 2},
               {true, {4, 0}, 8, 8},   {true, {0, 200}, 5, 5},   {true, {4, 200}, 5, 5},
               {true, {1, 0}, 2, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.unanswered << " " << c.pacing.window << " "
                                      << c.pacing.ratePerSecond);
    network.sentCount = 0;
    PacedSocket paced(network.toolSocket(), clock, c.pacing);
    std::vector<OutgoingDatagram> datagrams;
    datagrams.reserve(10);
    for (int i = 0; i < 10; ++i) {
      const bool other = i % 2 == 0;
      datagrams.push_back({other && !c.unanswered ? &cutOff : &kPeer, byte, 1,
                           !(other && c.unanswered)});
    }
    std::vector<SendResult> results(datagrams.size());
    ASSERT_EQ(paced.sendBatch(datagrams.data(), 10, results.data()), c.done);
    EXPECT_EQ(network.sentCount, c.sent);
    for (uint32_t i = 0; i < c.done; ++i) {
      const bool notNow = i % 2 == 0 && !c.unanswered;
      EXPECT_EQ(results[i], notNow ? SendResult::NOT_NOW : SendResult::SENT) << i;
    }
    clock.advance(1000);
  }
}

// The same lossless fleet surveyed plainly and paced: the same datagrams go out, fewer at a time,
// and the same files come of them.
TEST(PacedSurveyTest, PacingChangesWhenDatagramsLeaveNeverWhich) {
  using Sent = std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>>;
  const fleet::FleetDescription description = fleet::generateFleet(300, 61, 30, 50);
  struct Run {
    Sent sent;
    std::string report, progress;
    int ticks = 0;
  };
  const auto survey = [&](SendPacing pacing) {
    fleet::MemoryFleetWorld world(description);
    world.network.keepSent = true;
    PacedSocket paced(world.network.toolSocket(), world.clock, pacing);
    Context context(world.files, world.dialog, world.list, world.clock, paced);
    world.files.setContents("fleet.IPs", fleet::listFileText(description));
    chooseListNamed(context, world.dialog, "fleet.IPs");
    pressStart(context, StartMode::FRESH);
    Run run;
    run.ticks = runSurveyPeriods(context, world.clock, world.network, 400);
    for (const MemoryNetwork::Datagram& d : world.network.sent) {
      const auto* to = reinterpret_cast<const uint8_t*>(&d.destination);
      run.sent.emplace_back(std::vector<uint8_t>(to, to + sizeof d.destination), d.bytes);
    }
    std::sort(run.sent.begin(), run.sent.end());
    run.report = *world.files.contents("fleet.model");
    run.progress = fleet::withoutSendTimes(*world.files.contents("fleet.soFar"));
    return run;
  };
  const Run plain = survey({});
  ASSERT_EQ(plain.ticks, 3);
  ASSERT_EQ(plain.report, fleet::expectedReport(description));
  for (const SendPacing pacing : {SendPacing{8, 0}, SendPacing{0, 2000}, SendPacing{16, 500}}) {
    SCOPED_TRACE(std::to_string(pacing.window) + " awaited, " +
                 std::to_string(pacing.ratePerSecond) + " a second");
    const Run paced = survey(pacing);
    EXPECT_GT(paced.ticks, 0) << "the paced survey did not end";
    EXPECT_TRUE(paced.sent == plain.sent)
        << paced.sent.size() << " datagrams, not " << plain.sent.size() << ", or others";
    EXPECT_EQ(paced.report, plain.report);
    EXPECT_EQ(paced.progress, plain.progress);
  }
}

}  // namespace
}  // namespace vyr::testing
