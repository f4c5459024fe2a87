#include "protocol/send_queue.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/hash.h"
#include "protocol/messages.h"
#include "protocol/protocol_context.h"
#include "survey/record_index.h"

namespace vyr {

static_assert(alignof(QueuedDatagram) <= alignof(std::max_align_t));

namespace {

constexpr uint32_t FIRST_BUCKET_COUNT = 64;
// Datagrams per bucket before the buckets double. Each datagram of a bucket's chain the duplicate
// test looks at is a cache miss at a million units: one a bucket, 8 MB of buckets for a million.
constexpr uint32_t BUCKET_LOAD = 1;
constexpr uint32_t SEND_BATCH = 64;  // datagrams handed to the socket at a time
// Records with one key the test for a deferred duplicate looks at before it gives up deferring (a
// list that names one address many times).
constexpr int32_t TWIN_WALK = 64;
constexpr uint32_t FIRST_RUN = 2;  // records of a run that follows a datagram
constexpr uint32_t LONGEST_RUN = 1024;

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

// Whether a datagram with these contents waits as a node.
bool waitsInBuckets(SendQueue& queue, const SocketAddress& destination, const uint8_t* bytes,
                    uint32_t length, uint32_t hash) {
  if (queue.bucketCount == 0) return false;
  for (const QueuedDatagram* node = bucketOf(queue, hash); node != nullptr;
       node = node->nextInBucket) {
    if (node->hash == hash && sameContents(*node, destination, bytes, length)) return true;
  }
  return false;
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

size_t runBytes(uint32_t capacity) { return sizeof(RequestRun) + sizeof(int32_t) * capacity; }

size_t nodeSizeOf(const QueuedDatagram& node) {
  if (!isRequestRun(node)) return nodeSize(node.length);
  const auto* run = reinterpret_cast<const RequestRun*>(node.bytes());
  return nodeSize(static_cast<uint32_t>(runBytes(run->capacity)));
}

void releaseQueuedDatagram(SendQueue& queue, QueuedDatagram* node) {
  const bool carved = nodeSizeOf(*node) <= LARGEST_CARVED;
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

// Takes the head off the queue and its bucket (a run: off the runs), and releases it.
void dropHead(SendQueue& queue) {
  QueuedDatagram* old = queue.head;
  queue.head = old->next;
  if (queue.head == nullptr) queue.tail = nullptr;
  if (isRequestRun(*old)) {
    queue.firstRun = old->nextInBucket;  // runs leave in queue order too
    if (queue.firstRun == nullptr) queue.lastRun = nullptr;
    releaseQueuedDatagram(queue, old);
    return;
  }
  QueuedDatagram** link = &bucketOf(queue, old->hash);
  while (*link != old) link = &(*link)->nextInBucket;
  *link = old->nextInBucket;
  --queue.nodeCount;
  if (old->linkIndex != NO_LINK) --queue.requestNodes;
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

// Grows the buckets ahead of one more node. False when not even the first ones could be had.
bool roomInBuckets(SendQueue& queue) {
  if (queue.nodeCount >= uint64_t{queue.bucketCount} * BUCKET_LOAD) {
    growBuckets(queue, queue.bucketCount == 0 ? FIRST_BUCKET_COUNT : queue.bucketCount * 2);
  }
  return queue.bucketCount != 0;
}

// A node for the datagram, in its bucket but not yet in the queue; null without the memory.
QueuedDatagram* bucketedDatagram(SendQueue& queue, const SocketAddress& destination,
                                 const uint8_t* bytes, uint32_t length, int32_t linkIndex,
                                 uint32_t linkSurvey) {
  if (!roomInBuckets(queue)) return nullptr;
  const uint32_t hash = contentHash(destination, bytes, length);
  QueuedDatagram* node =
      makeQueuedDatagram(queue, destination, bytes, length, linkIndex, linkSurvey, hash);
  if (node == nullptr) return nullptr;
  QueuedDatagram*& bucket = bucketOf(queue, hash);
  node->nextInBucket = bucket;
  bucket = node;
  ++queue.nodeCount;
  if (linkIndex != NO_LINK) ++queue.requestNodes;
  return node;
}

void appendNode(SendQueue& queue, QueuedDatagram* node) {
  if (queue.tail == nullptr) {
    queue.head = node;
  } else {
    queue.tail->next = node;
  }
  queue.tail = node;
}

RequestRun& runOf(QueuedDatagram& node) { return *reinterpret_cast<RequestRun*>(node.bytes()); }
const RequestRun& runOf(const QueuedDatagram& node) {
  return *reinterpret_cast<const RequestRun*>(node.bytes());
}

uint32_t runLeft(const QueuedDatagram& node) { return runOf(node).count - runOf(node).first; }

uint64_t lastSequenceOf(const QueuedDatagram& node) {
  return isRequestRun(node) ? node.sequence + runLeft(node) - 1 : node.sequence;
}

// An empty run of survey `survey` with room for `capacity` records, whose first request will be
// numbered `sequence`, in no list yet.
QueuedDatagram* makeRun(SendQueue& queue, uint32_t survey, uint64_t sequence, uint32_t capacity) {
  const size_t size = nodeSize(static_cast<uint32_t>(runBytes(capacity)));
  // NOLINTNEXTLINE(cppcoreguidelines-no-malloc)
  void* memory = size <= LARGEST_CARVED ? carveNode(queue, size) : std::malloc(size);
  if (memory == nullptr) return nullptr;
  // cppcheck-suppress unreadVariable ; it is read below, which cppcheck misses after new (p) T{}
  auto* run =
      new (memory) QueuedDatagram{nullptr, nullptr, sequence, {}, REQUEST_RUN, NO_LINK, survey, 0};
  new (run->bytes()) RequestRun{0, 0, static_cast<uint16_t>(capacity), 0};
  return run;
}

// Puts `run` into the runs after `before` (at the front for null).
void linkRun(SendQueue& queue, QueuedDatagram* run, QueuedDatagram* before) {
  QueuedDatagram*& link = before == nullptr ? queue.firstRun : before->nextInBucket;
  run->nextInBucket = link;
  link = run;
  if (queue.lastRun == before) queue.lastRun = run;
}

// The record's deferred request as a datagram of `run` numbered `sequence`, bucketed, in no list
// yet, from `pending` or else from the record; the record no longer defers it. Null, the request
// dropped, without the memory.
QueuedDatagram* keptRequest(ProtocolContext& context, const QueuedDatagram& run, int32_t index,
                            uint64_t sequence, const PendingRequest* pending = nullptr) {
  RecordSendState& state = context.records.state[index];
  PendingRequest written{};
  if (pending == nullptr) {
    written = pendingRequest(context, index);
    pending = &written;
  }
  state.deferred = Request::NONE;
  --context.sendQueue.deferredCount;
  QueuedDatagram* node = bucketedDatagram(context.sendQueue, pending->destination, pending->bytes,
                                          pending->length, index, run.linkSurvey);
  if (node != nullptr) node->sequence = sequence;
  return node;
}

bool writesDatagram(const PendingRequest& pending, const SocketAddress& destination,
                    const uint8_t* bytes, uint32_t length) {
  return pending.length == length && sameSocketAddress(pending.destination, destination) &&
         std::memcmp(pending.bytes, bytes, length) == 0;
}

// Whether record `index` defers a request with exactly these contents.
bool defersDatagram(const ProtocolContext& context, int32_t index, const SocketAddress& destination,
                    const uint8_t* bytes, uint32_t length) {
  if (context.records.state[index].deferred == Request::NONE) return false;
  return writesDatagram(pendingRequest(context, index), destination, bytes, length);
}

// Deferring ends for the running survey: its runs become datagrams, and so do its later requests.
void stopDeferring(ProtocolContext& context) {
  keepDeferredRequests(context);
  context.sendQueue.undeferredSurvey = context.survey.surveyNumber;
}

enum class Twin { NONE, FOUND, TOO_FAR };

// Looks for a record deferring the datagram among those with one key, from `first` on, each the
// next by `next`; `walked` counts them over the walks of one test.
Twin twinAmong(ProtocolContext& context, int32_t first, int32_t (*next)(SurveyState&, int32_t),
               const SocketAddress& destination, const uint8_t* bytes, uint32_t length,
               int32_t& walked) {
  for (int32_t i = first; i >= 0; i = next(context.survey, i)) {
    if (defersDatagram(context, i, destination, bytes, length)) return Twin::FOUND;
    if (++walked > TWIN_WALK) return Twin::TOO_FAR;
  }
  return Twin::NONE;
}

// Whether a deferred request is the datagram. A deferred request is written from its record's
// fields, and kept as a datagram before a reply changes what they write (keepPendingRequest), so
// its twin is among the records with the destination's address, or for a query to the IP server
// those with its serial and ID. A longer walk than TWIN_WALK ends deferring; the answer is then no.
// A record `self` that defers nothing itself spares the walks it is alone in.
bool deferredTwinWaits(ProtocolContext& context, const SocketAddress& destination,
                       const uint8_t* bytes, uint32_t length, int32_t self = -1) {
  if (context.sendQueue.deferredCount == 0) return false;
  SurveyState& survey = context.survey;
  const DeviceRecord* record = self >= 0 ? &survey.deviceTable[self] : nullptr;
  int32_t walked = 0;
  Twin twin = Twin::NONE;
  // No request is deferred to a zero address (see deferRequest).
  if (!addressIsZero(destination) &&
      !(record != nullptr && std::memcmp(destination.ip, record->address.ip, 4) == 0 &&
        aloneByAddress(survey, self))) {
    twin = twinAmong(context, findRecordByAddress(survey, destination.ip), nextRecordByAddress,
                     destination, bytes, length, walked);
  }
  if (twin == Twin::NONE && length == LOCATE_DATAGRAM_LENGTH &&
      sameSocketAddress(destination, survey.serverAddress)) {
    const uint32_t serial = readU32(bytes + LOCATE_SERIAL_OFFSET);
    const auto* text = reinterpret_cast<const char*>(bytes + LOCATE_ID_OFFSET);
    size_t idLength = 0;
    while (idLength < LOCATE_ADDRESS_OFFSET - LOCATE_ID_OFFSET && text[idLength] != '\0') {
      ++idLength;
    }
    const std::string_view id(text, idLength);
    if (!(record != nullptr && record->serial == serial && fieldText(record->id) == id &&
          aloneBySerialAndId(survey, self))) {
      twin = twinAmong(context, findRecordBySerialAndId(survey, serial, id),
                       nextRecordBySerialAndId, destination, bytes, length, walked);
    }
  }
  if (twin == Twin::TOO_FAR) stopDeferring(context);
  return twin == Twin::FOUND;
}

// Settles the first request of the run at the head as settleHead does a datagram: sent or refused
// it leaves, and one that cannot go now is kept as a datagram behind the others.
void settleRunHead(ProtocolContext& context, SendResult result, uint32_t now,
                   const OutgoingDatagram& sent) {
  SendQueue& queue = context.sendQueue;
  QueuedDatagram& node = *queue.head;
  RequestRun& run = runOf(node);
  const int32_t index = run.records()[run.first++];
  ++node.sequence;
  context.survey.deviceTable[index].lastSent = now;
  RecordSendState& state = context.records.state[index];
  state.deferred = Request::NONE;
  --queue.deferredCount;
  const bool last = run.first == run.count;
  if (last && &node == queue.pendingThrough) queue.stampPending = false;
  if (result == SendResult::NOT_NOW) {
    QueuedDatagram* kept =
        bucketedDatagram(queue, *sent.destination, sent.bytes, sent.length, index, node.linkSurvey);
    if (kept != nullptr) {
      appendNode(queue, kept);
      kept->sequence = queue.nextSequence++;
      state.newestQueued = kept->sequence;
    }
  }
  if (last) dropHead(queue);
}

// Stamps the head's unit as asked at `now` and takes the head off as the socket's `result` says.
// Sent or refused, a datagram leaves the queue: one the system will never send would hold up every
// other unit. One that cannot go now (its network unreachable) is kept, behind the others.
void settleHead(ProtocolContext& context, SendResult result, uint32_t now,
                const OutgoingDatagram& sent) {
  SendQueue& queue = context.sendQueue;
  if (isRequestRun(*queue.head)) {
    settleRunHead(context, result, now, sent);
    return;
  }
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

// Runs emptied by kept requests hold nothing to send.
void dropEmptyRuns(SendQueue& queue) {
  while (queue.head != nullptr && isRequestRun(*queue.head) && runLeft(*queue.head) == 0) {
    if (queue.head == queue.pendingThrough) queue.stampPending = false;
    dropHead(queue);
  }
}

// Room for the requests of runs written out for one batch.
struct WrittenRequests {
  PendingRequest requests[SEND_BATCH];
};

// The datagrams at the head numbered up to `lastTried`, at most SEND_BATCH of them, in queue order.
uint32_t gatherBatch(const ProtocolContext& context, uint64_t lastTried, OutgoingDatagram* batch,
                     WrittenRequests& written) {
  uint32_t count = 0;
  for (const QueuedDatagram* node = context.sendQueue.head;
       node != nullptr && node->sequence <= lastTried && count < SEND_BATCH; node = node->next) {
    if (!isRequestRun(*node)) {
      // Only a unit's request is answered; the one datagram that stamps no record (the server's
      // acknowledgement) is not.
      batch[count++] = OutgoingDatagram{&node->destination, node->bytes(), node->length,
                                        node->linkIndex != NO_LINK};
      continue;
    }
    const RequestRun& run = runOf(*node);
    for (uint32_t p = run.first; p < run.count && count < SEND_BATCH; ++p) {
      const int32_t index = run.records()[p];
      PendingRequest& request = written.requests[count];
      request.length = writeRequest(context, index, context.records.state[index].deferred,
                                    request.destination, request.bytes);
      batch[count++] = OutgoingDatagram{&request.destination, request.bytes, request.length};
    }
  }
  return count;
}

// The run holding record `index`'s deferred request and its place in it, found by the request's
// number where the record's newest datagram is that request, and else by looking through them.
QueuedDatagram* runHolding(const ProtocolContext& context, int32_t index, uint32_t& place) {
  const SendQueue& queue = context.sendQueue;
  const uint64_t sequence = context.records.state[index].newestQueued;
  for (QueuedDatagram* node = queue.firstRun; node != nullptr; node = node->nextInBucket) {
    const RequestRun& run = runOf(*node);
    if (sequence >= node->sequence && sequence - node->sequence < runLeft(*node) &&
        run.records()[run.first + (sequence - node->sequence)] == index) {
      place = run.first + static_cast<uint32_t>(sequence - node->sequence);
      return node;
    }
  }
  for (QueuedDatagram* node = queue.firstRun; node != nullptr; node = node->nextInBucket) {
    const RequestRun& run = runOf(*node);
    for (uint32_t p = run.first; p < run.count; ++p) {
      if (run.records()[p] == index) {
        place = p;
        return node;
      }
    }
  }
  return nullptr;
}

}  // namespace

PendingRequest pendingRequest(const ProtocolContext& context, int32_t index) {
  PendingRequest pending{};
  pending.request = context.records.state ? context.records.state[index].deferred : Request::NONE;
  if (pending.request != Request::NONE) {
    pending.length =
        writeRequest(context, index, pending.request, pending.destination, pending.bytes);
  }
  return pending;
}

void enqueueDatagram(ProtocolContext& context, const SocketAddress& destination,
                     const uint8_t* bytes, uint32_t length, int32_t linkIndex) {
  SendQueue& queue = context.sendQueue;
  if (deferredTwinWaits(context, destination, bytes, length)) return;
  if (!roomInBuckets(queue)) return;
  const uint32_t hash = contentHash(destination, bytes, length);
  if (waitsInBuckets(queue, destination, bytes, length, hash)) return;

  QueuedDatagram* node =
      bucketedDatagram(queue, destination, bytes, length, linkIndex, context.survey.surveyNumber);
  if (node == nullptr) return;
  appendNode(queue, node);
  node->sequence = queue.nextSequence++;

  if (linkedLastSent(context.survey, *node) != nullptr) {
    context.records.state[linkIndex].newestQueued = node->sequence;
    setLastSent(context, linkIndex, context.clock.tick());
  }
}

bool requestsDeferrable(const ProtocolContext& context) {
  const SurveyState& survey = context.survey;
  return survey.byAddress.usable && survey.bySerialAndId.usable && context.records.state &&
         context.records.survey == survey.surveyNumber &&
         context.sendQueue.undeferredSurvey != survey.surveyNumber;
}

// A start queues a request for every unit, a million at the peak, and each answer queues the
// unit's next one behind all those: as nodes they would be a third of the survey's memory. A run
// holds each in 4 bytes, beside the 16 the protocol keeps per record anyway.
void deferRequest(ProtocolContext& context, int32_t index, Request request) {
  RecordSendState& state = context.records.state[index];
  PendingRequest pending{};
  pending.request = request;
  pending.length = writeRequest(context, index, request, pending.destination, pending.bytes);
  const auto enqueue = [&] {
    enqueueDatagram(context, pending.destination, pending.bytes, pending.length, index);
  };
  SendQueue& queue = context.sendQueue;
  // A datagram to no address has no key to find its twins by, and a record defers one at a time.
  if (addressIsZero(pending.destination) || state.deferred != Request::NONE) {
    enqueue();
    return;
  }
  if (deferredTwinWaits(context, pending.destination, pending.bytes, pending.length, index)) {
    return;
  }
  if (!requestsDeferrable(context)) {  // the test gave up deferring
    enqueue();
    return;
  }
  // Its twin can be a datagram only while a request waits as one: a start's requests and the
  // answers' mostly all wait in runs, and each look into the buckets would be a cache miss.
  if (queue.requestNodes != 0 &&
      waitsInBuckets(queue, pending.destination, pending.bytes, pending.length,
                     contentHash(pending.destination, pending.bytes, pending.length))) {
    return;
  }
  const uint32_t survey = context.survey.surveyNumber;
  QueuedDatagram* node = queue.tail;
  // A run takes more only while its numbers run on to the next one (a cut one may not).
  if (node == nullptr || !isRequestRun(*node) || node->linkSurvey != survey ||
      runOf(*node).count == runOf(*node).capacity ||
      node->sequence + runLeft(*node) != queue.nextSequence) {
    // Requests mostly come in long series (a start's, or the answers' while nothing else is
    // queued), but a datagram queued between two ends a run: runs grow as their series does.
    const bool series = node != nullptr && isRequestRun(*node) && node->linkSurvey == survey;
    uint32_t capacity = FIRST_RUN;
    if (series) capacity = std::min<uint32_t>(2u * runOf(*node).capacity, LONGEST_RUN);
    node = makeRun(queue, survey, queue.nextSequence, capacity);
    if (node == nullptr) return;
    appendNode(queue, node);
    linkRun(queue, node, queue.lastRun);
  }
  RequestRun& run = runOf(*node);
  run.records()[run.count++] = index;
  state.deferred = request;
  ++queue.deferredCount;
  state.newestQueued = queue.nextSequence++;
  setLastSent(context, index, context.clock.tick());
}

void keepPendingRequest(ProtocolContext& context, int32_t index, const PendingRequest& before) {
  if (before.request == Request::NONE) return;
  const PendingRequest now = pendingRequest(context, index);
  if (now.request == before.request &&
      writesDatagram(now, before.destination, before.bytes, before.length)) {
    return;
  }
  uint32_t place = 0;
  QueuedDatagram* node = runHolding(context, index, place);
  if (node == nullptr) return;
  SendQueue& queue = context.sendQueue;
  RequestRun& run = runOf(*node);
  const uint64_t sequence = node->sequence + (place - run.first);
  // The run is cut in two around the request, kept as it was written, under its own number.
  QueuedDatagram* rest = nullptr;
  if (place + 1 < run.count) {
    rest = makeRun(queue, node->linkSurvey, sequence + 1, run.count - place - 1u);
    if (rest == nullptr) return;  // left as it is: the request goes as the record now writes it
    RequestRun& after = runOf(*rest);
    after.count = static_cast<uint16_t>(run.count - place - 1);
    std::memcpy(after.records(), run.records() + place + 1, sizeof(int32_t) * after.count);
  }
  QueuedDatagram* kept = keptRequest(context, *node, index, sequence, &before);
  run.count = static_cast<uint16_t>(place);
  QueuedDatagram* last = node;
  QueuedDatagram* following = node->next;
  if (kept != nullptr) {
    last->next = kept;
    last = kept;
  }
  if (rest != nullptr) {
    last->next = rest;
    last = rest;
    linkRun(queue, rest, node);
  }
  last->next = following;
  if (queue.tail == node) queue.tail = last;
  if (queue.pendingThrough == node) queue.pendingThrough = last;
}

void keepDeferredRequests(ProtocolContext& context) {
  SendQueue& queue = context.sendQueue;
  if (queue.firstRun == nullptr) return;
  QueuedDatagram** link = &queue.head;
  QueuedDatagram* before = nullptr;  // the node `link` is in
  while (*link != nullptr) {
    QueuedDatagram* node = *link;
    if (!isRequestRun(*node)) {
      before = node;
      link = &node->next;
      continue;
    }
    QueuedDatagram* following = node->next;
    const RequestRun& run = runOf(*node);
    for (uint32_t p = run.first; p < run.count; ++p) {
      QueuedDatagram* kept =
          keptRequest(context, *node, run.records()[p], node->sequence + (p - run.first));
      if (kept == nullptr) continue;
      *link = kept;
      link = &kept->next;
      before = kept;
    }
    *link = following;
    if (queue.tail == node) queue.tail = before;
    if (queue.pendingThrough == node) {
      queue.pendingThrough = before;
      if (before == nullptr) queue.stampPending = false;
    }
    releaseQueuedDatagram(queue, node);
  }
  queue.firstRun = queue.lastRun = nullptr;
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
  if (queue.flushDepth++ == 0) dropEmptyRuns(queue);
  if (queue.flushDepth == 1 && queue.head != nullptr) {
    // Every waiting unit counts as asked now, also those stuck behind a send that fails: the
    // units of the datagrams that go are stamped as they go, the others when their time is read.
    const uint32_t now = context.clock.tick();
    ++queue.flushCount;
    queue.stampPending = true;
    queue.pendingTick = now;
    queue.pendingThrough = queue.tail;
    // Only what waits now is tried: a datagram put back at the tail waits for the next flush.
    const uint64_t lastTried = lastSequenceOf(*queue.tail);
    // The datagrams at the head go to the socket a batch at a time, still in queue order: the
    // system can take many in one call.
    OutgoingDatagram batch[SEND_BATCH];
    SendResult results[SEND_BATCH];
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): each one used is written first
    WrittenRequests written;
    bool roomLeft = true;
    while (roomLeft && queue.head != nullptr && queue.head->sequence <= lastTried) {
      const uint32_t count = gatherBatch(context, lastTried, batch, written);
      const uint32_t done = context.socket.sendBatch(batch, count, results);
      roomLeft = done == count;
      for (uint32_t i = 0; i < done; ++i) {
        dropEmptyRuns(queue);
        settleHead(context, results[i], now, batch[i]);
      }
      dropEmptyRuns(queue);
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
  // A time written since that flush began is later than its stamp and stays.
  const auto stamp = [&](int32_t index) {
    if (context.records.state[index].lastSentFlush < queue.flushCount) {
      survey.deviceTable[index].lastSent = queue.pendingTick;
    }
  };
  for (const QueuedDatagram* node = queue.head; node != nullptr; node = node->next) {
    if (isRequestRun(*node)) {
      const RequestRun& run = runOf(*node);
      for (uint32_t p = run.first; p < run.count; ++p) stamp(run.records()[p]);
    } else if (linkedLastSent(survey, *node) != nullptr) {
      stamp(node->linkIndex);
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
  for (const QueuedDatagram* node = queue.firstRun; node != nullptr && context.records.state;
       node = node->nextInBucket) {
    const RequestRun& run = runOf(*node);
    for (uint32_t p = run.first; p < run.count; ++p) {
      context.records.state[run.records()[p]].deferred = Request::NONE;
    }
  }
  queue.deferredCount = 0;
  while (queue.head != nullptr) dropHead(queue);
}

SendQueue::~SendQueue() {
  while (head != nullptr) dropHead(*this);
  if (newestBlock != nullptr) releaseBlock(newestBlock);  // the only one left, emptied
  delete[] buckets;
}

}  // namespace vyr
