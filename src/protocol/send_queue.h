#pragma once
// The single first-in, first-out queue of every outgoing datagram. It owns a copy of each datagram
// it holds, in one allocation per node, and outlives surveys: only an abort empties it unsent.

#include <cstdint>

#include "survey/device_record.h"

namespace vyr {

struct QueuedDatagram {
  QueuedDatagram* next;
  SocketAddress destination;
  uint32_t length;
  U32LE* lastSentLink;  // the unit's lastSent, stamped when queued and at every flush; or null

  // The datagram's bytes live right after the node, in the same allocation.
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(this + 1); }
  const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};

struct SendQueue {
  SendQueue() = default;
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;
  ~SendQueue();

  QueuedDatagram* head = nullptr;
  uint8_t flushDepth = 0;  // re-entrancy guard of the flush
};

// Allocates a node holding copies of `destination` and the `length` bytes, with no successor; or
// returns null when the memory cannot be had. Release it with releaseQueuedDatagram.
QueuedDatagram* makeQueuedDatagram(const SocketAddress& destination, const uint8_t* bytes,
                                   uint32_t length, U32LE* lastSentLink);
void releaseQueuedDatagram(QueuedDatagram* node);

// Removes and releases every queued datagram unsent; stamps nothing.
void clearQueue(SendQueue& queue);

}  // namespace vyr
