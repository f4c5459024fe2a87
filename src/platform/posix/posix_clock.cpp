#include "platform/posix/posix_clock.h"

#include <time.h>

namespace vyr {

uint32_t PosixClock::tick() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t milliseconds =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  // Keeping the low 32 bits is the wrap every caller already reckons with.
  return static_cast<uint32_t>(milliseconds);
}

}  // namespace vyr
