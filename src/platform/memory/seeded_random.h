#pragma once

#include <cstdint>

namespace vyr {

// splitmix64: small, seeded, and the same on every machine, so a test's simulated world draws the
// same loss, jitter and data in every run.
class SeededRandom {
 public:
  explicit SeededRandom(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. bound-1; 0 when bound is 0.
  uint32_t below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(next() % bound); }
  // True with the given chance in percent; draws nothing when the chance is 0.
  bool chance(uint32_t percent) { return percent != 0 && below(100) < percent; }

 private:
  uint64_t state_;
};

}  // namespace vyr
