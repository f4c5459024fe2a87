#pragma once

#include <cstddef>
#include <cstdint>

namespace vyr {

constexpr uint32_t FNV_OFFSET_BASIS = 2166136261u;

// 32-bit FNV-1a over `length` bytes, continuing from `hash`: small, and spreads the short keys of
// the tool's lookup tables well enough.
inline uint32_t fnvHash(const void* data, size_t length, uint32_t hash = FNV_OFFSET_BASIS) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

}  // namespace vyr
