#pragma once
// The front-end of tests and benchmarks: the driver's events in the fake clock's time, over the
// in-memory network. What poll() and a window's loop wait for, delivered deterministically.

#include "core/survey_driver.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_network.h"

namespace vyr {

// One 250 ms period: the steps of a start under way (they take no time here), datagrams that
// arrive before the next tick read when they arrive, the flushes the driver asks for at their
// time, a send that found no room retried once room returns, then the tick.
inline void runPeriod(Context& context, FakeClock& clock, MemoryNetwork& network) {
  const uint32_t tickAt = clock.tick() + TICK_PERIOD;
  for (;;) {
    const DriverWait wait = currentWait(context);
    if (wait.startStepPending) {
      startStep(context);
      continue;
    }
    // The earliest of: the next arrival, the flush, the tick.
    const uint32_t now = clock.tick();
    uint32_t next = tickAt;
    bool arrival = false;
    uint32_t arrivesAt = 0;
    if (wait.readReadiness && network.nextArrival(arrivesAt) &&
        static_cast<int32_t>(tickAt - arrivesAt) > 0) {
      next = static_cast<int32_t>(arrivesAt - now) > 0 ? arrivesAt : now;
      arrival = true;
    }
    const int32_t flushIn = wait.flushInMs;
    const bool flush = flushIn >= 0 && static_cast<int32_t>(next - (now + flushIn)) >= 0 &&
                       static_cast<int32_t>(tickAt - (now + flushIn)) > 0;
    if (!arrival && !flush) break;
    if (flush) {
      clock.set(now + static_cast<uint32_t>(flushIn));
      flushDue(context);
    } else {
      clock.set(next);
      socketReadable(context);
    }
  }
  if (currentWait(context).writeReadiness && network.sendRoom > 0) socketWritable(context);
  clock.set(tickAt);
  timerDue(context);
}

// Runs periods until the survey ends; returns how many ticks that took, or -1 after `maxTicks`.
inline int runSurveyPeriods(Context& context, FakeClock& clock, MemoryNetwork& network,
                            int maxTicks) {
  for (int ticks = 1; ticks <= maxTicks; ++ticks) {
    runPeriod(context, clock, network);
    if (!surveyRunning(context)) return ticks;
  }
  return -1;
}

}  // namespace vyr
