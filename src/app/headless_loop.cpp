#include "app/headless_loop.h"

#include <poll.h>

#include <algorithm>
#include <cstdint>

#include "platform/paced_socket.h"
#include "platform/posix/posix_udp_socket.h"
#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "survey/lifecycle.h"

namespace vyr {
namespace {

// Signed distance from `from` to `to` on the wrapping tick.
int32_t ticksUntil(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

// A time that comes back every `period` ms. A stall (a suspended process, a slow disk) skips the
// missed ones rather than firing them back to back, as a window timer would.
struct Recurring {
  uint32_t next;
  uint32_t period;

  // Whether it has come at `now`; if so, it moves on to the next time.
  bool due(uint32_t now) {
    if (ticksUntil(now, next) > 0) return false;
    next += period;
    if (ticksUntil(now, next) <= 0) next = now + period;
    return true;
  }
};

// Waits at most `waitMs` for the socket, then drains it or flushes the queue as it says.
void waitForSocket(Context& context, PosixUdpSocket& socket, int waitMs) {
  // Write readiness is asked for only after a send found the socket full; a UDP socket is
  // otherwise always writable and would wake the loop without end.
  const int events = POLLIN | (socket.wantsWriteReadiness() ? POLLOUT : 0);
  pollfd entry{socket.fd(), static_cast<short>(events), 0};
  // A signal interrupts the wait; the caller's checks then see the stop flag.
  if (::poll(&entry, 1, waitMs) <= 0) return;
  if (entry.revents & (POLLIN | POLLERR)) receiveAll(context);
  if (entry.revents & POLLOUT) {
    socket.writeReadinessDelivered();
    flushQueue(context);
  }
}

}  // namespace

bool runUntilDone(Context& context, PosixUdpSocket& socket, int timeoutMs,
                  const volatile sig_atomic_t* stop, PacedSocket* paced, const PeriodicCall* every) {
  const uint32_t start = context.clock.tick();
  Recurring tick{start + TICK_PERIOD, TICK_PERIOD};
  const bool calling = every != nullptr && every->call && every->periodMs > 0;
  Recurring call{start + (calling ? every->periodMs : 0), calling ? every->periodMs : 0};
  // A socket is writable from the outset (vyr-survey.exe learns it from the FD_WRITE that comes
  // when it starts watching): what a start queued goes now rather than at the first tick, so its
  // answers are in before that tick's silence test looks for them.
  flushQueue(context);
  while (surveyRunning(context)) {
    if (stop != nullptr && *stop != 0) return false;
    const uint32_t now = context.clock.tick();
    const uint32_t elapsed = now - start;
    if (timeoutMs >= 0 && elapsed >= static_cast<uint32_t>(timeoutMs)) return false;

    if (tick.due(now)) {
      onTick(context);
      continue;
    }
    if (calling && call.due(now)) {
      every->call();
      continue;
    }
    // Sends the pacing held back go as soon as it lets them.
    const int32_t flushIn = paced != nullptr ? paced->msUntilFlush() : -1;
    if (flushIn == 0) {
      flushQueue(context);
      continue;
    }
    int wait = ticksUntil(now, tick.next);
    if (flushIn > 0) wait = std::min(wait, static_cast<int>(flushIn));
    if (calling) wait = std::min(wait, ticksUntil(now, call.next));
    if (timeoutMs >= 0) wait = std::min(wait, timeoutMs - static_cast<int>(elapsed));
    waitForSocket(context, socket, wait);
  }
  return true;
}

}  // namespace vyr
