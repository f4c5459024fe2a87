#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace vyr {

// Copies at most `size` - 1 bytes of `text` and a NUL into `buffer`, as a control hands out its
// text; returns the number of bytes copied.
inline int32_t copyBounded(std::string_view text, char* buffer, int32_t size) {
  if (size <= 0) return 0;
  size_t count =
      text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
  if (count > 0) std::memcpy(buffer, text.data(), count);  // an empty view may have no data
  buffer[count] = '\0';
  return static_cast<int32_t>(count);
}

}  // namespace vyr
