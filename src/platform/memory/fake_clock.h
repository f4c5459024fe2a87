#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace vyr {

// A tick that moves only when told to, so a test can stand anywhere, including just before the
// counter wraps.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t start = 0) : now_(start) {}
  uint32_t tick() override {
    ++reads;
    return now_;
  }
  void set(uint32_t now) { now_ = now; }
  void advance(uint32_t milliseconds) { now_ += milliseconds; }

  uint64_t reads = 0;  // how often the tick was read

 private:
  uint32_t now_;
};

}  // namespace vyr
