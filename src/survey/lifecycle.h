#pragma once
// Starting, completing, aborting and closing a survey, with the busy and idle appearance of the
// dialog that goes with it.

#include "survey/survey_context.h"

namespace vyr {

// `RESUME` continues from the progress file when it matches the rows; `FRESH` never reads it.
enum class StartMode { RESUME, FRESH };

constexpr const char* EXIT_CAPTION = "E&xit";
constexpr const char* ABORT_CAPTION = "Abort";

inline bool surveyRunning(const SurveyContext& context) {
  return context.survey.deviceTable != nullptr;
}

// Builds the record table from the list rows, fresh or restored from the progress file, and locks
// the list's report for the survey. Returns false, doing nothing, without rows, when the table
// cannot be allocated, when another survey holds the report, and, with refuseUnsavableStart, when
// the report or the progress file could not be saved; survey.startRefusal and startProblem say
// which. A refused start leaves every file as it was. A resumed survey that was saved complete has
// ended again by the time this returns true.
bool startSurvey(SurveyContext& context, StartMode mode);

// Whether a survey runs and every record has its ID and its modem reply.
bool surveyComplete(SurveyContext& context);
// Finishes the survey when it is complete.
void checkComplete(SurveyContext& context);

// The ends of a survey. Each saves the report and the progress file and releases the table, and
// returns whether both files were saved in full (false too when no survey was running).
// finishSurvey: the survey is complete; the dialog returns to idle and beeps.
bool finishSurvey(SurveyContext& context);
// stopSurvey: the operator ended it; the dialog returns to idle, without a beep. An abort also
// drops the queued datagrams first, which is the protocol's part (see core/commands.h).
bool stopSurvey(SurveyContext& context);
// closeSurvey: the dialog is going away.
bool closeSurvey(SurveyContext& context);

}  // namespace vyr
