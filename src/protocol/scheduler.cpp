#include "protocol/scheduler.h"

#include "protocol/protocol_context.h"
#include "protocol/receiver.h"
#include "protocol/requests.h"
#include "protocol/send_queue.h"

namespace vyr {
namespace {

// The request a record needs follows from its fields alone, tested in this order.
void pollRecord(ProtocolContext& context, int32_t index) {
  const DeviceRecord& record = context.survey.deviceTable[index];
  if (record.id[0] == '\0') {
    queueIdentifyRequest(context, index);
  } else if (addressIsZero(record.address)) {
    queueLocateQuery(context, index);
  } else if (record.biosVersion == 0) {
    queueVersionQuery(context, index);
  } else if (!(record.flags & COMPLETE)) {
    queueModemRequest(context, index);
  }
}

}  // namespace

void pollDevices(ProtocolContext& context, int32_t interval) {
  pollDeviceRange(context, interval, 0, context.survey.deviceCount);
}

void pollDeviceRange(ProtocolContext& context, int32_t interval, int32_t from, int32_t to) {
  const uint32_t now = context.clock.tick();
  for (int32_t i = from; i < to; ++i) {
    const auto age = static_cast<int32_t>(now - effectiveLastSent(context, i));
    if (age < interval) continue;
    pollRecord(context, i);
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
