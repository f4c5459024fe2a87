#pragma once

#include <memory>
#include <string>

#include "platform/files.h"

namespace vyr {

// Files of one directory of the Windows file system, by bare 8-bit name (each byte one Latin-1
// character); L"." is the working directory, taken once, when this is called. Returns null when
// the directory cannot be found.
std::unique_ptr<FileSystem> openWin32FileSystem(const std::wstring& directory = L".");

}  // namespace vyr
