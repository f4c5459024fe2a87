#include "core/commands.h"

#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "survey/record_index.h"

namespace vyr {

bool pressStart(Context& context, StartMode mode) {
  if (!startSurvey(context, mode)) return false;
  while (continueStart(context, context.survey.surveyNumber)) {
  }
  return true;
}

bool continueStart(Context& context, uint32_t surveyNumber) {
  // An Abort, or a resumed survey that was already complete, ends the survey before its steps.
  if (!surveyRunning(context) || context.survey.surveyNumber != surveyNumber ||
      context.startAsked == surveyNumber) {
    return false;
  }
  if (indexNextKey(context.survey)) return true;
  context.startAsked = surveyNumber;
  reserveQueue(context, static_cast<uint32_t>(context.survey.deviceCount));
  pollDevices(context, POLL_EVERYONE);
  return false;
}

bool abortSurvey(Context& context) {
  if (!surveyRunning(context)) return false;
  clearQueue(context);
  return stopSurvey(context);
}

}  // namespace vyr
