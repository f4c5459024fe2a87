#include "protocol/scheduler.h"

#include "protocol/receiver.h"
#include "protocol/requests.h"
#include "protocol/send_queue.h"
#include "survey/context.h"

namespace vyr {
namespace {

// The request a record needs follows from its fields alone, tested in this order.
void pollRecord(Context& context, DeviceRecord& record) {
  if (record.id[0] == '\0') {
    queueIdentifyRequest(context, record);
  } else if (addressIsZero(record.address)) {
    queueLocateQuery(context, record);
  } else if (record.biosVersion == 0) {
    queueVersionQuery(context, record);
  } else if (!(record.flags & COMPLETE)) {
    queueModemRequest(context, record);
  }
}

}  // namespace

void pollDevices(Context& context, int32_t interval) {
  const uint32_t now = context.clock.tick();
  SurveyState& survey = context.survey;
  for (int32_t i = 0; i < survey.deviceCount; ++i) {
    DeviceRecord& record = survey.deviceTable[i];
    const auto age = static_cast<int32_t>(now - record.lastSent);
    if (age < interval) continue;
    pollRecord(context, record);
  }
}

void onTick(Context& context) {
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
