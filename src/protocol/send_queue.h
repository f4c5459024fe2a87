#pragma once
// The single first-in, first-out queue of every outgoing datagram. It owns a copy of each datagram
// it holds, in one piece of memory per node, refuses a datagram identical to one still waiting, and
// outlives surveys: only an abort empties it unsent.

#include <cstdint>

#include "platform/socket_address.h"

namespace vyr {

struct ProtocolContext;

constexpr int32_t NO_LINK = -1;  // a datagram that stamps no record (the server acknowledgement)

struct QueuedDatagram {
  // The pointers and the sequence come first and the 4-byte fields last, so that the node has no
  // padding: a survey of many units holds one node per unit at its peak.
  QueuedDatagram* next;

  // The duplicate index: nodes whose contents hash to the same bucket are chained here.
  QueuedDatagram* nextInBucket;

  // Counts every datagram queued, from 1, and every one put back at the tail: the order of the
  // queue.
  uint64_t sequence;

  SocketAddress destination;
  uint32_t length;
  // The record whose lastSent is stamped when the datagram is queued and at every flush, by its
  // index in the table of survey `linkSurvey`; NO_LINK for none. A datagram of an earlier survey
  // stamps nothing.
  int32_t linkIndex;
  uint32_t linkSurvey;
  uint32_t hash;

  // The datagram's bytes live right after the node, in the same allocation.
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};

static_assert(sizeof(QueuedDatagram) == 56);

// Nodes are carved one after another from blocks (see send_queue.cpp); this heads each block.
struct NodeBlock {
  NodeBlock* newer;  // the block carved from next, or null for the newest
  uint32_t used;     // bytes carved, this header's included
  uint32_t live;     // nodes carved from it and still queued
};

struct SendQueue {
  SendQueue() = default;
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;
  ~SendQueue();

  QueuedDatagram* head = nullptr;
  QueuedDatagram* tail = nullptr;  // so that appending does not walk the queue
  uint8_t flushDepth = 0;          // re-entrancy guard of the flush

  // Hash buckets over the waiting datagrams, so that the duplicate test does not walk the queue
  // either. Their number is a power of two, grown as the queue grows.
  QueuedDatagram** buckets = nullptr;
  uint32_t bucketCount = 0;
  uint32_t nodeCount = 0;

  // Every flush stamps the records of all waiting datagrams with its tick. The datagrams it sends
  // are stamped as they go; for those it leaves waiting the stamp is kept here and written into
  // their records only when a record's time is read (settleSendTimes), since a paced flush can
  // leave most of a large queue waiting many times a second.
  uint32_t flushCount = 0;  // flushes that found datagrams waiting
  bool stampPending = false;
  uint32_t pendingTick = 0;                  // the tick of the last flush
  QueuedDatagram* pendingThrough = nullptr;  // the last datagram waiting when it began
  uint64_t nextSequence = 1;
  NodeBlock* oldestBlock = nullptr;  // the blocks, oldest first
  NodeBlock* newestBlock = nullptr;  // the one nodes are carved from
  uint32_t blockCount = 0;
};

// Queues copies of `destination` and the `length` bytes unless an identical datagram (same length,
// same sixteen address bytes, same bytes) is waiting; a new entry stamps the lastSent of record
// `linkIndex` of the running survey, if any, with the current tick. When the memory for the node
// cannot be had, nothing changes.
void enqueueDatagram(ProtocolContext& context, const SocketAddress& destination,
                     const uint8_t* bytes, uint32_t length, int32_t linkIndex);

// Sizes the duplicate index for `datagrams` more at once, so that a start that asks a whole fleet
// does not regrow it on the way. Without the memory it stays as it is.
void reserveQueue(ProtocolContext& context, uint32_t datagrams);

// Stamps every waiting datagram's record with one tick, then sends from the head until the socket
// has no room. A datagram the system will never send is dropped so the rest can go; one it cannot
// send now (NOT_NOW) moves to the tail under a new sequence, for the next flush. Each flush tries
// only the datagrams waiting when it began, each once. A call made
// while a flush is under way returns at once.
void flushQueue(ProtocolContext& context);

// Removes and releases every queued datagram unsent; stamps nothing new.
void clearQueue(ProtocolContext& context);

// Record `index`'s lastSent as if every flush had stamped all waiting datagrams at once: what the
// record holds, or the last flush's tick when one of its datagrams waits since then.
uint32_t effectiveLastSent(const ProtocolContext& context, int32_t index);

// Writes the stamps of past flushes into the records of the datagrams still waiting, so that every
// lastSent reads as effectiveLastSent. Called before the table is written out (the driver and the
// receiver do so before every save) and before the queue is cleared.
void settleSendTimes(ProtocolContext& context);

// Sets record `index`'s lastSent to `tick` other than by a flush, so that no earlier flush's stamp
// overwrites it.
void setLastSent(ProtocolContext& context, int32_t index, uint32_t tick);

}  // namespace vyr
