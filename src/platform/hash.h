#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vyr {

// Odd, and with its bits spread: multiplying by it carries every bit of a word into the high ones.
constexpr uint64_t HASH_SPREAD = 0x9E3779B97F4A7C15u;

inline uint64_t mixWord(uint64_t hash, uint64_t word) {
  const uint64_t mixed = (hash ^ word) * HASH_SPREAD;
  return mixed ^ (mixed >> 29);
}

// Hashes `length` bytes eight at a time, starting from `seed`: each word is mixed in with a
// multiply, and the end is mixed once more and folded to 32 bits, so that the low bits (the send
// queue's buckets) and the high ones (the record indexes' slots) both spread. The keys are short
// and hashed at every datagram, where a byte at a time cost nearly a tenth of a survey's
// instructions. The values stay in memory: they may differ between machines.
inline uint32_t hashBytes(const void* data, size_t length, uint64_t seed) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint64_t hash = seed ^ (static_cast<uint64_t>(length) * HASH_SPREAD);
  for (; length >= 8; bytes += 8, length -= 8) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, 8);
    hash = mixWord(hash, word);
  }
  if (length > 0) {
    uint64_t word = 0;
    std::memcpy(&word, bytes, length);
    hash = mixWord(hash, word);
  }
  hash *= 0xFF51AFD7ED558CCDu;
  return static_cast<uint32_t>(hash ^ (hash >> 32));
}

}  // namespace vyr
