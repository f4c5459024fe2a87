#pragma once

namespace vyr {

// ASCII letters to upper case, other bytes unchanged: how names compare without regard to case.
inline char foldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// True when `name` matches `pattern`, where "*" stands for any run of characters and "?" for
// any one; ASCII letters match without regard to case, as directory wildcards do on the desktop.
bool matchesWildcard(const char* pattern, const char* name);

}  // namespace vyr
