#include "platform/win32/win32_clock.h"

#include <windows.h>

namespace vyr {

uint32_t Win32Clock::tick() { return static_cast<uint32_t>(::GetTickCount()); }

}  // namespace vyr
