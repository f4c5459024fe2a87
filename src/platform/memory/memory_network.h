#pragma once
// The tool's socket and the world behind it, in memory and in the fake clock's time: what the tool
// sends goes to a peer (scripted units and IP server), what the peer sends back arrives after its
// delay. Loss, duplication and reordering are drawn from a seeded generator, so every run of a
// test sees the same network.

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/memory/seeded_random.h"
#include "platform/udp_socket.h"

namespace vyr {

class MemoryNetwork {
 public:
  struct Datagram {
    SocketAddress source;
    SocketAddress destination;
    std::vector<uint8_t> bytes;
    bool awaitsAnswer = true;  // as the tool sent it
  };

  // Everything the tool sends reaches the one peer, which answers through deliver().
  class Peer {
   public:
    virtual ~Peer() = default;
    virtual void onDatagram(MemoryNetwork& network, const Datagram& datagram) = 0;
  };

  explicit MemoryNetwork(Clock& clock, uint64_t seed = 1);
  MemoryNetwork(const MemoryNetwork&) = delete;
  MemoryNetwork& operator=(const MemoryNetwork&) = delete;
  ~MemoryNetwork() = default;

  UdpSocket& toolSocket() { return socket_; }
  const SocketAddress& toolAddress() const { return toolAddress_; }
  void attach(Peer* peer) { peer_ = peer; }

  // A datagram for the tool, arriving `delay` ms from now (subject to the link's faults).
  void deliver(const SocketAddress& source, const uint8_t* bytes, uint32_t length,
               uint32_t delay = 0);

  // Whether a datagram has arrived for the tool; the tick at which the next one arrives.
  bool readable();
  bool nextArrival(uint32_t& tick);
  size_t waiting() const { return inbox_.size(); }

  // Faults of the tool's socket.
  uint64_t sendRoom = UINT64_MAX;      // sends before the socket has no room
  std::vector<SocketAddress> refused;  // destinations the system never sends to
  // Hosts (any port) the system cannot reach for now, as when their network is unreachable: a
  // send to one is NOT_NOW and counted in unreachableTries.
  std::vector<SocketAddress> unreachable;
  uint64_t unreachableTries = 0;
  bool failReads = false;
  bool writeWanted = false;  // set when a send found no room: the edge a front-end waits for

  // Faults of the link, in both directions, in percent.
  uint32_t lossPercent = 0;
  uint32_t duplicatePercent = 0;
  uint32_t jitter = 0;  // extra delay drawn from 0..jitter ms: reorders datagrams

  bool keepSent = true;        // keep a copy of every datagram the tool sends, for tests
  std::vector<Datagram> sent;  // in the order sent
  uint64_t sentCount = 0;

 private:
  class ToolSocket final : public UdpSocket {
   public:
    explicit ToolSocket(MemoryNetwork& network) : network_(network) {}
    SendResult sendTo(const SocketAddress& destination, const uint8_t* bytes,
                      uint32_t length) override;
    uint32_t sendBatch(const OutgoingDatagram* datagrams, uint32_t count,
                       SendResult* results) override;
    ReceiveResult receiveFrom(uint8_t* buffer, uint32_t capacity, uint32_t& length,
                              SocketAddress& source) override;
    bool wantsWriteReadiness() const override { return network_.writeWanted; }
    void writeReadinessDelivered() override { network_.writeWanted = false; }

   private:
    MemoryNetwork& network_;
  };

  uint64_t now();  // the clock's tick as a count that does not wrap

  Clock& clock_;
  ToolSocket socket_{*this};
  SocketAddress toolAddress_{};
  Peer* peer_ = nullptr;
  SeededRandom random_;
  uint32_t lastTick_;
  uint64_t elapsed_ = 0;
  uint64_t order_ = 0;
  std::map<std::pair<uint64_t, uint64_t>, Datagram> inbox_;  // by arrival, then by order sent
};

}  // namespace vyr
