#include "platform/wildcard.h"

namespace vyr {

bool matchesWildcard(const char* pattern, const char* name) {
  // Greedy match with one backtrack point: the last "*" seen and where its run began.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != '\0' && (*pattern == '?' || foldCase(*pattern) == foldCase(*name))) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace vyr
