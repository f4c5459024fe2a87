#include "protocol/send_queue.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/hash.h"
#include "protocol/protocol_context.h"

namespace vyr {

static_assert(alignof(QueuedDatagram) <= alignof(std::max_align_t));

namespace {

constexpr uint32_t FIRST_BUCKET_COUNT = 64;
// Datagrams per bucket before the buckets double. Each datagram of a bucket's chain the duplicate
// test looks at is a cache miss at a million units: one a bucket, 8 MB of buckets for a million.
constexpr uint32_t BUCKET_LOAD = 1;
constexpr uint32_t SEND_BATCH = 64;  // datagrams handed to the socket at a time

// Over everything the duplicate test compares.
uint32_t contentHash(const SocketAddress& destination, const uint8_t* bytes, uint32_t length) {
  return hashBytes(bytes, length, hashBytes(&destination, sizeof destination, length));
}

bool sameContents(const QueuedDatagram& node, const SocketAddress& destination,
                  const uint8_t* bytes, uint32_t length) {
  return node.length == length && sameSocketAddress(node.destination, destination) &&
         (length == 0 || std::memcmp(node.bytes(), bytes, length) == 0);
}

// cppcheck-suppress constParameter ; the slot it hands out is the queue's, to be changed
QueuedDatagram*& bucketOf(SendQueue& queue, uint32_t hash) {
  return queue.buckets[hash & (queue.bucketCount - 1)];
}

// Moves the waiting datagrams into `count` buckets, a power of two. Without the memory the old
// buckets stay: chains get longer, the answers stay the same.
void growBuckets(SendQueue& queue, uint32_t count) {
  auto** buckets = new (std::nothrow) QueuedDatagram*[count]();
  if (buckets == nullptr) return;
  for (uint32_t i = 0; i < queue.bucketCount; ++i) {
    QueuedDatagram* node = queue.buckets[i];
    while (node != nullptr) {
      QueuedDatagram* following = node->nextInBucket;
      QueuedDatagram*& bucket = buckets[node->hash & (count - 1)];
      node->nextInBucket = bucket;
      bucket = node;
      node = following;
    }
  }
  delete[] queue.buckets;
  queue.buckets = buckets;
  queue.bucketCount = count;
}

// A start queues a request for every unit at once, a million at the peak, and requests leave in
// about the order they came. So nodes are carved one after another from blocks of NODE_BLOCK
// bytes, each block going back once its last node has left: a node then costs its own bytes
// rounded to 8, where malloc would add a header and round to 16, and no call of malloc or free.
// Larger datagrams (none of the tool's own requests) have an allocation of their own.
constexpr size_t NODE_BLOCK = size_t{256} * 1024;
constexpr size_t LARGEST_CARVED = 512;

size_t nodeSize(uint32_t length) {
  constexpr size_t ALIGN = alignof(QueuedDatagram);
  return (sizeof(QueuedDatagram) + size_t{length} + ALIGN - 1) / ALIGN * ALIGN;
}

bool blockHolds(const NodeBlock* block, const void* node) {
  const auto from = reinterpret_cast<uintptr_t>(block);
  const auto at = reinterpret_cast<uintptr_t>(node);
  return at >= from && at < from + block->used;
}

void releaseBlock(NodeBlock* block) {
  block->~NodeBlock();
  std::free(block);  // NOLINT(cppcoreguidelines-no-malloc): as allocated
}

void* carveNode(SendQueue& queue, size_t size) {
  NodeBlock* block = queue.newestBlock;
  if (block == nullptr || NODE_BLOCK - block->used < size) {
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc)
    void* memory = std::malloc(NODE_BLOCK);
    if (memory == nullptr) return nullptr;
    block = new (memory) NodeBlock{nullptr, sizeof(NodeBlock), 0};
    // An emptied newest block is carved from afresh (releaseCarved), so the one here is full.
    if (queue.newestBlock == nullptr) {
      queue.oldestBlock = block;
    } else {
      queue.newestBlock->newer = block;
    }
    queue.newestBlock = block;
    ++queue.blockCount;
  }
  void* node = reinterpret_cast<char*>(block) + block->used;
  block->used += static_cast<uint32_t>(size);
  ++block->live;
  return node;
}

// Gives a node's memory back to its block. Nodes leave from the head, and one put back at the
// tail moves to the newest block (recarve): the head's block is the oldest one or, when a move
// found no memory, close behind it.
void releaseCarved(SendQueue& queue, QueuedDatagram* node) {
  NodeBlock** link = &queue.oldestBlock;
  while (!blockHolds(*link, node)) link = &(*link)->newer;
  NodeBlock* block = *link;
  if (--block->live > 0) return;
  if (block == queue.newestBlock) {
    block->used = sizeof(NodeBlock);  // carved from afresh
    return;
  }
  *link = block->newer;
  releaseBlock(block);
  --queue.blockCount;
}

QueuedDatagram* makeQueuedDatagram(SendQueue& queue, const SocketAddress& destination,
                                   const uint8_t* bytes, uint32_t length, int32_t linkIndex,
                                   uint32_t linkSurvey, uint32_t hash) {
  const size_t size = nodeSize(length);
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc)
  void* memory = size <= LARGEST_CARVED ? carveNode(queue, size) : std::malloc(size);
  if (memory == nullptr) return nullptr;
  // cppcheck-suppress unreadVariable ; it is read below, which cppcheck misses after new (p) T{}
  auto* node = new (memory)
      QueuedDatagram{nullptr, nullptr, 0, destination, length, linkIndex, linkSurvey, hash};
  if (length > 0) std::memcpy(node->bytes(), bytes, length);
  return node;
}

void releaseQueuedDatagram(SendQueue& queue, QueuedDatagram* node) {
  const bool carved = nodeSize(node->length) <= LARGEST_CARVED;
  node->~QueuedDatagram();
  if (carved) {
    releaseCarved(queue, node);
  } else {
    std::free(node);  // NOLINT(cppcoreguidelines-no-malloc): as allocated
  }
}

// Moves the tail `node` (after `before`, or the only node) into the newest block: blocks then empty
// in the order they were carved, and none is kept for a datagram that waits on behind the others
// (a host out of reach keeps its datagrams for many flushes). Without the memory it stays put.
QueuedDatagram* recarve(SendQueue& queue, QueuedDatagram* node, QueuedDatagram* before) {
  const size_t size = nodeSize(node->length);
  if (size > LARGEST_CARVED) return node;
  void* memory = carveNode(queue, size);
  if (memory == nullptr) return node;
  auto* moved = new (memory) QueuedDatagram(*node);
  if (node->length > 0) std::memcpy(moved->bytes(), node->bytes(), node->length);
  QueuedDatagram** link = &bucketOf(queue, node->hash);
  while (*link != node) link = &(*link)->nextInBucket;
  *link = moved;
  if (before == nullptr) {
    queue.head = moved;
  } else {
    before->next = moved;
  }
  queue.tail = moved;
  if (queue.pendingThrough == node) queue.pendingThrough = moved;
  node->~QueuedDatagram();
  releaseCarved(queue, node);
  return moved;
}

// Takes the head off the queue and its bucket, and releases it.
void dropHead(SendQueue& queue) {
  QueuedDatagram* old = queue.head;
  queue.head = old->next;
  if (queue.head == nullptr) queue.tail = nullptr;
  QueuedDatagram** link = &bucketOf(queue, old->hash);
  while (*link != old) link = &(*link)->nextInBucket;
  *link = old->nextInBucket;
  --queue.nodeCount;
  releaseQueuedDatagram(queue, old);
}

// Puts the head back at the tail under a new number, so that the queue stays in the order of its
// numbers and a flush that stops at the numbers it began with does not try it again.
void moveHeadToTail(SendQueue& queue) {
  QueuedDatagram* node = queue.head;
  QueuedDatagram* before = nullptr;  // the node whose `next` it is once at the tail
  if (node != queue.tail) {
    queue.head = node->next;
    node->next = nullptr;
    before = queue.tail;
    queue.tail->next = node;
    queue.tail = node;
  }
  node = recarve(queue, node, before);
  node->sequence = queue.nextSequence++;
}

// The lastSent a datagram stamps: its record's, while the survey it was queued in still runs.
U32LE* linkedLastSent(SurveyState& survey, const QueuedDatagram& node) {
  if (node.linkIndex == NO_LINK || node.linkSurvey != survey.surveyNumber || !survey.deviceTable ||
      node.linkIndex >= survey.deviceCount) {
    return nullptr;
  }
  return &survey.deviceTable[node.linkIndex].lastSent;
}

// Stamps the head's unit as asked at `now` and takes the head off as the socket's `result` says.
// Sent or refused, a datagram leaves the queue: one the system will never send would hold up every
// other unit. One that cannot go now (its network unreachable) is kept, behind the others.
void settleHead(ProtocolContext& context, SendResult result, uint32_t now) {
  SendQueue& queue = context.sendQueue;
  U32LE* lastSent = linkedLastSent(context.survey, *queue.head);
  if (lastSent != nullptr) *lastSent = now;
  if (queue.head == queue.pendingThrough) queue.stampPending = false;
  if (result != SendResult::NOT_NOW) {
    dropHead(queue);
    return;
  }
  moveHeadToTail(queue);
  if (lastSent != nullptr)
    context.records.state[queue.tail->linkIndex].newestQueued = queue.tail->sequence;
}

}  // namespace

void enqueueDatagram(ProtocolContext& context, const SocketAddress& destination,
                     const uint8_t* bytes, uint32_t length, int32_t linkIndex) {
  SendQueue& queue = context.sendQueue;
  if (queue.nodeCount >= uint64_t{queue.bucketCount} * BUCKET_LOAD) {
    growBuckets(queue, queue.bucketCount == 0 ? FIRST_BUCKET_COUNT : queue.bucketCount * 2);
  }
  if (queue.bucketCount == 0) return;  // not even the first buckets could be had

  const uint32_t hash = contentHash(destination, bytes, length);
  QueuedDatagram*& bucket = bucketOf(queue, hash);
  for (const QueuedDatagram* node = bucket; node != nullptr; node = node->nextInBucket) {
    if (node->hash == hash && sameContents(*node, destination, bytes, length)) return;
  }

  SurveyState& survey = context.survey;
  QueuedDatagram* node =
      makeQueuedDatagram(queue, destination, bytes, length, linkIndex, survey.surveyNumber, hash);
  if (node == nullptr) return;
  node->nextInBucket = bucket;
  bucket = node;
  if (queue.tail == nullptr) {
    queue.head = node;
  } else {
    queue.tail->next = node;
  }
  queue.tail = node;
  ++queue.nodeCount;
  node->sequence = queue.nextSequence++;

  if (linkedLastSent(survey, *node) != nullptr) {
    context.records.state[linkIndex].newestQueued = node->sequence;
    setLastSent(context, linkIndex, context.clock.tick());
  }
}

void reserveQueue(ProtocolContext& context, uint32_t datagrams) {
  SendQueue& queue = context.sendQueue;
  uint32_t count = queue.bucketCount == 0 ? FIRST_BUCKET_COUNT : queue.bucketCount;
  const uint64_t wanted = (uint64_t{queue.nodeCount} + datagrams) / BUCKET_LOAD;
  while (count < wanted && count < (1u << 31)) count *= 2;
  if (count > queue.bucketCount) growBuckets(queue, count);
}

void flushQueue(ProtocolContext& context) {
  SendQueue& queue = context.sendQueue;
  if (queue.flushDepth++ == 0 && queue.head != nullptr) {
    // Every waiting unit counts as asked now, also those stuck behind a send that fails: the
    // units of the datagrams that go are stamped as they go, the others when their time is read.
    const uint32_t now = context.clock.tick();
    ++queue.flushCount;
    queue.stampPending = true;
    queue.pendingTick = now;
    queue.pendingThrough = queue.tail;
    // Only what waits now is tried: a datagram put back at the tail waits for the next flush.
    const uint64_t lastTried = queue.tail->sequence;
    // The datagrams at the head go to the socket a batch at a time, still in queue order: the
    // system can take many in one call.
    OutgoingDatagram batch[SEND_BATCH];
    SendResult results[SEND_BATCH];
    bool roomLeft = true;
    while (roomLeft && queue.head != nullptr && queue.head->sequence <= lastTried) {
      uint32_t count = 0;
      for (const QueuedDatagram* node = queue.head;
           node != nullptr && node->sequence <= lastTried && count < SEND_BATCH;
           node = node->next) {
        batch[count++] = OutgoingDatagram{&node->destination, node->bytes(), node->length};
      }
      const uint32_t done = context.socket.sendBatch(batch, count, results);
      roomLeft = done == count;
      for (uint32_t i = 0; i < done; ++i) settleHead(context, results[i], now);
    }
  }
  --queue.flushDepth;
}

uint32_t effectiveLastSent(const ProtocolContext& context, int32_t index) {
  const SendQueue& queue = context.sendQueue;
  const SurveyState& survey = context.survey;
  const uint32_t stored = survey.deviceTable[index].lastSent;
  // Written since the last flush began, or no flush stamp left to apply.
  if (!queue.stampPending || context.records.state[index].lastSentFlush >= queue.flushCount) {
    return stored;
  }
  // Datagrams leave from the head only, and the queue runs in the order of their numbers (one kept
  // for later goes back at the tail under a new one): the newest one queued for the record before
  // that flush still waits exactly when the head has not passed it.
  const uint64_t newest = context.records.state[index].newestQueued;
  if (newest == 0 || queue.head == nullptr || newest < queue.head->sequence) return stored;
  return queue.pendingTick;
}

void settleSendTimes(ProtocolContext& context) {
  SendQueue& queue = context.sendQueue;
  if (!queue.stampPending) return;
  queue.stampPending = false;
  SurveyState& survey = context.survey;
  for (const QueuedDatagram* node = queue.head; node != nullptr; node = node->next) {
    U32LE* lastSent = linkedLastSent(survey, *node);
    // A time written since that flush began is later than its stamp and stays.
    if (lastSent != nullptr &&
        context.records.state[node->linkIndex].lastSentFlush < queue.flushCount) {
      *lastSent = queue.pendingTick;
    }
    if (node == queue.pendingThrough) break;
  }
}

void setLastSent(ProtocolContext& context, int32_t index, uint32_t tick) {
  context.survey.deviceTable[index].lastSent = tick;
  context.records.state[index].lastSentFlush = context.sendQueue.flushCount;
}

void clearQueue(ProtocolContext& context) {
  // The stamps of the flushes so far stand, whatever becomes of the datagrams.
  settleSendTimes(context);
  SendQueue& queue = context.sendQueue;
  while (queue.head != nullptr) dropHead(queue);
}

SendQueue::~SendQueue() {
  while (head != nullptr) dropHead(*this);
  if (newestBlock != nullptr) releaseBlock(newestBlock);  // the only one left, emptied
  delete[] buckets;
}

}  // namespace vyr
