#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace vyr {

// The system's millisecond tick since start-up; it wraps every 49.7 days as the core expects.
class Win32Clock final : public Clock {
 public:
  uint32_t tick() override;
};

}  // namespace vyr
