#pragma once

#include <memory>

#include "platform/files.h"

namespace vyr {

// Files of one directory of the POSIX file system, by bare name; "." is the working directory.
// Returns null when the directory cannot be opened.
std::unique_ptr<FileSystem> openPosixFileSystem(const char* directory = ".");

}  // namespace vyr
