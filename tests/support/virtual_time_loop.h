#pragma once
// The dialog's event loop in the fake clock's time, over the in-memory network: what the headless
// loop does with poll(), done deterministically for tests and benchmarks.

#include "core/context.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_network.h"
#include "platform/paced_socket.h"
#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "survey/lifecycle.h"

namespace vyr {

// One 250 ms period: datagrams that arrive before the next tick are read when they arrive, a send
// that found no room is retried once room returns, sends held back by `paced` go out when it
// allows, then the tick.
inline void runPeriod(Context& context, FakeClock& clock, MemoryNetwork& network,
                      PacedSocket* paced = nullptr) {
  const uint32_t tickAt = clock.tick() + TICK_PERIOD;
  for (;;) {
    // The earliest of: the next arrival, the paced flush, the tick.
    const uint32_t now = clock.tick();
    uint32_t next = tickAt;
    bool arrival = false;
    uint32_t arrivesAt = 0;
    if (network.nextArrival(arrivesAt) && static_cast<int32_t>(tickAt - arrivesAt) > 0) {
      next = static_cast<int32_t>(arrivesAt - now) > 0 ? arrivesAt : now;
      arrival = true;
    }
    const int32_t flushIn = paced != nullptr ? paced->msUntilFlush() : -1;
    const bool flush = flushIn >= 0 && static_cast<int32_t>(next - (now + flushIn)) >= 0 &&
                       static_cast<int32_t>(tickAt - (now + flushIn)) > 0;
    if (!arrival && !flush) break;
    if (flush) {
      clock.set(now + static_cast<uint32_t>(flushIn));
      flushQueue(context);
    } else {
      clock.set(next);
      receiveAll(context);
    }
  }
  if (network.writeWanted && network.sendRoom > 0) {
    network.writeWanted = false;
    flushQueue(context);
  }
  clock.set(tickAt);
  onTick(context);
}

// Runs periods until the survey ends; returns how many ticks that took, or -1 after `maxTicks`.
inline int runSurveyPeriods(Context& context, FakeClock& clock, MemoryNetwork& network,
                            int maxTicks, PacedSocket* paced = nullptr) {
  for (int ticks = 1; ticks <= maxTicks; ++ticks) {
    runPeriod(context, clock, network, paced);
    if (!surveyRunning(context)) return ticks;
  }
  return -1;
}

}  // namespace vyr
