#include "core/commands.h"

#include "protocol/scheduler.h"
#include "protocol/send_queue.h"

namespace vyr {

bool pressStart(Context& context, StartMode mode) {
  if (!startSurvey(context, mode)) return false;
  pollDevices(context, POLL_EVERYONE);
  return true;
}

bool abortSurvey(Context& context) {
  if (!surveyRunning(context)) return false;
  clearQueue(context);
  return stopSurvey(context);
}

}  // namespace vyr
