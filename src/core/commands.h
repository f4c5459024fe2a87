#pragma once
// What the dialog's buttons do, the same in every front-end: the calls that reach both the survey
// and the protocol.

#include "core/context.h"
#include "survey/lifecycle.h"

namespace vyr {

// Starts a survey over the list rows, then asks every unit at once. Returns false, doing nothing,
// when no survey could start (survey.startRefusal says why): no rows, no memory for the table,
// the list's report held by another survey, or, when the front-end asks, files that cannot be
// written.
bool pressStart(Context& context, StartMode mode);

// The rest of a start after startSurvey, one step a call, for a dialog that gives each step a pass
// of its event loop so that a large fleet never holds the loop for the whole start: each call
// indexes the table by one key, then each asks the next part of the units, in table order, while
// flushes wait for the last part. Returns whether a step remains; once survey `surveyNumber` (as
// startSurvey left it in the state) has ended, or its units have been asked, it does nothing.
bool continueStart(Context& context, uint32_t surveyNumber);

// Ends a running survey at the operator's word: every queued datagram is dropped unsent, the
// survey is saved and its table released, and the dialog returns to idle. Returns whether the
// report and the progress file were saved in full.
bool abortSurvey(Context& context);

}  // namespace vyr
