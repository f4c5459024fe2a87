#pragma once
// The one place where the command chooses its system: the clock, the socket, the folder and the
// wait on the socket, POSIX or Windows. Everything else of the command is the same on both.

#include <memory>
#include <string>

#include "core/context.h"
#include "platform/files.h"

#if defined(_WIN32)
#include "platform/win32/latin1_text.h"
#include "platform/win32/win32_clock.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_udp_socket.h"
#include "survey_command/winsock_loop.h"
#else
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_udp_socket.h"
#include "survey_command/poll_loop.h"
#endif

namespace vyr {

#if defined(_WIN32)
using SystemClock = Win32Clock;
using SystemSocket = Win32UdpSocket;

// Winsock before any socket; it stays up until the process ends.
inline bool startNetworking() {
  WSADATA winsock{};
  return ::WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
}
inline std::unique_ptr<FileSystem> openSystemFileSystem(const std::string& directory) {
  return openWin32FileSystem(widenLatin1(directory));
}
inline bool runSurveyLoop(Context& context, const SystemSocket& socket, int timeoutMs,
                          const volatile sig_atomic_t* stop, const PeriodicCall* every) {
  return runUntilDone(context, socket.handle(), timeoutMs, stop, every);
}
#else
using SystemClock = PosixClock;
using SystemSocket = PosixUdpSocket;

inline bool startNetworking() { return true; }
inline std::unique_ptr<FileSystem> openSystemFileSystem(const std::string& directory) {
  return openPosixFileSystem(directory.c_str());
}
inline bool runSurveyLoop(Context& context, const SystemSocket& socket, int timeoutMs,
                          const volatile sig_atomic_t* stop, const PeriodicCall* every) {
  return runUntilDone(context, socket.fd(), timeoutMs, stop, every);
}
#endif

}  // namespace vyr
