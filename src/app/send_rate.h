#pragma once
// VYRMODEL_SEND_RATE, datagrams a second, caps what a dialog sends for links that drop bursts;
// unset (or not a number above 0) the dialog sends as fast as its window allows. Both dialogs
// read it with this.

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace vyr {

constexpr const char* SEND_RATE_VARIABLE = "VYRMODEL_SEND_RATE";

// The rate `text` names (null: the variable is unset), 0 for none; `valid` is false for a text
// that is not a number of datagrams, which is then ignored.
inline uint32_t parseSendRate(const char* text, bool& valid) {
  valid = true;
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long long rate = std::strtoull(text, &end, 10);
  valid = errno == 0 && *end == '\0' && rate <= UINT32_MAX;
  return valid ? static_cast<uint32_t>(rate) : 0;
}

}  // namespace vyr
