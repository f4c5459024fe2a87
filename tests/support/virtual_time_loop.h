#pragma once
// The dialog's event loop in the fake clock's time, over the in-memory network: what the headless
// loop does with poll(), done deterministically for tests and benchmarks.

#include "core/context.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_network.h"
#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "survey/lifecycle.h"

namespace vyr {

// One 250 ms period: datagrams that arrive before the next tick are read when they arrive, a send
// that found no room is retried once room returns, then the tick.
inline void runPeriod(Context& context, FakeClock& clock, MemoryNetwork& network) {
  const uint32_t tickAt = clock.tick() + TICK_PERIOD;
  uint32_t arrival = 0;
  while (network.nextArrival(arrival) && static_cast<int32_t>(tickAt - arrival) > 0) {
    if (static_cast<int32_t>(arrival - clock.tick()) > 0) clock.set(arrival);
    receiveAll(context);
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
                            int maxTicks) {
  for (int ticks = 1; ticks <= maxTicks; ++ticks) {
    runPeriod(context, clock, network);
    if (!surveyRunning(context)) return ticks;
  }
  return -1;
}

}  // namespace vyr
