#pragma once
// The survey driver's loop with the system's wait left out: the 250 ms timer, the flush timer,
// the stop flag, the time limit and a periodic call, around a wait on the socket that each system
// gives in its own terms (poll_loop.h, winsock_loop.h).

#include <csignal>
#include <cstdint>
#include <functional>

#include "core/survey_driver.h"

namespace vyr {

// Something the front-end does every `periodMs` while the loop runs, between the driver's events
// (a progress line, say); the core knows nothing of it.
struct PeriodicCall {
  uint32_t periodMs = 1000;
  std::function<void()> call;
  // When set, called each time the loop is about to wait, with all that was due taken: for what
  // the front-end passes on as soon as it happens (the JSON lines of units just finished).
  std::function<void()> beforeWait;
};

// What the wait saw on the socket.
constexpr int SOCKET_READABLE = 1;  // a datagram, or an error to read
constexpr int SOCKET_WRITABLE = 2;

// Waits at most `waitMs` for the socket to become readable (when `read`) or writable (when
// `write`), and returns what it became: SOCKET_READABLE, SOCKET_WRITABLE, both, or 0 when the
// time passed or a signal cut the wait short.
using SocketWait = std::function<int(bool read, bool write, int waitMs)>;

// Runs the loop from where the driver is (a start pressed, or an earlier run of the loop).
// Returns true once no survey is running; false when `timeoutMs` (negative: no limit) has passed
// or `*stop` has become non-zero. Either way the survey is left as it is for the caller to abort
// or close. `every`, when given, is called first after its period and then at each period while
// the survey runs, and its beforeWait before each wait.
bool runDriverLoop(Context& context, const SocketWait& wait, int timeoutMs,
                   const volatile sig_atomic_t* stop, const PeriodicCall* every);

}  // namespace vyr
