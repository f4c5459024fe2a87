#pragma once
// The survey's event logic, once for every front-end. A front-end owns the waiting (a Qt event
// loop, a Win32 message loop, poll(), Winsock's select(), a test's virtual clock) and turns what
// it waits for into the verbs below; each verb returns what to wait for next. The driver keeps
// the order of things: a start in steps sends exactly what one press would, the 250 ms tick
// flushes, drains, then polls, and sends held back by the pacing go when it lets them.
//
//   front-end event            verb
//   Resume or N pressed        pressStart      (then startStep while startStepPending)
//   the 250 ms timer           timerDue
//   the socket readable        socketReadable
//   the socket writable        socketWritable  (watched only while writeReadiness)
//   the flush timer            flushDue        (armed for flushInMs)
//   Exit or Abort pressed      pressExit
//   the session asks to save   saveRunningSurvey
//   close, session end, signal endDriving

#include <cstdint>

#include "core/context.h"
#include "protocol/scheduler.h"  // TICK_PERIOD, the timer every front-end runs timerDue on
#include "survey/lifecycle.h"
#include "survey/list_files.h"
#include "survey/report_files.h"

namespace vyr {

// What the front-end waits for after a verb.
struct DriverWait {
  // Call startStep once the loop has had a pass of its own (painted, taken input): a start has
  // steps left, or what it held back is owed.
  bool startStepPending = false;
  // Watch the socket's read readiness. False while a start is under way, whose replies are read
  // once it has asked every unit; a level-triggered notifier would otherwise fire without end.
  bool readReadiness = true;
  // Watch the socket's write readiness: a send found the system without room, and one
  // notification of room wakes the queue again. A UDP socket is otherwise always writable and
  // would wake the loop for nothing.
  bool writeReadiness = false;
  // Call flushDue in this many milliseconds (replacing any flush timer armed before); -1: no
  // flush timer is wanted.
  int32_t flushInMs = -1;
};

// Starts a survey over the list rows in the mode of the button pressed. Returns false, doing
// nothing, when no survey could start (survey.startRefusal says why). When `wait` says
// startStepPending, the start goes on in steps; a front-end that need not keep a window
// responsive may call startStep until it says so no longer.
bool pressStart(Context& context, StartMode mode, DriverWait& wait);

// One step of the start under way, or what it held back (a drain, a tick) once every unit is
// asked; nothing when none is under way.
DriverWait startStep(Context& context);

// Starts and takes every step at once: the start of a front-end without a window to keep alive,
// and of tests. What a step would have held back is still owed (see DriverWait).
bool pressStart(Context& context, StartMode mode);

DriverWait timerDue(Context& context);
DriverWait socketReadable(Context& context);
DriverWait socketWritable(Context& context);
DriverWait flushDue(Context& context);

// Ends a running survey at the operator's word: every queued datagram is dropped unsent, the
// survey is saved and its table released, and the dialog returns to idle. Returns whether the
// report and the progress file were saved in full.
bool abortSurvey(Context& context);

// Exit, or Abort while a survey runs: aborts the running survey (its queued datagrams dropped
// unsent, then saved) and returns false; returns true when no survey runs and the front-end is
// to end.
bool pressExit(Context& context, DriverWait& wait);

// Saves the running survey and lets it go on (the desktop session asks before it ends). Returns
// whether both files were saved in full; false too when no survey runs.
bool saveRunningSurvey(Context& context);

// The front-end is ending (its window closes, the session ends, a signal asked to stop): the
// running survey is saved and its table released. Returns whether both files were saved in full.
bool endDriving(Context& context);

// What the front-end waits for now, as the last verb said (a flush timer's time counts down).
DriverWait currentWait(const Context& context);

// What every front-end's window does before the first event: fills the list selector.
void initialiseSelector(Context& context);
// The operator chose a list in the selector: its rows replace the list's.
void listChosen(Context& context);

}  // namespace vyr
