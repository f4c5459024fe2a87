#include "survey_command/driver_loop.h"

#include <algorithm>

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

// The longest the loop may wait from `now`: until the next tick, the flush timer, the periodic
// call or the time limit, whichever comes first.
int waitLimit(uint32_t now, uint32_t elapsed, const Recurring& tick, const DriverWait& wait,
              const Recurring* call, int timeoutMs) {
  int waitMs = ticksUntil(now, tick.next);
  if (wait.flushInMs > 0) waitMs = std::min(waitMs, static_cast<int>(wait.flushInMs));
  if (call != nullptr) waitMs = std::min(waitMs, ticksUntil(now, call->next));
  if (timeoutMs >= 0) waitMs = std::min(waitMs, timeoutMs - static_cast<int>(elapsed));
  return waitMs;
}

// Takes the one event that is due at `now`, if any: the tick, the periodic call, the flush.
bool takeDueEvent(Context& context, uint32_t now, Recurring& tick, Recurring* call,
                  const PeriodicCall* every, DriverWait& wait) {
  if (tick.due(now)) {
    wait = timerDue(context);
    return true;
  }
  if (call != nullptr && call->due(now)) {
    every->call();
    wait = currentWait(context);
    return true;
  }
  if (wait.flushInMs == 0) {
    wait = flushDue(context);
    return true;
  }
  return false;
}

// The front-end's call before a wait, then the wait on the socket for what the driver asks.
int passAndWait(const SocketWait& waitForSocket, const PeriodicCall* every, const DriverWait& wait,
                int waitMs) {
  if (every != nullptr && every->beforeWait) every->beforeWait();
  return waitForSocket(wait.readReadiness, wait.writeReadiness, waitMs);
}

}  // namespace

bool runDriverLoop(Context& context, const SocketWait& waitForSocket, int timeoutMs,
                   const volatile sig_atomic_t* stop, const PeriodicCall* every) {
  const uint32_t start = context.clock.tick();
  Recurring tick{start + TICK_PERIOD, TICK_PERIOD};
  const bool calling = every != nullptr && every->call && every->periodMs > 0;
  Recurring call{start + (calling ? every->periodMs : 0), calling ? every->periodMs : 0};
  // A socket is writable from the outset: what a start queued goes now rather than at the first
  // tick, so its answers are in before that tick's silence test looks for them.
  DriverWait wait = socketWritable(context);
  while (surveyRunning(context)) {
    if (stop != nullptr && *stop != 0) return false;
    // Nothing here needs a pass between a start's steps.
    if (wait.startStepPending) {
      wait = startStep(context);
      continue;
    }
    const uint32_t now = context.clock.tick();
    const uint32_t elapsed = now - start;
    if (timeoutMs >= 0 && elapsed >= static_cast<uint32_t>(timeoutMs)) return false;
    if (takeDueEvent(context, now, tick, calling ? &call : nullptr, every, wait)) continue;
    const int waitMs =
        waitLimit(now, elapsed, tick, wait, calling ? &call : nullptr, timeoutMs);
    const int ready = passAndWait(waitForSocket, every, wait, waitMs);
    // A flush timer that has come, or a tick, is found due above, and so is a stop.
    if (ready == 0) {
      wait = currentWait(context);
      continue;
    }
    if (ready & SOCKET_READABLE) wait = socketReadable(context);
    if (ready & SOCKET_WRITABLE) wait = socketWritable(context);
  }
  return true;
}

}  // namespace vyr
