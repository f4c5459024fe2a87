#include "core/survey_driver.h"

#include <utility>

#include "protocol/receiver.h"
#include "protocol/scheduler.h"
#include "protocol/send_queue.h"
#include "protocol/survey_records.h"
#include "survey/list_files.h"
#include "survey/record_index.h"
#include "survey/report_files.h"

namespace vyr {
namespace {

// Units asked in one step of a start: a part takes about as long as building an index.
constexpr int32_t START_ASK_PART = 16384;
// Flushes the pacing lets go "now" that are made at once, in a row, before the front-end's loop
// gets a pass: a window timer would wait its shortest interval for nothing, and more in a row
// would starve the window's other messages.
constexpr int INLINE_FLUSHES = 4;

int32_t ticksUntil(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

// Whether a start is part way through its steps. An Abort, or a resumed survey that was complete
// already, ends the survey before them.
bool startUnderWay(const Context& context) {
  return context.driver.startingSurvey != 0 && surveyRunning(context) &&
         context.survey.surveyNumber == context.driver.startingSurvey;
}

// Asks the next part of the units. A flush that came meanwhile is made after the last part: no
// answer's follow-up is then queued among the start's own requests.
void askNextPart(Context& context) {
  DriverState& driver = context.driver;
  const int32_t count = context.survey.deviceCount;
  if (!driver.asking) {
    driver.asking = true;
    driver.askNext = 0;
    if (!requestsDeferrable(context)) reserveQueue(context, static_cast<uint32_t>(count));
  }
  const int32_t from = driver.askNext;
  const int32_t to = count - from > START_ASK_PART ? from + START_ASK_PART : count;
  pollDeviceRange(context, POLL_EVERYONE, from, to);
  driver.askNext = to;
  if (to < count) return;
  driver.startingSurvey = 0;
  driver.asking = false;
  if (std::exchange(driver.flushOwed, false)) flushQueue(context);
}

DriverWait waitOf(const Context& context) {
  const DriverState& driver = context.driver;
  DriverWait wait;
  const bool starting = startUnderWay(context);
  wait.startStepPending = starting || driver.drainOwed || driver.tickOwed;
  wait.readReadiness = !starting;
  if (!starting && driver.flushArmed) {
    const int32_t left = ticksUntil(context.clock.tick(), driver.flushAt);
    wait.flushInMs = left > 0 ? left : 0;
  }
  wait.writeReadiness = context.socket.wantsWriteReadiness();
  return wait;
}

// What to wait for once a verb is done. Outside a start, sends the pacing lets go now are made
// here, and a later one is kept as the flush timer (a sooner one moves it; a wait was a forecast,
// which flushDue checks again).
DriverWait waitAfter(Context& context) {
  DriverState& driver = context.driver;
  if (driver.startingSurvey != 0 && !startUnderWay(context)) {
    driver.startingSurvey = 0;
    driver.asking = false;
    driver.flushOwed = false;
  }
  if (driver.startingSurvey == 0) {
    int32_t flushIn = context.socket.msUntilFlush();
    for (int inlineFlushes = 0; flushIn == 0 && inlineFlushes < INLINE_FLUSHES; ++inlineFlushes) {
      flushQueue(context);
      flushIn = context.socket.msUntilFlush();
    }
    const uint32_t now = context.clock.tick();
    if (flushIn >= 0) {
      const uint32_t at = now + static_cast<uint32_t>(flushIn);
      if (!driver.flushArmed || ticksUntil(driver.flushAt, at) < 0) {
        driver.flushArmed = true;
        driver.flushAt = at;
      }
    }
  }
  return waitOf(context);
}

}  // namespace

bool pressStart(Context& context, StartMode mode, DriverWait& wait) {
  const bool started = prepareSurveyRecords(context) && startSurvey(context, mode);
  fitSurveyRecords(context);
  if (started && surveyRunning(context)) {
    DriverState& driver = context.driver;
    driver.startingSurvey = context.survey.surveyNumber;
    driver.asking = false;
  }
  wait = waitAfter(context);
  return started;
}

bool pressStart(Context& context, StartMode mode) {
  DriverWait wait;
  if (!pressStart(context, mode, wait)) return false;
  while (startUnderWay(context)) startStep(context);
  return true;
}

DriverWait startStep(Context& context) {
  DriverState& driver = context.driver;
  if (startUnderWay(context)) {
    if (driver.asking || !indexNextKey(context.survey)) askNextPart(context);
    return waitAfter(context);
  }
  // The start is over: what it held back comes in a pass of its own, the tick (which drains the
  // socket first) or else the drain.
  const bool drain = std::exchange(driver.drainOwed, false);
  if (std::exchange(driver.tickOwed, false)) {
    onTick(context);
  } else if (drain) {
    receiveAll(context);
  }
  return waitAfter(context);
}

DriverWait timerDue(Context& context) {
  if (startUnderWay(context)) {
    context.driver.tickOwed = true;
  } else {
    onTick(context);
  }
  return waitAfter(context);
}

DriverWait socketReadable(Context& context) {
  if (startUnderWay(context)) {
    context.driver.drainOwed = true;
  } else {
    receiveAll(context);
  }
  return waitAfter(context);
}

DriverWait socketWritable(Context& context) {
  context.socket.writeReadinessDelivered();
  if (startUnderWay(context)) {
    context.driver.flushOwed = true;
  } else {
    flushQueue(context);
  }
  return waitAfter(context);
}

DriverWait flushDue(Context& context) {
  context.driver.flushArmed = false;
  if (startUnderWay(context)) {
    context.driver.flushOwed = true;
  } else {
    const int32_t flushIn = context.socket.msUntilFlush();
    if (flushIn > 0) {
      context.driver.flushArmed = true;
      context.driver.flushAt = context.clock.tick() + static_cast<uint32_t>(flushIn);
    } else {
      flushQueue(context);
    }
  }
  return waitAfter(context);
}

bool abortSurvey(Context& context) {
  if (!surveyRunning(context)) return false;
  DriverState& driver = context.driver;
  driver.startingSurvey = 0;
  driver.asking = false;
  driver.drainOwed = false;
  driver.tickOwed = false;
  driver.flushOwed = false;
  clearQueue(context);  // settles the send times first
  const bool saved = stopSurvey(context);
  fitSurveyRecords(context);
  return saved;
}

bool pressExit(Context& context, DriverWait& wait) {
  const bool running = surveyRunning(context);
  if (running) abortSurvey(context);
  wait = waitAfter(context);
  return !running;
}

DriverWait currentWait(const Context& context) { return waitOf(context); }

bool saveRunningSurvey(Context& context) {
  if (!surveyRunning(context)) return false;
  settleSendTimes(context);
  return saveReport(context);
}

bool endDriving(Context& context) {
  context.driver = DriverState{};
  if (surveyRunning(context)) settleSendTimes(context);
  const bool saved = closeSurvey(context);
  fitSurveyRecords(context);
  return saved;
}

void initialiseSelector(Context& context) { fillListSelector(context); }

void listChosen(Context& context) { chooseListFile(context); }

}  // namespace vyr
