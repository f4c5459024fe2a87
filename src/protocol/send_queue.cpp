#include "protocol/send_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace vyr {

static_assert(alignof(QueuedDatagram) <= alignof(std::max_align_t));

QueuedDatagram* makeQueuedDatagram(const SocketAddress& destination, const uint8_t* bytes,
                                   uint32_t length, U32LE* lastSentLink) {
  void* memory = std::malloc(sizeof(QueuedDatagram) + length);
  if (memory == nullptr) return nullptr;
  auto* node = new (memory) QueuedDatagram{nullptr, destination, length, lastSentLink};
  if (length > 0) std::memcpy(node->bytes(), bytes, length);
  return node;
}

void releaseQueuedDatagram(QueuedDatagram* node) {
  if (node == nullptr) return;
  node->~QueuedDatagram();
  std::free(node);
}

void clearQueue(SendQueue& queue) {
  while (queue.head != nullptr) {
    QueuedDatagram* old = queue.head;
    queue.head = old->next;
    releaseQueuedDatagram(old);
  }
}

SendQueue::~SendQueue() { clearQueue(*this); }

}  // namespace vyr
