#pragma once
// The millisecond tick every retry decision is measured against.

#include <cstdint>

namespace vyr {

class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds from a monotonic clock, as an unsigned 32-bit count that wraps modulo 2^32
  // (about every 49.7 days). Only differences of two ticks mean anything.
  virtual uint32_t tick() = 0;
};

}  // namespace vyr
