#pragma once
// The fleet model on real loopback UDP. One socket on port 18772 answers for every unit: the
// address a request was sent to says which unit it is for, and the reply leaves from that same
// address, so any number of 127.x.y.z units need no socket of their own. The IP server has its
// own socket, and a third one on port 18773 sends the wrong-port copies. With a flood (the option
// flood=N) the simulator also sends noise at that rate to the tool's latest request address.

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fleet/fleet_model.h"

namespace vyr::fleet {

struct SimulatorCounters {
  uint64_t received = 0;
  uint64_t sent = 0;
  uint64_t sendFailures = 0;
  uint64_t peakWaiting = 0;  // most replies held back for their delay at one time
};

// Counts another thread may read while the simulator runs.
struct LiveCounters {
  std::atomic<uint64_t> lateCopiesSent{0};
  std::atomic<uint64_t> floodSent{0};
};

class FleetSimulator {
 public:
  explicit FleetSimulator(FleetModel& model);
  ~FleetSimulator();
  FleetSimulator(const FleetSimulator&) = delete;
  FleetSimulator& operator=(const FleetSimulator&) = delete;

  // Binds the unit, server and wrong-port sockets. On failure says which and why in `error`.
  bool open(std::string& error);

  // Answers requests until `stop` is set; notices it within about 50 ms. Replies still waiting
  // for their delay when it stops are never sent.
  void run(const std::atomic<bool>& stop);

  const SimulatorCounters& counters() const { return counters_; }
  const LiveCounters& live() const { return live_; }

 private:
  struct Waiting {
    uint64_t dueMs;
    uint64_t order;  // keeps replies that fall due together in the order the model gave them
    SocketAddress source;
    SocketAddress destination;
    std::vector<uint8_t> bytes;
    bool late;
  };

  void receiveFrom(int socketIndex);
  void handle(int socketIndex, const sockaddr_in& from, msghdr& header, const uint8_t* bytes,
              uint32_t length);
  void sendDue(uint64_t nowMs);
  void sendBatch();
  void sendFlood(uint64_t nowMs);
  bool send(const Waiting& reply);
  int socketFor(const SocketAddress& source) const;  // the socket bound to its port, or -1

  FleetModel& model_;
  int sockets_[3] = {-1, -1, -1};  // units, server, wrong port
  uint16_t ports_[3] = {};
  std::vector<Waiting> waiting_;  // a min-heap by due time
  uint64_t nextOrder_ = 0;
  std::vector<uint8_t> buffer_;  // a batch of received datagrams, each in a slot of its own
  std::vector<Waiting> due_;     // replies taken from the heap to go in one batch
  std::vector<Reply> replies_;
  SimulatorCounters counters_;
  LiveCounters live_;
  // The flood goes to where the tool's requests come from; it starts with the first request.
  bool floodTargetKnown_ = false;
  SocketAddress floodTarget_{};
  uint64_t floodClockMs_ = 0;  // flood time accounted for up to here
  uint64_t floodCredit_ = 0;   // datagrams owed, in thousandths
};

}  // namespace vyr::fleet
