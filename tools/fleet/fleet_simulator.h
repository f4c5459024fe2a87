#pragma once
// The fleet model on real loopback UDP. One socket on port 18772 answers for every unit: the
// address a request was sent to says which unit it is for, and the reply leaves from that same
// address, so any number of 127.x.y.z units need no socket of their own. The IP server has its
// own socket, and a third one on port 18773 sends the wrong-port copies.

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

 private:
  struct Waiting {
    uint64_t dueMs;
    uint64_t order;  // keeps replies that fall due together in the order the model gave them
    SocketAddress source;
    SocketAddress destination;
    std::vector<uint8_t> bytes;
  };

  void receiveFrom(int socketIndex);
  void sendDue(uint64_t nowMs);
  void send(const Waiting& reply);

  FleetModel& model_;
  int sockets_[3] = {-1, -1, -1};  // units, server, wrong port
  uint16_t ports_[3] = {};
  std::vector<Waiting> waiting_;  // a min-heap by due time
  uint64_t nextOrder_ = 0;
  std::vector<uint8_t> buffer_;
  std::vector<Reply> replies_;
  SimulatorCounters counters_;
};

}  // namespace vyr::fleet
