#include "protocol/scheduler.h"

#include "protocol/protocol_context.h"
#include "protocol/receiver.h"
#include "protocol/requests.h"
#include "protocol/send_queue.h"

namespace vyr {

void pollDevices(ProtocolContext& context, int32_t interval) {
  pollDeviceRange(context, interval, 0, context.survey.deviceCount);
}

void pollDeviceRange(ProtocolContext& context, int32_t interval, int32_t from, int32_t to) {
  const uint32_t now = context.clock.tick();
  for (int32_t i = from; i < to; ++i) {
    const auto age = static_cast<int32_t>(now - effectiveLastSent(context, i));
    if (age < interval) continue;
    queueRequest(context, i, requestFor(context, i));
  }
}

void onTick(ProtocolContext& context) {
  flushQueue(context);
  receiveAll(context);
  const uint32_t now = context.clock.tick();
  uint32_t& lastReceive = context.survey.lastReceive;
  if (now < lastReceive) lastReceive = now;  // the tick counter has wrapped
  if (now - lastReceive >= SILENCE_LIMIT) {
    lastReceive = now;
    pollDevices(context, POLL_EVERYONE);
  } else {
    pollDevices(context, RETRY_INTERVAL);
  }
}

}  // namespace vyr
