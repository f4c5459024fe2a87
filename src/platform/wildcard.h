#pragma once

namespace vyr {

// True when `name` matches `pattern`, where "*" stands for any run of characters and "?" for
// any one; ASCII letters match without regard to case, as directory wildcards do on the desktop.
bool matchesWildcard(const char* pattern, const char* name);

}  // namespace vyr
