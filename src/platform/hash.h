#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vyr {

// Hashes `length` bytes eight at a time, continuing from `seed`: each word is mixed in with a
// multiply, and the end is mixed once more and folded to 32 bits, so that the low bits (the send
// queue's buckets) and the high ones (the record indexes' slots) both spread. The keys are short
// and hashed at every datagram, where a byte at a time cost a tenth of a survey's instructions.
// The values stay in memory: they may differ between machines.
inline uint32_t hashBytes(const void* data, size_t length, uint64_t seed = 0) {
  constexpr uint64_t SPREAD = 0x9E3779B97F4A7C15u;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t hash = seed ^ (uint64_t{length} * SPREAD);
  const auto mixIn = [&hash](uint64_t word) {
    hash = (hash ^ word) * SPREAD;
    hash ^= hash >> 29;
  };
  for (; length >= 8; bytes += 8, length -= 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, 8);
    mixIn(word);
  }
  if (length > 0) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, length);
    mixIn(word);
  }
  hash *= 0xFF51AFD7ED558CCDu;
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

}  // namespace vyr
