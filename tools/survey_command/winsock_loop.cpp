#include "survey_command/winsock_loop.h"

#include <windows.h>

namespace vyr {

bool runUntilDone(Context& context, SOCKET socket, int timeoutMs,
                  const volatile sig_atomic_t* stop, const PeriodicCall* every) {
  const SocketWait wait = [socket](bool read, bool write, int waitMs) {
    // select() refuses three empty sets, so a wait for nothing is a sleep.
    if (!read && !write) {
      ::Sleep(static_cast<DWORD>(waitMs > 0 ? waitMs : 0));
      return 0;
    }
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (read) FD_SET(socket, &readable);
    if (write) FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval limit{waitMs / 1000, waitMs % 1000 * 1000};
    const int ready = ::select(0, &readable, &writable, &failed, &limit);
    // A failed wait still waits, so that the loop does not spin on it.
    if (ready == SOCKET_ERROR) ::Sleep(static_cast<DWORD>(waitMs > 0 ? waitMs : 0));
    if (ready <= 0) return 0;
    return ((FD_ISSET(socket, &readable) || FD_ISSET(socket, &failed)) ? SOCKET_READABLE : 0) |
           (FD_ISSET(socket, &writable) ? SOCKET_WRITABLE : 0);
  };
  return runDriverLoop(context, wait, timeoutMs, stop, every);
}

}  // namespace vyr
