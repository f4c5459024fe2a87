#include "platform/memory/memory_network.h"

#include <cstring>

namespace vyr {

MemoryNetwork::MemoryNetwork(Clock& clock, uint64_t seed)
    : clock_(clock), random_(seed), lastTick_(clock.tick()) {
  const uint8_t ip[4] = {10, 0, 0, 1};
  setSocketAddress(toolAddress_, ip, 49152);
}

uint64_t MemoryNetwork::now() {
  const uint32_t tick = clock_.tick();
  elapsed_ += static_cast<uint32_t>(tick - lastTick_);
  lastTick_ = tick;
  return elapsed_;
}

void MemoryNetwork::deliver(const SocketAddress& source, const uint8_t* bytes, uint32_t length,
                            uint32_t delay) {
  if (random_.chance(lossPercent)) return;
  const int copies = random_.chance(duplicatePercent) ? 2 : 1;
  for (int copy = 0; copy < copies; ++copy) {
    const uint64_t arrival = now() + delay + (jitter > 0 ? random_.below(jitter + 1) : 0);
    Datagram datagram{source, toolAddress_, std::vector<uint8_t>(bytes, bytes + length)};
    inbox_.emplace(std::make_pair(arrival, order_++), std::move(datagram));
  }
}

bool MemoryNetwork::readable() { return !inbox_.empty() && inbox_.begin()->first.first <= now(); }

bool MemoryNetwork::nextArrival(uint32_t& tick) {
  if (inbox_.empty()) return false;
  const uint64_t current = now();
  const uint64_t arrival = inbox_.begin()->first.first;
  tick = lastTick_ + static_cast<uint32_t>(arrival > current ? arrival - current : 0);
  return true;
}

// One by one, as a system without batches sends; the copies kept say which awaited an answer.
uint32_t MemoryNetwork::ToolSocket::sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                                              SendResult* results) {
  for (uint32_t i = 0; i < count; ++i) {
    const size_t kept = network_.sent.size();
    results[i] = sendTo(*datagrams[i].destination, datagrams[i].bytes, datagrams[i].length);
    if (network_.sent.size() > kept) network_.sent.back().awaitsAnswer = datagrams[i].awaitsAnswer;
    if (results[i] == SendResult::RETRY_LATER) return i;
  }
  return count;
}

SendResult MemoryNetwork::ToolSocket::sendTo(const SocketAddress& destination, const uint8_t* bytes,
                                             uint32_t length) {
  MemoryNetwork& net = network_;
  if (net.sendRoom == 0) {
    net.writeWanted = true;
    return SendResult::RETRY_LATER;
  }
  if (addressIsZero(destination)) return SendResult::REFUSED;
  for (const SocketAddress& address : net.refused) {
    if (std::memcmp(address.ip, destination.ip, 4) == 0 &&
        std::memcmp(address.port, destination.port, 2) == 0) {
      return SendResult::REFUSED;
    }
  }
  for (const SocketAddress& address : net.unreachable) {
    if (std::memcmp(address.ip, destination.ip, 4) == 0) {
      ++net.unreachableTries;
      return SendResult::NOT_NOW;
    }
  }
  if (net.sendRoom != UINT64_MAX) --net.sendRoom;
  ++net.sentCount;
  Datagram datagram{net.toolAddress_, destination, std::vector<uint8_t>(bytes, bytes + length)};
  if (net.random_.chance(net.lossPercent)) {
    if (net.keepSent) net.sent.push_back(std::move(datagram));
    return SendResult::SENT;
  }
  const int copies = net.random_.chance(net.duplicatePercent) ? 2 : 1;
  for (int copy = 0; copy < copies; ++copy) {
    if (net.peer_ != nullptr) net.peer_->onDatagram(net, datagram);
  }
  if (net.keepSent) net.sent.push_back(std::move(datagram));
  return SendResult::SENT;
}

ReceiveResult MemoryNetwork::ToolSocket::receiveFrom(uint8_t* buffer, uint32_t capacity,
                                                     uint32_t& length, SocketAddress& source) {
  MemoryNetwork& net = network_;
  if (net.failReads) return ReceiveResult::FAILED;
  if (!net.readable()) return ReceiveResult::NOTHING;
  auto first = net.inbox_.begin();
  const Datagram& datagram = first->second;
  ReceiveResult result = ReceiveResult::OVERSIZED;
  if (datagram.bytes.size() <= capacity) {
    length = static_cast<uint32_t>(datagram.bytes.size());
    if (length > 0) std::memcpy(buffer, datagram.bytes.data(), length);
    source = datagram.source;
    result = ReceiveResult::DATAGRAM;
  }
  net.inbox_.erase(first);
  return result;
}

}  // namespace vyr
