#include "survey_command/poll_loop.h"

#include <poll.h>

namespace vyr {

bool runUntilDone(Context& context, int fd, int timeoutMs, const volatile sig_atomic_t* stop,
                  const PeriodicCall* every) {
  const SocketWait wait = [fd](bool read, bool write, int waitMs) {
    const auto events = static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
    pollfd entry{fd, events, 0};
    // A signal interrupts the wait, whatever SA_RESTART says.
    if (::poll(&entry, 1, waitMs) <= 0) return 0;
    return ((entry.revents & (POLLIN | POLLERR)) ? SOCKET_READABLE : 0) |
           ((entry.revents & POLLOUT) ? SOCKET_WRITABLE : 0);
  };
  return runDriverLoop(context, wait, timeoutMs, stop, every);
}

}  // namespace vyr
