#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace vyr {

// The tick from CLOCK_MONOTONIC, so that setting the wall clock never disturbs a retry interval.
class PosixClock final : public Clock {
 public:
  uint32_t tick() override;
};

}  // namespace vyr
