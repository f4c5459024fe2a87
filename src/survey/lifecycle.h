#pragma once
// Starting, completing, aborting and closing a survey, with the busy and idle appearance of the
// dialog that goes with it.

#include "survey/context.h"

namespace vyr {

constexpr const char* EXIT_CAPTION = "E&xit";
constexpr const char* ABORT_CAPTION = "Abort";

inline bool surveyRunning(const Context& context) { return context.survey.deviceTable != nullptr; }

// Builds the record table from the list rows, fresh or, for RESUME_BUTTON, restored from the
// progress file when it matches the rows. Does nothing without rows or when the table cannot be
// allocated.
void startSurvey(Context& context, int button);

// Finishes the survey when every record has its ID and its modem reply.
void checkComplete(Context& context);

// Saves, releases the table, returns the dialog to idle and beeps.
void finishSurvey(Context& context);

// Drops every queued datagram, saves, releases the table and returns the dialog to idle.
void abortSurvey(Context& context);

// Saves a running survey and releases its table; the dialog is going away.
void closeSurvey(Context& context);

}  // namespace vyr
