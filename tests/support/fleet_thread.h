#pragma once
// The fleet simulator answering on a thread of its own while a test drives the tool on this one.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "fleet/fleet_simulator.h"

namespace vyr::testing {

class FleetThread {
 public:
  FleetThread() = default;
  FleetThread(const FleetThread&) = delete;
  FleetThread& operator=(const FleetThread&) = delete;
  ~FleetThread() { stop(); }

  // Stops the fleet running before, if any, and starts this one. A fleet that cannot bind its
  // ports fails the test.
  void start(const fleet::FleetDescription& description) {
    stop();
    model_ = std::make_unique<fleet::FleetModel>(description);
    simulator_ = std::make_unique<fleet::FleetSimulator>(*model_);
    std::string error;
    ASSERT_TRUE(simulator_->open(error)) << error;
    stop_ = false;
    thread_ = std::thread([this] { simulator_->run(stop_); });
  }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::unique_ptr<fleet::FleetModel> model_;
  std::unique_ptr<fleet::FleetSimulator> simulator_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vyr::testing
