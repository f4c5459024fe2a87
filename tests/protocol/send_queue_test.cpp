// Catches a queue that sends twice, out of order or not at all, stamps the wrong units or at the
// wrong time, stalls behind a datagram the system refuses, or stamps a record of a later survey;
// and one that loses a datagram that cannot go now, holds the rest back behind it or retries it
// within one flush.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "protocol/messages.h"
#include "support/protocol_fixture.h"

namespace vyr::testing {
namespace {

struct SendQueueTest : ProtocolFixture {
  // A running survey of four units whose records the datagrams stamp; nothing is queued yet.
  SendQueueTest() {
    chooseList("a.IPs", "10.0.0.1\n10.0.0.2\n10.0.0.3\n10.0.0.4\n");
    startProtocolSurvey(context, StartMode::FRESH);
  }

  void queue(const SocketAddress& to, const Bytes& bytes, int32_t link = NO_LINK) {
    enqueueDatagram(context, to, bytes.data(), static_cast<uint32_t>(bytes.size()), link);
  }
  uint32_t stamp(int32_t index) {
    settleSendTimes(context);
    return record(index).lastSent;
  }
  std::vector<Bytes> sentBytes() {
    std::vector<Bytes> out;
    for (const MemoryNetwork::Datagram& d : takeSent()) out.push_back(d.bytes);
    return out;
  }
  uint64_t queued() const { return waitingDatagrams(context.sendQueue); }
};

TEST_F(SendQueueTest, RefusesOnlyExactDuplicatesAndStampsOnlyNewEntries) {
  const SocketAddress unit = address(10, 0, 0, 1, DEVICE_PORT);
  clock.set(100);
  queue(unit, {1, 2}, 0);
  clock.set(200);
  queue(unit, {1, 2}, 1);
  EXPECT_EQ(queued(), 1u);
  EXPECT_EQ(stamp(0), 100u);
  EXPECT_EQ(stamp(1), 0u) << "a refused duplicate stamps nothing";

  struct Variant {
    const char* what;
    SocketAddress to;
    Bytes bytes;
  };
  SocketAddress trailing = unit;
  trailing.zero[7] = 1;
  const Variant variants[] = {
      {"another port", address(10, 0, 0, 1, DEVICE_PORT + 1), {1, 2}},
      {"another address", address(10, 0, 0, 2, DEVICE_PORT), {1, 2}},
      {"a trailing address byte", trailing, {1, 2}},
      {"other bytes", unit, {1, 3}},
      {"a longer datagram", unit, {1, 2, 0}},
      {"an empty datagram", unit, {}},
  };
  for (const Variant& v : variants) {
    const uint64_t before = queued();
    queue(v.to, v.bytes);
    EXPECT_EQ(queued(), before + 1) << v.what;
  }
}

TEST_F(SendQueueTest, FlushStampsEveryWaitingUnitOnceThenSendsInOrder) {
  const SocketAddress unit = address(10, 0, 0, 1, DEVICE_PORT);
  const uint64_t reads = clock.reads;
  flushQueue(context);
  EXPECT_EQ(clock.reads, reads) << "an empty queue reads no tick";

  queue(unit, {1}, 0);
  queue(unit, {2});
  queue(unit, {3}, 1);
  clock.set(700);
  network.sendRoom = 1;
  flushQueue(context);
  EXPECT_EQ(sentBytes(), (std::vector<Bytes>{{1}}));
  EXPECT_EQ(stamp(0), 700u);
  EXPECT_EQ(stamp(1), 700u) << "stamped before the send that failed";
  EXPECT_EQ(stamp(2) | stamp(3), 0u) << "a datagram without a link stamps nothing";
  EXPECT_EQ(queued(), 2u);
  EXPECT_TRUE(network.writeWanted);

  clock.set(900);
  flushQueue(context);
  EXPECT_EQ(sentBytes(), std::vector<Bytes>{}) << "still no room: nothing moves";
  EXPECT_EQ(stamp(1), 900u) << "a waiting unit keeps counting as asked";
  EXPECT_EQ(queued(), 2u);

  network.sendRoom = UINT64_MAX;
  flushQueue(context);
  EXPECT_EQ(sentBytes(), (std::vector<Bytes>{{2}, {3}})) << "the same head first, in order";
  EXPECT_EQ(queued(), 0u);
  queue(unit, {1}, 2);
  EXPECT_EQ(queued(), 1u) << "once sent, the same bytes may be queued again";
}

TEST_F(SendQueueTest, ClearingDropsEverythingUnsentAndStampsNothing) {
  const uint64_t reads = clock.reads;
  clearQueue(context);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(clock.reads, reads) << "clearing an empty queue reads no tick";

  clock.set(100);
  queue(address(10, 0, 0, 1, DEVICE_PORT), {1}, 0);
  queue(address(10, 0, 0, 2, DEVICE_PORT), {2});
  queue(address(10, 0, 0, 3, DEVICE_PORT), {3}, 1);
  clock.set(500);
  clearQueue(context);
  EXPECT_EQ(network.sentCount, 0u) << "a cleared datagram was sent";
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(stamp(0), 100u) << "clearing stamped a unit";
  EXPECT_EQ(stamp(1), 100u);
  flushQueue(context);
  EXPECT_EQ(network.sentCount, 0u) << "a cleared datagram went out later";
}

TEST_F(SendQueueTest, ADatagramTheSystemRefusesIsDroppedAndTheRestGoes) {
  network.refused.push_back(address(255, 255, 255, 255, DEVICE_PORT));
  queue(address(255, 255, 255, 255, DEVICE_PORT), {1}, 0);
  queue(address(0, 0, 0, 0, DEVICE_PORT), {2}, 1);
  queue(address(10, 0, 0, 3, DEVICE_PORT), {3}, 2);
  flushQueue(context);
  EXPECT_EQ(sentBytes(), (std::vector<Bytes>{{3}}));
  EXPECT_EQ(queued(), 0u);
}

// The flush hands the socket batches: a queue longer than one, with refused datagrams in it and a
// socket that fills anywhere, still sends what one send at a time would, in order.
TEST_F(SendQueueTest, ALongQueueLeavesInOrderWhereverTheSocketFills) {
  const SocketAddress nowhere = address(255, 255, 255, 255, DEVICE_PORT);
  network.refused.push_back(nowhere);
  constexpr int COUNT = 200;
  const auto bytesOf = [](int i) {
    return Bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
  };
  for (const uint64_t room : std::vector<uint64_t>{0, 1, 63, 64, 65, 130, 199, UINT64_MAX}) {
    SCOPED_TRACE(room);
    std::vector<Bytes> first;  // what goes before the socket fills
    uint64_t left = room;
    int handled = 0;
    for (int i = 0; i < COUNT; ++i) {
      queue(i % 7 == 3 ? nowhere : address(10, 0, 0, 1, DEVICE_PORT), bytesOf(i));
      if (handled != i || left == 0) continue;
      ++handled;
      if (i % 7 == 3) continue;
      first.push_back(bytesOf(i));
      if (left != UINT64_MAX) --left;
    }
    network.sendRoom = room;
    flushQueue(context);
    EXPECT_EQ(sentBytes(), first);
    EXPECT_EQ(queued(), static_cast<uint32_t>(COUNT - handled));

    std::vector<Bytes> rest;
    for (int i = handled; i < COUNT; ++i) {
      if (i % 7 != 3) rest.push_back(bytesOf(i));
    }
    network.sendRoom = UINT64_MAX;
    flushQueue(context);
    EXPECT_EQ(sentBytes(), rest);
    EXPECT_EQ(queued(), 0u);
  }
}

// A start's many requests, of every length, some kept behind for a while by an unreachable host:
// each goes whole and in order, and the memory they were carved from goes back as they leave.
TEST_F(SendQueueTest, ManyDatagramsOfEveryLengthGoWholeAndTheirMemoryGoesBack) {
  const SocketAddress cutOff = address(10, 0, 0, 9, DEVICE_PORT);
  network.unreachable.push_back(cutOff);
  constexpr int COUNT = 30000;
  const auto bytesOf = [](int i) {
    Bytes bytes(static_cast<size_t>(2 + i % 700), 0x5A);
    bytes[0] = static_cast<uint8_t>(i);
    bytes.back() = static_cast<uint8_t>(i >> 8);
    return bytes;
  };
  std::vector<Bytes> reachable;
  std::vector<Bytes> kept;
  for (int i = 0; i < COUNT; ++i) {
    const bool cut = i % 997 == 5;
    queue(cut ? cutOff : address(10, 0, 0, 1, static_cast<uint16_t>(1000 + i % 3)), bytesOf(i));
    (cut ? kept : reachable).push_back(bytesOf(i));
  }
  ASSERT_EQ(queued(), static_cast<uint32_t>(COUNT));
  EXPECT_GT(context.sendQueue.blockCount, 10u);
  for (const uint64_t room : {uint64_t{5000}, uint64_t{12345}, UINT64_MAX}) {
    network.sendRoom = room;
    flushQueue(context);
  }
  EXPECT_TRUE(sentBytes() == reachable) << "the reachable ones, whole and in order";
  EXPECT_EQ(queued(), kept.size());
  EXPECT_LE(context.sendQueue.blockCount, 2u) << "the kept datagrams moved on to the newest blocks";

  network.unreachable.clear();
  flushQueue(context);
  // Each flush put them back at the tail in the order it tried them, so their order turned.
  std::vector<Bytes> last = sentBytes();
  std::sort(last.begin(), last.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_TRUE(last == kept) << "the kept ones, whole";
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(context.sendQueue.blockCount, 1u) << "the newest block, kept to carve from";
}

TEST_F(SendQueueTest, ADatagramThatCannotGoNowWaitsBehindTheRestAndGoesLater) {
  const SocketAddress server = address(10, 0, 0, 9, SERVER_PORT);
  const SocketAddress cutOff = address(10, 0, 0, 9, DEVICE_PORT);  // the same host
  const Bytes acknowledgement(LOCATE_DATAGRAM_LENGTH, 0x42);
  network.unreachable.push_back(server);
  network.refused.push_back(address(255, 255, 255, 255, DEVICE_PORT));
  queue(server, acknowledgement);
  queue(address(10, 0, 0, 1, DEVICE_PORT), {1}, 0);
  queue(cutOff, {2}, 1);
  queue(address(10, 0, 0, 3, DEVICE_PORT), {3}, 2);
  queue(address(255, 255, 255, 255, DEVICE_PORT), {4}, 3);
  clock.set(700);
  flushQueue(context);
  EXPECT_EQ(sentBytes(), (std::vector<Bytes>{{1}, {3}})) << "the reachable units are not held back";
  EXPECT_EQ(network.unreachableTries, 2u) << "each kept datagram tried once";
  EXPECT_EQ(queued(), 2u) << "kept: the acknowledgement and {2}; dropped: the refused {4}";
  EXPECT_EQ(effectiveLastSent(context, 1), 700u) << "a kept datagram's unit counts as asked";
  queue(server, acknowledgement);
  EXPECT_EQ(queued(), 2u) << "a kept datagram still refuses its duplicate";
  queue(address(10, 0, 0, 1, DEVICE_PORT), {5}, 0);

  clock.set(900);
  flushQueue(context);
  EXPECT_EQ(sentBytes(), (std::vector<Bytes>{{5}}));
  EXPECT_EQ(network.unreachableTries, 4u);
  EXPECT_EQ(effectiveLastSent(context, 1), 900u);
  EXPECT_EQ(stamp(0), 900u);
  EXPECT_EQ(stamp(1), 900u);

  network.unreachable.clear();
  clock.set(1100);
  flushQueue(context);
  EXPECT_EQ(sentBytes(), (std::vector<Bytes>{acknowledgement, {2}})) << "in the order they waited";
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(stamp(1), 1100u);
  EXPECT_EQ(stamp(3), 700u) << "the refused datagram was dropped at the first flush";
}

// The IP server's acknowledgement is queued once, for no record, and awaits no answer: while the
// server is out of reach it waits, and the version query the same reply asked for goes meanwhile.
struct KeptAcknowledgementTest : ProtocolFixture {};

TEST_F(KeptAcknowledgementTest, TheServerIsAcknowledgedOnceItCanBeReached) {
  ProtocolFixture& world = *this;
  world.dialog.serverField = "127.0.0.1";
  world.chooseList("a.IPs", "A17/501\n10.0.0.2\n");
  startProtocolSurvey(world.context, StartMode::FRESH);
  world.clock.set(1000);
  const SocketAddress server = address(127, 0, 0, 1, SERVER_PORT);
  world.network.unreachable.push_back(server);
  Bytes reply(LOCATE_DATAGRAM_LENGTH, 0);
  reply[0] = 501 & 0xFF;
  reply[1] = 501 >> 8;
  std::memcpy(reply.data() + 4, "A17", 3);
  reply[13] = 10;
  reply[16] = 9;  // the unit is at 10.0.0.9
  world.network.deliver(server, reply.data(), LOCATE_DATAGRAM_LENGTH);
  receiveAll(world.context);
  flushQueue(world.context);
  std::vector<MemoryNetwork::Datagram> sent = world.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sameSocketAddress(sent[0].destination, address(10, 0, 0, 9, DEVICE_PORT)));
  EXPECT_TRUE(sent[0].awaitsAnswer);
  for (int flush = 0; flush < 3; ++flush) flushQueue(world.context);
  EXPECT_EQ(world.network.unreachableTries, 4u);
  EXPECT_EQ(world.network.sentCount, 1u);

  world.network.unreachable.clear();
  flushQueue(world.context);
  sent = world.takeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sameSocketAddress(sent[0].destination, server));
  EXPECT_EQ(sent[0].bytes, reply);
  EXPECT_FALSE(sent[0].awaitsAnswer) << "nobody answers it: it must not fill the window";
  EXPECT_EQ(world.context.sendQueue.nodeCount, 0u);
}

TEST_F(SendQueueTest, AFlushInsideAFlushDoesNothing) {
  queue(address(10, 0, 0, 1, DEVICE_PORT), {1});
  context.sendQueue.flushDepth = 1;  // as if a flush were under way
  flushQueue(context);
  EXPECT_EQ(queued(), 1u);
  EXPECT_EQ(context.sendQueue.flushDepth, 1);
  context.sendQueue.flushDepth = 0;
}

TEST_F(SendQueueTest, DatagramsOfAnEndedSurveyStampNoRecordOfTheNext) {
  chooseList("a.IPs", "10.0.0.1\n10.0.0.2\n");
  press(StartMode::FRESH);
  ASSERT_EQ(queued(), 2u);
  network.sendRoom = 0;
  closeSurvey(context);  // the table goes while both identify requests wait
  startProtocolSurvey(context, StartMode::FRESH);
  clock.set(500);
  flushQueue(context);
  EXPECT_EQ(stamp(0), 0u) << "a request of the closed survey stamped the new table";
  EXPECT_EQ(stamp(1), 0u);
  network.sendRoom = UINT64_MAX;
  flushQueue(context);
  EXPECT_EQ(sentBytes().size(), 2u) << "still sent after their survey";
}

// The queue as the simplest list would be: a walk for duplicates, and every waiting unit stamped at
// each flush.
struct PlainQueue {
  struct Waiting {
    SocketAddress to;
    Bytes bytes;
    int32_t link;
  };
  std::vector<Waiting> waiting;
  uint32_t times[4] = {};

  void queue(const SocketAddress& to, const Bytes& bytes, int32_t link, uint32_t now) {
    for (const Waiting& w : waiting) {
      if (sameSocketAddress(w.to, to) && w.bytes == bytes) return;
    }
    waiting.push_back({to, bytes, link});
    if (link != NO_LINK) times[link] = now;
  }
  void flush(size_t sent, uint32_t now) {
    for (const Waiting& w : waiting) {
      if (w.link != NO_LINK) times[w.link] = now;
    }
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<ptrdiff_t>(sent));
  }
};

// The queue and the plain one side by side, over random traffic.
struct PlainModelTest : SendQueueTest {
  // Queues one random datagram, to one of three hosts and linked to one of four records or none,
  // on both.
  void queueToBoth(PlainQueue& plain, std::mt19937& random, uint32_t now) {
    const SocketAddress to = address(10, 0, 0, static_cast<uint8_t>(random() % 3), DEVICE_PORT);
    const Bytes bytes(random() % 3, static_cast<uint8_t>(random() % 2));
    const int32_t link = random() % 5 == 4 ? NO_LINK : static_cast<int32_t>(random() % 4);
    plain.queue(to, bytes, link, now);
    queue(to, bytes, link);
    ASSERT_EQ(queued(), plain.waiting.size());
  }
};

// The queue against the plain one over random traffic: the hashed duplicate test, and the
// deferred stamps of the flushes as the poll pass reads them and as a save writes them.
TEST_F(PlainModelTest, DuplicatesAndStampsAgree) {
  std::mt19937 random(11);
  PlainQueue plain;
  for (int step = 0; step < 20000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    clock.advance(static_cast<uint32_t>(random() % 3));
    const uint32_t now = clock.tick();
    const auto choice = random() % 10;
    if (choice < 2) {
      network.sendRoom = random() % 4;
      flushQueue(context);
      plain.flush(sentBytes().size(), now);
      network.writeWanted = false;
    } else if (choice == 2) {  // the IP server's back-off
      const auto index = static_cast<int32_t>(random() % 4);
      setLastSent(context, index, now + LOCATE_BACKOFF);
      plain.times[index] = now + LOCATE_BACKOFF;
    } else if (choice == 3) {
      for (int32_t i = 0; i < 4; ++i) ASSERT_EQ(effectiveLastSent(context, i), plain.times[i]);
      // Deferred requests skip the buckets while no request waits in them.
      const auto requests =
          std::count_if(plain.waiting.begin(), plain.waiting.end(),
                        [](const PlainQueue::Waiting& w) { return w.link != NO_LINK; });
      ASSERT_EQ(context.sendQueue.requestNodes, static_cast<uint32_t>(requests));
    } else if (choice == 4) {
      for (int32_t i = 0; i < 4; ++i) ASSERT_EQ(stamp(i), plain.times[i]);
    } else {
      queueToBoth(plain, random, now);
      if (HasFatalFailure()) return;
    }
  }
}

// The queue with hosts that cannot be reached for a while, against a plain list that sends what it
// can in order, drops the refused, and moves each unreachable one behind the rest: what is sent
// and in which order, each kept datagram tried once a flush, the stamps and the duplicate test.
struct KeptDatagramsTest : PlainModelTest {
  // Every record's time, as the queue reads it (`effective`) or as settled, against the plain one.
  void checkTimes(const PlainQueue& plain, bool effective) {
    for (int32_t i = 0; i < 4; ++i) {
      ASSERT_EQ(effective ? effectiveLastSent(context, i) : stamp(i), plain.times[i]) << i;
    }
  }

  void toggleHost(bool* unreachable, uint8_t host) {
    unreachable[host] = !unreachable[host];
    network.unreachable.clear();
    for (uint8_t h = 1; h < 3; ++h) {
      if (unreachable[h]) network.unreachable.push_back(address(10, 0, 0, h, DEVICE_PORT));
    }
  }

  // One flush of the queue and of the plain list with `room` sends left (UINT64_MAX: no limit),
  // and what each sent.
  void flushBoth(PlainQueue& plain, const bool* unreachable, uint32_t now, uint64_t room) {
    network.sendRoom = room;
    const uint64_t triesBefore = network.unreachableTries;
    flushQueue(context);
    network.writeWanted = false;
    for (const PlainQueue::Waiting& w : plain.waiting) {
      if (w.link != NO_LINK) plain.times[w.link] = now;
    }
    std::vector<PlainQueue::Waiting> left;
    std::vector<PlainQueue::Waiting> kept;
    std::vector<std::pair<SocketAddress, Bytes>> expected;
    uint64_t tries = 0;
    for (const PlainQueue::Waiting& w : plain.waiting) {
      if (room == 0) {
        left.push_back(w);
      } else if (unreachable[w.to.ip[3]]) {
        ++tries;
        kept.push_back(w);
      } else if (w.to.ip[3] != 0) {
        expected.emplace_back(w.to, w.bytes);
        if (room != UINT64_MAX) --room;
      }
    }
    left.insert(left.end(), kept.begin(), kept.end());
    plain.waiting = left;
    std::vector<std::pair<SocketAddress, Bytes>> sent;
    for (const MemoryNetwork::Datagram& d : takeSent()) sent.emplace_back(d.destination, d.bytes);
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      ASSERT_TRUE(sameSocketAddress(sent[i].first, expected[i].first)) << i;
      ASSERT_EQ(sent[i].second, expected[i].second) << i;
    }
    ASSERT_EQ(network.unreachableTries - triesBefore, tries);
  }
};

TEST_F(KeptDatagramsTest, AgreeWithAPlainQueue) {
  std::mt19937 random(23);
  PlainQueue plain;
  bool unreachable[3] = {};
  network.refused.push_back(address(10, 0, 0, 0, DEVICE_PORT));
  for (int step = 0; step < 20000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    clock.advance(static_cast<uint32_t>(random() % 3));
    const uint32_t now = clock.tick();
    const auto choice = random() % 12;
    if (choice < 2) {
      flushBoth(plain, unreachable, now, random() % 3 == 0 ? UINT64_MAX : random() % 4);
      if (HasFatalFailure()) return;
    } else if (choice == 2) {  // a host's network goes away or comes back
      toggleHost(unreachable, static_cast<uint8_t>(1 + random() % 2));
    } else if (choice == 3) {
      const auto index = static_cast<int32_t>(random() % 4);
      setLastSent(context, index, now + LOCATE_BACKOFF);
      plain.times[index] = now + LOCATE_BACKOFF;
    } else if (choice == 4 || choice == 5) {
      checkTimes(plain, choice == 4);
      if (HasFatalFailure()) return;
    } else {
      queueToBoth(plain, random, now);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vyr::testing
