#pragma once
// The fleet answering on the in-memory network: whole surveys in tests and benchmarks, with no
// sockets and in the fake clock's time.

#include <vector>

#include "fleet/fleet_model.h"
#include "platform/memory/memory_network.h"

namespace vyr::fleet {

class MemoryPeer final : public MemoryNetwork::Peer {
 public:
  explicit MemoryPeer(FleetModel& model) : model_(model) {}

  void onDatagram(MemoryNetwork& network, const MemoryNetwork::Datagram& datagram) override {
    replies_.clear();
    model_.handle(datagram.destination, datagram.bytes.data(),
                  static_cast<uint32_t>(datagram.bytes.size()), replies_);
    for (const Reply& reply : replies_) {
      network.deliver(reply.source, reply.bytes.data(), static_cast<uint32_t>(reply.bytes.size()),
                      reply.delayMs);
    }
  }

 private:
  FleetModel& model_;
  std::vector<Reply> replies_;
};

}  // namespace vyr::fleet
