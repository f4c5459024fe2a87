#include "core/commands.h"

#include <utility>

#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "survey/record_index.h"

namespace vyr {
namespace {

// Units asked in one step of a start: a part takes about as long as building an index.
constexpr int32_t START_ASK_PART = 16384;

}  // namespace

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
  const int32_t count = context.survey.deviceCount;
  if (!context.startAskingNow()) {
    context.startAsking = surveyNumber;
    context.startAskNext = 0;
    context.flushOwed = false;
    reserveQueue(context, static_cast<uint32_t>(count));
  }
  const int32_t from = context.startAskNext;
  const int32_t to = count - from > START_ASK_PART ? from + START_ASK_PART : count;
  pollDeviceRange(context, POLL_EVERYONE, from, to);
  context.startAskNext = to;
  if (to < count) return true;
  context.startAsking = 0;
  context.startAsked = surveyNumber;
  if (std::exchange(context.flushOwed, false)) flushQueue(context);
  return false;
}

bool abortSurvey(Context& context) {
  if (!surveyRunning(context)) return false;
  clearQueue(context);
  return stopSurvey(context);
}

}  // namespace vyr
