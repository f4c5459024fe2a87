#pragma once
// The single first-in, first-out queue of every outgoing datagram. It owns a copy of each datagram
// it holds, in one piece of memory per node, refuses a datagram identical to one still waiting, and
// outlives surveys: only an abort empties it unsent. A start's requests, one for every unit of the
// fleet, and the requests that follow answers wait as records in runs instead, each written out as
// it reaches the head (deferRequest).

#include <cstdint>

#include "platform/socket_address.h"
#include "protocol/requests.h"

namespace vyr {

struct ProtocolContext;

constexpr int32_t NO_LINK = -1;  // a datagram that stamps no record (the server acknowledgement)

struct QueuedDatagram {
  // The pointers and the sequence come first and the 4-byte fields last, so that the node has no
  // padding: a survey of many units holds one node per unit at its peak.
  QueuedDatagram* next;

  // The duplicate index: nodes whose contents hash to the same bucket are chained here. A run of
  // requests is in no bucket; this links it to the next run.
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

// The `length` of a node that is a run of deferred requests rather than a datagram (see
// deferRequest): a RequestRun right after the node lists the records of survey `linkSurvey` whose
// requests wait there, in queue order, each record's request kept in its RecordSendState. The
// first has number `sequence`, the others the numbers after it.
constexpr uint32_t REQUEST_RUN = UINT32_MAX;
struct RequestRun {
  uint16_t first;  // the records before it have left
  uint16_t count;
  uint16_t capacity;  // records it has room for, right after it (at most 1024)
  uint16_t unused;

  int32_t* records() { return reinterpret_cast<int32_t*>(this + 1); }
  const int32_t* records() const { return reinterpret_cast<const int32_t*>(this + 1); }
};

inline bool isRequestRun(const QueuedDatagram& node) { return node.length == REQUEST_RUN; }

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
  // Of those, the ones that stamp a record: the units' requests. The rest are the server's
  // acknowledgements, which echo a reply that places a unit and so never equal a request.
  uint32_t requestNodes = 0;

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

  QueuedDatagram* firstRun = nullptr;  // the runs of requests, in queue order
  QueuedDatagram* lastRun = nullptr;
  uint32_t deferredCount = 0;  // requests waiting in runs
  // A survey whose requests are queued as datagrams after all: its list names one address or one
  // serial and ID too often for the duplicate test to find a deferred request's twins quickly.
  uint32_t undeferredSurvey = 0;
};

// Datagrams waiting, a run's requests included.
inline uint64_t waitingDatagrams(const SendQueue& queue) {
  return uint64_t{queue.nodeCount} + queue.deferredCount;
}

// Queues copies of `destination` and the `length` bytes unless an identical datagram (same length,
// same sixteen address bytes, same bytes) is waiting; a new entry stamps the lastSent of record
// `linkIndex` of the running survey, if any, with the current tick. When the memory for the node
// cannot be had, nothing changes.
void enqueueDatagram(ProtocolContext& context, const SocketAddress& destination,
                     const uint8_t* bytes, uint32_t length, int32_t linkIndex);

// Queues `request` of record `index` of the running survey as enqueueDatagram would, with the
// same duplicate test, stamps and place in the queue, but as the record's number in a run: the
// datagram is written from the record as it is sent, and until then takes 4 bytes, not a node.
// Only while requestsDeferrable.
void deferRequest(ProtocolContext& context, int32_t index, Request request);

// Whether deferRequest may be called: the record indexes, which find a deferred request's twins,
// are built.
bool requestsDeferrable(const ProtocolContext& context);

// Record `index`'s deferred request as it would be written now, or none (`request` NONE).
struct PendingRequest {
  Request request;
  SocketAddress destination;
  uint8_t bytes[REQUEST_CAPACITY];
  uint32_t length;
};
PendingRequest pendingRequest(const ProtocolContext& context, int32_t index);

// After a reply has changed record `index`: when its deferred request would now be written other
// than as `before`, taken before the change, it is kept as it was, a datagram in its place.
void keepPendingRequest(ProtocolContext& context, int32_t index, const PendingRequest& before);

// Every deferred request becomes a datagram in its place: called before the table they are written
// from goes.
void keepDeferredRequests(ProtocolContext& context);

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
